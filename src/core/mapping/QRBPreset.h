#pragma once
// One set of mappings of a document (the interface calls it a mapping): its name, its top-level
// contexts (the received addresses with their actions) and its snapshots. Only the current
// preset's contexts receive input (QRBPresetManager).
//
// The lists are edited through their own insertion and removal operations, each registering its
// inverse on the document's undo manager and announcing the change to observers of "objects" or
// "snapshots". The snapshot list always begins with the empty snapshot "—", and the last
// recalled snapshot is always one of the list.
//
// Main thread only.

#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBSnapshot.h"
#include "core/outputs/QRBEventSource.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/NotificationCenter.h"
#include "foundation/Object.h"
#include "foundation/Observation.h"
#include "foundation/UndoManager.h"
#include "foundation/UndoableList.h"

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class QRBActionLocation;
class QRBPreset;
using QRBPresetPtr = std::shared_ptr<QRBPreset>;

// Posted on the default center by a preset whose name changed; the object is the preset, the user
// info holds the previous name.
inline constexpr const char* kQRBPresetNameChangedNotification = "QRBPresetNameChanged";
inline constexpr const char* kQRBPresetNameChangedOldNameKey = "QRBPresetNameChangedOldName";

// Outputs that name a preset (changing to a named preset) take part in renames through this: when
// a preset of the document is renamed, the outputs naming its old name are given the new one.
class QRBPresetNameFollower {
public:
    virtual ~QRBPresetNameFollower() = default;
    virtual std::optional<std::string> presetName() const = 0;
    virtual void setPresetName(const std::optional<std::string>& name) = 0;
};

// Outputs that name a snapshot (recalling a named snapshot): when a snapshot of their preset is
// renamed, those naming its old name are given the new one.
class QRBSnapshotNameFollower {
public:
    virtual ~QRBSnapshotNameFollower() = default;
    virtual std::optional<std::string> snapshotName() const = 0;
    virtual void setSnapshotName(const std::optional<std::string>& name) = 0;
};

class QRBPreset : public foundation::Object, public foundation::Observable {
    FND_ARCHIVED_CLASS("QRBPreset", foundation::Object)

public:
    static constexpr const char* kDefaultName = "Mapping 2";
    static constexpr const char* kDirtyMark = "\u2022 ";
    // Observable keys.
    static constexpr const char* kObjectsKey = "objects";
    static constexpr const char* kSnapshotsKey = "snapshots";
    static constexpr const char* kNameKey = "name";

    // Named "Mapping 2", without contexts, with the empty snapshot as its only and last recalled
    // snapshot; observes snapshot renames for its outputs.
    QRBPreset();
    ~QRBPreset() override;

    // ---- contexts
    const std::vector<QRBContextPtr>& objects() const { return objects_.elements(); }
    size_t countOfObjects() const { return objects_.size(); }
    QRBContextPtr objectInObjectsAtIndex(size_t index) const;
    // Gives the context this preset's undo manager, registers the removal as the undo, inserts.
    void insertObject(const QRBContextPtr& context, size_t index);
    void removeObjectFromObjectsAtIndex(size_t index);
    void addObject(const QRBContextPtr& context);
    // Nothing for a context that is not in the list.
    void removeObject(const QRBContextPtr& context);
    // The first top-level context of that name, or null.
    QRBContextPtr contextWithName(const std::string& name) const;
    // The action at the location's path inside the context it names; null when either is missing.
    QRBActionPtr actionAtLocation(const QRBActionLocation& location) const;
    // The top-level contexts and every action, duplicate and child context below them, each
    // once.
    std::vector<QRBActionPtr> allActions() const;
    // The actions of allActions whose output is one of `sources` (identity).
    std::vector<QRBActionPtr> actionsUsingEventSources(const std::vector<QRBEventSourcePtr>& sources) const;

    const std::shared_ptr<foundation::UndoManager>& undoManager() const { return undoManager_; }
    // Another undo manager is stored and handed to every context.
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager);

    const std::string& name() const { return name_; }
    // A different name registers the inverse, is stored, and is announced with
    // "QRBPresetNameChanged".
    void setName(const std::string& name);

    // Leaving: every action resets its output and stops its logger. Restoring: every action
    // attaches its output again and restarts its logger; then the last recalled snapshot is
    // recalled, which drives the outputs to the values it holds.
    void willLeavePreset();
    void didRestorePreset();
    // Invalidates every top-level context.
    void invalidate();

    // ---- snapshots
    const std::vector<QRBSnapshotPtr>& snapshots() const { return snapshots_.elements(); }
    size_t countOfSnapshots() const { return snapshots_.size(); }
    QRBSnapshotPtr objectInSnapshotsAtIndex(size_t index) const;
    // Makes the snapshot's name unique among the others', registers the removal as the undo,
    // inserts.
    void insertObject(const QRBSnapshotPtr& snapshot, size_t index);
    // Registers the insertion as the undo and removes; when that was the last recalled snapshot,
    // the first one becomes it.
    void removeObjectFromSnapshotsAtIndex(size_t index);
    // The new snapshot takes the old one's name (and its place as the last recalled one when the
    // old one was it); the replacement with the old one is the undo.
    void replaceObjectInSnapshotsAtIndex(size_t index, const QRBSnapshotPtr& snapshot);
    // Inserts right after the last recalled snapshot and makes the new one the last recalled.
    void addSnapshotsObject(const QRBSnapshotPtr& snapshot);
    // Removes; the first snapshot becomes the last recalled one.
    void removeSnapshotsObject(const QRBSnapshotPtr& snapshot);
    void replaceSnapshotsObject(const QRBSnapshotPtr& old, const QRBSnapshotPtr& snapshot);

    QRBSnapshotPtr lastRecalledSnapshot() const { return lastRecalledSnapshot_.lock(); }
    // Asserts a member of the list; clears the dirty flag in every case.
    void setLastRecalledSnapshot(const QRBSnapshotPtr& snapshot);
    bool lastRecalledSnapshotDirty() const { return lastRecalledSnapshotDirty_; }
    // Called each time a context stores a new message: unless the flag is already set, sets it
    // when the current state no longer equals the last recalled snapshot. It stays set until the
    // next recall.
    void setLastRecalledSnapshotDirty();

    // A snapshot of the current state, one element per top-level context in order, named
    // "Snapshot 1", not added to the list.
    QRBSnapshotPtr createSnapshot() const;
    // Replays each element into the top-level context its message names (elements of contexts
    // that are gone are skipped); the snapshot becomes the last recalled one.
    void recallSnapshot(const QRBSnapshotPtr& snapshot);
    bool canUpdateSnapshot(const QRBSnapshotPtr& snapshot) const { return lastRecalledSnapshotDirty_; }
    // Every snapshot but the first: the empty snapshot keeps its name and its place.
    bool canRenameOrDelegateSnapshot(const QRBSnapshotPtr& snapshot) const;
    QRBSnapshotPtr snapshotWithName(const std::string& name) const;
    // Cycling skips the first (empty) snapshot: after the last comes index 1, and from the empty
    // snapshot forward is index 1 and backward the last. Null while the list holds only the empty
    // snapshot.
    QRBSnapshotPtr snapshotAfter(const QRBSnapshotPtr& snapshot) const;
    QRBSnapshotPtr snapshotBefore(const QRBSnapshotPtr& snapshot) const;
    // The last recalled snapshot's name, marked "• " while the state differs from it (never for
    // the first snapshot).
    std::string lastRecalledSnapshotDisplayName() const;

    // "QRBPresetName", "QRBPresetObjects", "snapshots", "lastRecalledSnapshot" (conditional).
    // Documents from before snapshots get a single empty snapshot, plus a snapshot of the
    // decoded state when they asked for their actions to fire on restore.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    foundation::Value observedValueForKey(const std::string& key) const override;
    size_t indexOfSnapshot(const QRBSnapshotPtr& snapshot) const;
    void snapshotNameChanged(const foundation::Notification& notification);
    // The index of contextWithName.
    bool contextsByNameCurrent() const;
    void indexContextsByName() const;
    void contextsByNameCovered() const;

    foundation::UndoableList<QRBPreset, QRBContext> objects_{
        kObjectsKey, {.insert = &QRBPreset::insertObject, .remove = &QRBPreset::removeObjectFromObjectsAtIndex}};
    // contextWithName's index: each name with the first top-level context that has it. A new
    // address must not cost a walk through every context, so the index follows insertions and
    // removals as they happen. It is built afresh at the next lookup after what it cannot follow
    // cheaply: a listed context renamed, a name held twice gaining or losing a holder anywhere
    // but at the end, or the list replaced as a whole (as decoding does), which is seen by the
    // list's storage and length no longer being the ones indexed.
    // Not owned: only read while the index is current, when the list holds each of them.
    mutable std::unordered_map<std::string, QRBContext*> contextsByName_;
    mutable bool contextsByNameBuilt_ = false;
    mutable bool contextsByNameShared_ = false;  // some name is held by two contexts or more
    mutable uint64_t contextsByNameRenames_ = 0;
    mutable const QRBContextPtr* contextsByNameStorage_ = nullptr;
    mutable size_t contextsByNameLength_ = 0;
    foundation::UndoableList<QRBPreset, QRBSnapshot> snapshots_{
        kSnapshotsKey,
        {.insert = &QRBPreset::insertObject,
         .remove = &QRBPreset::removeObjectFromSnapshotsAtIndex,
         .replace = &QRBPreset::replaceObjectInSnapshotsAtIndex}};
    bool lastRecalledSnapshotDirty_ = false;
    std::shared_ptr<foundation::UndoManager> undoManager_;
    std::string name_ = kDefaultName;
    std::weak_ptr<QRBSnapshot> lastRecalledSnapshot_;
    // Last, so that it goes first: no rename reaches a preset being destroyed.
    foundation::ObserverToken snapshotNameObserver_;
};
