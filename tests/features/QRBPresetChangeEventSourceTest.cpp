// Switching mappings from an action: next and previous with wrap-around, by name, by index or
// name from the value; what a switch sends as the mapping message; what the type menus offer.

#include "features/MappingOutputsFixture.h"

#include "core/mapping/QRBPresetManager.h"
#include "features/QRBPresetChangeEventSourceBase.h"
#include "foundation/Date.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

using firing::Float;
using firing::Int;
using firing::String;
using mappingoutputs::MappingOutputsTest;

namespace {

QRBEventSourcePtr nextOrPrevious(bool next) {
    auto source = std::make_shared<QRBPresetChangeEventSource>();
    source->setChangeToNext(next);
    return source;
}

QRBEventSourcePtr byName(const char* name) {
    auto source = std::make_shared<QRBPresetEventSource>();
    source->setPresetName(std::string(name));
    return source;
}

QRBEventSourcePtr indexed() { return std::make_shared<QRBPresetChangeIndexedEventSource>(); }

struct SwitchCase {
    const char* what;
    std::function<QRBEventSourcePtr()> source;
    size_t from;
    firing::Arg value;
    QRBAcceptResult result;
    size_t to;
};

}  // namespace

using PresetChangeTest = MappingOutputsTest;

TEST_F(PresetChangeTest, EachKindSwitchesToItsMappingOfFour) {
    const auto presets = makePresets({"A", "B", "C", "D"});
    // A control outside the mappings still acts on its document.
    auto control = QRBContext::create("/control", manager);
    const std::vector<SwitchCase> cases = {
        {"next wraps from the last to the first", [] { return nextOrPrevious(true); }, 3, Float(1),
         QRBAcceptResult::Done, 0},
        {"next", [] { return nextOrPrevious(true); }, 1, Float(1), QRBAcceptResult::Done, 2},
        {"previous wraps from the first to the last", [] { return nextOrPrevious(false); }, 0, Float(1),
         QRBAcceptResult::Done, 3},
        {"by name", [] { return byName("C"); }, 0, Float(1), QRBAcceptResult::Done, 2},
        {"by name of the current one", [] { return byName("C"); }, 2, Float(1), QRBAcceptResult::Nothing, 2},
        {"by a name no mapping has", [] { return byName("Z"); }, 1, Float(1), QRBAcceptResult::Failed, 1},
        {"index 0.5 of four is the third", indexed, 0, Float(0.5), QRBAcceptResult::Done, 2},
        {"index 0.25", indexed, 0, Float(0.25), QRBAcceptResult::Done, 1},
        {"index 1.0 is past the list", indexed, 1, Float(1.0), QRBAcceptResult::Failed, 1},
        {"an index below the range is the first", indexed, 3, Float(-7), QRBAcceptResult::Done, 0},
        {"an index that is not a number is the first", indexed, 2, Float(NAN), QRBAcceptResult::Done, 0},
        {"a text value names the mapping", indexed, 0, String("D"), QRBAcceptResult::Done, 3},
        {"an integer value is a name too", indexed, 0, Int(3), QRBAcceptResult::Failed, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        manager->presetManager()->setCurrentPreset(presets[c.from]);
        auto source = c.source();
        control->setEventSource(source);
        control->setArgValue(*firing::value(c.value));
        EXPECT_EQ(source->acceptAction(*control), c.result);
        EXPECT_EQ(manager->presetManager()->currentPreset(), presets[c.to]);
    }
}

TEST_F(PresetChangeTest, IndexedOutputsScaleByTheNumberOfMappingsForFloatingInputOnly) {
    makePresets({"A", "B", "C", "D"});
    auto control = QRBContext::create("/control", manager);
    auto source = indexed();
    control->setEventSource(source);
    control->setInternalArgType('f');
    EXPECT_EQ(source->outputScalingFudgeFactorForAction(*control), 4.0);
    control->setInternalArgType('i');
    EXPECT_EQ(source->outputScalingFudgeFactorForAction(*control), 1.0);
    // Without a document there is nothing to count: the factor stays 1, never 0.
    auto loose = std::make_shared<QRBContext>();
    loose->setInternalArgType('f');
    EXPECT_EQ(source->outputScalingFudgeFactorForAction(*loose), 1.0);
}

TEST_F(PresetChangeTest, ARenamedMappingIsStillFoundByTheOutputNamingIt) {
    const auto presets = makePresets({"A", "B"});
    auto source = std::make_shared<QRBPresetEventSource>();
    source->setPresetName(std::string("B"));
    EXPECT_EQ(source->name(), "Change to 'B'");
    addContext(presets[0], "/go", source);
    presets[1]->setName("Bridge");
    EXPECT_EQ(source->presetName(), "Bridge");
    EXPECT_EQ(source->name(), "Change to 'Bridge'");
    source->setPresetName(std::nullopt);
    EXPECT_EQ(source->name(), "<unknown preset>");
}

TEST_F(PresetChangeTest, ThePressOfAnArgumentlessMessageSwitchesAndTheMappingMessageReachesATarget) {
    const auto presets = makePresets({"A", "B", "C", "D"});
    for (const auto& preset : presets) {
        addContext(preset, "/next", nextOrPrevious(true));
        // The message's argument actions are made first: the route takes the whole message.
        auto mapping = addContext(preset, QRBManager::kMappingPath, nullptr);
        mapping->receive(firing::message(QRBManager::kMappingPath, {String(""), Int(0), Int(0)}),
                         manager->oscInputEndpoint(), foundation::Date::now());
        mapping->setEventSource(route(std::nullopt, {"$args"}));
    }
    ASSERT_TRUE(manager->start());
    // Switching the message on sends it for the current mapping.
    manager->presetManager()->setShouldSendPresetNameOnPresetRestore(true);
    managertest::Sender sender(LO_UDP, port);

    // A message without arguments presses (1) and releases (0) a tenth of a second later; the
    // switch comes with the release.
    sender.send(managertest::packet("/next"));
    ASSERT_TRUE(receiveAtLeast(4));
    drain();
    EXPECT_EQ(manager->presetManager()->currentPreset(), presets[1]);
    EXPECT_EQ(receiver.messages,
              (std::vector<std::string>{"/quorbital/mapping ,sii A 1 1", "/quorbital/mapping ,sii A 1 0",
                                        "/quorbital/mapping ,sii B 2 1", "/quorbital/mapping ,sii B 2 0"}));
}

TEST_F(PresetChangeTest, TheMappingsTypeProposesTheSwitchesAndEveryMappingByName) {
    makePresets({"Verse", "Chorus", "Bridge"});
    const QRBEventSourceClass* type = QRBEventSource::typeForTypeDescription("Mappings");
    ASSERT_EQ(type, &QRBPresetChangeEventSourceBase::staticClass());
    EXPECT_EQ(&QRBPresetEventSource::staticClass().type(), type);

    auto control = QRBContext::create("/control", manager);
    control->setInternalArgType('f');
    control->setType(type);
    const foundation::Value proposed = control->proposedEventSourcesCollection();
    for (const char* name : {"Next Mapping", "Previous Mapping", "Change by Index", "Change to 'Verse'",
                             "Change to 'Chorus'", "Change to 'Bridge'"})
        EXPECT_NE(QRBEventSource::findEventSourceWithName(name, proposed), nullptr) << name;
    const auto* groups = proposed.arrayValue();
    ASSERT_NE(groups, nullptr);
    ASSERT_EQ(groups->size(), 3u);
    std::vector<std::string> byName;
    for (const auto& entry : *(*groups)[2].arrayValue()) byName.push_back(*entry.object<QRBEventSource>()->name());
    EXPECT_EQ(byName, (std::vector<std::string>{"Change to 'Bridge'", "Change to 'Chorus'", "Change to 'Verse'"}));

    control->setInternalArgType('s');
    const foundation::Value forText =
        QRBPresetChangeEventSourceBase::classProposedEventSourcesCollection(control.get());
    EXPECT_NE(QRBEventSource::findEventSourceWithName("Change by Name", forText), nullptr);
    EXPECT_EQ(QRBEventSource::findEventSourceWithName("Next Mapping", forText), nullptr);
}
