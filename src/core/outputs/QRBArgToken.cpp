#include "core/outputs/QRBArgToken.h"

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBActionHost.h"
#include "core/mapping/QRBActionLocation.h"
#include "core/mapping/QRBContext.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/UTF8.h"
#include "foundation/UndoManager.h"

#include <locale.h>
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <typeinfo>

namespace {

constexpr const char* kTypeKey = "QRBArgTokenType";
constexpr const char* kVersionKey = "Version";
constexpr const char* kArgKey = "QRBArgTokenArg";
constexpr const char* kIndexKey = "QRBArgTokenIndex";
constexpr const char* kLocationKey = "location";
constexpr const char* kLegacyRefActionKey = "QRBArgTokenRefAction";
constexpr const char* kTokensKey = "tokens";
constexpr int32_t kStaticVersion = 2;

int32_t normalizedType(int32_t type) { return type == 'f' || type == 'i' || type == 's' ? type : '='; }

// ---- Text scanning ---------------------------------------------------------------------------

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

using foundation::isValidUTF8;

// Reads a text element by element, skipping white space before each, matching keywords without
// regard to case.
class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}

    size_t position() const { return pos_; }

    bool scanString(std::string_view keyword) {
        skipSpace();
        if (text_.size() - pos_ < keyword.size()) return false;
        for (size_t k = 0; k < keyword.size(); ++k)
            if (lower(text_[pos_ + k]) != lower(keyword[k])) return false;
        pos_ += keyword.size();
        return true;
    }

    // The characters up to `stop` (or to the end), after white space.
    std::string_view scanUpTo(char stop) {
        skipSpace();
        const size_t start = pos_;
        while (pos_ < text_.size() && text_[pos_] != stop) ++pos_;
        return text_.substr(start, pos_ - start);
    }

    // A decimal integer with an optional sign, saturating at the limits of 64 bits.
    std::optional<int64_t> scanInteger() {
        skipSpace();
        size_t i = pos_;
        bool negative = false;
        if (i < text_.size() && (text_[i] == '+' || text_[i] == '-')) negative = text_[i++] == '-';
        if (i >= text_.size() || !isDigit(text_[i])) return std::nullopt;
        int64_t value = 0;
        for (; i < text_.size() && isDigit(text_[i]); ++i) {
            const int digit = text_[i] - '0';
            if (value > (INT64_MAX - digit) / 10)
                value = INT64_MAX;
            else
                value = value * 10 + digit;
        }
        pos_ = i;
        return negative ? -value : value;
    }

private:
    void skipSpace() {
        while (pos_ < text_.size() && isSpace(text_[pos_])) ++pos_;
    }

    std::string_view text_;
    size_t pos_ = 0;
};

locale_t cLocale() {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return c;
}

// The number when the whole text, apart from white space around it, is one decimal number:
// digits with an optional fraction and exponent. Hexadecimal, infinities and NaN are texts.
std::optional<double> wholeDecimalNumber(std::string_view s) {
    size_t start = 0, end = s.size();
    while (start < end && isSpace(s[start])) ++start;
    while (end > start && isSpace(s[end - 1])) --end;
    size_t i = start;
    if (i < end && (s[i] == '+' || s[i] == '-')) ++i;
    size_t digits = 0;
    while (i < end && isDigit(s[i])) {
        ++i;
        ++digits;
    }
    if (i < end && s[i] == '.') {
        ++i;
        while (i < end && isDigit(s[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) return std::nullopt;
    if (i < end && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < end && (s[i] == '+' || s[i] == '-')) ++i;
        if (i >= end || !isDigit(s[i])) return std::nullopt;
        while (i < end && isDigit(s[i])) ++i;
    }
    if (i != end) return std::nullopt;
    const std::string number(s.substr(start, end - start));
    return strtod_l(number.c_str(), nullptr, cLocale());
}

bool fitsInt32(double x) { return x >= INT32_MIN && x <= INT32_MAX; }

float narrowSaturating(double x) {
    if (x > FLT_MAX) return FLT_MAX;
    if (x < -FLT_MAX) return -FLT_MAX;
    return static_cast<float>(x);
}

// The literal reading of a text into `value`; nothing changes for a text that is not UTF-8.
void readLiteral(QRBArg& value, const std::string& whole) {
    if (!isValidUTF8(whole)) return;
    // An OSC string ends at its first NUL: the text is read as the value will hold it.
    const std::string text = whole.substr(0, whole.find('\0'));
    if (std::optional<double> x = wholeDecimalNumber(text)) {
        // The number as written decides: a fraction makes a float even when single precision
        // rounds it to a whole number (2.9999999999 is the float 3). Whole numbers that fit are
        // exact int32 values; larger ones are floats rather than wrapped integers.
        if (std::trunc(*x) == *x && fitsInt32(*x)) {
            value.setLibloType('i');
            value.setInt32Value(static_cast<int32_t>(*x));
        } else {
            value.setLibloType('f');
            value.setFloatValue(narrowSaturating(*x));
        }
        return;
    }
    value.setLibloType('s');
    value.setStringValue(text);
}

bool readsBackAs(const std::string& text, const QRBArg& value) {
    QRBArg read;
    readLiteral(read, text);
    return read.isEqualToArg(value);
}

// The shortest text among "%.1g" to "%.17g" of `x` that reads back as `value`.
std::optional<std::string> shortestTextReadingBack(double x, const QRBArg& value) {
    for (int digits = 1; digits <= 17; ++digits) {
        std::string text = foundation::format("%.*g", digits, x);
        if (readsBackAs(text, value)) return text;
    }
    return std::nullopt;
}

// The editing text of a float literal: two decimals as plain text shows floats, unless that
// would read back as another value (0.125 is not 0.12); then the shortest text that reads back.
// A whole float that was written with a fraction (2.9999999999 is the float 3) needs a fraction
// to stay a float: a number a quarter of the way to the next float away from zero, which
// single precision rounds back to the same float.
std::string floatEditingText(const QRBArg& value) {
    const std::string plain = value.stringValue().value_or(std::string());
    const float f = value.floatValue();
    if (!std::isfinite(f) || readsBackAs(plain, value)) return plain;
    if (auto text = shortestTextReadingBack(static_cast<double>(f), value)) return *text;
    const float away = std::nextafter(f, std::signbit(f) ? -INFINITY : INFINITY);
    if (std::isfinite(away)) {
        const double gap = std::fabs(static_cast<double>(away) - static_cast<double>(f));
        const double step = std::min(gap / 4, 0.5);
        const double near = static_cast<double>(f) + (std::signbit(f) ? -step : step);
        if (auto text = shortestTextReadingBack(near, value)) return *text;
    }
    return plain;
}

// The index form after "arg" or "var": an optional type text, "[" and a non-negative integer.
// Answers the token, null when the form is missing (the text is a literal), or sets `refused`
// for an index that no argument or variable can have.
template <class T> QRBArgTokenPtr parseIndexForm(Scanner& scanner, bool& refused) {
    const std::string_view typeText = scanner.scanUpTo('[');
    if (!scanner.scanString("[")) return nullptr;
    std::optional<int64_t> index = scanner.scanInteger();
    if (!index) return nullptr;
    if (*index < 0 || static_cast<uint64_t>(*index) > QRBArgTokenIndexValue::kMaxIndex) {
        refused = true;
        return nullptr;
    }
    auto token = std::make_shared<T>(static_cast<uint64_t>(*index));
    if (typeText == "i" || typeText == "f" || typeText == "s") token->setType(typeText[0]);
    return token;
}

// `inGroup`: a group's member is never a group itself, so that a text of nested parentheses
// can't make the parser recurse without bound.
QRBArgTokenPtr parse(const std::string& text, bool inGroup) {
    if (text.empty()) return nullptr;
    {
        Scanner scanner(text);
        if (scanner.scanString("$")) {
            // "args" before "arg": every text that begins with $args is the all-arguments token.
            bool refused = false;
            QRBArgTokenPtr token;
            if (scanner.scanString("args"))
                token = std::make_shared<QRBArgTokenCopy>();
            else if (scanner.scanString("arg"))
                token = parseIndexForm<QRBArgTokenIndexValue>(scanner, refused);
            else if (scanner.scanString("var"))
                token = parseIndexForm<QRBArgTokenVarRef>(scanner, refused);
            else if (scanner.scanString("$"))
                token = std::make_shared<QRBArgTokenStatic>("$");
            if (refused) return nullptr;
            if (token) return token;
        }
    }
    if (!inGroup) {
        Scanner scanner(text);
        if (scanner.scanString("(")) {
            const size_t open = scanner.position();
            const size_t close = text.find(')', open);
            const std::string inside = text.substr(open, close == std::string::npos ? std::string::npos : close - open);
            if (!inside.empty()) {
                std::vector<QRBArgTokenPtr> members;
                size_t from = 0;
                while (true) {
                    const size_t comma = inside.find(',', from);
                    QRBArgTokenPtr member =
                        parse(inside.substr(from, comma == std::string::npos ? std::string::npos : comma - from), true);
                    if (!member) return nullptr;
                    members.push_back(std::move(member));
                    if (comma == std::string::npos) break;
                    from = comma + 1;
                }
                return std::make_shared<QRBArgTokenGroup>(std::move(members));
            }
        }
    }
    // A lone "$" is the empty text; "$$" is the way to write a dollar sign.
    return std::make_shared<QRBArgTokenStatic>(text == "$" ? std::string() : text);
}

// Locations are the same place when they name the same context and path; the display name is
// only what was shown when the location was made.
bool sameLocation(const QRBActionLocation* a, const QRBActionLocation* b) {
    if (!a || !b) return a == b;
    return a->contextName() == b->contextName() && a->pathComponents() == b->pathComponents();
}

}  // namespace

// ---- QRBArgToken -------------------------------------------------------------------------------

QRBArgToken::QRBArgToken(int32_t type) : type_(normalizedType(type)) {}

QRBArgTokenPtr QRBArgToken::parseArgToken(const std::optional<std::string>& text) {
    if (!text || !isValidUTF8(*text)) return nullptr;
    return parse(*text, false);
}

void QRBArgToken::setType(int32_t type) {
    type = normalizedType(type);
    if (type == type_) return;
    if (auto undo = registeringUndoManager())
        undo->registerUndo(this, [self = selfAs<QRBArgToken>(), old = type_] { self->setType(old); });
    type_ = type;
}

void QRBArgToken::setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) {
    undoManager_ = undoManager;
}

std::shared_ptr<foundation::UndoManager> QRBArgToken::registeringUndoManager() const {
    auto undo = undoManager_.lock();
    return undo && undo->isUndoRegistrationEnabled() ? undo : nullptr;
}

QRBArgPtr QRBArgToken::coerced(const QRBArg& value) const { return value.coerceTo(type_); }

void QRBArgToken::processAction(const QRBAction& action, std::vector<QRBArgPtr>& result) const {
    result.push_back(coerced(*action.argValue()));
}

std::string QRBArgToken::typePrefixString() const {
    switch (type_) {
    case '=': return "";
    case 's': return "s:";
    case 'i': return "i:";
    case 'f': return "f:";
    default:
        throw foundation::Exception(foundation::kGenericException, foundation::format(kUnhandledTypeFormat, type_));
    }
}

std::string QRBArgToken::displayString() const {
    const std::string prefix = typePrefixString();
    // The letter alone: "s", "i", "f".
    return prefix.empty() ? prefix : prefix.substr(0, 1);
}

std::optional<std::string> QRBArgToken::editingString() const {
    std::optional<std::string> suffix = typeSuffixString();
    if (!suffix) return std::nullopt;
    return "$" + *suffix;
}

bool QRBArgToken::isEqualToArgToken(const QRBArgToken& other) const {
    if (&other == this) return true;
    return typeid(other) == typeid(*this) && other.type_ == type_;
}

QRBArgTokenPtr QRBArgToken::copy() const {
    QRBArgTokenPtr result = makeEmptyCopy();
    copyInto(*result);
    return result;
}

void QRBArgToken::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    foundation::Object::encodeWithCoder(coder);
    coder.encodeInt32(type_, kTypeKey);
}

void QRBArgToken::initWithCoder(foundation::KeyedUnarchiver& coder) {
    foundation::Object::initWithCoder(coder);
    // A token without a known type letter keeps the value's type rather than failing at every
    // fire of its route.
    type_ = normalizedType(coder.decodeInt32(kTypeKey));
}

// ---- QRBArgTokenCopy ---------------------------------------------------------------------------

void QRBArgTokenCopy::processAction(const QRBAction& action, std::vector<QRBArgPtr>& result) const {
    if (action.isMultiArgument()) {
        if (auto context = dynamic_cast<const QRBContext*>(&action)) {
            if (const auto& message = context->lastReceivedMessage())
                result.insert(result.end(), message->arguments().begin(), message->arguments().end());
            return;
        }
    }
    result.push_back(action.argValue()->copy());
}

// ---- QRBArgTokenStatic -------------------------------------------------------------------------

QRBArgTokenStatic::QRBArgTokenStatic() : arg_(std::make_shared<QRBArg>()) {}

QRBArgTokenStatic::QRBArgTokenStatic(const std::string& text) : QRBArgTokenStatic() { setStringValue(text); }

void QRBArgTokenStatic::setStringValue(const std::string& text) { readLiteral(*arg_, text); }

bool QRBArgTokenStatic::hasNativeType() const {
    if (type() == '=') return true;
    if (!arg_->hasNumericType()) return type() == 's';
    const float f = arg_->floatValue();
    const bool fractional = std::trunc(f) != f;
    return (type() == 'f' && fractional) || (type() == 'i' && !fractional);
}

void QRBArgTokenStatic::processAction(const QRBAction&, std::vector<QRBArgPtr>& result) const {
    result.push_back(coerced(*arg_));
}

std::string QRBArgTokenStatic::displayString() const {
    const std::string shown = arg_->prettyPrintToString().value_or(std::string());
    return hasNativeType() ? shown : typePrefixString() + shown;
}

std::optional<std::string> QRBArgTokenStatic::editingString() const {
    switch (arg_->libloType()) {
    case 's':
    case 'S': {
        std::string text = arg_->stringValue().value_or(std::string());
        // The texts the parser reads as the empty string and as a dollar sign.
        if (text.empty()) return "$";
        if (text == "$") return "$$";
        return text;
    }
    case 'f': return floatEditingText(*arg_);
    default: return arg_->stringValue();
    }
}

bool QRBArgTokenStatic::canCoerceToNumber() const {
    if (arg_->hasNumericType()) return true;
    std::optional<std::string> text = arg_->stringValue();
    return text && wholeDecimalNumber(*text).has_value();
}

bool QRBArgTokenStatic::isEqualToArgToken(const QRBArgToken& other) const {
    if (&other == this) return true;
    return QRBArgToken::isEqualToArgToken(other) &&
           static_cast<const QRBArgTokenStatic&>(other).arg_->isEqualToArg(*arg_);
}

void QRBArgTokenStatic::copyInto(QRBArgToken& copy) const {
    QRBArgToken::copyInto(copy);
    static_cast<QRBArgTokenStatic&>(copy).arg_ = arg_->copy();
}

void QRBArgTokenStatic::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBArgToken::encodeWithCoder(coder);
    coder.encodeInt32(kStaticVersion, kVersionKey);
    coder.encodeObject(foundation::Value(arg_), kArgKey);
}

void QRBArgTokenStatic::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBArgToken::initWithCoder(coder);
    arg_ = std::make_shared<QRBArg>();
    if (coder.decodeInt32(kVersionKey) > 1) {
        if (QRBArgPtr arg = coder.decodeObjectOfClass<QRBArg>(kArgKey)) arg_ = arg->copy();
        return;
    }
    // Older documents keep the literal as its text (anything else as its description).
    const foundation::Value entry = coder.decodeObject(kArgKey);
    std::string text;
    switch (entry.type()) {
    case foundation::Value::Type::Null: return;
    case foundation::Value::Type::String: text = *entry.stringValue(); break;
    case foundation::Value::Type::Bool:
    case foundation::Value::Type::Integer:
        text = foundation::format("%lld", static_cast<long long>(*entry.integerValue()));
        break;
    case foundation::Value::Type::Real: text = foundation::format("%.17g", *entry.realValue()); break;
    default: text = entry.debugDescription(); break;
    }
    setStringValue(text);
}

// ---- QRBArgTokenIndexValue ---------------------------------------------------------------------

void QRBArgTokenIndexValue::setIndex(uint64_t index) {
    index = std::min(index, kMaxIndex);
    if (index == index_) return;
    if (auto undo = registeringUndoManager())
        undo->registerUndo(this, [self = selfAs<QRBArgTokenIndexValue>(), old = index_] { self->setIndex(old); });
    index_ = index;
}

void QRBArgTokenIndexValue::processAction(const QRBAction& action, std::vector<QRBArgPtr>& result) const {
    // A context's argument as received; past the last one, and for a single action, the action's
    // own scaled value.
    if (action.isMultiArgument()) {
        if (auto context = dynamic_cast<const QRBContext*>(&action)) {
            const auto& message = context->lastReceivedMessage();
            if (message && index_ < message->arguments().size() && message->arguments()[index_]) {
                result.push_back(coerced(*message->arguments()[index_]));
                return;
            }
        }
    }
    result.push_back(coerced(*action.argValue()));
}

std::string QRBArgTokenIndexValue::displayString() const {
    return foundation::format("%s%s[%llu]", typePrefixString().c_str(), typeSuffixString().value_or("").c_str(),
                              static_cast<unsigned long long>(index_));
}

std::optional<std::string> QRBArgTokenIndexValue::editingString() const {
    const std::string suffix = typeSuffixString().value_or("");
    std::string letter = type() == '=' ? "" : std::string(1, static_cast<char>(type()));
    // "$args[N]" would read back as every argument; the space keeps "arg" and "s" apart.
    if (suffix == "arg" && letter == "s") letter = " s";
    return foundation::format("$%s%s[%llu]", suffix.c_str(), letter.c_str(), static_cast<unsigned long long>(index_));
}

bool QRBArgTokenIndexValue::isEqualToArgToken(const QRBArgToken& other) const {
    if (&other == this) return true;
    return QRBArgToken::isEqualToArgToken(other) && static_cast<const QRBArgTokenIndexValue&>(other).index_ == index_;
}

void QRBArgTokenIndexValue::copyInto(QRBArgToken& copy) const {
    QRBArgToken::copyInto(copy);
    static_cast<QRBArgTokenIndexValue&>(copy).index_ = index_;
}

void QRBArgTokenIndexValue::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBArgToken::encodeWithCoder(coder);
    coder.encodeInteger(static_cast<int64_t>(index_), kIndexKey);
}

void QRBArgTokenIndexValue::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBArgToken::initWithCoder(coder);
    const int64_t index = coder.decodeInteger(kIndexKey);
    if (index < 0)
        throw foundation::ArchiveError(
            foundation::format("%s: negative index %lld", archivedClassName().c_str(), static_cast<long long>(index)));
    index_ = std::min(static_cast<uint64_t>(index), kMaxIndex);
}

// ---- QRBArgTokenVarRef -------------------------------------------------------------------------

void QRBArgTokenVarRef::processAction(const QRBAction& action, std::vector<QRBArgPtr>& result) const {
    auto host = action.oscManagerOfContext();
    if (!host) return;
    if (QRBArgPtr variable = host->variableValueAtIndex(index())) result.push_back(coerced(*variable));
}

// ---- QRBArgTokenByRef --------------------------------------------------------------------------

QRBArgTokenByRef::QRBArgTokenByRef(const std::shared_ptr<QRBActionLocation>& location, int32_t type)
    : QRBArgToken(type), location_(location ? location->copy() : nullptr) {}

std::shared_ptr<QRBActionLocation> QRBArgTokenByRef::location() const {
    if (!location_) {
        if (auto action = legacyAction_.lock()) {
            // The action knows its place only once the document holding it is whole; until then
            // asking fails and is asked again next time.
            try {
                if (action->context()) {
                    location_ = action->location();
                    legacyAction_.reset();
                }
            } catch (const foundation::Exception&) {}
        }
    }
    return location_;
}

void QRBArgTokenByRef::setLocation(const std::shared_ptr<QRBActionLocation>& location) {
    location_ = location ? location->copy() : nullptr;
    legacyAction_.reset();
}

std::shared_ptr<QRBAction> QRBArgTokenByRef::resolve(const QRBAction& action) const {
    auto where = location();
    return where ? where->resolveUsing(action) : nullptr;
}

std::string QRBArgTokenByRef::referenceName() const {
    if (location_) return location_->displayName();
    // Shown while an older document is still being read: the name without keeping the place.
    if (auto action = legacyAction_.lock()) {
        try {
            return action->fullDisplayName();
        } catch (const foundation::Exception&) {}
    }
    return "";
}

void QRBArgTokenByRef::processAction(const QRBAction& action, std::vector<QRBArgPtr>& result) const {
    if (auto referred = resolve(action)) result.push_back(coerced(*referred->argValue()));
}

std::string QRBArgTokenByRef::displayString() const {
    return foundation::format("%sbref %s", typePrefixString().c_str(), referenceName().c_str());
}

bool QRBArgTokenByRef::isEqualToArgToken(const QRBArgToken& other) const {
    if (&other == this) return true;
    return QRBArgToken::isEqualToArgToken(other) &&
           sameLocation(location().get(), static_cast<const QRBArgTokenByRef&>(other).location().get());
}

void QRBArgTokenByRef::copyInto(QRBArgToken& copy) const {
    QRBArgToken::copyInto(copy);
    auto& target = static_cast<QRBArgTokenByRef&>(copy);
    auto where = location();
    target.location_ = where ? where->copy() : nullptr;
    target.legacyAction_ = legacyAction_;
}

void QRBArgTokenByRef::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBArgToken::encodeWithCoder(coder);
    coder.encodeObject(foundation::Value(location()), kLocationKey);
}

void QRBArgTokenByRef::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBArgToken::initWithCoder(coder);
    if (coder.containsValueForKey(kLegacyRefActionKey)) {
        // The action may still be in the middle of its own decoding (its output is this token's
        // route): its location is taken when first needed.
        legacyAction_ = coder.decodeObjectOfClass<QRBAction>(kLegacyRefActionKey);
        if (!legacyAction_.expired()) return;
    }
    location_ = coder.decodeObjectOfClass<QRBActionLocation>(kLocationKey);
}

// ---- QRBArgTokenUpdateRef ----------------------------------------------------------------------

void QRBArgTokenUpdateRef::processAction(const QRBAction& action, std::vector<QRBArgPtr>& result) const {
    auto referred = resolve(action);
    if (!referred) return;
    const QRBArg& value = *action.argValue();
    referred->argValue()->makeSameAsValue(value);
    for (const auto& below : referred->actions()) below->argValue()->makeSameAsValue(value);
    result.push_back(coerced(*referred->argValue()));
}

std::string QRBArgTokenUpdateRef::displayString() const {
    return foundation::format("%suref %s", typePrefixString().c_str(), referenceName().c_str());
}

// ---- QRBArgTokenGroup --------------------------------------------------------------------------

QRBArgTokenGroup::QRBArgTokenGroup(std::vector<QRBArgTokenPtr> tokens) : tokens_(std::move(tokens)) {
    const size_t count = tokens_.size();
    FND_PARAMETER_ASSERT(count > 0);
    for (const auto& token : tokens_) FND_PARAMETER_ASSERT(token != nullptr);
}

void QRBArgTokenGroup::setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) {
    QRBArgToken::setUndoManager(undoManager);
    for (const auto& token : tokens_) token->setUndoManager(undoManager);
}

void QRBArgTokenGroup::processAction(const QRBAction& action, std::vector<QRBArgPtr>& result) const {
    const QRBArg& value = *action.argValue();
    const double range = action.outputMax() - action.outputMin();
    if (range == 0 || !value.hasNumericType() || tokens_.empty()) return;
    const double n = static_cast<double>(tokens_.size());
    // The value itself, not its distance from the output minimum, picks the member.
    const double position = std::floor(value.doubleValue() * n / std::fabs(range));
    // A value that is not a number picks none; infinities pick the first or the last.
    if (std::isnan(position)) return;
    size_t index = 0;
    if (position >= n)
        index = tokens_.size() - 1;
    else if (position > 0)
        index = static_cast<size_t>(position);
    tokens_[index]->processAction(action, result);
}

std::string QRBArgTokenGroup::displayString() const {
    std::string joined;
    for (size_t i = 0; i < tokens_.size(); ++i) {
        if (i) joined += ",";
        joined += tokens_[i]->displayString();
    }
    return "(" + joined + ")";
}

std::optional<std::string> QRBArgTokenGroup::editingString() const {
    std::string joined;
    for (size_t i = 0; i < tokens_.size(); ++i) {
        std::optional<std::string> text = tokens_[i]->editingString();
        if (!text) return std::nullopt;
        if (i) joined += ",";
        joined += *text;
    }
    return "(" + joined + ")";
}

bool QRBArgTokenGroup::isEqualToArgToken(const QRBArgToken& other) const {
    if (&other == this) return true;
    if (!QRBArgToken::isEqualToArgToken(other)) return false;
    const auto& members = static_cast<const QRBArgTokenGroup&>(other).tokens_;
    if (members.size() != tokens_.size()) return false;
    for (size_t i = 0; i < tokens_.size(); ++i)
        if (!tokens_[i]->isEqualToArgToken(*members[i])) return false;
    return true;
}

void QRBArgTokenGroup::copyInto(QRBArgToken& copy) const {
    QRBArgToken::copyInto(copy);
    auto& target = static_cast<QRBArgTokenGroup&>(copy);
    target.tokens_.clear();
    for (const auto& token : tokens_) target.tokens_.push_back(token->copy());
}

void QRBArgTokenGroup::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBArgToken::encodeWithCoder(coder);
    foundation::Array members;
    for (const auto& token : tokens_) members.emplace_back(token);
    coder.encodeObject(foundation::Value(std::move(members)), kTokensKey);
}

void QRBArgTokenGroup::initWithCoder(foundation::KeyedUnarchiver& coder) {
    struct DecodingFlag {
        bool& flag;
        explicit DecodingFlag(bool& f) : flag(f) { flag = true; }
        ~DecodingFlag() { flag = false; }
    } decoding(decoding_);

    QRBArgToken::initWithCoder(coder);
    const foundation::Value list = coder.decodeObject(kTokensKey);
    const foundation::Array* entries = list.arrayValue();
    if (!entries || entries->empty()) throw foundation::ArchiveError("QRBArgTokenGroup: no members");
    std::vector<QRBArgTokenPtr> members;
    for (const auto& entry : *entries) {
        auto token = entry.object<QRBArgToken>();
        if (!token) throw foundation::ArchiveError("QRBArgTokenGroup: a member is not a token");
        if (auto group = std::dynamic_pointer_cast<QRBArgTokenGroup>(token); group && group->decoding_)
            throw foundation::ArchiveError("QRBArgTokenGroup: a group inside itself");
        members.push_back(std::move(token));
    }
    tokens_ = std::move(members);
}
