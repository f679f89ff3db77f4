#include "flame/QRBFlameDiscovery.h"

#include "flame/QRBFlameLink.h"
#include "foundation/Log.h"
#include "foundation/RunLoop.h"

namespace {

QRBFlameDiscovery*& activeDiscovery() {
    static QRBFlameDiscovery* discovery = nullptr;
    return discovery;
}

// The link the outputs write through while a discovery runs: a write to the current device.
class QRBFlameDeviceLink final : public QRBFlameLink {
public:
    bool writeToCurrentDevice(uint32_t offset, uint32_t high, uint32_t low, int priority) override {
        return flame_device_write(flame_disco_current_device(), offset, high, low, priority) == 1;
    }
};

}  // namespace

QRBFlameDiscovery::QRBFlameDiscovery(std::shared_ptr<FireWireBus> bus) : bus_(bus ? std::move(bus) : noFireWireBus()) {}

QRBFlameDiscovery::~QRBFlameDiscovery() {
    stop();
    // Devices added without a start (tests) go too, without callbacks.
    added_ = nullptr;
    removed_ = nullptr;
    for (size_t slot = 0; slot < kMaxUnits; ++slot) remove(slot);
}

QRBFlameDiscovery* QRBFlameDiscovery::active() { return activeDiscovery(); }

void QRBFlameDiscovery::setCallbacks(DeviceCallback added, DeviceCallback removed) {
    added_ = std::move(added);
    removed_ = std::move(removed);
}

void QRBFlameDiscovery::start() {
    if (isStarted()) return;
    for (uint32_t version : {kSyncUnitVersion, kUnitVersion}) {
        FireWireBus::WatchCallbacks callbacks;
        callbacks.matched = [this, version](const FireWireUnitPtr& unit) { add(unit, version); };
        callbacks.closeRequested = [this](const FireWireUnitPtr& unit) { closeRequested(unit); };
        watches_.push_back(bus_->watchUnits(kUnitSpecifierID, version, std::move(callbacks)));
    }
    activeDiscovery() = this;
    QRBFlameLink::setShared(std::make_shared<QRBFlameDeviceLink>());
}

void QRBFlameDiscovery::stop() {
    if (!isStarted()) return;
    watches_.clear();
    for (size_t slot = 0; slot < kMaxUnits; ++slot) remove(slot);
    if (activeDiscovery() == this) {
        activeDiscovery() = nullptr;
        QRBFlameLink::setShared(nullptr);
    }
}

flame_device* QRBFlameDiscovery::add(const FireWireUnitPtr& unit, uint32_t version) {
    if (!unit) return nullptr;
    for (const Slot& slot : slots_) {
        if (slot.device && slot.unit == unit) {
            foundation::logf("Warning: a Flame service is being added twice (service=0x%lx, id=0x%lx).",
                             reinterpret_cast<unsigned long>(unit.get()), static_cast<unsigned long>(version));
            return slot.device.get();
        }
    }
    // A box that shows up as two units (both versions) is one device. A missing GUID matches
    // nothing.
    if (const std::optional<uint64_t> guid = unit->guid()) {
        for (const Slot& slot : slots_)
            if (slot.device && flame_device_guid(slot.device.get()) == guid) return slot.device.get();
    }
    size_t free = kMaxUnits;
    for (size_t i = 0; i < kMaxUnits && free == kMaxUnits; ++i)
        if (!slots_[i].device) free = i;
    if (free == kMaxUnits) {
        foundation::logf("Warning: a Flame unit was found, but %zu are in use already; it is ignored.", kMaxUnits);
        return nullptr;
    }

    flame_device_ptr device = flame_device_create(unit, version);
    if (!device) foundation::log("Error: Unable to allocate memory for a new Flame interface.");
    if (!device || !flame_device_open(device.get()) || !flame_device_start(device.get())) {
        foundation::log("Error: A Flame interface has been found, but an error occurred while starting the interface.");
        return nullptr;
    }
    Slot& slot = slots_[free];
    slot.unit = unit;
    slot.device = std::move(device);
    slot.voices = flame_voices_new(slot.device.get());
    ++deviceCount_;
    flame_device* added = slot.device.get();
    if (added_) added_(added);
    pickCurrent();
    return added;
}

void QRBFlameDiscovery::remove(size_t slot) {
    if (slot >= kMaxUnits || !slots_[slot].device) return;
    Slot gone = std::move(slots_[slot]);
    slots_[slot] = Slot{};
    --deviceCount_;
    if (flame_device_is_open(gone.device.get())) {
        if (removed_) removed_(gone.device.get());
        flame_device_close(gone.device.get());
    }
    flame_voices_free(std::move(gone.voices));
    flame_device_free(std::move(gone.device));
    if (slot == currentSlot_) pickCurrent();
}

bool QRBFlameDiscovery::setCurrentSlot(size_t slot) {
    if (slot >= kMaxUnits) return false;
    currentSlot_ = slot;
    return true;
}

void QRBFlameDiscovery::removeDevice(const flame_device* device) {
    if (!device) return;
    for (size_t slot = 0; slot < kMaxUnits; ++slot)
        if (slots_[slot].device.get() == device) remove(slot);
}

std::vector<flame_device*> QRBFlameDiscovery::devices() const {
    std::vector<flame_device*> present;
    for (const Slot& slot : slots_)
        if (slot.device) present.push_back(slot.device.get());
    return present;
}

void QRBFlameDiscovery::pickCurrent() {
    // The greatest GUID; without any GUID, the first device present (slot 0 may be empty while
    // others are not); slot 0 when there is none.
    size_t chosen = kMaxUnits;
    std::optional<uint64_t> greatest;
    for (size_t i = 0; i < kMaxUnits; ++i) {
        if (!slots_[i].device) continue;
        const std::optional<uint64_t> guid = flame_device_guid(slots_[i].device.get());
        if (guid && (!greatest || *guid > *greatest)) {
            greatest = guid;
            chosen = i;
        } else if (!greatest && chosen == kMaxUnits) {
            chosen = i;
        }
    }
    currentSlot_ = chosen == kMaxUnits ? 0 : chosen;
}

void QRBFlameDiscovery::closeRequested(const FireWireUnitPtr& unit) {
    // Removed from the run loop, not from inside the bus's notification, since the removal
    // tears down what delivered it.
    std::weak_ptr<QRBFlameDiscovery*> weak = self_;
    foundation::RunLoop::current().post([weak, unit] {
        auto self = weak.lock();
        if (!self) return;
        QRBFlameDiscovery& discovery = **self;
        for (size_t slot = 0; slot < kMaxUnits; ++slot)
            if (discovery.slots_[slot].unit == unit) discovery.remove(slot);
    });
}

flame_device* flame_disco_current_device() {
    QRBFlameDiscovery* discovery = QRBFlameDiscovery::active();
    return discovery ? discovery->currentDevice() : nullptr;
}

flame_voices* flame_disco_current_voices() {
    QRBFlameDiscovery* discovery = QRBFlameDiscovery::active();
    return discovery ? discovery->currentVoices() : nullptr;
}

bool flame_disco_has_devices() {
    QRBFlameDiscovery* discovery = QRBFlameDiscovery::active();
    return discovery && discovery->deviceCount() != 0;
}

int flame_disco_set_current(size_t slot) {
    QRBFlameDiscovery* discovery = QRBFlameDiscovery::active();
    return discovery && discovery->setCurrentSlot(slot) ? 1 : 0;
}
