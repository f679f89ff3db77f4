// Receiving messages: which actions a message creates and fires, in which order, the press and
// delayed release of messages without arguments, input lock, demultiplexing and snapshot replay.

#include "core/support/FiringTestSupport.h"

#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBTrigger.h"
#include "foundation/Exception.h"
#include "foundation/Log.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace firing;

namespace {

class ReceiveTest : public ::testing::Test {
protected:
    VirtualMainLoop loop;
    std::shared_ptr<RecordingConfigurator> configurator = std::make_shared<RecordingConfigurator>();
    ConfiguratorScope scope{configurator};
    std::shared_ptr<TestHost> host = std::make_shared<TestHost>();
    QRBMessageEndpointPtr input = std::make_shared<QRBMessageEndpoint>("OSC Input", 1);
    QRBContextPtr context = QRBContext::create("/a", host);

    void receive(const QRBOSCMessagePtr& m) { context->receive(m, input, foundation::Date::now()); }

    // The accepted fires of the shared log, as (action, value) in order.
    std::vector<std::pair<const QRBAction*, double>> fired() const {
        std::vector<std::pair<const QRBAction*, double>> result;
        for (const auto& call : *configurator->log)
            if (call.what == "accept") result.emplace_back(call.action, call.value);
        return result;
    }
    // The context's own output, on the same log.
    std::shared_ptr<RecordingEventSource> giveContextOutput() {
        auto source = std::make_shared<RecordingEventSource>(configurator->log);
        context->setEventSource(source);
        return source;
    }
};

}  // namespace

// ---- messages of 0, 1, 2 and 3 arguments -------------------------------------------------------

TEST_F(ReceiveTest, NewContextIsConfiguredOnce) {
    ASSERT_EQ(configurator->configured.size(), 1u);
    EXPECT_EQ(configurator->configured[0], context.get());
    EXPECT_TRUE(context->isTopLevel());
    EXPECT_EQ(context->context(), context);
    EXPECT_EQ(context->demuxRank(), -1);
}

TEST_F(ReceiveTest, OneArgumentFiresTheContextItself) {
    giveContextOutput();
    receive(message("/a", {Float(0.25f)}));
    EXPECT_TRUE(context->actions().empty());
    EXPECT_FALSE(context->isMultiArgument());
    ASSERT_EQ(fired().size(), 1u);
    EXPECT_EQ(fired()[0].first, context.get());
    EXPECT_DOUBLE_EQ(fired()[0].second, 0.25);
}

TEST_F(ReceiveTest, ThreeArgumentsCreateActionsInOrderFireEachThenTheContext) {
    receive(message("/a", {Float(0.1f), Float(0.2f), Float(0.3f)}));
    ASSERT_EQ(context->actions().size(), 3u);
    for (const auto& action : context->actions()) {
        EXPECT_NE(std::dynamic_pointer_cast<QRBConcreteAction>(action), nullptr);
        EXPECT_EQ(action->context(), context);
    }
    // The configurator saw the context, then each new action once.
    ASSERT_EQ(configurator->configured.size(), 4u);
    giveContextOutput();
    configurator->log->clear();

    receive(message("/a", {Float(0.1f), Float(0.2f), Float(0.3f)}));
    auto calls = fired();
    ASSERT_EQ(calls.size(), 4u);
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(calls[k].first, context->actions()[k].get());
        EXPECT_NEAR(calls[k].second, 0.1 * (k + 1), 1e-6);
    }
    EXPECT_EQ(calls[3].first, context.get());

    // Fewer arguments later: the first actions fire, then the context; none is dropped.
    configurator->log->clear();
    receive(message("/a", {Float(0.5f), Float(0.6f)}));
    calls = fired();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].first, context->actions()[0].get());
    EXPECT_EQ(calls[1].first, context->actions()[1].get());
    EXPECT_EQ(calls[2].first, context.get());
    EXPECT_EQ(context->actions().size(), 3u);
}

TEST_F(ReceiveTest, FirstArgumentActionTakesOverTheContextsOutput) {
    configurator->giveOutputs = false;
    auto source = giveContextOutput();
    receive(message("/a", {Float(0.1f), Float(0.2f)}));
    ASSERT_EQ(context->actions().size(), 2u);
    EXPECT_EQ(context->actions()[0]->eventSource(), source);
    EXPECT_EQ(context->actions()[0]->type(), &RecordingEventSource::staticClass());
    EXPECT_EQ(context->eventSource(), nullptr);
    EXPECT_EQ(context->type(), nullptr);
    EXPECT_EQ(context->actions()[1]->eventSource(), nullptr);
}

TEST_F(ReceiveTest, MessageWithoutArgumentsPressesAndReleasesATenthOfASecondLater) {
    giveContextOutput();
    const double t0 = loop.now();
    receive(message("/a"));
    EXPECT_TRUE(context->isShallowTriggeringEnabled());
    EXPECT_TRUE(context->hasTriggerLikeInput());
    loop.advance(0.05);
    receive(message("/a"));
    // The release of the first press is cancelled by the second.
    loop.advance(0.099);
    EXPECT_EQ(fired().size(), 2u);
    loop.advance(0.002);
    loop.advance(1.0);

    std::vector<std::pair<double, double>> timeline;  // (time since the first press, value)
    for (const auto& call : *configurator->log)
        if (call.what == "accept") timeline.emplace_back(call.time - t0, call.value);
    ASSERT_EQ(timeline.size(), 3u);
    EXPECT_DOUBLE_EQ(timeline[0].second, 1.0);
    EXPECT_NEAR(timeline[0].first, 0.0, 1e-9);
    EXPECT_DOUBLE_EQ(timeline[1].second, 1.0);
    EXPECT_NEAR(timeline[1].first, 0.05, 1e-9);
    EXPECT_DOUBLE_EQ(timeline[2].second, 0.0);
    EXPECT_NEAR(timeline[2].first, 0.15, 0.0015);
}

TEST_F(ReceiveTest, DelayedReleaseWaitsForTheDefaultMode) {
    giveContextOutput();
    receive(message("/a"));
    loop.advance(0.2, foundation::RunLoopMode::EventTracking);
    EXPECT_EQ(fired().size(), 1u);
    foundation::RunLoop::main().dispatchReady(foundation::RunLoopMode::Default);
    ASSERT_EQ(fired().size(), 2u);
    EXPECT_DOUBLE_EQ(fired()[1].second, 0.0);
}

TEST_F(ReceiveTest, PressOnAContextWithOneActionFiresThatActionToo) {
    context->createAction<QRBConcreteAction>(std::nullopt)
        ->setEventSource(std::make_shared<RecordingEventSource>(configurator->log));
    const QRBAction* only = context->actions()[0].get();
    receive(message("/a"));
    loop.advance(0.1);
    std::vector<std::pair<const QRBAction*, double>> expected = {{only, 1.0}, {only, 0.0}};
    EXPECT_EQ(fired(), expected);
}

TEST_F(ReceiveTest, EachSwitchOfShallowTriggeringRearmsButtonDetection) {
    receive(message("/a", {Float(0.5f)}));
    EXPECT_FALSE(context->hasTriggerLikeInput());
    receive(message("/a"));  // a press is button-like again
    EXPECT_TRUE(context->isShallowTriggeringEnabled());
    EXPECT_TRUE(context->hasTriggerLikeInput());
    receive(message("/a", {Float(1)}));
    EXPECT_FALSE(context->isShallowTriggeringEnabled());
    EXPECT_FALSE(context->inputRangeChecked());
    EXPECT_TRUE(context->hasTriggerLikeInput());
}

// ---- input lock --------------------------------------------------------------------------------

TEST_F(ReceiveTest, LockedInputCreatesNothingAndFiresOnlyExistingActions) {
    context->createAction<QRBConcreteAction>(std::nullopt)
        ->setEventSource(std::make_shared<RecordingEventSource>(configurator->log));
    giveContextOutput();  // the whole-message output would fire after the arguments
    host->locked = true;
    receive(message("/a", {Float(0.7f), Float(0.8f), Float(0.9f)}));
    EXPECT_EQ(context->actions().size(), 1u);
    auto calls = fired();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, context->actions()[0].get());
    EXPECT_NEAR(calls[0].second, 0.7, 1e-6);
    EXPECT_EQ(context->createAction<QRBConcreteAction>(std::nullopt), nullptr);
}

TEST_F(ReceiveTest, LockedInputDropsDemultiplexedPartsWithoutAChild) {
    context->demux(0);
    receive(message("/a", {String("known"), Float(1)}));
    host->locked = true;
    receive(message("/a", {String("other"), Float(1)}));
    receive(message("/a", {String("{\"x\": 1}")}));
    ASSERT_EQ(context->subContexts().size(), 1u);
    EXPECT_EQ(*context->subContexts()[0]->name(), "known");
    // An existing child still receives.
    receive(message("/a", {String("known"), Float(0.5f)}));
    EXPECT_NEAR(context->contextWithName("known")->inputArgValue()->doubleValue(), 0.5, 1e-6);
}

// ---- demultiplexing ----------------------------------------------------------------------------

TEST_F(ReceiveTest, JSONObjectGivesOneChildPerKey) {
    context->demux(0);
    receive(message("/a", {String(R"({"x": 1, "y": "on", "z": {"k": [1, 2]}, "n": null})"), Float(9)}));
    auto x = context->contextWithName("x");
    auto y = context->contextWithName("y");
    auto z = context->contextWithName("z");
    auto n = context->contextWithName("n");
    ASSERT_TRUE(x && y && z && n);
    EXPECT_EQ(x->context(), context);
    EXPECT_FALSE(x->isTopLevel());
    EXPECT_EQ(x->oscManager(), host);

    // Each child receives a one-argument message whose path is its key; the other arguments of
    // the message are not passed on.
    ASSERT_EQ(x->lastReceivedMessage()->path(), "x");
    ASSERT_EQ(x->lastReceivedMessage()->arguments().size(), 1u);
    EXPECT_EQ(x->inputArgValue()->libloType(), 'f');
    EXPECT_DOUBLE_EQ(x->inputArgValue()->doubleValue(), 1.0);
    EXPECT_EQ(y->inputArgValue()->stringValue(), "on");
    EXPECT_EQ(z->inputArgValue()->stringValue(), R"({"k":[1,2]})");
    EXPECT_EQ(n->inputArgValue()->libloType(), 'N');
    // Children are not configured as new top-level contexts are.
    EXPECT_EQ(configurator->configured.size(), 1u);
}

TEST_F(ReceiveTest, JSONArrayGivesChildrenNamedByIndex) {
    context->demux(0);
    receive(message("/a", {String("[0.5, 2, true]")}));
    auto children = context->subContexts();
    ASSERT_EQ(children.size(), 3u);
    EXPECT_EQ(*children[0]->name(), "0");
    EXPECT_EQ(*children[1]->name(), "1");
    EXPECT_EQ(*children[2]->name(), "2");
    EXPECT_DOUBLE_EQ(children[0]->inputArgValue()->doubleValue(), 0.5);
    EXPECT_EQ(children[0]->lastReceivedMessage()->path(), "0");
    EXPECT_DOUBLE_EQ(children[2]->inputArgValue()->doubleValue(), 1.0);
}

// A JSON text makes one child per entry: one message makes no more of them than the argument
// ceiling, and beyond it nothing at all.
TEST_F(ReceiveTest, JSONWithMoreEntriesThanTheCeilingMakesNoChildren) {
    context->demux(0);
    auto array = [](size_t count) {
        std::string text = "[";
        for (size_t i = 0; i < count; ++i) text += i ? ",1" : "1";
        return text + "]";
    };
    foundation::LogCapture log;
    receive(message("/a", {String(array(QRBContext::kMaxArgumentActionsPerMessage + 1))}));
    EXPECT_TRUE(context->subContexts().empty());
    EXPECT_TRUE(log.contains("with 1025 arguments: one message makes at most 1024"))
        << ::testing::PrintToString(log.lines());
    receive(message("/a", {String(array(QRBContext::kMaxArgumentActionsPerMessage))}));
    EXPECT_EQ(context->subContexts().size(), QRBContext::kMaxArgumentActionsPerMessage);
}

TEST_F(ReceiveTest, PlainStringNamesTheChildThatReceivesTheRest) {
    context->demux(0);
    receive(message("/a", {String("left"), Float(0.7f)}));
    auto left = context->contextWithName("left");
    ASSERT_TRUE(left);
    EXPECT_EQ(left->lastReceivedMessage()->path(), "left");
    ASSERT_EQ(left->lastReceivedMessage()->arguments().size(), 1u);
    EXPECT_NEAR(left->inputArgValue()->doubleValue(), 0.7, 1e-6);
}

// Strings that are not a JSON object or array are labels like any string, whatever they hold;
// nothing in them can crash the parser or the value conversion.
TEST_F(ReceiveTest, StringsThatAreNotAnObjectOrArrayAreLabels) {
    context->demux(0);
    const std::string deep(100000, '[');
    const std::string cases[] = {
        "{oops",                                // malformed
        "3",                                    // a JSON number
        "\"quoted\"",                           // a JSON string
        "[1e400]",                              // a number no double holds
        deep + "1" + std::string(100000, ']'),  // nesting far beyond any sensible depth
        "[\"\xff\"]",                           // not UTF-8
    };
    for (const auto& text : cases) receive(message("/a", {String(text)}));
    EXPECT_EQ(context->subContexts().size(), std::size(cases));
    for (const auto& text : cases) EXPECT_TRUE(context->contextWithName(text)) << text.substr(0, 20);
}

TEST_F(ReceiveTest, JSONNumbersBeyondFloatBecomeInfinities) {
    context->demux(0);
    receive(message("/a", {String("[1e39, -1e300, 18446744073709551615]")}));
    ASSERT_EQ(context->subContexts().size(), 3u);
    EXPECT_EQ(context->contextWithName("0")->inputArgValue()->doubleValue(), INFINITY);
    EXPECT_EQ(context->contextWithName("1")->inputArgValue()->doubleValue(), -INFINITY);
    EXPECT_NEAR(context->contextWithName("2")->inputArgValue()->doubleValue(), 1.8446744e19, 1e13);
}

TEST_F(ReceiveTest, DemultiplexingOnTheSecondArgument) {
    context->demux(1);
    giveContextOutput();
    receive(message("/a", {Int(3), Float(2.5f), Float(0.7f)}));
    ASSERT_EQ(context->actions().size(), 2u);
    EXPECT_NE(std::dynamic_pointer_cast<QRBConcreteAction>(context->actions()[0]), nullptr);
    auto child = context->contextWithName("2.5");
    ASSERT_TRUE(child);
    EXPECT_EQ(context->actions()[1], child);
    EXPECT_EQ(context->actions()[0]->inputArgValue()->int32Value(), 3);
    EXPECT_NEAR(child->inputArgValue()->doubleValue(), 0.7, 1e-6);
    // Then the context fires itself (the output moved to the first action, which fired first).
    auto calls = fired();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, context->actions()[0].get());
    EXPECT_EQ(context->nextActivity(), 1u);
}

TEST_F(ReceiveTest, ChildrenStayInNumericOrderWithNewWordsFirst) {
    context->demux(0);
    for (const char* label : {"10", "2", "1", "x", "2.5"}) receive(message("/a", {String(label)}));
    std::vector<std::string> names;
    for (const auto& child : context->subContexts()) names.push_back(*child->name());
    EXPECT_EQ(names, (std::vector<std::string>{"x", "1", "2", "2.5", "10"}));
}

TEST_F(ReceiveTest, NumericLabelsHaveNoTrailingZeros) {
    context->demux(0);
    receive(message("/a", {Int(3)}));
    receive(message("/a", {Float(0.25f)}));
    receive(message("/a", {Double(1.0 / 3.0)}));
    receive(message("/a", {True()}));
    EXPECT_TRUE(context->contextWithName("3"));
    EXPECT_TRUE(context->contextWithName("0.25"));
    EXPECT_TRUE(context->contextWithName("0.3333333333333333"));
    EXPECT_TRUE(context->contextWithName("1"));
}

TEST_F(ReceiveTest, ArgumentWithoutALabelIsLoggedAndDropped) {
    context->demux(0);
    foundation::LogCapture log;
    receive(message("/a", {Blob("xyz"), Float(1)}));
    receive(message("/a", {Blob("xyz"), Float(1)}));
    EXPECT_TRUE(context->subContexts().empty());
    EXPECT_TRUE(log.contains("demuxLabel: Unsupported OSC argument \"/a\" ["));
}

TEST_F(ReceiveTest, DemuxRemovesTheActionsAndOffSwitchesItOff) {
    receive(message("/a", {Float(0.1f), Float(0.2f)}));
    ASSERT_EQ(context->actions().size(), 2u);
    auto first = context->actions()[0];
    EXPECT_TRUE(first->demux());  // demultiplexes the context on that action's argument
    EXPECT_EQ(context->demuxRank(), 0);
    EXPECT_TRUE(context->actions().empty());
    EXPECT_EQ(first->context(), nullptr);
    context->setDemuxRank(-1);
    receive(message("/a", {Float(0.1f), Float(0.2f)}));
    EXPECT_EQ(context->actions().size(), 2u);
    EXPECT_TRUE(context->subContexts().empty());
}

// ---- programming errors and snapshots ----------------------------------------------------------

TEST_F(ReceiveTest, NullMessageAndNullManagerAreProgrammingErrors) {
    try {
        context->receive(nullptr, input, foundation::Date::now());
        FAIL() << "no assertion";
    } catch (const foundation::AssertionFailure& e) {
        EXPECT_EQ(e.reason(), "message cannot be nil");
    }
    try {
        QRBContext::create("/b", nullptr);
        FAIL() << "no assertion";
    } catch (const foundation::AssertionFailure& e) {
        EXPECT_EQ(e.reason(), "Invalid parameter not satisfying: libHandler");
    }
}

TEST_F(ReceiveTest, EveryNewMessageMarksTheLastRecalledSnapshotDirty) {
    auto m = message("/a", {Float(1)});
    receive(m);
    receive(m);
    receive(message("/a", {Float(1)}));
    EXPECT_EQ(host->dirtyCount, 2);
    EXPECT_EQ(context->actualArgumentCount(), 1u);
}

TEST_F(ReceiveTest, SnapshotReplayIsMonitoredAndPassesEveryTrigger) {
    auto source = giveContextOutput();
    source->onAttach = [](QRBAction& action) { action.trigger()->setMode(QRBTrigger::kNever); };
    context->setEventSource(nullptr);
    context->setEventSource(source);
    receive(message("/a", {Float(0.5f)}));
    EXPECT_TRUE(fired().empty());

    auto endpoint = std::make_shared<QRBMessageEndpoint>("Snapshot Recall", 1);
    context->recallSnapshotMessage(message("/a", {Float(0.6f)}), endpoint);
    ASSERT_EQ(fired().size(), 1u);
    EXPECT_NEAR(fired()[0].second, 0.6, 1e-6);
    EXPECT_FALSE(context->isSnapshotRestoreInProgress());
    ASSERT_GE(host->monitor->eventsCount(), 1u);
    EXPECT_EQ(host->monitor->eventAtIndex(static_cast<long>(host->monitor->eventsCount()) - 1)->endpoint(), endpoint);
}

TEST_F(ReceiveTest, ActualInputValuesAreRefusedOnADemultiplexedContext) {
    receive(message("/a", {Float(0.1f), Int(2)}));
    auto values = context->actualInputArgValues();
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[1]->int32Value(), 2);
    context->demux(0);
    EXPECT_THROW(context->actualInputArgValues(), foundation::AssertionFailure);
}

TEST_F(ReceiveTest, RemovingTheContextItselfInvalidatesItsActionsAndLeavesTheManager) {
    receive(message("/a", {Float(0.1f), Float(0.2f)}));
    auto first = context->actions()[0];
    auto source = std::static_pointer_cast<RecordingEventSource>(first->eventSource());
    context->removeActionsObject(context);
    EXPECT_TRUE(context->actions().empty());
    EXPECT_EQ(first->eventSource(), nullptr);
    ASSERT_EQ(host->removed.size(), 1u);
    EXPECT_EQ(host->removed[0], context);
    // The output was told it lost the action.
    bool detached = false;
    for (const auto& call : *source->log) detached |= call.what == "detach" && call.action == first.get();
    EXPECT_TRUE(detached);
}
