#include "controllers/QRBWKEventHandler.h"

#include "controllers/QRBWiiRemote.h"
#include "foundation/Exception.h"

const char* QRBWKEventHandler::cachedOSCMethodForField(const char* format) {
    if (!format || !*format) FND_INTERNAL_ERROR("invalid OSC field");
    auto it = cachedOSCMethodNames_.find(std::string_view(format));
    if (it == cachedOSCMethodNames_.end()) {
        // The formats are this program's own: the slot number replaces their one "%i".
        std::string address(format);
        if (auto at = address.find("%i"); at != std::string::npos)
            address.replace(at, 2, std::to_string(device_->slot()));
        if (address.empty()) FND_INTERNAL_ERROR("inconsistent cached string");
        it = cachedOSCMethodNames_.emplace(format, std::move(address)).first;
    }
    return it->second.c_str();
}

void QRBWKEventHandler::addMessageAt(const char* address, std::initializer_list<double> values) {
    if (auto* bundle = device_->oscBundle()) bundle->addMessage(address, values);
}
