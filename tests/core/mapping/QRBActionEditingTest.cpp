// What the outline of the main window asks of its rows: ranges in the user's units, expansion,
// the channel menu and the output-type menus as data, and the name formatter.

#include "core/support/PresetTestSupport.h"

#include "core/QRBPreferences.h"
#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBDupAction.h"
#include "core/monitor/QRBActionNameFormatter.h"
#include "foundation/Format.h"
#include "support/TestRegistration.h"

#include <gtest/gtest.h>

using namespace firing;
using namespace presets;
using foundation::Value;

namespace {

// An output type that offers ready-made outputs.
class ProposingEventSource : public RecordingEventSource {
    QRB_EVENT_SOURCE_CLASS("TestProposingEventSource", RecordingEventSource)

public:
    using RecordingEventSource::RecordingEventSource;
    static Value classProposedEventSourcesCollection(const QRBAction*) {
        static const QRBEventSourcePtr offered = std::make_shared<ProposingEventSource>();
        return Value(foundation::Array{Value(offered)});
    }
};

}  // namespace

TEST_REGISTER_EVENT_SOURCE(ProposingEventSource)

namespace {

class ActionEditingTest : public ::testing::Test {
protected:
    VirtualMainLoop loop;
    std::shared_ptr<RecordingConfigurator> configurator = [] {
        auto c = std::make_shared<RecordingConfigurator>();
        c->giveOutputs = false;
        return c;
    }();
    ConfiguratorScope scope{configurator};
    std::shared_ptr<PresetHost> host = std::make_shared<PresetHost>();

    // The context of `address` after it received `count` floats.
    QRBContextPtr receive(const std::string& address, size_t count) {
        host->receive(message(address, std::vector<Arg>(count, Float(0.5))));
        return host->current()->contextWithName(address);
    }
};

// A collection's entries in short: a title, "---" for the separator marker, "Group: a, b" for a
// group of names and "Group= a" for a group of one name.
std::vector<std::string> entries(const Value& collection) {
    std::vector<std::string> out;
    const foundation::Array* list = collection.arrayValue();
    if (!list) return {"not a list"};
    for (const Value& entry : *list) {
        if (const std::string* title = entry.stringValue()) {
            out.push_back(*title);
        } else if (entry.objectValue() && entry.objectValue() == QRBEventSource::menuSeparatorMarker()) {
            out.push_back("---");
        } else if (const foundation::Dictionary* group = entry.dictionaryValue(); group && group->size() == 1) {
            const auto& [title, names] = *group->begin();
            if (const std::string* name = names.stringValue()) {
                out.push_back(title + "= " + *name);
                continue;
            }
            std::string joined;
            for (const Value& name : *names.arrayValue()) joined += (joined.empty() ? "" : ", ") + *name.stringValue();
            out.push_back(title + ": " + joined);
        } else {
            out.push_back(entry.debugDescription());
        }
    }
    return out;
}

const std::string kNA = QRBEventSource::notAvailableString();

}  // namespace

TEST_F(ActionEditingTest, MIDIInputShowsItsRangeInMIDIUnits) {
    struct Case {
        const char* context;
        size_t arguments;
        long which;  // an argument's rank, or -1 for the context itself
        double factor;
    };
    const Case cases[] = {
        {"/midi/cc7/1", 2, 1, 127},      {"/midi/cc7/1", 2, -1, 127},       {"/midi/note/1", 3, 0, 1},
        {"/midi/note/1", 3, 1, 127},     {"/midi/note/1", 3, 2, 1},         {"/midi/note/1", 3, -1, 127},
        {"/midi/aftertouch/1", 2, 0, 1}, {"/midi/aftertouch/1", 2, 1, 127}, {"/midi/program/1", 2, 1, 1},
        {"/midi/wheel/1", 2, 0, 16383},  {"/midi/clock/position", 2, 0, 1}, {"/midi/raw/osc-in", 2, 0, 127},
        {"/midiface", 2, 0, 127},        {"/wii/1/accel", 3, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(foundation::format("%s rank %ld", c.context, c.which));
        auto context = receive(c.context, c.arguments);
        ASSERT_TRUE(context);
        QRBActionPtr action = c.which < 0 ? QRBActionPtr(context) : context->actions()[static_cast<size_t>(c.which)];
        EXPECT_EQ(action->inputScalingFudgeFactor(), c.factor);
    }
    // A duplicate counts with its master's rank.
    auto velocity =
        std::static_pointer_cast<QRBConcreteAction>(host->current()->contextWithName("/midi/note/1")->actions()[1]);
    EXPECT_EQ(velocity->dup()->inputScalingFudgeFactor(), 127);
    // An action outside any context shows its range as it is.
    EXPECT_EQ(std::make_shared<QRBConcreteAction>()->inputScalingFudgeFactor(), 1);
}

TEST_F(ActionEditingTest, RangesTheUserEntersAreStoredInInternalUnitsUndoably) {
    auto cc = receive("/midi/cc/1", 2)->actions()[1];
    EXPECT_EQ(cc->userInputMin(), 0);
    EXPECT_EQ(cc->userInputMax(), 127);
    cc->setUserInputMax(64);
    host->endEvent();
    EXPECT_DOUBLE_EQ(cc->inputMax(), 64.0 / 127);
    EXPECT_DOUBLE_EQ(cc->userInputMax(), 64);
    host->undo->undo();
    EXPECT_EQ(cc->inputMax(), 1);

    // The output's factor and offset (for floating input): shown = offset + factor × stored.
    auto action = receive("/fader", 2)->actions()[0];
    auto output = std::make_shared<RecordingEventSource>();
    output->fudgeFactor = 127;
    action->setEventSource(output);
    action->setOutputMax(0.5);
    host->endEvent();
    EXPECT_EQ(action->userOutputMax(), 63.5);
    action->setUserOutputMax(127);
    EXPECT_EQ(action->outputMax(), 1);
    output->fudgeFactor = 2;
    output->fudgeOffset = 10;
    EXPECT_EQ(action->userOutputMin(), 10);
    action->setUserOutputMin(14);
    EXPECT_EQ(action->outputMin(), 2);
    host->endEvent();
    host->undo->undo();
    EXPECT_EQ(action->outputMin(), 0);
    EXPECT_EQ(action->outputMax(), 0.5);
    // No stored value shows as anything but the offset when the factor is 0.
    output->fudgeFactor = 0;
    action->setUserOutputMax(5);
    EXPECT_EQ(action->outputMax(), 0.5);
}

TEST_F(ActionEditingTest, RowsExpandWhenTheyHaveRowsBelowThem) {
    auto multi = receive("/multi", 2);
    auto single = receive("/single", 1);
    auto argument = std::static_pointer_cast<QRBConcreteAction>(multi->actions()[0]);

    EXPECT_FALSE(multi->isNameEditable());
    EXPECT_TRUE(argument->isNameEditable());

    EXPECT_TRUE(multi->shouldExpand());
    EXPECT_FALSE(multi->isExpanded());
    EXPECT_TRUE(multi->expand(true));
    EXPECT_TRUE(multi->isExpanded());
    EXPECT_EQ(multi->userInfoValueForKey("QRBContextIsExpanded"), Value(true));
    multi->markAsExpanded(false);
    EXPECT_FALSE(multi->isExpanded());

    EXPECT_FALSE(single->shouldExpand());
    EXPECT_FALSE(single->expand(true));
    EXPECT_TRUE(single->userInfoValueForKey("QRBContextIsExpanded").isNull());

    // An argument action has rows below it once it has duplicates, and always shows them.
    EXPECT_FALSE(argument->shouldExpand());
    EXPECT_TRUE(argument->isExpanded());
    argument->dup();
    EXPECT_TRUE(argument->shouldExpand());
}

TEST_F(ActionEditingTest, TheChannelMenuListsTheOutputTypesChannels) {
    auto action = receive("/fader", 2)->actions()[0];
    EXPECT_FALSE(action->canSelectEvent());
    auto none = action->channelMenu();
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0].title, kNA);
    EXPECT_EQ(none[0].channel, std::nullopt);
    EXPECT_EQ(action->channel(), 1);

    action->setEventSource(std::make_shared<RecordingEventSource>());  // 16 channels
    EXPECT_TRUE(action->canSelectEvent());
    action->setChannel(3);
    auto menu = action->channelMenu();
    ASSERT_EQ(menu.size(), 16u);
    for (size_t i = 0; i < menu.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(menu[i].title, std::to_string(i + 1));
        EXPECT_EQ(menu[i].channel, static_cast<int64_t>(i + 1));
        EXPECT_EQ(menu[i].on, i == 2);
    }
    EXPECT_EQ(action->channel(), 3);
}

TEST_F(ActionEditingTest, TheTypeMenuOffersWhatTheInputCanDrive) {
    auto& preferences = QRBPreferences::sharedPreferences();
    const bool kymaBefore = preferences.enableKymaRelatedFeatures();
    auto multi = receive("/multi", 2);
    auto number = multi->actions()[0];
    host->receive(message("/text", {String("a")}));
    auto text = host->current()->contextWithName("/text");
    auto midi = std::make_shared<QRBConcreteAction>();
    midi->setInternalArgType('m');
    const uint8_t bytes[4] = {0x90, 60, 100, 0};
    midi->setArgValue(*QRBArg::argOfType('m', bytes));

    const std::vector<std::string> tail = {
        "---",
        "Virtual Devices: Key Combo, Keycode, Mouse, HID",
        "---",
        "Meta Events: Enable, Enable Toggle, Enable Combine, Mappings, Snapshots, Change Channel, Variable, Delay",
        "---",
        "System: AppleScript, Console Log",
        "---",
        "Wiimote: Wiimote Enable, Vibrate, LEDs, MotionPlus Reset"};
    auto withTail = [&](std::vector<std::string> head) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };

    preferences.setEnableKymaRelatedFeatures(true);
    EXPECT_EQ(
        entries(number->typesMenuCollection()),
        withTail({kNA, "---",
                  "Control: MIDI CC, MIDI CC Toggle, MIDI Prg, MIDI Message, Kyma CC, Kyma Ext, Kyma Prg, OSC Message",
                  "---", "Notes: MIDI Note, MIDI Note w/ Params, Kyma Note, Kyma Note w/ Params, Note Params"}));
    preferences.setEnableKymaRelatedFeatures(false);
    if (!preferences.enableKymaRelatedFeatures()) {
        EXPECT_EQ(entries(number->typesMenuCollection()),
                  withTail({kNA, "---", "Control: MIDI CC, MIDI CC Toggle, MIDI Prg, MIDI Message, OSC Message", "---",
                            "Notes: MIDI Note, MIDI Note w/ Params, Note Params"}));
    }
    preferences.setEnableKymaRelatedFeatures(kymaBefore);

    EXPECT_EQ(entries(text->typesMenuCollection()),
              (std::vector<std::string>{kNA, "---", "Control: OSC Message", "---", "Meta Events: Mappings, Variable",
                                        "---", "System= Console Log"}));
    EXPECT_EQ(entries(midi->typesMenuCollection()),
              (std::vector<std::string>{kNA, "---", "Control: OSC Message, Send to MIDI", "---",
                                        "Meta Events: Mappings, Variable", "---", "System= Console Log"}));
    EXPECT_EQ(entries(multi->typesMenuCollection()),
              (std::vector<std::string>{kNA, "---", "Control: OSC Message", "---", "System= Console Log"}));
}

TEST_F(ActionEditingTest, TheOutputMenuOffersTheTypesReadyMadeOutputs) {
    auto action = receive("/fader", 2)->actions()[0];
    EXPECT_EQ(entries(action->valuesMenuCollection()), (std::vector<std::string>{kNA, "---"}));
    action->setEventSource(std::make_shared<ProposingEventSource>());
    Value collection = action->valuesMenuCollection();
    ASSERT_EQ(collection.arrayValue()->size(), 3u);
    EXPECT_EQ((*collection.arrayValue())[2], ProposingEventSource::classProposedEventSourcesCollection(nullptr));
}

TEST(QRBActionNameFormatter, ShowsTheRankApartAndEditsOnlyTheName) {
    struct Case {
        Value name;
        std::optional<std::string> editing;
        std::optional<QRBActionNameFormatter::Parts> parts;
    };
    const Case cases[] = {
        {Value("3: level"), "level", QRBActionNameFormatter::Parts{"3: ", "level"}},
        {Value("3"), "", QRBActionNameFormatter::Parts{"", "3"}},
        {Value("1\u25b8 2: speed: max"), "speed: max", QRBActionNameFormatter::Parts{"1\u25b8 2: ", "speed: max"}},
        {Value("1\u25b8 2"), "", QRBActionNameFormatter::Parts{"", "1\u25b8 2"}},
        {Value("/a/b"), std::nullopt, QRBActionNameFormatter::Parts{"", "/a/b"}},
        {Value(3), std::nullopt, std::nullopt},
    };
    QRBActionNameFormatter formatter;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.debugDescription());
        EXPECT_EQ(formatter.editingStringForObjectValue(c.name), c.editing);
        EXPECT_EQ(formatter.attributedStringForObjectValue(c.name), c.parts);
        EXPECT_EQ(formatter.stringForObjectValue(c.name).has_value(), c.name.stringValue() != nullptr);
    }
    Value edited;
    EXPECT_TRUE(formatter.getObjectValue(&edited, "speed", nullptr));
    EXPECT_EQ(edited, Value("speed"));
    EXPECT_FALSE(formatter.getObjectValue(nullptr, "speed", nullptr));
}
