#pragma once
// The monitor's header line, inserted whenever the source or destination of the traffic changes.

#include "core/osc/QRBMessage.h"
#include "core/osc/QRBMessageEndpoint.h"

class QRBMessageEndpointChangeMessage;
using QRBMessageEndpointChangeMessagePtr = std::shared_ptr<QRBMessageEndpointChangeMessage>;

class QRBMessageEndpointChangeMessage : public QRBMessage {
public:
    QRBMessageEndpointChangeMessage() = default;
    explicit QRBMessageEndpointChangeMessage(const QRBMessageEndpointPtr& endpoint) : endpoint_(endpoint) {}

    static QRBMessageEndpointChangeMessagePtr endpointChangeMessageWithEndpoint(const QRBMessageEndpointPtr& endpoint);

    // Weak: the events that follow the header hold their endpoint; the header only names it.
    QRBMessageEndpointPtr endpoint() const { return endpoint_.lock(); }

    // "From " or "To " by direction, the category, and " - " with the status description when
    // there is one. Empty once the endpoint is gone.
    std::string presentation() const override;

private:
    std::weak_ptr<QRBMessageEndpoint> endpoint_;
};
