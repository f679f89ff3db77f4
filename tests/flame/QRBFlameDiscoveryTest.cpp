// The discovery of Flame units on a FireWire bus: which units count, a box that shows up as two
// units, the limit of sixteen, the current device, units going with the bus or with the discovery,
// and the link the outputs write through.

#include "flame/QRBFlameDiscovery.h"
#include "flame/QRBFlameLink.h"
#include "foundation/Log.h"
#include "foundation/RunLoop.h"
#include "platform/firewire/FakeFireWireBus.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using platform::FakeFireWireBus;
using platform::FakeFireWireUnit;

FakeFireWireUnit::Description flameUnit(uint32_t version, std::optional<uint64_t> guid) {
    return {QRBFlameDiscovery::kUnitSpecifierID, version, guid};
}

class FlameDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        discovery.setCallbacks([this](flame_device* device) { added.push_back(flame_device_service(device)); },
                               [this](flame_device* device) {
                                   EXPECT_TRUE(flame_device_is_open(device)) << "told while still open";
                                   removed.push_back(flame_device_service(device));
                               });
    }
    // The bus announces from the run loop, and removals are posted there.
    void settle() {
        auto& loop = foundation::RunLoop::main();
        loop.runUntil(loop.now() + 0.05);
    }
    FireWireUnitPtr current() const { return flame_device_service(discovery.currentDevice()); }

    std::shared_ptr<FakeFireWireBus> bus = std::make_shared<FakeFireWireBus>();
    std::vector<FireWireUnitPtr> added;
    std::vector<FireWireUnitPtr> removed;
    QRBFlameDiscovery discovery{bus};  // goes first: its devices go with callbacks
};

TEST_F(FlameDiscoveryTest, FindsFlameUnitsOfBothVersionsOnceEach) {
    auto present = bus->plug(flameUnit(QRBFlameDiscovery::kSyncUnitVersion, 1));
    discovery.start();
    discovery.start();  // started already: no second pair of watches
    EXPECT_EQ(bus->watchCount(), 2u);
    EXPECT_TRUE(added.empty()) << "never from inside the call";
    settle();
    EXPECT_EQ(added, std::vector<FireWireUnitPtr>{present});
    EXPECT_TRUE(present->isOpen());
    EXPECT_TRUE(flame_device_is_running(discovery.device(0)));
    EXPECT_NE(discovery.voices(0), nullptr);
    EXPECT_EQ(flame_voices_device(discovery.voices(0)), discovery.device(0));

    struct Case {
        const char* what;
        FakeFireWireUnit::Description unit;
        bool counts;
    };
    const std::vector<Case> cases = {
        {"the other version", flameUnit(QRBFlameDiscovery::kUnitVersion, 2), true},
        {"the box's other unit, same GUID", flameUnit(QRBFlameDiscovery::kUnitVersion, 1), false},
        {"a unit without a GUID", flameUnit(QRBFlameDiscovery::kUnitVersion, std::nullopt), true},
        {"another version", flameUnit(0x12AFFE, 3), false},
        {"another specifier", {0x609E, QRBFlameDiscovery::kUnitVersion}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t before = added.size();
        auto unit = bus->plug(c.unit);
        settle();
        ASSERT_EQ(added.size(), before + (c.counts ? 1 : 0));
        if (c.counts) {
            EXPECT_EQ(added.back(), unit);
        }
    }
    EXPECT_EQ(discovery.deviceCount(), 3u);
}

TEST_F(FlameDiscoveryTest, TheSameUnitTwiceWarnsAndKeepsOneDevice) {
    auto unit = bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, std::nullopt));
    foundation::LogCapture log;
    flame_device* first = discovery.add(unit, QRBFlameDiscovery::kUnitVersion);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(discovery.add(unit, QRBFlameDiscovery::kUnitVersion), first);
    EXPECT_TRUE(log.contains("Warning: a Flame service is being added twice (service=0x"));
    EXPECT_TRUE(log.contains(", id=0x12afff)."));
    EXPECT_EQ(discovery.deviceCount(), 1u);
    EXPECT_EQ(added.size(), 1u);
}

TEST_F(FlameDiscoveryTest, AUnitThatCannotBeOpenedIsLeftOut) {
    auto unit = bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, 5));
    unit->setRefusesOpen(true);
    foundation::LogCapture log;
    EXPECT_EQ(discovery.add(unit, QRBFlameDiscovery::kUnitVersion), nullptr);
    EXPECT_TRUE(
        log.contains("Error: A Flame interface has been found, but an error occurred while starting the interface."));
    EXPECT_EQ(discovery.deviceCount(), 0u);
    EXPECT_TRUE(added.empty());
}

TEST_F(FlameDiscoveryTest, KeepsSixteenUnitsAndIgnoresMore) {
    discovery.start();
    std::vector<std::shared_ptr<FakeFireWireUnit>> plugged;
    for (uint64_t guid = 1; guid <= QRBFlameDiscovery::kMaxUnits + 1; ++guid)
        plugged.push_back(bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, guid)));
    settle();
    EXPECT_EQ(added.size(), QRBFlameDiscovery::kMaxUnits);
    EXPECT_EQ(discovery.deviceCount(), QRBFlameDiscovery::kMaxUnits);
    EXPECT_FALSE(plugged.back()->isOpen()) << "the seventeenth";
    EXPECT_EQ(current(), FireWireUnitPtr(plugged[QRBFlameDiscovery::kMaxUnits - 1]))
        << "the greatest GUID among the sixteen";
}

TEST_F(FlameDiscoveryTest, TheCurrentDeviceHasTheGreatestGUID) {
    auto middle = bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, 20));
    auto greatest = bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, 30));
    auto least = bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, 10));
    for (const auto& unit : {middle, greatest, least}) discovery.add(unit, QRBFlameDiscovery::kUnitVersion);
    EXPECT_EQ(current(), greatest);
    EXPECT_EQ(discovery.currentSlot(), 1u);

    discovery.removeDevice(discovery.currentDevice());
    EXPECT_EQ(current(), middle) << "the greatest of those left";
    discovery.remove(0);
    EXPECT_EQ(current(), least);
    discovery.remove(2);
    EXPECT_EQ(discovery.currentSlot(), 0u);
    EXPECT_EQ(discovery.currentDevice(), nullptr);
    EXPECT_EQ(removed, (std::vector<FireWireUnitPtr>{greatest, middle, least}));
    EXPECT_FALSE(least->isOpen());
}

TEST_F(FlameDiscoveryTest, WithoutGUIDsTheFirstDevicePresentIsCurrent) {
    auto first = bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, std::nullopt));
    auto second = bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, std::nullopt));
    discovery.add(first, QRBFlameDiscovery::kUnitVersion);
    discovery.add(second, QRBFlameDiscovery::kUnitVersion);
    EXPECT_EQ(current(), first);
    discovery.remove(0);
    EXPECT_EQ(current(), second) << "slot 0 is empty, but a device is present";
}

TEST_F(FlameDiscoveryTest, UnitsGoWhenUnpluggedAndAllGoWhenTheDiscoveryStops) {
    discovery.start();
    auto first = bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, 1));
    auto second = bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, 2));
    auto third = bus->plug(flameUnit(QRBFlameDiscovery::kSyncUnitVersion, 3));
    settle();
    bus->unplug(second);
    settle();
    EXPECT_EQ(removed, std::vector<FireWireUnitPtr>{second});
    EXPECT_EQ(discovery.deviceCount(), 2u);
    EXPECT_EQ(current(), third);

    discovery.stop();
    EXPECT_EQ(removed, (std::vector<FireWireUnitPtr>{second, first, third})) << "once each";
    EXPECT_EQ(discovery.deviceCount(), 0u);
    EXPECT_EQ(bus->watchCount(), 0u);
    discovery.stop();
    EXPECT_EQ(removed.size(), 3u);
    bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, 4));
    settle();
    EXPECT_EQ(added.size(), 3u) << "nothing is found once stopped";
}

TEST_F(FlameDiscoveryTest, WhileStartedTheOutputsWriteToTheCurrentDevice) {
    EXPECT_FALSE(QRBFlameLink::shared().writeToCurrentDevice(8, 0, 0x800000, 1)) << "not started";
    discovery.start();
    EXPECT_EQ(QRBFlameDiscovery::active(), &discovery);
    EXPECT_FALSE(QRBFlameLink::shared().writeToCurrentDevice(8, 0, 0x800000, 1)) << "no device";
    EXPECT_EQ(flame_disco_current_device(), nullptr);
    EXPECT_FALSE(flame_disco_has_devices());

    auto unit = bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, 9));
    settle();
    ASSERT_EQ(flame_disco_current_device(), discovery.device(0));
    EXPECT_EQ(flame_disco_current_voices(), discovery.voices(0));
    EXPECT_TRUE(flame_disco_has_devices());
    // Ready, as the voice poll makes it once the unit reports voices.
    flame_device_set_ready(flame_disco_current_device(), 1);
    EXPECT_TRUE(QRBFlameLink::shared().writeToCurrentDevice(8, 0, 0x800000, 1));
    ASSERT_TRUE(unit->waitForWrites(1, 5));
    EXPECT_EQ(unit->writes()[0].address, (FireWireAddress{0, kFlameDefaultAddressHigh, 8}));
    EXPECT_EQ(unit->writes()[0].low(), 0x800000u);

    discovery.stop();
    EXPECT_EQ(QRBFlameDiscovery::active(), nullptr);
    EXPECT_EQ(flame_disco_current_device(), nullptr);
    EXPECT_FALSE(QRBFlameLink::shared().writeToCurrentDevice(8, 0, 0x800000, 1));
}

TEST_F(FlameDiscoveryTest, TheCurrentDeviceCanBeChosenUntilDevicesChange) {
    EXPECT_EQ(flame_disco_set_current(0), 0) << "not started";
    discovery.start();
    auto high = bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, 9));
    auto low = bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, 2));
    settle();
    ASSERT_EQ(discovery.deviceCount(), 2u);
    ASSERT_EQ(current(), high) << "the greatest GUID";

    const size_t lowSlot = flame_device_service(discovery.device(0)) == low ? 0 : 1;
    EXPECT_EQ(flame_disco_set_current(lowSlot), 1);
    EXPECT_EQ(current(), low);
    EXPECT_EQ(flame_disco_current_voices(), discovery.voices(lowSlot));
    EXPECT_EQ(flame_disco_set_current(QRBFlameDiscovery::kMaxUnits), 0);
    EXPECT_EQ(current(), low) << "a refused slot changes nothing";
    EXPECT_EQ(flame_disco_set_current(5), 1);
    EXPECT_EQ(flame_disco_current_device(), nullptr) << "an empty slot: the outputs write nothing";

    // A device coming makes the greatest GUID current again.
    bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, 4));
    settle();
    EXPECT_EQ(current(), high);
}

TEST(FlameDiscoveryWithoutBusTest, NeverFindsAnything) {
    QRBFlameDiscovery discovery(noFireWireBus());
    int found = 0;
    discovery.setCallbacks([&](flame_device*) { ++found; }, nullptr);
    discovery.start();
    auto& loop = foundation::RunLoop::main();
    loop.runUntil(loop.now() + 0.05);
    EXPECT_TRUE(discovery.isStarted());
    EXPECT_EQ(found, 0);
    discovery.stop();
}

}  // namespace
