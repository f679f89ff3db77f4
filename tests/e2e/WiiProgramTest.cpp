// The quorbital program routing Wii remote input: a test build with the in-process remotes, given
// a remote that presses A, opens a document whose "/wii/1/button/A" is routed to a UDP target,
// binds the remote to slot 1, and the press reaches the target.

#include "ChildProcess.h"
#include "LoopbackOSC.h"

#include "document/QRBDocument.h"
#include "document/QRBManager.h"
#include "document/QuorbitalCore.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/osc/QRBTarget.h"
#include "document/QRBRouteEventSource.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr double kStartTimeout = 30.0;

TEST(WiiProgramTest, AButtonPressOfAFoundRemoteIsRoutedToAUDPTarget) {
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir.file("config"));
    std::filesystem::create_directories(dir.file("runtime"));
    Receiver receiver;
    ASSERT_NE(receiver.port(), 0);
    const long port = testsupport::freePort();
    ASSERT_NE(port, 0);

    const std::string path = dir.file("wii.qrb3");
    {
        QRBDocument document;
        document.makeWindowControllers();
        const QRBManagerPtr& manager = document.oscManager();
        manager->setServerPort(port);
        manager->oscTargets()[0]->setTargetSpec("127.0.0.1:" + std::to_string(receiver.port()));
        auto route = std::make_shared<QRBRouteEventSource>();
        route->setTargetIdentifier(0);
        route->setRewriteAddress(std::string("/pressed"));
        manager->insertObject(route, manager->countOfOscRoutes());
        auto context = QRBContext::create("/wii/1/button/A", manager);
        manager->presetManager()->currentPreset()->addObject(context);
        context->setEventSource(route);
        document.saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveAs);
        document.close();
    }

    e2e::ChildProcess program(QUORBITAL_FAKE_WII_PROGRAM, {"-headless", path, "-FakeWiimote", "00:1f:32:00:00:01"},
                              {{"XDG_CONFIG_HOME", dir.file("config")}, {"XDG_RUNTIME_DIR", dir.file("runtime")}});
    ASSERT_TRUE(program.waitForOutput(QuorbitalCore::kStartingRouting, kStartTimeout)) << program.output();
    const std::optional<std::string> received = receiver.receive(10.0);
    ASSERT_TRUE(received) << program.output();
    EXPECT_EQ(received->rfind("/pressed ,f ", 0), 0u) << *received;

    program.sendSignal(SIGINT);
    EXPECT_EQ(program.waitForExit(20), 0) << program.output();
}

}  // namespace
