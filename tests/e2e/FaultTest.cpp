// Targets that fail while a document routes: a TCP target that stops listening during the run, one
// that refuses connections from the start, and a host name that the system's resolver does not
// know. Routing to the working target goes on, in order and without long stalls, and the sends
// that fail are reported in the program's log.

#include "ChildProcess.h"

#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/osc/QRBTarget.h"
#include "document/QRBDocument.h"
#include "document/QRBManager.h"
#include "document/QRBRouteEventSource.h"
#include "document/QuorbitalCore.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The longest a message to the working target may take while the others fail. Generous for a
// sanitizer build on a busy machine; what was measured is printed.
constexpr double kStallBound = 1.0;
constexpr int kRounds = 300;

int boundSocket(int type, long& port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in address = testsupport::loopbackAddress(0);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

void sendFloat(int fd, long port, const char* path, float value) {
    char bytes[64] = {};
    const size_t pathLength = (std::strlen(path) / 4 + 1) * 4;
    std::memcpy(bytes, path, std::strlen(path));
    std::memcpy(bytes + pathLength, ",f", 2);
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    bits = htonl(bits);
    std::memcpy(bytes + pathLength + 4, &bits, 4);
    const sockaddr_in to = testsupport::loopbackAddress(port);
    sendto(fd, bytes, pathLength + 8, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// A document listening on `port` whose contexts route what they receive, unscaled, each to its
// own target slot: {address, target destination}.
void writeDocument(const std::string& path, long port, const std::vector<std::pair<std::string, std::string>>& routes) {
    QRBDocument document;
    document.makeWindowControllers();
    const QRBManagerPtr& manager = document.oscManager();
    manager->setServerPort(port);
    for (size_t slot = 0; slot < routes.size(); ++slot) {
        manager->oscTargets()[slot]->setTargetSpec(routes[slot].second);
        auto route = std::make_shared<QRBRouteEventSource>();
        route->setTargetIdentifier(static_cast<int64_t>(slot));
        manager->insertObject(route, slot);
        auto context = QRBContext::create(routes[slot].first, manager);
        manager->presetManager()->currentPreset()->addObject(context);
        context->setInputMin(0.0);
        context->setInputMax(1.0);
        context->setOutputMin(0.0);
        context->setOutputMax(1.0);
        context->setEventSource(route);
    }
    document.saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveTo);
    document.close();
}

// The number (times 1000) a message to the working target carries, or -1 after `timeout` seconds.
long receiveRound(int fd, double timeout) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout * 1000)) <= 0) return -1;
    char buffer[512];
    const ssize_t size = recv(fd, buffer, sizeof buffer, 0);
    if (size < 4) return -1;
    return std::lround(testsupport::floatBefore(buffer + size) * 1000);
}

// Sends /good until the program routes it (its servers may still be starting after the line),
// then drains what arrived; false when nothing came.
bool waitForRouting(int sender, long port, int good) {
    long first = -1;
    for (int attempt = 0; attempt < 40 && first < 0; ++attempt) {
        sendFloat(sender, port, "/good", 0);
        first = receiveRound(good, 0.25);
    }
    while (receiveRound(good, 0.3) >= 0) {}
    return first == 0;
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++count;
    return count;
}

TEST(FaultTest, RoutingGoesOnWhenOtherTargetsStopListeningOrRefuse) {
    testsupport::TempDir dir;
    long goodPort = 0, stoppingPort = 0, refusingPort = 0;
    const int good = boundSocket(SOCK_DGRAM, goodPort);
    int stopping = boundSocket(SOCK_STREAM, stoppingPort);
    ASSERT_EQ(listen(stopping, 4), 0);
    // Bound, never listening: connections to it are refused.
    const int refusing = boundSocket(SOCK_STREAM, refusingPort);
    const long port = testsupport::freePort();
    ASSERT_NE(port, 0);

    const std::string path = dir.file("faults.qrb3");
    writeDocument(path, port,
                  {{"/good", "127.0.0.1:" + std::to_string(goodPort)},
                   {"/stopping", "osc.tcp://127.0.0.1:" + std::to_string(stoppingPort)},
                   {"/refused", "osc.tcp://127.0.0.1:" + std::to_string(refusingPort)}});

    e2e::ChildProcess child(QUORBITAL_PROGRAM, {"-headless", path},
                            {{"XDG_CONFIG_HOME", dir.file("config")}, {"XDG_RUNTIME_DIR", dir.file("runtime")}});
    ASSERT_TRUE(child.waitForOutput(QuorbitalCore::kStartingRouting, 30)) << child.output();
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);

    ASSERT_TRUE(waitForRouting(sender, port, good)) << child.output();

    // The TCP target that stops listening takes its connection first.
    sendFloat(sender, port, "/stopping", 0.5f);
    pollfd waiting{stopping, POLLIN, 0};
    ASSERT_EQ(poll(&waiting, 1, 5000), 1) << child.output();
    int accepted = accept(stopping, nullptr, nullptr);

    double slowest = 0;
    for (int round = 1; round <= kRounds; ++round) {
        if (round == kRounds / 3) {
            close(accepted);
            close(stopping);
            accepted = stopping = -1;
        }
        sendFloat(sender, port, "/stopping", 0.5f);
        sendFloat(sender, port, "/refused", 0.5f);
        const auto sent = Clock::now();
        sendFloat(sender, port, "/good", static_cast<float>(round) / 1000.0f);
        const long number = receiveRound(good, 5.0);
        const double took = std::chrono::duration<double>(Clock::now() - sent).count();
        slowest = std::max(slowest, took);
        ASSERT_EQ(number, round) << "the working target's message of round " << round << " (-1: none within 5 s)\n"
                                 << child.output();
        child.collectOutput();
    }
    std::printf("slowest message to the working target: %.1f ms\n", slowest * 1000);
    EXPECT_LT(slowest, kStallBound);

    child.sendSignal(SIGINT);
    EXPECT_EQ(child.waitForExit(20), 0) << child.output();

    // Every send to the refusing target is reported, and every one to the target that stopped
    // listening once it had gone: written whole once a window, counted in between (the last
    // counts are written as the program ends).
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < child.output().size(); start = end + 1) {
        end = child.output().find('\n', start);
        if (end == std::string::npos) end = child.output().size();
        lines.push_back(child.output().substr(start, end - start));
    }
    const std::string refusal = "Error 111 during OSC routing: Connection refused";
    EXPECT_EQ(testsupport::reportedLines(lines, refusal), static_cast<size_t>(kRounds + (kRounds - kRounds / 3 + 1)))
        << child.output();
    EXPECT_LT(occurrences(child.output(), refusal), static_cast<size_t>(kRounds)) << "not a line for every send";
    close(sender);
    close(refusing);
    close(good);
    if (accepted >= 0) close(accepted);
    if (stopping >= 0) close(stopping);
}

// The system's resolver, asked for a name that does not exist. The program runs in a mount
// namespace of its own whose name service switch looks in the hosts file only, so that no name
// server is asked; names under ".invalid" are never anyone's.
TEST(FaultTest, AHostNameThatDoesNotResolveIsReportedWhileRoutingGoesOn) {
    const char* unshare = access("/usr/bin/unshare", X_OK) == 0 ? "/usr/bin/unshare" : nullptr;
    if (!unshare) GTEST_SKIP() << "needs unshare";
    std::vector<std::string> namespaceArguments = {"--mount"};
    if (geteuid() != 0) namespaceArguments.insert(namespaceArguments.begin(), {"--user", "--map-root-user"});
    std::string probe = unshare;
    for (const auto& argument : namespaceArguments) probe += " " + argument;
    if (std::system((probe + " /bin/true >/dev/null 2>&1").c_str()) != 0)
        GTEST_SKIP() << "making user and mount namespaces is not allowed here";

    testsupport::TempDir dir;
    long goodPort = 0, unusedPort = 0;
    const int good = boundSocket(SOCK_DGRAM, goodPort);
    const int unused = boundSocket(SOCK_DGRAM, unusedPort);
    const long port = testsupport::freePort();
    ASSERT_NE(port, 0);
    const std::string path = dir.file("unresolved.qrb3");
    writeDocument(path, port,
                  {{"/good", "127.0.0.1:" + std::to_string(goodPort)},
                   {"/unresolved", "quorbital-fault-test.invalid:" + std::to_string(unusedPort)}});
    const std::string nsswitch = dir.file("nsswitch.conf");
    std::ofstream(nsswitch) << "hosts: files\n";

    const std::string script = "set -e\nmount --bind " + nsswitch +
                               " /etc/nsswitch.conf\n"
                               // A name service cache would answer for the switch, from the name servers.
                               "if [ -d /run/nscd ]; then mount -t tmpfs tmpfs /run/nscd; fi\n"
                               "exec " QUORBITAL_PROGRAM " -headless " +
                               path + "\n";
    std::vector<std::string> arguments = namespaceArguments;
    arguments.insert(arguments.end(), {"/bin/sh", "-c", script});
    e2e::ChildProcess child(unshare, arguments,
                            {{"XDG_CONFIG_HOME", dir.file("config")}, {"XDG_RUNTIME_DIR", dir.file("runtime")}});
    ASSERT_TRUE(child.waitForOutput(QuorbitalCore::kStartingRouting, 30)) << child.output();
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_TRUE(waitForRouting(sender, port, good)) << child.output();

    double slowest = 0;
    for (int round = 1; round <= kRounds; ++round) {
        sendFloat(sender, port, "/unresolved", 0.5f);
        const auto sent = Clock::now();
        sendFloat(sender, port, "/good", static_cast<float>(round) / 1000.0f);
        const long number = receiveRound(good, 5.0);
        slowest = std::max(slowest, std::chrono::duration<double>(Clock::now() - sent).count());
        ASSERT_EQ(number, round) << "the working target's message of round " << round << " (-1: none within 5 s)\n"
                                 << child.output();
        child.collectOutput();
    }
    std::printf("slowest message to the working target: %.1f ms\n", slowest * 1000);
    EXPECT_LT(slowest, kStallBound);
    EXPECT_TRUE(child.waitForOutput(
        "OSC target host quorbital-fault-test.invalid could not be resolved: Name or service not known", 1))
        << child.output();
    pollfd nothing{unused, POLLIN, 0};
    EXPECT_EQ(poll(&nothing, 1, 0), 0) << "something was sent for the name that does not resolve";

    child.sendSignal(SIGINT);
    EXPECT_EQ(child.waitForExit(20), 0) << child.output();
    close(sender);
    close(unused);
    close(good);
}

}  // namespace
