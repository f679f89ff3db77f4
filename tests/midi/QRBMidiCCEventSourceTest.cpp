// The MIDI outputs' bytes: what each output sends on the fake MIDI system for the values its
// mapping fires, the toggle's alternation, and masking of numbers that would otherwise turn into
// other status bytes.

#include "midi/MidiOutputFixture.h"

#include "features/QRBEventSourceManager.h"
#include "midi/QRBMIDIMessageEndpoint.h"
#include "midi/outputs/QRBKymaPCEventSource.h"
#include "midi/outputs/QRBMidiCCEventSource.h"
#include "midi/outputs/QRBMidiNoteEventSource.h"
#include "midi/outputs/QRBMidiPacketEventSource.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using Bytes = std::vector<uint8_t>;

struct BytesCase {
    const char* what;
    std::function<QRBEventSourcePtr()> output;
    int64_t channel;
    std::vector<QRBArgPtr> values;  // fired in order
    std::vector<Bytes> sent;
};

std::shared_ptr<QRBMidiCCEventSource> cc(unsigned n) { return QRBEventSourceManager::sharedInstance().fetchMidiCC(n); }
std::shared_ptr<QRBMidiPCEventSource> program(uint64_t n) {
    auto source = std::make_shared<QRBMidiPCEventSource>();
    source->setPrgNumber(n);
    return source;
}
QRBArgPtr f(double v) { return QRBArg::argWithFloatValue(static_cast<float>(v)); }
QRBArgPtr i(int32_t v) { return QRBArg::argWithInt32Value(v); }
QRBArgPtr m(std::vector<uint8_t> bytes) {
    bytes.resize(4);
    return QRBArg::argOfType('m', bytes.data());
}

class MidiOutputBytesTest : public MidiOutputFixture, public ::testing::WithParamInterface<BytesCase> {};
class QRBMidiCCEventSourceTest : public MidiOutputFixture {};

TEST_P(MidiOutputBytesTest, FiredValuesBecomeTheseMessages) {
    const BytesCase& c = GetParam();
    auto context = mapping("/control", c.output(), c.channel);
    for (const auto& value : c.values) context->fire(value.get());
    EXPECT_EQ(takeSent(), c.sent);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, MidiOutputBytesTest,
    ::testing::Values(
        BytesCase{"CC: a float scales to 7 bits, rounded", [] { return cc(7); }, 1, {f(0.5)}, {{0xB0, 7, 64}}},
        BytesCase{"CC: an integer is the value itself, clamped", [] { return cc(7); }, 1, {i(300)}, {{0xB0, 7, 127}}},
        BytesCase{"CC: channel 16", [] { return cc(1); }, 16, {f(1.0)}, {{0xBF, 1, 127}}},
        BytesCase{"CC toggle: presses alternate maximum and minimum, releases send nothing",
                  [] { return QRBEventSourceManager::sharedInstance().midiCCToggleEventSources()[64]; },
                  1,
                  {f(1), f(0), f(1), f(0), f(1)},
                  {{0xB0, 64, 127}, {0xB0, 64, 0}, {0xB0, 64, 127}}},
        BytesCase{"channel pressure",
                  [] { return std::make_shared<QRBChannelPressureEventSource>(); },
                  2,
                  {f(0.5)},
                  {{0xD1, 64}}},
        BytesCase{"pitch bend: full scale, then the centre",
                  [] { return std::make_shared<QRBPitchBendEventSource>(); },
                  1,
                  {f(1.0), f(0.5)},
                  {{0xE0, 0x7F, 0x7F}, {0xE0, 0x00, 0x40}}},
        BytesCase{"program change acts on the release", [] { return program(0); }, 1, {f(1), f(0)}, {{0xC0, 0x00}}},
        BytesCase{"program change from the value, on each change",
                  [] { return std::make_shared<QRBMidiPCFromContinuousValueEventSource>(); },
                  3,
                  {f(0.5), f(0.5), f(1)},
                  {{0xC2, 64}, {0xC2, 127}}},
        BytesCase{"raw packet: the port byte is dropped, the length follows the status",
                  [] { return std::make_shared<QRBMidiPacketEventSource>(); },
                  1,
                  {m({0x00, 0xC5, 0x07, 0x00}), m({0x00, 0x90, 0x3C, 0x7F}), m({0x02, 0xF8, 0, 0})},
                  {{0xC5, 0x07}, {0x90, 0x3C, 0x7F}, {0xF8}}},
        BytesCase{"raw packet: data bytes keep seven bits",
                  [] { return std::make_shared<QRBMidiPacketEventSource>(); },
                  1,
                  {m({0x00, 0x90, 0xFF, 0xF8})},
                  {{0x90, 0x7F, 0x78}}},
        BytesCase{"raw packet: no status byte, or a system-exclusive byte, sends nothing",
                  [] { return std::make_shared<QRBMidiPacketEventSource>(); },
                  1,
                  {m({0x00, 0x3C, 0x7F, 0x00}), m({0x00, 0xF0, 0x43, 0x10}), m({0x00, 0xF7, 0, 0}), f(1)},
                  {}}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST_F(QRBMidiCCEventSourceTest, AFailedSendOrAMissingDocumentIsAFailure) {
    auto context = mapping("/control", cc(7));
    context->setArgValue(*QRBArg::argWithFloatValue(0.5f));
    EXPECT_EQ(cc(7)->acceptAction(*context), QRBAcceptResult::Done);
    fake->setFailSends(outSource, true);
    EXPECT_EQ(cc(7)->acceptAction(*context), QRBAcceptResult::Failed);

    // An action outside any document has no MIDI to send through.
    auto loose = std::make_shared<QRBContext>();
    loose->setArgValue(*QRBArg::argWithFloatValue(0.5f));
    EXPECT_EQ(cc(7)->acceptAction(*loose), QRBAcceptResult::Failed);
    EXPECT_EQ(std::make_shared<QRBPitchBendEventSource>()->acceptAction(*loose), QRBAcceptResult::Failed);
}

TEST_F(QRBMidiCCEventSourceTest, ChannelsAndNumbersFromDocumentsNeverBecomeOtherStatusBytes) {
    const auto& midi = manager->midiManager();
    // Channel 17 and 0 wrap into the channel nibble; controller 200 and value 300 keep 7 bits.
    EXPECT_EQ(sendMIDIControlChange(midi, 17, 200, 300), 1);
    EXPECT_EQ(sendMIDIControlChange(midi, 0, 7, 0x80), 1);
    EXPECT_EQ(takeSent(), (std::vector<Bytes>{{0xB0, 200 & 0x7F, 300 & 0x7F}, {0xBF, 7, 0}}));

    // A damaged document's controller number.
    auto wild = std::make_shared<QRBMidiCCEventSource>();
    wild->setCCNumber(0xC8);
    auto context = mapping("/control", wild);
    context->fire(QRBArg::argWithFloatValue(1.0f).get());
    EXPECT_EQ(takeSent(), (std::vector<Bytes>{{0xB0, 0x48, 127}}));
    EXPECT_EQ(sendMIDIControlChange(nullptr, 1, 7, 0), -1);
}

TEST_F(QRBMidiCCEventSourceTest, TheToggleStartsAtItsMaximumForEachActionAndAfterAnOutputChange) {
    auto toggle = QRBEventSourceManager::sharedInstance().midiCCToggleEventSources()[1];
    auto a = mapping("/a", toggle);
    auto b = mapping("/b", toggle);
    a->setOutputMin(0.25);
    a->setOutputMax(0.75);
    a->fire(QRBArg::argWithFloatValue(1).get());
    b->fire(QRBArg::argWithFloatValue(1).get());  // b's state is its own
    a->fire(QRBArg::argWithFloatValue(0).get());
    a->fire(QRBArg::argWithFloatValue(1).get());
    EXPECT_EQ(takeSent(), (std::vector<Bytes>{{0xB0, 1, 95}, {0xB0, 1, 127}, {0xB0, 1, 32}}));

    // A new output starts a fresh state: the next press sends the maximum again.
    a->setEventSource(cc(2));
    a->setEventSource(toggle);
    a->fire(QRBArg::argWithFloatValue(0).get());
    a->fire(QRBArg::argWithFloatValue(1).get());
    EXPECT_EQ(takeSent(), (std::vector<Bytes>{{0xB0, 1, 95}}));
}

TEST(QRBMidiCCEventSource, ScalingNamesAndNeighbours) {
    auto seven = QRBEventSourceManager::sharedInstance().fetchMidiCC(7);
    ASSERT_NE(seven, nullptr);
    EXPECT_EQ(seven->outputScalingFudgeFactor(), 127);
    EXPECT_TRUE(seven->requireIntegralScalingsFormatting());
    EXPECT_EQ(seven->eventSourceClass().channelCount(), 16u);
    EXPECT_EQ(seven->name(), "7");
    EXPECT_NE(seven->alternateName()->find("Channel Volume"), std::string::npos);

    // Neighbours are the shared outputs, wrapping at both ends; the toggles step among toggles.
    const auto& plain = QRBEventSourceManager::sharedInstance().midiCCEventSources();
    const auto& toggles = QRBEventSourceManager::sharedInstance().midiCCToggleEventSources();
    EXPECT_EQ(plain[0]->previousProposedEventSource(), plain[127]);
    EXPECT_EQ(plain[127]->nextProposedEventSource(), plain[0]);
    EXPECT_EQ(seven->nextProposedEventSource(), plain[8]);
    EXPECT_EQ(toggles[5]->previousProposedEventSource(), toggles[4]);

    // Equal outputs are those of the same kind and controller.
    auto another = QRBMidiCCEventSource::create(7, "7", "");
    EXPECT_TRUE(seven->isEqualToEventSource(*another));
    EXPECT_FALSE(seven->isEqualToEventSource(*plain[8]));
    EXPECT_FALSE(seven->isEqualToEventSource(*toggles[7]));
}

}  // namespace
