#pragma once
// A document's Wii remotes. The manager holds the document's eight remote slots, finds remotes
// through the process's Wii remote backend (devices::DeviceLayers), binds a found remote to the
// slot that last held its Bluetooth address (else the first free one), keeps that slot-to-address
// table in the preferences, pairs new remotes on request (one pairing at a time across all open
// documents), answers the "/quorbital/wii/<slot>" commands and publishes a status text (pairing
// hints and errors) for the window.
//
// The routing manager drives it: it sets the target URL to the document's loopback UDP URL,
// starts and stops it with routing, closes it with the document, tells it the current preset's
// number, hands it the application commands received under "/quorbital/", and archives it under
// "wiiManager".
//
// Main thread only: the backend calls back on the main run loop.

#include "controllers/QRBWiiRemote.h"
#include "controllers/devices/WiiRemoteBackend.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/NotificationCenter.h"
#include "foundation/Object.h"
#include "foundation/Observation.h"
#include "foundation/UndoManager.h"
#include "foundation/Value.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QRBManager;
class QRBWiiRemoteManager;
using QRBWiiRemoteManagerPtr = std::shared_ptr<QRBWiiRemoteManager>;

class QRBWiiRemoteManager : public foundation::Object, public foundation::Observable {
    FND_ARCHIVED_CLASS("QRBWiiRemoteManager", foundation::Object)

public:
    // The keys of an application command record.
    static constexpr const char* kCommandNameKey = "name";
    static constexpr const char* kCommandArgKey = "arg";
    static constexpr const char* kCommandOriginHostKey = "originHost";
    static constexpr const char* kCommandOriginPortKey = "originPort";

    // Posted with the manager as object: after a remote connected (the remote under
    // kDiscoveredRemoteKey) and when a pairing stopped (no user info).
    static constexpr const char* kQRBWiimoteDiscoveredNotification = "QRBWiimoteDiscoveredNotification";
    static constexpr const char* kDiscoveredRemoteKey = "NSObject";
    static constexpr const char* kStatusTextKey = "statusText";
    // Posted by the desktop around the machine's sleep (any object).
    static constexpr const char* kWillSleepNotification = "NSWorkspaceWillSleepNotification";
    static constexpr const char* kDidWakeNotification = "NSWorkspaceDidWakeNotification";

    // Status types.
    static constexpr int32_t kStatusInfo = 0;
    static constexpr int32_t kStatusNotice = 1;
    static constexpr int32_t kStatusAlert = 2;

    static constexpr const char* kNoAdapterText = "No adapter has been found.";
    static constexpr const char* kAdapterOffText = "Adapter is off, please turn it on.";
    static constexpr const char* kDiscoveryBusyText = "A discovery process is already running in another window.";

    // The number of slots.
    static constexpr int64_t kMaxWiimotes = 8;

    // Eight slots with the default settings.
    QRBWiiRemoteManager();
    ~QRBWiiRemoteManager() override;
    QRBWiiRemoteManager(const QRBWiiRemoteManager&) = delete;
    QRBWiiRemoteManager& operator=(const QRBWiiRemoteManager&) = delete;

    // The slots; their order is not significant (older archives stored a set).
    const std::vector<QRBWiiRemotePtr>& wiimotes() const { return wiimotes_; }
    // The remote in `slot`, or null. Outside 1 to 8 it is a programming error.
    QRBWiiRemotePtr wiimoteWithSlot(int64_t slot) const;

    // Routing started: every remote starts sending. Stopped: pairing stops, then every remote.
    void start();
    void stop();
    bool isRunning() const { return running_; }
    // Every remote lets its remote go.
    void closeRemotes();
    // The document is closing: pairing stops; the remotes are let go once no document's manager
    // is open any more.
    void close();
    // Where the remotes send; a change restarts them towards the new URL.
    void setTargetURL(const std::optional<std::string>& url);
    const std::optional<std::string>& targetURL() const { return targetURL_; }
    // The current preset's 1-based number for the remotes' lights; -1 when there is none.
    void setCurrentPresetNumber(int64_t number);
    int64_t currentPresetNumber() const { return currentPresetNumber_; }
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) { undoManager_ = undoManager; }
    const std::shared_ptr<foundation::UndoManager>& undoManager() const { return undoManager_; }
    // The backend the manager's discovery and HID manager came from; the slots connect through it.
    const std::shared_ptr<devices::WiiRemoteBackend>& backend() const { return backend_; }

    // --- status for the window; nil text means none, a duration of -1 no time limit.
    const std::optional<std::string>& statusText() const { return statusText_; }
    int32_t statusType() const { return statusType_; }
    double statusDuration() const { return statusDuration_; }
    void setStatusText(const std::optional<std::string>& text, int32_t type, double duration);
    // A MotionPlus reports its calibration: zero asks the user to stand still, else clears.
    void notifyCalibration(uint64_t flag);

    // --- pairing
    // None without a Bluetooth adapter.
    devices::WiiDiscovery* discovery() const { return discovery_.get(); }
    bool canStartDiscovery() const;
    // Why canStartDiscovery is false; raises when it is not.
    std::string discoveryStartErrorString() const;
    // Starts pairing (resetting the pairing when asked). A refusal asked for by the user
    // (`byUser`) sets the alert "Bluetooth error: ...".
    bool startDiscovery(bool byUser, bool resetPairing = false);
    void stopDiscovery();
    // Pairings started by any document and not yet seen to stop.
    static int64_t discoveryCount();

    // --- slots and addresses
    // Saves the slot-to-address table of every slot with an address (an empty one counts).
    void saveDeviceMappings();
    // The slot for a remote with this address: the one that last held it, else the first free
    // one without a reserved address; null when none is left.
    QRBWiiRemotePtr findFreeWiimoteUsingAddress(const std::string& address) const;

    // --- the backend's callbacks
    void discoveryStoppedWithError(int error);
    void discoveryRunningChanged(bool running);
    void foundDevice(const devices::WiiHIDDevicePtr& device);
    void lostDevice(const devices::WiiHIDDevicePtr& device);
    // The machine goes to sleep (the remotes are let go) and wakes up (they are found again).
    void powerManagementWillSleep();
    void powerManagementDidWake();

    // An application command: "name" (the path), "originHost", "originPort" and, when the message
    // had an argument, "arg". Commands under "/quorbital/wii/" followed by a slot number or "*"
    // are for the remotes; the rest are not.
    void handleGeneralCommand(const foundation::Dictionary& command, QRBManager& sentFrom);
    void performCommand(const foundation::Dictionary& command, QRBManager& sentFrom, QRBWiiRemote& remote);

    // "QRBWiiSettings": the slots. An archive without any keeps the eight new ones.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    void adoptWiimotes();
    void attachDevices();
    void releaseDiscovery();
    std::vector<QRBWiiRemotePtr> sortedWiimotes() const;

    std::vector<QRBWiiRemotePtr> wiimotes_;
    int32_t statusType_ = kStatusInfo;
    std::shared_ptr<foundation::UndoManager> undoManager_;
    std::optional<std::string> targetURL_;
    std::shared_ptr<devices::WiiRemoteBackend> backend_;
    std::unique_ptr<devices::WiiDiscovery> discovery_;
    std::optional<std::string> statusText_;
    double statusDuration_ = -1.0;
    // Signed: -1 (no current preset) must light no LED.
    int64_t currentPresetNumber_ = 1;
    std::unique_ptr<devices::WiiHIDManager> hidManager_;
    // This manager's pairing counts in the process-wide count from its start until it is seen to
    // stop (or found never to have started).
    bool holdsDiscovery_ = false;
    bool running_ = false;
    bool countedOpen_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    foundation::ObserverToken willSleepObserver_;
    foundation::ObserverToken didWakeObserver_;
};
