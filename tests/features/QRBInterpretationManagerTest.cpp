// The control API over UDP on the loopback, against a running document: declaring messages,
// setting ranges, restoring mappings, the checks of map to MIDI, and requests that cannot be
// completed, each refused with its log line while undo registration comes back on and the next
// good request still works.

#include "InterpretationTestSupport.h"

#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/osc/QRBServer.h"
#include "core/support/OSCBytes.h"

#include <cmath>
#include <limits>

using firing::Blob;
using firing::Float;
using firing::Int;
using firing::String;
using interpretationtest::Arg;
using interpretationtest::InterpretationFixture;

namespace {

constexpr const char* kCreate = QRBInterpretationManager::kCreatePath;
constexpr const char* kRange = QRBInterpretationManager::kRangePath;
constexpr const char* kMIDI = QRBInterpretationManager::kMapToMIDIPath;
constexpr const char* kRestore = QRBInterpretationManager::kRestorePath;

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
        Refusal{"CreateForAPattern", request(kCreate, {String("/n*"), String("f")}), "invalid message address: /n*"},
        Refusal{"CreateForNoAddress", request(kCreate, {String(""), String("f")}), "invalid message address"},
        Refusal{"RangePastTheArguments", request(kRange, {String("/m"), Int(2), Int(0), Int(1)}),
                "APIMessage:argumentAtIndex: failed for argument index 2 of message /m"},
        Refusal{"RangeAtANegativeIndex", request(kRange, {String("/m"), Int(-1), Int(0), Int(1)}),
                "APIMessage:argumentAtIndex: failed"},
        Refusal{"RangeNotANumber",
                request(kRange, {String("/m"), Int(0), Float(std::numeric_limits<double>::quiet_NaN()), Float(1)}),
                "invalid range for argument index 0 of message /m"},
        Refusal{"RestoreWithoutAName", request(kRestore, {String("")}),
                "API: /quorbital/v1/mapping/restore, cannot restore mapping because the given name is empty"},
        Refusal{"MIDIWithTooFewArguments", request(kMIDI, {String("/m"), Int(0), Int(0)}),
                "API: /quorbital/v1/message/argument/map/midi, invalid argument count: 3"},
        Refusal{"MIDIWithAnIntegerForTheBlob",
                request(kMIDI, {String("/m"), Int(0), Int(0), Int(127), String("<auto>"), Int(7), String("changed")}),
                "invalid argument types: siiisis"},
        Refusal{"MIDIWithAStringForTheIndex",
                request(kMIDI,
                        {String("/m"), String("0"), Int(0), Int(127), String("<auto>"), Blob(kCC), String("changed")}),
                "invalid argument types: ssiisbs"},
        Refusal{"MIDIWithAnEmptyBlob", requestWithEmptyBlob(),
                "invalid MIDI message blob size (must be positive and lower than 65535): 0"},
        Refusal{"MIDIWithAnUnknownTrigger", request(kMIDI, midiRequest("/m", 0, "<auto>", kCC, {}, "sideways")),
                "invalid trigger type 'sideways' for argument index 0 of message /m"},
        Refusal{"MIDIPastTheArguments", request(kMIDI, midiRequest("/m", 5, "<auto>", kCC)),
                "APIMessage:argumentAtIndex: failed for argument index 5 of message /m"},
        Refusal{"MIDIAutomaticWithANoteOn", request(kMIDI, midiRequest("/m", 0, "<auto>", bytes({0x90, 0x3C, 0x7F}))),
                "unable to map MIDI message template to OSC message /m[0]: unsupported status byte ($90)"},
        Refusal{"MIDIAutomaticWithAShortControlChange",
                request(kMIDI, midiRequest("/m", 0, "<auto>", bytes({0xB1, 0x07}))), "unsupported status byte ($B0)"},
        Refusal{"MIDIAutomaticWithEightArguments", request(kMIDI, midiRequest("/m", 0, "<auto>", kCC, {Int(1)})),
                "error invalid argument count: 8 provided, 6 expected"},
        Refusal{"MIDITemplateWithAnUnknownSubstitution",
                request(kMIDI, midiRequest("/m", 0, "[Drums] Kick", kCC, {String("bogus")})),
                "invalid substitution type: bogus"},
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
                "invalid checksum type: crc"},
        Refusal{"MIDITemplateWithoutACollection", request(kMIDI, midiRequest("/m", 0, "Drums Kick", kCC)),
                "invalid MIDI template display name, expected format was \"[Collection_Name] Template_Name\", "
                "provided string is Drums Kick"},
        Refusal{"MIDITemplateWithAnEmptyCollection", request(kMIDI, midiRequest("/m", 0, "[] Kick", kCC)),
                "invalid MIDI template display name"},
        Refusal{"MIDITemplateWithATooShortName", request(kMIDI, midiRequest("/m", 0, "[Drums]K", kCC)),
                "invalid MIDI template display name"},
        Refusal{"MappingChannelPastTheArguments",
                request(QRBInterpretationManager::kMappingChannelPath, {String("/m"), Int(9), Int(0), Int(15)}),
                "APIMessage:argumentAtIndex: failed for argument index 9 of message /m"},
        Refusal{"ArgumentChannelWithATargetPastItsArguments",
                request(QRBInterpretationManager::kArgumentChannelPath,
                        {String("/m"), Int(0), Int(0), Int(15), String("/m"), Int(4)}),
                "APIMessage:argumentAtIndex: failed for argument index 4 of message /m"}),
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

TEST_F(ControlAPITest, ATemplateRequestWithEveryKindOfSubstitutionPassesTheChecks) {
    // A SysEx with a value, an output channel and a checksum: nothing about the request is
    // refused, and the message it names exists afterwards.
    const std::string sysex = bytes({0xF0, 0x41, 0x10, 0x00, 0x00, 0x00, 0xF7});
    send(kMIDI, midiRequest("/synth/cutoff", 0, "[Synth] Cutoff", sysex,
                            {String("value"), Int(0), Int(7), Int(4), Int(0), String("output-channel"), Int(2), Int(0),
                             String("checksum"), String("twos-complement"), Int(1), Int(4), Int(5)}));
    ASSERT_TRUE(barrier());
    EXPECT_NE(manager->contextWithName("/synth/cutoff"), nullptr);
    for (const auto& line : log.lines()) EXPECT_EQ(line.find("invalid"), std::string::npos) << line;
    EXPECT_TRUE(undo->isUndoRegistrationEnabled());
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
