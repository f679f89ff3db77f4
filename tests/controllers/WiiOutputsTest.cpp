// The outputs that act on a Wii remote of the action's document: lights as a number or a level,
// given back to the slot on detach; rumble, stopped when its action is let go while pressed;
// enabling the slot; the MotionPlus reset's answers; what each proposes and how it is archived.

#include "controllers/QRBWiiEnableEventSource.h"
#include "controllers/QRBWiiLEDEventSource.h"
#include "controllers/QRBWiiMotionPlusReset.h"
#include "controllers/QRBWiiRemote.h"
#include "controllers/QRBWiiRemoteManager.h"
#include "controllers/QRBWiiVibrateEventSource.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBTrigger.h"
#include "core/osc/QRBArg.h"
#include "core/support/ManagerTestSupport.h"
#include "core/QRBPreferences.h"
#include "foundation/KeyedArchiver.h"
#include "platform/wii/FakeWiiRemoteBackend.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

class WiiOutputsFixture : public managertest::ManagerFixture {
protected:
    void SetUp() override {
        QRBPreferences::sharedPreferences().setWiiAddressMappings(std::nullopt);
        ManagerFixture::SetUp();
        ASSERT_TRUE(manager->start());
        remote = wiiRemotes->plugRemote("00:1f:32:00:00:07");
        slot = wii->wiimoteWithSlot(1);
        ASSERT_TRUE(runUntil([&] { return slot->connected(); }));
        control = QRBContext::create("/control", manager);
        currentPreset()->addObject(control);
        control->setInternalArgType('f');
    }
    void TearDown() override {
        control.reset();
        ManagerFixture::TearDown();
        QRBPreferences::sharedPreferences().setWiiAddressMappings(std::nullopt);
    }
    template <class T> std::shared_ptr<T> output(int64_t slotNumber = 1) {
        auto source = std::make_shared<T>();
        source->setSlot(slotNumber);
        control->setEventSource(source);
        return source;
    }
    // Runs the loop briefly so that what the slot told the remote reaches the fake.
    void flush() { settle(0.05); }

    std::shared_ptr<platform::FakeWiiRemote> remote;
    QRBWiiRemotePtr slot;
    QRBContextPtr control;
};

QRBAcceptResult acceptWith(QRBAction& action, const QRBArg& value) {
    action.setArgValue(value);
    return action.eventSource()->acceptAction(action);
}

}  // namespace

TEST_F(WiiOutputsFixture, LEDsShowANumberOrALevel) {
    struct Case {
        uint64_t type;
        QRBArgPtr value;
        uint8_t mask;
    };
    const Case cases[] = {
        {QRBWiiLEDEventSource::kLevel, QRBArg::argWithFloatValue(0.5f), 0b0011},
        {QRBWiiLEDEventSource::kLevel, QRBArg::argWithFloatValue(0.81f), 0b1111},
        // (a float 0.2 is a little above 0.2 as a double)
        {QRBWiiLEDEventSource::kLevel, QRBArg::argOfTypeWithDoubleValue('d', 0.2), 0b0000},
        {QRBWiiLEDEventSource::kLevel, QRBArg::argOfTypeWithDoubleValue('d', 0.6), 0b0011},
        {QRBWiiLEDEventSource::kNumeric, QRBArg::argWithFloatValue(1.0f), 0b1111},
        {QRBWiiLEDEventSource::kNumeric, QRBArg::argWithFloatValue(0.2f), 3},
        {QRBWiiLEDEventSource::kNumeric, QRBArg::argWithInt32Value(9), 0b1001},
        {QRBWiiLEDEventSource::kNumeric, QRBArg::argWithInt32Value(40), 0b1111},
        {QRBWiiLEDEventSource::kNumeric, QRBArg::argWithInt32Value(-3), 0},
        {QRBWiiLEDEventSource::kNumeric, QRBArg::argWithFloatValue(NAN), 0},
        {QRBWiiLEDEventSource::kNumeric, QRBArg::argWithFloatValue(INFINITY), 0b1111},
        {7, QRBArg::argWithFloatValue(1.0f), 0},
    };
    auto leds = output<QRBWiiLEDEventSource>();
    EXPECT_EQ(control->trigger()->mode(), QRBTrigger::kChanged);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value->description() + " type " + std::to_string(c.type));
        leds->setLedType(c.type);
        remote->sendReport({});  // nothing; the lights are only what the output set
        EXPECT_EQ(acceptWith(*control, *c.value), QRBAcceptResult::Done);
        flush();
        EXPECT_EQ(remote->leds(), c.mask);
    }
    EXPECT_EQ(leds->outputScalingFudgeFactor(), 4.0);
    leds->setLedType(QRBWiiLEDEventSource::kNumeric);
    EXPECT_EQ(leds->outputScalingFudgeFactor(), 15.0);
    EXPECT_TRUE(leds->requireIntegralScalingsFormatting());

    // Even a disabled slot shows them; detached, the lights go back to the slot's number.
    slot->setEnabled(false);
    acceptWith(*control, *QRBArg::argWithInt32Value(6));
    flush();
    EXPECT_EQ(remote->leds(), 6);
    slot->setEnabled(true);
    acceptWith(*control, *QRBArg::argWithInt32Value(6));
    control->setEventSource(nullptr);
    flush();
    EXPECT_EQ(remote->leds(), 0b0001);

    // A slot that shows the mapping's number gets that back.
    slot->setSyncLEDsWithPresetNumber(true);
    wii->setCurrentPresetNumber(3);
    output<QRBWiiLEDEventSource>();
    acceptWith(*control, *QRBArg::argWithInt32Value(15));
    flush();
    EXPECT_EQ(remote->leds(), 0b1111);
    control->setEventSource(nullptr);
    flush();
    EXPECT_EQ(remote->leds(), 0b0100);
}

TEST_F(WiiOutputsFixture, SlotNumbersAboveFourLightAllButOneOfTheFourLEDs) {
    const std::pair<int64_t, uint8_t> cases[] = {{1, 0b0001}, {4, 0b1000}, {5, 0b1110},
                                                 {6, 0b1101}, {8, 0b0111}, {-1, 0}};
    for (const auto& [number, mask] : cases) {
        slot->updateLEDsWithNumber(number);
        flush();
        EXPECT_EQ(remote->leds(), mask) << number;
    }
}

TEST_F(WiiOutputsFixture, VibrateFollowsThePressAndStopsWhenLetGoWhilePressed) {
    output<QRBWiiVibrateEventSource>();
    EXPECT_EQ(control->trigger()->mode(), QRBTrigger::kEither);
    control->fire(*QRBArg::argWithFloatValue(1.0f));
    flush();
    EXPECT_TRUE(remote->rumble());
    control->fire(*QRBArg::argWithFloatValue(0.0f));
    flush();
    EXPECT_FALSE(remote->rumble());

    // Held, then the output is taken away: the rumble stops.
    control->fire(*QRBArg::argWithFloatValue(1.0f));
    flush();
    ASSERT_TRUE(remote->rumble());
    control->setEventSource(nullptr);
    flush();
    EXPECT_FALSE(remote->rumble());

    // The same with the action switched off, which holds its fires back.
    output<QRBWiiVibrateEventSource>();
    control->fire(*QRBArg::argWithFloatValue(1.0f));
    flush();
    ASSERT_TRUE(remote->rumble());
    control->setEnabled(false);
    control->setEventSource(nullptr);
    flush();
    EXPECT_FALSE(remote->rumble());
}

TEST_F(WiiOutputsFixture, EnableSwitchesTheSlotAndNothingReachesAnAbsentRemote) {
    output<QRBWiiEnableEventSource>();
    EXPECT_EQ(acceptWith(*control, *QRBArg::argWithFloatValue(0.0f)), QRBAcceptResult::Done);
    EXPECT_FALSE(slot->enabled());
    EXPECT_EQ(acceptWith(*control, *QRBArg::argWithFloatValue(1.0f)), QRBAcceptResult::Done);
    EXPECT_TRUE(slot->enabled());

    // Slot 2 has no remote; slot numbers outside the eight name none.
    for (int64_t number : {2, 0, 9, -4}) {
        output<QRBWiiEnableEventSource>(number);
        EXPECT_EQ(acceptWith(*control, *QRBArg::argWithFloatValue(0.0f)), QRBAcceptResult::Nothing) << number;
    }
    EXPECT_TRUE(slot->enabled());
}

TEST_F(WiiOutputsFixture, MotionPlusResetAnswersByTheExtension) {
    output<QRBWiiMotionPlusReset>();
    EXPECT_EQ(control->trigger()->mode(), QRBTrigger::kDown);
    const std::pair<std::optional<int64_t>, QRBAcceptResult> cases[] = {
        {std::nullopt, QRBAcceptResult::Nothing},
        {devices::WiiRemoteConnection::kMotionPlusExtension, QRBAcceptResult::Done},
        {1, QRBAcceptResult::Failed},
    };
    for (const auto& [extension, result] : cases) {
        remote->setExtensionType(extension);
        EXPECT_EQ(acceptWith(*control, *QRBArg::argWithFloatValue(1.0f)), result);
    }
    EXPECT_EQ(remote->trackingResets(), 1u);
}

TEST(WiiOutputsTest, ProposalsNameTheEightSlots) {
    auto names = [](const foundation::Value& list) {
        std::vector<std::string> out;
        for (const auto& entry : *list.arrayValue()) {
            auto source = std::dynamic_pointer_cast<QRBWiiAbstractEventSource>(entry.objectValue());
            out.push_back(source ? *source->name() + "@" + std::to_string(source->slot()) : "-");
        }
        return out;
    };
    const std::vector<std::string> plain = {"Wiimote 1@1", "Wiimote 2@2", "Wiimote 3@3", "Wiimote 4@4",
                                            "Wiimote 5@5", "Wiimote 6@6", "Wiimote 7@7", "Wiimote 8@8"};
    EXPECT_EQ(names(QRBWiiVibrateEventSource::classProposedEventSourcesCollection(nullptr)), plain);
    EXPECT_EQ(names(QRBWiiEnableEventSource::classProposedEventSourcesCollection(nullptr)), plain);
    EXPECT_EQ(names(QRBWiiMotionPlusReset::classProposedEventSourcesCollection(nullptr)), plain);

    const auto leds = QRBWiiLEDEventSource::classProposedEventSourcesCollection(nullptr);
    const auto& groups = *leds.arrayValue();
    ASSERT_EQ(groups.size(), 3u);
    EXPECT_EQ(groups[1].objectValue(), QRBEventSource::menuSeparatorMarker());
    for (size_t g : {0, 2}) {
        const auto& outputs = *groups[g].arrayValue();
        ASSERT_EQ(outputs.size(), 8u);
        auto third = std::dynamic_pointer_cast<QRBWiiLEDEventSource>(outputs[2].objectValue());
        ASSERT_NE(third, nullptr);
        EXPECT_EQ(*third->name(), g == 0 ? "Wiimote 3 \u2013 Numeric" : "Wiimote 3 \u2013 Level");
        EXPECT_EQ(third->ledType(), g == 0 ? 0u : 1u);
        EXPECT_EQ(third->slot(), 3);
    }
    // A proposal matches the output an action holds by slot (and light type).
    auto a = std::make_shared<QRBWiiLEDEventSource>();
    auto b = std::make_shared<QRBWiiLEDEventSource>();
    EXPECT_TRUE(a->isEqualToEventSource(*b));
    b->setSlot(2);
    EXPECT_FALSE(a->isEqualToEventSource(*b));
    b->setSlot(1);
    b->setLedType(1);
    EXPECT_FALSE(a->isEqualToEventSource(*b));
    auto vibrate = std::make_shared<QRBWiiVibrateEventSource>();
    EXPECT_FALSE(vibrate->isEqualToEventSource(*std::make_shared<QRBWiiEnableEventSource>()));
}

TEST(WiiOutputsTest, ArchivesInTheCurrentAndTheOlderForm) {
    testsupport::TempDir dir;
    const std::string path = dir.file("leds.archive");
    auto leds = std::make_shared<QRBWiiLEDEventSource>();
    leds->setSlot(6);
    leds->setLedType(1);
    leds->setName("Wiimote 6 \u2013 Level");
    foundation::writeFileAtomically(path,
                                    foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(leds)));
    // As a separate reader sees it, then the older form as a separate writer makes it.
    auto result = testsupport::runPython(std::string("import sys\nsys.path.insert(0, '") + QUORBITAL_TEST_DATA + R"PY(')
import archives
p = archives.load(sys.argv[1])
objects = p['$objects']
leds = objects[p['$top']['root'].data]
assert objects[leds['$class'].data]['$classes'] == ['QRBWiiLEDEventSource', 'QRBWiiAbstractEventSource', 'QRBEventSource', 'NSObject'], objects[leds['$class'].data]
assert leds['Version'] == 2 and leds['slot'] == 6 and leds['QRBWiiLEDType'] == 1, leds
a = archives.Archive()
root = a.obj(['QRBWiiVibrateEventSource', 'QRBWiiAbstractEventSource', 'QRBEventSource', 'NSObject'],
             QRBEventSourceName=a.string('Wiimote 4'), Version=1, QRBWiiRemoteSlot=a.ref(4))
a.save(sys.argv[1] + '.old', {'root': root})
)PY",
                                         "'" + path + "'");
    ASSERT_EQ(result.exitCode, 0) << result.output;
    auto decoded = foundation::KeyedUnarchiver::unarchiveRoot<QRBWiiLEDEventSource>(foundation::readFile(path));
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->slot(), 6);
    EXPECT_EQ(decoded->ledType(), 1u);
    EXPECT_EQ(*decoded->name(), "Wiimote 6 \u2013 Level");
    auto old =
        foundation::KeyedUnarchiver::unarchiveRoot<QRBWiiVibrateEventSource>(foundation::readFile(path + ".old"));
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(old->slot(), 4);
}
