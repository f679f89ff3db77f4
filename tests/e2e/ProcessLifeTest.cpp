// The program's life around the routing: a log nobody reads any more, the signals that end a run
// and what a run leaves behind, what a run that was killed leaves to the next, what is found at the
// settings path, and a flood of refused packets in the log.

#include "ChildProcess.h"

#include "core/osc/QRBServer.h"
#include "document/QRBDocument.h"
#include "document/QRBManager.h"
#include "document/QuorbitalCore.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <lo/lo.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr double kStartTimeout = 30.0;  // a sanitizer build starts slowly
constexpr double kExitTimeout = 20.0;

void sendBytes(long port, const void* bytes, size_t size) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in to = testsupport::loopbackAddress(port);
    sendto(fd, bytes, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    close(fd);
}

void sendOSC(long port, const std::string& path) {
    lo_message message = lo_message_new();
    size_t size = 0;
    void* bytes = lo_message_serialise(message, path.c_str(), nullptr, &size);
    lo_message_free(message);
    sendBytes(port, bytes, size);
    std::free(bytes);
}

// What the packet check refuses: no OSC address.
void sendBadPacket(long port) {
    static const char kGarbage[] = "not an OSC packet";
    sendBytes(port, kGarbage, sizeof kGarbage - 1);
}

// Something listens on `port` (any address) with sockets of `type`: the port cannot be bound.
bool portTaken(long port, int type) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool taken = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno == EADDRINUSE;
    close(fd);
    return taken;
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool eventually(const std::function<bool()>& condition, double timeout) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class ProcessLifeTest : public ::testing::Test {
protected:
    std::unique_ptr<e2e::ChildProcess> run(const e2e::ChildOptions& options = {}) {
        return std::make_unique<e2e::ChildProcess>(
            QUORBITAL_PROGRAM, std::vector<std::string>{"-headless", document},
            std::map<std::string, std::string>{{"XDG_CONFIG_HOME", dir.file("config")},
                                               {"XDG_RUNTIME_DIR", dir.file("runtime")}},
            options);
    }

    // Sends "/quorbital/quit" until the program ends (its server may still be starting).
    std::optional<int> quit(e2e::ChildProcess& child) {
        std::optional<int> status;
        for (int attempt = 0; attempt < 40 && !status; ++attempt) {
            sendOSC(port, "/quorbital/quit");
            status = child.tryWait(0.5);
        }
        return status;
    }

    // Both servers of the document listen once both ports are taken.
    bool serversListen() {
        return eventually([&] { return portTaken(port, SOCK_DGRAM) && portTaken(port, SOCK_STREAM); }, kStartTimeout);
    }

    void SetUp() override {
        ASSERT_NE(port, 0);
        fs::create_directories(settingsFolder);
        fs::create_directories(dir.file("runtime"));
        QRBDocument writer;
        writer.makeWindowControllers();
        writer.oscManager()->setServerPort(port);
        writer.saveToURL(document, kQRBDocumentType, QRBDocument::SaveOperation::SaveAs);
        writer.close();
    }

    void TearDown() override {
        std::error_code ignored;
        fs::permissions(settingsFolder, fs::perms::owner_all, fs::perm_options::add, ignored);
    }

    testsupport::TempDir dir;
    const long port = testsupport::freePort();
    const std::string document = dir.file("routing.qrb3");
    const std::string settingsFolder = dir.file("config/quorbital");
    const std::string settingsPath = settingsFolder + "/Quorbital.plist";
    const std::string heartbeatSocket = dir.file("runtime/quorbital/quorbl_heartbeat.sock");
};

}  // namespace

TEST_F(ProcessLifeTest, ALogWithoutAReaderDoesNotEndTheRun) {
    auto child = run();
    ASSERT_TRUE(child->waitForOutput(QuorbitalCore::kStartingRouting, kStartTimeout)) << child->output();
    ASSERT_TRUE(serversListen());
    child->closeOutput();
    // Each refused packet writes to the log, whose pipe has no reader now.
    for (int i = 0; i < 5; ++i) sendBadPacket(port);
    EXPECT_EQ(quit(*child), 0) << "128 + 13 is SIGPIPE";
}

TEST_F(ProcessLifeTest, TERMAndHUPEndTheRunAsINTDoesAndLeaveNothingBehind) {
    for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(sigabbrev_np(signal));
        auto child = run();
        ASSERT_TRUE(child->waitForOutput(QuorbitalCore::kStartingRouting, kStartTimeout)) << child->output();
        ASSERT_TRUE(serversListen());
        ASSERT_TRUE(fs::exists(heartbeatSocket));

        child->sendSignal(signal);
        EXPECT_EQ(child->waitForExit(kExitTimeout), 0) << child->output();
        EXPECT_NE(
            child->output().find(std::string("Quitting because signal SIG") + sigabbrev_np(signal) + " was received."),
            std::string::npos)
            << child->output();
        EXPECT_FALSE(fs::exists(heartbeatSocket));
    }
}

TEST_F(ProcessLifeTest, WhatAKilledRunLeavesNeitherBlocksNorConfusesTheNext) {
    // A killed run leaves its heartbeat socket behind.
    {
        auto killed = run();
        ASSERT_TRUE(killed->waitForOutput(QuorbitalCore::kStartingRouting, kStartTimeout)) << killed->output();
        ASSERT_TRUE(serversListen());
        killed->sendSignal(SIGKILL);
        killed->waitForExit(kExitTimeout);
    }
    ASSERT_TRUE(fs::exists(heartbeatSocket));

    auto child = run();
    ASSERT_TRUE(child->waitForOutput(QuorbitalCore::kStartingRouting, kStartTimeout)) << child->output();
    EXPECT_EQ(quit(*child), 0) << child->output();
    EXPECT_EQ(child->output().find("Failed to install heartbeat server"), std::string::npos) << child->output();
}

TEST_F(ProcessLifeTest, AFloodOfRefusedPacketsIsSummarisedInTheLog) {
    auto child = run();
    ASSERT_TRUE(child->waitForOutput(QuorbitalCore::kStartingRouting, kStartTimeout)) << child->output();
    ASSERT_TRUE(serversListen());
    constexpr int kPackets = 300;
    for (int i = 0; i < kPackets; ++i) sendBadPacket(port);
    // The summary comes when its window ends, also when nothing more arrives.
    EXPECT_TRUE(child->waitForOutput("more in the last second, the last: OSC error", kExitTimeout)) << child->output();
    EXPECT_EQ(quit(*child), 0);

    std::istringstream lines(child->output());
    int whole = 0;
    long summarised = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("OSC error", 0) == 0) ++whole;
        if (line.rfind("… ", 0) == 0 && line.find("the last: OSC error") != std::string::npos) {
            std::string count = line.substr(std::string("… ").size());
            count = count.substr(0, count.find(' '));
            std::erase(count, ',');
            summarised += std::stol(count);
        }
    }
    EXPECT_GE(whole, 1) << "the first is written whole";
    EXPECT_LE(whole, 20) << child->output().substr(0, 4000);
    EXPECT_GE(whole + summarised, kPackets / 2) << child->output().substr(0, 4000);
    EXPECT_LE(whole + summarised, kPackets) << child->output().substr(0, 4000);
}

// What is found at the settings path: the program starts all the same, says what it did, and
// never loses or overwrites a file it could not read.
TEST_F(ProcessLifeTest, TheSettingsFileIsMovedAsideOnlyWhenItsBytesAreDamaged) {
    // Whether this system refuses a file to a program without the capabilities that override
    // permissions: run as root, the program then reads files as a user does.
    const std::string probe = dir.file("probe");
    std::ofstream(probe) << "x";
    fs::permissions(probe, fs::perms::none);
    e2e::ChildProcess cat("/bin/cat", {probe}, {}, {.withoutFileAccessOverride = true});
    const bool permissionsHold = cat.waitForExit(kExitTimeout) != 0;

    const auto startAndEnd = [&](const std::string& expected) {
        auto child = run({.withoutFileAccessOverride = true});
        const bool started = child->waitForOutput(QuorbitalCore::kStartingRouting, kStartTimeout);
        EXPECT_TRUE(started) << "a start blocked by what is at the settings path\n" << child->output();
        if (!started) return std::string();
        child->sendSignal(SIGTERM);
        EXPECT_EQ(child->waitForExit(kExitTimeout), 0) << child->output();
        EXPECT_NE(child->output().find(expected), std::string::npos) << child->output();
        return child->output();
    };
    const std::string damaged = "not a property list";

    {
        SCOPED_TRACE("a FIFO");
        ASSERT_EQ(mkfifo(settingsPath.c_str(), 0600), 0);
        startAndEnd(
            "are not in a regular file (a FIFO); the registered values are used, and the file is left as it is.");
        EXPECT_TRUE(fs::is_fifo(settingsPath));
        fs::remove(settingsPath);
    }
    {
        SCOPED_TRACE("damaged twice");
        for (const std::string suffix : {".damaged", ".damaged-2"}) {
            std::ofstream(settingsPath) << damaged + suffix;
            startAndEnd("; moved aside to " + settingsPath + suffix + ".");
            EXPECT_EQ(contents(settingsPath + suffix), damaged + suffix);
        }
        EXPECT_EQ(contents(settingsPath + ".damaged"), damaged + ".damaged") << "the first backup is kept";
        for (const char* suffix : {".damaged", ".damaged-2"}) fs::remove(settingsPath + suffix);
    }
    if (!permissionsHold) {
        GTEST_SKIP() << "an unreadable file and a read-only folder cannot be staged: this system lets the program "
                        "read and write every file whatever its permissions";
    }
    {
        SCOPED_TRACE("unreadable");
        std::ofstream(settingsPath) << "<plist><dict/></plist>";
        fs::permissions(settingsPath, fs::perms::none);
        const std::string output = startAndEnd("could not be opened (Permission denied)");
        EXPECT_EQ(output.find("moved aside"), std::string::npos) << output;
        std::error_code ignored;
        fs::permissions(settingsPath, fs::perms::owner_read | fs::perms::owner_write, ignored);
        EXPECT_EQ(contents(settingsPath), "<plist><dict/></plist>") << "the user's settings are where they were";
        EXPECT_FALSE(fs::exists(settingsPath + ".damaged"));
    }
    {
        SCOPED_TRACE("damaged in a read-only folder");
        std::ofstream(settingsPath) << damaged;
        fs::permissions(settingsFolder, fs::perms::owner_read | fs::perms::owner_exec);
        std::error_code ignored;
        const std::string output =
            startAndEnd("could not be moved aside to " + settingsPath + ".damaged (Permission denied)");
        EXPECT_EQ(output.find("; moved aside"), std::string::npos) << "no move is claimed that failed\n" << output;
        fs::permissions(settingsFolder, fs::perms::owner_all, ignored);
        EXPECT_EQ(contents(settingsPath), damaged);
    }
}
