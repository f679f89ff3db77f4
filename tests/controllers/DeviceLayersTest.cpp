// The controllers reach their devices through the process's device layers: the tablet daemon is
// launched through the launcher, keys are posted through the event poster, the 3D mouse registers
// with its driver, and a document's Wii remote manager pairs and finds remotes through the Wii
// backend. Without layers installed nothing is found and nothing is posted.

#include "controllers/QRBKeyEventManager.h"
#include "controllers/QRBSpaceNavigator.h"
#include "controllers/QRBWacomManager.h"
#include "controllers/QRBWiiRemoteManager.h"
#include "controllers/devices/DeviceLayers.h"
#include "foundation/RunLoop.h"
#include "foundation/UserDefaults.h"
#include "platform/desktop/FakeEventPoster.h"
#include "platform/spacemouse/FakeSpaceMouseDriver.h"
#include "platform/tablet/FakeTabletDaemonLauncher.h"
#include "platform/wii/FakeWiiRemoteBackend.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using devices::DeviceLayers;

// Installs the layers for one test, and the defaults again after it.
class DeviceLayersTest : public ::testing::Test {
protected:
    // The layers with one set, the rest the defaults.
    template <class Layer>
    static void install(std::shared_ptr<Layer> DeviceLayers::*which,
                        std::type_identity_t<std::shared_ptr<Layer>> layer) {
        DeviceLayers layers;
        layers.*which = std::move(layer);
        DeviceLayers::install(layers);
    }
    void TearDown() override {
        DeviceLayers::reset();
        foundation::UserDefaults::standard().setArguments(std::vector<std::string>{});
    }
    void settle() {
        auto& loop = foundation::RunLoop::main();
        loop.runUntil(loop.now() + 0.05);
    }
};

TEST_F(DeviceLayersTest, TheTabletDaemonIsLaunchedOnceAndTerminatedThroughTheLauncher) {
    auto launcher = std::make_shared<platform::FakeTabletDaemonLauncher>();
    install(&DeviceLayers::tabletDaemon, launcher);
    foundation::UserDefaults::standard().setArguments(std::vector<std::string>{"-WacomMouseLockMode", "0"});
    const std::string url = "osc.udp://127.0.0.1:8000";

    QRBWacomManager tablet(url);
    tablet.start();
    tablet.start();  // one daemon at a time
    ASSERT_EQ(launcher->launched().size(), 1u);
    EXPECT_EQ(launcher->launched()[0]->name, "quorbl-penmond");
    EXPECT_EQ(launcher->launched()[0]->arguments, (std::vector<std::string>{"-TargetURL", url, "-MouseLockMode", "0"}));

    // A daemon that quit by itself is held until the next stop; it is not terminated again.
    launcher->launched()[0]->exit();
    tablet.start();
    EXPECT_EQ(launcher->launched().size(), 1u);
    tablet.stop();
    EXPECT_FALSE(launcher->launched()[0]->wasTerminated());
    EXPECT_EQ(tablet.task(), nullptr);

    // A refused launch keeps nothing, so the next start tries again.
    launcher->setRefusesLaunch(true);
    tablet.start();
    EXPECT_EQ(tablet.task(), nullptr);
    launcher->setRefusesLaunch(false);
    tablet.setTargetURL(std::string("osc.udp://127.0.0.1:9000"));
    ASSERT_EQ(launcher->launched().size(), 2u);
    tablet.stop();
    EXPECT_TRUE(launcher->launched()[1]->wasTerminated());
}

TEST_F(DeviceLayersTest, KeysGoToTheApplicationNamedElseTheDocumentsElseTheFocusedOne) {
    auto poster = std::make_shared<platform::FakeEventPoster>();
    poster->setRunningApplications({"Live", "Notes"});
    install(&DeviceLayers::events, poster);
    auto keys = std::make_shared<QRBKeyEventManager>();

    struct Case {
        const char* what;
        std::optional<std::string> documentDefault;
        std::optional<std::string> name;
        bool posted;
        std::optional<std::string> receiver;
    };
    const std::vector<Case> cases = {
        {"no name anywhere: the focused application", std::nullopt, std::nullopt, true, std::nullopt},
        {"empty names count as none", std::string(), std::string(), true, std::nullopt},
        {"the document's default", std::string("Notes"), std::nullopt, true, std::string("Notes")},
        {"an empty name takes the default", std::string("Notes"), std::string(), true, std::string("Notes")},
        {"the name given wins", std::string("Notes"), std::string("Live"), true, std::string("Live")},
        {"an application that does not run gets nothing", std::nullopt, std::string("Gone"), false, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        poster->clear();
        keys->setTargetAppName(c.documentDefault);
        EXPECT_TRUE(keys->postEventToApplicationName(c.name, 49, devices::kCommandKeyFlag, true));
        ASSERT_EQ(poster->keys().size(), c.posted ? 1u : 0u);
        if (!c.posted) continue;
        EXPECT_EQ(poster->keys()[0].application, c.receiver);
        EXPECT_EQ(poster->keys()[0].event.keyCode, 49);
        EXPECT_EQ(poster->keys()[0].event.flags, devices::kCommandKeyFlag);
        EXPECT_TRUE(poster->keys()[0].event.down);
    }
}

TEST_F(DeviceLayersTest, TheThreeDMouseRegistersWithItsDriverOnlyWhileADeviceIsThere) {
    EXPECT_FALSE(QRBSpaceNavigator::driversAvailable()) << "no driver by default";
    auto driver = std::make_shared<platform::FakeSpaceMouseDriver>();
    install(&DeviceLayers::spaceMouse, driver);
    EXPECT_TRUE(QRBSpaceNavigator::driversAvailable());
    const std::string url = "osc.udp://127.0.0.1:8000";

    QRBSpaceNavigator navigator;
    navigator.start();
    EXPECT_EQ(driver->client(), 0) << "no target URL: nothing registers";

    // No device: the client goes again and the URL is dropped.
    navigator.setTargetURL(url);
    navigator.start();
    EXPECT_EQ(driver->client(), 0);
    EXPECT_FALSE(navigator.isConnectedToURL(url));

    driver->setDeviceID(1);
    navigator.setTargetURL(url);
    navigator.start();
    EXPECT_NE(driver->client(), 0);
    EXPECT_EQ(driver->clientName(), "Quorbital");
    EXPECT_TRUE(navigator.isConnectedToURL(url));
    navigator.stop();
    EXPECT_EQ(driver->client(), 0);
    EXPECT_FALSE(navigator.targetURL());

    // A refused registration keeps the URL.
    driver->setRefusesClients(true);
    navigator.setTargetURL(url);
    navigator.start();
    EXPECT_EQ(navigator.clientID(), 0);
    EXPECT_TRUE(navigator.isConnectedToURL(url));
}

TEST_F(DeviceLayersTest, AWiiRemoteManagerPairsAndListensThroughTheBackend) {
    {
        QRBWiiRemoteManager withoutAdapter;
        EXPECT_EQ(withoutAdapter.discovery(), nullptr);
        withoutAdapter.stop();  // nothing to stop
    }
    auto remotes = std::make_shared<platform::FakeWiiRemoteBackend>();
    install(&DeviceLayers::wiiRemotes, remotes);
    {
        QRBWiiRemoteManager wii;
        EXPECT_EQ(remotes->openHIDManagers(), 1u);
        ASSERT_NE(wii.discovery(), nullptr);
        wii.discovery()->start(false);
        EXPECT_EQ(remotes->runningDiscoveries(), 1u);
        wii.stop();
        EXPECT_EQ(remotes->runningDiscoveries(), 0u);
        wii.discovery()->start(false);
        wii.close();
        EXPECT_EQ(remotes->runningDiscoveries(), 0u);
    }
    EXPECT_EQ(remotes->openHIDManagers(), 0u) << "a manager that goes closes its HID manager";
}

}  // namespace
