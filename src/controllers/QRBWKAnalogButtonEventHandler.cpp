#include "controllers/QRBWKAnalogButtonEventHandler.h"

#include <cmath>

namespace {
constexpr int kClassic = 2, kGuitar = 8, kDrums = 16, kTurntable = 64;
constexpr int kLeftPlatter = 2;
constexpr const char* kLeftPlatterFormat = "/wii/%i/dj/left/platter";
}  // namespace

const char* QRBWKAnalogButtonEventHandler::addressFormat(int source, int subtype) {
    switch (source) {
    case kClassic:
        if (subtype == 1) return "/wii/%i/classic/analog/L";
        if (subtype == 2) return "/wii/%i/classic/analog/R";
        return nullptr;
    case kGuitar: return subtype == 3 ? "/wii/%i/guitar/whammy" : nullptr;
    case kDrums:
        // The drums name a pad by the code of its trigger button.
        switch (subtype) {
        case 0x04: return "/wii/%i/drums/pad/K/velo";
        case 0x20: return "/wii/%i/drums/pad/Y/velo";
        case 0x80: return "/wii/%i/drums/pad/O/velo";
        case 0x10: return "/wii/%i/drums/pad/G/velo";
        case 0x08: return "/wii/%i/drums/pad/B/velo";
        case 0x40: return "/wii/%i/drums/pad/R/velo";
        default: return nullptr;
        }
    case kTurntable:
        if (subtype == 1) return "/wii/%i/dj/effect";
        if (subtype == kLeftPlatter) return kLeftPlatterFormat;
        return nullptr;
    default: return nullptr;
    }
}

void QRBWKAnalogButtonEventHandler::handleEvent(const devices::WiiEvent& event) {
    const char* format = addressFormat(event.source, event.subtype);
    if (!format) return;
    if (format == kLeftPlatterFormat) {
        const double value = platterValue(event.x);
        if (!(std::fabs(value - djLeftPlatter_) >= kChangeEpsilon)) return;
        djLeftPlatter_ = value;
        addMessage(format, {value});
        return;
    }
    addMessage(format, {event.x});
}
