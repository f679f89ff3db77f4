// MIDI input arrives on the MIDI system's thread while the main thread changes the document's
// target URL (to none and back), drops and picks the port again, closes the manager and lets it
// go. Run under ThreadSanitizer, this shows the locks hold: no freed address is sent through, and
// no receiver is called after it left.

#include "foundation/RunLoop.h"
#include "midi/FakeMidiFixture.h"
#include "midi/QRBMIDIManager.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace {

// A UDP port on 127.0.0.1 that swallows what is sent to it.
class Sink {
public:
    Sink() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~Sink() { close(fd_); }
    std::string url() const { return "osc.udp://127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
};

class MIDIInputRaceTest : public FakeMidiFixture {};

TEST_F(MIDIInputRaceTest, DeliveriesRaceTargetURLRemoveReceiverAndClose) {
    Sink sink;
    const midi::EndpointRef keys = fake->plug(Kind::Source, "Keys", 1);
    settle();
    auto source = tarn->realSourceWithMIDIEndpointRef(keys);
    ASSERT_TRUE(source);

    for (int round = 0; round < 8; ++round) {
        auto manager = QRBMIDIManager::create();
        // Raw and parsed: every packet is also sent as OSC through the manager's address.
        manager->setInputMode(3);
        manager->setTargetURL(sink.url());
        manager->select(true, source);
        const midi::EndpointRef in = manager->virtualDestination()->midiEndpointRef();

        std::thread player([&] {
            for (int i = 0; i < 300; ++i) {
                fake->sendFromSource(keys, {0x90, static_cast<uint8_t>(i & 0x7F), 0x40});
                fake->sendToVirtualDestination(in, {0xF0, 0x01, 0x02, 0xF7});
                if (i % 16 == 0) std::this_thread::yield();
            }
        });
        for (int i = 0; i < 60; ++i) {
            manager->setTargetURL(i % 2 ? std::nullopt : std::optional<std::string>(sink.url()));
            if (i % 10 == 5) {
                manager->select(false, source);
                manager->select(true, source);
            }
            if (i % 7 == 0) std::this_thread::yield();
        }
        if (round % 2) manager->close();
        manager.reset();
        player.join();
        settle();
        // Nothing uses the port any more: its connection is gone.
        EXPECT_FALSE(source->isInUse());
        EXPECT_EQ(fake->connectionCount(keys), 0u);
    }
}

}  // namespace
