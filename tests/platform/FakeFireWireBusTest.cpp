// What the Flame link's tests rely on of the in-process FireWire bus: reads give what was set,
// writes are recorded in order, faults are injected per direction, and a stalled unit holds its
// writer until resumed or unplugged.

#include "platform/firewire/FakeFireWireBus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace {

using platform::FakeFireWireUnit;

TEST(FakeFireWireBusTest, TransactionsNeedAnOpenUnitAndEndAsScripted) {
    platform::FakeFireWireBus bus;
    auto unit = bus.plug({0x50C2, 0x12AFFF, std::nullopt, {{0x3A, 0x12}}});
    EXPECT_EQ(unit->unitDirectoryValue(0x3A), 0x12u);
    EXPECT_EQ(unit->unitDirectoryValue(0x3B), std::nullopt);

    const FireWireAddress voices{0, 0xFFFF, 0x1000000};
    const FireWireBlock count{0, 0, 0, 0, 0, 0, 0, 4};
    unit->setBlock(voices, count);
    FireWireBlock data{};
    EXPECT_EQ(unit->read(voices, data), FireWireResult::Failed) << "not open";
    ASSERT_TRUE(unit->open());
    EXPECT_EQ(unit->read(voices, data), FireWireResult::Done);
    EXPECT_EQ(data, count);
    EXPECT_EQ(unit->read({0, 0xFFFF, 1}, data), FireWireResult::Done);
    EXPECT_EQ(data, FireWireBlock{});

    unit->setReadResult(FireWireResult::TimedOut);
    EXPECT_EQ(unit->read(voices, data), FireWireResult::TimedOut);
    unit->setWriteResult(FireWireResult::Busy);
    EXPECT_EQ(unit->write(voices, count), FireWireResult::Busy);
    unit->setWriteResult(std::nullopt);
    EXPECT_EQ(unit->write(voices, count), FireWireResult::Done);
    ASSERT_EQ(unit->writes().size(), 1u) << "a failed write transfers nothing";
    EXPECT_EQ(unit->writes()[0].address, voices);

    unit->setRefusesOpen(true);
    unit->close();
    EXPECT_FALSE(unit->open());
}

TEST(FakeFireWireBusTest, AStalledUnitHoldsItsWriterUntilResumedOrUnplugged) {
    platform::FakeFireWireBus bus;
    auto unit = bus.plug({0x50C2, 0x12AFFF});
    ASSERT_TRUE(unit->open());
    // Waits, bounded, until a writer blocks in the stall.
    auto waitForStalledWriter = [&] {
        for (int i = 0; i < 1000 && unit->stalledWrites() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return unit->stalledWrites() == 1;
    };

    struct Case {
        const char* what;
        std::function<void()> release;
        FireWireResult result;
        size_t writes;  // that succeeded so far
    };
    const std::vector<Case> cases = {
        {"resumed", [&] { unit->setStalled(false); }, FireWireResult::Done, 1},
        {"unplugged", [&] { bus.unplug(unit); }, FireWireResult::Offline, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        unit->setStalled(true);
        FireWireResult result = FireWireResult::Failed;
        std::thread writer([&] { result = unit->write({0, 2, 1}, {1}); });
        EXPECT_TRUE(waitForStalledWriter());
        c.release();
        writer.join();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(unit->writes().size(), c.writes);
    }
    EXPECT_FALSE(unit->open()) << "an unplugged unit cannot be opened";
}

}  // namespace
