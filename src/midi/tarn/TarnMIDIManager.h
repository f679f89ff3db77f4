#pragma once
// The process-wide MIDI object manager. Only the note names are here so far; the endpoint
// lists and the connection to the MIDI system come with the MIDI layer.

#include <array>
#include <cstdint>
#include <string>

class TarnMIDIManager {
public:
    static TarnMIDIManager& shared();

    // "C-2" for note 0, "C3" for 60, "G8" for 127, "#err" for 128 and above.
    std::string nameOfNote(uint8_t note) const;
    const std::array<std::string, 128>& noteNames() const { return noteNames_; }

private:
    TarnMIDIManager();
    void buildNoteNamesArray();

    std::array<std::string, 128> noteNames_;
};
