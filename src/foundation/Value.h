#pragma once
// Property-list values: null, bool, integer, real, string, data, date, array and string-keyed
// dictionary. Inside keyed archives a value may also refer to an archived object.

#include "foundation/Date.h"
#include "foundation/Exception.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

namespace foundation {

class Object;
class Value;

using Data = std::vector<uint8_t>;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value>;
using ObjectPtr = std::shared_ptr<Object>;

class Value {
public:
    enum class Type { Null, Bool, Integer, Real, String, Data, Date, Array, Dictionary, Object };

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(static_cast<int64_t>(i)) {}
    Value(unsigned i) : v_(static_cast<int64_t>(i)) {}
    Value(long i) : v_(static_cast<int64_t>(i)) {}
    Value(long long i) : v_(static_cast<int64_t>(i)) {}
    // Unsigned 64-bit numbers keep their bits; read them back with uint64Value().
    Value(unsigned long i) : v_(static_cast<int64_t>(i)) {}
    Value(unsigned long long i) : v_(static_cast<int64_t>(i)) {}
    Value(double d) : v_(d) {}
    Value(float f) : v_(static_cast<double>(f)) {}
    Value(const char* s) : v_(std::string(s ? s : "")) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(foundation::Data d) : v_(std::move(d)) {}
    Value(foundation::Date d) : v_(d) {}
    Value(foundation::Array a) : v_(std::move(a)) {}
    Value(foundation::Dictionary d) : v_(std::move(d)) {}
    template <class T, class = std::enable_if_t<std::is_base_of_v<Object, T>>> Value(std::shared_ptr<T> o) {
        if (o) v_ = std::static_pointer_cast<Object>(std::move(o));
    }

    Type type() const { return static_cast<Type>(v_.index()); }
    bool isNull() const { return type() == Type::Null; }
    bool isNumber() const { return type() == Type::Bool || type() == Type::Integer || type() == Type::Real; }

    template <class T> const T* getIf() const { return std::get_if<T>(&v_); }
    template <class T> T* getIf() { return std::get_if<T>(&v_); }

    // Typed reads that answer nothing for another type.
    std::optional<bool> boolValue() const;        // bool, or a number (non-zero)
    std::optional<int64_t> integerValue() const;  // integer, bool, or a finite real truncated and saturated
    std::optional<uint64_t> uint64Value() const;  // the integer's bits
    std::optional<double> realValue() const;      // any number
    const std::string* stringValue() const { return getIf<std::string>(); }
    const foundation::Data* dataValue() const { return getIf<foundation::Data>(); }
    std::optional<foundation::Date> dateValue() const;
    const foundation::Array* arrayValue() const { return getIf<foundation::Array>(); }
    const foundation::Dictionary* dictionaryValue() const { return getIf<foundation::Dictionary>(); }
    ObjectPtr objectValue() const;

    template <class T> std::shared_ptr<T> object() const { return std::dynamic_pointer_cast<T>(objectValue()); }

    // Structural equality; objects compare by identity.
    bool operator==(const Value& other) const;

    // A short text for logs and test failures.
    std::string debugDescription() const;

private:
    std::variant<std::monostate, bool, int64_t, double, std::string, foundation::Data, foundation::Date,
                 foundation::Array, foundation::Dictionary, ObjectPtr>
        v_;
};

inline std::ostream& operator<<(std::ostream& os, const Value& v) { return os << v.debugDescription(); }

// Property-list files (binary or XML on reading; binary or XML on writing). Objects cannot be
// stored in a plain property list; they raise an exception. Damaged input raises
// PropertyListError.
class PropertyListError : public Exception {
public:
    explicit PropertyListError(std::string reason) : Exception("PropertyListError", std::move(reason)) {}
};
Value propertyListFromData(const Data& data);
Data binaryPropertyListData(const Value& value);
Data xmlPropertyListData(const Value& value);

// Whole-file helpers. Reading raises PropertyListError for a missing or damaged file, for
// anything but a regular file, and for a file larger than kMaxReadFileSize.
constexpr uint64_t kMaxReadFileSize = uint64_t{256} << 20;
Data readFile(const std::string& path);
void writeFileAtomically(const std::string& path, const Data& data);

}  // namespace foundation
