// A document's Wii remote manager on the in-process remotes: which slot a found remote is bound
// to and the address table in the preferences, remotes connecting, failing and going, the pairing
// shared by every document with its status texts and stop codes, and the lifetime rules that
// keep the remotes connected while another document is open.

#include "controllers/QRBWiiRemote.h"
#include "controllers/QRBWiiRemoteManager.h"
#include "controllers/devices/DeviceLayers.h"
#include "core/QRBPreferences.h"
#include "foundation/Exception.h"
#include "foundation/NotificationCenter.h"
#include "foundation/RunLoop.h"
#include "platform/wii/FakeWiiRemoteBackend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr double kWait = 5.0;

class WiiManagerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        QRBPreferences::sharedPreferences().setWiiAddressMappings(std::nullopt);
        devices::DeviceLayers layers;
        layers.wiiRemotes = backend;
        devices::DeviceLayers::install(layers);
        notices = foundation::NotificationCenter::defaultCenter().addObserver(
            QRBWiiRemoteManager::kQRBWiimoteDiscoveredNotification, nullptr, [this](const foundation::Notification& n) {
                auto it = n.userInfo.find(QRBWiiRemoteManager::kDiscoveredRemoteKey);
                discovered.push_back(it == n.userInfo.end() ? nullptr : it->second.object<QRBWiiRemote>());
            });
    }
    void TearDown() override {
        devices::DeviceLayers::reset();
        QRBPreferences::sharedPreferences().setWiiAddressMappings(std::nullopt);
    }
    bool runUntil(const std::function<bool()>& predicate) {
        return foundation::RunLoop::main().runUntil(predicate, kWait);
    }
    void settle() {
        auto& loop = foundation::RunLoop::main();
        loop.runUntil(loop.now() + 0.05);
    }
    // The slots' addresses, slot 1 first: "-" for none.
    static std::vector<std::string> addresses(const QRBWiiRemoteManager& manager) {
        std::vector<std::string> result;
        for (int64_t slot = 1; slot <= 8; ++slot) {
            const auto& address = manager.wiimoteWithSlot(slot)->bluetoothAddress();
            result.push_back(address ? *address : "-");
        }
        return result;
    }

    std::shared_ptr<platform::FakeWiiRemoteBackend> backend = std::make_shared<platform::FakeWiiRemoteBackend>();
    foundation::ObserverToken notices;
    // The remote of each discovered notice, null for a notice without one.
    std::vector<QRBWiiRemotePtr> discovered;
};

}  // namespace

TEST_F(WiiManagerFixture, AFoundRemoteGoesToTheSlotOfItsAddressElseTheFirstFreeOne) {
    struct Case {
        const char* name;
        // The slots' addresses before ("" free and unreserved, "-" none) and which are connected.
        std::vector<std::string> table;
        std::vector<int64_t> connected;
        std::string address;
        int64_t expected;  // 0: none
    };
    const Case cases[] = {
        {"its own slot wins over a free one", {"", "", "R", "", "", "", "", ""}, {}, "R", 3},
        {"its own slot, even when connected", {"", "R", "", "", "", "", "", ""}, {2}, "R", 2},
        {"reserved slots are skipped", {"A", "B", "", "", "", "", "", ""}, {}, "N", 3},
        {"a slot without any address is free", {"A", "-", "", "", "", "", "", ""}, {}, "N", 2},
        {"connected slots are skipped", {"", "", "", "", "", "", "", ""}, {1, 2}, "N", 3},
        {"nothing when every slot is taken or reserved", {"A", "B", "C", "D", "E", "F", "G", ""}, {8}, "N", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QRBWiiRemoteManager manager;
        std::vector<std::shared_ptr<platform::FakeWiiRemote>> plugged;
        for (int64_t slot : c.connected) {
            const std::string address = c.table[static_cast<size_t>(slot - 1)].empty()
                                            ? "busy" + std::to_string(slot)
                                            : c.table[static_cast<size_t>(slot - 1)];
            manager.wiimoteWithSlot(slot)->setBluetoothAddress(address);
            plugged.push_back(backend->plugRemote(address));
            ASSERT_TRUE(runUntil([&] { return manager.wiimoteWithSlot(slot)->connected(); }));
        }
        for (int64_t slot = 1; slot <= 8; ++slot) {
            const std::string& address = c.table[static_cast<size_t>(slot - 1)];
            if (std::find(c.connected.begin(), c.connected.end(), slot) != c.connected.end()) continue;
            manager.wiimoteWithSlot(slot)->setBluetoothAddress(address == "-" ? std::nullopt
                                                                              : std::optional<std::string>(address));
        }
        auto found = manager.findFreeWiimoteUsingAddress(c.address);
        if (c.expected == 0)
            EXPECT_EQ(found, nullptr);
        else
            EXPECT_EQ(found, manager.wiimoteWithSlot(c.expected));
        for (const auto& remote : plugged) backend->unplugRemote(remote);
        settle();
    }
}

TEST_F(WiiManagerFixture, TheAddressTableIsReadFromAndSavedToThePreferences) {
    QRBPreferences::sharedPreferences().setWiiAddressMappings(
        foundation::Dictionary{{"3", foundation::Value("00:1f:32:aa:bb:03")}, {"6", foundation::Value("")}});
    QRBWiiRemoteManager manager;
    EXPECT_EQ(addresses(manager), (std::vector<std::string>{"-", "-", "00:1f:32:aa:bb:03", "-", "-", "", "-", "-"}));

    // Found again while slot 1 is free: it goes back to 3, connects, and is announced.
    auto remote = backend->plugRemote("00:1f:32:aa:bb:03");
    auto three = manager.wiimoteWithSlot(3);
    ASSERT_TRUE(runUntil([&] { return three->connected(); }));
    ASSERT_EQ(discovered.size(), 1u);
    EXPECT_EQ(discovered[0], three);
    EXPECT_FALSE(manager.wiimoteWithSlot(1)->connected());

    // A new remote takes slot 1; its address is saved with every address known, empty ones too.
    auto other = backend->plugRemote("00:1f:32:aa:bb:01");
    ASSERT_TRUE(runUntil([&] { return manager.wiimoteWithSlot(1)->connected(); }));
    const foundation::Dictionary expected{{"1", foundation::Value("00:1f:32:aa:bb:01")},
                                          {"3", foundation::Value("00:1f:32:aa:bb:03")},
                                          {"6", foundation::Value("")}};
    EXPECT_EQ(QRBPreferences::sharedPreferences().wiiAddressMappings(), expected);

    // Lost: the slot is closed and keeps its address for the next time.
    backend->unplugRemote(remote);
    ASSERT_TRUE(runUntil([&] { return three->device() == nullptr; }));
    EXPECT_FALSE(three->connected());
    EXPECT_EQ(three->bluetoothAddress(), "00:1f:32:aa:bb:03");
    EXPECT_TRUE(manager.wiimoteWithSlot(1)->connected());
}

TEST_F(WiiManagerFixture, AConnectionThatFailsLeavesTheSlotFreeAndAnotherRemoteReplacesTheOldOne) {
    QRBWiiRemoteManager manager;
    auto refusing = std::make_shared<platform::FakeWiiRemote>("refuses");
    refusing->setConnectResult(EHOSTDOWN);
    auto one = manager.wiimoteWithSlot(1);
    manager.foundDevice(refusing);
    EXPECT_EQ(one->device(), nullptr);
    EXPECT_TRUE(discovered.empty()) << "no connection is announced";
    EXPECT_EQ(manager.findFreeWiimoteUsingAddress("someone"), one);

    auto first = std::make_shared<platform::FakeWiiRemote>("first");
    auto second = std::make_shared<platform::FakeWiiRemote>("second");
    one->connectToDevice(first);
    ASSERT_TRUE(runUntil([&] { return one->connected(); }));
    one->connectToDevice(second);  // logged as a warning; the first is dropped
    ASSERT_TRUE(runUntil([&] { return one->connected() && one->bluetoothAddress() == "second"; }));
    settle();
    EXPECT_FALSE(first->isConnected());

    // What a dropped connection still had under way is not the new remote's.
    second->disconnect();
    one->connectToDevice(first);
    ASSERT_TRUE(runUntil([&] { return one->connected() && one->bluetoothAddress() == "first"; }));
    settle();
    EXPECT_TRUE(one->connected()) << "the old remote's disconnection closed the new one";
}

TEST_F(WiiManagerFixture, ARemoteConnectingWithoutATargetURLIsKeptAndNothingEscapesTheCallback) {
    QRBWiiRemoteManager manager;
    // Routing runs, but no URL was ever given: starting the slots is refused.
    EXPECT_THROW(manager.start(), foundation::Exception);
    auto remote = backend->plugRemote("00:00:00:00:00:07");
    auto one = manager.wiimoteWithSlot(1);
    ASSERT_TRUE(runUntil([&] { return one->connected(); }));
    EXPECT_FALSE(one->isSending());
    EXPECT_EQ(remote->leds(), 0b0001) << "the connection went on after the refusal to send";
    manager.setTargetURL(std::string("osc.udp://127.0.0.1:9"));
    EXPECT_TRUE(one->isSending());
}

TEST_F(WiiManagerFixture, DiscoveryStopCodes) {
    QRBWiiRemoteManager manager;
    struct Case {
        int code;
        bool notified;
        std::optional<std::string> status;
    };
    const Case cases[] = {{0, true, std::nullopt},
                          {4, false, std::nullopt},
                          {56, false, "Wiimote discovery error (code: 56)"},
                          {189, false, "Wiimote discovery error (code: 189)"},
                          {-1, true, "Wiimote discovery error (code: -1)"},
                          {7, true, "Wiimote discovery error (code: 7)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        manager.setStatusText(std::nullopt, 0, -1.0);
        discovered.clear();
        manager.discoveryStoppedWithError(c.code);
        ASSERT_EQ(discovered.size(), c.notified ? 1u : 0u);
        if (c.notified) EXPECT_EQ(discovered[0], nullptr) << "no remote with a stop";
        EXPECT_EQ(manager.statusText(), c.status);
        if (c.status) {
            EXPECT_EQ(manager.statusType(), QRBWiiRemoteManager::kStatusAlert);
            EXPECT_EQ(manager.statusDuration(), -1.0);
        }
    }
}

TEST_F(WiiManagerFixture, OnePairingAtATimeAcrossDocumentsWithItsStatusTexts) {
    QRBWiiRemoteManager first;
    QRBWiiRemoteManager second;
    std::vector<std::tuple<std::optional<std::string>, int32_t, double>> seen;
    auto token = first.addObserver(QRBWiiRemoteManager::kStatusTextKey, [&](const foundation::KeyValueChange&) {
        seen.emplace_back(first.statusText(), first.statusType(), first.statusDuration());
    });

    ASSERT_TRUE(first.canStartDiscovery());
    EXPECT_TRUE(first.startDiscovery(true));
    EXPECT_EQ(QRBWiiRemoteManager::discoveryCount(), 1);
    EXPECT_FALSE(second.canStartDiscovery());
    EXPECT_EQ(second.discoveryStartErrorString(), "A discovery process is already running in another window.");
    EXPECT_FALSE(second.startDiscovery(true));
    EXPECT_EQ(second.statusText(), "Bluetooth error: A discovery process is already running in another window.");
    EXPECT_EQ(second.statusType(), QRBWiiRemoteManager::kStatusAlert);

    ASSERT_TRUE(runUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen.back(),
              std::make_tuple(std::optional<std::string>("Pairing: press the red button inside your Wiimote."),
                              QRBWiiRemoteManager::kStatusNotice, 15.0));
    first.stopDiscovery();
    ASSERT_TRUE(runUntil([&] { return QRBWiiRemoteManager::discoveryCount() == 0; }));
    ASSERT_TRUE(runUntil([&] { return !first.statusText(); }));
    EXPECT_EQ(first.statusType(), QRBWiiRemoteManager::kStatusInfo);

    // A pairing reset is an alert; an error ends the pairing and frees it for the others.
    EXPECT_TRUE(second.startDiscovery(true, true));
    ASSERT_TRUE(runUntil([&] { return second.statusText().has_value() && second.statusDuration() == 15.0; }));
    EXPECT_EQ(second.statusText(), "Pairing Reset: press the red button inside your Wiimote.");
    EXPECT_EQ(second.statusType(), QRBWiiRemoteManager::kStatusAlert);
    backend->endDiscoveries(188);
    ASSERT_TRUE(runUntil([&] { return QRBWiiRemoteManager::discoveryCount() == 0; }));
    EXPECT_TRUE(first.canStartDiscovery());

    // A found remote ends the pairing.
    EXPECT_TRUE(first.startDiscovery(false));
    backend->plugRemote("00:00:00:00:00:01");
    ASSERT_TRUE(runUntil([&] { return QRBWiiRemoteManager::discoveryCount() == 0; }));
    EXPECT_EQ(backend->runningDiscoveries(), 0u);
}

TEST_F(WiiManagerFixture, APairingThatNeverRunsOrWhoseDocumentGoesDoesNotLockTheOthers) {
    QRBWiiRemoteManager other;
    {
        QRBWiiRemoteManager closing;
        EXPECT_TRUE(closing.startDiscovery(false));
        EXPECT_EQ(QRBWiiRemoteManager::discoveryCount(), 1);
        closing.close();
    }
    EXPECT_EQ(QRBWiiRemoteManager::discoveryCount(), 0);
    EXPECT_TRUE(other.canStartDiscovery());

    // A pairing that never ran frees the count at once.
    backend->setDiscoveriesStart(false);
    EXPECT_TRUE(other.startDiscovery(false));
    EXPECT_EQ(QRBWiiRemoteManager::discoveryCount(), 0);
    EXPECT_TRUE(other.canStartDiscovery());
    backend->setDiscoveriesStart(true);

    // Stops seen twice (the stop and the running state) count once, and never below zero.
    EXPECT_TRUE(other.startDiscovery(false));
    other.discoveryStoppedWithError(0);
    other.discoveryRunningChanged(false);
    other.discoveryRunningChanged(false);
    EXPECT_EQ(QRBWiiRemoteManager::discoveryCount(), 0);
    settle();
    EXPECT_EQ(QRBWiiRemoteManager::discoveryCount(), 0);
}

TEST_F(WiiManagerFixture, TheThreeReasonsPairingCannotStart) {
    struct Case {
        bool present, on;
        const char* text;
    };
    const Case cases[] = {{false, false, "No adapter has been found."},
                          {true, false, "Adapter is off, please turn it on."}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        backend->setAdapter(c.present, c.on);
        QRBWiiRemoteManager manager;
        EXPECT_FALSE(manager.canStartDiscovery());
        EXPECT_EQ(manager.discoveryStartErrorString(), c.text);
        // A start not asked for by the user (a timer, a launch) leaves the status alone.
        EXPECT_FALSE(manager.startDiscovery(false));
        EXPECT_EQ(manager.statusText(), std::nullopt);
        EXPECT_FALSE(manager.startDiscovery(true));
        EXPECT_EQ(manager.statusText(), std::string("Bluetooth error: ") + c.text);
    }
    backend->setAdapter(true, true);
    QRBWiiRemoteManager manager;
    EXPECT_THROW(manager.discoveryStartErrorString(), foundation::Exception) << "it can start";
}

TEST_F(WiiManagerFixture, CalibrationNoticesAndTheRemotesAcrossDocumentsAndSleep) {
    QRBWiiRemoteManager manager;
    manager.notifyCalibration(0);
    EXPECT_EQ(manager.statusText(), "MotionPlus Calibration: Please stand still.");
    EXPECT_EQ(manager.statusType(), QRBWiiRemoteManager::kStatusNotice);
    manager.notifyCalibration(1);
    EXPECT_EQ(manager.statusText(), std::nullopt);

    auto remote = backend->plugRemote("00:00:00:00:00:01");
    auto one = manager.wiimoteWithSlot(1);
    ASSERT_TRUE(runUntil([&] { return one->connected(); }));
    {
        // Closing a document while another is open leaves the remotes connected.
        // (The other document's remotes are elsewhere: it must not take this one.)
        devices::DeviceLayers layers;
        layers.wiiRemotes = std::make_shared<platform::FakeWiiRemoteBackend>();
        devices::DeviceLayers::install(layers);
        auto other = std::make_unique<QRBWiiRemoteManager>();
        other->close();
        layers.wiiRemotes = backend;
        devices::DeviceLayers::install(layers);
        EXPECT_TRUE(one->connected());
    }
    auto& center = foundation::NotificationCenter::defaultCenter();
    center.post(QRBWiiRemoteManager::kWillSleepNotification);
    EXPECT_FALSE(one->connected());
    EXPECT_EQ(backend->openHIDManagers(), 0u);
    center.post(QRBWiiRemoteManager::kDidWakeNotification);
    ASSERT_TRUE(runUntil([&] { return one->connected(); })) << "found again after waking";
    manager.close();
    EXPECT_FALSE(one->connected()) << "the last document lets the remotes go";
    EXPECT_TRUE(remote->isClosed());
}
