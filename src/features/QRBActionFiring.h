#pragma once
// One pending fire of an action with a saved input, as a delay schedules it. The action is held
// weakly: one that is gone by then is not fired.

#include "core/mapping/QRBAction.h"
#include "core/osc/QRBArg.h"

#include <memory>

class QRBActionFiring {
public:
    QRBActionFiring(const QRBActionPtr& action, const QRBArg& arg) : action_(action), arg_(arg.copy()) {}

    QRBActionPtr action() const { return action_.lock(); }
    const QRBArgPtr& arg() const { return arg_; }
    // Copies the value.
    void setArg(const QRBArg& arg) { arg_ = arg.copy(); }

    // Fires the action with the saved input; nothing when the action is gone.
    void fire() const;

private:
    std::weak_ptr<QRBAction> action_;
    QRBArgPtr arg_;
};
