// The activity bar's colour thresholds.
#include "ui/kit/QRBActivityIndicator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(ActivityIndicator, LevelThresholds) {
    using ui::ActivityLevel;
    const struct {
        double value;
        ActivityLevel level;
    } rows[] = {
        {0.0, ActivityLevel::None},
        {1e-17, ActivityLevel::None},
        {-1e-17, ActivityLevel::None},
        {std::nan(""), ActivityLevel::None},
        {0.01, ActivityLevel::Normal},
        {-0.5, ActivityLevel::Normal},
        {0.7999, ActivityLevel::Normal},
        {0.8, ActivityLevel::High},
        {0.8999, ActivityLevel::High},
        {0.9, ActivityLevel::Saturated},
        {1.0, ActivityLevel::Saturated},
        {std::numeric_limits<double>::infinity(), ActivityLevel::Saturated},
    };
    for (const auto& row : rows) EXPECT_EQ(ui::activityLevelForValue(row.value), row.level) << row.value;
}

TEST(ActivityIndicator, FillIsLighterAndStrokeDarkerThanTheBase) {
    QPalette palette;
    palette.setColor(QPalette::Highlight, QColor(0, 0, 200));
    const ui::ActivityColors none = ui::activityColorsForValue(0.0, palette);
    // The highlight mixed with white at 0.35 and with black at 0.25.
    EXPECT_NEAR(none.fill.redF(), 0.35, 0.01);
    EXPECT_NEAR(none.fill.blueF(), 200 / 255.0 + (1 - 200 / 255.0) * 0.35, 0.01);
    EXPECT_NEAR(none.stroke.blueF(), 200 / 255.0 * 0.75, 0.01);
    const ui::ActivityColors red = ui::activityColorsForValue(0.95, palette);
    EXPECT_GT(red.fill.redF(), red.fill.greenF());
    EXPECT_LT(red.stroke.redF(), red.fill.redF());
}
