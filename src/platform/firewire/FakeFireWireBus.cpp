#include "platform/firewire/FakeFireWireBus.h"

#include "foundation/RunLoop.h"

#include <algorithm>
#include <chrono>

namespace platform {

// ---- Units -------------------------------------------------------------------------------------

namespace {
uint32_t quadlet(const FireWireBlock& block, size_t at) {
    return uint32_t(block[at]) << 24 | uint32_t(block[at + 1]) << 16 | uint32_t(block[at + 2]) << 8 | block[at + 3];
}
}  // namespace

uint32_t FakeFireWireUnit::Transaction::high() const { return quadlet(data, 0); }
uint32_t FakeFireWireUnit::Transaction::low() const { return quadlet(data, 4); }

void FakeFireWireUnit::setBlock(const FireWireAddress& address, const FireWireBlock& data) {
    std::lock_guard lock(mutex_);
    storeLocked(address, data);
}

void FakeFireWireUnit::storeLocked(const FireWireAddress& address, const FireWireBlock& data) {
    for (auto& [at, block] : blocks_) {
        if (at == address) {
            block = data;
            return;
        }
    }
    blocks_.emplace_back(address, data);
}

void FakeFireWireUnit::setReadResult(std::optional<FireWireResult> result) {
    std::lock_guard lock(mutex_);
    readResult_ = result;
}

void FakeFireWireUnit::setReadResultAt(const FireWireAddress& address, std::optional<FireWireResult> result) {
    std::lock_guard lock(mutex_);
    std::erase_if(readResultsAt_, [&](const auto& entry) { return entry.first == address; });
    if (result) readResultsAt_.emplace_back(address, *result);
}

void FakeFireWireUnit::setWriteResult(std::optional<FireWireResult> result) {
    std::lock_guard lock(mutex_);
    writeResult_ = result;
}

void FakeFireWireUnit::setRefusesOpen(bool refuses) {
    std::lock_guard lock(mutex_);
    refusesOpen_ = refuses;
}

void FakeFireWireUnit::setStalled(bool stalled) {
    {
        std::lock_guard lock(mutex_);
        stalled_ = stalled;
    }
    changed_.notify_all();
}

void FakeFireWireUnit::setPlugged(bool plugged) {
    {
        std::lock_guard lock(mutex_);
        plugged_ = plugged;
    }
    changed_.notify_all();
}

bool FakeFireWireUnit::isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

bool FakeFireWireUnit::isPlugged() const {
    std::lock_guard lock(mutex_);
    return plugged_;
}

std::vector<FakeFireWireUnit::Transaction> FakeFireWireUnit::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

size_t FakeFireWireUnit::stalledWrites() const {
    std::lock_guard lock(mutex_);
    return waitingWrites_;
}

bool FakeFireWireUnit::waitForWrites(size_t count, double seconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return writes_.size() >= count; });
}

std::optional<uint32_t> FakeFireWireUnit::unitDirectoryValue(uint8_t key) const {
    auto it = description_.unitDirectory.find(key);
    if (it == description_.unitDirectory.end()) return std::nullopt;
    return it->second;
}

bool FakeFireWireUnit::open() {
    std::lock_guard lock(mutex_);
    if (!plugged_ || refusesOpen_) return false;
    open_ = true;
    return true;
}

void FakeFireWireUnit::close() {
    std::lock_guard lock(mutex_);
    open_ = false;
}

FireWireResult FakeFireWireUnit::read(const FireWireAddress& address, FireWireBlock& data) {
    std::lock_guard lock(mutex_);
    if (!plugged_) return FireWireResult::Offline;
    if (!open_) return FireWireResult::Failed;
    if (readResult_) return *readResult_;
    for (const auto& [at, result] : readResultsAt_)
        if (at == address) return result;
    data = {};
    for (const auto& [at, block] : blocks_)
        if (at == address) data = block;
    return FireWireResult::Done;
}

FireWireResult FakeFireWireUnit::write(const FireWireAddress& address, const FireWireBlock& data) {
    std::unique_lock lock(mutex_);
    ++waitingWrites_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !stalled_ || !plugged_; });
    --waitingWrites_;
    if (!plugged_) return FireWireResult::Offline;
    if (!open_) return FireWireResult::Failed;
    if (writeResult_) return *writeResult_;
    writes_.push_back({address, data, clock_->now()});
    storeLocked(address, data);
    changed_.notify_all();
    return FireWireResult::Done;
}

// ---- The bus -----------------------------------------------------------------------------------

struct FakeFireWireBus::UnitWatch final : Watch {
    std::weak_ptr<FakeFireWireBus> bus;
    uint32_t specifierID = 0;
    uint32_t softwareVersion = 0;
    WatchCallbacks callbacks;
    std::set<FakeFireWireUnit*> matched;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    bool wants(const FakeFireWireUnit& unit) const {
        return unit.specifierID() == specifierID && unit.softwareVersion() == softwareVersion;
    }
    // Announces the unit from the main run loop, unless the watch has ended by then.
    void announce(const std::shared_ptr<FakeFireWireUnit>& unit, bool plugged) {
        foundation::RunLoop::main().post([this, alive = alive, unit, plugged] {
            if (!*alive) return;
            if (plugged) {
                matched.insert(unit.get());
                if (callbacks.matched) callbacks.matched(unit);
            } else if (matched.erase(unit.get()) && callbacks.closeRequested) {
                callbacks.closeRequested(unit);
            }
        });
    }

    ~UnitWatch() override {
        *alive = false;
        if (auto b = bus.lock()) b->watches_.erase(this);
    }
};

std::shared_ptr<FakeFireWireUnit> FakeFireWireBus::plug(FakeFireWireUnit::Description description) {
    auto unit = std::make_shared<FakeFireWireUnit>(std::move(description), clock_);
    units_.push_back(unit);
    for (UnitWatch* watch : watches_)
        if (watch->wants(*unit)) watch->announce(unit, true);
    return unit;
}

void FakeFireWireBus::unplug(const std::shared_ptr<FakeFireWireUnit>& unit) {
    auto it = std::find(units_.begin(), units_.end(), unit);
    if (it == units_.end()) return;
    units_.erase(it);
    unit->setPlugged(false);
    for (UnitWatch* watch : watches_)
        if (watch->wants(*unit)) watch->announce(unit, false);
}

std::unique_ptr<FireWireBus::Watch> FakeFireWireBus::watchUnits(uint32_t specifierID, uint32_t softwareVersion,
                                                                WatchCallbacks callbacks) {
    auto watch = std::make_unique<UnitWatch>();
    watch->bus = weak_from_this();
    watch->specifierID = specifierID;
    watch->softwareVersion = softwareVersion;
    watch->callbacks = std::move(callbacks);
    watches_.insert(watch.get());
    for (const auto& unit : units_)
        if (watch->wants(*unit)) watch->announce(unit, true);
    return watch;
}

}  // namespace platform
