#include "controllers/QRBWiiVibrateEventSource.h"

#include "controllers/QRBWiiRemote.h"
#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBTrigger.h"
#include "core/osc/QRBArg.h"

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBWiiVibrateEventSource)

void QRBWiiVibrateEventSource::attach(QRBAction& action) {
    QRBWiiAbstractEventSource::attach(action);
    if (const auto& trigger = action.trigger()) trigger->setMode(QRBTrigger::kEither);
}

void QRBWiiVibrateEventSource::detach(QRBAction& action) {
    if (QRBTrigger::isArgValueAboveThreshold(action)) {
        // Released the way a controller would release it, so the action's state follows too.
        action.fire(*QRBArg::argOfTypeWithDoubleValue(action.internalArgType(), action.inputMin()));
        // A fire the action holds back (a disabled action, an input cap) would leave the remote
        // rumbling with nothing left to stop it.
        if (auto wiimote = wiimoteForAction(action)) wiimote->vibrate(false);
    }
    QRBWiiAbstractEventSource::detach(action);
}

QRBAcceptResult QRBWiiVibrateEventSource::executeAction(QRBAction& action, QRBWiiRemote& wiimote) {
    wiimote.vibrate(QRBTrigger::isArgValueAboveThreshold(action));
    return QRBAcceptResult::Done;
}
