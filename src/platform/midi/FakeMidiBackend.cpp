#include "platform/midi/FakeMidiBackend.h"

#include <algorithm>

namespace platform {

using midi::EndpointRef;

struct FakeMidiBackend::Slot {
    midi::PacketHandler handler;
    std::atomic<bool> open{true};
};

struct FakeMidiBackend::State {
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<std::function<void()>> jobs;
    bool busy = false;
    bool stopping = false;

    std::vector<Endpoint> endpoints;
    std::map<EndpointRef, std::vector<std::shared_ptr<Slot>>> connections;
    std::map<EndpointRef, size_t> outputPorts;
    std::vector<Sent> sent;
    std::function<void()> setupChanged;
    size_t clients = 0;
    EndpointRef nextRef = 1;

    Endpoint* find(EndpointRef ref) {
        for (auto& e : endpoints)
            if (e.ref == ref) return &e;
        return nullptr;
    }
    bool recordSend(EndpointRef ref, const midi::MIDIPacketList& list) {
        std::lock_guard lock(mutex);
        Endpoint* e = find(ref);
        if (!e || e->failSends || e->offline) return false;
        for (const auto& packet : list)
            sent.push_back({ref, {packet.data, packet.data + packet.length}, packet.timeStamp});
        return true;
    }
};

namespace {

class FakeInputPort final : public midi::MidiBackend::InputPort {
public:
    FakeInputPort(std::shared_ptr<FakeMidiBackend::State> state, EndpointRef source,
                  std::shared_ptr<FakeMidiBackend::Slot> slot)
        : state_(std::move(state)), source_(source), slot_(std::move(slot)) {}
    ~FakeInputPort() override {
        slot_->open = false;
        std::lock_guard lock(state_->mutex);
        auto& slots = state_->connections[source_];
        slots.erase(std::remove(slots.begin(), slots.end(), slot_), slots.end());
    }

private:
    std::shared_ptr<FakeMidiBackend::State> state_;
    EndpointRef source_;
    std::shared_ptr<FakeMidiBackend::Slot> slot_;
};

class FakeOutputPort final : public midi::MidiBackend::OutputPort {
public:
    FakeOutputPort(std::shared_ptr<FakeMidiBackend::State> state, EndpointRef destination)
        : state_(std::move(state)), destination_(destination) {}
    ~FakeOutputPort() override {
        std::lock_guard lock(state_->mutex);
        --state_->outputPorts[destination_];
    }
    bool send(const midi::MIDIPacketList& list) override { return state_->recordSend(destination_, list); }

private:
    std::shared_ptr<FakeMidiBackend::State> state_;
    EndpointRef destination_;
};

class FakeVirtualEndpoint {
public:
    FakeVirtualEndpoint(std::shared_ptr<FakeMidiBackend::State> state, EndpointRef ref)
        : state_(std::move(state)), ref_(ref) {}
    ~FakeVirtualEndpoint() {
        std::shared_ptr<FakeMidiBackend::Slot> input;
        std::lock_guard lock(state_->mutex);
        auto& list = state_->endpoints;
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (it->ref == ref_) {
                if (it->virtualInput) it->virtualInput->open = false;
                list.erase(it);
                break;
            }
        }
    }
    bool rename(const std::string& name) {
        std::lock_guard lock(state_->mutex);
        auto* e = state_->find(ref_);
        if (!e) return false;
        e->name = name;
        return true;
    }
    bool hidden() const {
        std::lock_guard lock(state_->mutex);
        const auto* e = state_->find(ref_);
        return e && e->privateEndpoint;
    }
    bool hide(bool on) {
        std::lock_guard lock(state_->mutex);
        auto* e = state_->find(ref_);
        if (!e) return false;
        e->privateEndpoint = on;
        return true;
    }

protected:
    std::shared_ptr<FakeMidiBackend::State> state_;
    EndpointRef ref_;
};

class FakeVirtualSource final : public midi::MidiBackend::VirtualSource, FakeVirtualEndpoint {
public:
    using FakeVirtualEndpoint::FakeVirtualEndpoint;
    EndpointRef ref() const override { return ref_; }
    bool setName(const std::string& name) override { return rename(name); }
    bool isPrivate() const override { return hidden(); }
    bool setPrivate(bool on) override { return hide(on); }
    bool received(const midi::MIDIPacketList& list) override { return state_->recordSend(ref_, list); }
};

class FakeVirtualDestination final : public midi::MidiBackend::VirtualDestination, FakeVirtualEndpoint {
public:
    using FakeVirtualEndpoint::FakeVirtualEndpoint;
    EndpointRef ref() const override { return ref_; }
    bool setName(const std::string& name) override { return rename(name); }
    bool isPrivate() const override { return hidden(); }
    bool setPrivate(bool on) override { return hide(on); }
};

}  // namespace

FakeMidiBackend::FakeMidiBackend() : state_(std::make_shared<State>()) {
    thread_ = std::thread([this] { run(); });
}

FakeMidiBackend::~FakeMidiBackend() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    thread_.join();
}

void FakeMidiBackend::run() {
    std::unique_lock lock(state_->mutex);
    for (;;) {
        state_->wake.wait(lock, [&] { return state_->stopping || !state_->jobs.empty(); });
        if (state_->jobs.empty()) return;
        auto job = std::move(state_->jobs.front());
        state_->jobs.pop_front();
        state_->busy = true;
        lock.unlock();
        job();
        lock.lock();
        state_->busy = false;
        if (state_->jobs.empty()) state_->idle.notify_all();
    }
}

void FakeMidiBackend::post(std::function<void()> job) {
    {
        std::lock_guard lock(state_->mutex);
        state_->jobs.push_back(std::move(job));
    }
    state_->wake.notify_one();
}

void FakeMidiBackend::drain() {
    std::unique_lock lock(state_->mutex);
    state_->idle.wait(lock, [&] { return state_->jobs.empty() && !state_->busy; });
}

void FakeMidiBackend::announceSetupChange() {
    post([state = state_] {
        std::function<void()> callback;
        {
            std::lock_guard lock(state->mutex);
            callback = state->setupChanged;
        }
        if (callback) callback();
    });
}

EndpointRef FakeMidiBackend::plug(Kind kind, const std::string& name, int32_t uniqueID) {
    EndpointRef ref;
    {
        std::lock_guard lock(state_->mutex);
        ref = state_->nextRef++;
        Endpoint e;
        e.ref = ref;
        e.kind = kind;
        e.name = name;
        e.uniqueID = uniqueID;
        state_->endpoints.push_back(std::move(e));
    }
    announceSetupChange();
    return ref;
}

void FakeMidiBackend::unplug(EndpointRef ref) {
    {
        std::lock_guard lock(state_->mutex);
        auto& list = state_->endpoints;
        list.erase(std::remove_if(list.begin(), list.end(), [&](const Endpoint& e) { return e.ref == ref; }),
                   list.end());
        // Ports connected to a vanished source stay, as the system's do, but nothing reaches them.
    }
    announceSetupChange();
}

void FakeMidiBackend::setOffline(EndpointRef ref, bool offline) {
    {
        std::lock_guard lock(state_->mutex);
        if (Endpoint* e = state_->find(ref)) e->offline = offline;
    }
    announceSetupChange();
}

void FakeMidiBackend::setConnectedNames(EndpointRef ref, const std::string& names) {
    {
        std::lock_guard lock(state_->mutex);
        if (Endpoint* e = state_->find(ref)) e->connectedNames = names;
    }
    announceSetupChange();
}

void FakeMidiBackend::setFailSends(EndpointRef ref, bool fail) {
    std::lock_guard lock(state_->mutex);
    if (Endpoint* e = state_->find(ref)) e->failSends = fail;
}

void FakeMidiBackend::sendFromSource(EndpointRef source, const std::vector<uint8_t>& bytes, uint64_t timeStamp) {
    post([state = state_, source, bytes, timeStamp] {
        std::vector<std::shared_ptr<Slot>> slots;
        {
            std::lock_guard lock(state->mutex);
            Endpoint* e = state->find(source);
            if (!e || e->offline) return;
            slots = state->connections[source];
        }
        midi::MIDIPacketList list(timeStamp, bytes.data(), bytes.size());
        for (const auto& slot : slots)
            if (slot->open) slot->handler(list);
    });
}

void FakeMidiBackend::sendToVirtualDestination(EndpointRef destination, const std::vector<uint8_t>& bytes,
                                               uint64_t timeStamp) {
    post([state = state_, destination, bytes, timeStamp] {
        std::shared_ptr<Slot> slot;
        {
            std::lock_guard lock(state->mutex);
            if (Endpoint* e = state->find(destination)) slot = e->virtualInput;
        }
        if (!slot || !slot->open) return;
        midi::MIDIPacketList list(timeStamp, bytes.data(), bytes.size());
        slot->handler(list);
    });
}

std::vector<FakeMidiBackend::Sent> FakeMidiBackend::sent() const {
    std::lock_guard lock(state_->mutex);
    return state_->sent;
}

void FakeMidiBackend::clearSent() {
    std::lock_guard lock(state_->mutex);
    state_->sent.clear();
}

size_t FakeMidiBackend::connectionCount(EndpointRef source) const {
    std::lock_guard lock(state_->mutex);
    auto it = state_->connections.find(source);
    return it == state_->connections.end() ? 0 : it->second.size();
}

size_t FakeMidiBackend::outputPortCount(EndpointRef destination) const {
    std::lock_guard lock(state_->mutex);
    auto it = state_->outputPorts.find(destination);
    return it == state_->outputPorts.end() ? 0 : it->second;
}

EndpointRef FakeMidiBackend::virtualEndpointNamed(const std::string& name) const {
    std::lock_guard lock(state_->mutex);
    for (const auto& e : state_->endpoints)
        if (e.virtualEndpoint && e.name == name) return e.ref;
    return 0;
}

size_t FakeMidiBackend::clientCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->clients;
}

bool FakeMidiBackend::createClient(const std::string&, std::function<void()> setupChanged) {
    if (failCreateClient_) return false;
    std::lock_guard lock(state_->mutex);
    state_->setupChanged = std::move(setupChanged);
    ++state_->clients;
    return true;
}

namespace {
std::vector<midi::EndpointInfo> listOf(FakeMidiBackend::State& state, FakeMidiBackend::Kind kind);
}

std::vector<midi::EndpointInfo> FakeMidiBackend::sources() { return listOf(*state_, Kind::Source); }
std::vector<midi::EndpointInfo> FakeMidiBackend::destinations() { return listOf(*state_, Kind::Destination); }

namespace {
std::vector<midi::EndpointInfo> listOf(FakeMidiBackend::State& state, FakeMidiBackend::Kind kind) {
    std::lock_guard lock(state.mutex);
    std::vector<midi::EndpointInfo> list;
    for (const auto& e : state.endpoints) {
        if (e.kind != kind || e.privateEndpoint) continue;
        midi::EndpointInfo info;
        info.ref = e.ref;
        info.uniqueID = e.uniqueID;
        info.name = e.name;
        info.connectedNames = e.connectedNames;
        info.offline = e.offline;
        list.push_back(std::move(info));
    }
    return list;
}
}  // namespace

std::unique_ptr<midi::MidiBackend::InputPort> FakeMidiBackend::connectSource(const std::string&, EndpointRef source,
                                                                             midi::PacketHandler handler) {
    std::lock_guard lock(state_->mutex);
    Endpoint* e = state_->find(source);
    if (!e || e->kind != Kind::Source) return nullptr;
    auto slot = std::make_shared<Slot>();
    slot->handler = std::move(handler);
    state_->connections[source].push_back(slot);
    return std::make_unique<FakeInputPort>(state_, source, slot);
}

std::unique_ptr<midi::MidiBackend::OutputPort> FakeMidiBackend::connectDestination(const std::string&,
                                                                                   EndpointRef destination) {
    std::lock_guard lock(state_->mutex);
    Endpoint* e = state_->find(destination);
    if (!e || e->kind != Kind::Destination) return nullptr;
    ++state_->outputPorts[destination];
    return std::make_unique<FakeOutputPort>(state_, destination);
}

std::unique_ptr<midi::MidiBackend::VirtualSource> FakeMidiBackend::createVirtualSource(const std::string& name) {
    std::lock_guard lock(state_->mutex);
    Endpoint e;
    e.ref = state_->nextRef++;
    e.kind = Kind::Source;
    e.name = name;
    e.virtualEndpoint = true;
    state_->endpoints.push_back(e);
    return std::make_unique<FakeVirtualSource>(state_, e.ref);
}

std::unique_ptr<midi::MidiBackend::VirtualDestination> FakeMidiBackend::createVirtualDestination(
    const std::string& name, midi::PacketHandler handler) {
    std::lock_guard lock(state_->mutex);
    Endpoint e;
    e.ref = state_->nextRef++;
    e.kind = Kind::Destination;
    e.name = name;
    e.virtualEndpoint = true;
    e.virtualInput = std::make_shared<Slot>();
    e.virtualInput->handler = std::move(handler);
    state_->endpoints.push_back(e);
    return std::make_unique<FakeVirtualDestination>(state_, e.ref);
}

}  // namespace platform
