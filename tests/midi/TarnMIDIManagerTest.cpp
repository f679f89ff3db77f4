// The MIDI object layer on the fake MIDI system: live lists that keep their objects across
// device changes, take-over of placeholders, the program's own endpoints, and I/O that runs
// exactly while an endpoint is used.

#include "foundation/KeyedArchiver.h"
#include "foundation/Log.h"
#include "foundation/NotificationCenter.h"
#include "midi/FakeMidiFixture.h"
#include "midi/QRBMIDIManager.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using midi::EndpointRef;

class TarnMIDIManagerTest : public FakeMidiFixture {};

TEST_F(TarnMIDIManagerTest, UnpluggedDeviceKeepsItsObjectAndTakesTheNewHandleWhenItReturns) {
    const EndpointRef first = fake->plug(Kind::Source, "Keys", 42);
    settle();
    ASSERT_EQ(tarn->realSources().size(), 1u);
    auto keys = tarn->realSources()[0];
    EXPECT_EQ(keys->midiEndpointRef(), first);
    auto receiver = std::make_shared<RecordingReceiver>();
    keys->addReceiver(receiver);
    EXPECT_EQ(fake->connectionCount(first), 1u);

    fake->unplug(first);
    settle();
    ASSERT_EQ(tarn->realSources().size(), 1u);
    EXPECT_EQ(tarn->realSources()[0], keys);
    EXPECT_TRUE(keys->isOffline());
    EXPECT_EQ(keys->displayName(), "Keys (offline)");
    EXPECT_FALSE(keys->ioIsRunning());
    EXPECT_EQ(fake->connectionCount(first), 0u);
    EXPECT_TRUE(tarn->realSourcesOnlineOrInUse().size() == 1u);  // still in use

    const EndpointRef second = fake->plug(Kind::Source, "Keys", 42);
    settle();
    ASSERT_EQ(tarn->realSources().size(), 1u);
    EXPECT_EQ(tarn->realSources()[0], keys);
    EXPECT_EQ(keys->midiEndpointRef(), second);
    EXPECT_EQ(keys->displayName(), "Keys");
    // In use, so its port is connected to the device again, and what it plays arrives.
    EXPECT_EQ(fake->connectionCount(second), 1u);
    fake->sendFromSource(second, {0x90, 0x40, 0x7F});
    settle();
    EXPECT_EQ(receiver->received(), (std::vector<std::vector<uint8_t>>{{0x90, 0x40, 0x7F}}));
    EXPECT_EQ(receiver->lastSender, keys.get());

    // Not in use: coming back connects nothing.
    keys->removeReceiver(receiver.get());
    EXPECT_EQ(fake->connectionCount(second), 0u);
    fake->unplug(second);
    settle();
    EXPECT_TRUE(tarn->realSourcesOnlineOrInUse().empty());
    const EndpointRef third = fake->plug(Kind::Source, "Keys", 42);
    settle();
    EXPECT_EQ(keys->midiEndpointRef(), third);
    EXPECT_EQ(fake->connectionCount(third), 0u);
}

TEST_F(TarnMIDIManagerTest, DeviceThatGoesOfflineStaysListedAsOffline) {
    const EndpointRef ref = fake->plug(Kind::Destination, "Synth", 7);
    settle();
    auto synth = tarn->realDestinationWithMIDIEndpointRef(ref);
    ASSERT_TRUE(synth);
    fake->setOffline(ref, true);
    settle();
    EXPECT_TRUE(synth->isOffline());
    EXPECT_EQ(synth->displayName(), "Synth (offline)");
    EXPECT_TRUE(tarn->realDestinationsOnlineOrInUse().empty());
}

struct TakeOverCase {
    const char* what;
    const char* placeholderName;
    int32_t placeholderID;
    const char* deviceName;
    int32_t deviceID;
    bool takesOver;
};

class TarnTakeOverTest : public FakeMidiFixture, public ::testing::WithParamInterface<TakeOverCase> {};

TEST_P(TarnTakeOverTest, PlaceholderIsTakenOverByUniqueIDThenByName) {
    const TakeOverCase& c = GetParam();
    auto placeholder = tarn->realDestinationWithDescriptor({c.placeholderName, c.placeholderID});
    EXPECT_TRUE(placeholder->isOffline());
    EXPECT_EQ(placeholder->displayName(), std::string(c.placeholderName) + " (offline)");
    // Asking again gives the same placeholder.
    EXPECT_EQ(tarn->realDestinationWithDescriptor({c.placeholderName, c.placeholderID}), placeholder);

    const EndpointRef ref = fake->plug(Kind::Destination, c.deviceName, c.deviceID);
    settle();
    if (c.takesOver) {
        EXPECT_EQ(tarn->realDestinations().size(), 1u);
        EXPECT_EQ(placeholder->midiEndpointRef(), ref);
        EXPECT_TRUE(placeholder->isOnline());
        EXPECT_EQ(placeholder->uniqueID(), c.deviceID);
        EXPECT_EQ(placeholder->name(), c.deviceName);
    } else {
        EXPECT_EQ(tarn->realDestinations().size(), 2u);
        EXPECT_TRUE(placeholder->isOffline());
        EXPECT_TRUE(tarn->realDestinationWithMIDIEndpointRef(ref));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TarnTakeOverTest,
                         ::testing::Values(TakeOverCase{"same ID, renamed", "Synth", 5, "Synth Mk II", 5, true},
                                           TakeOverCase{"same name, new ID", "Synth", 5, "Synth", 6, true},
                                           TakeOverCase{"neither", "Synth", 5, "Drums", 6, false}),
                         [](const auto& info) {
                             std::string name = info.param.what;
                             for (char& ch : name)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

TEST_F(TarnMIDIManagerTest, UniqueIDTakesPrecedenceOverName) {
    auto placeholder = tarn->realSourceWithDescriptor({"Keys", 42});
    const EndpointRef byName = fake->plug(Kind::Source, "Keys", 1);
    const EndpointRef byID = fake->plug(Kind::Source, "Other", 42);
    settle();
    EXPECT_EQ(placeholder->midiEndpointRef(), byID);
    EXPECT_TRUE(tarn->realSourceWithMIDIEndpointRef(byName));
}

TEST_F(TarnMIDIManagerTest, ArchivedPortOfAnAbsentDeviceDecodesToAnOfflinePlaceholderThatTheDeviceTakesOver) {
    // Archived by a process that had the device.
    auto elsewhere = TarnMIDIManager::create(nullptr);
    auto archived = elsewhere->realDestinationWithDescriptor({"Synth", -12345});
    const foundation::Data data = foundation::KeyedArchiver::archivedDataWithRootObject(
        foundation::Value(foundation::Array{foundation::Value(archived)}));

    auto decoded = foundation::KeyedUnarchiver::unarchiveObjectWithData(data);
    ASSERT_TRUE(decoded.arrayValue());
    auto endpoint = (*decoded.arrayValue())[0].object<TarnMIDIRealDestination>();
    ASSERT_TRUE(endpoint);
    ASSERT_EQ(tarn->realDestinations().size(), 1u);
    EXPECT_EQ(tarn->realDestinations()[0], endpoint);
    EXPECT_EQ(endpoint->displayName(), "Synth (offline)");
    // Decoding it again finds the same object.
    EXPECT_EQ(foundation::KeyedUnarchiver::unarchiveObjectWithData(data)
                  .arrayValue()
                  ->at(0)
                  .object<TarnMIDIRealDestination>(),
              endpoint);

    const EndpointRef ref = fake->plug(Kind::Destination, "Synth", -12345);
    settle();
    EXPECT_EQ(endpoint->midiEndpointRef(), ref);
    EXPECT_EQ(endpoint->displayName(), "Synth");
}

TEST_F(TarnMIDIManagerTest, OwnVirtualEndpointsNeverAppearAmongTheRealOnes) {
    auto document = QRBMIDIManager::create();
    auto second = QRBMIDIManager::create();
    fake->plug(Kind::Source, "Keys", 1);
    fake->plug(Kind::Destination, "Synth", 2);
    settle();
    tarn->updateRealSources();
    tarn->updateRealDestinations();
    std::set<std::string> names;
    for (const auto& e : tarn->realSources()) names.insert(e->name());
    for (const auto& e : tarn->realDestinations()) names.insert(e->name());
    EXPECT_EQ(names, (std::set<std::string>{"Keys", "Synth"}));
    // They are there for other programs all the same.
    EXPECT_NE(fake->virtualEndpointNamed("Quorbital Out"), 0u);
    EXPECT_NE(fake->virtualEndpointNamed("Quorbital In"), 0u);
    // Made in the same second, the two destinations still have different IDs.
    EXPECT_NE(document->virtualDestination()->uniqueID(), second->virtualDestination()->uniqueID());
    EXPECT_EQ(QRBMIDIManager::sharedVirtualSource()->uniqueID(), 96474224);
}

// An endpoint shows what it is connected to in place of its own name, and follows the connections
// as they change.
TEST_F(TarnMIDIManagerTest, DisplayNamesShowTheConnectionsTheSystemReports) {
    const EndpointRef keys = fake->plug(Kind::Source, "Interface Out 1", 7);
    settle();
    ASSERT_EQ(tarn->realSources().size(), 1u);
    auto source = tarn->realSources()[0];
    EXPECT_EQ(source->displayName(), "Interface Out 1");

    fake->setConnectedNames(keys, "Synth In, Recorder In");
    settle();
    EXPECT_EQ(source->displayName(), "Synth In, Recorder In");
    EXPECT_EQ(source->name(), "Interface Out 1") << "the name stays the port's own";

    fake->setConnectedNames(keys, "");
    settle();
    EXPECT_EQ(source->displayName(), "Interface Out 1");
}

// A private virtual endpoint is hidden from the system's lists; the flag is the system's.
TEST_F(TarnMIDIManagerTest, PrivateVirtualEndpointsAreHiddenFromOtherPrograms) {
    auto destination = TarnMIDIVirtualDestination::create(tarn, "Hidden In");
    const EndpointRef ref = fake->virtualEndpointNamed("Hidden In");
    ASSERT_NE(ref, 0u);
    auto listed = [&] {
        for (const auto& info : fake->destinations())
            if (info.ref == ref) return true;
        return false;
    };
    EXPECT_FALSE(destination->isPrivate());
    EXPECT_TRUE(listed());
    EXPECT_TRUE(destination->setPrivate(true));
    EXPECT_TRUE(destination->isPrivate());
    EXPECT_FALSE(listed());
    EXPECT_TRUE(destination->setPrivate(false));
    EXPECT_FALSE(destination->isPrivate());
    EXPECT_TRUE(listed());
}

TEST_F(TarnMIDIManagerTest, SetupChangesThatArriveTogetherMakeOnePass) {
    int notifications = 0;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        TarnMIDIManager::kSetupChangedNotification, nullptr, [&](const foundation::Notification&) { ++notifications; });
    for (int i = 0; i < 5; ++i) fake->plug(Kind::Source, "Keys " + std::to_string(i), 100 + i);
    fake->drain();
    foundation::RunLoop::main().runMode(foundation::RunLoopMode::Default, 0);
    EXPECT_EQ(notifications, 1);
    EXPECT_EQ(tarn->realSources().size(), 5u);
    // Sorted by display name.
    EXPECT_EQ(tarn->realSources()[0]->name(), "Keys 0");
    EXPECT_EQ(tarn->realSources()[4]->name(), "Keys 4");
}

TEST_F(TarnMIDIManagerTest, UniqueIDInUseIsRefusedAndTheOldOneStays) {
    fake->plug(Kind::Source, "Keys", 0x15C00000 + 8000);
    settle();
    auto destination = TarnMIDIVirtualDestination::create(tarn, "Quorbital In");
    const int32_t before = destination->uniqueID();
    foundation::LogCapture log;
    EXPECT_FALSE(destination->setUniqueID(0x15C00000 + 8000));
    EXPECT_EQ(destination->uniqueID(), before);
    EXPECT_TRUE(log.contains("Failed to assign unique ID 0x15C01F40 to MIDI Endpoint Quorbital In."));
    EXPECT_TRUE(destination->setUniqueID(0x15C00000 + 8001));
}

// ---- I/O runs exactly while the endpoint has a sender or a receiver --------------------------

enum Step { AddReceiver, RemoveReceiver, AddSender, RemoveSender, AddSecondReceiver, RemoveSecondReceiver };

struct IOCase {
    const char* what;
    std::vector<Step> steps;
    std::vector<bool> running;  // after each step
};

class TarnIOTest : public FakeMidiFixture, public ::testing::WithParamInterface<IOCase> {};

TEST_P(TarnIOTest, RealSourceAndVirtualDestination) {
    const IOCase& c = GetParam();
    const EndpointRef ref = fake->plug(Kind::Source, "Keys", 1);
    settle();
    std::vector<TarnMIDIEndpointPtr> endpoints = {tarn->realSourceWithMIDIEndpointRef(ref),
                                                  TarnMIDIVirtualDestination::create(tarn, "Quorbital In")};
    for (const auto& endpoint : endpoints) {
        SCOPED_TRACE(endpoint->name());
        auto first = std::make_shared<RecordingReceiver>();
        auto second = std::make_shared<RecordingReceiver>();
        auto sender = std::make_shared<int>(0);
        EXPECT_FALSE(endpoint->ioIsRunning());
        for (size_t i = 0; i < c.steps.size(); ++i) {
            switch (c.steps[i]) {
            case AddReceiver: endpoint->addReceiver(first); break;
            case RemoveReceiver: endpoint->removeReceiver(first.get()); break;
            case AddSecondReceiver: endpoint->addReceiver(second); break;
            case RemoveSecondReceiver: endpoint->removeReceiver(second.get()); break;
            case AddSender: endpoint->addSender(sender); break;
            case RemoveSender: endpoint->removeSender(sender.get()); break;
            }
            EXPECT_EQ(endpoint->ioIsRunning(), c.running[i]) << "after step " << i;
            EXPECT_EQ(endpoint->isInUse(), c.running[i]) << "after step " << i;
        }
        if (endpoint == endpoints[0]) {
            EXPECT_EQ(fake->connectionCount(ref), endpoint->ioIsRunning() ? 1u : 0u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, TarnIOTest,
    ::testing::Values(
        IOCase{"receiver", {AddReceiver, RemoveReceiver}, {true, false}},
        IOCase{"sender", {AddSender, RemoveSender}, {true, false}},
        IOCase{"receiver_then_sender_leave_in_order",
               {AddReceiver, AddSender, RemoveReceiver, RemoveSender},
               {true, true, true, false}},
        IOCase{"two_receivers",
               {AddReceiver, AddSecondReceiver, RemoveReceiver, RemoveSecondReceiver},
               {true, true, true, false}},
        IOCase{"same_receiver_twice_counts_once", {AddReceiver, AddReceiver, RemoveReceiver}, {true, true, false}},
        IOCase{"removing_a_stranger_changes_nothing", {AddSender, RemoveReceiver}, {true, true}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(TarnMIDIManagerTest, VirtualDestinationDeliversOnlyWhileRunning) {
    auto destination = TarnMIDIVirtualDestination::create(tarn, "Quorbital In");
    const EndpointRef ref = fake->virtualEndpointNamed("Quorbital In");
    ASSERT_NE(ref, 0u);
    auto receiver = std::make_shared<RecordingReceiver>();
    fake->sendToVirtualDestination(ref, {0xC0, 0x05});
    settle();
    destination->addReceiver(receiver);
    fake->sendToVirtualDestination(ref, {0xC0, 0x06});
    settle();
    EXPECT_EQ(receiver->received(), (std::vector<std::vector<uint8_t>>{{0xC0, 0x06}}));
}

TEST_F(TarnMIDIManagerTest, WithoutMIDISystemPortsBecomePlaceholders) {
    fake->setFailCreateClient(true);
    foundation::LogCapture log;
    auto off = TarnMIDIManager::create(fake);
    EXPECT_TRUE(log.contains("Failed to create MIDI client"));
    EXPECT_FALSE(off->backend());
    auto placeholder = off->realSourceWithDescriptor({"Keys", 3});
    EXPECT_TRUE(placeholder->isOffline());
    EXPECT_EQ(off->realSources().size(), 1u);
    auto source = TarnMIDIVirtualSource::create(off, "Quorbital Out");
    source->addSender(std::make_shared<int>(0));
    EXPECT_FALSE(source->processMIDIPacketList(midi::MIDIPacketList(1, (const uint8_t*)"\xF8", 1), nullptr));
}

TEST(TarnNoteNamesTest, NamesOfNotes) {
    const std::vector<std::pair<unsigned, std::string>> cases = {{0, "C-2"},  {1, "C#-2"},   {60, "C3"},
                                                                 {127, "G8"}, {128, "#err"}, {255, "#err"}};
    for (const auto& [note, name] : cases) EXPECT_EQ(TarnMIDIManager::nameOfNote(note), name) << note;
}

}  // namespace
