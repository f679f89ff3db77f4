#include "foundation/BinaryPlistWriter.h"

#include "foundation/PlistNode.h"

#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace foundation {

namespace {

// Bytes needed for `value` as an unsigned big-endian number: 1, 2, 4 or 8.
size_t widthFor(uint64_t value) {
    if (value <= 0xFF) return 1;
    if (value <= 0xFFFF) return 2;
    if (value <= 0xFFFFFFFFu) return 4;
    return 8;
}

size_t log2Width(size_t width) { return width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3; }

void appendBigEndian(Data& out, uint64_t value, size_t width) {
    for (size_t i = width; i-- > 0;) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void appendDouble(Data& out, double d) {
    uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    appendBigEndian(out, bits, 8);
}

// An integer object: 1, 2 and 4 bytes are read as unsigned, 8 bytes as signed, so a negative
// value (stored in the node as its two's complement) always takes 8.
void appendInteger(Data& out, uint64_t value) {
    const size_t width = widthFor(value);
    out.push_back(static_cast<uint8_t>(0x10 | log2Width(width)));
    appendBigEndian(out, value, width);
}

// A marker with its count: in the low four bits when below 15, else as an integer object after.
void appendMarker(Data& out, uint8_t kind, uint64_t count) {
    if (count < 15) {
        out.push_back(static_cast<uint8_t>(kind | count));
        return;
    }
    out.push_back(static_cast<uint8_t>(kind | 0x0F));
    appendInteger(out, count);
}

// UTF-8 to UTF-16 code units; a byte that does not begin a valid sequence becomes U+FFFD.
std::vector<uint16_t> utf16(const std::string& s) {
    std::vector<uint16_t> units;
    units.reserve(s.size());
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    const size_t n = s.size();
    for (size_t i = 0; i < n;) {
        const uint8_t b = p[i];
        uint32_t cp = 0xFFFD;
        size_t length = 1;
        const size_t need = (b >= 0xF0 && b <= 0xF4)  ? 3
                            : (b >= 0xE0 && b < 0xF0) ? 2
                            : (b >= 0xC2 && b < 0xE0) ? 1
                                                      : 0;
        if (b < 0x80) {
            cp = b;
        } else if (need && i + need < n) {
            uint32_t v = b & (0x3F >> need);
            bool ok = true;
            for (size_t k = 1; k <= need; ++k) {
                if ((p[i + k] & 0xC0) != 0x80) {
                    ok = false;
                    break;
                }
                v = (v << 6) | (p[i + k] & 0x3F);
            }
            const uint32_t least = need == 1 ? 0x80 : need == 2 ? 0x800 : 0x10000;
            if (ok && v >= least && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
                cp = v;
                length = need + 1;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units.push_back(static_cast<uint16_t>(0xD800 | (cp >> 10)));
            units.push_back(static_cast<uint16_t>(0xDC00 | (cp & 0x3FF)));
        } else {
            units.push_back(static_cast<uint16_t>(cp));
        }
        i += length;
    }
    return units;
}

constexpr uint64_t kContainer = uint64_t{1} << 63;

uint64_t bitsOf(double d) {
    uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

}  // namespace

BinaryPlistBuilder::BinaryPlistBuilder() : out_{'b', 'p', 'l', 'i', 's', 't', '0', '0'} {}

BinaryPlistBuilder::Ref BinaryPlistBuilder::newObject(uint64_t offset) {
    offsets_.push_back(offset);
    return offsets_.size() - 1;
}

// The object just encoded at `start`, or the one encoded earlier for the same `key`, in which
// case the new bytes are taken back.
BinaryPlistBuilder::Ref BinaryPlistBuilder::scalar(std::unordered_map<uint64_t, Ref>& shared, uint64_t key,
                                                   size_t start) {
    auto [found, added] = shared.try_emplace(key, offsets_.size());
    if (!added) {
        out_.resize(start);
        return found->second;
    }
    return newObject(start);
}

BinaryPlistBuilder::Ref BinaryPlistBuilder::boolean(bool b) {
    Ref& ref = booleans_[b ? 1 : 0];
    if (ref == ~Ref{0}) {
        ref = newObject(out_.size());
        out_.push_back(b ? 0x09 : 0x08);
    }
    return ref;
}

BinaryPlistBuilder::Ref BinaryPlistBuilder::integer(uint64_t value) {
    const size_t start = out_.size();
    appendInteger(out_, value);
    return scalar(integers_, value, start);
}

BinaryPlistBuilder::Ref BinaryPlistBuilder::real(double d) {
    const size_t start = out_.size();
    out_.push_back(0x23);
    appendDouble(out_, d);
    return scalar(reals_, bitsOf(d), start);
}

BinaryPlistBuilder::Ref BinaryPlistBuilder::date(double seconds) {
    const size_t start = out_.size();
    out_.push_back(0x33);
    appendDouble(out_, seconds);
    return scalar(dates_, bitsOf(seconds), start);
}

BinaryPlistBuilder::Ref BinaryPlistBuilder::uid(uint64_t value) {
    const size_t start = out_.size();
    const size_t width = widthFor(value);
    out_.push_back(static_cast<uint8_t>(0x80 | (width - 1)));
    appendBigEndian(out_, value, width);
    return scalar(uids_, value, start);
}

BinaryPlistBuilder::Ref BinaryPlistBuilder::string(std::string_view s) {
    auto found = strings_.find(s);
    if (found != strings_.end()) return found->second;
    const Ref ref = newObject(out_.size());
    bool ascii = true;
    for (unsigned char c : s) ascii = ascii && c < 0x80;
    if (ascii) {
        appendMarker(out_, 0x50, s.size());
        out_.insert(out_.end(), s.begin(), s.end());
    } else {
        const std::vector<uint16_t> units = utf16(std::string(s));
        appendMarker(out_, 0x60, units.size());
        for (uint16_t u : units) appendBigEndian(out_, u, 2);
    }
    strings_.emplace(std::string(s), ref);
    return ref;
}

BinaryPlistBuilder::Ref BinaryPlistBuilder::data(const uint8_t* bytes, size_t size) {
    const Ref ref = newObject(out_.size());
    appendMarker(out_, 0x40, size);
    if (size) out_.insert(out_.end(), bytes, bytes + size);
    return ref;
}

BinaryPlistBuilder::Ref BinaryPlistBuilder::array() {
    const Ref ref = newObject(kContainer | containers_.size());
    containers_.push_back({ref, false, {}, {}});
    return ref;
}

BinaryPlistBuilder::Ref BinaryPlistBuilder::dictionary() {
    const Ref ref = newObject(kContainer | containers_.size());
    containers_.push_back({ref, true, {}, {}});
    return ref;
}

BinaryPlistBuilder::Container& BinaryPlistBuilder::container(Ref ref) {
    return containers_[offsets_[ref] & ~kContainer];
}

const BinaryPlistBuilder::Container& BinaryPlistBuilder::container(Ref ref) const {
    return containers_[offsets_[ref] & ~kContainer];
}

void BinaryPlistBuilder::append(Ref array, Ref item) { container(array).items.push_back(item); }

size_t BinaryPlistBuilder::arraySize(Ref array) const { return container(array).items.size(); }

void BinaryPlistBuilder::set(Ref dictionary, std::string_view key, Ref value) {
    Container& c = container(dictionary);
    c.keys.push_back(string(key));
    c.items.push_back(value);
}

Data BinaryPlistBuilder::finish(Ref top) {
    const uint64_t count = offsets_.size();
    const size_t refSize = widthFor(count - 1);
    // A key set more than once keeps its first place and its last value.
    std::vector<uint64_t> seenIn(count, ~uint64_t{0});  // the dictionary in which a key was last seen
    std::vector<size_t> placeOf(count);
    size_t refs = 0;
    for (size_t ci = 0; ci < containers_.size(); ++ci) {
        Container& c = containers_[ci];
        if (c.dictionary) {
            size_t kept = 0;
            for (size_t i = 0; i < c.keys.size(); ++i) {
                const Ref k = c.keys[i];
                if (seenIn[k] == ci) {
                    c.items[placeOf[k]] = c.items[i];
                    continue;
                }
                seenIn[k] = ci;
                placeOf[k] = kept;
                c.keys[kept] = k;
                c.items[kept] = c.items[i];
                ++kept;
            }
            c.keys.resize(kept);
            c.items.resize(kept);
        }
        refs += c.keys.size() + c.items.size();
    }
    Data out = std::move(out_);
    out.reserve(out.size() + containers_.size() * 9 + refs * refSize + count * 8 + 32);
    for (Container& c : containers_) {
        offsets_[c.self] = out.size();
        appendMarker(out, c.dictionary ? 0xD0 : 0xA0, c.items.size());
        for (Ref r : c.keys) appendBigEndian(out, r, refSize);
        for (Ref r : c.items) appendBigEndian(out, r, refSize);
        c.keys = {};
        c.items = {};
    }
    containers_.clear();
    const uint64_t tableStart = out.size();
    const size_t offsetSize = widthFor(tableStart);
    for (uint64_t offset : offsets_) appendBigEndian(out, offset, offsetSize);
    // Trailer: six unused bytes, the two sizes, the object count, the top object and where the
    // offset table starts.
    out.insert(out.end(), 6, 0);
    out.push_back(static_cast<uint8_t>(offsetSize));
    out.push_back(static_cast<uint8_t>(refSize));
    appendBigEndian(out, count, 8);
    appendBigEndian(out, top, 8);
    appendBigEndian(out, tableStart, 8);
    return out;
}

namespace {

// A libplist tree into the builder, breadth first: a container's children are converted when it
// is reached in the queue, so no recursion is needed however deep the tree.
Data convertTree(plist_t root) {
    BinaryPlistBuilder builder;
    std::vector<std::pair<plist_t, BinaryPlistBuilder::Ref>> queue;
    bool failed = false;
    auto convert = [&](plist_t node) -> BinaryPlistBuilder::Ref {
        switch (plist_get_node_type(node)) {
        case PLIST_ARRAY: {
            const auto ref = builder.array();
            queue.emplace_back(node, ref);
            return ref;
        }
        case PLIST_DICT: {
            const auto ref = builder.dictionary();
            queue.emplace_back(node, ref);
            return ref;
        }
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return builder.boolean(b != 0);
        }
        case PLIST_UINT: {
            uint64_t v = 0;
            plist_get_uint_val(node, &v);
            return builder.integer(v);
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return builder.real(d);
        }
        case PLIST_DATE: {
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return builder.date(sec + usec / 1e6);
        }
        case PLIST_UID: {
            uint64_t v = 0;
            plist_get_uid_val(node, &v);
            return builder.uid(v);
        }
        case PLIST_STRING:
        case PLIST_KEY: return builder.string(plistString(node));
        case PLIST_DATA: {
            const Data d = plistData(node);
            return builder.data(d.data(), d.size());
        }
        default: failed = true; return 0;
        }
    };
    const auto top = convert(root);
    for (size_t i = 0; i < queue.size() && !failed; ++i) {
        // Plain copies rather than a structured binding: the lambda below captures the container.
        const plist_t node = queue[i].first;
        const auto container = queue[i].second;
        if (plist_get_node_type(node) == PLIST_ARRAY) {
            for (plist_t item : arrayItems(node)) builder.append(container, convert(item));
        } else {
            forEachDictItem(
                node, [&](const std::string& key, plist_t value) { builder.set(container, key, convert(value)); });
        }
    }
    if (failed) return Data();
    return builder.finish(top);
}

}  // namespace

Data writeBinaryPlist(plist_t root) {
    if (!root) return Data();
    return convertTree(root);
}

}  // namespace foundation
