#pragma once
// A document's Wii remotes: what the routing manager drives of them. It starts and stops them with
// routing, points their output at the document's loopback input, shows the current preset number
// on their lights, and hands them the application commands received under "/quorbital/". The
// routing manager archives it under "wiiManager".
//
// It holds the document's eight remote slots with their settings. Finding and connecting remotes
// and their sensors come with the Wii remote support; until then no slot is ever connected, so the
// calls below have nothing to act on. Every call is virtual so that the remote support, and tests,
// can take them over.

#include "controllers/QRBWiiRemote.h"
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
    virtual void start() {}
    virtual void stop() {}
    // The document is closing.
    virtual void close() {}
    // Where the remotes send; a change restarts them towards the new URL.
    virtual void setTargetURL(const std::optional<std::string>& url);
    const std::optional<std::string>& targetURL() const { return targetURL_; }
    // The current preset's 1-based number, for the remotes' lights.
    virtual void setCurrentPresetNumber(uint64_t number) { currentPresetNumber_ = number; }
    uint64_t currentPresetNumber() const { return currentPresetNumber_; }
    virtual void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) {
        undoManager_ = undoManager;
    }
    const std::shared_ptr<foundation::UndoManager>& undoManager() const { return undoManager_; }
    // An application command: "name" (the path), "originHost", "originPort" and, when the message
    // had one string argument, "arg". Commands under "/quorbital/wii/" followed by a slot number
    // or "*" are for the remotes; the rest are not.
    virtual void handleGeneralCommand(const foundation::Dictionary& command, QRBManager& sentFrom) {}

    // "QRBWiiSettings": the slots. An archive without any keeps the eight new ones.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    std::optional<std::string> targetURL_;
    uint64_t currentPresetNumber_ = 1;
    std::shared_ptr<foundation::UndoManager> undoManager_;
    void adoptWiimotes();

    std::vector<QRBWiiRemotePtr> wiimotes_;
};
