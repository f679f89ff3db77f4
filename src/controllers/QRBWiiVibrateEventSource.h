#pragma once
// Rumbles a Wii remote while the action's value is pressed (above its threshold) and stops when
// it is released.

#include "controllers/QRBWiiAbstractEventSource.h"

class QRBWiiVibrateEventSource : public QRBWiiAbstractEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBWiiVibrateEventSource", QRBWiiAbstractEventSource)

public:
    static foundation::Value classProposedEventSourcesCollection(const QRBAction*) {
        return proposalsOfClass<QRBWiiVibrateEventSource>();
    }

    // Fires on presses and releases.
    void attach(QRBAction& action) override;
    // An action let go while pressed would leave the remote rumbling: it is released first.
    void detach(QRBAction& action) override;
    QRBAcceptResult executeAction(QRBAction& action, QRBWiiRemote& wiimote) override;
};
