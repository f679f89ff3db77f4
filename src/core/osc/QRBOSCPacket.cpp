#include "core/osc/QRBOSCPacket.h"

#include "foundation/Format.h"

#include <lo/lo_errors.h>

#include <cstring>
#include <string_view>

namespace {

constexpr const char* kInvalidMessage = "Invalid message received";
constexpr const char* kInvalidPath = "Invalid message path";
constexpr const char* kInvalidBundle = "Invalid bundle";

uint32_t readBigEndian32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

QRBOSCPacketError makeError(int number, const char* kind, const std::string& fault,
                            std::optional<std::string_view> path = std::nullopt) {
    std::optional<std::string> pathText;
    if (path) pathText.emplace(*path);
    return QRBOSCPacketError{number, std::string(kind) + " (" + fault + ")", std::move(pathText)};
}

// An OSC string at `p` with `size` bytes available: its length with the zero padding (a multiple
// of four), or the liblo error number of its fault (negative).
long stringSize(const uint8_t* p, size_t size, const char** fault) {
    const void* nul = std::memchr(p, 0, size);
    if (!nul) {
        *fault = "string not terminated";
        return -LO_ETERM;
    }
    size_t length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - p);
    size_t padded = 4 * (length / 4 + 1);
    if (padded > size) {
        *fault = "string padding runs past the end";
        return -LO_ESIZE;
    }
    for (size_t i = length; i < padded; ++i) {
        if (p[i] != 0) {
            *fault = "non-zero string padding";
            return -LO_EPAD;
        }
    }
    return static_cast<long>(padded);
}

std::string describeType(uint8_t c) {
    if (c >= 0x20 && c < 0x7f) return foundation::format("'%c'", c);
    return foundation::format("0x%02x", c);
}

// Every packet passes here: the texts of a fault are made only when there is one.
std::optional<QRBOSCPacketError> checkMessage(const uint8_t* data, size_t size) {
    const char* fault = "";
    if (size == 0) return makeError(LO_ESIZE, kInvalidMessage, "empty packet");
    long pathSize = stringSize(data, size, &fault);
    if (pathSize < 0) return makeError(static_cast<int>(-pathSize), kInvalidPath, fault);
    const std::string_view path(reinterpret_cast<const char*>(data));

    const uint8_t* p = data + pathSize;
    size_t remain = size - static_cast<size_t>(pathSize);
    if (remain == 0) return makeError(LO_ENOTYPE, kInvalidMessage, "missing type tag string", path);
    long typesSize = stringSize(p, remain, &fault);
    if (typesSize < 0) return makeError(LO_EINVALIDTYPE, kInvalidMessage, std::string("type tags: ") + fault, path);
    if (p[0] != ',') return makeError(LO_EBADTYPE, kInvalidMessage, "type tags without ','", path);
    const std::string_view types(reinterpret_cast<const char*>(p) + 1);
    p += typesSize;
    remain -= static_cast<size_t>(typesSize);

    for (size_t i = 0; i < types.size(); ++i) {
        uint8_t type = static_cast<uint8_t>(types[i]);
        size_t need;
        switch (type) {
        case 'T':
        case 'F':
        case 'N':
        case 'I': need = 0; break;
        case 'i':
        case 'f':
        case 'c':
        case 'm': need = 4; break;
        case 'h':
        case 'd':
        case 't': need = 8; break;
        case 's':
        case 'S': {
            long n = stringSize(p, remain, &fault);
            if (n < 0)
                return makeError(LO_EINVALIDARG, kInvalidMessage, foundation::format("argument %zu: %s", i + 1, fault),
                                 path);
            need = static_cast<size_t>(n);
            break;
        }
        case 'b': {
            if (remain < 4)
                return makeError(LO_EINVALIDARG, kInvalidMessage,
                                 foundation::format("argument %zu: blob size runs past the end", i + 1), path);
            uint64_t count = readBigEndian32(p);
            uint64_t padded = 4 + (count + 3) / 4 * 4;
            if (padded > remain)
                return makeError(LO_EINVALIDARG, kInvalidMessage,
                                 foundation::format("argument %zu: blob runs past the end", i + 1), path);
            for (uint64_t k = 4 + count; k < padded; ++k) {
                if (p[k] != 0)
                    return makeError(LO_EINVALIDARG, kInvalidMessage,
                                     foundation::format("argument %zu: non-zero blob padding", i + 1), path);
            }
            need = static_cast<size_t>(padded);
            break;
        }
        default: return makeError(LO_EINVALIDTYPE, kInvalidMessage, "unknown type " + describeType(type), path);
        }
        if (need > remain)
            return makeError(LO_EINVALIDARG, kInvalidMessage,
                             foundation::format("argument %zu runs past the end", i + 1), path);
        p += need;
        remain -= need;
    }
    if (remain != 0) return makeError(LO_ESIZE, kInvalidMessage, "bytes after the last argument", path);
    return std::nullopt;
}

bool isBundle(const uint8_t* data, size_t size) { return size >= 8 && std::memcmp(data, "#bundle", 8) == 0; }

std::optional<QRBOSCPacketError> checkBundle(const uint8_t* data, size_t size, int depth) {
    if (depth > kQRBMaxOSCBundleDepth) return makeError(LO_EINVALIDBUND, kInvalidBundle, "bundles nested too deep");
    if (size < 16) return makeError(LO_ESIZE, kInvalidBundle, "no time tag");
    const uint8_t* p = data + 16;
    size_t remain = size - 16;
    while (remain > 0) {
        if (remain < 4) return makeError(LO_ESIZE, kInvalidBundle, "bytes after the last element");
        uint32_t length = readBigEndian32(p);
        p += 4;
        remain -= 4;
        if (length == 0) return makeError(LO_EINVALIDBUND, kInvalidBundle, "empty element");
        if (length % 4 != 0) return makeError(LO_EINVALIDBUND, kInvalidBundle, "element length not a multiple of four");
        if (length > remain) return makeError(LO_ESIZE, kInvalidBundle, "element runs past the end");
        auto error = isBundle(p, length) ? checkBundle(p, length, depth + 1) : checkMessage(p, length);
        if (error) return error;
        p += length;
        remain -= length;
    }
    return std::nullopt;
}

}  // namespace

std::optional<QRBOSCPacketError> QRBCheckOSCPacket(const uint8_t* data, size_t size) {
    if (size > kQRBMaxOSCPacketSize)
        return makeError(LO_TOOBIG, kInvalidMessage, foundation::format("%zu bytes, too large", size));
    if (data && isBundle(data, size)) return checkBundle(data, size, 1);
    return checkMessage(data, data ? size : 0);
}

// ---------------------------------------------------------------------------------------------
// Stream framing

namespace {

constexpr uint8_t kSlipEnd = 0xC0;
constexpr uint8_t kSlipEsc = 0xDB;
constexpr uint8_t kSlipEscEnd = 0xDC;
constexpr uint8_t kSlipEscEsc = 0xDD;

bool printableOrZero(uint8_t c) { return c == 0 || (c >= 0x20 && c < 0x7f); }

// A stream that starts like an OSC address or bundle, or with a SLIP END before one, is SLIP;
// anything else starts with a length. Senders that frame each packet with END on both sides
// (common JavaScript clients do) begin with END and then '/' or '#'. No length prefix is
// mistaken for either: a length this side of kQRBMaxOSCPacketSize begins with two zero bytes.
bool looksLikeSLIP(const uint8_t* b) {
    if (b[0] == kSlipEnd && (b[1] == '/' || b[1] == '#')) return true;
    if (b[0] == '/' && printableOrZero(b[1]) && printableOrZero(b[2]) && printableOrZero(b[3])) return true;
    return std::memcmp(b, "#bun", 4) == 0;
}

}  // namespace

bool QRBOSCStreamFramer::fail(std::string text) {
    failed_ = true;
    failure_ = std::move(text);
    pending_.clear();
    return false;
}

bool QRBOSCStreamFramer::append(const uint8_t* bytes, size_t count, std::vector<std::vector<uint8_t>>& packets) {
    if (failed_) return false;
    size_t i = 0;
    if (framing_ == Framing::Unknown) {
        // The framing is decided on the stream's first four bytes.
        size_t take = std::min(count, 4 - pending_.size());
        pending_.insert(pending_.end(), bytes, bytes + take);
        i = take;
        if (pending_.size() < 4) return true;
        std::vector<uint8_t> head;
        head.swap(pending_);
        framing_ = looksLikeSLIP(head.data()) ? Framing::SLIP : Framing::CountPrefix;
        if (!append(head.data(), head.size(), packets)) return false;
    }

    if (framing_ == Framing::CountPrefix) {
        pending_.insert(pending_.end(), bytes + i, bytes + count);
        size_t start = 0;
        while (pending_.size() - start >= 4) {
            uint32_t length = readBigEndian32(pending_.data() + start);
            if (length > kQRBMaxOSCPacketSize) {
                // At the stream's start no length was ever read: the peer frames its packets some
                // other way (or sends no OSC at all). A leading zero byte is neither an address, a
                // bundle nor SLIP, though: that is a length, of a packet too large to take.
                if (!framedAny_ && pending_[start] != 0) {
                    unframed_ = true;
                    return fail(foundation::format(
                        "neither length-prefixed nor SLIP-framed OSC: it begins with "
                        "%02x %02x %02x %02x",
                        pending_[start], pending_[start + 1], pending_[start + 2], pending_[start + 3]));
                }
                return fail(foundation::format("Message too large: %u bytes, more than the %zu an OSC packet may have",
                                               length, kQRBMaxOSCPacketSize));
            }
            if (pending_.size() - start - 4 < length) break;
            auto first = pending_.begin() + static_cast<std::ptrdiff_t>(start + 4);
            packets.emplace_back(first, first + length);
            framedAny_ = true;
            start += 4 + length;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start));
        return true;
    }

    for (; i < count; ++i) {
        uint8_t c = bytes[i];
        if (slipEscape_) {
            slipEscape_ = false;
            if (c == kSlipEscEnd)
                c = kSlipEnd;
            else if (c == kSlipEscEsc)
                c = kSlipEsc;
        } else if (c == kSlipEsc) {
            slipEscape_ = true;
            continue;
        } else if (c == kSlipEnd) {
            // Empty packets between two ENDs are line noise in SLIP, not packets.
            if (!pending_.empty()) {
                packets.push_back(std::move(pending_));
                framedAny_ = true;
            }
            pending_.clear();
            continue;
        }
        if (pending_.size() >= kQRBMaxOSCPacketSize) {
            // Never an END: the stream only looked like SLIP (OSC sent without any framing).
            unframed_ = !framedAny_;
            return fail(framedAny_ ? "Message too large: SLIP packet without end"
                                   : "neither length-prefixed nor SLIP-framed OSC: no packet ends");
        }
        pending_.push_back(c);
    }
    return true;
}
