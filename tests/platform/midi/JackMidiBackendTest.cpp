// The JACK backend against a real server: `jackd -r -d dummy` under a server name of this test's
// own, started for the suite and stopped after it. Where jackd cannot start, the tests skip and
// say why.

#include "foundation/RunLoop.h"
#include "midi/tarn/TarnMIDIManager.h"
#include "platform/midi/JackMidiBackend.h"
#include "support/JackTestServer.h"

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <iostream>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

namespace {

class RecordingReceiver : public TarnMIDIReceiver {
public:
    void processMIDIPacketList(const midi::MIDIPacketList& list, TarnMIDIEndpoint&) override {
        std::lock_guard lock(mutex);
        for (const auto& packet : list) packets.emplace_back(packet.data, packet.data + packet.length);
    }
    std::vector<std::vector<uint8_t>> received() {
        std::lock_guard lock(mutex);
        return packets;
    }
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> packets;
};

class JackMidiBackendTest : public ::testing::Test {
protected:
    // The default period of 1024 frames gives MIDI buffers of 4 KiB: room for the SysEx below.
    static void SetUpTestSuite() { server_ = std::make_unique<JackTestServer>("test"); }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        if (!server_->whyNot().empty()) GTEST_SKIP() << "JACK tests skipped: " << server_->whyNot();
        // A server on a loaded machine now and then refuses a client while it removes the one
        // before; a few tries, a little apart.
        for (int attempt = 0; attempt < 5 && !backend; ++attempt) {
            if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(200));
            backend = platform::JackMidiBackend::open("Quorbital", server_->name());
        }
        ASSERT_TRUE(backend) << "no client on the test's server";
        tarn = TarnMIDIManager::create(backend);
        TarnMIDIManager::setShared(tarn);
    }
    void TearDown() override {
        TarnMIDIManager::setShared(nullptr);
        tarn.reset();
        backend.reset();
    }

    // Another program on the same server.
    jack_client_t* openOtherClient(const char* name) { return server_->openClient(name); }

    // Runs the main loop in short slices: deliveries arrive on the backend's thread and need not
    // wake it.
    static bool waitFor(const std::function<bool()>& condition) {
        return waitWithDeadline(condition,
                                [] { foundation::RunLoop::main().runMode(foundation::RunLoopMode::Default, 0.01); });
    }

    static inline std::unique_ptr<JackTestServer> server_;
    std::shared_ptr<platform::JackMidiBackend> backend;
    std::shared_ptr<TarnMIDIManager> tarn;
};

TEST_F(JackMidiBackendTest, OurOutputConnectedToOurInputDeliversANoteAndALongSysExUnchanged) {
    auto out = TarnMIDIVirtualSource::create(tarn, "Quorbital Out");
    auto in = TarnMIDIVirtualDestination::create(tarn, "Quorbital In");
    auto receiver = std::make_shared<RecordingReceiver>();
    in->addReceiver(receiver);
    auto sender = std::make_shared<int>(0);
    out->addSender(sender);

    jack_client_t* patchbay = openOtherClient("patchbay");
    ASSERT_TRUE(patchbay);
    const std::string client = backend->clientName();
    ASSERT_EQ(jack_connect(patchbay, (client + ":Quorbital Out").c_str(), (client + ":Quorbital In").c_str()), 0);

    // A connection takes effect at a later cycle of the server; what was sent before it is gone.
    // Clock bytes are sent until one arrives.
    const std::vector<uint8_t> clock = {0xF8};
    EXPECT_TRUE(waitFor([&] {
        out->processMIDIPacketList(midi::MIDIPacketList(0, clock.data(), clock.size()), nullptr);
        return !receiver->received().empty();
    }));
    auto withoutClock = [&] {
        std::vector<std::vector<uint8_t>> packets;
        for (const auto& packet : receiver->received())
            if (packet != clock) packets.push_back(packet);
        return packets;
    };

    const std::vector<uint8_t> note = {0x90, 0x3C, 0x64};
    std::vector<uint8_t> sysex(1000);
    sysex.front() = 0xF0;
    for (size_t i = 1; i + 1 < sysex.size(); ++i) sysex[i] = static_cast<uint8_t>(i & 0x7F);
    sysex.back() = 0xF7;
    EXPECT_TRUE(out->processMIDIPacketList(midi::MIDIPacketList(0, note.data(), note.size()), nullptr));
    EXPECT_TRUE(out->processMIDIPacketList(midi::MIDIPacketList(0, sysex.data(), sysex.size()), nullptr));

    EXPECT_TRUE(waitFor([&] { return withoutClock().size() >= 2; }));
    EXPECT_EQ(withoutClock(), (std::vector<std::vector<uint8_t>>{note, sysex}));
    jack_client_close(patchbay);
    in->removeReceiver(receiver.get());
    out->removeSender(sender.get());
}

// A port shows what other programs connected it to; the program's own ports (its connection to the
// port, its virtual endpoints) are left out. A connection made or undone is a setup change.
TEST_F(JackMidiBackendTest, EndpointsNameWhatTheyAreConnectedTo) {
    jack_client_t* keys = openOtherClient("keys");
    jack_client_t* synth = openOtherClient("synth");
    ASSERT_TRUE(keys && synth);
    ASSERT_TRUE(jack_port_register(keys, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0));
    ASSERT_TRUE(jack_port_register(synth, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0));
    // Active clients with a process callback, as real programs are: the server otherwise waits out
    // its client timeout on every graph change.
    const JackProcessCallback idle = [](jack_nframes_t, void*) { return 0; };
    jack_set_process_callback(keys, idle, nullptr);
    jack_set_process_callback(synth, idle, nullptr);
    ASSERT_EQ(jack_activate(keys), 0);
    ASSERT_EQ(jack_activate(synth), 0);
    auto connectedNamesOf = [&](const std::vector<midi::EndpointInfo>& list, const std::string& name) {
        for (const auto& info : list)
            if (info.name == name) return info.connectedNames;
        return std::string("(not listed)");
    };
    ASSERT_TRUE(waitFor([&] { return connectedNamesOf(backend->sources(), "keys out") == ""; }));

    ASSERT_EQ(jack_connect(keys, "keys:out", "synth:in"), 0);
    EXPECT_TRUE(waitFor([&] { return connectedNamesOf(backend->sources(), "keys out") == "synth in"; }));
    EXPECT_EQ(connectedNamesOf(backend->destinations(), "synth in"), "keys out");

    // The layer's endpoint for the keyboard shows it too, once the change is announced, and keeps
    // showing it while the program listens to the keyboard through a port of its own.
    TarnMIDIEndpointPtr source;
    ASSERT_TRUE(waitFor([&] {
        tarn->updateRealSources();
        for (const auto& e : tarn->realSources())
            if (e->name() == "keys out") source = e;
        return source && source->displayName() == "synth in";
    }));
    auto receiver = std::make_shared<RecordingReceiver>();
    source->addReceiver(receiver);
    ASSERT_TRUE(source->ioIsRunning());
    auto in = TarnMIDIVirtualDestination::create(tarn, "Quorbital In");
    const std::string ours = backend->clientName() + ":Quorbital In";
    ASSERT_EQ(jack_connect(keys, "keys:out", ours.c_str()), 0);
    // Seen once our destination shows the keyboard.
    const std::string ourName = backend->clientName() + " Quorbital In";
    EXPECT_TRUE(waitFor([&] { return connectedNamesOf(backend->destinations(), ourName) == "keys out"; }));
    EXPECT_EQ(connectedNamesOf(backend->sources(), "keys out"), "synth in");

    ASSERT_EQ(jack_disconnect(keys, "keys:out", "synth:in"), 0);
    EXPECT_TRUE(waitFor([&] {
        tarn->updateRealSources();
        return source->displayName() == "keys out";
    }));
    source->removeReceiver(receiver.get());
    jack_client_close(keys);
    jack_client_close(synth);
}

TEST_F(JackMidiBackendTest, EveryDocumentGetsAVirtualDestinationThoughTheyStartWithOneName) {
    auto first = TarnMIDIVirtualDestination::create(tarn, "Quorbital In");
    auto second = TarnMIDIVirtualDestination::create(tarn, "Quorbital In");
    EXPECT_NE(first->midiEndpointRef(), 0u);
    EXPECT_NE(second->midiEndpointRef(), 0u);
    EXPECT_NE(first->midiEndpointRef(), second->midiEndpointRef());
    EXPECT_TRUE(second->setName("Quorbital In (8001)"));
    const std::string client = backend->clientName();
    jack_client_t* patchbay = openOtherClient("lookup");
    ASSERT_TRUE(patchbay);
    EXPECT_TRUE(jack_port_by_name(patchbay, (client + ":Quorbital In (8001)").c_str()));
    jack_client_close(patchbay);
}

TEST_F(JackMidiBackendTest, PortOfAnotherClientAppearsAsASourceAndGoesOfflineWhenTheClientCloses) {
    auto listed = [&](bool onlineOnly) -> std::shared_ptr<TarnMIDIRealSource> {
        for (const auto& source : onlineOnly ? tarn->realSourcesOnlineOrInUse() : tarn->realSources())
            if (source->name() == "keys out") return source;
        return nullptr;
    };
    EXPECT_FALSE(listed(false));
    jack_client_t* keys = openOtherClient("keys");
    ASSERT_TRUE(keys);
    ASSERT_TRUE(jack_port_register(keys, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0));
    ASSERT_EQ(jack_activate(keys), 0);
    EXPECT_TRUE(waitFor([&] { return listed(true) != nullptr; }));
    auto source = listed(true);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->uniqueID(), midi::MidiBackend::stableUniqueID("keys", "out"));
    // Our own ports are not among the machine's.
    for (const auto& s : tarn->realSources())
        EXPECT_EQ(s->name().rfind("Quorbital", 0), std::string::npos) << s->name();

    jack_client_close(keys);
    EXPECT_TRUE(waitFor([&] { return listed(true) == nullptr; }));
    EXPECT_EQ(listed(false), source);
    EXPECT_TRUE(source->isOffline());
}

TEST_F(JackMidiBackendTest, SourceOfAnotherClientReachesTheReceiversOfItsRealSource) {
    struct Player {
        jack_port_t* port = nullptr;
        std::atomic<bool> playing{false};
    } player;
    jack_client_t* keys = openOtherClient("player");
    ASSERT_TRUE(keys);
    player.port = jack_port_register(keys, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(
        keys,
        [](jack_nframes_t frames, void* arg) -> int {
            auto* p = static_cast<Player*>(arg);
            void* buffer = jack_port_get_buffer(p->port, frames);
            jack_midi_clear_buffer(buffer);
            if (p->playing.load()) {
                const jack_midi_data_t bytes[3] = {0xB0, 0x07, 0x40};
                jack_midi_event_write(buffer, 0, bytes, 3);
            }
            return 0;
        },
        &player);
    ASSERT_EQ(jack_activate(keys), 0);
    std::shared_ptr<TarnMIDIRealSource> source;
    EXPECT_TRUE(waitFor([&] {
        for (const auto& s : tarn->realSources())
            if (s->name() == "player out" && s->isOnline()) source = s;
        return source != nullptr;
    }));
    ASSERT_TRUE(source);
    auto receiver = std::make_shared<RecordingReceiver>();
    source->addReceiver(receiver);
    EXPECT_TRUE(source->ioIsRunning());
    // It plays every cycle: the first cycles after the connection was made may not carry it yet.
    player.playing = true;
    EXPECT_TRUE(waitFor([&] { return !receiver->received().empty(); }));
    player.playing = false;
    for (const auto& packet : receiver->received()) EXPECT_EQ(packet, (std::vector<uint8_t>{0xB0, 0x07, 0x40}));
    source->removeReceiver(receiver.get());
    jack_deactivate(keys);
    jack_client_close(keys);
}

// Many messages a cycle, cycle after cycle: the callback writes each into the ring while the
// reader takes them out on its own thread, and none may be cut or reordered on the way. A cycle
// the server reports late (an xrun) may take that cycle's messages with it, whoever plays them:
// the notes must then still arrive whole and in order, and all of them only when none was late.
TEST_F(JackMidiBackendTest, BurstsOfNotesFromAnotherClientArriveWholeAndInOrder) {
    constexpr uint32_t kPerCycle = 64, kTotal = 8192;  // a sequence number of 14 bits in each note
    struct Player {
        jack_port_t* port = nullptr;
        std::atomic<bool> warmingUp{true};
        std::atomic<bool> playing{false};
        std::atomic<uint32_t> sent{0};  // written by the process thread alone
        std::atomic<uint32_t> xruns{0};
    } player;
    jack_client_t* keys = openOtherClient("burst");
    ASSERT_TRUE(keys);
    player.port = jack_port_register(keys, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(
        keys,
        [](jack_nframes_t frames, void* arg) -> int {
            auto* p = static_cast<Player*>(arg);
            void* buffer = jack_port_get_buffer(p->port, frames);
            jack_midi_clear_buffer(buffer);
            if (p->warmingUp.load()) {
                const jack_midi_data_t bytes[3] = {0xB0, 0x07, 0x40};
                jack_midi_event_write(buffer, 0, bytes, 3);
            }
            uint32_t sent = p->sent.load();
            for (uint32_t i = 0; p->playing.load() && i < kPerCycle && sent < kTotal; ++i, ++sent) {
                const jack_midi_data_t note[3] = {0x90, static_cast<jack_midi_data_t>(sent >> 7),
                                                  static_cast<jack_midi_data_t>(sent & 0x7F)};
                if (jack_midi_event_write(buffer, i * frames / kPerCycle, note, 3) != 0) break;
            }
            p->sent.store(sent);
            return 0;
        },
        &player);
    jack_set_xrun_callback(
        keys,
        [](void* arg) -> int {
            static_cast<Player*>(arg)->xruns.fetch_add(1);
            return 0;
        },
        &player);
    ASSERT_EQ(jack_activate(keys), 0);
    std::shared_ptr<TarnMIDIRealSource> source;
    ASSERT_TRUE(waitFor([&] {
        for (const auto& s : tarn->realSources())
            if (s->name() == "burst out" && s->isOnline()) source = s;
        return source != nullptr;
    }));
    auto receiver = std::make_shared<RecordingReceiver>();
    source->addReceiver(receiver);
    // The connection carries messages from a later cycle on.
    EXPECT_TRUE(waitFor([&] { return !receiver->received().empty(); }));
    player.warmingUp = false;
    const uint32_t xrunsBefore = player.xruns.load();
    player.playing = true;

    const auto notes = [&] {
        std::vector<std::vector<uint8_t>> found;
        for (auto& packet : receiver->received())
            if (!packet.empty() && packet[0] != 0xB0) found.push_back(std::move(packet));
        return found;
    };
    const auto lastArrived = [&] {
        const auto found = notes();
        return !found.empty() && found.back() == std::vector<uint8_t>{0x90, (kTotal - 1) >> 7, (kTotal - 1) & 0x7F};
    };
    EXPECT_TRUE(waitFor([&] { return notes().size() >= kTotal || (player.sent == kTotal && lastArrived()); }));
    const bool late = player.xruns.load() != xrunsBefore;
    const auto received = notes();
    // Whole and in order, always: every message is a note of the sequence, later than the one
    // before it.
    int64_t previous = -1;
    for (size_t i = 0; i < received.size(); ++i) {
        ASSERT_EQ(received[i].size(), 3u) << "message " << i;
        ASSERT_EQ(received[i][0], 0x90) << "message " << i;
        const int64_t sequence = (received[i][1] << 7) | received[i][2];
        ASSERT_GT(sequence, previous) << "message " << i;
        previous = sequence;
    }
    if (late)
        std::cout << "The server reported late cycles: " << received.size() << " of " << kTotal
                  << " notes arrived.\n";
    else
        EXPECT_EQ(received.size(), kTotal);
    source->removeReceiver(receiver.get());
    jack_deactivate(keys);
    jack_client_close(keys);
}

}  // namespace
