#include "controllers/QRBSpaceNavigator.h"

#include "controllers/devices/DeviceLayers.h"
#include "core/osc/QRBTransport.h"
#include "foundation/Log.h"

namespace {
constexpr const char* kNoDeviceFound = "No Space Navigator device found";
constexpr const char* kClientName = "Quorbital";
}  // namespace

bool QRBSpaceNavigator::driversAvailable() { return devices::DeviceLayers::current().spaceMouse->available(); }

QRBSpaceNavigator* QRBSpaceNavigator::sharedInstance() {
    if (!driversAvailable()) return nullptr;
    static QRBSpaceNavigator shared;
    return &shared;
}

QRBSpaceNavigator::~QRBSpaceNavigator() { setTargetURL(std::nullopt); }

void QRBSpaceNavigator::setTargetURL(const std::optional<std::string>& url) {
    targetURL_ = url;
    if (address_) lo_address_free(address_);
    address_ = url ? QRBNewLoAddressFromURL(*url) : nullptr;
}

bool QRBSpaceNavigator::isConnectedToURL(const std::string& url) const { return targetURL_ == url && address_; }

void QRBSpaceNavigator::start() {
    if (!targetURL_) return;
    driver_ = devices::DeviceLayers::current().spaceMouse;
    clientID_ = driver_->registerClient(kClientName);
    if (clientID_ == 0) return;
    if (driver_->deviceID(clientID_) == 0) {
        foundation::log(kNoDeviceFound);
        stop();
    }
}

void QRBSpaceNavigator::stop() {
    if (clientID_ == 0) return;
    driver_->unregisterClient(clientID_);
    clientID_ = 0;
    setTargetURL(std::nullopt);
}
