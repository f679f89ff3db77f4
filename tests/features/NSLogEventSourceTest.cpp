// Log outputs: the line of a context with several arguments, and the rate limit of half a second
// per action, in virtual time.

#include "core/support/FiringTestSupport.h"

#include "features/NSLogEventSource.h"
#include "foundation/Date.h"
#include "foundation/Log.h"

#include <gtest/gtest.h>

using firing::Float;
using foundation::Date;

class LogOutputsTest : public ::testing::Test {
protected:
    std::string pretty(float value) { return *QRBArg::argWithFloatValue(value)->prettyPrintToString(); }

    firing::VirtualMainLoop loop;
    std::shared_ptr<firing::TestHost> host = std::make_shared<firing::TestHost>();
    QRBMessageEndpointPtr input = std::make_shared<QRBMessageEndpoint>("OSC Input", 1);
};

TEST_F(LogOutputsTest, AContextWithTwoArgumentsLogsItsNameAndBothValues) {
    foundation::LogCapture capture;
    auto pad = QRBContext::create("/pad", host);
    // The first message makes the argument actions; the log takes the whole message after that.
    pad->receive(firing::message("/pad", {Float(0), Float(0)}), input, Date::now());
    pad->setEventSource(std::make_shared<NSLogEventSource>());
    pad->receive(firing::message("/pad", {Float(0.5), Float(0.25)}), input, Date::now());
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"/pad: " + pretty(0.5f) + " | " + pretty(0.25f)}));

    capture.clear();
    auto knob = QRBContext::create("/knob", host);
    knob->setEventSource(std::make_shared<NSLogEventSource>());
    knob->receive(firing::message("/knob", {Float(0.75)}), input, Date::now());
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"/knob: " + pretty(0.75f)}));
}

TEST_F(LogOutputsTest, TheRateLimitedLogWritesOneLinePerHalfSecondPerAction) {
    foundation::LogCapture capture;
    auto limited = std::make_shared<NSLogLimitEventSource>();
    auto knob = QRBContext::create("/knob", host);
    auto other = QRBContext::create("/other", host);
    knob->setEventSource(limited);
    other->setEventSource(limited);
    auto fireAt = [&](const QRBContextPtr& context, float value) {
        context->receive(firing::message(context->address(), {Float(value)}), input, Date::now());
    };

    fireAt(knob, 0.1f);
    loop.advance(0.1);
    fireAt(knob, 0.2f);
    fireAt(other, 0.9f);  // limited on its own
    loop.advance(0.1);
    fireAt(knob, 0.3f);
    EXPECT_EQ(capture.lines().size(), 2u);
    loop.advance(0.4);  // 0.6 s after the first line
    fireAt(knob, 0.4f);
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"/knob: " + pretty(0.1f), "/other: " + pretty(0.9f),
                                                         "/knob: " + pretty(0.4f)}));
    EXPECT_EQ(&NSLogLimitEventSource::staticClass().type(), &NSLogEventSource::staticClass());
}

// A string a sender puts in its message is shown, not obeyed: a newline cannot start a line of its
// own and an escape sequence cannot reach the terminal showing the log.
TEST_F(LogOutputsTest, StringsFromTheSenderCannotForgeLinesOrDriveTheTerminal) {
    foundation::LogCapture capture;
    auto label = QRBContext::create("/label", host);
    label->receive(firing::message("/label", {firing::String("x")}), input, Date::now());
    label->setEventSource(std::make_shared<NSLogEventSource>());
    label->receive(
        firing::message("/label", {firing::String("ok\nQuitting because signal SIGINT was received.\x1b[2J")}), input,
        Date::now());
    ASSERT_EQ(capture.lines().size(), 1u);
    const std::string line = capture.lines()[0];
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(line.find('\x1b'), std::string::npos);
    EXPECT_NE(line.find("ok\\nQuitting because signal SIGINT was received.\\x1B[2J"), std::string::npos) << line;
}
