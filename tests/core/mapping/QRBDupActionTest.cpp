// Duplicates: duplicating and splitting (also of a single-argument context), the firing chain and
// its halt, ranks and paths, and list edits with their undo.

#include "core/support/ModelTestSupport.h"

#include "core/mapping/QRBTrigger.h"
#include "foundation/Exception.h"
#include "support/TestRegistration.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace firing;
using namespace model;

namespace {

// An output that halts the firing chain when asked to, as a delay does.
class HaltingEventSource : public RecordingEventSource {
    QRB_EVENT_SOURCE_CLASS("TestHaltingEventSource", RecordingEventSource)

public:
    using RecordingEventSource::RecordingEventSource;
    QRBAcceptResult acceptAction(QRBAction& action) override {
        const QRBAcceptResult r = RecordingEventSource::acceptAction(action);
        if (halt) static_cast<QRBConcreteAction&>(action).haltFiring();
        return r;
    }
    bool halt = false;
};

}  // namespace

TEST_REGISTER_EVENT_SOURCE(HaltingEventSource)

namespace {

class DupActionTest : public ::testing::Test {
protected:
    Document doc;
    std::shared_ptr<QRBConcreteAction> first = doc.addArgument();
    std::shared_ptr<QRBConcreteAction> master = doc.addArgument("x");
    std::shared_ptr<RecordingEventSource> output = std::make_shared<RecordingEventSource>();

    void SetUp() override {
        master->setEventSource(output);
        doc.undo->removeAllActions();
    }
    void fire(double v) { master->fire(value(Float(v)).get()); }
    // The values the output accepted from one action.
    std::vector<double> accepted(const QRBAction& action) const {
        std::vector<double> values;
        for (const auto& call : output->accepts())
            if (call.action == &action) values.push_back(call.value);
        return values;
    }
    std::vector<const QRBAction*> firingOrder() const {
        std::vector<const QRBAction*> order;
        for (const auto& call : output->accepts()) order.push_back(call.action);
        return order;
    }
};

}  // namespace

// ---- duplicating -------------------------------------------------------------------------------

TEST_F(DupActionTest, ADuplicateSharesTheOutputAndCopiesTheSettings) {
    master->setInputMin(0.2);
    master->setOutputMax(127);
    master->setChannel(3);
    master->setUserInfoValue(foundation::Value(true), "QRBContextIsExpanded");
    master->setUserInfoValue(foundation::Value(1), "_Voice");
    auto d = master->dup();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->masterAction(), master);
    EXPECT_EQ(d->context(), doc.context);
    EXPECT_EQ(d->eventSource(), output);
    EXPECT_NE(d->trigger(), master->trigger());
    EXPECT_EQ(d->name(), "x");
    EXPECT_EQ(d->inputMin(), 0.2);
    EXPECT_EQ(d->outputMax(), 127);
    EXPECT_EQ(d->channel(), 3);
    EXPECT_FALSE(d->userInfoValueForKey("QRBContextIsExpanded").isNull());
    EXPECT_TRUE(d->userInfoValueForKey("_Voice").isNull());
    EXPECT_EQ(d->undoManager(), doc.undo);
    // The context's list never holds duplicates.
    EXPECT_EQ(doc.context->actions().size(), 2u);
    EXPECT_TRUE(master->hasAssignedEventSource());
    EXPECT_EQ(master->allActions(), (std::vector<QRBActionPtr>{d}));
}

TEST_F(DupActionTest, DuplicatingADuplicateCopiesItAtTheEndOfTheChain) {
    auto d0 = master->dup();
    auto d1 = master->dup();
    auto other = std::make_shared<RecordingEventSource>();
    d0->setEventSource(other);
    d0->setOutputMax(5);
    auto d2 = d0->dup();
    EXPECT_EQ(master->actions(), (std::vector<QRBActionPtr>{d0, d1, d2}));
    EXPECT_EQ(d2->eventSource(), other);
    EXPECT_EQ(d2->outputMax(), 5);
    EXPECT_EQ(d2->masterAction(), master);
}

TEST_F(DupActionTest, RanksAndPathsOfDuplicates) {
    auto second = doc.addArgument("y");  // argument 2
    auto d0 = second->dup();
    auto d1 = second->dup();
    d1->setName(std::nullopt);
    EXPECT_EQ(d0->displayName(), "2\u25B8 0: y");
    EXPECT_EQ(d1->displayName(), "2\u25B8 1");
    EXPECT_EQ(d0->rank(), 2);
    EXPECT_EQ(d0->fullDisplayName(), "/a[2\u25B8 0: y]");

    auto ofSecondArgument = master->dup();  // master is argument 1
    EXPECT_EQ(ofSecondArgument->pathComponents(), (foundation::Array{1, 0}));
    EXPECT_EQ(doc.context->actionAtPath({1, 0}), ofSecondArgument);
    EXPECT_EQ(doc.context->actionAtPath({2, 1}), d1);

    EXPECT_EQ(second->dupRankOf(*d1), 1u);
    EXPECT_EQ(second->dupAfter(*d0), d1);
    EXPECT_EQ(second->dupAfter(*d1), nullptr);
    EXPECT_EQ(second->nextDup(), d0);
    EXPECT_EQ(d0->nextDup(), d1);
    EXPECT_EQ(master->dupAfter(*d0), nullptr) << "not in that chain";
    EXPECT_THROW(master->dupRankOf(*d0), foundation::AssertionFailure);

    auto orphan = std::make_shared<QRBDupAction>();
    EXPECT_THROW(orphan->pathComponents(), foundation::AssertionFailure);
    EXPECT_EQ(orphan->dup(), nullptr);
}

// ---- splitting ---------------------------------------------------------------------------------

TEST_F(DupActionTest, SplitMapsEachHalfFromTheMidpoint) {
    master->setOutputMax(127);
    auto high = master->split();
    ASSERT_EQ(master->actions().size(), 2u);
    auto low = std::static_pointer_cast<QRBDupAction>(master->actions()[0]);
    EXPECT_EQ(master->actions()[1], high);
    EXPECT_EQ(low->name(), "x (lo)");
    EXPECT_EQ(high->name(), "x (hi)");
    EXPECT_TRUE(low->inputCap());
    EXPECT_TRUE(high->inputCap());
    EXPECT_FALSE(master->inputCap());

    struct Case {
        double input;
        std::vector<double> master, low, high;  // empty: ignored by the cap
    } cases[] = {
        {0.25, {31.75}, {63.5}, {}},
        {0.5, {63.5}, {0}, {0}},
        {1, {127}, {}, {127}},
        {0, {0}, {127}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        output->log->clear();
        fire(c.input);
        EXPECT_EQ(accepted(*master), c.master);
        EXPECT_EQ(accepted(*low), c.low);
        EXPECT_EQ(accepted(*high), c.high);
    }
}

TEST_F(DupActionTest, SplitRangesAndNamesTable) {
    struct Case {
        std::optional<std::string> name;
        double inMin, inMax;
        const char *lowName, *highName;
        double lowMin, lowMax, highMin, highMax;
    } cases[] = {
        {"x", 0, 1, "x (lo)", "x (hi)", 0.5, 0, 0.5, 1},
        {std::nullopt, 0, 10, " (lo)", " (hi)", 5, 0, 5, 10},
        {"", -2, 2, " (lo)", " (hi)", 0, -2, 0, 2},
        {"inv", 1, 0, "inv (lo)", "inv (hi)", 0.5, 1, 0.5, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lowName);
        Document fresh;
        auto action = fresh.addArgument(c.name);
        action->setInputMin(c.inMin);
        action->setInputMax(c.inMax);
        auto high = action->split();
        auto low = action->actions().at(0);
        EXPECT_EQ(low->name(), c.lowName);
        EXPECT_EQ(high->name(), c.highName);
        EXPECT_EQ(low->inputMin(), c.lowMin);
        EXPECT_EQ(low->inputMax(), c.lowMax);
        EXPECT_EQ(high->inputMin(), c.highMin);
        EXPECT_EQ(high->inputMax(), c.highMax);
        EXPECT_EQ(action->inputMin(), c.inMin) << "the master keeps its range";
        EXPECT_EQ(action->inputMax(), c.inMax);
    }
}

// ---- the firing chain --------------------------------------------------------------------------

TEST_F(DupActionTest, OneInputFiresTheMasterThenEachDuplicateUnlessHalted) {
    auto halting = std::make_shared<HaltingEventSource>(output->log);
    auto d0 = master->dup();
    auto d1 = master->dup();
    d0->setEventSource(halting);
    d1->setInputMax(2);  // its own scaling

    fire(0.5);
    EXPECT_EQ(firingOrder(), (std::vector<const QRBAction*>{master.get(), d0.get(), d1.get()}));
    EXPECT_EQ(accepted(*d1), (std::vector<double>{0.25}));
    EXPECT_EQ(d1->inputArgValue()->floatValue(), 0.5f) << "each gets the master's input";

    // D0's output halts the chain during its fire: D1 does not fire.
    halting->halt = true;
    output->log->clear();
    fire(0.6);
    EXPECT_EQ(firingOrder(), (std::vector<const QRBAction*>{master.get(), d0.get()}));
    EXPECT_FALSE(d0->shouldHaltFiring()) << "the halt lives for one fire";

    // A halting output resumes the chain itself later, from the duplicate after it.
    output->log->clear();
    d0->nextDup()->fire(d0->inputArgValue().get());
    EXPECT_EQ(firingOrder(), (std::vector<const QRBAction*>{d1.get()}));

    // The next input fires all three again.
    halting->halt = false;
    output->log->clear();
    fire(0.7);
    EXPECT_EQ(firingOrder(), (std::vector<const QRBAction*>{master.get(), d0.get(), d1.get()}));
}

TEST_F(DupActionTest, AHaltOnTheMasterStopsTheWholeChain) {
    auto halting = std::make_shared<HaltingEventSource>(output->log);
    halting->halt = true;
    master->setEventSource(halting);
    master->dup();
    fire(0.5);
    EXPECT_EQ(firingOrder(), (std::vector<const QRBAction*>{master.get()}));
}

TEST_F(DupActionTest, ACappedDuplicatePassesTheInputOn) {
    auto d0 = master->dup();
    auto d1 = master->dup();
    d0->setInputCap(true);
    d0->setInputMax(0.1);
    fire(0.5);
    EXPECT_EQ(firingOrder(), (std::vector<const QRBAction*>{master.get(), d1.get()}));
}

// ---- list edits and undo -----------------------------------------------------------------------

TEST_F(DupActionTest, DeletingADuplicateAndUndoingPutsItBackInItsPlace) {
    auto d0 = master->dup();
    auto d1 = master->dup();
    doc.undo->removeAllActions();
    doc.edit([&] { d0->invalidate(); });
    EXPECT_EQ(master->actions(), (std::vector<QRBActionPtr>{d1}));
    EXPECT_EQ(d0->eventSource(), nullptr);
    EXPECT_EQ(d0->masterAction(), nullptr);
    EXPECT_EQ(d0->context(), nullptr);

    doc.undo->undo();
    EXPECT_EQ(master->actions(), (std::vector<QRBActionPtr>{d0, d1}));
    EXPECT_EQ(d0->eventSource(), output);
    EXPECT_EQ(d0->masterAction(), master);
    EXPECT_EQ(d0->context(), doc.context);
    doc.undo->redo();
    EXPECT_EQ(master->actions(), (std::vector<QRBActionPtr>{d1}));
}

TEST_F(DupActionTest, DuplicatingAndSplittingAreUndoneAsOneStep) {
    doc.edit([&] { master->split(); });
    EXPECT_EQ(master->actions().size(), 2u);
    doc.undo->undo();
    EXPECT_TRUE(master->actions().empty());
    EXPECT_FALSE(doc.undo->canUndo());
    doc.undo->redo();
    ASSERT_EQ(master->actions().size(), 2u);
    EXPECT_EQ(master->actions()[0]->name(), "x (lo)");
}

TEST_F(DupActionTest, DeletingTheMasterTakesItsDuplicatesAndUndoBringsAllBack) {
    auto d0 = master->dup();
    doc.undo->removeAllActions();
    doc.edit([&] { master->invalidate(); });
    EXPECT_EQ(doc.context->actions(), (std::vector<QRBActionPtr>{first}));
    EXPECT_TRUE(master->actions().empty());
    doc.undo->undo();
    EXPECT_EQ(doc.context->actions(), (std::vector<QRBActionPtr>{first, master}));
    EXPECT_EQ(master->actions(), (std::vector<QRBActionPtr>{d0}));
    EXPECT_EQ(d0->eventSource(), output);
    EXPECT_EQ(d0->context(), doc.context);
}

// ---- a single-argument context -----------------------------------------------------------------

TEST_F(DupActionTest, DuplicatingASingleArgumentContextMovesItsMappingToAnArgument) {
    Document single;
    auto source = std::make_shared<RecordingEventSource>();
    single.context->setEventSource(source);
    single.context->setOutputMax(127);
    single.context->setInputMin(0.5);
    single.undo->removeAllActions();

    QRBDupActionPtr d;
    single.edit([&] { d = single.context->dup(); });
    ASSERT_TRUE(d);
    ASSERT_EQ(single.context->actions().size(), 1u);
    auto arg = std::static_pointer_cast<QRBConcreteAction>(single.context->actions()[0]);
    EXPECT_EQ(arg->eventSource(), source);
    EXPECT_EQ(arg->outputMax(), 127);
    EXPECT_EQ(arg->inputMin(), 0.5);
    EXPECT_EQ(arg->name(), std::nullopt) << "a context's name is not an argument's";
    EXPECT_EQ(single.context->eventSource(), nullptr);
    EXPECT_EQ(arg->actions(), (std::vector<QRBActionPtr>{d}));
    EXPECT_EQ(d->eventSource(), source);

    // Undone, the context has its mapping back and no argument action.
    single.undo->undo();
    EXPECT_TRUE(single.context->actions().empty());
    EXPECT_EQ(single.context->eventSource(), source);
    EXPECT_EQ(arg->eventSource(), nullptr);
    single.undo->redo();
    ASSERT_EQ(single.context->actions(), (std::vector<QRBActionPtr>{arg}));
    EXPECT_EQ(single.context->eventSource(), nullptr);
    EXPECT_EQ(arg->eventSource(), source);
    EXPECT_EQ(arg->actions(), (std::vector<QRBActionPtr>{d}));

    // A second duplicate keeps the argument's own settings.
    arg->setOutputMax(3);
    auto again = single.context->dup();
    EXPECT_EQ(arg->outputMax(), 3);
    EXPECT_EQ(again->outputMax(), 3);
    EXPECT_EQ(arg->actions().size(), 2u);
}

TEST_F(DupActionTest, SplittingASingleArgumentContextAndTheCasesWithNothingToDo) {
    Document single;
    single.context->setName("/s");
    auto high = single.context->split();
    ASSERT_TRUE(high);
    EXPECT_EQ(high->name(), " (hi)");
    EXPECT_EQ(single.context->actions().size(), 1u);

    // Several actions: nothing to duplicate or split; demultiplexed children: the same.
    EXPECT_EQ(doc.context->dup(), nullptr);
    EXPECT_EQ(doc.context->split(), nullptr);
    Document demuxed;
    demuxed.addChild(demuxed.context, "left");
    EXPECT_EQ(demuxed.context->dup(), nullptr);

    Document locked;
    locked.host->locked = true;
    EXPECT_EQ(locked.context->dup(), nullptr);
    EXPECT_EQ(locked.context->split(), nullptr);
    EXPECT_TRUE(locked.context->actions().empty());
}
