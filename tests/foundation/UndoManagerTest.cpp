#include "foundation/Exception.h"
#include "foundation/UndoManager.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace foundation;
using Change = UndoManager::Change;

namespace {

// A model value with the usual undoable setter: the inverse is a call of the setter itself.
struct Field {
    explicit Field(UndoManager& u) : undo(u) {}
    UndoManager& undo;
    int value = 0;
    std::vector<std::string> calls;  // "u3": set to 3 while undoing, "r3" while redoing, "3" otherwise

    void set(int v) {
        if (v == value) return;
        int old = value;
        undo.registerUndo(this, [this, old] { set(old); });
        value = v;
        calls.push_back((undo.isUndoing() ? "u" : undo.isRedoing() ? "r" : "") + std::to_string(v));
    }
};

class UndoManagerTest : public ::testing::Test {
protected:
    UndoManager undo;
    Field x{undo};
    Field y{undo};

    // One user event: the changes, then the end of the run-loop pass.
    template <class F> void event(F&& f) {
        f();
        undo.closeEventGroup();
    }
};

TEST_F(UndoManagerTest, InversesRegisterTheirOwnInversesForRedoAndBack) {
    event([&] { x.set(1); });
    event([&] { x.set(2); });
    ASSERT_TRUE(undo.canUndo());
    EXPECT_FALSE(undo.canRedo());

    undo.undo();
    EXPECT_EQ(x.value, 1);
    undo.undo();
    EXPECT_EQ(x.value, 0);
    EXPECT_FALSE(undo.canUndo());
    undo.undo();  // nothing left: no effect
    EXPECT_EQ(x.value, 0);

    undo.redo();
    undo.redo();
    EXPECT_EQ(x.value, 2);
    EXPECT_FALSE(undo.canRedo());
    // The redone steps are undoable and redoable again.
    undo.undo();
    EXPECT_EQ(x.value, 1);
    undo.redo();
    EXPECT_EQ(x.value, 2);
    EXPECT_EQ(x.calls, (std::vector<std::string>{"1", "2", "u1", "u0", "r1", "r2", "u1", "r2"}));
    EXPECT_FALSE(undo.isUndoing());
    EXPECT_FALSE(undo.isRedoing());
    EXPECT_EQ(undo.groupingLevel(), 0);
}

TEST_F(UndoManagerTest, ExplicitGroupsAreOneStepAndNestedGroupsFoldIntoTheOuterOne) {
    undo.beginUndoGrouping();
    x.set(1);
    undo.beginUndoGrouping();
    EXPECT_EQ(undo.groupingLevel(), 2);
    y.set(1);
    x.set(2);
    undo.endUndoGrouping();
    y.set(2);
    undo.endUndoGrouping();
    EXPECT_EQ(undo.groupingLevel(), 0);

    undo.undo();
    EXPECT_EQ(x.value, 0);
    EXPECT_EQ(y.value, 0);
    EXPECT_FALSE(undo.canUndo());
    // Undone in reverse order of registration, so the oldest value comes back last.
    EXPECT_EQ(x.calls, (std::vector<std::string>{"1", "2", "u1", "u0"}));

    undo.redo();
    EXPECT_EQ(x.value, 2);
    EXPECT_EQ(y.value, 2);
    EXPECT_FALSE(undo.canRedo());
}

TEST_F(UndoManagerTest, AnEmptyGroupIsNoStep) {
    undo.beginUndoGrouping();
    undo.endUndoGrouping();
    EXPECT_FALSE(undo.canUndo());
}

TEST_F(UndoManagerTest, EventGroupLastsUntilTheEndOfThePass) {
    std::vector<std::function<void()>> endOfPass;
    undo.setEventGroupCloser([&](std::function<void()> fn) { endOfPass.push_back(std::move(fn)); });

    x.set(1);
    y.set(1);
    EXPECT_EQ(undo.groupingLevel(), 1);
    ASSERT_EQ(endOfPass.size(), 1u) << "one closer per event group";
    endOfPass[0]();
    EXPECT_EQ(undo.groupingLevel(), 0);

    x.set(2);
    ASSERT_EQ(endOfPass.size(), 2u);
    endOfPass[1]();

    undo.undo();
    EXPECT_EQ(x.value, 1);
    EXPECT_EQ(y.value, 1);
    undo.undo();
    EXPECT_EQ(x.value, 0);
    EXPECT_EQ(y.value, 0);
}

TEST_F(UndoManagerTest, UndoClosesTheOpenEventGroupFirst) {
    event([&] { x.set(1); });
    x.set(2);
    y.set(5);
    EXPECT_TRUE(undo.canUndo());
    undo.undo();
    EXPECT_EQ(undo.groupingLevel(), 0);
    EXPECT_EQ(x.value, 1);
    EXPECT_EQ(y.value, 0);
    undo.redo();
    EXPECT_EQ(x.value, 2);
    EXPECT_EQ(y.value, 5);
}

TEST_F(UndoManagerTest, EventGroupStaysOpenWhileAnExplicitGroupIsOpenInsideIt) {
    std::vector<std::function<void()>> endOfPass;
    undo.setEventGroupCloser([&](std::function<void()> fn) { endOfPass.push_back(std::move(fn)); });

    x.set(1);
    undo.beginUndoGrouping();
    ASSERT_EQ(endOfPass.size(), 1u);
    endOfPass[0]();  // end of the pass while the explicit group is still open
    EXPECT_EQ(undo.groupingLevel(), 2);
    y.set(1);
    undo.endUndoGrouping();
    // A registration in a later pass asks for a closer again, so the group does not swallow
    // every later event.
    ASSERT_EQ(endOfPass.size(), 2u);
    endOfPass[1]();
    EXPECT_EQ(undo.groupingLevel(), 0);

    // An explicit top-level group is not an event group.
    undo.beginUndoGrouping();
    x.set(3);
    undo.closeEventGroup();
    EXPECT_EQ(undo.groupingLevel(), 1);
    undo.endUndoGrouping();
}

TEST(UndoManagerLifetime, CloserRunAfterTheManagerIsGoneDoesNothing) {
    std::function<void()> endOfPass;
    {
        UndoManager undo;
        undo.setEventGroupCloser([&](std::function<void()> fn) { endOfPass = std::move(fn); });
        undo.registerUndo(nullptr, [] {});
    }
    ASSERT_TRUE(endOfPass);
    endOfPass();
}

TEST_F(UndoManagerTest, DisabledRegistrationIsNestedAndRegistersNothing) {
    undo.disableUndoRegistration();
    undo.disableUndoRegistration();
    undo.enableUndoRegistration();
    EXPECT_FALSE(undo.isUndoRegistrationEnabled());
    x.set(1);
    undo.closeEventGroup();
    EXPECT_FALSE(undo.canUndo());
    EXPECT_EQ(undo.groupingLevel(), 0) << "a dropped registration opens no group";
    undo.enableUndoRegistration();
    EXPECT_TRUE(undo.isUndoRegistrationEnabled());
    event([&] { x.set(2); });
    undo.undo();
    EXPECT_EQ(x.value, 1);
    EXPECT_THROW(undo.enableUndoRegistration(), AssertionFailure);
}

TEST_F(UndoManagerTest, NamesAndDiscardabilityBelongToTheirStep) {
    event([&] {
        x.set(1);
        undo.setActionIsDiscardable(true);
    });
    event([&] {
        y.set(1);
        undo.setActionName("Change Mapping");
    });
    EXPECT_EQ(undo.undoActionName(), "Change Mapping");
    EXPECT_FALSE(undo.undoActionIsDiscardable());

    undo.undo();
    EXPECT_EQ(undo.redoActionName(), "Change Mapping") << "the redo step keeps the undone step's name";
    EXPECT_FALSE(undo.redoActionIsDiscardable());
    EXPECT_EQ(undo.undoActionName(), "");
    EXPECT_TRUE(undo.undoActionIsDiscardable());

    undo.undo();
    EXPECT_TRUE(undo.redoActionIsDiscardable());
    undo.redo();
    EXPECT_TRUE(undo.undoActionIsDiscardable());
    EXPECT_EQ(undo.redoActionName(), "Change Mapping");

    // With no group open there is no step to name.
    undo.setActionName("Stray");
    EXPECT_EQ(undo.undoActionName(), "");
}

TEST_F(UndoManagerTest, NamingWhileUndoingNamesTheRedoStep) {
    std::string renamed;
    event([&] {
        undo.registerUndo(this, [&] {
            undo.registerUndo(this, [] {});
            undo.setActionName(renamed);
        });
        undo.setActionName("Set Trigger Mode");
    });
    renamed = "Other";
    undo.undo();
    EXPECT_EQ(undo.redoActionName(), "Other");
}

TEST_F(UndoManagerTest, RemoveAllActionsWithTarget) {
    event([&] { x.set(1); });  // only x: the step goes
    event([&] {
        x.set(2);
        y.set(1);
    });        // mixed: y's part stays
    x.set(3);  // open group: x's registration goes too
    y.set(4);

    undo.removeAllActionsWithTarget(&x);
    undo.undo();  // the open group: y back to 1
    EXPECT_EQ(y.value, 1);
    EXPECT_EQ(x.value, 3);
    undo.undo();  // the mixed step, without x
    EXPECT_EQ(y.value, 0);
    EXPECT_EQ(x.value, 3);
    EXPECT_FALSE(undo.canUndo()) << "the step left empty is gone";

    ASSERT_TRUE(undo.canRedo());
    undo.removeAllActionsWithTarget(&y);  // the redo stack too
    EXPECT_FALSE(undo.canRedo());
}

TEST_F(UndoManagerTest, NewRegistrationClearsRedoButInversesDoNot) {
    event([&] { x.set(1); });
    event([&] { x.set(2); });
    undo.undo();
    undo.undo();
    EXPECT_TRUE(undo.canRedo()) << "registrations while undoing keep the redo stack";
    event([&] { y.set(1); });
    EXPECT_FALSE(undo.canRedo());
    undo.redo();
    EXPECT_EQ(x.value, 0);
}

TEST_F(UndoManagerTest, ChangeHookReportsEachKindOfChange) {
    std::vector<Change> changes;
    undo.setChangeObserver([&](Change c) { changes.push_back(c); });
    event([&] { x.set(1); });
    event([] {});  // nothing registered: no step
    undo.disableUndoRegistration();
    event([&] { x.set(2); });
    undo.enableUndoRegistration();
    undo.undo();
    undo.redo();
    undo.undo();
    event([&] { y.set(1); });
    undo.removeAllActions();
    EXPECT_FALSE(undo.canUndo());
    EXPECT_FALSE(undo.canRedo());
    EXPECT_EQ(changes, (std::vector<Change>{Change::Done, Change::Undone, Change::Redone, Change::Undone, Change::Done,
                                            Change::Cleared}));
}

TEST_F(UndoManagerTest, AThrowingInverseLeavesTheManagerUsable) {
    bool fail = true;
    event([&] {
        undo.registerUndo(this, [&] {
            if (fail) throw std::runtime_error("inverse failed");
        });
        x.set(1);  // undone first, so its redo survives
    });
    EXPECT_THROW(undo.undo(), std::runtime_error);
    EXPECT_FALSE(undo.isUndoing());
    EXPECT_EQ(undo.groupingLevel(), 0);
    EXPECT_EQ(x.value, 0);
    EXPECT_FALSE(undo.canUndo()) << "the failed step is dropped";
    ASSERT_TRUE(undo.canRedo());
    undo.redo();
    EXPECT_EQ(x.value, 1);

    // The same from redo.
    fail = false;
    event([&] {
        undo.registerUndo(this, [&] { undo.registerUndo(this, [] { throw std::runtime_error("redo failed"); }); });
    });
    undo.undo();
    EXPECT_THROW(undo.redo(), std::runtime_error);
    EXPECT_FALSE(undo.isRedoing());
    EXPECT_EQ(undo.groupingLevel(), 0);
    event([&] { x.set(7); });
    undo.undo();
    EXPECT_EQ(x.value, 1);
}

TEST_F(UndoManagerTest, MisuseIsAProgrammingError) {
    EXPECT_THROW(undo.endUndoGrouping(), AssertionFailure);

    undo.beginUndoGrouping();
    undo.beginUndoGrouping();
    x.set(1);
    EXPECT_THROW(undo.undo(), AssertionFailure) << "inside a nested group";
    undo.endUndoGrouping();
    undo.endUndoGrouping();

    undo.setGroupsByEvent(false);
    EXPECT_THROW(x.set(2), AssertionFailure) << "no group to register in";

    undo.setGroupsByEvent(true);
    event([&] { undo.registerUndo(this, [&] { undo.undo(); }); });
    EXPECT_THROW(undo.undo(), AssertionFailure) << "undo from inside undo";
    EXPECT_FALSE(undo.isUndoing());

    // An inverse may not close the step the manager is building.
    event([&] { undo.registerUndo(this, [&] { undo.endUndoGrouping(); }); });
    EXPECT_THROW(undo.undo(), AssertionFailure);
    EXPECT_EQ(undo.groupingLevel(), 0);
}

// Registrations hold model objects; dropping them may run destructors that call back into the
// manager.
struct Tracked {
    explicit Tracked(UndoManager& u) : undo(u) {}
    UndoManager& undo;
    ~Tracked() { undo.removeAllActionsWithTarget(this); }
};

// Holds the object for as long as the step lives, on either stack.
void registerHolding(UndoManager& undo, std::shared_ptr<Tracked> t) {
    Tracked* target = t.get();
    undo.registerUndo(target, [&undo, t = std::move(t)] { registerHolding(undo, t); });
}

TEST(UndoManagerLifetime, ReleasedObjectsMayCallBackIntoTheManager) {
    UndoManager undo;
    auto add = [&] {
        auto t = std::make_shared<Tracked>(undo);
        Tracked* target = t.get();
        registerHolding(undo, std::move(t));
        return target;
    };
    add();
    undo.closeEventGroup();
    add();
    undo.undo();  // the second step moves to the redo stack
    add();        // and is dropped here
    EXPECT_FALSE(undo.canRedo());
    undo.closeEventGroup();

    Tracked* target = add();
    undo.closeEventGroup();
    undo.removeAllActionsWithTarget(target);

    add();
    undo.removeAllActions();
    EXPECT_FALSE(undo.canUndo());

    add();  // released with the manager
}

}  // namespace
