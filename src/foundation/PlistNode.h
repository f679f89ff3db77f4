#pragma once
// Internal helpers over libplist: an owning node handle and checked readers. Not for use
// outside the foundation.

#include "foundation/BinaryPlistReader.h"
#include "foundation/Value.h"

#include <plist/plist.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace foundation {

class PlistNode {
public:
    PlistNode() = default;
    explicit PlistNode(plist_t n) : n_(n) {}
    ~PlistNode() {
        if (n_) plist_free(n_);
    }
    PlistNode(PlistNode&& o) noexcept : n_(o.n_) { o.n_ = nullptr; }
    PlistNode& operator=(PlistNode&& o) noexcept {
        if (this != &o) {
            if (n_) plist_free(n_);
            n_ = o.n_;
            o.n_ = nullptr;
        }
        return *this;
    }
    PlistNode(const PlistNode&) = delete;
    PlistNode& operator=(const PlistNode&) = delete;

    plist_t get() const { return n_; }
    plist_t release() {
        plist_t n = n_;
        n_ = nullptr;
        return n;
    }
    explicit operator bool() const { return n_ != nullptr; }

private:
    plist_t n_ = nullptr;
};

// Parses binary or XML property-list data; null when it is neither, or when it is nested too
// deeply or shares too much to be parsed safely (`error`, when given, then says why).
plist_t parsePlist(const Data& data, std::string* error = nullptr);
// Binary or XML property-list data as a read-only tree: the binary form through our own reader,
// the XML form through libplist. None when the data is neither, is damaged, or is nested too
// deeply or shares too much to be read safely (`error`, when given, then says why).
std::optional<PlistTree> parsePlistTree(const Data& data, std::string* error = nullptr);
// The binary form of the tree, through our own writer; empty when it cannot be written.
Data plistToBinary(plist_t node);
std::string plistString(plist_t node);
Data plistData(plist_t node);
// The value of a scalar node (bool, integer, real, string, data, date); none for a container or
// a UID.
std::optional<Value> plistScalarValue(plist_t node);
// The items of an array node in order, gathered in one pass (reading item i by index walks the
// array from its start, which makes reading every item quadratic).
std::vector<plist_t> arrayItems(plist_t array);
void forEachDictItem(plist_t dict, const std::function<void(const std::string&, plist_t)>& fn);

}  // namespace foundation
