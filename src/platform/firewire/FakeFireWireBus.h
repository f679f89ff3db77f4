#pragma once
// An in-process FireWire bus for tests: the test plugs and unplugs units, sets what reads give and
// how transactions end, stalls writes to fill a queue, and reads back every write in order. Like a
// real bus it announces units from the main run loop, never from inside the call that asked.
//
// Units are safe to use from any thread (the Flame consumer writes from its own); the bus itself
// and its announcements belong to the main thread.

#include "flame/FireWireBus.h"

#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

namespace platform {

class FakeFireWireUnit final : public FireWireUnit {
public:
    struct Description {
        Description(uint32_t specifierID, uint32_t softwareVersion, std::optional<uint64_t> guid = std::nullopt,
                    std::map<uint8_t, uint32_t> unitDirectory = {})
            : specifierID(specifierID),
              softwareVersion(softwareVersion),
              guid(guid),
              unitDirectory(std::move(unitDirectory)) {}

        uint32_t specifierID;
        uint32_t softwareVersion;
        std::optional<uint64_t> guid;
        std::map<uint8_t, uint32_t> unitDirectory;  // immediate values of the configuration ROM
    };
    struct Transaction {
        FireWireAddress address;
        FireWireBlock data{};
        double time = 0;  // of the unit's clock, when the write ended

        // The two quadlets in host order.
        uint32_t high() const;
        uint32_t low() const;
    };

    explicit FakeFireWireUnit(Description description,
                              std::shared_ptr<foundation::Clock> clock = foundation::SystemClock::shared())
        : description_(std::move(description)), clock_(std::move(clock)) {}

    // --- what the test scripts
    // What a read at `address` gives; zeros where nothing was set. A write that succeeds also
    // stores its block there, as a register would.
    void setBlock(const FireWireAddress& address, const FireWireBlock& data);
    // While set, every read or write ends so (and transfers nothing); none: they succeed.
    void setReadResult(std::optional<FireWireResult> result);
    // The same for reads at one address alone.
    void setReadResultAt(const FireWireAddress& address, std::optional<FireWireResult> result);
    void setWriteResult(std::optional<FireWireResult> result);
    void setRefusesOpen(bool refuses);
    // While stalled, writes wait (on their caller's thread) until resumed or unplugged.
    void setStalled(bool stalled);

    // --- what the test sees
    bool isOpen() const;
    bool isPlugged() const;
    // The writes that succeeded, in order.
    std::vector<Transaction> writes() const;
    // How many writes wait in a stall now.
    size_t stalledWrites() const;
    // Waits up to `seconds` until `count` writes succeeded; answers whether they did.
    bool waitForWrites(size_t count, double seconds) const;

    // --- FireWireUnit
    uint32_t specifierID() const override { return description_.specifierID; }
    uint32_t softwareVersion() const override { return description_.softwareVersion; }
    std::optional<uint64_t> guid() const override { return description_.guid; }
    std::optional<uint32_t> unitDirectoryValue(uint8_t key) const override;
    bool open() override;
    void close() override;
    FireWireResult read(const FireWireAddress& address, FireWireBlock& data) override;
    FireWireResult write(const FireWireAddress& address, const FireWireBlock& data) override;
    std::shared_ptr<foundation::Clock> clock() const override { return clock_; }

private:
    friend class FakeFireWireBus;
    void setPlugged(bool plugged);
    void storeLocked(const FireWireAddress& address, const FireWireBlock& data);

    const Description description_;
    const std::shared_ptr<foundation::Clock> clock_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::pair<FireWireAddress, FireWireBlock>> blocks_;
    std::vector<Transaction> writes_;
    std::optional<FireWireResult> readResult_;
    std::vector<std::pair<FireWireAddress, FireWireResult>> readResultsAt_;
    std::optional<FireWireResult> writeResult_;
    bool refusesOpen_ = false;
    bool stalled_ = false;
    size_t waitingWrites_ = 0;
    bool open_ = false;
    bool plugged_ = true;
};

class FakeFireWireBus final : public FireWireBus, public std::enable_shared_from_this<FakeFireWireBus> {
public:
    // The units plugged from now on run on `clock` (a test's manual clock, to pace writes in
    // virtual time); the system's clock unless set.
    void setClock(std::shared_ptr<foundation::Clock> clock) { clock_ = std::move(clock); }

    // A unit is plugged in: watches of its specifier and version match it. Answers the unit.
    std::shared_ptr<FakeFireWireUnit> plug(FakeFireWireUnit::Description description);
    // The unit is pulled out: watches that matched it hear that it asks to be closed, and its
    // transactions end Offline from now on.
    void unplug(const std::shared_ptr<FakeFireWireUnit>& unit);
    // How many watches run now.
    size_t watchCount() const { return watches_.size(); }

    std::unique_ptr<Watch> watchUnits(uint32_t specifierID, uint32_t softwareVersion,
                                      WatchCallbacks callbacks) override;

private:
    struct UnitWatch;

    std::vector<std::shared_ptr<FakeFireWireUnit>> units_;
    std::set<UnitWatch*> watches_;
    std::shared_ptr<foundation::Clock> clock_ = foundation::SystemClock::shared();
};

}  // namespace platform
