#pragma once
// A node of a document's MIDI template tree: a collection or a template. Both are outputs, so
// they share the output's name and archive keys.

#include "core/outputs/QRBEventSource.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QRBMIDIElement;
class QRBMIDITemplate;
using QRBMIDIElementPtr = std::shared_ptr<QRBMIDIElement>;
using QRBMIDITemplatePtr = std::shared_ptr<QRBMIDITemplate>;

class QRBMIDIElement : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBMIDIElement", QRBEventSource)

public:
    static constexpr const char* kEmptyNameError = "The name cannot be empty";

    QRBMIDIElement() = default;

    // A new element of the same class with the same name; subclasses copy the rest.
    virtual QRBMIDIElementPtr copyElement() const = 0;
    virtual bool isLeaf() const = 0;
    virtual std::vector<QRBMIDITemplatePtr> templates() const = 0;

    // A missing name is refused ("The name cannot be empty"); an empty one is accepted.
    static bool validateName(const std::optional<std::string>& name, std::string* error);
};
