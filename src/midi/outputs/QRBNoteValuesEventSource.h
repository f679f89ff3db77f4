#pragma once
// A parameter of a note played by another action: its pitch, velocity, aftertouch or voice index.
// The output only stores the action's value in its context's user info, where the note outputs
// (QRBNoteOnOffEventSource and its MIDI subclass) read it when their own gate action fires. The
// context holding the values is the "params holder".
//
// Main thread only.

#include "core/outputs/QRBEventSource.h"

#include <optional>
#include <string>

class QRBNoteValuesEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBNoteValuesEventSource", QRBEventSource)

public:
    enum Type : unsigned { Pitch = 0, Velocity = 1, Aftertouch = 2, Index = 3 };
    static constexpr unsigned kTypeCount = 4;

    // The user-info keys of the params holder, by type.
    static constexpr const char* kPitchKey = "_NPit";
    static constexpr const char* kVelocityKey = "_NVel";
    static constexpr const char* kAftertouchKey = "_NAft";
    static constexpr const char* kIndexKey = "_NIndex";

    static constexpr const char* kTypeArchiveKey = "type";
    // Older documents stored the type as a word.
    static constexpr const char* kLegacyTypeKey = "QRBNoteValuesEventSourceType";

    explicit QRBNoteValuesEventSource(unsigned type = Pitch);

    // Four new outputs: pitch, velocity, aftertouch and voice, in that order.
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    // "Pitch", "Velocity", "Aftertouch", "Voice"; none for a type outside 0..3.
    static std::optional<std::string> nameForType(unsigned type);
    static const char* userInfoKeyForType(unsigned type);

    unsigned type() const { return type_; }
    // Stores the type and renames the output.
    void setType(unsigned type);
    void updateName();

    // Stores a copy of the action's value in its context; a type outside 0..3 stores nothing.
    QRBAcceptResult acceptAction(QRBAction& action) override;
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;
    // An old document's type word that names no parameter yields no output.
    std::shared_ptr<foundation::Object> replacementAfterDecoding() override;

private:
    unsigned type_ = Pitch;
    bool undecodable_ = false;
};
