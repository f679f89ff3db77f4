#include "core/osc/QRBAppMessage.h"

QRBAppMessage::QRBAppMessage(std::string presentation, std::optional<std::string> details)
    : presentation_(std::move(presentation)), details_(std::move(details)) {}

QRBAppMessagePtr QRBAppMessage::appMessageWithPresentation(std::string presentation,
                                                           std::optional<std::string> details) {
    return std::make_shared<QRBAppMessage>(std::move(presentation), std::move(details));
}
