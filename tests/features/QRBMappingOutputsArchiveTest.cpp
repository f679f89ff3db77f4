// The mapping outputs read from archives of a separate writer (tests/data/write_mapping_outputs.py,
// from each class's keys), legacy names, keys and classes included, and saved back with exactly
// their classes' keys.

#include "features/NSLogEventSource.h"
#include "features/QRBDelayEventSource.h"
#include "features/QRBDummyEventSource.h"
#include "features/QRBMetaEnable.h"
#include "features/QRBPresetChangeEventSourceBase.h"
#include "features/QRBSnapshotEventSourceBase.h"
#include "features/QRBTimeEventsManager.h"
#include "features/QRBVariable.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Log.h"
#include "foundation/Resources.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

const std::string kWriter = std::string(QUORBITAL_TEST_DATA) + "/write_mapping_outputs.py";

testsupport::CommandResult writer(const std::string& arguments) {
    return testsupport::runCommand("python3 '" + kWriter + "' " + arguments);
}

template <class T> std::shared_ptr<T> at(const foundation::Array& list, size_t index) {
    auto object = list.at(index).object<T>();
    EXPECT_NE(object, nullptr) << "entry " << index << " is " << list.at(index).debugDescription();
    return object;
}

}  // namespace

TEST(MappingOutputsArchive, WrittenOutputsDecodeAsThemselvesAndLegacyFormsAreConverted) {
    testsupport::TempDir dir;
    const std::string written = dir.file("outputs.plist");
    auto result = writer("write '" + written + "'");
    ASSERT_EQ(result.exitCode, 0) << result.output;

    foundation::LogCapture log;
    const foundation::Value root = foundation::KeyedUnarchiver::unarchiveObjectWithFile(written);
    const foundation::Array* list = root.arrayValue();
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->size(), 21u);

    auto next = at<QRBPresetChangeEventSource>(*list, 0);
    EXPECT_EQ(next->name(), "Next Mapping");
    EXPECT_TRUE(next->changeToNext());
    auto previous = at<QRBPresetChangeEventSource>(*list, 1);
    EXPECT_EQ(previous->name(), "Previous Mapping");
    EXPECT_FALSE(previous->changeToNext());
    EXPECT_EQ(at<QRBPresetEventSource>(*list, 2)->presetName(), "Live");
    EXPECT_EQ(at<QRBPresetEventSource>(*list, 3)->presetName(), "Old");
    at<QRBPresetChangeIndexedEventSource>(*list, 4);
    EXPECT_TRUE(at<QRBSnapshotTakeEventSource>(*list, 5)->shouldTakeNewSnapshot());
    EXPECT_EQ(at<QRBSnapshotRelativeRecallEventSource>(*list, 6)->recallMode(), 2u);
    at<QRBSnapshotIndexedRecallEventSource>(*list, 7);
    EXPECT_EQ(at<QRBSnapshotRecallEventSource>(*list, 8)->snapshotName(), "Chorus");

    auto restore = at<QRBSnapshotRelativeRecallEventSource>(*list, 9);
    EXPECT_EQ(restore->name(), "Recall Current");
    EXPECT_EQ(restore->recallMode(), 1u);
    EXPECT_TRUE(list->at(10).isNull()) << "the placeholder decodes as nothing";
    EXPECT_TRUE(log.contains("Warning: decoding an unsupported object: Old thing"));

    auto toggled = at<detail::QRBToggledEnable>(*list, 11);
    ASSERT_NE(toggled->targetLocation(), nullptr);
    EXPECT_EQ(toggled->targetLocation()->contextName(), "/target");
    EXPECT_EQ(toggled->name(), "/target");
    for (size_t i : {12u, 13u}) {
        SCOPED_TRACE(i);
        auto legacy = list->at(i).object<QRBMetaEnable>();
        ASSERT_NE(legacy, nullptr);
        EXPECT_EQ(legacy->archivedClassName(), i == 12 ? "_QRBToggledEnable" : "_QRBLatchedEnable");
        ASSERT_NE(legacy->targetLocation(), nullptr) << "the action it named gives its location";
        EXPECT_EQ(legacy->targetLocation()->contextName(), "/target");
    }
    EXPECT_EQ(at<QRBVariable>(*list, 14)->index(), 9u);
    auto scanned = at<QRBVariable>(*list, 15);
    EXPECT_EQ(scanned->index(), 12u);
    EXPECT_EQ(scanned->name(), "12");
    EXPECT_EQ(list->at(16).object<QRBEventSource>()->archivedClassName(), "NSLogEventSource");
    at<NSLogLimitEventSource>(*list, 17);
    auto delay = at<QRBDelayEventSource>(*list, 18);
    EXPECT_EQ(delay->delayInterval(), 0.25);
    EXPECT_EQ(delay->memo(), "fade");
    EXPECT_EQ(delay->name(), "250 ms \u2013 fade");
    auto events = at<QRBTimeEventsManager>(*list, 19);
    ASSERT_EQ(events->countOfDelays(), 1u);
    EXPECT_EQ(events->objectInDelaysAtIndex(0), delay) << "one delay, listed and used";

    // Saved back: every class with its own keys, and only those.
    foundation::Array saved;
    for (const auto& entry : *list)
        if (!entry.isNull()) saved.push_back(entry);
    const std::string path = dir.file("saved.plist");
    foundation::KeyedArchiver::archiveRootObjectToFile(foundation::Value(saved), path);
    result = writer("check '" + path + "'");
    EXPECT_EQ(result.exitCode, 0) << result.output;
}
