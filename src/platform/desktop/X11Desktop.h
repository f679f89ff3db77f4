#pragma once
// The X session as the key outputs and the key texts see it.
//
// XTestEventPoster posts keys as if typed: system-wide through the XTest extension (to the window
// with the keyboard focus), or to a named application by sending the events to its top-level
// windows (the windows whose WM_CLASS name or class, _NET_WM_NAME, or process name is the name).
// Modifier flags press and release the modifier keys around each key event (Shift, Control, Alt
// for Option, Super for Command). Key-repeat timings come from XKB, read at every call.
//
// X11Keyboard reads the server's keymap through xkbcommon for the key texts, the keys down
// through XQueryKeymap, and probes a shortcut by grabbing it on the root window: a grab another
// client holds fails with BadAccess.
//
// The pointer: XTest posts motion and buttons 1 to 3, and scrolling as wheel buttons 4 to 7;
// XQueryPointer tells where the pointer is. Pixel scrolling accumulates into wheel clicks of
// kPixelsPerWheelClick pixels, the remainder carried to the next post while the direction holds.
// Click counts and event numbers have no place in X events and are not posted. The displays are
// the RandR monitors (the screen when RandR is missing), in root-window coordinates; a second
// connection of our own hears RandR's change notices on the main run loop. The double-click
// interval is the XSETTINGS "Net/DoubleClickTime" when a settings manager runs, else 0.5 s.
//
// Without a display, openX11Desktop gives the "no display" poster, which posts nothing and tells
// the log once. Main thread only.

#include "controllers/devices/EventPoster.h"
#include "controllers/devices/Keyboard.h"
#include "foundation/RunLoop.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct _XDisplay Display;

namespace platform {

class XkbKeymap;

// One connection to the X server, shared by the poster and the keyboard.
class X11Connection {
public:
    // Null when the display cannot be opened (none: $DISPLAY). Opening one makes X errors
    // (a window that closed before its key arrived) lines in the log instead of the end of the
    // process.
    static std::shared_ptr<X11Connection> open(const std::optional<std::string>& name = std::nullopt);
    explicit X11Connection(Display* display) : display_(display) {}
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    Display* display() const { return display_; }

private:
    Display* display_;
};

// The integer setting so named in an XSETTINGS property's bytes; none when it is missing, of
// another type, or the bytes are malformed (they come from another client).
std::optional<int32_t> xsettingsInteger(const std::vector<uint8_t>& bytes, const std::string& name);

class XTestEventPoster final : public devices::EventPoster {
public:
    // Pixels of continuous scrolling that make one wheel click.
    static constexpr int32_t kPixelsPerWheelClick = 30;
    // Without a settings manager.
    static constexpr double kDefaultDoubleClickInterval = 0.5;

    explicit XTestEventPoster(std::shared_ptr<X11Connection> connection);
    ~XTestEventPoster() override;

    void postKey(const devices::KeyEvent& event) override;
    bool postKeyToApplication(const devices::KeyEvent& event, const std::string& application) override;
    double keyRepeatThreshold() const override;
    double keyRepeatInterval() const override;

    devices::DesktopPoint pointerLocation() const override;
    void postMouse(const devices::MouseEvent& event) override;
    void postScrollSteps(int32_t axis1, int32_t axis2) override;
    void postScrollPixels(int32_t wheel1, int32_t wheel2) override;
    double doubleClickInterval() const override;
    std::vector<devices::DisplayInfo> activeDisplays() const override;
    void setDisplaysChangedHandler(std::function<void()> handler) override;

    // The top-level windows of the application so named, in the order of the window tree.
    std::vector<unsigned long> windowsOfApplication(const std::string& application) const;

private:
    // Reads RandR's notices off the watching connection.
    void readDisplayNotices();

    std::shared_ptr<X11Connection> connection_;
    std::function<void()> displaysChanged_;
    // Only RandR's notices arrive on it, so that no other reply can leave them unread in Xlib's
    // queue while the run loop waits on the socket.
    std::shared_ptr<X11Connection> watcher_;
    int randrEventBase_ = 0;
    foundation::FdWatch watch_;
    // Pixels not yet worth a wheel click.
    int32_t pendingVertical_ = 0;
    int32_t pendingHorizontal_ = 0;
};

class X11Keyboard final : public devices::Keyboard {
public:
    explicit X11Keyboard(std::shared_ptr<X11Connection> connection);
    ~X11Keyboard() override;

    std::optional<std::string> keyText(uint32_t xKeyCode, bool numLock) const override;
    devices::XKeymapState keysDown() const override;
    devices::HotKeyProbe probeHotKey(uint32_t xKeyCode, uint64_t flags) override;

private:
    std::shared_ptr<X11Connection> connection_;
    // The server's keymap, read again when it is older than a second, so that a layout switched
    // by the user shows in the texts without a round trip per key.
    mutable std::unique_ptr<XkbKeymap> keymap_;
    mutable std::chrono::steady_clock::time_point keymapRead_;
};

struct X11Desktop {
    std::shared_ptr<devices::EventPoster> events;
    std::shared_ptr<devices::Keyboard> keyboard;
};

// The poster and keyboard of the X session (none: $DISPLAY); without one, the "no display"
// poster and no keyboard.
X11Desktop openX11Desktop(const std::optional<std::string>& name = std::nullopt);

// Posts nothing, and tells the log the first time it is asked to.
std::shared_ptr<devices::EventPoster> noDisplayEventPoster();

}  // namespace platform
