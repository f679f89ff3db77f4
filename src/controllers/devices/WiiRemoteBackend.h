#pragma once
// Wii remotes as the Wii remote manager and its slots use them: a discovery that pairs remotes
// over Bluetooth, a HID manager that reports remotes appearing and going, and, for each remote
// found, a connection that delivers its reports (the events of one report together) and takes
// the settings, lights and rumble.
//
// The manager and its slots call only this interface; the system's backend and an in-process fake
// live in src/platform/wii/. The default backend has no adapter: no discovery, no remote ever.
//
// Main thread only; every callback runs on the main run loop, never from inside the call that
// caused it.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace devices {

// One event of a report, a plain value. Which fields mean something depends on the type: buttons
// (type 0) use button and buttonIsUp; accelerometers (1) x, y, z from 0 to 1, 0.5 at rest; the
// IR camera (2) the pointer (-1 to 1) and the points; sticks (3) and analog buttons (4) x and y;
// status (6) status; the balance board (7) the weights; MotionPlus (8) x, y, z and the deltas.
struct WiiEvent {
    struct IRPoint {
        bool visible = false;
        uint8_t size = 0;
        double x = 0;
        double y = 0;
    };

    int type = 0;
    int subtype = 0;
    // 0 the remote, 1 nunchuk, 2 classic controller, 8 guitar, 16 drums, 32 MotionPlus, 64 turntable.
    int source = 0;
    uint32_t button = 0;
    bool buttonIsUp = false;
    double x = 0, y = 0, z = 0;
    double deltaX = 0, deltaY = 0, deltaZ = 0;
    uint64_t status = 0;
    std::array<double, 4> weights{};
    // -100 when the camera sees no pointer.
    double pointerX = -100, pointerY = -100;
    std::vector<IRPoint> points;  // at most four
};

// A remote the HID manager found; its serial number is the remote's Bluetooth address.
class WiiHIDDevice {
public:
    virtual ~WiiHIDDevice() = default;
    virtual std::string serialNumber() const = 0;
    // Drops the remote's HID connection.
    virtual void close() = 0;
};
using WiiHIDDevicePtr = std::shared_ptr<WiiHIDDevice>;

// The connection to one remote, made on a found device.
class WiiRemoteConnection {
public:
    // Each report of the remote arrives as willInterpretReport, then its events one by one
    // (none for a report that carries nothing the slot asked for), then didInterpretReport, all
    // within one pass of the run loop.
    struct Callbacks {
        std::function<void()> connected;
        std::function<void()> disconnected;
        std::function<void()> willInterpretReport;
        std::function<void(const WiiEvent&)> event;
        std::function<void()> didInterpretReport;
    };
    // The attached extension's type that means a MotionPlus.
    static constexpr int64_t kMotionPlusExtension = 32;

    virtual ~WiiRemoteConnection() = default;
    // Starts connecting; answers 0, or the system's error number when it cannot.
    virtual int connect(Callbacks callbacks) = 0;
    virtual bool isConnected() const = 0;
    virtual std::string address() const = 0;
    virtual WiiHIDDevicePtr device() const = 0;
    // Asks the remote for a status report; its battery level arrives as a status event
    // (type 6, subtype 3) of a report of its own.
    virtual void refreshStatus() = 0;
    virtual void setIRSensitivity(int64_t sensitivity) = 0;
    virtual void setAcceptsAccelerometerEvents(bool on) = 0;
    virtual void setAcceptsIRCameraEvents(bool on) = 0;
    virtual void setAcceptsMotionPlusEvents(bool on) = 0;
    // The attached extension's type; none without one.
    virtual std::optional<int64_t> extensionType() const = 0;
    virtual void setMotionPlusMode(int64_t mode) = 0;
    virtual void setMotionPlusFilterSensitivity(double sensitivity) = 0;
    virtual void resetMotionPlusTracking() = 0;
    // Bit 0 is LED 1.
    virtual void setLeds(uint8_t mask) = 0;
    virtual void setRumbleEnabled(bool on) = 0;
};

// Pairing: looks for remotes whose red button is pressed.
class WiiDiscovery {
public:
    struct Callbacks {
        std::function<void(bool running)> runningChanged;
        // 0 for a normal stop, else the system's error code.
        std::function<void(int error)> stopped;
    };
    virtual ~WiiDiscovery() = default;
    // An adapter is present and on.
    virtual bool canStart() const = 0;
    virtual void start(bool resetPairing) = 0;
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;
    // The running discovery resets pairing.
    virtual bool pairingReset() const = 0;
};

// Reports the remotes that appear and go while open.
class WiiHIDManager {
public:
    struct Callbacks {
        std::function<void(const WiiHIDDevicePtr&)> found;
        std::function<void(const WiiHIDDevicePtr&)> lost;
    };
    virtual ~WiiHIDManager() = default;
    virtual void open() = 0;
    virtual void close() = 0;
};

class WiiRemoteBackend {
public:
    virtual ~WiiRemoteBackend() = default;
    // A discovery; none when there is no Bluetooth adapter at all.
    virtual std::unique_ptr<WiiDiscovery> makeDiscovery(WiiDiscovery::Callbacks callbacks) = 0;
    virtual std::unique_ptr<WiiHIDManager> makeHIDManager(WiiHIDManager::Callbacks callbacks) = 0;
    // A connection for a found device; none when the device is not a remote that can be used.
    virtual std::unique_ptr<WiiRemoteConnection> makeConnection(const WiiHIDDevicePtr& device) = 0;
};

}  // namespace devices
