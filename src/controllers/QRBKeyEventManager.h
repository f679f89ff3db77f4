#pragma once
// A document's key combination outputs: the list the output menus and the key combinations page
// offer, with its order and the document's default receiving application. The routing manager
// owns it and archives it under "keyEventManager".
//
// Keys are posted through the process's event poster (devices::DeviceLayers).

#include "controllers/QRBKeyComboEventSource.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"
#include "foundation/Observation.h"
#include "foundation/SortDescriptor.h"
#include "foundation/UndoManager.h"
#include "foundation/UndoableList.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QRBKeyEventManager;
using QRBKeyEventManagerPtr = std::shared_ptr<QRBKeyEventManager>;
using QRBKeyComboEventSourcePtr = std::shared_ptr<QRBKeyComboEventSource>;

class QRBKeyEventManager : public foundation::Object, public foundation::Observable {
    FND_ARCHIVED_CLASS("QRBKeyEventManager", foundation::Object)

public:
    // Observable key: the list.
    static constexpr const char* kKeyCombosKey = "keyCombos";

    // An empty list ordered by "keyComboString", ascending.
    QRBKeyEventManager();

    // ---- the list (each change registers its inverse and is announced to observers of "keyCombos")
    const std::vector<QRBKeyComboEventSourcePtr>& keyCombos() const { return keyCombos_.elements(); }
    size_t countOfKeyCombos() const { return keyCombos_.size(); }
    QRBKeyComboEventSourcePtr objectInKeyCombosAtIndex(size_t index) const;
    // Gives the output the manager's undo manager, then inserts.
    void insertObject(const QRBKeyComboEventSourcePtr& combo, size_t index);
    void removeObjectFromKeyCombosAtIndex(size_t index);
    // Appends the key combinations of an older document's parameters (an array; anything else in
    // it is skipped). Null does nothing.
    void fixKeyCombos(const foundation::Value& combos);

    const std::vector<foundation::SortDescriptorPtr>& keyCombosSortDescriptors() const { return sortDescriptors_; }
    void setKeyCombosSortDescriptors(std::vector<foundation::SortDescriptorPtr> descriptors) {
        sortDescriptors_ = std::move(descriptors);
    }

    // The document's default receiving application; none: the one with the keyboard focus.
    const std::optional<std::string>& targetAppName() const { return targetAppName_; }
    // Undoable; nothing when equal.
    void setTargetAppName(const std::optional<std::string>& name);

    // The document is closing.
    void close() {}

    // ---- posting
    // Posts a key down (`state` YES) or up with the modifier flags (0: the system's) to the
    // application named, else to the document's default one, else to the application with the
    // keyboard focus. An application that is not running gets nothing, and the log hears of it
    // once per name; the answer is YES all the same, as the outputs count a key for an absent
    // application as posted.
    bool postEventToApplicationName(const std::optional<std::string>& name, uint16_t keyCode, uint64_t flags,
                                    bool state) const;

    // The desktop's key-repeat delay and interval in seconds, read at every call; 0 with the
    // preference "DisableKeyRepeat".
    static double keyRepeatThreshold();
    static double keyRepeatInterval();

    const std::shared_ptr<foundation::UndoManager>& undoManager() const { return undoManager_; }
    // Stored and handed to every output in the list.
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager);

    // "keyCombos", "keyCombosSortDescriptors", "targetAppName".
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    std::shared_ptr<QRBKeyEventManager> self() {
        return std::static_pointer_cast<QRBKeyEventManager>(shared_from_this());
    }

    foundation::UndoableList<QRBKeyEventManager, QRBKeyComboEventSource> keyCombos_{
        kKeyCombosKey,
        {.insert = &QRBKeyEventManager::insertObject, .remove = &QRBKeyEventManager::removeObjectFromKeyCombosAtIndex}};
    std::shared_ptr<foundation::UndoManager> undoManager_;
    std::vector<foundation::SortDescriptorPtr> sortDescriptors_;
    std::optional<std::string> targetAppName_;
    // The absent applications the log has heard of.
    mutable std::set<std::string> reportedAbsentApplications_;
};
