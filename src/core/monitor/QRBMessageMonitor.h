#pragma once
// A document's log of the messages that pass through it, in both directions, for the monitor
// view. Every input and output path reports through monitor(); the monitor filters by direction,
// can be paused, inserts a header line whenever the endpoint of the traffic changes, and keeps
// the newest 1000 events.

#include "core/monitor/QRBMessageEventQueue.h"
#include "foundation/KeyedArchiver.h"

#include <memory>

class QRBMessageMonitor;
using QRBMessageMonitorPtr = std::shared_ptr<QRBMessageMonitor>;

class QRBMessageMonitorDelegate {
public:
    virtual ~QRBMessageMonitorDelegate() = default;
    // Called synchronously after each recorded event; it should only note that the view needs
    // refreshing.
    virtual void monitorDidMonitorEvent(QRBMessageMonitor& monitor) = 0;
};

class QRBMessageMonitor : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBMessageMonitor", foundation::Object)

public:
    static constexpr size_t kCapacity = 1000;

    // Direction 1 (incoming only), not paused, no events. `capacity` is for tests; the document's
    // monitor keeps kCapacity events.
    explicit QRBMessageMonitor(size_t capacity = kCapacity);

    // The entry of every reporter. Records nothing while paused, for a message that is not
    // monitorable, or when the monitor's and the endpoint's directions are both set and differ.
    // Asserts a message and an endpoint.
    void monitor(const QRBMessagePtr& message, const QRBMessageEndpointPtr& endpoint, foundation::Date timestamp);
    // Whether monitor() would record a monitorable message of `endpoint` now, so that a sender
    // makes the message only for a monitor that keeps it.
    bool recordsMessagesOf(const QRBMessageEndpoint& endpoint) const {
        if (paused_) return false;
        const unsigned endpointDirection = endpoint.direction();
        return direction_ == 0 || endpointDirection == 0 || direction_ == endpointDirection;
    }
    // Records an event unconditionally, after a header when its endpoint differs from the
    // newest event's, and tells the delegate.
    void monitorEvent(const QRBMessageEventPtr& event);
    void clear() { events_.removeAllEvents(); }

    // Index 0 is the oldest event; asserts a non-negative index.
    const QRBMessageEventPtr& eventAtIndex(long index) const;
    size_t eventsCount() const { return events_.count(); }
    const QRBMessageEventQueue& events() const { return events_; }

    bool isPaused() const { return paused_; }
    // A change writes "Message monitoring paused" before pausing, or "Message monitoring resumed"
    // after resuming.
    void setPaused(bool paused);
    // 0 both directions, 1 incoming only, 2 outgoing only. A change writes a status line.
    unsigned direction() const { return direction_; }
    void setDirection(unsigned direction);

    std::shared_ptr<QRBMessageMonitorDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const std::shared_ptr<QRBMessageMonitorDelegate>& delegate) { delegate_ = delegate; }

    // Only the direction is archived; a decoded monitor starts empty and unpaused.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    // The monitor's own lines, from the application endpoint at the current date.
    void writeStatusLine(std::string text);

    bool paused_ = false;
    unsigned direction_ = QRBMessageEndpoint::kDirectionIncoming;
    std::weak_ptr<QRBMessageMonitorDelegate> delegate_;
    QRBMessageEventQueue events_;
};
