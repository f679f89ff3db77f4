#include "core/QRBMessageEventQueue.h"

#include "foundation/Exception.h"
#include "foundation/Format.h"

QRBMessageEventQueue::QRBMessageEventQueue(size_t capacity) : capacity_(capacity) {
    FND_PARAMETER_ASSERT(capacity != 0);
}

void QRBMessageEventQueue::push(const QRBMessageEventPtr& event) {
    FND_PARAMETER_ASSERT(event != nullptr);
    if (events_.size() >= capacity_) events_.pop_front();

    const auto& stamp = event->timestamp();
    if (!stamp) {
        events_.push_back(event);
        return;
    }
    // Events mostly arrive in time order, so the walk from the newest end usually stops at once.
    auto position = events_.end();
    while (position != events_.begin()) {
        const auto& previous = (*std::prev(position))->timestamp();
        if (!previous || *previous <= *stamp) break;
        --position;
    }
    events_.insert(position, event);
}

const QRBMessageEventPtr& QRBMessageEventQueue::objectAtIndex(size_t index) const {
    if (index >= events_.size())
        foundation::raise(foundation::kRangeException,
                          foundation::format("index %zu beyond the %zu events of the queue", index, events_.size()));
    return events_[index];
}
