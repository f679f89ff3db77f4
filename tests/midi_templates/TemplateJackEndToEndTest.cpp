// A template output end to end on a real JACK server (`jackd -r -d dummy` under a server name of
// this test's own): an OSC value received over UDP drives a template that sends a SysEx with its
// checksum to another JACK client. Where jackd cannot start, the test skips and says why.

#include "TemplateTestSupport.h"

#include "../core/support/ManagerTestSupport.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBTrigger.h"
#include "foundation/RunLoop.h"
#include "midi/QRBMIDIManager.h"
#include "midi/tarn/TarnMIDIManager.h"
#include "platform/midi/JackMidiBackend.h"

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>

extern char** environ;

using namespace templatetest;

namespace {

// Another program on the server: a synthesizer with one MIDI input that keeps what it receives.
struct Synth {
    jack_client_t* client = nullptr;
    jack_port_t* port = nullptr;
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> received;

    std::vector<std::vector<uint8_t>> messages() {
        std::lock_guard lock(mutex);
        return received;
    }
};

class TemplateJackEndToEnd : public managertest::ManagerFixture {
protected:
    static void SetUpTestSuite() {
        serverName_ = "quorbital-templates-" + std::to_string(getpid());
        const std::string nameOption = "-n" + serverName_;
        const char* argv[] = {"jackd", "-r", "-t", "5000", nameOption.c_str(), "-d", "dummy", "-p", "1024", nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int failed = posix_spawnp(&server_, "jackd", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed) {
            server_ = 0;
            whyNot_ = "jackd could not be run (is jackd2 installed?)";
            return;
        }
        jack_set_error_function([](const char*) {});
        for (int i = 0; i < 200; ++i) {
            jack_status_t status{};
            jack_client_t* probe = jack_client_open(
                "probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status, serverName_.c_str());
            if (probe) {
                jack_client_close(probe);
                return;
            }
            if (waitpid(server_, nullptr, WNOHANG) == server_) {
                server_ = 0;
                whyNot_ = "jackd exited at start-up";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        whyNot_ = "jackd did not accept clients within 10 s";
    }

    static void TearDownTestSuite() {
        if (!server_) return;
        kill(server_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(server_, nullptr, WNOHANG) == server_) {
                server_ = 0;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(server_, SIGKILL);
        waitpid(server_, nullptr, 0);
        server_ = 0;
    }

    void SetUp() override {
        if (!whyNot_.empty()) GTEST_SKIP() << "JACK tests skipped: " << whyNot_;
        for (int attempt = 0; attempt < 5 && !backend; ++attempt) {
            if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(200));
            backend = platform::JackMidiBackend::open("Quorbital", serverName_);
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
        jack_status_t status{};
        synth.client = jack_client_open("synth", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                        &status, serverName_.c_str());
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

    static bool waitFor(const std::function<bool()>& condition) {
        for (int i = 0; i < 1000; ++i) {
            if (condition()) return true;
            foundation::RunLoop::main().runMode(foundation::RunLoopMode::Default, 0.01);
        }
        return condition();
    }

    static inline pid_t server_ = 0;
    static inline std::string serverName_;
    static inline std::string whyNot_;
    std::shared_ptr<platform::JackMidiBackend> backend;
    std::shared_ptr<TarnMIDIManager> tarn;
    Synth synth;
};

TEST_F(TemplateJackEndToEnd, AnOSCValueSendsASysExWithItsChecksumToAnotherClient) {
    ASSERT_TRUE(openSynth());
    std::shared_ptr<TarnMIDIRealDestination> destination;
    ASSERT_TRUE(waitFor([&] {
        for (const auto& d : tarn->realDestinations())
            if (d->name() == "synth in" && d->isOnline()) destination = d;
        return destination != nullptr;
    }));
    auto midi = manager->midiManager();
    midi->setIsVirtualSourceActive(false);
    midi->select(true, destination);
    ASSERT_TRUE(manager->start());

    // The SysEx: a Roland-style data set whose value byte is driven and whose checksum covers the
    // address and the value.
    auto sysex = makeTemplate(
        "F0 41 10 42 12 00 00 F7",
        {numberAt(5), QRBMIDIChecksumSubstitution::make(QRBMIDIChecksumSubstitution::NegatedSum, 1, 5, 6)});
    // The connection to the synth takes effect at a later cycle of the server: the value is sent
    // until it arrives.
    sysex->setToleratesRedundantOutputValues(true);
    sysex->setTriggerMode(QRBTrigger::kAlways);
    midi->ensureTemplateCollectionNamed("Synth")->insertTemplates({sysex}, {0});

    managertest::Sender sender(LO_UDP, port);
    sender.send(managertest::packet("/volume", {firing::Float(0.5)}));
    ASSERT_TRUE(waitFor([&] { return manager->contextWithName("/volume") != nullptr; }));
    manager->contextWithName("/volume")->setEventSource(sysex);

    const std::vector<uint8_t> expected = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x1B, 0xF7};  // 64; -(E5) & 7F
    EXPECT_TRUE(waitFor([&] {
        sender.send(managertest::packet("/volume", {firing::Float(0.5)}));
        foundation::RunLoop::main().runMode(foundation::RunLoopMode::Default, 0.02);
        return !synth.messages().empty();
    }));
    for (const auto& message : synth.messages()) EXPECT_EQ(hexText(message), hexText(expected));
}

}  // namespace
