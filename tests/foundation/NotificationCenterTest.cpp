#include "foundation/NotificationCenter.h"

#include "foundation/Object.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using foundation::Notification;
using foundation::NotificationCenter;
using foundation::NotificationObject;
using foundation::ObserverToken;

namespace {

struct Sender : foundation::Object {};

}  // namespace

TEST(NotificationCenter, DeliversToObserversWhoseNameAndObjectMatch) {
    auto a = std::make_shared<Sender>();
    auto b = std::make_shared<Sender>();
    struct Case {
        const char* observedName;      // "" = any
        const Sender* observedObject;  // null = any
        const char* postedName;
        const Sender* postedObject;
        bool delivered;
    };
    const Case cases[] = {
        {"Changed", a.get(), "Changed", a.get(), true},  {"Changed", a.get(), "Changed", b.get(), false},
        {"Changed", a.get(), "Changed", nullptr, false}, {"Changed", a.get(), "Other", a.get(), false},
        {"Changed", nullptr, "Changed", b.get(), true},  {"Changed", nullptr, "Changed", nullptr, true},
        {"", a.get(), "Other", a.get(), true},           {"", a.get(), "Other", b.get(), false},
        {"", nullptr, "Anything", nullptr, true},
    };
    for (const auto& c : cases) {
        NotificationCenter center;
        int calls = 0;
        ObserverToken token =
            center.addObserver(c.observedName, c.observedObject, [&](const Notification&) { ++calls; });
        center.post(c.postedName, c.postedObject);
        EXPECT_EQ(calls, c.delivered ? 1 : 0) << "observing '" << c.observedName << "' " << c.observedObject
                                              << ", posting '" << c.postedName << "' " << c.postedObject;
    }
}

TEST(NotificationCenter, ObserverGetsNameObjectAndUserInfoOnThePostingThread) {
    NotificationCenter center;
    auto sender = std::make_shared<Sender>();
    std::optional<Notification> got;
    std::thread::id deliveredOn;
    ObserverToken token = center.addObserver("QRBPresetNameChanged", nullptr, [&](const Notification& n) {
        got = n;
        deliveredOn = std::this_thread::get_id();
    });
    std::thread::id postedOn;
    std::thread([&] {
        postedOn = std::this_thread::get_id();
        center.post("QRBPresetNameChanged", sender, {{"QRBPresetNameChangedOldName", "Old"}});
    }).join();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(deliveredOn, postedOn);
    EXPECT_EQ(got->name, "QRBPresetNameChanged");
    EXPECT_EQ(got->object, NotificationObject(sender));
    ASSERT_EQ(got->userInfo.count("QRBPresetNameChangedOldName"), 1u);
    ASSERT_NE(got->userInfo.at("QRBPresetNameChangedOldName").stringValue(), nullptr);
    EXPECT_EQ(*got->userInfo.at("QRBPresetNameChangedOldName").stringValue(), "Old");
}

TEST(NotificationCenter, ObjectIsMatchedByIdentityWhicheverBaseItIsSeenThrough) {
    struct Other {
        virtual ~Other() = default;
        int x = 0;
    };
    struct Both : Other, foundation::Object {};
    auto both = std::make_shared<Both>();
    NotificationCenter center;
    int calls = 0;
    ObserverToken token =
        center.addObserver("N", static_cast<const Other*>(both.get()), [&](const Notification&) { ++calls; });
    center.post("N", std::static_pointer_cast<foundation::Object>(both));
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, DestroyingOrMovingOverTheTokenRemovesTheObserver) {
    NotificationCenter center;
    int first = 0, second = 0;
    {
        ObserverToken token = center.addObserver("N", nullptr, [&](const Notification&) { ++first; });
        center.post("N");
        token = center.addObserver("N", nullptr, [&](const Notification&) { ++second; });
        center.post("N");
        EXPECT_TRUE(token.isActive());
    }
    center.post("N");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
}

TEST(NotificationCenter, ObserversRemovedDuringDeliveryAreNotCalledAndAddedOnesWaitForTheNextPost) {
    NotificationCenter center;
    std::vector<std::string> calls;
    ObserverToken second, third, added;
    ObserverToken first = center.addObserver("N", nullptr, [&](const Notification&) {
        calls.push_back("first");
        second.remove();  // registered after us: must not run in this delivery
        first.remove();   // ourselves, from inside our own callback
        if (!added.isActive())
            added = center.addObserver("N", nullptr, [&](const Notification&) { calls.push_back("added"); });
    });
    second = center.addObserver("N", nullptr, [&](const Notification&) { calls.push_back("second"); });
    third = center.addObserver("N", nullptr, [&](const Notification&) { calls.push_back("third"); });

    center.post("N");
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "third"}));
    calls.clear();
    center.post("N");
    EXPECT_EQ(calls, (std::vector<std::string>{"third", "added"}));
}

TEST(NotificationCenter, ObserverExceptionReachesThePosterAndTheCenterStaysUsable) {
    NotificationCenter center;
    ObserverToken failing =
        center.addObserver("N", nullptr, [](const Notification&) { throw std::runtime_error("no"); });
    EXPECT_THROW(center.post("N"), std::runtime_error);
    failing.remove();
    int calls = 0;
    ObserverToken ok = center.addObserver("N", nullptr, [&](const Notification&) { ++calls; });
    center.post("N");
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, TokenOutlivingItsCenterIsHarmless) {
    ObserverToken token;
    {
        NotificationCenter center;
        token = center.addObserver("N", nullptr, [](const Notification&) {});
    }
    EXPECT_FALSE(token.isActive());
    token.remove();
}

TEST(NotificationCenter, DefaultCenterIsOneInstance) {
    EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
    int calls = 0;
    ObserverToken token = NotificationCenter::defaultCenter().addObserver("TarnMIDISetupChanged", nullptr,
                                                                          [&](const Notification&) { ++calls; });
    NotificationCenter::defaultCenter().post("TarnMIDISetupChanged");
    EXPECT_EQ(calls, 1);
}
