// The controller outputs read from archives of a separate writer (tests/data/write_controller_outputs.py,
// from each class's keys), the older slot key included, and saved back with exactly their keys.

#include "controllers/QRBKeyEventSource.h"
#include "controllers/QRBMouseEventSource.h"
#include "controllers/QRBWiiEnableEventSource.h"
#include "controllers/QRBWiiLEDEventSource.h"
#include "controllers/QRBWiiMotionPlusReset.h"
#include "controllers/QRBWiiVibrateEventSource.h"
#include "foundation/KeyedArchiver.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

const std::string kWriter = std::string(QUORBITAL_TEST_DATA) + "/write_controller_outputs.py";

testsupport::CommandResult writer(const std::string& arguments) {
    return testsupport::runCommand("python3 '" + kWriter + "' " + arguments);
}

template <class T> std::shared_ptr<T> at(const foundation::Array& list, size_t index) {
    auto object = list.at(index).object<T>();
    EXPECT_NE(object, nullptr) << "entry " << index << " is " << list.at(index).debugDescription();
    return object;
}

}  // namespace

TEST(ControllerOutputsArchive, WrittenOutputsDecodeWithTheirFieldsAndSaveBackWithTheirKeys) {
    testsupport::TempDir dir;
    const std::string written = dir.file("outputs.plist");
    auto result = writer("write '" + written + "'");
    ASSERT_EQ(result.exitCode, 0) << result.output;

    const foundation::Value root = foundation::KeyedUnarchiver::unarchiveObjectWithFile(written);
    const foundation::Array* list = root.arrayValue();
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->size(), 9u);

    auto level = at<QRBWiiLEDEventSource>(*list, 0);
    ASSERT_TRUE(level);
    EXPECT_EQ(level->slot(), 3);
    EXPECT_EQ(level->ledType(), 1u);
    auto older = at<QRBWiiLEDEventSource>(*list, 1);
    ASSERT_TRUE(older);
    EXPECT_EQ(older->slot(), 5) << "the slot of the older form";
    EXPECT_EQ(older->ledType(), 0u);
    EXPECT_EQ(at<QRBWiiVibrateEventSource>(*list, 2)->slot(), 2);
    EXPECT_EQ(at<QRBWiiEnableEventSource>(*list, 3)->slot(), 8);
    EXPECT_EQ(at<QRBWiiMotionPlusReset>(*list, 4)->slot(), 1);
    EXPECT_EQ(at<QRBWiiVibrateEventSource>(*list, 5)->slot(), 6) << "no version: the older slot key";
    EXPECT_EQ(at<QRBKeyEventSource>(*list, 6)->keycode(), 49u);
    at<QRBKeyFromCodeEventSource>(*list, 7);
    EXPECT_EQ(at<QRBMouseEventSource>(*list, 8)->mouseActionType(), 5u);

    // Saved back: every class with its own keys, and only those.
    const std::string path = dir.file("saved.plist");
    foundation::KeyedArchiver::archiveRootObjectToFile(root, path);
    result = writer("check '" + path + "'");
    EXPECT_EQ(result.exitCode, 0) << result.output;
}
