#include "features/QRBTimeEventsManager.h"

#include "features/QRBDelayEventSource.h"
#include "foundation/ArchiveLists.h"
#include "foundation/Exception.h"

#include <algorithm>

QRBEventSourcePtr QRBTimeEventsManager::objectInDelaysAtIndex(size_t index) const {
    FND_PARAMETER_ASSERT(index < delays_.size());
    return delays_[index];
}

void QRBTimeEventsManager::insertObject(const QRBEventSourcePtr& delay, size_t inDelaysAtIndex) {
    FND_PARAMETER_ASSERT(delay != nullptr);
    FND_PARAMETER_ASSERT(inDelaysAtIndex <= delays_.size());
    const size_t index = inDelaysAtIndex;
    delay->setUndoManager(undoManager_);
    if (undoManager_) {
        std::weak_ptr<QRBTimeEventsManager> weak = std::static_pointer_cast<QRBTimeEventsManager>(shared_from_this());
        undoManager_->registerUndo(this, [weak, index] {
            if (auto self = weak.lock()) self->removeObjectFromDelaysAtIndex(index);
        });
    }
    willChange(foundation::KeyValueChangeKind::Insertion, {index}, kDelaysKey);
    delays_.insert(delays_.begin() + static_cast<long>(index), delay);
    didChange(foundation::KeyValueChangeKind::Insertion, {index}, kDelaysKey);
}

void QRBTimeEventsManager::removeObjectFromDelaysAtIndex(size_t index) {
    FND_PARAMETER_ASSERT(index < delays_.size());
    const QRBEventSourcePtr delay = delays_[index];
    if (undoManager_) {
        std::weak_ptr<QRBTimeEventsManager> weak = std::static_pointer_cast<QRBTimeEventsManager>(shared_from_this());
        undoManager_->registerUndo(this, [weak, delay, index] {
            if (auto self = weak.lock()) self->insertObject(delay, index);
        });
    }
    willChange(foundation::KeyValueChangeKind::Removal, {index}, kDelaysKey);
    delays_.erase(delays_.begin() + static_cast<long>(index));
    didChange(foundation::KeyValueChangeKind::Removal, {index}, kDelaysKey);
}

const std::vector<foundation::SortDescriptorPtr>& QRBTimeEventsManager::delaysSortDescriptors() const {
    static const std::vector<foundation::SortDescriptorPtr> descriptors{foundation::SortDescriptor::create(kSortKey, true)};
    return descriptors;
}

std::vector<QRBEventSourcePtr> QRBTimeEventsManager::sortedDelays() const {
    std::vector<QRBEventSourcePtr> sorted = delays_;
    auto interval = [](const QRBEventSourcePtr& s) {
        auto delay = std::dynamic_pointer_cast<QRBDelayEventSource>(s);
        return delay ? delay->delayInterval() : 0.0;
    };
    std::stable_sort(sorted.begin(), sorted.end(),
                     [&](const QRBEventSourcePtr& a, const QRBEventSourcePtr& b) { return interval(a) < interval(b); });
    return sorted;
}

void QRBTimeEventsManager::setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) {
    undoManager_ = undoManager;
    for (const auto& delay : delays_) delay->setUndoManager(undoManager_);
}

void QRBTimeEventsManager::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeObject(foundation::objectListValue(delays_), kDelaysKey);
}

void QRBTimeEventsManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
    if (auto delays = foundation::decodeObjectList<QRBEventSource>(coder, kDelaysKey)) delays_ = std::move(*delays);
}
