// Routing while one target fails, in one process: a real manager on the loopback, real sockets and
// the real main loop. A working UDP target gets every message in order while the other target's
// host name does not resolve (or its lookup hangs), its TCP peer refuses, does not answer the
// connection, closes and listens again, or stops reading. The failures are logged, the failing
// target recovers when its host comes back, and the longest time the main loop was held is
// measured with a 1 ms timer and printed.

#include "core/support/ManagerTestSupport.h"

#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/osc/QRBArg.h"
#include "core/osc/QRBOSCMessage.h"
#include "core/osc/QRBTCPConnection.h"
#include "core/osc/QRBTarget.h"
#include "document/QRBRouteEventSource.h"
#include "foundation/Log.h"
#include "foundation/RunLoop.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

using firing::Float;
using managertest::ManagerFixture;

namespace {

using Clock = std::chrono::steady_clock;

// The longest the main loop may be held while a target fails: the first send to a new host name
// waits up to QRBTarget::kHostLookupWait, the first to a new TCP connection up to
// QRBTCPConnection::kConnectWait; the rest is room for a sanitizer build on a busy machine.
constexpr double kStallBound = 1.0;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A socket bound to the loopback (port 0: an ephemeral one); -1 when the port can't be had.
int boundSocket(int type, int& port) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address = testsupport::loopbackAddress(port);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

// The float that ends an OSC message, times 1000 and rounded (the round number it carries).
long roundOf(const uint8_t* end) { return std::lround(testsupport::floatBefore(end) * 1000); }

// The rounds carried by the length-framed messages that arrived on a TCP connection.
class FrameReader {
public:
    explicit FrameReader(int fd) : fd_(fd) {}
    void read() {
        uint8_t chunk[65536];
        ssize_t size;
        while ((size = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
            bytes_.insert(bytes_.end(), chunk, chunk + size);
        while (bytes_.size() >= 4) {
            uint32_t length;
            std::memcpy(&length, bytes_.data(), 4);
            length = ntohl(length);
            if (bytes_.size() < 4 + length) break;
            rounds.push_back(roundOf(bytes_.data() + 4 + length));
            bytes_.erase(bytes_.begin(), bytes_.begin() + 4 + length);
        }
    }
    std::vector<long> rounds;

private:
    int fd_;
    std::vector<uint8_t> bytes_;
};

// Records the longest gap between the firings of a 1 ms timer while the main loop runs.
class StallMeter {
public:
    StallMeter() {
        timer_ = foundation::RunLoop::main().scheduleTimer(0.001, true, foundation::RunLoopMode::Common,
                                                           [this](foundation::Timer&) { tick(); });
    }
    ~StallMeter() { timer_->invalidate(); }
    // Before the loop runs again: time spent outside it is the test's, not a stall.
    void resume() { last_ = Clock::now(); }
    void tick() {
        const auto now = Clock::now();
        longest = std::max(longest, seconds(now - last_));
        last_ = now;
    }
    double longest = 0;

private:
    std::shared_ptr<foundation::Timer> timer_;
    Clock::time_point last_ = Clock::now();
};

// A resolver that answers, call after call, as scripted: after a delay, an address or none. The
// last step repeats. Lookup threads that outlive a test keep the script alive.
class ScriptedResolver {
public:
    struct Step {
        double delay;
        std::optional<std::string> answer;
    };
    explicit ScriptedResolver(std::vector<Step> steps) : state_(std::make_shared<State>()) {
        state_->steps = std::move(steps);
        QRBTarget::setHostResolver([state = state_](const std::string&, int, std::string* error) {
            Step step;
            {
                std::lock_guard lock(state->mutex);
                step = state->steps[std::min(state->calls++, state->steps.size() - 1)];
            }
            std::this_thread::sleep_for(std::chrono::duration<double>(step.delay));
            if (!step.answer) *error = "Name or service not known";
            return step.answer;
        });
    }
    ~ScriptedResolver() { QRBTarget::setHostResolver(nullptr); }

private:
    struct State {
        std::mutex mutex;
        std::vector<Step> steps;
        size_t calls = 0;
    };
    std::shared_ptr<State> state_;
};

// /good routes to a UDP target that works (slot 0), /bad to the target under test (slot 1).
class RoutingFaults : public ManagerFixture {
protected:
    void SetUp() override {
        ManagerFixture::SetUp();
        good_ = boundSocket(SOCK_DGRAM, goodPort_);
        ASSERT_GE(good_, 0);
        manager->oscTargets()[0]->setTargetSpec("127.0.0.1:" + std::to_string(goodPort_));
        for (const auto& [address, slot] : {std::pair{"/good", 0}, std::pair{"/bad", 1}}) {
            auto route = std::make_shared<QRBRouteEventSource>();
            route->setTargetIdentifier(slot);
            manager->insertObject(route, manager->countOfOscRoutes());
            auto context = QRBContext::create(address, manager);
            currentPreset()->addObject(context);
            context->setInputMin(0.0);
            context->setInputMax(1.0);
            context->setOutputMin(0.0);
            context->setOutputMax(1.0);
            context->setEventSource(route);
        }
        ASSERT_TRUE(manager->start());
        input_ = std::make_unique<managertest::Sender>(LO_UDP, port);
    }
    void TearDown() override {
        input_.reset();
        if (good_ >= 0) close(good_);
        ManagerFixture::TearDown();
        std::printf("longest main-loop stall: %.1f ms\n", meter_.longest * 1000);
        EXPECT_LT(meter_.longest, kStallBound);
    }

    void setFailingTarget(const std::string& spec) { manager->oscTargets()[1]->setTargetSpec(spec); }

    // One round: a message to the failing target, then one to the working target, which must
    // arrive next, carrying the round's number.
    void route(long round) {
        input_->send(managertest::packet("/bad", {Float(static_cast<double>(round) / 1000)}));
        input_->send(managertest::packet("/good", {Float(static_cast<double>(round) / 1000)}));
        long arrived = -1;
        meter_.resume();
        runUntil([&] { return arrivedOn(good_, arrived); });
        ASSERT_EQ(arrived, round) << "the working target's message of round " << round;
    }
    // Rounds every few milliseconds until `done` holds, at most `timeout` seconds; answers `done`.
    bool routeUntil(const std::function<bool()>& done, double timeout) {
        const auto start = Clock::now();
        while (!done()) {
            if (seconds(Clock::now() - start) > timeout) return false;
            route(++round_);
            if (::testing::Test::HasFatalFailure()) return false;
            meter_.resume();
            settle(0.005);
        }
        return true;
    }
    bool routeRounds(long count) {
        const long last = round_ + count;
        return routeUntil([&] { return round_ >= last; }, 60);
    }
    // Whether a datagram waits on `fd`; `round` is then the round it carries.
    static bool arrivedOn(int fd, long& round) {
        uint8_t buffer[512];
        const ssize_t size = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (size >= 4) round = roundOf(buffer + size);
        return size >= 4;
    }
    size_t logged(const std::string& fragment) const {
        size_t count = 0;
        for (const auto& line : log_.lines()) count += line.find(fragment) != std::string::npos;
        return count;
    }
    // Lines written whole and those counted in summaries (all of which are written first).
    size_t reported(const std::string& fragment) const {
        foundation::flushLogSummaries(true);
        return testsupport::reportedLines(log_.lines(), fragment);
    }

    foundation::LogCapture log_;
    StallMeter meter_;
    long round_ = 0;

private:
    int good_ = -1;
    int goodPort_ = 0;
    std::unique_ptr<managertest::Sender> input_;
};

// ---- Host names ---------------------------------------------------------------------------------

struct HostNameCase {
    const char* name;
    // How long the first lookup takes before it fails.
    double firstLookup;
};

class HostNameFaults : public RoutingFaults, public ::testing::WithParamInterface<HostNameCase> {};

TEST_P(HostNameFaults, RoutingGoesOnAndTheTargetRecoversWhenTheNameResolves) {
    // Names under .invalid never resolve anywhere; the scripted resolver stands for the system's,
    // so that no name server is asked.
    ScriptedResolver resolver({{GetParam().firstLookup, std::nullopt}, {0, "127.0.0.1"}});
    int latePort = 0;
    const int late = boundSocket(SOCK_DGRAM, latePort);
    ASSERT_GE(late, 0);
    setFailingTarget("quorbital-test.invalid:" + std::to_string(latePort));

    const std::string failure =
        "OSC target host quorbital-test.invalid could not be resolved: Name or service not known";
    ASSERT_TRUE(routeUntil([&] { return logged(failure) > 0; }, GetParam().firstLookup + 10)) << "no failure logged";
    // Then the name resolves, at the first send after the retry interval.
    long firstArrived = -1;
    EXPECT_TRUE(routeUntil([&] { return arrivedOn(late, firstArrived); }, QRBTarget::kHostLookupRetryInterval + 10))
        << "the target did not recover";
    EXPECT_EQ(logged(failure), 1u) << "the failure is logged once per lookup";
    std::printf("rounds: %ld, the failing target's first message in round %ld\n", round_, firstArrived);
    close(late);
}

INSTANTIATE_TEST_SUITE_P(Lookups, HostNameFaults,
                         ::testing::Values(HostNameCase{"FailsAtOnce", 0}, HostNameCase{"HangsThenFails", 2.0}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- UDP targets ------------------------------------------------------------------------------

TEST_F(RoutingFaults, AFailedUDPSendIsLoggedWithLiblosErrorNumberAndText) {
    auto tooLong = QRBOSCMessage::OSCMessageWithPath("/blob", {QRBArg::argWithStringValue(std::string(70000, 'x'))});
    EXPECT_EQ(manager->sendOSCMessage(tooLong, manager->oscTargets()[0]), -1);
    EXPECT_EQ(logged("Error 99 during OSC routing: Attempted to send message in excess of maximum message size"), 1u)
        << ::testing::PrintToString(log_.lines());
    ASSERT_TRUE(routeRounds(3));
}

TEST_F(RoutingFaults, AUDPTargetOnIPv6IsReached) {
    const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) close(fd);
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    setFailingTarget("[::1]:" + std::to_string(ntohs(address.sin6_port)));
    long arrived = -1;
    sockaddr_in6 from{};
    EXPECT_TRUE(routeUntil(
        [&] {
            uint8_t buffer[512];
            socklen_t fromLength = sizeof from;
            const ssize_t size =
                recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (size >= 4) arrived = roundOf(buffer + size);
            return size >= 4;
        },
        10));
    EXPECT_EQ(arrived, 1) << ::testing::PrintToString(log_.lines());
    // From the document's port, as over IPv4, so that replies come back to it.
    EXPECT_EQ(ntohs(from.sin6_port), port);
    EXPECT_EQ(logged("during OSC routing"), 0u) << ::testing::PrintToString(log_.lines());
    close(fd);
}

// ---- TCP targets ------------------------------------------------------------------------------

TEST_F(RoutingFaults, ATCPTargetThatRefusesIsReportedForEverySendInTheBoundedForm) {
    int refusingPort = 0;
    const int refusing = boundSocket(SOCK_STREAM, refusingPort);  // bound, never listening
    setFailingTarget("osc.tcp://127.0.0.1:" + std::to_string(refusingPort));
    // All within one window of the log: the first refusal is written whole, the others counted.
    auto logClock = std::make_shared<foundation::ManualClock>();
    foundation::setLogClock(logClock);
    ASSERT_TRUE(routeRounds(50));
    const std::string refusal = "Error 111 during OSC routing: Connection refused";
    EXPECT_EQ(logged(refusal), 1u) << ::testing::PrintToString(log_.lines());
    EXPECT_EQ(reported(refusal), 50u) << ::testing::PrintToString(log_.lines());
    foundation::setLogClock(nullptr);
    close(refusing);
}

TEST_F(RoutingFaults, ATCPTargetThatDoesNotAnswerTheConnectionTimesOut) {
    // A listener whose backlog is full drops further connection requests: the connect neither
    // completes nor is refused, as with a host that is switched off.
    int silentPort = 0;
    const int silent = boundSocket(SOCK_STREAM, silentPort);
    ASSERT_EQ(listen(silent, 0), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        const sockaddr_in to = testsupport::loopbackAddress(silentPort);
        connect(fillers.back(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    setFailingTarget("osc.tcp://127.0.0.1:" + std::to_string(silentPort));

    const auto start = Clock::now();
    ASSERT_TRUE(routeUntil([&] { return logged("Connection timed out") > 0; }, QRBTCPConnection::kConnectTimeout + 5));
    EXPECT_GE(seconds(Clock::now() - start), QRBTCPConnection::kConnectTimeout - 0.5);
    // What was held for the connection is reported with it.
    EXPECT_EQ(logged("not sent"), 1u) << ::testing::PrintToString(log_.lines());
    for (int fd : fillers) close(fd);
    close(silent);
}

// How the peer goes away: closing its connection in order, or resetting it (a program that ends
// with data unread).
class StopListeningFaults : public RoutingFaults, public ::testing::WithParamInterface<bool> {};

TEST_P(StopListeningFaults, ATCPTargetThatStopsListeningIsReportedAndReachedAgainWhenItListens) {
    int tcpPort = 0;
    int listener = boundSocket(SOCK_STREAM, tcpPort);
    ASSERT_EQ(listen(listener, 4), 0);
    setFailingTarget("osc.tcp://127.0.0.1:" + std::to_string(tcpPort));

    ASSERT_TRUE(routeRounds(10));
    int peer = accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    FrameReader first(peer);
    first.read();
    EXPECT_EQ(first.rounds, (std::vector<long>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

    // The peer goes: every send while it is away is reported (whole or counted).
    if (GetParam()) {
        const linger reset{1, 0};
        setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    close(peer);
    close(listener);
    ASSERT_TRUE(routeRounds(20));
    EXPECT_EQ(reported("during OSC routing: Connection refused"), 20u) << ::testing::PrintToString(log_.lines());

    // It listens again on the same port: the next send connects anew and nothing is lost.
    listener = boundSocket(SOCK_STREAM, tcpPort);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(listen(listener, 4), 0);
    const long back = round_ + 1;
    ASSERT_TRUE(routeRounds(10));
    peer = accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    FrameReader second(peer);
    second.read();
    std::vector<long> expected;
    for (long r = back; r <= round_; ++r) expected.push_back(r);
    EXPECT_EQ(second.rounds, expected);
    EXPECT_EQ(reported("during OSC routing"), 20u);
    close(peer);
    close(listener);
}

INSTANTIATE_TEST_SUITE_P(Ways, StopListeningFaults, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Reset" : "Closed"); });

TEST(QRBTCPConnectionTest, AConnectionToItselfIsTold) {
    int port = 0;
    const int self = boundSocket(SOCK_STREAM, port);
    const sockaddr_in to = testsupport::loopbackAddress(port);
    ASSERT_EQ(connect(self, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0) << std::strerror(errno);
    EXPECT_TRUE(QRBTCPConnection::isConnectedToItself(self));

    int listenerPort = 0;
    const int listener = boundSocket(SOCK_STREAM, listenerPort);
    ASSERT_EQ(listen(listener, 1), 0);
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in toListener = testsupport::loopbackAddress(listenerPort);
    ASSERT_EQ(connect(client, reinterpret_cast<const sockaddr*>(&toListener), sizeof toListener), 0);
    EXPECT_FALSE(QRBTCPConnection::isConnectedToItself(client));
    for (int fd : {self, listener, client}) close(fd);
}

TEST_F(RoutingFaults, ATCPTargetThatStopsReadingNeverHoldsTheLoop) {
    int tcpPort = 0;
    const int listener = boundSocket(SOCK_STREAM, tcpPort);
    // A small window, so that the kernel's buffers fill soon.
    const int small = 4096;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_EQ(listen(listener, 4), 0);
    setFailingTarget("osc.tcp://127.0.0.1:" + std::to_string(tcpPort));
    ASSERT_TRUE(routeRounds(1));
    const int peer = accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);

    // The peer reads nothing: messages are held up to the limit, then refused, and the working
    // target gets each of its own meanwhile. Long messages fill the buffers in fewer rounds.
    QRBTCPConnection* connection = manager->oscTargets()[1]->tcpConnection();
    ASSERT_NE(connection, nullptr);
    const std::string blob(16384, 'x');
    long accepted = 0;
    bool refused = false;
    for (int i = 0; i < 1000 && !refused; ++i) {
        auto message = QRBOSCMessage::OSCMessageWithPath(
            "/blob", {QRBArg::argWithStringValue(blob), QRBArg::argWithFloatValue(-(accepted + 1) / 1000.0f)});
        if (manager->sendOSCMessage(message, manager->oscTargets()[1]) == 1)
            ++accepted;
        else
            refused = true;
        if (i % 50 == 0) {
            ASSERT_TRUE(routeRounds(1));
        }
    }
    EXPECT_TRUE(refused);
    EXPECT_GT(connection->heldBytes(), QRBTCPConnection::kMaxHeldBytes / 2);
    EXPECT_GE(logged("Resource temporarily unavailable (the target takes nothing"), 1u);

    // It reads again: what was held arrives in order, then what is sent from then on.
    FrameReader reader(peer);
    const long before = round_;
    ASSERT_TRUE(routeUntil(
        [&] {
            reader.read();
            return connection->heldBytes() == 0 && !reader.rounds.empty() && reader.rounds.back() == round_ &&
                   round_ > before;
        },
        20));
    std::vector<long> blobs, rounds;
    for (long r : reader.rounds) (r < 0 ? blobs : rounds).push_back(r);
    std::vector<long> expectedBlobs;
    for (long b = 1; b <= accepted; ++b) expectedBlobs.push_back(-b);
    EXPECT_EQ(blobs, expectedBlobs);
    EXPECT_TRUE(std::is_sorted(rounds.begin(), rounds.end()));
    EXPECT_EQ(rounds.front(), 1);
    close(peer);
    close(listener);
}

}  // namespace
