#include "controllers/QRBVirtualKeyCodes.h"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <array>

namespace {

// Indexed by virtual key code. The modifiers: Command is Super (the Meta keys), Option is Alt.
// The Help key stands where PC keyboards have Insert; the keypad's Clear where they have NumLock.
// clang-format off
constexpr std::array<uint16_t, 128> kEvdevCodes = {
    /*   0 */ KEY_A, KEY_S, KEY_D, KEY_F, KEY_H, KEY_G, KEY_Z, KEY_X,
    /*   8 */ KEY_C, KEY_V, KEY_102ND, KEY_B, KEY_Q, KEY_W, KEY_E, KEY_R,
    /*  16 */ KEY_Y, KEY_T, KEY_1, KEY_2, KEY_3, KEY_4, KEY_6, KEY_5,
    /*  24 */ KEY_EQUAL, KEY_9, KEY_7, KEY_MINUS, KEY_8, KEY_0, KEY_RIGHTBRACE, KEY_O,
    /*  32 */ KEY_U, KEY_LEFTBRACE, KEY_I, KEY_P, KEY_ENTER, KEY_L, KEY_J, KEY_APOSTROPHE,
    /*  40 */ KEY_K, KEY_SEMICOLON, KEY_BACKSLASH, KEY_COMMA, KEY_SLASH, KEY_N, KEY_M, KEY_DOT,
    /*  48 */ KEY_TAB, KEY_SPACE, KEY_GRAVE, KEY_BACKSPACE, 0, KEY_ESC, KEY_RIGHTMETA, KEY_LEFTMETA,
    /*  56 */ KEY_LEFTSHIFT, KEY_CAPSLOCK, KEY_LEFTALT, KEY_LEFTCTRL, KEY_RIGHTSHIFT, KEY_RIGHTALT, KEY_RIGHTCTRL, 0,
    /*  64 */ KEY_F17, KEY_KPDOT, 0, KEY_KPASTERISK, 0, KEY_KPPLUS, 0, KEY_NUMLOCK,
    /*  72 */ KEY_VOLUMEUP, KEY_VOLUMEDOWN, KEY_MUTE, KEY_KPSLASH, KEY_KPENTER, 0, KEY_KPMINUS, KEY_F18,
    /*  80 */ KEY_F19, KEY_KPEQUAL, KEY_KP0, KEY_KP1, KEY_KP2, KEY_KP3, KEY_KP4, KEY_KP5,
    /*  88 */ KEY_KP6, KEY_KP7, KEY_F20, KEY_KP8, KEY_KP9, KEY_YEN, KEY_RO, KEY_KPJPCOMMA,
    /*  96 */ KEY_F5, KEY_F6, KEY_F7, KEY_F3, KEY_F8, KEY_F9, KEY_HANJA, KEY_F11,
    /* 104 */ KEY_HANGEUL, KEY_F13, KEY_F16, KEY_F14, 0, KEY_F10, KEY_COMPOSE, KEY_F12,
    /* 112 */ 0, KEY_F15, KEY_INSERT, KEY_HOME, KEY_PAGEUP, KEY_DELETE, KEY_F4, KEY_END,
    /* 120 */ KEY_F2, KEY_PAGEDOWN, KEY_F1, KEY_LEFT, KEY_RIGHT, KEY_DOWN, KEY_UP, 0,
};
// clang-format on

constexpr uint16_t kKeypadCodes[] = {65, 67, 69, 75, 78, 81, 82, 83, 84, 85, 86, 87, 88, 89, 91, 92};

}  // namespace

uint16_t QRBEvdevCodeForVirtualKeyCode(uint16_t virtualKeyCode) {
    return virtualKeyCode < kEvdevCodes.size() ? kEvdevCodes[virtualKeyCode] : 0;
}

uint32_t QRBXKeyCodeForVirtualKeyCode(uint16_t virtualKeyCode) {
    const uint16_t evdev = QRBEvdevCodeForVirtualKeyCode(virtualKeyCode);
    // X key codes stop at 255.
    return evdev != 0 && evdev + 8 <= 255 ? evdev + 8u : 0;
}

bool QRBIsKeypadVirtualKeyCode(uint16_t virtualKeyCode) {
    return std::find(std::begin(kKeypadCodes), std::end(kKeypadCodes), virtualKeyCode) != std::end(kKeypadCodes);
}
