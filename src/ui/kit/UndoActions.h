#pragma once
// The Undo and Redo actions of a document window over the document's own undo manager: titled
// "Undo <name>" / "Redo <name>" from the step's action name ("Undo" / "Redo" alone for an unnamed
// step), enabled only when there is a step, on Ctrl+Z and Ctrl+Shift+Z. The window's modified
// flag follows the document's change count.
//
// The actions hold the document's observation token and release it when they go. Main thread only.

#include "foundation/Document.h"
#include "foundation/Observation.h"

#include <QAction>
#include <QObject>
#include <QPointer>

namespace ui {

class UndoActions : public QObject {
public:
    // `window` (may be null) gets the modified flag; the document must outlive the actions.
    UndoActions(foundation::Document& document, QWidget* window, QObject* parent = nullptr);

    QAction* undoAction() const { return undo_; }
    QAction* redoAction() const { return redo_; }
    // Reads the undo manager again: titles, enabled states, modified flag.
    void refresh();

private:
    foundation::Document& document_;
    QPointer<QWidget> window_;
    QAction* undo_;
    QAction* redo_;
    foundation::ObservationToken editedToken_;
};

}  // namespace ui
