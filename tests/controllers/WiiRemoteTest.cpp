// The Wii remote slots a document keeps: eight with the default settings in a new manager or one
// whose archive holds none, their archive as a separate reader and writer see it (current and
// older forms), the slot lookup, the undoable settings and what the lights show.

#include "controllers/QRBWiiRemote.h"
#include "controllers/QRBWiiRemoteManager.h"
#include "controllers/devices/DeviceLayers.h"
#include "core/QRBPreferences.h"
#include "foundation/Exception.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/RunLoop.h"
#include "foundation/UndoManager.h"
#include "platform/wii/FakeWiiRemoteBackend.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

void expectDefaultSlots(const QRBWiiRemoteManager& manager) {
    ASSERT_EQ(manager.wiimotes().size(), 8u);
    for (int64_t slot = 1; slot <= 8; ++slot) {
        SCOPED_TRACE(slot);
        const auto& remote = manager.wiimotes()[static_cast<size_t>(slot - 1)];
        EXPECT_EQ(remote->slot(), slot);
        EXPECT_EQ(remote->manager(), &manager);
        EXPECT_TRUE(remote->enabled());
        EXPECT_FALSE(remote->outputBatteryLevel());
        EXPECT_FALSE(remote->outputXYZ());
        EXPECT_TRUE(remote->outputPRY());
        EXPECT_FALSE(remote->outputIR() || remote->outputIRTUIO() || remote->outputRawIR() ||
                     remote->outputRawMotion());
        EXPECT_EQ(remote->smoothingAcc(), 10.0);
        EXPECT_EQ(remote->smoothingIR(), 10.0);
        EXPECT_EQ(remote->smoothingMotionPlus(), 50.0);
        EXPECT_EQ(remote->motionPlusMode(), 0);
        EXPECT_FALSE(remote->useMotionPlus());
        EXPECT_EQ(remote->irSensitivity(), 0);
        EXPECT_FALSE(remote->syncLEDsWithPresetNumber());
        EXPECT_EQ(remote->bluetoothAddress(), std::nullopt) << "no address in the table";
        EXPECT_EQ(remote->batteryLevel(), 0.0f);
        ASSERT_NE(remote->TUIOCalibrationData(), nullptr);
        EXPECT_EQ(remote->TUIOCalibrationData()->archivedClassName(), "QRBWKTUIONullCalibrationData");
    }
}

// A manager record holding `slots` (python, for the key "QRBWiiSettings"), decoded.
std::shared_ptr<QRBWiiRemoteManager> decodeManager(const std::string& slots) {
    testsupport::TempDir dir;
    const std::string path = dir.file("wii.archive");
    auto result = testsupport::runPython(std::string("import sys\nsys.path.insert(0, '") + QUORBITAL_TEST_DATA +
                                             "')\nimport archives\na = archives.Archive()\n"
                                             "keys = {} if " +
                                             slots + " is None else {'QRBWiiSettings': " + slots +
                                             "}\n"
                                             "root = a.obj(['QRBWiiRemoteManager', 'NSObject'], **keys)\n"
                                             "a.save(sys.argv[1], {'root': root})\n",
                                         "'" + path + "'");
    EXPECT_EQ(result.exitCode, 0) << result.output;
    return foundation::KeyedUnarchiver::unarchiveRoot<QRBWiiRemoteManager>(foundation::readFile(path));
}

}  // namespace

TEST(WiiRemoteTest, ANewManagerOrOneArchivedWithoutSlotsHoldsEightDefaultSlots) {
    QRBPreferences::sharedPreferences().setWiiAddressMappings(std::nullopt);
    {
        SCOPED_TRACE("new");
        QRBWiiRemoteManager manager;
        expectDefaultSlots(manager);
    }
    for (const char* slots : {"None", "a.array([])", "a.set([])"}) {
        SCOPED_TRACE(slots);
        auto manager = decodeManager(slots);
        ASSERT_NE(manager, nullptr);
        expectDefaultSlots(*manager);
    }
}

TEST(WiiRemoteTest, SlotsAreFoundByNumberFromOneToEight) {
    QRBWiiRemoteManager manager;
    EXPECT_EQ(manager.wiimoteWithSlot(1), manager.wiimotes()[0]);
    EXPECT_EQ(manager.wiimoteWithSlot(8), manager.wiimotes()[7]);
    const std::pair<int64_t, const char*> refused[] = {{0, "Slot must be higher than zero."},
                                                       {9, "Slot must be lower than the maximum count of Wiimotes."}};
    for (const auto& [slot, text] : refused) {
        try {
            manager.wiimoteWithSlot(slot);
            ADD_FAILURE() << slot;
        } catch (const foundation::Exception& e) {
            EXPECT_EQ(e.reason(), text);
        }
    }
}

TEST(WiiRemoteTest, ANewSlotIsArchivedWithEveryKey) {
    testsupport::TempDir dir;
    const std::string path = dir.file("slot.archive");
    auto remote = QRBWiiRemote::initWithSlot(6);
    remote->setSyncLEDsWithPresetNumber(true);
    foundation::writeFileAtomically(path,
                                    foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(remote)));
    auto result = testsupport::runPython(std::string("import sys\nsys.path.insert(0, '") + QUORBITAL_TEST_DATA + R"PY(')
import archives
p = archives.load(sys.argv[1])
objects = p['$objects']
slot = objects[p['$top']['root'].data]
assert objects[slot['$class'].data]['$classes'] == ['QRBWiiRemote', 'NSObject'], objects[slot['$class'].data]
expected = {'Version': 2, 'slot': 6, 'QRBWiiSettingsEnabled': True, 'outputBatteryLevel': False,
            'QRBWiiSettingsOutXYZ': False, 'QRBWiiSettingsOutPRY': True, 'QRBWiiSettingsOutIR': False,
            'outputIRTUIO': False, 'QRBWiiSettingsOutRawIR': False, 'QRBWiiSettingsOutRawMotion': False,
            'QRBWiiSettingsSmoothAcc': 10.0, 'QRBWiiSettingsSmoothIR': 10.0, 'QRBWiiSettingsSmoothMotion': 50.0,
            'QRBWiiSettingsMotionMode': 0, 'useMotionPlus': False, 'irSensitivity': 0,
            'QRBWiiSettingsSyncLEDsWithPreset': True}
for key, value in expected.items():
    assert slot[key] == value and type(slot[key]) == type(value), (key, slot.get(key))
calibration = objects[slot['TUIOCalibrationData'].data]
cls = objects[calibration['$class'].data]
assert cls['$classes'] == ['QRBWKTUIONullCalibrationData', 'QRBWKTUIOCalibrationData', 'NSObject'], cls
assert sorted(calibration) == ['$class'], calibration
assert sorted(set(slot) - {'$class', 'TUIOCalibrationData'}) == sorted(expected), sorted(slot)
print('ok')
)PY",
                                         "'" + path + "'");
    EXPECT_EQ(result.exitCode, 0) << result.output;
}

// ---- archives of a separate writer ---------------------------------------------------------------

namespace {

const std::string kWiiWriter = std::string(QUORBITAL_TEST_DATA) + "/write_wii_settings.py";

testsupport::CommandResult wiiWriter(const std::string& arguments) {
    return testsupport::runCommand("python3 '" + kWiiWriter + "' " + arguments);
}

std::shared_ptr<QRBWiiRemoteManager> writtenManager(testsupport::TempDir& dir, const std::string& form) {
    const std::string path = dir.file(form + ".archive");
    auto result = wiiWriter(form + " '" + path + "'");
    EXPECT_EQ(result.exitCode, 0) << result.output;
    return foundation::KeyedUnarchiver::unarchiveRoot<QRBWiiRemoteManager>(foundation::readFile(path));
}

// Saves the manager and has the writer's side check that every object holds exactly its keys.
void expectSavedWithExactlyTheirKeys(testsupport::TempDir& dir, const QRBWiiRemoteManagerPtr& manager,
                                     const std::string& options = "") {
    const std::string path = dir.file("saved.archive");
    foundation::KeyedArchiver::archiveRootObjectToFile(foundation::Value(manager), path);
    auto result = wiiWriter("check '" + path + "' " + options);
    EXPECT_EQ(result.exitCode, 0) << result.output;
}

}  // namespace

TEST(WiiRemoteArchive, CurrentSlotsReadFromAnotherWriterAndSavedBackWithTheirKeys) {
    testsupport::TempDir dir;
    auto manager = writtenManager(dir, "current");
    ASSERT_NE(manager, nullptr);
    ASSERT_EQ(manager->wiimotes().size(), 8u);
    for (int64_t n = 1; n <= 8; ++n) {
        SCOPED_TRACE(n);
        auto remote = manager->wiimoteWithSlot(n);
        ASSERT_NE(remote, nullptr);
        EXPECT_EQ(remote->manager(), manager.get());
        EXPECT_EQ(remote->enabled(), n % 2 == 1);
        EXPECT_EQ(remote->outputBatteryLevel(), n == 4);
        EXPECT_EQ(remote->outputXYZ(), n > 4);
        EXPECT_EQ(remote->outputPRY(), n != 5);
        EXPECT_EQ(remote->outputIR(), n == 3);
        EXPECT_EQ(remote->outputIRTUIO(), n == 3);
        EXPECT_EQ(remote->outputRawIR(), n == 3);
        EXPECT_EQ(remote->outputRawMotion(), n == 2);
        EXPECT_EQ(remote->smoothingAcc(), n * 1.5);
        EXPECT_EQ(remote->smoothingIR(), 100.0 - n);
        EXPECT_EQ(remote->smoothingMotionPlus(), 20.0 + n);
        EXPECT_EQ(remote->motionPlusMode(), n % 3);
        EXPECT_EQ(remote->useMotionPlus(), n == 2);
        EXPECT_EQ(remote->irSensitivity(), n - 1);
        EXPECT_EQ(remote->syncLEDsWithPresetNumber(), n == 6);
        ASSERT_NE(remote->TUIOCalibrationData(), nullptr);
        EXPECT_EQ(remote->TUIOCalibrationData()->archivedClassName(), "QRBWKTUIONullCalibrationData");
    }
    expectSavedWithExactlyTheirKeys(dir, manager);

    // And round: what was saved reads back the same.
    auto again = foundation::KeyedUnarchiver::unarchiveRoot<QRBWiiRemoteManager>(
        foundation::readFile(dir.file("saved.archive")));
    ASSERT_NE(again, nullptr);
    ASSERT_EQ(again->wiimotes().size(), 8u);
    for (int64_t n = 1; n <= 8; ++n) {
        auto a = manager->wiimoteWithSlot(n);
        auto b = again->wiimoteWithSlot(n);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->enabled(), a->enabled());
        EXPECT_EQ(b->smoothingIR(), a->smoothingIR());
        EXPECT_EQ(b->smoothingMotionPlus(), a->smoothingMotionPlus());
        EXPECT_EQ(b->motionPlusMode(), a->motionPlusMode());
        EXPECT_EQ(b->irSensitivity(), a->irSensitivity());
        EXPECT_EQ(b->syncLEDsWithPresetNumber(), a->syncLEDsWithPresetNumber());
    }
}

TEST(WiiRemoteArchive, ASetOfVersionOneSlotsReadsWithTheMotionPlusDefaultsAndSavesInTheCurrentForm) {
    testsupport::TempDir dir;
    auto manager = writtenManager(dir, "legacy");
    ASSERT_NE(manager, nullptr);
    ASSERT_EQ(manager->wiimotes().size(), 3u);
    struct Expected {
        int64_t slot;
        bool enabled, xyz, pry, ir, rawIR;
        double acc, smoothIR;
        bool sync;
    };
    const Expected table[] = {{2, true, false, true, false, false, 30, 5, false},
                              {5, false, true, false, false, true, 40, 6, true},
                              {7, true, false, false, true, false, 50, 7, false}};
    for (const auto& e : table) {
        SCOPED_TRACE(e.slot);
        auto remote = manager->wiimoteWithSlot(e.slot);
        ASSERT_NE(remote, nullptr);
        EXPECT_EQ(remote->enabled(), e.enabled);
        EXPECT_EQ(remote->outputXYZ(), e.xyz);
        EXPECT_EQ(remote->outputPRY(), e.pry);
        EXPECT_EQ(remote->outputIR(), e.ir);
        EXPECT_EQ(remote->outputRawIR(), e.rawIR);
        EXPECT_EQ(remote->smoothingAcc(), e.acc);
        EXPECT_EQ(remote->smoothingIR(), e.smoothIR);
        EXPECT_EQ(remote->syncLEDsWithPresetNumber(), e.sync);
        // Keys the older form did not have.
        EXPECT_EQ(remote->smoothingMotionPlus(), 50.0);
        EXPECT_EQ(remote->motionPlusMode(), 0);
        EXPECT_FALSE(remote->useMotionPlus());
        EXPECT_FALSE(remote->outputBatteryLevel());
        EXPECT_EQ(remote->irSensitivity(), 0);
        EXPECT_EQ(remote->TUIOCalibrationData(), nullptr);
    }
    // Saved as a list in the current form: the missing calibration is written as nil under its key.
    expectSavedWithExactlyTheirKeys(dir, manager, "--no-calibration");
}

// ---- settings, undo and lights ----------------------------------------------------------------------

namespace {

// A manager on the in-process remotes with the document's undo manager, an empty address table
// before and after.
class WiiSlotFixture : public ::testing::Test {
protected:
    void SetUp() override {
        QRBPreferences::sharedPreferences().setWiiAddressMappings(std::nullopt);
        devices::DeviceLayers layers;
        layers.wiiRemotes = backend;
        devices::DeviceLayers::install(layers);
        manager = std::make_shared<QRBWiiRemoteManager>();
        manager->setUndoManager(undo);
    }
    void TearDown() override {
        manager.reset();
        devices::DeviceLayers::reset();
        QRBPreferences::sharedPreferences().setWiiAddressMappings(std::nullopt);
    }
    // A remote found, bound and connected in `slot`'s slot (the address table reserves it).
    std::shared_ptr<platform::FakeWiiRemote> connect(int64_t slot, const std::string& address) {
        manager->wiimoteWithSlot(slot)->setBluetoothAddress(address);
        auto remote = backend->plugRemote(address);
        auto wii = manager->wiimoteWithSlot(slot);
        EXPECT_TRUE(foundation::RunLoop::main().runUntil([&] { return wii->connected(); }, 5.0));
        return remote;
    }
    // One change in an undo group of its own; answers the group's name.
    template <class F> std::string step(F&& change) {
        undo->beginUndoGrouping();
        change();
        undo->endUndoGrouping();
        return undo->undoActionName();
    }

    std::shared_ptr<platform::FakeWiiRemoteBackend> backend = std::make_shared<platform::FakeWiiRemoteBackend>();
    std::shared_ptr<foundation::UndoManager> undo = std::make_shared<foundation::UndoManager>();
    std::shared_ptr<QRBWiiRemoteManager> manager;
};

}  // namespace

TEST_F(WiiSlotFixture, EachSettingIsUndoneUnderItsOwnName) {
    auto r = manager->wiimoteWithSlot(2);
    struct Case {
        const char* name;
        std::function<void()> change;
        std::function<bool()> changed;
    };
    const Case cases[] = {
        {"Disable Wiimote", [&] { r->setEnabled(false); }, [&] { return !r->enabled(); }},
        {"Enable Wiimote LED Syncing", [&] { r->setSyncLEDsWithPresetNumber(true); },
         [&] { return r->syncLEDsWithPresetNumber(); }},
        {"Disable Wiimote PRY Output", [&] { r->setOutputPRY(false); }, [&] { return !r->outputPRY(); }},
        {"Enable Wiimote XYZ Output", [&] { r->setOutputXYZ(true); }, [&] { return r->outputXYZ(); }},
        {"Enable Wiimote IR Output", [&] { r->setOutputIR(true); }, [&] { return r->outputIR(); }},
        {"Enable Wiimote IR TUIO Output", [&] { r->setOutputIRTUIO(true); }, [&] { return r->outputIRTUIO(); }},
        {"Enable Wiimote Raw IR Output", [&] { r->setOutputRawIR(true); }, [&] { return r->outputRawIR(); }},
        {"Enable Wiimote Raw MotionPlus Output", [&] { r->setOutputRawMotion(true); },
         [&] { return r->outputRawMotion(); }},
        {"Enable Wiimote MotionPlus", [&] { r->setUseMotionPlus(true); }, [&] { return r->useMotionPlus(); }},
        {"Set Wiimote Accelerometers Smoothing", [&] { r->setSmoothingAcc(42); },
         [&] { return r->smoothingAcc() == 42; }},
        {"Set Wiimote IR Smoothing", [&] { r->setSmoothingIR(43); }, [&] { return r->smoothingIR() == 43; }},
        {"Set Wiimote MotionPlus Smoothing", [&] { r->setSmoothingMotionPlus(44); },
         [&] { return r->smoothingMotionPlus() == 44; }},
        {"Set Wiimote MotionPlus Mode", [&] { r->setMotionPlusMode(2); }, [&] { return r->motionPlusMode() == 2; }},
        {"Set Wiimote IR Sensitivity", [&] { r->setIrSensitivity(3); }, [&] { return r->irSensitivity() == 3; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(step(c.change), c.name);
        EXPECT_TRUE(c.changed());
        undo->undo();
        EXPECT_FALSE(c.changed());
        EXPECT_EQ(r->slot(), 2);
    }
    // The same value again, battery output and the address register nothing.
    step([&] {
        r->setSmoothingAcc(10.0 + 0x1p-54);
        r->setEnabled(true);
        r->setOutputBatteryLevel(true);
        r->setBluetoothAddress(std::string("00:11:22:33:44:55"));
    });
    EXPECT_FALSE(undo->canUndo());
}

TEST_F(WiiSlotFixture, SettingASlotSwapsTwoSlotsInOneUndoStepAndSavesTheAddresses) {
    auto two = manager->wiimoteWithSlot(2);
    auto five = manager->wiimoteWithSlot(5);
    two->setBluetoothAddress(std::string("aa"));
    five->setBluetoothAddress(std::string("bb"));
    EXPECT_EQ(step([&] { two->setSlot(5); }), "Set Wiimote Slot");
    EXPECT_EQ(two->slot(), 5);
    EXPECT_EQ(five->slot(), 2);
    auto table = QRBPreferences::sharedPreferences().wiiAddressMappings();
    EXPECT_EQ(table["5"], foundation::Value("aa"));
    EXPECT_EQ(table["2"], foundation::Value("bb"));
    undo->undo();
    EXPECT_EQ(two->slot(), 2);
    EXPECT_EQ(five->slot(), 5);
    EXPECT_FALSE(undo->canUndo()) << "one step";
    // Numbers naming no slot change nothing.
    for (int64_t bad : {0, 9, -1}) {
        two->setSlot(bad);
        EXPECT_EQ(two->slot(), 2) << bad;
    }
    EXPECT_FALSE(undo->canUndo());
}

TEST_F(WiiSlotFixture, TheLightsShowTheSlotOrThePresetNumber) {
    // Slots 1 to 4 light their LED alone, 5 to 8 all others; presets likewise, none for -1.
    struct Case {
        int64_t number;
        uint8_t mask;
    };
    const Case cases[] = {{1, 0b0001}, {2, 0b0010}, {3, 0b0100}, {4, 0b1000}, {5, 0b1110},
                          {6, 0b1101}, {7, 0b1011}, {8, 0b0111}, {-1, 0b0000}};
    auto remote = connect(3, "00:00:00:00:00:03");
    auto wii = manager->wiimoteWithSlot(3);
    EXPECT_EQ(remote->leds(), 0b0100) << "the slot's number once connected";
    wii->setSyncLEDsWithPresetNumber(true);
    for (const auto& c : cases) {
        manager->setCurrentPresetNumber(c.number);
        EXPECT_EQ(remote->leds(), c.mask) << c.number;
    }
    // A disabled slot leaves its lights and rumble alone; a raw mask still reaches the remote.
    manager->setCurrentPresetNumber(2);
    wii->setEnabled(false);
    manager->setCurrentPresetNumber(3);
    wii->vibrate(true);
    EXPECT_EQ(remote->leds(), 0b0010);
    EXPECT_FALSE(remote->rumble());
    wii->updateLEDs(uint8_t{0b1001});
    EXPECT_EQ(remote->leds(), 0b1001);
    wii->setEnabled(true);
    wii->vibrate(true);
    EXPECT_TRUE(remote->rumble());
}

TEST_F(WiiSlotFixture, AConnectedRemoteGetsTheSlotsSwitchesAndMotionPlusSettings) {
    auto wii = manager->wiimoteWithSlot(1);
    wii->setIrSensitivity(4);
    wii->setOutputPRY(false);
    wii->setOutputIRTUIO(true);
    wii->setUseMotionPlus(true);
    undo->removeAllActions();
    auto remote = backend->plugRemote("00:00:00:00:00:01");
    remote->setExtensionType(devices::WiiRemoteConnection::kMotionPlusExtension);
    ASSERT_TRUE(foundation::RunLoop::main().runUntil([&] { return wii->connected(); }, 5.0));
    EXPECT_FALSE(undo->canUndo()) << "the address of a connecting remote is no edit";
    EXPECT_EQ(wii->bluetoothAddress(), "00:00:00:00:00:01");
    EXPECT_EQ(remote->irSensitivity(), 4);
    EXPECT_FALSE(remote->acceptsAccelerometer());
    EXPECT_TRUE(remote->acceptsIRCamera());
    EXPECT_TRUE(remote->acceptsMotionPlus());
    wii->setOutputXYZ(true);
    EXPECT_TRUE(remote->acceptsAccelerometer());
    wii->setSmoothingMotionPlus(70);
    wii->setMotionPlusMode(2);
    EXPECT_EQ(remote->motionPlusFilterSensitivity(), 70);
    EXPECT_EQ(remote->motionPlusMode(), 2);
    // Battery output asks for a status at once.
    const size_t before = remote->statusRequests();
    wii->setOutputBatteryLevel(true);
    EXPECT_EQ(remote->statusRequests(), before + 1);
}

TEST_F(WiiSlotFixture, ResetBringsBackTheDefaultsStepByStepAndAnEmptySmoothingIsRefused) {
    auto wii = manager->wiimoteWithSlot(4);
    wii->setEnabled(false);
    wii->setSmoothingIR(80);
    wii->setBluetoothAddress(std::string("cc"));
    undo->removeAllActions();
    undo->beginUndoGrouping();
    wii->resetSettings();
    undo->endUndoGrouping();
    EXPECT_TRUE(wii->enabled());
    EXPECT_EQ(wii->smoothingIR(), 10.0);
    EXPECT_EQ(wii->bluetoothAddress(), "") << "a slot without a remote gives its address up";
    undo->undo();
    EXPECT_FALSE(wii->enabled());
    EXPECT_EQ(wii->smoothingIR(), 80.0);

    std::string error;
    EXPECT_FALSE(wii->validateValue("smoothingIR", foundation::Value(), &error));
    EXPECT_EQ(error, QRBWiiRemote::kBadSmoothingText);
    EXPECT_TRUE(wii->validateValue("smoothingAcc", foundation::Value(150.0), &error));
    EXPECT_TRUE(wii->validateValue("enabled", foundation::Value(), &error));
}
