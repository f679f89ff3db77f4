#pragma once
// A document's tablet-daemon launcher: runs "quorbl-penmond" as a child process aimed at the
// document's loopback input, so that tablet events come back as ordinary OSC input under
// "/wacom/". Each routing document runs its own daemon. Never archived.
//
// The daemon is launched through the process's tablet daemon launcher (devices::DeviceLayers).
//
// Main thread only.

#include "controllers/devices/TabletDaemonLauncher.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QRBWacomManager;
using QRBWacomManagerPtr = std::shared_ptr<QRBWacomManager>;

class QRBWacomManager {
public:
    static constexpr const char* kDaemonName = "quorbl-penmond";

    explicit QRBWacomManager(std::optional<std::string> targetURL = std::nullopt) : targetURL_(std::move(targetURL)) {}
    virtual ~QRBWacomManager() = default;

    // Launches the daemon, unless one is held, no target URL is set or the preference
    // "WacomMouseLockMode" is -1. A launch that fails is logged and tried again at the next start.
    virtual void start();
    // Terminates the daemon when it runs, and drops it.
    virtual void stop();
    // stop, a pause of 10 ms, start.
    void restart();

    const std::optional<std::string>& targetURL() const { return targetURL_; }
    // A different URL is stored and the daemon restarted towards it.
    virtual void setTargetURL(const std::optional<std::string>& url);
    // The daemon launched, until stop; none before.
    const std::shared_ptr<devices::TabletDaemon>& task() const { return task_; }

    // The daemon's command line for a mouse-lock mode and hot key: "-TargetURL" url
    // "-MouseLockMode" mode, and unless the mode is 0 "-KeyCode" code "-ModifierFlags" flags.
    static std::vector<std::string> daemonArguments(const std::string& targetURL, int mode, unsigned keyCode,
                                                    unsigned long long modifierFlags);

private:
    std::optional<std::string> targetURL_;
    std::shared_ptr<devices::TabletDaemon> task_;
};
