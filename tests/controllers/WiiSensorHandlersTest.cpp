// What each event of a Wii remote's report becomes under "/wii/<slot>/...": the addresses of every
// button, analog button and stick the remote and its extensions have, float arguments only, in
// their order; the turntable's change detection, the balance board, MotionPlus and the battery;
// the accelerometer's angles and the IR camera's points and pointer, smoothed.

#include "controllers/QRBWKAccelEventHandler.h"
#include "controllers/QRBWKAnalogButtonEventHandler.h"
#include "controllers/QRBWKButtonEventHandler.h"
#include "controllers/QRBWKIREventHandler.h"
#include "controllers/QRBWKJoystickEventHandler.h"
#include "controllers/QRBWiiRemote.h"
#include "controllers/QRBWiiRemoteManager.h"
#include "controllers/devices/DeviceLayers.h"
#include "core/QRBPreferences.h"
#include "foundation/RunLoop.h"
#include "platform/wii/FakeWiiRemoteBackend.h"

#include <gtest/gtest.h>
#include <lo/lo.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Message {
    std::string path;
    std::string types;
    std::vector<float> values;
};

// The messages the slot's handlers make of one report's events, in the bundle's order, read back
// from the bundle's bytes with liblo.
std::vector<Message> report(QRBWiiRemote& slot, const std::vector<devices::WiiEvent>& events) {
    slot.wiimoteWillInterpretReport();
    for (const auto& event : events) slot.eventDispatcher()->dispatchEvent(event);
    std::vector<Message> out;
    const QRBWKReportBundle* bundle = slot.oscBundle();
    EXPECT_NE(bundle, nullptr);
    if (!bundle) return out;
    std::vector<uint8_t> bytes(bundle->data(), bundle->data() + bundle->size());
    EXPECT_EQ(std::memcmp(bytes.data(), "#bundle\0\0\0\0\0\0\0\0\1", 16), 0) << "an immediate bundle";
    for (size_t at = 16; at + 4 <= bytes.size();) {
        const size_t size =
            (size_t{bytes[at]} << 24) | (size_t{bytes[at + 1]} << 16) | (size_t{bytes[at + 2]} << 8) | bytes[at + 3];
        at += 4;
        int result = 0;
        lo_message message = lo_message_deserialise(bytes.data() + at, size, &result);
        EXPECT_NE(message, nullptr) << result;
        if (!message) break;
        Message m{reinterpret_cast<const char*>(bytes.data() + at), lo_message_get_types(message), {}};
        lo_arg** argv = lo_message_get_argv(message);
        for (size_t a = 0; a < m.types.size(); ++a) {
            // liblo packs the arguments without the union's alignment.
            float value = NAN;
            if (m.types[a] == 'f') std::memcpy(&value, static_cast<const void*>(argv[a]), sizeof value);
            m.values.push_back(value);
        }
        lo_message_free(message);
        out.push_back(std::move(m));
        at += size;
    }
    EXPECT_EQ(out.size(), bundle->messageCount());
    // Not sending: the bundle is only dropped.
    slot.wiimoteDidInterpretReport();
    return out;
}
std::vector<Message> report(QRBWiiRemote& slot, const devices::WiiEvent& event) {
    return report(slot, std::vector<devices::WiiEvent>{event});
}

devices::WiiEvent event(int type, int source, int subtype = 0) {
    devices::WiiEvent e;
    e.type = type;
    e.source = source;
    e.subtype = subtype;
    return e;
}
devices::WiiEvent button(int source, uint32_t code, bool up = false) {
    auto e = event(0, source);
    e.button = code;
    e.buttonIsUp = up;
    return e;
}
devices::WiiEvent stick(int type, int source, int subtype, double x, double y = 0) {
    auto e = event(type, source, subtype);
    e.x = x;
    e.y = y;
    return e;
}
devices::WiiEvent accel(int source, double x, double y, double z) {
    auto e = event(1, source);
    e.x = x;
    e.y = y;
    e.z = z;
    return e;
}

void expectMessage(const std::vector<Message>& messages, const std::string& path, const std::vector<float>& values) {
    ASSERT_EQ(messages.size(), 1u) << path;
    EXPECT_EQ(messages[0].path, path);
    EXPECT_EQ(messages[0].types, std::string(values.size(), 'f'));
    ASSERT_EQ(messages[0].values.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) EXPECT_NEAR(messages[0].values[i], values[i], 1e-6) << path << " " << i;
}

class WiiSensorFixture : public ::testing::Test {
protected:
    QRBWiiRemotePtr slot = QRBWiiRemote::initWithSlot(3);
};

}  // namespace

TEST_F(WiiSensorFixture, EveryButtonOfEverySourceHasItsAddressAndUnknownOnesNone) {
    struct Case {
        int source;
        uint32_t code;
        const char* address;
    };
    const Case cases[] = {
        {0, 0x0800, "Up"},
        {0, 0x0400, "Down"},
        {0, 0x0100, "Left"},
        {0, 0x0200, "Right"},
        {0, 0x0010, "Minus"},
        {0, 0x0080, "Home"},
        {0, 0x1000, "Plus"},
        {0, 0x0002, "1"},
        {0, 0x0001, "2"},
        {0, 0x0008, "A"},
        {0, 0x0004, "B"},
        {1, 0x0002, "nunchuk/button/C"},
        {1, 0x0001, "nunchuk/button/Z"},
        {2, 0x0001, "classic/button/Up"},
        {2, 0x4000, "classic/button/Down"},
        {2, 0x0002, "classic/button/Left"},
        {2, 0x8000, "classic/button/Right"},
        {2, 0x1000, "classic/button/Minus"},
        {2, 0x0800, "classic/button/Home"},
        {2, 0x0400, "classic/button/Plus"},
        {2, 0x0008, "classic/button/X"},
        {2, 0x0020, "classic/button/Y"},
        {2, 0x0010, "classic/button/A"},
        {2, 0x0040, "classic/button/B"},
        {2, 0x2000, "classic/button/L"},
        {2, 0x0200, "classic/button/R"},
        {2, 0x0080, "classic/button/ZL"},
        {2, 0x0004, "classic/button/ZR"},
        {8, 0x0400, "guitar/button/Plus"},
        {8, 0x1000, "guitar/button/Minus"},
        {8, 0x4000, "guitar/strum/Down"},
        {8, 0x0001, "guitar/strum/Up"},
        {8, 0x0008, "guitar/key/Y"},
        {8, 0x0080, "guitar/key/O"},
        {8, 0x0010, "guitar/key/G"},
        {8, 0x0020, "guitar/key/B"},
        {8, 0x0040, "guitar/key/R"},
        {16, 0x0400, "drums/button/Plus"},
        {16, 0x1000, "drums/button/Minus"},
        {16, 0x0004, "drums/pad/K/trig"},
        {16, 0x0020, "drums/pad/Y/trig"},
        {16, 0x0080, "drums/pad/O/trig"},
        {16, 0x0010, "drums/pad/G/trig"},
        {16, 0x0008, "drums/pad/B/trig"},
        {16, 0x0040, "drums/pad/R/trig"},
        {64, 0x2000, "dj/left/key/R"},
        {64, 0x0008, "dj/left/key/G"},
        {64, 0x0080, "dj/left/key/B"},
        {64, 0x0200, "dj/right/key/R"},
        {64, 0x0020, "dj/right/key/G"},
        {64, 0x0004, "dj/right/key/B"},
        {64, 0x0010, "dj/button/E"},
        {64, 0x0400, "dj/button/Plus"},
        {64, 0x1000, "dj/button/Minus"},
    };
    for (const auto& c : cases) {
        const std::string tail = c.source == 0 ? std::string("button/") + c.address : c.address;
        SCOPED_TRACE(tail);
        expectMessage(report(*slot, button(c.source, c.code)), "/wii/3/" + tail, {1.0f});
        expectMessage(report(*slot, button(c.source, c.code, true)), "/wii/3/" + tail, {0.0f});
    }
    for (const auto& e : {button(0, 0x0020), button(1, 0x0008), button(32, 0x0008), button(3, 0x0008)})
        EXPECT_TRUE(report(*slot, e).empty()) << e.source << " " << e.button;
}

TEST_F(WiiSensorFixture, AnalogButtonsAndSticksHaveTheirAddressesAndArguments) {
    struct Case {
        devices::WiiEvent event;
        const char* address;  // null: nothing sent
        std::vector<float> values;
    };
    const Case cases[] = {
        {stick(4, 2, 1, 0.3), "classic/analog/L", {0.3f}},
        {stick(4, 2, 2, 0.4), "classic/analog/R", {0.4f}},
        {stick(4, 8, 3, 0.6), "guitar/whammy", {0.6f}},
        {stick(4, 16, 0x04, 0.1), "drums/pad/K/velo", {0.1f}},
        {stick(4, 16, 0x20, 0.2), "drums/pad/Y/velo", {0.2f}},
        {stick(4, 16, 0x80, 0.3), "drums/pad/O/velo", {0.3f}},
        {stick(4, 16, 0x10, 0.4), "drums/pad/G/velo", {0.4f}},
        {stick(4, 16, 0x08, 0.5), "drums/pad/B/velo", {0.5f}},
        {stick(4, 16, 0x40, 0.6), "drums/pad/R/velo", {0.6f}},
        {stick(4, 64, 1, 0.7), "dj/effect", {0.7f}},
        {stick(4, 2, 3, 0.7), nullptr, {}},
        {stick(4, 16, 0x01, 0.7), nullptr, {}},
        {stick(4, 0, 1, 0.7), nullptr, {}},
        {stick(3, 1, 7, 0.1, 0.9), "nunchuk/joy", {0.1f, 0.9f}},
        {stick(3, 2, 1, 0.2, 0.8), "classic/joyl", {0.2f, 0.8f}},
        {stick(3, 2, 2, 0.3, 0.7), "classic/joyr", {0.3f, 0.7f}},
        {stick(3, 8, 4, 0.4, 1.0), "guitar/strip", {0.4f, 1.0f}},
        {stick(3, 8, 1, 0.5, 0.5), "guitar/stick", {0.5f, 0.5f}},
        {stick(3, 16, 9, 0.6, 0.4), "drums/stick", {0.6f, 0.4f}},
        {stick(3, 64, 1, 0.7, 0.3), "dj/joy", {0.7f, 0.3f}},
        {stick(3, 2, 3, 0.7, 0.3), nullptr, {}},
        {stick(3, 64, 3, 0.7, 0.3), nullptr, {}},
        {stick(3, 0, 0, 0.7, 0.3), nullptr, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address ? c.address : "none");
        const auto messages = report(*slot, c.event);
        if (c.address)
            expectMessage(messages, std::string("/wii/3/") + c.address, c.values);
        else
            EXPECT_TRUE(messages.empty());
    }
}

TEST_F(WiiSensorFixture, EventTypesBeyondTheKnownOnesAreIgnored) {
    for (int type : {5, 9, 42, -1}) EXPECT_TRUE(report(*slot, stick(type, 1, 0, 0.5, 0.5)).empty()) << type;
}

TEST_F(WiiSensorFixture, ASlotChangeFormatsTheAddressesAgain) {
    expectMessage(report(*slot, button(0, 0x0008)), "/wii/3/button/A", {1.0f});
    slot->setSlotInternal(5);
    expectMessage(report(*slot, button(0, 0x0008, true)), "/wii/5/button/A", {0.0f});
}

TEST_F(WiiSensorFixture, TurntablePlattersAndCrossfaderAreSentWhenTheyMove) {
    // The left platter: the first value always goes, a resting one once.
    expectMessage(report(*slot, stick(4, 64, 2, 0.0)), "/wii/3/dj/left/platter", {0.5f});
    EXPECT_TRUE(report(*slot, stick(4, 64, 2, 0.0)).empty());
    expectMessage(report(*slot, stick(4, 64, 2, 0.75)), "/wii/3/dj/left/platter", {0.25f});
    expectMessage(report(*slot, stick(4, 64, 2, 0.2)), "/wii/3/dj/left/platter", {0.7f});

    // The right platter and the crossfader share one event, each sent on its own change.
    auto first = report(*slot, stick(3, 64, 2, 0.0, 0.3));
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].path, "/wii/3/dj/right/platter");
    EXPECT_FLOAT_EQ(first[0].values.at(0), 0.5f);
    EXPECT_EQ(first[1].path, "/wii/3/dj/xfade");
    EXPECT_FLOAT_EQ(first[1].values.at(0), 0.3f);
    EXPECT_TRUE(report(*slot, stick(3, 64, 2, 0.0, 0.3)).empty());
    expectMessage(report(*slot, stick(3, 64, 2, 0.0, 0.4)), "/wii/3/dj/xfade", {0.4f});
    expectMessage(report(*slot, stick(3, 64, 2, 0.9, 0.4)), "/wii/3/dj/right/platter", {0.4f});
}

TEST_F(WiiSensorFixture, BalanceBoardMotionPlusAndBattery) {
    auto weights = event(7, 0);
    weights.weights = {0.25, 0.25, 0.25, 0.25};
    expectMessage(report(*slot, weights), "/wii/3/balance", {0.25f, 0.25f, 0.25f, 0.25f, 1.0f, 0.5f, 0.5f});
    weights.weights = {1, 2, 3, 4};
    // w2, w3, w0, w1, the sum, then where the load lies.
    expectMessage(report(*slot, weights), "/wii/3/balance",
                  {3, 4, 1, 2, 10, (2 + 4 + 1 - (1 + 3)) * 0.5f, (1 - (3 + 4) + (1 + 2)) * 0.5f});

    auto motion = stick(8, 32, 0, 0.1, 0.2);
    motion.z = 0.3;
    motion.deltaX = -4;
    motion.deltaY = 5;
    motion.deltaZ = 6.5;
    expectMessage(report(*slot, motion), "/wii/3/motion/angles", {0.1f, 0.2f, 0.3f});
    slot->setOutputRawMotion(true);
    auto both = report(*slot, motion);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[1].path, "/wii/3/motion/velo");
    EXPECT_EQ(both[1].values, (std::vector<float>{-4, 5, 6.5}));

    auto battery = event(6, 0, 3);
    battery.status = 96;
    EXPECT_TRUE(report(*slot, battery).empty()) << "the level is not sent unless asked for";
    EXPECT_FLOAT_EQ(slot->batteryLevel(), 100.0f);
    slot->setOutputBatteryLevel(true);
    expectMessage(report(*slot, battery), "/wii/3/battery", {1.0f});
    battery.status = 48;
    expectMessage(report(*slot, battery), "/wii/3/battery", {0.5f});
    EXPECT_FLOAT_EQ(slot->batteryLevel(), 50.0f);
    battery.status = 1000;
    expectMessage(report(*slot, battery), "/wii/3/battery", {1.0f});
    // Other status subtypes send nothing.
    EXPECT_TRUE(report(*slot, event(6, 0, 1)).empty());
}

TEST_F(WiiSensorFixture, AccelerometerAnglesFromTheRemoteAndTheNunchuk) {
    slot->setSmoothingAcc(1);  // unfiltered
    slot->setOutputXYZ(true);
    // Lying flat: level on both axes; yaw cannot be told and keeps its start value.
    auto flat = report(*slot, accel(0, 0.5, 0.5, 1.0));
    ASSERT_EQ(flat.size(), 2u);
    EXPECT_EQ(flat[0].path, "/wii/3/accel/xyz");
    EXPECT_EQ(flat[0].values, (std::vector<float>{0.5f, 0.5f, 1.0f}));
    expectMessage({flat[1]}, "/wii/3/accel/pry", {0.5f, 0.5f, 0.0f, 1.0f});

    // Free fall: no magnitude.
    auto fall = report(*slot, accel(0, 0.5, 0.5, 0.5));
    EXPECT_NEAR(fall.at(1).values.at(3), 0.0, 1e-6);

    // Tilted so that only x sees gravity: pitch depends on y and z, both within the dead zone,
    // and keeps its last value, while roll and yaw are recomputed.
    slot->setOutputXYZ(false);
    report(*slot, accel(0, 0.5, 0.25, 1.0));
    const double keptPitch = 0.5 - std::atan2(-0.5, 1.0) / M_PI;
    auto tilted = report(*slot, accel(0, 1.0, 0.5 + 0.005, 0.5 - 0.005));
    const float side = float(0.5 + std::atan2(1.0, 0.01) / M_PI);
    // The magnitude, a little above 1 here, is clipped.
    expectMessage(tilted, "/wii/3/accel/pry", {float(keptPitch), side, side, 1.0f});

    // The nunchuk keeps its own angles and addresses; other sources have no accelerometer.
    slot->setOutputXYZ(true);
    auto nunchuk = report(*slot, accel(1, 0.5, 0.5, 1.0));
    ASSERT_EQ(nunchuk.size(), 2u);
    EXPECT_EQ(nunchuk[0].path, "/wii/3/nunchuk/accel/xyz");
    expectMessage({nunchuk[1]}, "/wii/3/nunchuk/accel/pry", {0.5f, 0.5f, 0.0f, 1.0f});
    EXPECT_TRUE(report(*slot, accel(2, 0.5, 0.5, 1.0)).empty());
    auto* handler =
        dynamic_cast<QRBWKAccelEventHandler*>(slot->eventDispatcher()->handlerForKey("accelerometers").get());
    ASSERT_NE(handler, nullptr);
    EXPECT_THROW(handler->cachedXYZMethod(2), foundation::Exception);
    EXPECT_THROW(handler->cachedPRYMethod(64), foundation::Exception);
}

TEST_F(WiiSensorFixture, SmoothingFollowsTheSlotAndStaysBoundedOutsideItsRange) {
    slot->setOutputPRY(false);
    slot->setOutputXYZ(true);
    // The default smoothing (10) halves each step.
    report(*slot, accel(0, 0.0, 0.0, 0.0));
    EXPECT_NEAR(report(*slot, accel(0, 1.0, 0.0, 0.0)).at(0).values[0], 0.5, 1e-6);
    slot->setSmoothingAcc(0);
    EXPECT_NEAR(report(*slot, accel(0, 0.2, 0.0, 0.0)).at(0).values[0], 0.2, 1e-6);
    // Settings the slot accepts beyond 0..100 keep the filter converging, never diverging or NaN.
    for (double smoothing : {150.0, 1e9, -5.0}) {
        SCOPED_TRACE(smoothing);
        slot->setSmoothingAcc(smoothing);
        float last = 0;
        for (int i = 0; i < 200; ++i) last = report(*slot, accel(0, 1.0, 0.0, 0.0)).at(0).values[0];
        EXPECT_TRUE(std::isfinite(last));
        EXPECT_GE(last, 0.2f);
        EXPECT_LE(last, 1.0f);
    }
}

TEST_F(WiiSensorFixture, IRPointsAndPointer) {
    slot->setSmoothingIR(1);
    slot->setOutputIR(true);
    slot->setOutputRawIR(true);
    auto ir = event(2, 0);
    ir.pointerX = 0.0;
    ir.pointerY = -1.0;
    ir.points = {{true, 3, 0.2, 0.3}, {true, 15, 0.6, 0.7}};
    auto seen = report(*slot, ir);
    ASSERT_EQ(seen.size(), 3u);
    expectMessage({seen[0]}, "/wii/3/ir/xys/1", {0.2f, 0.3f, 0.25f});
    expectMessage({seen[1]}, "/wii/3/ir/xys/2", {0.6f, 0.7f, 1.0f});
    expectMessage({seen[2]}, "/wii/3/ir", {0.5f, 0.0f});

    // The pointer lost: the points still go. A hidden point repeats its last place with size 0.
    ir.pointerX = ir.pointerY = QRBWKIREventHandler::kNoPosition;
    ir.points[1] = {false, 9, 0.9, 0.9};
    seen = report(*slot, ir);
    ASSERT_EQ(seen.size(), 2u);
    expectMessage({seen[1]}, "/wii/3/ir/xys/2", {0.6f, 0.7f, 0.0f});
    ir.pointerX = NAN;
    ir.pointerY = 0.5;
    EXPECT_EQ(report(*slot, ir).size(), 2u);

    // More than four points: the first four go.
    ir.points.assign(6, {true, 0, 0.1, 0.1});
    seen = report(*slot, ir);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[3].path, "/wii/3/ir/xys/4");

    // A pointer beyond the camera's range is clipped to 0..1.
    ir.points.clear();
    ir.pointerX = 3.0;
    ir.pointerY = -3.0;
    expectMessage(report(*slot, ir), "/wii/3/ir", {1.0f, 0.0f});
}

TEST(WiiStatusTest, MotionPlusCalibrationShowsOnTheManagerAndExtensionsReachTheMotionPlusSettings) {
    QRBPreferences::sharedPreferences().setWiiAddressMappings(std::nullopt);
    auto backend = std::make_shared<platform::FakeWiiRemoteBackend>();
    devices::DeviceLayers layers;
    layers.wiiRemotes = backend;
    devices::DeviceLayers::install(layers);
    {
        auto manager = std::make_shared<QRBWiiRemoteManager>();
        auto remote = backend->plugRemote("00:1f:32:00:00:09");
        auto slot = manager->wiimoteWithSlot(1);
        ASSERT_TRUE(foundation::RunLoop::main().runUntil([&] { return slot->connected(); }, 5.0));

        auto calibration = event(6, 32, 6);
        calibration.status = 0;
        EXPECT_TRUE(report(*slot, calibration).empty());
        EXPECT_EQ(manager->statusText(), "MotionPlus Calibration: Please stand still.");
        calibration.status = 1;
        report(*slot, calibration);
        EXPECT_EQ(manager->statusText(), std::nullopt);
        // The same subtype from another source is no calibration.
        calibration.source = 0;
        calibration.status = 0;
        report(*slot, calibration);
        EXPECT_EQ(manager->statusText(), std::nullopt);

        // A MotionPlus plugged in takes the slot's MotionPlus settings.
        slot->setSmoothingMotionPlus(70);
        remote->setExtensionType(devices::WiiRemoteConnection::kMotionPlusExtension);
        report(*slot, event(6, 0, 5));
        foundation::RunLoop::main().runUntil([&] { return remote->motionPlusFilterSensitivity() == 70; }, 1.0);
        EXPECT_EQ(remote->motionPlusFilterSensitivity(), 70);

        // With the balance board's extension (type 4) a full battery reads 192.
        remote->setExtensionType(4);
        auto battery = event(6, 0, 3);
        battery.status = 96;
        report(*slot, battery);
        EXPECT_FLOAT_EQ(slot->batteryLevel(), 50.0f);
    }
    devices::DeviceLayers::reset();
}

namespace {

// A handler of button events that counts them and may change the slot's handlers while it handles
// one, as a calibration that ends itself does.
class CountingHandler : public QRBWKEventHandler {
public:
    using QRBWKEventHandler::QRBWKEventHandler;
    int eventType() const override { return 0; }
    void handleEvent(const devices::WiiEvent&) override {
        ++count;
        if (onEvent) onEvent();
    }
    int count = 0;
    std::function<void()> onEvent;
};

}  // namespace

TEST_F(WiiSensorFixture, TheDispatcherKeepsItsHandlersByKeyAndTypeAndSurvivesChangesDuringDispatch) {
    auto dispatcher = slot->eventDispatcher();
    const std::vector<std::string> keys = {"buttons",        "accelerometers", "IR-camera",     "joysticks",
                                           "analog-buttons", "status",         "weight-sensor", "motion-plus"};
    EXPECT_EQ(dispatcher->allHandlersKeys(), keys) << "in the order of their event types";
    EXPECT_THROW(dispatcher->setHandler(nullptr, "x"), foundation::Exception);
    EXPECT_THROW(dispatcher->setHandler(std::make_shared<CountingHandler>(*slot), "status"), foundation::Exception);
    EXPECT_THROW(dispatcher->removeHandlerForKey("nothing"), foundation::Exception);

    auto first = std::make_shared<CountingHandler>(*slot);
    auto second = std::make_shared<CountingHandler>(*slot);
    dispatcher->setHandler(first, "calibration");
    first->onEvent = [&] {
        // Gone and replaced while its event is under way.
        dispatcher->removeHandlerForKey("calibration");
        dispatcher->setHandler(second, "calibration-2");
    };
    EXPECT_EQ(report(*slot, button(0, 0x0008)).size(), 1u) << "the button handler still saw it";
    EXPECT_EQ(first->count, 1);
    EXPECT_EQ(dispatcher->handlerForKey("calibration"), nullptr);
    report(*slot, button(0, 0x0008));
    EXPECT_EQ(first->count, 1);
    EXPECT_EQ(second->count, 1);
}
