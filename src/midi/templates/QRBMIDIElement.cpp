#include "midi/templates/QRBMIDIElement.h"

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBMIDIElement)

bool QRBMIDIElement::validateName(const std::optional<std::string>& name, std::string* error) {
    if (name) return true;
    if (error) *error = kEmptyNameError;
    return false;
}
