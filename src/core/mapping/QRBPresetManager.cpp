#include "core/mapping/QRBPresetManager.h"

#include "core/mapping/QRBActionHost.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "zz/ZZExtensions.h"

#include <algorithm>

namespace {

constexpr const char* kPresetsArchiveKey = "QRBPresetManagerPresets";
constexpr const char* kCurrentPresetArchiveKey = "QRBPresetManagerCurrentPreset";
constexpr const char* kShouldSendPresetNameArchiveKey = "shouldSendPresetNameOnPresetRestore";
// An imported preset with this name is always renamed after its file: every document has one.
constexpr const char* kImportedDefaultName = "Default";

constexpr size_t kNotFound = static_cast<size_t>(-1);

QRBPresetPtr makePreset(const std::string& name) {
    auto preset = std::make_shared<QRBPreset>();
    preset->setName(name);
    return preset;
}

}  // namespace

QRBPresetManager::QRBPresetManager() {
    auto preset = makePreset(kDefaultPresetName);
    presets_.append(preset);
    currentPreset_ = preset;
    observePresetNames();
}

QRBPresetManager::~QRBPresetManager() = default;

void QRBPresetManager::observePresetNames() {
    presetNameObserver_ = foundation::NotificationCenter::defaultCenter().addObserver(
        kQRBPresetNameChangedNotification, nullptr,
        [this](const foundation::Notification& notification) { presetNameChanged(notification); });
}

foundation::Value QRBPresetManager::observedValueForKey(const std::string& key) const {
    if (key == kCurrentPresetKey) return foundation::Value(currentPreset());
    if (key == kShouldSendPresetNameKey) return foundation::Value(shouldSendPresetNameOnPresetRestore_);
    return {};
}

size_t QRBPresetManager::indexOfPreset(const QRBPresetPtr& preset) const { return presets_.indexOf(preset); }

// ---- The list ----------------------------------------------------------------------------------

QRBPresetPtr QRBPresetManager::objectInPresetsAtIndex(size_t index) const { return presets_.at(index); }

void QRBPresetManager::insertObject(const QRBPresetPtr& preset, size_t index) {
    FND_PARAMETER_ASSERT(preset != nullptr);
    FND_PARAMETER_ASSERT(index <= presets_.size());
    preset->setUndoManager(undoManager_);
    presets_.insert(*this, preset, index);
}

void QRBPresetManager::removeObjectFromPresetsAtIndex(size_t index) { presets_.remove(*this, index); }

void QRBPresetManager::addPresetsObject(const QRBPresetPtr& preset) { insertObject(preset, presets_.size()); }

void QRBPresetManager::removePresetsObject(const QRBPresetPtr& preset) {
    FND_PARAMETER_ASSERT(indexOfPreset(preset) != kNotFound);
    FND_PARAMETER_ASSERT(presets_.size() > 1);
    setCurrentPreset(presetAfter(preset));
    const size_t index = indexOfPreset(preset);
    if (index != kNotFound) removeObjectFromPresetsAtIndex(index);
}

void QRBPresetManager::exchange(const QRBPresetPtr& a, const QRBPresetPtr& with) {
    const size_t i = indexOfPreset(a);
    if (i == kNotFound)
        foundation::raise(foundation::kInvalidArgumentException, "Cannot swap a preset if it is not in the array (A)");
    const size_t j = indexOfPreset(with);
    if (j == kNotFound)
        foundation::raise(foundation::kInvalidArgumentException, "Cannot swap a preset if it is not in the array (B)");
    if (i == j) return;
    // Each position is emptied and refilled through the list's own operations.
    removeObjectFromPresetsAtIndex(i);
    insertObject(with, i);
    removeObjectFromPresetsAtIndex(j);
    insertObject(a, j);
}

QRBPresetPtr QRBPresetManager::presetAfter(const QRBPresetPtr& preset) const {
    const size_t index = indexOfPreset(preset);
    if (index == kNotFound) return nullptr;
    return presets_[(index + 1) % presets_.size()];
}

QRBPresetPtr QRBPresetManager::presetBefore(const QRBPresetPtr& preset) const {
    const size_t index = indexOfPreset(preset);
    if (index == kNotFound) return nullptr;
    return presets_[(index + presets_.size() - 1) % presets_.size()];
}

QRBPresetPtr QRBPresetManager::presetAtIndex(size_t index) const {
    return index < presets_.size() ? presets_[index] : nullptr;
}

QRBPresetPtr QRBPresetManager::presetWithName(const std::string& name) const {
    for (const auto& preset : presets_)
        if (preset->name() == name) return preset;
    return nullptr;
}

// ---- The switch --------------------------------------------------------------------------------

void QRBPresetManager::setCurrentPreset(const QRBPresetPtr& preset) {
    const QRBPresetPtr old = currentPreset();
    if (ongoingPresetChange_ || preset == old) return;
    FND_PARAMETER_ASSERT(indexOfPreset(preset) != kNotFound);
    // The outputs of both presets may edit the list while the switch runs.
    auto self = shared_from_this();

    // Observers hear of the switch once, after the old preset was left and the new one restored,
    // also when an output throws halfway; the guard stays up while they are told.
    struct Ongoing {
        bool& flag;
        explicit Ongoing(bool& f) : flag(f) { flag = true; }
        ~Ongoing() { flag = false; }
    } ongoing(ongoingPresetChange_);
    willChangeValueForKey(kCurrentPresetKey);
    try {
        if (undoManager_ && old) {
            std::weak_ptr<QRBPresetManager> weak = std::static_pointer_cast<QRBPresetManager>(self);
            undoManager_->registerUndo(this, [weak, old] {
                if (auto manager = weak.lock()) manager->setCurrentPreset(old);
            });
            undoManager_->setActionIsDiscardable(true);
            if (!undoManager_->isUndoing())
                undoManager_->setActionName(foundation::format(kChangeMappingActionNameFormat, preset->name().c_str()));
        }
        if (old) old->willLeavePreset();
        currentPreset_ = preset;
        preset->didRestorePreset();
    } catch (...) {
        didChangeValueForKey(kCurrentPresetKey);
        throw;
    }
    didChangeValueForKey(kCurrentPresetKey);
}

size_t QRBPresetManager::currentPresetNumber() const {
    const size_t index = indexOfPreset(currentPreset());
    return index == kNotFound ? kNoPresetNumber : index + 1;
}

void QRBPresetManager::setCurrentPresetNumber(size_t index) {
    if (auto preset = presetAtIndex(index)) setCurrentPreset(preset);
}

// ---- New presets -------------------------------------------------------------------------------

QRBPresetPtr QRBPresetManager::createPreset() const {
    auto preset = std::make_shared<QRBPreset>();
    preset->setName(ZZUniqueString<QRBPresetPtr>(QRBPreset::kDefaultName, presets(), [](const QRBPresetPtr& p) {
        return std::optional<std::string>(p->name());
    }));
    if (auto current = currentPreset()) {
        const std::vector<QRBContextPtr> contexts = current->objects();
        for (const auto& context : contexts) preset->addObject(std::static_pointer_cast<QRBContext>(context->copy()));
    }
    return preset;
}

void QRBPresetManager::importPreset(const QRBPresetPtr& preset, const std::shared_ptr<QRBActionHost>& fromOSCManager,
                                    const std::shared_ptr<QRBActionHost>& toOSCManager,
                                    const std::string& originFilename) {
    FND_PARAMETER_ASSERT(preset != nullptr);
    // A top-level context carries itself and everything below it over.
    const std::vector<QRBContextPtr> contexts = preset->objects();
    for (const auto& context : contexts) {
        context->mergeEventSourceFromOSCManager(fromOSCManager, toOSCManager);
        context->setOscManager(toOSCManager);
    }
    if (presetWithName(preset->name()) || preset->name() == kImportedDefaultName)
        preset->setName(foundation::format("%s (%s)", preset->name().c_str(), originFilename.c_str()));
    addPresetsObject(preset);
}

void QRBPresetManager::setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) {
    undoManager_ = undoManager;
    for (const auto& preset : presets_) preset->setUndoManager(undoManager_);
}

void QRBPresetManager::setShouldSendPresetNameOnPresetRestore(bool send) {
    if (send == shouldSendPresetNameOnPresetRestore_) return;
    willChangeValueForKey(kShouldSendPresetNameKey);
    shouldSendPresetNameOnPresetRestore_ = send;
    didChangeValueForKey(kShouldSendPresetNameKey);
}

// ---- Renames -----------------------------------------------------------------------------------

void QRBPresetManager::presetNameChanged(const foundation::Notification& notification) {
    auto found = std::find_if(presets_.begin(), presets_.end(), [&](const QRBPresetPtr& p) {
        return foundation::NotificationObject(p) == notification.object;
    });
    if (found == presets_.end()) return;
    const QRBPresetPtr preset = *found;
    auto old = notification.userInfo.find(kQRBPresetNameChangedOldNameKey);
    if (old == notification.userInfo.end() || !old->second.stringValue()) return;
    const std::string oldName = *old->second.stringValue();
    const std::vector<QRBPresetPtr> presets = presets_.elements();
    for (const auto& p : presets) {
        for (const auto& action : p->allActions()) {
            auto follower = std::dynamic_pointer_cast<QRBPresetNameFollower>(action->eventSource());
            if (follower && follower->presetName() == oldName) follower->setPresetName(preset->name());
        }
    }
}

// ---- Archiving ---------------------------------------------------------------------------------

void QRBPresetManager::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    foundation::Object::encodeWithCoder(coder);
    foundation::Array presets;
    for (const auto& preset : presets_) presets.emplace_back(preset);
    coder.encodeObject(foundation::Value(std::move(presets)), kPresetsArchiveKey);
    coder.encodeConditionalObject(currentPreset(), kCurrentPresetArchiveKey);
    coder.encodeBool(shouldSendPresetNameOnPresetRestore_, kShouldSendPresetNameArchiveKey);
}

void QRBPresetManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
    foundation::Object::initWithCoder(coder);
    const bool sendName = coder.decodeBool(kShouldSendPresetNameArchiveKey);

    std::vector<QRBPresetPtr> presets;
    if (foundation::Value archived = coder.decodeObject(kPresetsArchiveKey); !archived.isNull()) {
        const foundation::Array* items = archived.arrayValue();
        if (!items) throw foundation::ArchiveError("the presets are not a list");
        for (const foundation::Value& item : *items) {
            auto preset = item.object<QRBPreset>();
            if (!preset) throw foundation::ArchiveError("the presets hold something other than a preset");
            presets.push_back(std::move(preset));
        }
    }
    QRBPresetPtr current = coder.decodeObjectOfClass<QRBPreset>(kCurrentPresetArchiveKey);
    if (!current) current = presets.empty() ? makePreset(kDefaultPresetName) : presets.front();
    if (presets.empty()) presets.push_back(current);
    if (std::find(presets.begin(), presets.end(), current) == presets.end())
        throw foundation::ArchiveError("the current preset is not one of the presets");

    shouldSendPresetNameOnPresetRestore_ = sendName;
    presets_.assign(std::move(presets));
    currentPreset_ = current;
    FND_ASSERT(currentPreset() != nullptr);
}
