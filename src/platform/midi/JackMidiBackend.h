#pragma once
// MIDI through a running JACK server. Every endpoint of the layer is a JACK MIDI port of the
// client: an input port per source connected, an output port per destination connected, and one
// port for each virtual source and destination, which other clients connect to.
//
// The real-time process callback only copies bytes between the ports' buffers and lock-free ring
// buffers, one per port: it never locks, allocates or calls into the layer. A reader thread of
// ours drains the input rings into packet lists (reused, so steady traffic allocates nothing)
// and calls the handlers; it also reports setup changes, which JACK announces on its own thread.
//
// JACK has no unique IDs or offline flags: a port's ID is made from its client's and its own
// name, and a port that is gone is simply not listed.

#include "midi/backends/MidiBackend.h"

#include <memory>
#include <string>

namespace platform {

class JackMidiBackend final : public midi::MidiBackend {
public:
    // Opens a client on the running server (`serverName` empty: the default one, or the one the
    // JACK_DEFAULT_SERVER environment names). Never starts a server: null when none runs.
    static std::shared_ptr<JackMidiBackend> open(const std::string& clientName, const std::string& serverName = "");
    ~JackMidiBackend() override;
    JackMidiBackend(const JackMidiBackend&) = delete;
    JackMidiBackend& operator=(const JackMidiBackend&) = delete;

    // The client's name as the server knows it (it may have added a number).
    std::string clientName() const;

    std::string backendName() const override { return "JACK"; }
    bool createClient(const std::string& name, std::function<void()> setupChanged) override;
    std::vector<midi::EndpointInfo> sources() override;
    std::vector<midi::EndpointInfo> destinations() override;
    std::unique_ptr<InputPort> connectSource(const std::string& portName, midi::EndpointRef source,
                                             midi::PacketHandler handler) override;
    std::unique_ptr<OutputPort> connectDestination(const std::string& portName, midi::EndpointRef destination) override;
    std::unique_ptr<VirtualSource> createVirtualSource(const std::string& name) override;
    std::unique_ptr<VirtualDestination> createVirtualDestination(const std::string& name,
                                                                 midi::PacketHandler handler) override;

    struct Impl;

private:
    explicit JackMidiBackend(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

}  // namespace platform
