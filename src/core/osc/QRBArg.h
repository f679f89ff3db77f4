#pragma once
// The value of one OSC argument: a type letter plus an owned byte buffer laid out exactly as
// liblo lays out one argument, so values are built straight from what a liblo handler receives
// and appended straight to a liblo message.

#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"
#include "foundation/Value.h"

#include <lo/lo.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QRBArg;
using QRBArgPtr = std::shared_ptr<QRBArg>;

class QRBArg : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBArg", foundation::Object)

public:
    QRBArg();  // type 'N', no bytes
    QRBArg(const QRBArg& other);
    QRBArg& operator=(const QRBArg& other);
    ~QRBArg() override;

    // Constructors.
    static QRBArgPtr argOfType(int32_t type, const void* value);  // value in liblo's layout, or null
    static QRBArgPtr argOfTypeWithDoubleValue(int32_t type, double value);
    static QRBArgPtr argWithInt32Value(int32_t value);
    static QRBArgPtr argWithFloatValue(float value);
    static QRBArgPtr argWithStringValue(const std::optional<std::string>& value);
    static QRBArgPtr argWithNilValue();
    static QRBArgPtr argWithTrueValue();
    static QRBArgPtr argWithFalseValue();
    // null → 'N'; a number → 'f'; a string → 's'; an array or dictionary → 's' with its compact
    // JSON text; anything else (or a value JSON cannot hold) → null.
    static QRBArgPtr argWithObject(const foundation::Value& object);

    // Class-wide helpers.
    static std::string prettyPrintType(int32_t type);
    static uint64_t bufferSize(const void* source, int32_t type);
    static std::optional<std::string> prettyPrintToString(const void* bytes, int32_t type);
    static std::optional<std::string> stringValue(const void* bytes, int32_t type);
    static void setPrettyPrinterFloatPrecision(long count);

    // Content.
    void makeSameAsValue(const QRBArg& other);
    void makeSameAsValue(const void* value, int32_t type);
    QRBArgPtr copy() const;
    foundation::Data rawData() const;

    int32_t libloType() const { return type_; }
    void setLibloType(int32_t type);
    const uint8_t* libloValue() const { return buffer_.empty() ? nullptr : buffer_.data(); }
    uint64_t managedBufferSize() const { return buffer_.size(); }
    void setManagedBufferSize(uint64_t size);

    bool hasStringType() const;
    bool hasNumericType() const;
    bool hasIntegerType() const;
    bool hasFloatingType() const;

    // Equality and hashing.
    bool isEqualToArg(const QRBArg& other) const;
    size_t hash() const;

    // Appends this value to a liblo message; liblo's result (0 on success).
    int addToMessage(lo_message message) const;
    // Appends the value as one argument of an OSC message, as liblo serialises what
    // addToMessage adds (network byte order, a string with its NUL and zeros to a multiple of 4),
    // when it is an int32, a float or a string; false, and nothing appended, for any other type.
    bool appendPlainOSCBytes(std::vector<uint8_t>& out) const;

    // Text.
    std::string description() const;
    std::optional<std::string> prettyPrintToString() const;
    std::optional<std::string> stringValue() const;
    void setStringValue(const std::optional<std::string>& text);

    // Numbers.
    double doubleValue() const;
    float floatValue() const;
    int32_t int32Value() const;
    int64_t int64Value() const;
    int8_t charValue() const;
    void setDoubleValue(double value);
    void setFloatValue(float value);
    void setInt32Value(int32_t value);
    void setInt64Value(int64_t value);
    void setCharValue(int8_t value);

    // Conversion: a new value of `type` ('=' keeps the receiver's type).
    QRBArgPtr coerceTo(int32_t type) const;

    // Archiving.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    // The value's bytes. Numbers, time tags and short strings fit inside the value itself: every
    // routed message makes and copies values, and a heap block for each would cost more than
    // the routing. Every context keeps several values for as long as it lives, so the storage is
    // kept small too: the sizes are 32-bit (a value comes from one packet or one document, far
    // below 4 GiB) and the heap pointer shares its room with the inline bytes.
    class Storage {
    public:
        Storage() = default;
        Storage(const Storage& other) { assign(other.data(), other.size()); }
        Storage& operator=(const Storage& other) {
            if (this != &other) assign(other.data(), other.size());
            return *this;
        }
        ~Storage() { release(); }

        size_t size() const { return size_; }
        bool empty() const { return size_ == 0; }
        const uint8_t* data() const { return heapCapacity_ ? heap_ : inline_; }
        uint8_t* data() { return heapCapacity_ ? heap_ : inline_; }
        const uint8_t* begin() const { return data(); }
        const uint8_t* end() const { return data() + size_; }
        bool operator==(const Storage& other) const;

        // Copies `count` bytes, which may lie in this storage itself.
        void assign(const void* bytes, size_t count);
        // `count` zero bytes.
        void assignZeros(size_t count);
        // No bytes, and no heap block.
        void clear();

    private:
        static constexpr size_t kInlineCapacity = 16;
        // Room for `count` bytes, whose contents the caller then writes; may drop the old ones.
        uint8_t* prepare(size_t count);
        void release();
        void swap(Storage& other) noexcept;

        uint32_t size_ = 0;
        uint32_t heapCapacity_ = 0;  // 0: the bytes are inline
        union {
            uint8_t inline_[kInlineCapacity] = {};
            uint8_t* heap_;  // only above the inline capacity
        };
    };

    int32_t type_ = 'N';
    Storage buffer_;  // managedBufferSize is buffer_.size()
};

// Whether values of a type letter have a number: the types an action scales and a trigger
// compares with its threshold.
inline bool QRBArgTypeIsNumeric(int32_t type) {
    switch (type) {
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

// Bounded integers for MIDI output.
int32_t QRBClampRoundInteger(int64_t n, int64_t lo, int64_t hi);
int32_t QRBClampScaledInteger(int64_t lo, int64_t hi, double x);
int32_t QRBArgClampedInteger(const QRBArg& value, int64_t lo, int64_t hi);
uint8_t QRBArgMidiChannel(const QRBArg& value);
uint8_t QRBArgMidi7Bit(const QRBArg& value);
uint16_t QRBArgMidi14Bit(const QRBArg& value);
