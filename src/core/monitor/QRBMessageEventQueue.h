#pragma once
// A bounded list of monitor events in time-stamp order, oldest first. When full, each new event
// pushes the oldest out, so a flood of traffic costs constant memory.

#include "core/monitor/QRBMessageEvent.h"

#include <cstddef>
#include <deque>

class QRBMessageEventQueue : public foundation::Object {
public:
    // Asserts a capacity above 0.
    explicit QRBMessageEventQueue(size_t capacity);

    // Drops the oldest event when full. A header (no time stamp) goes at the end; a stamped event
    // goes after the newest event that is not later than it, but never before the header that
    // precedes it; equal stamps keep their arrival order.
    void push(const QRBMessageEventPtr& event);
    void removeAllEvents() { events_.clear(); }
    // A new event, like QRBMessageEvent::eventWithMessage. A full queue drops an event at every
    // push; one that nobody else holds is kept and made the next new event, so that a steady
    // flow of traffic does not allocate an event per message.
    QRBMessageEventPtr makeEvent(QRBMessagePtr message, QRBMessageEndpointPtr endpoint,
                                 std::optional<foundation::Date> timestamp);

    size_t count() const { return events_.size(); }
    size_t capacity() const { return capacity_; }
    // Raises a range exception at or beyond the count.
    const QRBMessageEventPtr& objectAtIndex(size_t index) const;
    // The event at the newest position, or null when empty.
    QRBMessageEventPtr lastObject() const { return events_.empty() ? nullptr : events_.back(); }
    // The same without a copy of the pointer: null when empty.
    const QRBMessageEvent* lastEvent() const { return events_.empty() ? nullptr : events_.back().get(); }
    const std::deque<QRBMessageEventPtr>& events() const { return events_; }

private:
    size_t capacity_;
    std::deque<QRBMessageEventPtr> events_;
    QRBMessageEventPtr spare_;  // a dropped event, emptied, for makeEvent
};
