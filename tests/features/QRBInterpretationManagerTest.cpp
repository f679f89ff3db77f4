// The control API over UDP on the loopback, against a running document: declaring messages,
// setting ranges, restoring mappings, the checks of map to MIDI, and requests that cannot be
// completed, each refused with its log line while undo registration comes back on and the next
// good request still works.

#include "InterpretationTestSupport.h"

#include "document/QuorbitalCore.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/osc/QRBServer.h"
#include "core/support/OSCBytes.h"
#include "core/support/PresetTestSupport.h"
#include "features/QRBEventSourceManager.h"
#include "foundation/KeyedArchiver.h"
#include "midi/QRBMIDIManager.h"
#include "midi/outputs/QRBChannelEventSource.h"
#include "midi/outputs/QRBKymaPCEventSource.h"
#include "midi/outputs/QRBMidiCCEventSource.h"
#include "midi/templates/QRBMIDICollection.h"
#include "midi/templates/QRBMIDISubstitution.h"
#include "midi/templates/QRBMIDITemplate.h"

#include <cmath>
#include <limits>

using firing::Blob;
using firing::Double;
using firing::Float;
using firing::Int;
using firing::Int64;
using firing::String;
using interpretationtest::Arg;
using interpretationtest::InterpretationFixture;

namespace {

constexpr const char* kCreate = QRBInterpretationManager::kCreatePath;
constexpr const char* kRange = QRBInterpretationManager::kRangePath;
constexpr const char* kMIDI = QRBInterpretationManager::kMapToMIDIPath;
constexpr const char* kRestore = QRBInterpretationManager::kRestorePath;
constexpr const char* kMappingChannel = QRBInterpretationManager::kMappingChannelPath;
constexpr const char* kArgumentChannel = QRBInterpretationManager::kArgumentChannelPath;

std::string bytes(std::initializer_list<uint8_t> values) { return std::string(values.begin(), values.end()); }

// The seven leading arguments of map to MIDI, then `more`.
std::vector<Arg> midiRequest(const std::string& path, int32_t index, const std::string& name, const std::string& blob,
                             std::vector<Arg> more = {}, const std::string& trigger = "changed") {
    std::vector<Arg> args{String(path), Int(index), Int(0), Int(127), String(name), Blob(blob), String(trigger)};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

class ControlAPITest : public InterpretationFixture {};

TEST_F(ControlAPITest, CreateDeclaresTheMissingArgumentsAndLeavesTheOthers) {
    send(kCreate, {String("/a"), String("ifs")});
    send(kCreate, {String("/one"), String("f")});
    ASSERT_TRUE(barrier());

    QRBContextPtr a = manager->contextWithName("/a");
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->actions().size(), 3u);
    const char expected[] = {'i', 'f', 's'};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(a->actions()[i]->internalArgType(), expected[i]) << i;
        EXPECT_EQ(a->actions()[i]->requireIntegralInputScalingsFormatting(), expected[i] == 'i') << i;
    }
    QRBContextPtr one = manager->contextWithName("/one");
    ASSERT_NE(one, nullptr);
    EXPECT_TRUE(one->actions().empty());
    EXPECT_EQ(one->internalArgType(), 'f');

    // A shorter type string changes nothing.
    const QRBActionPtr first = a->actions()[0];
    send(kCreate, {String("/a"), String("if")});
    ASSERT_TRUE(barrier());
    ASSERT_EQ(a->actions().size(), 3u);
    EXPECT_EQ(a->actions()[0], first);
    EXPECT_EQ(a->actions()[2]->internalArgType(), 's');

    // Nothing of it was registered for undo, and registration is on again.
    undo->closeEventGroup();
    EXPECT_FALSE(undo->canUndo());
    EXPECT_TRUE(undo->isUndoRegistrationEnabled());
}

TEST_F(ControlAPITest, RangeSetsTheUserInputRangeFromIntegersOrFloats) {
    send(kCreate, {String("/r"), String("if")});
    send(kCreate, {String("/one"), String("f")});
    send(kRange, {String("/r"), Int(0), Int(-10), Int(127)});
    send(kRange, {String("/r"), Int(1), Float(-1.5), Float(2.5)});
    // A one-argument message is its own argument 0.
    send(kRange, {String("/one"), Int(0), Float(0.25), Float(0.75)});
    ASSERT_TRUE(barrier());

    QRBContextPtr r = manager->contextWithName("/r");
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->actions().size(), 2u);
    EXPECT_DOUBLE_EQ(r->actions()[0]->userInputMin(), -10);
    EXPECT_DOUBLE_EQ(r->actions()[0]->userInputMax(), 127);
    EXPECT_DOUBLE_EQ(r->actions()[1]->userInputMin(), -1.5);
    EXPECT_DOUBLE_EQ(r->actions()[1]->userInputMax(), 2.5);
    QRBContextPtr one = manager->contextWithName("/one");
    ASSERT_NE(one, nullptr);
    EXPECT_DOUBLE_EQ(one->userInputMin(), 0.25);
    EXPECT_DOUBLE_EQ(one->userInputMax(), 0.75);

    undo->closeEventGroup();
    EXPECT_FALSE(undo->canUndo());
    EXPECT_TRUE(undo->isUndoRegistrationEnabled());
}

TEST_F(ControlAPITest, RestoreMakesTheNamedMappingCurrentCreatingItWhenMissing) {
    auto presets = manager->presetManager();
    const size_t before = presets->countOfPresets();
    send(kRestore, {String("Live")});
    ASSERT_TRUE(runUntil([&] { return presets->currentPreset()->name() == "Live"; }));
    EXPECT_EQ(presets->countOfPresets(), before + 1);
    const QRBPresetPtr live = presets->currentPreset();

    // Back to the first mapping and again to "Live": the same one, no new mapping.
    const std::string firstName = presets->presetAtIndex(0)->name();
    send(kRestore, {String(firstName)});
    ASSERT_TRUE(runUntil([&] { return presets->currentPreset() == presets->presetAtIndex(0); }));
    send(kRestore, {String("Live")});
    ASSERT_TRUE(runUntil([&] { return presets->currentPreset() == live; }));
    EXPECT_EQ(presets->countOfPresets(), before + 1);

    // Undo registration stays on for a restore: the new mapping can be undone.
    undo->closeEventGroup();
    EXPECT_TRUE(undo->canUndo());

    // And the method tables of the new mapping still hold the API.
    send(kCreate, {String("/after"), String("f")});
    ASSERT_TRUE(runUntil([&] { return manager->contextWithName("/after") != nullptr; }));
}

TEST_F(ControlAPITest, InstallingTwiceLeavesOneCopyOfEachEntry) {
    auto& server = *manager->udpServer();
    const size_t count = server.methodCount();
    manager->tuioManager()->installTUIOCallbacks(server);
    EXPECT_EQ(server.methodCount(), count);
    manager->registerAllMethods();
    EXPECT_EQ(server.methodCount(), count);
    EXPECT_EQ(manager->tcpServer()->methodCount(), count);

    send(kCreate, {String("/still"), String("if")});
    ASSERT_TRUE(runUntil([&] { return manager->contextWithName("/still") != nullptr; }));
    EXPECT_EQ(manager->contextWithName("/still")->actions().size(), 2u);
}

// A request that cannot be completed: its log line, and nothing left switched off.
struct Refusal {
    const char* name;
    std::vector<uint8_t> packet;
    std::string logged;
};

std::vector<uint8_t> request(const std::string& path, const std::vector<Arg>& args) {
    return managertest::packet(path, args);
}

// liblo makes no blob of 0 bytes: the request is written by hand.
std::vector<uint8_t> requestWithEmptyBlob() {
    return oscbytes::Bytes()
        .str(kMIDI)
        .str(",siiisbs")
        .str("/m")
        .i32(0)
        .i32(0)
        .i32(127)
        .str("<auto>")
        .i32(0)
        .str("changed");
}

class ControlAPIRefusalTest : public InterpretationFixture, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ControlAPIRefusalTest, IsLoggedAndLeavesTheAPIWorking) {
    send(kCreate, {String("/m"), String("fi")});
    ASSERT_TRUE(barrier());
    log.clear();

    send(GetParam().packet);
    ASSERT_TRUE(barrier());
    EXPECT_TRUE(log.contains(GetParam().logged)) << ::testing::PrintToString(log.lines());
    EXPECT_TRUE(undo->isUndoRegistrationEnabled());
    undo->closeEventGroup();
    EXPECT_FALSE(undo->canUndo());
    // The message the requests name keeps its two arguments.
    EXPECT_EQ(manager->contextWithName("/m")->actions().size(), 2u);
}

const std::string kCC = bytes({0xB1, 0x07, 0x64});

INSTANTIATE_TEST_SUITE_P(
    Requests, ControlAPIRefusalTest,
    ::testing::Values(
        Refusal{"CreateWithoutTypes", request(kCreate, {String("/n"), String("")}), "the given type string is empty"},
        Refusal{"CreateWithAnUnknownType", request(kCreate, {String("/n"), String("ix")}), "invalid type string"},
        Refusal{"CreateForAPattern", request(kCreate, {String("/n*"), String("f")}),
                "invalid message address: \"/n*\""},
        Refusal{"CreateForNoAddress", request(kCreate, {String(""), String("f")}), "invalid message address"},
        Refusal{"RangePastTheArguments", request(kRange, {String("/m"), Int(2), Int(0), Int(1)}),
                "APIMessage:argumentAtIndex: failed for argument index 2 of message \"/m\""},
        Refusal{"RangeAtANegativeIndex", request(kRange, {String("/m"), Int(-1), Int(0), Int(1)}),
                "APIMessage:argumentAtIndex: failed"},
        Refusal{"RangeNotANumber",
                request(kRange, {String("/m"), Int(0), Float(std::numeric_limits<double>::quiet_NaN()), Float(1)}),
                "invalid range for argument index 0 of message \"/m\""},
        Refusal{"RestoreWithoutAName", request(kRestore, {String("")}),
                "API: /quorbital/v1/mapping/restore, cannot restore mapping because the given name is empty"},
        Refusal{"MIDIWithTooFewArguments", request(kMIDI, {String("/m"), Int(0), Int(0)}),
                "API: /quorbital/v1/message/argument/map/midi, invalid argument count: 3"},
        Refusal{"MIDIWithAnIntegerForTheBlob",
                request(kMIDI, {String("/m"), Int(0), Int(0), Int(127), String("<auto>"), Int(7), String("changed")}),
                "invalid argument types: \"siiisis\""},
        Refusal{"MIDIWithAStringForTheIndex",
                request(kMIDI,
                        {String("/m"), String("0"), Int(0), Int(127), String("<auto>"), Blob(kCC), String("changed")}),
                "invalid argument types: \"ssiisbs\""},
        Refusal{"MIDIWithAnEmptyBlob", requestWithEmptyBlob(),
                "invalid MIDI message blob size (must be positive and lower than 65535): 0"},
        Refusal{"MIDIWithAnUnknownTrigger", request(kMIDI, midiRequest("/m", 0, "<auto>", kCC, {}, "sideways")),
                "invalid trigger type '\"sideways\"' for argument index 0 of message \"/m\""},
        Refusal{"MIDIPastTheArguments", request(kMIDI, midiRequest("/m", 5, "<auto>", kCC)),
                "APIMessage:argumentAtIndex: failed for argument index 5 of message \"/m\""},
        Refusal{"MIDIAutomaticWithANoteOn", request(kMIDI, midiRequest("/m", 0, "<auto>", bytes({0x90, 0x3C, 0x7F}))),
                "unable to map MIDI message template to OSC message \"/m\"[0]: unsupported status byte ($90)"},
        Refusal{"MIDIAutomaticWithAShortControlChange",
                request(kMIDI, midiRequest("/m", 0, "<auto>", bytes({0xB1, 0x07}))), "unsupported status byte ($B0)"},
        Refusal{"MIDIAutomaticWithEightArguments", request(kMIDI, midiRequest("/m", 0, "<auto>", kCC, {Int(1)})),
                "error invalid argument count: 8 provided, 6 expected"},
        Refusal{"MIDITemplateWithAnUnknownSubstitution",
                request(kMIDI, midiRequest("/m", 0, "[Drums] Kick", kCC, {String("bogus")})),
                "invalid substitution type: \"bogus\""},
        Refusal{"MIDITemplateWithAGroupCutShort",
                request(kMIDI, midiRequest("/m", 0, "[Drums] Kick", kCC, {String("value"), Int(0), Int(7)})),
                "invalid argument count: 10, requires at least 12 arguments"},
        Refusal{"MIDITemplateWithAFloatInAGroup",
                request(kMIDI, midiRequest("/m", 0, "[Drums] Kick", kCC, {String("output-channel"), Float(0), Int(0)})),
                "expected ii after output-channel"},
        Refusal{"MIDITemplateWithANumberForTheKindWord",
                request(kMIDI, midiRequest("/m", 0, "[Drums] Kick", kCC, {Int(3)})),
                "expected a substitution type at 7"},
        Refusal{"MIDITemplateChecksumPastTheMessage",
                request(kMIDI, midiRequest("/m", 0, "[Drums] Kick", bytes({0xF0, 1, 2, 0xF7}),
                                           {String("checksum"), String("xor"), Int(1), Int(4), Int(3)})),
                "invalid checksum range: from=1, to=4, message length=4"},
        // A range over the last byte leaves no byte after it: the template would refuse every
        // message.
        Refusal{"MIDITemplateChecksumEndingOnTheLastByte",
                request(kMIDI, midiRequest("/m", 0, "[Drums] Kick", bytes({0xF0, 1, 2, 0xF7}),
                                           {String("checksum"), String("sum"), Int(1), Int(3), Int(2)})),
                "invalid checksum range: from=1, to=3, message length=4"},
        Refusal{"MIDITemplateChecksumBackwards",
                request(kMIDI, midiRequest("/m", 0, "[Drums] Kick", bytes({0xF0, 1, 2, 3, 0xF7}),
                                           {String("checksum"), String("sum"), Int(2), Int(1), Int(3)})),
                "invalid checksum range: from=2, to=1"},
        Refusal{"MIDITemplateWithAnUnknownChecksum",
                request(kMIDI, midiRequest("/m", 0, "[Drums] Kick", kCC,
                                           {String("checksum"), String("crc"), Int(0), Int(1), Int(2)})),
                "invalid checksum type: \"crc\""},
        Refusal{"MIDITemplateWithoutACollection", request(kMIDI, midiRequest("/m", 0, "Drums Kick", kCC)),
                "invalid MIDI template display name, expected format was \"[Collection_Name] Template_Name\", "
                "provided string is \"Drums Kick\""},
        Refusal{"MIDITemplateWithAnEmptyCollection", request(kMIDI, midiRequest("/m", 0, "[] Kick", kCC)),
                "invalid MIDI template display name"},
        Refusal{"MIDITemplateWithATooShortName", request(kMIDI, midiRequest("/m", 0, "[Drums]K", kCC)),
                "invalid MIDI template display name"},
        Refusal{"MIDITemplateWithAStringInAValueGroup",
                request(kMIDI, midiRequest("/m", 0, "[Drums] Kick", kCC,
                                           {String("value"), Int(0), String("7"), Int(2), Int(0)})),
                "expected iiii after value"},
        Refusal{"MIDITemplateWithABlobForTheChecksumAlgorithm",
                request(kMIDI, midiRequest("/m", 0, "[Drums] Kick", bytes({0xF0, 1, 2, 3, 0xF7}),
                                           {String("checksum"), Blob(bytes({1})), Int(1), Int(2), Int(3)})),
                "expected siii after checksum"},
        Refusal{"MIDITemplateWithABlobForTheKindWord",
                request(kMIDI, midiRequest("/m", 0, "[Drums] Kick", kCC, {Blob(bytes({1, 2, 3}))})),
                "expected a substitution type at 7"},
        Refusal{"MIDITemplateValueSliceWiderThanAByte",
                request(kMIDI,
                        midiRequest("/m", 0, "[Drums] Kick", kCC, {String("value"), Int(0), Int(9), Int(2), Int(0)})),
                "invalid bit field for value at 7: slice location=0, length=9, bit offset=0"},
        Refusal{"MIDITemplateValueSlicePushedOutOfItsByte",
                request(kMIDI,
                        midiRequest("/m", 0, "[Drums] Kick", kCC, {String("value"), Int(0), Int(7), Int(2), Int(2)})),
                "invalid bit field for value at 7"},
        Refusal{"MIDITemplateValueAtANegativeSliceLocation",
                request(kMIDI,
                        midiRequest("/m", 0, "[Drums] Kick", kCC, {String("value"), Int(-1), Int(7), Int(2), Int(0)})),
                "invalid bit field for value at 7"},
        Refusal{"MIDITemplateOutputChannelPastItsByte",
                request(kMIDI, midiRequest("/m", 0, "[Drums] Kick", kCC, {String("output-channel"), Int(0), Int(5)})),
                "invalid bit field for output-channel at 7: slice location=0, length=4, bit offset=5"},
        Refusal{"MIDITemplateOutputChannelAtANegativeByte",
                request(kMIDI, midiRequest("/m", 0, "[Drums] Kick", kCC, {String("output-channel"), Int(-2), Int(0)})),
                "invalid template byte index for output-channel at 7: -2"},
        Refusal{"MIDITemplateChecksumAtANegativeByte",
                request(kMIDI, midiRequest("/m", 0, "[Drums] Kick", bytes({0xF0, 1, 2, 3, 0xF7}),
                                           {String("checksum"), String("xor"), Int(1), Int(2), Int(-1)})),
                "invalid template byte index for checksum at 7: -1"},
        Refusal{"MIDITemplateWithAnEmptyDataRange",
                request(kMIDI,
                        {String("/m"), Int(0), Int(64), Int(64), String("[Drums] Kick"), Blob(kCC), String("changed")}),
                "invalid data range for a MIDI template: minimum and maximum are both 64"},
        Refusal{"MappingChannelPastTheArguments",
                request(QRBInterpretationManager::kMappingChannelPath, {String("/m"), Int(9), Int(0), Int(15)}),
                "APIMessage:argumentAtIndex: failed for argument index 9 of message \"/m\""},
        Refusal{"ArgumentChannelWithATargetPastItsArguments",
                request(QRBInterpretationManager::kArgumentChannelPath,
                        {String("/m"), Int(0), Int(0), Int(15), String("/m"), Int(4)}),
                "APIMessage:argumentAtIndex: failed for argument index 4 of message \"/m\""}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST_F(ControlAPITest, RequestsWhileInputIsLockedAreRefusedButARestoreIsNot) {
    send(kCreate, {String("/m"), String("f")});
    ASSERT_TRUE(barrier());
    manager->setInputLocked(true);

    const std::vector<std::pair<std::string, std::vector<Arg>>> requests = {
        {kCreate, {String("/new"), String("ff")}},
        {kCreate, {String("/m"), String("ff")}},
        {kRange, {String("/m"), Int(0), Int(0), Int(10)}},
        {kMIDI, midiRequest("/m", 0, "<auto>", kCC)},
        {QRBInterpretationManager::kMappingChannelPath, {String("/m"), Int(0), Int(0), Int(15)}},
        {QRBInterpretationManager::kArgumentChannelPath, {String("/m"), Int(0), Int(0), Int(15), String("/m"), Int(0)}},
    };
    for (const auto& request : requests) {
        log.clear();
        send(request.first, request.second);
        ASSERT_TRUE(runUntil([&] { return log.contains("while input is locked"); })) << request.first;
        EXPECT_TRUE(undo->isUndoRegistrationEnabled()) << request.first;
    }
    send(kRestore, {String("Locked")});
    ASSERT_TRUE(runUntil([&] { return manager->presetManager()->currentPreset()->name() == "Locked"; }));
    EXPECT_EQ(manager->presetManager()->presetAtIndex(0)->objectInObjectsAtIndex(0)->name(), "/m");
    EXPECT_TRUE(manager->presetManager()->presetAtIndex(0)->objectInObjectsAtIndex(0)->actions().empty());
    for (size_t i = 0; i < manager->presetManager()->countOfPresets(); ++i)
        for (const auto& context : manager->presetManager()->presetAtIndex(i)->objects())
            EXPECT_NE(context->name(), std::optional<std::string>("/new"));
}

TEST_F(ControlAPITest, ATemplateRequestWithEveryKindOfSubstitutionMakesTheTemplate) {
    // A SysEx with a value, an output channel and a checksum: nothing about the request is
    // refused, the collection is made, and the argument drives a template holding the three
    // substitutions in the order they were asked for.
    const std::string sysex = bytes({0xF0, 0x41, 0x10, 0x00, 0x00, 0x00, 0xF7});
    // Value: 7 bits at bit 0 of byte 4; output channel: bits 0 to 3 of byte 2; checksum: bytes 1
    // to 4 into byte 5.
    std::vector<Arg> groups{String("value"), Int(0), Int(7), Int(4), Int(0)};
    for (const Arg& arg : std::vector<Arg>{String("output-channel"), Int(2), Int(0)}) groups.push_back(arg);
    for (const Arg& arg : std::vector<Arg>{String("checksum"), String("twos-complement"), Int(1), Int(4), Int(5)})
        groups.push_back(arg);
    auto request = [&](const std::string& path) {
        std::vector<Arg> args{String(path), Int(0),           Int(10), Int(100), String("[Synth]  Cutoff\t"),
                              Blob(sysex),  String("changed")};
        args.insert(args.end(), groups.begin(), groups.end());
        return args;
    };
    send(kMIDI, request("/synth/cutoff"));
    ASSERT_TRUE(barrier());
    for (const auto& line : log.lines()) EXPECT_EQ(line.find("API:"), std::string::npos) << line;

    QRBContextPtr cutoff = manager->contextWithName("/synth/cutoff");
    ASSERT_NE(cutoff, nullptr);
    auto midi = manager->midiManager();
    ASSERT_NE(midi, nullptr);
    ASSERT_EQ(midi->templatesCollections().size(), 1u);
    const QRBMIDICollectionPtr synth = midi->templatesCollections()[0];
    EXPECT_EQ(synth->name(), std::optional<std::string>("Synth"));
    ASSERT_EQ(synth->templateList().size(), 1u);
    const QRBMIDITemplatePtr made = synth->templateList()[0];
    EXPECT_EQ(made->name(), std::optional<std::string>("Cutoff"));
    EXPECT_EQ(cutoff->eventSource(), made);
    EXPECT_EQ(made->templateBytes(), foundation::Data(sysex.begin(), sysex.end()));
    EXPECT_EQ(made->dataMin(), 10);
    EXPECT_EQ(made->dataMax(), 100);

    ASSERT_EQ(made->substitutions().size(), 3u);
    auto value = std::dynamic_pointer_cast<QRBMIDIByteSubstitution>(made->substitutions()[0]);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type(), QRBMIDIByteSubstitution::Number);
    EXPECT_EQ(value->slice(), (QRBMIDIRange{0, 7}));
    EXPECT_EQ(value->templateByteIndex(), 4);
    EXPECT_EQ(value->templateByteBitOffset(), 0);
    EXPECT_EQ(value->dataMin(), 10);
    EXPECT_EQ(value->dataMax(), 100);
    auto channel = std::dynamic_pointer_cast<QRBMIDIByteSubstitution>(made->substitutions()[1]);
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(channel->type(), QRBMIDIByteSubstitution::Channel);
    EXPECT_EQ(channel->slice(), (QRBMIDIRange{0, 4}));
    EXPECT_EQ(channel->templateByteIndex(), 2);
    EXPECT_EQ(channel->dataMin(), 0);
    EXPECT_EQ(channel->dataMax(), 15);
    auto checksum = std::dynamic_pointer_cast<QRBMIDIChecksumSubstitution>(made->substitutions()[2]);
    ASSERT_NE(checksum, nullptr);
    EXPECT_EQ(checksum->type(), QRBMIDIChecksumSubstitution::NegatedSum);
    EXPECT_EQ(checksum->checkFromIndex(), 1);
    EXPECT_EQ(checksum->checkToIndex(), 4);
    EXPECT_EQ(checksum->templateByteIndex(), 5);

    // The same request for another message finds the template already there.
    send(kMIDI, request("/synth/other"));
    ASSERT_TRUE(barrier());
    ASSERT_NE(manager->contextWithName("/synth/other"), nullptr);
    EXPECT_EQ(manager->contextWithName("/synth/other")->eventSource(), made);
    EXPECT_EQ(midi->templatesCollections().size(), 1u);
    EXPECT_EQ(synth->templateList().size(), 1u);

    // A range the default one would clash with on the way (0 to 127 → 127 to 200), and no
    // substitutions: a second template in the same collection.
    send(kMIDI, {String("/synth/wide"), Int(0), Int(127), Int(200), String("[Synth] Wide"), Blob(kCC),
                 String("center-rising")});
    ASSERT_TRUE(barrier());
    ASSERT_EQ(synth->templateList().size(), 2u);
    const QRBMIDITemplatePtr wide = synth->templateList()[1];
    EXPECT_EQ(wide->name(), std::optional<std::string>("Wide"));
    EXPECT_EQ(wide->dataMin(), 127);
    EXPECT_EQ(wide->dataMax(), 200);
    EXPECT_TRUE(wide->substitutions().empty());
    EXPECT_EQ(manager->contextWithName("/synth/wide")->eventSource(), wide);

    undo->closeEventGroup();
    EXPECT_FALSE(undo->canUndo());
    EXPECT_TRUE(undo->isUndoRegistrationEnabled());
}

TEST_F(ControlAPITest, AutomaticMappingPicksTheSharedControlChangeOrAProgramChange) {
    send(kCreate, {String("/pads"), String("ff")});
    // B1 07 64: control change 7 on channel 2.
    send(kMIDI, {String("/pads"), Int(0), Int(10), Int(100), String("<auto>"), Blob(kCC), String("changed")});
    // C3 05: a program change on channel 4.
    send(kMIDI, midiRequest("/pads", 1, "<auto>", bytes({0xC3, 0x05}), {}, "zero-to-positive"));
    // A one-argument message is its own argument 0.
    send(kMIDI, midiRequest("/volume", 0, "<auto>", bytes({0xBF, 0x87, 0x00}), {}, "positive-to-zero"));
    ASSERT_TRUE(barrier());
    for (const auto& line : log.lines()) EXPECT_EQ(line.find("API:"), std::string::npos) << line;

    QRBContextPtr pads = manager->contextWithName("/pads");
    ASSERT_NE(pads, nullptr);
    ASSERT_EQ(pads->actions().size(), 2u);
    const QRBActionPtr cc = pads->actions()[0];
    EXPECT_EQ(cc->eventSource(), QRBEventSourceManager::sharedInstance().fetchMidiCC(7));
    EXPECT_EQ(cc->channel(), 2);
    EXPECT_DOUBLE_EQ(cc->userOutputMin(), 10);
    EXPECT_DOUBLE_EQ(cc->userOutputMax(), 100);
    const QRBActionPtr pc = pads->actions()[1];
    EXPECT_NE(std::dynamic_pointer_cast<QRBMidiPCFromContinuousValueEventSource>(pc->eventSource()), nullptr);
    EXPECT_EQ(pc->channel(), 4);
    EXPECT_DOUBLE_EQ(pc->userOutputMin(), 0);
    EXPECT_DOUBLE_EQ(pc->userOutputMax(), 127);

    // The controller number keeps its seven bits: 0x87 is controller 7 again, on channel 16.
    QRBContextPtr volume = manager->contextWithName("/volume");
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->eventSource(), QRBEventSourceManager::sharedInstance().fetchMidiCC(7));
    EXPECT_EQ(volume->channel(), 16);

    undo->closeEventGroup();
    EXPECT_FALSE(undo->canUndo());
    EXPECT_TRUE(undo->isUndoRegistrationEnabled());
}

// The channel mappings take their range in channel numbers: a value halfway between 0 and 1
// picks a channel halfway through it, not the last channel.
TEST_F(ControlAPITest, ChannelMappingsTurnTheValueIntoAChannelOfTheirRange) {
    send(kCreate, {String("/all"), String("f")});
    send(kCreate, {String("/one"), String("f")});
    send(kCreate, {String("/synth"), String("ff")});
    // The arguments whose channels change drive control changes 1 and 2 on channel 1.
    send(kMIDI, midiRequest("/synth", 0, "<auto>", bytes({0xB0, 0x01, 0x00})));
    send(kMIDI, midiRequest("/synth", 1, "<auto>", bytes({0xB0, 0x02, 0x00})));
    send(kMappingChannel, {String("/all"), Int(0), Int(0), Int(15)});
    send(kArgumentChannel, {String("/one"), Int(0), Int(4), Int(12), String("/synth"), Int(1)});
    ASSERT_TRUE(barrier());
    for (const auto& line : log.lines()) EXPECT_EQ(line.find("API:"), std::string::npos) << line;

    QRBContextPtr all = manager->contextWithName("/all");
    QRBContextPtr one = manager->contextWithName("/one");
    QRBContextPtr synth = manager->contextWithName("/synth");
    ASSERT_NE(all, nullptr);
    ASSERT_NE(one, nullptr);
    ASSERT_NE(synth, nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<QRBAllChannelsEventSource>(all->eventSource()), nullptr);
    EXPECT_DOUBLE_EQ(all->userOutputMin(), 0);
    EXPECT_DOUBLE_EQ(all->userOutputMax(), 15);
    auto toArgument = std::dynamic_pointer_cast<QRBChannelEventSource>(one->eventSource());
    ASSERT_NE(toArgument, nullptr);
    EXPECT_EQ(toArgument->targetLocation()->contextName(), std::optional<std::string>("/synth"));
    EXPECT_DOUBLE_EQ(one->userOutputMin(), 4);
    EXPECT_DOUBLE_EQ(one->userOutputMax(), 12);

    // Only the second argument of /synth follows /one: 4 + 0.5 * (12 - 4) = 8, channel 9.
    send("/one", {Float(0.5)});
    ASSERT_TRUE(runUntil([&] { return synth->actions()[1]->channel() == 9; })) << synth->actions()[1]->channel();
    EXPECT_EQ(synth->actions()[0]->channel(), 1);

    // Every action of the mapping follows /all: 0.2 of 0 to 15 is 3, channel 4.
    send("/all", {Float(0.2)});
    ASSERT_TRUE(runUntil([&] { return synth->actions()[0]->channel() == 4; })) << synth->actions()[0]->channel();
    EXPECT_EQ(synth->actions()[1]->channel(), 4);

    // Both mappings are the user's to undo.
    undo->closeEventGroup();
    EXPECT_TRUE(undo->canUndo());
    EXPECT_TRUE(undo->isUndoRegistrationEnabled());
}

// A client's number type is not its meaning: osc.js and Pd send every number as a float, sclang
// mixes integers and floats.
TEST_F(ControlAPITest, NumbersOfAnyTypeSetRangesAndChannelMappings) {
    send(kCreate, {String("/r"), String("ff")});
    send(kRange, {String("/r"), Float(0), Float(-1), Float(1)});         // sfff
    send(kRange, {String("/r"), Int(1), Int(0), Float(0.5)});            // siif
    send(kRange, {String("/one"), Double(0), Int64(10), Double(20.5)});  // sdhd, on a new message
    send(kMappingChannel, {String("/all"), Float(0), Float(2), Double(9)});
    send(kArgumentChannel, {String("/arg"), Float(0), Int(1), Float(5), String("/r"), Float(1)});
    ASSERT_TRUE(barrier());
    for (const auto& line : log.lines()) EXPECT_EQ(line.find("API:"), std::string::npos) << line;

    QRBContextPtr r = manager->contextWithName("/r");
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->actions().size(), 2u);
    EXPECT_DOUBLE_EQ(r->actions()[0]->userInputMin(), -1);
    EXPECT_DOUBLE_EQ(r->actions()[0]->userInputMax(), 1);
    EXPECT_DOUBLE_EQ(r->actions()[1]->userInputMin(), 0);
    EXPECT_DOUBLE_EQ(r->actions()[1]->userInputMax(), 0.5);
    ASSERT_NE(manager->contextWithName("/one"), nullptr);
    EXPECT_DOUBLE_EQ(manager->contextWithName("/one")->userInputMin(), 10);
    EXPECT_DOUBLE_EQ(manager->contextWithName("/one")->userInputMax(), 20.5);
    QRBContextPtr all = manager->contextWithName("/all");
    ASSERT_NE(all, nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<QRBAllChannelsEventSource>(all->eventSource()), nullptr);
    QRBContextPtr arg = manager->contextWithName("/arg");
    ASSERT_NE(arg, nullptr);
    auto toArgument = std::dynamic_pointer_cast<QRBChannelEventSource>(arg->eventSource());
    ASSERT_NE(toArgument, nullptr);
    EXPECT_EQ(toArgument->targetLocation()->contextName(), std::optional<std::string>("/r"));
}

// What the API still cannot take is said in the log, never dropped without a word.
TEST_F(ControlAPITest, RequestsOfTypesOrAddressesItDoesNotTakeAreLogged) {
    struct Case {
        const char* name;
        std::string path;
        std::vector<Arg> args;
        std::string logged;
    };
    const std::vector<Case> cases = {
        {"an index that is not whole",
         kRange,
         {String("/m"), Float(0.5), Int(0), Int(1)},
         "invalid argument index 0.5 for message \"/m\""},
        {"a string for a bound",
         kRange,
         {String("/m"), Int(0), String("0"), Int(1)},
         "invalid argument types: \"sisi\", expected siii (each number any of i, f, h, d)"},
        {"a channel that is not whole",
         kMappingChannel,
         {String("/m"), Int(0), Float(0.5), Int(15)},
         "invalid argument index or channel range for message \"/m\""},
        {"a missing target index",
         kArgumentChannel,
         {String("/m"), Int(0), Int(0), Int(15), String("/m")},
         "invalid argument types: \"siiis\", expected siiisi"},
        {"create with a number", kCreate, {String("/m"), Int(1)}, "invalid argument types: \"si\", expected ss"},
        {"restore with a number", kRestore, {Int(1)}, "invalid argument types: \"i\", expected s"},
        {"an unknown request",
         "/quorbital/v1/message/delete",
         {String("/m")},
         "API: \"/quorbital/v1/message/delete\", no such request (types \"s\")"},
    };
    send(kCreate, {String("/m"), String("f")});
    ASSERT_TRUE(barrier());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        send(c.path, c.args);
        ASSERT_TRUE(barrier());
        EXPECT_TRUE(log.contains(c.logged)) << ::testing::PrintToString(log.lines());
        EXPECT_TRUE(undo->isUndoRegistrationEnabled());
    }
    EXPECT_DOUBLE_EQ(manager->contextWithName("/m")->userInputMin(), 0);
}

// The command space is the application's: a context there would take its commands, or (being
// registered before them after a mapping switch) the API's own requests.
TEST_F(ControlAPITest, NoMessageIsMadeUnderTheCommandSpace) {
    for (const char* path : {"/quorbital/quit", kRange, "/quorbital/wii/1"}) {
        SCOPED_TRACE(path);
        log.clear();
        send(kCreate, {String(path), String("f")});
        send(kRange, {String(path), Int(0), Int(0), Int(1)});
        send(kMIDI, midiRequest(path, 0, "<auto>", kCC));
        ASSERT_TRUE(barrier());
        EXPECT_EQ(manager->contextWithName(path), nullptr);
        EXPECT_TRUE(log.contains("cannot make message \"" + std::string(path) +
                                 "\": addresses under /quorbital/ are the application's commands"))
            << ::testing::PrintToString(log.lines());
    }
    // A mapping message is no command: it may be made.
    send(kCreate, {String("/quorbital/mapping"), String("sii")});
    ASSERT_TRUE(barrier());
    EXPECT_NE(manager->contextWithName("/quorbital/mapping"), nullptr);

    // A document that brings a context at the range request's address: after a mapping switch
    // (which registers everything again) range requests still reach the API.
    auto presets = manager->presetManager();
    presets->currentPreset()->addObject(QRBContext::create(std::string(kRange), manager));
    EXPECT_FALSE(manager->registerContext(presets->currentPreset()->contextWithName(kRange)));
    send(kRestore, {String("Second")});
    ASSERT_TRUE(runUntil([&] { return presets->currentPreset()->name() == "Second"; }));
    send(kRestore, {String(presets->presetAtIndex(0)->name())});
    ASSERT_TRUE(runUntil([&] { return presets->currentPreset() == presets->presetAtIndex(0); }));
    send(kCreate, {String("/after"), String("f")});
    send(kRange, {String("/after"), Int(0), Int(3), Int(4)});
    ASSERT_TRUE(barrier());
    ASSERT_NE(manager->contextWithName("/after"), nullptr);
    EXPECT_DOUBLE_EQ(manager->contextWithName("/after")->userInputMax(), 4);
    EXPECT_EQ(manager->contextWithName(kRange)->lastReceivedMessage(), nullptr);
}

// One request makes at most so many argument actions (a 60,000-letter type string made 60,000).
TEST_F(ControlAPITest, ACreateBeyondTheArgumentCeilingIsRefusedWhole) {
    const size_t ceiling = QRBContext::kMaxArgumentActionsPerMessage;
    send(kCreate, {String("/wide"), String(std::string(ceiling, 'f'))});
    send(kCreate, {String("/wider"), String(std::string(ceiling + 1, 'f'))});
    send(kCreate, {String("/wide"), String(std::string(ceiling + 1, 'f'))});
    ASSERT_TRUE(barrier());
    ASSERT_NE(manager->contextWithName("/wide"), nullptr);
    EXPECT_EQ(manager->contextWithName("/wide")->actions().size(), ceiling);
    EXPECT_EQ(manager->contextWithName("/wider"), nullptr);
    EXPECT_TRUE(log.contains("cannot create message \"/wider\" with 1025 arguments: a message has at most 1024"))
        << ::testing::PrintToString(log.lines());
}

// What the API may add to one document is bounded; what is already there keeps working.
TEST_F(ControlAPITest, RequestsBeyondTheDocumentsBoundsAreRefused) {
    auto presets = manager->presetManager();
    while (presets->countOfPresets() < QRBInterpretationManager::kMaxDocumentMappings) {
        auto preset = std::make_shared<QRBPreset>();
        preset->setName("Mapping " + std::to_string(presets->countOfPresets() + 1));
        presets->addPresetsObject(preset);
    }
    auto midi = manager->midiManager();
    while (midi->templatesCollections().size() < QRBInterpretationManager::kMaxDocumentCollections) {
        auto collection = std::make_shared<QRBMIDICollection>();
        collection->setName("C" + std::to_string(midi->templatesCollections().size()));
        midi->insertTemplatesCollection(collection, midi->templatesCollections().size());
    }
    const size_t mappings = presets->countOfPresets();
    send(kRestore, {String("One too many")});
    send(kMIDI, midiRequest("/m", 0, "[New] Kick", kCC));
    // An existing mapping and collection are still found.
    send(kMIDI, midiRequest("/m", 0, "[C7] Kick", kCC));
    send(kRestore, {String("Mapping 3")});
    ASSERT_TRUE(runUntil([&] { return presets->currentPreset()->name() == "Mapping 3"; }));
    ASSERT_TRUE(barrier());
    EXPECT_EQ(presets->countOfPresets(), mappings);
    EXPECT_EQ(presets->presetWithName("One too many"), nullptr);
    EXPECT_TRUE(log.contains("cannot make mapping \"One too many\": the document holds 1000 mappings"))
        << ::testing::PrintToString(log.lines());
    EXPECT_TRUE(log.contains("cannot make template collection \"New\": the document holds 1000"));
    EXPECT_EQ(midi->templatesCollections().size(), QRBInterpretationManager::kMaxDocumentCollections);
    EXPECT_EQ(midi->templatesCollections()[7]->templateList().size(), 1u);
}

// An automatic mapping on a message the request itself makes is set up for the floats a client
// sends, as on a declared one: 0.25, 0.5 and 1.0 give programs 32, 64 and 127 (C2 20, C2 40, C2 7F).
TEST_F(ControlAPITest, AnAutomaticMappingOnANewMessageScalesFloatsOntoItsRange) {
    send(kMIDI, midiRequest("/new/pc", 0, "<auto>", bytes({0xC2, 0x00})));
    send(kCreate, {String("/known/pc"), String("f")});
    send(kMIDI, midiRequest("/known/pc", 0, "<auto>", bytes({0xC2, 0x00})));
    ASSERT_TRUE(barrier());
    for (const char* path : {"/new/pc", "/known/pc"}) {
        SCOPED_TRACE(path);
        QRBContextPtr pc = manager->contextWithName(path);
        ASSERT_NE(pc, nullptr);
        for (const auto& [input, program] : {std::pair{0.25, 32.0}, std::pair{0.5, 64.0}, std::pair{1.0, 127.0}}) {
            pc->receive(QRBOSCMessage::OSCMessageWithPath(path, {QRBArg::argWithFloatValue(float(input))}),
                        manager->oscInputEndpoint(), foundation::Date::now());
            // The program change output sends its value times 127.
            EXPECT_NEAR(pc->argValue()->doubleValue() * 127, program, 0.5) << input;
        }
        EXPECT_DOUBLE_EQ(pc->userOutputMin(), 0);
        EXPECT_DOUBLE_EQ(pc->userOutputMax(), 127);
    }
}

// A document whose interpretation manager was archived without its manager (the key is only
// written conditionally): the manager hands itself over on decoding, or TUIO and the whole API
// would find no document.
TEST(InterpretationDecodingTest, ADecodedInterpretationManagerGetsTheManagerThatDecodedIt) {
    auto interpretation = presets::RawRecord::make("QRBInterpretationManager");
    interpretation->set("inputMode", foundation::Value(int64_t(3)));
    auto archived = presets::RawRecord::make("QRBManager");
    archived->set("tuioManager", foundation::Value(std::static_pointer_cast<foundation::Object>(interpretation)));
    const foundation::Data data = foundation::KeyedArchiver::archivedDataWithRootObject(
        foundation::Value(std::static_pointer_cast<foundation::Object>(archived)));
    auto manager = QuorbitalCore::newUnarchiverForCompatibleDecodingOfQuorbitalDocumentUsingData(data)
                       ->decodeObjectOfClass<QRBManager>("root");
    ASSERT_NE(manager, nullptr);
    ASSERT_NE(manager->tuioManager(), nullptr);
    EXPECT_EQ(manager->tuioManager()->oscManager(), manager);
    EXPECT_EQ(manager->tuioManager()->inputMode(), 3u);
    ASSERT_NE(manager->tuioManager()->interpreter(0), nullptr);
    manager->close();
}

TEST_F(ControlAPITest, BlobsTooLargeForAPacketAreRefusedBeforeDispatch) {
    // 65536 bytes of MIDI cannot be one OSC packet: over TCP the frame is refused whole.
    managertest::Sender tcp(LO_TCP, port);
    tcp.send(managertest::packet(kMIDI, midiRequest("/big", 0, "<auto>", std::string(65536, '\x01'))));
    ASSERT_TRUE(runUntil([&] { return log.contains("OSC error"); })) << ::testing::PrintToString(log.lines());
    ASSERT_TRUE(barrier());
    EXPECT_EQ(manager->contextWithName("/big"), nullptr);
    EXPECT_TRUE(undo->isUndoRegistrationEnabled());
}

}  // namespace
