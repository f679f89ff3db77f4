// The mouse outputs and the shared mouse manager on the in-process desktop, in virtual time: what
// values store as rates and targets, what each 0.02 s tick posts, buttons with click counting,
// drags, clamping to the displays, and scrolling in steps and in pixels.

#include "controllers/QRBMouseEventSource.h"
#include "controllers/QRBMouseManager.h"
#include "controllers/devices/DeviceLayers.h"
#include "core/mapping/QRBTrigger.h"
#include "core/support/FiringTestSupport.h"
#include "core/support/ManagerTestSupport.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/UserDefaults.h"
#include "platform/desktop/FakeEventPoster.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using platform::FakeEventPoster;
using T = QRBMouseEventSource::Type;
using devices::MouseEventType;

devices::DisplayInfo display(double x, double y, double w, double h, bool main = false) {
    return {{x, y, w, h}, int(w), int(h), main};
}

class MouseOutputTest : public managertest::ManagerFixture {
protected:
    void SetUp() override {
        ManagerFixture::SetUp();
        foundation::UserDefaults::standard().setFloat(50, "MouseTrackingSpeed");
        poster->setDisplays({display(0, 0, 1000, 500, true)});
        poster->setPointerLocation({100, 100});
        devices::DeviceLayers layers = devices::DeviceLayers::current();
        layers.events = poster;
        devices::DeviceLayers::install(layers);
        QRBMouseManager::releaseSharedInstance();
        mouse = QRBMouseManager::sharedInstance();
    }
    void TearDown() override {
        QRBMouseManager::releaseSharedInstance();
        foundation::UserDefaults::standard().setObject({}, "MouseTrackingSpeed");
        foundation::UserDefaults::standard().setObject({}, "DisableKeyRepeat");
        ManagerFixture::TearDown();
    }

    QRBContextPtr mapping(uint32_t type) {
        auto context = QRBContext::create("/m" + std::to_string(++count), manager);
        currentPreset()->addObject(context);
        context->setEventSource(
            QRBMouseEventSource::mouseEventSourceOfType(type, QRBMouseEventSource::nameOfType(type)));
        return context;
    }
    QRBMouseEventSource& source(const QRBContextPtr& c) { return static_cast<QRBMouseEventSource&>(*c->eventSource()); }
    // Gives the action the value as its input and output and lets the output take it.
    QRBAcceptResult accept(const QRBContextPtr& c, const QRBArg& value) {
        c->setInputArgValue(value);
        c->setArgValue(value);
        return source(c).acceptAction(*c);
    }
    QRBAcceptResult accept(const QRBContextPtr& c, double v) { return accept(c, *f(v)); }
    static QRBArgPtr f(double v) { return QRBArg::argWithFloatValue(static_cast<float>(v)); }
    static QRBArgPtr i(int v) { return QRBArg::argWithInt32Value(v); }
    void tick() { loop.advance(QRBMouseManager::kTickInterval); }

    firing::VirtualMainLoop loop;
    std::shared_ptr<FakeEventPoster> poster = std::make_shared<FakeEventPoster>();
    std::shared_ptr<QRBMouseManager> mouse;
    int count = 0;
};

TEST_F(MouseOutputTest, SpeedFactorFromThePreference) {
    EXPECT_FLOAT_EQ(mouse->mouseTrackingSpeed(), 36);
    foundation::UserDefaults::standard().setFloat(0, "MouseTrackingSpeed");
    EXPECT_FLOAT_EQ(mouse->mouseTrackingSpeed(), 1);
    // Below 0 keeps the factor.
    mouse->setMouseTrackingSpeed(-1);
    EXPECT_FLOAT_EQ(mouse->mouseTrackingSpeed(), 1);
}

TEST_F(MouseOutputTest, RelativeRates) {
    auto x = mapping(T::kRelativeMoveX);
    auto y = mapping(T::kRelativeMoveY);
    const struct {
        double v;
        float deltaX;
    } cases[] = {
        {0.5, 0},
        {1, 36},
        {0, -36},
        // 36 × 0.1^2.7 ≈ 0.072: inside the dead zone.
        {0.55, 0},
        {0.6, static_cast<float>(36 * std::pow(0.2, 2.7))},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(accept(x, c.v), QRBAcceptResult::Done);
        EXPECT_NEAR(mouse->deltaX(), c.deltaX, 1e-5) << c.v;
    }
    // Y: 1 is up, and scaled by the display's width over its height (1000 / 500).
    accept(y, 1);
    EXPECT_FLOAT_EQ(mouse->deltaY(), -72);
}

TEST_F(MouseOutputTest, RelativeMotionPostsOneEventPerTick) {
    auto x = mapping(T::kRelativeMoveX);
    accept(x, 1);
    tick();
    ASSERT_EQ(poster->mouseEvents().size(), 1u);
    EXPECT_EQ(poster->mouseEvents()[0].type, MouseEventType::Moved);
    EXPECT_DOUBLE_EQ(poster->mouseEvents()[0].location->x, 136);
    EXPECT_DOUBLE_EQ(poster->mouseEvents()[0].deltaX, 36);
    // Many values within one tick still post one motion; the last rate wins.
    poster->clear();
    for (int n = 0; n < 50; ++n) accept(x, n % 2 ? 1.0 : 0.0);
    tick();
    ASSERT_EQ(poster->mouseEvents().size(), 1u);
    EXPECT_DOUBLE_EQ(poster->pointerLocation().x, 136 + 36);
    // At rest nothing is posted.
    poster->clear();
    accept(x, 0.5);
    loop.advanceInSteps(0.1, QRBMouseManager::kTickInterval);
    EXPECT_TRUE(poster->mouseEvents().empty());
}

TEST_F(MouseOutputTest, AbsoluteMovesOverTheUnionOfTwoDisplays) {
    // A second display to the right, taller and reaching above the main one.
    poster->setDisplays({display(0, 0, 1000, 500, true), display(1000, -100, 800, 700)});
    loop.advance(0);
    const auto rect = mouse->displaysRect();
    EXPECT_DOUBLE_EQ(rect.y, -100);
    EXPECT_DOUBLE_EQ(rect.height, 700);
    auto x = mapping(T::kAbsoluteMoveX);
    auto y = mapping(T::kAbsoluteMoveY);
    const struct {
        QRBArgPtr xv, yv;
        double x, y;
    } cases[] = {
        {f(1), f(1), 1799, -100},  // top row of the union, last column
        // The union's bottom left corner lies on neither display: clamped into the one under
        // the pointer.
        {f(0), f(0), 1000, 599},
        {f(1), f(0), 1799, 599},
        {i(1500), i(0), 1500, 599},  // integers count pixels, y up from the bottom row
        {i(1500), i(10), 1500, 589},
    };
    for (const auto& c : cases) {
        accept(x, *c.xv);
        accept(y, *c.yv);
        tick();
        EXPECT_DOUBLE_EQ(poster->pointerLocation().x, c.x) << c.xv->doubleValue();
        EXPECT_DOUBLE_EQ(poster->pointerLocation().y, c.y) << c.yv->doubleValue();
    }
}

TEST_F(MouseOutputTest, ClampsToTheDisplayUnderThePointer) {
    poster->setDisplays({display(0, 0, 1000, 500, true), display(1000, 0, 400, 300)});
    loop.advance(0);
    const struct {
        devices::DesktopPoint pointer, target, expected;
    } cases[] = {
        {{1200, 100}, {1200, 450}, {1200, 299}},  // below the small display, beside the big one
        {{1200, 100}, {1500, -5}, {1399, 0}},    {{100, 100}, {-50, 800}, {0, 499}},
        {{100, 100}, {1300, 200}, {1300, 200}},  // on a display: kept
        {{3000, 3000}, {-1, -1}, {3000, 3000}},  // pointer on no display: stays
    };
    for (const auto& c : cases) {
        const auto v = mouse->validateMouseCoordinates(c.target, c.pointer);
        EXPECT_DOUBLE_EQ(v.x, c.expected.x);
        EXPECT_DOUBLE_EQ(v.y, c.expected.y);
    }
}

TEST_F(MouseOutputTest, SmoothScrolling) {
    auto sx = mapping(T::kSmoothScrollX);
    auto sy = mapping(T::kSmoothScrollY);
    const struct {
        double v;
        int32_t y;
    } cases[] = {{1, 77}, {0, -77}, {0.55, 0}, {0.5, 0}, {0.75, 11}};
    for (const auto& c : cases) {
        accept(sy, c.v);
        EXPECT_EQ(mouse->scrollYAmount(), c.y) << c.v;
        accept(sx, c.v);
        EXPECT_EQ(mouse->scrollXAmount(), -c.y) << c.v;
    }
    accept(sy, 1);
    accept(sx, 0.5);
    loop.advanceInSteps(0.06, QRBMouseManager::kTickInterval);
    ASSERT_EQ(poster->scrolls().size(), 3u);
    EXPECT_TRUE(poster->scrolls()[0].pixels);
    EXPECT_EQ(poster->scrolls()[0].vertical, 77);
    EXPECT_EQ(poster->scrolls()[0].horizontal, 0);
    EXPECT_TRUE(poster->mouseEvents().empty());
}

TEST_F(MouseOutputTest, TrackpadMovesByTheFingersChange) {
    auto touch = mapping(T::kTrackpadTouch);
    auto x = mapping(T::kTrackpadMoveX);
    // No finger: nothing.
    EXPECT_EQ(accept(x, 0.5), QRBAcceptResult::Nothing);
    EXPECT_FALSE(mouse->absoluteMoveXChanged());
    touch->fire(f(1).get());
    EXPECT_TRUE(mouse->trackpadZ());
    // The first sample after touch-down only records.
    EXPECT_EQ(accept(x, 0.5), QRBAcceptResult::Done);
    EXPECT_FALSE(mouse->absoluteMoveXChanged());
    const float start = mouse->absoluteX();
    accept(x, 0.6);
    EXPECT_TRUE(mouse->absoluteMoveXChanged());
    EXPECT_NEAR(mouse->absoluteX() - start, 0.1 * 36 / 55 * 999, 1e-2);
    // Lifting and landing elsewhere does not jump.
    touch->fire(f(0).get());
    touch->fire(f(1).get());
    tick();
    const float before = mouse->absoluteX();
    accept(x, 0.1);
    EXPECT_FLOAT_EQ(mouse->absoluteX(), before);
}

TEST_F(MouseOutputTest, ClickStates) {
    poster->setDoubleClickInterval(0.5);
    auto left = mapping(T::kLeftButton);
    std::vector<int64_t> states, numbers;
    auto click = [&] {
        left->fire(f(1).get());
        left->fire(f(0).get());
        loop.advance(0.1);
    };
    for (int n = 0; n < 4; ++n) click();
    loop.advance(0.6);
    click();
    for (const auto& e : poster->mouseEvents()) {
        states.push_back(e.clickState);
        numbers.push_back(e.eventNumber);
        EXPECT_EQ(e.button, 0);
    }
    // Down and up carry the same state and number.
    EXPECT_EQ(states, (std::vector<int64_t>{1, 1, 2, 2, 3, 3, 3, 3, 1, 1}));
    EXPECT_EQ(numbers, (std::vector<int64_t>{1, 1, 2, 2, 3, 3, 4, 4, 5, 5}));
    EXPECT_EQ(poster->mouseEvents()[0].type, MouseEventType::LeftDown);
    EXPECT_EQ(poster->mouseEvents()[1].type, MouseEventType::LeftUp);
}

TEST_F(MouseOutputTest, ButtonsAndDragging) {
    const struct {
        uint32_t type;
        MouseEventType down, up, dragged;
        int button;
    } cases[] = {
        {T::kLeftButton, MouseEventType::LeftDown, MouseEventType::LeftUp, MouseEventType::LeftDragged, 0},
        {T::kRightButton, MouseEventType::RightDown, MouseEventType::RightUp, MouseEventType::RightDragged, 1},
        {T::kCenterButton, MouseEventType::OtherDown, MouseEventType::OtherUp, MouseEventType::OtherDragged, 2},
    };
    auto x = mapping(T::kRelativeMoveX);
    for (const auto& c : cases) {
        poster->clear();
        auto button = mapping(c.type);
        button->fire(f(1).get());
        accept(x, 1);
        // Not moved yet since the press: a move; then a drag.
        loop.advanceInSteps(0.04, QRBMouseManager::kTickInterval);
        accept(x, 0.5);
        button->fire(f(0).get());
        accept(x, 0);
        tick();
        accept(x, 0.5);
        const auto& e = poster->mouseEvents();
        ASSERT_EQ(e.size(), 5u);
        EXPECT_EQ(e[0].type, c.down);
        EXPECT_EQ(e[0].button, c.button);
        EXPECT_EQ(e[1].type, MouseEventType::Moved);
        EXPECT_EQ(e[2].type, c.dragged);
        EXPECT_EQ(e[3].type, c.up);
        EXPECT_EQ(e[4].type, MouseEventType::Moved);
    }
}

TEST_F(MouseOutputTest, HeldScrollWheelStepsAtTheKeyRepeatTimings) {
    poster->setKeyRepeat(0.5, 0.1);
    const struct {
        uint32_t type;
        int32_t vertical, horizontal;
    } cases[] = {
        {T::kScrollWheelUp, 1, 0},
        {T::kScrollWheelDown, -1, 0},
        {T::kScrollWheelLeft, 0, 1},
        {T::kScrollWheelRight, 0, -1},
    };
    for (const auto& c : cases) {
        poster->clear();
        auto wheel = mapping(c.type);
        wheel->fire(f(1).get());
        EXPECT_EQ(poster->scrolls().size(), 1u) << "a step at the press";
        loop.advanceInSteps(0.49, 0.01);
        EXPECT_EQ(poster->scrolls().size(), 1u) << "no repeat before the delay";
        loop.advanceInSteps(0.22, 0.01);
        EXPECT_EQ(poster->scrolls().size(), 4u) << "repeats at the interval";
        wheel->fire(f(0).get());
        ASSERT_EQ(poster->scrolls().size(), 5u);
        for (size_t n = 0; n < 4; ++n) {
            EXPECT_FALSE(poster->scrolls()[n].pixels);
            EXPECT_EQ(poster->scrolls()[n].vertical, c.vertical);
            EXPECT_EQ(poster->scrolls()[n].horizontal, c.horizontal);
        }
        EXPECT_EQ(poster->scrolls()[4].vertical, 0) << "an empty event at the release";
        EXPECT_EQ(poster->scrolls()[4].horizontal, 0);
        loop.advanceInSteps(1, 0.05);
        EXPECT_EQ(poster->scrolls().size(), 5u);
    }
    // The timings are read again at each press; turning the repeat off holds a single step.
    auto wheel = mapping(T::kScrollWheelUp);
    wheel->fire(f(1).get());
    wheel->fire(f(0).get());
    foundation::UserDefaults::standard().setBool(true, "DisableKeyRepeat");
    poster->clear();
    wheel->fire(f(1).get());
    loop.advanceInSteps(1, 0.05);
    wheel->fire(f(0).get());
    EXPECT_EQ(poster->scrolls().size(), 2u);
}

TEST_F(MouseOutputTest, ResetStopsRatesAndReleasesButtons) {
    auto x = mapping(T::kRelativeMoveX);
    auto left = mapping(T::kLeftButton);
    accept(x, 1);
    left->fire(f(1).get());
    source(x).reset(*x);
    source(left).reset(*left);
    EXPECT_EQ(mouse->deltaX(), 0);
    EXPECT_EQ(mouse->currentButton(), 0);
    ASSERT_EQ(poster->mouseEvents().size(), 2u);
    EXPECT_EQ(poster->mouseEvents()[1].type, MouseEventType::LeftUp);
}

TEST_F(MouseOutputTest, UntrustedValuesAndNoDisplay) {
    auto x = mapping(T::kAbsoluteMoveX);
    auto rel = mapping(T::kRelativeMoveY);
    // A NaN or an infinity from the network stores nothing.
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(accept(x, *QRBArg::argWithFloatValue(static_cast<float>(bad))), QRBAcceptResult::Failed);
        EXPECT_FALSE(mouse->absoluteMoveXChanged());
    }
    // Far beyond any display or rate, yet finite: saturated, then clamped to the display.
    auto scroll = mapping(T::kSmoothScrollY);
    auto rx = mapping(T::kRelativeMoveX);
    for (float huge : {1e30f, -1e30f, std::numeric_limits<float>::max()}) {
        EXPECT_EQ(accept(scroll, huge), QRBAcceptResult::Done);
        EXPECT_EQ(std::abs(int64_t(mouse->scrollYAmount())), std::numeric_limits<int32_t>::max()) << huge;
        accept(rx, huge);
        accept(x, huge);
        tick();
        const auto at = poster->pointerLocation();
        EXPECT_TRUE(at.x == 0 || at.x == 999) << huge << " " << at.x;
    }
    accept(scroll, 0.5);
    accept(rx, 0.5);
    poster->clear();

    // No display at all: nothing divides by a zero height and nothing moves.
    poster->setDisplays({});
    loop.advance(0);
    accept(rel, 1);
    EXPECT_TRUE(std::isfinite(mouse->deltaY()));
    const auto before = poster->pointerLocation();
    accept(x, 0.5);
    loop.advanceInSteps(0.1, QRBMouseManager::kTickInterval);
    for (const auto& e : poster->mouseEvents()) {
        EXPECT_DOUBLE_EQ(e.location->x, before.x);
        EXPECT_DOUBLE_EQ(e.location->y, before.y);
    }
}

TEST_F(MouseOutputTest, ArchiveAndProposals) {
    auto out = QRBMouseEventSource::mouseEventSourceOfType(T::kSmoothScrollY, "Smooth Scroll Y");
    const auto data = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(QRBEventSourcePtr(out)));
    auto back = foundation::KeyedUnarchiver::unarchiveRoot<QRBMouseEventSource>(data);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->mouseActionType(), T::kSmoothScrollY);
    EXPECT_TRUE(back->isEqualToEventSource(*out));

    const auto list = QRBMouseEventSource::classProposedEventSourcesCollection(nullptr);
    const auto* groups = list.arrayValue();
    ASSERT_TRUE(groups);
    ASSERT_EQ(groups->size(), 7u);
    const auto* buttons = (*groups)[4].dictionaryValue();
    ASSERT_TRUE(buttons);
    const auto* items = buttons->at("Buttons").arrayValue();
    ASSERT_EQ(items->size(), 3u);
    EXPECT_EQ((*items)[1].object<QRBMouseEventSource>()->name(), "Center Button");
    EXPECT_EQ((*groups)[1].object<QRBEventSource>(), QRBEventSource::menuSeparatorMarker());
}

}  // namespace
