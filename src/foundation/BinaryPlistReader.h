#pragma once
// A read-only property-list tree in a few flat arrays, and our own reader of the binary form into
// it. libplist reads the binary form into a tree of separately allocated nodes (some twenty bytes
// of memory per byte of the file) and finds a dictionary's key by walking its children; reading a
// document of 10,000 contexts that way took longer than everything else its start-up does. Here
// an object is one entry of sixteen bytes, a container's items are indexes in one shared list,
// and the text of strings and byte strings lies end to end in one block. (Fresh memory is costly
// in itself: each page is a fault the first time it is written, so the tree keeps no copy of the
// file.)
//
// The reader refuses what libplist refuses: objects or tables outside the file, markers the form
// does not have, sizes of the wrong width, references to objects that do not exist, UIDs beyond
// 32 bits, dictionary keys that are not strings. Only objects that the top object reaches are
// read, as libplist does. Nesting and reference bombs are the business of
// checkPropertyListData, which runs first (BinaryPlistCheck.h): once it has passed, the tree's
// references cannot form a cycle.
//
// Strings end at their first NUL, as the C strings that libplist hands out do. UTF-16 strings are
// turned into UTF-8; a surrogate without its partner becomes U+FFFD.

#include "foundation/Value.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace foundation {

class PlistTree {
public:
    using Ref = uint32_t;  // an object of the tree
    static constexpr Ref kNone = std::numeric_limits<Ref>::max();

    enum class Kind : uint8_t { None, Bool, Integer, Real, Date, Data, String, UID, Array, Dictionary };

    // The tree of binary property-list data (starting with "bplist00"), or none when the data is
    // damaged. Call checkPropertyListData first: this reader relies on it for the bounds of
    // nesting and sharing.
    static std::optional<PlistTree> fromBinary(const uint8_t* data, size_t size);

    Ref root() const { return root_; }
    Kind kind(Ref r) const { return r < nodes_.size() ? nodes_[r].kind : Kind::None; }

    bool boolValue(Ref r) const { return nodes_[r].value != 0; }
    // Integers as their 64-bit two's complement; UIDs as their number.
    int64_t integerValue(Ref r) const { return static_cast<int64_t>(nodes_[r].value); }
    uint64_t uidValue(Ref r) const { return nodes_[r].value; }
    // Reals and dates (seconds since 1 January 2001).
    double realValue(Ref r) const;
    std::string_view string(Ref r) const {
        const Node& n = nodes_[r];
        return std::string_view(reinterpret_cast<const char*>(bytes_.data()) + n.value, n.length);
    }
    Data data(Ref r) const {
        const Node& n = nodes_[r];
        return Data(bytes_.begin() + static_cast<std::ptrdiff_t>(n.value),
                    bytes_.begin() + static_cast<std::ptrdiff_t>(n.value + n.length));
    }
    // The value of a scalar (bool, integer, real, string, data, date); none for a container or a
    // UID.
    std::optional<Value> scalarValue(Ref r) const;

    // Items of an array; entries of a dictionary.
    size_t count(Ref r) const { return nodes_[r].length; }
    Ref item(Ref array, size_t i) const { return refs_[nodes_[array].value + i]; }
    Ref key(Ref dict, size_t i) const { return refs_[nodes_[dict].value + i]; }
    Ref value(Ref dict, size_t i) const { return refs_[nodes_[dict].value + nodes_[dict].length + i]; }
    // The value of the first entry of `dict` under `key`, or kNone. `dict` may be any object.
    Ref find(Ref dict, std::string_view key) const;
    // The same, searching from entry `hint` on and round to it, and leaving `hint` after the
    // entry found: keys read in the order they were written are found at the first try. (Of two
    // entries with the same key, which the form does not allow, the one met first is taken.)
    Ref find(Ref dict, std::string_view key, size_t& hint) const;

    // Building, for trees read from another form (PlistNode.h). The text of a string ends at its
    // first NUL.
    Ref addScalar(Kind kind, uint64_t value);
    Ref addReal(Kind kind, double value);
    Ref addString(std::string_view s);
    Ref addData(const uint8_t* bytes, size_t size);
    Ref addArray(const std::vector<Ref>& items);
    // `keys` must be strings and as many as `values`.
    Ref addDictionary(const std::vector<Ref>& keys, const std::vector<Ref>& values);
    void setRoot(Ref r) { root_ = r; }

private:
    struct Node {
        Kind kind = Kind::None;
        // Bytes of a string or byte string; items of an array; entries of a dictionary.
        uint32_t length = 0;
        // Integer, UID and boolean values; the bits of a real or a date; where a string or byte
        // string starts in bytes_; where a container's references start in refs_ (a dictionary's
        // keys, then its values).
        uint64_t value = 0;
    };
    static_assert(sizeof(Node) == 16);

    class BinaryReader;

    Ref add(Node n);
    // Appends UTF-8 text to bytes_ up to its first NUL and returns the node for it.
    Node stringNode(std::string_view utf8);
    Node dataNode(const uint8_t* bytes, size_t size);

    std::vector<Node> nodes_;
    std::vector<Ref> refs_;
    Data bytes_;  // the text of strings and the bytes of byte strings
    Ref root_ = kNone;
};

}  // namespace foundation
