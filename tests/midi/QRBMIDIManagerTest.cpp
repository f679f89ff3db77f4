// A document's MIDI manager on the fake MIDI system: output fan-out and its results, the size
// limit, all-notes-off, the archive (and documents from before the virtual endpoints could be
// switched off), undo, the target URL and the byte encoders.

#include "core/monitor/QRBMessageMonitor.h"
#include "foundation/ArchiveLists.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/UndoManager.h"
#include "midi/FakeMidiFixture.h"
#include "midi/QRBMIDIManager.h"
#include "midi/QRBMIDIMessageEndpoint.h"

#include <gtest/gtest.h>

namespace {

using midi::EndpointRef;
using Bytes = std::vector<uint8_t>;

class QRBMIDIManagerTest : public FakeMidiFixture {
protected:
    void SetUp() override {
        FakeMidiFixture::SetUp();
        first = fake->plug(Kind::Destination, "Synth A", 1);
        second = fake->plug(Kind::Destination, "Synth B", 2);
        keys = fake->plug(Kind::Source, "Keys", 3);
        settle();
        manager = QRBMIDIManager::create();
        monitor = std::make_shared<QRBMessageMonitor>();
        monitor->setDirection(0);  // both ways
        manager->setMessageMonitor(monitor);
        outSource = fake->virtualEndpointNamed("Quorbital Out");
    }
    void TearDown() override {
        manager->close();
        manager.reset();
        FakeMidiFixture::TearDown();
    }

    std::shared_ptr<TarnMIDIRealDestination> destination(EndpointRef ref) {
        return tarn->realDestinationWithMIDIEndpointRef(ref);
    }
    std::vector<EndpointRef> sentRefs() {
        std::vector<EndpointRef> refs;
        for (const auto& s : fake->sent()) refs.push_back(s.ref);
        return refs;
    }

    // The MIDI messages the monitor shows (it also shows a line for each change of endpoint).
    std::vector<QRBMIDIMessagePtr> monitored() {
        std::vector<QRBMIDIMessagePtr> messages;
        for (const auto& event : monitor->events().events())
            if (auto message = std::dynamic_pointer_cast<QRBMIDIMessage>(event->message())) messages.push_back(message);
        return messages;
    }

    EndpointRef first = 0, second = 0, keys = 0, outSource = 0;
    QRBMIDIManagerPtr manager;
    QRBMessageMonitorPtr monitor;
};

struct FanOutCase {
    const char* what;
    bool virtualSource;
    bool selectFirst, selectSecond;
    bool failVirtual, failFirst;
    long result;
    std::vector<int> reached;  // 0 the virtual source, 1 and 2 the destinations
};

class QRBMIDIFanOutTest : public QRBMIDIManagerTest, public ::testing::WithParamInterface<FanOutCase> {};

TEST_P(QRBMIDIFanOutTest, VirtualSourceFirstThenEachDestinationInOrder) {
    const FanOutCase& c = GetParam();
    manager->setIsVirtualSourceActive(c.virtualSource);
    if (c.selectFirst) manager->select(true, destination(first));
    if (c.selectSecond) manager->select(true, destination(second));
    fake->setFailSends(outSource, c.failVirtual);
    fake->setFailSends(first, c.failFirst);

    const auto note = QRBMIDIMessage::MIDIMessageWithStatus(0x90, 60, 100);
    EXPECT_EQ(manager->sendMIDIMessage(note, QRBMIDIMessageEndpoint::MIDIOutputsEndpoint()), c.result);
    std::vector<EndpointRef> expected;
    for (int i : c.reached) expected.push_back(i == 0 ? outSource : i == 1 ? first : second);
    EXPECT_EQ(sentRefs(), expected);
    for (const auto& s : fake->sent()) EXPECT_EQ(s.bytes, (Bytes{0x90, 60, 100}));
    // Shown unless it failed.
    EXPECT_EQ(monitored().size(), c.result == 1 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QRBMIDIFanOutTest,
    ::testing::Values(FanOutCase{"virtual_and_two_ports", true, true, true, false, false, 1, {0, 1, 2}},
                      FanOutCase{"nothing_active_sends_nothing_and_succeeds", false, false, false, false, false, 1, {}},
                      FanOutCase{"second_only", false, false, true, false, false, 1, {2}},
                      FanOutCase{"failed_port_does_not_stop_the_next", true, true, true, false, true, -1, {0, 2}},
                      FanOutCase{"failed_virtual_source", true, true, false, true, false, -1, {1}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(QRBMIDIManagerTest, MessageToOneEndpointGoesThereAlone) {
    auto synth = destination(second);
    manager->select(true, destination(first));
    auto endpoint = std::make_shared<QRBMIDIMessageEndpoint>(synth, QRBMessageEndpoint::kDirectionOutgoing);
    // A destination nobody chose has no port open.
    EXPECT_EQ(manager->sendMIDIMessage(QRBMIDIMessage::MIDIMessageWithStatus(0xC0, 5), endpoint), -1);
    synth->addSender(std::make_shared<int>(0));
    EXPECT_EQ(manager->sendMIDIMessage(QRBMIDIMessage::MIDIMessageWithStatus(0xC0, 5), endpoint), 1);
    EXPECT_EQ(sentRefs(), (std::vector<EndpointRef>{second}));
    // An endpoint without a MIDI endpoint is a failure.
    auto gone = std::make_shared<QRBMIDIMessageEndpoint>(TarnMIDIEndpointPtr(), QRBMessageEndpoint::kDirectionOutgoing);
    EXPECT_EQ(manager->sendMIDIMessage(QRBMIDIMessage::MIDIMessageWithStatus(0xC0, 5), gone), -1);
}

TEST_F(QRBMIDIManagerTest, MessageAtTheSizeLimitIsSentOneByteMoreFailsAndIsNotShown) {
    manager->select(true, destination(first));
    Bytes largest(QRBMIDIManager::kMaxMessageLength, 0x01);
    largest.front() = 0xF0;
    largest.back() = 0xF7;
    EXPECT_EQ(manager->sendMIDIMessage(QRBMIDIMessage::MIDIMessageWithData(largest),
                                       QRBMIDIMessageEndpoint::MIDIOutputsEndpoint()),
              1);
    ASSERT_EQ(fake->sent().size(), 2u);
    EXPECT_EQ(fake->sent()[1].bytes, largest);
    EXPECT_EQ(monitored().size(), 1u);

    fake->clearSent();
    Bytes tooLarge(QRBMIDIManager::kMaxMessageLength + 1, 0x01);
    tooLarge.front() = 0xF0;
    EXPECT_EQ(manager->sendMIDIMessage(QRBMIDIMessage::MIDIMessageWithData(tooLarge),
                                       QRBMIDIMessageEndpoint::MIDIOutputsEndpoint()),
              -1);
    EXPECT_TRUE(fake->sent().empty());
    EXPECT_EQ(monitored().size(), 1u);
}

TEST_F(QRBMIDIManagerTest, AllNotesOffGoesToEveryActiveOutputAndIsNotShown) {
    manager->select(true, destination(second));
    fake->setHostTime(5000);
    manager->sendAllNotesOffOnActivePorts();
    const auto sent = fake->sent();
    ASSERT_EQ(sent.size(), 32u);
    for (size_t i = 0; i < 32; ++i) {
        EXPECT_EQ(sent[i].ref, i < 16 ? outSource : second);
        EXPECT_EQ(sent[i].bytes, (Bytes{static_cast<uint8_t>(0xB0 + i % 16), 0x7B, 0x00}));
        EXPECT_EQ(sent[i].timeStamp, 5000u);
    }
    EXPECT_TRUE(monitored().empty());
}

TEST_F(QRBMIDIManagerTest, NoteStatesFollowTheNoteOffBehaviour) {
    struct Case {
        bool on;
        int64_t behavior;
        Bytes bytes;
    };
    const std::vector<Case> cases = {{true, 2, {0x99, 60, 100}},  {false, 2, {0x99, 60, 0}},
                                     {false, 1, {0x89, 60, 0}},   {false, 0, {0x89, 60, 100}},
                                     {false, 7, {0x89, 60, 100}}, {true, 1, {0x99, 60, 100}}};
    for (const auto& c : cases) {
        manager->setNoteOffBehavior(c.behavior);
        EXPECT_EQ(manager->noteWithState(c.on, 60, 100, 10)->data(), c.bytes) << c.on << " " << c.behavior;
    }
}

TEST(QRBMIDIEncodersTest, BytesWithChannelsAndDataMasked) {
    struct Case {
        const char* what;
        Bytes bytes;
        Bytes expected;
    };
    auto encode = [](auto fn) {
        uint8_t buffer[3];
        const size_t n = fn(buffer);
        return Bytes(buffer, buffer + n);
    };
    const std::vector<Case> cases = {
        {"cc", encode([](uint8_t* b) { return QRBMIDIEncodeControlChange(b, 1, 7, 127); }), {0xB0, 7, 127}},
        {"program", encode([](uint8_t* b) { return QRBMIDIEncodeProgramChange(b, 16, 5); }), {0xCF, 5}},
        {"note on", encode([](uint8_t* b) { return QRBMIDIEncodeNote(b, 3, true, 60, 90); }), {0x92, 60, 90}},
        {"note off", encode([](uint8_t* b) { return QRBMIDIEncodeNote(b, 3, false, 60, 90); }), {0x82, 60, 90}},
        {"pressure", encode([](uint8_t* b) { return QRBMIDIEncodeChannelPressure(b, 2, 64); }), {0xD1, 64}},
        {"bend", encode([](uint8_t* b) { return QRBMIDIEncodePitchBend(b, 1, 8192); }), {0xE0, 0x00, 0x40}},
        {"bend max", encode([](uint8_t* b) { return QRBMIDIEncodePitchBend(b, 1, 16383); }), {0xE0, 0x7F, 0x7F}},
        {"poly", encode([](uint8_t* b) { return QRBMIDIEncodePolyPressure(b, 4, 61, 30); }), {0xA3, 61, 30}},
        // Out of range from a document: still a control change, still data bytes.
        {"channel 0", encode([](uint8_t* b) { return QRBMIDIEncodeControlChange(b, 0, 7, 1); }), {0xBF, 7, 1}},
        {"channel 17", encode([](uint8_t* b) { return QRBMIDIEncodeControlChange(b, 17, 7, 1); }), {0xB0, 7, 1}},
        {"data 200", encode([](uint8_t* b) { return QRBMIDIEncodeNote(b, 1, true, 200, 128); }), {0x90, 200 & 0x7F, 0}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.bytes, c.expected) << c.what;
}

TEST_F(QRBMIDIManagerTest, VelocityPerChannelWithStrayChannelsOnChannelOne) {
    EXPECT_FLOAT_EQ(manager->velocityOnChannel(5)->floatValue(), 1.0f);
    manager->setVelocity(*QRBArg::argWithFloatValue(0.5f), 5);
    manager->setVelocity(*QRBArg::argWithFloatValue(0.25f), 17);
    EXPECT_FLOAT_EQ(manager->velocityOnChannel(5)->floatValue(), 0.5f);
    EXPECT_FLOAT_EQ(manager->velocityOnChannel(1)->floatValue(), 0.25f);
    EXPECT_EQ(manager->velocityOnChannel(0), manager->velocityOnChannel(1));
    EXPECT_EQ(manager->velocityOnChannel(17), manager->velocityOnChannel(1));
}

TEST_F(QRBMIDIManagerTest, TargetURLNamesTheVirtualDestinationWithAnIDPerPort) {
    auto other = QRBMIDIManager::create();
    manager->setTargetURL("osc.udp://127.0.0.1:8000");
    other->setTargetURL("osc.udp://127.0.0.1:8016");
    EXPECT_TRUE(manager->hasOscAddress());
    EXPECT_EQ(manager->virtualDestination()->name(), "Quorbital In (8000)");
    EXPECT_EQ(manager->virtualDestination()->uniqueID(), 0x15C00000 + 8000);
    EXPECT_EQ(other->virtualDestination()->uniqueID(), 0x15C00000 + 8016);
    EXPECT_NE(fake->virtualEndpointNamed("Quorbital In (8016)"), 0u);

    manager->setTargetURL(std::nullopt);
    EXPECT_FALSE(manager->hasOscAddress());
    EXPECT_EQ(manager->targetURL(), std::nullopt);
    manager->setTargetURL("not a url");
    EXPECT_FALSE(manager->hasOscAddress());
    other->close();
}

TEST_F(QRBMIDIManagerTest, CloseLeavesEveryEndpointAndKeepsTheLists) {
    manager->select(true, destination(first));
    manager->select(true, tarn->realSourceWithMIDIEndpointRef(keys));
    EXPECT_TRUE(manager->virtualDestination()->ioIsRunning());
    EXPECT_EQ(fake->connectionCount(keys), 1u);
    manager->close();
    EXPECT_FALSE(manager->virtualDestination()->ioIsRunning());
    EXPECT_FALSE(destination(first)->ioIsRunning());
    EXPECT_EQ(fake->connectionCount(keys), 0u);
    EXPECT_FALSE(QRBMIDIManager::sharedVirtualSource()->ioIsRunning());
    EXPECT_EQ(manager->activeRealDestinations().size(), 1u);
    EXPECT_EQ(manager->activeRealSources().size(), 1u);
}

TEST_F(QRBMIDIManagerTest, SettersAreUndoableUnderTheirNames) {
    auto undo = std::make_shared<foundation::UndoManager>();
    undo->setGroupsByEvent(false);
    manager->setUndoManager(undo);
    struct Case {
        const char* actionName;
        std::function<void()> change;
        std::function<bool()> changed;
    };
    auto synth = destination(first);
    auto keysSource = tarn->realSourceWithMIDIEndpointRef(keys);
    const std::vector<Case> cases = {
        {"Set Lower Pitch", [&] { manager->setNoteLowerPitch(10); }, [&] { return manager->noteLowerPitch() == 10; }},
        {"Set Upper Pitch", [&] { manager->setNoteUpperPitch(100); }, [&] { return manager->noteUpperPitch() == 100; }},
        {"Enable Emulate Pitch Bend Wheel", [&] { manager->setShouldBendNotes(true); },
         [&] { return manager->shouldBendNotes(); }},
        {"Enable Note Repeat", [&] { manager->setShouldRepeatNotes(true); },
         [&] { return manager->shouldRepeatNotes(); }},
        {"MIDI Input Mode", [&] { manager->setInputMode(3); }, [&] { return manager->inputMode() == 3; }},
        {"Disable Quorbital Virtual MIDI Input", [&] { manager->setIsVirtualDestinationActive(false); },
         [&] { return !manager->isVirtualDestinationActive() && !manager->virtualDestination()->ioIsRunning(); }},
        {"Disable Quorbital Virtual MIDI Output", [&] { manager->setIsVirtualSourceActive(false); },
         [&] { return !manager->isVirtualSourceActive(); }},
        {"Enable MIDI Output Port", [&] { manager->select(true, synth); },
         [&] { return manager->activeRealDestinations().size() == 1 && synth->ioIsRunning(); }},
        {"Enable MIDI Input Port", [&] { manager->select(true, keysSource); },
         [&] { return manager->activeRealSources().size() == 1 && fake->connectionCount(keys) == 1; }},
    };
    for (const auto& c : cases) {
        undo->beginUndoGrouping();
        c.change();
        undo->endUndoGrouping();
        EXPECT_TRUE(c.changed()) << c.actionName;
        EXPECT_EQ(undo->undoActionName(), c.actionName);
        undo->undo();
        EXPECT_FALSE(c.changed()) << c.actionName;
    }
    // The same value again registers nothing.
    EXPECT_FALSE(undo->canUndo());
    undo->beginUndoGrouping();
    manager->setNoteLowerPitch(manager->noteLowerPitch());
    manager->select(false, synth);
    undo->endUndoGrouping();
    EXPECT_FALSE(undo->canUndo());
    // Choosing a port twice uses it once.
    undo->beginUndoGrouping();
    manager->select(true, synth);
    manager->select(true, synth);
    undo->endUndoGrouping();
    EXPECT_EQ(manager->activeRealDestinations().size(), 1u);
}

TEST_F(QRBMIDIManagerTest, NilPitchIsRefused) {
    std::string reason, suggestion;
    EXPECT_FALSE(QRBMIDIManager::validateValue(foundation::Value(), "noteLowerPitch", &reason, &suggestion));
    EXPECT_EQ(reason, "Unspecified Value");
    EXPECT_EQ(suggestion, "Please provide a value between 0 and 127.");
    EXPECT_TRUE(QRBMIDIManager::validateValue(foundation::Value(int64_t(300)), "noteUpperPitch", &reason, &suggestion));
    EXPECT_TRUE(QRBMIDIManager::validateValue(foundation::Value(), "inputMode", &reason, &suggestion));
}

// ---- archive --------------------------------------------------------------------------------

TEST_F(QRBMIDIManagerTest, ArchiveRoundTripKeepsSettingsAndLivePorts) {
    manager->setNoteLowerPitch(12);
    manager->setNoteUpperPitch(99);
    manager->setShouldRepeatNotes(true);
    manager->setNoteOffBehavior(2);
    manager->setInputMode(3);
    manager->setIsVirtualSourceActive(false);
    manager->select(true, destination(second));
    manager->select(true, tarn->realSourceWithMIDIEndpointRef(keys));
    const auto data = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(manager));
    manager->close();

    auto decoded = foundation::KeyedUnarchiver::unarchiveRoot<QRBMIDIManager>(data);
    EXPECT_EQ(decoded->noteLowerPitch(), 12);
    EXPECT_EQ(decoded->noteUpperPitch(), 99);
    EXPECT_TRUE(decoded->shouldRepeatNotes());
    EXPECT_EQ(decoded->noteOffBehavior(), 2);
    EXPECT_EQ(decoded->inputMode(), 3);
    EXPECT_FALSE(decoded->isVirtualSourceActive());
    EXPECT_TRUE(decoded->isVirtualDestinationActive());
    EXPECT_STREQ(decoded->midiNoteOSCMessageSignature(), "iff");
    // The ports are the process's live objects, and the decoded manager uses them.
    ASSERT_EQ(decoded->activeRealDestinations().size(), 1u);
    EXPECT_EQ(decoded->activeRealDestinations()[0], destination(second));
    EXPECT_TRUE(destination(second)->ioIsRunning());
    ASSERT_EQ(decoded->activeRealSources().size(), 1u);
    EXPECT_EQ(fake->connectionCount(keys), 1u);
    EXPECT_TRUE(decoded->virtualDestination()->ioIsRunning());
    EXPECT_EQ(decoded->sendMIDIMessage(QRBMIDIMessage::MIDIMessageWithStatus(0xC0, 1),
                                       QRBMIDIMessageEndpoint::MIDIOutputsEndpoint()),
              1);
    EXPECT_EQ(sentRefs(), (std::vector<EndpointRef>{second}));
    decoded->close();
}

// Written as a document from before the virtual endpoints could be switched off: no
// "isVirtualDestinationActive", and Version 0.
class LegacyManager : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBMIDIManager", foundation::Object)
public:
    std::shared_ptr<TarnMIDIRealDestination> port;
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override {
        coder.encodeInteger(0, "Version");
        coder.encodeInteger(127, "noteUpperPitch");
        coder.encodeObject(foundation::objectListValue(std::vector{port}), "activeRealDestinations");
        coder.encodeBool(false, "isVirtualSourceActive");
    }
};

TEST_F(QRBMIDIManagerTest, LegacyArchiveUsesBothVirtualEndpointsAndNoPort) {
    auto legacy = std::make_shared<LegacyManager>();
    legacy->port = destination(first);
    const auto data = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(legacy));
    auto decoded = foundation::KeyedUnarchiver::unarchiveRoot<QRBMIDIManager>(data);
    EXPECT_TRUE(decoded->isVirtualDestinationActive());
    EXPECT_TRUE(decoded->isVirtualSourceActive());
    EXPECT_TRUE(decoded->activeRealDestinations().empty());
    EXPECT_FALSE(destination(first)->ioIsRunning());
    EXPECT_STREQ(decoded->midiNoteOSCMessageSignature(), "ifi");
    // Missing keys read as 0.
    EXPECT_EQ(decoded->noteLowerPitch(), 0);
    EXPECT_EQ(decoded->inputMode(), 0);
    decoded->close();
}

// ---- input ----------------------------------------------------------------------------------

TEST_F(QRBMIDIManagerTest, InputReachesTheMonitorWithSysExAssembledAcrossPackets) {
    manager->select(true, tarn->realSourceWithMIDIEndpointRef(keys));
    fake->sendFromSource(keys, {0x90, 0x40, 0x7F}, 10);
    fake->sendFromSource(keys, {0xF0, 0x01, 0x02}, 11);
    fake->sendFromSource(keys, {0x03, 0xF8}, 12);
    settle();
    EXPECT_TRUE(manager->incompleteSysEx());
    fake->sendFromSource(keys, {0x04, 0xF7}, 13);
    settle();
    EXPECT_FALSE(manager->incompleteSysEx());
    const auto messages = monitored();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]->data(), (Bytes{0x90, 0x40, 0x7F}));
    EXPECT_EQ(messages[1]->data(), (Bytes{0xF0, 0x01, 0x02, 0x03, 0xF8, 0x04, 0xF7}));
    EXPECT_EQ(monitor->events().lastObject()->endpoint(), QRBMIDIMessageEndpoint::MIDIInputsEndpoint());
}

}  // namespace
