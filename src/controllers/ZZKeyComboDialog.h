#pragma once
// What the key combination dialog decides, apart from its window: each combination typed replaces
// the previous one, is checked by the validator and, when modifiers are required, for having one;
// a refused one is shown as an error and leaves no key chosen. The window (its text field, the
// modal session) only forwards what the user types and shows what it is told.
//
// Main thread only.

#include "controllers/SRValidator.h"
#include "controllers/ShortcutTextView.h"
#include "core/QRBPreferences.h"

#include <functional>
#include <memory>

class ZZKeyComboDialog;

class ZZKeyComboDialogDelegate {
public:
    virtual ~ZZKeyComboDialogDelegate() = default;
    virtual void keyComboDialogDidFinishEditing(ZZKeyComboDialog& dialog) = 0;
    virtual void keyComboDialogDidReceiveKeyCombo(ZZKeyComboDialog& dialog) {}
};

class ZZKeyComboDialog : private ShortcutTextViewDelegate {
public:
    static constexpr uint16_t kNoKeyCode = 1024;

    // No key chosen, a validator in use.
    ZZKeyComboDialog();
    ZZKeyComboDialog(const ZZKeyComboDialog&) = delete;
    ZZKeyComboDialog& operator=(const ZZKeyComboDialog&) = delete;

    detail::KeyCombo keyCombo() const { return keyCombo_; }
    void setKeyCombo(detail::KeyCombo combo) { keyCombo_ = combo; }
    bool requiresModifiers() const { return requiresModifiers_; }
    void setRequiresModifiers(bool required) { requiresModifiers_ = required; }
    ZZKeyComboDialogDelegate* delegate() const { return delegate_; }
    // Not owned.
    void setDelegate(ZZKeyComboDialogDelegate* delegate) { delegate_ = delegate; }

    bool usesValidator() const { return validator_ != nullptr; }
    // Off drops the validator; on makes one (without a delegate) unless there is one.
    void setUsesValidator(bool uses);
    SRValidator* validator() const { return validator_.get(); }

    // How a refusal is shown (an alert in the window).
    void setErrorPresenter(std::function<void(const SRError&)> presenter) { presentError_ = std::move(presenter); }

    // The field the combinations are typed in; the dialog is its delegate.
    ShortcutTextView& keyComboText() { return keyComboText_; }
    // The window opens: the field shows the current combination.
    void showWindow() { keyComboText_.displayKeycode(keyCombo_.code, keyCombo_.flags); }
    // The text field recorded a combination (Cocoa flags).
    void shortcutTextViewDidChangeKeycode(uint16_t keyCode, uint64_t flags);
    // The window closed.
    void windowWillClose();

private:
    detail::KeyCombo keyCombo_{0, kNoKeyCode};
    bool requiresModifiers_ = false;
    ZZKeyComboDialogDelegate* delegate_ = nullptr;
    std::unique_ptr<SRValidator> validator_;
    std::function<void(const SRError&)> presentError_;
    ShortcutTextView keyComboText_;

    void shortcutTextViewDidChangeKeycode(ShortcutTextView&, uint16_t keyCode, uint64_t flags) override {
        shortcutTextViewDidChangeKeycode(keyCode, flags);
    }
};
