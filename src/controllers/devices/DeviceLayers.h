#pragma once
// The device layers the process runs with, in one place. The program installs the system's
// backends at start-up and tests install fakes; every layer left unset is the one of a machine
// without that device (no FireWire, no Wii remotes, no 3D mouse, no desktop to post events to
// and no keyboard to read, no virtual joystick), except the tablet daemon, which is a program of
// ours and is launched as a child process.
//
// Model objects ask current() when they need a layer, so that objects decoded from a document get
// the same layers as new ones. Main thread only.

#include "controllers/devices/EventPoster.h"
#include "controllers/devices/JoystickDriver.h"
#include "controllers/devices/Keyboard.h"
#include "controllers/devices/SpaceMouseDriver.h"
#include "controllers/devices/TabletDaemonLauncher.h"
#include "controllers/devices/WiiRemoteBackend.h"
#include "flame/FireWireBus.h"

#include <memory>

namespace devices {

struct DeviceLayers {
    std::shared_ptr<FireWireBus> fireWire;
    std::shared_ptr<WiiRemoteBackend> wiiRemotes;
    std::shared_ptr<SpaceMouseDriver> spaceMouse;
    std::shared_ptr<TabletDaemonLauncher> tabletDaemon;
    std::shared_ptr<EventPoster> events;
    std::shared_ptr<JoystickDriver> joysticks;
    std::shared_ptr<Keyboard> keyboard;

    // The layers in use; never null.
    static const DeviceLayers& current();
    // Replaces the layers in use; the unset ones become the defaults. Objects that already hold
    // a layer keep it.
    static void install(DeviceLayers layers);
    // Back to the defaults.
    static void reset() { install({}); }
};

std::shared_ptr<WiiRemoteBackend> noWiiRemoteBackend();
std::shared_ptr<SpaceMouseDriver> noSpaceMouseDriver();
std::shared_ptr<EventPoster> noEventPoster();
std::shared_ptr<JoystickDriver> noJoystickDriver();
std::shared_ptr<Keyboard> noKeyboard();

}  // namespace devices
