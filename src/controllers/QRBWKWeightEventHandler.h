#pragma once
// The balance board: one message "/wii/<slot>/balance" with the four sensors (in the order the
// board's corners are named by: bottom left, bottom right, top left, top right), their sum, and
// where the load's centre lies on the board, x and y from 0 to 1 (0.5 for an even load).

#include "controllers/QRBWKEventHandler.h"

class QRBWKWeightEventHandler : public QRBWKEventHandler {
public:
    static constexpr int kEventType = 7;

    using QRBWKEventHandler::QRBWKEventHandler;
    static QRBWKEventHandlerPtr handlerWithDevice(QRBWiiRemote& device) {
        return std::make_shared<QRBWKWeightEventHandler>(device);
    }

    int eventType() const override { return kEventType; }
    void handleEvent(const devices::WiiEvent& event) override;
};
