#pragma once
// Builds OSC packets byte by byte, well formed or not, for the tests of what the servers accept.

#include <cstdint>
#include <string>
#include <vector>

namespace oscbytes {

class Bytes {
public:
    // A string with its terminating zero, padded with zeros to a multiple of four.
    Bytes& str(const std::string& s) {
        raw(s);
        bytes_.push_back(0);
        while (bytes_.size() % 4) bytes_.push_back(0);
        return *this;
    }
    // A big-endian 32-bit number.
    Bytes& i32(uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(uint8_t(v >> shift));
        return *this;
    }
    Bytes& raw(const std::string& s) {
        bytes_.insert(bytes_.end(), s.begin(), s.end());
        return *this;
    }
    Bytes& raw(std::initializer_list<uint8_t> list) {
        bytes_.insert(bytes_.end(), list.begin(), list.end());
        return *this;
    }
    Bytes& raw(const std::vector<uint8_t>& more) {
        bytes_.insert(bytes_.end(), more.begin(), more.end());
        return *this;
    }
    // A bundle element: the length, then the bytes.
    Bytes& element(const std::vector<uint8_t>& element) {
        i32(uint32_t(element.size()));
        return raw(element);
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    operator const std::vector<uint8_t>&() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

// "#bundle" with an immediate time tag.
inline Bytes bundleHead() { return Bytes().str("#bundle").i32(0).i32(1); }

}  // namespace oscbytes
