// The quorbital program as a user runs it: the example document routing OSC to a receiver,
// headless start-up and its failures, ending a run with SIGINT or "/quorbital/quit", and the
// windowed path (without a display, under an X server of the test's own, and that a headless run
// loads no Qt); and the example being what its writer writes.

#include "ChildProcess.h"
#include "LoopbackOSC.h"

#include "core/osc/QRBTarget.h"
#include "core/outputs/QRBKeptEventSource.h"
#include "document/QRBDocument.h"
#include "document/QRBManager.h"
#include "document/QuorbitalCore.h"
#include "foundation/Format.h"
#include "foundation/KeyedArchiver.h"
#include "platform/desktop/XvfbServer.h"
#include "support/TestSupport.h"
#include "ui/QRBQtApplication.h"

#include <gtest/gtest.h>

#include <lo/lo.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override {
        coder.encodeInteger(9123, "LibloHandlerPort");
    }
};

class ProgramTest : public ::testing::Test {
protected:
    // The program with its settings and runtime files in the test's own folder.
    std::unique_ptr<e2e::ChildProcess> run(const std::vector<std::string>& arguments,
                                           const std::string& program = QUORBITAL_PROGRAM) {
        return std::make_unique<e2e::ChildProcess>(
            program, arguments,
            std::map<std::string, std::string>{{"XDG_CONFIG_HOME", dir.file("config")},
                                               {"XDG_RUNTIME_DIR", dir.file("runtime")}});
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

TEST_F(ProgramTest, TheExampleDocumentRoutesScaledInputToItsTarget) {
    // The example as shipped, moved to ports of the test's own: input on `port`, output to the
    // receiver. Everything else is the example's.
    Receiver receiver;
    ASSERT_NE(receiver.port(), 0);
    const long port = testsupport::freePort();
    ASSERT_NE(port, 0);
    const std::string path = dir.file("fader.qrb3");
    {
        QRBDocument example;
        example.readFromURL(std::string(QUORBITAL_EXAMPLES) + "/fader.qrb3", kQRBDocumentType);
        example.makeWindowControllers();
        ASSERT_EQ(example.oscManager()->serverPort(), 8000);
        ASSERT_EQ(example.oscManager()->oscTargets()[0]->targetSpec(), "osc.udp://127.0.0.1:9000");
        example.oscManager()->setServerPort(port);
        example.oscManager()->oscTargets()[0]->setTargetSpec("127.0.0.1:" + std::to_string(receiver.port()));
        example.saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveTo);
        example.close();
    }

    auto child = run({"-headless", path});
    ASSERT_TRUE(child->waitForOutput(QuorbitalCore::kStartingRouting, kStartTimeout)) << child->output();
    const std::optional<std::string> received = sendUntilRouted(port, "/fader", 0.5f, receiver);
    ASSERT_TRUE(received) << child->output();
    EXPECT_EQ(*received, "/mixer/volume ,f 50.000000");

    child->sendSignal(SIGINT);
    EXPECT_EQ(child->waitForExit(kExitTimeout), 0) << child->output();
}

TEST_F(ProgramTest, ADocumentOfAnotherWriterRoutesAndItsUnknownOutputsDoNothing) {
    // Written by tests/data/write_documents.py: eight Wii remote slots, "/fader" routed to the
    // receiver scaled to 0..100, "/synth/note" driving a MIDI note output this version does not have.
    Receiver receiver;
    ASSERT_NE(receiver.port(), 0);
    const long port = testsupport::freePort();
    ASSERT_NE(port, 0);
    const std::string path = dir.file("written.qrb3");
    const auto written =
        testsupport::runCommand("python3 '" + std::string(QUORBITAL_TEST_DATA) + "/write_documents.py' current '" +
                                path + "' " + std::to_string(port) + " " + std::to_string(receiver.port()));
    ASSERT_EQ(written.exitCode, 0) << written.output;

    auto child = run({"-headless", path});
    ASSERT_TRUE(child->waitForOutput(QuorbitalCore::kStartingRouting, kStartTimeout)) << child->output();
    std::optional<std::string> received = sendUntilRouted(port, "/fader", 0.5f, receiver);
    ASSERT_TRUE(received) << child->output();
    EXPECT_EQ(*received, "/mixer/volume ,f 50.000000");

    // Messages of one sender are handled in order: once the fader's next message has come through,
    // both notes have reached their output.
    sendOSC(port, "/synth/note", 60.0f);
    sendOSC(port, "/synth/note", 62.0f);
    sendOSC(port, "/fader", 0.25f);
    received = receiver.receive(10.0);
    ASSERT_TRUE(received) << child->output();
    EXPECT_EQ(*received, "/mixer/volume ,f 25.000000");
    const std::string line = foundation::format(QRBKeptEventSource::kNotAvailableFormat, "QRBStepSequencerEventSource");
    const std::string output = child->output();
    const size_t first = output.find(line);
    EXPECT_NE(first, std::string::npos) << output;
    EXPECT_EQ(output.find(line, first + 1), std::string::npos) << "said once, not for every message\n" << output;
    EXPECT_EQ(output.find("Abstract method"), std::string::npos) << output;

    child->sendSignal(SIGINT);
    EXPECT_EQ(child->waitForExit(kExitTimeout), 0) << child->output();
}

TEST_F(ProgramTest, TheExampleIsWhatItsWriterWrites) {
    auto writer = run({dir.path()}, QUORBITAL_WRITE_EXAMPLES);
    ASSERT_EQ(writer->waitForExit(kExitTimeout), 0) << writer->output();
    const auto comparison =
        testsupport::comparePropertyListFiles(dir.file("fader.qrb3"), std::string(QUORBITAL_EXAMPLES) + "/fader.qrb3");
    EXPECT_EQ(comparison.exitCode, 0)
        << comparison.output
        << "\nThe document format changed: run quorbital-write-examples (built into build/<preset>/examples/) "
           "to write the examples again.";
}

TEST_F(ProgramTest, StartupFailuresGiveTheirTextAndAFailingStatus) {
    const std::string older = dir.file("older.qrb3");
    {
        foundation::KeyedArchiver archiver;
        archiver.encodeObject(foundation::Value(std::make_shared<OlderManager>()), "QRBLib");
        foundation::writeFileAtomically(older, archiver.finish());
    }
    const std::string noManager = dir.file("empty.qrb3");
    foundation::writeFileAtomically(noManager, foundation::KeyedArchiver().finish());
    // A whole document cut short, and bytes that are no property list at all.
    const std::string cut = dir.file("cut.qrb3");
    {
        const foundation::Data whole = foundation::readFile(writeDocument(testsupport::freePort()));
        foundation::writeFileAtomically(cut, foundation::Data(whole.begin(), whole.begin() + whole.size() / 2));
    }
    const std::string text = dir.file("text.qrb3");
    foundation::writeFileAtomically(text, foundation::Data{'h', 'e', 'l', 'l', 'o'});
    const std::string damaged = "could not be read as a Quorbital document (error: ";

    struct Case {
        std::string what;
        std::vector<std::string> arguments;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"no path", {"-headless"}, "No file path found after -headless (error: (null))."},
        {"a file that is not there",
         {"-headless", dir.file("missing.qrb3")},
         "Error occurred while reading the file (error: "},
        {"a folder", {"-headless", dir.path()}, "Error occurred while reading the file (error: "},
        {"an older format", {"-headless", older}, QuorbitalCore::kOlderFormat},
        {"no manager at all", {"-headless", noManager}, QuorbitalCore::kOlderFormat},
        {"a document cut short", {"-headless", cut}, "The file " + cut + " " + damaged},
        {"not a document", {"-headless", text}, "The file " + text + " " + damaged},
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
        EXPECT_EQ(child->output().find("uncaught exception"), std::string::npos) << child->output();
    }
}

TEST_F(ProgramTest, AHeadlessRunWhosePortIsTakenSaysSoAndFails) {
    struct Case {
        const char* what;
        int type;  // of the socket that holds the port
        const char* server;
    };
    const std::vector<Case> cases = {{"UDP", SOCK_DGRAM, "UDP"}, {"TCP", SOCK_STREAM, "TCP"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const long port = testsupport::freePort();
        ASSERT_NE(port, 0);
        const int blocker = socket(AF_INET, c.type | SOCK_CLOEXEC, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        any.sin_port = htons(static_cast<uint16_t>(port));
        ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
        if (c.type == SOCK_STREAM) listen(blocker, 1);

        auto child = run({"-headless", writeDocument(port)});
        const int status = child->waitForExit(kExitTimeout);
        close(blocker);
        EXPECT_NE(status, 0) << child->output();
        EXPECT_NE(status, -1) << "it ended by itself";
        EXPECT_NE(child->output().find(std::string("OSC ") + c.server + " Server error: Port " + std::to_string(port) +
                                       " already in use"),
                  std::string::npos)
            << child->output();
    }
}

// Documents that are not files, or whose port names no real port: the start ends with the reason
// and a failing status, and nothing listens.
TEST_F(ProgramTest, HostileDocumentsEndTheStartWithAFailingStatus) {
    const std::string fifo = dir.file("fifo.qrb3");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::rename(writeDocument(70000), dir.file("port70000.qrb3"));
    std::filesystem::rename(writeDocument(0), dir.file("port0.qrb3"));
    struct Case {
        std::string what;
        std::string path;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"a FIFO, which would block the start for ever", fifo, "not a regular file"},
        {"a device, which would be read until memory runs out", "/dev/zero", "not a regular file"},
        {"a port above 65535", dir.file("port70000.qrb3"), "OSC port 70000 is outside 1 to 65535"},
        {"port 0", dir.file("port0.qrb3"), "OSC port 0 is outside 1 to 65535"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto child = run({"-headless", c.path});
        const int status = child->waitForExit(kExitTimeout);
        EXPECT_NE(status, 0);
        EXPECT_NE(status, -1) << "it ended by itself";
        EXPECT_NE(child->output().find(c.text), std::string::npos) << child->output();
        EXPECT_EQ(child->output().find(QuorbitalCore::kStartingRouting), std::string::npos) << "nothing was started";
    }
}

TEST_F(ProgramTest, TheWindowedPathWithoutADisplaySaysSoAndFails) {
    auto child = std::make_unique<e2e::ChildProcess>(
        QUORBITAL_PROGRAM, std::vector<std::string>{},
        std::map<std::string, std::string>{{"XDG_CONFIG_HOME", dir.file("config")},
                                           {"XDG_RUNTIME_DIR", dir.file("runtime")},
                                           {"DISPLAY", ""},
                                           {"WAYLAND_DISPLAY", ""},
                                           {"QT_QPA_PLATFORM", ""}});
    EXPECT_EQ(child->waitForExit(kExitTimeout), 1);
    EXPECT_NE(child->output().find(ui::QRBQtApplication::kNoDisplay), std::string::npos) << child->output();
}

TEST_F(ProgramTest, TheWindowedProgramOpensItsWindowsOnAnXServer) {
    XvfbServer server;
    ASSERT_TRUE(server.display()) << "Xvfb did not start";
    const std::string pictures = dir.file("pictures");
    // No session bus: libdbus would keep a failed connection's buffer to the end, which the leak
    // checker reports.
    auto child = std::make_unique<e2e::ChildProcess>(
        QUORBITAL_PROGRAM, std::vector<std::string>{ui::QRBQtApplication::kScreenshotsArgument, pictures},
        std::map<std::string, std::string>{{"XDG_CONFIG_HOME", dir.file("config")},
                                           {"XDG_RUNTIME_DIR", dir.file("runtime")},
                                           {"DISPLAY", *server.display()},
                                           {"QT_QPA_PLATFORM", "xcb"},
                                           {"DBUS_SESSION_BUS_ADDRESS", "disabled:"}});
    EXPECT_EQ(child->waitForExit(kStartTimeout), 0) << child->output();
    EXPECT_TRUE(std::filesystem::exists(pictures + "/document-window.png")) << child->output();
}

TEST_F(ProgramTest, AHeadlessRunNeedsNoDisplayAndLoadsNoQt) {
    const long port = testsupport::freePort();
    ASSERT_NE(port, 0);
    const std::string path = writeDocument(port);
    auto child = std::make_unique<e2e::ChildProcess>(
        QUORBITAL_PROGRAM, std::vector<std::string>{"-headless", path},
        std::map<std::string, std::string>{{"XDG_CONFIG_HOME", dir.file("config")},
                                           {"XDG_RUNTIME_DIR", dir.file("runtime")},
                                           {"DISPLAY", ""},
                                           {"WAYLAND_DISPLAY", ""}});
    ASSERT_TRUE(child->waitForOutput(QuorbitalCore::kStartingRouting, kStartTimeout)) << child->output();
    std::ifstream maps("/proc/" + std::to_string(child->pid()) + "/maps");
    ASSERT_TRUE(maps.good());
    std::string line;
    size_t lines = 0;
    while (std::getline(maps, line)) {
        ++lines;
        EXPECT_EQ(line.find("libQt6"), std::string::npos) << line;
        EXPECT_EQ(line.find("quorbital_gui"), std::string::npos) << line;
    }
    EXPECT_GT(lines, 0u);
    child->sendSignal(SIGINT);
    EXPECT_EQ(child->waitForExit(kExitTimeout), 0) << child->output();
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
