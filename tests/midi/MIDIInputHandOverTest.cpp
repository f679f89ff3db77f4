// MIDI input of a running document reaches its routing in process: a dense burst arrives whole
// and in order, where datagrams to its own port were lost once the socket's buffer was full; and what waits for the main loop is bounded, the rest
// dropped with a count and a line in the log. On the fake MIDI system, whose thread delivers
// while the main thread is busy elsewhere.

#include "core/support/ManagerTestSupport.h"
#include "foundation/Log.h"
#include "midi/FakeMidiFixture.h"
#include "midi/QRBMIDIManager.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using Bytes = std::vector<uint8_t>;

class MIDIInputHandOverTest : public managertest::ManagerFixture {
protected:
    void SetUp() override {
        fake = std::make_shared<platform::FakeMidiBackend>();
        tarn = TarnMIDIManager::create(fake);
        TarnMIDIManager::setShared(tarn);
        ManagerFixture::SetUp();
        ASSERT_TRUE(manager->start());
        in = manager->midiManager()->virtualDestination()->midiEndpointRef();
        ASSERT_NE(in, 0u);
    }
    void TearDown() override {
        ManagerFixture::TearDown();
        fake->drain();
        TarnMIDIManager::setShared(nullptr);
        tarn.reset();
    }

    // Notes whose pitch and velocity hold a sequence number of 14 bits, one packet each, played
    // while the main thread reads nothing.
    void play(int count) {
        for (int i = 0; i < count; ++i)
            fake->sendToVirtualDestination(in, {0x90, static_cast<uint8_t>(i >> 7), static_cast<uint8_t>(i & 0x7F)});
        fake->drain();
    }
    // The sequence numbers the note context's pitch and velocity actions fired with, in order.
    std::vector<int> routed() const {
        std::vector<int> sequence;
        const auto& firings = *configurator->firings;
        for (size_t i = 0; i + 1 < firings.size(); ++i) {
            if (firings[i].address != "/midi/note/1/0") continue;
            const int pitch = static_cast<int>(firings[i].value);
            const int velocity = static_cast<int>(std::lround(firings[i + 1].value * 127.0));
            sequence.push_back(pitch * 128 + velocity);
            i += 2;  // the trigger
        }
        return sequence;
    }

    std::shared_ptr<platform::FakeMidiBackend> fake;
    std::shared_ptr<TarnMIDIManager> tarn;
    midi::EndpointRef in = 0;
};

TEST_F(MIDIInputHandOverTest, ADenseBurstReachesTheRoutingWholeAndInOrder) {
    constexpr int kNotes = 20000;
    play(kNotes);
    EXPECT_TRUE(runUntil([&] { return routed().size() >= size_t(kNotes); }, 60)) << routed().size();
    const std::vector<int> sequence = routed();
    ASSERT_EQ(sequence.size(), size_t(kNotes));
    for (int i = 0; i < kNotes; ++i) ASSERT_EQ(sequence[size_t(i)], i) << "note " << i;
    EXPECT_EQ(manager->midiManager()->droppedInputCount(), 0u);
    EXPECT_EQ(manager->midiManager()->queuedInputCount(), 0u);
}

TEST_F(MIDIInputHandOverTest, InputPastTheBoundIsDroppedCountedAndLoggedInTheBoundedForm) {
    // Each note waits as its OSC and as its MIDI message.
    manager->midiManager()->setMaxQueuedInput(200);
    foundation::LogCapture log;
    play(1000);
    EXPECT_EQ(manager->midiManager()->queuedInputCount(), 200u);
    EXPECT_EQ(manager->midiManager()->droppedInputCount(), 1800u);
    size_t lines = 0;
    for (const auto& line : log.lines())
        if (line.find("MIDI input: ") != std::string::npos && line.find("dropped") != std::string::npos) ++lines;
    EXPECT_EQ(lines, 1u) << "the flood's other lines wait for the window's summary";
    // What was kept is routed, in order, and the queue is free again.
    EXPECT_TRUE(runUntil([&] { return routed().size() >= 100; }));
    std::vector<int> first100(100);
    for (int i = 0; i < 100; ++i) first100[size_t(i)] = i;
    EXPECT_EQ(routed(), first100);
    EXPECT_EQ(manager->midiManager()->queuedInputCount(), 0u);
}

}  // namespace
