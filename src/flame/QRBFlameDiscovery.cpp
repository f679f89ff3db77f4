#include "flame/QRBFlameDiscovery.h"

#include <algorithm>

QRBFlameDiscovery::QRBFlameDiscovery(std::shared_ptr<FireWireBus> bus) : bus_(bus ? std::move(bus) : noFireWireBus()) {}

QRBFlameDiscovery::~QRBFlameDiscovery() = default;

void QRBFlameDiscovery::setCallbacks(UnitCallback appeared, UnitCallback disappeared) {
    appeared_ = std::move(appeared);
    disappeared_ = std::move(disappeared);
}

void QRBFlameDiscovery::start() {
    if (isStarted()) return;
    for (uint32_t version : {kSyncUnitVersion, kUnitVersion}) {
        FireWireBus::WatchCallbacks callbacks;
        callbacks.matched = [this](const FireWireUnitPtr& unit) { add(unit); };
        callbacks.closeRequested = [this](const FireWireUnitPtr& unit) { remove(unit); };
        watches_.push_back(bus_->watchUnits(kUnitSpecifierID, version, std::move(callbacks)));
    }
}

void QRBFlameDiscovery::stop() {
    watches_.clear();
    const std::vector<FireWireUnitPtr> gone = std::move(units_);
    units_.clear();
    for (const auto& unit : gone)
        if (disappeared_) disappeared_(unit);
}

void QRBFlameDiscovery::add(const FireWireUnitPtr& unit) {
    if (!unit) return;
    const std::optional<uint64_t> guid = unit->guid();
    for (const auto& present : units_) {
        // The same unit matched again, or the box's other unit: it is already here.
        if (present == unit || (guid && present->guid() == guid)) return;
    }
    if (units_.size() >= kMaxUnits) return;
    units_.push_back(unit);
    if (appeared_) appeared_(unit);
}

void QRBFlameDiscovery::remove(const FireWireUnitPtr& unit) {
    auto it = std::find(units_.begin(), units_.end(), unit);
    if (it == units_.end()) return;
    units_.erase(it);
    if (disappeared_) disappeared_(unit);
}
