// A TCP target that stops reading refuses every message routed to it once its hold is full, and
// one whose port nothing listens on refuses every connection: the log gets the first failure
// whole and the others as one count per second, not a line each.

#include "core/support/ManagerTestSupport.h"

#include "core/osc/QRBArg.h"
#include "core/osc/QRBOSCMessage.h"
#include "core/osc/QRBTCPConnection.h"
#include "core/osc/QRBTarget.h"
#include "foundation/Clock.h"
#include "foundation/Log.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

class SendFailureLog : public managertest::ManagerFixture {
protected:
    void SetUp() override {
        ManagerFixture::SetUp();
        foundation::setLogClock(clock);
    }
    void TearDown() override {
        foundation::setLogClock(nullptr);
        ManagerFixture::TearDown();
    }
    size_t logged(const std::string& fragment) const {
        size_t count = 0;
        for (const auto& line : log.lines()) count += line.find(fragment) != std::string::npos;
        return count;
    }

    std::shared_ptr<foundation::ManualClock> clock = std::make_shared<foundation::ManualClock>();
    foundation::LogCapture log;
};

}  // namespace

TEST_F(SendFailureLog, MessagesDroppedForAStalledTCPTargetAreCountedNotLoggedOneByOne) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address = testsupport::loopbackAddress(0);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    ASSERT_TRUE(manager->start());
    const QRBTargetPtr target = manager->oscTargets()[0];
    target->setTargetSpec("osc.tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)));

    // The peer takes the connection and reads nothing: the hold fills, then every message is
    // refused.
    const std::string blob(16384, 'x');
    auto message = QRBOSCMessage::OSCMessageWithPath("/blob", {QRBArg::argWithStringValue(blob)});
    int peer = -1;
    long refused = 0;
    for (int i = 0; i < 2000 && refused < 500; ++i) {
        if (manager->sendOSCMessage(message, target) != 1) ++refused;
        if (peer < 0) peer = accept(listener, nullptr, nullptr);
        if (i % 50 == 0) settle(0.01);
    }
    ASSERT_EQ(refused, 500);
    const std::string refusal = "(the target takes nothing";
    EXPECT_EQ(logged(refusal), 1u) << "only the first refusal is written whole";

    clock->advance(foundation::kLogSummaryWindow);
    foundation::flushLogSummaries();
    EXPECT_EQ(logged("… 499 more in the last second, the last: Error 11 during OSC routing"), 1u)
        << testing::PrintToString(log.lines());
    manager->sendOSCMessage(message, target);
    EXPECT_EQ(logged(refusal), 3u) << "a new window begins with a whole line";
    close(peer);
    close(listener);
}

TEST_F(SendFailureLog, SendsToATargetThatRefusesTheConnectionAreCountedNotLoggedOneByOne) {
    // A port that was free a moment ago: nothing listens there, so every send is refused.
    const long port = testsupport::freePort();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(manager->start());
    const QRBTargetPtr target = manager->oscTargets()[0];
    target->setTargetSpec("osc.tcp://127.0.0.1:" + std::to_string(port));
    auto message = QRBOSCMessage::OSCMessageWithPath("/x", {QRBArg::argWithInt32Value(1)});
    for (int i = 0; i < 200; ++i) EXPECT_EQ(manager->sendOSCMessage(message, target), -1);
    const std::string refusal = "Error 111 during OSC routing: Connection refused";
    EXPECT_EQ(logged(refusal), 1u) << testing::PrintToString(log.lines());

    clock->advance(foundation::kLogSummaryWindow);
    foundation::flushLogSummaries();
    EXPECT_EQ(logged("more in the last second, the last: " + refusal), 1u) << testing::PrintToString(log.lines());
    EXPECT_LE(log.lines().size(), 2u) << testing::PrintToString(log.lines());
}
