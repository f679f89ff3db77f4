#include "controllers/ZZKeyComboDialog.h"

#include "controllers/SRKeyCodeTransformer.h"

ZZKeyComboDialog::ZZKeyComboDialog() : validator_(std::make_unique<SRValidator>()) { keyComboText_.setDelegate(this); }

void ZZKeyComboDialog::setUsesValidator(bool uses) {
    if (!uses)
        validator_.reset();
    else if (!validator_)
        validator_ = std::make_unique<SRValidator>();
}

void ZZKeyComboDialog::shortcutTextViewDidChangeKeycode(uint16_t keyCode, uint64_t flags) {
    keyCombo_ = {flags, keyCode};
    std::optional<SRError> error;
    if (validator_) {
        // The validator leaves the error empty when it has none to give.
        SRError found;
        validator_->isKeyCode(keyCode, carbonFlagsFromCocoaFlags(flags), &found);
        if (!found.localizedDescription.empty()) error = std::move(found);
    }
    // The modifier rule holds whatever the validator answered: a taken combination that came
    // without an error (the desktop could not be asked) must not let a plain key through.
    if (!error && requiresModifiers_ && flags == 0) {
        error = SRError{"This key combo needs at least one modifier",
                        "You need at least one key modifier (Command, Control or Option) to define a key "
                        "combination."};
    }
    if (error) {
        keyCombo_ = {0, kNoKeyCode};
        if (presentError_) presentError_(*error);
        return;
    }
    if (delegate_) delegate_->keyComboDialogDidReceiveKeyCombo(*this);
}

void ZZKeyComboDialog::windowWillClose() {
    if (delegate_) delegate_->keyComboDialogDidFinishEditing(*this);
}
