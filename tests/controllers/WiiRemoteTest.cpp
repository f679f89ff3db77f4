// The Wii remote slots a document keeps: eight with the default settings in a new manager or one
// whose archive holds none, their archive as a separate reader sees it, and the slot lookup.

#include "controllers/QRBWiiRemote.h"
#include "controllers/QRBWiiRemoteManager.h"
#include "foundation/Exception.h"
#include "foundation/KeyedArchiver.h"
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
        EXPECT_EQ(remote->bluetoothAddress(), "");
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
