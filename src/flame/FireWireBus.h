#pragma once
// The FireWire bus as the Flame link and its discovery use it: units matched by their unit
// directory's specifier and software version, a unit's configuration ROM and GUID, and 8-byte
// (two-quadlet) block reads and writes at an address of the unit, each answering how the
// transaction ended.
//
// The Flame modules call only this interface; the system's backend and an in-process fake that
// tests script live in src/platform/firewire/. A process that is given no bus runs on the one of
// noFireWireBus(), which never has a unit.
//
// Threads: watching and the match and close notifications belong to the main run loop (the
// callbacks run there, never from inside the call that armed the watch). A unit's read, write,
// open and close may be called from any thread; the Flame consumer thread writes while the main
// thread reads the voice table.

#include "foundation/Clock.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

// A node-relative address on the bus: 16-bit node, 16-bit address high, 32-bit address low.
struct FireWireAddress {
    uint16_t node = 0;
    uint16_t high = 0;
    uint32_t low = 0;

    bool operator==(const FireWireAddress&) const = default;
};

// How a transaction ended. The Flame link waits a little after Busy and longer after Offline,
// closes its device after TimedOut, and reports Failed.
enum class FireWireResult { Done, Busy, Offline, TimedOut, Failed };

// The 8 bytes of one block transaction, in bus (big-endian) order.
using FireWireBlock = std::array<uint8_t, 8>;

class FireWireUnit {
public:
    virtual ~FireWireUnit() = default;

    // The unit directory's "Unit_Spec_ID" and "Unit_SW_Version".
    virtual uint32_t specifierID() const = 0;
    virtual uint32_t softwareVersion() const = 0;
    // The node's 64-bit GUID; none when the bus cannot tell it. Two units of one box share it.
    virtual std::optional<uint64_t> guid() const = 0;
    // An immediate value of the unit directory of the configuration ROM; none when the key is
    // absent or the ROM cannot be read.
    virtual std::optional<uint32_t> unitDirectoryValue(uint8_t key) const = 0;

    // Opens the connection to the unit, for this process alone; NO when refused.
    virtual bool open() = 0;
    virtual void close() = 0;
    // One block read or write of 8 bytes at `address`, waiting for its end. Both need the unit
    // open (Failed otherwise).
    virtual FireWireResult read(const FireWireAddress& address, FireWireBlock& data) = 0;
    virtual FireWireResult write(const FireWireAddress& address, const FireWireBlock& data) = 0;

    // The time the Flame link paces its writes by; the system's monotonic clock unless the bus
    // runs on another (a test's).
    virtual std::shared_ptr<foundation::Clock> clock() const { return foundation::SystemClock::shared(); }
};

using FireWireUnitPtr = std::shared_ptr<FireWireUnit>;

class FireWireBus {
public:
    virtual ~FireWireBus() = default;

    // A watch under way; destroying it ends it, and no callback of it runs afterwards.
    class Watch {
    public:
        virtual ~Watch() = default;
    };

    struct WatchCallbacks {
        // A unit with the specifier and software version watched: each present unit once, soon
        // after the watch starts, and every unit plugged in later.
        std::function<void(const FireWireUnitPtr&)> matched;
        // A matched unit asks to be closed: it was unplugged, or the bus is going away.
        std::function<void(const FireWireUnitPtr&)> closeRequested;
    };

    virtual std::unique_ptr<Watch> watchUnits(uint32_t specifierID, uint32_t softwareVersion,
                                              WatchCallbacks callbacks) = 0;
};

// The bus of a machine without FireWire: watching finds nothing, ever.
std::shared_ptr<FireWireBus> noFireWireBus();
