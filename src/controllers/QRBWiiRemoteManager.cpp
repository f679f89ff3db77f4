#include "controllers/QRBWiiRemoteManager.h"

#include "controllers/devices/DeviceLayers.h"
#include "document/QRBManager.h"
#include "core/QRBPreferences.h"
#include "core/osc/QRBArg.h"
#include "core/osc/QRBOSCMessage.h"
#include "foundation/ArchiveLists.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/NotificationCenter.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <string_view>

namespace {

constexpr const char* kWiiSettingsKey = "QRBWiiSettings";
constexpr const char* kReplyPathFormat = "/quorbital/wii/%ld";

// Shared by every document of the process; touched on the main thread only.
int64_t discoveryCount_ = 0;
int64_t openManagerCount_ = 0;

}  // namespace

QRBWiiRemoteManager::QRBWiiRemoteManager() {
    wiimotes_.reserve(kMaxWiimotes);
    for (int64_t slot = 1; slot <= kMaxWiimotes; ++slot) wiimotes_.push_back(QRBWiiRemote::initWithSlot(slot));
    adoptWiimotes();
    attachDevices();
}

QRBWiiRemoteManager::~QRBWiiRemoteManager() {
    *alive_ = false;
    releaseDiscovery();
    if (countedOpen_ && openManagerCount_ > 0) --openManagerCount_;
    if (hidManager_) hidManager_->close();
    // A damaged archive may hand one remote to two managers: it never points at a gone one.
    for (const auto& remote : wiimotes_)
        if (remote->manager() == this) {
            remote->close();
            remote->setManager(nullptr);
        }
}

void QRBWiiRemoteManager::adoptWiimotes() {
    // The addresses live in the preferences, not in the document: a remote is bound to the slot
    // it last used on this machine.
    const foundation::Dictionary table = QRBPreferences::sharedPreferences().wiiAddressMappings();
    for (const auto& remote : wiimotes_) {
        remote->setManager(this);
        auto entry = table.find(std::to_string(remote->slot()));
        const std::string* address = entry == table.end() ? nullptr : entry->second.stringValue();
        remote->setBluetoothAddress(address ? std::optional<std::string>(*address) : std::nullopt);
    }
}

void QRBWiiRemoteManager::attachDevices() {
    backend_ = devices::DeviceLayers::current().wiiRemotes;
    std::weak_ptr<bool> alive = alive_;
    // The backend owns nothing of ours: its callbacks find out whether the manager is still there.
    devices::WiiDiscovery::Callbacks discovery;
    discovery.runningChanged = [this, alive](bool running) {
        if (!alive.expired()) discoveryRunningChanged(running);
    };
    discovery.stopped = [this, alive](int error) {
        if (!alive.expired()) discoveryStoppedWithError(error);
    };
    discovery_ = backend_->makeDiscovery(std::move(discovery));
    devices::WiiHIDManager::Callbacks hid;
    hid.found = [this, alive](const devices::WiiHIDDevicePtr& device) {
        if (!alive.expired()) foundDevice(device);
    };
    hid.lost = [this, alive](const devices::WiiHIDDevicePtr& device) {
        if (!alive.expired()) lostDevice(device);
    };
    hidManager_ = backend_->makeHIDManager(std::move(hid));
    if (hidManager_) hidManager_->open();
    auto& center = foundation::NotificationCenter::defaultCenter();
    willSleepObserver_ = center.addObserver(kWillSleepNotification, nullptr,
                                            [this](const foundation::Notification&) { powerManagementWillSleep(); });
    didWakeObserver_ = center.addObserver(kDidWakeNotification, nullptr,
                                          [this](const foundation::Notification&) { powerManagementDidWake(); });
    ++openManagerCount_;
    countedOpen_ = true;
}

QRBWiiRemotePtr QRBWiiRemoteManager::wiimoteWithSlot(int64_t slot) const {
    if (slot < 1) FND_INTERNAL_ERROR("Slot must be higher than zero.");
    if (slot > kMaxWiimotes) FND_INTERNAL_ERROR("Slot must be lower than the maximum count of Wiimotes.");
    for (const auto& remote : wiimotes_)
        if (remote->slot() == slot) return remote;
    return nullptr;
}

std::vector<QRBWiiRemotePtr> QRBWiiRemoteManager::sortedWiimotes() const {
    auto sorted = wiimotes_;
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a->slot() < b->slot(); });
    return sorted;
}

// ---- life ---------------------------------------------------------------------------------------

void QRBWiiRemoteManager::start() {
    running_ = true;
    for (const auto& remote : wiimotes_) remote->start();
}

void QRBWiiRemoteManager::stop() {
    running_ = false;
    stopDiscovery();
    for (const auto& remote : wiimotes_) remote->stop();
}

void QRBWiiRemoteManager::closeRemotes() {
    for (const auto& remote : wiimotes_) remote->close();
}

void QRBWiiRemoteManager::close() {
    stopDiscovery();
    if (countedOpen_) {
        countedOpen_ = false;
        if (openManagerCount_ > 0) --openManagerCount_;
    }
    // Another open document keeps the remotes connected.
    if (openManagerCount_ == 0) closeRemotes();
}

void QRBWiiRemoteManager::setTargetURL(const std::optional<std::string>& url) {
    if (url == targetURL_) return;
    targetURL_ = url;
    // Sending remotes follow the new URL; while routing is stopped they wait for start.
    if (url && !url->empty() && running_)
        for (const auto& remote : wiimotes_) remote->start();
}

void QRBWiiRemoteManager::setCurrentPresetNumber(int64_t number) {
    currentPresetNumber_ = number;
    for (const auto& remote : wiimotes_) remote->updateLEDs();
}

// ---- status -------------------------------------------------------------------------------------

void QRBWiiRemoteManager::setStatusText(const std::optional<std::string>& text, int32_t type, double duration) {
    // Observers read the type and duration on the notice: all three change inside it.
    willChangeValueForKey(kStatusTextKey);
    statusText_ = text;
    statusType_ = type;
    statusDuration_ = duration;
    didChangeValueForKey(kStatusTextKey);
}

void QRBWiiRemoteManager::notifyCalibration(uint64_t flag) {
    if (flag)
        setStatusText(std::nullopt, kStatusInfo, -1.0);
    else
        setStatusText("MotionPlus Calibration: Please stand still.", kStatusNotice, -1.0);
}

// ---- pairing ------------------------------------------------------------------------------------

int64_t QRBWiiRemoteManager::discoveryCount() { return discoveryCount_; }

bool QRBWiiRemoteManager::canStartDiscovery() const {
    return discovery_ && discovery_->canStart() && discoveryCount_ == 0;
}

std::string QRBWiiRemoteManager::discoveryStartErrorString() const {
    if (!discovery_) return kNoAdapterText;
    if (!discovery_->canStart()) return kAdapterOffText;
    if (discoveryCount_ > 0) return kDiscoveryBusyText;
    foundation::raise(foundation::kGenericException, "Invalid state, can't determine why discovery can't be started.");
}

bool QRBWiiRemoteManager::startDiscovery(bool byUser, bool resetPairing) {
    if (!canStartDiscovery()) {
        if (byUser) setStatusText("Bluetooth error: " + discoveryStartErrorString(), kStatusAlert, -1.0);
        return false;
    }
    ++discoveryCount_;
    holdsDiscovery_ = true;
    discovery_->start(resetPairing);
    // A pairing that did not even start will never be seen to stop: it must not keep every
    // other document from pairing.
    if (!discovery_->isRunning()) releaseDiscovery();
    return true;
}

void QRBWiiRemoteManager::stopDiscovery() {
    if (discovery_ && discovery_->isRunning()) discovery_->stop();
}

void QRBWiiRemoteManager::releaseDiscovery() {
    if (!holdsDiscovery_) return;
    holdsDiscovery_ = false;
    if (discoveryCount_ > 0) --discoveryCount_;
}

void QRBWiiRemoteManager::discoveryStoppedWithError(int error) {
    releaseDiscovery();
    if (error != 4 && error != 56 && error != 189)
        foundation::NotificationCenter::defaultCenter().post(kQRBWiimoteDiscoveredNotification,
                                                             foundation::NotificationObject(this));
    if (error != 0 && error != 4)
        setStatusText(foundation::format("Wiimote discovery error (code: %i)", error), kStatusAlert, -1.0);
}

void QRBWiiRemoteManager::discoveryRunningChanged(bool running) {
    if (running) {
        if (discovery_ && discovery_->pairingReset())
            setStatusText("Pairing Reset: press the red button inside your Wiimote.", kStatusAlert, 15.0);
        else
            setStatusText("Pairing: press the red button inside your Wiimote.", kStatusNotice, 15.0);
    } else {
        releaseDiscovery();
        setStatusText(std::nullopt, kStatusInfo, -1.0);
    }
}

// ---- remotes found and lost ---------------------------------------------------------------------

void QRBWiiRemoteManager::saveDeviceMappings() {
    foundation::Dictionary table;
    for (const auto& remote : wiimotes_)
        if (remote->bluetoothAddress()) table[std::to_string(remote->slot())] = *remote->bluetoothAddress();
    QRBPreferences::sharedPreferences().setWiiAddressMappings(table);
}

QRBWiiRemotePtr QRBWiiRemoteManager::findFreeWiimoteUsingAddress(const std::string& address) const {
    const auto sorted = sortedWiimotes();
    for (const auto& remote : sorted)
        if (remote->bluetoothAddress() == address) return remote;
    for (const auto& remote : sorted) {
        const auto& reserved = remote->bluetoothAddress();
        if (!remote->connected() && (!reserved || reserved->empty() || *reserved == address)) return remote;
    }
    return nullptr;
}

void QRBWiiRemoteManager::foundDevice(const devices::WiiHIDDevicePtr& device) {
    stopDiscovery();
    if (!device) return;
    auto remote = findFreeWiimoteUsingAddress(device->serialNumber());
    if (!remote) return;
    try {
        remote->connectToDevice(device);
        // A remote that could not even start connecting is not announced as connected.
        if (!remote->device()) return;
        foundation::NotificationCenter::defaultCenter().post(kQRBWiimoteDiscoveredNotification,
                                                             foundation::NotificationObject(this),
                                                             {{kDiscoveredRemoteKey, foundation::Value(remote)}});
    } catch (const std::exception& e) {
        const auto* raised = dynamic_cast<const foundation::Exception*>(&e);
        foundation::logf("Exception occurred while opening connection to Wiimote: %s",
                         raised ? raised->reason().c_str() : e.what());
        discoveryStoppedWithError(-1);
        remote->close();
    }
}

void QRBWiiRemoteManager::lostDevice(const devices::WiiHIDDevicePtr& device) {
    for (const auto& remote : wiimotes_)
        if (remote->device() && remote->device()->device() == device) remote->close();
}

void QRBWiiRemoteManager::powerManagementWillSleep() {
    closeRemotes();
    if (hidManager_) hidManager_->close();
}

void QRBWiiRemoteManager::powerManagementDidWake() {
    // The remotes come back through the HID manager's found devices.
    if (hidManager_) hidManager_->open();
}

// ---- commands -----------------------------------------------------------------------------------

namespace {

// Reads the command path the way it was always read: letter case ignored, white space skipped
// before each part.
class CommandScanner {
public:
    explicit CommandScanner(std::string_view text) : text_(text) {}
    bool scanString(std::string_view expected) {
        skipSpace();
        if (text_.size() - at_ < expected.size()) return false;
        for (size_t i = 0; i < expected.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(text_[at_ + i])) !=
                std::tolower(static_cast<unsigned char>(expected[i])))
                return false;
        at_ += expected.size();
        return true;
    }
    // An optionally signed decimal integer that fits 64 bits.
    bool scanInteger(int64_t* value) {
        skipSpace();
        size_t end = at_;
        if (end < text_.size() && (text_[end] == '+' || text_[end] == '-')) ++end;
        const size_t digits = end;
        while (end < text_.size() && std::isdigit(static_cast<unsigned char>(text_[end]))) ++end;
        if (end == digits) return false;
        const std::string number(text_.substr(at_, end - at_));
        errno = 0;
        const long long parsed = std::strtoll(number.c_str(), nullptr, 10);
        if (errno == ERANGE) return false;
        *value = parsed;
        at_ = end;
        return true;
    }

private:
    void skipSpace() {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    }
    std::string_view text_;
    size_t at_ = 0;
};

}  // namespace

void QRBWiiRemoteManager::handleGeneralCommand(const foundation::Dictionary& command, QRBManager& sentFrom) {
    auto name = command.find(kCommandNameKey);
    const std::string* path = name == command.end() ? nullptr : name->second.stringValue();
    if (!path) return;
    CommandScanner scanner(*path);
    if (!scanner.scanString("/quorbital") || !scanner.scanString("/wii/")) return;
    int64_t slot = 0;
    if (scanner.scanInteger(&slot)) {
        // Whatever number arrives over the network, only the eight slots are addressed.
        if (slot < 1 || slot > kMaxWiimotes) return;
        if (auto remote = wiimoteWithSlot(slot)) performCommand(command, sentFrom, *remote);
    } else if (scanner.scanString("*")) {
        // A command may change the slots (a reset): go over the remotes as they were.
        const auto remotes = wiimotes_;
        for (const auto& remote : remotes) performCommand(command, sentFrom, *remote);
    }
}

void QRBWiiRemoteManager::performCommand(const foundation::Dictionary& command, QRBManager& sentFrom,
                                         QRBWiiRemote& remote) {
    auto entry = command.find(kCommandArgKey);
    const std::string* arg = entry == command.end() ? nullptr : entry->second.stringValue();
    if (!arg) return;
    if (*arg == "reset") {
        remote.resetSettings();
        return;
    }
    const bool battery = *arg == "battery?";
    if (!battery && *arg != "connected?") return;
    auto target = sentFrom.targetWithIdentifier(-1);
    if (!target) return;
    std::vector<QRBArgPtr> arguments;
    if (battery) {
        arguments.push_back(QRBArg::argWithStringValue(std::string("battery")));
        arguments.push_back(remote.connected() ? QRBArg::argWithFloatValue(remote.batteryLevel() / 100.0f)
                                               : QRBArg::argWithNilValue());
    } else {
        arguments.push_back(QRBArg::argWithStringValue(std::string("connected")));
        arguments.push_back(remote.connected() ? QRBArg::argWithTrueValue() : QRBArg::argWithFalseValue());
    }
    auto reply = std::make_shared<QRBOSCMessage>(foundation::format(kReplyPathFormat, static_cast<long>(remote.slot())),
                                                 std::move(arguments));
    sentFrom.sendOSCMessage(reply, target);
}

// ---- archive ------------------------------------------------------------------------------------

void QRBWiiRemoteManager::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeObject(foundation::objectListValue(wiimotes_), kWiiSettingsKey);
}

void QRBWiiRemoteManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
    // A set in older archives decodes as a list as well.
    auto decoded = foundation::decodeObjectList<QRBWiiRemote>(coder, kWiiSettingsKey);
    if (decoded && !decoded->empty()) {
        // The slots made by the constructor leave: they have been bound to nothing yet.
        for (const auto& remote : wiimotes_) remote->setManager(nullptr);
        wiimotes_ = std::move(*decoded);
    }
    adoptWiimotes();
}
