#pragma once
// Key codes as text, for the names of the key outputs, the key combinations and the key viewer:
// the keys that type nothing (arrows, function keys, modifiers...) have fixed texts, every other
// key shows what it types in the keyboard layout in use (read through the keyboard layer), and
// modifier flags are drawn as symbols (⌃⌥⇧⌘) or spelled out ("Command + ").
//
// Flags come in two layouts: the one the outputs store (Cocoa: shift 0x20000, control 0x40000,
// option 0x80000, command 0x100000) and the compact one of the shortcut check (Carbon: command
// 0x100, shift 0x200, option 0x800, control 0x1000). The function-key bit 0x800000 is the same in
// both.
//
// Main thread only.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

class SRKeyCodeTransformer {
public:
    // The one the text helpers use, made at the first call.
    static SRKeyCodeTransformer& sharedTransformer();

    SRKeyCodeTransformer();

    // The text of the key code; none for a negative code, 1024 (no key) and a key that types
    // nothing in the layout in use.
    std::optional<std::string> transformedValue(long keyCode) const;
    // The key code of a text, as the codes 0 to 127 showed when the map was made.
    std::optional<uint16_t> reverseTransformedValue(const std::string& text) const;
    // Remakes the reverse map from the layout in use (a later code wins a shared text).
    void regenerateStringToKeyCodeMapping();

private:
    std::map<std::string, uint16_t> stringToKeyCode_;
};

std::optional<std::string> keyCodeDisplayString(long keyCode);

std::string cocoaModifierSymbols(uint64_t flags);
std::string carbonModifierSymbols(uint64_t flags);
// The symbols, then the key's text (nothing when it has none).
std::string cocoaKeyComboString(uint64_t flags, long keyCode);
std::string carbonKeyComboString(uint64_t flags, long keyCode);
// "Command + Option + Control + Shift + " as set, then the key's text.
std::string readableCocoaKeyComboString(uint64_t flags, long keyCode);
std::string readableCarbonKeyComboString(uint64_t flags, long keyCode);

uint64_t cocoaFlagsFromCarbonFlags(uint64_t carbonFlags);
uint64_t carbonFlagsFromCocoaFlags(uint64_t cocoaFlags);

bool keyCombosEqual(uint64_t flags1, uint16_t code1, uint64_t flags2, uint16_t code2);

namespace carbon {
inline constexpr uint64_t kCommandKey = 0x100;
inline constexpr uint64_t kShiftKey = 0x200;
inline constexpr uint64_t kOptionKey = 0x800;
inline constexpr uint64_t kControlKey = 0x1000;
}  // namespace carbon
inline constexpr uint64_t kFunctionKeyFlag = 0x800000;
