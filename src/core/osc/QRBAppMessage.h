#pragma once
// A line the application writes into the monitor itself ("Routing started", the monitor's own
// direction and pause lines).

#include "core/osc/QRBMessage.h"

class QRBAppMessage;
using QRBAppMessagePtr = std::shared_ptr<QRBAppMessage>;

class QRBAppMessage : public QRBMessage {
public:
    QRBAppMessage() = default;
    QRBAppMessage(std::string presentation, std::optional<std::string> details);

    static QRBAppMessagePtr appMessageWithPresentation(std::string presentation,
                                                       std::optional<std::string> details = std::nullopt);

    std::string presentation() const override { return presentation_; }
    std::optional<std::string> details() const override { return details_; }

private:
    std::string presentation_;
    std::optional<std::string> details_;
};
