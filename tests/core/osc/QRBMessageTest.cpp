#include "core/monitor/QRBMessageMonitor.h"
#include "core/osc/QRBAppMessage.h"
#include "core/osc/QRBMessageEndpointChangeMessage.h"
#include "core/osc/QRBOSCMessage.h"
#include "foundation/Exception.h"
#include "foundation/KeyedArchiver.h"
#include "midi/QRBMIDIMessage.h"
#include "midi/QRBMIDIMessageEndpoint.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

using foundation::Data;

// ---------------------------------------------------------------------------------------------
// MIDI messages

std::string repeated(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

Data bytesOf(size_t count, uint8_t value) { return Data(count, value); }

const std::string kLineOfAB = "AB   AB   AB   AB   AB   AB   AB   AB   \n";

struct MIDIPresentationCase {
    const char* name;
    Data bytes;
    std::string presentation;
    size_t lines;
};

TEST(QRBMIDIMessage, PresentsBytesAsHexLinesOfEight) {
    const std::vector<MIDIPresentationCase> cases = {
        {"empty", {}, "", 0},
        {"one byte", {0x90}, "90   ", 1},
        {"note on", {0x90, 0x3C, 0x7F}, "90   3C   7F   ", 1},
        {"eight bytes end their line", bytesOf(8, 0xAB), kLineOfAB, 1},
        {"nine bytes start a second line", bytesOf(9, 0xAB), kLineOfAB + "AB   ", 2},
        {"64 bytes fill eight lines", bytesOf(64, 0xAB), repeated(kLineOfAB, 8), 8},
        {"65 bytes are cut off", bytesOf(65, 0xAB), repeated(kLineOfAB, 8) + "(and more ...)", 9},
        {"1000 bytes are cut off", bytesOf(1000, 0xAB), repeated(kLineOfAB, 8) + "(and more ...)", 9},
        {"lower-case digits never appear", {0x0A, 0xFF}, "0A   FF   ", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto message = QRBMIDIMessage::MIDIMessageWithData(c.bytes);
        EXPECT_EQ(message->presentation(), c.presentation);
        EXPECT_EQ(message->countOfPresentedLines(), c.lines);
    }
}

struct MIDIDetailsCase {
    Data bytes;
    std::optional<std::string> details;
};

TEST(QRBMIDIMessage, DetailsDecodeTheStatusByte) {
    const std::vector<MIDIDetailsCase> cases = {
        // Data bytes only.
        {{0x3C}, std::nullopt},
        {{0x7F, 0x00, 0x00}, std::nullopt},
        // Notes: velocity 0 is a note-off; two-character note names are padded.
        {{0x90, 0x3C, 0x40}, "Note-On  C3      Velocity  64    Ch  1"},
        {{0x90, 0x3C, 0x00}, "Note-Off C3      Velocity   0    Ch  1"},
        {{0x81, 0x3D, 0x7F}, "Note-Off C#3     Velocity 127    Ch  2"},
        {{0x9F, 0x00, 0x01}, "Note-On  C-2     Velocity   1    Ch 16"},
        {{0x90, 0x01, 0x01}, "Note-On  C#-2     Velocity   1    Ch  1"},
        {{0x90, 0x7F, 0x01}, "Note-On  G8      Velocity   1    Ch  1"},
        // The other voice messages.
        {{0xA2, 0x3C, 0x10}, "Aftertouch C3     Value  16       Ch  3"},
        {{0xB0, 0x07, 0x64}, "Control   7      Value 100       Ch  1"},
        {{0xC5, 0x0C}, "Program  12                      Ch  6"},
        {{0xD0, 0x40}, "Mono Pressure    Value  64       Ch  1"},
        {{0xE0, 0x00, 0x40}, "Pitch Bend       Value     0     Ch  1"},
        {{0xE0, 0x7F, 0x7F}, "Pitch Bend       Value  8191     Ch  1"},
        {{0xEF, 0x00, 0x00}, "Pitch Bend       Value -8192     Ch 16"},
        // Longer voice messages: only a pair of control changes is decoded.
        {{0xB0, 0x65, 0x00, 0xB0, 0x64, 0x00}, "RPN/NRPN                         Ch  1"},
        {{0xB3, 0x63, 0x01, 0xB3, 0x62, 0x02}, "RPN/NRPN                         Ch  4"},
        {{0xB0, 0x65, 0x00, 0x90, 0x3C, 0x40}, std::nullopt},
        {{0xB0, 0x65, 0x00, 0xB0}, std::nullopt},
        {{0xB0, 0x65, 0x00, 0xB0, 0x64, 0x00, 0xB0}, std::nullopt},
        {{0x90, 0x3C, 0x40, 0x90, 0x3E, 0x40}, std::nullopt},
        // A voice message cut short has no data bytes to read.
        {{0x90}, std::nullopt},
        {{0x90, 0x3C}, std::nullopt},
        {{0xE0, 0x00}, std::nullopt},
        {{0xC0}, std::nullopt},
        // System messages.
        {{0xF0, 0x7E, 0x00, 0xF7}, "SysEx (4 bytes)"},
        {{0xF1, 0x00}, "MTC Quarter Frame"},
        {{0xF2, 0x00, 0x00}, "Song Position Pointer"},
        {{0xF3, 0x00}, "Song Select"},
        {{0xF4}, std::nullopt},
        {{0xF5}, std::nullopt},
        {{0xF6}, "Tune Request"},
        {{0xF7}, "End of SysEx"},
        {{0xF8}, "System Real Time: Timing Clock"},
        {{0xF9}, std::nullopt},
        {{0xFA}, "System Real Time: Start"},
        {{0xFB}, "System Real Time: Continue"},
        {{0xFC}, "System Real Time: Stop"},
        {{0xFD}, std::nullopt},
        {{0xFE}, "System Real Time: Active Sensing"},
        {{0xFF}, "System Real Time: System Reset"},
        {{}, std::nullopt},
    };
    for (const auto& c : cases) {
        auto message = QRBMIDIMessage::MIDIMessageWithData(c.bytes);
        SCOPED_TRACE(message->presentation());
        EXPECT_EQ(message->details(), c.details);
    }
}

TEST(QRBMIDIMessage, ShouldMonitorLeavesOutHighRateTraffic) {
    const std::vector<std::pair<uint8_t, bool>> cases = {
        {0xF1, false}, {0xF8, false}, {0xFE, false}, {0xF0, true}, {0xFA, true}, {0x90, true}, {0x3C, true},
    };
    for (const auto& [status, expected] : cases) {
        auto message = QRBMIDIMessage::MIDIMessageWithByte(status);
        EXPECT_EQ(message->shouldMonitor(), expected) << int(status);
        // The monitor itself shows every MIDI message.
        EXPECT_TRUE(message->isMonitorable());
    }
}

TEST(QRBMIDIMessage, ConstructorsAppendingAndEquality) {
    auto two = QRBMIDIMessage::MIDIMessageWithStatus(0xC0, 0x05);
    auto three = QRBMIDIMessage::MIDIMessageWithStatus(0x90, 0x3C, 0x40);
    EXPECT_EQ(two->data(), (Data{0xC0, 0x05}));
    EXPECT_EQ(three->data(), (Data{0x90, 0x3C, 0x40}));

    auto start = QRBMIDIMessage::MIDIMessageWithData({0xF0, 0x01});
    start->setUserInfo({{"backmapping", foundation::Value(true)}});
    auto joined = start->MIDIMessageByAppendingData({0x02, 0xF7});
    EXPECT_EQ(joined->data(), (Data{0xF0, 0x01, 0x02, 0xF7}));
    EXPECT_EQ(start->data(), (Data{0xF0, 0x01})) << "the original is left as it was";
    EXPECT_TRUE(joined->userInfo().empty());

    EXPECT_TRUE(three->isEqualToMIDIMessage(*three));
    EXPECT_TRUE(three->isEqualToMIDIMessage(*QRBMIDIMessage::MIDIMessageWithData({0x90, 0x3C, 0x40})));
    EXPECT_FALSE(three->isEqualToMIDIMessage(*QRBMIDIMessage::MIDIMessageWithData({0x90, 0x3C})));
    EXPECT_FALSE(three->isEqualToMIDIMessage(*QRBMIDIMessage::MIDIMessageWithData({0x90, 0x3C, 0x41})));
}

// ---------------------------------------------------------------------------------------------
// Endpoints and header lines

TEST(QRBMessageEndpoint, SharedEndpointsAreMadeOnce) {
    struct Case {
        QRBMessageEndpointPtr endpoint;
        QRBMessageEndpointPtr again;
        const char* category;
        unsigned direction;
    };
    const std::vector<Case> cases = {
        {QRBMessageEndpoint::appEndpoint(), QRBMessageEndpoint::appEndpoint(), "Application", 0},
        {QRBMIDIMessageEndpoint::MIDIInputsEndpoint(), QRBMIDIMessageEndpoint::MIDIInputsEndpoint(),
         "Active MIDI Inputs", 1},
        {QRBMIDIMessageEndpoint::MIDIOutputsEndpoint(), QRBMIDIMessageEndpoint::MIDIOutputsEndpoint(),
         "Active MIDI Outputs", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.category);
        EXPECT_EQ(c.endpoint, c.again);
        EXPECT_EQ(c.endpoint->categoryName(), c.category);
        EXPECT_EQ(c.endpoint->direction(), c.direction);
        EXPECT_FALSE(c.endpoint->statusDescription());
    }
}

TEST(QRBMIDIMessageEndpoint, IsNamedAfterItsMIDIEndpointWhichItHoldsWeakly) {
    auto destination = std::make_shared<TarnMIDIEndpoint>("Synth Port 1");
    QRBMIDIMessageEndpoint endpoint(destination, QRBMessageEndpoint::kDirectionOutgoing);
    EXPECT_EQ(endpoint.categoryName(), "Synth Port 1");
    EXPECT_EQ(endpoint.midiEndpoint(), destination);

    destination.reset();
    EXPECT_EQ(endpoint.midiEndpoint(), nullptr);
    EXPECT_EQ(endpoint.categoryName(), "Synth Port 1");
}

TEST(QRBMessageEndpointChangeMessage, PresentsDirectionCategoryAndStatus) {
    auto target = std::make_shared<QRBMessageEndpoint>("OSC Output", 2);
    target->setStatusDescription("osc.udp://127.0.0.1:9000");
    auto snapshot = std::make_shared<QRBMessageEndpoint>("Snapshot Recall", 1);
    snapshot->setStatusDescription("Verse");
    auto odd = std::make_shared<QRBMessageEndpoint>("Elsewhere", 7);

    std::vector<std::pair<QRBMessageEndpointPtr, std::string>> cases = {
        {QRBMIDIMessageEndpoint::MIDIInputsEndpoint(), "From Active MIDI Inputs"},
        {QRBMIDIMessageEndpoint::MIDIOutputsEndpoint(), "To Active MIDI Outputs"},
        {QRBMessageEndpoint::appEndpoint(), "Application"},
        {target, "To OSC Output - osc.udp://127.0.0.1:9000"},
        {snapshot, "From Snapshot Recall - Verse"},
        {odd, "Elsewhere"},
    };
    for (const auto& [endpoint, expected] : cases) {
        auto header = QRBMessageEndpointChangeMessage::endpointChangeMessageWithEndpoint(endpoint);
        EXPECT_EQ(header->presentation(), expected);
        EXPECT_EQ(header->details(), std::string());
        EXPECT_EQ(header->countOfPresentedLines(), 1u);
    }
    cases.clear();

    // The header follows its endpoint's status, and does not keep the endpoint alive.
    auto header = QRBMessageEndpointChangeMessage::endpointChangeMessageWithEndpoint(target);
    target->setStatusDescription("osc.tcp://127.0.0.1:9001");
    EXPECT_EQ(header->presentation(), "To OSC Output - osc.tcp://127.0.0.1:9001");
    target.reset();
    EXPECT_EQ(header->endpoint(), nullptr);
    EXPECT_EQ(header->presentation(), "");
}

TEST(QRBAppMessage, ReturnsItsTextsAsGiven) {
    auto plain = QRBAppMessage::appMessageWithPresentation("Routing started");
    EXPECT_EQ(plain->presentation(), "Routing started");
    EXPECT_EQ(plain->details(), std::nullopt);
    auto detailed = QRBAppMessage::appMessageWithPresentation("Error occurred when starting routing", "port in use");
    EXPECT_EQ(detailed->details(), "port in use");
    EXPECT_TRUE(detailed->isMonitorable());
}

// ---------------------------------------------------------------------------------------------
// OSC messages

QRBOSCMessagePtr faderMessage() {
    return QRBOSCMessage::OSCMessageWithPath(
        "/fader", {QRBArg::argWithFloatValue(0.5f), QRBArg::argWithInt32Value(3), QRBArg::argWithStringValue("go")});
}

std::string assertionReason(const std::function<void()>& body) {
    try {
        body();
    } catch (const foundation::Exception& e) {
        return e.reason();
    }
    return "(nothing raised)";
}

TEST(QRBOSCMessage, PresentationAndSignature) {
    auto message = faderMessage();
    EXPECT_EQ(message->OSCTypesSignature(), "fis");
    EXPECT_EQ(message->presentation(), "/fader ,fis 0.50 3 \"go\"");
    EXPECT_EQ(message->details(), std::string());
    EXPECT_EQ(message->countOfPresentedLines(), 1u);

    auto bare = QRBOSCMessage::OSCMessageWithPath("/ping", std::vector<QRBArgPtr>{});
    EXPECT_EQ(bare->OSCTypesSignature(), "");
    EXPECT_EQ(bare->presentation(), "/ping ,");
}

TEST(QRBOSCMessage, DeviceManagerTrafficIsNotMonitorable) {
    const std::vector<std::pair<const char*, bool>> cases = {
        {"/midi/1/cc", false},
        {"/midiclock", false},
        {"/wii/1/button/A", false},
        {"/wiimote", false},
        {"/wacom", false},
        {"/wacom/pen/x", false},
        {"/fader", true},
        {"/tuio/2Dcur", true},
        {"/mid", true},
        {"/quorbital/mapping", true},
        {"midi", true},
        {"/MIDI/1", true},
    };
    for (const auto& [path, monitorable] : cases)
        EXPECT_EQ(QRBOSCMessage::OSCMessageWithPath(path, std::vector<QRBArgPtr>{})->isMonitorable(), monitorable)
            << path;
}

TEST(QRBOSCMessage, EqualityComparesPathAndEachArgument) {
    auto a = faderMessage();
    EXPECT_TRUE(a->isEqualToOSCMessage(*a));
    EXPECT_TRUE(a->isEqualToOSCMessage(*faderMessage()));

    auto longer =
        QRBOSCMessage::OSCMessageWithPath("/fader", {QRBArg::argWithFloatValue(0.5f), QRBArg::argWithInt32Value(3),
                                                     QRBArg::argWithStringValue("go"), QRBArg::argWithNilValue()});
    auto otherPath = QRBOSCMessage::OSCMessageWithPath("/knob", a->arguments());
    auto otherValue = QRBOSCMessage::OSCMessageWithPath(
        "/fader", {QRBArg::argWithFloatValue(0.5f), QRBArg::argWithInt32Value(4), QRBArg::argWithStringValue("go")});
    for (const auto& other : {longer, otherPath, otherValue}) {
        SCOPED_TRACE(other->presentation());
        EXPECT_FALSE(a->isEqualToOSCMessage(*other));
        EXPECT_FALSE(other->isEqualToOSCMessage(*a));
    }
}

TEST(QRBOSCMessage, KeepArgumentsAfterIndex) {
    auto message = faderMessage();
    message->setUserInfo({{"backmapping", foundation::Value(1)}});

    const std::vector<std::pair<size_t, std::string>> cases = {
        {0, "/part ,fis 0.50 3 \"go\""}, {1, "/part ,is 3 \"go\""}, {2, "/part ,s \"go\""}, {3, "/part ,"}};
    for (const auto& [index, expected] : cases) {
        auto part = message->OSCMessageWithPathKeepArgumentsAfterIndex("/part", index);
        EXPECT_EQ(part->presentation(), expected) << index;
        EXPECT_TRUE(part->userInfo().empty());
    }
    EXPECT_EQ(message->OSCMessageWithPathKeepArgumentsAfterIndex("/part", 1)->arguments()[0], message->arguments()[1])
        << "the kept arguments are shared, as the values they are";

    EXPECT_EQ(assertionReason([&] { message->OSCMessageWithPathKeepArgumentsAfterIndex("/part", 4); }),
              "Invalid parameter not satisfying: index <= self.arguments.count");
    auto bare = QRBOSCMessage::OSCMessageWithPath("/ping", std::vector<QRBArgPtr>{});
    EXPECT_EQ(assertionReason([&] { bare->OSCMessageWithPathKeepArgumentsAfterIndex("/part", 0); }),
              "Invalid parameter not satisfying: self.arguments.count > 0");
}

TEST(QRBOSCMessage, LibloMessageRoundTrip) {
    auto message = QRBOSCMessage::OSCMessageWithPath(
        "/mix", {QRBArg::argWithInt32Value(-7), QRBArg::argWithFloatValue(0.25f), QRBArg::argWithStringValue("a b"),
                 QRBArg::argWithTrueValue(), QRBArg::argWithFalseValue(), QRBArg::argWithNilValue(),
                 QRBArg::argOfTypeWithDoubleValue('d', 1.5), QRBArg::argOfTypeWithDoubleValue('h', 1e12)});

    QRBLibloMessagePtr libloMessage = message->createLibloMessage();
    ASSERT_NE(libloMessage, nullptr);
    EXPECT_STREQ(lo_message_get_types(libloMessage.get()), "ifsTFNdh");

    auto back = QRBOSCMessage::OSCMessageWithPath("/mix", libloMessage.get());
    EXPECT_TRUE(back->isEqualToOSCMessage(*message)) << back->presentation();

    auto empty = QRBOSCMessage::OSCMessageWithPath("/ping", std::vector<QRBArgPtr>{})->createLibloMessage();
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(lo_message_get_argc(empty.get()), 0);
}

TEST(QRBOSCMessage, PlainMessagesAreWrittenByteForByteAsLibloWritesThem) {
    // Every length of path, string and type list around the 4-byte padding, a string whose
    // buffer lost its NUL, a hand-shortened int, and types that are left to liblo.
    auto shortInt = QRBArg::argWithInt32Value(0x01020304);
    shortInt->setManagedBufferSize(2);
    auto unterminated = QRBArg::argWithStringValue(std::string("abcd"));
    unterminated->setManagedBufferSize(4);
    struct Case {
        std::string path;
        std::vector<QRBArgPtr> arguments;
        bool plain;
    };
    std::vector<Case> cases;
    for (const std::string path : {"", "/", "/ab", "/abc", "/abcd", "/abcdefg"}) {
        cases.push_back({path, {}, true});
        cases.push_back({path, {QRBArg::argWithFloatValue(-1.5f)}, true});
    }
    for (const std::string text : {"", "a", "abc", "abcd", "abcdefgh"})
        cases.push_back({"/s", {QRBArg::argWithStringValue(text), QRBArg::argWithInt32Value(-7)}, true});
    cases.push_back({"/many",
                     {QRBArg::argWithInt32Value(1), QRBArg::argWithFloatValue(2.25f),
                      QRBArg::argWithStringValue(std::string("three")), QRBArg::argWithInt32Value(INT32_MIN)},
                     true});
    cases.push_back({"/short", {shortInt, unterminated}, true});
    cases.push_back({"/other", {QRBArg::argWithFloatValue(1), QRBArg::argWithTrueValue()}, false});
    cases.push_back({"/other", {QRBArg::argWithNilValue()}, false});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " with " + std::to_string(c.arguments.size()) + " arguments");
        std::vector<uint8_t> bytes{9, 9, 9};  // replaced, not appended to
        ASSERT_EQ(QRBOSCMessage::serialisePlain(c.path, c.arguments, bytes), c.plain);
        if (!c.plain) continue;
        QRBLibloMessagePtr message = QRBOSCMessage::createLibloMessage(c.arguments);
        ASSERT_TRUE(message);
        size_t size = 0;
        void* expected = lo_message_serialise(message.get(), c.path.c_str(), nullptr, &size);
        ASSERT_NE(expected, nullptr);
        EXPECT_EQ(bytes, std::vector<uint8_t>(static_cast<uint8_t*>(expected), static_cast<uint8_t*>(expected) + size));
        std::free(expected);
    }
}

TEST(QRBOSCMessage, ArchiveRoundTrip) {
    auto message = faderMessage();
    message->setUserInfo({{"backmapping", foundation::Value(1)}});
    foundation::Data archive = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(message));
    auto decoded = foundation::KeyedUnarchiver::unarchiveRoot<QRBOSCMessage>(archive);
    EXPECT_TRUE(decoded->isEqualToOSCMessage(*message)) << decoded->presentation();
    EXPECT_TRUE(decoded->userInfo().empty()) << "user info is the creator's and is not archived";

    auto bare = QRBOSCMessage::OSCMessageWithPath("/ping", std::vector<QRBArgPtr>{});
    auto decodedBare = foundation::KeyedUnarchiver::unarchiveRoot<QRBOSCMessage>(
        foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(bare)));
    EXPECT_TRUE(decodedBare->isEqualToOSCMessage(*bare));
}

// Writes what a damaged document could hold under the OSC message's class name.
class DamagedOSCMessage : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBOSCMessage", foundation::Object)
public:
    std::optional<foundation::Value> path;
    std::optional<foundation::Value> arguments;
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override {
        if (path) coder.encodeObject(*path, "path");
        if (arguments) coder.encodeObject(*arguments, "arguments");
    }
};

TEST(QRBOSCMessage, DamagedArchivesGiveAnError) {
    struct Case {
        const char* name;
        std::optional<foundation::Value> path;
        std::optional<foundation::Value> arguments;
    };
    const std::vector<Case> cases = {
        {"no path", std::nullopt, foundation::Value(foundation::Array{})},
        {"path of another type", foundation::Value(5), foundation::Value(foundation::Array{})},
        {"arguments not a list", foundation::Value("/a"), foundation::Value("i")},
        {"an argument that is a string", foundation::Value("/a"),
         foundation::Value(foundation::Array{foundation::Value("x")})},
        {"an argument that is another object", foundation::Value("/a"),
         foundation::Value(foundation::Array{foundation::Value(std::make_shared<QRBMessageMonitor>())})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto damaged = std::make_shared<DamagedOSCMessage>();
        damaged->path = c.path;
        damaged->arguments = c.arguments;
        foundation::Data archive = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(damaged));
        EXPECT_THROW(foundation::KeyedUnarchiver::unarchiveRoot<QRBOSCMessage>(archive), foundation::ArchiveError);
    }

    // A message without arguments may leave the key out.
    auto noArguments = std::make_shared<DamagedOSCMessage>();
    noArguments->path = foundation::Value("/a");
    auto decoded = foundation::KeyedUnarchiver::unarchiveRoot<QRBOSCMessage>(
        foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(noArguments)));
    EXPECT_EQ(decoded->presentation(), "/a ,");
}

}  // namespace
