#include "midi/QRBMIDIInputParser.h"

size_t QRBMIDIMessageLength(uint8_t first) {
    if (first >= 0xC0 && first <= 0xDF) return 2;
    if (first == 0xF0 || first == 0xF2) return 3;
    if (first == 0xF1 || first == 0xF3) return 2;
    if (first >= 0xF4) return 1;
    return 3;
}

void QRBMIDISysExAssembler::addPacket(const uint8_t* bytes, size_t length, std::vector<foundation::Data>& complete) {
    constexpr size_t none = static_cast<size_t>(-1);
    size_t plainStart = none;
    auto flushPlain = [&](size_t end) {
        if (plainStart != none && end > plainStart) complete.emplace_back(bytes + plainStart, bytes + end);
        plainStart = none;
    };
    for (size_t i = 0; i < length; ++i) {
        const uint8_t byte = bytes[i];
        if (state_ == State::Idle) {
            if (byte == 0xF0) {
                flushPlain(i);
                state_ = State::Assembling;
                pending_.assign(1, byte);
            } else if (plainStart == none) {
                plainStart = i;
            }
            continue;
        }
        if (byte < 0x80 || byte >= 0xF8 || byte == 0xF7) {
            // Data, a real-time byte (kept where it came, as it arrived) or the end.
            if (state_ == State::Assembling) {
                if (pending_.size() >= kMaxLength) {
                    ++overflowCount_;
                    pending_.clear();
                    pending_.shrink_to_fit();
                    state_ = State::Discarding;
                } else {
                    pending_.push_back(byte);
                }
            }
            if (byte == 0xF7) {
                if (state_ == State::Assembling) complete.push_back(std::move(pending_));
                pending_.clear();
                state_ = State::Idle;
            }
        } else if (byte == 0xF0) {
            pending_.assign(1, byte);
            state_ = State::Assembling;
        } else {
            // The sender has moved on without ending the message: it is lost, what follows is not.
            pending_.clear();
            state_ = State::Idle;
            plainStart = i;
        }
    }
    flushPlain(length);
}
