#pragma once
// The process's 3D mouse: one object for the whole process that turns the device's motion into
// OSC sent to the loopback input of the document that connected it last ("/sp/..."), so that only
// that document receives 3D-mouse input.
//
// The device is reached through the process's 3D mouse driver (devices::DeviceLayers); without
// one there is no shared object. Turning device states into OSC comes with the 3D mouse support.
// Main thread only.

#include "controllers/devices/SpaceMouseDriver.h"

#include <lo/lo.h>

#include <memory>
#include <optional>
#include <string>

class QRBSpaceNavigator {
public:
    // The shared object, made on first use; null while no driver is available.
    static QRBSpaceNavigator* sharedInstance();
    // Whether a 3D mouse driver can be used.
    static bool driversAvailable();

    QRBSpaceNavigator() = default;
    ~QRBSpaceNavigator();
    QRBSpaceNavigator(const QRBSpaceNavigator&) = delete;
    QRBSpaceNavigator& operator=(const QRBSpaceNavigator&) = delete;

    const std::optional<std::string>& targetURL() const { return targetURL_; }
    // Stores the URL and makes the address the device's messages go to (none for no URL).
    void setTargetURL(const std::optional<std::string>& url);
    // A target URL equal to `url`, with an address.
    bool isConnectedToURL(const std::string& url) const;
    bool isConfigured() const { return address_ != nullptr; }
    // Registers with the driver when a target URL is set; logs and stops when no device is there.
    void start();
    // Unregisters from the driver and clears the target URL.
    void stop();
    // The driver's identifier of this client while registered; 0 otherwise.
    uint16_t clientID() const { return clientID_; }

private:
    std::optional<std::string> targetURL_;
    lo_address address_ = nullptr;
    std::shared_ptr<devices::SpaceMouseDriver> driver_;
    uint16_t clientID_ = 0;
};
