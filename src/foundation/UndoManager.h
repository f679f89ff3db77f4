#pragma once
// The undo manager of a document.
//
// Model setters register the inverse of each change as a closure that holds what it needs
// (captured shared_ptrs and values). Registrations are collected into groups; one group is one
// step of Undo or Redo for the user. While a group is being undone, the inverses it runs
// register their own inverses, and those form the matching Redo step (and the other way round
// while redoing), so a setter written as
//
//     void setX(double v) {
//         double old = x_;
//         undo.registerUndo(this, [this, old] { setX(old); });
//         x_ = v;
//     }
//
// is undoable and redoable without further work.
//
// Grouping by event: with groupsByEvent on (the default), the first registration outside any
// explicit group opens a group that is closed at the end of the current pass of the main run
// loop, so that everything one user event changes is one step. The manager does not know the run
// loop; its owner installs an event-group closer that runs a function at the end of the current
// pass (tests call closeEventGroup() themselves).
//
// Main thread only.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace foundation {

class UndoManager {
public:
    // What happened to the undo history, for the document's change count.
    enum class Change {
        Done,     // a new step was closed (or a step failed halfway through undo or redo)
        Undone,   // a step was undone
        Redone,   // a step was redone
        Cleared,  // removeAllActions
    };

    using Target = const void*;
    using Action = std::function<void()>;
    using ChangeObserver = std::function<void(Change)>;
    // Runs the given function at the end of the current pass of the main run loop.
    using EventGroupCloser = std::function<void(std::function<void()>)>;

    UndoManager();
    ~UndoManager();
    UndoManager(const UndoManager&) = delete;
    UndoManager& operator=(const UndoManager&) = delete;

    // Registers the inverse of a change. `target` identifies the object the inverse acts on,
    // for removeAllActionsWithTarget. Dropped while registration is disabled. Outside undo and
    // redo it clears the redo stack.
    void registerUndo(Target target, Action inverse);

    // Name and discardability of the group being built (the open group; while undoing, the
    // Redo step being built, which starts with the undone step's name and flag). Ignored when
    // no group is open.
    void setActionName(std::string name);
    void setActionIsDiscardable(bool discardable);

    // The step undo() or redo() would perform: "" / false when there is none.
    std::string undoActionName() const;
    std::string redoActionName() const;
    bool undoActionIsDiscardable() const;
    bool redoActionIsDiscardable() const;

    // Nested: registration is enabled again after as many enables as disables.
    void disableUndoRegistration();
    void enableUndoRegistration();
    bool isUndoRegistrationEnabled() const { return disableCount_ == 0; }

    void beginUndoGrouping();
    void endUndoGrouping();
    int groupingLevel() const { return groupingLevel_; }
    // How many inverses the open group holds (0 when none is open): a user command compares the
    // count before and after to learn whether it changed anything.
    size_t openGroupRegistrationCount() const { return groupingLevel_ > 0 ? open_.registrations.size() : 0; }

    bool groupsByEvent() const { return groupsByEvent_; }
    void setGroupsByEvent(bool on) { groupsByEvent_ = on; }
    void setEventGroupCloser(EventGroupCloser closer) { closer_ = std::move(closer); }
    // Closes the group opened by a registration outside any explicit group, if it is open and
    // no explicit group is open inside it.
    void closeEventGroup();

    bool isUndoing() const { return state_ == State::Undoing; }
    bool isRedoing() const { return state_ == State::Redoing; }
    // Also true for an open top-level group with registrations, which undo() closes first.
    bool canUndo() const;
    bool canRedo() const;

    // Undoes or redoes one step, closing an open top-level group first. Calling either while
    // undoing or redoing, or inside a nested group, is a programming error. When an inverse
    // throws, the step is dropped, the inverses of what had already run form the step on the
    // other stack, and the exception propagates.
    void undo();
    void redo();

    // Clears both stacks and the group being built (the grouping level is kept, so open
    // begin/end pairs stay balanced).
    void removeAllActions();
    // Removes every registration for the target; steps left empty disappear.
    void removeAllActionsWithTarget(Target target);

    void setChangeObserver(ChangeObserver observer) { changeObserver_ = std::move(observer); }

private:
    enum class State { Normal, Undoing, Redoing };

    struct Registration {
        Target target;
        Action action;
    };
    struct Group {
        std::vector<Registration> registrations;
        std::string name;
        bool discardable = false;
    };

    const Group* stepToUndo() const;
    const Group* stepToRedo() const;
    void closeOpenGroup();
    void perform(State state, std::vector<Group>& from);
    void notify(Change change);

    std::vector<Group> undoStack_;
    std::vector<Group> redoStack_;
    Group open_;  // meaningful while groupingLevel_ > 0
    int groupingLevel_ = 0;
    int disableCount_ = 0;
    State state_ = State::Normal;
    bool groupsByEvent_ = true;
    bool eventGroupOpen_ = false;
    bool closerPending_ = false;
    EventGroupCloser closer_;
    ChangeObserver changeObserver_;
    // Lets a scheduled closer find out that the manager is gone.
    std::shared_ptr<UndoManager*> self_;
};

}  // namespace foundation
