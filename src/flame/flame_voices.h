#pragma once
// The voice allocator of one Flame device: a mirror of the unit's voice table that assigns voices
// to notes. A note on takes a silent voice of the note's channel whose key range holds the pitch
// (the one silent longest), or steals the oldest sounding one; a note off finds the sounding voice
// of that pitch; every change is written to the unit.
//
// A poll (first after kFlameVoicesFirstPoll, then every kFlameVoicesPollInterval) reads the unit's
// voice count. The device submits writes only while the count is not 0. A changed count rebuilds
// the table from the unit's voice descriptors: up to 1025 reads, so the rebuild runs on a thread of
// its own and hands the new table over on the run loop the allocator was made on.
//
// Main thread (the run loop it was made on), apart from the rebuild's reads.

#include "flame/flame_device.h"

#include <cstdint>
#include <memory>

struct flame_voices;

struct flame_voices_deleter {
    void operator()(flame_voices* voices) const;
};
using flame_voices_ptr = std::unique_ptr<flame_voices, flame_voices_deleter>;

inline constexpr uint32_t kFlameMaxVoices = 1024;
inline constexpr uint32_t kFlameNoVoice = 1025;
inline constexpr double kFlameVoicesFirstPoll = 1.0;
inline constexpr double kFlameVoicesPollInterval = 0.48;
// Registers of the unit, relative to the device's base address.
inline constexpr uint32_t kFlameVoiceTableOffset = 0x1000000;  // the count, then descriptor i at + i
inline constexpr uint32_t kFlameNoteOffset = 0x1100000;        // + voice
inline constexpr uint32_t kFlameSetVoiceOffset = 0x100000;     // + voice

struct flame_voice_record {
    uint8_t sounding = 0;
    int32_t channel_index = -1;  // 0..15; -1: not in use
    float lowest = 0;
    float highest = 0;
    float played_pitch = 0;
    uint32_t age_stamp = 0;
    uint32_t voice_number = 0;
};

// --- the words written to the unit. Out-of-range values are clamped (velocity and aftertouch to
// 0..1, pitch to 0..127) and each field is masked, so that no value spills into its neighbour.
struct flame_voice_words {
    uint32_t high;
    uint32_t low;
};
flame_voice_words flame_voices_note_words(int on, float pitch, float velocity, float aftertouch);
flame_voice_words flame_voices_set_voice_words(int on, float pitch, float velocity, float aftertouch);
// A controller value of 0..1 as its two words: the integer part, and the fraction in 24 bits.
flame_voice_words flame_voices_controller_words(double value);
uint32_t flame_voices_controller_offset(uint32_t number, uint32_t channel);

// An allocator for the device (null for none), with its poll timer on the current run loop.
flame_voices_ptr flame_voices_new(flame_device* device);
void flame_voices_free(flame_voices_ptr voices);
flame_device* flame_voices_device(const flame_voices* voices);

// 1 when the note was written; the voice goes to `voice` when given. Channel 0..16 (0 counts as 1).
int flame_voices_note(flame_voices* voices, int on, uint32_t channel, uint32_t* voice, float pitch, float velocity,
                      float aftertouch);
int flame_voices_set_voice(flame_voices* voices, int on, uint32_t voice, float pitch, float velocity, float aftertouch);
// 1 when every write of the channel's voices was queued.
int flame_voices_all_notes_off(flame_voices* voices, uint32_t channel);
// Records what a voice plays without writing to the unit (the unit was told otherwise): sounding
// or silent, its pitch, and the current note age. 0, with a log line, for a voice the table does not
// hold.
int flame_voices_update(flame_voices* voices, uint32_t voice, int on, float pitch);
// Channel 1..16 (0 counts as 1) to its index 0..15; 0 for a channel above 16.
int flame_voices_channel_index(uint32_t* channel);
// Queues a controller write (number 0..127, channel 1..16, value 0..1) on the device. Without a
// priority it is plain controller data (0), which the device may refuse when its queue is full of it.
int flame_voices_write_controller(flame_voices* voices, uint32_t number, uint32_t channel, double value, int priority);
int flame_voices_write_controller(flame_voices* voices, uint32_t number, uint32_t channel, double value);

// The poll: reads the voice count, sets or clears the device's ready flag, and starts a rebuild
// when the count changed. 0 when the unit has no voices or can't be read.
int flame_voices_refresh(flame_voices* voices);
// A voice number, or kFlameNoVoice.
uint32_t flame_voices_allocate(flame_voices* voices, uint32_t channel_index, float pitch);
uint32_t flame_voices_release(flame_voices* voices, uint32_t channel_index, float pitch);

// What the table holds now.
uint32_t flame_voices_polyphony(const flame_voices* voices);
uint32_t flame_voices_voice_count(const flame_voices* voices);
int flame_voices_is_rebuilding(const flame_voices* voices);
flame_voice_record flame_voices_record(const flame_voices* voices, uint32_t index);
