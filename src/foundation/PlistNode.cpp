#include "foundation/PlistNode.h"

#include "foundation/BinaryPlistCheck.h"
#include "foundation/BinaryPlistWriter.h"

#include <cstdlib>
#include <cstring>
#include <limits>

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
