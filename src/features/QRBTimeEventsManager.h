#pragma once
// A document's delay outputs, the list the time events page edits. The routing manager owns it,
// hands it the document's undo manager (which it passes on to every delay) and archives it under
// "timeEventsManager". Insertions and removals are undoable and announced to observers of
// "delays".
//
// Main thread only.

#include "core/outputs/QRBEventSource.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"
#include "foundation/Observation.h"
#include "foundation/SortDescriptor.h"
#include "foundation/UndoManager.h"
#include "foundation/UndoableList.h"

#include <memory>
#include <vector>

class QRBTimeEventsManager;
using QRBTimeEventsManagerPtr = std::shared_ptr<QRBTimeEventsManager>;

class QRBTimeEventsManager : public foundation::Object, public foundation::Observable {
    FND_ARCHIVED_CLASS("QRBTimeEventsManager", foundation::Object)

public:
    static constexpr const char* kDelaysKey = "delays";
    static constexpr const char* kSortKey = "delayInterval";

    // The delays (QRBDelayEventSource; a document of a later version may hold other outputs,
    // which are kept as they are).
    const std::vector<QRBEventSourcePtr>& delays() const { return delays_.elements(); }
    size_t countOfDelays() const { return delays_.size(); }
    // Asserts an index of the list.
    QRBEventSourcePtr objectInDelaysAtIndex(size_t index) const;
    // Gives the delay the undo manager, registers the removal as the undo, inserts.
    void insertObject(const QRBEventSourcePtr& delay, size_t inDelaysAtIndex);
    // Registers the insertion at the same index as the undo, removes.
    void removeObjectFromDelaysAtIndex(size_t index);

    // One descriptor: the interval, ascending.
    const std::vector<foundation::SortDescriptorPtr>& delaysSortDescriptors() const;
    // The delays in that order (equal intervals keep the list's order).
    std::vector<QRBEventSourcePtr> sortedDelays() const;

    const std::shared_ptr<foundation::UndoManager>& undoManager() const { return undoManager_; }
    // Stored and handed to every delay.
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager);

    // "delays" only.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    foundation::UndoableList<QRBTimeEventsManager, QRBEventSource> delays_{
        kDelaysKey,
        {.insert = &QRBTimeEventsManager::insertObject,
         .remove = &QRBTimeEventsManager::removeObjectFromDelaysAtIndex}};
    std::shared_ptr<foundation::UndoManager> undoManager_;
};
