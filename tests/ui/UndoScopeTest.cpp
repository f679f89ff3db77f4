// A user command's undo scope: one named step when the command changed something, nothing when it
// did not, and the group closed however the command ends.
#include "foundation/UndoManager.h"
#include "ui/kit/UndoScope.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(UndoScope, NamesAndClosesTheStepOnlyWhenTheCommandChangedSomething) {
    foundation::UndoManager undo;
    undo.setGroupsByEvent(false);
    int value = 0;
    auto change = [&](int v) {
        const int old = value;
        undo.registerUndo(&value, [&value, old] { value = old; });
        value = v;
    };

    {
        ui::UndoScope scope(undo, "Paste");
        change(1);
        change(2);
    }
    EXPECT_EQ(undo.groupingLevel(), 0);
    EXPECT_EQ(undo.undoActionName(), "Paste");

    {
        ui::UndoScope scope(undo, "Delete");  // changes nothing
    }
    EXPECT_EQ(undo.undoActionName(), "Paste") << "an empty command neither names nor adds a step";

    try {
        ui::UndoScope scope(undo, "Cut");
        change(3);
        throw std::runtime_error("halfway");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(undo.groupingLevel(), 0);
    EXPECT_EQ(undo.undoActionName(), "Cut");

    undo.undo();
    EXPECT_EQ(value, 2);
    undo.undo();
    EXPECT_EQ(value, 0) << "both changes of the paste are one step";
    EXPECT_FALSE(undo.canUndo());
}
