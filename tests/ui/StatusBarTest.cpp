// The status line: what each kind of message shows, when the resting text returns, and that a
// newer message cancels the time-out of an earlier one. The logic runs in virtual time, without
// the widget; the widget is checked to follow it.
#include "UiTestSupport.h"

#include "foundation/Clock.h"
#include "foundation/NotificationCenter.h"
#include "foundation/RunLoop.h"
#include "ui/main/QRBStatusBarController.h"
#include "ui/main/QRBStatusBarWidget.h"

#include <QToolButton>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

namespace {

using C = QRBStatusColor;

class StatusBar : public ::testing::Test {
protected:
    void advance(double seconds) {
        clock->advance(seconds);
        loop->dispatchReady();
    }

    std::shared_ptr<foundation::ManualClock> clock = std::make_shared<foundation::ManualClock>();
    std::shared_ptr<foundation::RunLoop> loop = foundation::RunLoop::create(clock);
    QRBStatusBarController status{loop.get()};
};

enum class Kind { Info, Notice, Alert };

struct Case {
    const char* name;
    Kind kind;
    std::optional<std::string> text;
    double timeout;
    // Shown at once.
    std::string shown;
    C background, textColor, shadow;
    // The resting text afterwards, and what is shown once any time-out ran out.
    std::string resting;
    std::string shownAfterExpiry;
};

// The resting text before each case is "Routing".
const Case kCases[] = {
    {"info becomes the resting text", Kind::Info, "Saved", 0, "Saved", C::transparent(), C::black(),
     C::defaultShadow(), "Saved", "Saved"},
    {"timed info returns to the resting text", Kind::Info, "Saved", 2, "Saved", C::transparent(), C::black(),
     C::defaultShadow(), "Routing", "Routing"},
    {"notice on yellow", Kind::Notice, "Wiimote 1 connected", 10, "Wiimote 1 connected", C::noticeBackground(),
     C::black(), C::defaultShadow(), "Routing", "Routing"},
    {"alert in white on red", Kind::Alert, "Port in use", 5, "Port in use", C::alertBackground(), C::white(),
     C::alertShadow(), "Routing", "Routing"},
    {"an alert without time-out stays", Kind::Alert, "Port in use", 0, "Port in use", C::alertBackground(),
     C::white(), C::alertShadow(), "Port in use", "Port in use"},
    {"a negative time-out shows without storing", Kind::Notice, "Once", -1, "Once", C::noticeBackground(),
     C::black(), C::defaultShadow(), "Routing", "Once"},
    {"no text shows the resting text with default colours", Kind::Alert, std::nullopt, 5, "Routing",
     C::transparent(), C::black(), C::defaultShadow(), "Routing", "Routing"},
    {"a time-out below the double precision counts as none", Kind::Info, "Tiny", 1e-17, "Tiny", C::transparent(),
     C::black(), C::defaultShadow(), "Tiny", "Tiny"},
};

TEST_F(StatusBar, EachKindOfMessageShowsItsTextColoursAndRestingText) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        QRBStatusBarController status(loop.get());
        status.displayInfo(std::string("Routing"));
        switch (c.kind) {
        case Kind::Info: status.displayInfo(c.text, c.timeout); break;
        case Kind::Notice: status.displayNotice(c.text, c.timeout); break;
        case Kind::Alert: status.displayAlert(c.text, c.timeout); break;
        }
        EXPECT_EQ(status.shownText(), c.shown);
        EXPECT_EQ(status.shownBackgroundColor(), c.background);
        EXPECT_EQ(status.shownTextColor(), c.textColor);
        EXPECT_EQ(status.shownShadowColor(), c.shadow);
        EXPECT_EQ(status.displayedText(), c.resting);

        clock->advance(60);
        loop->dispatchReady();
        EXPECT_FALSE(status.hasPendingTimeout());
        EXPECT_EQ(status.shownText(), c.shownAfterExpiry);
        if (c.shownAfterExpiry == c.resting && c.timeout > 0) {
            // The expiry brings the default colours back.
            EXPECT_EQ(status.shownBackgroundColor(), C::transparent());
            EXPECT_EQ(status.shownTextColor(), C::black());
        }
    }
}

TEST_F(StatusBar, ANoticeExpiresAfterItsTimeOutOnly) {
    status.displayInfo(std::string("Routing"));
    status.displayNotice(std::string("Wiimote 1 connected"), 10.0);
    advance(9.9);
    EXPECT_EQ(status.shownText(), "Wiimote 1 connected");
    advance(0.2);
    EXPECT_EQ(status.shownText(), "Routing");
    EXPECT_EQ(status.shownBackgroundColor(), C::transparent());
}

TEST_F(StatusBar, ANewerMessageCancelsTheEarlierTimeOut) {
    status.displayInfo(std::string("Routing"));
    status.displayNotice(std::string("first"), 1.0);
    advance(0.5);
    status.displayAlert(std::string("second"), 2.0);
    advance(0.6);  // past the first one's expiry
    EXPECT_EQ(status.shownText(), "second");
    EXPECT_EQ(status.shownBackgroundColor(), C::alertBackground());
    advance(1.5);
    EXPECT_EQ(status.shownText(), "Routing");

    // A resting message cancels a pending time-out too.
    status.displayNotice(std::string("timed"), 1.0);
    status.displayInfo(std::string("Paused"));
    advance(2.0);
    EXPECT_EQ(status.shownText(), "Paused");
    EXPECT_EQ(status.displayedText(), "Paused");
}

TEST_F(StatusBar, TheTimeOutWaitsWhileTheLoopTracks) {
    status.displayNotice(std::string("timed"), 1.0);
    clock->advance(2.0);
    loop->dispatchReady(foundation::RunLoopMode::EventTracking);
    EXPECT_EQ(status.shownText(), "timed");
    loop->dispatchReady(foundation::RunLoopMode::Default);
    EXPECT_EQ(status.shownText(), "");
}

TEST_F(StatusBar, TheWidgetFollowsTheControllerAndItsButtonPostsTheChange) {
    QRBStatusBarWidget widget(status);
    widget.resize(400, 24);
    widget.show();
    status.displayAlert(std::string("Port in use"), 0);
    // The background fades to the alert's red within the transition.
    EXPECT_TRUE(uitest::spinUntil([&] { return widget.backgroundColor() == QColor::fromRgbF(1, 0, 0, 0.7f); }, 3.0))
        << widget.backgroundColor().name(QColor::HexArgb).toStdString();

    int posts = 0;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        QRBStatusBarController::kButtonChangedNotification, &status, [&](const foundation::Notification&) { ++posts; });
    auto* button = widget.findChild<QToolButton*>("disclosureButton");
    ASSERT_NE(button, nullptr);
    button->click();
    EXPECT_EQ(posts, 1);
    EXPECT_TRUE(status.disclosureButtonState());
    status.setDisclosureButtonState(false);
    EXPECT_FALSE(button->isChecked());
}

}  // namespace
