#pragma once
// Discovery of Flame units on the FireWire bus. Each unit found gets a device (opened and started)
// and a voice allocator, in a table of kMaxUnits slots; more units are ignored. A box can show up
// as two units (one per software version); they share a GUID and count as one device. One device
// is the current one, which every Flame output writes to: the one with the greatest GUID.
//
// While a discovery is started it is the process's: flame_disco_current_device() and
// flame_disco_current_voices() answer its current device, and the shared QRBFlameLink writes to it.
// On a process given no bus (noFireWireBus()) nothing is ever found.
//
// Main thread only; the callbacks run on the main run loop.

#include "flame/FireWireBus.h"
#include "flame/flame_device.h"
#include "flame/flame_voices.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QRBFlameDiscovery {
public:
    static constexpr uint32_t kUnitSpecifierID = 0x50C2;
    // The two software versions a Flame unit presents; the first runs its writes synchronously.
    static constexpr uint32_t kSyncUnitVersion = kFlameSyncUnitVersion;
    static constexpr uint32_t kUnitVersion = kFlameUnitVersion;
    static constexpr size_t kMaxUnits = 16;

    // Told with the device that was added, or that goes (while still open).
    using DeviceCallback = std::function<void(flame_device* device)>;

    explicit QRBFlameDiscovery(std::shared_ptr<FireWireBus> bus);
    ~QRBFlameDiscovery();
    QRBFlameDiscovery(const QRBFlameDiscovery&) = delete;
    QRBFlameDiscovery& operator=(const QRBFlameDiscovery&) = delete;

    void setCallbacks(DeviceCallback added, DeviceCallback removed);
    // Watches the bus for both versions and becomes the process's discovery; starting again
    // while started does nothing.
    void start();
    // Ends the watches and removes every device, each open one with the removed callback.
    void stop();
    bool isStarted() const { return !watches_.empty(); }

    // A unit of that version: its device, an existing one for the same unit or box, or null when
    // the unit can't be opened and started or all slots are taken.
    flame_device* add(const FireWireUnitPtr& unit, uint32_t version);
    // Slots 0..kMaxUnits-1; others and empty slots are ignored.
    void remove(size_t slot);
    void removeDevice(const flame_device* device);

    size_t deviceCount() const { return deviceCount_; }
    size_t currentSlot() const { return currentSlot_; }
    flame_device* device(size_t slot) const { return slot < kMaxUnits ? slots_[slot].device.get() : nullptr; }
    flame_voices* voices(size_t slot) const { return slot < kMaxUnits ? slots_[slot].voices.get() : nullptr; }
    // Makes the device of `slot` the one the outputs write to, until a device comes or goes and
    // the greatest GUID is chosen again. NO for a slot outside the table; an empty slot leaves the
    // outputs without a device.
    bool setCurrentSlot(size_t slot);
    flame_device* currentDevice() const { return device(currentSlot_); }
    flame_voices* currentVoices() const { return voices(currentSlot_); }
    // The devices present, in slot order.
    std::vector<flame_device*> devices() const;

    // The process's started discovery, or null.
    static QRBFlameDiscovery* active();

private:
    struct Slot {
        FireWireUnitPtr unit;
        flame_device_ptr device;
        flame_voices_ptr voices;
    };

    void pickCurrent();
    void closeRequested(const FireWireUnitPtr& unit);

    std::shared_ptr<FireWireBus> bus_;
    DeviceCallback added_;
    DeviceCallback removed_;
    std::vector<std::unique_ptr<FireWireBus::Watch>> watches_;
    std::array<Slot, kMaxUnits> slots_;
    size_t deviceCount_ = 0;
    size_t currentSlot_ = 0;
    // Expires with the discovery, for the removals it posts.
    std::shared_ptr<QRBFlameDiscovery*> self_ = std::make_shared<QRBFlameDiscovery*>(this);
};

// The current device and its voice allocator of the process's discovery; null when there is no
// device (the outputs then write nothing).
flame_device* flame_disco_current_device();
flame_voices* flame_disco_current_voices();
bool flame_disco_has_devices();
// The process's discovery's setCurrentSlot; 0 when no discovery is started or the slot is refused.
int flame_disco_set_current(size_t slot);
