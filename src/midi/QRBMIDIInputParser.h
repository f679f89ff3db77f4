#pragma once
// The parts of reading MIDI input that need no manager: the length of a message from its first
// byte, and the reassembly of system-exclusive messages that arrive in pieces.

#include "foundation/Value.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The length of a MIDI message from its first byte (a data byte counts as a 3-byte message).
size_t QRBMIDIMessageLength(uint8_t first);

// Reassembles the system-exclusive messages of one sender. Devices send long dumps in pieces,
// one packet each; everything else arrives whole. Each sender gets its own assembler, so that a
// dump cut short on one port (the cable pulled before F7) never holds back another port's
// messages. A pending message ends at F7; F0 starts it again; any other status byte, except the
// real-time bytes that may sit inside it, aborts it; and it is dropped when it would grow past
// kMaxLength bytes, along with the rest of it up to its end.
class QRBMIDISysExAssembler {
public:
    static constexpr size_t kMaxLength = 65535;

    // Appends to `complete`, in order, what this packet finishes: a system-exclusive message, or
    // a run of other bytes (a packet without system-exclusive bytes comes out whole).
    void addPacket(const uint8_t* bytes, size_t length, std::vector<foundation::Data>& complete);

    // A message has begun and not ended (nor been dropped).
    bool isAssembling() const { return state_ == State::Assembling; }
    bool isIdle() const { return state_ == State::Idle; }
    const foundation::Data& pending() const { return pending_; }
    // How many messages were dropped for growing past kMaxLength.
    size_t overflowCount() const { return overflowCount_; }

private:
    enum class State { Idle, Assembling, Discarding };
    State state_ = State::Idle;
    foundation::Data pending_;
    size_t overflowCount_ = 0;
};
