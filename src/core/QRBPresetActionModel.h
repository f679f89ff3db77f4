#pragma once
// What presets ask of the contexts and actions they hold, in one place: handing down the undo
// manager, leaving and restoring a preset, walking the tree of actions, resolving a path, copying
// a context, folding a decoded one. Kept apart so that the preset code reads the same whichever
// way the action model provides these.

#include "core/QRBAction.h"
#include "core/QRBContext.h"
#include "foundation/UndoManager.h"
#include "foundation/Value.h"

#include <memory>
#include <vector>

namespace detail {

void setUndoManager(QRBContext& context, const std::shared_ptr<foundation::UndoManager>& undoManager);
// Every action below the context, and the context itself, stops its logger and resets its
// output; restoring attaches the outputs again and restarts the loggers.
void willLeavePreset(QRBContext& context);
void didRestorePreset(QRBContext& context);
// The context's actions, duplicates and child contexts, recursively (not the context itself).
std::vector<QRBActionPtr> allActions(const QRBContext& context);
// An empty path is the action itself; a string names a child context, a number an argument
// action (or a duplicate of one); null when a component finds nothing.
QRBActionPtr actionAtPath(const QRBActionPtr& action, const foundation::Array& path);
// A copy for a new preset: it shares the outputs and values, as a copied context does.
QRBContextPtr copyContext(const QRBContext& context);
// A decoded context with a single action and no output of its own takes that action's output.
void fold(QRBContext& context);
// The action's output carried into another document, as its merger decides.
void mergeEventSource(QRBAction& action, const std::shared_ptr<QRBActionHost>& source,
                      const std::shared_ptr<QRBActionHost>& destination);

}  // namespace detail
