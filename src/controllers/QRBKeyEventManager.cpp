#include "controllers/QRBKeyEventManager.h"

#include "controllers/devices/DeviceLayers.h"
#include "core/QRBPreferences.h"
#include "foundation/ArchiveLists.h"
#include "foundation/Exception.h"
#include "foundation/Log.h"

namespace {
constexpr const char* kKeyCombosArchiveKey = "keyCombos";
constexpr const char* kSortDescriptorsKey = "keyCombosSortDescriptors";
constexpr const char* kTargetAppNameKey = "targetAppName";
constexpr const char* kDefaultSortKey = "keyComboString";
}  // namespace

QRBKeyEventManager::QRBKeyEventManager() {
    sortDescriptors_ = {foundation::SortDescriptor::create(kDefaultSortKey, true)};
}

QRBKeyComboEventSourcePtr QRBKeyEventManager::objectInKeyCombosAtIndex(size_t index) const {
    return keyCombos_.at(index);
}

void QRBKeyEventManager::insertObject(const QRBKeyComboEventSourcePtr& combo, size_t index) {
    FND_PARAMETER_ASSERT(combo != nullptr);
    FND_PARAMETER_ASSERT(index <= keyCombos_.size());
    combo->setUndoManager(undoManager_);
    keyCombos_.insert(*this, combo, index);
}

void QRBKeyEventManager::removeObjectFromKeyCombosAtIndex(size_t index) { keyCombos_.remove(*this, index); }

void QRBKeyEventManager::setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) {
    undoManager_ = undoManager;
    for (const auto& combo : keyCombos_) combo->setUndoManager(undoManager_);
}

void QRBKeyEventManager::fixKeyCombos(const foundation::Value& combos) {
    const foundation::Array* array = combos.arrayValue();
    if (!array) return;
    for (const auto& entry : *array) {
        if (auto combo = entry.object<QRBKeyComboEventSource>()) keyCombos_.append(combo);
    }
}

void QRBKeyEventManager::setTargetAppName(const std::optional<std::string>& name) {
    if (name == targetAppName_) return;
    if (undoManager_) {
        undoManager_->registerUndo(this, [weak = std::weak_ptr(self()), old = targetAppName_] {
            if (auto me = weak.lock()) me->setTargetAppName(old);
        });
    }
    targetAppName_ = name;
}

void QRBKeyEventManager::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeObject(foundation::objectListValue(keyCombos_.elements()), kKeyCombosArchiveKey);
    coder.encodeObject(foundation::objectListValue(sortDescriptors_), kSortDescriptorsKey);
    coder.encodeObject(targetAppName_ ? foundation::Value(*targetAppName_) : foundation::Value(), kTargetAppNameKey);
}

void QRBKeyEventManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
    if (auto combos = foundation::decodeObjectList<QRBKeyComboEventSource>(coder, kKeyCombosArchiveKey))
        keyCombos_.assign(std::move(*combos));
    if (auto descriptors = foundation::decodeObjectList<foundation::SortDescriptor>(coder, kSortDescriptorsKey))
        sortDescriptors_ = std::move(*descriptors);
    targetAppName_ = coder.decodeString(kTargetAppNameKey);
}

bool QRBKeyEventManager::postEventToApplicationName(const std::optional<std::string>& name, uint16_t keyCode,
                                                    uint64_t flags, bool state) const {
    const std::optional<std::string>& application = name && !name->empty() ? name : targetAppName_;
    const devices::KeyEvent event{keyCode, flags, state};
    const auto& poster = devices::DeviceLayers::current().events;
    if (application && !application->empty()) {
        // A key repeat would otherwise write this line ten times a second.
        if (!poster->postKeyToApplication(event, *application) &&
            reportedAbsentApplications_.insert(*application).second)
            foundation::logf("Keys for the application \"%s\" are dropped: it is not running", application->c_str());
    } else {
        poster->postKey(event);
    }
    return true;
}

double QRBKeyEventManager::keyRepeatThreshold() {
    if (QRBPreferences::sharedPreferences().keyRepeatDisabled()) return 0;
    return devices::DeviceLayers::current().events->keyRepeatThreshold();
}

double QRBKeyEventManager::keyRepeatInterval() {
    if (QRBPreferences::sharedPreferences().keyRepeatDisabled()) return 0;
    return devices::DeviceLayers::current().events->keyRepeatInterval();
}
