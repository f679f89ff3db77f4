#include "core/mapping/QRBActionConfigurator.h"

namespace {
std::shared_ptr<QRBActionConfigurator>& installed() {
    static std::shared_ptr<QRBActionConfigurator> configurator = std::make_shared<QRBActionConfigurator>();
    return configurator;
}
}  // namespace

QRBActionConfigurator& QRBActionConfigurator::shared() { return *installed(); }

std::shared_ptr<QRBActionConfigurator> QRBActionConfigurator::sharedPointer() { return installed(); }

void QRBActionConfigurator::setShared(std::shared_ptr<QRBActionConfigurator> configurator) {
    installed() = configurator ? std::move(configurator) : std::make_shared<QRBActionConfigurator>();
}
