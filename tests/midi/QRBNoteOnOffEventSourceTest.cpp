// Notes shaped by parameters on the fake MIDI system and the fake FireWire bus: the parameter
// outputs and their old archives, the MIDI note with its pitch rules, bend, aftertouch, repeat
// strike and voice indexes, the Flame note on the current device's voices, and the Kyma note.
// Time is the loop's manual clock, so the held gate repeats only when a test moves it.

#include "midi/MidiOutputFixture.h"

#include "core/mapping/QRBActionLocation.h"
#include "core/mapping/QRBTrigger.h"
#include "core/support/FiringTestSupport.h"
#include "flame/QRBFlameDiscovery.h"
#include "foundation/Clock.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/RunLoop.h"
#include "midi/outputs/QRBKymaNoteEventSource.h"
#include "midi/outputs/QRBNoteOnOffEventSource.h"
#include "midi/outputs/QRBNoteValuesEventSource.h"
#include "platform/firewire/FakeFireWireBus.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using Bytes = std::vector<uint8_t>;
using Sent = std::vector<Bytes>;
using V = QRBNoteValuesEventSource;

class NoteParamsTest : public MidiOutputFixture {
protected:
    void SetUp() override {
        previousClock = foundation::RunLoop::main().clock();
        foundation::RunLoop::main().setClock(clock);
        MidiOutputFixture::SetUp();
        params = QRBContext::create("/params", manager);
        currentPreset()->addObject(params);
    }
    void TearDown() override {
        MidiOutputFixture::TearDown();
        foundation::RunLoop::main().setClock(previousClock);
    }

    void param(const char* key, const QRBArgPtr& value) { params->setUserInfoValue(foundation::Value(value), key); }
    std::shared_ptr<QRBMidiNoteOnOffEventSource> midiNote() {
        auto source = std::make_shared<QRBMidiNoteOnOffEventSource>();
        source->setParamsLocation(params->location());
        return source;
    }
    QRBContextPtr gate(const QRBEventSourcePtr& source, int64_t channel = 1) {
        return mapping("/gate", source, channel);
    }
    static void press(const QRBContextPtr& action) { action->fire(floatArg(1).get()); }
    static void release(const QRBContextPtr& action) { action->fire(floatArg(0).get()); }
    // Moves time on by one repeat of the held gate.
    void repeatOnce() {
        clock->advance(QRBNoteOnOffEventSource::kRetriggerInterval);
        foundation::RunLoop::main().runMode(foundation::RunLoopMode::Default, 0);
    }

    std::shared_ptr<foundation::ManualClock> clock = std::make_shared<foundation::ManualClock>(100);
    std::shared_ptr<foundation::Clock> previousClock;
    QRBContextPtr params;
};

TEST_F(NoteParamsTest, TheParameterOutputsStoreCopiesInTheirContext) {
    auto holder = QRBContext::create("/holder", manager);
    currentPreset()->addObject(holder);
    holder->receive(firing::message("/holder", {firing::Int(0), firing::Float(0), firing::Float(0), firing::Float(0)}),
                    manager->oscInputEndpoint(), foundation::Date::now());
    ASSERT_EQ(holder->actions().size(), 4u);
    const foundation::Value proposed = V::staticClass().proposedEventSourcesCollectionForAction(nullptr);
    ASSERT_TRUE(proposed.arrayValue() && proposed.arrayValue()->size() == 4);
    for (size_t i = 0; i < 4; ++i) {
        auto values = (*proposed.arrayValue())[i].object<V>();
        ASSERT_TRUE(values);
        EXPECT_EQ(values->type(), i);
        holder->actions()[i]->setEventSource(values);
    }
    EXPECT_EQ((*proposed.arrayValue())[3].object<V>()->name(), "Voice");

    holder->receive(
        firing::message("/holder", {firing::Int(64), firing::Float(0.25f), firing::Float(0.5f), firing::Float(0.75f)}),
        manager->oscInputEndpoint(), foundation::Date::now());
    const char* keys[] = {V::kPitchKey, V::kVelocityKey, V::kAftertouchKey, V::kIndexKey};
    const double expected[] = {64, 0.25, 0.5, 0.75};
    for (size_t i = 0; i < 4; ++i) {
        auto stored = holder->userInfoValueForKey(keys[i]).object<QRBArg>();
        ASSERT_TRUE(stored) << keys[i];
        EXPECT_EQ(stored->doubleValue(), expected[i]) << keys[i];
        EXPECT_NE(stored, holder->actions()[i]->argValue()) << "a copy";
    }
}

TEST(NoteValuesArchiveTest, OldTypeWordsDecodeOrYieldNoOutput) {
    struct Case {
        const char* word;
        std::optional<unsigned> type;
    };
    const std::vector<Case> cases = {{"Pitch", 0}, {"Velocity", 1}, {"Timbre", 2}, {"Index", 3}, {"Volume", {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        // Written as the old versions did: a word under the old key instead of the integer.
        struct Legacy : V {
            std::string word;
            void encodeWithCoder(foundation::KeyedArchiver& coder) const override {
                QRBEventSource::encodeWithCoder(coder);
                coder.encodeString(word, kLegacyTypeKey);
            }
        };
        auto legacy = std::make_shared<Legacy>();
        legacy->word = c.word;
        const foundation::Value decoded = foundation::KeyedUnarchiver::unarchiveObjectWithData(
            foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(legacy)));
        auto values = decoded.object<V>();
        ASSERT_EQ(values != nullptr, c.type.has_value());
        if (values) {
            EXPECT_EQ(values->type(), *c.type);
        }
    }
    auto velocity = std::make_shared<V>(V::Velocity);
    auto decoded = foundation::KeyedUnarchiver::unarchiveObjectWithData(
                       foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(velocity)))
                       .object<V>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->type(), 1u);
    EXPECT_EQ(decoded->name(), "Velocity");
}

TEST(NoteOnOffArchiveTest, TheParamsLocationSurvivesArchiving) {
    auto source = std::make_shared<QRBMidiNoteOnOffEventSource>();
    source->setParamsLocation(QRBActionLocation::locationWithContextName("/params", foundation::Array{}, "/params"));
    auto decoded = foundation::KeyedUnarchiver::unarchiveObjectWithData(
                       foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(source)))
                       .object<QRBMidiNoteOnOffEventSource>();
    ASSERT_TRUE(decoded && decoded->paramsLocation());
    EXPECT_EQ(decoded->displayName(), "/params");
    EXPECT_TRUE(decoded->isEqualToEventSource(*source));
}

TEST_F(NoteParamsTest, WithoutParametersTheNoteIsSixtyAtVelocitySixtyFour) {
    manager->midiManager()->setNoteOffBehavior(0);
    auto g = gate(midiNote(), 3);
    press(g);
    EXPECT_TRUE(QRBMidiNoteOnOffEventSource::noteAtIndex(nullptr, *g)) << "held on the mono index";
    release(g);
    EXPECT_EQ(takeSent(), (Sent{{0x92, 60, 64}, {0x82, 60, 64}}));
    EXPECT_FALSE(QRBMidiNoteOnOffEventSource::noteAtIndex(nullptr, *g));
}

TEST_F(NoteParamsTest, PitchesAreNoteNumbersOrFractionsOfTheRange) {
    struct Case {
        const char* what;
        int64_t lower, upper;
        QRBArgPtr pitch;
        uint8_t note;
    };
    const std::vector<Case> cases = {
        {"a fraction of 36..96", 36, 96, floatArg(0.5), 66},
        {"an integer is a note number", 36, 96, intArg(64), 64},
        {"an integer in a reversed range", 96, 36, intArg(64), 64},
        {"a fraction beyond the top is limited", 0, 127, floatArg(3), 127},
        {"a negative note becomes 0", 0, 127, intArg(-20), 0},
        {"a text without a number is the bottom of the range", 36, 96, QRBArg::argWithStringValue(std::string("C3")),
         36},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        manager->midiManager()->setNoteLowerPitch(c.lower);
        manager->midiManager()->setNoteUpperPitch(c.upper);
        param(V::kPitchKey, c.pitch);
        auto g = gate(midiNote());
        press(g);
        release(g);
        const Sent sent = takeSent();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0][1], c.note);
        EXPECT_EQ(sent[1][1], c.note) << "the note off ends the note played";
    }
}

TEST_F(NoteParamsTest, ANonNumberPitchPlaysNothing) {
    param(V::kPitchKey, floatArg(std::numeric_limits<float>::quiet_NaN()));
    auto source = midiNote();
    auto g = gate(source);
    EXPECT_EQ(source->acceptAction(*g), QRBAcceptResult::Failed);
    EXPECT_TRUE(takeSent().empty());
}

TEST_F(NoteParamsTest, AHeldNoteBendsTowardsANewPitchAndFollowsTheAftertouch) {
    auto midi = manager->midiManager();
    midi->setShouldBendNotes(true);
    midi->setNoteOffBehavior(1);
    param(V::kPitchKey, intArg(60));
    param(V::kAftertouchKey, floatArg(0.5));
    auto g = gate(midiNote(), 2);
    press(g);
    EXPECT_EQ(g->trigger()->retriggerInterval(), QRBNoteOnOffEventSource::kRetriggerInterval);
    EXPECT_EQ(takeSent(), (Sent{{0x91, 60, 64}, {0xA1, 60, 64}})) << "note on, then its aftertouch";

    // Worked in doubles: x = ((5·12 − 127) / 127) + 1.5 = 247/254, wheel = 16383·x rounded = 15932.
    param(V::kPitchKey, intArg(72));
    repeatOnce();
    EXPECT_EQ(QRBMidiNoteOnOffEventSource::wheelValueInAction(*g), 15932);
    param(V::kAftertouchKey, floatArg(1));
    repeatOnce();
    repeatOnce();
    EXPECT_EQ(takeSent(), (Sent{{0xE1, 0x3C, 0x7C}, {0xA1, 60, 127}})) << "the same wheel is not sent again";
    release(g);
    EXPECT_EQ(takeSent(), (Sent{{0x81, 60, 0}})) << "the note played ends";
}

TEST_F(NoteParamsTest, NoBendWithoutARangeOrWithARangeThatAddsUpToZero) {
    auto midi = manager->midiManager();
    midi->setShouldBendNotes(true);
    for (auto [lower, upper] : {std::pair<int64_t, int64_t>{60, 60}, {-12, 12}}) {
        SCOPED_TRACE(lower);
        midi->setNoteLowerPitch(lower);
        midi->setNoteUpperPitch(upper);
        param(V::kPitchKey, intArg(60));
        auto g = gate(midiNote());
        press(g);
        param(V::kPitchKey, intArg(62));
        repeatOnce();
        release(g);
        EXPECT_EQ(takeSent().size(), 2u) << "note on and off only";
    }
}

TEST_F(NoteParamsTest, RepeatStrikesTheHeldNoteOnEverySecondFiring) {
    manager->midiManager()->setShouldRepeatNotes(true);
    manager->midiManager()->setNoteOffBehavior(1);
    param(V::kPitchKey, intArg(60));
    auto g = gate(midiNote());
    press(g);
    for (int i = 0; i < 4; ++i) repeatOnce();
    EXPECT_EQ(takeSent(), (Sent{{0x90, 60, 64}, {0x90, 60, 64}, {0x90, 60, 64}}));
    // Released between a removal and the next strike: the struck note still ends.
    repeatOnce();
    release(g);
    EXPECT_EQ(takeSent(), (Sent{{0x80, 60, 0}}));
    // A strike at another pitch ends the one struck before.
    press(g);
    repeatOnce();
    param(V::kPitchKey, intArg(62));
    repeatOnce();
    release(g);
    EXPECT_EQ(takeSent(), (Sent{{0x90, 60, 64}, {0x80, 60, 0}, {0x90, 62, 64}, {0x80, 62, 0}}));
}

TEST_F(NoteParamsTest, NotesOfDifferentVoiceIndexesAreReleasedIndependently) {
    manager->midiManager()->setNoteOffBehavior(1);
    auto source = midiNote();
    auto one = gate(source);
    auto two = mapping("/gate2", source);
    // Both gates share one params holder, and so one note table each; the index tells the notes of
    // one gate apart.
    param(V::kIndexKey, intArg(1));
    param(V::kPitchKey, intArg(60));
    press(one);
    param(V::kIndexKey, intArg(2));
    param(V::kPitchKey, intArg(64));
    press(one);
    EXPECT_TRUE(QRBMidiNoteOnOffEventSource::noteAtIndex(intArg(1).get(), *one));
    EXPECT_TRUE(QRBMidiNoteOnOffEventSource::noteAtIndex(intArg(2).get(), *one));
    EXPECT_FALSE(QRBMidiNoteOnOffEventSource::noteAtIndex(intArg(1).get(), *two)) << "state per action";
    release(one);  // index 2 still
    EXPECT_TRUE(QRBMidiNoteOnOffEventSource::noteAtIndex(intArg(1).get(), *one));
    EXPECT_FALSE(QRBMidiNoteOnOffEventSource::noteAtIndex(intArg(2).get(), *one));
    EXPECT_EQ(takeSent(), (Sent{{0x90, 60, 64}, {0x90, 64, 64}, {0x80, 64, 0}}));
}

TEST_F(NoteParamsTest, AReleaseWithoutANoteSendsNothingAndAnswersNothing) {
    auto source = midiNote();
    auto g = gate(source);
    g->fire(floatArg(0).get());
    EXPECT_EQ(source->acceptAction(*g), QRBAcceptResult::Nothing);
    EXPECT_TRUE(takeSent().empty());
}

TEST_F(NoteParamsTest, AnUnresolvableParamsHolderFails) {
    auto source = std::make_shared<QRBMidiNoteOnOffEventSource>();
    source->setParamsLocation(QRBActionLocation::locationWithContextName("/gone", foundation::Array{}, "/gone"));
    auto g = gate(source);
    EXPECT_EQ(source->acceptAction(*g), QRBAcceptResult::Failed);
    source->setParamsLocation(nullptr);
    EXPECT_EQ(source->acceptAction(*g), QRBAcceptResult::Failed);
    EXPECT_TRUE(takeSent().empty());
}

TEST_F(NoteParamsTest, ASendFailureStopsTheRestOfTheFiring) {
    // The virtual source refuses; a synthesizer behind it still gets what was sent, so it shows
    // where the firing stopped.
    const auto synth = fake->plug(platform::FakeMidiBackend::Kind::Destination, "Synth", 9);
    settle();
    manager->midiManager()->select(true, tarn->realDestinationWithMIDIEndpointRef(synth));
    fake->setFailSends(outSource, true);
    param(V::kAftertouchKey, floatArg(0.5));
    auto source = midiNote();
    auto g = gate(source);
    g->fire(floatArg(1).get());
    settle();
    std::vector<Bytes> reached;
    for (const auto& sent : fake->sent())
        if (sent.ref == synth) reached.push_back(sent.bytes);
    EXPECT_EQ(reached, (Sent{{0x90, 60, 64}})) << "no aftertouch after the failed note on";
    EXPECT_TRUE(QRBMidiNoteOnOffEventSource::noteAtIndex(nullptr, *g)) << "the table was updated before sending";
}

TEST_F(NoteParamsTest, TheParamsHolderMenuListsTheTopLevelContextsInNaturalOrder) {
    for (const char* address : {"/pad10", "/pad9"}) currentPreset()->addObject(QRBContext::create(address, manager));
    auto g = gate(midiNote());
    const foundation::Value proposed =
        QRBMidiNoteOnOffEventSource::staticClass().proposedEventSourcesCollectionForAction(g.get());
    ASSERT_TRUE(proposed.arrayValue() && proposed.arrayValue()->size() == 1);
    const auto* group = (*proposed.arrayValue())[0].dictionaryValue();
    ASSERT_TRUE(group && group->count("Params Holder"));
    std::vector<std::string> names;
    for (const auto& entry : *group->at("Params Holder").arrayValue()) {
        auto source = entry.object<QRBMidiNoteOnOffEventSource>();
        ASSERT_TRUE(source) << "MIDI notes in the MIDI note's menu";
        names.push_back(source->displayName().value_or(""));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"/gate", "/pad9", "/pad10", "/params"}));
}

// ---- Flame notes --------------------------------------------------------------------------------

FireWireBlock block(uint32_t high, uint32_t low) {
    return {uint8_t(high >> 24), uint8_t(high >> 16), uint8_t(high >> 8), uint8_t(high),
            uint8_t(low >> 24),  uint8_t(low >> 16),  uint8_t(low >> 8),  uint8_t(low)};
}
FireWireAddress at(uint32_t offset) { return {0, kFlameDefaultAddressHigh, kFlameDefaultAddressLow + offset}; }

class FlameNoteTest : public NoteParamsTest {
protected:
    void SetUp() override {
        NoteParamsTest::SetUp();
        discovery.start();
        unit = bus->plug({QRBFlameDiscovery::kUnitSpecifierID, kFlameUnitVersion, 7});
        ASSERT_TRUE(foundation::RunLoop::main().runUntil([] { return flame_disco_current_voices() != nullptr; }, 5.0));
        // Two voices for every channel, then the end mark.
        unit->setBlock(at(kFlameVoiceTableOffset), block(0 << 18 | 0 << 9 | 127, 2));
        unit->setBlock(at(kFlameVoiceTableOffset + 1), block(127, 0));
        unit->setBlock(at(kFlameVoiceTableOffset + 2), block(0x800000, 0));
        flame_voices* voices = flame_disco_current_voices();
        flame_voices_refresh(voices);
        ASSERT_TRUE(foundation::RunLoop::main().runUntil([&] { return !flame_voices_is_rebuilding(voices); }, 10.0));
        ASSERT_EQ(flame_voices_voice_count(voices), 2u);
    }
    void TearDown() override {
        discovery.stop();
        NoteParamsTest::TearDown();
    }
    std::shared_ptr<QRBNoteOnOffEventSource> flameNote() {
        return QRBNoteOnOffEventSource::eventSourceForParamsAtLocation(params->location());
    }
    // The note and set-voice writes that reached the unit: register offset and high word.
    std::vector<std::pair<uint32_t, uint32_t>> writes(size_t count) {
        EXPECT_TRUE(unit->waitForWrites(count, 5));
        std::vector<std::pair<uint32_t, uint32_t>> seen;
        for (const auto& write : unit->writes())
            seen.emplace_back(write.address.low - kFlameDefaultAddressLow, write.high());
        return seen;
    }

    std::shared_ptr<platform::FakeFireWireBus> bus = std::make_shared<platform::FakeFireWireBus>();
    std::shared_ptr<platform::FakeFireWireUnit> unit;
    QRBFlameDiscovery discovery{bus};
};

TEST_F(FlameNoteTest, AGateTakesAVoiceFollowsTheParametersAndFreesIt) {
    auto source = flameNote();
    auto g = gate(source, 1);
    press(g);
    EXPECT_EQ(QRBNoteOnOffEventSource::voiceValueInAction(*g), 0u);
    param(V::kPitchKey, intArg(64));  // an integer is a note number, not a fraction of the range
    repeatOnce();
    release(g);
    EXPECT_EQ(QRBNoteOnOffEventSource::voiceValueInAction(*g), kFlameNoVoice);
    EXPECT_EQ(source->acceptAction(*g), QRBAcceptResult::Nothing) << "released without a voice";
    EXPECT_EQ(writes(3), (std::vector<std::pair<uint32_t, uint32_t>>{{kFlameNoteOffset + 0, 60u << 16},
                                                                     {kFlameSetVoiceOffset + 0, 64u << 16},
                                                                     {kFlameSetVoiceOffset + 0, 64u << 16}}));
    EXPECT_EQ(unit->writes()[0].low() >> 23, 1u) << "on";
    EXPECT_EQ(unit->writes()[2].low() >> 23, 0u) << "off";
}

TEST_F(FlameNoteTest, ARefusedNoteKeepsNoVoice) {
    auto source = flameNote();
    auto g = gate(source, 2);  // the unit has no voice for channel 2
    press(g);
    EXPECT_EQ(QRBNoteOnOffEventSource::voiceValueInAction(*g), kFlameNoVoice);
    EXPECT_EQ(source->acceptAction(*g), QRBAcceptResult::Failed);
    discovery.stop();
    EXPECT_EQ(source->acceptAction(*g), QRBAcceptResult::Failed) << "no device";
    EXPECT_EQ(QRBNoteOnOffEventSource::voiceValueInAction(*g), kFlameNoVoice);
}

TEST_F(FlameNoteTest, AKymaNotePlaysItsNumberAtTheChannelsVelocity) {
    auto velocity = mapping("/velocity", std::make_shared<QRBKymaChannelVelocityEventSource>(), 1);
    velocity->fire(floatArg(0.5).get());
    auto source = QRBKymaNoteEventSource::create(62);
    auto key = mapping("/key", source, 1);
    press(key);
    EXPECT_EQ(key->userInfoValueForKey(QRBKymaNoteEventSource::kVoiceKey).integerValue(), 0);
    release(key);
    EXPECT_EQ(key->userInfoValueForKey(QRBKymaNoteEventSource::kVoiceKey).integerValue(), int64_t(kFlameNoVoice));
    EXPECT_EQ(source->acceptAction(*key), QRBAcceptResult::Nothing) << "no voice to release";
    const auto seen = writes(2);
    EXPECT_EQ(seen[0], (std::pair<uint32_t, uint32_t>{kFlameNoteOffset + 0, 62u << 16}));
    EXPECT_EQ(seen[1].first, kFlameSetVoiceOffset + 0);
    EXPECT_EQ(unit->writes()[0].low(), flame_voices_note_words(1, 62, 0.5f, 0).low) << "velocity 0.5";
    EXPECT_EQ(&QRBKymaChannelVelocityEventSource::staticClass().type(), &QRBKymaNoteEventSource::staticClass());
}

}  // namespace
