// The action model: undoable setters and output changes, names, ranks and paths, deletion with
// its undo, copying, the preset life cycle, merging and folding.

#include "core/support/ModelTestSupport.h"

#include "core/mapping/QRBTrigger.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/NotificationCenter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

using namespace firing;
using namespace model;

namespace {

class ActionModelTest : public ::testing::Test {
protected:
    Document doc;
    QRBContextPtr& context = doc.context;
    std::shared_ptr<foundation::UndoManager>& undo = doc.undo;
    std::shared_ptr<RecordingEventSource> output = std::make_shared<RecordingEventSource>();

    std::vector<QRBActionPtr> arguments(size_t n) {
        std::vector<QRBActionPtr> made;
        for (size_t i = 0; i < n; ++i) made.push_back(doc.addArgument());
        return made;
    }
};

// One undoable edit: what it changes, read as text so that one table holds every kind.
struct EditCase {
    const char* name;
    std::function<void(QRBAction&)> prepare;  // before the edit, not undone
    std::function<void(QRBAction&)> edit;
    std::function<std::string(const QRBAction&)> read;
};

std::string text(double d) { return foundation::format("%.17g", d); }

}  // namespace

// ---- undoable setters --------------------------------------------------------------------------

TEST_F(ActionModelTest, EachSetterIsUndoneAndRedoneAsOneDiscardableUnnamedStep) {
    auto source = std::make_shared<RecordingEventSource>();
    const EditCase cases[] = {
        {"enabled",
         {},
         [](QRBAction& a) { a.setEnabled(false); },
         [](const QRBAction& a) { return std::to_string(a.isEnabled()); }},
        {"input cap",
         {},
         [](QRBAction& a) { a.setInputCap(true); },
         [](const QRBAction& a) { return std::to_string(a.inputCap()); }},
        {"name",
         {},
         [](QRBAction& a) { a.setName("x"); },
         [](const QRBAction& a) { return a.name().value_or("<none>"); }},
        {"name cleared", [](QRBAction& a) { a.setName("x"); }, [](QRBAction& a) { a.setName(std::nullopt); },
         [](const QRBAction& a) { return a.name().value_or("<none>"); }},
        {"input min",
         {},
         [](QRBAction& a) { a.setInputMin(-3); },
         [](const QRBAction& a) { return text(a.inputMin()); }},
        {"input max",
         {},
         [](QRBAction& a) { a.setInputMax(10); },
         [](const QRBAction& a) { return text(a.inputMax()); }},
        {"output min",
         {},
         [](QRBAction& a) { a.setOutputMin(0.5); },
         [](const QRBAction& a) { return text(a.outputMin()); }},
        {"output max",
         {},
         [](QRBAction& a) { a.setOutputMax(127); },
         [](const QRBAction& a) { return text(a.outputMax()); }},
        {"channel", [&](QRBAction& a) { a.setEventSource(source); }, [](QRBAction& a) { a.setChannel(9); },
         [](const QRBAction& a) { return std::to_string(a.channel()); }},
        {"output",
         {},
         [&](QRBAction& a) { a.setEventSource(source); },
         [&](const QRBAction& a) { return std::string(a.eventSource() == source ? "source" : "none"); }},
        {"output dropped", [&](QRBAction& a) { a.setEventSource(source); },
         [](QRBAction& a) { a.setEventSource(nullptr); },
         [&](const QRBAction& a) { return std::string(a.eventSource() == source ? "source" : "none"); }},
        {"demultiplexing index",
         {},
         [](QRBAction& a) { static_cast<QRBContext&>(a).setDemuxRank(2); },
         [](const QRBAction& a) { return std::to_string(static_cast<const QRBContext&>(a).demuxRank()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Document fresh;
        const bool onContext = std::string(c.name) == "demultiplexing index";
        QRBAction& target = onContext ? static_cast<QRBAction&>(*fresh.context) : *fresh.addArgument();
        if (c.prepare) c.prepare(target);
        fresh.undo->removeAllActions();

        int changes = 0;
        auto token = foundation::NotificationCenter::defaultCenter().addObserver(
            "QRBActionChangedNotification", foundation::NotificationObject(fresh.host.get()),
            [&](const foundation::Notification&) { ++changes; });

        const std::string before = c.read(target);
        fresh.edit([&] { c.edit(target); });
        const std::string after = c.read(target);
        ASSERT_NE(before, after);
        EXPECT_GE(changes, 1) << "the change is announced";
        ASSERT_TRUE(fresh.undo->canUndo());
        EXPECT_TRUE(fresh.undo->undoActionIsDiscardable());
        EXPECT_EQ(fresh.undo->undoActionName(), "");

        fresh.undo->undo();
        EXPECT_EQ(c.read(target), before);
        EXPECT_FALSE(fresh.undo->canUndo()) << "one step";
        fresh.undo->redo();
        EXPECT_EQ(c.read(target), after);

        // The same value again is no change at all.
        fresh.undo->removeAllActions();
        fresh.edit([&] { c.edit(target); });
        EXPECT_FALSE(fresh.undo->canUndo());
    }
}

TEST_F(ActionModelTest, DoublesWithinTwoToTheMinus52AreEqual) {
    auto action = doc.addArgument();
    action->setInputMin(0.25);
    action->setInputMax(0.75);
    action->setOutputMin(2);
    action->setOutputMax(3);
    action->setHasTriggerLikeInput(false);
    action->setInputRangeChecked(true);
    undo->removeAllActions();

    struct Case {
        const char* name;
        std::function<void()> set;
        std::function<double()> get;
        double stored;
    } cases[] = {
        {"input min", [&] { action->setInputMin(0.25 + 1e-17); }, [&] { return action->inputMin(); }, 0.25},
        {"input max", [&] { action->setInputMax(0.75 - 1e-17); }, [&] { return action->inputMax(); }, 0.75},
        {"output min", [&] { action->setOutputMin(2 + 1e-17); }, [&] { return action->outputMin(); }, 2},
        {"output max", [&] { action->setOutputMax(3 - 1e-17); }, [&] { return action->outputMax(); }, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        doc.edit(c.set);
        EXPECT_FALSE(undo->canUndo());
        EXPECT_EQ(c.get(), c.stored);
    }
    // Nothing re-armed the button-like detection either.
    EXPECT_FALSE(action->hasTriggerLikeInput());
    EXPECT_TRUE(action->inputRangeChecked());

    doc.edit([&] { action->setInputMin(0.25 + 1e-12); });
    EXPECT_TRUE(undo->canUndo());
    EXPECT_TRUE(action->hasTriggerLikeInput());
    EXPECT_FALSE(action->inputRangeChecked());
}

TEST_F(ActionModelTest, NothingIsRegisteredWhileRegistrationIsDisabled) {
    auto action = doc.addArgument();
    auto child = doc.addChild(context, "left");
    undo->removeAllActions();
    undo->disableUndoRegistration();
    doc.edit([&] {
        action->setEnabled(false);
        action->setName("x");
        action->setInputMin(1);
        action->setOutputMax(9);
        action->setEventSource(output);
        action->setChannel(3);
        action->dup();
        context->setDemuxRank(1);
        child->invalidate();
    });
    undo->enableUndoRegistration();
    EXPECT_FALSE(undo->canUndo());
    EXPECT_EQ(action->eventSource(), output);
    EXPECT_EQ(action->actions().size(), 1u);
}

TEST_F(ActionModelTest, OutputChangeWithAChannelLimitIsOneStepThatRestoresOutputAndChannel) {
    auto action = doc.addArgument();
    action->setEventSource(output);  // 16 channels
    action->setChannel(5);
    action->setUserInfoValue(foundation::Value(true), "_TriggerState");
    action->setUserInfoValue(foundation::Value(true), "QRBContextIsExpanded");
    undo->removeAllActions();
    const auto firstTrigger = action->trigger();

    // An output without channels: the channel drops to 1 in the same step.
    auto channelless = std::make_shared<ZeroChannelEventSource>(output->log);
    doc.edit([&] { action->setEventSource(channelless); });
    EXPECT_EQ(action->eventSource(), channelless);
    EXPECT_EQ(action->channel(), 1);
    EXPECT_EQ(action->type(), &ZeroChannelEventSource::staticClass());
    EXPECT_TRUE(action->userInfoValueForKey("_TriggerState").isNull());

    output->log->clear();
    undo->undo();
    EXPECT_FALSE(undo->canUndo()) << "both inverses are one step";
    EXPECT_EQ(action->eventSource(), output);
    EXPECT_EQ(action->channel(), 5);
    EXPECT_EQ(action->type(), &RecordingEventSource::staticClass());
    EXPECT_NE(action->trigger(), firstTrigger) << "a fresh trigger";
    EXPECT_TRUE(action->userInfoValueForKey("_TriggerState").isNull()) << "transient state does not come back";
    EXPECT_FALSE(action->userInfoValueForKey("QRBContextIsExpanded").isNull());
    // The channel goes back first (the channel-less output resets), then the channel-less output
    // lets go of the action and the old one takes it again.
    EXPECT_EQ(callNames(*output), (std::vector<std::string>{"reset", "reset", "detach", "attach"}));

    undo->redo();
    EXPECT_EQ(action->eventSource(), channelless);
    EXPECT_EQ(action->channel(), 1);
    undo->undo();
    EXPECT_EQ(action->channel(), 5);
}

TEST_F(ActionModelTest, SetTypeDropsTheOutputAndAMultiArgumentContextKeepsItsType) {
    auto action = doc.addArgument();
    action->setEventSource(output);
    undo->removeAllActions();
    doc.edit([&] { action->setType(&ZeroChannelEventSource::staticClass()); });
    EXPECT_EQ(action->eventSource(), nullptr);
    EXPECT_EQ(action->type(), &ZeroChannelEventSource::staticClass());
    undo->undo();
    EXPECT_EQ(action->eventSource(), output) << "the dropped output comes back";

    // The context holds an action now: only whole-message outputs are types it takes.
    context->setEventSource(std::make_shared<RecordingEventSource>());
    const QRBEventSourceClass* before = context->type();
    context->setType(&ZeroChannelEventSource::staticClass());
    EXPECT_EQ(context->eventSource(), nullptr);
    EXPECT_EQ(context->type(), before);

    context->setType(nullptr);
    EXPECT_EQ(context->type(), nullptr);
}

// ---- names, ranks and paths --------------------------------------------------------------------

TEST_F(ActionModelTest, NamesAndAddressesOfActionsAndChildContexts) {
    auto first = doc.addArgument();
    auto second = doc.addArgument("x");
    EXPECT_EQ(first->displayName(), "0");
    EXPECT_EQ(second->displayName(), "1: x");
    EXPECT_EQ(second->fullDisplayName(), "/a[1: x]");
    EXPECT_EQ(second->address(), "/a/1");
    EXPECT_EQ(second->rank(), 1);
    EXPECT_EQ(context->rank(), -1);
    EXPECT_EQ(second->topLevelContext(), context);

    Document other;
    auto left = other.addChild(other.context, "left");
    auto up = other.addChild(left, "up");
    EXPECT_EQ(left->fullDisplayName(), "/a left");
    EXPECT_EQ(left->address(), "/a/left");
    EXPECT_EQ(up->fullDisplayName(), "/a left/up");
    EXPECT_EQ(up->address(), "/a/left/up");
    EXPECT_EQ(up->topLevelContext(), other.context);
    EXPECT_EQ(left->displayName(), "left");
    EXPECT_EQ(left->rank(), 0);

    // An action its context does not hold is an internal error.
    auto stray = std::make_shared<QRBConcreteAction>();
    stray->setContext(context);
    EXPECT_THROW(stray->rank(), foundation::AssertionFailure);
}

TEST_F(ActionModelTest, EveryActionIsFoundAgainAtItsPath) {
    // /a demultiplexed on its second argument: argument 0, then children 1 and left, with an
    // argument action and a duplicate below them.
    auto arg0 = doc.addArgument();
    context->setDemuxRank(1);
    auto one = doc.addChild(context, "1");
    auto left = doc.addChild(context, "left");
    auto leftArg0 = left->createAction<QRBConcreteAction>(std::nullopt);
    auto leftArg1 = left->createAction<QRBConcreteAction>(std::nullopt);
    auto dup = leftArg1->dup();
    auto deep = doc.addChild(one, "deep");

    for (const auto& action : context->allActions()) {
        SCOPED_TRACE(action->fullDisplayName());
        EXPECT_EQ(context->actionAtPath(action->pathComponents()), action);
    }
    EXPECT_EQ(dup->pathComponents(), (foundation::Array{"left", 1, 0}));
    EXPECT_EQ(leftArg0->pathComponents(), (foundation::Array{"left", 0}));
    EXPECT_EQ(deep->pathComponents(), (foundation::Array{"1", "deep"}));
    EXPECT_EQ(context->actionAtPath({}), context);

    using foundation::Value;
    const std::pair<const char*, foundation::Array> nowhere[] = {
        {"index past the end", {5}},
        {"negative index", {-1}},
        {"unknown child", {"right"}},
        {"child then past its end", {"left", 7}},
        {"index then a name", {0, "x"}},
        {"below a duplicate", {"left", 1, 0, 0}},
        {"not a number", {Value(foundation::Array{})}},
        {"NaN", {Value(std::nan(""))}},
        {"huge", {Value(1e300)}},
    };
    for (const auto& [name, path] : nowhere) EXPECT_EQ(context->actionAtPath(path), nullptr) << name;
    // A number picks an entry of the list, a context among them too (a name that is not a
    // number goes first among the children).
    EXPECT_EQ(context->actionAtPath({0}), arg0);
    EXPECT_EQ(context->actionAtPath({1}), left);
    EXPECT_EQ(context->actionAtPath({2}), one);
}

TEST_F(ActionModelTest, DeletingRowsTakesLaterArgumentsAndEverythingBelow) {
    auto args = arguments(3);
    auto dup = std::static_pointer_cast<QRBConcreteAction>(args[2])->dup();
    Document other;
    auto child = other.addChild(other.context, "left");
    auto childArg = child->createAction<QRBConcreteAction>(std::nullopt);

    auto names = [](const std::vector<QRBActionPtr>& set) {
        std::vector<const QRBAction*> r;
        for (const auto& a : set) r.push_back(a.get());
        std::sort(r.begin(), r.end());
        return r;
    };
    auto expect = [&](std::vector<QRBActionPtr> want) {
        std::vector<const QRBAction*> r;
        for (const auto& a : want) r.push_back(a.get());
        std::sort(r.begin(), r.end());
        return r;
    };
    EXPECT_EQ(names(QRBContext::actionsWithHigherRankThan({args[1]})), expect({args[1], args[2], dup}));
    EXPECT_EQ(names(QRBContext::actionsWithHigherRankThan({dup})), expect({dup}));
    EXPECT_EQ(names(QRBContext::actionsWithHigherRankThan({child})), expect({child, childArg}));
    auto stray = std::make_shared<QRBConcreteAction>();
    EXPECT_TRUE(QRBContext::actionsWithHigherRankThan({stray}).empty());
}

// ---- deletion and its undo ---------------------------------------------------------------------

TEST_F(ActionModelTest, UndoingADeletionPutsArgumentsBackInTheirPlacesWhateverTheOrder) {
    for (bool lastFirst : {false, true}) {
        SCOPED_TRACE(lastFirst ? "last first" : "first first");
        Document fresh;
        std::vector<QRBActionPtr> args;
        std::vector<std::shared_ptr<RecordingEventSource>> outputs;
        for (int i = 0; i < 3; ++i) {
            args.push_back(fresh.addArgument());
            outputs.push_back(std::make_shared<RecordingEventSource>());
            args.back()->setEventSource(outputs.back());
        }
        fresh.undo->removeAllActions();
        fresh.edit([&] {
            if (lastFirst) {
                args[2]->invalidate();
                args[1]->invalidate();
            } else {
                args[1]->invalidate();
                args[2]->invalidate();
            }
        });
        ASSERT_EQ(fresh.context->actions().size(), 1u);
        EXPECT_EQ(args[1]->eventSource(), nullptr);
        EXPECT_EQ(args[1]->context(), nullptr);

        fresh.undo->undo();
        ASSERT_EQ(fresh.context->actions(), args);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(args[i]->eventSource(), outputs[i]);
            EXPECT_EQ(args[i]->context(), fresh.context);
            EXPECT_EQ(args[i]->rank(), i);
        }
        fresh.undo->redo();
        EXPECT_EQ(fresh.context->actions().size(), 1u);
    }
}

TEST_F(ActionModelTest, DemultiplexingRemovesTheActionsAndItsUndoRestoresThem) {
    auto args = arguments(3);
    undo->removeAllActions();
    doc.edit([&] { context->demux(0); });
    EXPECT_EQ(context->demuxRank(), 0);
    EXPECT_TRUE(context->actions().empty());
    undo->undo();
    EXPECT_EQ(context->demuxRank(), -1);
    EXPECT_EQ(context->actions(), args);
}

TEST_F(ActionModelTest, RemovingTheContextItselfTakesItOutOfItsManager) {
    auto args = arguments(2);
    context->removeActionsObject(context);
    EXPECT_TRUE(context->actions().empty());
    ASSERT_EQ(doc.host->removed.size(), 1u);
    EXPECT_EQ(doc.host->removed[0], context);
}

// ---- copying -----------------------------------------------------------------------------------

TEST_F(ActionModelTest, ACopySharesValuesAndOutputAndHasItsOwnTriggerAndStructure) {
    auto arg = doc.addArgument("x");
    arg->setEventSource(output);
    arg->setInputMax(10);
    arg->setChannel(4);
    arg->setUserInfoValue(foundation::Value(true), "QRBContextIsExpanded");
    arg->setUserInfoValue(foundation::Value(1), "_Voice");
    auto dup = arg->dup();
    auto child = doc.addChild(context, "left");
    auto plot = std::make_shared<QRBHeadlessLivePlotController>();
    plot->setSavedStringFrame("{{1, 2}, {3, 4}}");
    plot->setAction(arg);
    context->receive(message("/a", {Float(0.5), Float(0.25)}), nullptr, foundation::Date::now());

    auto copy = std::static_pointer_cast<QRBContext>(context->copy());
    EXPECT_EQ(copy->name(), context->name());
    EXPECT_EQ(copy->lastReceivedMessage(), context->lastReceivedMessage());
    EXPECT_EQ(copy->oscManager(), doc.host);
    EXPECT_TRUE(copy->isTopLevel());
    ASSERT_EQ(copy->actions().size(), 2u);

    auto argCopy = std::dynamic_pointer_cast<QRBConcreteAction>(copy->actions()[0]);
    ASSERT_TRUE(argCopy);
    EXPECT_NE(argCopy, arg);
    EXPECT_EQ(argCopy->context(), copy);
    EXPECT_EQ(argCopy->eventSource(), output);
    EXPECT_NE(argCopy->trigger(), arg->trigger());
    EXPECT_EQ(argCopy->inputArgValue(), arg->inputArgValue()) << "values are shared";
    EXPECT_EQ(argCopy->argValue(), arg->argValue());
    EXPECT_EQ(argCopy->name(), "x");
    EXPECT_EQ(argCopy->inputMax(), 10);
    EXPECT_EQ(argCopy->channel(), 4);
    EXPECT_FALSE(argCopy->userInfoValueForKey("QRBContextIsExpanded").isNull());
    EXPECT_TRUE(argCopy->userInfoValueForKey("_Voice").isNull());
    EXPECT_EQ(argCopy->undoManager(), nullptr);

    // The plot is copied and plots the copy; the original keeps its own.
    auto plotCopy = std::dynamic_pointer_cast<QRBHeadlessLivePlotController>(argCopy->logger());
    ASSERT_TRUE(plotCopy);
    EXPECT_NE(plotCopy, plot);
    EXPECT_EQ(plotCopy->action(), argCopy);
    EXPECT_EQ(plotCopy->savedStringFrame(), plot->savedStringFrame());
    EXPECT_EQ(arg->logger(), plot);

    ASSERT_EQ(argCopy->actions().size(), 1u);
    auto dupCopy = std::static_pointer_cast<QRBDupAction>(argCopy->actions()[0]);
    EXPECT_NE(dupCopy, dup);
    EXPECT_EQ(dupCopy->masterAction(), argCopy);
    EXPECT_EQ(dupCopy->context(), copy);

    auto childCopy = std::dynamic_pointer_cast<QRBContext>(copy->actions()[1]);
    ASSERT_TRUE(childCopy);
    EXPECT_FALSE(childCopy->isTopLevel());
    EXPECT_EQ(childCopy->context(), copy);
    EXPECT_EQ(childCopy->address(), "/a/left");
}

// ---- life cycle --------------------------------------------------------------------------------

TEST_F(ActionModelTest, LeavingAndRestoringAPresetReachesEveryActionAndDuplicate) {
    context->setEventSource(output);
    auto arg = doc.addArgument();  // takes the context's output
    auto second = doc.addArgument();
    second->setEventSource(output);
    auto dup = arg->dup();
    output->log->clear();

    context->willLeavePreset(nullptr);
    EXPECT_EQ(callNames(*output), (std::vector<std::string>{"reset", "reset", "reset"}));
    output->log->clear();
    context->didRestorePreset(nullptr);
    EXPECT_EQ(callNames(*output, arg.get()), (std::vector<std::string>{"attach"}));
    EXPECT_EQ(callNames(*output, dup.get()), (std::vector<std::string>{"attach"}));
    EXPECT_EQ(callNames(*output, second.get()), (std::vector<std::string>{"attach"}));
}

TEST_F(ActionModelTest, MergingAskedEachOutputsMerger) {
    auto merging = std::make_shared<MergingEventSource>();
    auto replacement = std::make_shared<RecordingEventSource>();
    merging->replacement = replacement;
    auto arg = doc.addArgument();
    arg->setEventSource(merging);
    auto dup = arg->dup();
    auto plain = doc.addArgument();
    plain->setEventSource(output);
    auto bare = doc.addArgument();

    context->mergeEventSourceFromOSCManager(nullptr, nullptr);
    EXPECT_EQ(merging->merges, 2);
    EXPECT_EQ(arg->eventSource(), replacement);
    EXPECT_EQ(dup->eventSource(), replacement);
    EXPECT_EQ(plain->eventSource(), output) << "an output without a merger is carried as it is";
    EXPECT_EQ(bare->eventSource(), nullptr);
}

TEST_F(ActionModelTest, FoldMovesALoneArgumentsMappingToItsContext) {
    auto arg = doc.addArgument();
    arg->setEventSource(output);
    arg->setEnabled(false);
    arg->argValue()->setLibloType('f');
    arg->argValue()->setFloatValue(0.5f);
    context->fold();
    EXPECT_TRUE(context->actions().empty());
    EXPECT_EQ(context->eventSource(), output);
    EXPECT_FALSE(context->isEnabled());
    EXPECT_EQ(context->argValue()->floatValue(), 0.5f);
    EXPECT_EQ(arg->eventSource(), nullptr);

    // Left alone: a context with an output, one with a duplicate below its action, a lone child.
    Document withOutput;
    withOutput.addArgument()->setEventSource(std::make_shared<RecordingEventSource>());
    withOutput.context->setEventSource(std::make_shared<RecordingEventSource>());
    withOutput.context->fold();
    EXPECT_EQ(withOutput.context->actions().size(), 1u);

    Document withDup;
    withDup.addArgument()->dup();
    withDup.context->fold();
    EXPECT_EQ(withDup.context->actions().size(), 1u);

    Document withChild;
    auto child = withChild.addChild(withChild.context, "left");
    child->setEventSource(std::make_shared<RecordingEventSource>());
    withChild.context->fold();
    EXPECT_EQ(withChild.context->actions().size(), 1u);
}

TEST_F(ActionModelTest, UndoManagerIsHandedDownAndUserInfoStaysPerAction) {
    auto arg = doc.addArgument();
    auto dup = arg->dup();
    auto child = doc.addChild(context, "left");
    auto grandchild = child->createAction<QRBConcreteAction>(std::nullopt);
    for (const auto& action : context->allActions()) EXPECT_EQ(action->undoManager(), undo);

    auto other = std::make_shared<foundation::UndoManager>();
    context->setUndoManager(other);
    for (const auto& action : context->allActions()) EXPECT_EQ(action->undoManager(), other);

    arg->setUserInfo_triggerState(true);
    EXPECT_TRUE(arg->userInfo_triggerState());
    EXPECT_FALSE(dup->userInfo_triggerState());
    arg->setUserInfoValue(foundation::Value(), "_TriggerState");
    EXPECT_FALSE(arg->userInfo_triggerState());
}

TEST_F(ActionModelTest, AbstractOperationsOfThePlainAction) {
    auto plain = std::make_shared<QRBAction>();
    EXPECT_THROW(plain->actions(), foundation::Exception);
    EXPECT_THROW(plain->dup(), foundation::Exception);
    EXPECT_THROW(plain->split(), foundation::Exception);
    EXPECT_THROW(plain->pathComponents(), foundation::Exception);
}
