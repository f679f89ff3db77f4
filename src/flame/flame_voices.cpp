#include "flame/flame_voices.h"

#include "foundation/Log.h"
#include "foundation/RunLoop.h"

#include <array>
#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>

namespace {

constexpr uint32_t kChannels = 16;
constexpr int32_t kNoHead = -1;
constexpr uint32_t kEndOfTable = 0x800000;
constexpr uint32_t kOnBit = 1u << 23;
constexpr uint32_t kElevenBits = 0x7FF;

using Table = std::array<flame_voice_record, kFlameMaxVoices>;
using Heads = std::array<int32_t, kChannels>;

// The result of a rebuild, handed from its thread to the run loop.
struct Rebuilt {
    Table table;
    Heads heads;
    uint32_t voice_count = 0;
    bool failed = false;
    // The allocator's count changes when the rebuild started; another since means the unit's
    // table changed under the reads.
    uint64_t changes = 0;
};

void resetTable(Table& table, Heads& heads) {
    heads.fill(kNoHead);
    heads[0] = 0;
    for (uint32_t i = 0; i < kFlameMaxVoices; ++i) table[i] = flame_voice_record{0, -1, 0, 0, 0, 0, i};
}

float clampPitch(float pitch) {
    if (!(pitch >= 0)) return 0;  // also NaN
    return pitch > 127 ? 127 : pitch;
}

uint32_t elevenBits(float unit) {
    if (!(unit >= 0)) return 0;  // also NaN
    if (unit > 1) unit = 1;
    return uint32_t(unit * 2047.0f) & kElevenBits;
}

uint32_t pitchWord(float pitch) { return uint32_t(double(clampPitch(pitch)) * 65536.0); }

}  // namespace

struct flame_voices {
    std::mutex table_mutex;
    uint32_t polyphony = 0;
    uint32_t voice_count = 0;
    uint32_t note_age = 0;
    Table voice_table;
    Heads channel_heads;
    std::shared_ptr<foundation::Timer> poll_timer;
    flame_device* device = nullptr;

    foundation::RunLoop* loop = nullptr;
    std::thread rebuilder;
    std::atomic<bool> rebuilding{false};
    // Counts every change of `polyphony` the poll saw, so that a rebuild can tell whether the
    // count it was started for is still the unit's.
    uint64_t polyphony_changes = 0;
    // Expires with the allocator, so that a hand-over posted by a rebuild that ended after the
    // allocator was freed does nothing.
    std::shared_ptr<flame_voices*> self;
};

void flame_voices_deleter::operator()(flame_voices* voices) const {
    if (!voices) return;
    if (voices->poll_timer) voices->poll_timer->invalidate();
    voices->self.reset();
    if (voices->rebuilder.joinable()) voices->rebuilder.join();
    voices->device = nullptr;
    std::unique_ptr<flame_voices> owned(voices);
}

// ---- words ----------------------------------------------------------------------------------------

flame_voice_words flame_voices_note_words(int on, float pitch, float velocity, float aftertouch) {
    return {pitchWord(pitch), (on ? kOnBit : 0) | elevenBits(aftertouch) << 12 | elevenBits(velocity) << 1};
}

flame_voice_words flame_voices_set_voice_words(int on, float pitch, float velocity, float aftertouch) {
    return {pitchWord(pitch), (on ? kOnBit : 0) | elevenBits(velocity) << 12 | elevenBits(aftertouch) << 1};
}

flame_voice_words flame_voices_controller_words(double value) {
    if (!(value >= 0)) value = 0;  // also NaN
    if (value > 1) value = 1;
    const uint64_t x = uint64_t(value * 16777216.0);
    return {uint32_t(x >> 24), uint32_t(x & 0xFFFFFF)};
}

uint32_t flame_voices_controller_offset(uint32_t number, uint32_t channel) { return ((channel - 1) << 8) + number + 1; }

// ---- life -----------------------------------------------------------------------------------------

flame_voices_ptr flame_voices_new(flame_device* device) {
    if (!device) return nullptr;
    flame_voices_ptr voices(std::make_unique<flame_voices>().release());
    voices->device = device;
    voices->self = std::make_shared<flame_voices*>(voices.get());
    resetTable(voices->voice_table, voices->channel_heads);
    voices->loop = &foundation::RunLoop::current();
    std::weak_ptr<flame_voices*> weak = voices->self;
    voices->poll_timer = foundation::Timer::create(kFlameVoicesPollInterval, true, [weak](foundation::Timer&) {
        if (auto self = weak.lock())
            if ((*self)->device) flame_voices_refresh(*self);
    });
    voices->loop->addTimer(voices->poll_timer, foundation::RunLoopMode::Common);
    voices->poll_timer->setFireDate(voices->loop->now() + kFlameVoicesFirstPoll);
    return voices;
}

void flame_voices_free(flame_voices_ptr voices) { voices.reset(); }

flame_device* flame_voices_device(const flame_voices* voices) { return voices ? voices->device : nullptr; }

int flame_voices_channel_index(uint32_t* channel) {
    if (*channel > kChannels) return 0;
    if (*channel == 0) *channel = 1;
    *channel -= 1;
    return 1;
}

// ---- the table ------------------------------------------------------------------------------------

namespace {

// The walk of a channel: channel index 0 covers the whole table, any other index the run of
// records that carry it. It ends at the table's end and at the first record not in use.
flame_voice_record* next(flame_voices* voices, flame_voice_record* record, uint32_t channel_index) {
    const uint32_t following = record->voice_number + 1;
    if (following >= kFlameMaxVoices) return nullptr;
    flame_voice_record* candidate = &voices->voice_table[following];
    if (candidate->channel_index < 0) return nullptr;
    if (channel_index != 0 && uint32_t(candidate->channel_index) != channel_index) return nullptr;
    return candidate;
}

flame_voice_record* head(flame_voices* voices, uint32_t channel_index) {
    if (channel_index >= kChannels) return nullptr;
    const int32_t at = voices->channel_heads[channel_index];
    if (at == kNoHead) return nullptr;
    flame_voice_record* record = &voices->voice_table[uint32_t(at)];
    return record->channel_index < 0 ? nullptr : record;
}

// Reads the descriptors into a fresh table; runs on the rebuild's own thread.
Rebuilt readDescriptors(flame_device* device) {
    Rebuilt rebuilt;
    resetTable(rebuilt.table, rebuilt.heads);
    int32_t previous_channel = -1;
    while (rebuilt.voice_count < kFlameMaxVoices) {
        const uint32_t i = rebuilt.voice_count;
        uint32_t d = 0;
        if (!flame_device_read(device, kFlameVoiceTableOffset + i, &d, nullptr)) {
            rebuilt.failed = true;
            rebuilt.voice_count = 0;
            break;
        }
        if (d & kEndOfTable) break;
        flame_voice_record& record = rebuilt.table[i];
        record.channel_index = int32_t((0u - (d >> 18)) & 0xF);
        record.lowest = float((0u - (d >> 9)) & 0x7F);
        record.highest = float(d & 0x7F);
        record.age_stamp = 0;
        record.sounding = 0;
        record.voice_number = i;
        if (record.channel_index != previous_channel) rebuilt.heads[uint32_t(record.channel_index)] = int32_t(i);
        previous_channel = record.channel_index;
        rebuilt.voice_count = i + 1;
    }
    return rebuilt;
}

void startRebuild(flame_voices* voices);

void handOver(flame_voices* voices, Rebuilt& rebuilt) {
    if (voices->rebuilder.joinable()) voices->rebuilder.join();
    if (rebuilt.changes != voices->polyphony_changes) {
        // The count changed while the descriptors were read: what was read may be the old table,
        // or half of each, and the next poll sees the new count as known. Read again for it; a unit
        // that has no voices now gets none.
        voices->rebuilding = false;
        if (voices->polyphony != 0) startRebuild(voices);
        return;
    }
    {
        std::lock_guard lock(voices->table_mutex);
        voices->voice_table = rebuilt.table;
        voices->channel_heads = rebuilt.heads;
        voices->voice_count = rebuilt.voice_count;
        // A failed rebuild forgets the count, so that the next poll tries again.
        if (rebuilt.failed) voices->polyphony = 0;
    }
    voices->rebuilding = false;
}

void startRebuild(flame_voices* voices) {
    if (voices->rebuilding) return;
    if (voices->rebuilder.joinable()) voices->rebuilder.join();
    voices->rebuilding = true;
    std::weak_ptr<flame_voices*> weak = voices->self;
    foundation::RunLoop* loop = voices->loop;
    flame_device* device = voices->device;
    const uint64_t changes = voices->polyphony_changes;
    voices->rebuilder = std::thread([weak, loop, device, changes] {
        auto rebuilt = std::make_shared<Rebuilt>(readDescriptors(device));
        rebuilt->changes = changes;
        loop->post([weak, rebuilt] {
            if (auto self = weak.lock()) handOver(*self, *rebuilt);
        });
    });
}

}  // namespace

int flame_voices_refresh(flame_voices* voices) {
    if (!voices || !voices->device) return 0;
    uint32_t word = 0;
    const int read = flame_device_read(voices->device, kFlameVoiceTableOffset, nullptr, &word);
    if (!read || word == 0) {
        flame_device_set_ready(voices->device, 0);
        // Forgotten whatever the table held, so that the unit's voices coming back (even the
        // same number of them) set the device ready again.
        std::lock_guard lock(voices->table_mutex);
        if (voices->polyphony != 0) ++voices->polyphony_changes;
        voices->polyphony = 0;
        voices->voice_count = 0;
        return 0;
    }
    if (word == voices->polyphony) return 1;
    voices->polyphony = word;
    ++voices->polyphony_changes;
    flame_device_set_ready(voices->device, 1);
    startRebuild(voices);
    return 1;
}

uint32_t flame_voices_allocate(flame_voices* voices, uint32_t channel_index, float pitch) {
    if (voices->voice_count == 0) {
        if (!flame_voices_refresh(voices)) foundation::log("An error occurred when updating the polyphony.");
        if (voices->voice_count == 0) return kFlameNoVoice;
    }
    std::lock_guard lock(voices->table_mutex);
    flame_voice_record* silent = nullptr;
    flame_voice_record* sounding = nullptr;
    for (flame_voice_record* record = head(voices, channel_index); record;
         record = next(voices, record, channel_index)) {
        if (!(record->lowest <= pitch && pitch <= record->highest)) continue;
        flame_voice_record*& best = record->sounding ? sounding : silent;
        if (!best || record->age_stamp < best->age_stamp) best = record;
    }
    flame_voice_record* chosen = silent ? silent : sounding;
    if (!chosen) return kFlameNoVoice;
    voices->note_age += 1;
    chosen->sounding = 1;
    chosen->age_stamp = voices->note_age;
    chosen->played_pitch = pitch;
    return chosen->voice_number;
}

uint32_t flame_voices_release(flame_voices* voices, uint32_t channel_index, float pitch) {
    std::lock_guard lock(voices->table_mutex);
    for (flame_voice_record* record = head(voices, channel_index); record;
         record = next(voices, record, channel_index)) {
        if (record->sounding && record->played_pitch == pitch) {
            record->sounding = 0;
            return record->voice_number;
        }
    }
    return kFlameNoVoice;
}

int flame_voices_note(flame_voices* voices, int on, uint32_t channel, uint32_t* voice, float pitch, float velocity,
                      float aftertouch) {
    if (!voices || !flame_voices_channel_index(&channel)) return 0;
    const uint32_t chosen =
        on ? flame_voices_allocate(voices, channel, pitch) : flame_voices_release(voices, channel, pitch);
    if (chosen == kFlameNoVoice) return 0;
    if (voice) *voice = chosen;
    const flame_voice_words words = flame_voices_note_words(on, pitch, velocity, aftertouch);
    if (!flame_device_write(voices->device, kFlameNoteOffset + chosen, words.high, words.low, 1)) {
        foundation::logf("Failed to send Note %s message.", on ? "ON" : "OFF");
        return 0;
    }
    return 1;
}

int flame_voices_set_voice(flame_voices* voices, int on, uint32_t voice, float pitch, float velocity,
                           float aftertouch) {
    if (!voices || voice >= kFlameMaxVoices) return 0;
    {
        std::lock_guard lock(voices->table_mutex);
        flame_voice_record& record = voices->voice_table[voice];
        record.sounding = on ? 1 : 0;
        record.played_pitch = pitch;
        record.age_stamp = voices->note_age;
    }
    const flame_voice_words words = flame_voices_set_voice_words(on, pitch, velocity, aftertouch);
    if (!flame_device_write(voices->device, kFlameSetVoiceOffset + voice, words.high, words.low, 1)) {
        foundation::logf("Failed to send Note %s message.", on ? "ON" : "OFF");
        return 0;
    }
    return 1;
}

int flame_voices_update(flame_voices* voices, uint32_t voice, int on, float pitch) {
    if (!voices) return 0;
    std::lock_guard lock(voices->table_mutex);
    if (voice >= voices->voice_count) {
        foundation::log("Trying to update a voice that is NULL.");
        return 0;
    }
    flame_voice_record& record = voices->voice_table[voice];
    record.sounding = on ? 1 : 0;
    record.played_pitch = pitch;
    record.age_stamp = voices->note_age;
    return 1;
}

int flame_voices_all_notes_off(flame_voices* voices, uint32_t channel) {
    if (!voices || !flame_voices_channel_index(&channel)) return 0;
    int result = 1;
    std::lock_guard lock(voices->table_mutex);
    for (flame_voice_record* record = head(voices, channel); record; record = next(voices, record, channel)) {
        record->sounding = 0;
        record->played_pitch = 0;
        record->age_stamp = voices->note_age;
        if (!flame_device_write(voices->device, kFlameSetVoiceOffset + record->voice_number, 0, 0, 1)) {
            foundation::log("Failed to send Note OFF message.");
            result = 0;
        }
    }
    return result;
}

int flame_voices_write_controller(flame_voices* voices, uint32_t number, uint32_t channel, double value, int priority) {
    if (!voices || number > 127 || channel < 1 || channel > kChannels) return 0;
    const flame_voice_words words = flame_voices_controller_words(value);
    return flame_device_write(voices->device, flame_voices_controller_offset(number, channel), words.high, words.low,
                              priority);
}

int flame_voices_write_controller(flame_voices* voices, uint32_t number, uint32_t channel, double value) {
    return flame_voices_write_controller(voices, number, channel, value, 0);
}

uint32_t flame_voices_polyphony(const flame_voices* voices) { return voices ? voices->polyphony : 0; }

uint32_t flame_voices_voice_count(const flame_voices* voices) { return voices ? voices->voice_count : 0; }

int flame_voices_is_rebuilding(const flame_voices* voices) { return voices && voices->rebuilding; }

flame_voice_record flame_voices_record(const flame_voices* voices, uint32_t index) {
    if (!voices || index >= kFlameMaxVoices) return {};
    auto* mutable_voices = const_cast<flame_voices*>(voices);
    std::lock_guard lock(mutable_voices->table_mutex);
    return voices->voice_table[index];
}
