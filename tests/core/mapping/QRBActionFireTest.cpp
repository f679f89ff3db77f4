// Firing one action: scaling from the input to the output range, the input cap, the output value's
// type, button-like detection, the logger, the activity levels and timer, and the output protocol
// that setting an output runs.

#include "core/support/FiringTestSupport.h"

#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBTrigger.h"
#include "core/monitor/QRBLivePlotController.h"
#include "foundation/NotificationCenter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace firing;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

class FireTest : public ::testing::Test {
protected:
    VirtualMainLoop loop;
    std::shared_ptr<TestHost> host = std::make_shared<TestHost>();
    QRBContextPtr context = QRBContext::create("/a", host);
    std::shared_ptr<QRBConcreteAction> action = context->createAction<QRBConcreteAction>(std::nullopt);
    std::shared_ptr<RecordingEventSource> output = std::make_shared<RecordingEventSource>();

    void setRanges(double inMin, double inMax, double outMin, double outMax) {
        action->setInputMin(inMin);
        action->setInputMax(inMax);
        action->setOutputMin(outMin);
        action->setOutputMax(outMax);
    }
    void fire(const Arg& arg) { action->fire(value(arg).get()); }
};

struct ScalingCase {
    const char* name;
    double inMin, inMax, outMin, outMax;
    bool cap;
    bool withOutput;
    Arg input;
    bool reachesOutput;
    int32_t outType;
    double outValue;  // NaN: the output value must be NaN
};

}  // namespace

TEST_F(FireTest, ScalingCapAndTypeTable) {
    const ScalingCase cases[] = {
        {"identity keeps a float", 0, 1, 0, 1, false, true, Float(0.25), true, 'f', 0.25},
        {"inverted input range", 1, 0, 0, 127, false, true, Float(0.25), true, 'f', 95.25},
        {"inverted output range", 0, 1, 1, 0, false, true, Float(0.25), true, 'f', 0.75},
        {"integer through the identity stays integer", 0, 1, 0, 1, false, true, Int(5), true, 'i', 5},
        {"integer mapped becomes a float", 0, 1, 0, 127, false, true, Int(1), true, 'f', 127},
        {"integer without an output is shown unscaled", 0, 1, 0, 127, false, false, Int(3), false, 'i', 3},
        {"double stays double", 0, 1, 0, 127, false, true, Double(1e300), true, 'd', 1e300 * 127},
        {"int64 through the identity is exact", 0, 1, 0, 1, false, true, Int64(int64_t(1) << 60), true, 'h',
         std::ldexp(1.0, 60)},
        {"true through the identity stays true", 0, 1, 0, 1, false, true, True(), true, 'T', 1},
        {"true mapped becomes a float", 0, 1, 0, 127, false, true, True(), true, 'f', 127},
        {"a string passes as it is", 0, 1, 0, 127, false, true, String("hello"), true, 's', 0},
        {"cap ignores values above the range", 0, 1, 0, 127, true, true, Float(1.5), false, 'f', 0},
        {"cap ignores values below the range", 0, 1, 0, 127, true, true, Float(-0.5), false, 'f', 0},
        {"cap with an inverted range lets the inside through", 1, 0, 0, 127, true, true, Float(0.5), true, 'f', 63.5},
        {"cap ignores NaN", 0, 1, 0, 127, true, true, Double(kNaN), false, 'd', 0},
        {"NaN without a cap scales to NaN", 0, 1, 0, 127, false, true, Double(kNaN), true, 'd', kNaN},
        {"infinite input scales to infinity", 0, 1, 0, 127, false, true, Double(kInf), true, 'd', kInf},
        {"empty input range gives outputMin", 0.5, 0.5, 3, 7, false, true, Float(100), true, 'f', 3},
        {"empty input range and an infinite input", 0.5, 0.5, 3, 7, false, true, Double(kInf), true, 'd', 3},
        {"empty input range and NaN", 0.5, 0.5, 3, 7, false, true, Double(kNaN), true, 'd', 3},
        {"empty output range and an infinite input", 0, 1, 2, 2, false, true, Double(-kInf), true, 'd', 2},
        {"cap on an empty range lets that value through", 0.5, 0.5, 3, 7, true, true, Float(0.5), true, 'f', 3},
        {"cap on an empty range ignores the rest", 0.5, 0.5, 3, 7, true, true, Float(0.6), false, 'f', 0},
        {"NaN range bound", kNaN, 1, 0, 1, false, true, Float(0.5), true, 'f', kNaN},
        {"infinite input range", 0, kInf, 0, 1, false, true, Float(5), true, 'f', 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto host2 = std::make_shared<TestHost>();
        auto ctx = QRBContext::create("/t", host2);
        auto a = ctx->createAction<QRBConcreteAction>(std::nullopt);
        auto out = std::make_shared<RecordingEventSource>();
        if (c.withOutput) a->setEventSource(out);
        a->setInputMin(c.inMin);
        a->setInputMax(c.inMax);
        a->setOutputMin(c.outMin);
        a->setOutputMax(c.outMax);
        a->setInputCap(c.cap);

        a->fire(value(c.input).get());

        EXPECT_EQ(out->accepts().size(), c.reachesOutput ? 1u : 0u);
        const QRBArg& result = *a->argValue();
        EXPECT_EQ(char(result.libloType()), char(c.outType));
        if (result.hasNumericType()) {
            if (std::isnan(c.outValue))
                EXPECT_TRUE(std::isnan(result.doubleValue()));
            else
                EXPECT_DOUBLE_EQ(result.doubleValue(), c.outValue);
        } else {
            EXPECT_EQ(result.stringValue(), value(c.input)->stringValue());
        }
        // The value just sent is the reference of the next fire.
        EXPECT_TRUE(a->previousArgValue()->isEqualToArg(result));
        // An ignored input records no activity.
        EXPECT_EQ(a->nextActivity(), c.reachesOutput || !c.withOutput ? 1u + (c.reachesOutput ? 1u : 0u) : 0u);
    }
}

TEST_F(FireTest, IgnoredInputKeepsTheLastOutputInTheInputsType) {
    action->setEventSource(output);
    setRanges(0, 1, 0, 127);
    action->setInputCap(true);
    fire(Float(0.5));
    ASSERT_EQ(action->argValue()->libloType(), 'f');
    EXPECT_DOUBLE_EQ(action->argValue()->doubleValue(), 63.5);
    fire(Int(5));
    EXPECT_EQ(output->accepts().size(), 1u);
    EXPECT_EQ(action->previousArgValue()->libloType(), 'i');
    EXPECT_EQ(action->previousArgValue()->int32Value(), 64);  // a float read as an integer rounds half up
    EXPECT_TRUE(action->requireIntegralInputScalingsFormatting());
}

TEST_F(FireTest, ButtonLikeDetection) {
    for (double v : {0.0, 1.0, 1.0, 0.0}) fire(Float(v));
    EXPECT_TRUE(action->hasTriggerLikeInput());
    EXPECT_FALSE(action->inputRangeChecked());
    fire(Float(0.5));
    EXPECT_FALSE(action->hasTriggerLikeInput());
    fire(Float(1));
    EXPECT_FALSE(action->hasTriggerLikeInput());
    // A change of the input range asks again.
    action->setInputMax(2);
    EXPECT_TRUE(action->hasTriggerLikeInput());
    fire(Float(1));
    EXPECT_TRUE(action->hasTriggerLikeInput());
    // NaN concludes nothing.
    fire(Double(kNaN));
    EXPECT_TRUE(action->hasTriggerLikeInput());
}

TEST_F(FireTest, LoggerGetsChangedValuesInTheUsersUnits) {
    output->fudgeFactor = 127;
    action->setEventSource(output);
    fire(Float(0.1));
    auto plot = std::make_shared<QRBHeadlessLivePlotController>();
    plot->setAction(action);
    ASSERT_EQ(action->logger(), plot);
    EXPECT_DOUBLE_EQ(plot->maxOrdinate(), 127);
    ASSERT_EQ(plot->valueCount(), 1u);  // the present value, once
    plot->clearPlotting();

    fire(Float(0.5));
    fire(Float(0.5));  // unchanged: not logged
    fire(Float(0.25));
    action->setInputCap(true);
    fire(Float(3));  // ignored: not logged
    ASSERT_EQ(plot->valueCount(), 2u);
    EXPECT_DOUBLE_EQ(plot->valueAtIndex(0), 63.5);
    EXPECT_DOUBLE_EQ(plot->valueAtIndex(1), 31.75);

    // The factor applies to floating inputs only.
    fire(Int(1));
    EXPECT_DOUBLE_EQ(*plot->lastValue(), 1);
}

TEST_F(FireTest, ActivityLevelsFollowTheOutcome) {
    struct Case {
        const char* name;
        bool enabled;
        bool withOutput;
        QRBAcceptResult result;
        float level;
    };
    const Case cases[] = {
        {"no output", true, false, QRBAcceptResult::Nothing, QRBAction::kActivityIdle},
        {"output acted", true, true, QRBAcceptResult::Done, QRBAction::kActivityDone},
        {"nothing to do", true, true, QRBAcceptResult::Nothing, QRBAction::kActivityIdle},
        {"output failed", true, true, QRBAcceptResult::Failed, QRBAction::kActivityFailed},
        {"disabled", false, true, QRBAcceptResult::Done, QRBAction::kActivityIdle},
    };
    double v = 0.1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto out = std::make_shared<RecordingEventSource>();
        out->result = c.result;
        action->setEventSource(c.withOutput ? out : nullptr);
        action->setEnabled(c.enabled);
        fire(Float(v += 0.1));
        host->activityTimer.flash();
        EXPECT_FLOAT_EQ(action->currentActivity(), c.level);
        EXPECT_EQ(action->nextActivity(), 0u);
        EXPECT_EQ(out->accepts().size(), c.enabled && c.withOutput ? 1u : 0u);
        host->activityTimer.flash();  // dark again
        EXPECT_EQ(action->currentActivity(), 0);
    }
}

TEST_F(FireTest, ActivityTimerLightsForOneToTwoTicksAndAnnouncesEachChange) {
    action->setEventSource(output);
    int notices = 0;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        QRBActivityTimer::kActivityNotified, &host->activityTimer, [&](const foundation::Notification&) { ++notices; });
    host->activityTimer.start();

    // Binary fractions of a second keep the virtual times exact.
    loop.advance(0.0625);
    for (int k = 0; k < 50; ++k) fire(Float(0.01 * (k + 1)));  // many fires, one listing
    EXPECT_EQ(host->activityNotifications, 50);
    EXPECT_EQ(action->currentActivity(), 0);
    loop.advance(0.1875);  // first tick
    EXPECT_FLOAT_EQ(action->currentActivity(), QRBAction::kActivityDone);
    EXPECT_EQ(notices, 1);
    loop.advance(0.25);  // not lit again: dark
    EXPECT_EQ(action->currentActivity(), 0);
    EXPECT_EQ(notices, 2);
    loop.advance(0.25);  // nothing happened: no notice
    EXPECT_EQ(notices, 2);

    // An action lit at consecutive ticks stays lit.
    fire(Float(0.9));
    loop.advance(0.25);
    fire(Float(0.8));
    loop.advance(0.25);
    EXPECT_FLOAT_EQ(action->currentActivity(), QRBAction::kActivityDone);

    host->activityTimer.stop();
    EXPECT_EQ(action->currentActivity(), 0);
    EXPECT_FALSE(host->activityTimer.isRunning());
}

TEST_F(FireTest, AnUnchangedValueIsNotListed) {
    fire(Float(0.5));
    fire(Float(0.5));
    EXPECT_EQ(host->activityNotifications, 1);
}

TEST_F(FireTest, ActionThatGoesAwayLeavesTheActivityTimer) {
    fire(Float(0.5));
    context->removeActionsObject(action);
    action.reset();
    host->activityTimer.flash();
    host->activityTimer.flash();
    SUCCEED();
}

// ---- the output protocol -----------------------------------------------------------------------

TEST_F(FireTest, ChangingTheOutputHandsTheActionOver) {
    action->setUserInfoValue(foundation::Value(3), "_Voice");
    action->setUserInfoValue(foundation::Value(true), "QRBContextIsExpanded");
    action->setEventSource(output);
    auto firstTrigger = action->trigger();
    ASSERT_TRUE(firstTrigger);
    EXPECT_TRUE(action->userInfoValueForKey("_Voice").isNull());
    EXPECT_FALSE(action->userInfoValueForKey("QRBContextIsExpanded").isNull());

    auto other = std::make_shared<RecordingEventSource>(output->log);
    action->setEventSource(other);
    std::vector<std::string> calls;
    for (const auto& call : *output->log) calls.push_back(call.what);
    EXPECT_EQ(calls, (std::vector<std::string>{"attach", "reset", "detach", "attach"}));
    EXPECT_NE(action->trigger(), firstTrigger);
    EXPECT_EQ(action->type(), &RecordingEventSource::staticClass());
}

TEST_F(FireTest, ChannelFollowsTheOutputsChannelCount) {
    action->setEventSource(output);  // 16 channels
    action->setChannel(20);
    EXPECT_EQ(action->channel(), 16);
    action->setChannel(0);
    EXPECT_EQ(action->channel(), 1);
    output->log->clear();
    action->setChannel(5);
    ASSERT_FALSE(output->log->empty());
    EXPECT_EQ(output->log->back().what, "reset");  // a change of channel resets the output first

    auto channelFree = std::make_shared<ChannelFreeEventSource>();
    action->setEventSource(channelFree);
    EXPECT_EQ(action->channel(), 1);
    // It shows under the type of the output it shares its entry with.
    EXPECT_EQ(action->type(), &RecordingEventSource::staticClass());
}

TEST_F(FireTest, SharedOutputAsksEveryActionToAttachAgain) {
    auto second = context->createAction<QRBConcreteAction>(std::nullopt);
    action->setEventSource(output);
    second->setEventSource(output);
    auto attaches = [&](const QRBAction* a) {
        int n = 0;
        for (const auto& call : *output->log) n += call.what == "attach" && call.action == a;
        return n;
    };
    fire(Float(0.5));
    second->fire(value(Float(0.5)).get());
    EXPECT_EQ(attaches(action.get()), 1);
    EXPECT_EQ(attaches(second.get()), 1);

    output->setNeedsAttach();
    fire(Float(0.6));
    second->fire(value(Float(0.6)).get());
    fire(Float(0.7));
    EXPECT_EQ(attaches(action.get()), 2);
    EXPECT_EQ(attaches(second.get()), 2);
}

TEST_F(FireTest, ScheduledFireCancelsTheEarlierOneAndIsDroppedWithTheAction) {
    action->setEventSource(output);
    action->scheduleFire(value(Float(0.3)));
    loop.advance(0.05);
    action->scheduleFire(value(Float(0.4)));
    loop.advance(0.2);
    EXPECT_EQ(output->acceptedValues().size(), 1u);
    EXPECT_NEAR(output->acceptedValues()[0], 0.4, 1e-6);

    action->scheduleFire(value(Float(0.5)));
    context->removeActionsObject(action);
    action.reset();
    loop.advance(0.2);
    EXPECT_EQ(output->acceptedValues().size(), 1u);
}
