#pragma once
// The document's ordered list of presets and the one that is current: only the current preset's
// contexts receive input. The routing manager owns it, hands it the document's undo manager and
// observes its "currentPreset" (to register the new preset's addresses, light the remotes' LEDs
// and send the mapping message) and "shouldSendPresetNameOnPresetRestore".
//
// A switch leaves the old preset (every output releases what it holds), restores the new one
// (outputs attach again, the last recalled snapshot is replayed) and only then tells observers of
// "currentPreset", once. A switch requested while one is under way (an output that the replay
// fires, say) is ignored.
//
// Main thread only.

#include "core/mapping/QRBPreset.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/NotificationCenter.h"
#include "foundation/Object.h"
#include "foundation/Observation.h"
#include "foundation/UndoManager.h"
#include "foundation/UndoableList.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class QRBActionHost;
class QRBPresetManager;
using QRBPresetManagerPtr = std::shared_ptr<QRBPresetManager>;

class QRBPresetManager : public foundation::Object, public foundation::Observable {
    FND_ARCHIVED_CLASS("QRBPresetManager", foundation::Object)

public:
    static constexpr const char* kDefaultPresetName = "Default Mapping";
    static constexpr const char* kChangeMappingActionNameFormat = "Change Mapping to '%s'";
    // The 1-based number of a current preset that is not in the list.
    static constexpr size_t kNoPresetNumber = static_cast<size_t>(-1);
    // Observable keys.
    static constexpr const char* kCurrentPresetKey = "currentPreset";
    static constexpr const char* kPresetsKey = "presets";
    static constexpr const char* kShouldSendPresetNameKey = "shouldSendPresetNameOnPresetRestore";

    // One preset, "Default Mapping", which is current.
    QRBPresetManager();
    ~QRBPresetManager() override;

    // ---- the list
    const std::vector<QRBPresetPtr>& presets() const { return presets_.elements(); }
    size_t countOfPresets() const { return presets_.size(); }
    QRBPresetPtr objectInPresetsAtIndex(size_t index) const;
    // Gives the preset the undo manager, registers the removal as the undo, inserts; observers of
    // "presets" hear of each insertion and removal with its index.
    void insertObject(const QRBPresetPtr& preset, size_t index);
    void removeObjectFromPresetsAtIndex(size_t index);
    void addPresetsObject(const QRBPresetPtr& preset);
    // Makes the preset after it current first, then removes it. The last preset cannot be
    // removed: the list is never empty.
    void removePresetsObject(const QRBPresetPtr& preset);
    // Swaps two presets through the list's own removal and insertion, so that it is undoable and
    // observers are told.
    void exchange(const QRBPresetPtr& a, const QRBPresetPtr& with);

    // Neighbours, wrapping around; null for a preset not in the list.
    QRBPresetPtr presetAfter(const QRBPresetPtr& preset) const;
    QRBPresetPtr presetBefore(const QRBPresetPtr& preset) const;
    // Null when the index is not below the count.
    QRBPresetPtr presetAtIndex(size_t index) const;
    QRBPresetPtr presetWithName(const std::string& name) const;

    // ---- the current preset
    QRBPresetPtr currentPreset() const { return currentPreset_.lock(); }
    // The switch; nothing when one is under way or the preset is already current. The preset
    // must be one of the list.
    void setCurrentPreset(const QRBPresetPtr& preset);
    bool ongoingPresetChange() const { return ongoingPresetChange_; }
    // 1-based; kNoPresetNumber when the current preset is not in the list.
    size_t currentPresetNumber() const;
    // 0-based; nothing when out of range.
    void setCurrentPresetNumber(size_t index);

    // ---- new presets
    // A preset named uniquely after "Mapping 2", holding copies of the current preset's
    // top-level contexts; not added to the list.
    QRBPresetPtr createPreset() const;
    // Carries a preset decoded from another document into this one: each action's output as its
    // merger decides, the contexts to this document's manager, a name made distinct with the
    // file name when it clashes (or is "Default"); then appends it.
    void importPreset(const QRBPresetPtr& preset, const std::shared_ptr<QRBActionHost>& fromOSCManager,
                      const std::shared_ptr<QRBActionHost>& toOSCManager, const std::string& originFilename);

    const std::shared_ptr<foundation::UndoManager>& undoManager() const { return undoManager_; }
    // Stored and handed to every preset.
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager);

    bool shouldSendPresetNameOnPresetRestore() const { return shouldSendPresetNameOnPresetRestore_; }
    void setShouldSendPresetNameOnPresetRestore(bool send);

    // "QRBPresetManagerPresets", "QRBPresetManagerCurrentPreset" (conditional),
    // "shouldSendPresetNameOnPresetRestore". A document without presets decodes with one
    // "Default Mapping"; one without a current preset makes its first preset current.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    foundation::Value observedValueForKey(const std::string& key) const override;
    size_t indexOfPreset(const QRBPresetPtr& preset) const;
    void presetNameChanged(const foundation::Notification& notification);
    void observePresetNames();

    foundation::UndoableList<QRBPresetManager, QRBPreset> presets_{
        kPresetsKey,
        {.insert = &QRBPresetManager::insertObject, .remove = &QRBPresetManager::removeObjectFromPresetsAtIndex}};
    bool ongoingPresetChange_ = false;
    bool shouldSendPresetNameOnPresetRestore_ = false;
    std::shared_ptr<foundation::UndoManager> undoManager_;
    std::weak_ptr<QRBPreset> currentPreset_;
    // Last, so that it goes first: no rename reaches a manager being destroyed.
    foundation::ObserverToken presetNameObserver_;
};
