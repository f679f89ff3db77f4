// The single-key outputs on the in-process desktop: what a mapping's values post, the key repeat
// while the value stays pressed (on the main loop in virtual time, with the desktop's timings read
// at each firing), the menus' neighbours, and keys for a named application.

#include "controllers/QRBKeyEventManager.h"
#include "controllers/QRBKeyEventSource.h"
#include "controllers/devices/DeviceLayers.h"
#include "core/mapping/QRBTrigger.h"
#include "core/support/FiringTestSupport.h"
#include "core/support/ManagerTestSupport.h"
#include "features/QRBEventSourceManager.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Log.h"
#include "foundation/UserDefaults.h"
#include "platform/desktop/FakeEventPoster.h"
#include "platform/desktop/FakeKeyboard.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using platform::FakeEventPoster;

// A posted key as the tests compare it: code, down or up, the application named.
struct Key {
    uint16_t code;
    bool down;
    std::optional<std::string> application;
    bool operator==(const Key&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Key& k) {
    return os << k.code << (k.down ? " down" : " up") << (k.application ? " to " + *k.application : "");
}

Key down(uint16_t code) { return {code, true, std::nullopt}; }
Key up(uint16_t code) { return {code, false, std::nullopt}; }

class KeyOutputTest : public managertest::ManagerFixture {
protected:
    void SetUp() override {
        ManagerFixture::SetUp();
        devices::DeviceLayers layers = devices::DeviceLayers::current();
        layers.events = poster;
        layers.keyboard = std::make_shared<platform::FakeKeyboard>(platform::XkbKeymap::fromNames("us"));
        devices::DeviceLayers::install(layers);
    }
    void TearDown() override {
        foundation::UserDefaults::standard().setObject({}, "DisableKeyRepeat");
        ManagerFixture::TearDown();
    }

    QRBContextPtr mapping(const std::string& address, const QRBEventSourcePtr& output) {
        auto context = QRBContext::create(address, manager);
        currentPreset()->addObject(context);
        context->setEventSource(output);
        return context;
    }

    std::vector<Key> takeKeys() {
        std::vector<Key> keys;
        for (const auto& k : poster->keys()) {
            EXPECT_EQ(k.event.flags, 0u);
            keys.push_back({k.event.keyCode, k.event.down, k.application});
        }
        poster->clear();
        return keys;
    }

    static QRBArgPtr f(double v) { return QRBArg::argWithFloatValue(static_cast<float>(v)); }

    std::shared_ptr<FakeEventPoster> poster = std::make_shared<FakeEventPoster>();
};

TEST_F(KeyOutputTest, PressAndRelease) {
    auto source = std::make_shared<QRBKeyEventSource>(49);
    auto context = mapping("/button", source);
    context->fire(f(1).get());
    EXPECT_EQ(takeKeys(), (std::vector<Key>{down(49)}));
    EXPECT_TRUE(context->userInfo_triggerState());
    context->fire(f(0).get());
    EXPECT_EQ(takeKeys(), (std::vector<Key>{up(49)}));
    EXPECT_FALSE(context->userInfo_triggerState());
}

TEST_F(KeyOutputTest, AcceptResults) {
    auto source = std::make_shared<QRBKeyEventSource>(0);
    auto context = mapping("/button", source);
    context->fire(f(0).get());  // a float input, below the threshold: nothing
    context->setArgValue(*f(1));
    EXPECT_EQ(source->acceptAction(*context), QRBAcceptResult::Done);
    // Accepted again while held: a repeat.
    EXPECT_EQ(source->acceptAction(*context), QRBAcceptResult::Done);
    context->setArgValue(*f(0));
    EXPECT_EQ(source->acceptAction(*context), QRBAcceptResult::Nothing);
    // Nothing held, nothing pressed: nothing posted.
    EXPECT_EQ(source->acceptAction(*context), QRBAcceptResult::Nothing);
    EXPECT_EQ(takeKeys(), (std::vector<Key>{down(0), up(0), down(0), up(0)}));
    EXPECT_EQ(context->trigger()->mode(), QRBTrigger::kEither);
}

TEST_F(KeyOutputTest, TwoActionsOnOneKeyHoldIndependently) {
    auto a = mapping("/a", std::make_shared<QRBKeyEventSource>(3));
    auto b = mapping("/b", std::make_shared<QRBKeyEventSource>(3));
    a->fire(f(1).get());
    b->fire(f(1).get());
    a->fire(f(0).get());
    EXPECT_TRUE(b->userInfo_triggerState());
    EXPECT_FALSE(a->userInfo_triggerState());
    EXPECT_EQ(takeKeys(), (std::vector<Key>{down(3), down(3), up(3)}));
}

TEST_F(KeyOutputTest, RepeatsWithTheDesktopsTimings) {
    firing::VirtualMainLoop loop;
    poster->setKeyRepeat(0.5, 0.03);
    auto context = mapping("/button", std::make_shared<QRBKeyEventSource>(0));
    context->fire(f(1).get());
    EXPECT_EQ(takeKeys(), (std::vector<Key>{down(0)}));
    loop.advanceInSteps(0.49, 0.01);
    EXPECT_TRUE(takeKeys().empty()) << "no repeat before the delay";
    loop.advanceInSteps(0.02, 0.01);
    EXPECT_EQ(takeKeys(), (std::vector<Key>{up(0), down(0)}));
    loop.advanceInSteps(0.09, 0.01);
    EXPECT_EQ(takeKeys().size(), 6u) << "three repeats at 0.03 s";
    context->fire(f(0).get());
    EXPECT_EQ(takeKeys(), (std::vector<Key>{up(0)}));
    loop.advanceInSteps(1, 0.05);
    EXPECT_TRUE(takeKeys().empty()) << "no repeat after the release";
}

TEST_F(KeyOutputTest, TimingsAreReadAtEachFiring) {
    firing::VirtualMainLoop loop;
    poster->setKeyRepeat(0.5, 0.1);
    auto context = mapping("/button", std::make_shared<QRBKeyEventSource>(0));
    context->fire(f(1).get());
    context->fire(f(0).get());
    takeKeys();
    // The user shortens the delay: the next press follows it.
    poster->setKeyRepeat(0.2, 0.1);
    context->fire(f(1).get());
    loop.advanceInSteps(0.25, 0.01);
    EXPECT_EQ(takeKeys(), (std::vector<Key>{down(0), up(0), down(0)}));
    EXPECT_DOUBLE_EQ(context->trigger()->retriggerThreshold(), 0.2);
}

TEST_F(KeyOutputTest, DisableKeyRepeat) {
    firing::VirtualMainLoop loop;
    poster->setKeyRepeat(0.5, 0.03);
    foundation::UserDefaults::standard().setBool(true, "DisableKeyRepeat");
    EXPECT_EQ(QRBKeyEventManager::keyRepeatThreshold(), 0);
    EXPECT_EQ(QRBKeyEventManager::keyRepeatInterval(), 0);
    auto context = mapping("/button", std::make_shared<QRBKeyEventSource>(0));
    context->fire(f(1).get());
    loop.advanceInSteps(2, 0.01);
    context->fire(f(0).get());
    EXPECT_EQ(takeKeys(), (std::vector<Key>{down(0), up(0)}));
}

TEST_F(KeyOutputTest, ResetReleasesAHeldKey) {
    firing::VirtualMainLoop loop;
    poster->setKeyRepeat(0.5, 0.03);
    auto source = std::make_shared<QRBKeyEventSource>(7);
    auto context = mapping("/button", source);
    context->fire(f(1).get());
    source->reset(*context);
    EXPECT_EQ(takeKeys(), (std::vector<Key>{down(7), up(7)}));
    loop.advanceInSteps(1, 0.05);
    EXPECT_TRUE(takeKeys().empty());
    // Nothing held: a reset posts nothing.
    source->reset(*context);
    EXPECT_TRUE(takeKeys().empty());
}

TEST_F(KeyOutputTest, KeyFromCodeTapsTheGivenCode) {
    auto context = mapping("/code", std::make_shared<QRBKeyFromCodeEventSource>());
    context->trigger()->setMode(QRBTrigger::kAlways);
    context->fire(QRBArg::argWithInt32Value(36).get());
    context->fire(QRBArg::argWithInt32Value(36).get());
    // Only the low 16 bits of the integer name the key.
    context->fire(QRBArg::argWithInt32Value(0x10000 + 12).get());
    EXPECT_EQ(takeKeys(), (std::vector<Key>{down(36), up(36), down(36), up(36), down(12), up(12)}));
    EXPECT_EQ(&QRBKeyFromCodeEventSource::staticClass().type(), &QRBKeyEventSource::staticClass());
}

TEST_F(KeyOutputTest, NamesAndProposals) {
    const struct {
        uint16_t code;
        std::string name;
    } cases[] = {
        {49, "Key 49\t\tSpace"},
        {0, "Key 0\t\tA"},
        {82, "Key 82\t\tPad 0"},
        // No text, or a modifier's: the name stops at the tabs.
        {64, "Key 64\t\t"},
        {60, "Key 60\t\t"},
        {300, "Key 300\t\t"},
        {56, "Key 56\t\t\u21E7"},
    };
    for (const auto& c : cases) EXPECT_EQ(QRBKeyEventSource(c.code).name(), c.name) << c.code;

    const foundation::Value collection =
        QRBKeyEventSource::staticClass().proposedEventSourcesCollectionForAction(nullptr);
    const foundation::Array* proposed = collection.arrayValue();
    ASSERT_NE(proposed, nullptr);
    ASSERT_EQ(proposed->size(), 128u);
    for (uint16_t code = 0; code < 128; ++code)
        EXPECT_EQ((*proposed)[code].object<QRBKeyEventSource>()->keycode(), code);

    auto keyOf = [](const QRBEventSourcePtr& s) { return std::static_pointer_cast<QRBKeyEventSource>(s)->keycode(); };
    QRBKeyEventSource first(0), last(127), middle(50);
    EXPECT_EQ(keyOf(first.previousProposedEventSource()), 127);
    EXPECT_EQ(keyOf(last.nextProposedEventSource()), 0);
    EXPECT_EQ(keyOf(middle.previousProposedEventSource()), 49);
    EXPECT_EQ(keyOf(middle.nextProposedEventSource()), 51);

    EXPECT_TRUE(first.isEqualToEventSource(QRBKeyEventSource(0)));
    EXPECT_FALSE(first.isEqualToEventSource(last));
    // The Wii remote's home button gets the space bar.
    auto home = QRBEventSourceManager::sharedInstance().keyEventSourceWithKeyCode(49);
    ASSERT_NE(std::dynamic_pointer_cast<QRBKeyEventSource>(home), nullptr);
    EXPECT_EQ(keyOf(home), 49);
}

TEST_F(KeyOutputTest, KeysForANamedApplication) {
    poster->setRunningApplications({"Synth"});
    manager->keyEventManager()->setTargetAppName(std::string("Synth"));
    auto context = mapping("/button", std::make_shared<QRBKeyEventSource>(1));
    context->fire(f(1).get());
    context->fire(f(0).get());
    EXPECT_EQ(takeKeys(), (std::vector<Key>{{1, true, "Synth"}, {1, false, "Synth"}}));
    // An empty name is none: the application with the focus.
    manager->keyEventManager()->setTargetAppName(std::string());
    context->fire(f(1).get());
    EXPECT_EQ(takeKeys(), (std::vector<Key>{down(1)}));
}

TEST_F(KeyOutputTest, AnAbsentApplicationCountsAsPostedAndIsLoggedOnce) {
    foundation::LogCapture log;
    manager->keyEventManager()->setTargetAppName(std::string("Gone"));
    auto source = std::make_shared<QRBKeyEventSource>(1);
    auto context = mapping("/button", source);
    context->fire(f(0).get());  // a float input, below the threshold: nothing
    for (int i = 0; i < 3; ++i) {
        context->setArgValue(*f(1));
        EXPECT_EQ(source->acceptAction(*context), QRBAcceptResult::Done);
        EXPECT_TRUE(context->userInfo_triggerState());
        context->setArgValue(*f(0));
        EXPECT_EQ(source->acceptAction(*context), QRBAcceptResult::Nothing);
    }
    EXPECT_TRUE(takeKeys().empty());
    size_t lines = 0;
    for (const auto& line : log.lines()) lines += line.find("\"Gone\"") != std::string::npos;
    EXPECT_EQ(lines, 1u);
    // Another absent name is told once too.
    EXPECT_TRUE(manager->keyEventManager()->postEventToApplicationName(std::string("Other"), 1, 0, true));
    lines = 0;
    for (const auto& line : log.lines()) lines += line.find("\"Other\"") != std::string::npos;
    EXPECT_EQ(lines, 1u);
}

TEST_F(KeyOutputTest, ArchiveKeepsTheKeyCode) {
    auto source = std::make_shared<QRBKeyEventSource>(300);
    auto copy = foundation::KeyedUnarchiver::unarchiveRoot<QRBKeyEventSource>(
        foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(QRBEventSourcePtr(source))));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->keycode(), 300);
    EXPECT_EQ(copy->name(), source->name());
}

}  // namespace
