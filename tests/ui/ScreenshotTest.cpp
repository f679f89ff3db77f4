// Writes the pictures of every window state built so far under the build folder (screenshots/),
// for a person to look at, and checks that each was written and is not blank.
#include "ui/QRBQtApplication.h"

#include <QImage>

#include <gtest/gtest.h>

#include <set>

TEST(Screenshots, EveryStateIsWrittenAndShowsSomething) {
    const std::vector<std::string> files = ui::writeScreenshots(QUORBITAL_SCREENSHOTS);
    EXPECT_EQ(files.size(), 7u);
    for (const std::string& file : files) {
        QImage image(QString::fromStdString(file));
        ASSERT_FALSE(image.isNull()) << file;
        std::set<QRgb> colours;
        for (int y = 0; y < image.height(); y += 2)
            for (int x = 0; x < image.width(); x += 2) colours.insert(image.pixel(x, y));
        EXPECT_GT(colours.size(), 2u) << file << " looks blank";
    }
}
