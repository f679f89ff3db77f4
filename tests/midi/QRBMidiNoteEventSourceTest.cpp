// Note outputs on the fake MIDI system: note on and the three note-off forms, the channel's
// stored velocity, the release of a held note when the output or channel changes, names and
// neighbours, and the proposed list.

#include "midi/MidiOutputFixture.h"

#include "foundation/KeyedArchiver.h"
#include "midi/outputs/QRBMidiNoteEventSource.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

class QRBMidiNoteEventSourceTest : public MidiOutputFixture {};

struct NoteOffCase {
    int64_t behavior;
    Bytes off;
};

class NoteOffBehaviorTest : public MidiOutputFixture, public ::testing::WithParamInterface<NoteOffCase> {};

TEST_P(NoteOffBehaviorTest, PressSendsNoteOnReleaseTheManagersNoteOff) {
    manager->midiManager()->setNoteOffBehavior(GetParam().behavior);
    auto note = mapping("/key", QRBMidiNoteEventSource::create(60), 2);
    note->fire(floatArg(1).get());
    note->fire(floatArg(0).get());
    EXPECT_EQ(takeSent(), (std::vector<Bytes>{{0x91, 60, 127}, GetParam().off}));
}

INSTANTIATE_TEST_SUITE_P(Forms, NoteOffBehaviorTest,
                         ::testing::Values(NoteOffCase{0, {0x81, 60, 127}}, NoteOffCase{1, {0x81, 60, 0}},
                                           NoteOffCase{2, {0x91, 60, 0}}));

TEST_F(QRBMidiNoteEventSourceTest, NotesPlayAtTheVelocityStoredForTheirChannel) {
    auto velocity = mapping("/velocity", std::make_shared<QRBChannelVelocityEventSource>(), 3);
    auto onThree = mapping("/key3", QRBMidiNoteEventSource::create(64), 3);
    auto onOne = mapping("/key1", QRBMidiNoteEventSource::create(64), 1);
    velocity->fire(floatArg(0.5).get());
    onThree->fire(floatArg(1).get());
    onOne->fire(floatArg(1).get());
    // Storing a velocity sends nothing itself.
    EXPECT_EQ(takeSent(), (std::vector<Bytes>{{0x92, 64, 64}, {0x90, 64, 127}}));
}

TEST_F(QRBMidiNoteEventSourceTest, AHeldNoteIsReleasedWhenItsOutputOrChannelChanges) {
    manager->midiManager()->setNoteOffBehavior(1);
    auto key = mapping("/key", QRBMidiNoteEventSource::create(60), 1);
    key->fire(floatArg(1).get());
    key->setChannel(5);  // the note on channel 1 must not hang
    key->fire(floatArg(1).get());
    key->setEventSource(QRBMidiNoteEventSource::create(61));
    // Released keys stay quiet.
    key->setChannel(6);
    EXPECT_EQ(takeSent(), (std::vector<Bytes>{{0x90, 60, 127}, {0x80, 60, 0}, {0x94, 60, 127}, {0x84, 60, 0}}));
}

TEST(QRBMidiNoteEventSource, NamesNeighboursAndTheProposedList) {
    auto c = QRBMidiNoteEventSource::create(60);
    EXPECT_EQ(c->name(), TarnMIDIManager::nameOfNote(60));
    ASSERT_TRUE(c->alternateName());
    EXPECT_EQ(c->alternateName()->rfind(*c->name() + "\t", 0), 0u);
    EXPECT_EQ(c->alternateName()->substr(c->alternateName()->size() - 2), "60");

    auto previous = std::dynamic_pointer_cast<QRBMidiNoteEventSource>(
        QRBMidiNoteEventSource::create(0)->previousProposedEventSource());
    auto next = std::dynamic_pointer_cast<QRBMidiNoteEventSource>(
        QRBMidiNoteEventSource::create(127)->nextProposedEventSource());
    ASSERT_TRUE(previous && next);
    EXPECT_EQ(previous->noteNumber(), 127u);
    EXPECT_EQ(next->noteNumber(), 0u);
    EXPECT_EQ(previous->name(), TarnMIDIManager::nameOfNote(127));

    const foundation::Value proposed =
        QRBMidiNoteEventSource::staticClass().proposedEventSourcesCollectionForAction(nullptr);
    const auto* sections = proposed.arrayValue();
    ASSERT_TRUE(sections && sections->size() == 3);
    const auto* channel = (*sections)[0].arrayValue();
    ASSERT_TRUE(channel && channel->size() == 3);
    EXPECT_EQ((*channel)[0].object<QRBEventSource>()->name(), "Channel Velocity");
    EXPECT_EQ((*channel)[1].object<QRBEventSource>()->name(), "Channel Pressure");
    EXPECT_EQ((*channel)[2].object<QRBEventSource>()->name(), "Pitch Bend");
    EXPECT_EQ((*sections)[1].object<QRBEventSource>(), QRBEventSource::menuSeparatorMarker());
    const auto* notes = (*sections)[2].arrayValue();
    ASSERT_TRUE(notes && notes->size() == 128);
    EXPECT_EQ((*notes)[100].object<QRBMidiNoteEventSource>()->noteNumber(), 100u);

    // The channel outputs show under the note output's type and take 16 channels.
    for (const auto& entry : *channel) {
        const auto& cls = entry.object<QRBEventSource>()->eventSourceClass();
        EXPECT_EQ(&cls.type(), &QRBMidiNoteEventSource::staticClass());
        EXPECT_EQ(cls.channelCount(), 16u);
    }
}

TEST(QRBMidiNoteEventSource, ArchiveKeepsTheNoteAndNamesItAgain) {
    auto note = QRBMidiNoteEventSource::create(72);
    auto data = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(note));
    auto decoded = foundation::KeyedUnarchiver::unarchiveRoot<QRBMidiNoteEventSource>(data);
    EXPECT_EQ(decoded->noteNumber(), 72u);
    EXPECT_EQ(decoded->name(), note->name());
    EXPECT_EQ(decoded->alternateName(), note->alternateName());
    EXPECT_TRUE(decoded->isEqualToEventSource(*note));
    EXPECT_FALSE(decoded->isEqualToEventSource(*QRBMidiNoteEventSource::create(73)));
}

}  // namespace
