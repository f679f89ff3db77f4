// A note played by another JACK client into a running document's MIDI input becomes OSC at the
// document's own port, and there a context of its address: MIDI input re-enters the routing as
// ordinary OSC input. On a JACK server of the suite's own (`jackd -d dummy`); skipped, saying why,
// where jackd cannot run.

#include "core/support/ManagerTestSupport.h"
#include "midi/JackTestServer.h"
#include "midi/QRBMIDIManager.h"
#include "midi/tarn/TarnMIDIManager.h"
#include "platform/midi/JackMidiBackend.h"

#include <jack/midiport.h>

#include <atomic>
#include <memory>

namespace {

class QRBMIDIInputJackTest : public managertest::ManagerFixture {
protected:
    static void SetUpTestSuite() { server_ = std::make_unique<JackTestServer>("midiin"); }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        if (!server_->whyNot().empty()) GTEST_SKIP() << "JACK tests skipped: " << server_->whyNot();
        // A loaded server now and then refuses a client while it removes the one before.
        for (int attempt = 0; attempt < 5 && !backend; ++attempt) {
            if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(200));
            backend = platform::JackMidiBackend::open("Quorbital", server_->name());
        }
        ASSERT_TRUE(backend) << "no client on the test's server";
        tarn = TarnMIDIManager::create(backend);
        TarnMIDIManager::setShared(tarn);
        // The document's MIDI manager is made on the MIDI layer set above.
        ManagerFixture::SetUp();
    }
    void TearDown() override {
        if (keys) {
            jack_deactivate(keys);
            jack_client_close(keys);
        }
        ManagerFixture::TearDown();
        TarnMIDIManager::setShared(nullptr);
        tarn.reset();
        backend.reset();
    }

    static inline std::unique_ptr<JackTestServer> server_;
    std::shared_ptr<platform::JackMidiBackend> backend;
    std::shared_ptr<TarnMIDIManager> tarn;
    jack_client_t* keys = nullptr;
};

struct Player {
    jack_port_t* port = nullptr;
    std::atomic<bool> playing{false};
};

TEST_F(QRBMIDIInputJackTest, ANoteFromAnotherClientBecomesAContextOfItsAddress) {
    ASSERT_TRUE(manager->start());
    ASSERT_FALSE(manager->contextWithName("/midi/note/1"));

    Player player;
    keys = server_->openClient("keys");
    ASSERT_TRUE(keys);
    player.port = jack_port_register(keys, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    ASSERT_TRUE(player.port);
    jack_set_process_callback(
        keys,
        [](jack_nframes_t frames, void* arg) -> int {
            auto* p = static_cast<Player*>(arg);
            void* buffer = jack_port_get_buffer(p->port, frames);
            jack_midi_clear_buffer(buffer);
            if (p->playing.load()) {
                const jack_midi_data_t bytes[3] = {0x90, 0x40, 0x64};
                jack_midi_event_write(buffer, 0, bytes, 3);
            }
            return 0;
        },
        &player);
    ASSERT_EQ(jack_activate(keys), 0);
    // The document's own input is named after its port.
    const std::string input = backend->clientName() + ":Quorbital In (" + std::to_string(port) + ")";
    ASSERT_EQ(jack_connect(keys, "keys:out", input.c_str()), 0);

    // The note reaches the monitor too, as MIDI input, handed over apart from the OSC.
    const auto monitoredNote = [&] {
        for (const auto& event : manager->messageMonitor()->events().events())
            if (auto message = std::dynamic_pointer_cast<QRBMIDIMessage>(event->message()))
                if (message->data() == foundation::Data{0x90, 0x40, 0x64}) return true;
        return false;
    };
    // Played every cycle: the first cycles after the connection was made may not carry it yet.
    player.playing = true;
    EXPECT_TRUE(runUntil([&] { return manager->contextWithName("/midi/note/1") != nullptr; }));
    EXPECT_TRUE(runUntil(monitoredNote));
    player.playing = false;
}

}  // namespace
