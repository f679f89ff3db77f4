#include "core/monitor/QRBMessageEventQueue.h"

#include "foundation/Exception.h"
#include "foundation/Format.h"

QRBMessageEventQueue::QRBMessageEventQueue(size_t capacity) : capacity_(capacity) {
    FND_PARAMETER_ASSERT(capacity != 0);
}

void QRBMessageEventQueue::push(const QRBMessageEventPtr& event) {
    FND_PARAMETER_ASSERT(event != nullptr);
    if (events_.size() >= capacity_) {
        QRBMessageEventPtr dropped = std::move(events_.front());
        events_.pop_front();
        if (dropped && dropped.use_count() == 1 && dropped != event) {
            // Emptied now: what it held goes as it would have with the event.
            dropped->message_.reset();
            dropped->endpoint_.reset();
            dropped->timestamp_.reset();
            spare_ = std::move(dropped);
        }
    }

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

QRBMessageEventPtr QRBMessageEventQueue::makeEvent(QRBMessagePtr message, QRBMessageEndpointPtr endpoint,
                                                   std::optional<foundation::Date> timestamp) {
    if (!spare_ || spare_.use_count() != 1)
        return QRBMessageEvent::eventWithMessage(std::move(message), std::move(endpoint), timestamp);
    QRBMessageEventPtr event = std::move(spare_);
    event->message_ = std::move(message);
    event->endpoint_ = std::move(endpoint);
    event->timestamp_ = timestamp;
    return event;
}
