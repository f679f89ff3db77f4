#pragma once
// The action of one argument of a multi-argument message. Firing it fires the action and then the
// rest of its chain, unless an output halted the chain during the fire (an output that resumes
// the chain later, such as a delay, does so).

#include "core/QRBAction.h"

class QRBConcreteAction;
using QRBConcreteActionPtr = std::shared_ptr<QRBConcreteAction>;

class QRBConcreteAction : public QRBAction {
    FND_ARCHIVED_CLASS("QRBConcreteAction", QRBAction)

public:
    QRBConcreteAction() = default;

    using QRBAction::fire;
    void fire() override;

    // Called by an output during a fire: the chain stops after this action.
    void haltFiring() { shouldHaltFiring_ = true; }
    bool shouldHaltFiring() const { return shouldHaltFiring_; }

private:
    bool shouldHaltFiring_ = false;
};
