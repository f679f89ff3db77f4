#include "platform/desktop/X11Desktop.h"

#include "controllers/QRBVirtualKeyCodes.h"
#include "foundation/Log.h"
#include "platform/desktop/XkbKeyboard.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cmath>
#include <fstream>

namespace platform {

namespace {

// The modifier keys pressed around a key, with the state bit each one sets.
struct ModifierKey {
    uint64_t flag;
    unsigned xKeyCode;
    unsigned stateMask;
};
constexpr ModifierKey kModifierKeys[] = {
    {devices::kShiftKeyFlag, KEY_LEFTSHIFT + 8, ShiftMask},
    {devices::kControlKeyFlag, KEY_LEFTCTRL + 8, ControlMask},
    {devices::kOptionKeyFlag, KEY_LEFTALT + 8, Mod1Mask},
    {devices::kCommandKeyFlag, KEY_LEFTMETA + 8, Mod4Mask},
};

unsigned stateMaskForFlags(uint64_t flags) {
    unsigned mask = 0;
    for (const auto& m : kModifierKeys)
        if (flags & m.flag) mask |= m.stateMask;
    return mask;
}

// A window tree walk stops this deep below the root: top-level windows are its children, or
// their children under a window manager's frames.
constexpr int kWindowSearchDepth = 3;

// Scrolling a step at a time: a value from the network could ask for billions.
constexpr int32_t kMaxScrollStepsPerPost = 1000;
// More than any settings manager writes; a larger property is read in part and its tail ignored.
constexpr long kMaxXSettingsLength = 1 << 16;

// A desktop coordinate as X takes it: rounded, within X's 16-bit range; none for a NaN.
std::optional<int> pixelCoordinate(double v) {
    if (std::isnan(v)) return std::nullopt;
    return int(std::lround(std::clamp(v, -32768.0, 32767.0)));
}

std::optional<std::string> utf8Property(Display* display, Window window, const char* name) {
    const Atom property = XInternAtom(display, name, True);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", True);
    if (property == None || utf8 == None) return std::nullopt;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, property, 0, 1024, False, utf8, &type, &format, &count, &after, &data) !=
            Success ||
        !data) {
        return std::nullopt;
    }
    std::optional<std::string> value;
    if (type == utf8 && format == 8) value = std::string(reinterpret_cast<char*>(data), count);
    XFree(data);
    return value;
}

std::optional<long> windowPid(Display* display, Window window) {
    const Atom property = XInternAtom(display, "_NET_WM_PID", True);
    if (property == None) return std::nullopt;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, property, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                           &data) != Success ||
        !data) {
        return std::nullopt;
    }
    std::optional<long> pid;
    if (type == XA_CARDINAL && format == 32 && count == 1) pid = *reinterpret_cast<long*>(data);
    XFree(data);
    return pid;
}

std::optional<std::string> processName(long pid) {
    if (pid <= 0) return std::nullopt;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!std::getline(comm, name)) return std::nullopt;
    return name;
}

// Whether the window belongs to the application: its class hint, its title, its process.
// A window without a class hint is no application's top-level window.
bool isTopLevelOf(Display* display, Window window, const std::string& application, bool& isClient) {
    XClassHint hint{};
    isClient = XGetClassHint(display, window, &hint) != 0;
    if (!isClient) return false;
    const bool classMatches =
        (hint.res_name && application == hint.res_name) || (hint.res_class && application == hint.res_class);
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
    if (classMatches) return true;
    if (utf8Property(display, window, "_NET_WM_NAME") == application) return true;
    if (auto pid = windowPid(display, window)) return processName(*pid) == application;
    return false;
}

void collectWindows(Display* display, Window window, const std::string& application, int depth,
                    std::vector<unsigned long>& found) {
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &count)) return;
    for (unsigned i = 0; i < count; ++i) {
        bool isClient = false;
        if (isTopLevelOf(display, children[i], application, isClient))
            found.push_back(children[i]);
        else if (!isClient && depth + 1 < kWindowSearchDepth)
            collectWindows(display, children[i], application, depth + 1, found);
    }
    if (children) XFree(children);
}

// Grabs report failure asynchronously; the handler catches them while a probe waits for the
// server's answer.
int grabErrorCode = 0;
int recordGrabError(Display*, XErrorEvent* error) {
    grabErrorCode = error->error_code;
    return 0;
}

// Xlib's own handler ends the process on any error. A window can close between the moment we
// find it and the moment we send it a key, so an error here is the ordinary course of things: it
// is logged (in the bounded form, a key repeat can meet it many times a second) and posting goes
// on.
int logXError(Display* display, XErrorEvent* error) {
    char text[128] = {};
    XGetErrorText(display, error->error_code, text, sizeof text);
    foundation::logOfKind(
        "x11.error." + std::to_string(error->error_code),
        "X error ignored: " + std::string(text) + " (request " + std::to_string(error->request_code) + ")");
    return 0;
}

class NoDisplayEventPoster final : public devices::EventPoster {
public:
    void postKey(const devices::KeyEvent&) override { tell(); }
    bool postKeyToApplication(const devices::KeyEvent&, const std::string&) override {
        tell();
        return false;
    }
    double keyRepeatThreshold() const override { return 0; }
    double keyRepeatInterval() const override { return 0; }
    devices::DesktopPoint pointerLocation() const override { return {}; }
    void postMouse(const devices::MouseEvent&) override { tell(); }
    void postScrollSteps(int32_t, int32_t) override { tell(); }
    void postScrollPixels(int32_t, int32_t) override { tell(); }
    double doubleClickInterval() const override { return 0; }
    // No display: nothing to divide a size by.
    std::vector<devices::DisplayInfo> activeDisplays() const override { return {}; }
    void setDisplaysChangedHandler(std::function<void()>) override {}

private:
    void tell() {
        if (told_) return;
        told_ = true;
        foundation::log("No X display: key, mouse and scroll outputs post nothing");
    }
    bool told_ = false;
};

}  // namespace

// ---- X11Connection

std::shared_ptr<X11Connection> X11Connection::open(const std::optional<std::string>& name) {
    Display* display = XOpenDisplay(name ? name->c_str() : nullptr);
    if (!display) return nullptr;
    // One handler serves the process; the probe of a shortcut sets its own for a moment.
    XSetErrorHandler(logXError);
    return std::make_shared<X11Connection>(display);
}

X11Connection::~X11Connection() { XCloseDisplay(display_); }

// ---- XTestEventPoster

XTestEventPoster::XTestEventPoster(std::shared_ptr<X11Connection> connection) : connection_(std::move(connection)) {}

XTestEventPoster::~XTestEventPoster() { watch_.cancel(); }

void XTestEventPoster::postKey(const devices::KeyEvent& event) {
    Display* display = connection_->display();
    const uint32_t key = QRBXKeyCodeForVirtualKeyCode(event.keyCode);
    if (key == 0) return;
    for (const auto& m : kModifierKeys)
        if (event.flags & m.flag) XTestFakeKeyEvent(display, m.xKeyCode, True, CurrentTime);
    XTestFakeKeyEvent(display, key, event.down ? True : False, CurrentTime);
    for (const auto& m : kModifierKeys)
        if (event.flags & m.flag) XTestFakeKeyEvent(display, m.xKeyCode, False, CurrentTime);
    XFlush(display);
}

std::vector<unsigned long> XTestEventPoster::windowsOfApplication(const std::string& application) const {
    std::vector<unsigned long> found;
    Display* display = connection_->display();
    collectWindows(display, DefaultRootWindow(display), application, 0, found);
    return found;
}

bool XTestEventPoster::postKeyToApplication(const devices::KeyEvent& event, const std::string& application) {
    Display* display = connection_->display();
    const uint32_t key = QRBXKeyCodeForVirtualKeyCode(event.keyCode);
    const auto windows = windowsOfApplication(application);
    if (windows.empty()) return false;
    if (key == 0) return true;
    for (unsigned long window : windows) {
        XKeyEvent e{};
        e.type = event.down ? KeyPress : KeyRelease;
        e.display = display;
        e.window = window;
        e.root = DefaultRootWindow(display);
        e.subwindow = None;
        e.time = CurrentTime;
        e.x = e.y = e.x_root = e.y_root = 1;
        e.state = stateMaskForFlags(event.flags);
        e.keycode = key;
        e.same_screen = True;
        XSendEvent(display, window, True, event.down ? KeyPressMask : KeyReleaseMask, reinterpret_cast<XEvent*>(&e));
    }
    XFlush(display);
    return true;
}

double XTestEventPoster::keyRepeatThreshold() const {
    unsigned int delay = 0, interval = 0;
    if (!XkbGetAutoRepeatRate(connection_->display(), XkbUseCoreKbd, &delay, &interval)) return 0;
    return delay / 1000.0;
}

double XTestEventPoster::keyRepeatInterval() const {
    unsigned int delay = 0, interval = 0;
    if (!XkbGetAutoRepeatRate(connection_->display(), XkbUseCoreKbd, &delay, &interval)) return 0;
    return interval / 1000.0;
}

devices::DesktopPoint XTestEventPoster::pointerLocation() const {
    Display* display = connection_->display();
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, x = 0, y = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &x, &y, &mask)) return {};
    return {double(rootX), double(rootY)};
}

void XTestEventPoster::postMouse(const devices::MouseEvent& event) {
    Display* display = connection_->display();
    if (event.location) {
        const auto x = pixelCoordinate(event.location->x), y = pixelCoordinate(event.location->y);
        if (x && y) XTestFakeMotionEvent(display, -1, *x, *y, CurrentTime);
    } else if (event.deltaX != 0 || event.deltaY != 0) {
        const auto dx = pixelCoordinate(event.deltaX), dy = pixelCoordinate(event.deltaY);
        if (dx && dy) XTestFakeRelativeMotionEvent(display, *dx, *dy, CurrentTime);
    }
    // Left, right, centre, then the further buttons after X's four scroll buttons.
    const unsigned button = event.button == 0 ? 1 : event.button == 1 ? 3 : event.button == 2 ? 2 : event.button + 5;
    switch (event.type) {
    case devices::MouseEventType::LeftDown: XTestFakeButtonEvent(display, 1, True, CurrentTime); break;
    case devices::MouseEventType::LeftUp: XTestFakeButtonEvent(display, 1, False, CurrentTime); break;
    case devices::MouseEventType::RightDown: XTestFakeButtonEvent(display, 3, True, CurrentTime); break;
    case devices::MouseEventType::RightUp: XTestFakeButtonEvent(display, 3, False, CurrentTime); break;
    case devices::MouseEventType::OtherDown: XTestFakeButtonEvent(display, button, True, CurrentTime); break;
    case devices::MouseEventType::OtherUp: XTestFakeButtonEvent(display, button, False, CurrentTime); break;
    default: break;
    }
    XFlush(display);
}

void XTestEventPoster::postScrollSteps(int32_t axis1, int32_t axis2) {
    Display* display = connection_->display();
    auto click = [display](unsigned button, int32_t steps) {
        for (int32_t i = 0; i < std::min(steps, kMaxScrollStepsPerPost); ++i) {
            XTestFakeButtonEvent(display, button, True, CurrentTime);
            XTestFakeButtonEvent(display, button, False, CurrentTime);
        }
    };
    // Positive scrolls up and left; buttons 4 and 5 are up and down, 6 and 7 left and right.
    const int64_t vertical = axis1, horizontal = axis2;
    click(vertical > 0 ? 4 : 5, int32_t(std::min<int64_t>(std::abs(vertical), kMaxScrollStepsPerPost)));
    click(horizontal > 0 ? 6 : 7, int32_t(std::min<int64_t>(std::abs(horizontal), kMaxScrollStepsPerPost)));
    XFlush(display);
}

void XTestEventPoster::postScrollPixels(int32_t wheel1, int32_t wheel2) {
    // Slow continuous scrolling must still scroll, a click now and then, and must not become a
    // click every tick; what is left over waits for the next post, until the direction turns.
    auto clicks = [](int32_t& pending, int32_t pixels) -> int32_t {
        if (pixels == 0) return 0;
        if ((pending > 0 && pixels < 0) || (pending < 0 && pixels > 0)) pending = 0;
        const int64_t total = int64_t(pending) + pixels;
        const int64_t n = total / kPixelsPerWheelClick;
        pending = int32_t(total - n * kPixelsPerWheelClick);
        return int32_t(std::clamp<int64_t>(n, -kMaxScrollStepsPerPost, kMaxScrollStepsPerPost));
    };
    const int32_t vertical = clicks(pendingVertical_, wheel1);
    const int32_t horizontal = clicks(pendingHorizontal_, wheel2);
    if (vertical != 0 || horizontal != 0) postScrollSteps(vertical, horizontal);
}

double XTestEventPoster::doubleClickInterval() const {
    Display* display = connection_->display();
    const std::string selectionName = "_XSETTINGS_S" + std::to_string(DefaultScreen(display));
    const Atom selection = XInternAtom(display, selectionName.c_str(), True);
    const Atom property = XInternAtom(display, "_XSETTINGS_SETTINGS", True);
    if (selection == None || property == None) return kDefaultDoubleClickInterval;
    const Window owner = XGetSelectionOwner(display, selection);
    if (owner == None) return kDefaultDoubleClickInterval;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    // The manager can quit between the two requests: its window is then gone and the read fails.
    if (XGetWindowProperty(display, owner, property, 0, kMaxXSettingsLength / 4, False, property, &type, &format,
                           &count, &after, &data) != Success ||
        !data) {
        return kDefaultDoubleClickInterval;
    }
    std::vector<uint8_t> bytes;
    if (type == property && format == 8) bytes.assign(data, data + count);
    XFree(data);
    const auto milliseconds = xsettingsInteger(bytes, "Net/DoubleClickTime");
    if (!milliseconds || *milliseconds <= 0) return kDefaultDoubleClickInterval;
    return *milliseconds / 1000.0;
}

std::vector<devices::DisplayInfo> XTestEventPoster::activeDisplays() const {
    Display* display = connection_->display();
    std::vector<devices::DisplayInfo> displays;
    int eventBase = 0, errorBase = 0;
    if (XRRQueryExtension(display, &eventBase, &errorBase)) {
        int count = 0;
        XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
        for (int i = 0; monitors && i < count; ++i) {
            const auto& m = monitors[i];
            if (m.width <= 0 || m.height <= 0) continue;
            devices::DisplayInfo info;
            info.bounds = {double(m.x), double(m.y), double(m.width), double(m.height)};
            info.pixelWidth = m.width;
            info.pixelHeight = m.height;
            info.main = m.primary != 0;
            displays.push_back(info);
        }
        if (monitors) XRRFreeMonitors(monitors);
    }
    if (displays.empty()) {
        // No RandR, or no monitor lit: the screen stands for one display.
        const int screen = DefaultScreen(display);
        const int width = DisplayWidth(display, screen), height = DisplayHeight(display, screen);
        if (width <= 0 || height <= 0) return {};
        devices::DisplayInfo info;
        info.bounds = {0, 0, double(width), double(height)};
        info.pixelWidth = width;
        info.pixelHeight = height;
        displays.push_back(info);
    }
    // Without a primary monitor the first one is the main display.
    if (std::none_of(displays.begin(), displays.end(), [](const auto& d) { return d.main; }))
        displays.front().main = true;
    return displays;
}

void XTestEventPoster::setDisplaysChangedHandler(std::function<void()> handler) {
    displaysChanged_ = std::move(handler);
    if (!displaysChanged_) {
        watch_.cancel();
        watcher_.reset();
        return;
    }
    if (watcher_) return;
    watcher_ = X11Connection::open(std::string(DisplayString(connection_->display())));
    if (!watcher_) {
        foundation::log("X display changes cannot be followed: a second connection to the server failed");
        return;
    }
    Display* display = watcher_->display();
    int errorBase = 0;
    if (!XRRQueryExtension(display, &randrEventBase_, &errorBase)) {
        watcher_.reset();
        return;
    }
    XRRSelectInput(display, DefaultRootWindow(display),
                   RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    XFlush(display);
    watch_ = foundation::RunLoop::main().watchFd(
        ConnectionNumber(display), foundation::FdEvent::Readable, [this](uint32_t events) {
            // A server that went away: asking Xlib for
            // events now would end the process.
            if (events & (foundation::FdEvent::Error | foundation::FdEvent::HangUp)) {
                watch_.cancel();
                return;
            }
            readDisplayNotices();
        });
}

void XTestEventPoster::readDisplayNotices() {
    if (!watcher_) return;
    Display* display = watcher_->display();
    bool changed = false;
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == randrEventBase_ + RRScreenChangeNotify || event.type == randrEventBase_ + RRNotify) {
            XRRUpdateConfiguration(&event);
            changed = true;
        }
    }
    // One notice for a burst: a monitor change comes as several events.
    if (changed && displaysChanged_) {
        auto handler = displaysChanged_;
        handler();
    }
}

std::optional<int32_t> xsettingsInteger(const std::vector<uint8_t>& bytes, const std::string& name) {
    if (bytes.size() < 12 || bytes[0] > 1) return std::nullopt;
    const bool msbFirst = bytes[0] == 1;
    auto card16 = [&](size_t at) -> uint32_t {
        return msbFirst ? (uint32_t(bytes[at]) << 8 | bytes[at + 1]) : (uint32_t(bytes[at + 1]) << 8 | bytes[at]);
    };
    auto card32 = [&](size_t at) -> uint32_t {
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) v = v << 8 | bytes[at + (msbFirst ? k : 3 - k)];
        return v;
    };
    auto padded = [](uint64_t n) { return (n + 3) & ~uint64_t(3); };
    const uint64_t size = bytes.size();
    const uint32_t settings = card32(8);
    uint64_t at = 12;
    for (uint32_t i = 0; i < settings; ++i) {
        if (at + 4 > size) return std::nullopt;
        const uint8_t type = bytes[at];
        const uint32_t nameLength = card16(at + 2);
        at += 4;
        if (at + padded(nameLength) + 4 > size) return std::nullopt;
        const std::string settingName(reinterpret_cast<const char*>(bytes.data() + at), nameLength);
        at += padded(nameLength) + 4;  // the name, then the serial of its last change
        switch (type) {
        case 0:  // an integer
            if (at + 4 > size) return std::nullopt;
            if (settingName == name) return static_cast<int32_t>(card32(at));
            at += 4;
            break;
        case 1:  // a string
            if (at + 4 > size) return std::nullopt;
            at += 4 + padded(card32(at));
            break;
        case 2:  // a colour: four 16-bit channels
            at += 8;
            break;
        default: return std::nullopt;
        }
        if (at > size) return std::nullopt;
    }
    return std::nullopt;
}

// ---- X11Keyboard

X11Keyboard::X11Keyboard(std::shared_ptr<X11Connection> connection) : connection_(std::move(connection)) {}

X11Keyboard::~X11Keyboard() = default;

std::optional<std::string> X11Keyboard::keyText(uint32_t xKeyCode, bool numLock) const {
    const auto now = std::chrono::steady_clock::now();
    if (!keymap_ || now - keymapRead_ > std::chrono::seconds(1)) {
        keymapRead_ = now;
        xcb_connection_t* xcb = XGetXCBConnection(connection_->display());
        xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        xkb_keymap* keymap = nullptr;
        if (context &&
            xkb_x11_setup_xkb_extension(xcb, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                        XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr)) {
            const int32_t device = xkb_x11_get_core_keyboard_device_id(xcb);
            if (device != -1)
                keymap = xkb_x11_keymap_new_from_device(context, xcb, device, XKB_KEYMAP_COMPILE_NO_FLAGS);
        }
        if (context) xkb_context_unref(context);
        // A keymap that cannot be read keeps the last one.
        if (keymap) keymap_ = std::make_unique<XkbKeymap>(keymap);
    }
    return keymap_ ? keymap_->keyText(xKeyCode, numLock) : std::nullopt;
}

devices::XKeymapState X11Keyboard::keysDown() const {
    char keys[32] = {};
    XQueryKeymap(connection_->display(), keys);
    devices::XKeymapState state{};
    std::copy(std::begin(keys), std::end(keys), state.begin());
    return state;
}

devices::HotKeyProbe X11Keyboard::probeHotKey(uint32_t xKeyCode, uint64_t flags) {
    Display* display = connection_->display();
    if (xKeyCode < 8 || xKeyCode > 255) return devices::HotKeyProbe::Free;
    const Window root = DefaultRootWindow(display);
    const unsigned mask = stateMaskForFlags(flags);
    XSync(display, False);
    grabErrorCode = 0;
    auto previous = XSetErrorHandler(recordGrabError);
    XGrabKey(display, int(xKeyCode), mask, root, False, GrabModeAsync, GrabModeAsync);
    XSync(display, False);
    const int error = grabErrorCode;
    if (error == 0) XUngrabKey(display, int(xKeyCode), mask, root);
    XSync(display, False);
    XSetErrorHandler(previous);
    if (error == BadAccess) return devices::HotKeyProbe::Taken;
    return error == 0 ? devices::HotKeyProbe::Free : devices::HotKeyProbe::Unknown;
}

// ----

X11Desktop openX11Desktop(const std::optional<std::string>& name) {
    auto connection = X11Connection::open(name);
    if (!connection) return {noDisplayEventPoster(), nullptr};
    return {std::make_shared<XTestEventPoster>(connection), std::make_shared<X11Keyboard>(connection)};
}

std::shared_ptr<devices::EventPoster> noDisplayEventPoster() { return std::make_shared<NoDisplayEventPoster>(); }

}  // namespace platform
