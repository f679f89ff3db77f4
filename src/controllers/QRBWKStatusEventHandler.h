#pragma once
// Status reports of a remote: the MotionPlus calibration's progress (shown by the manager), an
// extension plugged or pulled (the slot sets the MotionPlus up again), and the battery level,
// kept by the slot in percent and sent as 0 to 1 under "/wii/<slot>/battery" when the slot asks.

#include "controllers/QRBWKEventHandler.h"

class QRBWKStatusEventHandler : public QRBWKEventHandler {
public:
    static constexpr int kEventType = 6;
    // Subtypes.
    static constexpr int kBattery = 3;
    static constexpr int kExtensionChanged = 5;
    static constexpr int kMotionPlusCalibration = 6;
    // A full battery reads 96, or 192 with the extension of this type attached.
    static constexpr int64_t kDoubleScaleExtension = 4;

    using QRBWKEventHandler::QRBWKEventHandler;
    static QRBWKEventHandlerPtr handlerWithDevice(QRBWiiRemote& device) {
        return std::make_shared<QRBWKStatusEventHandler>(device);
    }

    int eventType() const override { return kEventType; }
    void handleEvent(const devices::WiiEvent& event) override;
};
