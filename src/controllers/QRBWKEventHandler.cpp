#include "controllers/QRBWKEventHandler.h"

#include "controllers/QRBWiiRemote.h"
#include "foundation/Exception.h"

#include <lo/lo.h>

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
    lo_bundle bundle = device_->oscBundle();
    if (!bundle) return;
    lo_message message = lo_message_new();
    if (!message) return;
    for (double value : values) lo_message_add_float(message, static_cast<float>(value));
    // The bundle keeps its own copy of the address and frees the message with itself.
    if (lo_bundle_add_message(bundle, address, message) != 0) lo_message_free(message);
}
