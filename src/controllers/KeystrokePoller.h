#pragma once
// What the key viewer window does apart from drawing: while the window is open, it looks at the
// keyboard every 0.05 s and shows the code and the text of the last key that went down.
//
// Main thread only.

#include "foundation/RunLoop.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

class KeystrokePoller {
public:
    static constexpr double kPollInterval = 0.05;

    // 16 bytes: virtual key code k is bit (k mod 8), counted from the least significant, of byte
    // k / 8.
    using KeyMap = std::array<uint8_t, 16>;
    // The keyboard layer's state of the keys as such a map.
    static KeyMap currentKeyMap();
    // The code of bit i of the map counted from the most significant bit of byte 0 (mask
    // 0x80 >> (i mod 8)).
    static uint16_t KeyMapBitIndexToKeyCode(unsigned index) { return uint16_t((index & ~7u) | (7 - index % 8)); }

    KeystrokePoller() = default;
    ~KeystrokePoller();
    KeystrokePoller(const KeystrokePoller&) = delete;
    KeystrokePoller& operator=(const KeystrokePoller&) = delete;

    void showWindow();
    void poll();
    void windowWillClose();
    bool isPolling() const { return timer_ != nullptr; }

    // What the fields show.
    const std::string& keyCodeField() const { return keyCodeField_; }
    const std::string& keyCharField() const { return keyCharField_; }

private:
    KeyMap previousKeyMap_{};
    std::shared_ptr<foundation::Timer> timer_;
    std::string keyCodeField_;
    std::string keyCharField_;
};
