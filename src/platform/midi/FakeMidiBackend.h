#pragma once
// An in-process MIDI system that tests script: devices appear, vanish, come back and go offline,
// sends can fail, and the host clock is the test's. Deliveries and setup-change notices run on a
// thread of the fake, as a real system's do, so that the layer's locks meet real concurrency.

#include "midi/backends/MidiBackend.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace platform {

class FakeMidiBackend final : public midi::MidiBackend {
public:
    FakeMidiBackend();
    ~FakeMidiBackend() override;
    FakeMidiBackend(const FakeMidiBackend&) = delete;
    FakeMidiBackend& operator=(const FakeMidiBackend&) = delete;

    enum class Kind { Source, Destination };

    // ---- the machine, as a test changes it (each change is announced as a setup change)
    // A device port appears; answers its new handle.
    midi::EndpointRef plug(Kind kind, const std::string& name, int32_t uniqueID);
    void unplug(midi::EndpointRef ref);
    void setOffline(midi::EndpointRef ref, bool offline);
    // What the port is connected to, as the system names it ("" for nothing).
    void setConnectedNames(midi::EndpointRef ref, const std::string& names);
    void setFailCreateClient(bool fail) { failCreateClient_ = fail; }
    // Sends to this destination (or through this virtual source) fail while set.
    void setFailSends(midi::EndpointRef ref, bool fail);

    // ---- traffic from other programs, delivered on the fake's thread
    void sendFromSource(midi::EndpointRef source, const std::vector<uint8_t>& bytes, uint64_t timeStamp = 0);
    void sendToVirtualDestination(midi::EndpointRef destination, const std::vector<uint8_t>& bytes,
                                  uint64_t timeStamp = 0);

    // ---- what the program did
    struct Sent {
        midi::EndpointRef ref;
        std::vector<uint8_t> bytes;  // one packet
        uint64_t timeStamp;
    };
    // Every packet sent to a destination or published by a virtual source, in order.
    std::vector<Sent> sent() const;
    void clearSent();
    // Input ports connected to the source now.
    size_t connectionCount(midi::EndpointRef source) const;
    // Output ports connected to the destination now.
    size_t outputPortCount(midi::EndpointRef destination) const;
    // The program's virtual endpoints by name, 0 when none has it.
    midi::EndpointRef virtualEndpointNamed(const std::string& name) const;
    size_t clientCount() const;

    void setHostTime(uint64_t nanoseconds) { hostTime_ = nanoseconds; }
    // Returns once every delivery and notice queued so far has run.
    void drain();

    // ---- MidiBackend
    std::string backendName() const override { return "fake"; }
    bool createClient(const std::string& name, std::function<void()> setupChanged) override;
    std::vector<midi::EndpointInfo> sources() override;
    std::vector<midi::EndpointInfo> destinations() override;
    std::unique_ptr<InputPort> connectSource(const std::string& portName, midi::EndpointRef source,
                                             midi::PacketHandler handler) override;
    std::unique_ptr<OutputPort> connectDestination(const std::string& portName, midi::EndpointRef destination) override;
    std::unique_ptr<VirtualSource> createVirtualSource(const std::string& name) override;
    std::unique_ptr<VirtualDestination> createVirtualDestination(const std::string& name,
                                                                 midi::PacketHandler handler) override;
    uint64_t currentHostTime() const override { return hostTime_; }

    struct Slot;
    struct Endpoint {
        midi::EndpointRef ref = 0;
        Kind kind = Kind::Source;
        std::string name;
        int32_t uniqueID = 0;
        std::string connectedNames;
        bool offline = false;
        bool virtualEndpoint = false;
        bool privateEndpoint = false;
        bool failSends = false;
        std::shared_ptr<Slot> virtualInput;  // a virtual destination's handler
    };

    // Shared with the ports, which may outlive a test's hold on the backend.
    struct State;

private:
    void post(std::function<void()> job);
    void announceSetupChange();
    void run();

    std::shared_ptr<State> state_;
    std::atomic<uint64_t> hostTime_{1};
    std::atomic<bool> failCreateClient_{false};
    std::thread thread_;
};

}  // namespace platform
