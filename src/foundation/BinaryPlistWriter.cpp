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
        const size_t need = (b >= 0xF0 && b <= 0xF4) ? 3 : (b >= 0xE0 && b < 0xF0) ? 2 : (b >= 0xC2 && b < 0xE0) ? 1 : 0;
        if (b < 0x80) {
            cp = b;
        } else if (need && i + need < n) {
            uint32_t v = b & (0x3F >> need);
            bool ok = true;
            for (size_t k = 1; k <= need; ++k) {
                if ((p[i + k] & 0xC0) != 0x80) { ok = false; break; }
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

class Writer {
public:
    Data write(plist_t root) {
        if (index(root) == kFailed) return Data();
        // Breadth first: a container's children are given their indexes when it is reached in
        // the list, and new containers join the end of the list, so no recursion is needed.
        for (size_t i = 0; i < objects_.size(); ++i) {
            if (!objects_[i].node) continue;
            plist_t node = objects_[i].node;
            std::vector<uint64_t> refs;
            if (plist_get_node_type(node) == PLIST_ARRAY) {
                for (plist_t item : arrayItems(node)) {
                    const uint64_t r = index(item);
                    if (r == kFailed) return Data();
                    refs.push_back(r);
                }
            } else {
                std::vector<uint64_t> values;
                bool failed = false;
                forEachDictItem(node, [&](const std::string& key, plist_t value) {
                    if (failed) return;
                    refs.push_back(stringIndex(key));
                    const uint64_t r = index(value);
                    if (r == kFailed) failed = true;
                    values.push_back(r);
                });
                if (failed) return Data();
                refs.insert(refs.end(), values.begin(), values.end());
            }
            objects_[i].refs = std::move(refs);
        }
        return serialise();
    }

private:
    static constexpr uint64_t kFailed = ~uint64_t{0};

    struct Object {
        plist_t node = nullptr;      // containers, whose references are filled in later
        Data bytes;                  // everything else, already encoded
        std::vector<uint64_t> refs;  // a dictionary's keys, then its values
    };

    uint64_t add(Object object) {
        objects_.push_back(std::move(object));
        return objects_.size() - 1;
    }

    uint64_t shared(std::string key, Data bytes) {
        auto found = shared_.find(key);
        if (found != shared_.end()) return found->second;
        const uint64_t i = add({nullptr, std::move(bytes), {}});
        shared_.emplace(std::move(key), i);
        return i;
    }

    static std::string keyOf(char tag, uint64_t value) {
        std::string k(1, tag);
        k.append(reinterpret_cast<const char*>(&value), sizeof value);
        return k;
    }

    uint64_t stringIndex(const std::string& s) {
        std::string key = "s" + s;
        auto found = shared_.find(key);
        if (found != shared_.end()) return found->second;
        Data bytes;
        bool ascii = true;
        for (unsigned char c : s) ascii = ascii && c < 0x80;
        if (ascii) {
            appendMarker(bytes, 0x50, s.size());
            bytes.insert(bytes.end(), s.begin(), s.end());
        } else {
            const std::vector<uint16_t> units = utf16(s);
            appendMarker(bytes, 0x60, units.size());
            for (uint16_t u : units) appendBigEndian(bytes, u, 2);
        }
        return shared(std::move(key), std::move(bytes));
    }

    uint64_t index(plist_t node) {
        Data bytes;
        switch (plist_get_node_type(node)) {
        case PLIST_ARRAY:
        case PLIST_DICT: return add({node, {}, {}});
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(node, &b);
            bytes.push_back(b ? 0x09 : 0x08);
            return shared(keyOf('b', b ? 1 : 0), std::move(bytes));
        }
        case PLIST_UINT: {
            uint64_t v = 0;
            plist_get_uint_val(node, &v);
            appendInteger(bytes, v);
            return shared(keyOf('i', v), std::move(bytes));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            bytes.push_back(0x23);
            appendDouble(bytes, d);
            uint64_t bits = 0;
            std::memcpy(&bits, &d, sizeof bits);
            return shared(keyOf('r', bits), std::move(bytes));
        }
        case PLIST_DATE: {
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            const double d = sec + usec / 1e6;
            bytes.push_back(0x33);
            appendDouble(bytes, d);
            uint64_t bits = 0;
            std::memcpy(&bits, &d, sizeof bits);
            return shared(keyOf('d', bits), std::move(bytes));
        }
        case PLIST_UID: {
            uint64_t v = 0;
            plist_get_uid_val(node, &v);
            const size_t width = widthFor(v);
            bytes.push_back(static_cast<uint8_t>(0x80 | (width - 1)));
            appendBigEndian(bytes, v, width);
            return shared(keyOf('u', v), std::move(bytes));
        }
        case PLIST_STRING:
        case PLIST_KEY: return stringIndex(plistString(node));
        case PLIST_DATA: {
            const Data d = plistData(node);
            appendMarker(bytes, 0x40, d.size());
            bytes.insert(bytes.end(), d.begin(), d.end());
            return add({nullptr, std::move(bytes), {}});
        }
        default: return kFailed;
        }
    }

    Data serialise() const {
        const uint64_t count = objects_.size();
        const size_t refSize = widthFor(count - 1);
        Data out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
        std::vector<uint64_t> offsets;
        offsets.reserve(count);
        for (const Object& o : objects_) {
            offsets.push_back(out.size());
            if (!o.node) {
                out.insert(out.end(), o.bytes.begin(), o.bytes.end());
                continue;
            }
            const bool dict = plist_get_node_type(o.node) == PLIST_DICT;
            appendMarker(out, dict ? 0xD0 : 0xA0, dict ? o.refs.size() / 2 : o.refs.size());
            for (uint64_t r : o.refs) appendBigEndian(out, r, refSize);
        }
        const uint64_t tableStart = out.size();
        const size_t offsetSize = widthFor(tableStart);
        for (uint64_t offset : offsets) appendBigEndian(out, offset, offsetSize);
        // Trailer: six unused bytes, the two sizes, the object count, the top object (the first
        // one written) and where the offset table starts.
        out.insert(out.end(), 6, 0);
        out.push_back(static_cast<uint8_t>(offsetSize));
        out.push_back(static_cast<uint8_t>(refSize));
        appendBigEndian(out, count, 8);
        appendBigEndian(out, 0, 8);
        appendBigEndian(out, tableStart, 8);
        return out;
    }

    std::vector<Object> objects_;
    std::unordered_map<std::string, uint64_t> shared_;
};

}  // namespace

Data writeBinaryPlist(plist_t root) {
    if (!root) return Data();
    return Writer().write(root);
}

}  // namespace foundation
