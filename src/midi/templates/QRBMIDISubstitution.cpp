#include "midi/templates/QRBMIDISubstitution.h"

#include "core/mapping/QRBAction.h"
#include "core/osc/QRBArg.h"
#include "foundation/Exception.h"
#include "foundation/UTF8.h"
#include "foundation/UndoManager.h"
#include "midi/templates/QRBMIDITemplate.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

namespace {

constexpr const char* kTypeKey = "type";
constexpr const char* kDataMinKey = "dataMin";
constexpr const char* kDataMaxKey = "dataMax";
constexpr const char* kSliceKey = "slice";
constexpr const char* kOffsetKey = "templateByteBitOffset";
constexpr const char* kByteIndexKey = "templateByteIndex";
constexpr const char* kFromKey = "templateBytesFromIndex";
constexpr const char* kToKey = "templateBytesToIndex";
constexpr const char* kCheckFromKey = "checkFromIndex";
constexpr const char* kCheckToKey = "checkToIndex";

constexpr int64_t kMaxSliceEnd = 64;

// Bits [location, location + length) of a template range of bytes.
QRBMIDIRange bitsOfBytes(QRBMIDIRange bytes) { return {8 * bytes.location, 8 * bytes.length}; }

// One position moved for inserted bytes: at or after the insertion point it moves up.
int64_t movedForInsertion(int64_t position, QRBMIDIRange inserted) {
    return position >= inserted.location ? position + inserted.length : position;
}

// A field [first, last] moved for inserted bytes: a field beginning at or after the insertion
// point moves as a whole; one holding the point after its first byte grows.
void moveFieldForInsertion(int64_t& first, int64_t& last, QRBMIDIRange inserted) {
    if (first >= inserted.location) {
        first += inserted.length;
        last += inserted.length;
    } else if (last >= inserted.location) {
        last += inserted.length;
    }
}

int64_t movedForRemoval(int64_t position, QRBMIDIRange removed) {
    return position >= removed.end() ? position - removed.length : position;
}

// A field [first, last] moved for removed bytes: wholly after moves down, wholly before stays,
// a removal inside it shortens it.
void moveFieldForRemoval(int64_t& first, int64_t& last, QRBMIDIRange removed) {
    if (first >= removed.end()) {
        first -= removed.length;
        last -= removed.length;
    } else if (last < removed.location) {
        // before: stays
    } else if (first <= removed.location && last >= removed.end() - 1) {
        last -= removed.length;
    }
}

// The action's input scaled as the action scales it, onto 0..1 for a template.
double scaledInput(const QRBAction& action, double x) {
    const double inputWidth = action.inputMax() - action.inputMin();
    if (std::fabs(inputWidth) < QRBAction::kEpsilon) return action.outputMin();
    const double slope = (action.outputMax() - action.outputMin()) / inputWidth;
    const double intercept = action.outputMin() - action.inputMin() * slope;
    return x * slope + intercept;
}

using foundation::isValidUTF8;

uint64_t lowBits(int64_t count) { return count >= 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1; }

}  // namespace

// ---- ranges and layout ---------------------------------------------------------------------------

std::string QRBMIDIRange::toString() const {
    return "{" + std::to_string(location) + ", " + std::to_string(length) + "}";
}

QRBMIDIRange QRBMIDIRange::fromString(const std::string& text) {
    long long location = 0, length = 0;
    char close = 0;
    if (std::sscanf(text.c_str(), " {%lld ,%lld %c", &location, &length, &close) != 3 || close != '}') return {};
    return {location, length};
}

int64_t QRBMIDIBufferLayout::removedBefore(int64_t templatePosition) const {
    int64_t count = 0;
    for (const Removal& r : removals_) {
        if (r.first >= templatePosition) continue;
        count += std::min(r.count, templatePosition - r.first);
    }
    return count;
}

int64_t QRBMIDIBufferLayout::position(int64_t templatePosition) const {
    return templatePosition - removedBefore(templatePosition);
}

QRBMIDIRange QRBMIDIBufferLayout::range(int64_t first, int64_t last) const {
    const int64_t start = position(first);
    const int64_t end = (last + 1) - removedBefore(last + 1);
    return {start, end - start};
}

void QRBMIDIBufferLayout::removed(int64_t first, int64_t count) {
    if (count > 0) removals_.push_back({first, count});
}

// ---- the base ---------------------------------------------------------------------------------------

bool QRBMIDISubstitution::isEqualToMIDISubstitution(const QRBMIDISubstitution& other) const {
    return &other == this || typeid(other) == typeid(*this);
}

void QRBMIDISubstitution::validateSubstitutedBits(const QRBMIDIBitSet& doublyClaimed, const QRBMIDIBitSet&) {
    const QRBMIDIRange own = substitutedBitsRange();
    QRBMIDIBitSet conflicting;
    for (auto it = doublyClaimed.lower_bound(own.location); it != doublyClaimed.end() && *it < own.end(); ++it)
        conflicting.insert(convertTemplateBitIndexToLocalBitIndex(*it));
    setConflictingSubstitutedBits(conflicting);
}

template <class Self, class F> void QRBMIDISubstitution::registerInverse(F inverse) {
    if (auto undo = undoManager(); undo && undo->isUndoRegistrationEnabled()) {
        auto me = std::static_pointer_cast<Self>(shared_from_this());
        undo->registerUndo(this, [me, inverse] { inverse(*me); });
    }
}

void QRBMIDISubstitution::changed() {
    if (owner_) owner_->substitutionChanged();
}

int64_t QRBMIDISubstitution::clampPosition(int64_t position) {
    return std::clamp<int64_t>(position, 0, kMaxTemplateLength);
}

void QRBMIDISubstitution::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    foundation::Object::encodeWithCoder(coder);
}

void QRBMIDISubstitution::initWithCoder(foundation::KeyedUnarchiver& coder) {
    foundation::Object::initWithCoder(coder);
}

// ---- byte substitution -------------------------------------------------------------------------------

std::shared_ptr<QRBMIDIByteSubstitution> QRBMIDIByteSubstitution::make(int64_t type, int64_t dataMin, int64_t dataMax,
                                                                       QRBMIDIRange slice, int64_t offset,
                                                                       int64_t index) {
    auto s = std::make_shared<QRBMIDIByteSubstitution>();
    s->type_ = type;
    s->dataMin_ = dataMin;
    s->dataMax_ = dataMax;
    FND_PARAMETER_ASSERT(isValidBitField(slice, offset));
    FND_PARAMETER_ASSERT(index >= 0);
    s->slice_ = slice;
    s->offset_ = offset;
    s->index_ = index;
    return s;
}

bool QRBMIDIByteSubstitution::isValidBitField(QRBMIDIRange slice, int64_t offset) {
    return slice.length >= 1 && slice.length <= 8 && offset >= 0 && offset <= 8 - slice.length && slice.location >= 0 &&
           slice.location <= kMaxSliceEnd - slice.length;
}

void QRBMIDIByteSubstitution::setType(int64_t type) {
    type_ = type;
    changed();
}

void QRBMIDIByteSubstitution::setDataMin(int64_t value) {
    if (value == dataMin_) return;
    registerInverse<QRBMIDIByteSubstitution>([old = dataMin_](QRBMIDIByteSubstitution& s) { s.setDataMin(old); });
    dataMin_ = value;
    adjustSlicesWithPrecision(precision());
    changed();
}

void QRBMIDIByteSubstitution::setDataMax(int64_t value) {
    if (value == dataMax_) return;
    registerInverse<QRBMIDIByteSubstitution>([old = dataMax_](QRBMIDIByteSubstitution& s) { s.setDataMax(old); });
    dataMax_ = value;
    adjustSlicesWithPrecision(precision());
    changed();
}

int64_t QRBMIDIByteSubstitution::precision() const {
    // Negative bounds have no bits of their own; a range of zeros still needs one bit, so that a
    // slice always holds something.
    const uint64_t top = static_cast<uint64_t>(std::max<int64_t>({dataMin_, dataMax_, 0}));
    return std::max<int64_t>(1, std::bit_width(top));
}

void QRBMIDIByteSubstitution::adjustSlicesWithPrecision(int64_t p) {
    p = std::clamp<int64_t>(p, 1, kMaxSliceEnd);
    if (slice_.end() <= p) return;
    QRBMIDIRange fitted =
        slice_.location < p ? QRBMIDIRange{slice_.location, p - slice_.location} : QRBMIDIRange{p - 1, 1};
    fitted.length = std::min<int64_t>(fitted.length, 8);
    setTemplateByteBitOffset(0);
    storeSlice(fitted);
}

bool QRBMIDIByteSubstitution::setSlice(QRBMIDIRange slice) {
    if (slice == slice_) return true;
    if (!isValidBitField(slice, 0)) return false;
    if (slice.length + offset_ > 8) setTemplateByteBitOffset(8 - slice.length);
    storeSlice(slice);
    return true;
}

void QRBMIDIByteSubstitution::storeSlice(QRBMIDIRange slice) {
    if (slice == slice_) return;
    registerInverse<QRBMIDIByteSubstitution>([old = slice_](QRBMIDIByteSubstitution& s) { s.storeSlice(old); });
    slice_ = slice;
    changed();
}

bool QRBMIDIByteSubstitution::setTemplateByteBitOffset(int64_t offset) {
    if (offset < 0) return false;
    if (offset + slice_.length > 8) offset = 8 - slice_.length;
    storeOffset(std::max<int64_t>(offset, 0));
    return true;
}

void QRBMIDIByteSubstitution::storeOffset(int64_t offset) {
    if (offset == offset_) return;
    registerInverse<QRBMIDIByteSubstitution>([old = offset_](QRBMIDIByteSubstitution& s) { s.storeOffset(old); });
    offset_ = offset;
    changed();
}

bool QRBMIDIByteSubstitution::setTemplateByteIndex(int64_t index) {
    if (index < 0) return false;
    if (index == index_) return true;
    registerInverse<QRBMIDIByteSubstitution>(
        [old = index_](QRBMIDIByteSubstitution& s) { s.setTemplateByteIndex(old); });
    index_ = index;
    changed();
    return true;
}

int64_t QRBMIDIByteSubstitution::indicesCount() const {
    if (type_ == Number) return 16;
    if (type_ == Channel) return 0;
    throw foundation::Exception("NSGenericException", "Unexpected");
}

bool QRBMIDIByteSubstitution::isEqualToMIDISubstitution(const QRBMIDISubstitution& other) const {
    if (!QRBMIDISubstitution::isEqualToMIDISubstitution(other)) return false;
    const auto& o = static_cast<const QRBMIDIByteSubstitution&>(other);
    return dataMin_ == o.dataMin_ && dataMax_ == o.dataMax_ && slice_ == o.slice_ && offset_ == o.offset_ &&
           index_ == o.index_ && type_ == o.type_;
}

QRBMIDISubstitutionPtr QRBMIDIByteSubstitution::copy() const {
    auto c = std::make_shared<QRBMIDIByteSubstitution>();
    c->type_ = type_;
    c->dataMin_ = dataMin_;
    c->dataMax_ = dataMax_;
    c->slice_ = slice_;
    c->offset_ = offset_;
    c->index_ = index_;
    return c;
}

QRBMIDIRange QRBMIDIByteSubstitution::substitutedBitsRange() const {
    return {8 * index_ + 8 - offset_ - slice_.length, slice_.length};
}

void QRBMIDIByteSubstitution::adjustForAddedTemplateBytesInRange(QRBMIDIRange range) {
    setTemplateByteIndex(movedForInsertion(index_, range));
}

void QRBMIDIByteSubstitution::adjustForRemovedTemplateBytesInRange(QRBMIDIRange range) {
    setTemplateByteIndex(movedForRemoval(index_, range));
}

uint8_t QRBMIDIByteSubstitution::byteMask() const {
    if (!isValidBitField(slice_, offset_)) return 0;
    return static_cast<uint8_t>(lowBits(slice_.length) << offset_);
}

bool QRBMIDIByteSubstitution::applySubstitutionOnBuffer(foundation::Data& buffer, const QRBAction* action,
                                                        QRBMIDIBufferLayout& layout) {
    const int64_t at = layout.position(index_);
    if (at < 0 || at >= static_cast<int64_t>(buffer.size())) return false;
    if (!isValidBitField(slice_, offset_)) return false;
    uint64_t v;
    if (type_ == Channel) {
        FND_PARAMETER_ASSERT(action != nullptr);
        v = static_cast<uint64_t>(action->channel() - 1);
    } else {
        if (!action) FND_INTERNAL_ERROR("Unexpected nil value for valueAction in QRBMIDIByteSubstitution.");
        const QRBArgPtr& arg = action->inputArgValue();
        if (!arg || !arg->hasNumericType()) return false;
        const double x = arg->doubleValue();
        const double lo = static_cast<double>(std::min(dataMin_, dataMax_));
        const double hi = static_cast<double>(std::max(dataMin_, dataMax_));
        const double scaled =
            static_cast<double>(dataMin_) +
            (static_cast<double>(dataMax_) - static_cast<double>(dataMin_)) * scaledInput(*action, x) + 0.5;
        if (std::isnan(scaled)) return false;
        // Out-of-range values (an input beyond its range, rounding at the top) are held at the
        // range's ends rather than wrapped into other bits.
        const double held = std::clamp(std::floor(scaled), lo, hi);
        v = held < 0 ? 0 : static_cast<uint64_t>(held);
    }
    const uint8_t mask = byteMask();
    const uint8_t bits = static_cast<uint8_t>(((v >> slice_.location) & lowBits(slice_.length)) << offset_);
    auto& byte = buffer[static_cast<size_t>(at)];
    byte = static_cast<uint8_t>((byte & ~mask) | bits);
    return true;
}

void QRBMIDIByteSubstitution::substituteZerosInBuffer(foundation::Data& buffer) const {
    if (index_ < static_cast<int64_t>(buffer.size())) buffer[static_cast<size_t>(index_)] &= ~byteMask();
}

void QRBMIDIByteSubstitution::extractValuesFromBuffer(const foundation::Data& buffer,
                                                      QRBMIDIExtractedValues& into) const {
    if (type_ != Number && type_ != Channel) throw foundation::Exception("NSGenericException", "Unexpected");
    // A position past the received bytes (template bytes replaced behind the editor's back)
    // contributes nothing.
    if (index_ >= static_cast<int64_t>(buffer.size()) || !isValidBitField(slice_, offset_)) return;
    const uint64_t bits = ((uint64_t{buffer[static_cast<size_t>(index_)]} >> offset_) & lowBits(slice_.length))
                          << slice_.location;
    if (type_ == Number) {
        uint64_t current = 0;
        if (auto it = into.find(kArgumentKey); it != into.end()) current = it->second.uint64Value().value_or(0);
        into[kArgumentKey] = foundation::Value(current | bits);
    } else {
        into[kChannelKey] = foundation::Value(static_cast<int64_t>(bits + 1));
    }
}

void QRBMIDIByteSubstitution::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBMIDISubstitution::encodeWithCoder(coder);
    coder.encodeInteger(type_, kTypeKey);
    coder.encodeInteger(dataMin_, kDataMinKey);
    coder.encodeInteger(dataMax_, kDataMaxKey);
    coder.encodeString(slice_.toString(), kSliceKey);
    coder.encodeInteger(offset_, kOffsetKey);
    coder.encodeInteger(index_, kByteIndexKey);
}

void QRBMIDIByteSubstitution::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBMIDISubstitution::initWithCoder(coder);
    type_ = coder.decodeInteger(kTypeKey);
    // A file can name any type, and only the two the editor sets have a meaning on input (any other
    // stops matching with an internal error). The output writes every other type as a number: so
    // it reads back.
    if (type_ != Channel && type_ != Number) type_ = Number;
    // Bounds below zero have no meaning for MIDI data.
    dataMin_ = std::max<int64_t>(0, coder.decodeInteger(kDataMinKey));
    dataMax_ = std::max<int64_t>(0, coder.decodeInteger(kDataMaxKey));
    QRBMIDIRange slice = QRBMIDIRange::fromString(coder.decodeString(kSliceKey).value_or(""));
    slice.length = std::clamp<int64_t>(slice.length, 1, 8);
    slice.location = std::clamp<int64_t>(slice.location, 0, kMaxSliceEnd - slice.length);
    slice_ = slice;
    offset_ = std::clamp<int64_t>(coder.decodeInteger(kOffsetKey), 0, 8 - slice_.length);
    index_ = clampPosition(coder.decodeInteger(kByteIndexKey));
}

// ---- text substitution ----------------------------------------------------------------------------

std::shared_ptr<QRBMIDITextSubstitution> QRBMIDITextSubstitution::make(int64_t from, int64_t to) {
    FND_PARAMETER_ASSERT(from >= 0 && to >= from);
    auto s = std::make_shared<QRBMIDITextSubstitution>();
    s->from_ = from;
    s->to_ = to;
    return s;
}

bool QRBMIDITextSubstitution::setTemplateBytesFromIndex(int64_t index) {
    if (index < 0) return false;
    if (index == from_) return true;
    registerInverse<QRBMIDITextSubstitution>(
        [old = from_](QRBMIDITextSubstitution& s) { s.setTemplateBytesFromIndex(old); });
    from_ = index;
    changed();
    return true;
}

bool QRBMIDITextSubstitution::setTemplateBytesToIndex(int64_t index) {
    if (index < 0) return false;
    if (index == to_) return true;
    registerInverse<QRBMIDITextSubstitution>(
        [old = to_](QRBMIDITextSubstitution& s) { s.setTemplateBytesToIndex(old); });
    to_ = index;
    changed();
    return true;
}

bool QRBMIDITextSubstitution::isEqualToMIDISubstitution(const QRBMIDISubstitution& other) const {
    return QRBMIDISubstitution::isEqualToMIDISubstitution(other) &&
           substitutedBytesRange() == other.substitutedBytesRange();
}

QRBMIDISubstitutionPtr QRBMIDITextSubstitution::copy() const {
    auto c = std::make_shared<QRBMIDITextSubstitution>();
    c->from_ = from_;
    c->to_ = to_;
    return c;
}

QRBMIDIRange QRBMIDITextSubstitution::substitutedBytesRange() const {
    return {from_, std::max<int64_t>(0, to_ - from_ + 1)};
}

QRBMIDIRange QRBMIDITextSubstitution::substitutedBitsRange() const { return bitsOfBytes(substitutedBytesRange()); }

void QRBMIDITextSubstitution::adjustForAddedTemplateBytesInRange(QRBMIDIRange range) {
    int64_t first = from_, last = to_;
    moveFieldForInsertion(first, last, range);
    setTemplateBytesToIndex(last);
    setTemplateBytesFromIndex(first);
}

void QRBMIDITextSubstitution::adjustForRemovedTemplateBytesInRange(QRBMIDIRange range) {
    int64_t first = from_, last = to_;
    moveFieldForRemoval(first, last, range);
    setTemplateBytesFromIndex(first);
    setTemplateBytesToIndex(last);
}

bool QRBMIDITextSubstitution::applySubstitutionOnBuffer(foundation::Data& buffer, const QRBAction* action,
                                                        QRBMIDIBufferLayout& layout) {
    if (to_ < from_) return false;
    const QRBMIDIRange field = layout.range(from_, to_);
    // The field must lie inside the buffer and leave its last byte (the end of a SysEx) alone.
    if (field.length <= 0 || field.location < 0 || field.end() >= static_cast<int64_t>(buffer.size())) return false;
    FND_PARAMETER_ASSERT(action != nullptr);
    const QRBArgPtr& arg = action->inputArgValue();
    const std::string text = arg ? arg->stringValue().value_or(std::string()) : std::string();
    const int64_t written = std::min<int64_t>(static_cast<int64_t>(text.size()), field.length);
    auto at = buffer.begin() + field.location;
    std::copy_n(text.begin(), written, at);
    if (written < field.length) {
        buffer.erase(at + written, at + field.length);
        layout.removed(from_ + written, field.length - written);
    }
    return true;
}

void QRBMIDITextSubstitution::substituteZerosInBuffer(foundation::Data& buffer) const {
    const int64_t size = static_cast<int64_t>(buffer.size());
    for (int64_t i = from_; i <= to_ && i < size; ++i) buffer[static_cast<size_t>(i)] = 0;
}

void QRBMIDITextSubstitution::extractValuesFromBuffer(const foundation::Data& buffer,
                                                      QRBMIDIExtractedValues& into) const {
    const int64_t size = static_cast<int64_t>(buffer.size());
    if (to_ < from_ || from_ >= size) return;
    const int64_t end = std::min(to_ + 1, size);
    std::string text(buffer.begin() + from_, buffer.begin() + end);
    if (isValidUTF8(text))
        into[kArgumentKey] = foundation::Value(std::move(text));
    else
        into.erase(kArgumentKey);
}

void QRBMIDITextSubstitution::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBMIDISubstitution::encodeWithCoder(coder);
    coder.encodeInteger(from_, kFromKey);
    coder.encodeInteger(to_, kToKey);
}

void QRBMIDITextSubstitution::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBMIDISubstitution::initWithCoder(coder);
    from_ = clampPosition(coder.decodeInteger(kFromKey));
    to_ = std::max(from_, clampPosition(coder.decodeInteger(kToKey)));
}

// ---- checksum substitution -----------------------------------------------------------------------

std::shared_ptr<QRBMIDIChecksumSubstitution> QRBMIDIChecksumSubstitution::make(int64_t type, int64_t from, int64_t to,
                                                                               int64_t index) {
    FND_PARAMETER_ASSERT(from >= 0 && to >= from && index >= 0);
    auto s = std::make_shared<QRBMIDIChecksumSubstitution>();
    s->type_ = type;
    s->from_ = from;
    s->to_ = to;
    s->index_ = index;
    return s;
}

void QRBMIDIChecksumSubstitution::setType(int64_t type) {
    if (type == type_) return;
    registerInverse<QRBMIDIChecksumSubstitution>([old = type_](QRBMIDIChecksumSubstitution& s) { s.setType(old); });
    type_ = type;
    changed();
}

bool QRBMIDIChecksumSubstitution::setCheckFromIndex(int64_t index) {
    if (index < 0) return false;
    if (index == from_) return true;
    registerInverse<QRBMIDIChecksumSubstitution>(
        [old = from_](QRBMIDIChecksumSubstitution& s) { s.setCheckFromIndex(old); });
    from_ = index;
    changed();
    return true;
}

bool QRBMIDIChecksumSubstitution::setCheckToIndex(int64_t index) {
    if (index < 0) return false;
    if (index < from_) index = from_;
    if (index == to_) return true;
    registerInverse<QRBMIDIChecksumSubstitution>(
        [old = to_](QRBMIDIChecksumSubstitution& s) { s.setCheckToIndex(old); });
    to_ = index;
    changed();
    return true;
}

bool QRBMIDIChecksumSubstitution::setTemplateByteIndex(int64_t index) {
    if (index < 0) return false;
    if (index == index_) return true;
    registerInverse<QRBMIDIChecksumSubstitution>(
        [old = index_](QRBMIDIChecksumSubstitution& s) { s.setTemplateByteIndex(old); });
    index_ = index;
    changed();
    return true;
}

uint8_t QRBMIDIChecksumSubstitution::checksum(int64_t type, const uint8_t* bytes, int64_t from, int64_t to) {
    if (from > to) return 0;
    uint8_t sum = 0, x = 0;
    for (int64_t i = from; i <= to; ++i) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
        x = static_cast<uint8_t>(x ^ bytes[i]);
    }
    switch (type) {
    case Sum: return sum & 0x7F;
    case NegatedSum: return static_cast<uint8_t>(-sum) & 0x7F;
    case Xor: return x & 0x7F;
    default: return 0;
    }
}

bool QRBMIDIChecksumSubstitution::isEqualToMIDISubstitution(const QRBMIDISubstitution& other) const {
    if (!QRBMIDISubstitution::isEqualToMIDISubstitution(other)) return false;
    const auto& o = static_cast<const QRBMIDIChecksumSubstitution&>(other);
    return type_ == o.type_ && from_ == o.from_ && to_ == o.to_ && index_ == o.index_;
}

QRBMIDISubstitutionPtr QRBMIDIChecksumSubstitution::copy() const {
    auto c = std::make_shared<QRBMIDIChecksumSubstitution>();
    c->type_ = type_;
    c->from_ = from_;
    c->to_ = to_;
    c->index_ = index_;
    return c;
}

QRBMIDIRange QRBMIDIChecksumSubstitution::computedBitsRange() const {
    const QRBMIDIRange r = checkRange();
    return r.length > 0 ? bitsOfBytes(r) : QRBMIDIRange{};
}

QRBComputedBytesRangePtr QRBMIDIChecksumSubstitution::computedBytesRange() const {
    return QRBComputedBytesRange::bytesRangeWithRange(checkRange(), false);
}

void QRBMIDIChecksumSubstitution::adjustForAddedTemplateBytesInRange(QRBMIDIRange range) {
    setTemplateByteIndex(movedForInsertion(index_, range));
    int64_t first = from_, last = to_;
    moveFieldForInsertion(first, last, range);
    // The last index first when the range grows or moves up, so that it never falls below the first.
    setCheckToIndex(last);
    setCheckFromIndex(first);
}

void QRBMIDIChecksumSubstitution::adjustForRemovedTemplateBytesInRange(QRBMIDIRange range) {
    setTemplateByteIndex(movedForRemoval(index_, range));
    int64_t first = from_, last = to_;
    moveFieldForRemoval(first, last, range);
    setCheckFromIndex(first);
    setCheckToIndex(last);
}

void QRBMIDIChecksumSubstitution::validateSubstitutedBits(const QRBMIDIBitSet& doublyClaimed,
                                                          const QRBMIDIBitSet& computed) {
    QRBMIDIBitSet all = doublyClaimed;
    all.insert(computed.begin(), computed.end());
    QRBMIDISubstitution::validateSubstitutedBits(all, computed);
}

bool QRBMIDIChecksumSubstitution::applySubstitutionOnBuffer(foundation::Data& buffer, const QRBAction*,
                                                            QRBMIDIBufferLayout& layout) {
    const int64_t size = static_cast<int64_t>(buffer.size());
    const int64_t at = layout.position(index_);
    if (at < 0 || at >= size) return false;
    const QRBMIDIRange checked = layout.range(from_, to_);
    if (checked.location < 0 || checked.location >= size || checked.end() >= size) return false;
    buffer[static_cast<size_t>(at)] = checksum(type_, buffer.data(), checked.location, checked.end() - 1);
    return true;
}

void QRBMIDIChecksumSubstitution::substituteZerosInBuffer(foundation::Data& buffer) const {
    if (index_ < static_cast<int64_t>(buffer.size())) buffer[static_cast<size_t>(index_)] = 0;
}

void QRBMIDIChecksumSubstitution::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBMIDISubstitution::encodeWithCoder(coder);
    coder.encodeInteger(type_, kTypeKey);
    coder.encodeInteger(from_, kCheckFromKey);
    coder.encodeInteger(to_, kCheckToKey);
    coder.encodeInteger(index_, kByteIndexKey);
}

void QRBMIDIChecksumSubstitution::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBMIDISubstitution::initWithCoder(coder);
    type_ = coder.decodeInteger(kTypeKey);
    from_ = clampPosition(coder.decodeInteger(kCheckFromKey));
    to_ = std::max(from_, clampPosition(coder.decodeInteger(kCheckToKey)));
    index_ = clampPosition(coder.decodeInteger(kByteIndexKey));
}
