#pragma once
// What the shortcut field does apart from drawing: while it has the keyboard focus it captures
// every key press, command combinations included, as a key combination (instead of typing it or
// letting a menu perform it), shows it as symbols and the key, selects it all, and tells its
// delegate. A click selects the text and places no caret.
//
// Main thread only.

#include <cstdint>
#include <string>

class ShortcutTextView;

class ShortcutTextViewDelegate {
public:
    virtual ~ShortcutTextViewDelegate() = default;
    // Cocoa flags.
    virtual void shortcutTextViewDidChangeKeycode(ShortcutTextView& view, uint16_t keyCode, uint64_t flags) = 0;
};

class ShortcutTextView {
public:
    ShortcutTextViewDelegate* delegate() const { return delegate_; }
    // Not owned.
    void setDelegate(ShortcutTextViewDelegate* delegate) { delegate_ = delegate; }

    const std::string& text() const { return text_; }
    bool isAllSelected() const { return allSelected_; }

    // Shows the combination, or nothing when it has no text.
    void displayKeycode(uint16_t keyCode, uint64_t flags);
    // A key press (Cocoa flags). Captured only while the view has the focus: the answer tells
    // whether it was (else a menu shortcut goes on to the menus).
    bool keyDown(uint16_t keyCode, uint64_t flags, bool isFirstResponder);
    void mouseDown() { allSelected_ = true; }

private:
    void changeText(uint16_t keyCode, uint64_t flags);

    ShortcutTextViewDelegate* delegate_ = nullptr;
    std::string text_;
    bool allSelected_ = false;
};
