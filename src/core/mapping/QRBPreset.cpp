#include "core/mapping/QRBPreset.h"

#include "core/mapping/QRBActionLocation.h"
#include "foundation/Exception.h"
#include "zz/ZZExtensions.h"

#include <algorithm>
#include <unordered_set>

namespace {

constexpr const char* kNameArchiveKey = "QRBPresetName";
constexpr const char* kObjectsArchiveKey = "QRBPresetObjects";
constexpr const char* kSnapshotsArchiveKey = "snapshots";
constexpr const char* kLastRecalledSnapshotArchiveKey = "lastRecalledSnapshot";
// Documents from before snapshots: the preset's actions fired with their stored values when it
// became current.
constexpr const char* kLegacyFireOnRestoreKey = "shouldFireActionsOnPresetRestore";

constexpr size_t kNotFound = static_cast<size_t>(-1);

template <class T>
size_t indexOfIdentical(const std::vector<std::shared_ptr<T>>& list, const std::shared_ptr<T>& object) {
    auto it = std::find(list.begin(), list.end(), object);
    return it == list.end() ? kNotFound : static_cast<size_t>(it - list.begin());
}

}  // namespace

QRBPreset::QRBPreset() {
    auto empty = QRBSnapshot::emptySnapshot();
    snapshots_.append(empty);
    lastRecalledSnapshot_ = empty;
    snapshotNameObserver_ = foundation::NotificationCenter::defaultCenter().addObserver(
        kQRBSnapshotNameChangedNotification, nullptr,
        [this](const foundation::Notification& notification) { snapshotNameChanged(notification); });
}

QRBPreset::~QRBPreset() = default;

foundation::Value QRBPreset::observedValueForKey(const std::string& key) const {
    if (key == kNameKey) return foundation::Value(name_);
    return {};
}

// ---- Contexts ----------------------------------------------------------------------------------

QRBContextPtr QRBPreset::objectInObjectsAtIndex(size_t index) const { return objects_.at(index); }

void QRBPreset::insertObject(const QRBContextPtr& context, size_t index) {
    FND_PARAMETER_ASSERT(context != nullptr);
    FND_PARAMETER_ASSERT(index <= objects_.size());
    context->setUndoManager(undoManager_);
    const bool indexed = contextsByNameCurrent();
    // The lookup by name is brought up to date before observers hear of the new context.
    objects_.insert(*this, context, index, [&] {
        if (!indexed) return;
        if (const auto& name = context->name()) {
            if (!contextsByName_.try_emplace(*name, context.get()).second) {
                contextsByNameShared_ = true;
                // Ahead of the one indexed, it is the first of that name now.
                if (index + 1 != objects_.size()) contextsByNameBuilt_ = false;
            }
        }
        context->markListedByName();
        contextsByNameCovered();
    });
}

void QRBPreset::removeObjectFromObjectsAtIndex(size_t index) {
    FND_PARAMETER_ASSERT(index < objects_.size());
    const QRBContextPtr context = objects_[index];
    const bool indexed = contextsByNameCurrent();
    objects_.remove(*this, index, [&] {
        if (!indexed) return;
        if (const auto& name = context->name()) {
            auto entry = contextsByName_.find(*name);
            if (entry != contextsByName_.end() && entry->second == context.get()) {
                // Another context of that name may come next: only a new look finds it.
                if (contextsByNameShared_)
                    contextsByNameBuilt_ = false;
                else
                    contextsByName_.erase(entry);
            }
        }
        contextsByNameCovered();
    });
}

void QRBPreset::addObject(const QRBContextPtr& context) { insertObject(context, objects_.size()); }

void QRBPreset::removeObject(const QRBContextPtr& context) {
    // Searched from the end, where closing a document takes its contexts from (a context is
    // listed once).
    const std::vector<QRBContextPtr>& list = objects_.elements();
    auto it = std::find(list.rbegin(), list.rend(), context);
    if (it != list.rend()) removeObjectFromObjectsAtIndex(static_cast<size_t>(list.rend() - it) - 1);
}

QRBContextPtr QRBPreset::contextWithName(const std::string& name) const {
    if (!contextsByNameCurrent()) indexContextsByName();
    auto found = contextsByName_.find(name);
    if (found == contextsByName_.end()) return nullptr;
    return std::static_pointer_cast<QRBContext>(found->second->shared_from_this());
}

bool QRBPreset::contextsByNameCurrent() const {
    return contextsByNameBuilt_ && contextsByNameRenames_ == QRBAction::listedRenameCount() &&
           contextsByNameStorage_ == objects_.elements().data() && contextsByNameLength_ == objects_.size();
}

void QRBPreset::indexContextsByName() const {
    contextsByName_.clear();
    contextsByNameShared_ = false;
    for (const auto& context : objects_) {
        context->markListedByName();
        if (const auto& name = context->name())
            if (!contextsByName_.try_emplace(*name, context.get()).second) contextsByNameShared_ = true;
    }
    contextsByNameBuilt_ = true;
    contextsByNameCovered();
}

void QRBPreset::contextsByNameCovered() const {
    contextsByNameRenames_ = QRBAction::listedRenameCount();
    contextsByNameStorage_ = objects_.elements().data();
    contextsByNameLength_ = objects_.size();
}

QRBActionPtr QRBPreset::actionAtLocation(const QRBActionLocation& location) const {
    auto context = contextWithName(location.contextName());
    if (!context) return nullptr;
    return context->actionAtPath(location.pathComponents());
}

std::vector<QRBActionPtr> QRBPreset::allActions() const {
    std::vector<QRBActionPtr> result;
    std::unordered_set<const QRBAction*> seen;
    auto add = [&](const QRBActionPtr& action) {
        if (action && seen.insert(action.get()).second) result.push_back(action);
    };
    for (const auto& context : objects_) {
        add(context);
        for (const auto& action : context->allActions()) add(action);
    }
    return result;
}

std::vector<QRBActionPtr> QRBPreset::actionsUsingEventSources(const std::vector<QRBEventSourcePtr>& sources) const {
    std::vector<QRBActionPtr> result;
    for (const auto& action : allActions()) {
        const QRBEventSourcePtr& source = action->eventSource();
        if (source && std::find(sources.begin(), sources.end(), source) != sources.end()) result.push_back(action);
    }
    return result;
}

void QRBPreset::setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) {
    if (undoManager == undoManager_) return;
    undoManager_ = undoManager;
    for (const auto& context : objects_) context->setUndoManager(undoManager_);
}

void QRBPreset::setName(const std::string& name) {
    if (name == name_) return;
    std::string oldName = name_;
    if (undoManager_) {
        std::weak_ptr<QRBPreset> weak = std::static_pointer_cast<QRBPreset>(shared_from_this());
        undoManager_->registerUndo(this, [weak, oldName] {
            if (auto self = weak.lock()) self->setName(oldName);
        });
    }
    willChangeValueForKey(kNameKey);
    name_ = name;
    didChangeValueForKey(kNameKey);
    foundation::NotificationCenter::defaultCenter().post(
        kQRBPresetNameChangedNotification, foundation::NotificationObject(this),
        {{kQRBPresetNameChangedOldNameKey, foundation::Value(oldName)}});
}

void QRBPreset::willLeavePreset() {
    const std::vector<QRBContextPtr> held = objects_.elements();
    for (const auto& context : held) context->willLeavePreset(this);
}

void QRBPreset::didRestorePreset() {
    const std::vector<QRBContextPtr> held = objects_.elements();
    for (const auto& context : held) context->didRestorePreset(this);
    if (auto snapshot = lastRecalledSnapshot()) recallSnapshot(snapshot);
}

void QRBPreset::invalidate() {
    auto self = shared_from_this();
    const std::vector<QRBContextPtr> held = objects_.elements();
    // Each context leaves the list as it goes: from the last, so that none of them moves the
    // ones after it (a document that learned tens of thousands of addresses closes at once).
    for (auto context = held.rbegin(); context != held.rend(); ++context) (*context)->invalidate();
}

// ---- Snapshots ---------------------------------------------------------------------------------

size_t QRBPreset::indexOfSnapshot(const QRBSnapshotPtr& snapshot) const { return snapshots_.indexOf(snapshot); }

QRBSnapshotPtr QRBPreset::objectInSnapshotsAtIndex(size_t index) const { return snapshots_.at(index); }

void QRBPreset::insertObject(const QRBSnapshotPtr& snapshot, size_t index) {
    FND_PARAMETER_ASSERT(snapshot != nullptr);
    FND_PARAMETER_ASSERT(index <= snapshots_.size());
    std::vector<QRBSnapshotPtr> others;
    for (const auto& s : snapshots_)
        if (s != snapshot) others.push_back(s);
    snapshot->setName(ZZUniqueString<QRBSnapshotPtr>(
        snapshot->name(), others, [](const QRBSnapshotPtr& s) { return std::optional<std::string>(s->name()); }));
    snapshots_.insert(*this, snapshot, index);
}

void QRBPreset::removeObjectFromSnapshotsAtIndex(size_t index) {
    const QRBSnapshotPtr snapshot = snapshots_.remove(*this, index);
    // The last recalled snapshot stays one of the list, also when an undo takes it out.
    if (lastRecalledSnapshot_.lock() == snapshot) {
        lastRecalledSnapshot_.reset();
        if (!snapshots_.empty()) setLastRecalledSnapshot(snapshots_.front());
    }
}

void QRBPreset::replaceObjectInSnapshotsAtIndex(size_t index, const QRBSnapshotPtr& snapshot) {
    FND_PARAMETER_ASSERT(snapshot != nullptr);
    const QRBSnapshotPtr old = snapshots_.at(index);
    if (old == snapshot) return;
    snapshot->setName(old->name());
    if (snapshots_.replace(*this, index, snapshot) == lastRecalledSnapshot_.lock()) setLastRecalledSnapshot(snapshot);
}

void QRBPreset::addSnapshotsObject(const QRBSnapshotPtr& snapshot) {
    const size_t index = indexOfSnapshot(lastRecalledSnapshot());
    FND_PARAMETER_ASSERT(index != kNotFound);
    insertObject(snapshot, index + 1);
    setLastRecalledSnapshot(snapshot);
}

void QRBPreset::removeSnapshotsObject(const QRBSnapshotPtr& snapshot) {
    const size_t index = indexOfSnapshot(snapshot);
    FND_PARAMETER_ASSERT(index != kNotFound);
    removeObjectFromSnapshotsAtIndex(index);
    if (!snapshots_.empty()) setLastRecalledSnapshot(snapshots_.front());
}

void QRBPreset::replaceSnapshotsObject(const QRBSnapshotPtr& old, const QRBSnapshotPtr& snapshot) {
    const size_t index = indexOfSnapshot(old);
    FND_PARAMETER_ASSERT(index != kNotFound);
    FND_PARAMETER_ASSERT(snapshot != nullptr);
    const bool wasLastRecalled = lastRecalledSnapshot() == old;
    replaceObjectInSnapshotsAtIndex(index, snapshot);
    if (wasLastRecalled) setLastRecalledSnapshot(snapshot);
}

void QRBPreset::setLastRecalledSnapshot(const QRBSnapshotPtr& snapshot) {
    if (snapshot != lastRecalledSnapshot_.lock()) {
        FND_PARAMETER_ASSERT(indexOfSnapshot(snapshot) != kNotFound);
        lastRecalledSnapshot_ = snapshot;
    }
    lastRecalledSnapshotDirty_ = false;
}

void QRBPreset::setLastRecalledSnapshotDirty() {
    if (lastRecalledSnapshotDirty_) return;
    auto last = lastRecalledSnapshot();
    auto current = createSnapshot();
    if (!last || !last->isEqualToSnapshot(*current)) lastRecalledSnapshotDirty_ = true;
}

QRBSnapshotPtr QRBPreset::createSnapshot() const {
    QRBSnapshotElements elements;
    elements.reserve(objects_.size());
    for (const auto& context : objects_) elements.push_back(context->createSnapshotElement());
    return QRBSnapshot::snapshotWithElements(std::move(elements));
}

void QRBPreset::recallSnapshot(const QRBSnapshotPtr& snapshot) {
    FND_PARAMETER_ASSERT(snapshot != nullptr);
    FND_PARAMETER_ASSERT(indexOfSnapshot(snapshot) != kNotFound);
    auto self = shared_from_this();
    if (snapshot->elements()) {
        const QRBSnapshotElements elements = *snapshot->elements();
        for (const auto& element : elements) {
            if (!element || !element->message()) continue;
            if (auto context = contextWithName(element->message()->path()))
                context->recallSnapshotElement(element, snapshot);
        }
    }
    // An output fired by the replay may have edited the list; the snapshot is recorded only while
    // it is still there.
    if (indexOfSnapshot(snapshot) != kNotFound) setLastRecalledSnapshot(snapshot);
}

bool QRBPreset::canRenameOrDelegateSnapshot(const QRBSnapshotPtr& snapshot) const {
    return snapshots_.empty() || snapshot != snapshots_.front();
}

QRBSnapshotPtr QRBPreset::snapshotWithName(const std::string& name) const {
    for (const auto& snapshot : snapshots_)
        if (snapshot->name() == name) return snapshot;
    return nullptr;
}

QRBSnapshotPtr QRBPreset::snapshotAfter(const QRBSnapshotPtr& snapshot) const {
    if (snapshots_.size() <= 1) return nullptr;
    const size_t index = indexOfSnapshot(snapshot);
    FND_PARAMETER_ASSERT(index != kNotFound);
    const size_t next = index + 1 == snapshots_.size() ? 1 : index + 1;
    return snapshots_[next];
}

QRBSnapshotPtr QRBPreset::snapshotBefore(const QRBSnapshotPtr& snapshot) const {
    if (snapshots_.size() <= 1) return nullptr;
    const size_t index = indexOfSnapshot(snapshot);
    FND_PARAMETER_ASSERT(index != kNotFound);
    // From the first real snapshot the cycle wraps to the last; from the empty snapshot, which
    // is outside the cycle, stepping back enters it at its end.
    const size_t i = index <= 1 ? snapshots_.size() : index;
    return snapshots_[i - 1];
}

std::string QRBPreset::lastRecalledSnapshotDisplayName() const {
    auto snapshot = lastRecalledSnapshot();
    FND_PARAMETER_ASSERT(snapshot);
    const bool first = !snapshots_.empty() && snapshots_.front() == snapshot;
    if (lastRecalledSnapshotDirty_ && !first) return kDirtyMark + snapshot->name();
    return snapshot->name();
}

// ---- Renames -----------------------------------------------------------------------------------

void QRBPreset::snapshotNameChanged(const foundation::Notification& notification) {
    auto found = std::find_if(snapshots_.begin(), snapshots_.end(), [&](const QRBSnapshotPtr& s) {
        return foundation::NotificationObject(s) == notification.object;
    });
    if (found == snapshots_.end()) return;
    const QRBSnapshotPtr snapshot = *found;
    auto old = notification.userInfo.find(kQRBSnapshotNameChangedOldNameKey);
    if (old == notification.userInfo.end() || !old->second.stringValue()) return;
    const std::string oldName = *old->second.stringValue();
    for (const auto& action : allActions()) {
        auto follower = std::dynamic_pointer_cast<QRBSnapshotNameFollower>(action->eventSource());
        if (follower && follower->snapshotName() == oldName) follower->setSnapshotName(snapshot->name());
    }
}

// ---- Archiving ---------------------------------------------------------------------------------

void QRBPreset::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    foundation::Object::encodeWithCoder(coder);
    coder.encodeString(name_, kNameArchiveKey);
    foundation::Array contexts;
    for (const auto& context : objects_) contexts.emplace_back(context);
    coder.encodeObject(foundation::Value(std::move(contexts)), kObjectsArchiveKey);
    foundation::Array snapshots;
    for (const auto& snapshot : snapshots_) snapshots.emplace_back(snapshot);
    coder.encodeObject(foundation::Value(std::move(snapshots)), kSnapshotsArchiveKey);
    coder.encodeConditionalObject(lastRecalledSnapshot(), kLastRecalledSnapshotArchiveKey);
}

namespace {

template <class T>
std::vector<std::shared_ptr<T>> decodeList(foundation::KeyedUnarchiver& coder, const char* key, const char* what) {
    std::vector<std::shared_ptr<T>> list;
    foundation::Value archived = coder.decodeObject(key);
    if (archived.isNull()) return list;
    const foundation::Array* items = archived.arrayValue();
    if (!items) throw foundation::ArchiveError(std::string("preset ") + what + " are not a list");
    for (const foundation::Value& item : *items) {
        auto object = item.object<T>();
        if (!object) throw foundation::ArchiveError(std::string("preset holds something other than ") + what);
        list.push_back(std::move(object));
    }
    return list;
}

}  // namespace

void QRBPreset::initWithCoder(foundation::KeyedUnarchiver& coder) {
    foundation::Object::initWithCoder(coder);
    std::optional<std::string> name = coder.decodeString(kNameArchiveKey);
    std::vector<QRBContextPtr> contexts = decodeList<QRBContext>(coder, kObjectsArchiveKey, "contexts");
    std::vector<QRBSnapshotPtr> snapshots = decodeList<QRBSnapshot>(coder, kSnapshotsArchiveKey, "snapshots");
    QRBSnapshotPtr last = coder.decodeObjectOfClass<QRBSnapshot>(kLastRecalledSnapshotArchiveKey);
    const bool fireOnRestore = coder.decodeBool(kLegacyFireOnRestoreKey);
    if (last && indexOfIdentical(snapshots, last) == kNotFound)
        throw foundation::ArchiveError("preset's last recalled snapshot is not one of its snapshots");
    // Routing registers each listed context under its address: one that lives inside another
    // context has no address of its own to be registered under.
    for (const auto& context : contexts) {
        if (!context->isTopLevel()) throw foundation::ArchiveError("preset lists a context that is not top-level");
    }

    if (name) name_ = std::move(*name);
    objects_.assign(std::move(contexts));
    for (const auto& context : objects_) context->fold();

    if (last) {
        snapshots_.assign(std::move(snapshots));
        lastRecalledSnapshot_ = last;
    } else {
        // A document from before snapshots.
        auto empty = QRBSnapshot::emptySnapshot();
        snapshots_.assign({empty});
        lastRecalledSnapshot_ = empty;
        if (fireOnRestore) {
            auto snapshot = createSnapshot();
            snapshots_.append(snapshot);
            lastRecalledSnapshot_ = snapshot;
        }
    }
    lastRecalledSnapshotDirty_ = false;
}
