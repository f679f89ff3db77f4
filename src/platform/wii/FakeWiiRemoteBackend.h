#pragma once
// In-process Wii remotes for tests: the test decides whether there is an adapter, plugs and
// unplugs remotes, ends pairing with an error, sends a remote's reports, and reads back what the
// slots set on it (lights, rumble, sensors, MotionPlus). Like the real stack it answers from the
// main run loop, never from inside the call that asked.
//
// Main thread only.

#include "controllers/devices/WiiRemoteBackend.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace platform {

// A remote within reach: the device the HID managers find, and what its connection was told.
class FakeWiiRemote final : public devices::WiiHIDDevice, public std::enable_shared_from_this<FakeWiiRemote> {
public:
    explicit FakeWiiRemote(std::string address) : address_(std::move(address)) {}

    // --- what the test scripts
    // What connecting answers (0 connects, from the run loop).
    void setConnectResult(int result) { connectResult_ = result; }
    void setExtensionType(std::optional<int64_t> type) { extensionType_ = type; }
    // The connected remote sends one report, or drops its connection.
    void sendReport(std::vector<devices::WiiEvent> events);
    void disconnect();

    // --- what the test sees
    bool isConnected() const { return connected_; }
    bool isClosed() const { return closed_; }
    uint8_t leds() const { return leds_; }
    bool rumble() const { return rumble_; }
    int64_t irSensitivity() const { return irSensitivity_; }
    bool acceptsAccelerometer() const { return acceptsAccelerometer_; }
    bool acceptsIRCamera() const { return acceptsIRCamera_; }
    bool acceptsMotionPlus() const { return acceptsMotionPlus_; }
    int64_t motionPlusMode() const { return motionPlusMode_; }
    double motionPlusFilterSensitivity() const { return motionPlusFilterSensitivity_; }
    size_t statusRequests() const { return statusRequests_; }
    size_t trackingResets() const { return trackingResets_; }

    // --- WiiHIDDevice
    std::string serialNumber() const override { return address_; }
    void close() override;

private:
    friend class FakeWiiRemoteBackend;
    struct Connection;

    std::string address_;
    int connectResult_ = 0;
    std::optional<int64_t> extensionType_;
    Connection* connection_ = nullptr;
    bool connected_ = false;
    bool closed_ = false;
    uint8_t leds_ = 0;
    bool rumble_ = false;
    int64_t irSensitivity_ = 0;
    bool acceptsAccelerometer_ = false;
    bool acceptsIRCamera_ = false;
    bool acceptsMotionPlus_ = false;
    int64_t motionPlusMode_ = 0;
    double motionPlusFilterSensitivity_ = 0;
    size_t statusRequests_ = 0;
    size_t trackingResets_ = 0;
};

class FakeWiiRemoteBackend final : public devices::WiiRemoteBackend,
                                   public std::enable_shared_from_this<FakeWiiRemoteBackend> {
public:
    // --- what the test scripts
    // Without an adapter no discovery is made; with one that is off, discoveries cannot start.
    void setAdapter(bool present, bool on) {
        adapterPresent_ = present;
        adapterOn_ = on;
    }
    // A remote comes within reach: open HID managers find it. Answers the remote.
    std::shared_ptr<FakeWiiRemote> plugRemote(const std::string& address);
    // The remote goes: open HID managers lose it and its connection drops.
    void unplugRemote(const std::shared_ptr<FakeWiiRemote>& remote);
    // Every running discovery stops with `error` (0: a normal end).
    void endDiscoveries(int error);
    // With false, a discovery asked to start does nothing at all: it never runs, never stops.
    void setDiscoveriesStart(bool start) { discoveriesStart_ = start; }

    // --- what the test sees
    size_t openHIDManagers() const;
    size_t runningDiscoveries() const;

    // --- WiiRemoteBackend
    std::unique_ptr<devices::WiiDiscovery> makeDiscovery(devices::WiiDiscovery::Callbacks callbacks) override;
    std::unique_ptr<devices::WiiHIDManager> makeHIDManager(devices::WiiHIDManager::Callbacks callbacks) override;
    std::unique_ptr<devices::WiiRemoteConnection> makeConnection(const devices::WiiHIDDevicePtr& device) override;

private:
    struct Discovery;
    struct HIDManager;

    bool adapterPresent_ = true;
    bool adapterOn_ = true;
    bool discoveriesStart_ = true;
    std::vector<std::shared_ptr<FakeWiiRemote>> remotes_;
    std::set<Discovery*> discoveries_;
    std::set<HIDManager*> hidManagers_;
};

}  // namespace platform
