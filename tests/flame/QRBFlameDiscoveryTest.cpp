// The discovery of Flame units on a FireWire bus: which units count, a box that shows up as two
// units, the limit on units, and units going with the bus or with the discovery.

#include "flame/QRBFlameDiscovery.h"
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
        discovery.setCallbacks([this](const FireWireUnitPtr& unit) { appeared.push_back(unit); },
                               [this](const FireWireUnitPtr& unit) { disappeared.push_back(unit); });
    }
    // The bus announces from the run loop.
    void settle() {
        auto& loop = foundation::RunLoop::main();
        loop.runUntil(loop.now() + 0.05);
    }

    std::shared_ptr<FakeFireWireBus> bus = std::make_shared<FakeFireWireBus>();
    QRBFlameDiscovery discovery{bus};
    std::vector<FireWireUnitPtr> appeared;
    std::vector<FireWireUnitPtr> disappeared;
};

TEST_F(FlameDiscoveryTest, FindsFlameUnitsOfBothVersionsOnceEach) {
    auto present = bus->plug(flameUnit(QRBFlameDiscovery::kSyncUnitVersion, 1));
    discovery.start();
    discovery.start();  // started already: no second pair of watches
    EXPECT_EQ(bus->watchCount(), 2u);
    EXPECT_TRUE(appeared.empty()) << "never from inside the call";
    settle();
    EXPECT_EQ(appeared, std::vector<FireWireUnitPtr>{present});

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
        const size_t before = appeared.size();
        auto unit = bus->plug(c.unit);
        settle();
        ASSERT_EQ(appeared.size(), before + (c.counts ? 1 : 0));
        if (c.counts) {
            EXPECT_EQ(appeared.back(), unit);
        }
    }
}

TEST_F(FlameDiscoveryTest, KeepsSixteenUnitsAndIgnoresMore) {
    discovery.start();
    for (uint64_t guid = 1; guid <= QRBFlameDiscovery::kMaxUnits + 1; ++guid)
        bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, guid));
    settle();
    EXPECT_EQ(appeared.size(), QRBFlameDiscovery::kMaxUnits);
    EXPECT_EQ(discovery.units(), appeared);
}

TEST_F(FlameDiscoveryTest, UnitsGoWhenUnpluggedAndAllGoWhenTheDiscoveryStops) {
    discovery.start();
    auto first = bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, 1));
    auto second = bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, 2));
    auto third = bus->plug(flameUnit(QRBFlameDiscovery::kSyncUnitVersion, 3));
    settle();
    bus->unplug(second);
    settle();
    EXPECT_EQ(disappeared, std::vector<FireWireUnitPtr>{second});
    EXPECT_EQ(discovery.units(), (std::vector<FireWireUnitPtr>{first, third}));

    discovery.stop();
    EXPECT_EQ(disappeared, (std::vector<FireWireUnitPtr>{second, first, third}));
    EXPECT_EQ(bus->watchCount(), 0u);
    bus->plug(flameUnit(QRBFlameDiscovery::kUnitVersion, 4));
    settle();
    EXPECT_EQ(appeared.size(), 3u) << "nothing is found once stopped";
}

TEST(FlameDiscoveryWithoutBusTest, NeverFindsAnything) {
    QRBFlameDiscovery discovery(noFireWireBus());
    int found = 0;
    discovery.setCallbacks([&](const FireWireUnitPtr&) { ++found; }, nullptr);
    discovery.start();
    auto& loop = foundation::RunLoop::main();
    loop.runUntil(loop.now() + 0.05);
    EXPECT_TRUE(discovery.isStarted());
    EXPECT_EQ(found, 0);
    discovery.stop();
}

}  // namespace
