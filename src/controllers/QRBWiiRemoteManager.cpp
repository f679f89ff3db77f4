#include "controllers/QRBWiiRemoteManager.h"

FND_REGISTER_CLASS(QRBWiiRemoteManager)

namespace {
constexpr const char* kWiiSettingsKey = "QRBWiiSettings";
}

void QRBWiiRemoteManager::setTargetURL(const std::optional<std::string>& url) {
    if (url == targetURL_) return;
    targetURL_ = url;
}

void QRBWiiRemoteManager::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeObject(wiiSettings_, kWiiSettingsKey);
}

void QRBWiiRemoteManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
    foundation::Value settings = coder.decodeObject(kWiiSettingsKey);
    if (!settings.isNull()) wiiSettings_ = std::move(settings);
}
