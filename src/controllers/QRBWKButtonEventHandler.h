#pragma once
// Button changes of a Wii remote and its extensions: one float, 1 while the button is down and 0
// once it is up, under the button's address ("/wii/<slot>/button/A", "/wii/<slot>/nunchuk/button/C",
// ...). A button the tables do not name sends nothing.

#include "controllers/QRBWKEventHandler.h"

class QRBWKButtonEventHandler : public QRBWKEventHandler {
public:
    static constexpr int kEventType = 0;

    using QRBWKEventHandler::QRBWKEventHandler;
    static QRBWKEventHandlerPtr handlerWithDevice(QRBWiiRemote& device) {
        return std::make_shared<QRBWKButtonEventHandler>(device);
    }

    int eventType() const override { return kEventType; }
    void handleEvent(const devices::WiiEvent& event) override;

    // The address format of a button of a source (0 the remote, 1 nunchuk, 2 classic, 8 guitar,
    // 16 drums, 64 turntable); null when it has none.
    static const char* addressFormat(int source, uint32_t button);
};
