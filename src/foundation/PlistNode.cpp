#include "foundation/PlistNode.h"

#include "foundation/BinaryPlistCheck.h"
#include "foundation/BinaryPlistWriter.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace foundation {

plist_t parsePlist(const Data& data, std::string* error) {
    if (data.empty() || data.size() > std::numeric_limits<uint32_t>::max()) return nullptr;
    if (auto refused = checkPropertyListData(data.data(), data.size())) {
        if (error) *error = std::move(*refused);
        return nullptr;
    }
    plist_t root = nullptr;
    const char* bytes = reinterpret_cast<const char*>(data.data());
    auto len = static_cast<uint32_t>(data.size());
    if (len >= 8 && std::memcmp(bytes, "bplist00", 8) == 0) {
        plist_from_bin(bytes, len, &root);
    } else {
        plist_from_xml(bytes, len, &root);
    }
    return root;
}

namespace {

// The text of a dictionary's key node, up to its first NUL. libplist's reader of keys aborts the
// process on a key with a NUL inside, which a damaged file can hold; the comparison of the first
// n characters does not, so the key is found one character at a time from the signs of
// comparisons. Keys longer than any an object writes are refused.
constexpr size_t kMaxKeyLength = 1024;
std::optional<std::string> keyText(plist_t keyNode) {
    if (!keyNode || plist_get_node_type(keyNode) != PLIST_KEY) return std::nullopt;
    std::string key;
    for (;;) {
        if (key.size() >= kMaxKeyLength) return std::nullopt;
        std::string probe = key + '\x01';
        auto compare = [&](int c) {
            probe.back() = static_cast<char>(c);
            return plist_key_val_compare_with_size(keyNode, probe.c_str(), probe.size());
        };
        if (compare(1) < 0) return key;  // the key ends here
        int low = 1, high = 255;
        while (low < high) {
            const int middle = (low + high + 1) / 2;
            if (compare(middle) < 0)
                high = middle - 1;
            else
                low = middle;
        }
        key.push_back(static_cast<char>(low));
    }
}

// libplist's tree of a large file is a great many small blocks (about twenty bytes of memory for
// each byte of the file) allocated in between objects that stay. Once freed they sit below those
// objects, where the allocator does not give memory back on its own: a document of 10,000
// contexts in the XML form would keep some 80 MB it no longer uses.
void releaseLibplistTreeMemory(size_t fileSize) {
#if defined(__GLIBC__)
    constexpr size_t kReleaseMemoryAfterSize = 256 * 1024;
    if (fileSize >= kReleaseMemoryAfterSize) malloc_trim(0);
#else
    (void)fileSize;
#endif
}

// Copies libplist's tree into `tree`; kNone for a node the tree has no place for. The depth is
// bounded by the check that ran before libplist.
PlistTree::Ref copyIntoTree(plist_t node, PlistTree& tree) {
    using Kind = PlistTree::Kind;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return tree.addScalar(Kind::Bool, b != 0);
    }
    case PLIST_UINT: {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        return tree.addScalar(Kind::Integer, u);
    }
    case PLIST_UID: {
        uint64_t u = 0;
        plist_get_uid_val(node, &u);
        return tree.addScalar(Kind::UID, u);
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return tree.addReal(Kind::Real, d);
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return tree.addReal(Kind::Date, sec + usec / 1e6);
    }
    case PLIST_STRING: return tree.addString(plistString(node));
    case PLIST_DATA: {
        const Data d = plistData(node);
        return tree.addData(d.data(), d.size());
    }
    case PLIST_ARRAY: {
        std::vector<PlistTree::Ref> items;
        for (plist_t item : arrayItems(node)) {
            items.push_back(copyIntoTree(item, tree));
            if (items.back() == PlistTree::kNone) return PlistTree::kNone;
        }
        return tree.addArray(items);
    }
    case PLIST_DICT: {
        std::vector<PlistTree::Ref> keys, values;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        bool ok = true;
        for (plist_t item = nullptr; it && ok;) {
            plist_dict_next_item(node, it, nullptr, &item);
            if (!item) break;
            const auto key = keyText(plist_dict_item_get_key(item));
            const PlistTree::Ref value = key ? copyIntoTree(item, tree) : PlistTree::kNone;
            ok = value != PlistTree::kNone;
            if (ok) {
                keys.push_back(tree.addString(*key));
                values.push_back(value);
            }
        }
        std::free(it);
        return ok ? tree.addDictionary(keys, values) : PlistTree::kNone;
    }
    default: return PlistTree::kNone;
    }
}

}  // namespace

std::optional<PlistTree> parsePlistTree(const Data& data, std::string* error) {
    if (data.empty() || data.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    if (auto refused = checkPropertyListData(data.data(), data.size())) {
        if (error) *error = std::move(*refused);
        return std::nullopt;
    }
    if (data.size() >= 8 && std::memcmp(data.data(), "bplist00", 8) == 0)
        return PlistTree::fromBinary(data.data(), data.size());
    PlistTree tree;
    {
        PlistNode root(parsePlist(data, error));
        if (!root) return std::nullopt;
        const PlistTree::Ref top = copyIntoTree(root.get(), tree);
        if (top == PlistTree::kNone) return std::nullopt;
        tree.setRoot(top);
    }
    releaseLibplistTreeMemory(data.size());
    return tree;
}

Data plistToBinary(plist_t node) { return writeBinaryPlist(node); }

std::string plistString(plist_t node) {
    // Read through the pointer and length: libplist's copying reader asserts (and aborts the
    // process) on a string with a NUL inside, which a damaged file can hold.
    uint64_t length = 0;
    const char* s = plist_get_string_ptr(node, &length);
    return s ? std::string(s, length) : std::string();
}

Data plistData(plist_t node) {
    uint64_t length = 0;
    const char* p = plist_get_data_ptr(node, &length);
    if (!p) return Data();
    return Data(reinterpret_cast<const uint8_t*>(p), reinterpret_cast<const uint8_t*>(p) + length);
}

std::optional<Value> plistScalarValue(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return Value(b != 0);
    }
    case PLIST_UINT: {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        return Value(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return Value(d);
    }
    case PLIST_STRING: return Value(plistString(node));
    case PLIST_DATA: return Value(plistData(node));
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return Value(Date::withTimeIntervalSinceReferenceDate(sec + usec / 1e6));
    }
    default: return std::nullopt;
    }
}

std::vector<plist_t> arrayItems(plist_t array) {
    std::vector<plist_t> items;
    items.reserve(plist_array_get_size(array));
    plist_array_iter it = nullptr;
    plist_array_new_iter(array, &it);
    if (!it) return items;
    for (;;) {
        plist_t item = nullptr;
        plist_array_next_item(array, it, &item);
        if (!item) break;
        items.push_back(item);
    }
    std::free(it);
    return items;
}

void forEachDictItem(plist_t dict, const std::function<void(const std::string&, plist_t)>& fn) {
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(dict, &it);
    if (!it) return;
    for (;;) {
        char* key = nullptr;
        plist_t val = nullptr;
        plist_dict_next_item(dict, it, &key, &val);
        if (!val) {
            if (key) std::free(key);
            break;
        }
        std::string k = key ? key : "";
        if (key) std::free(key);
        fn(k, val);
    }
    std::free(it);
}

}  // namespace foundation
