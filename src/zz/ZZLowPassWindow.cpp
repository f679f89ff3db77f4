#include "zz/ZZLowPassWindow.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr double kEpsilon = 0x1p-52;
}

void ZZLowPassWindow::setSmoothing(std::optional<double> smoothing) {
    if (!smoothing) return;
    double s = *smoothing;
    // Above 100 the coefficient would turn negative and the output diverge; below 0 the
    // logarithm is not a number. Keep the setting inside its meaningful range.
    if (std::isnan(s)) s = 0.0;
    s = std::clamp(s, 0.0, 100.0);
    if (std::fabs(s) < kEpsilon) s = 1.0;
    if (std::fabs(s - 100.0) < kEpsilon) s = 99.0;
    alpha_ = std::min(1.0, 1.0 - 0.5 * std::log10(s));
}

double ZZLowPassWindow::filter(double x) {
    if (mapTo01_) x = (x + 1.0) * 0.5;
    if (clipTo01_ && (x < 0.0 || x > 1.0)) x = x < 0.0 ? 0.0 : 1.0;
    if (init_) {
        x = alpha_ * x + (1.0 - alpha_) * st1_;
    } else {
        init_ = true;
    }
    st1_ = x;
    return x;
}
