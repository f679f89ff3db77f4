// The Linux Wii remote backend as far as a machine without Bluetooth takes it: no adapter means no
// discovery, so a document's manager reports "No adapter has been found."; looking for remotes
// finds none and closes cleanly. And what the kernel's driver reports, turned into the values the
// slots read.

#include "controllers/QRBWiiRemoteManager.h"
#include "controllers/devices/DeviceLayers.h"
#include "core/QRBPreferences.h"
#include "foundation/RunLoop.h"
#include "platform/wii/FakeWiiRemoteBackend.h"
#include "platform/wii/LinuxWiiRemoteBackend.h"
#include "platform/wii/WiiEventConversion.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <xwiimote.h>

#include <memory>

namespace {

namespace wii = platform::wii;

TEST(LinuxWiiRemoteBackend, WithoutAnAdapterAManagerCannotPairAndFindsNoRemote) {
    auto backend = std::make_shared<platform::LinuxWiiRemoteBackend>();
    if (auto discovery = backend->makeDiscovery({})) GTEST_SKIP() << "this machine has a Bluetooth adapter";
    QRBPreferences::sharedPreferences().setWiiAddressMappings(std::nullopt);
    devices::DeviceLayers layers;
    layers.wiiRemotes = backend;
    devices::DeviceLayers::install(layers);
    {
        QRBWiiRemoteManager manager;
        EXPECT_EQ(manager.discovery(), nullptr);
        EXPECT_FALSE(manager.canStartDiscovery());
        EXPECT_EQ(manager.discoveryStartErrorString(), "No adapter has been found.");
        EXPECT_FALSE(manager.startDiscovery(true));
        EXPECT_EQ(manager.statusText(), "Bluetooth error: No adapter has been found.");
        auto& loop = foundation::RunLoop::main();
        loop.runUntil(loop.now() + 0.1);
        for (const auto& remote : manager.wiimotes()) EXPECT_FALSE(remote->connected());
        manager.powerManagementWillSleep();
        manager.powerManagementDidWake();
        manager.close();
    }
    // Only its own devices connect.
    EXPECT_EQ(backend->makeConnection(std::make_shared<platform::FakeWiiRemote>("00:00:00:00:00:01")), nullptr);
    devices::DeviceLayers::reset();
}

TEST(WiiEventConversion, ButtonsOfTheRemoteTheProControllerAndTheExtensions) {
    struct Case {
        uint32_t got, expected;
    };
    const Case cases[] = {
        {wii::remoteButton(XWII_KEY_A), 0x0008},
        {wii::remoteButton(XWII_KEY_B), 0x0004},
        {wii::remoteButton(XWII_KEY_UP), 0x0800},
        {wii::remoteButton(XWII_KEY_LEFT), 0x0100},
        {wii::remoteButton(XWII_KEY_ONE), 0x0002},
        {wii::remoteButton(XWII_KEY_TWO), 0x0001},
        {wii::remoteButton(XWII_KEY_HOME), 0x0080},
        {wii::remoteButton(XWII_KEY_X), 0},
        {wii::proControllerButton(XWII_KEY_ZR), 0x0004},
        {wii::proControllerButton(XWII_KEY_RIGHT), 0x8000},
        {wii::proControllerButton(XWII_KEY_THUMBL), 0},
        {wii::extensionButton(wii::Nunchuk, BTN_C), 0x0002},
        {wii::extensionButton(wii::Nunchuk, BTN_Z), 0x0001},
        {wii::extensionButton(wii::Classic, KEY_NEXT), 0x0400},
        {wii::extensionButton(wii::Classic, BTN_TL2), 0x0080},
        {wii::extensionButton(wii::Guitar, BTN_5), 0x0080},
        {wii::extensionButton(wii::Nunchuk, BTN_A), 0},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].got, cases[i].expected) << "case " << i;
}

TEST(WiiEventConversion, ValuesAreScaledToWhatTheSlotsRead) {
    EXPECT_EQ(wii::accelerometerValue(0), 0.5);
    EXPECT_EQ(wii::accelerometerValue(5000), 1.0);
    EXPECT_EQ(wii::accelerometerValue(-5000), 0.0);
    EXPECT_EQ(wii::normalised(0, -100, 100), 0.5);
    EXPECT_EQ(wii::normalised(7, 7, 7), 0.5) << "an empty range";

    wii::IRSource none[4] = {};
    auto dark = wii::irEvent(none);
    EXPECT_EQ(dark.type, wii::IRCamera);
    EXPECT_EQ(dark.pointerX, -100);
    EXPECT_EQ(dark.pointerY, -100);
    ASSERT_EQ(dark.points.size(), 4u);
    EXPECT_FALSE(dark.points[0].visible);
    wii::IRSource two[4] = {{true, 0, 0}, {false, 1023, 1023}, {true, 1023, 767}, {true, 500, 500}};
    auto lit = wii::irEvent(two);
    EXPECT_EQ(lit.pointerX, 0.0) << "the middle of the first two visible sources";
    EXPECT_EQ(lit.pointerY, 0.0);
    EXPECT_TRUE(lit.points[2].visible);
    EXPECT_EQ(lit.points[2].x, 1.0);

    EXPECT_EQ(wii::extensionType("motionp+nunchuk"), 32);
    EXPECT_EQ(wii::extensionType("nunchuk"), 1);
    EXPECT_EQ(wii::extensionType("none"), std::nullopt);
    EXPECT_EQ(wii::extensionSourceForNodeName("Nintendo Wii Remote Classic Controller"), wii::Classic);
    EXPECT_EQ(wii::extensionSourceForNodeName("Nintendo Wii Remote"), -1);

    auto battery = wii::batteryStatusEvent(100);
    EXPECT_EQ(battery.type, wii::Status);
    EXPECT_EQ(battery.subtype, wii::kBatteryStatus);
    EXPECT_EQ(battery.status, 96u) << "a full battery reads 96";
    EXPECT_EQ(wii::batteryStatusEvent(250).status, 96u);
    EXPECT_EQ(wii::batteryStatusEvent(100, wii::BalanceBoard).status, 192u) << "read in 192ths with a balance board";
    EXPECT_EQ(wii::batteryStatusEvent(50, wii::Nunchuk).status, 48u);
}

}  // namespace
