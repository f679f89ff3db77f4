#include "foundation/Value.h"

#include "foundation/Format.h"
#include "foundation/Object.h"
#include "foundation/PlistNode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace foundation {

std::optional<bool> Value::boolValue() const {
    if (auto b = getIf<bool>()) return *b;
    if (auto i = getIf<int64_t>()) return *i != 0;
    if (auto d = getIf<double>()) return *d != 0.0;
    return std::nullopt;
}

std::optional<int64_t> Value::integerValue() const {
    if (auto i = getIf<int64_t>()) return *i;
    if (auto b = getIf<bool>()) return *b ? 1 : 0;
    if (auto d = getIf<double>()) {
        if (std::isnan(*d)) return std::nullopt;
        if (*d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
        if (*d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(*d);
    }
    return std::nullopt;
}

std::optional<uint64_t> Value::uint64Value() const {
    if (auto i = getIf<int64_t>()) return static_cast<uint64_t>(*i);
    if (auto b = getIf<bool>()) return *b ? 1u : 0u;
    if (auto d = getIf<double>()) {
        if (std::isnan(*d) || *d <= 0) return 0u;
        if (*d >= 18446744073709551615.0) return std::numeric_limits<uint64_t>::max();
        return static_cast<uint64_t>(*d);
    }
    return std::nullopt;
}

std::optional<double> Value::realValue() const {
    if (auto d = getIf<double>()) return *d;
    if (auto i = getIf<int64_t>()) return static_cast<double>(*i);
    if (auto b = getIf<bool>()) return *b ? 1.0 : 0.0;
    return std::nullopt;
}

std::optional<Date> Value::dateValue() const {
    if (auto d = getIf<Date>()) return *d;
    return std::nullopt;
}

ObjectPtr Value::objectValue() const {
    if (auto o = getIf<ObjectPtr>()) return *o;
    return nullptr;
}

bool Value::operator==(const Value& other) const { return v_ == other.v_; }

std::string Value::debugDescription() const {
    switch (type()) {
    case Type::Null: return "null";
    case Type::Bool: return *getIf<bool>() ? "true" : "false";
    case Type::Integer: return std::to_string(*getIf<int64_t>());
    case Type::Real: return format("%g", *getIf<double>());
    case Type::String: return "\"" + *getIf<std::string>() + "\"";
    case Type::Data: return format("<%zu bytes>", getIf<foundation::Data>()->size());
    case Type::Date: return format("<date %f>", getIf<foundation::Date>()->timeIntervalSinceReferenceDate());
    case Type::Array: {
        std::string s = "(";
        bool first = true;
        for (const auto& v : *getIf<foundation::Array>()) {
            if (!first) s += ", ";
            s += v.debugDescription();
            first = false;
        }
        return s + ")";
    }
    case Type::Dictionary: {
        std::string s = "{";
        bool first = true;
        for (const auto& [k, v] : *getIf<foundation::Dictionary>()) {
            if (!first) s += ", ";
            s += k + " = " + v.debugDescription();
            first = false;
        }
        return s + "}";
    }
    case Type::Object: return "<" + objectValue()->archivedClassName() + ">";
    }
    return "?";
}

// ---- plain property lists ----

namespace {

constexpr int kMaxPlistDepth = 256;

Value fromPlist(plist_t node, int depth) {
    if (depth > kMaxPlistDepth) throw PropertyListError("property list nested too deeply");
    if (auto scalar = plistScalarValue(node)) return *scalar;
    switch (plist_get_node_type(node)) {
    case PLIST_ARRAY: {
        Array a;
        for (plist_t item : arrayItems(node)) a.push_back(fromPlist(item, depth + 1));
        return Value(std::move(a));
    }
    case PLIST_DICT: {
        Dictionary d;
        forEachDictItem(node, [&](const std::string& key, plist_t item) { d[key] = fromPlist(item, depth + 1); });
        return Value(std::move(d));
    }
    case PLIST_UID: throw PropertyListError("unexpected UID in a plain property list");
    default: throw PropertyListError("unsupported property-list node");
    }
}

plist_t toPlist(const Value& v) {
    switch (v.type()) {
    case Value::Type::Null: throw PropertyListError("null cannot be stored in a property list");
    case Value::Type::Bool: return plist_new_bool(*v.getIf<bool>() ? 1 : 0);
    case Value::Type::Integer: return plist_new_uint(static_cast<uint64_t>(*v.getIf<int64_t>()));
    case Value::Type::Real: return plist_new_real(*v.getIf<double>());
    case Value::Type::String: return plist_new_string(v.getIf<std::string>()->c_str());
    case Value::Type::Data: {
        const auto& d = *v.getIf<Data>();
        return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    case Value::Type::Date: {
        double s = v.getIf<Date>()->timeIntervalSinceReferenceDate();
        double whole = std::floor(s);
        if (!(whole >= INT32_MIN && whole <= INT32_MAX)) throw PropertyListError("date out of range");
        return plist_new_date(static_cast<int32_t>(whole), static_cast<int32_t>(std::lround((s - whole) * 1e6)));
    }
    case Value::Type::Array: {
        PlistNode a(plist_new_array());
        for (const auto& item : *v.getIf<Array>()) plist_array_append_item(a.get(), toPlist(item));
        return a.release();
    }
    case Value::Type::Dictionary: {
        PlistNode d(plist_new_dict());
        for (const auto& [k, item] : *v.getIf<Dictionary>()) plist_dict_set_item(d.get(), k.c_str(), toPlist(item));
        return d.release();
    }
    case Value::Type::Object: throw PropertyListError("objects cannot be stored in a plain property list");
    }
    throw PropertyListError("unsupported value");
}

}  // namespace

Value propertyListFromData(const Data& data) {
    std::string refused;
    PlistNode root(parsePlist(data, &refused));
    if (!refused.empty()) throw PropertyListError(refused);
    if (!root) throw PropertyListError("not a property list");
    return fromPlist(root.get(), 0);
}

Data binaryPropertyListData(const Value& value) {
    PlistNode root(toPlist(value));
    return plistToBinary(root.get());
}

Data xmlPropertyListData(const Value& value) {
    PlistNode root(toPlist(value));
    char* out = nullptr;
    uint32_t len = 0;
    plist_to_xml(root.get(), &out, &len);
    if (!out) throw PropertyListError("cannot write property list");
    Data d(reinterpret_cast<uint8_t*>(out), reinterpret_cast<uint8_t*>(out) + len);
    plist_to_xml_free(out);
    return d;
}

Data readFile(const std::string& path) {
    // Opened without waiting: opening a FIFO for reading would otherwise block until a writer
    // comes. Only regular files are read, and only up to a size no document or setting nears: a
    // FIFO or a device such as /dev/zero would hang the reader or fill memory.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw PropertyListError(format("cannot open %s: %s", path.c_str(), std::strerror(errno)));
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int e = errno;
        ::close(fd);
        throw PropertyListError(format("cannot open %s: %s", path.c_str(), std::strerror(e)));
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        throw PropertyListError(format("cannot open %s: not a regular file", path.c_str()));
    }
    if (static_cast<uint64_t>(info.st_size) > kMaxReadFileSize) {
        ::close(fd);
        throw PropertyListError(
            format("cannot open %s: larger than %llu bytes", path.c_str(), (unsigned long long)kMaxReadFileSize));
    }
    Data d;
    d.reserve(static_cast<size_t>(info.st_size));
    uint8_t buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            throw PropertyListError(format("cannot read %s: %s", path.c_str(), std::strerror(e)));
        }
        if (n == 0) break;
        // A file that grows while it is read is held to the same bound.
        if (d.size() + static_cast<size_t>(n) > kMaxReadFileSize) {
            ::close(fd);
            throw PropertyListError(
                format("cannot read %s: larger than %llu bytes", path.c_str(), (unsigned long long)kMaxReadFileSize));
        }
        d.insert(d.end(), buf, buf + n);
    }
    ::close(fd);
    return d;
}

void writeFileAtomically(const std::string& path, const Data& data) {
    std::string tmp = path + ".tmp-XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) throw PropertyListError(format("cannot write %s: %s", path.c_str(), std::strerror(errno)));
    size_t off = 0;
    while (off < data.size()) {
        ssize_t w = ::write(fd, data.data() + off, data.size() - off);
        if (w < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            throw PropertyListError(format("cannot write %s: %s", path.c_str(), std::strerror(e)));
        }
        off += static_cast<size_t>(w);
    }
    fchmod(fd, 0644);
    if (::fsync(fd) != 0 || ::close(fd) != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        throw PropertyListError(format("cannot write %s: %s", path.c_str(), std::strerror(e)));
    }
}

}  // namespace foundation
