#pragma once
// Typed access to the application's settings in the user defaults. On first use the initial
// values shipped in resources/UserDefaults.plist are registered and the settings of older
// versions are migrated.

#include "foundation/UserDefaults.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// While on, the MIDI note outputs write their notes to the log. Follows the "MIDI Notes" entry of
// the "LogDomains" preference.
extern std::atomic<bool> QRBLogMIDINotes;

namespace detail {
// The tablet daemon's hot key.
struct KeyCombo {
    uint64_t flags = 0;
    uint16_t code = 0;
    bool operator==(const KeyCombo&) const = default;
};
}  // namespace detail

class QRBPreferences {
public:
    // The seventeen keys whose initial values the preferences window can reset to, in order.
    static const std::vector<std::string>& initialValueKeys();

    // The shared instance over the standard user defaults, set up on first use.
    static QRBPreferences& sharedPreferences();

    // Registers the shipped initial values with `defaults`, hands the seventeen to the shared
    // defaults controller and migrates settings of older versions.
    static void setupDefaults(foundation::UserDefaults& defaults, const std::string& runningVersion);
    // Removes the settings that older versions used, as the running version requires.
    static void migrate(foundation::UserDefaults& defaults, const std::string& runningVersion);
    static std::string runningVersion();

    explicit QRBPreferences(foundation::UserDefaults& defaults);
    ~QRBPreferences();
    QRBPreferences(const QRBPreferences&) = delete;
    QRBPreferences& operator=(const QRBPreferences&) = delete;

    int64_t defaultMidiChannel() const;
    int64_t defaultOSCPort() const;

    void setUseVorerira(bool on);
    bool enableKymaRelatedFeatures() const;
    void setEnableKymaRelatedFeatures(bool on) { enableKymaRelatedFeatures_ = on; }

    foundation::Dictionary wiiAddressMappings() const;
    void setWiiAddressMappings(const std::optional<foundation::Dictionary>& mappings);
    bool wiimotePairingAutostart() const;
    void setWiimotePairingAutostart(bool on);
    std::optional<std::string> lastKextInstallVersion() const;
    void setLastKextInstallVersion(const std::string& version);
    bool spaceNavigatorConnectAtStartup() const;
    int32_t wacomMouseLockMode() const;
    void setWacomMouseLockMode(int32_t mode);
    detail::KeyCombo wacomHotKey() const;
    void setWacomHotKey(detail::KeyCombo combo);
    float mouseTrackingSpeed() const;
    bool keyRepeatDisabled() const;
    std::optional<std::string> globalMapPath() const;
    void setGlobalMapPath(const std::optional<std::string>& path);
    bool hideAfterLaunch() const;
    uint64_t OSCMessageDecimalFormatPrecision() const;

    // Removes every setting whose key begins with "DontWarnOn".
    void resetWarnings();

    void userDefaultsChanged();
    void applicationWillTerminate();

private:
    foundation::UserDefaults& defaults_;
    bool enableKymaRelatedFeatures_ = false;
    struct Observers;
    std::unique_ptr<Observers> observers_;
};
