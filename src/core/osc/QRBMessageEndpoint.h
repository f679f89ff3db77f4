#pragma once
// A named source or destination of messages, with the direction of its traffic. The monitor
// inserts a header line whenever the endpoint of the traffic changes, comparing endpoints by
// identity, so each source or destination keeps one endpoint object for its life.

#include "foundation/Object.h"

#include <memory>
#include <optional>
#include <string>

class QRBMessageEndpoint;
using QRBMessageEndpointPtr = std::shared_ptr<QRBMessageEndpoint>;

class QRBMessageEndpoint : public foundation::Object {
public:
    // Directions of traffic.
    static constexpr unsigned kDirectionApplication = 0;
    static constexpr unsigned kDirectionIncoming = 1;
    static constexpr unsigned kDirectionOutgoing = 2;

    QRBMessageEndpoint(std::string categoryName, unsigned direction);

    // The application's own lines, direction 0; one instance for the process.
    static QRBMessageEndpointPtr appEndpoint();

    // The kind of source or destination, such as "OSC Input".
    const std::string& categoryName() const { return categoryName_; }
    unsigned direction() const { return direction_; }
    // The particular source or destination (a target's address, a snapshot's name), if any. Its
    // owner updates it when that changes.
    const std::optional<std::string>& statusDescription() const { return statusDescription_; }
    void setStatusDescription(std::optional<std::string> statusDescription) {
        statusDescription_ = std::move(statusDescription);
    }

private:
    std::string categoryName_;
    unsigned direction_;
    std::optional<std::string> statusDescription_;
};
