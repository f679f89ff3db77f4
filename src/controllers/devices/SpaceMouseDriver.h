#pragma once
// The 3D mouse driver as the process's 3D mouse object uses it: a client that registers under the
// application's name, asks whether a device is there, and receives each device's state (six axes
// and the buttons) on the main run loop.
//
// The system's backend and an in-process fake live in src/platform/spacemouse/. The default driver
// is not available, so the process has no 3D mouse object.

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace devices {

struct SpaceMouseState {
    // The registered client the state is meant for.
    uint16_t client = 0;
    // Translation x, y, z, then rotation x, y, z; about -250 to 250 at full deflection.
    std::array<int16_t, 6> axis{};
    // Tells the devices apart.
    uint16_t address = 0;
    // Bit 0 button 1, bit 1 button 2.
    uint32_t buttons = 0;
};

class SpaceMouseDriver {
public:
    virtual ~SpaceMouseDriver() = default;
    // Whether a driver can be used at all.
    virtual bool available() const = 0;
    // Installs the handler of device states (main run loop); a new call replaces it.
    virtual void setStateHandler(std::function<void(const SpaceMouseState&)> handler) = 0;
    virtual void removeStateHandler() = 0;
    // Registers a client that takes the device over; answers its identifier, 0 on failure.
    virtual uint16_t registerClient(const std::string& name) = 0;
    virtual void unregisterClient(uint16_t client) = 0;
    // The identifier of the device present; 0 when there is none.
    virtual int32_t deviceID(uint16_t client) = 0;
};

}  // namespace devices
