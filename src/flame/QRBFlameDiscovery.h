#pragma once
// Discovery of Flame units on the FireWire bus, as the start-up uses it: callbacks for a unit that
// appears and one that goes, and start and stop. A box can show up as two units (one per software
// version); they share a GUID and count as one. At most kMaxUnits are kept; more are ignored.
//
// The Flame link will open its device on each unit found; until then the callbacks name the unit.
// On a process given no bus (noFireWireBus()) nothing is ever found.
//
// Main thread only; the callbacks run on the main run loop.

#include "flame/FireWireBus.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QRBFlameDiscovery {
public:
    static constexpr uint32_t kUnitSpecifierID = 0x50C2;
    // The two software versions a Flame unit presents; the first runs its writes synchronously.
    static constexpr uint32_t kSyncUnitVersion = 0x12AFFD;
    static constexpr uint32_t kUnitVersion = 0x12AFFF;
    static constexpr size_t kMaxUnits = 16;

    using UnitCallback = std::function<void(const FireWireUnitPtr& unit)>;

    explicit QRBFlameDiscovery(std::shared_ptr<FireWireBus> bus);
    ~QRBFlameDiscovery();
    QRBFlameDiscovery(const QRBFlameDiscovery&) = delete;
    QRBFlameDiscovery& operator=(const QRBFlameDiscovery&) = delete;

    void setCallbacks(UnitCallback appeared, UnitCallback disappeared);
    // Watches the bus for both versions; starting again while started does nothing.
    void start();
    // Ends the watches; every unit present goes, each with the disappeared callback.
    void stop();

    bool isStarted() const { return !watches_.empty(); }
    // The units present, in the order they appeared.
    const std::vector<FireWireUnitPtr>& units() const { return units_; }

private:
    void add(const FireWireUnitPtr& unit);
    void remove(const FireWireUnitPtr& unit);

    std::shared_ptr<FireWireBus> bus_;
    UnitCallback appeared_;
    UnitCallback disappeared_;
    std::vector<std::unique_ptr<FireWireBus::Watch>> watches_;
    std::vector<FireWireUnitPtr> units_;
};
