#include "controllers/QRBWiiEnableEventSource.h"

#include "controllers/QRBWiiRemote.h"
#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBTrigger.h"

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBWiiEnableEventSource)

void QRBWiiEnableEventSource::attach(QRBAction& action) {
    QRBWiiAbstractEventSource::attach(action);
    if (const auto& trigger = action.trigger()) trigger->setMode(QRBTrigger::kEither);
}

QRBAcceptResult QRBWiiEnableEventSource::executeAction(QRBAction& action, QRBWiiRemote& wiimote) {
    wiimote.setEnabled(QRBTrigger::isArgValueAboveThreshold(action));
    return QRBAcceptResult::Done;
}
