// New contexts and actions configured by their address: names, ranges and channels by address
// family, the shared control-change tables, and the return routes that new MIDI input gets to the
// mappings that drive the same controller or note.

#include "core/support/ManagerTestSupport.h"

#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "document/QRBBackmappingEventSource.h"
#include "features/QRBEventSourceManager.h"
#include "midi/outputs/QRBMidiCCEventSource.h"
#include "midi/outputs/QRBMidiNoteEventSource.h"
#include "midi/outputs/QRBMidiPacketEventSource.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using firing::Arg;
using firing::Float;
using firing::Int;
using firing::String;

constexpr double kCircle = QRBEventSourceManager::kFullCircle;

class EventSourceManagerTest : public managertest::ManagerFixture {
protected:
    void SetUp() override {
        ManagerFixture::SetUp();
        scope_ = std::make_unique<firing::ConfiguratorScope>(QRBEventSourceManager::sharedPointer());
    }
    void TearDown() override {
        scope_.reset();
        ManagerFixture::TearDown();
    }

    // A new context for `address` that has received one message of `args`, as the input path
    // makes it.
    QRBContextPtr receive(const std::string& address, const std::vector<Arg>& args) {
        auto context = QRBContext::create(address, manager);
        currentPreset()->addObject(context);
        context->receive(firing::message(address, args), manager->oscInputEndpoint(), foundation::Date::now());
        return context;
    }
    // A mapping of the current preset with `output` on `channel`.
    QRBContextPtr mapping(const std::string& address, const QRBEventSourcePtr& output, int64_t channel) {
        auto context = receive(address, {Float(0)});
        context->setEventSource(output);
        context->setChannel(channel);
        return context;
    }

private:
    std::unique_ptr<firing::ConfiguratorScope> scope_;
};

// What configuration leaves on one action.
struct Expected {
    std::optional<std::string> name;
    double inMin = 0, inMax = 1, outMin = 0, outMax = 1;
    int64_t channel = 1;
    bool integral = false;
};

Expected named(const char* name) { return Expected{std::string(name)}; }
Expected range(const char* name, double inMin, double inMax, bool integral = false) {
    Expected e{std::string(name)};
    e.inMin = inMin;
    e.inMax = inMax;
    e.integral = integral;
    return e;
}
Expected onChannel(const char* name, int64_t channel) {
    Expected e{name ? std::optional<std::string>(name) : std::nullopt};
    e.channel = channel;
    return e;
}

struct ConfigureCase {
    const char* address;
    std::vector<Arg> args;
    std::vector<Expected> actions;  // by rank
    int64_t contextChannel = 1;
};

std::vector<Arg> floats(size_t n) { return std::vector<Arg>(n, Float(0)); }

class ConfigureActionTest : public EventSourceManagerTest, public ::testing::WithParamInterface<ConfigureCase> {};

TEST_P(ConfigureActionTest, NamesRangesAndChannelsFollowTheAddress) {
    const ConfigureCase& c = GetParam();
    auto context = receive(c.address, c.args);
    EXPECT_EQ(context->name(), c.address);
    EXPECT_EQ(context->channel(), c.contextChannel);
    ASSERT_EQ(context->actions().size(), c.actions.size());
    for (size_t rank = 0; rank < c.actions.size(); ++rank) {
        SCOPED_TRACE(rank);
        const QRBActionPtr& action = context->actions()[rank];
        const Expected& e = c.actions[rank];
        EXPECT_EQ(action->name(), e.name);
        EXPECT_DOUBLE_EQ(action->inputMin(), e.inMin);
        EXPECT_DOUBLE_EQ(action->inputMax(), e.inMax);
        EXPECT_DOUBLE_EQ(action->outputMin(), e.outMin);
        EXPECT_DOUBLE_EQ(action->outputMax(), e.outMax);
        EXPECT_EQ(action->channel(), e.channel);
        EXPECT_EQ(action->requireIntegralInputScalingsFormatting(), e.integral);
    }
}

Expected mtc(const char* name, double max) {
    Expected e = range(name, 0, max, true);
    e.outMax = max;
    return e;
}
Expected whammy() {
    Expected e;
    e.outMin = 0.5;
    e.outMax = 0.0;
    e.channel = 1;
    return e;
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, ConfigureActionTest,
    ::testing::Values(
        ConfigureCase{"/wii/0/accel/pry", floats(4), {{}, {}, {}, {}}},
        ConfigureCase{"/wii/accel/pry", floats(4), {{}, {}, {}, {}}},
        ConfigureCase{"/wii/2/accel/pry",
                      floats(4),
                      {onChannel("pitch", 2), onChannel("roll", 2), onChannel("yaw", 2), onChannel("accel", 2)},
                      2},
        ConfigureCase{"/wii/1/nunchuk/joy", floats(2), {named("x"), named("y")}},
        ConfigureCase{"/wii/1/balance",
                      floats(8),
                      {named("bottom left"),
                       named("bottom right"),
                       named("top left"),
                       named("top right"),
                       named("sum"),
                       named("virtual x"),
                       named("virtual y"),
                       {}}},
        ConfigureCase{"/wii/1/guitar/whammy", floats(2), {whammy(), whammy()}},
        ConfigureCase{"/midi/note/3",
                      {Int(60), Float(0.5), Float(1)},
                      {range("pitch", 0, 127, true), named("velocity"), named("trigger")}},
        ConfigureCase{
            "/midi/clock/position", {Int(1), Int(2)}, {range("beat", 0, 3, true), range("sub-beat", 0, 5, true)}},
        ConfigureCase{"/midi/mtc/frame",
                      {Int(4), Int(3), Int(2), Int(1), Float(25), String("04:03:02.01")},
                      {mtc("hours", 23), mtc("minutes", 59), mtc("seconds", 59), mtc("frames", 29), named("frame rate"),
                       named("HH:MM:SS.FF string")}},
        // A word that matches with numbers that do not: nothing at all.
        ConfigureCase{"/midi/note/x", floats(3), {{}, {}, {}}},
        ConfigureCase{
            "/tuio/2D/cur/4",
            floats(5),
            {named("x postition"), named("y postition"), named("x velocity"), named("y velocity"), named("accel")}},
        ConfigureCase{"/tuio/2D/blb/2",
                      floats(11),
                      {named("x position"), named("y position"), range("z rotation", 0, kCircle), named("width"),
                       named("height"), named("size"), named("x velocity"), named("y velocity"),
                       named("z angular velocity"), named("motion accel"), named("rotation accel")}},
        ConfigureCase{"/tuio/2D/obj/1",
                      floats(9),
                      {named("x position"),
                       named("y position"),
                       range("z rotation", 0, kCircle),
                       named("x velocity"),
                       named("y velocity"),
                       range("z angular velocity", 0, kCircle),
                       named("a"),
                       range("z rotation accel", 0, kCircle),
                       {}}},
        ConfigureCase{"/wacom/1/strip/2", floats(2), {named("value"), named("pressed")}},
        ConfigureCase{"/wacom/1/pen",
                      floats(6),
                      {named("x"), named("y"), named("tilt x"), named("tilt y"), named("pressure"), {}}},
        ConfigureCase{"/quorbital/mapping",
                      {String("Live"), Float(2), Float(1)},
                      {named("name"), named("index"), named("trigger")}},
        ConfigureCase{"/fader/1", floats(2), {{}, {}}}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST_F(EventSourceManagerTest, RawMIDIOutputAddressesGetAPacketOutput) {
    auto context = receive("/midi/raw/paca-out", {Float(0)});
    ASSERT_NE(std::dynamic_pointer_cast<QRBMidiPacketEventSource>(context->eventSource()), nullptr);
    EXPECT_EQ(context->eventSource()->name(), "Active MIDI Outputs");
    EXPECT_EQ(receive("/midi/raw/osc-in", {Float(0)})->eventSource(), nullptr);
}

TEST_F(EventSourceManagerTest, RawProfileTUIONamesByTheSetAndClassContexts) {
    auto set = receive("/tuio/2Dcur", {String("set"), Int(7), Float(0.1f), Float(0.2f), Float(0), Float(0), Float(0)});
    // Split on the command word, the "set" child names its arguments.
    set->demux(0);
    set->receive(
        firing::message("/tuio/2Dcur", {String("set"), Int(7), Float(0.1f), Float(0.2f), Float(0), Float(0), Float(0)}),
        manager->oscInputEndpoint(), foundation::Date::now());
    auto child = set->contextWithName("set");
    ASSERT_NE(child, nullptr);
    std::vector<std::optional<std::string>> names;
    for (const auto& action : child->actions()) names.push_back(action->name());
    EXPECT_EQ(names, (std::vector<std::optional<std::string>>{"sessionID", "x", "y", "vx", "vy", "v"}));
}

TEST(QRBEventSourceManager, SharedControlChangeTables) {
    QRBEventSourceManager& shared = QRBEventSourceManager::sharedInstance();
    ASSERT_EQ(shared.midiCCEventSources().size(), 128u);
    ASSERT_EQ(shared.midiCCToggleEventSources().size(), 128u);
    struct Fetch {
        long n;
        long controller;  // -1: none
    };
    for (const Fetch& f :
         {Fetch{0, 0}, Fetch{127, 127}, Fetch{128, 1}, Fetch{254, 127}, Fetch{255, -1}, Fetch{-1, -1}}) {
        SCOPED_TRACE(f.n);
        auto fetched = shared.fetchMidiCC(f.n);
        if (f.controller < 0) {
            EXPECT_EQ(fetched, nullptr);
        } else {
            ASSERT_NE(fetched, nullptr);
            EXPECT_EQ(fetched, shared.midiCCEventSources()[static_cast<size_t>(f.controller)]);
        }
    }
    for (size_t n = 0; n < 128; ++n) {
        EXPECT_EQ(shared.midiCCEventSources()[n]->ccNumber(), static_cast<int64_t>(n));
        EXPECT_EQ(shared.midiCCToggleEventSources()[n]->ccNumber(), static_cast<int64_t>(n));
        EXPECT_EQ(shared.midiCCEventSources()[n]->name(), std::to_string(n));
    }
    // The General MIDI names come from the resource.
    EXPECT_EQ(shared.midiCCEventSources()[64]->alternateName()->find("Sustain") != std::string::npos, true);
    EXPECT_EQ(shared.midiCCToggleEventSources()[64]->alternateName(), shared.midiCCEventSources()[64]->alternateName());

    // Without a name the column shows the dash.
    QRBEventSourceManager own(foundation::Dictionary{{"7", foundation::Value("Volume")}});
    EXPECT_EQ(own.midiCCEventSources()[7]->alternateName(), "7\t\tVolume");
    EXPECT_EQ(own.midiCCEventSources()[8]->alternateName(), "8\t\t" + QRBEventSource::notAvailableString());
}

TEST_F(EventSourceManagerTest, NewControllerInputGetsReturnRoutesToTheMappingsThatDriveIt) {
    ASSERT_TRUE(manager->start());
    auto& shared = QRBEventSourceManager::sharedInstance();
    auto volume = mapping("/synth/volume", shared.fetchMidiCC(7), 1);
    volume->setInputMin(0);
    volume->setInputMax(10);
    volume->setOutputMin(0.25);
    volume->setOutputMax(0.75);
    mapping("/synth/other-channel", shared.fetchMidiCC(7), 2);
    mapping("/synth/other-controller", shared.fetchMidiCC(8), 1);
    mapping("/synth/latch", shared.midiCCToggleEventSources()[7], 1);  // a kind of CC output too
    mapping("/synth/bend", std::make_shared<QRBPitchBendEventSource>(), 1);

    manager->receive(firing::message("/midi/cc7/1", {Float(0.5)}), manager->oscInputEndpoint(),
                     foundation::Date::now());
    QRBContextPtr input = manager->contextWithName("/midi/cc7/1");
    ASSERT_NE(input, nullptr);
    // One return route per mapping that outputs controller 7 on channel 1, the plain and the
    // toggling one (the second through a duplicate, which moves the context's mapping into its
    // argument).
    std::vector<std::string> addresses;
    std::vector<QRBActionPtr> actions = input->allActions();
    actions.insert(actions.begin(), input);
    QRBActionPtr toVolume;
    for (const auto& action : actions)
        if (auto back = std::dynamic_pointer_cast<QRBBackmappingEventSource>(action->eventSource())) {
            addresses.push_back(back->rewriteAddress().value_or(""));
            if (addresses.back() == "/synth/volume") toVolume = action;
        }
    EXPECT_EQ(addresses, (std::vector<std::string>{"/synth/volume", "/synth/latch"}));
    ASSERT_NE(toVolume, nullptr);
    // The way back undoes the mapping's scaling.
    EXPECT_DOUBLE_EQ(toVolume->inputMin(), 0.25);
    EXPECT_DOUBLE_EQ(toVolume->inputMax(), 0.75);
    EXPECT_DOUBLE_EQ(toVolume->outputMin(), 0);
    EXPECT_DOUBLE_EQ(toVolume->outputMax(), 10);

    manager->receive(firing::message("/midi/wheel/1", {Float(0.5)}), manager->oscInputEndpoint(),
                     foundation::Date::now());
    auto wheel = manager->contextWithName("/midi/wheel/1");
    ASSERT_NE(wheel, nullptr);
    auto wheelRoute = std::dynamic_pointer_cast<QRBBackmappingEventSource>(wheel->eventSource());
    ASSERT_NE(wheelRoute, nullptr);
    EXPECT_EQ(wheelRoute->rewriteAddress(), "/synth/bend");

    // No mapping drives controller 9: the input stays as it is.
    manager->receive(firing::message("/midi/cc9/1", {Float(0.5)}), manager->oscInputEndpoint(),
                     foundation::Date::now());
    ASSERT_NE(manager->contextWithName("/midi/cc9/1"), nullptr);
    EXPECT_EQ(manager->contextWithName("/midi/cc9/1")->eventSource(), nullptr);
}

TEST_F(EventSourceManagerTest, ANoteSplitOnItsPitchGetsReturnRoutesToThatNotesMappings) {
    ASSERT_TRUE(manager->start());
    mapping("/lead", QRBMidiNoteEventSource::create(60), 3);
    mapping("/lead/other-note", QRBMidiNoteEventSource::create(61), 3);
    mapping("/lead/other-channel", QRBMidiNoteEventSource::create(60), 2);

    const std::vector<Arg> note = {Int(60), Float(0.5), Float(1)};
    manager->receive(firing::message("/midi/note/3", note), manager->oscInputEndpoint(), foundation::Date::now());
    auto input = manager->contextWithName("/midi/note/3");
    ASSERT_NE(input, nullptr);
    ASSERT_EQ(input->actions().size(), 3u);
    // Before the split, the trigger has no note to go back to.
    EXPECT_EQ(input->actions()[2]->eventSource(), nullptr);

    input->demux(0);
    input->receive(firing::message("/midi/note/3", note), manager->oscInputEndpoint(), foundation::Date::now());
    auto sixty = input->contextWithName("60");
    ASSERT_NE(sixty, nullptr);
    ASSERT_EQ(sixty->actions().size(), 2u);
    EXPECT_EQ(QRBEventSourceManager::realRankForAction(*sixty->actions()[0]), 1);
    EXPECT_EQ(QRBEventSourceManager::realRankForAction(*sixty->actions()[1]), 2);
    EXPECT_EQ(QRBEventSourceManager::realRankForAction(*input), -1);
    EXPECT_EQ(sixty->actions()[0]->name(), "velocity");
    EXPECT_EQ(sixty->actions()[1]->name(), "trigger");
    auto route = std::dynamic_pointer_cast<QRBBackmappingEventSource>(sixty->actions()[1]->eventSource());
    ASSERT_NE(route, nullptr);
    EXPECT_EQ(route->rewriteAddress(), "/lead");
    EXPECT_EQ(sixty->actions()[1]->actions().size(), 0u);  // one mapping: no duplicate
}

TEST_F(EventSourceManagerTest, SharedMIDIOutputsKeepTheirIdentityInAnotherDocument) {
    auto other = QRBManager::create();
    auto& shared = QRBEventSourceManager::sharedInstance();
    auto note = QRBMidiNoteEventSource::create(60);
    for (const QRBEventSourcePtr& output :
         {QRBEventSourcePtr(shared.fetchMidiCC(7)), QRBEventSourcePtr(shared.midiCCToggleEventSources()[3]),
          QRBEventSourcePtr(note)}) {
        auto context = mapping("/carried", output, 1);
        context->mergeEventSourceFromOSCManager(manager, other);
        EXPECT_EQ(context->eventSource(), output);
        context->removeActionsObject(context);
    }
    other->close();
}

}  // namespace
