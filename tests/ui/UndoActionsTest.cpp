// The Undo and Redo actions follow the document's undo manager step by step, and the window's
// modified flag follows its change count.
#include "foundation/Document.h"
#include "foundation/UndoManager.h"
#include "ui/kit/UndoActions.h"

#include <QWidget>

#include <gtest/gtest.h>

#include <memory>

namespace {

class PlainDocument : public foundation::Document {
public:
    foundation::Data dataOfType(const std::string&) const override { return {}; }
    void readFromData(const foundation::Data&, const std::string&) override {}
};

TEST(UndoActions, TitlesEnabledStatesAndModifiedFlagFollowEachStep) {
    PlainDocument document;
    auto& undo = *document.undoManager();
    undo.setGroupsByEvent(false);
    QWidget window;
    window.setWindowTitle("Untitled[*]");
    auto actions = std::make_unique<ui::UndoActions>(document, &window);
    int value = 0;

    struct Expected {
        const char* step;
        const char* undoText;
        bool undoEnabled;
        const char* redoText;
        bool redoEnabled;
        bool modified;
    };
    auto check = [&](const Expected& e) {
        SCOPED_TRACE(e.step);
        EXPECT_EQ(actions->undoAction()->text().toStdString(), e.undoText);
        EXPECT_EQ(actions->undoAction()->isEnabled(), e.undoEnabled);
        EXPECT_EQ(actions->redoAction()->text().toStdString(), e.redoText);
        EXPECT_EQ(actions->redoAction()->isEnabled(), e.redoEnabled);
        EXPECT_EQ(window.isWindowModified(), e.modified);
    };
    std::function<void(int)> set = [&](int v) {
        const int old = value;
        undo.registerUndo(&value, [&set, old] { set(old); });
        value = v;
    };

    check({"nothing done", "Undo", false, "Redo", false, false});
    undo.beginUndoGrouping();
    set(1);
    undo.setActionName("Paste");
    undo.endUndoGrouping();
    check({"a named step", "Undo Paste", true, "Redo", false, true});
    undo.beginUndoGrouping();
    set(2);
    undo.endUndoGrouping();
    check({"an unnamed step", "Undo", true, "Redo", false, true});
    actions->undoAction()->trigger();
    EXPECT_EQ(value, 1);
    check({"undone once", "Undo Paste", true, "Redo", true, true});
    actions->undoAction()->trigger();
    EXPECT_EQ(value, 0);
    check({"undone to the saved state", "Undo", false, "Redo Paste", true, false});
    actions->redoAction()->trigger();
    EXPECT_EQ(value, 1);
    check({"redone", "Undo Paste", true, "Redo", true, true});
    actions->undoAction()->trigger();
    actions->undoAction()->trigger();  // nothing left: a shortcut on a disabled action does nothing
    EXPECT_EQ(value, 0);
    undo.removeAllActions();
    check({"cleared", "Undo", false, "Redo", false, false});

    // Gone actions hear nothing more of the document.
    actions.reset();
    undo.beginUndoGrouping();
    set(3);
    undo.endUndoGrouping();
    EXPECT_TRUE(document.isDocumentEdited());
}

}  // namespace
