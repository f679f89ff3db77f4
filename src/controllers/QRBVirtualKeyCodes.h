#pragma once
// The key outputs keep the virtual key codes their documents were written with (0 to 127, the
// keys of a full keyboard by position); the desktop knows keys by the kernel's evdev codes, and
// X by evdev + 8. This table is the one place where the two meet.

#include <cstdint>

// The evdev code of a virtual key code, 0 for a code no key of ours answers to (1024, the Fn key,
// the codes no keyboard has).
uint16_t QRBEvdevCodeForVirtualKeyCode(uint16_t virtualKeyCode);
// The X key code (0 when none).
uint32_t QRBXKeyCodeForVirtualKeyCode(uint16_t virtualKeyCode);
// Whether the virtual key code is one of the numeric keypad's keys.
bool QRBIsKeypadVirtualKeyCode(uint16_t virtualKeyCode);
