// The X session's key poster and keyboard against an Xvfb server each test starts: keys posted
// system-wide arrive from the XTEST device with their modifiers, keys for a named application reach
// only its windows, a shortcut another client holds reads as taken, and the texts, keys down and
// key-repeat timings come from the server.

// GoogleTest before the X headers, whose macros (None, Bool...) clash with its names.
#include <gtest/gtest.h>

#include "XvfbServer.h"

#include "controllers/QRBVirtualKeyCodes.h"
#include "foundation/Log.h"
#include "platform/desktop/X11Desktop.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using platform::X11Connection;
using platform::X11Keyboard;
using platform::XTestEventPoster;

constexpr uint16_t kVirtualA = 0;
constexpr unsigned kXKeyA = 38;  // evdev KEY_A + 8

// A client of the test's server: makes windows and reads what reaches them.
class TestClient {
public:
    explicit TestClient(const std::string& display) : display_(XOpenDisplay(display.c_str())) {}
    ~TestClient() {
        if (display_) XCloseDisplay(display_);
    }
    Display* display() const { return display_; }

    Window window(const char* resName = nullptr, const char* resClass = nullptr) {
        const Window w = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 100, 100, 0, 0, 0);
        if (resName) {
            XClassHint hint{const_cast<char*>(resName), const_cast<char*>(resClass)};
            XSetClassHint(display_, w, &hint);
        }
        XSelectInput(display_, w, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
        XMapWindow(display_, w);
        waitFor([&](const XEvent& e) { return e.type == MapNotify && e.xmap.window == w; });
        return w;
    }
    void setUtf8(Window w, const char* name, const std::string& value) {
        XChangeProperty(display_, w, XInternAtom(display_, name, False), XInternAtom(display_, "UTF8_STRING", False), 8,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(value.data()), int(value.size()));
        XSync(display_, False);
    }
    void setPid(Window w, long pid) {
        XChangeProperty(display_, w, XInternAtom(display_, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&pid), 1);
        XSync(display_, False);
    }

    // Reads events until one matches, for at most 5 s.
    std::optional<XEvent> waitFor(const std::function<bool(const XEvent&)>& match, double seconds = 5) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            while (XPending(display_)) {
                XEvent e;
                XNextEvent(display_, &e);
                if (match(e)) return e;
            }
            pollfd p{ConnectionNumber(display_), POLLIN, 0};
            poll(&p, 1, 20);
        }
        return std::nullopt;
    }
    // The key events that arrived within `seconds`.
    std::vector<XKeyEvent> keyEvents(double seconds) {
        std::vector<XKeyEvent> keys;
        waitFor(
            [&](const XEvent& e) {
                if (e.type == KeyPress || e.type == KeyRelease) keys.push_back(e.xkey);
                return false;
            },
            seconds);
        return keys;
    }

private:
    Display* display_;
};

class X11DesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.display()) << "Xvfb did not start";
        connection = X11Connection::open(*server.display());
        ASSERT_NE(connection, nullptr);
        client = std::make_unique<TestClient>(*server.display());
        ASSERT_NE(client->display(), nullptr);
    }

    XvfbServer server;
    std::shared_ptr<X11Connection> connection;
    std::unique_ptr<TestClient> client;
};

TEST_F(X11DesktopTest, ShiftAArrivesFromTheXTestDevice) {
    const Window w = client->window();
    XSetInputFocus(client->display(), w, RevertToParent, CurrentTime);
    XSync(client->display(), False);

    XTestEventPoster poster(connection);
    poster.postKey({kVirtualA, devices::kShiftKeyFlag, true});
    poster.postKey({kVirtualA, devices::kShiftKeyFlag, false});

    std::vector<XKeyEvent> keys;
    client->waitFor([&](const XEvent& e) {
        if ((e.type == KeyPress || e.type == KeyRelease) && e.xkey.keycode == kXKeyA) keys.push_back(e.xkey);
        return keys.size() == 2;
    });
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].type, KeyPress);
    EXPECT_EQ(keys[1].type, KeyRelease);
    for (const auto& k : keys) {
        EXPECT_EQ(k.window, w);
        EXPECT_EQ(k.state & (ShiftMask | ControlMask | Mod1Mask | Mod4Mask), unsigned(ShiftMask));
        EXPECT_FALSE(k.send_event) << "a device's event, not one sent by a client";
    }

    // Another client hears a key through XInput 2, which names the device it came from.
    TestClient xi(*server.display());
    int opcode = 0, event = 0, error = 0;
    ASSERT_TRUE(XQueryExtension(xi.display(), "XInputExtension", &opcode, &event, &error));
    int major = 2, minor = 0;
    ASSERT_EQ(XIQueryVersion(xi.display(), &major, &minor), Success);
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_KeyPress);
    XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
    XISelectEvents(xi.display(), w, &mask, 1);
    XSync(xi.display(), False);

    poster.postKey({kVirtualA, 0, true});
    poster.postKey({kVirtualA, 0, false});
    std::string source;
    xi.waitFor([&](const XEvent& e) {
        XGenericEventCookie cookie = e.xcookie;
        if (cookie.type != GenericEvent || cookie.extension != opcode) return false;
        if (!XGetEventData(xi.display(), &cookie)) return false;
        const auto* device = static_cast<const XIDeviceEvent*>(cookie.data);
        if (cookie.evtype == XI_KeyPress && unsigned(device->detail) == kXKeyA) {
            int count = 0;
            if (XIDeviceInfo* info = XIQueryDevice(xi.display(), device->sourceid, &count)) {
                source = info->name;
                XIFreeDeviceInfo(info);
            }
        }
        XFreeEventData(xi.display(), &cookie);
        return !source.empty();
    });
    EXPECT_EQ(source, "Virtual core XTEST keyboard");
}

TEST_F(X11DesktopTest, KeysForANamedApplicationReachOnlyItsWindows) {
    const Window synth = client->window("synth", "Synth");
    const Window other = client->window("other", "Other");
    const Window titled = client->window("titled", "Titled");
    client->setUtf8(titled, "_NET_WM_NAME", "Lights Desk");
    const Window byProcess = client->window("proc", "Proc");
    client->setPid(byProcess, getpid());
    char comm[64] = {};
    {
        FILE* f = fopen(("/proc/" + std::to_string(getpid()) + "/comm").c_str(), "r");
        ASSERT_NE(f, nullptr);
        ASSERT_NE(fgets(comm, sizeof comm, f), nullptr);
        fclose(f);
        comm[strcspn(comm, "\n")] = 0;
    }

    XTestEventPoster poster(connection);
    const struct {
        std::string name;
        Window expected;
    } cases[] = {{"Synth", synth}, {"synth", synth}, {"Lights Desk", titled}, {comm, byProcess}};
    for (const auto& c : cases) {
        ASSERT_TRUE(poster.postKeyToApplication({kVirtualA, devices::kCommandKeyFlag, true}, c.name)) << c.name;
        const auto keys = client->keyEvents(0.3);
        ASSERT_EQ(keys.size(), 1u) << c.name;
        EXPECT_EQ(keys[0].window, c.expected) << c.name;
        EXPECT_EQ(keys[0].type, KeyPress);
        EXPECT_EQ(keys[0].keycode, kXKeyA);
        EXPECT_EQ(keys[0].state, unsigned(Mod4Mask)) << "Command is Super";
    }
    (void)other;
    // Nothing runs under that name: nothing is sent, and the caller hears so.
    EXPECT_FALSE(poster.postKeyToApplication({kVirtualA, 0, true}, "Absent"));
    EXPECT_TRUE(client->keyEvents(0.2).empty());
}

TEST_F(X11DesktopTest, AShortcutHeldByAnotherClientIsTaken) {
    X11Keyboard keyboard(connection);
    Display* d = client->display();
    const unsigned t = QRBXKeyCodeForVirtualKeyCode(17);  // T
    const uint64_t controlOption = devices::kControlKeyFlag | devices::kOptionKeyFlag;
    EXPECT_EQ(keyboard.probeHotKey(t, controlOption), devices::HotKeyProbe::Free);
    // The probe let go of its own grab: another client can take the combination.
    XGrabKey(d, int(t), ControlMask | Mod1Mask, DefaultRootWindow(d), False, GrabModeAsync, GrabModeAsync);
    XSync(d, False);
    EXPECT_EQ(keyboard.probeHotKey(t, controlOption), devices::HotKeyProbe::Taken);
    EXPECT_EQ(keyboard.probeHotKey(t, devices::kControlKeyFlag), devices::HotKeyProbe::Free);
    XUngrabKey(d, int(t), ControlMask | Mod1Mask, DefaultRootWindow(d));
    XSync(d, False);
    EXPECT_EQ(keyboard.probeHotKey(t, controlOption), devices::HotKeyProbe::Free);
}

TEST_F(X11DesktopTest, TextsKeysDownAndRepeatFromTheServer) {
    X11Keyboard keyboard(connection);
    EXPECT_EQ(keyboard.keyText(kXKeyA, false), "A");
    EXPECT_EQ(keyboard.keyText(QRBXKeyCodeForVirtualKeyCode(82), true), "0");

    Display* d = client->display();
    XTestFakeKeyEvent(d, kXKeyA, True, CurrentTime);
    XSync(d, False);
    EXPECT_TRUE((keyboard.keysDown()[kXKeyA / 8] >> (kXKeyA % 8)) & 1);
    XTestFakeKeyEvent(d, kXKeyA, False, CurrentTime);
    XSync(d, False);
    EXPECT_FALSE((keyboard.keysDown()[kXKeyA / 8] >> (kXKeyA % 8)) & 1);

    XTestEventPoster poster(connection);
    ASSERT_TRUE(XkbSetAutoRepeatRate(d, XkbUseCoreKbd, 300, 40));
    XSync(d, False);
    EXPECT_DOUBLE_EQ(poster.keyRepeatThreshold(), 0.3);
    EXPECT_DOUBLE_EQ(poster.keyRepeatInterval(), 0.04);
    ASSERT_TRUE(XkbSetAutoRepeatRate(d, XkbUseCoreKbd, 500, 25));
    XSync(d, False);
    EXPECT_DOUBLE_EQ(poster.keyRepeatThreshold(), 0.5) << "read again at each call";
}

TEST_F(X11DesktopTest, AnXErrorIsLoggedNotFatal) {
    foundation::LogCapture log;
    // A window that has gone, as one that closes between being found and being sent a key.
    const Window w = client->window("synth", "Synth");
    XDestroyWindow(client->display(), w);
    XSync(client->display(), False);
    XMapWindow(connection->display(), w);
    XSync(connection->display(), False);
    ASSERT_FALSE(log.lines().empty());
    EXPECT_NE(log.lines()[0].find("X error ignored"), std::string::npos) << log.lines()[0];
    // The connection still serves.
    XTestEventPoster poster(connection);
    EXPECT_FALSE(poster.postKeyToApplication({kVirtualA, 0, true}, "Synth"));
}

TEST(NoDisplay, PostsNothingAndTellsTheLogOnce) {
    foundation::LogCapture log;
    // A display that no server answers.
    auto desktop = platform::openX11Desktop(std::string("unix:/nonexistent/socket:0"));
    EXPECT_EQ(desktop.keyboard, nullptr);
    ASSERT_NE(desktop.events, nullptr);
    desktop.events->postKey({kVirtualA, 0, true});
    EXPECT_FALSE(desktop.events->postKeyToApplication({kVirtualA, 0, true}, "Synth"));
    desktop.events->postScrollSteps(1, 0);
    EXPECT_TRUE(desktop.events->activeDisplays().empty());
    EXPECT_EQ(desktop.events->keyRepeatInterval(), 0);
    EXPECT_EQ(log.lines().size(), 1u);
}

}  // namespace
