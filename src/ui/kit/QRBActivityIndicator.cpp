#include "ui/kit/QRBActivityIndicator.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <limits>

namespace ui {
namespace {

QColor blend(const QColor& from, const QColor& to, double t) {
    auto mix = [t](float a, float b) { return static_cast<float>(a + (b - a) * t); };
    return QColor::fromRgbF(mix(from.redF(), to.redF()), mix(from.greenF(), to.greenF()),
                            mix(from.blueF(), to.blueF()), mix(from.alphaF(), to.alphaF()));
}

}  // namespace

ActivityLevel activityLevelForValue(double value) {
    // A value that is not a number shows nothing rather than a full red bar.
    if (std::isnan(value) || std::fabs(value) < std::numeric_limits<double>::epsilon()) return ActivityLevel::None;
    if (value < 0.8) return ActivityLevel::Normal;
    if (value < 0.9) return ActivityLevel::High;
    return ActivityLevel::Saturated;
}

ActivityColors activityColorsForValue(double value, const QPalette& palette) {
    QColor base;
    switch (activityLevelForValue(value)) {
    case ActivityLevel::None: base = palette.color(QPalette::Highlight); break;
    case ActivityLevel::Normal: base = QColor(40, 200, 64); break;
    case ActivityLevel::High: base = QColor(255, 204, 0); break;
    case ActivityLevel::Saturated: base = QColor(255, 59, 48); break;
    }
    return {blend(base, Qt::white, 0.35), blend(base, Qt::black, 0.25)};
}

void drawActivityIndicator(QPainter& painter, const QRectF& frame, double value, const QPalette& palette) {
    const ActivityColors colors = activityColorsForValue(value, palette);
    QPainterPath path;
    path.addRoundedRect(frame.adjusted(1.2, 1.2, -1.2, -1.2), 2.75, 2.75);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(path, colors.fill);
    painter.setPen(colors.stroke);
    painter.drawPath(path);
    painter.restore();
}

}  // namespace ui
