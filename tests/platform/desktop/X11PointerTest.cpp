// The X session's pointer poster against an Xvfb server each test starts: motion reads back from
// the server, buttons and the four scroll directions arrive at a window as button events, pixel
// scrolling accumulates into wheel clicks, the displays come from RandR with its change notices
// heard on the main run loop, and the double-click interval from an XSETTINGS manager.

// GoogleTest before the X headers, whose macros (None, Bool...) clash with its names.
#include <gtest/gtest.h>

#include "XvfbServer.h"

#include "foundation/RunLoop.h"
#include "platform/desktop/X11Desktop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using platform::X11Connection;
using platform::XTestEventPoster;

class X11PointerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.display()) << "Xvfb did not start";
        connection = X11Connection::open(*server.display());
        ASSERT_NE(connection, nullptr);
        client = XOpenDisplay(server.display()->c_str());
        ASSERT_NE(client, nullptr);
        poster = std::make_unique<XTestEventPoster>(connection);
    }
    void TearDown() override {
        poster.reset();
        if (client) XCloseDisplay(client);
    }

    // The button presses (positive) and releases (negative) reaching the window within `seconds`.
    std::vector<int> buttonEvents(double seconds) {
        std::vector<int> buttons;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            while (XPending(client)) {
                XEvent e;
                XNextEvent(client, &e);
                if (e.type == ButtonPress) buttons.push_back(int(e.xbutton.button));
                if (e.type == ButtonRelease) buttons.push_back(-int(e.xbutton.button));
            }
            pollfd p{ConnectionNumber(client), POLLIN, 0};
            poll(&p, 1, 20);
        }
        return buttons;
    }

    XvfbServer server;
    std::shared_ptr<X11Connection> connection;
    Display* client = nullptr;
    std::unique_ptr<XTestEventPoster> poster;
};

TEST_F(X11PointerTest, AbsoluteMoveReadsBackFromTheServer) {
    poster->postMouse({devices::MouseEventType::Moved, devices::DesktopPoint{123, 45}});
    auto at = poster->pointerLocation();
    EXPECT_EQ(at.x, 123);
    EXPECT_EQ(at.y, 45);
    // A coordinate no display has moves nothing.
    poster->postMouse(
        {devices::MouseEventType::Moved, devices::DesktopPoint{std::numeric_limits<double>::quiet_NaN(), 10}});
    at = poster->pointerLocation();
    EXPECT_EQ(at.x, 123);
    EXPECT_EQ(at.y, 45);
}

TEST_F(X11PointerTest, ButtonsAndScrollDirectionsArriveAsButtonEvents) {
    const Window w = XCreateSimpleWindow(client, DefaultRootWindow(client), 0, 0, 200, 200, 0, 0, 0);
    XSelectInput(client, w, ButtonPressMask | ButtonReleaseMask);
    XMapWindow(client, w);
    XSync(client, False);
    poster->postMouse({devices::MouseEventType::Moved, devices::DesktopPoint{50, 50}});

    poster->postMouse({devices::MouseEventType::LeftDown});
    poster->postMouse({devices::MouseEventType::LeftUp});
    poster->postScrollSteps(1, 0);
    poster->postScrollSteps(-1, 0);
    poster->postScrollSteps(0, 1);
    poster->postScrollSteps(0, -1);
    poster->postScrollSteps(0, 0);  // the release of a held scroll output: nothing
    // Pixels: 20 is less than a click; 20 more make one with 10 left, which a turn drops.
    const int32_t half = XTestEventPoster::kPixelsPerWheelClick * 2 / 3;
    poster->postScrollPixels(half, 0);
    poster->postScrollPixels(half, 0);
    poster->postScrollPixels(-XTestEventPoster::kPixelsPerWheelClick + 1, 0);
    poster->postScrollPixels(0, -3 * XTestEventPoster::kPixelsPerWheelClick);
    EXPECT_EQ(buttonEvents(0.5), (std::vector<int>{1, -1, 4, -4, 5, -5, 6, -6, 7, -7, 4, -4, 7, -7, 7, -7, 7, -7}));
}

TEST_F(X11PointerTest, DisplaysFromRandRAndTheirChanges) {
    auto displays = poster->activeDisplays();
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_EQ(displays[0].pixelWidth, 640);
    EXPECT_EQ(displays[0].pixelHeight, 480);
    EXPECT_TRUE(displays[0].main);

    int changes = 0;
    poster->setDisplaysChangedHandler([&] { ++changes; });
    // Another client splits the screen into two monitors.
    XRRMonitorInfo* left = XRRAllocateMonitor(client, 0);
    left->name = XInternAtom(client, "LEFT", False);
    left->primary = True;
    left->x = 0;
    left->y = 0;
    left->width = 400;
    left->height = 480;
    left->mwidth = 100;
    left->mheight = 120;
    XRRSetMonitor(client, DefaultRootWindow(client), left);
    XRRMonitorInfo* right = XRRAllocateMonitor(client, 0);
    right->name = XInternAtom(client, "RIGHT", False);
    right->x = 400;
    right->y = 0;
    right->width = 240;
    right->height = 300;
    right->mwidth = 60;
    right->mheight = 75;
    XRRSetMonitor(client, DefaultRootWindow(client), right);
    XRRFreeMonitors(left);
    XRRFreeMonitors(right);
    XSync(client, False);

    displays = poster->activeDisplays();
    ASSERT_GE(displays.size(), 2u);
    bool sawRight = false;
    for (const auto& d : displays) {
        if (d.bounds.x == 400) {
            sawRight = true;
            EXPECT_EQ(d.pixelHeight, 300);
            EXPECT_FALSE(d.main);
        }
    }
    EXPECT_TRUE(sawRight);

    // The output goes dark and the screen shrinks: the notices reach the handler on the main run
    // loop.
    XRRScreenResources* resources = XRRGetScreenResources(client, DefaultRootWindow(client));
    ASSERT_TRUE(resources && resources->ncrtc > 0);
    XRRSetCrtcConfig(client, resources, resources->crtcs[0], CurrentTime, 0, 0, None, RR_Rotate_0, nullptr, 0);
    XRRFreeScreenResources(resources);
    XRRSetScreenSize(client, DefaultRootWindow(client), 320, 240, 80, 60);
    XSync(client, False);
    EXPECT_TRUE(foundation::RunLoop::main().runUntil([&] { return changes > 0; }, 5.0));

    poster->setDisplaysChangedHandler({});
}

// An XSETTINGS property: the byte order, the serial, the settings.
class SettingsBytes {
public:
    explicit SettingsBytes(bool msbFirst = false) : msb_(msbFirst) {
        bytes_ = {uint8_t(msbFirst ? 1 : 0), 0, 0, 0};
        card32(7);
        card32(0);
    }
    SettingsBytes& integer(const std::string& name, int32_t value) { return header(0, name).card32(uint32_t(value)); }
    SettingsBytes& string(const std::string& name, const std::string& value) {
        header(1, name).card32(uint32_t(value.size()));
        return text(value);
    }
    SettingsBytes& colour(const std::string& name) {
        header(2, name);
        bytes_.insert(bytes_.end(), 8, 0xff);
        return *this;
    }
    std::vector<uint8_t> bytes() const { return bytes_; }

private:
    SettingsBytes& header(uint8_t type, const std::string& name) {
        ++count_;
        setCard32(8, count_);
        bytes_.push_back(type);
        bytes_.push_back(0);
        const uint16_t n = uint16_t(name.size());
        if (msb_) {
            bytes_.push_back(uint8_t(n >> 8));
            bytes_.push_back(uint8_t(n));
        } else {
            bytes_.push_back(uint8_t(n));
            bytes_.push_back(uint8_t(n >> 8));
        }
        text(name);
        return card32(1);  // the serial of the last change
    }
    SettingsBytes& text(const std::string& t) {
        bytes_.insert(bytes_.end(), t.begin(), t.end());
        while (bytes_.size() % 4) bytes_.push_back(0);
        return *this;
    }
    SettingsBytes& card32(uint32_t v) {
        bytes_.resize(bytes_.size() + 4);
        setCard32(bytes_.size() - 4, v);
        return *this;
    }
    void setCard32(size_t at, uint32_t v) {
        for (int k = 0; k < 4; ++k) bytes_[at + k] = uint8_t(v >> (8 * (msb_ ? 3 - k : k)));
    }
    bool msb_;
    uint32_t count_ = 0;
    std::vector<uint8_t> bytes_;
};

TEST(XSettings, IntegerSettingsAndDamagedProperties) {
    const auto full = SettingsBytes()
                          .string("Net/ThemeName", "Dark")
                          .colour("Gtk/Colour")
                          .integer("Net/DoubleClickTime", 250)
                          .bytes();
    EXPECT_EQ(platform::xsettingsInteger(full, "Net/DoubleClickTime"), 250);
    EXPECT_EQ(platform::xsettingsInteger(SettingsBytes(true).integer("Net/DoubleClickTime", 600).bytes(),
                                         "Net/DoubleClickTime"),
              600);
    EXPECT_EQ(platform::xsettingsInteger(full, "Net/CursorBlinkTime"), std::nullopt);
    // Every truncation of the property, and a wrong byte order mark, answer nothing.
    for (size_t n = 0; n < full.size(); ++n)
        EXPECT_EQ(platform::xsettingsInteger({full.begin(), full.begin() + long(n)}, "Net/DoubleClickTime"),
                  std::nullopt)
            << n;
    auto badOrder = full;
    badOrder[0] = 7;
    EXPECT_EQ(platform::xsettingsInteger(badOrder, "Net/DoubleClickTime"), std::nullopt);
    // A string whose length runs past the end.
    auto longString = SettingsBytes().string("Net/ThemeName", "x").integer("Net/DoubleClickTime", 250).bytes();
    // After the header (12), the setting's type and name length (4), its name (16) and serial (4).
    for (size_t at = 36; at < 40; ++at) longString[at] = 0xff;
    EXPECT_EQ(platform::xsettingsInteger(longString, "Net/DoubleClickTime"), std::nullopt);
}

TEST_F(X11PointerTest, DoubleClickIntervalFromTheSettingsManager) {
    EXPECT_DOUBLE_EQ(poster->doubleClickInterval(), 0.5) << "no settings manager";
    // The test's client becomes the settings manager.
    const Window owner = XCreateSimpleWindow(client, DefaultRootWindow(client), 0, 0, 1, 1, 0, 0, 0);
    const Atom settings = XInternAtom(client, "_XSETTINGS_SETTINGS", False);
    const auto bytes = SettingsBytes().integer("Net/DoubleClickTime", 250).bytes();
    XChangeProperty(client, owner, settings, settings, 8, PropModeReplace, bytes.data(), int(bytes.size()));
    XSetSelectionOwner(client, XInternAtom(client, "_XSETTINGS_S0", False), owner, CurrentTime);
    XSync(client, False);
    EXPECT_DOUBLE_EQ(poster->doubleClickInterval(), 0.25);
    XDestroyWindow(client, owner);
    XSync(client, False);
    EXPECT_DOUBLE_EQ(poster->doubleClickInterval(), 0.5) << "the manager quit";
}

}  // namespace
