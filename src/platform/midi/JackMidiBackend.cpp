#include "platform/midi/JackMidiBackend.h"
#include "platform/midi/JackMidiRing.h"

#include "foundation/Format.h"
#include "foundation/Log.h"

#include "platform/midi/MidiEndpointNames.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <semaphore.h>
#include <strings.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

namespace platform {

namespace {

using RingHeader = jackring::Header;

// Room for a few of the largest messages (templates hold up to 65535 bytes).
constexpr size_t kRingSize = 512 * 1024;
constexpr size_t kMaxPorts = 256;

uint64_t monotonicNanoseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void silent(const char*) {}

bool peekWholePacket(jack_ringbuffer_t* ring, RingHeader& header) { return jackring::peekWhole(ring, header); }

}  // namespace

struct PortSlot {
    jack_port_t* port = nullptr;  // of the client of `generation`; null once that client is gone
    // The port the process callback uses: set before the slot is put in the callback's table and
    // never cleared, so that a last cycle of a client whose server is going reads a valid value.
    std::atomic<jack_port_t*> cyclePort{nullptr};
    bool input = false;
    // One of the program's own endpoints (not a connection port): reopened with the client.
    bool isVirtual = false;
    uint64_t generation = 0;
    midi::EndpointRef ref = 0;  // what the layer knows it by, kept across reopenings
    // Virtual ports: the other ports connected to it while the server ran, and those still to
    // connect again after the server came back.
    std::vector<std::string> peers;
    std::vector<std::string> restoring;
    jack_ringbuffer_t* ring = nullptr;
    midi::PacketHandler handler;  // inputs
    std::atomic<bool> open{true};
    std::atomic<uint32_t> lost{0};
    size_t tableIndex = kMaxPorts;
    std::string name;      // the port's short name (as renamed)
    std::string fullName;  // client:port
    uint64_t retiredAtCycle = 0;

    ~PortSlot() {
        if (ring) jack_ringbuffer_free(ring);
    }
};

struct JackMidiBackend::Impl : std::enable_shared_from_this<Impl> {
    jack_client_t* client = nullptr;  // for our threads, under clientMutex
    // The client whose process callback runs, for that callback: set before each activation and
    // never cleared.
    std::atomic<jack_client_t*> cycleClient{nullptr};
    std::string clientName;
    std::string serverName;
    // Each client opened on a server that came back is a generation: endpoint refs carry it, so
    // that a port of a server gone is never taken for one of the server now running.
    static constexpr unsigned kGenerationShift = 48;
    std::atomic<uint64_t> generation{0};
    bool lossLogged = false;  // reader thread
    double nextAttempt = 0;   // reader thread: monotonic seconds of the next try to reopen

    // What the process callback walks: published with release, read with acquire.
    std::array<std::atomic<PortSlot*>, kMaxPorts> table{};
    std::atomic<uint64_t> cycles{0};
    std::atomic<uint32_t> maxEventSize{0};
    std::atomic<bool> serverGone{false};
    // The current client's server went away (its shutdown came): the client is left alone.
    std::atomic<bool> clientLost{false};

    // The rest is for the threads of ours (main, reader), never the callback.
    // Held by whoever calls into the client, and by the reader when it closes or replaces it (a
    // server gone, or back): a call never runs on a client being closed. Taken before `mutex`.
    std::recursive_mutex clientMutex;
    std::mutex mutex;
    std::vector<std::shared_ptr<PortSlot>> slots;
    std::vector<std::shared_ptr<PortSlot>> graveyard;
    std::function<void()> setupChanged;
    unsigned portCounter = 0;

    sem_t wake{};
    std::atomic<bool> setupPending{false};
    std::atomic<bool> stopping{false};
    std::thread reader;

    ~Impl() {
        // A client whose server went away is left alone (see leaveServer).
        if (client && !clientLost) {
            jack_deactivate(client);
            jack_client_close(client);
        }
        sem_destroy(&wake);
    }

    // ---- the real-time side
    static int process(jack_nframes_t frames, void* arg) {
        auto* impl = static_cast<Impl*>(arg);
        bool wrote = false;
        jack_client_t* client = impl->cycleClient.load(std::memory_order_acquire);
        const jack_nframes_t cycleStart = jack_last_frame_time(client);
        for (auto& entry : impl->table) {
            PortSlot* slot = entry.load(std::memory_order_acquire);
            if (!slot) continue;
            void* buffer = jack_port_get_buffer(slot->cyclePort.load(std::memory_order_relaxed), frames);
            if (slot->input) {
                const uint32_t count = jack_midi_get_event_count(buffer);
                for (uint32_t i = 0; i < count; ++i) {
                    jack_midi_event_t event;
                    if (jack_midi_event_get(&event, buffer, i) != 0) continue;
                    if (!jackring::write(slot->ring,
                                         jack_frames_to_time(client, cycleStart + event.time) * 1000ull,
                                         event.buffer, static_cast<uint32_t>(event.size))) {
                        slot->lost.fetch_add(1, std::memory_order_relaxed);
                        continue;
                    }
                    wrote = true;
                }
            } else {
                jack_midi_clear_buffer(buffer);
                impl->maxEventSize.store(static_cast<uint32_t>(jack_midi_max_event_size(buffer)),
                                         std::memory_order_relaxed);
                uint32_t dropped = 0;
                jackring::drain(
                    slot->ring,
                    [&](uint32_t length) { return jack_midi_event_reserve(buffer, 0, length); }, dropped);
                if (dropped) slot->lost.fetch_add(dropped, std::memory_order_relaxed);
            }
        }
        impl->cycles.fetch_add(1, std::memory_order_release);
        if (wrote) sem_post(&impl->wake);
        return 0;
    }

    // ---- JACK's notification thread: only flags and wakes the reader.
    void noteSetupChange() {
        setupPending = true;
        sem_post(&wake);
    }
    static void portRegistered(jack_port_id_t, int, void* arg) { static_cast<Impl*>(arg)->noteSetupChange(); }
    static void clientRegistered(const char*, int, void* arg) { static_cast<Impl*>(arg)->noteSetupChange(); }
    static void portRenamed(jack_port_id_t, const char*, const char*, void* arg) {
        static_cast<Impl*>(arg)->noteSetupChange();
    }
    // A connection made or undone changes the display names of both ends.
    static void portConnected(jack_port_id_t, jack_port_id_t, int, void* arg) {
        static_cast<Impl*>(arg)->noteSetupChange();
    }
    // A client's ports are listed once it is active, which no registration announces; the graph
    // is reordered then.
    static int graphReordered(void* arg) {
        static_cast<Impl*>(arg)->noteSetupChange();
        return 0;
    }
    static void shutdown(void* arg) {
        auto* impl = static_cast<Impl*>(arg);
        impl->clientLost = true;
        impl->serverGone = true;
        impl->noteSetupChange();
    }

    // ---- the reader thread
    void run() {
        std::vector<std::shared_ptr<PortSlot>> inputs;
        inputs.reserve(kMaxPorts);
        midi::MIDIPacketList list;
        std::vector<char> bytes;
        bytes.reserve(64 * 1024);
        while (!stopping) {
            timespec until{};
            clock_gettime(CLOCK_REALTIME, &until);
            until.tv_nsec += 50 * 1000 * 1000;
            if (until.tv_nsec >= 1000000000) {
                until.tv_sec += 1;
                until.tv_nsec -= 1000000000;
            }
            sem_timedwait(&wake, &until);
            if (stopping) break;
            if (serverGone) {
                if (!lossLogged) leaveServer();
                if (!reopen()) continue;
            }

            inputs.clear();
            std::function<void()> announce;
            {
                std::lock_guard lock(mutex);
                for (const auto& slot : slots)
                    if (slot->input && slot->handler) inputs.push_back(slot);
                buryRetired();
                if (setupPending.exchange(false)) {
                    announce = setupChanged;
                    followConnections();
                }
            }
            for (const auto& slot : inputs) {
                list.clear();
                for (;;) {
                    RingHeader header;
                    if (!peekWholePacket(slot->ring, header)) break;
                    jack_ringbuffer_read_advance(slot->ring, sizeof header);
                    bytes.resize(header.length);
                    jack_ringbuffer_read(slot->ring, bytes.data(), header.length);
                    list.add(header.timeStamp ? header.timeStamp : monotonicNanoseconds(),
                             reinterpret_cast<const uint8_t*>(bytes.data()), header.length);
                }
                if (!list.empty() && slot->open) slot->handler(list);
                // The callback found the ring full: this thread fell behind the server.
                if (const uint32_t lost = slot->lost.exchange(0, std::memory_order_relaxed))
                    foundation::logOfKind("jack-input-ring-full",
                                          foundation::format("MIDI input: %u messages lost at the JACK port \"%s\": "
                                                             "the program fell behind the input",
                                                             lost, slot->name.c_str()));
            }
            inputs.clear();
            if (announce) announce();
        }
    }

    // Frees the ports taken out of the callback's table once a whole cycle has passed without
    // them. Called with the mutex held.
    void buryRetired() {
        const uint64_t now = cycles.load(std::memory_order_acquire);
        auto end = std::remove_if(graveyard.begin(), graveyard.end(), [&](const std::shared_ptr<PortSlot>& slot) {
            if (!serverGone && slot->port && now < slot->retiredAtCycle + 2) return false;
            if (!serverGone && slot->port) jack_port_unregister(client, slot->port);
            slot->port = nullptr;
            connectionPortNames.erase(
                std::remove(connectionPortNames.begin(), connectionPortNames.end(), slot->fullName),
                connectionPortNames.end());
            return true;
        });
        graveyard.erase(end, graveyard.end());
    }

    // ---- a server that stops and comes back (reader thread)

    static double monotonicSeconds() { return static_cast<double>(monotonicNanoseconds()) / 1e9; }

    // The server has gone: said once, the client closed, every port left without one. The
    // layer hears of it as a setup change: the other programs' endpoints are gone with it.
    void leaveServer() {
        lossLogged = true;
        foundation::log("MIDI: the JACK server stopped; MIDI waits for it to come back.");
        std::function<void()> announce;
        {
            std::lock_guard clientLock(clientMutex);
            std::lock_guard lock(mutex);
            for (auto& entry : table) entry.store(nullptr, std::memory_order_release);
            for (const auto& slot : slots) {
                if (slot->isVirtual && slot->port) refreshPeers(*slot);
                slot->port = nullptr;
                slot->tableIndex = kMaxPorts;
            }
            for (const auto& slot : graveyard) slot->port = nullptr;
            graveyard.clear();
            // The client is left as it is: libjack's calls on a client whose server went away,
            // closing it among them, may touch what went with the server. What it holds stays
            // allocated, once per loss of the server.
            client = nullptr;
            announce = setupChanged;
        }
        // The first try a second later: a server being stopped is left to end in peace.
        nextAttempt = monotonicSeconds() + 1.0;
        if (announce) announce();
    }

    // Tries, a second apart, to open the client on a server that came back, with the program's
    // own ports as they were (names, and connections from other programs as those reappear);
    // the layer then connects its ports to the endpoints it used, by their IDs and names.
    bool reopen() {
        const double now = monotonicSeconds();
        if (now < nextAttempt) return false;
        nextAttempt = now + 1.0;
        jack_client_t* reopened = openClient(clientName, serverName);
        if (!reopened) return false;
        std::function<void()> announce;
        {
            std::lock_guard clientLock(clientMutex);
            std::lock_guard lock(mutex);
            client = reopened;
            const uint64_t next = generation.load() + 1;
            setCallbacks();
            // Ports made while the server was away failed; the connection ports of the old
            // client are replaced by the layer, which retires them.
            size_t index = 0;
            for (const auto& slot : slots) {
                if (!slot->isVirtual) continue;
                const auto flags = slot->input ? JackPortIsInput : JackPortIsOutput;
                slot->port = jack_port_register(client, slot->name.c_str(), JACK_DEFAULT_MIDI_TYPE, flags, 0);
                if (!slot->port) continue;
                slot->generation = next;
                slot->fullName = jack_port_name(slot->port);
                // What was waiting to go out when the server went is from another time.
                jack_ringbuffer_reset(slot->ring);
                slot->restoring = slot->peers;
                while (index < kMaxPorts && table[index].load(std::memory_order_relaxed)) ++index;
                if (index == kMaxPorts) break;
                slot->cyclePort.store(slot->port, std::memory_order_relaxed);
                slot->tableIndex = index;
                table[index].store(slot.get(), std::memory_order_release);
            }
            generation = next;
            clientLost = false;
            serverGone = false;
            cycleClient.store(client, std::memory_order_release);
            if (jack_activate(client) != 0) {
                // Gone again already: tried anew a second later.
                for (auto& entry : table) entry.store(nullptr, std::memory_order_release);
                for (const auto& slot : slots) slot->port = nullptr;
                client = nullptr;
                serverGone = true;
                return false;
            }
            restoreConnections();
            announce = setupChanged;
        }
        lossLogged = false;
        foundation::log("MIDI: the JACK server is back; the program's MIDI ports are open again.");
        if (announce) announce();
        return true;
    }

    // The full names of the ports connected to a virtual port. With the mutex held.
    void refreshPeers(PortSlot& slot) {
        if (!slot.port || serverGone) return;
        std::vector<std::string> peers = slot.restoring;
        if (const char** names = jack_port_get_all_connections(client, slot.port)) {
            for (size_t i = 0; names[i]; ++i)
                if (std::find(peers.begin(), peers.end(), names[i]) == peers.end()) peers.emplace_back(names[i]);
            jack_free(names);
        }
        slot.peers = std::move(peers);
    }

    // Connects the virtual ports again to the ports they were connected to that exist by now.
    // With the mutex held.
    void restoreConnections() {
        for (const auto& slot : slots) {
            if (!slot->isVirtual || !slot->port || slot->restoring.empty()) continue;
            auto end = std::remove_if(slot->restoring.begin(), slot->restoring.end(), [&](const std::string& peer) {
                if (!jack_port_by_name(client, peer.c_str())) return false;
                const std::string own = slot->fullName;
                const int result = slot->input ? jack_connect(client, peer.c_str(), own.c_str())
                                               : jack_connect(client, own.c_str(), peer.c_str());
                return result == 0 || result == EEXIST;
            });
            slot->restoring.erase(end, slot->restoring.end());
        }
    }

    // Keeps what each virtual port is connected to, and connects what is still to be restored.
    // With the mutex held, while the server runs.
    void followConnections() {
        if (serverGone || !client) return;
        restoreConnections();
        for (const auto& slot : slots)
            if (slot->isVirtual) refreshPeers(*slot);
    }

    void setCallbacks() {
        jack_set_process_callback(client, &Impl::process, this);
        jack_set_port_registration_callback(client, &Impl::portRegistered, this);
        jack_set_client_registration_callback(client, &Impl::clientRegistered, this);
        jack_set_port_rename_callback(client, &Impl::portRenamed, this);
        jack_set_port_connect_callback(client, &Impl::portConnected, this);
        jack_set_graph_order_callback(client, &Impl::graphReordered, this);
        jack_on_shutdown(client, &Impl::shutdown, this);
    }

    static jack_client_t* openClient(const std::string& clientName, const std::string& serverName) {
        jack_status_t status{};
        const auto options =
            static_cast<jack_options_t>(JackNoStartServer | (serverName.empty() ? 0 : JackServerName));
        return serverName.empty() ? jack_client_open(clientName.c_str(), options, &status)
                                  : jack_client_open(clientName.c_str(), options, &status, serverName.c_str());
    }

    // An endpoint ref of the current client's generation.
    midi::EndpointRef refOf(jack_port_t* port) const {
        return jack_port_uuid(port) + (generation.load() << kGenerationShift);
    }

    // ---- ports
    std::shared_ptr<PortSlot> addPort(const std::string& name, bool input, midi::PacketHandler handler,
                                      bool isVirtual = false) {
        std::lock_guard clientLock(clientMutex);
        std::lock_guard lock(mutex);
        if (serverGone || !client) return nullptr;
        size_t index = kMaxPorts;
        for (size_t i = 0; i < kMaxPorts; ++i) {
            if (!table[i].load(std::memory_order_relaxed)) {
                index = i;
                break;
            }
        }
        if (index == kMaxPorts) return nullptr;
        auto slot = std::make_shared<PortSlot>();
        slot->input = input;
        // Port names are unique within a client, and every document has a "Quorbital In" until
        // its port names it: a taken name gets a number.
        const auto flags = input ? JackPortIsInput : JackPortIsOutput;
        slot->port = jack_port_register(client, name.c_str(), JACK_DEFAULT_MIDI_TYPE, flags, 0);
        for (int n = 2; !slot->port && n < 100; ++n)
            slot->port =
                jack_port_register(client, (name + " " + std::to_string(n)).c_str(), JACK_DEFAULT_MIDI_TYPE, flags, 0);
        if (!slot->port) return nullptr;
        slot->name = jack_port_short_name(slot->port);
        slot->fullName = jack_port_name(slot->port);
        slot->isVirtual = isVirtual;
        slot->generation = generation.load();
        slot->ref = refOf(slot->port);
        slot->ring = jack_ringbuffer_create(kRingSize);
        if (!slot->ring) {
            jack_port_unregister(client, slot->port);
            return nullptr;
        }
        slot->handler = std::move(handler);
        slot->cyclePort.store(slot->port, std::memory_order_relaxed);
        slot->tableIndex = index;
        slots.push_back(slot);
        table[index].store(slot.get(), std::memory_order_release);
        return slot;
    }

    void retirePort(const std::shared_ptr<PortSlot>& slot) {
        std::lock_guard lock(mutex);
        slot->open = false;
        if (slot->tableIndex < kMaxPorts) table[slot->tableIndex].store(nullptr, std::memory_order_release);
        slot->tableIndex = kMaxPorts;
        slot->retiredAtCycle = cycles.load(std::memory_order_acquire);
        slots.erase(std::remove(slots.begin(), slots.end(), slot), slots.end());
        graveyard.push_back(slot);
        // Until it is unregistered, no list shows it.
        if (slot->port) connectionPortNames.push_back(slot->fullName);
    }

    bool rename(PortSlot& slot, const std::string& name) {
        std::lock_guard clientLock(clientMutex);
        std::lock_guard lock(mutex);
        if (serverGone || !client || !slot.port) return false;
        if (jack_port_rename(client, slot.port, name.c_str()) != 0) return false;
        slot.name = jack_port_short_name(slot.port);
        slot.fullName = jack_port_name(slot.port);
        return true;
    }

    std::string uniquePortName(const std::string& base) {
        std::lock_guard lock(mutex);
        return base + " " + std::to_string(++portCounter);
    }

    // Hands one packet list to an output's ring; each packet goes whole or not at all.
    bool write(PortSlot& slot, const midi::MIDIPacketList& list) {
        // A port of a server gone, or one not yet reopened, carries nothing.
        if (serverGone || slot.generation != generation.load() || !slot.open) return false;
        const uint32_t limit = maxEventSize.load(std::memory_order_relaxed);
        size_t needed = 0;
        for (const auto& packet : list) {
            if (limit && packet.length > limit) return false;
            needed += sizeof(RingHeader) + packet.length;
        }
        if (jack_ringbuffer_write_space(slot.ring) < needed) return false;
        for (const auto& packet : list) jackring::write(slot.ring, packet.timeStamp, packet.data, packet.length);
        return true;
    }

    // With clientMutex held: the port lives as long as the client.
    jack_port_t* portOfRef(midi::EndpointRef ref) {
        if (serverGone || !client) return nullptr;
        const char** names = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, 0);
        jack_port_t* found = nullptr;
        for (size_t i = 0; names && names[i] && !found; ++i) {
            jack_port_t* port = jack_port_by_name(client, names[i]);
            if (port && refOf(port) == ref) found = port;
        }
        if (names) jack_free(names);
        return found;
    }

    std::vector<midi::EndpointInfo> list(unsigned long flags) {
        std::vector<midi::EndpointInfo> result;
        std::lock_guard clientLock(clientMutex);
        if (serverGone || !client) return result;
        const char** names = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
        for (size_t i = 0; names && names[i]; ++i) {
            jack_port_t* port = jack_port_by_name(client, names[i]);
            if (!port || isConnectionPortName(names[i])) continue;
            const std::string full = names[i];
            const size_t colon = full.find(':');
            const std::string clientPart = colon == std::string::npos ? std::string() : full.substr(0, colon);
            const std::string portPart = colon == std::string::npos ? full : full.substr(colon + 1);
            midi::EndpointInfo info;
            info.ref = jack_port_is_mine(client, port) ? ownRef(port) : refOf(port);
            info.uniqueID = stableUniqueID(clientPart, portPart);
            info.name = midiEndpointName(clientPart, portPart);
            info.connectedNames = connectedNames(port);
            result.push_back(std::move(info));
        }
        if (names) jack_free(names);
        return result;
    }

    // The ref a port of ours was made with: the layer knows the program's own endpoints by it,
    // however often the server came back since.
    midi::EndpointRef ownRef(jack_port_t* port) {
        std::lock_guard lock(mutex);
        for (const auto& slot : slots)
            if (slot->port == port) return slot->ref;
        return refOf(port);
    }

    // What the port is connected to, without the program's own ports.
    std::string connectedNames(jack_port_t* port) {
        const char** peers = jack_port_get_all_connections(client, port);
        if (!peers) return {};
        const std::string own = std::string(jack_get_client_name(client)) + ":";
        std::vector<MidiConnectionPeer> list;
        for (size_t i = 0; peers[i]; ++i) {
            const std::string full = peers[i];
            const size_t colon = full.find(':');
            MidiConnectionPeer peer;
            peer.client = colon == std::string::npos ? std::string() : full.substr(0, colon);
            peer.port = colon == std::string::npos ? full : full.substr(colon + 1);
            peer.own = full.compare(0, own.size(), own) == 0;
            list.push_back(std::move(peer));
        }
        jack_free(peers);
        return midiConnectedNames(list);
    }

    // The ports of ours that only carry a connection are not endpoints.
    std::vector<std::string> connectionPortNames;
    bool isConnectionPortName(const char* full) {
        std::lock_guard lock(mutex);
        return std::find(connectionPortNames.begin(), connectionPortNames.end(), full) != connectionPortNames.end();
    }
    void addConnectionPortName(const std::string& full) {
        std::lock_guard lock(mutex);
        connectionPortNames.push_back(full);
    }
    void removeConnectionPortName(const std::string& full) {
        std::lock_guard lock(mutex);
        connectionPortNames.erase(std::remove(connectionPortNames.begin(), connectionPortNames.end(), full),
                                  connectionPortNames.end());
    }
};

namespace {

using Impl = JackMidiBackend::Impl;

class JackInputPort final : public midi::MidiBackend::InputPort {
public:
    JackInputPort(std::shared_ptr<Impl> impl, std::shared_ptr<PortSlot> slot, std::string fullName)
        : impl_(std::move(impl)), slot_(std::move(slot)), fullName_(std::move(fullName)) {}
    ~JackInputPort() override { impl_->retirePort(slot_); }

private:
    std::shared_ptr<Impl> impl_;
    std::shared_ptr<PortSlot> slot_;
    std::string fullName_;
};

class JackOutputPort final : public midi::MidiBackend::OutputPort {
public:
    JackOutputPort(std::shared_ptr<Impl> impl, std::shared_ptr<PortSlot> slot, std::string fullName)
        : impl_(std::move(impl)), slot_(std::move(slot)), fullName_(std::move(fullName)) {}
    ~JackOutputPort() override { impl_->retirePort(slot_); }
    bool send(const midi::MIDIPacketList& list) override { return impl_->write(*slot_, list); }

private:
    std::shared_ptr<Impl> impl_;
    std::shared_ptr<PortSlot> slot_;
    std::string fullName_;
};

template <class Base> class JackVirtualEndpoint : public Base {
public:
    JackVirtualEndpoint(std::shared_ptr<Impl> impl, std::shared_ptr<PortSlot> slot)
        : impl_(std::move(impl)), slot_(std::move(slot)), ref_(slot_->ref) {}
    ~JackVirtualEndpoint() override { impl_->retirePort(slot_); }
    midi::EndpointRef ref() const override { return ref_; }
    bool setName(const std::string& name) override { return impl_->rename(*slot_, name); }

protected:
    std::shared_ptr<Impl> impl_;
    std::shared_ptr<PortSlot> slot_;
    midi::EndpointRef ref_;
};

class JackVirtualSource final : public JackVirtualEndpoint<midi::MidiBackend::VirtualSource> {
public:
    using JackVirtualEndpoint::JackVirtualEndpoint;
    bool received(const midi::MIDIPacketList& list) override { return impl_->write(*slot_, list); }
};

class JackVirtualDestination final : public JackVirtualEndpoint<midi::MidiBackend::VirtualDestination> {
public:
    using JackVirtualEndpoint::JackVirtualEndpoint;
};

}  // namespace

std::shared_ptr<JackMidiBackend> JackMidiBackend::open(const std::string& clientName, const std::string& serverName) {
    // libjack reports a missing server on standard error; looking for one is no error of ours.
    jack_set_error_function(silent);
    jack_set_info_function(silent);
    auto impl = std::make_shared<Impl>();
    sem_init(&impl->wake, 0, 0);
    impl->client = Impl::openClient(clientName, serverName);
    if (!impl->client) return nullptr;
    // The server may add a number to the name; a client reopened later asks for that one.
    impl->clientName = jack_get_client_name(impl->client);
    impl->serverName = serverName;
    impl->setCallbacks();
    impl->cycleClient.store(impl->client, std::memory_order_release);
    if (jack_activate(impl->client) != 0) return nullptr;
    // The thread keeps the state alive: the backend may be let go of on it (a setup change it
    // announces can drop the last holder), and then it finishes on its own.
    impl->reader = std::thread([keep = impl] { keep->run(); });
    return std::shared_ptr<JackMidiBackend>(new JackMidiBackend(std::move(impl)));
}

JackMidiBackend::JackMidiBackend(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

JackMidiBackend::~JackMidiBackend() {
    impl_->stopping = true;
    sem_post(&impl_->wake);
    if (impl_->reader.joinable()) {
        if (impl_->reader.get_id() == std::this_thread::get_id())
            impl_->reader.detach();
        else
            impl_->reader.join();
    }
    // Ports still held by the layer keep the client state alive; the client closes with it.
    {
        std::lock_guard clientLock(impl_->clientMutex);
        if (impl_->client && !impl_->clientLost) jack_deactivate(impl_->client);
        // Ports the layer still holds make no more calls into the client.
        impl_->serverGone = true;
    }
}

std::string JackMidiBackend::clientName() const { return impl_->clientName; }

bool JackMidiBackend::createClient(const std::string&, std::function<void()> setupChanged) {
    std::lock_guard lock(impl_->mutex);
    impl_->setupChanged = std::move(setupChanged);
    return !impl_->serverGone;
}

std::vector<midi::EndpointInfo> JackMidiBackend::sources() { return impl_->list(JackPortIsOutput); }

std::vector<midi::EndpointInfo> JackMidiBackend::destinations() { return impl_->list(JackPortIsInput); }

std::unique_ptr<midi::MidiBackend::InputPort> JackMidiBackend::connectSource(const std::string& portName,
                                                                             midi::EndpointRef source,
                                                                             midi::PacketHandler handler) {
    std::lock_guard clientLock(impl_->clientMutex);
    jack_port_t* other = impl_->portOfRef(source);
    if (!other) return nullptr;
    const std::string name = impl_->uniquePortName(portName);
    const std::string full = clientName() + ":" + name;
    // Listed as a connection port before it exists, so that no list shows it as an endpoint.
    impl_->addConnectionPortName(full);
    auto slot = impl_->addPort(name, true, std::move(handler));
    if (!slot) {
        impl_->removeConnectionPortName(full);
        return nullptr;
    }
    auto port = std::make_unique<JackInputPort>(impl_, slot, full);
    if (jack_connect(impl_->client, jack_port_name(other), jack_port_name(slot->port)) != 0) return nullptr;
    return port;
}

std::unique_ptr<midi::MidiBackend::OutputPort> JackMidiBackend::connectDestination(const std::string& portName,
                                                                                   midi::EndpointRef destination) {
    std::lock_guard clientLock(impl_->clientMutex);
    jack_port_t* other = impl_->portOfRef(destination);
    if (!other) return nullptr;
    const std::string name = impl_->uniquePortName(portName);
    const std::string full = clientName() + ":" + name;
    impl_->addConnectionPortName(full);
    auto slot = impl_->addPort(name, false, nullptr);
    if (!slot) {
        impl_->removeConnectionPortName(full);
        return nullptr;
    }
    auto port = std::make_unique<JackOutputPort>(impl_, slot, full);
    if (jack_connect(impl_->client, jack_port_name(slot->port), jack_port_name(other)) != 0) return nullptr;
    return port;
}

std::unique_ptr<midi::MidiBackend::VirtualSource> JackMidiBackend::createVirtualSource(const std::string& name) {
    auto slot = impl_->addPort(name, false, nullptr, true);
    if (!slot) return nullptr;
    return std::make_unique<JackVirtualSource>(impl_, slot);
}

std::unique_ptr<midi::MidiBackend::VirtualDestination> JackMidiBackend::createVirtualDestination(
    const std::string& name, midi::PacketHandler handler) {
    auto slot = impl_->addPort(name, true, std::move(handler), true);
    if (!slot) return nullptr;
    return std::make_unique<JackVirtualDestination>(impl_, slot);
}

}  // namespace platform
