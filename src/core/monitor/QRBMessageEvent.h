#pragma once
// One line of the monitor: a message with the endpoint it came from or went to and when. The
// monitor's header lines have neither endpoint nor time stamp.

#include "core/osc/QRBMessage.h"
#include "core/osc/QRBMessageEndpoint.h"
#include "foundation/Date.h"

#include <optional>

class QRBMessageEvent;
using QRBMessageEventPtr = std::shared_ptr<QRBMessageEvent>;

class QRBMessageEvent : public foundation::Object {
public:
    QRBMessageEvent(QRBMessagePtr message, QRBMessageEndpointPtr endpoint, std::optional<foundation::Date> timestamp)
        : message_(std::move(message)), endpoint_(std::move(endpoint)), timestamp_(timestamp) {}

    static QRBMessageEventPtr eventWithMessage(QRBMessagePtr message, QRBMessageEndpointPtr endpoint,
                                               std::optional<foundation::Date> timestamp) {
        return std::make_shared<QRBMessageEvent>(std::move(message), std::move(endpoint), timestamp);
    }

    const QRBMessagePtr& message() const { return message_; }
    const QRBMessageEndpointPtr& endpoint() const { return endpoint_; }
    const std::optional<foundation::Date>& timestamp() const { return timestamp_; }

private:
    friend class QRBMessageEventQueue;  // reuses the events it drops (see there)

    QRBMessagePtr message_;
    QRBMessageEndpointPtr endpoint_;
    std::optional<foundation::Date> timestamp_;
};
