#include "controllers/QRBWKSmoothedEventHandler.h"

void QRBWKSmoothedEventHandler::setSmoothing(double smoothing) {
    for (auto& filter : filters_) filter.setSmoothing(smoothing);
}
