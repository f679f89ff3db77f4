#pragma once
// The MIDI system as the Tarn object layer sees it: one client, the machine's sources and
// destinations, input ports connected to a source, output ports connected to a destination, and
// the program's own virtual source and destination that other programs connect to.
//
// Backends: an in-process fake for tests, JACK and the ALSA sequencer (src/platform/midi). What
// those systems lack is kept by the layer above: unique IDs of its own endpoints, offline flags
// of vanished devices, and the test whether an endpoint is the program's own. A backend lists the
// program's virtual endpoints among the machine's, as the system shows them to every program, and
// the layer leaves them out by their handles; the ports it connects to sources and destinations
// are not endpoints and are never listed.
//
// Threads: packet handlers and the setup-change callback run on a thread of the backend, never in
// a real-time callback, so they may lock and allocate. A handler may still run once after its
// port was destroyed, when a delivery was already under way; none starts afterwards.

#include "midi/backends/MIDIPacketList.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace midi {

// A backend's handle of a source or destination of the machine; 0 is none. A device that goes
// away and comes back gets a new handle.
using EndpointRef = uint64_t;

struct EndpointInfo {
    EndpointRef ref = 0;
    // Stable across runs and reconnections: JACK and ALSA derive it from the client and port
    // names.
    int32_t uniqueID = 0;
    // The full name: the device's name and the port's, or one of them when they are the same.
    std::string name;
    // Names of what the endpoint is connected to, joined with ", "; empty when none.
    std::string connectedNames;
    bool offline = false;
};

using PacketHandler = std::function<void(const MIDIPacketList&)>;

class MidiBackend {
public:
    virtual ~MidiBackend() = default;

    // An input port connected to one source; destroying it disconnects and unregisters it.
    class InputPort {
    public:
        virtual ~InputPort() = default;
    };
    // An output port connected to one destination.
    class OutputPort {
    public:
        virtual ~OutputPort() = default;
        // NO when the list could not be handed to the system (it then sent none of it).
        virtual bool send(const MIDIPacketList& list) = 0;
    };
    // One of the program's own endpoints that other programs see.
    class VirtualEndpoint {
    public:
        virtual ~VirtualEndpoint() = default;
        virtual EndpointRef ref() const = 0;
        virtual bool setName(const std::string& name) = 0;
        // A private endpoint is hidden from other programs (and from the lists of sources and
        // destinations). NO where the system cannot hide one (JACK), or refused.
        virtual bool isPrivate() const { return false; }
        virtual bool setPrivate(bool) { return false; }
    };
    class VirtualSource : public VirtualEndpoint {
    public:
        // Publishes the list as this source's output.
        virtual bool received(const MIDIPacketList& list) = 0;
    };
    class VirtualDestination : public VirtualEndpoint {};

    // "JACK", "ALSA", "fake": for the log.
    virtual std::string backendName() const = 0;

    // Opens the client; NO when the system refused. `setupChanged` is called on a backend thread
    // after sources or destinations appeared, vanished, changed or went on- or offline.
    virtual bool createClient(const std::string& name, std::function<void()> setupChanged) = 0;

    // The machine's endpoints, in the system's order.
    virtual std::vector<EndpointInfo> sources() = 0;
    virtual std::vector<EndpointInfo> destinations() = 0;

    // Null when the port cannot be made or connected. `handler` gets every packet list the
    // source sends from then on.
    virtual std::unique_ptr<InputPort> connectSource(const std::string& portName, EndpointRef source,
                                                     PacketHandler handler) = 0;
    virtual std::unique_ptr<OutputPort> connectDestination(const std::string& portName, EndpointRef destination) = 0;

    // Null when the system refused.
    virtual std::unique_ptr<VirtualSource> createVirtualSource(const std::string& name) = 0;
    virtual std::unique_ptr<VirtualDestination> createVirtualDestination(const std::string& name,
                                                                         PacketHandler handler) = 0;

    // Nanoseconds of the clock packet time stamps use (the monotonic clock unless a test drives it).
    virtual uint64_t currentHostTime() const;

    // The backend that the MIDI layer opens when it is first used: the one set, else the one the
    // registered default factory makes (null: MIDI is off).
    static std::shared_ptr<MidiBackend> shared();
    static void setShared(std::shared_ptr<MidiBackend> backend);
    static void setDefaultFactory(std::function<std::shared_ptr<MidiBackend>()> factory);

    // A unique ID made from a client's and a port's names, the same in every run.
    static int32_t stableUniqueID(const std::string& clientName, const std::string& portName);
};

}  // namespace midi
