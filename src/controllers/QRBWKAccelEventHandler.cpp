#include "controllers/QRBWKAccelEventHandler.h"

#include "controllers/QRBWiiRemote.h"
#include "foundation/Exception.h"

#include <cmath>
#include <numbers>

namespace {
constexpr int kRemote = 0, kNunchuk = 1;

[[noreturn]] void invalidSource(const char* operation) {
    foundation::raise(foundation::kGenericException, std::string(operation) + ": invalid event source");
}
}  // namespace

QRBWKAccelEventHandler::QRBWKAccelEventHandler(QRBWiiRemote& device) : QRBWKSmoothedEventHandler(device) {
    makeFilters();
}

void QRBWKAccelEventHandler::initFilters(std::vector<ZZLowPassWindow>& filters) {
    filters.assign(2 * kFiltersPerSource, ZZLowPassWindow());
    for (size_t base : {size_t{0}, kFiltersPerSource}) {
        // x, y, z and the magnitude stay within 0..1; the angles are computed within it.
        for (size_t i : {base + 0, base + 1, base + 2, base + 6}) filters[i].setClipsTo01Input(true);
    }
}

const char* QRBWKAccelEventHandler::cachedXYZMethod(int source) {
    if (source == kRemote) return cachedOSCMethodForField("/wii/%i/accel/xyz");
    if (source == kNunchuk) return cachedOSCMethodForField("/wii/%i/nunchuk/accel/xyz");
    invalidSource("cachedXYZMethod");
}

const char* QRBWKAccelEventHandler::cachedPRYMethod(int source) {
    if (source == kRemote) return cachedOSCMethodForField("/wii/%i/accel/pry");
    if (source == kNunchuk) return cachedOSCMethodForField("/wii/%i/nunchuk/accel/pry");
    invalidSource("cachedPRYMethod");
}

void QRBWKAccelEventHandler::handleEvent(const devices::WiiEvent& event) {
    // Only the remote and the nunchuk have accelerometers; anything else is passed over.
    if (event.source != kRemote && event.source != kNunchuk) return;
    const size_t s = static_cast<size_t>(event.source);
    const size_t b = s * kFiltersPerSource;
    const QRBWiiRemote& slot = device();
    if (slot.outputXYZ()) {
        const double x = filter(b + 0).filter(event.x);
        const double y = filter(b + 1).filter(event.y);
        const double z = filter(b + 2).filter(event.z);
        addMessageAt(cachedXYZMethod(event.source), {x, y, z});
    }
    if (!slot.outputPRY()) return;
    const double X = 2.0 * event.x - 1.0, Y = 2.0 * event.y - 1.0, Z = 2.0 * event.z - 1.0;
    const double aX = std::fabs(X), aY = std::fabs(Y), aZ = std::fabs(Z);
    constexpr double pi = std::numbers::pi;
    if (aZ > kDeadZone || aY > kDeadZone) pitch_[s] = 0.5 - std::atan2(Y, aZ) / pi;
    if (aZ > kDeadZone || aX > kDeadZone) roll_[s] = 0.5 + std::atan2(X, aZ) / pi;
    if (aX > kDeadZone || aY > kDeadZone) yaw_[s] = 0.5 + std::atan2(X, aY) / pi;
    const double magnitude = std::sqrt(X * X + Y * Y + Z * Z);
    const double p = filter(b + 3).filter(pitch_[s]);
    const double r = filter(b + 4).filter(roll_[s]);
    const double w = filter(b + 5).filter(yaw_[s]);
    const double m = filter(b + 6).filter(magnitude);
    addMessageAt(cachedPRYMethod(event.source), {p, r, w, m});
}
