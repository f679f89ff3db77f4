#include "midi/tarn/TarnMIDIManager.h"

#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/NotificationCenter.h"
#include "foundation/RunLoop.h"

#include <algorithm>
#include <ctime>

namespace {
std::mutex& sharedLock() {
    static std::mutex lock;
    return lock;
}
std::shared_ptr<TarnMIDIManager>& sharedSlot() {
    static std::shared_ptr<TarnMIDIManager> manager;
    return manager;
}
}  // namespace

std::shared_ptr<TarnMIDIManager> TarnMIDIManager::shared() {
    std::lock_guard lock(sharedLock());
    auto& slot = sharedSlot();
    if (!slot) slot = create(midi::MidiBackend::shared());
    return slot;
}

void TarnMIDIManager::setShared(std::shared_ptr<TarnMIDIManager> manager) {
    std::shared_ptr<TarnMIDIManager> previous;
    {
        std::lock_guard lock(sharedLock());
        previous = std::exchange(sharedSlot(), std::move(manager));
    }
    // The previous one goes outside the lock: its endpoints' ports close as it does.
}

std::shared_ptr<TarnMIDIManager> TarnMIDIManager::create(std::shared_ptr<midi::MidiBackend> backend) {
    auto manager = std::make_shared<TarnMIDIManager>(Key{}, std::move(backend));
    manager->open();
    return manager;
}

TarnMIDIManager::TarnMIDIManager(Key, std::shared_ptr<midi::MidiBackend> backend) : backend_(std::move(backend)) {}

TarnMIDIManager::~TarnMIDIManager() = default;

void TarnMIDIManager::open() {
    notificationsEnabled_ = false;
    if (backend_) {
        std::weak_ptr<TarnMIDIManager> weak = shared_from_this();
        const bool created = backend_->createClient(kClientName, [weak] {
            if (auto manager = weak.lock()) manager->setupChanged();
        });
        if (!created) {
            // The system has no error number to give; -1 stands for "refused".
            foundation::logf("Failed to create MIDI client (err=%ld).", -1L);
            backend_.reset();
        }
    }
    updateRealSources();
    updateRealDestinations();
    notificationsEnabled_ = true;
}

// ---- setup changes ------------------------------------------------------------------------------

void TarnMIDIManager::setupChanged() {
    // One pass is queued at a time; a change during that pass queues the next one.
    if (changePending_.exchange(true)) return;
    std::weak_ptr<TarnMIDIManager> weak = weak_from_this();
    foundation::RunLoop::main().post([weak] {
        if (auto manager = weak.lock()) manager->processMIDINotification();
    });
}

void TarnMIDIManager::processMIDINotification() {
    changePending_ = false;
    if (!notificationsEnabled_) return;
    updateRealSources();
    updateRealDestinations();
    foundation::NotificationCenter::defaultCenter().post(kSetupChangedNotification, this);
}

// ---- the lists ----------------------------------------------------------------------------------

template <class T>
void TarnMIDIManager::updateList(std::vector<std::shared_ptr<T>>& list,
                                 const std::vector<midi::EndpointInfo>& current) {
    for (const auto& endpoint : list) endpoint->syncWithMIDIEndpoint(current);
    auto self = shared_from_this();
    for (const auto& info : current) {
        if (isOwnEndpoint(info.ref)) continue;
        const bool listed = std::any_of(list.begin(), list.end(),
                                        [&](const auto& endpoint) { return endpoint->midiEndpointRef() == info.ref; });
        if (listed) continue;
        auto endpoint = std::make_shared<T>();
        endpoint->initWith(self, info);
        list.push_back(std::move(endpoint));
    }
    std::stable_sort(list.begin(), list.end(),
                     [](const auto& a, const auto& b) { return a->compareByDisplayName(*b); });
}

void TarnMIDIManager::updateRealSources() {
    updateList(realSources_, backend_ ? backend_->sources() : std::vector<midi::EndpointInfo>{});
}

void TarnMIDIManager::updateRealDestinations() {
    updateList(realDestinations_, backend_ ? backend_->destinations() : std::vector<midi::EndpointInfo>{});
}

std::shared_ptr<TarnMIDIRealSource> TarnMIDIManager::realSourceWithMIDIEndpointRef(midi::EndpointRef ref) const {
    for (const auto& e : realSources_)
        if (e->midiEndpointRef() == ref) return e;
    return nullptr;
}

std::shared_ptr<TarnMIDIRealDestination> TarnMIDIManager::realDestinationWithMIDIEndpointRef(
    midi::EndpointRef ref) const {
    for (const auto& e : realDestinations_)
        if (e->midiEndpointRef() == ref) return e;
    return nullptr;
}

std::vector<std::shared_ptr<TarnMIDIRealSource>> TarnMIDIManager::realSourcesOnlineOrInUse() const {
    std::vector<std::shared_ptr<TarnMIDIRealSource>> result;
    for (const auto& e : realSources_)
        if (e->isOnlineOrInUse()) result.push_back(e);
    return result;
}

std::vector<std::shared_ptr<TarnMIDIRealDestination>> TarnMIDIManager::realDestinationsOnlineOrInUse() const {
    std::vector<std::shared_ptr<TarnMIDIRealDestination>> result;
    for (const auto& e : realDestinations_)
        if (e->isOnlineOrInUse()) result.push_back(e);
    return result;
}

template <class T>
std::shared_ptr<T> TarnMIDIManager::withDescriptor(std::vector<std::shared_ptr<T>>& list,
                                                   const TarnMIDIEndpointDescriptor& descriptor) {
    if (auto found = TarnMIDIEndpointSet::endpointSetWithArray(list).endpointWithDescriptor(descriptor))
        return std::static_pointer_cast<T>(found);
    auto endpoint = std::make_shared<T>();
    endpoint->initWith(shared_from_this(), descriptor);
    list.push_back(endpoint);
    return endpoint;
}

std::shared_ptr<TarnMIDIRealSource> TarnMIDIManager::realSourceWithDescriptor(
    const TarnMIDIEndpointDescriptor& descriptor) {
    return withDescriptor(realSources_, descriptor);
}

std::shared_ptr<TarnMIDIRealDestination> TarnMIDIManager::realDestinationWithDescriptor(
    const TarnMIDIEndpointDescriptor& descriptor) {
    return withDescriptor(realDestinations_, descriptor);
}

// ---- own endpoints ------------------------------------------------------------------------------

std::shared_ptr<TarnMIDIVirtualSource> TarnMIDIManager::sharedVirtualSource() {
    std::lock_guard lock(sharedSourceLock_);
    if (!sharedVirtualSource_) {
        sharedVirtualSource_ = TarnMIDIVirtualSource::create(shared_from_this(), kSharedVirtualSourceName);
        sharedVirtualSource_->setUniqueID(kSharedVirtualSourceUniqueID);
    }
    return sharedVirtualSource_;
}

void TarnMIDIManager::registerVirtualEndpoint(const std::shared_ptr<TarnMIDIVirtualEndpoint>& endpoint) {
    std::lock_guard lock(virtualLock_);
    virtualEndpoints_.erase(std::remove_if(virtualEndpoints_.begin(), virtualEndpoints_.end(),
                                           [](const auto& weak) { return weak.expired(); }),
                            virtualEndpoints_.end());
    virtualEndpoints_.push_back(endpoint);
    // Remembered after the endpoint is gone: the system may list it a little longer.
    if (endpoint->midiEndpointRef() != 0) ownRefs_.insert(endpoint->midiEndpointRef());
}

bool TarnMIDIManager::isOwnEndpoint(midi::EndpointRef ref) const {
    if (ref == 0) return false;
    std::lock_guard lock(virtualLock_);
    return ownRefs_.count(ref) != 0;
}

bool TarnMIDIManager::isUniqueIDInUse(int32_t uniqueID, const TarnMIDIEndpoint* except) const {
    if (backend_) {
        for (const auto& list : {backend_->sources(), backend_->destinations()}) {
            for (const auto& info : list) {
                if (info.uniqueID != uniqueID || isOwnEndpoint(info.ref)) continue;
                return true;
            }
        }
    }
    std::lock_guard lock(virtualLock_);
    for (const auto& weak : virtualEndpoints_) {
        auto endpoint = weak.lock();
        if (endpoint && endpoint.get() != except && endpoint->uniqueID() == uniqueID) return true;
    }
    return false;
}

int32_t TarnMIDIManager::allocateUniqueID() const {
    static std::atomic<int32_t> counter{0};
    for (;;) {
        const auto candidate =
            static_cast<int32_t>(static_cast<uint32_t>(time(nullptr)) + static_cast<uint32_t>(counter.fetch_add(1)));
        if (candidate != 0 && !isUniqueIDInUse(candidate)) return candidate;
    }
}

// ---- note names ---------------------------------------------------------------------------------

const std::array<std::string, 128>& TarnMIDIManager::noteNames() {
    static const std::array<std::string, 128> names = [] {
        static const char* const letters[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
        std::array<std::string, 128> result;
        for (int note = 0; note < 128; ++note)
            result[note] = foundation::format("%s%d", letters[note % 12], note / 12 - 2);
        return result;
    }();
    return names;
}

std::string TarnMIDIManager::nameOfNote(unsigned note) {
    if (note >= 128) return "#err";
    return noteNames()[note];
}
