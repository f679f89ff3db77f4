#pragma once
// Resets the tracking of the MotionPlus attached to a Wii remote when the action's value is
// pressed, so that the current orientation becomes the reference.

#include "controllers/QRBWiiAbstractEventSource.h"

class QRBWiiMotionPlusReset : public QRBWiiAbstractEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBWiiMotionPlusReset", QRBWiiAbstractEventSource)

public:
    static foundation::Value classProposedEventSourcesCollection(const QRBAction*) {
        return proposalsOfClass<QRBWiiMotionPlusReset>();
    }

    // Fires on presses only.
    void attach(QRBAction& action) override;
    // Nothing without an extension, done with a MotionPlus, failed with any other extension.
    QRBAcceptResult executeAction(QRBAction& action, QRBWiiRemote& wiimote) override;
};
