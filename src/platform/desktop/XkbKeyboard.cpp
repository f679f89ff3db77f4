#include "platform/desktop/XkbKeyboard.h"

#include <xkbcommon/xkbcommon.h>

namespace platform {

XkbKeymap::XkbKeymap(xkb_keymap* keymap) : keymap_(keymap) {}

XkbKeymap::~XkbKeymap() { xkb_keymap_unref(keymap_); }

std::unique_ptr<XkbKeymap> XkbKeymap::fromNames(const std::string& layout, const std::string& variant,
                                                const std::string& model) {
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    if (!context) return nullptr;
    const xkb_rule_names names{"evdev", model.c_str(), layout.c_str(), variant.c_str(), ""};
    xkb_keymap* keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    xkb_context_unref(context);
    return keymap ? std::make_unique<XkbKeymap>(keymap) : nullptr;
}

std::optional<std::string> XkbKeymap::keyText(uint32_t xKeyCode, bool numLock) const {
    if (xKeyCode < xkb_keymap_min_keycode(keymap_) || xKeyCode > xkb_keymap_max_keycode(keymap_)) return std::nullopt;
    // A fresh state: no modifier held, no group but the first, NumLock as asked.
    xkb_state* state = xkb_state_new(keymap_);
    if (!state) return std::nullopt;
    if (numLock) {
        const xkb_mod_index_t numLockIndex = xkb_keymap_mod_get_index(keymap_, XKB_MOD_NAME_NUM);
        if (numLockIndex != XKB_MOD_INVALID)
            xkb_state_update_mask(state, 0, 0, xkb_mod_mask_t(1) << numLockIndex, 0, 0, 0);
    }
    const xkb_keysym_t sym = xkb_keysym_to_upper(xkb_state_key_get_one_sym(state, xKeyCode));
    xkb_state_unref(state);
    if (sym == XKB_KEY_NoSymbol) return std::nullopt;
    char text[64];
    const int length = xkb_keysym_to_utf8(sym, text, sizeof text);
    // 0: no character for this symbol (a modifier, a function key); -1: too small, never for 64.
    if (length <= 1) return std::nullopt;
    std::string result(text);
    // Control characters (Escape, Return, Tab...) show as nothing, as they print nothing.
    if (result.size() == 1 && (static_cast<unsigned char>(result[0]) < 0x20 || result[0] == 0x7f)) return std::nullopt;
    return result;
}

}  // namespace platform
