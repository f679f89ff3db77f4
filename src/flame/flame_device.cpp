#include "flame/flame_device.h"

#include "foundation/Log.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

// The status codes the log lines show for each way a transaction can end, so that a line reads
// the same whatever bus the unit sits on.
constexpr uint32_t kIOReturnError = 0xE00002BC;
constexpr uint32_t kIOReturnTimeout = 0xE00002D6;
constexpr uint32_t kIOReturnOffline = 0xE00002D7;
constexpr uint32_t kIOReturnBusy = 0xE0008011;  // low 14 bits 0x11: try again shortly

uint32_t statusCode(FireWireResult result) {
    switch (result) {
    case FireWireResult::Done: return 0;
    case FireWireResult::Busy: return kIOReturnBusy;
    case FireWireResult::Offline: return kIOReturnOffline;
    case FireWireResult::TimedOut: return kIOReturnTimeout;
    case FireWireResult::Failed: return kIOReturnError;
    }
    return kIOReturnError;
}

void logIOReturn(uint32_t code, int line) {
    foundation::logf("IOReturn error (%s[%d]): system 0x%x, sub 0x%x, error 0x%x", "flame_device.cpp", line, code >> 26,
                     (code >> 14) & 0xFFF, code & 0x3FFF);
}

struct RingEntry {
    std::array<uint8_t, 8> data{};  // both words, big-endian, as they go on the bus
    uint32_t offset = 0;
    int32_t priority = 0;
    // 1 = consumed or empty, 0 = pending. The writer fills the entry before clearing it, the
    // consumer reads the entry before setting it: the flag publishes the entry between them.
    std::atomic<uint8_t> free{1};
};

void storeBigEndian(uint8_t* at, uint32_t value) {
    at[0] = uint8_t(value >> 24);
    at[1] = uint8_t(value >> 16);
    at[2] = uint8_t(value >> 8);
    at[3] = uint8_t(value);
}

uint32_t loadBigEndian(const uint8_t* at) {
    return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | at[3];
}

}  // namespace

struct flame_device {
    std::atomic<uint8_t> opened{0};
    std::atomic<uint8_t> running{0};
    std::atomic<uint8_t> ready{0};
    FireWireUnitPtr unit;
    std::shared_ptr<foundation::Clock> clock;
    uint32_t unit_sw_version = 0;
    std::mutex base_mutex;  // the base address is set on the main thread and copied by the consumer
    FireWireAddress base{0, kFlameDefaultAddressHigh, kFlameDefaultAddressLow};
    std::array<RingEntry, kFlameRingSize> ring;
    uint8_t consumer_index = 0;  // the consumer's alone
    uint8_t producer_index = 0;  // under write_mutex
    std::atomic<uint8_t> overflow_waiting{0};
    std::condition_variable overflow_cv;
    std::mutex overflow_mutex;
    std::condition_variable data_cv;
    std::mutex data_mutex;
    std::mutex read_mutex;
    std::mutex write_mutex;
    // Open, close, start and stop: a read that times out closes the device from the reader's
    // thread while discovery may stop it from the main thread.
    std::recursive_mutex state_mutex;
    std::thread consumer;
};

void flame_device_deleter::operator()(flame_device* device) const {
    if (!device) return;
    flame_device_close(device);
    std::unique_ptr<flame_device> owned(device);
}

namespace {

FireWireAddress baseAddress(flame_device* device) {
    std::lock_guard lock(device->base_mutex);
    return device->base;
}

void sleepMicroseconds(double microseconds) {
    std::this_thread::sleep_for(std::chrono::duration<double, std::micro>(microseconds));
}

void submit(flame_device* device, const FireWireAddress& base, const RingEntry& entry) {
    if (!device->ready.load()) return;
    FireWireAddress target = base;
    target.low = base.low + entry.offset;
    flame_device_write_callback(device, device->unit->write(target, entry.data));
}

void flame_device_runloop(flame_device* device) {
    const FireWireAddress base = baseAddress(device);
    const auto& clock = device->clock;
    auto micros = [&] { return clock->now() * 1e6; };
    double previous = micros();
    int16_t burst = 0;

    while (device->running.load() && device->opened.load()) {
        {
            std::unique_lock lock(device->data_mutex);
            device->data_cv.wait(
                lock, [&] { return !device->running.load() || !device->ring[device->consumer_index].free.load(); });
        }
        // The ring is drained without the data mutex, so that writers queueing meanwhile are not
        // held up by a bus transaction.
        while (device->running.load()) {
            RingEntry& entry = device->ring[device->consumer_index];
            if (entry.free.load()) break;
            if (entry.priority != 1) {
                // The entry in hand waits for the budget rather than being dropped.
                bool stopped = false;
                for (;;) {
                    const double elapsed = micros() - previous;
                    if (elapsed < kFlamePacingMicroseconds) {
                        if (burst < kFlameBurstWrites) {
                            ++burst;
                            break;
                        }
                        sleepMicroseconds(kFlamePacingMicroseconds);
                        if (!device->running.load()) {
                            stopped = true;
                            break;
                        }
                        continue;
                    }
                    if (burst > 0) {
                        const double spent = std::floor(elapsed / kFlamePacingMicroseconds);
                        burst = spent >= burst ? 0 : int16_t(burst - int16_t(spent));
                    }
                    break;
                }
                if (stopped) break;
            }
            submit(device, base, entry);
            previous = micros();
            {
                // Freed under the overflow mutex, so that a writer testing the slot before it
                // waits can't miss it; a waiting writer is woken at once rather than after the
                // (paced) rest of the ring.
                std::lock_guard lock(device->overflow_mutex);
                entry.free.store(1);
                if (device->overflow_waiting.load()) {
                    device->overflow_waiting.store(0);
                    device->overflow_cv.notify_all();
                }
            }
            device->consumer_index = uint8_t(device->consumer_index + 1);
        }
        std::lock_guard lock(device->overflow_mutex);
        if (device->overflow_waiting.load() && device->ring[device->consumer_index].free.load()) {
            device->overflow_waiting.store(0);
            device->overflow_cv.notify_all();
        }
    }
}

void stopLocked(flame_device* device) {
    if (!device->consumer.joinable()) return;
    device->running.store(0);
    {
        std::lock_guard lock(device->data_mutex);
        device->data_cv.notify_all();
    }
    {
        std::lock_guard lock(device->overflow_mutex);
        device->overflow_cv.notify_all();
    }
    device->consumer.join();
}

}  // namespace

flame_device_ptr flame_device_create(FireWireUnitPtr unit, uint32_t unit_sw_version) {
    if (!unit) {
        foundation::logf("Cound't create plug in interface:");
        logIOReturn(kIOReturnError, __LINE__);
        return nullptr;
    }
    flame_device_ptr device(std::make_unique<flame_device>().release());
    device->unit = std::move(unit);
    device->clock = device->unit->clock();
    if (!device->clock) device->clock = foundation::SystemClock::shared();
    device->unit_sw_version = unit_sw_version;
    return device;
}

void flame_device_free(flame_device_ptr device) { device.reset(); }

int flame_device_open(flame_device* device) {
    if (!device) return 0;
    std::lock_guard state(device->state_mutex);
    if (device->opened.load()) return 1;
    // The unit may move its registers: keys 0x3A and 0x3B of its unit directory give the upper
    // byte and the rest of the address in the upper (0xFFFF) region. 0xA08 is the value of units
    // that use the default place.
    const std::optional<uint32_t> upper = device->unit->unitDirectoryValue(0x3A);
    const std::optional<uint32_t> lower = device->unit->unitDirectoryValue(0x3B);
    if (upper && lower && *upper != 0xA08 && *lower != 0) {
        flame_device_set_address(device, 0xFFFF, (*upper << 24) | *lower);
    }
    if (!device->unit->open()) {
        foundation::logf("Error occurred when opening the connection to the Flame:");
        logIOReturn(kIOReturnError, __LINE__);
        return 0;
    }
    device->opened.store(1);
    return 1;
}

void flame_device_close(flame_device* device) {
    if (!device) return;
    std::lock_guard state(device->state_mutex);
    if (!device->opened.load()) return;
    stopLocked(device);
    device->opened.store(0);
    device->unit->close();
}

int flame_device_start(flame_device* device) {
    if (!device) return 0;
    std::lock_guard state(device->state_mutex);
    if (!device->opened.load()) return 0;
    if (device->consumer.joinable()) return device->running.load();
    device->running.store(1);
    try {
        device->consumer = std::thread(flame_device_runloop, device);
    } catch (const std::system_error& error) {
        foundation::logf("Error: Unable to start Flame thread! err=%d", error.code().value());
        device->running.store(0);
        return 0;
    }
    return 1;
}

void flame_device_stop(flame_device* device) {
    if (!device) return;
    std::lock_guard state(device->state_mutex);
    stopLocked(device);
}

int flame_device_write(flame_device* device, uint32_t offset, uint32_t data_high, uint32_t data_low, int priority) {
    if (!flame_device_is_open(device) || !flame_device_is_running(device)) return 0;
    std::lock_guard writing(device->write_mutex);
    RingEntry& entry = device->ring[device->producer_index];
    if (!entry.free.load()) {
        // The ring is full. Controller data gives way; a write with priority waits for the
        // consumer to free the slot, or for the device to stop.
        if (entry.priority == 0) return 0;
        {
            std::unique_lock lock(device->overflow_mutex);
            device->overflow_waiting.store(1);
            device->overflow_cv.wait(lock, [&] { return entry.free.load() || !device->running.load(); });
            device->overflow_waiting.store(0);
        }
        // Woken by stop, the slot still holds a pending write: it must be neither overwritten
        // nor reported as queued.
        if (!entry.free.load()) return 0;
    }
    storeBigEndian(entry.data.data(), data_high);
    storeBigEndian(entry.data.data() + 4, data_low);
    entry.offset = offset;
    entry.priority = priority;
    entry.free.store(0);
    device->producer_index = uint8_t(device->producer_index + 1);
    std::lock_guard lock(device->data_mutex);
    device->data_cv.notify_all();
    return 1;
}

int flame_device_read(flame_device* device, uint32_t offset, uint32_t* data_high, uint32_t* data_low) {
    if (!flame_device_is_open(device)) return 0;
    FireWireResult result;
    FireWireBlock block{};
    {
        std::lock_guard reading(device->read_mutex);
        FireWireAddress address = baseAddress(device);
        address.low += offset;
        result = device->unit->read(address, block);
    }
    if (result == FireWireResult::Done) {
        if (data_high) *data_high = loadBigEndian(block.data());
        if (data_low) *data_low = loadBigEndian(block.data() + 4);
        return 1;
    }
    foundation::logf("Error occurred when reading from the Flame (service_id=0x%lx).",
                     static_cast<unsigned long>(device->unit_sw_version));
    logIOReturn(statusCode(result), __LINE__);
    // A unit that no longer answers is given up; later writes answer 0.
    if (result == FireWireResult::TimedOut) flame_device_close(device);
    return 0;
}

void flame_device_write_callback(flame_device*, FireWireResult status) {
    switch (status) {
    case FireWireResult::Done: return;
    case FireWireResult::Offline: sleepMicroseconds(10000); return;
    case FireWireResult::Busy: sleepMicroseconds(1000); return;
    case FireWireResult::TimedOut:
    case FireWireResult::Failed: {
        // A unit that fails every write would otherwise log a line per write.
        foundation::LogKind kind("flame_device_write_callback", long(status));
        logIOReturn(statusCode(status), __LINE__);
        return;
    }
    }
}

int flame_device_is_open(const flame_device* device) { return device && device->opened.load(); }

int flame_device_is_running(const flame_device* device) { return device && device->running.load(); }

int flame_device_is_sync_unit(const flame_device* device) {
    return device && device->unit_sw_version == kFlameSyncUnitVersion;
}

size_t flame_device_pending_writes(const flame_device* device) {
    if (!device) return 0;
    size_t pending = 0;
    for (const RingEntry& entry : device->ring) pending += entry.free.load() ? 0 : 1;
    return pending;
}

int flame_device_is_ready(const flame_device* device) { return device && device->ready.load(); }

void flame_device_set_ready(flame_device* device, int ready) {
    if (device) device->ready.store(ready ? 1 : 0);
}

void flame_device_set_address(flame_device* device, uint16_t high, uint32_t low) {
    if (!device) return;
    std::lock_guard lock(device->base_mutex);
    device->base.high = high;
    device->base.low = low;
}

FireWireAddress flame_device_address(const flame_device* device) {
    if (!device) return {};
    return baseAddress(const_cast<flame_device*>(device));
}

uint32_t flame_device_unit_sw_version(const flame_device* device) { return device ? device->unit_sw_version : 0; }

FireWireUnitPtr flame_device_service(const flame_device* device) { return device ? device->unit : nullptr; }

std::optional<uint64_t> flame_device_guid(const flame_device* device) {
    return device ? device->unit->guid() : std::nullopt;
}
