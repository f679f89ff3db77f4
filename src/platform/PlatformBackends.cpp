#include "platform/PlatformBackends.h"

#include "foundation/NetService.h"
#include "platform/AvahiBonjourBackend.h"
#include "platform/midi/MidiBackendChoice.h"

#include <memory>

namespace platform {

namespace {

void registerAll() {
    // Bonjour is Avahi's unless a program or test sets another backend.
    foundation::BonjourBackend::setDefaultFactory([] { return std::make_shared<AvahiBonjourBackend>(); });
    // MIDI is the machine's (JACK, else the ALSA sequencer, else none) unless a test installs another.
    midi::MidiBackend::setDefaultFactory(chooseSystemMidiBackend);
}

}  // namespace

void registerPlatformBackends() {
    static const bool registered = (registerAll(), true);
    (void)registered;
}

}  // namespace platform
