#pragma once
// Shows and edits an action's display name in the outline of the main window. Argument actions
// show as "rank: name" (2: speed): the rank is shown apart, in grey, and only the name after it
// is edited. Contexts show and edit their address as it is.
//
// The formatter answers in plain data; the user interface applies the colours.

#include "foundation/Value.h"

#include <optional>
#include <string>

class QRBActionNameFormatter {
public:
    // A display name split for showing: `rank` (up to and including the first ": ") in grey,
    // `rest` in the row's own attributes.
    struct Parts {
        std::string rank;
        std::string rest;
        bool operator==(const Parts&) const = default;
    };

    // The name itself; none for a value that is not a string.
    std::optional<std::string> stringForObjectValue(const foundation::Value& object) const;
    // Stores the edited text as the value; NO when there is nowhere to store it.
    bool getObjectValue(foundation::Value* object, const std::string& string, std::string* errorDescription) const;
    // The name after the first ": "; the empty text for a name that begins with an integer (a
    // rank alone); none otherwise and for non-strings.
    std::optional<std::string> editingStringForObjectValue(const foundation::Value& object) const;
    // The name in its grey and plain parts (all plain without ": "); none for non-strings.
    std::optional<Parts> attributedStringForObjectValue(const foundation::Value& object) const;
};
