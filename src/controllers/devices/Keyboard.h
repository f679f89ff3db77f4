#pragma once
// The keyboard as the key texts, the key viewer and the key combination check see it: what a key
// types in the layout in use, which keys are down, and whether a key combination is already taken
// by another program of the desktop.
//
// Keys are named here by their X key code (the kernel's evdev code + 8); the outputs' virtual key
// codes are turned into them by QRBVirtualKeyCodes. The system's backend and the keymap-compiled
// one the tests use live in src/platform/desktop/. The default keyboard belongs to a machine
// without a desktop: no key types anything, none is down, nothing is taken.
//
// Main thread only.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace devices {

// XQueryKeymap's layout: X key code k is bit (k mod 8), counted from the least significant, of
// byte k / 8.
using XKeymapState = std::array<uint8_t, 32>;

enum class HotKeyProbe {
    Free,
    Taken,
    // The desktop could not be asked.
    Unknown,
};

class Keyboard {
public:
    virtual ~Keyboard() = default;

    // What the key types with no modifier held (keypad keys with NumLock on), upper-cased; none
    // when it types nothing printable.
    virtual std::optional<std::string> keyText(uint32_t xKeyCode, bool numLock) const = 0;
    // The keys down now.
    virtual XKeymapState keysDown() const = 0;
    // Whether another program holds the key with these modifier flags (kShiftKeyFlag...) as a
    // shortcut of the whole desktop.
    virtual HotKeyProbe probeHotKey(uint32_t xKeyCode, uint64_t flags) = 0;
};

}  // namespace devices
