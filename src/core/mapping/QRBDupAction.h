#pragma once
// A further mapping of a concrete action's argument: it fires after its master (and after the
// duplicates before it) with the same input, through its own scaling, cap, trigger and output.
// Its context is always its master's; it has no duplicates of its own.

#include "core/mapping/QRBConcreteAction.h"

class QRBDupAction : public QRBConcreteAction {
    FND_ARCHIVED_CLASS("QRBDupAction", QRBConcreteAction)

public:
    QRBDupAction() = default;

    std::shared_ptr<QRBConcreteAction> masterAction() const { return master_.lock(); }
    // Also makes the master's context this duplicate's (none without a master).
    void setMasterAction(const std::shared_ptr<QRBConcreteAction>& master);

    using QRBConcreteAction::fire;
    // Its own fire, then the duplicates after it in the master's chain.
    void fire() override;
    QRBDupActionPtr nextDup() const override;
    // A copy of this duplicate (its output and settings) at the end of the master's chain; null
    // without a master.
    QRBDupActionPtr dup() override;
    // The master's rank.
    long rank() const override;
    // "<master's rank>▸ <index in the chain>".
    std::string rankString() const override;
    // The master's path, then the index in the chain.
    foundation::Array pathComponents() const override;
    // Leaves the master's chain (undoable), then releases the logger, output and trigger.
    void invalidate() override;

    // "QRBDupActionMaster" (conditional) after the concrete action's keys.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

protected:
    QRBActionPtr makeEmptyCopy() const override;

private:
    std::weak_ptr<QRBConcreteAction> master_;
};
