#pragma once
// What the kernel's hid-wiimote driver reports (through libxwiimote and the extensions' evdev
// nodes), turned into the events the Wii remote slots read: button codes of the remote and its
// extensions, accelerometer values from 0 to 1 with 0.5 at rest, the IR pointer from -1 to 1
// (-100 when the camera sees nothing), stick and analog values from 0 to 1, extension types by
// number. Pure functions, so that they are tested without a remote.

#include "controllers/devices/WiiRemoteBackend.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::wii {

// The parts of a remote an event comes from.
enum Source : int { Remote = 0, Nunchuk = 1, Classic = 2, BalanceBoard = 4, Guitar = 8, Drums = 16, MotionPlus = 32 };

// Event types.
enum EventType : int {
    Button = 0,
    Accelerometer = 1,
    IRCamera = 2,
    Stick = 3,
    AnalogButton = 4,
    Status = 6,
    Weight = 7,
    MotionPlusRates = 8
};

// Status subtypes.
constexpr int kBatteryStatus = 3;
constexpr int kExtensionChangedStatus = 5;
// A battery status counts in 96ths of a full remote's battery; with a balance board attached the
// slot reads it in 192ths.
constexpr double kFullBatteryStatus = 96;
constexpr double kFullBalanceBoardBatteryStatus = 192;

// The remote's button code of a libxwiimote key (XWII_KEY_...); 0 for keys it does not have.
uint32_t remoteButton(unsigned xwiiKey);
// The classic controller's code of a pro controller key (the pro controller reads as a classic).
uint32_t proControllerButton(unsigned xwiiKey);
// The code of an evdev key (KEY_..., BTN_...) of an extension node; 0 when it has none.
uint32_t extensionButton(int source, unsigned evdevCode);

// 0 to 1, 0.5 at rest, from hid-wiimote's accelerometer units (about 100 per g, centred on 0).
double accelerometerValue(int32_t raw);
// A value within [minimum, maximum] as 0 to 1; 0.5 when the range is empty.
double normalised(int32_t value, int32_t minimum, int32_t maximum);

struct IRSource {
    bool valid = false;
    int32_t x = 0;  // 0 to 1023
    int32_t y = 0;  // 0 to 767
};
// The camera's four sources as an IR event: the points from 0 to 1 and the pointer (the middle of
// the first two visible sources, or the one) from -1 to 1, -100 for none.
devices::WiiEvent irEvent(const IRSource (&sources)[4]);

// The extension type of libxwiimote's extension name ("nunchuk", "classic", "motionp", ...);
// none for "none" or an unknown name.
std::optional<int64_t> extensionType(const std::string& name);

// A battery level in percent as the status a remote reports, on the scale the slot reads it with
// that extension attached.
devices::WiiEvent batteryStatusEvent(int percent, std::optional<int64_t> extension = std::nullopt);

// The source an extension's evdev node stands for, by the node's name; -1 for none.
int extensionSourceForNodeName(const std::string& name);

}  // namespace platform::wii
