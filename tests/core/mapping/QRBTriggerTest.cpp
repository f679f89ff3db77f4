// Triggers: the mode test against rising, falling, repeated and crossing values, the press test,
// the forced state change of button-like input, and auto-repeat in virtual time.

#include "core/support/FiringTestSupport.h"

#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBTrigger.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace firing;

namespace {

class TriggerTest : public ::testing::Test {
protected:
    VirtualMainLoop loop;
    std::shared_ptr<TestHost> host = std::make_shared<TestHost>();
    QRBContextPtr context = QRBContext::create("/a", host);
    std::shared_ptr<QRBConcreteAction> action = context->createAction<QRBConcreteAction>(std::nullopt);
    std::shared_ptr<RecordingEventSource> output = std::make_shared<RecordingEventSource>();

    // Gives the action the recording output, whose attach configures the trigger.
    void useOutput(unsigned mode, double threshold = 0, double interval = 0, bool force = false) {
        output->onAttach = [=](QRBAction& a) {
            a.trigger()->setMode(mode);
            a.trigger()->setRetriggerThreshold(threshold);
            a.trigger()->setRetriggerInterval(interval);
            a.trigger()->setForceStateChangeIfActionHasTriggerLikeInput(force);
        };
        action->setEventSource(output);
    }
    void fire(double v) { action->fire(value(Float(v)).get()); }
    // Accepted (time since t0, value) pairs.
    std::vector<std::pair<double, double>> timeline(double t0) const {
        std::vector<std::pair<double, double>> result;
        for (const auto& call : output->accepts()) result.emplace_back(call.time - t0, call.value);
        return result;
    }
    static void expectTimeline(const std::vector<std::pair<double, double>>& actual,
                               const std::vector<std::pair<double, double>>& expected) {
        ASSERT_EQ(actual.size(), expected.size());
        for (size_t k = 0; k < actual.size(); ++k) {
            EXPECT_NEAR(actual[k].first, expected[k].first, 0.0015) << "event " << k;
            EXPECT_NEAR(actual[k].second, expected[k].second, 1e-6) << "event " << k;
        }
    }
};

}  // namespace

// Each mode against pairs of previous → current output values, with the threshold 0.5 of the
// input range 0 to 1. 'x' marks a pair that passes.
TEST_F(TriggerTest, ModeTable) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Pair {
        const char* name;
        double previous, current;
    };
    const Pair pairs[] = {
        {"rising 0 to 1", 0, 1},
        {"falling 1 to 0", 1, 0},
        {"repeated 1", 1, 1},
        {"repeated 0", 0, 0},
        {"crossing up", 0.4, 0.6},
        {"crossing down", 0.6, 0.4},
        {"rising below", 0.1, 0.3},
        {"to zero from below", 0.3, 0},
        {"negative counts by size", 0, -1},
        {"NaN", 0, nan},
    };
    struct Row {
        unsigned mode;
        const char* passes;  // one column per pair
    };
    const Row rows[] = {
        {0, "xxxxxxxxxx"}, {1, "x...x...x."}, {2, ".x...x...."},   {3, "xx..xx..x."},
        {4, "x.......x."}, {5, ".x.....x.."}, {6, "xx.....xxx"},   {7, "x...x.x.x."},
        {8, ".x...x.x.."}, {9, "xx..xxxxx."}, {100, ".........."}, {55, ".........."},
    };
    for (const auto& row : rows) {
        for (size_t k = 0; k < std::size(pairs); ++k) {
            action->setInputArgValue(*value(Float(0)));
            action->setPreviousArgValue(*value(Double(pairs[k].previous)));
            action->setArgValue(*value(Double(pairs[k].current)));
            EXPECT_EQ(shouldTriggerForMode(row.mode, *action), row.passes[k] == 'x')
                << "mode " << row.mode << ", " << pairs[k].name;
        }
    }
}

TEST_F(TriggerTest, InvertedInputRangeInvertsTheCrossings) {
    action->setInputMin(1);
    action->setInputMax(0);
    EXPECT_DOUBLE_EQ(triggerThreshold(*action), -0.5);
    action->setInputArgValue(*value(Float(0)));
    action->setPreviousArgValue(*value(Float(1)));
    action->setArgValue(*value(Float(0)));
    EXPECT_TRUE(shouldTriggerForMode(QRBTrigger::kUp, *action));
    EXPECT_FALSE(shouldTriggerForMode(QRBTrigger::kDown, *action));
    action->setPreviousArgValue(*value(Float(0)));
    action->setArgValue(*value(Float(1)));
    EXPECT_TRUE(shouldTriggerForMode(QRBTrigger::kDown, *action));
}

TEST_F(TriggerTest, ThresholdIsHalfTheWidthNotTheMidpoint) {
    action->setInputMin(0.2);
    action->setInputMax(0.8);
    EXPECT_NEAR(triggerThreshold(*action), 0.3, 1e-12);
}

TEST_F(TriggerTest, NonNumericValuesPassEveryModeButNever) {
    action->setInputArgValue(*value(String("on")));
    action->setArgValue(*value(String("on")));
    for (unsigned mode : {0u, 1u, 2u, 5u, 9u, 55u}) EXPECT_TRUE(shouldTriggerForMode(mode, *action)) << mode;
    EXPECT_FALSE(shouldTriggerForMode(QRBTrigger::kNever, *action));
    EXPECT_TRUE(QRBTrigger::isArgValueAboveThreshold(*action));
}

TEST_F(TriggerTest, ContextWithActionsIsJudgedByItsFirstActionAgainstItsOwnRange) {
    action->setInputArgValue(*value(Float(0)));
    action->setPreviousArgValue(*value(Float(0)));
    action->setArgValue(*value(Float(1)));
    context->setInputMax(4);  // threshold 2
    EXPECT_FALSE(shouldTriggerForMode(QRBTrigger::kUp, *context));
    context->setInputMax(1);
    EXPECT_TRUE(shouldTriggerForMode(QRBTrigger::kUp, *context));
}

// The same decisions through firing: the previous value is the output of the previous fire.
TEST_F(TriggerTest, ModesThroughFiring) {
    struct Case {
        unsigned mode;
        double outMax;
        std::vector<double> inputs;
        std::vector<double> sent;
    };
    const Case cases[] = {
        {QRBTrigger::kUp, 1, {0, 1, 1, 0, 1}, {1, 1}},
        {QRBTrigger::kEither, 1, {0, 1, 1, 0, 1}, {1, 0, 1}},
        {QRBTrigger::kChanged, 1, {0.5, 0.5, 0.5 + 0x1p-52}, {0.5, 0.5 + 0x1p-52}},
        {QRBTrigger::kZeroToPositive, 1, {0, 0.3, 0, 0.1, 0.3}, {0.3, 0.1}},
        {QRBTrigger::kZeroStateChange, 1, {0, 0.3, 0, 0.3, 0.5}, {0.3, 0, 0.3}},
        // The threshold stays 0.5 whatever the output range: 1.27 is already pressed.
        {QRBTrigger::kUp, 127, {0, 0.01, 0.5}, {1.27}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode);
        output = std::make_shared<RecordingEventSource>();
        action->setEventSource(nullptr);
        action->setOutputMax(c.outMax);
        action->setPreviousArgValue(QRBArg());
        useOutput(c.mode);
        for (double v : c.inputs) action->fire(value(Double(v)).get());
        auto sent = output->acceptedValues();
        ASSERT_EQ(sent.size(), c.sent.size());
        for (size_t k = 0; k < sent.size(); ++k) EXPECT_NEAR(sent[k], c.sent[k], 1e-9);
    }
}

TEST_F(TriggerTest, ForcedStateChangeLetsButtonLikeInputThrough) {
    useOutput(QRBTrigger::kUp, 0, 0, /*force=*/true);
    for (double v : {1.0, 0.0, 0.0, 1.0}) fire(v);
    EXPECT_EQ(output->acceptedValues(), (std::vector<double>{1, 0, 0, 1}));
    fire(0.5);  // no longer button-like: only crossings up
    fire(0.4);
    fire(1);
    EXPECT_EQ(output->acceptedValues(), (std::vector<double>{1, 0, 0, 1, 1}));
}

TEST_F(TriggerTest, RejectedFireReportsNothingToDo) {
    useOutput(QRBTrigger::kNever);
    fire(1);
    EXPECT_TRUE(output->accepts().empty());
    EXPECT_EQ(action->nextActivity(), 1u);
}

// ---- auto-repeat -------------------------------------------------------------------------------

TEST_F(TriggerTest, RepeatAfterADelayThenEveryIntervalUntilRelease) {
    useOutput(QRBTrigger::kEither, 0.5, 0.1);
    const double t0 = loop.now();
    fire(1);
    loop.advanceInSteps(0.83, 0.001);
    fire(0);
    loop.advanceInSteps(1.0, 0.001);
    expectTimeline(timeline(t0), {{0, 1}, {0.5, 1}, {0.6, 1}, {0.7, 1}, {0.8, 1}, {0.83, 0}});
    EXPECT_EQ(action->trigger()->retriggerTimer(), nullptr);
}

TEST_F(TriggerTest, WithoutADelayTheFirstRepeatComesAfterOneInterval) {
    useOutput(QRBTrigger::kAlways, 0, 0.2);
    const double t0 = loop.now();
    fire(1);
    loop.advanceInSteps(0.45, 0.001);
    expectTimeline(timeline(t0), {{0, 1}, {0.2, 1}, {0.4, 1}});
}

TEST_F(TriggerTest, SingleRepeatStaysSpentUntilARelease) {
    useOutput(QRBTrigger::kAlways, 0.3, 0);
    const double t0 = loop.now();
    fire(1);
    loop.advanceInSteps(0.5, 0.001);
    fire(1);  // pressed again while the spent repeat is still held: no new repeat
    loop.advanceInSteps(0.5, 0.001);
    fire(0);  // the release ends it
    fire(1);
    loop.advanceInSteps(0.5, 0.001);
    expectTimeline(timeline(t0), {{0, 1}, {0.3, 1}, {0.5, 1}, {1.0, 0}, {1.0, 1}, {1.3, 1}});
}

TEST_F(TriggerTest, RepeatsKeepGoingWhileEventsAreTrackedAndSendTheCurrentValue) {
    useOutput(QRBTrigger::kChanged, 0.25, 0.25);
    const double t0 = loop.now();
    fire(0.8);
    loop.advance(0.25, foundation::RunLoopMode::EventTracking);
    fire(0.9);  // sent at once; the running repeat goes on with the new value
    loop.advance(0.25, foundation::RunLoopMode::EventTracking);
    expectTimeline(timeline(t0), {{0, 0.8}, {0.25, 0.8}, {0.25, 0.9}, {0.5, 0.9}});
}

TEST_F(TriggerTest, RepeatNeitherScalesNorRecordsActivityAndSurvivesFailures) {
    useOutput(QRBTrigger::kAlways, 0.25, 0.25);
    fire(1);
    EXPECT_EQ(action->nextActivity(), 2u);
    output->result = QRBAcceptResult::Failed;
    loop.advanceInSteps(1.0, 0.125);
    EXPECT_EQ(output->accepts().size(), 5u);
    EXPECT_EQ(action->nextActivity(), 2u);
}

TEST_F(TriggerTest, NewOutputOrGoneActionEndsTheRepeat) {
    useOutput(QRBTrigger::kAlways, 0.25, 0.25);
    fire(1);
    action->setEventSource(std::make_shared<RecordingEventSource>());
    loop.advanceInSteps(1.0, 0.125);
    EXPECT_EQ(output->accepts().size(), 1u);

    output = std::make_shared<RecordingEventSource>();
    useOutput(QRBTrigger::kAlways, 0.25, 0.25);
    fire(1);
    context->removeActionsObject(action);
    action.reset();
    loop.advanceInSteps(1.0, 0.125);
    EXPECT_EQ(output->accepts().size(), 1u);
}

TEST_F(TriggerTest, ResetStopsTheRepeat) {
    useOutput(QRBTrigger::kAlways, 0.25, 0.25);
    fire(1);
    output->reset(*action);
    loop.advanceInSteps(1.0, 0.125);
    EXPECT_EQ(output->accepts().size(), 1u);
}
