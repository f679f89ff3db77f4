#include "controllers/SRValidator.h"

#include "controllers/QRBVirtualKeyCodes.h"
#include "controllers/SRKeyCodeTransformer.h"
#include "controllers/devices/DeviceLayers.h"

#include <cctype>

namespace {

constexpr uint64_t kCarbonModifiers =
    carbon::kCommandKey | carbon::kOptionKey | carbon::kShiftKey | carbon::kControlKey;

std::string upper(std::string s) {
    for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

bool SRValidator::isKeyCode(uint16_t keyCode, uint64_t carbonFlags, SRError* error) {
    if (delegate_) {
        std::optional<std::string> reason;
        if (delegate_->shortcutValidatorIsKeyCode(keyCode, cocoaFlagsFromCarbonFlags(carbonFlags), reason)) {
            if (error) {
                const std::string because = reason && !reason->empty() ? *reason : "it's already used";
                *error = {"The key combo " + carbonKeyComboString(carbonFlags, keyCode) + " can't be used.",
                          "The key combo \"" + readableCarbonKeyComboString(carbonFlags, keyCode) +
                              "\" can't be used because " + because + "."};
            }
            return true;
        }
    }

    // The desktop's shortcuts: whether another program holds the same physical key with the same
    // modifiers.
    const uint32_t xKeyCode = QRBXKeyCodeForVirtualKeyCode(keyCode);
    if (xKeyCode != 0) {
        switch (
            devices::DeviceLayers::current().keyboard->probeHotKey(xKeyCode, cocoaFlagsFromCarbonFlags(carbonFlags))) {
        case devices::HotKeyProbe::Unknown: return true;
        case devices::HotKeyProbe::Taken:
            if (!keyCodeDisplayString(keyCode)) return true;
            if (error) {
                *error = {"The key combination " + carbonKeyComboString(carbonFlags, keyCode) + " can't be used.",
                          "The key combination \"" + readableCarbonKeyComboString(carbonFlags, keyCode) +
                              "\" can't be used because it's already used by a system-wide keyboard shortcut. (If "
                              "you really want to use this key combination, most shortcuts can be changed in the "
                              "Keyboard & Mouse panel in System Preferences.)"};
            }
            return true;
        case devices::HotKeyProbe::Free: break;
        }
    }
    return isKeyCode(keyCode, carbonFlags, mainMenu_, error);
}

bool SRValidator::isKeyCode(uint16_t keyCode, uint64_t carbonFlags, const SRMenu& menu, SRError* error) const {
    const std::optional<std::string> text = keyCodeDisplayString(keyCode);
    for (const SRMenuItem& item : menu) {
        if (item.submenu && isKeyCode(keyCode, carbonFlags, *item.submenu, error)) return true;
        if (item.keyEquivalent.empty() || !text || upper(item.keyEquivalent) != *text) continue;
        // Exactly the same modifiers: Command+S and Command+Shift+S are different shortcuts.
        if ((carbonFlagsFromCocoaFlags(item.keyEquivalentModifierMask) & kCarbonModifiers) !=
            (carbonFlags & kCarbonModifiers))
            continue;
        if (error) {
            *error = {"The key combo " + carbonKeyComboString(carbonFlags, keyCode) + " can't be used.",
                      "The key combo \"" + readableCocoaKeyComboString(item.keyEquivalentModifierMask, keyCode) +
                          "\" can't be used because it's already used by the menu item \"" + item.title + "\"."};
        }
        return true;
    }
    return false;
}
