#pragma once
// A list of MIDI packets, each a 64-bit host time (nanoseconds), a 16-bit length and that many
// bytes. Cleared lists keep their storage, so a reader that reuses one allocates nothing once it
// has seen its largest burst.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace midi {

struct MIDIPacket {
    uint64_t timeStamp = 0;
    const uint8_t* data = nullptr;
    uint16_t length = 0;
};

class MIDIPacketList {
public:
    // The most bytes one packet holds.
    static constexpr size_t kMaxPacketLength = 65535;

    MIDIPacketList() = default;
    // A list of one packet.
    MIDIPacketList(uint64_t timeStamp, const uint8_t* bytes, size_t length) { add(timeStamp, bytes, length); }

    // Appends a packet; NO (and nothing appended) when it is longer than kMaxPacketLength.
    bool add(uint64_t timeStamp, const uint8_t* bytes, size_t length);
    void clear() {
        entries_.clear();
        bytes_.clear();
    }
    void reserve(size_t packets, size_t bytes) {
        entries_.reserve(packets);
        bytes_.reserve(bytes);
    }

    size_t count() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    size_t byteCount() const { return bytes_.size(); }
    MIDIPacket packet(size_t index) const {
        const Entry& e = entries_[index];
        return {e.timeStamp, bytes_.data() + e.offset, e.length};
    }

    class const_iterator {
    public:
        const_iterator(const MIDIPacketList* list, size_t index) : list_(list), index_(index) {}
        MIDIPacket operator*() const { return list_->packet(index_); }
        const_iterator& operator++() {
            ++index_;
            return *this;
        }
        bool operator!=(const const_iterator& other) const { return index_ != other.index_; }
        bool operator==(const const_iterator& other) const { return index_ == other.index_; }

    private:
        const MIDIPacketList* list_;
        size_t index_;
    };
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, entries_.size()}; }

private:
    struct Entry {
        uint64_t timeStamp;
        size_t offset;
        uint16_t length;
    };
    std::vector<Entry> entries_;
    std::vector<uint8_t> bytes_;
};

}  // namespace midi
