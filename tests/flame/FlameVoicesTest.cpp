// The Flame voice allocator on the fake bus: the poll and the rebuild of the voice table from the
// unit's descriptors, allocation and stealing, release, channels, and the words written.

#include "flame/flame_voices.h"
#include "foundation/Log.h"
#include "foundation/RunLoop.h"
#include "platform/firewire/FakeFireWireBus.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

namespace {

using platform::FakeFireWireBus;
using platform::FakeFireWireUnit;

struct Voice {
    uint32_t channelIndex;
    uint32_t lowest;
    uint32_t highest;
};

// A descriptor as the unit encodes it: channel and lowest key negated.
uint32_t descriptor(const Voice& voice) {
    return ((0u - voice.channelIndex) & 0xF) << 18 | ((0u - voice.lowest) & 0x7F) << 9 | (voice.highest & 0x7F);
}

FireWireBlock block(uint32_t high, uint32_t low) {
    return {uint8_t(high >> 24), uint8_t(high >> 16), uint8_t(high >> 8), uint8_t(high),
            uint8_t(low >> 24),  uint8_t(low >> 16),  uint8_t(low >> 8),  uint8_t(low)};
}

FireWireAddress at(uint32_t offset) { return {0, kFlameDefaultAddressHigh, kFlameDefaultAddressLow + offset}; }

class FlameVoicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        unit = bus->plug({0x50C2, kFlameUnitVersion, 1});
        device = flame_device_create(unit, kFlameUnitVersion);
        ASSERT_TRUE(flame_device_open(device.get()));
        ASSERT_TRUE(flame_device_start(device.get()));
        voices = flame_voices_new(device.get());
    }
    void TearDown() override {
        flame_voices_free(std::move(voices));
        flame_device_free(std::move(device));
    }

    // The unit reports these voices: the count in the second quadlet of the table's first
    // register, the descriptors in the first quadlets from there on, then the end mark.
    void setVoices(const std::vector<Voice>& table, bool endMark = true) {
        const auto count = uint32_t(table.size());
        for (uint32_t i = 0; i < count + (endMark ? 1 : 0) || i == 0; ++i) {
            const uint32_t high = i < count ? descriptor(table[i]) : (endMark ? 0x800000u : 0u);
            unit->setBlock(at(kFlameVoiceTableOffset + i), block(high, i == 0 ? count : 0));
        }
    }
    // Polls and waits for the rebuild to hand its table over.
    int poll() {
        const int result = flame_voices_refresh(voices.get());
        auto& loop = foundation::RunLoop::main();
        EXPECT_TRUE(loop.runUntil([&] { return !flame_voices_is_rebuilding(voices.get()); }, 10.0));
        return result;
    }
    std::vector<uint32_t> noteOns(uint32_t channel, const std::vector<float>& pitches) {
        std::vector<uint32_t> taken;
        for (float pitch : pitches) {
            uint32_t voice = kFlameNoVoice;
            EXPECT_EQ(flame_voices_note(voices.get(), 1, channel, &voice, pitch, 1, 0), 1) << pitch;
            taken.push_back(voice);
        }
        return taken;
    }
    // The note writes that reached the unit, as voice numbers.
    std::vector<uint32_t> noteWrites(size_t count) {
        EXPECT_TRUE(unit->waitForWrites(count, 5));
        std::vector<uint32_t> written;
        for (const auto& write : unit->writes()) written.push_back(write.address.low - kFlameNoteOffset);
        return written;
    }

    std::shared_ptr<FakeFireWireBus> bus = std::make_shared<FakeFireWireBus>();
    std::shared_ptr<FakeFireWireUnit> unit;
    flame_device_ptr device;
    flame_voices_ptr voices;
};

const std::vector<Voice> kFourVoices(4, Voice{0, 0, 127});

TEST_F(FlameVoicesTest, FiveNotesOnFourVoicesStealTheOldestAndAReleasedVoiceIsTakenAgain) {
    setVoices(kFourVoices);
    EXPECT_EQ(poll(), 1);
    EXPECT_EQ(flame_voices_voice_count(voices.get()), 4u);
    EXPECT_TRUE(flame_device_is_ready(device.get()));

    EXPECT_EQ(noteOns(1, {60, 61, 62, 63, 64}), (std::vector<uint32_t>{0, 1, 2, 3, 0}));
    uint32_t voice = kFlameNoVoice;
    EXPECT_EQ(flame_voices_note(voices.get(), 0, 1, &voice, 61, 0, 0), 1);
    EXPECT_EQ(voice, 1u);
    EXPECT_EQ(noteOns(1, {65}), std::vector<uint32_t>{1}) << "the only silent voice";
    EXPECT_EQ(flame_voices_note(voices.get(), 0, 1, nullptr, 61, 0, 0), 0) << "61 no longer sounds";
    EXPECT_EQ(noteWrites(7), (std::vector<uint32_t>{0, 1, 2, 3, 0, 1, 1}));

    const auto off = unit->writes()[5];
    EXPECT_EQ(off.high(), 61u * 65536);
    EXPECT_EQ(off.low() >> 23, 0u) << "note off";
    const auto on = unit->writes()[6];
    EXPECT_EQ(on.high(), 65u * 65536);
    EXPECT_EQ(on.low(), (1u << 23) | (2047u << 1)) << "velocity in the low field, no aftertouch";
}

TEST_F(FlameVoicesTest, ChannelsWalkTheirOwnVoicesAndChannelOneWalksThemAll) {
    // Channel indexes 1 and 2 (MIDI channels 2 and 3), each with a key range.
    setVoices({{1, 0, 59}, {1, 60, 127}, {2, 0, 127}, {2, 0, 127}});
    poll();
    EXPECT_EQ(noteOns(2, {40, 70}), (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(noteOns(3, {40, 41, 42}), (std::vector<uint32_t>{2, 3, 2}));
    EXPECT_EQ(noteOns(1, {50}), std::vector<uint32_t>{0}) << "MIDI channel 1 may take any voice: the oldest";
    EXPECT_EQ(noteOns(0, {50}), std::vector<uint32_t>{3}) << "channel 0 counts as 1: the oldest of the others";

    struct Case {
        const char* what;
        uint32_t channel;
        float pitch;
    };
    const std::vector<Case> refused = {
        {"no voice of the channel holds the pitch", 2, 128},
        {"a channel without voices", 9, 60},
        {"a channel above 16", 17, 60},
        {"a pitch below every range", 3, -1},
    };
    ASSERT_TRUE(unit->waitForWrites(7, 5));
    for (const auto& c : refused) {
        SCOPED_TRACE(c.what);
        uint32_t voice = 77;
        EXPECT_EQ(flame_voices_note(voices.get(), 1, c.channel, &voice, c.pitch, 1, 0), 0);
        EXPECT_EQ(voice, 77u);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(unit->writes().size(), 7u) << "nothing written for the refused notes";
}

TEST_F(FlameVoicesTest, AllNotesOffSilencesTheChannelsVoices) {
    setVoices({{1, 0, 127}, {1, 0, 127}, {2, 0, 127}});
    poll();
    noteOns(2, {60, 61});
    noteOns(3, {62});
    ASSERT_TRUE(unit->waitForWrites(3, 5));
    EXPECT_EQ(flame_voices_all_notes_off(voices.get(), 2), 1);
    ASSERT_TRUE(unit->waitForWrites(5, 5));
    const auto writes = unit->writes();
    EXPECT_EQ(writes[3].address.low, kFlameSetVoiceOffset + 0);
    EXPECT_EQ(writes[4].address.low, kFlameSetVoiceOffset + 1);
    EXPECT_EQ(writes[4].high(), 0u);
    EXPECT_EQ(writes[4].low(), 0u);
    EXPECT_FALSE(flame_voices_record(voices.get(), 0).sounding);
    EXPECT_TRUE(flame_voices_record(voices.get(), 2).sounding) << "another channel";
    EXPECT_EQ(flame_voices_all_notes_off(voices.get(), 17), 0);
}

TEST_F(FlameVoicesTest, SetVoiceWritesItsOwnWordAndRecordsTheVoice) {
    setVoices(kFourVoices);
    poll();
    EXPECT_EQ(flame_voices_set_voice(voices.get(), 1, 2, 64.5f, 0.5f, 1.0f), 1);
    EXPECT_EQ(flame_voices_set_voice(voices.get(), 1, kFlameMaxVoices, 64, 1, 1), 0);
    ASSERT_TRUE(unit->waitForWrites(1, 5));
    const auto write = unit->writes()[0];
    EXPECT_EQ(write.address.low, kFlameSetVoiceOffset + 2);
    EXPECT_EQ(write.high(), uint32_t(64.5 * 65536));
    EXPECT_EQ(write.low(), (1u << 23) | (1023u << 12) | (2047u << 1)) << "velocity high, aftertouch low";
    const flame_voice_record record = flame_voices_record(voices.get(), 2);
    EXPECT_TRUE(record.sounding);
    EXPECT_EQ(record.played_pitch, 64.5f);
}

TEST_F(FlameVoicesTest, TheRebuildReadsDescriptorsUpToTheEndMarkTheCapOrAFailure) {
    struct Case {
        const char* what;
        std::vector<Voice> table;
        bool endMark;
        std::optional<uint32_t> failingDescriptor;
        uint32_t voiceCount;
        uint32_t polyphony;
    };
    const std::vector<Case> cases = {
        {"an end mark", {{3, 10, 20}, {3, 30, 40}}, true, std::nullopt, 2, 2},
        {"no end mark before the cap", std::vector<Voice>(kFlameMaxVoices + 5, Voice{0, 0, 127}), false, std::nullopt,
         kFlameMaxVoices, kFlameMaxVoices + 5},
        {"a failed read", std::vector<Voice>(8, Voice{0, 0, 127}), true, 5, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        voices = flame_voices_new(device.get());
        setVoices(c.table, c.endMark);
        if (c.failingDescriptor)
            unit->setReadResultAt(at(kFlameVoiceTableOffset + *c.failingDescriptor), FireWireResult::Failed);
        foundation::LogCapture log;
        EXPECT_EQ(poll(), 1);
        EXPECT_EQ(flame_voices_voice_count(voices.get()), c.voiceCount);
        EXPECT_EQ(flame_voices_polyphony(voices.get()), c.polyphony);
        EXPECT_EQ(log.contains("Error occurred when reading from the Flame"), c.failingDescriptor.has_value());
        if (c.failingDescriptor) unit->setReadResultAt(at(kFlameVoiceTableOffset + *c.failingDescriptor), std::nullopt);
    }
    // The first case's records, decoded.
    voices = flame_voices_new(device.get());
    setVoices({{3, 10, 20}, {3, 30, 40}});
    poll();
    const flame_voice_record second = flame_voices_record(voices.get(), 1);
    EXPECT_EQ(second.channel_index, 3);
    EXPECT_EQ(second.lowest, 30);
    EXPECT_EQ(second.highest, 40);
    EXPECT_EQ(second.voice_number, 1u);
    EXPECT_EQ(flame_voices_record(voices.get(), 2).channel_index, -1) << "not in use";
}

TEST_F(FlameVoicesTest, ThePollSetsReadyOnlyWhileTheUnitHasVoicesAndAlwaysComesBack) {
    setVoices(kFourVoices);
    poll();
    EXPECT_TRUE(flame_device_is_ready(device.get()));
    EXPECT_EQ(poll(), 1) << "unchanged";

    setVoices({});
    EXPECT_EQ(poll(), 0);
    EXPECT_FALSE(flame_device_is_ready(device.get()));
    EXPECT_EQ(flame_voices_polyphony(voices.get()), 0u);

    // The same count as before: the device becomes ready again and the table is rebuilt.
    setVoices(kFourVoices);
    EXPECT_EQ(poll(), 1);
    EXPECT_TRUE(flame_device_is_ready(device.get()));
    EXPECT_EQ(flame_voices_voice_count(voices.get()), 4u);

    unit->setReadResult(FireWireResult::Failed);
    EXPECT_EQ(poll(), 0);
    EXPECT_FALSE(flame_device_is_ready(device.get()));
}

TEST_F(FlameVoicesTest, ANoteOnAnEmptyTablePollsAtOnce) {
    setVoices(kFourVoices);
    // The rebuild runs aside, so this first note finds no voice yet...
    foundation::LogCapture log;
    EXPECT_EQ(flame_voices_note(voices.get(), 1, 1, nullptr, 60, 1, 0), 0);
    auto& loop = foundation::RunLoop::main();
    ASSERT_TRUE(loop.runUntil([&] { return flame_voices_voice_count(voices.get()) == 4; }, 10.0));
    // ...and the next does.
    EXPECT_EQ(noteOns(1, {60}), std::vector<uint32_t>{0});

    setVoices({});
    poll();
    EXPECT_EQ(flame_voices_note(voices.get(), 1, 1, nullptr, 60, 1, 0), 0);
    EXPECT_TRUE(log.contains("An error occurred when updating the polyphony."));
}

// The unit's count changes while a rebuild reads the old table: the poll has already taken the new
// count, so the rebuild must read again rather than leave the old table for good.
TEST_F(FlameVoicesTest, ACountChangedDuringARebuildIsReadAgain) {
    setVoices(kFourVoices);
    ASSERT_EQ(flame_voices_refresh(voices.get()), 1);
    ASSERT_TRUE(flame_voices_is_rebuilding(voices.get()));
    // The rebuild's reads are done once it has posted its table to the loop, which the loop's
    // descriptor shows; the table is not handed over until the loop runs.
    pollfd ready{foundation::RunLoop::main().fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 5000), 1);

    setVoices({{0, 0, 127}, {0, 0, 127}});
    ASSERT_EQ(flame_voices_refresh(voices.get()), 1) << "the new count, while the rebuild runs";
    EXPECT_EQ(flame_voices_polyphony(voices.get()), 2u);
    auto& loop = foundation::RunLoop::main();
    ASSERT_TRUE(loop.runUntil(
        [&] { return !flame_voices_is_rebuilding(voices.get()) && flame_voices_voice_count(voices.get()) == 2; },
        10.0));
    EXPECT_EQ(flame_voices_record(voices.get(), 2).channel_index, -1);
    EXPECT_EQ(poll(), 1);
    EXPECT_EQ(flame_voices_voice_count(voices.get()), 2u);

    // Gone to none during a rebuild: no table is left behind.
    setVoices(kFourVoices);
    ASSERT_EQ(flame_voices_refresh(voices.get()), 1);
    setVoices({});
    EXPECT_EQ(flame_voices_refresh(voices.get()), 0);
    ASSERT_TRUE(loop.runUntil([&] { return !flame_voices_is_rebuilding(voices.get()); }, 10.0));
    EXPECT_EQ(flame_voices_voice_count(voices.get()), 0u);
}

TEST_F(FlameVoicesTest, UpdateRecordsAVoiceWithoutWriting) {
    setVoices(kFourVoices);
    poll();
    EXPECT_EQ(noteOns(1, {60}), std::vector<uint32_t>{0});
    ASSERT_TRUE(unit->waitForWrites(1, 5));

    EXPECT_EQ(flame_voices_update(voices.get(), 2, 1, 70), 1);
    const flame_voice_record record = flame_voices_record(voices.get(), 2);
    EXPECT_EQ(record.sounding, 1);
    EXPECT_EQ(record.played_pitch, 70.0f);
    EXPECT_EQ(record.age_stamp, 1u) << "the current note age, not a new one";
    EXPECT_EQ(noteOns(1, {61}), std::vector<uint32_t>{1}) << "voice 2 now counts as sounding";
    EXPECT_EQ(flame_voices_note(voices.get(), 0, 1, nullptr, 70, 0, 0), 1) << "and releases at its pitch";

    foundation::LogCapture log;
    EXPECT_EQ(flame_voices_update(voices.get(), 4, 1, 60), 0);
    EXPECT_EQ(flame_voices_update(voices.get(), kFlameMaxVoices, 1, 60), 0);
    EXPECT_EQ(flame_voices_update(nullptr, 0, 1, 60), 0);
    EXPECT_EQ(log.lines(), (std::vector<std::string>(2, "Trying to update a voice that is NULL.")));
    // Writes reach the unit in order: once a note made after the updates is there, anything the
    // updates wrote would be there too.
    EXPECT_EQ(noteOns(1, {62}), std::vector<uint32_t>{3});
    ASSERT_TRUE(unit->waitForWrites(4, 5));
    EXPECT_EQ(unit->writes().size(), 4u) << "updates write nothing";
}

// Controller data without a priority is dropped when the device's queue is full of it, rather than
// holding the caller until there is room.
TEST_F(FlameVoicesTest, AControllerWriteWithoutPriorityIsRefusedWhenTheQueueIsFull) {
    setVoices(kFourVoices);
    poll();
    ASSERT_EQ(flame_voices_write_controller(voices.get(), 7, 2, 0.5), 1);
    ASSERT_TRUE(unit->waitForWrites(1, 5));
    const auto write = unit->writes()[0];
    EXPECT_EQ(write.address.low - kFlameDefaultAddressLow, flame_voices_controller_offset(7, 2));
    EXPECT_EQ(write.high(), 0u);
    EXPECT_EQ(write.low(), 0x800000u);

    unit->setStalled(true);
    size_t refused = 0;
    for (size_t i = 0; i < 2 * kFlameRingSize && refused == 0; ++i)
        if (!flame_voices_write_controller(voices.get(), 7, 2, 0.25)) ++refused;
    EXPECT_EQ(refused, 1u);
    unit->setStalled(false);
}

TEST(FlameVoiceWords, ValuesAreClampedAndEachFieldMasked) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* what;
        int on;
        float pitch, velocity, aftertouch;
        uint32_t high, noteLow, setVoiceLow;
    };
    const std::vector<Case> cases = {
        {"in range", 1, 60, 1, 0.5f, 60 << 16, 1u << 23 | 1023u << 12 | 2047u << 1,
         1u << 23 | 2047u << 12 | 1023u << 1},
        {"off", 0, 60.5f, 0, 0, uint32_t(60.5 * 65536), 0, 0},
        {"above 1 stays in its field", 1, 60, 1.5f, 7, 60 << 16, 1u << 23 | 2047u << 12 | 2047u << 1,
         1u << 23 | 2047u << 12 | 2047u << 1},
        {"below 0 and NaN give 0", 1, nan, -0.5f, nan, 0, 1u << 23, 1u << 23},
        {"a pitch above the keys", 1, 300, 0, 0, 127 << 16, 1u << 23, 1u << 23},
        {"a negative pitch", 1, -3, 0, 0, 0, 1u << 23, 1u << 23},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const flame_voice_words note = flame_voices_note_words(c.on, c.pitch, c.velocity, c.aftertouch);
        EXPECT_EQ(note.high, c.high);
        EXPECT_EQ(note.low, c.noteLow);
        const flame_voice_words set = flame_voices_set_voice_words(c.on, c.pitch, c.velocity, c.aftertouch);
        EXPECT_EQ(set.high, c.high);
        EXPECT_EQ(set.low, c.setVoiceLow);
    }

    struct Controller {
        double value;
        uint32_t high, low;
    };
    for (const auto& c : std::vector<Controller>{
             {0.5, 0, 0x800000}, {0.25, 0, 0x400000}, {1, 1, 0}, {2.5, 1, 0}, {-1, 0, 0}, {std::nan(""), 0, 0}}) {
        SCOPED_TRACE(c.value);
        const flame_voice_words words = flame_voices_controller_words(c.value);
        EXPECT_EQ(words.high, c.high);
        EXPECT_EQ(words.low, c.low);
    }
    EXPECT_EQ(flame_voices_controller_offset(7, 1), 8u);
    EXPECT_EQ(flame_voices_controller_offset(127, 16), (15u << 8) + 128);
}

}  // namespace
