// The quorbital program driving MIDI over JACK: OSC sent to the program's port leaves its
// "Quorbital Out" port as the MIDI bytes its mappings' outputs make, and another JACK client
// receives them. The test runs `jackd -d dummy` under a server name of its own; where jackd cannot
// start, it skips.

#include "ChildProcess.h"
#include "LoopbackOSC.h"

#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "document/QRBDocument.h"
#include "document/QRBManager.h"
#include "features/QRBEventSourceManager.h"
#include "midi/outputs/QRBMidiCCEventSource.h"
#include "midi/outputs/QRBMidiNoteEventSource.h"
#include "support/JackTestServer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <jack/jack.h>
#include <jack/midiport.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr double kStartTimeout = 30.0;

using Bytes = std::vector<uint8_t>;

// Another program on the server: a MIDI input that keeps what arrives. The process callback only
// copies into storage made beforehand and publishes the count.
class Sink {
public:
    static constexpr size_t kCapacity = 256;

    bool open(const std::string& server) {
        jack_status_t status{};
        client_ = jack_client_open("midi-sink", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                   &status, server.c_str());
        if (!client_) return false;
        port_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, &Sink::process, this);
        return port_ && jack_activate(client_) == 0;
    }
    ~Sink() { close(); }
    void close() {
        if (client_) jack_client_close(client_);
        client_ = nullptr;
    }

    std::string portName() const { return jack_port_name(port_); }
    jack_client_t* client() const { return client_; }
    std::vector<Bytes> received() const {
        const size_t n = count_.load(std::memory_order_acquire);
        std::vector<Bytes> messages;
        for (size_t i = 0; i < n; ++i)
            messages.emplace_back(messages_[i].bytes.begin(), messages_[i].bytes.begin() + messages_[i].length);
        return messages;
    }
    size_t count() const { return count_.load(std::memory_order_acquire); }

private:
    struct Message {
        std::array<uint8_t, 4> bytes{};
        size_t length = 0;
    };
    static int process(jack_nframes_t frames, void* self) {
        auto* sink = static_cast<Sink*>(self);
        void* buffer = jack_port_get_buffer(sink->port_, frames);
        size_t n = sink->count_.load(std::memory_order_relaxed);
        const uint32_t events = jack_midi_get_event_count(buffer);
        for (uint32_t i = 0; i < events && n < kCapacity; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) != 0 || event.size > 4) continue;
            Message& m = sink->messages_[n++];
            std::copy(event.buffer, event.buffer + event.size, m.bytes.begin());
            m.length = event.size;
        }
        sink->count_.store(n, std::memory_order_release);
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    std::array<Message, kCapacity> messages_{};
    std::atomic<size_t> count_{0};
};

class MidiOutputProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.file("config"));
        std::filesystem::create_directories(dir.file("runtime"));
        // The server's output goes nowhere: a server on a busy machine reports every late cycle,
        // and no one reads it.
        jack = std::make_unique<JackTestServer>("e2e", 256);
        if (!jack->whyNot().empty()) GTEST_SKIP() << jack->whyNot();
        server = jack->name();
        if (!sink.open(server)) GTEST_SKIP() << "no client could join the JACK server";
    }
    void TearDown() override {
        program.reset();
        sink.close();
        jack.reset();
    }

    // A document on `port` whose mappings drive MIDI outputs.
    std::string writeDocument(long port) {
        QRBDocument document;
        document.makeWindowControllers();
        const QRBManagerPtr& manager = document.oscManager();
        manager->setServerPort(port);
        auto add = [&](const std::string& address, const QRBEventSourcePtr& output, int64_t channel) {
            auto context = QRBContext::create(address, manager);
            manager->presetManager()->currentPreset()->addObject(context);
            context->setEventSource(output);
            context->setChannel(channel);
        };
        add("/synth/cutoff", QRBEventSourceManager::sharedInstance().fetchMidiCC(74), 2);
        add("/synth/bend", std::make_shared<QRBPitchBendEventSource>(), 1);
        add("/synth/key", QRBMidiNoteEventSource::create(60), 1);
        const std::string path = dir.file("midi.qrb3");
        document.saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveAs);
        document.close();
        return path;
    }

    // Starts the program on the document for `port` and waits until it routes.
    void startProgram(long port) {
        program = std::make_unique<e2e::ChildProcess>(
            QUORBITAL_PROGRAM, std::vector<std::string>{"-headless", writeDocument(port)},
            std::map<std::string, std::string>{{"XDG_CONFIG_HOME", dir.file("config")},
                                               {"XDG_RUNTIME_DIR", dir.file("runtime")},
                                               {"JACK_DEFAULT_SERVER", server}});
        ASSERT_TRUE(program->waitForOutput("Starting routing...", kStartTimeout)) << program->output();
    }

    // The first port that `client` sees matching `pattern`, looked for at most ten seconds; empty
    // if none came.
    static std::string waitForPort(jack_client_t* client, const std::string& pattern, unsigned long flags) {
        std::string found;
        for (int i = 0; i < 200 && found.empty(); ++i) {
            const char** ports = jack_get_ports(client, pattern.c_str(), JACK_DEFAULT_MIDI_TYPE, flags);
            if (ports && ports[0]) found = ports[0];
            jack_free(ports);
            if (found.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return found;
    }

    // Waits until the sink holds `count` messages, at most ten seconds.
    bool receiveAtLeast(size_t count) {
        for (int i = 0; i < 1000 && sink.count() < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return sink.count() >= count;
    }

    testsupport::TempDir dir;
    std::string server;
    std::unique_ptr<JackTestServer> jack;
    Sink sink;
    std::unique_ptr<e2e::ChildProcess> program;
};

TEST_F(MidiOutputProgramTest, OSCToTheProgramsPortReachesAnotherClientAsMIDI) {
    const long port = testsupport::freePort();
    ASSERT_NE(port, 0);
    ASSERT_NO_FATAL_FAILURE(startProgram(port));

    // The program's output port, connected to the sink.
    const std::string out = waitForPort(sink.client(), ":Quorbital Out$", JackPortIsOutput);
    ASSERT_FALSE(out.empty()) << program->output();
    ASSERT_EQ(jack_connect(sink.client(), out.c_str(), sink.portName().c_str()), 0);

    sendOSC(port, "/synth/cutoff", 0.5f);
    ASSERT_TRUE(receiveAtLeast(1)) << program->output();
    sendOSC(port, "/synth/bend", 1.0f);
    sendOSC(port, "/synth/key", 1.0f);
    sendOSC(port, "/synth/key", 0.0f);
    ASSERT_TRUE(receiveAtLeast(4)) << program->output();
    const std::vector<Bytes> received = sink.received();
    EXPECT_EQ(std::vector<Bytes>(received.begin(), received.begin() + 4),
              (std::vector<Bytes>{{0xB1, 74, 64}, {0xE0, 0x7F, 0x7F}, {0x90, 60, 127}, {0x80, 60, 0}}));

    program->sendSignal(SIGINT);
    EXPECT_EQ(program->waitForExit(20), 0) << program->output();
}

// However the program is told to quit, a note it holds is released and every channel hears
// all-notes-off before it ends: the quit command, Ctrl-C, a service manager's SIGTERM and a closed
// terminal's SIGHUP.
class MidiOutputQuitTest : public MidiOutputProgramTest, public ::testing::WithParamInterface<int> {};

TEST_P(MidiOutputQuitTest, EveryWayOfQuittingReleasesTheNotesItHolds) {
    const long port = testsupport::freePort();
    ASSERT_NE(port, 0);
    ASSERT_NO_FATAL_FAILURE(startProgram(port));
    const std::string out = waitForPort(sink.client(), ":Quorbital Out$", JackPortIsOutput);
    ASSERT_FALSE(out.empty()) << program->output();
    ASSERT_EQ(jack_connect(sink.client(), out.c_str(), sink.portName().c_str()), 0);
    // The connection carries messages from a later cycle on: a controller until one arrives.
    for (int i = 0; i < 200 && sink.count() == 0; ++i) {
        sendOSC(port, "/synth/cutoff", 0.5f);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_GT(sink.count(), 0u) << program->output();
    sendOSC(port, "/synth/key", 1.0f);
    const auto holds = [&] {
        for (const auto& message : sink.received())
            if (message == Bytes{0x90, 60, 127}) return true;
        return false;
    };
    for (int i = 0; i < 1000 && !holds(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(holds()) << program->output();
    const size_t before = sink.count();

    if (GetParam() == 0)
        sendOSC(port, "/quorbital/quit");
    else
        program->sendSignal(GetParam());
    EXPECT_EQ(program->waitForExit(20), 0) << program->output();

    const std::vector<Bytes> all = sink.received();
    const std::vector<Bytes> after(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    const auto sent = [&](const Bytes& message) {
        return std::find(after.begin(), after.end(), message) != after.end();
    };
    EXPECT_TRUE(sent({0x80, 60, 0}) || sent({0x90, 60, 0})) << "the held note was not released";
    for (uint8_t channel = 0; channel < 16; ++channel)
        EXPECT_TRUE(sent({static_cast<uint8_t>(0xB0 | channel), 123, 0}))
            << "no all-notes-off on channel " << channel + 1;
}

// Another program floods the document's MIDI input with every note a cycle holds, more than the
// program can route; a signal still ends it promptly, the input waiting for the main loop being
// bounded.
TEST_F(MidiOutputProgramTest, ASignalEndsTheProgramUnderAFloodOfMIDIInput) {
    const long port = testsupport::freePort();
    ASSERT_NE(port, 0);
    struct Flood {
        jack_port_t* port = nullptr;
        std::atomic<uint32_t> cycles{0};
        static int process(jack_nframes_t frames, void* arg) {
            auto* self = static_cast<Flood*>(arg);
            void* buffer = jack_port_get_buffer(self->port, frames);
            jack_midi_clear_buffer(buffer);
            for (uint32_t i = 0;; ++i) {
                const jack_midi_data_t note[3] = {0x90, static_cast<jack_midi_data_t>(i & 0x7F), 0x40};
                if (jack_midi_event_write(buffer, i * frames / 1024, note, 3) != 0) break;
            }
            self->cycles.fetch_add(1);
            return 0;
        }
    } flood;
    jack_client_t* player = jack->openClient("flood");
    ASSERT_TRUE(player);
    flood.port = jack_port_register(player, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(player, &Flood::process, &flood);
    ASSERT_EQ(jack_activate(player), 0);

    ASSERT_NO_FATAL_FAILURE(startProgram(port));
    const std::string input = ":Quorbital In \\(" + std::to_string(port) + "\\)$";
    const std::string in = waitForPort(player, input, JackPortIsInput);
    ASSERT_FALSE(in.empty()) << program->output();
    ASSERT_EQ(jack_connect(player, jack_port_name(flood.port), in.c_str()), 0);
    // Two seconds of flood before the signal.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    program->sendSignal(SIGTERM);
    EXPECT_EQ(program->waitForExit(10), 0) << program->output();
    jack_deactivate(player);
    jack_client_close(player);
}

INSTANTIATE_TEST_SUITE_P(Ways, MidiOutputQuitTest, ::testing::Values(0, SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                             switch (info.param) {
                             case SIGINT: return std::string("SIGINT");
                             case SIGTERM: return std::string("SIGTERM");
                             case SIGHUP: return std::string("SIGHUP");
                             default: return std::string("QuitCommand");
                             }
                         });

}  // namespace
