#pragma once
// One user command's undo step: opens a group when made; when it goes (also by an exception),
// names the step after the command only when the command registered something, and closes the
// group. A command that changed nothing leaves no step and renames none.
//
// Main thread only.

#include "foundation/UndoManager.h"

#include <string>

namespace ui {

class UndoScope {
public:
    UndoScope(foundation::UndoManager& undo, std::string actionName)
        : undo_(undo), actionName_(std::move(actionName)) {
        undo_.beginUndoGrouping();
        registrationsBefore_ = undo_.openGroupRegistrationCount();
    }
    ~UndoScope() {
        if (undo_.openGroupRegistrationCount() > registrationsBefore_) undo_.setActionName(actionName_);
        undo_.endUndoGrouping();
    }
    UndoScope(const UndoScope&) = delete;
    UndoScope& operator=(const UndoScope&) = delete;

private:
    foundation::UndoManager& undo_;
    std::string actionName_;
    size_t registrationsBefore_ = 0;
};

}  // namespace ui
