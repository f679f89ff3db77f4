#include "platform/midi/AlsaMidiBackend.h"

#include "platform/midi/MidiEndpointNames.h"

#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>

namespace platform {

// ---- bytes and events ---------------------------------------------------------------------------

namespace {
// Larger than any channel or system-common message; system-exclusive bytes never go through it.
constexpr long kCoderBufferSize = 32;

snd_seq_event_t rawSysExEvent(const uint8_t* bytes, size_t length) {
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    snd_seq_ev_set_sysex(&event, static_cast<unsigned>(length), const_cast<uint8_t*>(bytes));
    return event;
}
}  // namespace

AlsaEventCoder::AlsaEventCoder() {
    snd_midi_event_new(kCoderBufferSize, &encoder_);
    snd_midi_event_new(kCoderBufferSize, &decoder_);
    // Every decoded message carries its status byte, as a packet of its own would.
    if (decoder_) snd_midi_event_no_status(decoder_, 1);
}

AlsaEventCoder::~AlsaEventCoder() {
    if (encoder_) snd_midi_event_free(encoder_);
    if (decoder_) snd_midi_event_free(decoder_);
}

const std::vector<snd_seq_event_t>& AlsaEventCoder::eventsForBytes(const uint8_t* bytes, size_t length) {
    events_.clear();
    if (length == 0) return events_;
    bool whole = encoder_ && bytes[0] >= 0x80 && bytes[0] != 0xF0;
    if (whole) {
        snd_midi_event_reset_encode(encoder_);
        size_t position = 0;
        bool pending = false;
        while (position < length) {
            // A system-exclusive start inside the string: the string goes whole.
            if (bytes[position] == 0xF0) {
                whole = false;
                break;
            }
            snd_seq_event_t event;
            snd_seq_ev_clear(&event);
            const long used =
                snd_midi_event_encode(encoder_, bytes + position, static_cast<long>(length - position), &event);
            if (used <= 0) {
                whole = false;
                break;
            }
            position += static_cast<size_t>(used);
            pending = event.type == SND_SEQ_EVENT_NONE;
            if (!pending) events_.push_back(event);
        }
        // A message cut short at the end is no MIDI of its own either.
        if (pending || events_.empty()) whole = false;
    }
    if (!whole) {
        events_.clear();
        events_.push_back(rawSysExEvent(bytes, length));
    }
    return events_;
}

bool AlsaEventCoder::appendBytesOfEvent(const snd_seq_event_t& event, std::vector<uint8_t>& out) {
    if (event.type == SND_SEQ_EVENT_SYSEX) {
        const auto* data = static_cast<const uint8_t*>(event.data.ext.ptr);
        if (!data || event.data.ext.len == 0) return false;
        out.insert(out.end(), data, data + event.data.ext.len);
        return true;
    }
    if (!decoder_) return false;
    unsigned char buffer[kCoderBufferSize];
    snd_midi_event_reset_decode(decoder_);
    const long n = snd_midi_event_decode(decoder_, buffer, sizeof buffer, &event);
    if (n <= 0) return false;
    out.insert(out.end(), buffer, buffer + n);
    return true;
}

// ---- the sequencer ------------------------------------------------------------------------------

struct AlsaMidiBackend::Impl {
    snd_seq_t* seq = nullptr;
    int clientID = -1;
    int announcePort = -1;
    int wakeFd = -1;

    std::mutex mutex;                             // around every sequencer call and the tables
    std::map<int, midi::PacketHandler> handlers;  // our input ports
    std::vector<int> connectionPorts;             // our ports that are no endpoints
    std::function<void()> setupChanged;
    unsigned portCounter = 0;
    AlsaEventCoder outputCoder;  // main thread, under the mutex

    std::atomic<bool> stopping{false};
    std::thread reader;

    ~Impl() {
        if (seq) snd_seq_close(seq);
        if (wakeFd >= 0) ::close(wakeFd);
    }

    int createPort(const std::string& name, unsigned capabilities) {
        std::lock_guard lock(mutex);
        return snd_seq_create_simple_port(seq, name.c_str(), capabilities,
                                          SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    }
    void deletePort(int port) {
        std::lock_guard lock(mutex);
        handlers.erase(port);
        connectionPorts.erase(std::remove(connectionPorts.begin(), connectionPorts.end(), port), connectionPorts.end());
        snd_seq_delete_simple_port(seq, port);
    }

    bool send(int port, const midi::MIDIPacketList& list) {
        std::lock_guard lock(mutex);
        for (const auto& packet : list) {
            for (snd_seq_event_t event : outputCoder.eventsForBytes(packet.data, packet.length)) {
                snd_seq_ev_set_source(&event, port);
                snd_seq_ev_set_subs(&event);
                snd_seq_ev_set_direct(&event);
                if (snd_seq_event_output_direct(seq, &event) < 0) return false;
            }
        }
        return true;
    }

    std::vector<midi::EndpointInfo> list(unsigned capabilities) {
        std::vector<midi::EndpointInfo> result;
        std::lock_guard lock(mutex);
        snd_seq_client_info_t* client;
        snd_seq_port_info_t* port;
        snd_seq_client_info_alloca(&client);
        snd_seq_port_info_alloca(&port);
        snd_seq_client_info_set_client(client, -1);
        while (snd_seq_query_next_client(seq, client) >= 0) {
            const int id = snd_seq_client_info_get_client(client);
            if (id == SND_SEQ_CLIENT_SYSTEM) continue;
            const std::string clientName = snd_seq_client_info_get_name(client);
            snd_seq_port_info_set_client(port, id);
            snd_seq_port_info_set_port(port, -1);
            while (snd_seq_query_next_port(seq, port) >= 0) {
                const unsigned caps = snd_seq_port_info_get_capability(port);
                if ((caps & capabilities) != capabilities || (caps & SND_SEQ_PORT_CAP_NO_EXPORT)) continue;
                const int portID = snd_seq_port_info_get_port(port);
                if (id == clientID &&
                    std::find(connectionPorts.begin(), connectionPorts.end(), portID) != connectionPorts.end())
                    continue;
                const std::string portName = snd_seq_port_info_get_name(port);
                midi::EndpointInfo info;
                info.ref = refOfAddress(id, portID);
                info.uniqueID = stableUniqueID(clientName, portName);
                info.name = midiEndpointName(clientName, portName);
                info.connectedNames = connectedNames(id, portID, capabilities & SND_SEQ_PORT_CAP_READ);
                result.push_back(std::move(info));
            }
        }
        return result;
    }

    // What the port is connected to (the ports reading a source, or writing to a destination),
    // without the program's own. Called with the mutex held.
    std::string connectedNames(int client, int port, bool source) {
        std::vector<MidiConnectionPeer> peers;
        snd_seq_query_subscribe_t* query;
        snd_seq_client_info_t* clientInfo;
        snd_seq_port_info_t* portInfo;
        snd_seq_query_subscribe_alloca(&query);
        snd_seq_client_info_alloca(&clientInfo);
        snd_seq_port_info_alloca(&portInfo);
        snd_seq_addr_t root{static_cast<unsigned char>(client), static_cast<unsigned char>(port)};
        snd_seq_query_subscribe_set_root(query, &root);
        snd_seq_query_subscribe_set_type(query, source ? SND_SEQ_QUERY_SUBS_READ : SND_SEQ_QUERY_SUBS_WRITE);
        snd_seq_query_subscribe_set_index(query, 0);
        while (snd_seq_query_port_subscribers(seq, query) >= 0) {
            const snd_seq_addr_t* address = snd_seq_query_subscribe_get_addr(query);
            MidiConnectionPeer peer;
            peer.own = address->client == clientID;
            if (snd_seq_get_any_client_info(seq, address->client, clientInfo) >= 0)
                peer.client = snd_seq_client_info_get_name(clientInfo);
            if (snd_seq_get_any_port_info(seq, address->client, address->port, portInfo) >= 0)
                peer.port = snd_seq_port_info_get_name(portInfo);
            peers.push_back(std::move(peer));
            snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
        }
        return midiConnectedNames(peers);
    }

    void run() {
        std::vector<pollfd> fds;
        midi::MIDIPacketList list;
        std::vector<uint8_t> bytes;
        AlsaEventCoder inputCoder;
        struct Delivery {
            int port;
            uint64_t timeStamp;
            size_t offset, length;
        };
        std::vector<Delivery> deliveries;
        while (!stopping) {
            {
                std::lock_guard lock(mutex);
                const int count = snd_seq_poll_descriptors_count(seq, POLLIN);
                fds.resize(static_cast<size_t>(count) + 1);
                snd_seq_poll_descriptors(seq, fds.data() + 1, static_cast<unsigned>(count), POLLIN);
            }
            fds[0] = {wakeFd, POLLIN, 0};
            if (poll(fds.data(), fds.size(), 500) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                uint64_t value;
                (void)::read(wakeFd, &value, sizeof value);
            }
            if (stopping) break;
            bool announce = false;
            bytes.clear();
            deliveries.clear();
            {
                std::lock_guard lock(mutex);
                snd_seq_event_t* event = nullptr;
                while (snd_seq_event_input(seq, &event) >= 0 && event) {
                    if (event->dest.port == announcePort) {
                        announce = true;
                        continue;
                    }
                    if (!handlers.count(event->dest.port)) continue;
                    const size_t offset = bytes.size();
                    if (inputCoder.appendBytesOfEvent(*event, bytes))
                        deliveries.push_back({event->dest.port, now(), offset, bytes.size() - offset});
                }
            }
            for (const auto& delivery : deliveries) {
                midi::PacketHandler handler;
                {
                    std::lock_guard lock(mutex);
                    auto it = handlers.find(delivery.port);
                    if (it == handlers.end()) continue;
                    handler = it->second;
                }
                list.clear();
                list.add(delivery.timeStamp, bytes.data() + delivery.offset, delivery.length);
                handler(list);
            }
            if (announce) {
                std::function<void()> callback;
                {
                    std::lock_guard lock(mutex);
                    callback = setupChanged;
                }
                if (callback) callback();
            }
        }
    }

    static uint64_t now() {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
    }
};

namespace {

using Impl = AlsaMidiBackend::Impl;

class AlsaConnection final : public midi::MidiBackend::InputPort {
public:
    AlsaConnection(std::shared_ptr<Impl> impl, int port) : impl_(std::move(impl)), port_(port) {}
    ~AlsaConnection() override { impl_->deletePort(port_); }

private:
    std::shared_ptr<Impl> impl_;
    int port_;
};

class AlsaOutputPort final : public midi::MidiBackend::OutputPort {
public:
    AlsaOutputPort(std::shared_ptr<Impl> impl, int port) : impl_(std::move(impl)), port_(port) {}
    ~AlsaOutputPort() override { impl_->deletePort(port_); }
    bool send(const midi::MIDIPacketList& list) override { return impl_->send(port_, list); }

private:
    std::shared_ptr<Impl> impl_;
    int port_;
};

template <class Base> class AlsaVirtualEndpoint : public Base {
public:
    AlsaVirtualEndpoint(std::shared_ptr<Impl> impl, int port) : impl_(std::move(impl)), port_(port) {}
    ~AlsaVirtualEndpoint() override { impl_->deletePort(port_); }
    midi::EndpointRef ref() const override { return AlsaMidiBackend::refOfAddress(impl_->clientID, port_); }
    bool setName(const std::string& name) override {
        std::lock_guard lock(impl_->mutex);
        snd_seq_port_info_t* info;
        snd_seq_port_info_alloca(&info);
        if (snd_seq_get_port_info(impl_->seq, port_, info) < 0) return false;
        snd_seq_port_info_set_name(info, name.c_str());
        return snd_seq_set_port_info(impl_->seq, port_, info) >= 0;
    }
    // A private port is one other programs may not connect to, which no list shows.
    bool isPrivate() const override {
        std::lock_guard lock(impl_->mutex);
        snd_seq_port_info_t* info;
        snd_seq_port_info_alloca(&info);
        if (snd_seq_get_port_info(impl_->seq, port_, info) < 0) return false;
        return (snd_seq_port_info_get_capability(info) & SND_SEQ_PORT_CAP_NO_EXPORT) != 0;
    }
    bool setPrivate(bool hidden) override {
        std::lock_guard lock(impl_->mutex);
        snd_seq_port_info_t* info;
        snd_seq_port_info_alloca(&info);
        if (snd_seq_get_port_info(impl_->seq, port_, info) < 0) return false;
        unsigned capabilities = snd_seq_port_info_get_capability(info);
        capabilities = hidden ? capabilities | SND_SEQ_PORT_CAP_NO_EXPORT : capabilities & ~SND_SEQ_PORT_CAP_NO_EXPORT;
        snd_seq_port_info_set_capability(info, capabilities);
        return snd_seq_set_port_info(impl_->seq, port_, info) >= 0;
    }

protected:
    std::shared_ptr<Impl> impl_;
    int port_;
};

class AlsaVirtualSource final : public AlsaVirtualEndpoint<midi::MidiBackend::VirtualSource> {
public:
    using AlsaVirtualEndpoint::AlsaVirtualEndpoint;
    bool received(const midi::MIDIPacketList& list) override { return impl_->send(port_, list); }
};

class AlsaVirtualDestination final : public AlsaVirtualEndpoint<midi::MidiBackend::VirtualDestination> {
public:
    using AlsaVirtualEndpoint::AlsaVirtualEndpoint;
};

constexpr unsigned kReadable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned kWritable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

}  // namespace

namespace {
// alsa-lib reports a missing /dev/snd/seq on standard error; looking for it is no error of ours.
void quiet(const char*, int, const char*, int, const char*, ...) {}
}  // namespace

std::shared_ptr<AlsaMidiBackend> AlsaMidiBackend::open(const std::string& clientName) {
    snd_lib_error_set_handler(quiet);
    auto impl = std::make_shared<Impl>();
    if (snd_seq_open(&impl->seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
        impl->seq = nullptr;
        return nullptr;
    }
    snd_seq_set_client_name(impl->seq, clientName.c_str());
    impl->clientID = snd_seq_client_id(impl->seq);
    impl->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    // Port starts, exits and changes of every client are announced to this private port.
    impl->announcePort = snd_seq_create_simple_port(
        impl->seq, "announcements", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT, SND_SEQ_PORT_TYPE_APPLICATION);
    if (impl->announcePort < 0 || impl->wakeFd < 0) return nullptr;
    snd_seq_connect_from(impl->seq, impl->announcePort, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    Impl* raw = impl.get();
    impl->reader = std::thread([raw] { raw->run(); });
    return std::shared_ptr<AlsaMidiBackend>(new AlsaMidiBackend(std::move(impl)));
}

AlsaMidiBackend::AlsaMidiBackend(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

AlsaMidiBackend::~AlsaMidiBackend() {
    impl_->stopping = true;
    const uint64_t one = 1;
    (void)::write(impl_->wakeFd, &one, sizeof one);
    if (impl_->reader.joinable()) impl_->reader.join();
}

bool AlsaMidiBackend::createClient(const std::string&, std::function<void()> setupChanged) {
    std::lock_guard lock(impl_->mutex);
    impl_->setupChanged = std::move(setupChanged);
    return true;
}

std::vector<midi::EndpointInfo> AlsaMidiBackend::sources() { return impl_->list(kReadable); }
std::vector<midi::EndpointInfo> AlsaMidiBackend::destinations() { return impl_->list(kWritable); }

std::unique_ptr<midi::MidiBackend::InputPort> AlsaMidiBackend::connectSource(const std::string& portName,
                                                                             midi::EndpointRef source,
                                                                             midi::PacketHandler handler) {
    const int port = impl_->createPort(portName + " " + std::to_string(++impl_->portCounter),
                                       kWritable | SND_SEQ_PORT_CAP_NO_EXPORT);
    if (port < 0) return nullptr;
    auto connection = std::make_unique<AlsaConnection>(impl_, port);
    {
        std::lock_guard lock(impl_->mutex);
        impl_->connectionPorts.push_back(port);
        if (snd_seq_connect_from(impl_->seq, port, clientOfRef(source), portOfRef(source)) >= 0) {
            impl_->handlers[port] = std::move(handler);
            return connection;
        }
    }
    return nullptr;
}

std::unique_ptr<midi::MidiBackend::OutputPort> AlsaMidiBackend::connectDestination(const std::string& portName,
                                                                                   midi::EndpointRef destination) {
    const int port = impl_->createPort(portName + " " + std::to_string(++impl_->portCounter),
                                       kReadable | SND_SEQ_PORT_CAP_NO_EXPORT);
    if (port < 0) return nullptr;
    auto output = std::make_unique<AlsaOutputPort>(impl_, port);
    {
        std::lock_guard lock(impl_->mutex);
        impl_->connectionPorts.push_back(port);
        if (snd_seq_connect_to(impl_->seq, port, clientOfRef(destination), portOfRef(destination)) >= 0) return output;
    }
    return nullptr;
}

std::unique_ptr<midi::MidiBackend::VirtualSource> AlsaMidiBackend::createVirtualSource(const std::string& name) {
    const int port = impl_->createPort(name, kReadable);
    if (port < 0) return nullptr;
    return std::make_unique<AlsaVirtualSource>(impl_, port);
}

std::unique_ptr<midi::MidiBackend::VirtualDestination> AlsaMidiBackend::createVirtualDestination(
    const std::string& name, midi::PacketHandler handler) {
    const int port = impl_->createPort(name, kWritable);
    if (port < 0) return nullptr;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->handlers[port] = std::move(handler);
    }
    return std::make_unique<AlsaVirtualDestination>(impl_, port);
}

}  // namespace platform
