#pragma once
// MotionPlus: the tracked angles under "/wii/<slot>/motion/angles", and the raw rotation rates
// under "/wii/<slot>/motion/velo" when the slot asks for them.

#include "controllers/QRBWKEventHandler.h"

class QRBWKMotionPlusEventHandler : public QRBWKEventHandler {
public:
    static constexpr int kEventType = 8;

    using QRBWKEventHandler::QRBWKEventHandler;
    static QRBWKEventHandlerPtr handlerWithDevice(QRBWiiRemote& device) {
        return std::make_shared<QRBWKMotionPlusEventHandler>(device);
    }

    int eventType() const override { return kEventType; }
    void handleEvent(const devices::WiiEvent& event) override;
};
