#pragma once
// A document's Wii remotes: what the routing manager drives of them. It starts and stops them with
// routing, points their output at the document's loopback input, shows the current preset number
// on their lights, and hands them the application commands received under "/quorbital/". The
// routing manager archives it under "wiiManager".
//
// It holds the document's eight remote slots with their settings. The remotes themselves are
// reached through the process's Wii remote backend (devices::DeviceLayers): the manager makes its
// discovery and its HID manager there. Binding found remotes to slots and their sensors come with
// the Wii remote support; until then no slot is ever connected, so most calls below have nothing
// to act on.

#include "controllers/QRBWiiRemote.h"
#include "controllers/devices/WiiRemoteBackend.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"
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

class QRBWiiRemoteManager : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBWiiRemoteManager", foundation::Object)

public:
    // The keys of an application command record.
    static constexpr const char* kCommandNameKey = "name";
    static constexpr const char* kCommandArgKey = "arg";
    static constexpr const char* kCommandOriginHostKey = "originHost";
    static constexpr const char* kCommandOriginPortKey = "originPort";

    // The number of slots.
    static constexpr int64_t kMaxWiimotes = 8;

    // Eight slots with the default settings.
    QRBWiiRemoteManager();
    ~QRBWiiRemoteManager() override;
    QRBWiiRemoteManager(const QRBWiiRemoteManager&) = delete;
    QRBWiiRemoteManager& operator=(const QRBWiiRemoteManager&) = delete;

    // The slots; their order is not significant (older archives stored a set).
    const std::vector<QRBWiiRemotePtr>& wiimotes() const { return wiimotes_; }
    // The remote in `slot` (1 to 8), or null.
    QRBWiiRemotePtr wiimoteWithSlot(int64_t slot) const;

    // Routing started: every remote starts. Stopped: discovery stops, then every remote.
    void start() {}
    void stop() { stopDiscovery(); }
    // The document is closing: discovery stops.
    void close() { stopDiscovery(); }
    // Where the remotes send; a change restarts them towards the new URL.
    void setTargetURL(const std::optional<std::string>& url);
    const std::optional<std::string>& targetURL() const { return targetURL_; }
    // The current preset's 1-based number, for the remotes' lights.
    void setCurrentPresetNumber(uint64_t number) { currentPresetNumber_ = number; }
    uint64_t currentPresetNumber() const { return currentPresetNumber_; }
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) { undoManager_ = undoManager; }
    const std::shared_ptr<foundation::UndoManager>& undoManager() const { return undoManager_; }
    // An application command: "name" (the path), "originHost", "originPort" and, when the message
    // had one string argument, "arg". Commands under "/quorbital/wii/" followed by a slot number
    // or "*" are for the remotes; the rest are not.
    void handleGeneralCommand(const foundation::Dictionary& command, QRBManager& sentFrom) {}

    // The pairing of remotes; none without a Bluetooth adapter.
    devices::WiiDiscovery* discovery() const { return discovery_.get(); }
    // Stops the pairing when it runs.
    void stopDiscovery();

    // "QRBWiiSettings": the slots. An archive without any keeps the eight new ones.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    void attachDevices();

    std::unique_ptr<devices::WiiDiscovery> discovery_;
    std::unique_ptr<devices::WiiHIDManager> hidManager_;
    std::optional<std::string> targetURL_;
    uint64_t currentPresetNumber_ = 1;
    std::shared_ptr<foundation::UndoManager> undoManager_;
    void adoptWiimotes();

    std::vector<QRBWiiRemotePtr> wiimotes_;
};
