#include "ui/kit/UndoActions.h"

#include "foundation/UndoManager.h"

#include <QKeySequence>
#include <QWidget>

namespace ui {

UndoActions::UndoActions(foundation::Document& document, QWidget* window, QObject* parent)
    : QObject(parent), document_(document), window_(window), undo_(new QAction(this)), redo_(new QAction(this)) {
    undo_->setShortcut(QKeySequence::Undo);
    redo_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z));
    connect(undo_, &QAction::triggered, this, [this] {
        // A shortcut may arrive before a refresh: look again rather than trust the enabled state.
        if (document_.undoManager()->canUndo()) document_.undoManager()->undo();
        refresh();
    });
    connect(redo_, &QAction::triggered, this, [this] {
        if (document_.undoManager()->canRedo()) document_.undoManager()->redo();
        refresh();
    });
    editedToken_ = document_.addObserver(foundation::Document::kDocumentEditedKey,
                                         [this](const foundation::KeyValueChange&) { refresh(); });
    refresh();
}

void UndoActions::refresh() {
    const foundation::UndoManager& undo = *document_.undoManager();
    auto title = [](const QString& verb, const std::string& name) {
        return name.empty() ? verb : verb + ' ' + QString::fromStdString(name);
    };
    undo_->setText(title(tr("Undo"), undo.canUndo() ? undo.undoActionName() : std::string()));
    redo_->setText(title(tr("Redo"), undo.canRedo() ? undo.redoActionName() : std::string()));
    undo_->setEnabled(undo.canUndo());
    redo_->setEnabled(undo.canRedo());
    if (window_) window_->setWindowModified(document_.isDocumentEdited());
}

}  // namespace ui
