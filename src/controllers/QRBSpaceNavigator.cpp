#include "controllers/QRBSpaceNavigator.h"

#include "core/osc/QRBTransport.h"
#include "foundation/Log.h"

namespace {
constexpr const char* kNoDeviceFound = "No Space Navigator device found";
}

bool QRBSpaceNavigator::driversAvailable() { return false; }

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
    // Without a driver there is never a device.
    registered_ = true;
    foundation::log(kNoDeviceFound);
    stop();
}

void QRBSpaceNavigator::stop() {
    if (!registered_) return;
    registered_ = false;
    setTargetURL(std::nullopt);
}
