#include "controllers/SRKeyCodeTransformer.h"

#include "controllers/QRBVirtualKeyCodes.h"
#include "controllers/devices/DeviceLayers.h"

#include <unordered_map>

namespace {

const std::unordered_map<long, const char*>& specialKeys() {
    static const std::unordered_map<long, const char*> keys = {
        {122, "F1"},     {120, "F2"},     {99, "F3"},      {118, "F4"},     {96, "F5"},      {97, "F6"},
        {98, "F7"},      {100, "F8"},     {101, "F9"},     {109, "F10"},    {103, "F11"},    {111, "F12"},
        {105, "F13"},    {107, "F14"},    {113, "F15"},    {106, "F16"},    {49, "Space"},   {51, "\u232B"},
        {117, "\u2326"}, {71, "\u2327"},  {123, "\u2190"}, {124, "\u2192"}, {126, "\u2191"}, {125, "\u2193"},
        {119, "\u2198"}, {115, "\u2196"}, {53, "\u238B"},  {121, "\u21DF"}, {116, "\u21DE"}, {36, "\u21A9"},
        {76, "\u2305"},  {48, "\u21E5"},  {114, "?"},      {63, "Fn"},      {59, "\u2303"},  {58, "\u2325"},
        {55, "\u2318"},  {56, "\u21E7"},  {57, "\u21EA"},
    };
    return keys;
}

constexpr const char* kControlSymbol = "\u2303";
constexpr const char* kOptionSymbol = "\u2325";
constexpr const char* kShiftSymbol = "\u21E7";
constexpr const char* kCommandSymbol = "\u2318";

struct Modifiers {
    bool control, option, shift, command;
};

Modifiers cocoaModifiers(uint64_t flags) {
    return {(flags & devices::kControlKeyFlag) != 0, (flags & devices::kOptionKeyFlag) != 0,
            (flags & devices::kShiftKeyFlag) != 0, (flags & devices::kCommandKeyFlag) != 0};
}

Modifiers carbonModifiers(uint64_t flags) {
    return {(flags & carbon::kControlKey) != 0, (flags & carbon::kOptionKey) != 0, (flags & carbon::kShiftKey) != 0,
            (flags & carbon::kCommandKey) != 0};
}

std::string symbols(Modifiers m) {
    std::string s;
    if (m.control) s += kControlSymbol;
    if (m.option) s += kOptionSymbol;
    if (m.shift) s += kShiftSymbol;
    if (m.command) s += kCommandSymbol;
    return s;
}

// The words come in another order than the symbols: the order people say them in.
std::string words(Modifiers m) {
    std::string s;
    if (m.command) s += "Command + ";
    if (m.option) s += "Option + ";
    if (m.control) s += "Control + ";
    if (m.shift) s += "Shift + ";
    return s;
}

std::string keyText(long keyCode) { return keyCodeDisplayString(keyCode).value_or(std::string()); }

}  // namespace

SRKeyCodeTransformer& SRKeyCodeTransformer::sharedTransformer() {
    static SRKeyCodeTransformer transformer;
    return transformer;
}

SRKeyCodeTransformer::SRKeyCodeTransformer() { regenerateStringToKeyCodeMapping(); }

std::optional<std::string> SRKeyCodeTransformer::transformedValue(long keyCode) const {
    // Codes are 16-bit signed values: what the sign bit turns negative names no key.
    const auto code = static_cast<int16_t>(keyCode);
    if (code < 0 || code == 1024) return std::nullopt;
    if (auto special = specialKeys().find(code); special != specialKeys().end()) return std::string(special->second);
    const uint32_t xKeyCode = QRBXKeyCodeForVirtualKeyCode(static_cast<uint16_t>(code));
    if (xKeyCode == 0) return std::nullopt;
    const bool keypad = QRBIsKeypadVirtualKeyCode(static_cast<uint16_t>(code));
    auto text = devices::DeviceLayers::current().keyboard->keyText(xKeyCode, keypad);
    if (!text || text->empty()) return std::nullopt;
    return keypad ? "Pad " + *text : *text;
}

std::optional<uint16_t> SRKeyCodeTransformer::reverseTransformedValue(const std::string& text) const {
    auto it = stringToKeyCode_.find(text);
    if (it == stringToKeyCode_.end()) return std::nullopt;
    return it->second;
}

void SRKeyCodeTransformer::regenerateStringToKeyCodeMapping() {
    stringToKeyCode_.clear();
    for (uint16_t code = 0; code < 128; ++code) {
        if (auto text = transformedValue(code); text && !text->empty()) stringToKeyCode_[*text] = code;
    }
}

std::optional<std::string> keyCodeDisplayString(long keyCode) {
    return SRKeyCodeTransformer::sharedTransformer().transformedValue(keyCode);
}

std::string cocoaModifierSymbols(uint64_t flags) { return symbols(cocoaModifiers(flags)); }
std::string carbonModifierSymbols(uint64_t flags) { return symbols(carbonModifiers(flags)); }

std::string cocoaKeyComboString(uint64_t flags, long keyCode) { return cocoaModifierSymbols(flags) + keyText(keyCode); }
std::string carbonKeyComboString(uint64_t flags, long keyCode) {
    return carbonModifierSymbols(flags) + keyText(keyCode);
}
std::string readableCocoaKeyComboString(uint64_t flags, long keyCode) {
    return words(cocoaModifiers(flags)) + keyText(keyCode);
}
std::string readableCarbonKeyComboString(uint64_t flags, long keyCode) {
    return words(carbonModifiers(flags)) + keyText(keyCode);
}

uint64_t cocoaFlagsFromCarbonFlags(uint64_t carbonFlags) {
    uint64_t flags = 0;
    if (carbonFlags & carbon::kCommandKey) flags |= devices::kCommandKeyFlag;
    if (carbonFlags & carbon::kOptionKey) flags |= devices::kOptionKeyFlag;
    if (carbonFlags & carbon::kControlKey) flags |= devices::kControlKeyFlag;
    if (carbonFlags & carbon::kShiftKey) flags |= devices::kShiftKeyFlag;
    return flags | (carbonFlags & kFunctionKeyFlag);
}

uint64_t carbonFlagsFromCocoaFlags(uint64_t cocoaFlags) {
    uint64_t flags = 0;
    if (cocoaFlags & devices::kCommandKeyFlag) flags |= carbon::kCommandKey;
    if (cocoaFlags & devices::kOptionKeyFlag) flags |= carbon::kOptionKey;
    if (cocoaFlags & devices::kControlKeyFlag) flags |= carbon::kControlKey;
    if (cocoaFlags & devices::kShiftKeyFlag) flags |= carbon::kShiftKey;
    return flags | (cocoaFlags & kFunctionKeyFlag);
}

bool keyCombosEqual(uint64_t flags1, uint16_t code1, uint64_t flags2, uint16_t code2) {
    return flags1 == flags2 && code1 == code2;
}
