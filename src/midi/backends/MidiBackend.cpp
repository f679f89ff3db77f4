#include "midi/backends/MidiBackend.h"

#include <condition_variable>
#include <ctime>
#include <mutex>

namespace midi {

bool MIDIPacketList::add(uint64_t timeStamp, const uint8_t* bytes, size_t length) {
    if (length > kMaxPacketLength) return false;
    const size_t offset = bytes_.size();
    bytes_.insert(bytes_.end(), bytes, bytes + length);
    entries_.push_back({timeStamp, offset, static_cast<uint16_t>(length)});
    return true;
}

uint64_t MidiBackend::currentHostTime() const {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

namespace {
struct SharedState {
    std::mutex mutex;
    std::condition_variable factoryDone;
    std::shared_ptr<MidiBackend> backend;
    bool made = false;
    bool making = false;  // a thread is asking the factory; others wait for its answer
    std::function<std::shared_ptr<MidiBackend>()> factory;
};
SharedState& sharedState() {
    static SharedState state;
    return state;
}
}  // namespace

std::shared_ptr<MidiBackend> MidiBackend::shared() {
    auto& state = sharedState();
    std::unique_lock lock(state.mutex);
    // One factory call at a time: a second would open a second client of the MIDI system only
    // to close it again. (Start-up asks from another thread while the document is read.)
    state.factoryDone.wait(lock, [&] { return !state.making; });
    if (state.made || !state.factory) return state.backend;
    const auto factory = state.factory;
    state.making = true;
    lock.unlock();
    // The factory may take a while (it looks for a running server); it runs outside the lock.
    std::shared_ptr<MidiBackend> backend;
    try {
        backend = factory();
    } catch (...) {
        lock.lock();
        state.making = false;
        state.factoryDone.notify_all();
        throw;
    }
    lock.lock();
    state.making = false;
    if (!state.made) {
        state.backend = std::move(backend);
        state.made = true;
    }
    state.factoryDone.notify_all();
    return state.backend;
}

void MidiBackend::setShared(std::shared_ptr<MidiBackend> backend) {
    auto& state = sharedState();
    std::lock_guard lock(state.mutex);
    state.backend = std::move(backend);
    state.made = true;
}

void MidiBackend::setDefaultFactory(std::function<std::shared_ptr<MidiBackend>()> factory) {
    auto& state = sharedState();
    std::lock_guard lock(state.mutex);
    state.factory = std::move(factory);
}

int32_t MidiBackend::stableUniqueID(const std::string& clientName, const std::string& portName) {
    // FNV-1a over "client:port": the same names give the same ID in every run and on every
    // machine, which is what lets a document find its port again by ID.
    uint32_t hash = 2166136261u;
    auto mix = [&](const std::string& s) {
        for (unsigned char c : s) {
            hash ^= c;
            hash *= 16777619u;
        }
    };
    mix(clientName);
    mix(":");
    mix(portName);
    // 0 means "no ID" to the layer above.
    if (hash == 0) hash = 1;
    return static_cast<int32_t>(hash);
}

}  // namespace midi
