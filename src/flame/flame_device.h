#pragma once
// One Flame unit on the FireWire bus: callers queue 8-byte register writes, a consumer thread per
// device drains them into bus writes with a pacing rule that keeps bursts from flooding the box,
// and synchronous reads serve the voice allocator's poll.
//
// The writes go through a ring of kFlameRingSize entries. A writer that finds the ring full is
// refused when the oldest pending write is plain controller data (priority 0), and waits for room
// when it has priority: notes and voices must not be lost, controller data is soon superseded.
//
// Lifecycle: created → open → running (consumer thread) → ready (set by the voice poll: until the
// unit reports voices, writes are consumed without being sent) → stopped → closed → freed. A read
// that times out closes the device.
//
// Threads: writes may come from any thread (they serialise on the write mutex); reads serialise on
// the read mutex on the caller's thread; open, close, start and stop serialise among themselves.

#include "flame/FireWireBus.h"

#include <cstdint>
#include <memory>
#include <optional>

struct flame_device;

struct flame_device_deleter {
    void operator()(flame_device* device) const;
};
using flame_device_ptr = std::unique_ptr<flame_device, flame_device_deleter>;

inline constexpr uint32_t kFlameSyncUnitVersion = 0x12AFFD;
inline constexpr uint32_t kFlameUnitVersion = 0x12AFFF;
inline constexpr size_t kFlameRingSize = 256;
// Paced writes closer together than this are counted against the burst budget.
inline constexpr double kFlamePacingMicroseconds = 170;
inline constexpr int kFlameBurstWrites = 32;
// Where every access goes unless the unit's configuration ROM says otherwise.
inline constexpr uint16_t kFlameDefaultAddressHigh = 0x0002;
inline constexpr uint32_t kFlameDefaultAddressLow = 0;

// A new device for the unit (closed, not running, not ready), or null when there is no unit.
flame_device_ptr flame_device_create(FireWireUnitPtr unit, uint32_t unit_sw_version);
// Stops and closes the device first. Null is allowed.
void flame_device_free(flame_device_ptr device);

// Whether the device is open; opening reads the base address from the configuration ROM.
int flame_device_open(flame_device* device);
void flame_device_close(flame_device* device);
// Whether the consumer thread runs.
int flame_device_start(flame_device* device);
void flame_device_stop(flame_device* device);

// 1 when the write was queued: the device is open and running, and there was room or (for a
// priority write) room came before the device stopped. 0 otherwise.
int flame_device_write(flame_device* device, uint32_t offset, uint32_t data_high, uint32_t data_low, int priority);
// 1 when the read succeeded; the two quadlets come in host order (either pointer may be null).
int flame_device_read(flame_device* device, uint32_t offset, uint32_t* data_high, uint32_t* data_low);
// How the consumer reacts to the end of each write: waits a little after Busy, longer after
// Offline, logs other failures.
void flame_device_write_callback(flame_device* device, FireWireResult status);

int flame_device_is_open(const flame_device* device);
int flame_device_is_running(const flame_device* device);
int flame_device_is_sync_unit(const flame_device* device);
int flame_device_is_ready(const flame_device* device);
// How many queued writes the consumer hasn't finished.
size_t flame_device_pending_writes(const flame_device* device);
void flame_device_set_ready(flame_device* device, int ready);
void flame_device_set_address(flame_device* device, uint16_t high, uint32_t low);
FireWireAddress flame_device_address(const flame_device* device);
uint32_t flame_device_unit_sw_version(const flame_device* device);
FireWireUnitPtr flame_device_service(const flame_device* device);
std::optional<uint64_t> flame_device_guid(const flame_device* device);
