// A document whose "/next" switches mappings, run headless by the quorbital program: "/x" routes
// through the first mapping's route, then, after "/next", through the second's.

#include "ChildProcess.h"
#include "LoopbackOSC.h"

#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/osc/QRBTarget.h"
#include "document/QRBDocument.h"
#include "document/QRBManager.h"
#include "document/QRBRouteEventSource.h"
#include "document/QuorbitalCore.h"
#include "features/QRBPresetChangeEventSourceBase.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <lo/lo.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <optional>
#include <thread>

namespace {

constexpr double kStartTimeout = 30.0;  // a sanitizer build starts slowly
constexpr double kExitTimeout = 20.0;

// Sends "/x" until something routed of it comes back (the program may still be starting);
// answers the path it was routed to.
std::optional<std::string> routeX(Receiver& receiver, long port) {
    const std::optional<std::string> routed = sendUntilRouted(port, "/x", 0.5f, receiver);
    if (!routed) return std::nullopt;
    return routed->substr(0, routed->find(' '));
}

}  // namespace

TEST(MappingSwitch, NextSwitchesTheMappingThatRoutesX) {
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir.file("config"));
    std::filesystem::create_directories(dir.file("runtime"));
    Receiver receiver;
    ASSERT_NE(receiver.port(), 0);
    const long port = testsupport::freePort();
    ASSERT_NE(port, 0);

    // Two mappings; in each, "/next" goes to the next mapping and "/x" routes to an address of
    // the mapping's own.
    const std::string path = dir.file("switching.qrb3");
    {
        QRBDocument document;
        document.makeWindowControllers();
        const QRBManagerPtr& manager = document.oscManager();
        manager->setServerPort(port);
        manager->oscTargets()[0]->setTargetSpec("127.0.0.1:" + std::to_string(receiver.port()));
        manager->setDefaultTargetIndex(0);
        const auto& presets = manager->presetManager();
        auto second = std::make_shared<QRBPreset>();
        second->setName("Second");
        presets->addPresetsObject(second);
        for (const char* name : {"/first", "/second"}) {
            const QRBPresetPtr& preset = presets->presets()[name == std::string("/first") ? 0 : 1];
            auto next = QRBContext::create("/next", manager);
            preset->addObject(next);
            auto change = std::make_shared<QRBPresetChangeEventSource>();
            change->setChangeToNext(true);
            next->setEventSource(change);
            auto route = std::make_shared<QRBRouteEventSource>();
            route->setTargetIdentifier(0);
            route->setRewriteAddress(std::string(name));
            manager->insertObject(route, manager->countOfOscRoutes());
            auto x = QRBContext::create("/x", manager);
            preset->addObject(x);
            x->setEventSource(route);
        }
        document.saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveAs);
        document.close();
    }

    e2e::ChildProcess child(QUORBITAL_PROGRAM, {"-headless", path},
                            {{"XDG_CONFIG_HOME", dir.file("config")}, {"XDG_RUNTIME_DIR", dir.file("runtime")}});
    ASSERT_TRUE(child.waitForOutput(QuorbitalCore::kStartingRouting, kStartTimeout)) << child.output();
    EXPECT_EQ(routeX(receiver, port), "/first") << child.output();

    // A message without arguments presses and, a tenth of a second later, releases: the switch.
    sendOSC(port, "/next");
    // Until the release has come (answers to earlier messages may still be on their way), at
    // most ten seconds.
    std::optional<std::string> routed;
    for (int attempt = 0; attempt < 200 && routed != "/second"; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        routed = routeX(receiver, port);
    }
    EXPECT_EQ(routed, "/second") << child.output();

    child.sendSignal(SIGINT);
    EXPECT_EQ(child.waitForExit(kExitTimeout), 0) << child.output();
}
