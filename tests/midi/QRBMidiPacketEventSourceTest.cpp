// The raw packet output and its destination: one output shared by several mappings keeps its
// destination open until the last of them lets go, follows a change of destination at once, and
// names itself after the destination; the proposed list and the archive.

#include "midi/MidiOutputFixture.h"

#include "foundation/KeyedArchiver.h"
#include "midi/outputs/QRBMidiPacketEventSource.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

class QRBMidiPacketEventSourceTest : public MidiOutputFixture {
protected:
    void SetUp() override {
        MidiOutputFixture::SetUp();
        synthRef = fake->plug(Kind::Destination, "Synth", 11);
        drumsRef = fake->plug(Kind::Destination, "Drums", 12);
        settle();
        synth = tarn->realDestinationWithMIDIEndpointRef(synthRef);
        drums = tarn->realDestinationWithMIDIEndpointRef(drumsRef);
        ASSERT_TRUE(synth && drums);
    }
    // What reached `ref` since the last call.
    std::vector<Bytes> sentTo(midi::EndpointRef ref) {
        settle();
        std::vector<Bytes> packets;
        for (const auto& sent : fake->sent())
            if (sent.ref == ref) packets.push_back(sent.bytes);
        return packets;
    }

    midi::EndpointRef synthRef = 0, drumsRef = 0;
    std::shared_ptr<TarnMIDIRealDestination> synth, drums;
};

TEST_F(QRBMidiPacketEventSourceTest, ASharedOutputKeepsItsDestinationWhileAnyMappingUsesIt) {
    auto output = std::make_shared<QRBMidiPacketEventSource>();
    output->setEndpoint(synth);
    auto a = mapping("/a", output);
    auto b = mapping("/b", output);
    a->fire(midiArg({0, 0x90, 60, 100}).get());

    // /a lets go; /b still sends to the synthesizer.
    a->setEventSource(nullptr);
    EXPECT_EQ(output->endpoint(), synth);
    b->fire(midiArg({0, 0x80, 60, 0}).get());
    EXPECT_EQ(b->nextActivity(), 2u);
    EXPECT_EQ(sentTo(synthRef), (std::vector<Bytes>{{0x90, 60, 100}, {0x80, 60, 0}}));
    EXPECT_TRUE(takeSent().empty());  // nothing went to the active outputs

    // The last one lets go: the destination is closed, but stays chosen for an undo.
    b->setEventSource(nullptr);
    EXPECT_EQ(fake->outputPortCount(synthRef), 0u);
    b->setEventSource(output);
    fake->clearSent();
    b->fire(midiArg({0, 0xB0, 1, 2}).get());
    EXPECT_EQ(sentTo(synthRef), (std::vector<Bytes>{{0xB0, 1, 2}}));
}

TEST_F(QRBMidiPacketEventSourceTest, AChangeOfDestinationTakesEffectAtOnce) {
    auto output = std::make_shared<QRBMidiPacketEventSource>();
    output->setEndpoint(synth);
    auto a = mapping("/a", output);
    a->fire(midiArg({0, 0xC0, 1, 0}).get());
    output->setEndpoint(drums);
    EXPECT_EQ(fake->outputPortCount(synthRef), 0u);
    a->fire(midiArg({0, 0xC0, 2, 0}).get());
    output->setEndpoint(nullptr);
    EXPECT_EQ(output->name(), "Active MIDI Outputs");
    a->fire(midiArg({0, 0xC0, 3, 0}).get());

    EXPECT_EQ(sentTo(synthRef), (std::vector<Bytes>{{0xC0, 1}}));
    EXPECT_EQ(sentTo(drumsRef), (std::vector<Bytes>{{0xC0, 2}}));
    EXPECT_EQ(takeSent(), (std::vector<Bytes>{{0xC0, 3}}));
}

TEST_F(QRBMidiPacketEventSourceTest, NamesProposedListAndArchive) {
    const foundation::Value proposed =
        QRBMidiPacketEventSource::staticClass().proposedEventSourcesCollectionForAction(nullptr);
    const auto* list = proposed.arrayValue();
    ASSERT_TRUE(list);
    std::vector<std::string> names;
    for (const auto& entry : *list) names.push_back(entry.object<QRBEventSource>()->name().value_or("?"));
    ASSERT_GE(names.size(), 3u);
    EXPECT_EQ(names[0], "Active MIDI Outputs");
    EXPECT_NE(std::find(names.begin(), names.end(), synth->displayName()), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), drums->displayName()), names.end());

    // Decoded, the output is named by its destination whatever name was stored, and is its
    // sender again.
    auto output = std::make_shared<QRBMidiPacketEventSource>();
    output->setEndpoint(synth);
    output->setName(std::string("stale"));
    auto data = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(output));
    output.reset();
    list = nullptr;
    auto decoded = foundation::KeyedUnarchiver::unarchiveRoot<QRBMidiPacketEventSource>(data);
    EXPECT_EQ(decoded->endpoint(), synth);
    EXPECT_EQ(decoded->name(), synth->displayName());
    EXPECT_EQ(decoded->displayName(), synth->displayName());
}

}  // namespace
