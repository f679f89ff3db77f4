#pragma once
// MIDI through the ALSA sequencer (/dev/snd/seq): the backend for hardware on a desktop without
// a JACK server. Sources are the ports others can be read from, destinations those they can be
// written to; the program's connections are ports of its own that no list shows, its virtual
// endpoints ports that every program sees.
//
// The sequencer speaks in events, not bytes. AlsaEventCoder turns a packet's bytes into events
// and events back into bytes; a byte string that is not a run of complete MIDI messages (a
// template, or a system-exclusive message) travels whole as one raw system-exclusive event, so
// that it arrives unchanged.

#include "midi/backends/MidiBackend.h"

#include <alsa/asoundlib.h>

#include <memory>
#include <string>
#include <vector>

namespace platform {

class AlsaEventCoder {
public:
    AlsaEventCoder();
    ~AlsaEventCoder();
    AlsaEventCoder(const AlsaEventCoder&) = delete;
    AlsaEventCoder& operator=(const AlsaEventCoder&) = delete;

    // The events of one packet. A raw system-exclusive event points into `bytes`; the events
    // stay valid until the next call.
    const std::vector<snd_seq_event_t>& eventsForBytes(const uint8_t* bytes, size_t length);
    // Appends the MIDI bytes of `event` to `out`; NO for an event that carries none.
    bool appendBytesOfEvent(const snd_seq_event_t& event, std::vector<uint8_t>& out);

private:
    snd_midi_event_t* encoder_ = nullptr;
    snd_midi_event_t* decoder_ = nullptr;
    std::vector<snd_seq_event_t> events_;
};

class AlsaMidiBackend final : public midi::MidiBackend {
public:
    // Opens the sequencer as client `clientName`; null when it cannot be opened.
    static std::shared_ptr<AlsaMidiBackend> open(const std::string& clientName);
    ~AlsaMidiBackend() override;

    std::string backendName() const override { return "ALSA"; }
    bool createClient(const std::string& name, std::function<void()> setupChanged) override;
    std::vector<midi::EndpointInfo> sources() override;
    std::vector<midi::EndpointInfo> destinations() override;
    std::unique_ptr<InputPort> connectSource(const std::string& portName, midi::EndpointRef source,
                                             midi::PacketHandler handler) override;
    std::unique_ptr<OutputPort> connectDestination(const std::string& portName, midi::EndpointRef destination) override;
    std::unique_ptr<VirtualSource> createVirtualSource(const std::string& name) override;
    std::unique_ptr<VirtualDestination> createVirtualDestination(const std::string& name,
                                                                 midi::PacketHandler handler) override;

    // A handle from a sequencer address and back: never 0.
    static midi::EndpointRef refOfAddress(int client, int port) {
        return (static_cast<midi::EndpointRef>(client) << 16 | static_cast<midi::EndpointRef>(port)) + 1;
    }
    static int clientOfRef(midi::EndpointRef ref) { return static_cast<int>((ref - 1) >> 16); }
    static int portOfRef(midi::EndpointRef ref) { return static_cast<int>((ref - 1) & 0xFFFF); }

    struct Impl;

private:
    explicit AlsaMidiBackend(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

}  // namespace platform
