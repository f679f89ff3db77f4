#pragma once
// A MIDI layer of its own per test: a fake MIDI system and a Tarn manager on it, installed as the
// process's, so that documents, archives and outputs made in the test use it.

#include "foundation/RunLoop.h"
#include "midi/tarn/TarnMIDIManager.h"
#include "platform/midi/FakeMidiBackend.h"

#include <gtest/gtest.h>

#include <memory>

class FakeMidiFixture : public ::testing::Test {
protected:
    using Kind = platform::FakeMidiBackend::Kind;

    void SetUp() override {
        fake = std::make_shared<platform::FakeMidiBackend>();
        tarn = TarnMIDIManager::create(fake);
        TarnMIDIManager::setShared(tarn);
    }
    void TearDown() override {
        settle();
        TarnMIDIManager::setShared(nullptr);
        tarn.reset();
    }

    // Lets the fake's thread and then the main run loop finish what they were given.
    void settle() {
        for (int i = 0; i < 3; ++i) {
            fake->drain();
            foundation::RunLoop::main().runMode(foundation::RunLoopMode::Default, 0);
        }
    }

    std::shared_ptr<platform::FakeMidiBackend> fake;
    std::shared_ptr<TarnMIDIManager> tarn;
};

// Records what an endpoint delivers.
class RecordingReceiver : public TarnMIDIReceiver {
public:
    void processMIDIPacketList(const midi::MIDIPacketList& list, TarnMIDIEndpoint& sender) override {
        std::lock_guard lock(mutex);
        for (const auto& packet : list) packets.emplace_back(packet.data, packet.data + packet.length);
        lastSender = &sender;
    }
    std::vector<std::vector<uint8_t>> received() {
        std::lock_guard lock(mutex);
        return packets;
    }

    std::mutex mutex;
    std::vector<std::vector<uint8_t>> packets;
    TarnMIDIEndpoint* lastSender = nullptr;
};
