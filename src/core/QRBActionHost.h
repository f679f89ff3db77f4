#pragma once
// What contexts and actions ask of the document's manager on the path from a received message to
// its outputs. The routing manager implements it; tests implement it with a small stand-in.
//
// Notifications about actions ("QRBActionChangedNotification", "QRBActionsCollectionChanged")
// are posted on the default notification center with the host as their object, so observers
// register for the manager object itself.

#include "core/QRBMessageMonitor.h"

#include <memory>

class QRBAction;
class QRBContext;

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
};
