// The MIDI outputs and templates read from archives of a separate writer
// (tests/data/write_midi_outputs.py, from each class's keys), the legacy note-value form included,
// and saved back with exactly their classes' keys.

#include "core/mapping/QRBActionLocation.h"
#include "features/QRBKymaCCEventSource.h"
#include "foundation/KeyedArchiver.h"
#include "midi/outputs/QRBChannelEventSource.h"
#include "midi/outputs/QRBKymaPCEventSource.h"
#include "midi/outputs/QRBMidiCCEventSource.h"
#include "midi/outputs/QRBMidiNoteEventSource.h"
#include "midi/outputs/QRBNoteOnOffEventSource.h"
#include "midi/outputs/QRBNoteValuesEventSource.h"
#include "midi/templates/QRBMIDICollection.h"
#include "midi/templates/QRBMIDISubstitution.h"
#include "midi/templates/QRBMIDITemplate.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

const std::string kWriter = std::string(QUORBITAL_TEST_DATA) + "/write_midi_outputs.py";

testsupport::CommandResult writer(const std::string& arguments) {
    return testsupport::runCommand("python3 '" + kWriter + "' " + arguments);
}

template <class T> std::shared_ptr<T> at(const foundation::Array& list, size_t index) {
    auto object = list.at(index).object<T>();
    EXPECT_NE(object, nullptr) << "entry " << index << " is " << list.at(index).debugDescription();
    return object;
}

}  // namespace

TEST(MidiOutputsArchive, WrittenOutputsAndTemplatesDecodeAsThemselvesAndSaveWithTheirKeys) {
    testsupport::TempDir dir;
    const std::string written = dir.file("outputs.plist");
    auto result = writer("write '" + written + "'");
    ASSERT_EQ(result.exitCode, 0) << result.output;

    const foundation::Value root = foundation::KeyedUnarchiver::unarchiveObjectWithFile(written);
    const foundation::Array* list = root.arrayValue();
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->size(), 16u);

    EXPECT_EQ(at<QRBMidiCCEventSource>(*list, 0)->ccNumber(), 7);
    EXPECT_EQ(at<QRBMidiCCToggleEventSource>(*list, 1)->ccNumber(), 64);
    EXPECT_EQ(at<QRBMidiNoteEventSource>(*list, 2)->noteNumber(), 60u);
    at<QRBChannelVelocityEventSource>(*list, 3);
    at<QRBChannelPressureEventSource>(*list, 4);
    at<QRBPitchBendEventSource>(*list, 5);
    auto flamePC = at<QRBKymaPCEventSource>(*list, 6);
    EXPECT_EQ(flamePC->archivedClassName(), "QRBKymaPCEventSource");
    EXPECT_EQ(flamePC->prgNumber(), 5u);
    EXPECT_EQ(at<QRBMidiPCEventSource>(*list, 7)->prgNumber(), 5u);
    at<QRBMidiPCFromContinuousValueEventSource>(*list, 8);
    auto channel = at<QRBChannelEventSource>(*list, 9);
    ASSERT_NE(channel->targetLocation(), nullptr);
    EXPECT_EQ(channel->targetLocation()->contextName(), "/target");
    at<QRBAllChannelsEventSource>(*list, 10);
    EXPECT_EQ(at<QRBNoteValuesEventSource>(*list, 11)->type(), QRBNoteValuesEventSource::Pitch);
    EXPECT_EQ(at<QRBNoteValuesEventSource>(*list, 12)->type(), QRBNoteValuesEventSource::Aftertouch)
        << "the legacy word Timbre";
    auto note = at<QRBNoteOnOffEventSource>(*list, 13);
    ASSERT_NE(note->paramsLocation(), nullptr);
    EXPECT_EQ(note->paramsLocation()->contextName(), "/params");
    EXPECT_EQ(at<detail::QRBKymaCCEventSource>(*list, 14)->ccNumber(), 3);

    auto collection = at<QRBMIDICollection>(*list, 15);
    ASSERT_EQ(collection->templates().size(), 1u);
    EXPECT_FALSE(collection->isExpanded());
    auto tmpl = collection->templates()[0];
    EXPECT_EQ(tmpl->parentCollection(), collection);
    EXPECT_EQ(tmpl->triggerMode(), 2u);
    EXPECT_EQ(tmpl->dataMax(), 100);
    EXPECT_TRUE(tmpl->shouldTestInputMatching());
    EXPECT_EQ(tmpl->OSCPathForInputMatching(), std::optional<std::string>("/synth/volume"));
    EXPECT_FALSE(tmpl->toleratesRedundantOutputValues());
    ASSERT_EQ(tmpl->substitutions().size(), 3u);
    auto value = std::dynamic_pointer_cast<QRBMIDIByteSubstitution>(tmpl->substitutions()[0]);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type(), QRBMIDIByteSubstitution::Number);
    EXPECT_EQ(value->slice().location, 0);
    EXPECT_EQ(value->slice().length, 7);
    EXPECT_EQ(value->templateByteIndex(), 6);
    auto channelByte = std::dynamic_pointer_cast<QRBMIDIByteSubstitution>(tmpl->substitutions()[1]);
    ASSERT_NE(channelByte, nullptr);
    EXPECT_EQ(channelByte->type(), QRBMIDIByteSubstitution::Channel);
    EXPECT_EQ(channelByte->slice().length, 4);
    auto checksum = std::dynamic_pointer_cast<QRBMIDIChecksumSubstitution>(tmpl->substitutions()[2]);
    ASSERT_NE(checksum, nullptr);
    EXPECT_EQ(checksum->type(), QRBMIDIChecksumSubstitution::NegatedSum);
    EXPECT_EQ(checksum->checkFromIndex(), 5);
    EXPECT_EQ(checksum->checkToIndex(), 6);
    EXPECT_EQ(checksum->templateByteIndex(), 7);

    // Saved back: every class with its own keys, and only those.
    const std::string path = dir.file("saved.plist");
    foundation::KeyedArchiver::archiveRootObjectToFile(root, path);
    result = writer("check '" + path + "'");
    EXPECT_EQ(result.exitCode, 0) << result.output;
}
