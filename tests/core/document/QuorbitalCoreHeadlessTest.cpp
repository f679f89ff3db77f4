// A headless run of a document on disk, in this process: its input lock follows the file's lock,
// as it does for a document opened in the window, so a locked file learns no new addresses while
// its known ones go on routing.

#include "core/support/ManagerTestSupport.h"

#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "document/QRBDocument.h"
#include "document/QuorbitalCore.h"
#include "foundation/RunLoop.h"
#include "foundation/UserDefaults.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>

using firing::Float;
using managertest::packet;
using managertest::Sender;

namespace {

// A document on `port` with the one context "/known".
void writeDocument(const std::string& path, long port) {
    QRBDocument document;
    document.makeWindowControllers();
    const QRBManagerPtr& manager = document.oscManager();
    manager->setServerPort(port);
    manager->presetManager()->currentPreset()->addObject(QRBContext::create(std::string("/known"), manager));
    document.saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveTo);
    document.close();
}

class HeadlessRunTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        const char* saved = std::getenv("XDG_RUNTIME_DIR");
        savedRuntime_ = saved ? std::optional<std::string>(saved) : std::nullopt;
        // The run's heartbeat server goes here, apart from any other run's.
        setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    }
    void TearDown() override {
        QRBManager::setTerminateApplicationHandler(nullptr);
        foundation::UserDefaults::standard().setArguments(std::vector<std::string>{"quorbital"});
        if (savedRuntime_)
            setenv("XDG_RUNTIME_DIR", savedRuntime_->c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
    }

    testsupport::TempDir dir;

private:
    std::optional<std::string> savedRuntime_;
};

TEST_P(HeadlessRunTest, ALockedFileLearnsNoNewAddressesAndItsKnownOnesRoute) {
    const bool locked = GetParam();
    const long port = testsupport::freePort();
    ASSERT_NE(port, 0);
    const std::string path = dir.file("show.qrb3");
    writeDocument(path, port);
    if (locked) {
        ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    }

    // While the run goes on: a new address, then the known one; once the known one has arrived,
    // the new one has been handled, and the run ends.
    QuorbitalCore core;
    Sender sender(LO_UDP, port);
    bool sent = false;
    bool arrived = false;
    QRBOSCMessagePtr decoded;  // what the known context held before
    auto& loop = foundation::RunLoop::main();
    const double deadline = loop.now() + managertest::kWait;
    auto timer = loop.scheduleTimer(0.02, true, foundation::RunLoopMode::Default, [&](foundation::Timer&) {
        const QRBManagerPtr& manager = core.headlessManager();
        if (!manager || !manager->isRunning()) return;
        auto known = manager->contextWithName("/known");
        if (!known) return;
        if (!sent) {
            decoded = known->lastReceivedMessage();
            sender.send(packet("/new", {Float(0.5f)}));
            sender.send(packet("/known", {Float(0.5f)}));
            sent = true;
        }
        arrived = known->lastReceivedMessage() != decoded;
        if (arrived || loop.now() > deadline) loop.stop();
    });
    const char* argv[] = {"quorbital", "-headless", path.c_str()};
    EXPECT_EQ(core.startApplication(3, argv), 0);
    timer->invalidate();

    const QRBManagerPtr& manager = core.headlessManager();
    ASSERT_NE(manager, nullptr);
    EXPECT_TRUE(arrived) << "the known address was not routed";

    EXPECT_EQ(manager->isInputLocked(), locked);
    EXPECT_EQ(manager->contextWithName("/new") == nullptr, locked);
    EXPECT_EQ(manager->presetManager()->currentPreset()->countOfObjects(), locked ? 1u : 2u);
    manager->close();
    core.stopApplication();
}

INSTANTIATE_TEST_SUITE_P(FileLock, HeadlessRunTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Locked" : "Unlocked"; });

}  // namespace
