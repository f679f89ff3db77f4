#pragma once
// Whether a key combination may be recorded: not when the delegate says it is taken, not when
// another program holds it as a shortcut of the whole desktop, not when a menu item of the
// application already answers to it. A refusal can come with the error to show.
//
// Menus are plain trees here (SRMenuItem) so that the search runs without a window toolkit; the
// interface hands its menu bar over as one.
//
// Main thread only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// An error as the dialogs show it: what went wrong and what to do about it.
struct SRError {
    std::string localizedDescription;
    std::string localizedRecoverySuggestion;
};

struct SRMenuItem {
    std::string title;
    // The character typed with the modifiers; empty for none.
    std::string keyEquivalent;
    // Cocoa flags.
    uint64_t keyEquivalentModifierMask = 0;
    // Searched before the item itself when the item has one.
    std::optional<std::vector<SRMenuItem>> submenu;
};

using SRMenu = std::vector<SRMenuItem>;

class SRValidatorDelegate {
public:
    virtual ~SRValidatorDelegate() = default;
    // Cocoa flags. The reason completes "... can't be used because <reason>."; none or empty
    // says "it's already used".
    virtual bool shortcutValidatorIsKeyCode(uint16_t keyCode, uint64_t flags, std::optional<std::string>& reason) {
        return false;
    }
};

class SRValidator {
public:
    SRValidatorDelegate* delegate() const { return delegate_; }
    // Not owned; the owner keeps it alive while set.
    void setDelegate(SRValidatorDelegate* delegate) { delegate_ = delegate; }
    // The application's menu bar, searched last.
    const SRMenu& mainMenu() const { return mainMenu_; }
    void setMainMenu(SRMenu menu) { mainMenu_ = std::move(menu); }

    // Carbon flags. A YES may come without an error when the desktop could not be asked.
    bool isKeyCode(uint16_t keyCode, uint64_t carbonFlags, SRError* error);
    bool isKeyCode(uint16_t keyCode, uint64_t carbonFlags, const SRMenu& menu, SRError* error) const;

private:
    SRValidatorDelegate* delegate_ = nullptr;
    SRMenu mainMenu_;
};
