#include "features/QRBActionFiring.h"

void QRBActionFiring::fire() const {
    if (auto action = action_.lock()) action->fire(*arg_);
}
