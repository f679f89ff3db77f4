#pragma once
// Which MIDI system the program uses, chosen once at start-up: JACK when a server is running,
// else the ALSA sequencer when it opens, else none (one log line says so). The user default
// "MIDIBackend" ("JACK", "ALSA" or "none") forces one.

#include "midi/backends/MidiBackend.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

inline constexpr const char* kMidiBackendDefaultsKey = "MIDIBackend";
inline constexpr const char* kMidiOffLine = "MIDI is off: no JACK server and no ALSA sequencer";

using MidiBackendOpener = std::function<std::shared_ptr<midi::MidiBackend>()>;

// `setting` is the user default's value; the openers answer null when their system is absent.
std::shared_ptr<midi::MidiBackend> chooseMidiBackend(const std::optional<std::string>& setting,
                                                     const MidiBackendOpener& openJack,
                                                     const MidiBackendOpener& openAlsa);

// The choice for this machine, with the program's client name.
std::shared_ptr<midi::MidiBackend> chooseSystemMidiBackend();

}  // namespace platform
