// The quorbital program as a user runs it: headless start-up and its failures, ending a run with
// SIGINT or "/quorbital/quit", and the windowed path while there is no interface.

#include "ChildProcess.h"

#include "core/QRBDocument.h"
#include "core/QRBManager.h"
#include "core/QuorbitalCore.h"
#include "foundation/KeyedArchiver.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <lo/lo.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>

namespace {

constexpr double kStartTimeout = 30.0;  // a sanitizer build starts slowly
constexpr double kExitTimeout = 20.0;

// The manager of a version that kept no Wii remote manager in it.
class OlderManager : public foundation::Object {
public:
    std::string archivedClassName() const override { return "LibloHandler"; }
    std::vector<std::string> archivedClassHierarchy() const override { return {"LibloHandler", "NSObject"}; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override { coder.encodeInteger(9123, "LibloHandlerPort"); }
};

// Sends OSC messages to a port on the loopback.
void sendOSC(long port, const std::string& path) {
    lo_message message = lo_message_new();
    size_t size = 0;
    void* bytes = lo_message_serialise(message, path.c_str(), nullptr, &size);
    lo_message_free(message);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, bytes, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
    std::free(bytes);
}

class ProgramTest : public ::testing::Test {
protected:
    // The program with its settings and runtime files in the test's own folder.
    std::unique_ptr<e2e::ChildProcess> run(const std::vector<std::string>& arguments) {
        return std::make_unique<e2e::ChildProcess>(
            QUORBITAL_PROGRAM, arguments,
            std::map<std::string, std::string>{{"XDG_CONFIG_HOME", dir.file("config")}, {"XDG_RUNTIME_DIR", dir.file("runtime")}});
    }

    // A new document of the current format routing on `port`, saved by the document itself.
    std::string writeDocument(long port) {
        QRBDocument document;
        document.makeWindowControllers();
        document.oscManager()->setServerPort(port);
        const std::string path = dir.file("routing.qrb3");
        document.saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveAs);
        document.close();
        return path;
    }

    void SetUp() override {
        std::filesystem::create_directories(dir.file("config"));
        std::filesystem::create_directories(dir.file("runtime"));
    }

    testsupport::TempDir dir;
};

}  // namespace

TEST_F(ProgramTest, StartupFailuresGiveTheirTextAndAFailingStatus) {
    const std::string older = dir.file("older.qrb3");
    {
        foundation::KeyedArchiver archiver;
        archiver.encodeObject(foundation::Value(std::make_shared<OlderManager>()), "QRBLib");
        foundation::writeFileAtomically(older, archiver.finish());
    }
    const std::string noManager = dir.file("empty.qrb3");
    foundation::writeFileAtomically(noManager, foundation::KeyedArchiver().finish());

    struct Case {
        std::string what;
        std::vector<std::string> arguments;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"no path", {"-headless"}, "No file path found after -headless (error: (null))."},
        {"a file that is not there", {"-headless", dir.file("missing.qrb3")}, "Error occurred while reading the file (error: "},
        {"a folder", {"-headless", dir.path()}, "Error occurred while reading the file (error: "},
        {"an older format", {"-headless", older}, QuorbitalCore::kOlderFormat},
        {"no manager at all", {"-headless", noManager}, QuorbitalCore::kOlderFormat},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto child = run(c.arguments);
        const int status = child->waitForExit(kExitTimeout);
        EXPECT_NE(status, 0);
        EXPECT_NE(status, -1) << "it ended by itself";
        EXPECT_NE(child->output().find("QuorbitalStartupException"), std::string::npos) << child->output();
        EXPECT_NE(child->output().find(c.text), std::string::npos) << child->output();
        EXPECT_EQ(child->output().find(QuorbitalCore::kStartingRouting), std::string::npos) << "nothing was started";
    }
}

TEST_F(ProgramTest, TheWindowedPathSaysThatThereIsNoInterfaceYet) {
    auto child = run({});
    EXPECT_EQ(child->waitForExit(kExitTimeout), 1);
    EXPECT_NE(child->output().find(QRBUnbuiltApplication::kNotBuilt), std::string::npos) << child->output();
}

TEST_F(ProgramTest, SIGINTLogsTheQuittingLineAndExitsAboutOneSecondLater) {
    const long port = testsupport::freePort();
    ASSERT_NE(port, 0);
    auto child = run({"-headless", writeDocument(port)});
    ASSERT_TRUE(child->waitForOutput(QuorbitalCore::kStartingRouting, kStartTimeout)) << child->output();
    EXPECT_NE(child->output().find(QuorbitalCore::kRunningHeadless), std::string::npos);

    const auto sent = std::chrono::steady_clock::now();
    child->sendSignal(SIGINT);
    EXPECT_TRUE(child->waitForOutput("Quitting because signal SIGINT was received.", kExitTimeout)) << child->output();
    const int status = child->waitForExit(kExitTimeout);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    EXPECT_EQ(status, 0) << child->output();
    EXPECT_GE(elapsed, 0.9);
    EXPECT_LT(elapsed, 10.0);
}

TEST_F(ProgramTest, TheQuitCommandEndsTheRunWithStatusZero) {
    const long port = testsupport::freePort();
    ASSERT_NE(port, 0);
    auto child = run({"-headless", writeDocument(port)});
    ASSERT_TRUE(child->waitForOutput(QuorbitalCore::kStartingRouting, kStartTimeout)) << child->output();

    // The server may still be starting when the line appears: the command is sent again until the
    // program ends, within the bound.
    std::optional<int> status;
    for (int attempt = 0; attempt < 40 && !status; ++attempt) {
        sendOSC(port, "/quorbital/quit");
        status = child->tryWait(0.5);
    }
    EXPECT_EQ(status, 0) << child->output();
}
