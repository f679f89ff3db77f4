#include "core/QRBPreferences.h"

#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/NotificationCenter.h"
#include "foundation/Resources.h"

#include <cmath>
#include <limits>
#include <mutex>

std::atomic<bool> QRBLogMIDINotes{false};

namespace {
constexpr const char* kLastVersionUsed = "LastVersionUsed";
constexpr const char* kWarningPrefix = "DontWarnOn";
}  // namespace

struct QRBPreferences::Observers {
    foundation::ObserverToken defaultsChanged;
    foundation::ObserverToken willTerminate;
};

const std::vector<std::string>& QRBPreferences::initialValueKeys() {
    static const std::vector<std::string> keys = {"DefaultMidiChannel",
                                                  "DefaultOSCPort",
                                                  "GlobalMapPath",
                                                  "UseVorerira",
                                                  "WiimoteSyncOnLaunch",
                                                  "RelaunchWiimoteDiscovery",
                                                  "SpaceNavigatorConnectAtStartup",
                                                  "UseWacomTablet",
                                                  "ShouldAskForWiimoteFixture",
                                                  "MouseTrackingSpeed",
                                                  "DisableKeyRepeat",
                                                  "DisplayGMHints",
                                                  "LogDomains",
                                                  "WacomMouseLockMode",
                                                  "Use Effects",
                                                  "HideAfterLaunch",
                                                  "OSCMessageDecimalFormatPrecision"};
    return keys;
}

std::string QRBPreferences::runningVersion() { return foundation::Resources::runningVersion(); }

void QRBPreferences::setupDefaults(foundation::UserDefaults& defaults, const std::string& runningVersion) {
    foundation::Dictionary initial;
    if (auto path = foundation::Resources::pathForResource("UserDefaults", "plist")) {
        try {
            foundation::Value v = foundation::propertyListFromData(foundation::readFile(*path));
            if (auto d = v.dictionaryValue()) initial = *d;
        } catch (const foundation::PropertyListError& e) {
            foundation::logf("Could not read the initial preferences: %s", e.reason().c_str());
        }
    } else {
        foundation::log("Could not find the initial preferences resource UserDefaults.plist.");
    }
    defaults.registerDefaults(initial);

    foundation::Dictionary controllerValues;
    for (const auto& key : initialValueKeys()) {
        auto found = initial.find(key);
        controllerValues[key] = found == initial.end() ? foundation::Value() : found->second;
    }
    foundation::UserDefaultsController::shared().setInitialValues(std::move(controllerValues));

    migrate(defaults, runningVersion);
}

void QRBPreferences::migrate(foundation::UserDefaults& defaults, const std::string& runningVersion) {
    // A first run has no recorded version: everything below applies.
    std::string last = defaults.stringForKey(kLastVersionUsed).value_or("");
    if (!last.empty() && foundation::compareVersions(runningVersion, last) <= 0) return;

    if (foundation::compareVersions(runningVersion, "20090904") > 0)
        defaults.removeObjectForKey("NSToolbar Configuration QuorbitalToolbar");
    if (foundation::compareVersions(runningVersion, "20090105") > 0) {
        defaults.removeObjectForKey("NSTableView Columns QRBTable");
        defaults.removeObjectForKey("NSTableView Hidden Columns QRBTable");
        defaults.removeObjectForKey("NSTableView Sort Ordering QRBTable");
    }
    if (foundation::compareVersions(runningVersion, "20120504") > 0)
        defaults.removeObjectForKey("QRBTargetsSortDescriptors");
    defaults.setString(runningVersion, kLastVersionUsed);
}

QRBPreferences& QRBPreferences::sharedPreferences() {
    static QRBPreferences* shared = [] {
        setupDefaults(foundation::UserDefaults::standard(), runningVersion());
        // Lives for the process: observers may call it until exit.
        static QRBPreferences instance(foundation::UserDefaults::standard());
        return &instance;
    }();
    return *shared;
}

QRBPreferences::QRBPreferences(foundation::UserDefaults& defaults)
    : defaults_(defaults), observers_(std::make_unique<Observers>()) {
    userDefaultsChanged();
    auto& center = foundation::NotificationCenter::defaultCenter();
    observers_->defaultsChanged =
        center.addObserver(foundation::kUserDefaultsDidChangeNotification, &defaults_,
                           [this](const foundation::Notification&) { userDefaultsChanged(); });
    observers_->willTerminate =
        center.addObserver(foundation::kApplicationWillTerminateNotification, nullptr,
                           [this](const foundation::Notification&) { applicationWillTerminate(); });
}

QRBPreferences::~QRBPreferences() = default;

int64_t QRBPreferences::defaultMidiChannel() const { return defaults_.integerForKey("DefaultMidiChannel"); }
int64_t QRBPreferences::defaultOSCPort() const { return defaults_.integerForKey("DefaultOSCPort"); }

void QRBPreferences::setUseVorerira(bool on) {
    enableKymaRelatedFeatures_ = true;
    defaults_.setBool(on, "UseVorerira");
}

bool QRBPreferences::enableKymaRelatedFeatures() const {
    return enableKymaRelatedFeatures_ || defaults_.boolForKey("UseVorerira");
}

foundation::Dictionary QRBPreferences::wiiAddressMappings() const {
    auto data = defaults_.dataForKey("WiiAddressMappings");
    if (!data) return {};
    try {
        foundation::Value v = foundation::propertyListFromData(*data);
        if (auto d = v.dictionaryValue()) return *d;
    } catch (const foundation::PropertyListError&) {}
    return {};
}

void QRBPreferences::setWiiAddressMappings(const std::optional<foundation::Dictionary>& mappings) {
    if (!mappings) {
        defaults_.removeObjectForKey("WiiAddressMappings");
        return;
    }
    defaults_.setObject(foundation::Value(foundation::binaryPropertyListData(foundation::Value(*mappings))),
                        "WiiAddressMappings");
}

bool QRBPreferences::wiimotePairingAutostart() const { return defaults_.boolForKey("WiimotePairingAutostart"); }
void QRBPreferences::setWiimotePairingAutostart(bool on) { defaults_.setBool(on, "WiimotePairingAutostart"); }

std::optional<std::string> QRBPreferences::lastKextInstallVersion() const {
    return defaults_.stringForKey("LastVersionUsedDerodurArizevi");
}
void QRBPreferences::setLastKextInstallVersion(const std::string& version) {
    defaults_.setString(version, "LastVersionUsedDerodurArizevi");
}

bool QRBPreferences::spaceNavigatorConnectAtStartup() const {
    return defaults_.boolForKey("SpaceNavigatorConnectAtStartup");
}

int32_t QRBPreferences::wacomMouseLockMode() const {
    int64_t v = defaults_.integerForKey("WacomMouseLockMode");
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

void QRBPreferences::setWacomMouseLockMode(int32_t mode) {
    if (mode == 3)
        throw foundation::Exception(
            foundation::kInvalidArgumentException,
            foundation::format("-[QRBPreferences setWAcomMouseLockMode:] Invalid argument : %i", mode));
    defaults_.setInteger(mode, "WacomMouseLockMode");
}

detail::KeyCombo QRBPreferences::wacomHotKey() const {
    detail::KeyCombo combo;
    combo.flags = defaults_.unsignedLongLongForKey("WacomModifiers");
    combo.code = static_cast<uint16_t>(defaults_.integerForKey("WacomKeyCode"));
    return combo;
}

void QRBPreferences::setWacomHotKey(detail::KeyCombo combo) {
    defaults_.setInteger(combo.code, "WacomKeyCode");
    defaults_.setUnsignedLongLong(combo.flags, "WacomModifiers");
}

float QRBPreferences::mouseTrackingSpeed() const { return defaults_.floatForKey("MouseTrackingSpeed"); }
bool QRBPreferences::keyRepeatDisabled() const { return defaults_.boolForKey("DisableKeyRepeat"); }

std::optional<std::string> QRBPreferences::globalMapPath() const {
    // The shipped initial value is the empty text, which means no path.
    auto path = defaults_.stringForKey("GlobalMapPath");
    if (path && path->empty()) return std::nullopt;
    return path;
}

void QRBPreferences::setGlobalMapPath(const std::optional<std::string>& path) {
    if (path && !path->empty())
        defaults_.setString(*path, "GlobalMapPath");
    else
        defaults_.removeObjectForKey("GlobalMapPath");
}

bool QRBPreferences::hideAfterLaunch() const { return defaults_.boolForKey("HideAfterLaunch"); }

uint64_t QRBPreferences::OSCMessageDecimalFormatPrecision() const {
    int64_t v = defaults_.integerForKey("OSCMessageDecimalFormatPrecision");
    return v < 0 ? 0 : static_cast<uint64_t>(v);
}

void QRBPreferences::resetWarnings() {
    for (const auto& key : defaults_.persistentKeys())
        if (key.rfind(kWarningPrefix, 0) == 0) defaults_.removeObjectForKey(key);
}

void QRBPreferences::userDefaultsChanged() {
    bool on = false;
    auto domains = defaults_.dictionaryForKey("LogDomains");
    if (domains) {
        auto found = domains->find("MIDI Notes");
        if (found != domains->end()) {
            if (auto s = found->second.stringValue())
                on = !s->empty() && (s->at(0) == 'Y' || s->at(0) == 'y' || s->at(0) == 'T' || s->at(0) == 't' ||
                                     (s->at(0) >= '1' && s->at(0) <= '9'));
            else
                on = found->second.boolValue().value_or(false);
        }
    }
    QRBLogMIDINotes = on;
    if (on) foundation::logf("LogDomains: %s", foundation::Value(*domains).debugDescription().c_str());
}

void QRBPreferences::applicationWillTerminate() { defaults_.synchronize(); }
