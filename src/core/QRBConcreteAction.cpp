#include "core/QRBConcreteAction.h"

FND_REGISTER_CLASS(QRBConcreteAction)

void QRBConcreteAction::fire() {
    QRBAction::fire();
    // The halt lives for one fire.
    if (shouldHaltFiring_) {
        shouldHaltFiring_ = false;
        return;
    }
}
