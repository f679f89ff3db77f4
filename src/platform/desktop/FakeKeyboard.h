#pragma once
// A keyboard for tests: its texts come from a keymap compiled from names (none: no key types
// anything), and the test presses keys (by X key code) and holds desktop shortcuts, or makes the
// desktop unreachable. Main thread only.

#include "controllers/devices/Keyboard.h"
#include "platform/desktop/XkbKeyboard.h"

#include <memory>
#include <set>
#include <utility>

namespace platform {

class FakeKeyboard final : public devices::Keyboard {
public:
    FakeKeyboard() = default;
    explicit FakeKeyboard(std::unique_ptr<XkbKeymap> keymap) : keymap_(std::move(keymap)) {}

    // --- what the test scripts
    void setKeyDown(uint32_t xKeyCode, bool down) {
        if (down)
            keys_[xKeyCode / 8] |= uint8_t(1u << (xKeyCode % 8));
        else
            keys_[xKeyCode / 8] &= uint8_t(~(1u << (xKeyCode % 8)));
    }
    // Another program holds the key with exactly these flags.
    void holdHotKey(uint32_t xKeyCode, uint64_t flags) { hotKeys_.insert({xKeyCode, flags}); }
    void setDesktopUnreachable(bool unreachable) { unreachable_ = unreachable; }

    // --- Keyboard
    std::optional<std::string> keyText(uint32_t xKeyCode, bool numLock) const override {
        return keymap_ ? keymap_->keyText(xKeyCode, numLock) : std::nullopt;
    }
    devices::XKeymapState keysDown() const override { return keys_; }
    devices::HotKeyProbe probeHotKey(uint32_t xKeyCode, uint64_t flags) override {
        if (unreachable_) return devices::HotKeyProbe::Unknown;
        return hotKeys_.count({xKeyCode, flags}) ? devices::HotKeyProbe::Taken : devices::HotKeyProbe::Free;
    }

private:
    std::unique_ptr<XkbKeymap> keymap_;
    devices::XKeymapState keys_{};
    std::set<std::pair<uint32_t, uint64_t>> hotKeys_;
    bool unreachable_ = false;
};

}  // namespace platform
