#pragma once
// What the reader and the pre-check of the binary property-list form share: the sizes of its
// header and trailer, and big-endian integers of the widths the trailer gives.

#include <cstddef>
#include <cstdint>

namespace foundation::bplist {

constexpr size_t kHeaderSize = 8;
constexpr size_t kTrailerSize = 32;

// Offsets and references are read for every object of a file: the usual widths are read whole.
inline uint64_t readBigEndian(const uint8_t* p, size_t n) {
    switch (n) {
    case 1: return p[0];
    case 2: return uint64_t{p[0]} << 8 | p[1];
    case 4: return uint64_t{p[0]} << 24 | uint64_t{p[1]} << 16 | uint64_t{p[2]} << 8 | p[3];
    default: {
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
        return v;
    }
    }
}

}  // namespace foundation::bplist
