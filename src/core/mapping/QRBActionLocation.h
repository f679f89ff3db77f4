#pragma once
// Where an action sits, instead of which object it is: the top-level context's name and the path
// of child names (strings) and argument or duplicate indices (numbers) below it. Outputs that
// refer to another action keep a location and resolve it each time they use it, against the
// document's current preset, so the reference survives saving and reopening and follows preset
// switches to whatever action sits at the same place.
//
// A location is a value: it is copied when set and archived with its output.

#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"
#include "foundation/Value.h"

#include <memory>
#include <optional>
#include <string>

class QRBAction;
class QRBActionLocation;
using QRBActionLocationPtr = std::shared_ptr<QRBActionLocation>;
using QRBActionPtr = std::shared_ptr<QRBAction>;

class QRBActionLocation : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBActionLocation", foundation::Object)

public:
    // Empty; only for decoding.
    QRBActionLocation() = default;
    // All three are required: a missing one is a programming error ("invalid action location:
    // contextName cannot be nil", and so on).
    QRBActionLocation(const std::optional<std::string>& contextName,
                      const std::optional<foundation::Array>& pathComponents,
                      const std::optional<std::string>& displayName);
    static QRBActionLocationPtr locationWithContextName(const std::optional<std::string>& contextName,
                                                        const std::optional<foundation::Array>& pathComponents,
                                                        const std::optional<std::string>& displayName);

    // The name (address) of the top-level context.
    const std::string& contextName() const { return contextName_; }
    // Child context names and argument indices, as an action's pathComponents gives them.
    const foundation::Array& pathComponents() const { return pathComponents_; }
    // The action's full display name when the location was made, for showing the reference.
    const std::string& displayName() const { return displayName_; }

    // The action at this location in the current preset of `action`'s document, or null (no
    // manager, no preset, no such context, no such action).
    QRBActionPtr resolveUsing(const QRBAction& action) const;

    QRBActionLocationPtr copy() const;

    // <QRBActionLocation 0x… "/a" (left, 0)>
    std::string description() const;

    // "displayName", "contextName", "pathComponents", exactly. Decoding refuses a location that
    // lacks one of them or holds a path component other than a string or a number.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    std::string contextName_;
    foundation::Array pathComponents_;
    std::string displayName_;
};
