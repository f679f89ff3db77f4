#include "core/osc/QRBMessageEndpoint.h"

QRBMessageEndpoint::QRBMessageEndpoint(std::string categoryName, unsigned direction)
    : categoryName_(std::move(categoryName)), direction_(direction) {}

QRBMessageEndpointPtr QRBMessageEndpoint::appEndpoint() {
    static const QRBMessageEndpointPtr endpoint =
        std::make_shared<QRBMessageEndpoint>("Application", kDirectionApplication);
    return endpoint;
}
