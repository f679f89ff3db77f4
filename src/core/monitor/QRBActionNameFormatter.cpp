#include "core/monitor/QRBActionNameFormatter.h"

namespace {

constexpr std::string_view kRankSeparator = ": ";

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// White space, an optional sign and a digit: the text begins with an integer.
bool beginsWithInteger(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && isSpace(s[i])) ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    return i < s.size() && isDigit(s[i]);
}

}  // namespace

std::optional<std::string> QRBActionNameFormatter::stringForObjectValue(const foundation::Value& object) const {
    if (const std::string* name = object.stringValue()) return *name;
    return std::nullopt;
}

bool QRBActionNameFormatter::getObjectValue(foundation::Value* object, const std::string& string, std::string*) const {
    if (!object) return false;
    *object = foundation::Value(string);
    return true;
}

std::optional<std::string> QRBActionNameFormatter::editingStringForObjectValue(const foundation::Value& object) const {
    const std::string* name = object.stringValue();
    if (!name) return std::nullopt;
    if (size_t at = name->find(kRankSeparator); at != std::string::npos)
        return name->substr(at + kRankSeparator.size());
    if (beginsWithInteger(*name)) return std::string();
    return std::nullopt;
}

std::optional<QRBActionNameFormatter::Parts> QRBActionNameFormatter::attributedStringForObjectValue(
    const foundation::Value& object) const {
    const std::string* name = object.stringValue();
    if (!name) return std::nullopt;
    const size_t at = name->find(kRankSeparator);
    if (at == std::string::npos) return Parts{"", *name};
    const size_t split = at + kRankSeparator.size();
    return Parts{name->substr(0, split), name->substr(split)};
}
