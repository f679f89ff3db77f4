#pragma once
// A document's manager whose MIDI runs on a JACK server of the suite's own (`jackd -d dummy`), and
// another program on that server: a device with a MIDI output that plays one message while asked
// to and a MIDI input that keeps what it receives. Where jackd cannot run, the tests skip and say
// why.

#include "core/support/ManagerTestSupport.h"
#include "foundation/RunLoop.h"
#include "midi/tarn/TarnMIDIManager.h"
#include "platform/midi/JackMidiBackend.h"
#include "support/JackTestServer.h"

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace jacktest {

class JackDevice {
public:
    JackDevice() = default;
    ~JackDevice() { close(); }
    JackDevice(const JackDevice&) = delete;
    JackDevice& operator=(const JackDevice&) = delete;

    // A client `name` with the ports "in" and "out", running.
    bool open(const JackTestServer& server, const char* name) {
        client_ = server.openClient(name);
        if (!client_) return false;
        in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(client_, &JackDevice::process, this);
        gone_ = false;
        jack_on_shutdown(
            client_, [](void* self) { static_cast<JackDevice*>(self)->gone_ = true; }, this);
        return in_ && out_ && jack_activate(client_) == 0;
    }
    void close() {
        if (!client_) return;
        // A client whose server went away is left as it is: libjack's calls on it, closing it
        // among them, may touch what went with the server.
        if (!gone_) {
            jack_deactivate(client_);
            jack_client_close(client_);
        }
        client_ = nullptr;
    }

    // Plays `bytes` at every cycle until stop(): a connection takes effect at a later cycle of
    // the server, so one message sent once could go nowhere.
    void play(std::vector<uint8_t> bytes) {
        std::lock_guard lock(mutex_);
        playing_ = std::move(bytes);
    }
    void stop() { play({}); }
    std::vector<std::vector<uint8_t>> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    // The full name of its output port.
    std::string output() const { return std::string(jack_get_client_name(client_)) + ":out"; }
    jack_client_t* client() const { return client_; }
    // Forgets a client whose server was stopped: libjack's calls on it may touch what went with
    // the server, and its notice of the end need not come.
    void abandon() { client_ = nullptr; }

private:
    static int process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackDevice*>(arg);
        void* inBuffer = jack_port_get_buffer(self->in_, frames);
        void* outBuffer = jack_port_get_buffer(self->out_, frames);
        jack_midi_clear_buffer(outBuffer);
        std::lock_guard lock(self->mutex_);
        if (!self->playing_.empty()) jack_midi_event_write(outBuffer, 0, self->playing_.data(), self->playing_.size());
        const uint32_t count = jack_midi_get_event_count(inBuffer);
        for (uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, inBuffer, i) == 0)
                self->received_.emplace_back(event.buffer, event.buffer + event.size);
        }
        return 0;
    }

    jack_client_t* client_ = nullptr;
    std::atomic<bool> gone_{false};
    jack_port_t* in_ = nullptr;
    jack_port_t* out_ = nullptr;
    std::mutex mutex_;
    std::vector<uint8_t> playing_;
    std::vector<std::vector<uint8_t>> received_;
};

class JackDocumentFixture : public managertest::ManagerFixture {
protected:
    static void SetUpTestSuite() { server_ = std::make_unique<JackTestServer>("document"); }
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
        device.close();
        ManagerFixture::TearDown();
        TarnMIDIManager::setShared(nullptr);
        tarn.reset();
        backend.reset();
    }

    bool openDevice(const char* name) { return device.open(*server_, name); }
    // Connects the device's output to the document's MIDI input, which is named after the
    // document's port once the manager runs.
    bool connectDeviceToDocument() {
        const std::string input = backend->clientName() + ":Quorbital In (" + std::to_string(port) + ")";
        return jack_connect(device.client(), device.output().c_str(), input.c_str()) == 0;
    }
    // Runs the main loop in short slices: MIDI arrives on the backend's thread and need not wake
    // it.
    static bool waitFor(const std::function<bool()>& condition) {
        return waitWithDeadline(condition,
                                [] { foundation::RunLoop::main().runMode(foundation::RunLoopMode::Default, 0.01); });
    }

    static inline std::unique_ptr<JackTestServer> server_;
    std::shared_ptr<platform::JackMidiBackend> backend;
    std::shared_ptr<TarnMIDIManager> tarn;
    JackDevice device;
};

}  // namespace jacktest
