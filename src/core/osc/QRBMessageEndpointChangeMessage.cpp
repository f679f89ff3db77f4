#include "core/osc/QRBMessageEndpointChangeMessage.h"

QRBMessageEndpointChangeMessagePtr QRBMessageEndpointChangeMessage::endpointChangeMessageWithEndpoint(
    const QRBMessageEndpointPtr& endpoint) {
    return std::make_shared<QRBMessageEndpointChangeMessage>(endpoint);
}

std::string QRBMessageEndpointChangeMessage::presentation() const {
    QRBMessageEndpointPtr endpoint = endpoint_.lock();
    if (!endpoint) return {};
    std::string text;
    if (endpoint->direction() == QRBMessageEndpoint::kDirectionIncoming)
        text = "From ";
    else if (endpoint->direction() == QRBMessageEndpoint::kDirectionOutgoing)
        text = "To ";
    text += endpoint->categoryName();
    if (const auto& status = endpoint->statusDescription()) {
        text += " - ";
        text += *status;
    }
    return text;
}
