#include "controllers/QRBWKWeightEventHandler.h"

void QRBWKWeightEventHandler::handleEvent(const devices::WiiEvent& event) {
    const auto& w = event.weights;
    const double total = w[0] + w[1] + w[2] + w[3];
    const double x = (w[1] + w[3] + 1.0 - (w[0] + w[2])) * 0.5;
    const double y = (1.0 - (w[2] + w[3]) + (w[0] + w[1])) * 0.5;
    addMessage("/wii/%i/balance", {w[2], w[3], w[0], w[1], total, x, y});
}
