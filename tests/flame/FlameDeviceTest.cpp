// The Flame device on the fake bus: which writes are queued, the full ring, the pacing of bursts,
// the ready gate, the end of each write, the base address from the ROM and reads; and producers,
// the consumer and stop racing each other.

#include "flame/flame_device.h"
#include "foundation/Log.h"
#include "platform/firewire/FakeFireWireBus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <thread>
#include <vector>

namespace {

using platform::FakeFireWireBus;
using platform::FakeFireWireUnit;
using namespace std::chrono_literals;

constexpr FireWireAddress kDefaultBase{0, kFlameDefaultAddressHigh, kFlameDefaultAddressLow};

FireWireBlock block(uint32_t high, uint32_t low) {
    return {uint8_t(high >> 24), uint8_t(high >> 16), uint8_t(high >> 8), uint8_t(high),
            uint8_t(low >> 24),  uint8_t(low >> 16),  uint8_t(low >> 8),  uint8_t(low)};
}

class FlameDeviceTest : public ::testing::Test {
protected:
    void SetUp() override { bus->setClock(clock); }
    void TearDown() override {
        if (unit) unit->setStalled(false);
        flame_device_free(std::move(device));
    }

    flame_device* make(uint32_t version = kFlameUnitVersion, std::map<uint8_t, uint32_t> rom = {}) {
        unit = bus->plug({0x50C2, version, 0x1234, std::move(rom)});
        device = flame_device_create(unit, version);
        return device.get();
    }
    // Open, running and ready: writes reach the bus.
    flame_device* running(uint32_t version = kFlameUnitVersion) {
        make(version);
        EXPECT_TRUE(flame_device_open(device.get()));
        EXPECT_TRUE(flame_device_start(device.get()));
        flame_device_set_ready(device.get(), 1);
        return device.get();
    }
    // Nothing more arrives for a while (the consumer had every chance to send).
    void expectNoMoreWritesThan(size_t count) {
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(unit->writes().size(), count);
    }

    std::shared_ptr<foundation::ManualClock> clock = std::make_shared<foundation::ManualClock>(100.0);
    std::shared_ptr<FakeFireWireBus> bus = std::make_shared<FakeFireWireBus>();
    std::shared_ptr<FakeFireWireUnit> unit;
    flame_device_ptr device;
};

TEST_F(FlameDeviceTest, WritesAreQueuedOnlyWhileTheDeviceIsOpenAndRunning) {
    EXPECT_EQ(flame_device_write(nullptr, 8, 0, 0, 0), 0);
    flame_device* d = make();
    EXPECT_EQ(flame_device_write(d, 8, 0, 0, 0), 0) << "closed";
    ASSERT_TRUE(flame_device_open(d));
    EXPECT_EQ(flame_device_write(d, 8, 0, 0, 0), 0) << "open, not running";
    ASSERT_TRUE(flame_device_start(d));
    flame_device_set_ready(d, 1);
    EXPECT_EQ(flame_device_write(d, 8, 1, 0x800000, 0), 1);
    ASSERT_TRUE(unit->waitForWrites(1, 5));
    const auto written = unit->writes()[0];
    EXPECT_EQ(written.address, (FireWireAddress{0, kFlameDefaultAddressHigh, 8}));
    EXPECT_EQ(written.high(), 1u);
    EXPECT_EQ(written.low(), 0x800000u);
    EXPECT_EQ(written.time, 100.0);

    flame_device_stop(d);
    EXPECT_FALSE(flame_device_is_running(d));
    EXPECT_EQ(flame_device_write(d, 8, 0, 0, 0), 0) << "stopped";
    flame_device_close(d);
    EXPECT_FALSE(unit->isOpen());
    EXPECT_EQ(flame_device_write(d, 8, 0, 0, 0), 0) << "closed again";
    EXPECT_EQ(flame_device_start(d), 0) << "a closed device doesn't start";
}

TEST_F(FlameDeviceTest, AUnitThatRefusesToOpenGivesNoDevice) {
    flame_device* d = make();
    unit->setRefusesOpen(true);
    foundation::LogCapture log;
    EXPECT_EQ(flame_device_open(d), 0);
    EXPECT_TRUE(log.contains("Error occurred when opening the connection to the Flame:"));
    EXPECT_TRUE(log.contains("IOReturn error (flame_device.cpp["));
    EXPECT_EQ(flame_device_start(d), 0);
    EXPECT_EQ(flame_device_create(nullptr, kFlameUnitVersion), nullptr);
}

TEST_F(FlameDeviceTest, TheConfigurationROMMovesTheBaseAddressUnlessItKeepsTheDefault) {
    struct Case {
        const char* what;
        std::map<uint8_t, uint32_t> rom;
        FireWireAddress base;
    };
    const std::vector<Case> cases = {
        {"no keys", {}, kDefaultBase},
        {"0xA08 keeps the default", {{0x3A, 0xA08}, {0x3B, 0x40}}, kDefaultBase},
        {"a zero low part keeps the default", {{0x3A, 0x12}, {0x3B, 0}}, kDefaultBase},
        {"one key alone keeps the default", {{0x3A, 0x12}}, kDefaultBase},
        {"both keys", {{0x3A, 0x12}, {0x3B, 0x345}}, {0, 0xFFFF, 0x12000345}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        flame_device_free(std::move(device));
        flame_device* d = make(kFlameUnitVersion, c.rom);
        ASSERT_TRUE(flame_device_open(d));
        EXPECT_EQ(flame_device_address(d), c.base);
        // Reads are relative to it.
        FireWireAddress at = c.base;
        at.low += 0x1000000;
        unit->setBlock(at, block(0xA1B2C3D4, 7));
        uint32_t high = 0, low = 0;
        ASSERT_EQ(flame_device_read(d, 0x1000000, &high, &low), 1);
        EXPECT_EQ(high, 0xA1B2C3D4u);
        EXPECT_EQ(low, 7u);
        EXPECT_EQ(flame_device_read(d, 0x1000000, nullptr, nullptr), 1) << "either result may be left out";
    }
}

TEST_F(FlameDeviceTest, AReadThatTimesOutClosesTheDevice) {
    flame_device* d = running();
    foundation::LogCapture log;
    unit->setReadResult(FireWireResult::Busy);
    EXPECT_EQ(flame_device_read(d, 0x1000000, nullptr, nullptr), 0);
    EXPECT_TRUE(log.contains("Error occurred when reading from the Flame (service_id=0x12afff)."));
    EXPECT_TRUE(flame_device_is_open(d)) << "other failures leave it open";

    unit->setReadResult(FireWireResult::TimedOut);
    EXPECT_EQ(flame_device_read(d, 0x1000000, nullptr, nullptr), 0);
    EXPECT_TRUE(log.contains("error 0x2d6"));
    EXPECT_FALSE(flame_device_is_open(d));
    EXPECT_FALSE(flame_device_is_running(d));
    EXPECT_EQ(flame_device_write(d, 8, 0, 0, 1), 0);
}

TEST_F(FlameDeviceTest, WhileNotReadyWritesAreConsumedWithoutBeingSent) {
    flame_device* d = running();
    flame_device_set_ready(d, 0);
    for (uint32_t i = 0; i < 10; ++i) ASSERT_EQ(flame_device_write(d, 100 + i, i, 0, 1), 1);
    for (int i = 0; i < 5000 && flame_device_pending_writes(d) != 0; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(flame_device_pending_writes(d), 0u);
    flame_device_set_ready(d, 1);
    ASSERT_EQ(flame_device_write(d, 200, 0, 0, 1), 1);
    ASSERT_TRUE(unit->waitForWrites(1, 5));
    expectNoMoreWritesThan(1);
    EXPECT_EQ(unit->writes()[0].address.low, 200u);
}

TEST_F(FlameDeviceTest, AFullRingRefusesControllerDataAndHoldsAPriorityWriterUntilThereIsRoom) {
    flame_device* d = running();
    unit->setStalled(true);
    // The consumer holds the first entry in its stalled write; the ring fills behind it.
    ASSERT_EQ(flame_device_write(d, 1, 0, 0, 0), 1);
    for (int i = 0; i < 5000 && unit->stalledWrites() == 0; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(unit->stalledWrites(), 1u);
    for (uint32_t i = 1; i < kFlameRingSize; ++i) ASSERT_EQ(flame_device_write(d, 1 + i, 0, 0, 0), 1) << i;
    EXPECT_EQ(flame_device_write(d, 999, 0, 0, 0), 0) << "the oldest pending write is controller data";
    EXPECT_EQ(flame_device_write(d, 999, 0, 0, 1), 0) << "whatever the priority of the new one";

    unit->setStalled(false);
    clock->advance(1);
    ASSERT_TRUE(unit->waitForWrites(2, 5)) << "the consumer goes on";
}

TEST_F(FlameDeviceTest, APriorityWriterWaitsForRoomAndStopReleasesItUnqueued) {
    for (bool stopWhileWaiting : {false, true}) {
        SCOPED_TRACE(stopWhileWaiting ? "stopped while waiting" : "room came");
        flame_device_free(std::move(device));
        flame_device* d = running();
        unit->setStalled(true);
        ASSERT_EQ(flame_device_write(d, 1, 0, 0, 1), 1);
        for (int i = 0; i < 5000 && unit->stalledWrites() == 0; ++i) std::this_thread::sleep_for(1ms);
        for (uint32_t i = 1; i < kFlameRingSize; ++i) ASSERT_EQ(flame_device_write(d, 1 + i, 0, 0, 1), 1);

        auto writer = std::async(std::launch::async, [d] { return flame_device_write(d, 999, 5, 6, 1); });
        EXPECT_EQ(writer.wait_for(30ms), std::future_status::timeout) << "it waits for room";
        if (stopWhileWaiting) {
            // Stop joins the consumer, which is still in its stalled write: run it aside.
            auto stopping = std::async(std::launch::async, [d] { flame_device_stop(d); });
            ASSERT_EQ(writer.wait_for(5s), std::future_status::ready);
            EXPECT_EQ(writer.get(), 0) << "not queued";
            unit->setStalled(false);
            stopping.get();
            EXPECT_EQ(unit->writes().size(), 1u) << "the pending entry was neither overwritten nor sent";
            EXPECT_EQ(unit->writes()[0].address.low, 1u);
        } else {
            unit->setStalled(false);
            ASSERT_EQ(writer.wait_for(5s), std::future_status::ready);
            EXPECT_EQ(writer.get(), 1);
            ASSERT_TRUE(unit->waitForWrites(kFlameRingSize + 1, 5));
            const auto last = unit->writes().back();
            EXPECT_EQ(last.address.low, 999u);
            EXPECT_EQ(last.high(), 5u);
            EXPECT_EQ(last.low(), 6u);
        }
    }
}

TEST_F(FlameDeviceTest, ThirtyTwoPacedWritesGoBackToBackThenTheyWaitForTheClock) {
    flame_device* d = running();
    // The clock stands still: every write is closer than the pacing interval to the one before.
    for (uint32_t i = 0; i < 40; ++i) ASSERT_EQ(flame_device_write(d, 100 + i, i, 0, 0), 1);
    ASSERT_TRUE(unit->waitForWrites(32, 5));
    expectNoMoreWritesThan(32);

    // One interval gives one write back to the budget; the next is written at once on it.
    clock->advance(171e-6);
    ASSERT_TRUE(unit->waitForWrites(34, 5));
    expectNoMoreWritesThan(34);
    clock->advance(32 * 171e-6);
    ASSERT_TRUE(unit->waitForWrites(40, 5));
    const auto writes = unit->writes();
    for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(writes[i].address.low, 100 + i) << "in order";
}

TEST_F(FlameDeviceTest, PriorityWritesBypassThePacing) {
    flame_device* d = running();
    for (uint32_t i = 0; i < 100; ++i) ASSERT_EQ(flame_device_write(d, i, 0, 0, 1), 1);
    EXPECT_TRUE(unit->waitForWrites(100, 5));
}

TEST_F(FlameDeviceTest, EachEndOfAWriteHasItsWaitOrItsLogLine) {
    make();
    struct Case {
        FireWireResult status;
        std::chrono::milliseconds atLeast;
        bool logged;
    };
    const std::vector<Case> cases = {
        {FireWireResult::Done, 0ms, false},     {FireWireResult::Busy, 1ms, false},
        {FireWireResult::Offline, 10ms, false}, {FireWireResult::TimedOut, 0ms, true},
        {FireWireResult::Failed, 0ms, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.status));
        foundation::LogCapture log;
        const auto start = std::chrono::steady_clock::now();
        flame_device_write_callback(device.get(), c.status);
        EXPECT_GE(std::chrono::steady_clock::now() - start, c.atLeast);
        EXPECT_EQ(log.contains("IOReturn error"), c.logged);
    }
}

TEST_F(FlameDeviceTest, AFailedWriteIsLoggedAndTheRingGoesOn) {
    // Failures logged by another test within the last second would make this one's a count:
    // the log's clock jumps past their window.
    foundation::setLogClock(std::make_shared<foundation::ManualClock>(1e12));
    foundation::LogCapture log;
    for (uint32_t version : {kFlameSyncUnitVersion, kFlameUnitVersion}) {
        SCOPED_TRACE(version);
        flame_device_free(std::move(device));
        flame_device* d = running(version);
        EXPECT_EQ(flame_device_is_sync_unit(d), version == kFlameSyncUnitVersion);
        unit->setWriteResult(FireWireResult::Failed);
        ASSERT_EQ(flame_device_write(d, 1, 0, 0, 1), 1);
        for (int i = 0; i < 5000 && flame_device_pending_writes(d) != 0; ++i) std::this_thread::sleep_for(1ms);
        unit->setWriteResult(std::nullopt);
        ASSERT_EQ(flame_device_write(d, 2, 0, 0, 1), 1);
        ASSERT_TRUE(unit->waitForWrites(1, 5));
        EXPECT_EQ(unit->writes()[0].address.low, 2u);
    }
    EXPECT_TRUE(log.contains("IOReturn error (flame_device.cpp["));
    foundation::setLogClock(nullptr);
}

// Producers of both priorities, the consumer against a unit that stalls now and then, and stop
// arriving in the middle: no write is reported queued that the ring lost, and after stop nothing
// is queued.
TEST(FlameDeviceRace, ProducersConsumerAndStop) {
    for (int round = 0; round < 3; ++round) {
        auto bus = std::make_shared<FakeFireWireBus>();
        auto unit = bus->plug({0x50C2, kFlameUnitVersion, 1});
        flame_device_ptr device = flame_device_create(unit, kFlameUnitVersion);
        ASSERT_TRUE(flame_device_open(device.get()));
        ASSERT_TRUE(flame_device_start(device.get()));
        flame_device_set_ready(device.get(), 1);

        std::atomic<size_t> queued{0};
        std::atomic<bool> go{true};
        std::vector<std::thread> producers;
        for (int p = 0; p < 3; ++p) {
            producers.emplace_back([&, p] {
                for (uint32_t i = 0; i < 2000 && go; ++i)
                    if (flame_device_write(device.get(), i, uint32_t(p), i, int((i + p) % 2))) ++queued;
            });
        }
        std::thread staller([&] {
            for (int i = 0; i < 20 && go; ++i) {
                unit->setStalled(i % 2 == 0);
                std::this_thread::sleep_for(200us);
            }
            unit->setStalled(false);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(2 + round * 3));
        flame_device_stop(device.get());
        go = false;
        for (auto& t : producers) t.join();
        staller.join();
        unit->setStalled(false);
        EXPECT_EQ(flame_device_write(device.get(), 1, 0, 0, 1), 0);
        EXPECT_LE(unit->writes().size(), queued.load());
        flame_device_free(std::move(device));
    }
}

}  // namespace
