#include "controllers/ShortcutTextView.h"

#include "controllers/SRKeyCodeTransformer.h"

void ShortcutTextView::displayKeycode(uint16_t keyCode, uint64_t flags) { text_ = cocoaKeyComboString(flags, keyCode); }

bool ShortcutTextView::keyDown(uint16_t keyCode, uint64_t flags, bool isFirstResponder) {
    if (!isFirstResponder) return false;
    changeText(keyCode, flags);
    return true;
}

void ShortcutTextView::changeText(uint16_t keyCode, uint64_t flags) {
    text_ = cocoaKeyComboString(flags, keyCode);
    allSelected_ = true;
    if (delegate_) delegate_->shortcutTextViewDidChangeKeycode(*this, keyCode, flags);
}
