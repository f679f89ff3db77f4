#include "controllers/QRBWiiRemoteManager.h"

#include "controllers/devices/DeviceLayers.h"
#include "foundation/ArchiveLists.h"
#include "foundation/Exception.h"

namespace {
constexpr const char* kWiiSettingsKey = "QRBWiiSettings";
}

QRBWiiRemoteManager::QRBWiiRemoteManager() {
    wiimotes_.reserve(kMaxWiimotes);
    for (int64_t slot = 1; slot <= kMaxWiimotes; ++slot) wiimotes_.push_back(QRBWiiRemote::initWithSlot(slot));
    adoptWiimotes();
    attachDevices();
}

void QRBWiiRemoteManager::attachDevices() {
    // What the remotes found and lost, and the pairing's progress, mean to the slots comes with
    // the Wii remote support.
    const auto& backend = devices::DeviceLayers::current().wiiRemotes;
    discovery_ = backend->makeDiscovery({});
    hidManager_ = backend->makeHIDManager({});
    if (hidManager_) hidManager_->open();
}

void QRBWiiRemoteManager::stopDiscovery() {
    if (discovery_ && discovery_->isRunning()) discovery_->stop();
}

QRBWiiRemoteManager::~QRBWiiRemoteManager() {
    if (hidManager_) hidManager_->close();
    // A damaged archive may hand one remote to two managers: it never points at a gone one.
    for (const auto& remote : wiimotes_)
        if (remote->manager() == this) remote->setManager(nullptr);
}

void QRBWiiRemoteManager::adoptWiimotes() {
    for (const auto& remote : wiimotes_) remote->setManager(this);
}

QRBWiiRemotePtr QRBWiiRemoteManager::wiimoteWithSlot(int64_t slot) const {
    if (slot < 1) FND_INTERNAL_ERROR("Slot must be higher than zero.");
    if (slot > kMaxWiimotes) FND_INTERNAL_ERROR("Slot must be lower than the maximum count of Wiimotes.");
    for (const auto& remote : wiimotes_)
        if (remote->slot() == slot) return remote;
    return nullptr;
}

void QRBWiiRemoteManager::setTargetURL(const std::optional<std::string>& url) {
    if (url == targetURL_) return;
    targetURL_ = url;
}

void QRBWiiRemoteManager::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeObject(foundation::objectListValue(wiimotes_), kWiiSettingsKey);
}

void QRBWiiRemoteManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
    // A set in older archives decodes as a list as well.
    auto decoded = foundation::decodeObjectList<QRBWiiRemote>(coder, kWiiSettingsKey);
    if (decoded && !decoded->empty()) wiimotes_ = std::move(*decoded);
    adoptWiimotes();
}
