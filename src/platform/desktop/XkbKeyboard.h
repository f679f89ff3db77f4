#pragma once
// Key texts from an XKB keymap through libxkbcommon: what each key types with no modifier held
// (keypad keys with NumLock on), upper-cased. The keymap is compiled from its names (rules,
// model, layout, variant), which needs no X server; X11Keyboard reads the X server's own.
// No keys are down and no shortcut is held on a keymap alone.

#include "controllers/devices/Keyboard.h"

#include <memory>
#include <optional>
#include <string>

struct xkb_context;
struct xkb_keymap;

namespace platform {

class XkbKeymap {
public:
    // Takes the keymap's reference.
    explicit XkbKeymap(xkb_keymap* keymap);
    ~XkbKeymap();
    XkbKeymap(const XkbKeymap&) = delete;
    XkbKeymap& operator=(const XkbKeymap&) = delete;

    // Null when the names do not compile (an unknown layout).
    static std::unique_ptr<XkbKeymap> fromNames(const std::string& layout, const std::string& variant = {},
                                                const std::string& model = "pc105");

    std::optional<std::string> keyText(uint32_t xKeyCode, bool numLock) const;

private:
    xkb_keymap* keymap_;
};

class XkbKeyboard final : public devices::Keyboard {
public:
    explicit XkbKeyboard(std::unique_ptr<XkbKeymap> keymap) : keymap_(std::move(keymap)) {}

    std::optional<std::string> keyText(uint32_t xKeyCode, bool numLock) const override {
        return keymap_ ? keymap_->keyText(xKeyCode, numLock) : std::nullopt;
    }
    devices::XKeymapState keysDown() const override { return {}; }
    devices::HotKeyProbe probeHotKey(uint32_t, uint64_t) override { return devices::HotKeyProbe::Free; }

private:
    std::unique_ptr<XkbKeymap> keymap_;
};

}  // namespace platform
