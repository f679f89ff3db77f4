#pragma once
// The level bar of a table cell that shows how busy something is: a rounded bar whose colour says
// the level (none, normal, high, saturated), lighter inside and darker at its edge.

#include <QColor>
#include <QPalette>
#include <QRectF>

class QPainter;

namespace ui {

enum class ActivityLevel { None, Normal, High, Saturated };

// Zero (below the double precision) is none; below 0.8 normal; below 0.9 high; else saturated.
ActivityLevel activityLevelForValue(double value);

struct ActivityColors {
    QColor fill;
    QColor stroke;
};
// The base colour (the palette's highlight for none, green, yellow, red), mixed with white at
// 0.35 for the fill and with black at 0.25 for the stroke.
ActivityColors activityColorsForValue(double value, const QPalette& palette);

// Draws the bar in `frame`, inset by 1.2 on each axis, corners of radius 2.75.
void drawActivityIndicator(QPainter& painter, const QRectF& frame, double value, const QPalette& palette);

}  // namespace ui
