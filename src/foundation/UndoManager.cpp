#include "foundation/UndoManager.h"

#include "foundation/Exception.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace foundation {

// Registrations hold model objects strongly. Releasing them can destroy objects whose
// destructors call back into this manager (removeAllActionsWithTarget), so every operation that
// drops registrations moves them out first and lets them go only once the manager's own state is
// consistent again.

UndoManager::UndoManager() : self_(std::make_shared<UndoManager*>(this)) {}

UndoManager::~UndoManager() {
    self_.reset();
    auto undo = std::move(undoStack_);
    auto redo = std::move(redoStack_);
    auto open = std::move(open_);
    undoStack_.clear();
    redoStack_.clear();
    open_ = Group{};
}

void UndoManager::registerUndo(Target target, Action inverse) {
    FND_PARAMETER_ASSERT(inverse != nullptr);
    if (!isUndoRegistrationEnabled()) return;
    if (groupingLevel_ == 0) {
        if (!groupsByEvent_) FND_INTERNAL_ERROR("registerUndo: must begin a group before registering undo");
        beginUndoGrouping();
        eventGroupOpen_ = true;
    }
    std::vector<Group> dropped;
    if (state_ == State::Normal) dropped.swap(redoStack_);
    open_.registrations.push_back({target, std::move(inverse)});

    if (eventGroupOpen_ && !closerPending_ && closer_) {
        closerPending_ = true;
        std::weak_ptr<UndoManager*> weak = self_;
        closer_([weak] {
            if (auto self = weak.lock()) {
                (*self)->closerPending_ = false;
                (*self)->closeEventGroup();
            }
        });
    }
}

void UndoManager::setActionName(std::string name) {
    if (groupingLevel_ > 0) open_.name = std::move(name);
}

void UndoManager::setActionIsDiscardable(bool discardable) {
    if (groupingLevel_ > 0) open_.discardable = discardable;
}

const UndoManager::Group* UndoManager::stepToUndo() const {
    if (state_ == State::Normal && groupingLevel_ > 0 && !open_.registrations.empty()) return &open_;
    return undoStack_.empty() ? nullptr : &undoStack_.back();
}

const UndoManager::Group* UndoManager::stepToRedo() const { return redoStack_.empty() ? nullptr : &redoStack_.back(); }

std::string UndoManager::undoActionName() const {
    const Group* g = stepToUndo();
    return g ? g->name : std::string();
}

std::string UndoManager::redoActionName() const {
    const Group* g = stepToRedo();
    return g ? g->name : std::string();
}

bool UndoManager::undoActionIsDiscardable() const {
    const Group* g = stepToUndo();
    return g && g->discardable;
}

bool UndoManager::redoActionIsDiscardable() const {
    const Group* g = stepToRedo();
    return g && g->discardable;
}

bool UndoManager::canUndo() const { return stepToUndo() != nullptr; }
bool UndoManager::canRedo() const { return stepToRedo() != nullptr; }

void UndoManager::disableUndoRegistration() { ++disableCount_; }

void UndoManager::enableUndoRegistration() {
    if (disableCount_ == 0)
        FND_INTERNAL_ERROR("enableUndoRegistration: called without a matching disableUndoRegistration");
    --disableCount_;
}

void UndoManager::beginUndoGrouping() {
    if (groupingLevel_ == 0) open_ = Group{};
    ++groupingLevel_;
}

void UndoManager::endUndoGrouping() {
    if (groupingLevel_ == 0) FND_INTERNAL_ERROR("endUndoGrouping: called without a matching beginUndoGrouping");
    // While undoing or redoing, level 1 is the step being built on the other stack; only the
    // manager closes it.
    if (state_ != State::Normal && groupingLevel_ == 1)
        FND_INTERNAL_ERROR("endUndoGrouping: called without a matching beginUndoGrouping");
    if (--groupingLevel_ == 0) closeOpenGroup();
}

void UndoManager::closeEventGroup() {
    if (eventGroupOpen_ && groupingLevel_ == 1 && state_ == State::Normal) endUndoGrouping();
}

void UndoManager::closeOpenGroup() {
    eventGroupOpen_ = false;
    Group group = std::move(open_);
    open_ = Group{};
    if (group.registrations.empty()) return;
    switch (state_) {
    case State::Normal:
        undoStack_.push_back(std::move(group));
        notify(Change::Done);
        break;
    case State::Undoing: redoStack_.push_back(std::move(group)); break;
    case State::Redoing: undoStack_.push_back(std::move(group)); break;
    }
}

void UndoManager::undo() {
    if (state_ != State::Normal) FND_INTERNAL_ERROR("undo: called while undoing or redoing");
    if (groupingLevel_ == 1) endUndoGrouping();
    if (groupingLevel_ > 0) FND_INTERNAL_ERROR("undo: called with too many nested undo groups");
    if (undoStack_.empty()) return;
    perform(State::Undoing, undoStack_);
    notify(Change::Undone);
}

void UndoManager::redo() {
    if (state_ != State::Normal) FND_INTERNAL_ERROR("redo: called while undoing or redoing");
    if (groupingLevel_ == 1) endUndoGrouping();
    if (groupingLevel_ > 0) FND_INTERNAL_ERROR("redo: called with too many nested undo groups");
    if (redoStack_.empty()) return;
    perform(State::Redoing, redoStack_);
    notify(Change::Redone);
}

void UndoManager::perform(State state, std::vector<Group>& from) {
    Group step = std::move(from.back());
    from.pop_back();

    // The step on the other stack starts with this step's name and flag; inverses that name
    // their step while undoing or redoing replace them.
    state_ = state;
    groupingLevel_ = 1;
    open_ = Group{{}, step.name, step.discardable};
    try {
        for (auto it = step.registrations.rbegin(); it != step.registrations.rend(); ++it) it->action();
    } catch (...) {
        // Keep what the inverses that ran have registered, so the half-done step can itself be
        // reverted; the model is now in a state no saved document holds, hence Done.
        groupingLevel_ = 0;
        closeOpenGroup();
        state_ = State::Normal;
        notify(Change::Done);
        throw;
    }
    // Inverses are not supposed to leave groups open; fold anything they left into the step.
    groupingLevel_ = 0;
    closeOpenGroup();
    state_ = State::Normal;
}

void UndoManager::removeAllActions() {
    auto undo = std::move(undoStack_);
    auto redo = std::move(redoStack_);
    auto open = std::move(open_.registrations);
    undoStack_.clear();
    redoStack_.clear();
    open_ = Group{};
    notify(Change::Cleared);
}

void UndoManager::removeAllActionsWithTarget(Target target) {
    std::vector<Registration> removed;
    auto strip = [&](Group& group) {
        auto& regs = group.registrations;
        auto keep =
            std::stable_partition(regs.begin(), regs.end(), [&](const Registration& r) { return r.target != target; });
        std::move(keep, regs.end(), std::back_inserter(removed));
        regs.erase(keep, regs.end());
    };
    for (auto* stack : {&undoStack_, &redoStack_}) {
        for (Group& g : *stack) strip(g);
        stack->erase(
            std::remove_if(stack->begin(), stack->end(), [](const Group& g) { return g.registrations.empty(); }),
            stack->end());
    }
    strip(open_);
}

void UndoManager::notify(Change change) {
    if (!changeObserver_) return;
    auto observer = changeObserver_;  // the observer may replace itself
    observer(change);
}

}  // namespace foundation
