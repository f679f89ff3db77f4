// A note with parameters end to end on a real JACK server (`jackd -r -d dummy` under a server name
// of this test's own): one OSC message carrying pitch, velocity, aftertouch and the gate plays a
// note with its aftertouch on another JACK client, and the message that lifts the gate ends it.
// Where jackd cannot start, the test skips and says why.

#include "midi/JackDocumentFixture.h"

#include "core/mapping/QRBContext.h"
#include "midi/QRBMIDIManager.h"
#include "midi/QRBMIDIMessage.h"
#include "midi/outputs/QRBNoteOnOffEventSource.h"
#include "midi/outputs/QRBNoteValuesEventSource.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

class NoteOnOffJackTest : public jacktest::JackDocumentFixture {};

TEST_F(NoteOnOffJackTest, OneMessagePlaysANoteWithItsAftertouchAndItsReleaseEndsIt) {
    ASSERT_TRUE(openDevice("synth"));
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
        return !device.received().empty();
    }));

    send(64, 1);
    settle(0.1);
    send(64, 0);
    const Bytes off = midi->noteWithState(false, 64, 64, 1)->data();
    const std::vector<Bytes> expected = {{0x90, 64, 64}, {0xA0, 64, 32}, off};
    std::vector<Bytes> played;
    EXPECT_TRUE(runUntil([&] {
        played.clear();
        for (const auto& message : device.received())
            if (message.size() == 3 && message[1] == 64) played.push_back(message);
        return played.size() >= expected.size();
    }));
    EXPECT_EQ(played, expected);
}

}  // namespace
