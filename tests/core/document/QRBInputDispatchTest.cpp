// OSC input reaching a running manager over the loopback: new addresses, registered addresses,
// patterns, the input lock, the catch-all's place, application commands, time tags, preset
// switches made by input, contexts that go away, and backmapping.

#include "core/support/ManagerTestSupport.h"

#include "core/mapping/QRBActionLocation.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/osc/LibloCallbacks.h"
#include "foundation/Log.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

using firing::Float;
using firing::Int;
using firing::String;
using foundation::Date;
using foundation::OSCTimeTag;
using managertest::bundle;
using managertest::Firing;
using managertest::ManagerFixture;
using managertest::packet;
using managertest::ProbeEventSource;
using managertest::Sender;

namespace {

class InputDispatchTest : public ManagerFixture {
protected:
    // A context made as the main window or a decoded document makes one, added to `preset` (the
    // current one by default) without registering it.
    QRBContextPtr addContext(const std::string& address, QRBPresetPtr preset = nullptr) {
        auto context = QRBContext::create(address, manager);
        (preset ? preset : currentPreset())->addObject(context);
        return context;
    }
    // Sends a last message and waits until its output has acted: everything sent before it on the
    // same connection has been dispatched by then.
    void flush(Sender& sender) {
        const size_t before = firingsOf("/sentinel").size();
        sender.send(packet("/sentinel", {Float(1)}));
        ASSERT_TRUE(runUntil([&] { return firingsOf("/sentinel").size() > before; }));
    }
};

class InputOverTransportTest : public InputDispatchTest, public ::testing::WithParamInterface<int> {};

std::string transportName(const ::testing::TestParamInfo<int>& info) { return info.param == LO_UDP ? "UDP" : "TCP"; }

TEST_P(InputOverTransportTest, NewAddressesBecomeContextsThatFireOnTheMainThreadAndThenHaveTheirEntry) {
    ASSERT_TRUE(manager->start());
    Sender sender(GetParam(), port);
    sender.send(packet("/fader/1", {Float(0.25)}));
    ASSERT_TRUE(runUntil([&] { return firingsOf("/fader/1").size() == 1; }));
    QRBContextPtr context = manager->contextWithName("/fader/1");
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->oscManager(), manager);
    EXPECT_EQ(firingsOf("/fader/1")[0].thread, std::this_thread::get_id());
    EXPECT_DOUBLE_EQ(firingsOf("/fader/1")[0].value, 0.25);

    // From now on the address has its own entry: it gets through while new addresses are
    // refused, so the entry comes before the catch-all.
    manager->setInputLocked(true);
    sender.send(packet("/fader/1", {Float(0.75)}));
    ASSERT_TRUE(runUntil([&] { return firingsOf("/fader/1").size() == 2; }));
    EXPECT_DOUBLE_EQ(firingsOf("/fader/1")[1].value, 0.75);
    EXPECT_EQ(currentPreset()->countOfObjects(), 1u);

    std::vector<std::string> monitored = monitoredMessages();
    EXPECT_EQ(std::count_if(monitored.begin(), monitored.end(),
                            [](const std::string& line) { return line.rfind("/fader/1 ", 0) == 0; }),
              2);
}

TEST_P(InputOverTransportTest, AMappingSwitchMadeByInputPassesOverTheOldEntriesAndRegistersTheNewPreset) {
    // The current mapping has /x/1, whose output switches to a second mapping, and /x/2; the
    // second mapping has /b.
    auto second = std::make_shared<QRBPreset>();
    second->setName("Second");
    manager->presetManager()->addPresetsObject(second);
    QRBContextPtr x1 = addContext("/x/1");
    QRBContextPtr x2 = addContext("/x/2");
    QRBContextPtr b = addContext("/b", second);
    auto switcher = std::make_shared<ProbeEventSource>(configurator->firings);
    switcher->onAccept = [this, second](QRBAction&) { manager->presetManager()->setCurrentPreset(second); };
    x1->setEventSource(switcher);
    ASSERT_TRUE(manager->start());

    // One packet: the pattern reaches /x/1 first, which switches; /x/2 belongs to the mapping that
    // was left and is passed over; /b of the new mapping is found through the catch-all.
    Sender sender(GetParam(), port);
    sender.send(bundle(OSCTimeTag::immediate(), {{"/x/*", {Float(1)}}, {"/b", {Float(0.5)}}}));
    ASSERT_TRUE(runUntil([&] { return firingsOf("/b").size() == 1; }));
    EXPECT_EQ(firingsOf("/x/1").size(), 1u);
    EXPECT_TRUE(firingsOf("/x/2").empty());
    EXPECT_EQ(currentPreset(), second);
    EXPECT_EQ(second->countOfObjects(), 1u);  // nothing was made for the pattern

    // Once the dispatch has returned the table holds the new mapping only.
    flush(sender);
    manager->setInputLocked(true);
    sender.send(packet("/x/1", {Float(1)}));
    sender.send(packet("/b", {Float(0.25)}));
    ASSERT_TRUE(runUntil([&] { return firingsOf("/b").size() == 2; }));
    EXPECT_EQ(firingsOf("/x/1").size(), 1u);
}

TEST_P(InputOverTransportTest, QuitOverTheNetworkClosesTheManagerOnceTheDispatchHasReturned) {
    bool terminated = false;
    QRBManager::setTerminateApplicationHandler([&] {
        terminated = true;
        foundation::RunLoop::main().stop();
    });
    ASSERT_TRUE(manager->start());
    wii->discovery()->start(false);
    Sender sender(GetParam(), port);
    sender.send(packet("/a", {Float(1)}));
    ASSERT_TRUE(runUntil([&] { return firingsOf("/a").size() == 1; }));

    // The quit waits for the dispatch of its packet to end: the rest of the bundle still arrives.
    sender.send(bundle(OSCTimeTag::immediate(), {{"/quorbital/quit", {String("now")}}, {"/a", {Float(0.5)}}}));
    runUntil([&] { return terminated; });
    ASSERT_TRUE(terminated);
    EXPECT_EQ(firingsOf("/a").size(), 2u);
    EXPECT_FALSE(manager->isRunning());
    EXPECT_FALSE(manager->udpServer()->isRunning());
    EXPECT_FALSE(manager->tcpServer()->isRunning());
    EXPECT_EQ(currentPreset()->countOfObjects(), 0u);  // the presets were invalidated
    EXPECT_EQ(wiiRemotes->runningDiscoveries(), 0u) << "closing stops the Wii remotes' pairing";
}

INSTANTIATE_TEST_SUITE_P(Transports, InputOverTransportTest, ::testing::Values(LO_UDP, LO_TCP), transportName);

TEST_F(InputDispatchTest, PatternsReachEveryMatchingContextAndOtherwiseAreDropped) {
    ASSERT_TRUE(manager->start());
    Sender sender(LO_UDP, port);
    sender.send(packet("/fader/1", {Float(0)}));
    sender.send(packet("/fader/2", {Float(0)}));
    flush(sender);

    sender.send(packet("/fader/*", {Float(0.5)}));
    sender.send(packet("/knob/*", {Float(0.5)}));
    sender.send(packet("/with space", {Float(0.5)}));
    flush(sender);
    ASSERT_EQ(firingsOf("/fader/1").size(), 2u);
    ASSERT_EQ(firingsOf("/fader/2").size(), 2u);
    EXPECT_DOUBLE_EQ(firingsOf("/fader/1")[1].value, 0.5);
    EXPECT_DOUBLE_EQ(firingsOf("/fader/2")[1].value, 0.5);
    EXPECT_EQ(manager->contextWithName("/fader/1")->lastReceivedMessage()->path(), "/fader/1");
    EXPECT_EQ(manager->contextWithName("/fader/2")->lastReceivedMessage()->path(), "/fader/2");
    EXPECT_EQ(manager->contextWithName("/knob/*"), nullptr);
    EXPECT_EQ(manager->contextWithName("/with space"), nullptr);
    EXPECT_EQ(currentPreset()->countOfObjects(), 3u);  // the faders and the sentinel
}

TEST_F(InputDispatchTest, ALockedInputMakesNothingAndReachesOnlyRegisteredContexts) {
    ASSERT_TRUE(manager->start());
    Sender sender(LO_UDP, port);
    sender.send(packet("/registered", {Float(0.1)}));
    flush(sender);
    // A context of the mapping that has no entry (as one the window made before it registered
    // the methods again) is reached through the catch-all only.
    QRBContextPtr unregistered = addContext("/unregistered");

    manager->setInputLocked(true);
    sender.send(packet("/registered", {Float(0.2)}));
    sender.send(packet("/unregistered", {Float(0.2)}));
    sender.send(packet("/new", {Float(0.2)}));
    sender.send(packet("/sentinel", {Float(1)}));
    ASSERT_TRUE(runUntil([&] { return firingsOf("/sentinel").size() == 2; }));
    EXPECT_EQ(firingsOf("/registered").size(), 2u);
    EXPECT_TRUE(firingsOf("/unregistered").empty());
    EXPECT_EQ(manager->contextWithName("/new"), nullptr);

    // Everything that arrived is in the monitor, also what reached no context.
    std::vector<std::string> monitored = monitoredMessages();
    for (const char* path : {"/unregistered ", "/new "}) {
        EXPECT_NE(std::find_if(monitored.begin(), monitored.end(),
                               [&](const std::string& line) { return line.rfind(path, 0) == 0; }),
                  monitored.end())
            << path;
    }
}

// After each way the table is rebuilt or grows, a registered address still gets through while
// input is locked: its entry lies before the catch-all.
TEST_F(InputDispatchTest, TheCatchAllStaysLastAfterEveryRegistration) {
    auto second = std::make_shared<QRBPreset>();
    manager->presetManager()->addPresetsObject(second);
    addContext("/before-start");
    addContext("/in-second", second);
    Sender sender(LO_UDP, port);

    struct Step {
        const char* what;
        std::function<void()> change;
        const char* address;
    };
    const std::vector<Step> steps = {
        {"start", [&] { ASSERT_TRUE(manager->start()); }, "/before-start"},
        {"a new address",
         [&] {
             sender.send(packet("/made", {Float(0)}));
             ASSERT_TRUE(runUntil([&] { return firingsOf("/made").size() == 1; }));
         },
         "/made"},
        {"a full registration", [&] { manager->registerAllMethods(); }, "/made"},
        {"a preset switch", [&] { manager->presetManager()->setCurrentPreset(second); }, "/in-second"},
        {"a restart",
         [&] {
             manager->stop();
             ASSERT_TRUE(manager->start());
         },
         "/in-second"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        manager->setInputLocked(false);
        step.change();
        manager->setInputLocked(true);
        const size_t before = firingsOf(step.address).size();
        sender.send(packet(step.address, {Float(1)}));
        EXPECT_TRUE(runUntil([&] { return firingsOf(step.address).size() == before + 1; }, 5.0));
    }
}

TEST_F(InputDispatchTest, CommandsMakeNoMappingsAndMappingPathsAreAddresses) {
    ASSERT_TRUE(manager->start());
    Sender sender(LO_UDP, port);

    struct Case {
        const char* path;
        std::vector<firing::Arg> args;
        bool command;
    };
    const std::vector<Case> cases = {
        {"/quorbital/wii/1", {String("reset")}, true},
        {"/quorbital/wii/*", {String("battery?")}, true},  // a pattern, still a command
        {"/quorbital/wii/2", {Int(3)}, true},
        {"/quorbital/wii/3", {String("a"), String("b")}, true},
        {"/quorbital/other", {}, true},
        {"/quorbital/mapping", {Float(1)}, false},
        {"/quorbital/mappings", {Float(1)}, false},
    };
    for (const auto& c : cases) sender.send(packet(c.path, c.args));
    flush(sender);

    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(manager->contextWithName(c.path) != nullptr, !c.command);
    }
}

// One datagram may not make tens of thousands of argument actions: a message beyond the ceiling
// that would make them is refused whole, with a line in the log; within it, or for a context that
// already has its actions, it routes.
TEST_F(InputDispatchTest, AMessageThatWouldMakeTooManyArgumentActionsIsRefused) {
    ASSERT_TRUE(manager->start());
    Sender sender(LO_UDP, port);
    foundation::LogCapture log;
    const size_t ceiling = QRBContext::kMaxArgumentActionsPerMessage;
    auto floats = [](size_t count) { return std::vector<firing::Arg>(count, Float(0.5)); };

    sender.send(packet("/wide", floats(ceiling)));
    sender.send(packet("/wider", floats(ceiling + 1)));
    sender.send(packet("/two", floats(2)));
    flush(sender);
    ASSERT_NE(manager->contextWithName("/wide"), nullptr);
    EXPECT_EQ(manager->contextWithName("/wide")->actions().size(), ceiling);
    EXPECT_EQ(manager->contextWithName("/wider"), nullptr);
    EXPECT_TRUE(
        log.contains("Refused a message to \"/wider\" with 1025 arguments: one message makes at most 1024 "
                     "argument actions"))
        << ::testing::PrintToString(log.lines());

    // A registered context refuses the same way, and keeps what it had.
    QRBContextPtr two = manager->contextWithName("/two");
    ASSERT_NE(two, nullptr);
    const auto last = two->lastReceivedMessage();
    sender.send(packet("/two", floats(ceiling + 1)));
    flush(sender);
    EXPECT_EQ(two->actions().size(), 2u);
    EXPECT_EQ(two->lastReceivedMessage(), last);
    sender.send(packet("/wide", floats(ceiling + 1)));
    flush(sender);
    EXPECT_EQ(manager->contextWithName("/wide")->actions().size(), ceiling);
}

TEST_F(InputDispatchTest, TimeTagsBecomeTheDatesOfTheMessages) {
    ASSERT_TRUE(manager->start());
    Sender sender(LO_UDP, port);
    const Date epoch = Date::withTimeIntervalSince1970(0);
    struct Case {
        OSCTimeTag tag;
        std::optional<Date> date;  // none: the time of arrival
    };
    const std::vector<Case> cases = {
        {OSCTimeTag::immediate(), std::nullopt},
        {{2208988800u, 0}, epoch},
        {{2208988800u, 0x80000000u}, epoch.byAddingTimeInterval(0.5)},
        {{0, 0}, QRBManager::timetagReferenceDate()},
    };
    const Date before = Date::now();
    for (size_t i = 0; i < cases.size(); ++i)
        sender.send(bundle(cases[i].tag, {{"/time/" + std::to_string(i), {Float(1)}}}));
    flush(sender);
    const Date after = Date::now();

    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        QRBContextPtr context = manager->contextWithName("/time/" + std::to_string(i));
        ASSERT_NE(context, nullptr);
        ASSERT_TRUE(context->lastReceivedDate());
        const Date date = *context->lastReceivedDate();
        if (cases[i].date) {
            EXPECT_NEAR(date.timeIntervalSinceReferenceDate(), cases[i].date->timeIntervalSinceReferenceDate(), 1e-6);
        } else {
            EXPECT_GE(date, before);
            EXPECT_LE(date, after);
        }
    }
}

TEST_F(InputDispatchTest, AContextThatIsGoneIsNeverReachedAndItsAddressIsMadeAgain) {
    ASSERT_TRUE(manager->start());
    Sender sender(LO_UDP, port);
    sender.send(packet("/gone", {Float(0.1)}));
    flush(sender);
    std::weak_ptr<QRBContext> gone = manager->contextWithName("/gone");
    ASSERT_FALSE(gone.expired());

    // Deleting the row takes the context out of the mapping; with no undo manager nothing keeps it.
    gone.lock()->removeActionsObject(gone.lock());
    ASSERT_TRUE(gone.expired());

    sender.send(packet("/gone", {Float(0.25)}));
    flush(sender);
    QRBContextPtr again = manager->contextWithName("/gone");
    ASSERT_NE(again, nullptr);
    ASSERT_EQ(firingsOf("/gone").size(), 2u);
    EXPECT_DOUBLE_EQ(firingsOf("/gone")[1].value, 0.25);
}

TEST_F(InputDispatchTest, WhileRoutingIsStoppedTheUnregisteredPathMakesNoContext) {
    manager->receive(firing::message("/a", {Float(1)}), manager->oscInputEndpoint(), Date::now());
    EXPECT_EQ(manager->contextWithName("/a"), nullptr);
    EXPECT_EQ(monitoredMessages().size(), 1u);
    EXPECT_FALSE(manager->registerContext(addContext("/b")));
}

TEST(LibloCallbacksTest, CommandPathsAndPatternCharacters) {
    struct Case {
        const char* path;
        bool command;
        bool plain;
    };
    const std::vector<Case> cases = {
        {"/quorbital/quit", true, true},
        {"/quorbital/wii/*", true, false},
        {"/quorbital/mapping", false, true},
        {"/quorbital/mappingX", false, true},
        {"/quorbital", false, true},
        {"/quorbitalx/quit", false, true},
        {"/a b", false, false},
        {"/a#", false, false},
        {"/a,b", false, false},
        {"/a?", false, false},
        {"/a[1]", false, false},
        {"/a{b}", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(QRBIsCommandPath(c.path), c.command);
        EXPECT_EQ(QRBPathHasNoPatternCharacters(c.path), c.plain);
    }
    EXPECT_FALSE(QRBIsCommandPath(nullptr));
}

// ---- Backmapping -------------------------------------------------------------------------------

struct MadeRoute {
    std::string address;
    std::vector<QRBBackmappingToken> tokens;
    QRBEventSourcePtr route;
};

class BackmappingTest : public InputDispatchTest {
protected:
    void SetUp() override {
        InputDispatchTest::SetUp();
        QRBManager::setBackmappingRouteMaker(
            [this](const std::string& address, const std::vector<QRBBackmappingToken>& tokens) {
                made.push_back({address, tokens, std::make_shared<ProbeEventSource>()});
                return made.back().route;
            });
        ASSERT_TRUE(manager->start());
        // Two mappings drive the same output: /out takes floats on channel 1, /out2 integers on
        // channel 2 (its output shows values twice as large).
        output->fudgeFactor = 2;
        out = mapping("/out", Float(0.5), 1, 0, 1, 10, 20);
        out2 = mapping("/out2", Int(3), 2, 0, 100, 0, 1);
    }

    QRBContextPtr mapping(const std::string& address, const firing::Arg& arg, int64_t channel, double inMin,
                          double inMax, double outMin, double outMax) {
        QRBContextPtr context = addContext(address);
        context->receive(firing::message(address, {arg}), manager->oscInputEndpoint(), Date::now());
        context->setEventSource(output);
        context->setChannel(channel);
        context->setInputMin(inMin);
        context->setInputMax(inMax);
        context->setOutputMin(outMin);
        context->setOutputMax(outMax);
        return context;
    }

    // A message from a producer inside the application that asks for a way back to the mappings
    // that use `output`.
    void receiveWithRequest(const std::string& address, const foundation::Value& channel, bool withChannel = true) {
        foundation::Dictionary request{
            {"eventSource", foundation::Value(std::static_pointer_cast<QRBEventSource>(output))}};
        if (withChannel) request["channel"] = channel;
        auto message = firing::message(address, {Float(0.5)});
        message->setUserInfo({{"backmapping", foundation::Value(request)}});
        manager->receive(message, manager->oscInputEndpoint(), Date::now());
    }

    std::shared_ptr<firing::RecordingEventSource> output = std::make_shared<firing::RecordingEventSource>();
    QRBContextPtr out, out2;
    std::vector<MadeRoute> made;
};

TEST_F(BackmappingTest, EachMatchingMappingGetsAReturnRouteWithItsScalingInverted) {
    receiveWithRequest("/in", foundation::Value());  // any channel
    QRBContextPtr in = manager->contextWithName("/in");
    ASSERT_NE(in, nullptr);
    ASSERT_EQ(made.size(), 2u);
    EXPECT_EQ(made[0].address, "/out");
    EXPECT_EQ(made[1].address, "/out2");
    for (const auto& route : made) {
        ASSERT_EQ(route.tokens.size(), 1u);
        EXPECT_EQ(route.tokens[0].kind, QRBBackmappingToken::Kind::Plain);
    }
    EXPECT_EQ(made[0].tokens[0].type, 'f');
    EXPECT_EQ(made[1].tokens[0].type, 'i');

    // The first route went to /in itself, whose mapping the second one's duplicate came from.
    std::vector<QRBActionPtr> actions = in->allActions();
    actions.push_back(in);
    auto carrying = [&](const QRBEventSourcePtr& route) -> QRBActionPtr {
        for (const auto& action : actions)
            if (action->eventSource() == route) return action;
        return nullptr;
    };
    QRBActionPtr first = carrying(made[0].route);
    QRBActionPtr second = carrying(made[1].route);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_DOUBLE_EQ(first->inputMin(), 10);
    EXPECT_DOUBLE_EQ(first->inputMax(), 20);
    EXPECT_DOUBLE_EQ(first->outputMin(), 0);
    EXPECT_DOUBLE_EQ(first->outputMax(), 1);
    // An integer mapping's output range is divided by its output's scaling.
    EXPECT_DOUBLE_EQ(second->inputMin(), 0);
    EXPECT_DOUBLE_EQ(second->inputMax(), 0.5);
    EXPECT_DOUBLE_EQ(second->outputMin(), 0);
    EXPECT_DOUBLE_EQ(second->outputMax(), 100);
}

TEST_F(BackmappingTest, TheChannelNarrowsTheMappingsAndOnlyNewAddressesAsk) {
    struct Case {
        const char* address;
        foundation::Value channel;
        bool withChannel;
        std::vector<std::string> routes;
    };
    const std::vector<Case> cases = {
        {"/ch2", foundation::Value(2), true, {"/out2"}},
        {"/ch1", foundation::Value(1), true, {"/out"}},
        {"/none", foundation::Value(), false, {}},  // no channel given counts as channel 0
        {"/ch2", foundation::Value(), true, {}},    // the address has its context already
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        made.clear();
        receiveWithRequest(c.address, c.channel, c.withChannel);
        std::vector<std::string> addresses;
        for (const auto& route : made) addresses.push_back(route.address);
        EXPECT_EQ(addresses, c.routes);
    }
}

TEST_F(BackmappingTest, AnArgumentOfASeveralArgumentMappingIsWrittenIntoItsPlace) {
    // /multi has three arguments; the middle one drives the output.
    QRBContextPtr multi = addContext("/multi");
    multi->receive(firing::message("/multi", {Float(0.1), Int(2), Float(0.3)}), manager->oscInputEndpoint(),
                   Date::now());
    ASSERT_EQ(multi->actions().size(), 3u);
    multi->actions()[1]->setEventSource(output);
    out->setEventSource(nullptr);
    out2->setEventSource(nullptr);

    receiveWithRequest("/back", foundation::Value());
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].address, "/multi");
    ASSERT_EQ(made[0].tokens.size(), 3u);
    const std::vector<QRBBackmappingToken::Kind> kinds = {
        QRBBackmappingToken::Kind::ByRef, QRBBackmappingToken::Kind::UpdateRef, QRBBackmappingToken::Kind::ByRef};
    const std::vector<int32_t> types = {'f', 'i', 'f'};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(made[0].tokens[i].kind, kinds[i]);
        EXPECT_EQ(made[0].tokens[i].type, types[i]);
        ASSERT_NE(made[0].tokens[i].location, nullptr);
        EXPECT_EQ(made[0].tokens[i].location->contextName(), "/multi");
        EXPECT_EQ(made[0].tokens[i].location->pathComponents(), foundation::Array{foundation::Value(int64_t(i))});
    }
}

}  // namespace
