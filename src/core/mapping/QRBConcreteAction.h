#pragma once
// The action of one argument of a multi-argument message. It can hold duplicates (QRBDupAction):
// further mappings of the same argument, each with its own scaling, cap, trigger and output.
// Firing it fires the action and then each duplicate in list order, as a chain that an output can
// halt during its fire (an output that resumes the chain later, such as a delay, fires the next
// duplicate itself).

#include "core/mapping/QRBAction.h"

class QRBConcreteAction;
using QRBConcreteActionPtr = std::shared_ptr<QRBConcreteAction>;

class QRBConcreteAction : public QRBAction {
    FND_ARCHIVED_CLASS("QRBConcreteAction", QRBAction)

public:
    QRBConcreteAction() = default;

    using QRBAction::fire;
    void fire() override;

    // Called by an output during a fire: the chain stops after this action, for this fire only.
    void haltFiring() { shouldHaltFiring_ = true; }
    bool shouldHaltFiring() const { return shouldHaltFiring_; }

    // ---- duplicates
    // The duplicates, in firing order.
    const std::vector<QRBActionPtr>& actions() const override { return dups_; }
    // A new duplicate with this action's output and settings, appended to the chain.
    QRBDupActionPtr dup() override;
    // A low duplicate named "<name> (lo)" that maps the lower half of the input range downwards
    // from the midpoint, and a high one "<name> (hi)" for the upper half, both capped; answers
    // the high one. This action keeps its own output and range.
    QRBDupActionPtr split() override;
    // Appends a duplicate (undoable): it becomes this action's.
    void addActionsObject(const QRBDupActionPtr& dup);
    // Takes a duplicate out of the chain (undoable; the undo puts it back where it was).
    void removeActionsObject(const QRBDupActionPtr& dup);
    void removeDup(const QRBDupActionPtr& dup) { removeActionsObject(dup); }
    // A duplicate's index in the chain; one that is not in it is an internal error.
    size_t dupRankOf(const QRBDupAction& dup) const;
    // The duplicate after `dup`, or null after the last or for one not in the chain.
    QRBDupActionPtr dupAfter(const QRBDupAction& dup) const;
    // The duplicate that fires after this action: a master's first, a duplicate's next.
    virtual QRBDupActionPtr nextDup() const;

    // ---- editing: the row shows its duplicates below it, and is always expanded.
    bool shouldExpand() const override { return !dups_.empty(); }
    bool isExpanded() const override { return true; }

    // ---- the rest of the model, passed on to every duplicate
    foundation::Array pathComponents() const override;
    bool hasAssignedEventSource() const override;
    void invalidate() override;
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) override;
    void setContext(const QRBContextPtr& context) override;
    void mergeEventSourceFromOSCManager(const std::shared_ptr<QRBActionHost>& source,
                                        const std::shared_ptr<QRBActionHost>& destination) override;
    void willLeavePreset(const QRBPreset* preset) override;
    void didRestorePreset(const QRBPreset* preset) override;

    // "QRBActionDupActions" after the action's keys.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

protected:
    QRBActionPtr makeEmptyCopy() const override;
    void copyInto(QRBAction& copy) const override;
    friend class QRBDupAction;

    // Fires the duplicates from `index` on, each with the input of the one fired before it,
    // until the end of the chain or a halt.
    void fireDuplicatesFrom(size_t index, QRBActionPtr previous);
    // Whether an output halted the chain during the fire that just ran; clears the request.
    bool consumeHalt() {
        const bool halted = shouldHaltFiring_;
        shouldHaltFiring_ = false;
        return halted;
    }

private:
    // Puts a duplicate back at `index` (clamped): the undo of a removal.
    void insertDup(const QRBDupActionPtr& dup, size_t index);

    std::vector<QRBActionPtr> dups_;  // every entry is a QRBDupAction
    bool shouldHaltFiring_ = false;
};
