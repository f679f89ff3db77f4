#include "controllers/QRBWiiRemote.h"

#include "foundation/KeptObject.h"

namespace {
constexpr const char* kVersionKey = "Version";
constexpr const char* kSlotKey = "slot";
constexpr const char* kLegacySlotKey = "QRBWiiSettingsSlot";
constexpr const char* kEnabledKey = "QRBWiiSettingsEnabled";
constexpr const char* kOutputBatteryLevelKey = "outputBatteryLevel";
constexpr const char* kOutputXYZKey = "QRBWiiSettingsOutXYZ";
constexpr const char* kOutputPRYKey = "QRBWiiSettingsOutPRY";
constexpr const char* kOutputIRKey = "QRBWiiSettingsOutIR";
constexpr const char* kOutputIRTUIOKey = "outputIRTUIO";
constexpr const char* kOutputRawIRKey = "QRBWiiSettingsOutRawIR";
constexpr const char* kOutputRawMotionKey = "QRBWiiSettingsOutRawMotion";
constexpr const char* kSmoothingAccKey = "QRBWiiSettingsSmoothAcc";
constexpr const char* kSmoothingIRKey = "QRBWiiSettingsSmoothIR";
constexpr const char* kSmoothingMotionPlusKey = "QRBWiiSettingsSmoothMotion";
constexpr const char* kMotionPlusModeKey = "QRBWiiSettingsMotionMode";
constexpr const char* kUseMotionPlusKey = "useMotionPlus";
constexpr const char* kIRSensitivityKey = "irSensitivity";
constexpr const char* kTUIOCalibrationDataKey = "TUIOCalibrationData";
constexpr const char* kSyncLEDsKey = "QRBWiiSettingsSyncLEDsWithPreset";

// Archives written before the MotionPlus settings existed leave these.
constexpr double kDefaultSmoothingMotionPlus = 50.0;
constexpr int64_t kDefaultMotionPlusMode = 0;
}  // namespace

QRBWiiRemotePtr QRBWiiRemote::initWithSlot(int64_t slot) {
    auto remote = std::make_shared<QRBWiiRemote>();
    remote->slot_ = slot;
    remote->applyDefaultSettings();
    return remote;
}

foundation::ObjectPtr QRBWiiRemote::nullCalibrationData() {
    // The calibration classes come with the IR-to-TUIO output; the null one archives no keys.
    return std::make_shared<foundation::KeptObject>(
        "QRBWKTUIONullCalibrationData",
        std::vector<std::string>{"QRBWKTUIONullCalibrationData", "QRBWKTUIOCalibrationData", "NSObject"});
}

void QRBWiiRemote::applyDefaultSettings() {
    enabled_ = true;
    outputBatteryLevel_ = false;
    outputXYZ_ = false;
    outputPRY_ = true;
    outputIR_ = false;
    outputIRTUIO_ = false;
    outputRawIR_ = false;
    outputRawMotion_ = false;
    smoothingAcc_ = 10.0;
    smoothingIR_ = 10.0;
    smoothingMotionPlus_ = kDefaultSmoothingMotionPlus;
    motionPlusMode_ = kDefaultMotionPlusMode;
    useMotionPlus_ = false;
    irSensitivity_ = 0;
    TUIOCalibrationData_ = nullCalibrationData();
    if (!connected()) {
        bluetoothAddress_ = std::string();
        batteryLevel_ = 0;
    }
}

void QRBWiiRemote::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeInteger(kArchiveVersion, kVersionKey);
    coder.encodeInteger(slot_, kSlotKey);
    coder.encodeBool(enabled_, kEnabledKey);
    coder.encodeBool(outputBatteryLevel_, kOutputBatteryLevelKey);
    coder.encodeBool(outputXYZ_, kOutputXYZKey);
    coder.encodeBool(outputPRY_, kOutputPRYKey);
    coder.encodeBool(outputIR_, kOutputIRKey);
    coder.encodeBool(outputIRTUIO_, kOutputIRTUIOKey);
    coder.encodeBool(outputRawIR_, kOutputRawIRKey);
    coder.encodeBool(outputRawMotion_, kOutputRawMotionKey);
    coder.encodeDouble(smoothingAcc_, kSmoothingAccKey);
    coder.encodeDouble(smoothingIR_, kSmoothingIRKey);
    coder.encodeDouble(smoothingMotionPlus_, kSmoothingMotionPlusKey);
    coder.encodeInteger(motionPlusMode_, kMotionPlusModeKey);
    coder.encodeBool(useMotionPlus_, kUseMotionPlusKey);
    coder.encodeInteger(irSensitivity_, kIRSensitivityKey);
    coder.encodeObject(foundation::Value(TUIOCalibrationData_), kTUIOCalibrationDataKey);
    coder.encodeBool(syncLEDsWithPresetNumber_, kSyncLEDsKey);
}

void QRBWiiRemote::initWithCoder(foundation::KeyedUnarchiver& coder) {
    // From version 2 on the slot is an integer; before, a number object under its older key.
    slot_ = coder.decodeInteger(kVersionKey) > 1 ? coder.decodeInteger(kSlotKey) : coder.decodeInteger(kLegacySlotKey);
    enabled_ = coder.decodeBool(kEnabledKey);
    outputBatteryLevel_ = coder.decodeBool(kOutputBatteryLevelKey);
    outputXYZ_ = coder.decodeBool(kOutputXYZKey);
    outputPRY_ = coder.decodeBool(kOutputPRYKey);
    outputIR_ = coder.decodeBool(kOutputIRKey);
    outputIRTUIO_ = coder.decodeBool(kOutputIRTUIOKey);
    outputRawIR_ = coder.decodeBool(kOutputRawIRKey);
    outputRawMotion_ = coder.decodeBool(kOutputRawMotionKey);
    smoothingAcc_ = coder.decodeDouble(kSmoothingAccKey);
    smoothingIR_ = coder.decodeDouble(kSmoothingIRKey);
    // The MotionPlus settings came together: an archive holds both or neither.
    if (coder.containsValueForKey(kSmoothingMotionPlusKey)) {
        smoothingMotionPlus_ = coder.decodeDouble(kSmoothingMotionPlusKey);
        motionPlusMode_ = coder.decodeInteger(kMotionPlusModeKey);
    } else {
        smoothingMotionPlus_ = kDefaultSmoothingMotionPlus;
        motionPlusMode_ = kDefaultMotionPlusMode;
    }
    useMotionPlus_ = coder.decodeBool(kUseMotionPlusKey);
    irSensitivity_ = coder.decodeInteger(kIRSensitivityKey);
    foundation::Value calibration = coder.decodeObject(kTUIOCalibrationDataKey);
    if (!calibration.isNull() && !calibration.objectValue())
        throw foundation::ArchiveError("TUIOCalibrationData is not an object");
    TUIOCalibrationData_ = calibration.objectValue();
    syncLEDsWithPresetNumber_ = coder.decodeBool(kSyncLEDsKey);
}
