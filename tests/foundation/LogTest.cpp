// Lines of one kind under a flood: the first written whole, the rest counted into one summary
// per window, written before the next line of the kind, when the window ends on a run loop, or at
// exit; on a clock the test moves.

#include "foundation/Clock.h"
#include "foundation/Log.h"
#include "foundation/RunLoop.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace foundation;

namespace {

class LogKindTest : public ::testing::Test {
protected:
    void SetUp() override { setLogClock(clock); }
    void TearDown() override {
        setLogSummaryWaker({});
        setLogClock(nullptr);
    }
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(100.0);
    LogCapture log;
};

void refuse(int number, int packet) {
    const LogKind kind("refused packet", number);
    logf("OSC error %d in %s: packet %d", number, "(null)", packet);
    logf("Warning: read error or timeout: %d", -1);
}

}  // namespace

TEST_F(LogKindTest, AFloodGivesItsFirstLinesWholeAndThenOneSummaryPerWindow) {
    for (int packet = 1; packet <= 1235; ++packet) refuse(9911, packet);
    // The two lines of one refusal are kinds of their own: each is written whole once.
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"OSC error 9911 in (null): packet 1", "Warning: read error or timeout: -1"}));

    clock->advance(1.0);
    refuse(9911, 1236);
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2], "… 1,234 more in the last second, the last: OSC error 9911 in (null): packet 1235");
    EXPECT_EQ(lines[3], "OSC error 9911 in (null): packet 1236") << "a new window starts with a whole line";
    EXPECT_EQ(lines[4], "… 1,234 more in the last second, the last: Warning: read error or timeout: -1");
}

TEST_F(LogKindTest, KindsAreCountedApartAndPlainLinesAreNeverHeldBack) {
    refuse(9911, 1);
    refuse(9911, 2);
    refuse(9904, 3);  // another failure: its first line is written whole
    foundation::log("Starting routing...");
    foundation::log("Starting routing...");
    logOfKind("dropped", "message 1");
    logOfKind("dropped", "message 2");
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"OSC error 9911 in (null): packet 1", "Warning: read error or timeout: -1",
                                        "OSC error 9904 in (null): packet 3", "Warning: read error or timeout: -1",
                                        "Starting routing...", "Starting routing...", "message 1"}));
}

TEST_F(LogKindTest, TheSummaryIsWrittenWhenTheFloodStops) {
    logOfKind("dropped", "message 1");
    logOfKind("dropped", "message 2");
    logOfKind("dropped", "message 3");
    flushLogSummaries();
    EXPECT_EQ(log.lines().size(), 1u) << "the window is still open";

    clock->advance(1.0);
    flushLogSummaries();
    EXPECT_EQ(log.lines().back(), "… 2 more in the last second, the last: message 3");
    flushLogSummaries();
    EXPECT_EQ(log.lines().size(), 2u) << "a summary is written once";
    logOfKind("dropped", "message 4");
    EXPECT_EQ(log.lines().back(), "message 4") << "the next line of the kind is whole again";

    // At exit every count is written, also of a window still open.
    logOfKind("dropped", "message 5");
    flushLogSummaries(true);
    EXPECT_EQ(log.lines().back(), "… 1 more in the last second, the last: message 5");
    flushLogSummaries(true);
    EXPECT_EQ(log.lines().size(), 4u);
}

TEST_F(LogKindTest, ARunLoopWritesTheSummaryAsTheWindowEnds) {
    auto loop = RunLoop::create(clock);
    flushLogSummariesOn(*loop);
    // Lines logged on another thread, as a listener thread logs.
    std::thread([] {
        for (int i = 1; i <= 10; ++i) logOfKind("dropped", "message " + std::to_string(i));
    }).join();
    loop->runMode(RunLoopMode::Default, 0);
    EXPECT_EQ(log.lines().size(), 1u);
    clock->advance(1.01);
    loop->runMode(RunLoopMode::Default, 0);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"message 1", "… 9 more in the last second, the last: message 10"}));
}

// What a peer sends may stand in a log line only as quoted, escaped text: no forged line, no
// terminal control, no invalid UTF-8 passed on, and printable text (UTF-8 included) kept as it is.
TEST(LogQuotedTest, EscapesWhatCouldForgeALineOrDriveATerminal) {
    struct Case {
        std::string text;
        std::string quoted;
    };
    const std::vector<Case> cases = {
        {"/fader/1", "\"/fader/1\""},
        {"", "\"\""},
        {"/a\nQuitting because signal SIGINT was received.", "\"/a\\nQuitting because signal SIGINT was received.\""},
        {"\r\t", "\"\\r\\t\""},
        {"say \"hi\" \\ there", "\"say \\\"hi\\\" \\\\ there\""},
        {"\x1b[2J\x07\x7f", "\"\\x1B[2J\\x07\\x7F\""},
        {std::string("a\0b", 3), "\"a\\x00b\""},
        {"Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x8E\xB9", "\"Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x8E\xB9\""},
        // C1 controls are valid UTF-8 but act as escape sequences on terminals.
        {"\xC2\x9B"
         "2J",
         "\"\\u009B2J\""},
        // Not UTF-8: a stray continuation byte, a cut sequence, an overlong form, a surrogate,
        // a code point above U+10FFFF.
        {"\x80x", "\"\\x80x\""},
        {"\xE2\x82", "\"\\xE2\\x82\""},
        {"\xC0\xAF", "\"\\xC0\\xAF\""},
        {"\xED\xA0\x80", "\"\\xED\\xA0\\x80\""},
        {"\xF4\x90\x80\x80", "\"\\xF4\\x90\\x80\\x80\""},
    };
    for (const auto& c : cases) EXPECT_EQ(logQuoted(c.text), c.quoted) << c.quoted;
}

TEST(LogQuotedTest, CutsLongTextAndSaysHowLongItWas) {
    const std::string text(60000, 'f');
    const std::string quoted = logQuoted(text);
    EXPECT_EQ(quoted, "\"" + std::string(kLogQuotedLimit, 'f') + "\"… (60000 bytes)");
    EXPECT_EQ(logQuoted(std::string(kLogQuotedLimit, 'f')), "\"" + std::string(kLogQuotedLimit, 'f') + "\"");
}

TEST(LogQuotedTest, EscapedTextKeepsQuotesAndLengthAndEscapesOnlyWhatCouldForgeALine) {
    EXPECT_EQ(logEscaped("say \"hi\" \\ there"), "say \"hi\" \\ there");
    EXPECT_EQ(logEscaped("a\nb\x1b[2J\xC2\x9B\x80"), "a\\nb\\x1B[2J\\u009B\\x80");
    EXPECT_EQ(logEscaped(std::string(1000, 'f')), std::string(1000, 'f'));
}
