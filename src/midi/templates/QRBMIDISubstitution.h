#pragma once
// The parts of a MIDI template's bytes that are not fixed. On output a substitution writes a value
// taken from the firing action into a copy of the template's bytes; on input it is left out of
// the comparison and reads the value back.
//
// Bit numbering. A template bit index counts the template's bits from the most significant bit of
// byte 0: index i is bit 7 - (i mod 8) of byte i div 8. Occupied and computed bit ranges and the
// conflict sets use template bit indices. Conflicting bits are stored as local indices: for a byte
// substitution the ordinary bit number inside its byte (from the least significant bit), for a
// text field counted from the least significant bit of the field's last byte.
//
// Positions come from documents, exchange files and the control API, so none of them is trusted:
// decoding clamps every position and bit field into what the template can hold, setters refuse
// bit fields that would shift by more than a byte, and applying or extracting never reads or
// writes outside the buffer.
//
// Main thread only.

#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"
#include "foundation/Value.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace foundation {
class UndoManager;
}
class QRBAction;
class QRBMIDITemplate;
class QRBMIDISubstitution;
using QRBMIDISubstitutionPtr = std::shared_ptr<QRBMIDISubstitution>;

// A range of bytes or bits: location and length, as the archive's "{loc, len}" text.
struct QRBMIDIRange {
    int64_t location = 0;
    int64_t length = 0;

    int64_t end() const { return location + length; }
    bool contains(int64_t i) const { return i >= location && i < end(); }
    bool intersects(const QRBMIDIRange& other) const {
        return length > 0 && other.length > 0 && location < other.end() && other.location < end();
    }
    bool operator==(const QRBMIDIRange&) const = default;

    // "{0, 7}".
    std::string toString() const;
    // The text form; anything else gives {0, 0}.
    static QRBMIDIRange fromString(const std::string& text);
};

using QRBMIDIBitSet = std::set<int64_t>;

// A byte range a checksum is computed over, for the editor.
class QRBComputedBytesRange {
public:
    static std::shared_ptr<QRBComputedBytesRange> bytesRangeWithRange(QRBMIDIRange range, bool markAsConflicting) {
        auto r = std::make_shared<QRBComputedBytesRange>();
        r->range = range;
        r->isConflicting = markAsConflicting;
        return r;
    }
    bool isConflicting = false;
    QRBMIDIRange range;
};
using QRBComputedBytesRangePtr = std::shared_ptr<QRBComputedBytesRange>;

// Where the bytes of the template stand in the buffer being built. A text shorter than its field
// removes bytes; every substitution applied afterwards (and every checksum) finds its template
// position moved down by the bytes removed before it.
class QRBMIDIBufferLayout {
public:
    // The buffer position of a template position that was not removed.
    int64_t position(int64_t templatePosition) const;
    // The buffer range of a template range [first, last]: its kept bytes; empty (length <= 0) when
    // none is left.
    QRBMIDIRange range(int64_t first, int64_t last) const;
    // Template positions [first, first + count) are gone from the buffer.
    void removed(int64_t first, int64_t count);

private:
    struct Removal {
        int64_t first, count;
    };
    // Template positions removed strictly before `templatePosition`.
    int64_t removedBefore(int64_t templatePosition) const;
    std::vector<Removal> removals_;
};

// Values read back from a matched message: "argument" and "channel".
using QRBMIDIExtractedValues = foundation::Dictionary;

class QRBMIDISubstitution : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBMIDISubstitution", foundation::Object)

public:
    // The longest template; positions are clamped below it.
    static constexpr int64_t kMaxTemplateLength = 65535;
    static constexpr const char* kArgumentKey = "argument";
    static constexpr const char* kChannelKey = "channel";

    QRBMIDISubstitution() = default;

    std::shared_ptr<foundation::UndoManager> undoManager() const { return undoManager_.lock(); }
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) { undoManager_ = undoManager; }
    // The template that holds the substitution, told of every change that moves its bits.
    void setOwner(QRBMIDITemplate* owner) { owner_ = owner; }
    QRBMIDITemplate* owner() const { return owner_; }

    const QRBMIDIBitSet& conflictingSubstitutedBits() const { return conflictingSubstitutedBits_; }
    void setConflictingSubstitutedBits(const QRBMIDIBitSet& bits) { conflictingSubstitutedBits_ = bits; }
    bool isConflicting() const { return !conflictingSubstitutedBits_.empty(); }
    int64_t orderingIndex() const { return substitutedBitsRange().location; }

    virtual bool extractsArgumentValues() const { return false; }
    // Same object or same class.
    virtual bool isEqualToMIDISubstitution(const QRBMIDISubstitution& other) const;
    // A new substitution of the same class and fields; no undo manager, no conflicts, no owner.
    virtual QRBMIDISubstitutionPtr copy() const = 0;

    // Template bits written (template bit indices).
    virtual QRBMIDIRange substitutedBitsRange() const { return {}; }
    // Template bytes written.
    virtual QRBMIDIRange substitutedBytesRange() const { return {}; }
    // Template bits the value is computed from.
    virtual QRBMIDIRange computedBitsRange() const { return {}; }
    virtual QRBComputedBytesRangePtr computedBytesRange() const { return nullptr; }

    // Template bytes were inserted at range.location (range.length of them), or removed.
    virtual void adjustForAddedTemplateBytesInRange(QRBMIDIRange range) = 0;
    virtual void adjustForRemovedTemplateBytesInRange(QRBMIDIRange range) = 0;

    // Conflicting bits := the local indices of the doubly claimed bits that lie in this
    // substitution's own bits.
    virtual void validateSubstitutedBits(const QRBMIDIBitSet& doublyClaimed, const QRBMIDIBitSet& computed);

    // Writes into the buffer; false when it cannot apply (nothing sent then).
    virtual bool applySubstitutionOnBuffer(foundation::Data& buffer, const QRBAction* action,
                                           QRBMIDIBufferLayout& layout) = 0;
    bool applySubstitutionOnBuffer(foundation::Data& buffer, const QRBAction* action) {
        QRBMIDIBufferLayout identity;
        return applySubstitutionOnBuffer(buffer, action, identity);
    }
    // Checksums are applied in a second pass, over the substituted bytes.
    virtual bool shouldApplySubstitutionOnLastPass() const { return false; }
    virtual bool isAffectingTemplateBytesInRange(QRBMIDIRange range) const = 0;
    virtual int64_t convertTemplateBitIndexToLocalBitIndex(int64_t templateBit) const = 0;
    // Clears the bits it substitutes (those inside the buffer).
    virtual void substituteZerosInBuffer(foundation::Data& buffer) const = 0;
    virtual void extractValuesFromBuffer(const foundation::Data& buffer, QRBMIDIExtractedValues& into) const = 0;

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

protected:
    // Registers `inverse` (no action name) when an undo manager is set, then tells the owner.
    template <class Self, class F> void registerInverse(F inverse);
    void changed();
    static int64_t clampPosition(int64_t position);

private:
    std::weak_ptr<foundation::UndoManager> undoManager_;
    QRBMIDIBitSet conflictingSubstitutedBits_;
    QRBMIDITemplate* owner_ = nullptr;
};

// A slice of bits of one template byte that receives the action's MIDI channel or bits of its
// scaled value; several number slices split one value across bytes.
class QRBMIDIByteSubstitution : public QRBMIDISubstitution {
    FND_ARCHIVED_CLASS("QRBMIDIByteSubstitution", QRBMIDISubstitution)

public:
    enum Type : int64_t { Unset = -1, Channel = 0, Number = 1 };

    QRBMIDIByteSubstitution() = default;
    static std::shared_ptr<QRBMIDIByteSubstitution> make(int64_t type, int64_t dataMin, int64_t dataMax,
                                                         QRBMIDIRange slice, int64_t offset, int64_t index);

    // Whether a slice and offset make a bit field of one byte: 1 <= length <= 8,
    // 0 <= offset <= 8 - length, 0 <= location, location + length <= 64.
    static bool isValidBitField(QRBMIDIRange slice, int64_t offset);

    int64_t type() const { return type_; }
    void setType(int64_t type);
    int64_t dataMin() const { return dataMin_; }
    int64_t dataMax() const { return dataMax_; }
    // Undoable; then the slice is fitted to the new precision.
    void setDataMin(int64_t value);
    void setDataMax(int64_t value);
    // Bits of the larger bound (0..127 gives 7, 0..128 gives 8); at least 1.
    int64_t precision() const;
    void adjustSlicesWithPrecision(int64_t precision);
    QRBMIDIRange slice() const { return slice_; }
    // Refuses (false, nothing changed) a slice that is not a bit field of one byte; an offset that
    // would push it out of the byte is lowered first.
    bool setSlice(QRBMIDIRange slice);
    int64_t templateByteBitOffset() const { return offset_; }
    // Lowered to 8 - length when the slice would leave the byte; a negative offset is refused.
    bool setTemplateByteBitOffset(int64_t offset);
    int64_t templateByteIndex() const { return index_; }
    // Undoable; a negative index is refused.
    bool setTemplateByteIndex(int64_t index);
    // 16 for a number, 0 for a channel; raises for an unset type.
    int64_t indicesCount() const;

    bool extractsArgumentValues() const override { return type_ == Number; }
    bool isEqualToMIDISubstitution(const QRBMIDISubstitution& other) const override;
    QRBMIDISubstitutionPtr copy() const override;
    QRBMIDIRange substitutedBitsRange() const override;
    QRBMIDIRange substitutedBytesRange() const override { return {index_, 1}; }
    void adjustForAddedTemplateBytesInRange(QRBMIDIRange range) override;
    void adjustForRemovedTemplateBytesInRange(QRBMIDIRange range) override;
    bool applySubstitutionOnBuffer(foundation::Data& buffer, const QRBAction* action,
                                   QRBMIDIBufferLayout& layout) override;
    using QRBMIDISubstitution::applySubstitutionOnBuffer;
    bool isAffectingTemplateBytesInRange(QRBMIDIRange range) const override { return range.contains(index_); }
    int64_t convertTemplateBitIndexToLocalBitIndex(int64_t templateBit) const override {
        return 8 * index_ + 7 - templateBit;
    }
    void substituteZerosInBuffer(foundation::Data& buffer) const override;
    void extractValuesFromBuffer(const foundation::Data& buffer, QRBMIDIExtractedValues& into) const override;

    // The value bits in their place in the byte.
    uint8_t byteMask() const;

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    void storeSlice(QRBMIDIRange slice);
    void storeOffset(int64_t offset);

    int64_t type_ = Unset;
    int64_t dataMin_ = 0;
    int64_t dataMax_ = 0;
    QRBMIDIRange slice_;
    int64_t offset_ = 0;
    int64_t index_ = 0;
};

// A field of whole bytes that receives the action's argument as UTF-8 text.
class QRBMIDITextSubstitution : public QRBMIDISubstitution {
    FND_ARCHIVED_CLASS("QRBMIDITextSubstitution", QRBMIDISubstitution)

public:
    QRBMIDITextSubstitution() = default;
    static std::shared_ptr<QRBMIDITextSubstitution> make(int64_t from, int64_t to);

    int64_t templateBytesFromIndex() const { return from_; }
    int64_t templateBytesToIndex() const { return to_; }
    // Undoable; negative indexes are refused.
    bool setTemplateBytesFromIndex(int64_t index);
    bool setTemplateBytesToIndex(int64_t index);
    bool validateTemplateBytesToIndex(int64_t index) const { return index >= from_; }

    bool extractsArgumentValues() const override { return true; }
    bool isEqualToMIDISubstitution(const QRBMIDISubstitution& other) const override;
    QRBMIDISubstitutionPtr copy() const override;
    // {from, to - from + 1}; empty when the last index lies before the first.
    QRBMIDIRange substitutedBytesRange() const override;
    QRBMIDIRange substitutedBitsRange() const override;
    void adjustForAddedTemplateBytesInRange(QRBMIDIRange range) override;
    void adjustForRemovedTemplateBytesInRange(QRBMIDIRange range) override;
    bool applySubstitutionOnBuffer(foundation::Data& buffer, const QRBAction* action,
                                   QRBMIDIBufferLayout& layout) override;
    using QRBMIDISubstitution::applySubstitutionOnBuffer;
    bool isAffectingTemplateBytesInRange(QRBMIDIRange range) const override {
        return substitutedBytesRange().intersects(range);
    }
    int64_t convertTemplateBitIndexToLocalBitIndex(int64_t templateBit) const override {
        return 8 * to_ + 7 - templateBit;
    }
    void substituteZerosInBuffer(foundation::Data& buffer) const override;
    void extractValuesFromBuffer(const foundation::Data& buffer, QRBMIDIExtractedValues& into) const override;

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    int64_t from_ = 0;
    int64_t to_ = 0;
};

// One byte that receives a 7-bit checksum of a range of bytes, computed after every other
// substitution.
class QRBMIDIChecksumSubstitution : public QRBMIDISubstitution {
    FND_ARCHIVED_CLASS("QRBMIDIChecksumSubstitution", QRBMIDISubstitution)

public:
    enum Type : int64_t { Sum = 100, NegatedSum = 200, Xor = 300 };

    QRBMIDIChecksumSubstitution() = default;
    static std::shared_ptr<QRBMIDIChecksumSubstitution> make(int64_t type, int64_t from, int64_t to, int64_t index);

    int64_t type() const { return type_; }
    void setType(int64_t type);
    int64_t checkFromIndex() const { return from_; }
    int64_t checkToIndex() const { return to_; }
    int64_t templateByteIndex() const { return index_; }
    // Undoable; negative indexes are refused. A last index below the first becomes the first.
    bool setCheckFromIndex(int64_t index);
    bool setCheckToIndex(int64_t index);
    bool setTemplateByteIndex(int64_t index);
    bool validateFromIndex(int64_t index) const { return index <= to_; }
    bool validateToIndex(int64_t index) const { return index >= from_; }
    // The checksum byte lies outside the range it checks.
    bool validateBytePosition(int64_t index) const { return index < from_ || index > to_; }
    QRBMIDIRange checkRange() const { return {from_, to_ - from_ + 1}; }

    // The checksum of bytes [from, to] of `bytes` (7 bits); 0 for an unknown type or an empty range.
    static uint8_t checksum(int64_t type, const uint8_t* bytes, int64_t from, int64_t to);

    bool isEqualToMIDISubstitution(const QRBMIDISubstitution& other) const override;
    QRBMIDISubstitutionPtr copy() const override;
    QRBMIDIRange substitutedBitsRange() const override { return {8 * index_, 8}; }
    QRBMIDIRange substitutedBytesRange() const override { return {index_, 1}; }
    QRBMIDIRange computedBitsRange() const override;
    QRBComputedBytesRangePtr computedBytesRange() const override;
    void adjustForAddedTemplateBytesInRange(QRBMIDIRange range) override;
    void adjustForRemovedTemplateBytesInRange(QRBMIDIRange range) override;
    // The computed bits count as doubly claimed: a checksum byte inside any check range conflicts.
    void validateSubstitutedBits(const QRBMIDIBitSet& doublyClaimed, const QRBMIDIBitSet& computed) override;
    bool applySubstitutionOnBuffer(foundation::Data& buffer, const QRBAction* action,
                                   QRBMIDIBufferLayout& layout) override;
    using QRBMIDISubstitution::applySubstitutionOnBuffer;
    bool shouldApplySubstitutionOnLastPass() const override { return true; }
    bool isAffectingTemplateBytesInRange(QRBMIDIRange range) const override {
        return range.contains(index_) || checkRange().intersects(range);
    }
    int64_t convertTemplateBitIndexToLocalBitIndex(int64_t templateBit) const override {
        return 8 * index_ + 7 - templateBit;
    }
    void substituteZerosInBuffer(foundation::Data& buffer) const override;
    void extractValuesFromBuffer(const foundation::Data&, QRBMIDIExtractedValues&) const override {}

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    int64_t type_ = NegatedSum;
    int64_t from_ = 0;
    int64_t to_ = 1;
    int64_t index_ = 0;
};
