// TUIO input over UDP on the loopback, against a running document: frames of the profiles become
// one address per object with its alive announcements, cursor slots are given and reused, the
// input modes pass through and interpret, coalesced sources are averaged, malformed messages are
// ignored or passed on, and a tracker written on its own (tests/scripts/tuio_sender.py) becomes
// per-cursor contexts in a document decoded as a headless run decodes it.

#include "InterpretationTestSupport.h"

#include "core/mapping/QRBPreset.h"
#include "document/QRBDocument.h"
#include "document/QuorbitalCore.h"
#include "foundation/Date.h"
#include "foundation/KeyedArchiver.h"
#include "support/TestSupport.h"

#include <algorithm>

using firing::Float;
using firing::Int;
using firing::String;
using interpretationtest::Arg;
using interpretationtest::InterpretationFixture;

namespace {

using Message = std::pair<std::string, std::vector<Arg>>;

std::vector<uint8_t> frame(const std::vector<Message>& messages) {
    return managertest::bundle(foundation::OSCTimeTag::immediate(), messages);
}

Message cur(std::vector<Arg> args) { return {"/tuio/2Dcur", std::move(args)}; }
Message alive(const std::string& profile, std::vector<int32_t> sessions) {
    std::vector<Arg> args{String("alive")};
    for (int32_t session : sessions) args.push_back(Int(session));
    return {profile, args};
}
Message fseq(const std::string& profile, int32_t number) { return {profile, {String("fseq"), Int(number)}}; }
Message setCursor(int32_t session, double x, double y) {
    return cur({String("set"), Int(session), Float(x), Float(y), Float(0), Float(0), Float(0)});
}
Message source(const std::string& profile, const std::string& name) {
    return {profile, {String("source"), String(name)}};
}

class TUIOTest : public InterpretationFixture {
protected:
    TUIOProfileInterpreter& interpreter(unsigned profile) { return *manager->tuioManager()->interpreter(profile); }
    // The monitored lines of interpreted messages, oldest first.
    std::vector<std::string> interpreted() const {
        std::vector<std::string> lines;
        for (const auto& line : monitoredMessages())
            if (line.rfind("/tuio/2D/", 0) == 0 || line.rfind("/tuio/3D/", 0) == 0) lines.push_back(line);
        return lines;
    }
    bool hasContext(const std::string& path) const { return manager->contextWithName(path) != nullptr; }
};

TEST_F(TUIOTest, ACursorFrameAnnouncesTheCursorThenItsValuesAndItsLeavingFreesTheSlot) {
    send(frame({alive("/tuio/2Dcur", {3}),
                cur({String("set"), Int(3), Float(0.25), Float(0.75), Float(0.5), Float(-0.5), Float(2)}),
                fseq("/tuio/2Dcur", 10)}));
    ASSERT_TRUE(runUntil([&] { return hasContext("/tuio/2D/cur/0"); }));

    const std::vector<std::string> lines = interpreted();
    ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0].rfind("/tuio/2D/cur/0/alive ,f ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("/tuio/2D/cur/0 ,fffff ", 0), 0u) << lines[1];
    EXPECT_EQ(lastValues("/tuio/2D/cur/0/alive"), std::vector<double>{1.0});
    EXPECT_EQ(lastValues("/tuio/2D/cur/0"), (std::vector<double>{0.25, 0.75, 0.5, -0.5, 2}));
    EXPECT_TRUE(interpreter(TUIOProfileInterpreter::Cursor2D).isCursorUsed(0));
    EXPECT_EQ(interpreter(TUIOProfileInterpreter::Cursor2D).curFseq(), -1);  // frames are not kept once alive is

    send(frame({alive("/tuio/2Dcur", {}), fseq("/tuio/2Dcur", 11)}));
    ASSERT_TRUE(runUntil([&] { return lastValues("/tuio/2D/cur/0/alive") == std::vector<double>{0.0}; }));
    EXPECT_FALSE(interpreter(TUIOProfileInterpreter::Cursor2D).isCursorUsed(0));
    EXPECT_TRUE(interpreter(TUIOProfileInterpreter::Cursor2D).alive().empty());
}

TEST_F(TUIOTest, CursorsTakeTheLowestFreeSlot) {
    send(frame({alive("/tuio/2Dcur", {1, 2}), setCursor(1, 0.1, 0.1), setCursor(2, 0.2, 0.2), fseq("/tuio/2Dcur", 1)}));
    // The first leaves and a third arrives: it takes slot 0 again.
    send(frame({alive("/tuio/2Dcur", {2}), setCursor(2, 0.25, 0.25), fseq("/tuio/2Dcur", 2)}));
    send(frame({alive("/tuio/2Dcur", {2, 3}), setCursor(2, 0.3, 0.3), setCursor(3, 0.5, 0.5), fseq("/tuio/2Dcur", 3)}));
    ASSERT_TRUE(barrier());

    EXPECT_EQ(interpreter(TUIOProfileInterpreter::Cursor2D).alive(), (std::map<int32_t, int32_t>{{2, 1}, {3, 0}}));
    EXPECT_EQ(lastValues("/tuio/2D/cur/0").at(0), 0.5);
    EXPECT_FLOAT_EQ(lastValues("/tuio/2D/cur/1").at(0), 0.3);
    EXPECT_FALSE(hasContext("/tuio/2D/cur/2"));
    // Slot 0 went off once and on twice.
    std::vector<std::string> announcements;
    for (const auto& line : interpreted())
        if (line.rfind("/tuio/2D/cur/0/alive", 0) == 0) announcements.push_back(line);
    ASSERT_EQ(announcements.size(), 3u) << ::testing::PrintToString(interpreted());
}

TEST_F(TUIOTest, WithoutAliveMessagesAFreedSlotIsNotSharedByTheSessionThatHadIt) {
    // No "alive": every frame end lets the objects go. Session 1 returns in a frame where session
    // 2 has already taken slot 0 again; it must get a slot of its own.
    send(frame({setCursor(1, 0.1, 0.1), fseq("/tuio/2Dcur", 1)}));
    send(frame({setCursor(2, 0.2, 0.2), setCursor(1, 0.15, 0.15), fseq("/tuio/2Dcur", 2)}));
    ASSERT_TRUE(runUntil([&] { return hasContext("/tuio/2D/cur/1"); }));
    ASSERT_TRUE(barrier());
    EXPECT_FLOAT_EQ(lastValues("/tuio/2D/cur/1").at(0), 0.15);
    EXPECT_FLOAT_EQ(lastValues("/tuio/2D/cur/0").at(0), 0.2);
    // The last frame end let both go, and freed both slots.
    EXPECT_TRUE(interpreter(TUIOProfileInterpreter::Cursor2D).alive().empty());
    EXPECT_FALSE(interpreter(TUIOProfileInterpreter::Cursor2D).isCursorUsed(0));
    EXPECT_FALSE(interpreter(TUIOProfileInterpreter::Cursor2D).isCursorUsed(1));
    EXPECT_EQ(interpreter(TUIOProfileInterpreter::Cursor2D).curFseq(), 2);
}

TEST_F(TUIOTest, ObjectsAreNamedByTheirClassIdentifierWhateverTheirSession) {
    auto setObject = [](int32_t session, int32_t classID, double x) {
        return Message{"/tuio/2Dobj",
                       {String("set"), Int(session), Int(classID), Float(x), Float(0.5), Float(0), Float(0), Float(0),
                        Float(0), Float(0), Float(0)}};
    };
    send(frame({alive("/tuio/2Dobj", {7}), setObject(7, 12, 0.25), fseq("/tuio/2Dobj", 1)}));
    ASSERT_TRUE(runUntil([&] { return hasContext("/tuio/2D/obj/12"); }));
    EXPECT_EQ(lastValues("/tuio/2D/obj/12").size(), 8u);
    EXPECT_EQ(lastValues("/tuio/2D/obj/12/alive"), std::vector<double>{1.0});

    // Taken away and put back: a new session, the same address.
    send(frame({alive("/tuio/2Dobj", {}), fseq("/tuio/2Dobj", 2)}));
    send(frame({alive("/tuio/2Dobj", {9}), setObject(9, 12, 0.75), fseq("/tuio/2Dobj", 3)}));
    ASSERT_TRUE(
        runUntil([&] { return !lastValues("/tuio/2D/obj/12").empty() && lastValues("/tuio/2D/obj/12")[0] == 0.75; }));
    EXPECT_EQ(lastValues("/tuio/2D/obj/12/alive"), std::vector<double>{1.0});
    EXPECT_FALSE(hasContext("/tuio/2D/obj/9"));
    EXPECT_FALSE(hasContext("/tuio/2D/obj/0"));
}

TEST_F(TUIOTest, ThreeDimensionalProfilesHaveAddressesOfTheirOwn) {
    send(frame({alive("/tuio/3Dcur", {5}),
                {"/tuio/3Dcur",
                 {String("set"), Int(5), Float(0.1), Float(0.2), Float(0.3), Float(0), Float(0), Float(0), Float(0)}},
                fseq("/tuio/3Dcur", 1)}));
    send(frame({alive("/tuio/3Dobj", {6}),
                {"/tuio/3Dobj", {String("set"), Int(6), Int(4), Float(0.1), Float(0.2), Float(0.3)}},
                fseq("/tuio/3Dobj", 1)}));
    ASSERT_TRUE(runUntil([&] { return hasContext("/tuio/3D/cur/0") && hasContext("/tuio/3D/obj/4"); }));
    EXPECT_EQ(lastValues("/tuio/3D/cur/0").size(), 7u);
    EXPECT_EQ(lastValues("/tuio/3D/obj/4").size(), 3u);
    EXPECT_TRUE(hasContext("/tuio/3D/cur/0/alive"));
    EXPECT_FALSE(hasContext("/tuio/2D/cur/0"));
}

struct ModeCase {
    unsigned mode;
    bool passedThrough;
    bool interpreted;
};

class TUIOInputModeTest : public TUIOTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(TUIOInputModeTest, PassesThroughAndInterpretsAsTheModeSays) {
    manager->tuioManager()->setInputMode(GetParam().mode);
    send(frame({alive("/tuio/2Dcur", {1}), setCursor(1, 0.5, 0.5), fseq("/tuio/2Dcur", 1)}));
    ASSERT_TRUE(barrier());
    EXPECT_EQ(hasContext("/tuio/2Dcur"), GetParam().passedThrough);
    EXPECT_EQ(hasContext("/tuio/2D/cur/0"), GetParam().interpreted);
    if (GetParam().passedThrough) {
        // The raw messages reach their context unchanged, the last one being the frame's end.
        EXPECT_EQ(lastValues("/tuio/2Dcur").size(), 2u);
        // Once the table is rebuilt the context has an entry of its own, which must not hide the
        // interpreter.
        manager->registerAllMethods();
        send(frame({alive("/tuio/2Dcur", {1}), setCursor(1, 0.25, 0.5), fseq("/tuio/2Dcur", 2)}));
        ASSERT_TRUE(barrier());
        EXPECT_EQ(hasContext("/tuio/2D/cur/0"), GetParam().interpreted);
        if (GetParam().interpreted) EXPECT_FLOAT_EQ(lastValues("/tuio/2D/cur/0").at(0), 0.25);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, TUIOInputModeTest,
                         ::testing::Values(ModeCase{1, true, false}, ModeCase{2, false, true},
                                           ModeCase{3, true, true}));

TEST_F(TUIOTest, CoalescedSourcesAreAveragedWithTheOthersSeenWithinASecond) {
    // Two infrared cameras see the same point, each a little off.
    send(frame({source("/tuio/2Dcur", "quorbital-wiimote-1@127.0.0.1"), setCursor(1, 0.2, 0.4),
                alive("/tuio/2Dcur", {1}), fseq("/tuio/2Dcur", 1)}));
    ASSERT_TRUE(runUntil([&] { return hasContext("/tuio/2D/cur/0"); }));
    EXPECT_FLOAT_EQ(lastValues("/tuio/2D/cur/0").at(0), 0.2);  // nothing else seen yet

    send(frame({source("/tuio/2Dcur", "quorbital-wiimote-2@127.0.0.1"), setCursor(1, 0.4, 0.6),
                alive("/tuio/2Dcur", {1}), fseq("/tuio/2Dcur", 1)}));
    ASSERT_TRUE(barrier());
    const std::vector<double> averaged = lastValues("/tuio/2D/cur/0");
    ASSERT_EQ(averaged.size(), 5u);
    EXPECT_FLOAT_EQ(averaged[0], 0.3f);
    EXPECT_FLOAT_EQ(averaged[1], 0.5f);
    // Coalesced sources never count as alive messages: each set announces its object.
    EXPECT_FALSE(interpreter(TUIOProfileInterpreter::Cursor2D).receivesAlive());

    // A camera reporting fewer values cannot be averaged with the others: its own pass unchanged.
    send(frame({source("/tuio/2Dcur", "quorbital-wiimote-3@127.0.0.1"),
                cur({String("set"), Int(1), Float(0.7), Float(0.7)}), alive("/tuio/2Dcur", {1}),
                fseq("/tuio/2Dcur", 1)}));
    ASSERT_TRUE(barrier());
    EXPECT_EQ(lastValues("/tuio/2D/cur/0"), (std::vector<double>{0.7f, 0.7f}));
    EXPECT_TRUE(log.contains(TUIOProfileInterpreter::kCoalesceFailureLog));

    // A tracker of another name is not averaged.
    send(frame({source("/tuio/2Dcur", "table@127.0.0.1"), setCursor(1, 0.9, 0.9), fseq("/tuio/2Dcur", 2)}));
    ASSERT_TRUE(barrier());
    EXPECT_FLOAT_EQ(lastValues("/tuio/2D/cur/0").at(0), 0.9);
}

TEST_F(TUIOTest, ASetWithoutASessionFallsThroughToTheCatchAll) {
    send(frame({cur({String("set")})}));
    ASSERT_TRUE(runUntil([&] { return hasContext("/tuio/2Dcur"); }));
    EXPECT_TRUE(interpreter(TUIOProfileInterpreter::Cursor2D).alive().empty());
    EXPECT_TRUE(interpreted().empty());
}

// Messages that cannot be interpreted: none is read as more than it holds, and the next good
// frame is interpreted.
class TUIOMalformedTest : public TUIOTest, public ::testing::WithParamInterface<Message> {};

TEST_P(TUIOMalformedTest, IsIgnoredOrPassedOnAndTheNextFrameWorks) {
    send(frame({GetParam()}));
    send(frame({alive("/tuio/2Dcur", {8}), setCursor(8, 0.5, 0.5), fseq("/tuio/2Dcur", 1)}));
    ASSERT_TRUE(runUntil([&] { return hasContext("/tuio/2D/cur/0"); }));
    ASSERT_TRUE(barrier());
    EXPECT_EQ(interpreter(TUIOProfileInterpreter::Cursor2D).alive(), (std::map<int32_t, int32_t>{{8, 0}}));
    EXPECT_FLOAT_EQ(lastValues("/tuio/2D/cur/0").at(0), 0.5);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, TUIOMalformedTest,
    ::testing::Values(Message{"/tuio/2Dcur", {}}, Message{"/tuio/2Dcur", {Int(3)}},
                      Message{"/tuio/2Dcur", {String("jump"), Int(3)}},
                      Message{"/tuio/2Dcur", {String("set"), String("3"), Float(0.5)}},
                      Message{"/tuio/2Dcur", {String("set"), Float(3), Float(0.5)}},
                      Message{"/tuio/2Dcur", {String("set"), firing::True(), firing::True()}},
                      Message{"/tuio/2Dcur", {String("set"), Int(3)}},
                      Message{"/tuio/2Dobj", {String("set"), Int(3), Float(12), Float(0.5)}},
                      Message{"/tuio/2Dobj", {String("set"), Int(3), Int(12)}},
                      Message{"/tuio/2Dcur", {String("alive"), String("3"), firing::True(), Float(1)}},
                      Message{"/tuio/2Dcur", {String("fseq"), String("x")}}, Message{"/tuio/2Dcur", {String("fseq")}},
                      Message{"/tuio/2Dcur", {String("source"), Int(1)}},
                      Message{"/tuio/2Dcur", {String("set"), Int(4), firing::Blob("xyz"), firing::Double(0.5)}}));

TEST_F(TUIOTest, SessionsBeyondTheLastSlotAreDroppedAndLogged) {
    std::vector<Message> sets;
    for (int32_t session = 0; session < int32_t(TUIOProfileInterpreter::kCursorCount); session += 64) {
        sets.clear();
        for (int32_t i = session; i < session + 64; ++i) sets.push_back(setCursor(i, 0.5, 0.5));
        send(frame(sets));
    }
    send(frame({setCursor(5000, 0.5, 0.5)}));
    ASSERT_TRUE(runUntil([&] { return log.contains(TUIOProfileInterpreter::kNoFreeCursorLog); }));
    EXPECT_EQ(interpreter(TUIOProfileInterpreter::Cursor2D).alive().size(), TUIOProfileInterpreter::kCursorCount);
    EXPECT_FALSE(interpreter(TUIOProfileInterpreter::Cursor2D).identifierForSessionID(5000));
    EXPECT_TRUE(hasContext("/tuio/2D/cur/1023"));
    EXPECT_FALSE(hasContext("/tuio/2D/cur/1024"));
}

// ---- the windows of coalesced sources, in virtual time

// Feeds one message to an interpreter as liblo hands it over.
int feed(TUIOProfileInterpreter& interpreter, const std::vector<Arg>& args) {
    lo_message message = firing::libloMessage(args);
    const int result = interpreter.interpret(lo_message_get_types(message), lo_message_get_argv(message),
                                             lo_message_get_argc(message));
    lo_message_free(message);
    return result;
}

TEST(TUIOCoalescingWindows, ObjectsStayWhileACameraReportedWithinTheSeenWindowAndAveragesUseTheLastSecond) {
    firing::VirtualMainLoop loop;
    // Without a manager nothing is delivered; the interpreter's own state tells what happened.
    TUIOProfileInterpreter interpreter(nullptr, TUIOProfileInterpreter::Cursor2D);
    const std::string first = "quorbital-wiimote-1@127.0.0.1";
    const std::string second = "quorbital-wiimote-2@127.0.0.1";
    auto set = [&](double x) { return std::vector<Arg>{String("set"), Int(1), Float(x), Float(0.5)}; };

    feed(interpreter, {String("source"), String(first)});
    feed(interpreter, set(0.2));
    feed(interpreter, {String("alive"), Int(1)});
    loop.advance(0.1);
    EXPECT_EQ(feed(interpreter, {String("fseq"), Int(1)}), 0);
    EXPECT_EQ(interpreter.alive().size(), 1u) << "the camera reported 0.1 s ago";

    loop.advance(0.15);
    feed(interpreter, {String("fseq"), Int(2)});
    EXPECT_TRUE(interpreter.alive().empty()) << "nothing reported for 0.25 s";
    EXPECT_FALSE(interpreter.isCursorUsed(0));

    // The second camera is averaged with the first's last report while that is less than a
    // second old, and not after.
    feed(interpreter, {String("source"), String(second)});
    lo_message message = firing::libloMessage({Float(0.4), Float(0.7)});
    std::vector<QRBArgPtr> coordinates = interpreter.coordinateArguments(2, "ff", lo_message_get_argv(message));
    ASSERT_EQ(coordinates.size(), 2u);
    EXPECT_FLOAT_EQ(coordinates[0]->floatValue(), 0.3f);
    EXPECT_FLOAT_EQ(coordinates[1]->floatValue(), 0.6f);

    loop.advance(0.8);  // the first camera last reported 1.05 s ago
    coordinates = interpreter.coordinateArguments(2, "ff", lo_message_get_argv(message));
    lo_message_free(message);
    EXPECT_FLOAT_EQ(coordinates[0]->floatValue(), 0.4f);
    EXPECT_FLOAT_EQ(coordinates[1]->floatValue(), 0.7f);
}

// ---- a tracker of its own, and a document as a headless run decodes it

class TUIOStreamTest : public managertest::ManagerFixture {};

TEST_F(TUIOStreamTest, ATrackerOnItsOwnBecomesPerCursorContextsInAHeadlessDocument) {
    // The document is saved with both modes on, and decoded as the headless program decodes it.
    foundation::Data data;
    {
        QRBDocument document;
        document.makeWindowControllers();
        document.oscManager()->setServerPort(port);
        document.oscManager()->tuioManager()->setInputMode(3);
        data = document.dataOfType(kQRBDocumentType);
        document.close();
    }
    QRBManagerPtr decoded = QuorbitalCore::newUnarchiverForCompatibleDecodingOfQuorbitalDocumentUsingData(data)
                                ->decodeObjectOfClass<QRBManager>("QRBLib");
    ASSERT_NE(decoded, nullptr);
    ASSERT_EQ(decoded->tuioManager()->inputMode(), 3u);
    ASSERT_EQ(decoded->tuioManager()->oscManager(), decoded);
    decoded->messageMonitor()->setDirection(0);
    ASSERT_TRUE(decoded->start());

    const std::string script = std::string(QUORBITAL_TEST_DATA) + "/../scripts/tuio_sender.py";
    const testsupport::CommandResult result =
        testsupport::runCommand("python3 '" + script + "' " + std::to_string(port) + " --repeat 2");
    ASSERT_EQ(result.exitCode, 0) << result.output;

    auto value = [&](const std::string& path) {
        QRBContextPtr context = decoded->contextWithName(path);
        std::vector<double> values;
        if (context && context->lastReceivedMessage())
            for (const auto& arg : context->lastReceivedMessage()->arguments()) values.push_back(arg->doubleValue());
        return values;
    };
    // Both cursors came and went: their last announcements are 0.0.
    ASSERT_TRUE(foundation::RunLoop::main().runUntil(
        [&] { return value("/tuio/2D/cur/1/alive") == std::vector<double>{0.0}; }, managertest::kWait));
    EXPECT_EQ(value("/tuio/2D/cur/0/alive"), std::vector<double>{0.0});
    const std::vector<double> first = value("/tuio/2D/cur/0");
    const std::vector<double> second = value("/tuio/2D/cur/1");
    ASSERT_EQ(first.size(), 5u);
    ASSERT_EQ(second.size(), 5u);
    EXPECT_FLOAT_EQ(first[0], 0.5f);   // session 41 at its last frame
    EXPECT_FLOAT_EQ(second[1], 0.8f);  // session 42 at its last frame
    EXPECT_EQ(decoded->contextWithName("/tuio/2D/cur/2"), nullptr);
    // Passed through as well: the raw profile messages have their context.
    EXPECT_NE(decoded->contextWithName("/tuio/2Dcur"), nullptr);
    decoded->close();
}

}  // namespace
