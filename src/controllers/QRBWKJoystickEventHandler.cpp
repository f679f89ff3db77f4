#include "controllers/QRBWKJoystickEventHandler.h"

#include "controllers/QRBWKAnalogButtonEventHandler.h"

#include <cmath>

namespace {
constexpr int kNunchuk = 1, kClassic = 2, kGuitar = 8, kDrums = 16, kTurntable = 64;
constexpr int kGuitarStrip = 4;
constexpr int kTurntableEvent = 2;

bool moved(double value, double last) {
    // NaN never counts as moved: it is not sent and not remembered.
    return std::fabs(value - last) >= QRBWKAnalogButtonEventHandler::kChangeEpsilon;
}
}  // namespace

const char* QRBWKJoystickEventHandler::addressFormat(int source, int subtype) {
    switch (source) {
    case kNunchuk: return "/wii/%i/nunchuk/joy";
    case kClassic:
        if (subtype == 1) return "/wii/%i/classic/joyl";
        if (subtype == 2) return "/wii/%i/classic/joyr";
        return nullptr;
    case kGuitar: return subtype == kGuitarStrip ? "/wii/%i/guitar/strip" : "/wii/%i/guitar/stick";
    case kDrums: return "/wii/%i/drums/stick";
    case kTurntable: return subtype == 1 ? "/wii/%i/dj/joy" : nullptr;
    default: return nullptr;
    }
}

void QRBWKJoystickEventHandler::handleEvent(const devices::WiiEvent& event) {
    if (event.source == kTurntable && event.subtype == kTurntableEvent) {
        const double platter = QRBWKAnalogButtonEventHandler::platterValue(event.x);
        if (moved(platter, djRightPlatter_)) {
            djRightPlatter_ = platter;
            addMessage("/wii/%i/dj/right/platter", {platter});
        }
        if (moved(event.y, djXFade_)) {
            djXFade_ = event.y;
            addMessage("/wii/%i/dj/xfade", {event.y});
        }
        return;
    }
    if (const char* format = addressFormat(event.source, event.subtype)) addMessage(format, {event.x, event.y});
}
