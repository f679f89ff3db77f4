#pragma once
// One of the eight Wii remote slots of a document: the user's settings for whatever remote sits in
// that slot (which sensors to send, smoothing, lights, MotionPlus use), archived with the document.
// The remote itself (connection, sensors, the bundles it sends) comes with the Wii remote support;
// until then a slot is never connected and its settings are only kept.

#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class QRBWiiRemoteManager;
class QRBWiiRemote;
using QRBWiiRemotePtr = std::shared_ptr<QRBWiiRemote>;

class QRBWiiRemote : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBWiiRemote", foundation::Object)

public:
    static constexpr const char* kDeviceType = "Wiimote";
    // The archive's "Version": from 2 on the slot is stored as an integer under "slot".
    static constexpr int64_t kArchiveVersion = 2;

    // An empty slot for decoding; initWithSlot makes a new one with the default settings.
    QRBWiiRemote() = default;
    static QRBWiiRemotePtr initWithSlot(int64_t slot);
    static std::string deviceType() { return kDeviceType; }

    // The default settings of a new slot. The slot's lights setting is not one of them.
    void applyDefaultSettings();

    int64_t slot() const { return slot_; }
    void setSlot(int64_t slot) { slot_ = slot; }
    // The owning manager, which outlives its remotes; null until one takes the slot.
    QRBWiiRemoteManager* manager() const { return manager_; }
    void setManager(QRBWiiRemoteManager* manager) { manager_ = manager; }
    // No remote is attached before the Wii remote support exists.
    bool connected() const { return false; }

    bool enabled() const { return enabled_; }
    void setEnabled(bool on) { enabled_ = on; }
    bool outputBatteryLevel() const { return outputBatteryLevel_; }
    void setOutputBatteryLevel(bool on) { outputBatteryLevel_ = on; }
    bool outputXYZ() const { return outputXYZ_; }
    void setOutputXYZ(bool on) { outputXYZ_ = on; }
    bool outputPRY() const { return outputPRY_; }
    void setOutputPRY(bool on) { outputPRY_ = on; }
    bool outputIR() const { return outputIR_; }
    void setOutputIR(bool on) { outputIR_ = on; }
    bool outputIRTUIO() const { return outputIRTUIO_; }
    void setOutputIRTUIO(bool on) { outputIRTUIO_ = on; }
    bool outputRawIR() const { return outputRawIR_; }
    void setOutputRawIR(bool on) { outputRawIR_ = on; }
    bool outputRawMotion() const { return outputRawMotion_; }
    void setOutputRawMotion(bool on) { outputRawMotion_ = on; }
    bool syncLEDsWithPresetNumber() const { return syncLEDsWithPresetNumber_; }
    void setSyncLEDsWithPresetNumber(bool on) { syncLEDsWithPresetNumber_ = on; }
    bool useMotionPlus() const { return useMotionPlus_; }
    void setUseMotionPlus(bool on) { useMotionPlus_ = on; }
    // Smoothing on a 0 to 100 scale.
    double smoothingAcc() const { return smoothingAcc_; }
    void setSmoothingAcc(double value) { smoothingAcc_ = value; }
    double smoothingIR() const { return smoothingIR_; }
    void setSmoothingIR(double value) { smoothingIR_ = value; }
    double smoothingMotionPlus() const { return smoothingMotionPlus_; }
    void setSmoothingMotionPlus(double value) { smoothingMotionPlus_ = value; }
    int64_t motionPlusMode() const { return motionPlusMode_; }
    void setMotionPlusMode(int64_t mode) { motionPlusMode_ = mode; }
    int64_t irSensitivity() const { return irSensitivity_; }
    void setIrSensitivity(int64_t sensitivity) { irSensitivity_ = sensitivity; }
    // Where the IR camera's view lies on the screen, for the IR-to-TUIO output; kept as archived
    // until that output exists. A new slot holds the null calibration; a decoded one may hold none.
    const foundation::ObjectPtr& TUIOCalibrationData() const { return TUIOCalibrationData_; }
    void setTUIOCalibrationData(foundation::ObjectPtr data) { TUIOCalibrationData_ = std::move(data); }
    static foundation::ObjectPtr nullCalibrationData();
    // Not archived: they belong to the remote found in the slot.
    const std::optional<std::string>& bluetoothAddress() const { return bluetoothAddress_; }
    void setBluetoothAddress(const std::optional<std::string>& address) { bluetoothAddress_ = address; }
    float batteryLevel() const { return batteryLevel_; }

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    bool enabled_ = false;
    bool outputBatteryLevel_ = false;
    bool outputXYZ_ = false;
    bool outputPRY_ = false;
    bool outputIR_ = false;
    bool outputIRTUIO_ = false;
    bool outputRawIR_ = false;
    bool outputRawMotion_ = false;
    bool syncLEDsWithPresetNumber_ = false;
    bool useMotionPlus_ = false;
    float batteryLevel_ = 0;
    QRBWiiRemoteManager* manager_ = nullptr;
    std::optional<std::string> bluetoothAddress_;
    foundation::ObjectPtr TUIOCalibrationData_;
    int64_t slot_ = 0;
    double smoothingAcc_ = 0;
    double smoothingIR_ = 0;
    double smoothingMotionPlus_ = 0;
    int64_t motionPlusMode_ = 0;
    int64_t irSensitivity_ = 0;
};
