// A JACK server that stops and comes back while a document runs: the loss is said once, MIDI
// outputs fail meanwhile, and once the server is back the document's ports are open again with
// their connections: the source and destination it chose, and what another program had connected
// to its own input. On a JACK server of the suite's own (`jackd -d dummy`), stopped and started
// again under the same name; skipped, saying why, where jackd cannot run.

#include "midi/JackDocumentFixture.h"

#include "midi/QRBMIDIMessage.h"
#include "midi/QRBMIDIMessageEndpoint.h"
#include "foundation/Log.h"
#include "midi/QRBMIDIManager.h"

#include <algorithm>

namespace {

using Bytes = std::vector<uint8_t>;

class JackServerRestartTest : public jacktest::JackDocumentFixture {
protected:
    template <class T> std::shared_ptr<T> endpointNamed(const std::vector<std::shared_ptr<T>>& list, const char* name) {
        for (const auto& endpoint : list)
            if (endpoint->name() == name && endpoint->isOnline()) return endpoint;
        return nullptr;
    }
    bool monitored(const Bytes& bytes) {
        for (const auto& event : manager->messageMonitor()->events().events())
            if (auto message = std::dynamic_pointer_cast<QRBMIDIMessage>(event->message()))
                if (message->data() == foundation::Data(bytes.begin(), bytes.end())) return true;
        return false;
    }
    bool deviceReceived(const Bytes& bytes) {
        const auto all = device.received();
        return std::find(all.begin(), all.end(), bytes) != all.end();
    }
    // Sends until the device has it: a connection carries messages from a later cycle on.
    bool sendUntilReceived(const Bytes& bytes) {
        auto midi = manager->midiManager();
        return waitFor([&] {
            midi->sendMIDIMessage(QRBMIDIMessage::MIDIMessageWithData(foundation::Data(bytes.begin(), bytes.end())),
                                  QRBMIDIMessageEndpoint::MIDIOutputsEndpoint());
            return deviceReceived(bytes);
        });
    }
    static size_t linesWith(const foundation::LogCapture& log, const std::string& text) {
        const auto lines = log.lines();
        return size_t(std::count_if(lines.begin(), lines.end(),
                                    [&](const std::string& line) { return line.find(text) != std::string::npos; }));
    }
    const std::string stopped = "the JACK server stopped";
    const std::string back = "the JACK server is back";
};

TEST_F(JackServerRestartTest, TheDocumentsPortsAndConnectionsComeBackWithTheServer) {
    foundation::LogCapture log;
    auto midi = manager->midiManager();
    midi->setIsVirtualSourceActive(false);
    ASSERT_TRUE(manager->start());
    ASSERT_TRUE(openDevice("keys"));
    std::shared_ptr<TarnMIDIRealSource> source;
    std::shared_ptr<TarnMIDIRealDestination> destination;
    ASSERT_TRUE(waitFor([&] {
        source = endpointNamed(tarn->realSources(), "keys out");
        destination = endpointNamed(tarn->realDestinations(), "keys in");
        return source && destination;
    }));
    midi->select(true, source);
    midi->select(true, destination);
    // Another program's connection to the document's own input.
    ASSERT_TRUE(connectDeviceToDocument());
    device.play({0x90, 0x40, 0x64});
    ASSERT_TRUE(waitFor([&] { return monitored({0x90, 0x40, 0x64}); }));
    device.stop();
    ASSERT_TRUE(sendUntilReceived({0xB0, 0x07, 0x10}));

    server_->stop();
    ASSERT_TRUE(waitFor([&] { return linesWith(log, stopped) > 0; }));
    device.abandon();
    const auto controller = QRBMIDIMessage::MIDIMessageWithData(foundation::Data{0xB0, 0x07, 0x20});
    EXPECT_EQ(midi->sendMIDIMessage(controller, QRBMIDIMessageEndpoint::MIDIOutputsEndpoint()), -1);

    server_->start();
    ASSERT_EQ(server_->whyNot(), "");
    ASSERT_TRUE(waitFor([&] { return linesWith(log, back) > 0; }));
    ASSERT_TRUE(openDevice("keys"));
    // The chosen destination is connected again...
    EXPECT_TRUE(sendUntilReceived({0xB0, 0x07, 0x30}));
    // ...and so are the chosen source and the other program's connection to the document's input.
    const std::string input = backend->clientName() + ":Quorbital In (" + std::to_string(port) + ")";
    EXPECT_TRUE(waitFor([&] { return jack_port_connected_to(jack_port_by_name(device.client(), device.output().c_str()), input.c_str()); }));
    EXPECT_TRUE(waitFor([&] { return source->ioIsRunning(); }));
    device.play({0x90, 0x41, 0x64});
    EXPECT_TRUE(waitFor([&] { return monitored({0x90, 0x41, 0x64}); }));
    device.stop();

    EXPECT_EQ(linesWith(log, stopped), 1u);
    EXPECT_EQ(linesWith(log, back), 1u);
}

}  // namespace
