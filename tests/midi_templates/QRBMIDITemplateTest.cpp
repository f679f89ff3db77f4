// A template as input matcher, as output through a document's MIDI manager, and its model:
// conflicts, validation, the default input path, undo, copies and archives.

#include "TemplateTestSupport.h"

#include "../core/support/ManagerTestSupport.h"
#include "../midi/FakeMidiFixture.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBEventSourceMerging.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/mapping/QRBTrigger.h"
#include "foundation/NotificationCenter.h"
#include "foundation/UndoManager.h"
#include "midi/QRBMIDIHostTime.h"
#include "midi/QRBMIDIManager.h"
#include "midi/QRBMIDIMessageEndpoint.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace templatetest;

namespace {

// The matcher of the tests below: B0 07 vv, a 7-bit number on byte 2, path /midi/input/C/T.
QRBMIDITemplatePtr controlTemplate() {
    auto t = makeTemplate("B0 07 00", {numberAt(2)});
    t->setOSCPathForInputMatching(std::string("/midi/input/C/T"));
    t->setShouldTestInputMatching(true);
    return t;
}

// Feeds the bytes one at a time; the messages completed, with the byte count at which each came.
std::vector<std::pair<size_t, QRBOSCMessagePtr>> feed(QRBMIDITemplate& t, const std::string& bytes) {
    std::vector<std::pair<size_t, QRBOSCMessagePtr>> out;
    size_t n = 0;
    for (uint8_t b : hex(bytes)) {
        ++n;
        if (auto m = t.matchByte(b)) out.emplace_back(n, m);
    }
    return out;
}

TEST(TemplateMatching, AMatchCompletesOnItsLastByteAcrossMessages) {
    auto t = controlTemplate();
    // The first two bytes arrive in one message, the third in the next.
    EXPECT_TRUE(feed(*t, "B0 07").empty());
    EXPECT_EQ(t->inputMatchBuffer(), hex("B0 07"));
    auto got = feed(*t, "40");
    ASSERT_EQ(got.size(), 1u);
    const QRBOSCMessagePtr& m = got[0].second;
    EXPECT_EQ(m->path(), "/midi/input/C/T");
    ASSERT_EQ(m->arguments().size(), 1u);
    EXPECT_EQ(m->arguments()[0]->libloType(), 'f');
    EXPECT_FLOAT_EQ(m->arguments()[0]->floatValue(), 64.0f / 127.0f);
    EXPECT_TRUE(t->inputMatchBuffer().empty());

    // The user info asks the document to map back to this template, without a channel.
    const auto& backmapping = *m->userInfo().at("backmapping").dictionaryValue();
    EXPECT_EQ(backmapping.at("eventSource").object<QRBMIDITemplate>(), t);
    EXPECT_TRUE(backmapping.at("channel").isNull());
}

TEST(TemplateMatching, AMismatchClearsTheBufferWithoutRetryingTheByte) {
    auto t = controlTemplate();
    // B0 08 breaks the match at 08; the B0 that follows starts a new match, but the B0 07 40 that
    // would start at the breaking byte is never seen because that byte is not tried again.
    auto got = feed(*t, "B0 08 B0 07 41 B0 B0 07 7F");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].first, 5u);
    // "B0 B0": the second B0 breaks the match and is not retried, so 07 7F match nothing.
    EXPECT_TRUE(t->inputMatchBuffer().empty());

    // Nothing is matched while matching is off, and the buffer is left as it is.
    feed(*t, "B0");
    t->setShouldTestInputMatching(false);
    EXPECT_TRUE(feed(*t, "07 10").empty());
    EXPECT_EQ(t->inputMatchBuffer(), hex("B0"));
}

TEST(TemplateMatching, ChannelGoesIntoTheAddressAndTheUserInfo) {
    auto t = makeTemplate("B0 07 00", {channelAt(0), numberAt(2)});
    t->setOSCPathForInputMatching(std::string("/midi/input/C/T"));
    t->setShouldTestInputMatching(true);
    auto got = feed(*t, "B3 07 40");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].second->path(), "/midi/input/C/T/4");
    const auto& backmapping = *got[0].second->userInfo().at("backmapping").dictionaryValue();
    EXPECT_EQ(backmapping.at("channel").integerValue(), 4);
}

TEST(TemplateMatching, ValuesScaleBackOntoTheTemplateRange) {
    struct Case {
        const char* name;
        QRBMIDITemplatePtr t;
        const char* received;
        float value;
    };
    auto fourteen = makeTemplate("E0 00 00", {numberAt(1, {0, 7}, 16383), numberAt(2, {7, 7}, 16383)}, 0, 16383);
    auto offsetRange = makeTemplate("B0 07 00", {numberAt(2)}, 27, 127);
    const Case cases[] = {
        {"7 bits", controlTemplate(), "B0 07 7F", 1.0f},
        {"14 bits", fourteen, "E0 00 40", 8192.0f / 16383.0f},
        {"range 27..127", offsetRange, "B0 07 4D", 0.5f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.t->setOSCPathForInputMatching(std::string("/p"));
        c.t->setShouldTestInputMatching(true);
        auto got = feed(*c.t, c.received);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_FLOAT_EQ(got[0].second->arguments().at(0)->floatValue(), c.value);
    }
}

TEST(TemplateMatching, TextComesBackAsAString) {
    auto t = makeTemplate("F0 00 00 00 F7", {QRBMIDITextSubstitution::make(1, 3)});
    t->setOSCPathForInputMatching(std::string("/t"));
    t->setShouldTestInputMatching(true);
    auto got = feed(*t, "F0 61 62 63 F7");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].second->arguments().at(0)->stringValue(), "abc");
}

TEST(TemplateMatching, AnEmptyTemplateNeverMatches) {
    auto t = std::make_shared<QRBMIDITemplate>();
    t->setShouldTestInputMatching(true);
    EXPECT_TRUE(feed(*t, "B0 07 00 F0 F7").empty());
    EXPECT_TRUE(t->inputMatchBuffer().empty());
}

TEST(TemplateMatching, EditsBetweenBytesAreSeenAtTheNextByte) {
    auto t = controlTemplate();
    feed(*t, "B0");
    t->setTemplateBytes(hex("B1 07 00"));  // the partial match no longer holds
    EXPECT_TRUE(feed(*t, "07 40").empty());
    auto got = feed(*t, "B1 07 40");
    EXPECT_EQ(got.size(), 1u);

    // A substitution moved onto the status byte frees the channel nibble.
    auto channel = channelAt(0);
    t->addSubstitution(channel);
    EXPECT_EQ(feed(*t, "B5 07 40").size(), 1u);
    channel->setTemplateByteIndex(1);  // now byte 0 is fixed again
    EXPECT_TRUE(feed(*t, "B5 07 40").empty());
}

// The plain matching of a candidate: the candidate and the template copied, the substituted bits
// of both zeroed, and the copies compared over the candidate's length.
bool partialMatch(const QRBMIDITemplate& t, const foundation::Data& candidate) {
    if (candidate.size() > t.templateBytes().size()) return false;
    foundation::Data received = candidate;
    foundation::Data expected = t.templateBytes();
    t.substituteZerosInBuffer(received);
    t.substituteZerosInBuffer(expected);
    return std::equal(received.begin(), received.end(), expected.begin());
}

// The masks give, byte for byte, what copying, zeroing and comparing the whole candidate gives.
TEST(TemplateMatching, MasksAgreeWithTheWholeCandidateComparison) {
    std::mt19937 random(20);
    auto pick = [&](int n) { return static_cast<int64_t>(random() % static_cast<unsigned>(n)); };
    for (int round = 0; round < 200; ++round) {
        const int64_t length = 1 + pick(6);
        foundation::Data bytes;
        for (int64_t i = 0; i < length; ++i) bytes.push_back(static_cast<uint8_t>(pick(4) == 0 ? 0xF0 : pick(4)));
        std::vector<QRBMIDISubstitutionPtr> substitutions;
        for (int64_t k = pick(3); k > 0; --k) {
            const int64_t len = 1 + pick(3);
            switch (pick(3)) {
            case 0: substitutions.push_back(numberAt(pick(length + 1), {0, len}, 127, pick(9 - len))); break;
            case 1: {
                const int64_t from = pick(length + 1);
                substitutions.push_back(QRBMIDITextSubstitution::make(from, from + pick(2)));
                break;
            }
            default: substitutions.push_back(QRBMIDIChecksumSubstitution::make(100, 0, 0, pick(length + 1)));
            }
        }
        auto t = makeTemplate("", substitutions);
        t->setTemplateBytes(bytes);
        t->setOSCPathForInputMatching(std::string("/r"));
        t->setShouldTestInputMatching(true);

        foundation::Data buffer;  // the plain algorithm's buffer
        for (int i = 0; i < 40; ++i) {
            const uint8_t b = static_cast<uint8_t>(pick(4) == 0 ? 0xF0 : pick(4));
            foundation::Data candidate = buffer;
            candidate.push_back(b);
            bool complete = false;
            if (!partialMatch(*t, candidate)) {
                buffer.clear();
            } else if (candidate.size() == bytes.size()) {
                buffer.clear();
                complete = true;
            } else {
                buffer = candidate;
            }
            const bool matched = t->matchByte(b) != nullptr;
            ASSERT_EQ(matched, complete) << "round " << round << " byte " << i;
            ASSERT_EQ(t->inputMatchBuffer(), buffer) << "round " << round << " byte " << i;
        }
    }
}

// ---- model -----------------------------------------------------------------------------------------------

TEST(TemplateModel, ConflictsMarkDoublyClaimedBitsAndChecksumBytesInCheckedRanges) {
    auto status = channelAt(0);
    auto overlapping = numberAt(0, {0, 2}, 127, 2);  // bits 2..3 of byte 0: two of the channel's
    auto value = numberAt(2);
    auto sum = QRBMIDIChecksumSubstitution::make(100, 1, 3, 3);  // its own byte lies in its range
    auto t = makeTemplate("B0 07 00 00 F7", {status, overlapping, value, sum});
    auto conflicting = t->markConflictingSubstitutions();
    ASSERT_EQ(conflicting.size(), 3u);
    EXPECT_EQ(conflicting[0], status);
    EXPECT_EQ(conflicting[1], overlapping);
    EXPECT_EQ(conflicting[2], sum);
    EXPECT_EQ(status->conflictingSubstitutedBits(), (QRBMIDIBitSet{2, 3}));
    EXPECT_EQ(overlapping->conflictingSubstitutedBits(), (QRBMIDIBitSet{2, 3}));
    EXPECT_FALSE(value->isConflicting());  // inside a check range, but not a checksum byte
    EXPECT_EQ(sum->conflictingSubstitutedBits().size(), 8u);

    sum->setTemplateByteIndex(4);
    overlapping->setTemplateByteIndex(1);
    EXPECT_TRUE(t->markConflictingSubstitutions().empty());
    EXPECT_FALSE(status->isConflicting());

    ASSERT_EQ(t->computedBytesRanges().size(), 1u);
    EXPECT_EQ(t->computedBytesRanges()[0]->range, (QRBMIDIRange{1, 3}));
    EXPECT_EQ(t->substitutionsAffectingTemplateBytesInRange({2, 1}).size(), 2u);  // value and sum
}

TEST(TemplateModel, NextFreeBytePosition) {
    auto t = makeTemplate("F0 00 00 00 F7", {numberAt(1), QRBMIDITextSubstitution::make(2, 3)});
    EXPECT_EQ(t->nextNonConflictingSubstitutionBytePositionAfter(0), 0u);
    EXPECT_EQ(t->nextNonConflictingSubstitutionBytePositionAfter(1), 4u);  // the last byte, free or not
    EXPECT_EQ(t->nextNonConflictingSubstitutionBytePositionAfter(9), 9u);
    EXPECT_FALSE(t->canAddNewArgumentExtractingSubstitution());  // it holds a text
}

TEST(TemplateModel, DataRangeValidationAndRefits) {
    auto t = makeTemplate("B0 07 00", {});
    struct Case {
        foundation::Value value;
        bool forMin;
        const char* error;  // nullptr: accepted
    };
    const Case cases[] = {
        {foundation::Value(int64_t{127}), true, "Range must not be empty."},
        {foundation::Value(int64_t{0}), false, "Range must not be empty."},
        {foundation::Value(int64_t{-1}), true, "Value must be a positive number"},
        {foundation::Value(), true, "Invalid value"},
        {foundation::Value("12"), false, "Invalid value"},
        {foundation::Value(int64_t{0}), true, nullptr},
        {foundation::Value(int64_t{300}), false, nullptr},
    };
    for (const auto& c : cases) {
        std::string error;
        const bool ok = c.forMin ? t->validateDataMin(c.value, &error) : t->validateDataMax(c.value, &error);
        EXPECT_EQ(ok, c.error == nullptr);
        if (c.error) {
            EXPECT_EQ(error, c.error);
        }
    }

    // An empty range is refused where it is set.
    EXPECT_FALSE(t->setDataMin(127));
    EXPECT_EQ(t->dataMin(), 0);

    // Adding a number substitution fits it to the range; changing the range refits it.
    auto s = numberAt(2, {0, 7}, 127);
    t->addSubstitution(s);
    t->setDataMax(15);
    EXPECT_EQ(s->slice(), (QRBMIDIRange{0, 4}));
    auto late = numberAt(1, {5, 2}, 127);
    t->addSubstitution(late);
    EXPECT_EQ(late->slice(), (QRBMIDIRange{3, 1}));
    auto channel = channelAt(0);
    t->addSubstitution(channel);
    EXPECT_EQ(channel->dataMax(), 15);  // channels keep their own range
    EXPECT_EQ(channel->slice(), (QRBMIDIRange{0, 4}));
}

TEST(TemplateModel, DefaultInputPathAndMatchingSwitch) {
    auto collection = std::make_shared<QRBMIDICollection>();
    collection->setName(std::string("Desk #1"));
    auto t = std::make_shared<QRBMIDITemplate>();
    t->setName(std::string(" Fader 1*[a]{b},c?"));
    collection->insertTemplates({t}, {0});
    EXPECT_EQ(t->newOSCPathForInputMatching(), "/midi/input/Desk__1/_Fader_1__a__b__c_");
    t->setShouldTestInputMatching(true);
    EXPECT_EQ(t->OSCPathForInputMatching(), "/midi/input/Desk__1/_Fader_1__a__b__c_");
    t->setOSCPathForInputMatching(std::string(""));
    EXPECT_FALSE(t->shouldTestInputMatching());
    t->setOSCPathForInputMatching(std::string("/mine"));
    t->setShouldTestInputMatching(true);
    EXPECT_EQ(t->OSCPathForInputMatching(), "/mine");  // a path of its own is kept
}

TEST(TemplateModel, EditsNotifyAndUndo) {
    auto undo = std::make_shared<foundation::UndoManager>();
    undo->setGroupsByEvent(false);
    auto t = makeTemplate("B0 07 00", {});
    t->setUndoManager(undo);
    int notices = 0;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        "QRBMIDITemplateChanged", t, [&](const foundation::Notification&) { ++notices; });

    undo->beginUndoGrouping();
    t->setTemplateBytes(hex("B0 08 00"));
    t->addSubstitution(numberAt(2));
    t->setTriggerMode(3);
    undo->endUndoGrouping();
    EXPECT_EQ(notices, 3);
    EXPECT_EQ(undo->undoActionName(), "Set Trigger Mode");
    undo->undo();
    EXPECT_EQ(t->templateBytes(), hex("B0 07 00"));
    EXPECT_TRUE(t->substitutions().empty());
    EXPECT_EQ(t->triggerMode(), 9u);
    undo->redo();
    EXPECT_EQ(t->substitutions().size(), 1u);
    EXPECT_EQ(t->triggerMode(), 3u);
    token.remove();
}

TEST(TemplateModel, EqualityCopiesAndArchive) {
    auto collection = std::make_shared<QRBMIDICollection>();
    auto t = makeTemplate("F0 41 00 00 F7", {numberAt(2), QRBMIDIChecksumSubstitution::make(200, 1, 2, 3)}, 0, 100);
    collection->insertTemplates({t}, {0});
    t->setOSCPathForInputMatching(std::string("/x"));
    t->setShouldTestInputMatching(true);
    t->setTriggerMode(2);
    t->setToleratesRedundantOutputValues(true);

    auto copy = t->copy();
    EXPECT_TRUE(copy->isEqualToEventSource(*t));
    EXPECT_EQ(copy->parentCollection(), collection);
    EXPECT_NE(copy->substitutions()[0], t->substitutions()[0]);
    EXPECT_TRUE(copy->shouldTestInputMatching());
    copy->setName(std::string("Other"));
    EXPECT_TRUE(copy->isEqualToEventSource(*t));  // names are not compared
    copy->setTriggerMode(9);
    EXPECT_FALSE(copy->isEqualToEventSource(*t));

    auto back = roundTrip(t);
    EXPECT_TRUE(back->isEqualToEventSource(*t));
    EXPECT_EQ(back->dataMax(), 100);
    EXPECT_EQ(back->OSCPathForInputMatching(), "/x");
    EXPECT_TRUE(back->toleratesRedundantOutputValues());
    EXPECT_EQ(back->parentCollection(), nullptr);  // archived only with its collection
}

TEST(TemplateArchive, DamagedTemplatesAreRepairedAndRunClean) {
    using V = foundation::Value;
    const auto hostileSlice = foundation::Value(std::make_shared<RawObject>(
        std::vector<std::string>{"QRBMIDIByteSubstitution", "QRBMIDISubstitution", "NSObject"},
        foundation::Dictionary{{"type", V(int64_t{1})},
                               {"slice", V("{-9, 99}")},
                               {"templateByteBitOffset", V(int64_t{-100})},
                               {"templateByteIndex", V(int64_t{-1})}}));
    auto t = decodeRaw<QRBMIDITemplate>({"QRBMIDITemplate", "QRBMIDIElement", "QRBEventSource", "NSObject"},
                                        {{"templateBytes", V(hex("B0 07 00"))},
                                         {"substitutions", V(foundation::Array{hostileSlice})},
                                         {"triggerMode", V(int64_t{-1})},
                                         {"dataMin", V(int64_t{5})},
                                         {"dataMax", V(int64_t{5})},              // an empty range
                                         {"shouldTestInputMatching", V(true)}});  // without a path
    EXPECT_NE(t->dataMin(), t->dataMax());
    EXPECT_EQ(t->triggerMode(), 9u);
    EXPECT_FALSE(t->shouldTestInputMatching());
    t->setOSCPathForInputMatching(std::string("/d"));
    t->setShouldTestInputMatching(true);
    // The slice was clamped to the whole of byte 0 (its index to 0): any status byte matches.
    auto got = feed(*t, "B0 07 00 C5 07 00");
    EXPECT_EQ(got.size(), 2u);
    for (const auto& [n, m] : got) {
        ASSERT_EQ(m->arguments().size(), 1u);
        EXPECT_TRUE(std::isfinite(m->arguments()[0]->floatValue()));
    }
    (void)t->buildOutputMessage(*action(0.3));

    // A byte substitution of a type the editor never sets reads as a number, as it is written.
    const auto unknownType = foundation::Value(std::make_shared<RawObject>(
        std::vector<std::string>{"QRBMIDIByteSubstitution", "QRBMIDISubstitution", "NSObject"},
        foundation::Dictionary{{"type", V(int64_t{7})},
                               {"slice", V("{0, 7}")},
                               {"templateByteBitOffset", V(int64_t{0})},
                               {"templateByteIndex", V(int64_t{2})}}));
    auto odd = decodeRaw<QRBMIDITemplate>({"QRBMIDITemplate", "QRBMIDIElement", "QRBEventSource", "NSObject"},
                                          {{"templateBytes", V(hex("B0 07 00"))},
                                           {"substitutions", V(foundation::Array{unknownType})},
                                           {"dataMin", V(int64_t{0})},
                                           {"dataMax", V(int64_t{127})},
                                           {"OSCPathForInputMatching", V("/odd")},
                                           {"shouldTestInputMatching", V(true)}});
    auto read = feed(*odd, "B0 07 40");
    ASSERT_EQ(read.size(), 1u);
    ASSERT_EQ(read[0].second->arguments().size(), 1u);
    EXPECT_FLOAT_EQ(read[0].second->arguments()[0]->floatValue(), 64.0f / 127.0f);

    // A template file whose substitution list holds something else is refused as a whole.
    EXPECT_THROW(decodeRaw<QRBMIDITemplate>({"QRBMIDITemplate", "QRBMIDIElement", "QRBEventSource", "NSObject"},
                                            {{"substitutions", V(foundation::Array{V("text")})}}),
                 foundation::ArchiveError);
}

// ---- output through a document ----------------------------------------------------------------------

class TemplateOutputTest : public managertest::ManagerFixture {
protected:
    void SetUp() override {
        fake = std::make_shared<platform::FakeMidiBackend>();
        tarn = TarnMIDIManager::create(fake);
        TarnMIDIManager::setShared(tarn);
        synth = fake->plug(platform::FakeMidiBackend::Kind::Destination, "Synth", 1);
        fake->drain();
        foundation::RunLoop::main().runMode(foundation::RunLoopMode::Default, 0);
        ManagerFixture::SetUp();
        manager->midiManager()->setIsVirtualSourceActive(false);
        manager->midiManager()->select(true, tarn->realDestinationWithMIDIEndpointRef(synth));
        in = QRBContext::create("/in", manager);
        currentPreset()->addObject(in);
        in->receive(firing::message("/in", {firing::Float(0.5)}), manager->oscInputEndpoint(), foundation::Date::now());
        act = in;  // a message of one argument: the context is its action
    }
    void TearDown() override {
        ManagerFixture::TearDown();
        fake->drain();
        TarnMIDIManager::setShared(nullptr);
        tarn.reset();
    }
    QRBAcceptResult send(const QRBMIDITemplatePtr& t, double value) {
        act->setInputArgValue(*QRBArg::argWithFloatValue(static_cast<float>(value)));
        return t->acceptAction(*act);
    }
    std::vector<std::string> sentToSynth() {
        fake->drain();
        std::vector<std::string> out;
        for (const auto& s : fake->sent())
            if (s.ref == synth) out.push_back(hexText(s.bytes));
        return out;
    }

    std::shared_ptr<platform::FakeMidiBackend> fake;
    std::shared_ptr<TarnMIDIManager> tarn;
    midi::EndpointRef synth = 0;
    QRBContextPtr in;
    QRBActionPtr act;
};

TEST_F(TemplateOutputTest, RedundantValuesAreDroppedUntilASendSucceeds) {
    auto t = makeTemplate("B0 07 00", {numberAt(2)});
    act->setEventSource(t);
    EXPECT_EQ(send(t, 1.0), QRBAcceptResult::Done);
    EXPECT_EQ(send(t, 1.0), QRBAcceptResult::Failed);  // the same message again
    EXPECT_EQ(sentToSynth(), (std::vector<std::string>{"B0 07 7F"}));

    // A send that fails (the device is gone) is not remembered: the same value goes out once the
    // device is back.
    fake->setFailSends(synth, true);
    EXPECT_EQ(send(t, 0.0), QRBAcceptResult::Failed);
    fake->setFailSends(synth, false);
    EXPECT_EQ(send(t, 0.0), QRBAcceptResult::Done);
    EXPECT_EQ(sentToSynth(), (std::vector<std::string>{"B0 07 7F", "B0 07 00"}));

    t->setToleratesRedundantOutputValues(true);
    EXPECT_EQ(send(t, 0.0), QRBAcceptResult::Done);
    EXPECT_EQ(sentToSynth().size(), 3u);

    auto empty = std::make_shared<QRBMIDITemplate>();
    EXPECT_EQ(send(empty, 0.5), QRBAcceptResult::Failed);
}

TEST_F(TemplateOutputTest, AttachSetsTheTriggerModeAndTheUnitOutputRange) {
    auto t = makeTemplate("B0 07 00", {numberAt(2)});
    t->setTriggerMode(4);
    act->setOutputMax(50);
    t->attach(*act);
    EXPECT_EQ(act->trigger()->mode(), 4u);
    EXPECT_EQ(act->outputMin(), 0);
    EXPECT_EQ(act->outputMax(), 1.0);
    EXPECT_EQ(t->outputScalingFudgeFactorForAction(*act), 127);
}

TEST_F(TemplateOutputTest, ProposedOutputsListTheCollections) {
    auto proposed = [&] { return QRBMIDITemplate::classProposedEventSourcesCollection(act.get()); };
    {
        const foundation::Value none = proposed();
        const auto& items = *none.arrayValue();
        ASSERT_EQ(items.size(), 1u);
        EXPECT_TRUE(items[0].dictionaryValue()->count("No User Defined MIDI Template"));
    }
    auto midi = manager->midiManager();
    auto desk = midi->ensureTemplateCollectionNamed("Desk");
    auto fader = std::make_shared<QRBMIDITemplate>();
    desk->insertTemplates({fader}, {0});
    midi->ensureTemplateCollectionNamed("Spare");
    const foundation::Value some = proposed();
    const auto& items = *some.arrayValue();
    ASSERT_EQ(items.size(), 3u);  // Desk, separator, Spare
    const auto& deskItems = *items[0].dictionaryValue()->at("Desk").arrayValue();
    ASSERT_EQ(deskItems.size(), 1u);
    EXPECT_EQ(deskItems[0].object<QRBMIDITemplate>(), fader);
    EXPECT_EQ(items[1].object<QRBEventSource>(), QRBEventSource::menuSeparatorMarker());
    const auto& spare = *items[2].dictionaryValue()->at("Spare").arrayValue();
    ASSERT_EQ(spare.size(), 1u);
    EXPECT_TRUE(spare[0].dictionaryValue()->count("(empty)"));
}

TEST_F(TemplateOutputTest, MatchedInputReachesTheDocumentAsOSC) {
    ASSERT_TRUE(manager->start());  // new addresses register with the running servers
    auto midi = manager->midiManager();
    auto collection = midi->ensureTemplateCollectionNamed("C");
    auto t = makeTemplate("B0 07 00", {numberAt(2)});
    t->setName(std::string("T"));
    collection->insertTemplates({t}, {0});
    t->setShouldTestInputMatching(true);
    ASSERT_EQ(t->OSCPathForInputMatching(), "/midi/input/C/T");

    auto delivered =
        midi->deliverTemplateMatches(*QRBMIDIMessage::MIDIMessageWithStatus(0xB0, 0x07, 0x40), foundation::Date::now());
    ASSERT_EQ(delivered.size(), 1u);
    auto context = manager->contextWithName("/midi/input/C/T");
    ASSERT_NE(context, nullptr);
    ASSERT_NE(context->lastReceivedMessage(), nullptr);
    EXPECT_FLOAT_EQ(context->lastReceivedMessage()->arguments().at(0)->floatValue(), 64.0f / 127.0f);
}

// A message taken up late by a busy main loop: its match and the message itself are dated when
// the packet arrived.
TEST_F(TemplateOutputTest, MatchesAreDatedAtThePacketsTime) {
    ASSERT_TRUE(manager->start());
    auto midi = manager->midiManager();
    auto collection = midi->ensureTemplateCollectionNamed("C");
    auto t = makeTemplate("B0 07 00", {numberAt(2)});
    t->setName(std::string("T"));
    collection->insertTemplates({t}, {0});
    t->setShouldTestInputMatching(true);
    auto monitor = manager->messageMonitor();
    monitor->setDirection(0);
    monitor->clear();

    // One second after start-up: long before now on any machine that ran this far.
    const uint64_t arrived = 1000000000ull;
    const foundation::Date expected = QRBDateFromMIDIHostTime(arrived);
    ASSERT_GT(foundation::Date::now().timeIntervalSinceDate(expected), 1.0);
    midi->receiveMIDIMessage(QRBMIDIMessage::MIDIMessageWithStatus(0xB0, 0x07, 0x40), arrived);

    auto context = manager->contextWithName("/midi/input/C/T");
    ASSERT_NE(context, nullptr);
    ASSERT_TRUE(context->lastReceivedDate().has_value());
    EXPECT_DOUBLE_EQ(context->lastReceivedDate()->timeIntervalSinceDate(expected), 0.0);
    size_t received = 0;
    for (const auto& event : monitor->events().events()) {
        if (!std::dynamic_pointer_cast<QRBMIDIMessage>(event->message())) continue;
        ++received;
        ASSERT_TRUE(event->timestamp().has_value());
        EXPECT_DOUBLE_EQ(event->timestamp()->timeIntervalSinceDate(expected), 0.0);
    }
    EXPECT_EQ(received, 1u);
}

}  // namespace

namespace {

TEST_F(TemplateOutputTest, CarriedTemplatesLandInACollectionOfTheSameName) {
    auto desk = std::make_shared<QRBMIDICollection>();
    desk->setName(std::string("Desk"));
    auto t = makeTemplate("B0 07 00", {numberAt(2)});
    desk->insertTemplates({t}, {0});
    auto other = QRBManager::create();

    auto merged = std::dynamic_pointer_cast<QRBMIDITemplate>(t->merger()->mergeFromOSCManager(manager, other));
    ASSERT_NE(merged, nullptr);
    EXPECT_NE(merged, t);  // the documents do not share it
    EXPECT_TRUE(merged->isEqualToEventSource(*t));
    ASSERT_EQ(other->midiManager()->templatesCollections().size(), 1u);
    EXPECT_EQ(merged->parentCollection(), other->midiManager()->templatesCollections()[0]);
    EXPECT_EQ(merged->parentCollection()->name(), "Desk");
    EXPECT_EQ(t->parentCollection(), desk);

    // Carried again, the equal template already there is used.
    EXPECT_EQ(t->merger()->mergeFromOSCManager(manager, other), merged);
    EXPECT_EQ(other->midiManager()->templatesCollections()[0]->templateList().size(), 1u);
    other->close();
}

}  // namespace
