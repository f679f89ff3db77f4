#include "controllers/QRBWiiMotionPlusReset.h"

#include "controllers/QRBWiiRemote.h"
#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBTrigger.h"

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBWiiMotionPlusReset)

void QRBWiiMotionPlusReset::attach(QRBAction& action) {
    QRBWiiAbstractEventSource::attach(action);
    if (const auto& trigger = action.trigger()) trigger->setMode(QRBTrigger::kDown);
}

QRBAcceptResult QRBWiiMotionPlusReset::executeAction(QRBAction&, QRBWiiRemote& wiimote) {
    auto* connection = wiimote.device();
    const auto extension = connection ? connection->extensionType() : std::nullopt;
    if (!extension) return QRBAcceptResult::Nothing;
    if (*extension != devices::WiiRemoteConnection::kMotionPlusExtension) return QRBAcceptResult::Failed;
    connection->resetMotionPlusTracking();
    return QRBAcceptResult::Done;
}
