// What of the ALSA backend runs without a sequencer: bytes to events and back. Channel messages
// become their events; anything that is not a run of complete MIDI messages travels as one raw
// system-exclusive event and comes back byte for byte.

#include "platform/midi/AlsaMidiBackend.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

struct CoderCase {
    const char* what;
    Bytes bytes;
    std::vector<int> eventTypes;
    Bytes back;  // what the events decode to
};

TEST(AlsaEventCoderTest, BytesToEventsAndBack) {
    const std::vector<CoderCase> cases = {
        {"note on", {0x90, 0x3C, 0x64}, {SND_SEQ_EVENT_NOTEON}, {0x90, 0x3C, 0x64}},
        {"control change", {0xB3, 0x07, 0x40}, {SND_SEQ_EVENT_CONTROLLER}, {0xB3, 0x07, 0x40}},
        {"program change", {0xC0, 0x05}, {SND_SEQ_EVENT_PGMCHANGE}, {0xC0, 0x05}},
        {"pitch bend", {0xE0, 0x00, 0x40}, {SND_SEQ_EVENT_PITCHBEND}, {0xE0, 0x00, 0x40}},
        {"clock", {0xF8}, {SND_SEQ_EVENT_CLOCK}, {0xF8}},
        {"two messages",
         {0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00},
         {SND_SEQ_EVENT_NOTEON, SND_SEQ_EVENT_NOTEOFF},
         {0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00}},
        {"running status",
         {0x90, 0x40, 0x7F, 0x41, 0x7F},
         {SND_SEQ_EVENT_NOTEON, SND_SEQ_EVENT_NOTEON},
         {0x90, 0x40, 0x7F, 0x90, 0x41, 0x7F}},
        {"system exclusive", {0xF0, 0x7E, 0x01, 0xF7}, {SND_SEQ_EVENT_SYSEX}, {0xF0, 0x7E, 0x01, 0xF7}},
        {"template of data bytes", {0x01, 0x02, 0x03}, {SND_SEQ_EVENT_SYSEX}, {0x01, 0x02, 0x03}},
        {"message cut short", {0xB0, 0x07}, {SND_SEQ_EVENT_SYSEX}, {0xB0, 0x07}},
        {"message then system exclusive",
         {0xC0, 0x01, 0xF0, 0x01, 0xF7},
         {SND_SEQ_EVENT_SYSEX},
         {0xC0, 0x01, 0xF0, 0x01, 0xF7}},
    };
    platform::AlsaEventCoder coder;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto& events = coder.eventsForBytes(c.bytes.data(), c.bytes.size());
        std::vector<int> types;
        Bytes back;
        for (const auto& event : events) {
            types.push_back(event.type);
            EXPECT_TRUE(coder.appendBytesOfEvent(event, back));
        }
        EXPECT_EQ(types, c.eventTypes);
        EXPECT_EQ(back, c.back);
    }
}

TEST(AlsaEventCoderTest, LongByteStringTravelsWhole) {
    Bytes sysex(65535, 0x55);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    platform::AlsaEventCoder coder;
    const auto& events = coder.eventsForBytes(sysex.data(), sysex.size());
    ASSERT_EQ(events.size(), 1u);
    Bytes back;
    EXPECT_TRUE(coder.appendBytesOfEvent(events[0], back));
    EXPECT_EQ(back, sysex);
}

TEST(AlsaMidiBackendTest, HandlesOfSequencerAddresses) {
    for (auto [client, port] : std::vector<std::pair<int, int>>{{0, 0}, {14, 0}, {128, 3}, {255, 65535}}) {
        const auto ref = platform::AlsaMidiBackend::refOfAddress(client, port);
        EXPECT_NE(ref, 0u);
        EXPECT_EQ(platform::AlsaMidiBackend::clientOfRef(ref), client);
        EXPECT_EQ(platform::AlsaMidiBackend::portOfRef(ref), port);
    }
}

}  // namespace
