#include "core/osc/QRBTargetSpecFormatter.h"

#include "core/osc/QRBTarget.h"

namespace {
constexpr const char* kEmDash = "\u2014";

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}
}  // namespace

bool QRBTargetSpecFormatter::getObjectValue(std::optional<std::string>* value, const std::string& text,
                                            std::string* error) {
    if (text.empty()) return true;
    if (!QRBTarget::parseTargetSpec(text, error)) return false;
    if (value) *value = text;
    return true;
}

std::optional<size_t> QRBTargetSpecFormatter::highlightedPartStart(const std::string& text) {
    const size_t dash = text.rfind(kEmDash);
    if (dash == std::string::npos) return std::nullopt;
    if (!endsWith(text, "TCP") && !endsWith(text, "UDP")) return std::nullopt;
    return dash;
}
