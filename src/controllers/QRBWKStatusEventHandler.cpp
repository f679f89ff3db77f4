#include "controllers/QRBWKStatusEventHandler.h"

#include "controllers/QRBWiiRemote.h"
#include "controllers/QRBWiiRemoteManager.h"

#include <algorithm>

namespace {
constexpr int kRemote = 0;
constexpr int kMotionPlus = 32;
}  // namespace

void QRBWKStatusEventHandler::handleEvent(const devices::WiiEvent& event) {
    QRBWiiRemote& slot = device();
    if (event.subtype == kMotionPlusCalibration && event.source == kMotionPlus) {
        if (auto* manager = slot.manager()) manager->notifyCalibration(event.status);
    } else if (event.subtype == kExtensionChanged && event.source == kRemote) {
        slot.updateMotionPlus();
    } else if (event.subtype == kBattery) {
        const auto* connection = slot.device();
        const bool doubleScale = connection && connection->extensionType() == kDoubleScaleExtension;
        const double full = doubleScale ? 192.0 : 96.0;
        // The status is an unsigned count: divided as a double it cannot overflow.
        const double level = std::min(100.0, static_cast<double>(event.status) * 100.0 / full);
        slot.setBatteryLevel(static_cast<float>(level));
        if (slot.outputBatteryLevel()) addMessage("/wii/%i/battery", {level / 100.0});
    }
}
