// The ring between the JACK process callback and the threads of ours: whatever the order in which
// writer and cycles come, a cycle whose buffer fills, a cycle that comes late with many messages
// waiting, or one that runs while the writer is half-way through a message, every message goes
// out exactly once, whole and in order. (A message going out twice is something a listener on a
// loaded server saw; this shows it is not the ring that hands one over again.)

#include "platform/midi/JackMidiRing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace platform::jackring;

struct RingDeleter {
    void operator()(jack_ringbuffer_t* ring) const { jack_ringbuffer_free(ring); }
};
using Ring = std::unique_ptr<jack_ringbuffer_t, RingDeleter>;

// An output cycle's buffer: room for `capacity` bytes, then full.
struct Cycle {
    explicit Cycle(size_t capacity) : storage(capacity) {}
    uint8_t* reserve(uint32_t length) {
        if (used + length > storage.size()) return nullptr;
        uint8_t* at = storage.data() + used;
        used += length;
        lengths.push_back(length);
        return at;
    }
    std::vector<uint8_t> storage;
    size_t used = 0;
    std::vector<uint32_t> lengths;
};

// Message n: 3 to 40 bytes, each carrying n, so that a cut or a repeat shows.
std::vector<uint8_t> message(uint32_t n) {
    std::vector<uint8_t> bytes(3 + n % 38);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((n >> (8 * (i % 4))) & 0xFF);
    return bytes;
}

TEST(JackMidiRingTest, EveryMessageGoesOutOnceWholeAndInOrderWhateverTheCyclesDo) {
    constexpr uint32_t kMessages = 200000;
    Ring ring(jack_ringbuffer_create(4096));  // small: the writer finds it full often
    std::atomic<bool> done{false}, stop{false};
    std::thread writer([&] {
        for (uint32_t n = 0; n < kMessages && !stop;) {
            const auto bytes = message(n);
            if (write(ring.get(), n, bytes.data(), uint32_t(bytes.size())))
                ++n;
            else
                std::this_thread::yield();
        }
        done = true;
    });
    struct Join {
        std::thread& thread;
        std::atomic<bool>& stop;
        ~Join() {
            stop = true;
            thread.join();
        }
    } join{writer, stop};

    std::mt19937 random(7);
    std::vector<uint32_t> out;
    out.reserve(kMessages);
    uint32_t dropped = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((!done || jack_ringbuffer_read_space(ring.get()) > 0) && std::chrono::steady_clock::now() < deadline) {
        // Cycles of every size that holds the largest message, many too full for the next
        // message (it waits), and now and then a late one (the writer runs on meanwhile).
        Cycle cycle(40 + random() % 200);
        drain(ring.get(), [&](uint32_t length) { return cycle.reserve(length); }, dropped);
        size_t at = 0;
        for (uint32_t length : cycle.lengths) {
            // Its length and every byte must be those of the next message.
            const auto expected = message(uint32_t(out.size()));
            ASSERT_EQ(length, expected.size()) << "after message " << out.size();
            ASSERT_EQ(0, std::memcmp(cycle.storage.data() + at, expected.data(), length)) << "message " << out.size();
            out.push_back(uint32_t(out.size()));
            at += length;
        }
        if (random() % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    EXPECT_EQ(out.size(), kMessages);
    EXPECT_EQ(dropped, 0u) << "a message small enough for some cycle was dropped";
}

TEST(JackMidiRingTest, AMessageNoCycleCanHoldIsDroppedAndCountedAndTheRestGoOn) {
    Ring ring(jack_ringbuffer_create(4096));
    const std::vector<uint8_t> huge(300, 0xF0), small{0x90, 0x40, 0x7F};
    ASSERT_TRUE(write(ring.get(), 0, huge.data(), uint32_t(huge.size())));
    ASSERT_TRUE(write(ring.get(), 0, small.data(), uint32_t(small.size())));
    Cycle cycle(256);
    uint32_t dropped = 0;
    EXPECT_EQ(drain(ring.get(), [&](uint32_t length) { return cycle.reserve(length); }, dropped), 1u);
    EXPECT_EQ(dropped, 1u);
    EXPECT_EQ(cycle.lengths, std::vector<uint32_t>{3});
    EXPECT_EQ(jack_ringbuffer_read_space(ring.get()), 0u);
}

}  // namespace
