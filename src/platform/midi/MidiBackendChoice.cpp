#include "platform/midi/MidiBackendChoice.h"

#include "foundation/Log.h"
#include "foundation/UserDefaults.h"
#include "midi/tarn/TarnMIDIManager.h"
#include "platform/midi/AlsaMidiBackend.h"
#include "platform/midi/JackMidiBackend.h"

#include <strings.h>

namespace platform {

std::shared_ptr<midi::MidiBackend> chooseMidiBackend(const std::optional<std::string>& setting,
                                                     const MidiBackendOpener& openJack,
                                                     const MidiBackendOpener& openAlsa) {
    if (setting && !setting->empty()) {
        const char* value = setting->c_str();
        if (strcasecmp(value, "JACK") == 0) {
            if (auto backend = openJack()) return backend;
            foundation::log("MIDI is off: no JACK server (the setting MIDIBackend asks for JACK)");
            return nullptr;
        }
        if (strcasecmp(value, "ALSA") == 0) {
            if (auto backend = openAlsa()) return backend;
            foundation::log("MIDI is off: no ALSA sequencer (the setting MIDIBackend asks for ALSA)");
            return nullptr;
        }
        if (strcasecmp(value, "none") == 0) {
            foundation::log("MIDI is off: the setting MIDIBackend is none");
            return nullptr;
        }
        foundation::logf("Unknown MIDIBackend setting \"%s\" (JACK, ALSA or none): choosing by what runs", value);
    }
    if (auto backend = openJack()) return backend;
    if (auto backend = openAlsa()) return backend;
    foundation::log(kMidiOffLine);
    return nullptr;
}

std::shared_ptr<midi::MidiBackend> chooseSystemMidiBackend() {
    return chooseMidiBackend(
        foundation::UserDefaults::standard().stringForKey(kMidiBackendDefaultsKey),
        [] { return JackMidiBackend::open(TarnMIDIManager::kClientName); },
        [] { return AlsaMidiBackend::open(TarnMIDIManager::kClientName); });
}

}  // namespace platform
