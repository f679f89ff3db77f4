#include "controllers/QRBKeyEventManager.h"

#include "foundation/ArchiveLists.h"
#include "foundation/Exception.h"

namespace {
constexpr const char* kKeyCombosKey = "keyCombos";
constexpr const char* kSortDescriptorsKey = "keyCombosSortDescriptors";
constexpr const char* kTargetAppNameKey = "targetAppName";
constexpr const char* kDefaultSortKey = "keyComboString";
}  // namespace

QRBKeyEventManager::QRBKeyEventManager() { sortDescriptors_ = {foundation::SortDescriptor::create(kDefaultSortKey, true)}; }

QRBKeyComboEventSourcePtr QRBKeyEventManager::objectInKeyCombosAtIndex(size_t index) const {
    FND_PARAMETER_ASSERT(index < keyCombos_.size());
    return keyCombos_[index];
}

void QRBKeyEventManager::insertObject(const QRBKeyComboEventSourcePtr& combo, size_t index) {
    FND_PARAMETER_ASSERT(combo != nullptr);
    FND_PARAMETER_ASSERT(index <= keyCombos_.size());
    if (undoManager_) {
        undoManager_->registerUndo(this, [weak = std::weak_ptr(self()), index] {
            if (auto me = weak.lock()) me->removeObjectFromKeyCombosAtIndex(index);
        });
    }
    keyCombos_.insert(keyCombos_.begin() + static_cast<long>(index), combo);
}

void QRBKeyEventManager::removeObjectFromKeyCombosAtIndex(size_t index) {
    FND_PARAMETER_ASSERT(index < keyCombos_.size());
    QRBKeyComboEventSourcePtr combo = keyCombos_[index];
    if (undoManager_) {
        undoManager_->registerUndo(this, [weak = std::weak_ptr(self()), combo, index] {
            if (auto me = weak.lock()) me->insertObject(combo, index);
        });
    }
    keyCombos_.erase(keyCombos_.begin() + static_cast<long>(index));
}

void QRBKeyEventManager::fixKeyCombos(const foundation::Value& combos) {
    const foundation::Array* array = combos.arrayValue();
    if (!array) return;
    for (const auto& entry : *array) {
        if (auto combo = entry.object<QRBKeyComboEventSource>()) keyCombos_.push_back(combo);
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
    coder.encodeObject(foundation::objectListValue(keyCombos_), kKeyCombosKey);
    coder.encodeObject(foundation::objectListValue(sortDescriptors_), kSortDescriptorsKey);
    coder.encodeObject(targetAppName_ ? foundation::Value(*targetAppName_) : foundation::Value(), kTargetAppNameKey);
}

void QRBKeyEventManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
    if (auto combos = foundation::decodeObjectList<QRBKeyComboEventSource>(coder, kKeyCombosKey))
        keyCombos_ = std::move(*combos);
    if (auto descriptors = foundation::decodeObjectList<foundation::SortDescriptor>(coder, kSortDescriptorsKey))
        sortDescriptors_ = std::move(*descriptors);
    targetAppName_ = coder.decodeString(kTargetAppNameKey);
}
