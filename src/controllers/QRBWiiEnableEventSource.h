#pragma once
// Switches a Wii remote's slot on while the action's value is pressed and off once released. The
// slot records the change on the document's undo manager like a change made by hand.

#include "controllers/QRBWiiAbstractEventSource.h"

class QRBWiiEnableEventSource : public QRBWiiAbstractEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBWiiEnableEventSource", QRBWiiAbstractEventSource)

public:
    static foundation::Value classProposedEventSourcesCollection(const QRBAction*) {
        return proposalsOfClass<QRBWiiEnableEventSource>();
    }

    // Fires on presses and releases.
    void attach(QRBAction& action) override;
    QRBAcceptResult executeAction(QRBAction& action, QRBWiiRemote& wiimote) override;
};
