#include "midi/tarn/TarnMIDIManager.h"

#include "foundation/Format.h"

TarnMIDIManager& TarnMIDIManager::shared() {
    static TarnMIDIManager manager;
    return manager;
}

TarnMIDIManager::TarnMIDIManager() { buildNoteNamesArray(); }

void TarnMIDIManager::buildNoteNamesArray() {
    static const char* const names[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    for (int note = 0; note < 128; ++note)
        noteNames_[note] = foundation::format("%s%d", names[note % 12], note / 12 - 2);
}

std::string TarnMIDIManager::nameOfNote(uint8_t note) const {
    if (note >= 128) return "#err";
    return noteNames_[note];
}
