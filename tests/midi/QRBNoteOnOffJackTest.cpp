// A note with parameters end to end on a real JACK server (`jackd -r -d dummy` under a server name
// of this test's own): one OSC message carrying pitch, velocity, aftertouch and the gate plays a
// note with its aftertouch on another JACK client, and the message that lifts the gate ends it.
// Where jackd cannot start, the test skips and says why.

#include "core/support/ManagerTestSupport.h"
#include "support/JackTestServer.h"

#include "core/mapping/QRBContext.h"
#include "core/osc/QRBMIDIMessage.h"
#include "midi/QRBMIDIManager.h"
#include "midi/outputs/QRBNoteOnOffEventSource.h"
#include "midi/outputs/QRBNoteValuesEventSource.h"
#include "midi/tarn/TarnMIDIManager.h"
#include "platform/midi/JackMidiBackend.h"

#include <jack/midiport.h>

#include <gtest/gtest.h>

#include <mutex>

namespace {

using Bytes = std::vector<uint8_t>;

// Another program on the server: a synthesizer with one MIDI input that keeps what it receives.
struct Synth {
    jack_client_t* client = nullptr;
    jack_port_t* port = nullptr;
    std::mutex mutex;
    std::vector<Bytes> received;

    std::vector<Bytes> messages() {
        std::lock_guard lock(mutex);
        return received;
    }
};

class NoteOnOffJackTest : public managertest::ManagerFixture {
protected:
    static void SetUpTestSuite() { server_ = std::make_unique<JackTestServer>("notes"); }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        if (!server_->whyNot().empty()) GTEST_SKIP() << "JACK tests skipped: " << server_->whyNot();
        for (int attempt = 0; attempt < 5 && !backend; ++attempt) {
            if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(200));
            backend = platform::JackMidiBackend::open("Quorbital", server_->name());
        }
        ASSERT_TRUE(backend) << "no client on the test's server";
        tarn = TarnMIDIManager::create(backend);
        TarnMIDIManager::setShared(tarn);
        ManagerFixture::SetUp();
    }
    void TearDown() override {
        if (synth.client) {
            jack_deactivate(synth.client);
            jack_client_close(synth.client);
        }
        if (backend) ManagerFixture::TearDown();
        TarnMIDIManager::setShared(nullptr);
        tarn.reset();
        backend.reset();
    }

    bool openSynth() {
        synth.client = server_->openClient("synth");
        if (!synth.client) return false;
        synth.port = jack_port_register(synth.client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(
            synth.client,
            [](jack_nframes_t frames, void* arg) -> int {
                auto* s = static_cast<Synth*>(arg);
                void* buffer = jack_port_get_buffer(s->port, frames);
                const uint32_t count = jack_midi_get_event_count(buffer);
                for (uint32_t i = 0; i < count; ++i) {
                    jack_midi_event_t event;
                    if (jack_midi_event_get(&event, buffer, i) != 0) continue;
                    std::lock_guard lock(s->mutex);
                    s->received.emplace_back(event.buffer, event.buffer + event.size);
                }
                return 0;
            },
            &synth);
        return synth.port && jack_activate(synth.client) == 0;
    }

    static inline std::unique_ptr<JackTestServer> server_;
    std::shared_ptr<platform::JackMidiBackend> backend;
    std::shared_ptr<TarnMIDIManager> tarn;
    Synth synth;
};

TEST_F(NoteOnOffJackTest, OneMessagePlaysANoteWithItsAftertouchAndItsReleaseEndsIt) {
    ASSERT_TRUE(openSynth());
    std::shared_ptr<TarnMIDIRealDestination> destination;
    ASSERT_TRUE(runUntil([&] {
        for (const auto& d : tarn->realDestinations())
            if (d->name() == "synth in" && d->isOnline()) destination = d;
        return destination != nullptr;
    }));
    auto midi = manager->midiManager();
    midi->setIsVirtualSourceActive(false);
    midi->select(true, destination);
    ASSERT_TRUE(manager->start());

    // /note pitch velocity aftertouch gate: the message's own context holds the parameters.
    managertest::Sender sender(LO_UDP, port);
    const auto send = [&](int32_t pitch, float gate) {
        sender.send(managertest::packet(
            "/note", {firing::Int(pitch), firing::Float(0.5f), firing::Float(0.25f), firing::Float(gate)}));
    };
    send(40, 0);
    ASSERT_TRUE(runUntil([&] {
        auto context = manager->contextWithName("/note");
        return context && context->actions().size() == 4;
    }));
    auto context = manager->contextWithName("/note");
    for (unsigned type = 0; type < 3; ++type)
        context->actions()[type]->setEventSource(std::make_shared<QRBNoteValuesEventSource>(type));
    auto note = std::make_shared<QRBMidiNoteOnOffEventSource>();
    note->setParamsLocation(context->location());
    context->actions()[3]->setEventSource(note);

    // The connection to the synth takes effect at a later cycle of the server: notes of pitch 40
    // are played until one arrives, and left out below.
    ASSERT_TRUE(runUntil([&] {
        send(40, 1);
        send(40, 0);
        foundation::RunLoop::main().runMode(foundation::RunLoopMode::Default, 0.02);
        return !synth.messages().empty();
    }));

    send(64, 1);
    settle(0.1);
    send(64, 0);
    const Bytes off = midi->noteWithState(false, 64, 64, 1)->data();
    const std::vector<Bytes> expected = {{0x90, 64, 64}, {0xA0, 64, 32}, off};
    std::vector<Bytes> played;
    EXPECT_TRUE(runUntil([&] {
        played.clear();
        for (const auto& message : synth.messages())
            if (message.size() == 3 && message[1] == 64) played.push_back(message);
        return played.size() >= expected.size();
    }));
    EXPECT_EQ(played, expected);
}

}  // namespace
