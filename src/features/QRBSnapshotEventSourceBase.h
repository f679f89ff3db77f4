#pragma once
// Outputs that take snapshots of the current mapping or recall one: the next, current or previous
// snapshot, the one an index in the action's value selects, or a named one. All of them show
// under one type of the registry ("Snapshots").
//
// A recall replays stored messages into the contexts, which may fire these very outputs; while a
// context is being replayed its snapshot outputs do nothing, so that a recall cannot start another
// recall or take a snapshot of a half-restored state.
//
// QRBForcePresetRestoreEventSource only reads old documents: it decodes as a "Recall Current"
// output.
//
// Main thread only.

#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBSnapshot.h"
#include "core/outputs/QRBEventSource.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class QRBSnapshotEventSourceBase : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBSnapshotEventSourceBase", QRBEventSource)

public:
    static constexpr const char* kRecallNextName = "Recall Next";
    static constexpr const char* kRecallCurrentName = "Recall Current";
    static constexpr const char* kRecallPreviousName = "Recall Previous";
    static constexpr const char* kRecallByIndexName = "Recall by Index";
    static constexpr const char* kUpdateCurrentName = "Update Current";
    static constexpr const char* kTakeNewName = "Take New";

    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    // Nothing while a snapshot is replayed into the action's context; otherwise the subclass's
    // answer.
    QRBAcceptResult acceptAction(QRBAction& action) override;
    // Abstract here.
    virtual QRBAcceptResult snapshotEventSourceAcceptAction(QRBAction& action);
};

// Takes a snapshot of the current mapping: a new one after the last recalled snapshot, or one
// that replaces the last recalled snapshot.
class QRBSnapshotTakeEventSource : public QRBSnapshotEventSourceBase {
    QRB_EVENT_SOURCE_CLASS("QRBSnapshotTakeEventSource", QRBSnapshotEventSourceBase)

public:
    static const QRBEventSourceClass* classType() { return &QRBSnapshotEventSourceBase::staticClass(); }

    bool shouldTakeNewSnapshot() const { return shouldTakeNewSnapshot_; }
    void setShouldTakeNewSnapshot(bool takeNew) { shouldTakeNewSnapshot_ = takeNew; }

    // Acts when the value falls back through the threshold.
    void attach(QRBAction& action) override;
    QRBAcceptResult snapshotEventSourceAcceptAction(QRBAction& action) override;
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    // "shouldTakeNewSnapshot" after the base keys.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    bool shouldTakeNewSnapshot_ = false;
};

class QRBSnapshotRecallEventSourceBase : public QRBSnapshotEventSourceBase {
    QRB_EVENT_SOURCE_CLASS("QRBSnapshotRecallEventSourceBase", QRBSnapshotEventSourceBase)

public:
    static const QRBEventSourceClass* classType() { return &QRBSnapshotEventSourceBase::staticClass(); }

    // Acts when the value falls back through the threshold.
    void attach(QRBAction& action) override;
    // Recalls nextSnapshot in the current mapping.
    QRBAcceptResult snapshotEventSourceAcceptAction(QRBAction& action) override;
    // The snapshot to recall; abstract here.
    virtual QRBSnapshotPtr nextSnapshot(QRBPreset& inPreset, QRBAction& usingAction);
    // Failed for no snapshot, else the recall and Done.
    static QRBAcceptResult recallSnapshot(const QRBSnapshotPtr& snapshot, QRBPreset& inPreset);
};

// The snapshot before, at or after the last recalled one.
class QRBSnapshotRelativeRecallEventSource : public QRBSnapshotRecallEventSourceBase {
    QRB_EVENT_SOURCE_CLASS("QRBSnapshotRelativeRecallEventSource", QRBSnapshotRecallEventSourceBase)

public:
    enum RecallMode : uint64_t { kPrevious = 0, kCurrent = 1, kNext = 2 };
    static const QRBEventSourceClass* classType() { return &QRBSnapshotEventSourceBase::staticClass(); }

    uint64_t recallMode() const { return recallMode_; }
    void setRecallMode(uint64_t mode) { recallMode_ = mode; }

    // Nothing for a mode outside the three.
    QRBSnapshotPtr nextSnapshot(QRBPreset& inPreset, QRBAction& usingAction) override;
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    // "recallMode" after the base keys.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    uint64_t recallMode_ = kCurrent;
};

// The snapshot a floating value selects by index (value × count, rounded).
class QRBSnapshotIndexedRecallEventSource : public QRBSnapshotRecallEventSourceBase {
    QRB_EVENT_SOURCE_CLASS("QRBSnapshotIndexedRecallEventSource", QRBSnapshotRecallEventSourceBase)

public:
    static const QRBEventSourceClass* classType() { return &QRBSnapshotEventSourceBase::staticClass(); }

    // Recalls whenever the value changes.
    void attach(QRBAction& action) override;
    QRBSnapshotPtr nextSnapshot(QRBPreset& inPreset, QRBAction& usingAction) override;
    bool requireIntegralScalingsFormatting() const override { return true; }
    // The number of snapshots of the current mapping for floating input; 1 otherwise, and 1 when
    // there is no current mapping to count.
    double outputScalingFudgeFactorForAction(const QRBAction& action) const override;
};

// The snapshot of a given name. Renaming that snapshot renames what the output looks for.
class QRBSnapshotRecallEventSource : public QRBSnapshotRecallEventSourceBase, public QRBSnapshotNameFollower {
    QRB_EVENT_SOURCE_CLASS("QRBSnapshotRecallEventSource", QRBSnapshotRecallEventSourceBase)

public:
    static constexpr const char* kNameFormat = "Recall %s";
    static const QRBEventSourceClass* classType() { return &QRBSnapshotEventSourceBase::staticClass(); }

    std::optional<std::string> snapshotName() const override { return snapshotName_; }
    // Not undoable; a null name is a programming error.
    void setSnapshotName(const std::optional<std::string>& name) override;

    QRBSnapshotPtr nextSnapshot(QRBPreset& inPreset, QRBAction& usingAction) override;
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    // "snapshotName" after the base keys.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    std::optional<std::string> snapshotName_;
};

// Old documents' output that replayed the mapping's state: it decodes as "Recall Current".
class QRBForcePresetRestoreEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBForcePresetRestoreEventSource", QRBEventSource)

public:
    std::shared_ptr<foundation::Object> replacementAfterDecoding() override;
};
