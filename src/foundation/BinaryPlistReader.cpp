#include "foundation/BinaryPlistReader.h"

#include "foundation/BinaryPlistFormat.h"

#include <cstring>

namespace foundation {

namespace {

using bplist::kHeaderSize;
using bplist::kTrailerSize;
using bplist::readBigEndian;

void appendUTF8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// `units` big-endian UTF-16 code units as UTF-8. A surrogate without its partner, which a
// damaged file can hold, becomes the replacement character.
std::string utf8FromUTF16BE(const uint8_t* p, size_t units) {
    constexpr uint32_t kReplacement = 0xFFFD;
    std::string out;
    out.reserve(units * 3);
    for (size_t i = 0; i < units; ++i) {
        const uint32_t unit = static_cast<uint32_t>(p[2 * i]) << 8 | p[2 * i + 1];
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            const uint32_t next = i + 1 < units ? (static_cast<uint32_t>(p[2 * i + 2]) << 8 | p[2 * i + 3]) : 0;
            if (next >= 0xDC00 && next <= 0xDFFF) {
                appendUTF8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                ++i;
            } else {
                appendUTF8(out, kReplacement);
            }
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            appendUTF8(out, kReplacement);
        } else {
            appendUTF8(out, unit);
        }
    }
    return out;
}

}  // namespace

// ---- reading the binary form ----

// The file: a header, the objects, a table of their offsets and a trailer that gives the widths
// of offsets and references, the number of objects, the top object and where the table starts.
// Every object lies between the header and the table. Objects are read from a list of those
// met but not yet read, not by recursion, each once however many containers refer to it.
class PlistTree::BinaryReader {
public:
    BinaryReader(PlistTree& tree, const uint8_t* data, size_t size) : tree_(tree), data_(data), size_(size) {}

    bool run() {
        if (size_ < kHeaderSize + kTrailerSize || std::memcmp(data_, "bplist00", kHeaderSize) != 0) return false;
        if (size_ >= kNone) return false;  // every offset and length must fit a Ref
        const uint8_t* trailer = data_ + size_ - kTrailerSize;
        offsetSize_ = trailer[6];
        refSize_ = trailer[7];
        const uint64_t count = readBigEndian(trailer + 8, 8);
        const uint64_t top = readBigEndian(trailer + 16, 8);
        tableStart_ = readBigEndian(trailer + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
        if (count == 0 || top >= count) return false;
        if (tableStart_ < kHeaderSize || tableStart_ >= size_ - kTrailerSize) return false;
        if (count > (size_ - kTrailerSize - tableStart_) / offsetSize_) return false;
        count_ = count;

        // Reserved, not touched: only the pages written are given memory. At most every byte
        // between the header and the table is text or a reference.
        tree_.bytes_.reserve(tableStart_);
        tree_.refs_.reserve((tableStart_ - kHeaderSize) / refSize_);
        tree_.nodes_.assign(count_, Node());
        met_.assign(count_, false);
        pending_.push_back(static_cast<Ref>(top));
        met_[top] = true;
        while (!pending_.empty()) {
            const Ref index = pending_.back();
            pending_.pop_back();
            if (!read(index)) return false;
        }
        // Every object reached is read now: a dictionary's keys must all be strings.
        for (const Node& n : tree_.nodes_) {
            if (n.kind != Kind::Dictionary) continue;
            for (uint64_t i = 0; i < n.length; ++i)
                if (tree_.nodes_[tree_.refs_[n.value + i]].kind != Kind::String) return false;
        }
        tree_.root_ = static_cast<Ref>(top);
        return true;
    }

private:
    // Reads object `index` into its node; queues the objects a container refers to.
    bool read(Ref index) {
        const uint64_t offset = readBigEndian(data_ + tableStart_ + uint64_t{index} * offsetSize_, offsetSize_);
        if (offset < kHeaderSize || offset >= tableStart_) return false;
        uint64_t pos = offset + 1;
        const uint8_t marker = data_[offset];
        const unsigned low = marker & 0x0F;
        Node& node = tree_.nodes_[index];
        switch (marker >> 4) {
        case 0x0:
            if (low != 0x8 && low != 0x9) return false;  // null and fill have no place in a tree
            node.kind = Kind::Bool;
            node.value = low == 0x9;
            return true;
        case 0x1: {
            if (low > 4) return false;
            const uint64_t width = uint64_t{1} << low;
            if (width > room(pos)) return false;
            node.kind = Kind::Integer;
            // Sixteen bytes hold values beyond 64 bits; the low eight are kept.
            node.value = width == 16 ? readBigEndian(data_ + pos + 8, 8) : readBigEndian(data_ + pos, width);
            return true;
        }
        case 0x2:
        case 0x3: {
            const bool date = (marker >> 4) == 0x3;
            if (low != 3 && (date || low != 2)) return false;
            const uint64_t width = uint64_t{1} << low;
            if (width > room(pos)) return false;
            double d = 0;
            if (width == 4) {
                const uint32_t bits = static_cast<uint32_t>(readBigEndian(data_ + pos, 4));
                float f = 0;
                std::memcpy(&f, &bits, sizeof f);
                d = f;
            } else {
                const uint64_t bits = readBigEndian(data_ + pos, 8);
                std::memcpy(&d, &bits, sizeof d);
            }
            node.kind = date ? Kind::Date : Kind::Real;
            std::memcpy(&node.value, &d, sizeof d);
            return true;
        }
        case 0x4:
        case 0x5:
        case 0x6: {
            uint64_t length = low;
            if (low == 0x0F && !extendedCount(pos, length)) return false;
            const bool utf16 = (marker >> 4) == 0x6;
            if (length > room(pos) / (utf16 ? 2 : 1)) return false;
            if ((marker >> 4) == 0x4) {
                node = tree_.dataNode(data_ + pos, length);
            } else if (!utf16) {
                node = tree_.stringNode(std::string_view(reinterpret_cast<const char*>(data_ + pos), length));
            } else {
                node = tree_.stringNode(utf8FromUTF16BE(data_ + pos, length));
            }
            return true;
        }
        case 0x8: {
            const uint64_t width = low + 1;
            if (width > 8 || width > room(pos)) return false;
            const uint64_t uid = readBigEndian(data_ + pos, width);
            if (uid > UINT32_MAX) return false;
            node.kind = Kind::UID;
            node.value = uid;
            return true;
        }
        case 0xA:
        case 0xC:
        case 0xD: {
            uint64_t entries = low;
            if (low == 0x0F && !extendedCount(pos, entries)) return false;
            const uint64_t perEntry = (marker >> 4) == 0xD ? 2 : 1;
            if (entries > room(pos) / refSize_ / perEntry) return false;
            const uint64_t references = entries * perEntry;
            node = Node{(marker >> 4) == 0xD ? Kind::Dictionary : Kind::Array, static_cast<uint32_t>(entries),
                        tree_.refs_.size()};
            for (uint64_t i = 0; i < references; ++i) {
                const uint64_t child = readBigEndian(data_ + pos + i * refSize_, refSize_);
                if (child >= count_) return false;
                tree_.refs_.push_back(static_cast<Ref>(child));
                if (!met_[child]) {
                    met_[child] = true;
                    pending_.push_back(static_cast<Ref>(child));
                }
            }
            return true;
        }
        default: return false;
        }
    }

    // Bytes from `pos` to the offset table.
    uint64_t room(uint64_t pos) const { return pos <= tableStart_ ? tableStart_ - pos : 0; }

    // A count of 15 or more follows its marker as an integer object of 1, 2, 4 or 8 bytes.
    bool extendedCount(uint64_t& pos, uint64_t& count) const {
        if (room(pos) < 1 || (data_[pos] & 0xF0) != 0x10 || (data_[pos] & 0x0F) > 3) return false;
        const uint64_t width = uint64_t{1} << (data_[pos] & 0x0F);
        ++pos;
        if (width > room(pos)) return false;
        count = readBigEndian(data_ + pos, width);
        pos += width;
        return true;
    }

    PlistTree& tree_;
    const uint8_t* data_;
    size_t size_;
    uint64_t tableStart_ = 0;
    uint64_t count_ = 0;
    size_t offsetSize_ = 0;
    size_t refSize_ = 0;
    std::vector<uint8_t> met_;
    std::vector<Ref> pending_;
};

std::optional<PlistTree> PlistTree::fromBinary(const uint8_t* data, size_t size) {
    PlistTree tree;
    if (!BinaryReader(tree, data, size).run()) return std::nullopt;
    return tree;
}

// ---- reading the tree ----

double PlistTree::realValue(Ref r) const {
    double d = 0;
    std::memcpy(&d, &nodes_[r].value, sizeof d);
    return d;
}

std::optional<Value> PlistTree::scalarValue(Ref r) const {
    switch (kind(r)) {
    case Kind::Bool: return Value(boolValue(r));
    case Kind::Integer: return Value(integerValue(r));
    case Kind::Real: return Value(realValue(r));
    case Kind::String: return Value(std::string(string(r)));
    case Kind::Data: return Value(data(r));
    case Kind::Date: return Value(Date::withTimeIntervalSinceReferenceDate(realValue(r)));
    default: return std::nullopt;
    }
}

PlistTree::Ref PlistTree::find(Ref dict, std::string_view key) const {
    if (kind(dict) != Kind::Dictionary) return kNone;
    const Node& n = nodes_[dict];
    for (uint64_t i = 0; i < n.length; ++i) {
        if (string(refs_[n.value + i]) == key) return refs_[n.value + n.length + i];
    }
    return kNone;
}

PlistTree::Ref PlistTree::find(Ref dict, std::string_view key, size_t& hint) const {
    if (kind(dict) != Kind::Dictionary) return kNone;
    const Node& n = nodes_[dict];
    const size_t count = n.length;
    size_t i = hint < count ? hint : 0;
    for (size_t tried = 0; tried < count; ++tried) {
        if (string(refs_[n.value + i]) == key) {
            hint = i + 1;
            return refs_[n.value + n.length + i];
        }
        if (++i == count) i = 0;
    }
    return kNone;
}

// ---- building ----

PlistTree::Ref PlistTree::add(Node n) {
    nodes_.push_back(n);
    return static_cast<Ref>(nodes_.size() - 1);
}

PlistTree::Node PlistTree::stringNode(std::string_view utf8) {
    const size_t nul = utf8.find('\0');
    if (nul != std::string_view::npos) utf8 = utf8.substr(0, nul);
    Node n{Kind::String, static_cast<uint32_t>(utf8.size()), bytes_.size()};
    bytes_.insert(bytes_.end(), utf8.begin(), utf8.end());
    return n;
}

PlistTree::Ref PlistTree::addScalar(Kind kind, uint64_t value) { return add(Node{kind, 0, value}); }

PlistTree::Ref PlistTree::addReal(Kind kind, double value) {
    Node n{kind, 0, 0};
    std::memcpy(&n.value, &value, sizeof value);
    return add(n);
}

PlistTree::Ref PlistTree::addString(std::string_view s) { return add(stringNode(s)); }

PlistTree::Node PlistTree::dataNode(const uint8_t* bytes, size_t size) {
    Node n{Kind::Data, static_cast<uint32_t>(size), bytes_.size()};
    bytes_.insert(bytes_.end(), bytes, bytes + size);
    return n;
}

PlistTree::Ref PlistTree::addData(const uint8_t* bytes, size_t size) { return add(dataNode(bytes, size)); }

PlistTree::Ref PlistTree::addArray(const std::vector<Ref>& items) {
    Node n{Kind::Array, static_cast<uint32_t>(items.size()), refs_.size()};
    refs_.insert(refs_.end(), items.begin(), items.end());
    return add(n);
}

PlistTree::Ref PlistTree::addDictionary(const std::vector<Ref>& keys, const std::vector<Ref>& values) {
    Node n{Kind::Dictionary, static_cast<uint32_t>(keys.size()), refs_.size()};
    refs_.insert(refs_.end(), keys.begin(), keys.end());
    refs_.insert(refs_.end(), values.begin(), values.end());
    return add(n);
}

}  // namespace foundation
