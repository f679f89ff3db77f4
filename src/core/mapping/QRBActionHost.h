#pragma once
// What contexts and actions ask of the document's manager on the path from a received message to
// its outputs. The routing manager implements it; tests implement it with a small stand-in.
//
// Notifications about actions ("QRBActionChangedNotification", "QRBActionsCollectionChanged")
// are posted on the default notification center with the host as their object, so observers
// register for the manager object itself.

#include "core/monitor/QRBMessageMonitor.h"

#include <cstdint>
#include <memory>
#include <string>

class QRBAction;
class QRBArg;
class QRBContext;
class QRBEventSourceCollection;
class QRBPresetManager;

class QRBActionHost {
public:
    virtual ~QRBActionHost() = default;

    // While locked, received messages create no contexts, actions or child contexts.
    virtual bool isInputLocked() const = 0;
    // Lists the action for the next tick of the document's activity timer.
    virtual void notifyActivityOnAction(QRBAction& action) = 0;
    // Takes a top-level context out of the current preset.
    virtual void removeContext(const std::shared_ptr<QRBContext>& context) = 0;
    // The document's message log; a snapshot recall records the messages it replays there.
    virtual QRBMessageMonitorPtr messageMonitor() const = 0;
    // A context received a new message: the current preset's last recalled snapshot no longer
    // matches what the mapping holds.
    virtual void setLastRecalledSnapshotDirty() = 0;
    // The document's presets; action locations resolve against its current preset, and preset
    // and snapshot outputs act on it. Null while the document has none.
    virtual std::shared_ptr<QRBPresetManager> presetManager() const { return nullptr; }
    // A document-wide collection of outputs by its key path from the manager ("oscRoutes",
    // "keyEventManager.keyCombos", ...), into which imported outputs are merged; null when the
    // document keeps no such collection.
    virtual std::shared_ptr<QRBEventSourceCollection> eventSourceCollection(const std::string& keyPath) {
        return nullptr;
    }
    // The document's variable `index` (the manager holds 128, indexes 0 to 127): the value object
    // itself, which variable outputs write and route tokens and addresses read in place. Null for
    // an index that names no variable, and while the document keeps none.
    virtual std::shared_ptr<QRBArg> variableValueAtIndex(uint64_t index) const { return nullptr; }
};
