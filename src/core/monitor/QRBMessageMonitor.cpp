#include "core/monitor/QRBMessageMonitor.h"

#include "core/osc/QRBAppMessage.h"
#include "core/osc/QRBMessageEndpointChangeMessage.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"

#include <cstdint>

namespace {
constexpr const char* kDirectionKey = "direction";
constexpr const char* kMonitoringStateFormat = "Message monitoring %s";
}  // namespace

QRBMessageMonitor::QRBMessageMonitor(size_t capacity) : events_(capacity) {}

void QRBMessageMonitor::monitor(const QRBMessagePtr& message, const QRBMessageEndpointPtr& endpoint,
                                foundation::Date timestamp) {
    FND_PARAMETER_ASSERT(message);
    FND_PARAMETER_ASSERT(endpoint);
    // The filters run before any event is made: a flood of filtered traffic costs nothing more.
    if (!recordsMessagesOf(*endpoint) || !message->isMonitorable()) return;
    monitorEvent(events_.makeEvent(message, endpoint, timestamp));
}

void QRBMessageMonitor::monitorEvent(const QRBMessageEventPtr& event) {
    FND_PARAMETER_ASSERT(event);
    // Endpoints are compared by identity: two targets with the same address are still two
    // destinations.
    const QRBMessageEvent* last = events_.lastEvent();
    if (!last || last->endpoint() != event->endpoint()) {
        auto header = QRBMessageEndpointChangeMessage::endpointChangeMessageWithEndpoint(event->endpoint());
        events_.push(QRBMessageEvent::eventWithMessage(header, nullptr, std::nullopt));
    }
    events_.push(event);
    if (auto delegate = delegate_.lock()) delegate->monitorDidMonitorEvent(*this);
}

const QRBMessageEventPtr& QRBMessageMonitor::eventAtIndex(long index) const {
    FND_PARAMETER_ASSERT(index >= 0);
    return events_.objectAtIndex(static_cast<size_t>(index));
}

void QRBMessageMonitor::setPaused(bool paused) {
    if (paused == paused_) return;
    if (paused) {
        // Written before the flag is set, so that the line itself is still recorded.
        writeStatusLine(foundation::format(kMonitoringStateFormat, "paused"));
        paused_ = true;
    } else {
        paused_ = false;
        writeStatusLine(foundation::format(kMonitoringStateFormat, "resumed"));
    }
}

void QRBMessageMonitor::setDirection(unsigned direction) {
    if (direction == direction_) return;
    direction_ = direction;
    switch (direction) {
    case 0: writeStatusLine("Monitoring incoming and outgoing messages"); break;
    case 1: writeStatusLine("Monitoring incoming messages only"); break;
    case 2: writeStatusLine("Monitoring outgoing messages only"); break;
    default: writeStatusLine(""); break;
    }
}

void QRBMessageMonitor::writeStatusLine(std::string text) {
    monitor(QRBAppMessage::appMessageWithPresentation(std::move(text)), QRBMessageEndpoint::appEndpoint(),
            foundation::Date::now());
}

void QRBMessageMonitor::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    foundation::Object::encodeWithCoder(coder);
    coder.encodeInteger(direction_, kDirectionKey);
}

void QRBMessageMonitor::initWithCoder(foundation::KeyedUnarchiver& coder) {
    foundation::Object::initWithCoder(coder);
    const int64_t direction = coder.decodeInteger(kDirectionKey);
    if (direction < 0 || direction > int64_t(UINT32_MAX))
        throw foundation::ArchiveError(
            foundation::format("message monitor direction %lld is out of range", static_cast<long long>(direction)));
    direction_ = static_cast<unsigned>(direction);
}
