// Switching another action on and off: a fixed state from a collapsed output range, a toggle on
// each crossing, once per press for the toggled kind, the hand-over of a held value, a target that
// is gone; and a variable written by one action and read by another's route.

#include "features/MappingOutputsFixture.h"

#include "features/QRBMetaEnable.h"
#include "features/QRBVariable.h"
#include "foundation/Date.h"

#include <gtest/gtest.h>

using firing::Float;
using foundation::Date;
using mappingoutputs::MappingOutputsTest;

class EnableTest : public MappingOutputsTest {
protected:
    void SetUp() override {
        MappingOutputsTest::SetUp();
        target = addContext(currentPreset(), "/target", std::make_shared<managertest::ProbeEventSource>(firings));
        control = QRBContext::create("/switch", manager);
        currentPreset()->addObject(control);
    }
    template <class T> std::shared_ptr<T> enable(const QRBActionPtr& of) {
        auto source = std::make_shared<T>();
        source->setTargetLocation(of->location());
        control->setEventSource(source);
        return source;
    }
    void press(const QRBActionPtr& action, float value) { action->fire(*QRBArg::argWithFloatValue(value)); }
    std::vector<double> targetValues() const {
        std::vector<double> values;
        for (const auto& f : *firings) values.push_back(f.value);
        return values;
    }

    std::shared_ptr<std::vector<managertest::Firing>> firings = std::make_shared<std::vector<managertest::Firing>>();
    QRBContextPtr target, control;
};

TEST_F(EnableTest, CollapsedRangesSetAStateOnEveryMessageAndOthersToggleOnCrossings) {
    struct Case {
        const char* what;
        bool toggled;  // the kind that fires on the crossing up only
        double outMin, outMax;
        bool initially;
        bool resetBeforeEach;  // put the target back to `initially` before each value
        std::vector<float> values;
        std::vector<bool> after;
    };
    const std::vector<Case> cases = {
        {"0..0 disables on every message", false, 0, 0, true, true, {1, 0, 1}, {false, false, false}},
        {"1..1 enables on every message", false, 1, 1, false, true, {0, 1, 0}, {true, true, true}},
        {"0..1 toggles on each crossing",
         false,
         0,
         1,
         true,
         false,
         {0.2f, 0.8f, 0.9f, 0.3f, 0.1f},
         {true, false, false, true, true}},
        {"the toggled kind toggles once per press",
         true,
         0,
         1,
         true,
         false,
         {0.2f, 0.8f, 0.9f, 0.3f, 0.8f},
         {true, false, false, false, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.toggled)
            enable<detail::QRBToggledEnable>(target);
        else
            enable<detail::QRBLatchedEnable>(target);
        control->setOutputMin(c.outMin);
        control->setOutputMax(c.outMax);
        control->setArgValue(*QRBArg::argWithFloatValue(0));
        control->setPreviousArgValue(*QRBArg::argWithFloatValue(0));
        target->setEnabled(c.initially);
        for (size_t i = 0; i < c.values.size(); ++i) {
            if (c.resetBeforeEach) target->setEnabled(c.initially);
            press(control, c.values[i]);
            EXPECT_EQ(target->isEnabled(), c.after[i]) << "after value " << i;
        }
        control->setEventSource(nullptr);
    }
}

TEST_F(EnableTest, ATargetThatIsGoneFailsAndChangesNothing) {
    auto source = enable<detail::QRBLatchedEnable>(target);
    EXPECT_EQ(source->name(), "/target");
    currentPreset()->removeObject(target);
    control->setOutputMin(0);
    control->setOutputMax(0);
    control->setArgValue(*QRBArg::argWithFloatValue(1));
    EXPECT_EQ(source->acceptAction(*control), QRBAcceptResult::Failed);
    EXPECT_TRUE(target->isEnabled());
}

TEST_F(EnableTest, TheCombiningKindHandsAHeldValueOver) {
    enable<detail::QRBLatchedCombine>(target);
    press(target, 1);  // held
    ASSERT_EQ(targetValues(), (std::vector<double>{1}));

    // Switched off while held: its output sees a release first.
    press(control, 1);
    EXPECT_FALSE(target->isEnabled());
    EXPECT_EQ(targetValues(), (std::vector<double>{1, 0}));
    // Switched on again while still held: its output sees the press.
    press(control, 0);
    EXPECT_TRUE(target->isEnabled());
    EXPECT_EQ(targetValues(), (std::vector<double>{1, 0, 1}));
}

TEST_F(EnableTest, ACombiningOutputThatTargetsItsOwnActionTogglesItWithoutFiringItAgain) {
    enable<detail::QRBLatchedCombine>(control);
    press(control, 1);
    EXPECT_FALSE(control->isEnabled());
}

TEST_F(EnableTest, ProposalsListEveryOtherActionOfTheMapping) {
    const foundation::Value proposed = detail::QRBToggledEnable::classProposedEventSourcesCollection(control.get());
    auto hit = std::dynamic_pointer_cast<detail::QRBToggledEnable>(
        QRBEventSource::findEventSourceWithName("/target", proposed));
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(QRBEventSource::findEventSourceWithName("/switch", proposed), nullptr);

    const foundation::Value none = QRBMetaEnable::classProposedEventSourcesCollection(nullptr);
    EXPECT_NE(none.arrayValue()->at(0).dictionaryValue()->count(QRBMetaEnable::kNoTargetTitle), 0u);
}

using VariableTest = MappingOutputsTest;

TEST_F(VariableTest, AVariableWrittenByOneActionIsReadByAnothersRoute) {
    auto variable = std::make_shared<QRBVariable>();
    variable->setIndex(5);
    EXPECT_EQ(variable->name(), "5");
    auto writer = addContext(currentPreset(), "/v", variable);
    auto reader = addContext(currentPreset(), "/out", route(std::nullopt, {"$var[5]"}));
    ASSERT_TRUE(manager->start());
    const QRBArgPtr slot = manager->variableValueAtIndex(5);

    writer->receive(firing::message("/v", {Float(0.25)}), manager->oscInputEndpoint(), Date::now());
    EXPECT_EQ(manager->variableValueAtIndex(5), slot) << "the variable keeps its identity";
    EXPECT_EQ(slot->libloType(), 'f');
    EXPECT_EQ(slot->floatValue(), 0.25f);
    reader->receive(firing::message("/out", {Float(1)}), manager->oscInputEndpoint(), Date::now());
    ASSERT_TRUE(receiveAtLeast(1));
    EXPECT_EQ(receiver.messages, (std::vector<std::string>{"/out ,f 0.25"}));

    variable->setIndex(200);
    EXPECT_EQ(variable->acceptAction(*writer), QRBAcceptResult::Failed);
    EXPECT_EQ(QRBVariable::classProposedEventSourcesCollection(nullptr).arrayValue()->size(), 128u);
}
