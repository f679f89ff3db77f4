#include "controllers/QRBWKIREventHandler.h"

#include "controllers/QRBWiiRemote.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr const char* kPointFormats[QRBWKIREventHandler::kMaxPoints] = {"/wii/%i/ir/xys/1", "/wii/%i/ir/xys/2",
                                                                        "/wii/%i/ir/xys/3", "/wii/%i/ir/xys/4"};

bool isPosition(double v) { return !std::isnan(v) && std::fabs(v - QRBWKIREventHandler::kNoPosition) >= 0x1p-52; }
}  // namespace

QRBWKIREventHandler::QRBWKIREventHandler(QRBWiiRemote& device) : QRBWKSmoothedEventHandler(device) { makeFilters(); }

void QRBWKIREventHandler::initFilters(std::vector<ZZLowPassWindow>& filters) {
    filters.assign(2 + 2 * kMaxPoints, ZZLowPassWindow());
    // The pointer comes from -1 to 1 and leaves from 0 to 1.
    for (size_t i : {0, 1}) {
        filters[i].setMapsTo01Input(true);
        filters[i].setClipsTo01Input(true);
    }
}

void QRBWKIREventHandler::handleEvent(const devices::WiiEvent& event) {
    const QRBWiiRemote& slot = device();
    if (slot.outputRawIR()) {
        const size_t count = std::min(event.points.size(), kMaxPoints);
        for (size_t j = 1; j <= count; ++j) {
            const auto& point = event.points[j - 1];
            ZZLowPassWindow& fx = filter(2 * j);
            ZZLowPassWindow& fy = filter(2 * j + 1);
            if (point.visible) {
                const double x = fx.filter(point.x);
                const double y = fy.filter(point.y);
                addMessage(kPointFormats[j - 1], {x, y, (point.size + 1) * 0.0625});
            } else {
                addMessage(kPointFormats[j - 1], {fx.currentValue(), fy.currentValue(), 0.0});
            }
        }
    }
    if (slot.outputIR() && isPosition(event.pointerX) && isPosition(event.pointerY))
        addMessage("/wii/%i/ir", {filter(0).filter(event.pointerX), filter(1).filter(event.pointerY)});
}
