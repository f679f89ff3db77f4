#include "features/QRBTimeEventsManager.h"

#include "features/QRBDelayEventSource.h"
#include "foundation/ArchiveLists.h"
#include "foundation/Exception.h"

#include <algorithm>

QRBEventSourcePtr QRBTimeEventsManager::objectInDelaysAtIndex(size_t index) const { return delays_.at(index); }

void QRBTimeEventsManager::insertObject(const QRBEventSourcePtr& delay, size_t inDelaysAtIndex) {
    FND_PARAMETER_ASSERT(delay != nullptr);
    delay->setUndoManager(undoManager_);
    delays_.insert(*this, delay, inDelaysAtIndex);
}

void QRBTimeEventsManager::removeObjectFromDelaysAtIndex(size_t index) { delays_.remove(*this, index); }

const std::vector<foundation::SortDescriptorPtr>& QRBTimeEventsManager::delaysSortDescriptors() const {
    static const std::vector<foundation::SortDescriptorPtr> descriptors{
        foundation::SortDescriptor::create(kSortKey, true)};
    return descriptors;
}

std::vector<QRBEventSourcePtr> QRBTimeEventsManager::sortedDelays() const {
    std::vector<QRBEventSourcePtr> sorted = delays_.elements();
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
    coder.encodeObject(foundation::objectListValue(delays_.elements()), kDelaysKey);
}

void QRBTimeEventsManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
    if (auto delays = foundation::decodeObjectList<QRBEventSource>(coder, kDelaysKey))
        delays_.assign(std::move(*delays));
}
