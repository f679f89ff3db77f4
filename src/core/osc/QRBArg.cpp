#include "core/osc/QRBArg.h"

#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/UTF8.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>

#include <locale.h>
#include <stdlib.h>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace {

constexpr const char* kUnexpectedType = "Unexpected liblo type";
constexpr const char* kProvideWarning = "Warning: Argument of type '%s' can't provide a value of type '%s'";
constexpr const char* kReceiveWarning = "Warning: Argument of type '%s' can't receive a value of type '%s'";

// Archive keys, current and from older documents.
constexpr const char* kTypeKey = "type";
constexpr const char* kBytesKey = "bytes";
constexpr const char* kLegacyTypeKey = "QRBArgType";
constexpr const char* kLegacyBytesKey = "QRBArgBytes";

// Precision of the monitor's float format. Kept as a number rather than a format text so that a
// bad preference can never reach printf as a malformed conversion, and so readers on other
// threads see a whole value.
std::atomic<int> gPrettyPrinterPrecision{2};
// Larger precisions only add noise digits and very long monitor lines.
constexpr long kMaxPrettyPrinterPrecision = 20;

// ---- Type table ----------------------------------------------------------------------------

// Bytes of the types whose size does not depend on their contents; -1 for the others and for
// letters that are not OSC types.
int fixedSize(int32_t type) {
    switch (type) {
    case 'i':
    case 'f':
    case 'm': return 4;
    case 'h':
    case 'd':
    case 't': return 8;
    case 'c': return 1;
    case 'T':
    case 'F':
    case 'N':
    case 'I': return 0;
    default: return -1;
    }
}

bool isKnownType(int32_t type) { return fixedSize(type) >= 0 || type == 's' || type == 'S' || type == 'b'; }

// ---- Bounded reads -------------------------------------------------------------------------

// A value's bytes with their length, so that every read stays inside what is really there even
// when a buffer was sized by hand.
struct Bytes {
    const uint8_t* p = nullptr;
    size_t n = 0;

    template <class T> T read(size_t offset = 0) const {
        T v{};
        if (p && offset + sizeof(T) <= n) std::memcpy(&v, p + offset, sizeof(T));
        return v;
    }
    // The text up to its NUL, or up to the end of the bytes when the NUL is missing.
    std::string_view text() const {
        if (!p) return {};
        const void* nul = std::memchr(p, 0, n);
        return {reinterpret_cast<const char*>(p), nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - p) : n};
    }
    // The blob's count, never more than the data that follows it.
    uint32_t blobCount() const {
        if (!p || n < 4) return 0;
        uint32_t count = read<uint32_t>();
        return count <= n - 4 ? count : static_cast<uint32_t>(n - 4);
    }
};

// The extent of the bytes at a raw pointer (in liblo's layout) of a known type.
Bytes bytesAt(const void* value, int32_t type) {
    if (!value || !isKnownType(type)) return {};
    return {static_cast<const uint8_t*>(value), static_cast<size_t>(QRBArg::bufferSize(value, type))};
}

// ---- Number conversions --------------------------------------------------------------------

// A floating-point number already rounded or truncated to an integral value, converted without
// undefined behaviour: NaN gives 0 and anything outside the target range its nearest limit.
template <class I> I saturate(double x) {
    if (std::isnan(x)) return 0;
    // The limits as doubles: -2^(N-1) is exact, 2^(N-1) is one past the maximum.
    constexpr double lo = static_cast<double>(std::numeric_limits<I>::min());
    constexpr double hiExclusive = -lo;
    if (x < lo) return std::numeric_limits<I>::min();
    if (x >= hiExclusive) return std::numeric_limits<I>::max();
    return static_cast<I>(x);
}

template <class I> I roundHalfUp(double x) { return saturate<I>(std::floor(x + 0.5)); }
template <class I> I truncate(double x) { return saturate<I>(std::trunc(x)); }

// Truncated toward zero, then the low 8 bits, as a C cast through an integer gives for numbers
// an integer can hold. NaN gives 0; numbers no 64-bit integer holds give the char's limits.
int8_t charFromDouble(double x) {
    if (std::isnan(x)) return 0;
    double t = std::trunc(x);
    if (t < -9223372036854775808.0) return std::numeric_limits<int8_t>::min();
    if (t >= 9223372036854775808.0) return std::numeric_limits<int8_t>::max();
    return static_cast<int8_t>(static_cast<int64_t>(t));
}

template <class I> I saturateInteger(int64_t n) {
    if (n < std::numeric_limits<I>::min()) return std::numeric_limits<I>::min();
    if (n > std::numeric_limits<I>::max()) return std::numeric_limits<I>::max();
    return static_cast<I>(n);
}

// Narrows to single precision, saturating instead of overflowing to infinity; infinities and
// NaN pass unchanged.
float narrowSaturating(double x) {
    if (std::isfinite(x)) {
        if (x > FLT_MAX) return FLT_MAX;
        if (x < -FLT_MAX) return -FLT_MAX;
    }
    return static_cast<float>(x);
}

// ---- Text ----------------------------------------------------------------------------------

// The C locale for the numbers this class prints and reads: a text like "0.50" must not turn
// into "0,50" because the desktop's locale was applied to the process.
locale_t cLocale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return loc;
}

std::string formatFixed(double x, int decimals) {
    locale_t previous = uselocale(cLocale());
    std::string s = foundation::format("%0.*f", decimals, x);
    uselocale(previous);
    return s;
}

using foundation::isValidUTF8;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

size_t skipSpace(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && isSpace(s[i])) ++i;
    return i;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The decimal integer at the start of the text after white space, saturating at the limits of
// I; 0 when there is none or the text is not UTF-8.
template <class I> I leadingInteger(std::string_view s) {
    if (!isValidUTF8(s)) return 0;
    size_t i = skipSpace(s);
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    // Accumulated as a negative number, which reaches the minimum without overflow.
    I value = 0;
    bool saturated = false;
    for (; i < s.size() && isDigit(s[i]); ++i) {
        if (saturated) continue;
        I digit = static_cast<I>(s[i] - '0');
        if (value < (std::numeric_limits<I>::min() + digit) / 10) {
            saturated = true;
            continue;
        }
        value = static_cast<I>(value * 10 - digit);
    }
    if (saturated) return negative ? std::numeric_limits<I>::min() : std::numeric_limits<I>::max();
    if (negative) return value;
    return value == std::numeric_limits<I>::min() ? std::numeric_limits<I>::max() : static_cast<I>(-value);
}

// The decimal floating-point number at the start of the text after white space (digits, an
// optional fraction and exponent; no hexadecimal, infinity or NaN), saturating at the largest
// finite double; 0 when there is none or the text is not UTF-8.
double leadingDouble(std::string_view s) {
    if (!isValidUTF8(s)) return 0;
    size_t start = skipSpace(s);
    size_t i = start;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t digits = 0;
    while (i < s.size() && isDigit(s[i])) {
        ++i;
        ++digits;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && isDigit(s[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) return 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        if (j < s.size() && isDigit(s[j])) {
            while (j < s.size() && isDigit(s[j])) ++j;
            i = j;
        }
    }
    std::string number(s.substr(start, i - start));
    double x = strtod_l(number.c_str(), nullptr, cLocale());
    if (std::isinf(x)) return x > 0 ? DBL_MAX : -DBL_MAX;
    return x;
}

// A character byte as text: bytes past ASCII are taken as Latin-1 so that the text stays UTF-8;
// the NUL character gives the empty text.
std::string characterText(uint8_t c) {
    if (c == 0) return {};
    if (c < 0x80) return std::string(1, static_cast<char>(c));
    return {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
}

std::optional<std::string> prettyPrint(Bytes b, int32_t type) {
    switch (type) {
    case 'i': return foundation::format("%d", b.read<int32_t>());
    case 'h': return foundation::format("%lld", static_cast<long long>(b.read<int64_t>()));
    case 'f': return formatFixed(b.read<float>(), gPrettyPrinterPrecision.load());
    case 'd': return formatFixed(b.read<double>(), gPrettyPrinterPrecision.load());
    case 's': return "\"" + std::string(b.text()) + "\"";
    case 'S': return "'" + std::string(b.text()) + "'";
    case 'c': return "\\" + characterText(b.read<uint8_t>());
    case 'b': return foundation::format("<%u byte blob>", b.blobCount());
    case 'm':
        return foundation::format("[midi: 0x%02x 0x%02x 0x%02x 0x%02x]", b.read<uint8_t>(0), b.read<uint8_t>(1),
                                  b.read<uint8_t>(2), b.read<uint8_t>(3));
    case 't': return foundation::format("%08x.%08x", b.read<uint32_t>(0), b.read<uint32_t>(4));
    case 'T': return "#T";
    case 'F': return "#F";
    case 'N': return "Nil";
    case 'I': return "Inf";
    default: return std::nullopt;
    }
}

std::optional<std::string> plainString(Bytes b, int32_t type) {
    switch (type) {
    case 'i': return foundation::format("%d", b.read<int32_t>());
    case 'h': return foundation::format("%lld", static_cast<long long>(b.read<int64_t>()));
    // Coercion to text always uses two decimals, whatever the monitor shows.
    case 'f': return formatFixed(b.read<float>(), 2);
    case 'd': return formatFixed(b.read<double>(), 2);
    case 's':
    case 'S': return std::string(b.text());
    case 'c': return characterText(b.read<uint8_t>());
    case 't': return foundation::format("%08x.%08x", b.read<uint32_t>(0), b.read<uint32_t>(4));
    case 'T': return "true";
    case 'F': return "false";
    case 'N': return "Nil";
    case 'I': return "Inf";
    default: return std::nullopt;  // 'b', 'm' and letters that are not OSC types
    }
}

// ---- JSON ----------------------------------------------------------------------------------

// Converts a property-list value to JSON; false for what JSON cannot hold (data, dates,
// objects, non-finite numbers).
bool toJSON(const foundation::Value& v, nlohmann::json& out) {
    using T = foundation::Value::Type;
    switch (v.type()) {
    case T::Null: out = nullptr; return true;
    case T::Bool: out = *v.getIf<bool>(); return true;
    case T::Integer: out = *v.getIf<int64_t>(); return true;
    case T::Real: {
        double d = *v.getIf<double>();
        if (!std::isfinite(d)) return false;
        out = d;
        return true;
    }
    case T::String: out = *v.stringValue(); return true;
    case T::Array: {
        out = nlohmann::json::array();
        for (const auto& element : *v.arrayValue()) {
            nlohmann::json j;
            if (!toJSON(element, j)) return false;
            out.push_back(std::move(j));
        }
        return true;
    }
    case T::Dictionary: {
        out = nlohmann::json::object();
        for (const auto& [key, element] : *v.dictionaryValue()) {
            nlohmann::json j;
            if (!toJSON(element, j)) return false;
            out[key] = std::move(j);
        }
        return true;
    }
    default: return false;
    }
}

}  // namespace

// ---- Storage -------------------------------------------------------------------------------

uint8_t* QRBArg::Storage::prepare(size_t count) {
    if (count > UINT32_MAX) throw std::length_error("value too large");
    if (count <= kInlineCapacity) {
        release();
    } else if (count > heapCapacity_) {
        auto* grown = new uint8_t[count];
        release();
        heap_ = grown;
        heapCapacity_ = static_cast<uint32_t>(count);
    }
    size_ = static_cast<uint32_t>(count);
    return data();
}

void QRBArg::Storage::release() {
    if (heapCapacity_) delete[] heap_;
    heapCapacity_ = 0;
    std::memset(inline_, 0, kInlineCapacity);
}

void QRBArg::Storage::swap(Storage& other) noexcept {
    std::swap(size_, other.size_);
    std::swap(heapCapacity_, other.heapCapacity_);
    uint8_t bytes[kInlineCapacity];
    std::memcpy(bytes, inline_, kInlineCapacity);  // the heap pointer travels with the bytes
    std::memcpy(inline_, other.inline_, kInlineCapacity);
    std::memcpy(other.inline_, bytes, kInlineCapacity);
}

void QRBArg::Storage::assign(const void* bytes, size_t count) {
    const auto* source = static_cast<const uint8_t*>(bytes);
    if (count > 0 && size_ > 0 && source >= data() && source < data() + size_) {
        // Bytes of this storage itself: taken into another before the old ones may go.
        Storage copy;
        copy.assign(source, count);
        swap(copy);
        return;
    }
    uint8_t* target = prepare(count);
    if (count == 0) return;
    if (source)
        std::memcpy(target, source, count);
    else
        std::memset(target, 0, count);
}

void QRBArg::Storage::assignZeros(size_t count) {
    uint8_t* target = prepare(count);
    if (count > 0) std::memset(target, 0, count);
}

void QRBArg::Storage::clear() {
    release();
    size_ = 0;
}

bool QRBArg::Storage::operator==(const Storage& other) const {
    return size_ == other.size_ && (size_ == 0 || std::memcmp(data(), other.data(), size_) == 0);
}

// ---- Construction and content --------------------------------------------------------------

QRBArg::QRBArg() = default;
QRBArg::QRBArg(const QRBArg& other) : foundation::Object(), type_(other.type_), buffer_(other.buffer_) {}
QRBArg& QRBArg::operator=(const QRBArg& other) {
    makeSameAsValue(other);
    return *this;
}
QRBArg::~QRBArg() = default;

QRBArgPtr QRBArg::argOfType(int32_t type, const void* value) {
    auto arg = std::make_shared<QRBArg>();
    arg->makeSameAsValue(value, type);
    return arg;
}

QRBArgPtr QRBArg::argOfTypeWithDoubleValue(int32_t type, double value) {
    QRBArgPtr arg = QRBArg().coerceTo(type);
    arg->setDoubleValue(value);
    return arg;
}

QRBArgPtr QRBArg::argWithInt32Value(int32_t value) { return argOfType('i', &value); }
QRBArgPtr QRBArg::argWithFloatValue(float value) { return argOfType('f', &value); }

QRBArgPtr QRBArg::argWithStringValue(const std::optional<std::string>& value) {
    auto arg = std::make_shared<QRBArg>();
    arg->setLibloType('s');
    arg->setStringValue(value);
    return arg;
}

QRBArgPtr QRBArg::argWithNilValue() { return argOfType('N', nullptr); }
QRBArgPtr QRBArg::argWithTrueValue() { return argOfType('T', nullptr); }
QRBArgPtr QRBArg::argWithFalseValue() { return argOfType('F', nullptr); }

QRBArgPtr QRBArg::argWithObject(const foundation::Value& object) {
    using T = foundation::Value::Type;
    switch (object.type()) {
    case T::Null: return argWithNilValue();
    case T::Bool: return argWithFloatValue(*object.getIf<bool>() ? 1.0f : 0.0f);
    case T::Integer: return argWithFloatValue(static_cast<float>(*object.getIf<int64_t>()));
    case T::Real: return argWithFloatValue(static_cast<float>(*object.getIf<double>()));
    case T::String: return argWithStringValue(*object.stringValue());
    case T::Array:
    case T::Dictionary: {
        nlohmann::json j;
        if (!toJSON(object, j)) return nullptr;
        try {
            return argWithStringValue(j.dump());
        } catch (const nlohmann::json::exception&) {
            return nullptr;  // text that is not UTF-8
        }
    }
    default: return nullptr;
    }
}

std::string QRBArg::prettyPrintType(int32_t type) {
    switch (type) {
    case 'h': return "int64";
    case 'f': return "float";
    case 'd': return "double";
    case 's': return "string";
    case 'S': return "symbol";
    case 'c': return "char";
    case 'b': return "blob";
    case 'm': return "midi";
    case 't': return "timetag";
    case 'T': return "True";
    case 'F': return "False";
    case 'N': return "Nil";
    case 'I': return "Infinitum";
    default: return "int32";
    }
}

uint64_t QRBArg::bufferSize(const void* source, int32_t type) {
    switch (type) {
    case 's':
    case 'S': return source ? std::strlen(static_cast<const char*>(source)) + 1 : 0;
    case 'b': {
        if (!source) return 8;  // a zero-filled blob of count 0 with four spare bytes
        // liblo hands a received blob over as its unsigned 32-bit count, then the data.
        uint32_t count;
        std::memcpy(&count, source, sizeof count);
        return static_cast<uint64_t>(count) + 4;
    }
    default: {
        int size = fixedSize(type);
        if (size < 0) FND_INTERNAL_ERROR(kUnexpectedType);
        return static_cast<uint64_t>(size);
    }
    }
}

std::optional<std::string> QRBArg::prettyPrintToString(const void* bytes, int32_t type) {
    return prettyPrint(bytesAt(bytes, type), type);
}

std::optional<std::string> QRBArg::stringValue(const void* bytes, int32_t type) {
    return plainString(bytesAt(bytes, type), type);
}

void QRBArg::setPrettyPrinterFloatPrecision(long count) {
    if (count < 0) count = 0;
    if (count > kMaxPrettyPrinterPrecision) count = kMaxPrettyPrinterPrecision;
    gPrettyPrinterPrecision.store(static_cast<int>(count));
}

void QRBArg::makeSameAsValue(const QRBArg& other) {
    if (&other == this) return;
    type_ = other.type_;
    buffer_ = other.buffer_;
}

void QRBArg::makeSameAsValue(const void* value, int32_t type) {
    // The bytes are taken before anything changes, so a pointer into this value's own buffer
    // stays valid while it is read, and an unknown letter leaves the value as it was.
    uint64_t size = bufferSize(value, type);
    if (value)
        buffer_.assign(value, size);
    else
        buffer_.assignZeros(size);
    type_ = type;
}

QRBArgPtr QRBArg::copy() const { return std::make_shared<QRBArg>(*this); }

foundation::Data QRBArg::rawData() const {
    if (hasStringType()) {
        std::string_view text = Bytes{libloValue(), buffer_.size()}.text();
        return foundation::Data(text.begin(), text.end());
    }
    return foundation::Data(buffer_.begin(), buffer_.end());
}

void QRBArg::setLibloType(int32_t type) {
    if (type == type_) return;
    buffer_.clear();
    type_ = type;
}

void QRBArg::setManagedBufferSize(uint64_t size) {
    if (size == buffer_.size()) return;
    buffer_.assignZeros(size);
}

bool QRBArg::hasStringType() const { return type_ == 's' || type_ == 'S'; }

bool QRBArg::hasNumericType() const {
    switch (type_) {
    case 'F':
    case 'T':
    case 'c':
    case 'd':
    case 'f':
    case 'h':
    case 'i': return true;
    default: return false;
    }
}

bool QRBArg::hasIntegerType() const { return type_ == 'h' || type_ == 'i'; }
bool QRBArg::hasFloatingType() const { return type_ == 'd' || type_ == 'f'; }

// ---- Equality ------------------------------------------------------------------------------

bool QRBArg::isEqualToArg(const QRBArg& other) const {
    return &other == this || (type_ == other.type_ && buffer_ == other.buffer_);
}

size_t QRBArg::hash() const {
    // FNV-1a over the bytes.
    size_t h = 0;
    if (!buffer_.empty()) {
        uint64_t fnv = 14695981039346656037ull;
        for (uint8_t byte : buffer_) {
            fnv ^= byte;
            fnv *= 1099511628211ull;
        }
        h = static_cast<size_t>(fnv);
    }
    return (static_cast<size_t>(type_) * 31 + h) * 31 + buffer_.size();
}

// ---- liblo ---------------------------------------------------------------------------------

bool QRBArg::appendPlainOSCBytes(std::vector<uint8_t>& out) const {
    Bytes b{libloValue(), buffer_.size()};
    switch (type_) {
    case 'i':
    case 'f': {
        const uint32_t bits = htonl(b.read<uint32_t>());
        const auto* p = reinterpret_cast<const uint8_t*>(&bits);
        out.insert(out.end(), p, p + 4);
        return true;
    }
    case 's': {
        const std::string_view text = b.text();
        out.insert(out.end(), text.begin(), text.end());
        out.resize(out.size() + 4 - text.size() % 4, 0);
        return true;
    }
    default: return false;
    }
}

int QRBArg::addToMessage(lo_message message) const {
    Bytes b{libloValue(), buffer_.size()};
    switch (type_) {
    case 'i': return lo_message_add_int32(message, b.read<int32_t>());
    case 'h': return lo_message_add_int64(message, b.read<int64_t>());
    case 'f': return lo_message_add_float(message, b.read<float>());
    case 'd': return lo_message_add_double(message, b.read<double>());
    case 'c': return lo_message_add_char(message, static_cast<char>(b.read<uint8_t>()));
    case 's': return lo_message_add_string(message, std::string(b.text()).c_str());
    case 'S': return lo_message_add_symbol(message, std::string(b.text()).c_str());
    case 'b': {
        // liblo takes a blob as a record of its count and then its data, which is this value's
        // layout; a hand-sized buffer is passed as a record bounded by the bytes really present.
        uint32_t count = b.blobCount();
        std::vector<uint8_t> record(4 + static_cast<size_t>(count));
        std::memcpy(record.data(), &count, 4);
        if (count > 0) std::memcpy(record.data() + 4, b.p + 4, count);
        return lo_message_add_blob(message, reinterpret_cast<lo_blob>(record.data()));
    }
    case 'm': {
        uint8_t midi[4] = {b.read<uint8_t>(0), b.read<uint8_t>(1), b.read<uint8_t>(2), b.read<uint8_t>(3)};
        return lo_message_add_midi(message, midi);
    }
    case 't': {
        lo_timetag tag{b.read<uint32_t>(0), b.read<uint32_t>(4)};
        return lo_message_add_timetag(message, tag);
    }
    case 'T': return lo_message_add_true(message);
    case 'F': return lo_message_add_false(message);
    case 'N': return lo_message_add_nil(message);
    case 'I': return lo_message_add_infinitum(message);
    default: return 0;
    }
}

// ---- Text ----------------------------------------------------------------------------------

std::string QRBArg::description() const {
    std::optional<std::string> text = prettyPrintToString();
    return "<QRBArg " + prettyPrintType(type_) + ": " + (text ? *text : std::string("(null)")) + ">";
}

std::optional<std::string> QRBArg::prettyPrintToString() const {
    return prettyPrint(Bytes{libloValue(), buffer_.size()}, type_);
}

std::optional<std::string> QRBArg::stringValue() const {
    return plainString(Bytes{libloValue(), buffer_.size()}, type_);
}

void QRBArg::setStringValue(const std::optional<std::string>& text) {
    // An OSC string ends at its first NUL; the stored text does too, so that its size is the one
    // liblo and the archive decoder derive from the bytes.
    std::string_view t = text ? std::string_view(*text) : std::string_view();
    t = t.substr(0, t.find('\0'));
    switch (type_) {
    case 's':
    case 'S':
        buffer_.assignZeros(t.size() + 1);
        if (!t.empty()) std::memcpy(buffer_.data(), t.data(), t.size());
        return;
    case 'c': setCharValue(static_cast<int8_t>(leadingInteger<int32_t>(t))); return;
    case 'd': setDoubleValue(leadingDouble(t)); return;
    case 'f': setFloatValue(narrowSaturating(leadingDouble(t))); return;
    case 'h': setInt64Value(leadingInteger<int64_t>(t)); return;
    case 'i': setInt32Value(leadingInteger<int32_t>(t)); return;
    case 'T':
    case 'F':
    case 'N':
    case 'I':
    case 'b':
    case 'm':
    case 't': foundation::logf(kReceiveWarning, prettyPrintType(type_).c_str(), "string"); return;
    default: FND_INTERNAL_ERROR(kUnexpectedType);
    }
}

// ---- Numbers -------------------------------------------------------------------------------

#define QRB_NUMBER_SOURCE(requested)                                                                  \
    Bytes b{libloValue(), buffer_.size()};                                                            \
    switch (type_) {                                                                                  \
    case 'b':                                                                                         \
    case 'm':                                                                                         \
    case 't': foundation::logf(kProvideWarning, prettyPrintType(type_).c_str(), requested); return 0; \
    case 'i':                                                                                         \
    case 'h':                                                                                         \
    case 'f':                                                                                         \
    case 'd':                                                                                         \
    case 'c':                                                                                         \
    case 's':                                                                                         \
    case 'S':                                                                                         \
    case 'T':                                                                                         \
    case 'F':                                                                                         \
    case 'N':                                                                                         \
    case 'I': break;                                                                                  \
    default: FND_INTERNAL_ERROR(kUnexpectedType);                                                     \
    }

double QRBArg::doubleValue() const {
    QRB_NUMBER_SOURCE("double")
    switch (type_) {
    case 'i': return b.read<int32_t>();
    case 'h': return static_cast<double>(b.read<int64_t>());
    case 'f': return b.read<float>();
    case 'd': return b.read<double>();
    case 'c': return b.read<int8_t>();
    case 's':
    case 'S': return leadingDouble(b.text());
    case 'T': return 1;
    case 'I': return 2147483647.0;
    default: return 0;  // 'F', 'N'
    }
}

float QRBArg::floatValue() const {
    QRB_NUMBER_SOURCE("float")
    switch (type_) {
    case 'i': return static_cast<float>(b.read<int32_t>());
    case 'h': return static_cast<float>(b.read<int64_t>());
    case 'f': return b.read<float>();
    case 'd': return static_cast<float>(b.read<double>());
    case 'c': return b.read<int8_t>();
    case 's':
    case 'S': return narrowSaturating(leadingDouble(b.text()));
    case 'T': return 1;
    case 'I': return static_cast<float>(2147483647);
    default: return 0;
    }
}

int32_t QRBArg::int32Value() const {
    QRB_NUMBER_SOURCE("int32")
    switch (type_) {
    case 'i': return b.read<int32_t>();
    case 'h': return static_cast<int32_t>(b.read<int64_t>());  // the low 32 bits
    case 'f': return roundHalfUp<int32_t>(b.read<float>());
    case 'd': return roundHalfUp<int32_t>(b.read<double>());
    case 'c': return b.read<int8_t>();
    case 's':
    case 'S': return leadingInteger<int32_t>(b.text());
    case 'T': return 1;
    case 'I': return 2147483647;
    default: return 0;
    }
}

int64_t QRBArg::int64Value() const {
    QRB_NUMBER_SOURCE("int64")
    switch (type_) {
    case 'i': return b.read<int32_t>();
    case 'h': return b.read<int64_t>();
    case 'f': return roundHalfUp<int64_t>(b.read<float>());
    case 'd': return roundHalfUp<int64_t>(b.read<double>());
    case 'c': return b.read<int8_t>();
    case 's':
    case 'S': return leadingInteger<int64_t>(b.text());
    case 'T': return 1;
    case 'I': return 2147483647;
    default: return 0;
    }
}

int8_t QRBArg::charValue() const {
    QRB_NUMBER_SOURCE("char")
    switch (type_) {
    case 'i': return static_cast<int8_t>(b.read<int32_t>());
    case 'h': return static_cast<int8_t>(b.read<int64_t>());
    case 'f': return charFromDouble(b.read<float>());
    case 'd': return charFromDouble(b.read<double>());
    case 'c': return b.read<int8_t>();
    case 's':
    case 'S': return static_cast<int8_t>(leadingInteger<int32_t>(b.text()));
    case 'T': return 1;
    case 'I': return -1;
    default: return 0;
    }
}

#undef QRB_NUMBER_SOURCE

namespace {

// Stores one number of type T as the value's whole buffer.
template <class Buffer, class T> void store(Buffer& buffer, T v) { buffer.assign(&v, sizeof(T)); }

}  // namespace

// Decides what a setter does with the value's type: true to go on and store; false after the
// silent no-op of the constant types or the warning of the types that hold no number.
#define QRB_NUMBER_TARGET(given)                                                                \
    switch (type_) {                                                                            \
    case 'i':                                                                                   \
    case 'h':                                                                                   \
    case 'f':                                                                                   \
    case 'd':                                                                                   \
    case 'c': break;                                                                            \
    case 'T':                                                                                   \
    case 'F':                                                                                   \
    case 'N':                                                                                   \
    case 'I': return;                                                                           \
    case 's':                                                                                   \
    case 'S':                                                                                   \
    case 'b':                                                                                   \
    case 'm':                                                                                   \
    case 't': foundation::logf(kReceiveWarning, prettyPrintType(type_).c_str(), given); return; \
    default: FND_INTERNAL_ERROR(kUnexpectedType);                                               \
    }

void QRBArg::setDoubleValue(double x) {
    QRB_NUMBER_TARGET("double")
    switch (type_) {
    case 'i': store(buffer_, truncate<int32_t>(x)); break;
    case 'h': store(buffer_, truncate<int64_t>(x)); break;
    case 'f': store(buffer_, static_cast<float>(x)); break;
    case 'd': store(buffer_, x); break;
    case 'c': store(buffer_, charFromDouble(x)); break;
    }
}

void QRBArg::setFloatValue(float x) {
    QRB_NUMBER_TARGET("float")
    switch (type_) {
    case 'i': store(buffer_, truncate<int32_t>(x)); break;
    case 'h': store(buffer_, truncate<int64_t>(x)); break;
    case 'f': store(buffer_, x); break;
    case 'd': store(buffer_, static_cast<double>(x)); break;
    case 'c': store(buffer_, charFromDouble(x)); break;
    }
}

void QRBArg::setInt32Value(int32_t n) {
    QRB_NUMBER_TARGET("int32")
    switch (type_) {
    case 'i': store(buffer_, n); break;
    case 'h': store(buffer_, static_cast<int64_t>(n)); break;
    case 'f': store(buffer_, static_cast<float>(n)); break;
    case 'd': store(buffer_, static_cast<double>(n)); break;
    case 'c': store(buffer_, static_cast<int8_t>(n)); break;
    }
}

void QRBArg::setInt64Value(int64_t n) {
    QRB_NUMBER_TARGET("int64")
    switch (type_) {
    case 'i': store(buffer_, static_cast<int32_t>(n)); break;
    case 'h': store(buffer_, n); break;
    case 'f': store(buffer_, static_cast<float>(n)); break;
    case 'd': store(buffer_, static_cast<double>(n)); break;
    case 'c': store(buffer_, static_cast<int8_t>(n)); break;
    }
}

void QRBArg::setCharValue(int8_t c) {
    QRB_NUMBER_TARGET("char")
    switch (type_) {
    case 'i': store(buffer_, static_cast<int32_t>(c)); break;
    case 'h': store(buffer_, static_cast<int64_t>(c)); break;
    case 'f': store(buffer_, static_cast<float>(c)); break;
    case 'd': store(buffer_, static_cast<double>(c)); break;
    case 'c': store(buffer_, c); break;
    }
}

#undef QRB_NUMBER_TARGET

// ---- Coercion ------------------------------------------------------------------------------

QRBArgPtr QRBArg::coerceTo(int32_t type) const {
    if (type == '=' || type == type_) return copy();
    auto result = std::make_shared<QRBArg>();
    result->setLibloType(type);
    switch (type) {
    case 'T':
    case 'F':
    case 'N':
    case 'I': break;
    case 's':
    case 'S': result->setStringValue(stringValue().value_or(std::string())); break;
    case 'c': result->setCharValue(charValue()); break;
    case 'd': result->setDoubleValue(doubleValue()); break;
    case 'f': result->setFloatValue(floatValue()); break;
    case 'h': result->setInt64Value(int64Value()); break;
    case 'i': result->setInt32Value(int32Value()); break;
    case 'b':
    case 'm':
    case 't':
        throw foundation::Exception(foundation::kInvalidArgumentException,
                                    foundation::format("Type coercion from type '%s' to type '%s' not supported yet.",
                                                       prettyPrintType(type_).c_str(), prettyPrintType(type).c_str()));
    default: FND_INTERNAL_ERROR(kUnexpectedType);
    }
    return result;
}

// ---- Archiving -----------------------------------------------------------------------------

void QRBArg::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    foundation::Object::encodeWithCoder(coder);
    coder.encodeInt32(type_, kTypeKey);
    coder.encodeBytes(libloValue(), buffer_.size(), kBytesKey);
}

void QRBArg::initWithCoder(foundation::KeyedUnarchiver& coder) {
    foundation::Object::initWithCoder(coder);
    const bool current = coder.containsValueForKey(kTypeKey);
    const int32_t type = coder.decodeInt32(current ? kTypeKey : kLegacyTypeKey);
    const foundation::Data bytes = coder.decodeBytes(current ? kBytesKey : kLegacyBytesKey);

    // The size comes from the type and the bytes (a string's NUL, a blob's count), but a
    // document is untrusted: everything is checked against the archived length before a copy.
    const std::string name = prettyPrintType(type);
    size_t size;
    if (!isKnownType(type)) throw foundation::ArchiveError(foundation::format("QRBArg: unknown type %d", type));
    if (bytes.empty()) {
        // A value whose type was set but that was never given bytes is archived with none; it
        // comes back the same way.
        type_ = type;
        buffer_.clear();
        return;
    }
    switch (type) {
    case 's':
    case 'S': {
        const void* nul = std::memchr(bytes.data(), 0, bytes.size());
        if (!nul) throw foundation::ArchiveError("QRBArg: " + name + " bytes have no terminating NUL");
        size = static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes.data()) + 1;
        break;
    }
    case 'b': {
        if (bytes.size() < 4) throw foundation::ArchiveError("QRBArg: blob bytes lack their count");
        uint32_t count;
        std::memcpy(&count, bytes.data(), sizeof count);
        if (count > bytes.size() - 4) throw foundation::ArchiveError("QRBArg: blob count exceeds its bytes");
        size = static_cast<size_t>(count) + 4;
        break;
    }
    default: {
        int fixed = fixedSize(type);
        if (bytes.size() < static_cast<size_t>(fixed))
            throw foundation::ArchiveError("QRBArg: too few bytes for a value of type " + name);
        size = static_cast<size_t>(fixed);
        break;
    }
    }
    type_ = type;
    buffer_.assign(bytes.data(), size);
}

// ---- MIDI clamps ---------------------------------------------------------------------------

int32_t QRBClampRoundInteger(int64_t n, int64_t lo, int64_t hi) {
    if (n < lo) n = lo;
    if (n > hi) n = hi;
    return saturateInteger<int32_t>(n);
}

int32_t QRBClampScaledInteger(int64_t lo, int64_t hi, double x) {
    // In doubles, so that hi − lo cannot overflow; the floor then saturates into 64 bits before
    // the integer clamp (NaN reads as 0).
    double r = std::floor(x * (static_cast<double>(hi) - static_cast<double>(lo)) + static_cast<double>(lo) + 0.5);
    return QRBClampRoundInteger(saturate<int64_t>(r), lo, hi);
}

int32_t QRBArgClampedInteger(const QRBArg& value, int64_t lo, int64_t hi) {
    if (value.hasFloatingType()) return QRBClampScaledInteger(lo, hi, value.doubleValue());
    return QRBClampRoundInteger(value.int32Value(), lo, hi);
}

uint8_t QRBArgMidiChannel(const QRBArg& value) { return static_cast<uint8_t>(QRBArgClampedInteger(value, 0, 15)); }
uint8_t QRBArgMidi7Bit(const QRBArg& value) { return static_cast<uint8_t>(QRBArgClampedInteger(value, 0, 127)); }
uint16_t QRBArgMidi14Bit(const QRBArg& value) { return static_cast<uint16_t>(QRBArgClampedInteger(value, 0, 16383)); }
