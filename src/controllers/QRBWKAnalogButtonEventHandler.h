#pragma once
// Analog buttons of the extensions: the classic controller's shoulders, the guitar's whammy bar,
// the drums' pad velocities and the turntable's effect dial and left platter, one float each.
// A platter at rest reads 0.5 and is sent only when it moves, so a resting turntable does not
// flood the routing with the same value a hundred times a second.

#include "controllers/QRBWKEventHandler.h"

class QRBWKAnalogButtonEventHandler : public QRBWKEventHandler {
public:
    static constexpr int kEventType = 4;

    using QRBWKEventHandler::QRBWKEventHandler;
    static QRBWKEventHandlerPtr handlerWithDevice(QRBWiiRemote& device) {
        return std::make_shared<QRBWKAnalogButtonEventHandler>(device);
    }

    int eventType() const override { return kEventType; }
    void handleEvent(const devices::WiiEvent& event) override;

    // The address format of an analog button; null when the source and subtype name none.
    static const char* addressFormat(int source, int subtype);
    // A platter's reading centred on its rest: 0.5 at rest, below when turned one way, above the
    // other.
    static double platterValue(double x) { return x > 0.5 ? x - 0.5 : x + 0.5; }
    // Doubles count as changed from this difference on.
    static constexpr double kChangeEpsilon = 0x1p-52;

    double djLeftPlatter() const { return djLeftPlatter_; }

private:
    // The last left platter value sent; below any reading, so the first is always sent.
    double djLeftPlatter_ = -1.0;
};
