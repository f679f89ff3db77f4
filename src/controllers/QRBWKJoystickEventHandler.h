#pragma once
// Sticks of the extensions (nunchuk, classic controller, guitar, drums, turntable), two floats x
// and y; the guitar's touch strip too. The turntable's right platter and crossfader come as one
// stick event and leave as two messages, each only when its value moved.

#include "controllers/QRBWKEventHandler.h"

class QRBWKJoystickEventHandler : public QRBWKEventHandler {
public:
    static constexpr int kEventType = 3;

    using QRBWKEventHandler::QRBWKEventHandler;
    static QRBWKEventHandlerPtr handlerWithDevice(QRBWiiRemote& device) {
        return std::make_shared<QRBWKJoystickEventHandler>(device);
    }

    int eventType() const override { return kEventType; }
    void handleEvent(const devices::WiiEvent& event) override;

    // The address format of a stick; null for the turntable event and for what names no stick.
    static const char* addressFormat(int source, int subtype);

    double djRightPlatter() const { return djRightPlatter_; }
    double djXFade() const { return djXFade_; }

private:
    // The last values sent; below any reading, so the first of each is always sent.
    double djRightPlatter_ = -1.0;
    double djXFade_ = -1.0;
};
