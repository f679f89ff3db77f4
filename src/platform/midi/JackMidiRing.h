#pragma once
// The lock-free hand-over of MIDI messages between the JACK process callback and a thread of ours:
// one ring per port, one writer and one reader, each message a header (time stamp, length) and
// then its bytes. A message is taken only when it is all there and only once: the reader peeks at
// the header, copies the bytes to where they go, and only then moves past both, so a cycle that
// comes late, finds the buffer full or runs while the writer is half-way through a message leaves
// the ring exactly as it was for the next cycle.

#include <jack/ringbuffer.h>

#include <cstddef>
#include <cstdint>

namespace platform::jackring {

struct Header {
    uint64_t timeStamp;
    uint32_t length;
};

// The header of the next message, left in the ring; NO unless the message's bytes are all there
// too. A writer puts a header and its bytes in two steps, and the reader on the other thread may
// come between them: taking the header then would read the bytes short, and every later header
// from the middle of a message.
inline bool peekWhole(jack_ringbuffer_t* ring, Header& header) {
    const size_t available = jack_ringbuffer_read_space(ring);
    if (available < sizeof header) return false;
    jack_ringbuffer_peek(ring, reinterpret_cast<char*>(&header), sizeof header);
    return available >= sizeof header + header.length;
}

// Writes one message whole; NO (and nothing written) when it does not fit.
inline bool write(jack_ringbuffer_t* ring, uint64_t timeStamp, const uint8_t* bytes, uint32_t length) {
    const Header header{timeStamp, length};
    if (jack_ringbuffer_write_space(ring) < sizeof header + length) return false;
    jack_ringbuffer_write(ring, reinterpret_cast<const char*>(&header), sizeof header);
    jack_ringbuffer_write(ring, reinterpret_cast<const char*>(bytes), length);
    return true;
}

// Moves the messages waiting in `ring` into an output cycle: `reserve(length)` answers where in
// the cycle's buffer the message goes, or null when the buffer is full. What does not fit waits
// for the next cycle, except a message that fits no buffer at all (the first of a cycle refused),
// which would block the ring for ever: it is dropped and counted in `dropped`.
template <class Reserve> size_t drain(jack_ringbuffer_t* ring, Reserve&& reserve, uint32_t& dropped) {
    size_t moved = 0;
    bool reservedAny = false;
    Header header;
    while (peekWhole(ring, header)) {
        auto* target = reserve(header.length);
        if (!target) {
            if (reservedAny) break;
            jack_ringbuffer_read_advance(ring, sizeof header + header.length);
            ++dropped;
            continue;
        }
        reservedAny = true;
        jack_ringbuffer_read_advance(ring, sizeof header);
        jack_ringbuffer_read(ring, reinterpret_cast<char*>(target), header.length);
        ++moved;
    }
    return moved;
}

}  // namespace platform::jackring
