#pragma once
// A document's delay outputs, the list the time events page edits. The routing manager owns it
// and archives it under "timeEventsManager".
//
// The delays themselves come with the time events.

#include "core/outputs/QRBEventSource.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"
#include "foundation/UndoManager.h"

#include <memory>
#include <vector>

class QRBTimeEventsManager;
using QRBTimeEventsManagerPtr = std::shared_ptr<QRBTimeEventsManager>;

class QRBTimeEventsManager : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBTimeEventsManager", foundation::Object)

public:
    const std::vector<QRBEventSourcePtr>& delays() const { return delays_; }

    const std::shared_ptr<foundation::UndoManager>& undoManager() const { return undoManager_; }
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) { undoManager_ = undoManager; }

    // "delays" only.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    std::vector<QRBEventSourcePtr> delays_;
    std::shared_ptr<foundation::UndoManager> undoManager_;
};
