#pragma once
// Posting keyboard and mouse events to the desktop, as the key, key combination and mouse outputs
// do: keys system-wide (to the application with the keyboard focus) or to one running application
// by name, pointer motion and buttons, scrolling in steps or in pixels, and what those need to
// know of the desktop (the pointer, the displays, the key-repeat and double-click timings).
//
// The outputs call only this interface; the system's backend and an in-process fake live in
// src/platform/desktop/. The default poster belongs to a machine without a desktop: it posts
// nothing and has no display.
//
// Main thread only.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace devices {

// Modifier flags, as the key combinations store them.
inline constexpr uint64_t kShiftKeyFlag = 0x20000;
inline constexpr uint64_t kControlKeyFlag = 0x40000;
inline constexpr uint64_t kOptionKeyFlag = 0x80000;
inline constexpr uint64_t kCommandKeyFlag = 0x100000;

struct DesktopPoint {
    double x = 0;
    double y = 0;
};

// Global coordinates: the origin at the top left of the main display, y downwards.
struct DesktopRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

struct DisplayInfo {
    DesktopRect bounds;
    int pixelWidth = 0;
    int pixelHeight = 0;
    bool main = false;
};

struct KeyEvent {
    uint16_t keyCode = 0;
    // 0 leaves the flags the system gives.
    uint64_t flags = 0;
    bool down = false;
};

// The event types of pointer motion and buttons.
enum class MouseEventType : int {
    LeftDown = 1,
    LeftUp = 2,
    RightDown = 3,
    RightUp = 4,
    Moved = 5,
    LeftDragged = 6,
    RightDragged = 7,
    OtherDown = 25,
    OtherUp = 26,
    OtherDragged = 27,
};

struct MouseEvent {
    MouseEventType type = MouseEventType::Moved;
    // None: where the pointer is.
    std::optional<DesktopPoint> location;
    // Buttons: 0 left, 1 right, 2 centre; the event's number and its click count (1 to 3).
    int button = 0;
    int64_t eventNumber = 0;
    int64_t clickState = 0;
    // Motion: how far the pointer moved.
    double deltaX = 0;
    double deltaY = 0;
};

class EventPoster {
public:
    virtual ~EventPoster() = default;

    // --- keys
    // To the application with the keyboard focus.
    virtual void postKey(const KeyEvent& event) = 0;
    // To the running application of that name (exact, case-sensitive); dropped when none runs,
    // which the answer false tells.
    virtual bool postKeyToApplication(const KeyEvent& event, const std::string& application) = 0;
    // The user's key-repeat delay and interval in seconds.
    virtual double keyRepeatThreshold() const = 0;
    virtual double keyRepeatInterval() const = 0;

    // --- pointer
    virtual DesktopPoint pointerLocation() const = 0;
    virtual void postMouse(const MouseEvent& event) = 0;
    // Scroll steps (lines): axis 1 vertical, axis 2 horizontal; 0 and 0 is a scroll without delta.
    virtual void postScrollSteps(int32_t axis1, int32_t axis2) = 0;
    // Continuous scrolling in pixels: wheel 1 vertical, wheel 2 horizontal.
    virtual void postScrollPixels(int32_t wheel1, int32_t wheel2) = 0;
    virtual double doubleClickInterval() const = 0;

    // --- displays
    virtual std::vector<DisplayInfo> activeDisplays() const = 0;
    // Called on the main run loop whenever the displays change; an empty function removes it.
    virtual void setDisplaysChangedHandler(std::function<void()> handler) = 0;
};

}  // namespace devices
