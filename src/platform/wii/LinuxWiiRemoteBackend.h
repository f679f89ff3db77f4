#pragma once
// Wii remotes on Linux: the kernel's hid-wiimote driver does the Bluetooth HID work. Remotes
// appear and go as hid devices bound to that driver (udev; the HID_UNIQ property is the remote's
// Bluetooth address); a connection reads and drives one through libxwiimote, and the extensions
// libxwiimote does not report (nunchuk, classic controller, guitar) through the driver's own evdev
// nodes (libevdev). Pairing is BlueZ's discovery on the first adapter, over the system D-Bus:
// without BlueZ or an adapter there is no discovery at all ("No adapter has been found."), with a
// powered-off adapter it cannot start.
//
// Main thread only: every descriptor is watched on the main run loop and every callback posted
// to it.

#include "controllers/devices/WiiRemoteBackend.h"

#include <memory>

namespace platform {

class LinuxWiiRemoteBackend final : public devices::WiiRemoteBackend {
public:
    std::unique_ptr<devices::WiiDiscovery> makeDiscovery(devices::WiiDiscovery::Callbacks callbacks) override;
    std::unique_ptr<devices::WiiHIDManager> makeHIDManager(devices::WiiHIDManager::Callbacks callbacks) override;
    std::unique_ptr<devices::WiiRemoteConnection> makeConnection(const devices::WiiHIDDevicePtr& device) override;
};

}  // namespace platform
