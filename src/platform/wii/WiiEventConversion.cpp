#include "platform/wii/WiiEventConversion.h"

#include <linux/input-event-codes.h>
#include <xwiimote.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

namespace platform::wii {

uint32_t remoteButton(unsigned key) {
    switch (key) {
    case XWII_KEY_LEFT: return 0x0100;
    case XWII_KEY_RIGHT: return 0x0200;
    case XWII_KEY_UP: return 0x0800;
    case XWII_KEY_DOWN: return 0x0400;
    case XWII_KEY_A: return 0x0008;
    case XWII_KEY_B: return 0x0004;
    case XWII_KEY_PLUS: return 0x1000;
    case XWII_KEY_MINUS: return 0x0010;
    case XWII_KEY_HOME: return 0x0080;
    case XWII_KEY_ONE: return 0x0002;
    case XWII_KEY_TWO: return 0x0001;
    default: return 0;
    }
}

uint32_t proControllerButton(unsigned key) {
    switch (key) {
    case XWII_KEY_UP: return 0x0001;
    case XWII_KEY_DOWN: return 0x4000;
    case XWII_KEY_LEFT: return 0x0002;
    case XWII_KEY_RIGHT: return 0x8000;
    case XWII_KEY_MINUS: return 0x1000;
    case XWII_KEY_HOME: return 0x0800;
    case XWII_KEY_PLUS: return 0x0400;
    case XWII_KEY_X: return 0x0008;
    case XWII_KEY_Y: return 0x0020;
    case XWII_KEY_A: return 0x0010;
    case XWII_KEY_B: return 0x0040;
    case XWII_KEY_TL: return 0x2000;
    case XWII_KEY_TR: return 0x0200;
    case XWII_KEY_ZL: return 0x0080;
    case XWII_KEY_ZR: return 0x0004;
    default: return 0;
    }
}

uint32_t extensionButton(int source, unsigned code) {
    static const std::map<std::pair<int, unsigned>, uint32_t> table = {
        {{Nunchuk, BTN_C}, 0x0002},        {{Nunchuk, BTN_Z}, 0x0001},      {{Classic, KEY_UP}, 0x0001},
        {{Classic, KEY_DOWN}, 0x4000},     {{Classic, KEY_LEFT}, 0x0002},   {{Classic, KEY_RIGHT}, 0x8000},
        {{Classic, KEY_PREVIOUS}, 0x1000}, {{Classic, BTN_SELECT}, 0x1000}, {{Classic, BTN_MODE}, 0x0800},
        {{Classic, KEY_NEXT}, 0x0400},     {{Classic, BTN_START}, 0x0400},  {{Classic, BTN_X}, 0x0008},
        {{Classic, BTN_Y}, 0x0020},        {{Classic, BTN_A}, 0x0010},      {{Classic, BTN_B}, 0x0040},
        {{Classic, BTN_TL}, 0x2000},       {{Classic, BTN_TR}, 0x0200},     {{Classic, BTN_TL2}, 0x0080},
        {{Classic, BTN_TR2}, 0x0004},      {{Guitar, BTN_START}, 0x0400},   {{Guitar, BTN_SELECT}, 0x1000},
        {{Guitar, BTN_DPAD_DOWN}, 0x4000}, {{Guitar, BTN_DPAD_UP}, 0x0001}, {{Guitar, BTN_1}, 0x0010},  // green
        {{Guitar, BTN_2}, 0x0040},                                                                      // red
        {{Guitar, BTN_3}, 0x0008},                                                                      // yellow
        {{Guitar, BTN_4}, 0x0020},                                                                      // blue
        {{Guitar, BTN_5}, 0x0080},                                                                      // orange
    };
    auto it = table.find({source, code});
    return it == table.end() ? 0 : it->second;
}

double accelerometerValue(int32_t raw) { return std::clamp(0.5 + raw / 1024.0, 0.0, 1.0); }

double normalised(int32_t value, int32_t minimum, int32_t maximum) {
    if (maximum <= minimum) return 0.5;
    return std::clamp((static_cast<double>(value) - minimum) / (static_cast<double>(maximum) - minimum), 0.0, 1.0);
}

devices::WiiEvent irEvent(const IRSource (&sources)[4]) {
    constexpr double kWidth = 1023, kHeight = 767;
    devices::WiiEvent event;
    event.type = IRCamera;
    double sumX = 0, sumY = 0;
    int used = 0;
    for (const auto& source : sources) {
        devices::WiiEvent::IRPoint point;
        point.visible = source.valid;
        if (source.valid) {
            point.x = std::clamp(source.x / kWidth, 0.0, 1.0);
            point.y = std::clamp(source.y / kHeight, 0.0, 1.0);
            if (used < 2) {
                sumX += point.x;
                sumY += point.y;
                ++used;
            }
        }
        event.points.push_back(point);
    }
    if (used > 0) {
        event.pointerX = 2 * (sumX / used) - 1;
        event.pointerY = 2 * (sumY / used) - 1;
    }
    return event;
}

std::optional<int64_t> extensionType(const std::string& name) {
    static const std::map<std::string, int64_t> types = {
        {"nunchuk", Nunchuk},
        {"classic", Classic},
        {"procontroller", Classic},
        {"balanceboard", BalanceBoard},
        {"guitar", Guitar},
        {"drums", Drums},
        {"motionp", MotionPlus},
        {"motionp+nunchuk", MotionPlus},
        {"motionp+classic", MotionPlus},
    };
    auto it = types.find(name);
    if (it == types.end()) return std::nullopt;
    return it->second;
}

devices::WiiEvent batteryStatusEvent(int percent, std::optional<int64_t> extension) {
    devices::WiiEvent event;
    event.type = Status;
    event.subtype = kBatteryStatus;
    event.source = Remote;
    const double full = extension == BalanceBoard ? kFullBalanceBoardBatteryStatus : kFullBatteryStatus;
    event.status = static_cast<uint64_t>(std::lround(std::clamp(percent, 0, 100) * full / 100.0));
    return event;
}

int extensionSourceForNodeName(const std::string& name) {
    static const std::map<std::string, int> sources = {
        {XWII_NAME_NUNCHUK, Nunchuk},
        {XWII_NAME_CLASSIC_CONTROLLER, Classic},
        {"Nintendo Wii Remote Guitar", Guitar},
    };
    auto it = sources.find(name);
    return it == sources.end() ? -1 : it->second;
}

}  // namespace platform::wii
