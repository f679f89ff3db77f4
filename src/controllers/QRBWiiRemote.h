#pragma once
// One of the eight Wii remote slots of a document: the user's settings for whatever remote sits in
// that slot (which sensors to send, smoothing, lights, MotionPlus use), archived with the document,
// and the remote the manager bound to it. Every report of that remote leaves as exactly one OSC
// bundle with the immediate time tag for the manager's target URL (the document's own UDP server),
// filled by the slot's event handlers, so Wii input re-enters the routing as ordinary OSC.
//
// Settings changed by the user are undoable on the document's undo manager, each under its own
// action name; "slot" and "connected" announce their changes (Observable).
//
// Main thread only: the device's callbacks, the status timer and the commands all run there.

#include "controllers/QRBWKEventDispatcher.h"
#include "controllers/QRBWKReportBundle.h"
#include "controllers/devices/WiiRemoteBackend.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"
#include "foundation/Observation.h"
#include "foundation/RunLoop.h"

#include <lo/lo.h>
#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class QRBWiiRemoteManager;
class QRBWiiRemote;
using QRBWiiRemotePtr = std::shared_ptr<QRBWiiRemote>;

namespace foundation {
class UndoManager;
}

class QRBWiiRemote : public foundation::Object, public foundation::Observable {
    FND_ARCHIVED_CLASS("QRBWiiRemote", foundation::Object)

public:
    static constexpr const char* kDeviceType = "Wiimote";
    // The archive's "Version": from 2 on the slot is stored as an integer under "slot".
    static constexpr int64_t kArchiveVersion = 2;
    // Seconds between two status requests to a connected remote (its battery level).
    static constexpr double kStatusInterval = 10.0;
    static constexpr const char* kSlotKey = "slot";
    static constexpr const char* kConnectedKey = "connected";
    static constexpr const char* kBadSmoothingText = "Please provide a value between 0 and 100.";

    // An empty slot for decoding; initWithSlot makes a new one with the default settings.
    QRBWiiRemote() = default;
    ~QRBWiiRemote() override;
    QRBWiiRemote(const QRBWiiRemote&) = delete;
    QRBWiiRemote& operator=(const QRBWiiRemote&) = delete;
    static QRBWiiRemotePtr initWithSlot(int64_t slot);
    static std::string deviceType() { return kDeviceType; }

    int64_t slot() const { return slot_; }
    // Undoable ("Set Wiimote Slot"): the remote now in `slot` takes this one's old number, so two
    // slots swap, and the manager saves its address table. Numbers outside 1 to 8 are ignored.
    void setSlot(int64_t slot);
    // Not undoable: stores the number, empties the handlers' address caches, updates the lights.
    void setSlotInternal(int64_t slot);
    // The owning manager, which outlives its remotes; null until one takes the slot.
    QRBWiiRemoteManager* manager() const { return manager_; }
    void setManager(QRBWiiRemoteManager* manager) { manager_ = manager; }
    std::shared_ptr<foundation::UndoManager> undoManager() const;
    bool connected() const { return device_ && device_->isConnected(); }
    // The remote's connection while one is attached.
    devices::WiiRemoteConnection* device() const { return device_.get(); }

    // --- settings; the setters do nothing for the current value, else register their inverse
    // under their action name and apply the change to a connected remote.
    bool enabled() const { return enabled_; }
    void setEnabled(bool on);
    bool outputBatteryLevel() const { return outputBatteryLevel_; }
    // Not undoable; turning it on asks a connected remote for its level at once.
    void setOutputBatteryLevel(bool on);
    bool outputXYZ() const { return outputXYZ_; }
    void setOutputXYZ(bool on);
    bool outputPRY() const { return outputPRY_; }
    void setOutputPRY(bool on);
    bool outputIR() const { return outputIR_; }
    void setOutputIR(bool on);
    bool outputIRTUIO() const { return outputIRTUIO_; }
    void setOutputIRTUIO(bool on);
    bool outputRawIR() const { return outputRawIR_; }
    void setOutputRawIR(bool on);
    bool outputRawMotion() const { return outputRawMotion_; }
    void setOutputRawMotion(bool on);
    bool syncLEDsWithPresetNumber() const { return syncLEDsWithPresetNumber_; }
    void setSyncLEDsWithPresetNumber(bool on);
    bool useMotionPlus() const { return useMotionPlus_; }
    void setUseMotionPlus(bool on);
    // Smoothing on a 0 to 100 scale.
    double smoothingAcc() const { return smoothingAcc_; }
    void setSmoothingAcc(double value);
    double smoothingIR() const { return smoothingIR_; }
    void setSmoothingIR(double value);
    double smoothingMotionPlus() const { return smoothingMotionPlus_; }
    void setSmoothingMotionPlus(double value);
    int64_t motionPlusMode() const { return motionPlusMode_; }
    void setMotionPlusMode(int64_t mode);
    int64_t irSensitivity() const { return irSensitivity_; }
    void setIrSensitivity(int64_t sensitivity);
    // Where the IR camera's view lies on the screen, for the IR-to-TUIO output; kept as archived
    // until that output exists. A new slot holds the null calibration; a decoded one may hold none.
    const foundation::ObjectPtr& TUIOCalibrationData() const { return TUIOCalibrationData_; }
    void setTUIOCalibrationData(foundation::ObjectPtr data) { TUIOCalibrationData_ = std::move(data); }
    static foundation::ObjectPtr nullCalibrationData();
    // Not archived: they belong to the remote found in the slot. A changed address of a connected
    // remote is saved in the manager's address table.
    const std::optional<std::string>& bluetoothAddress() const { return bluetoothAddress_; }
    void setBluetoothAddress(const std::optional<std::string>& address);
    // Percent, 0 while no remote is connected.
    float batteryLevel() const { return batteryLevel_; }
    void setBatteryLevel(float level) { batteryLevel_ = level; }

    // Key-value validation of a typed value: an empty smoothing is refused with kBadSmoothingText.
    bool validateValue(const std::string& key, const foundation::Value& value, std::string* error) const;

    // Back to the default settings, each change undoable under its own name; the manager then
    // saves its address table. The internal form leaves the table alone.
    void resetSettings();
    void resetSettingsInternal();

    // --- handlers
    const QRBWKEventDispatcherPtr& eventDispatcher() const { return eventDispatcher_; }
    void registerEventHandler(const QRBWKEventHandlerPtr& handler, const std::string& key) {
        eventDispatcher_->setHandler(handler, key);
    }
    void unregisterEventHandlerForKey(const std::string& key) { eventDispatcher_->removeHandlerForKey(key); }
    // The bundle of the report under way, which the handlers fill; null between reports.
    QRBWKReportBundle* oscBundle() { return reportBundle_.isOpen() ? &reportBundle_ : nullptr; }

    // --- the remote
    // Attaches a found remote and starts connecting to it; a remote already attached is dropped
    // with a warning. A connection that fails is logged and leaves the slot free.
    void connectToDevice(const devices::WiiHIDDevicePtr& device);
    // The remote went: battery 0, its HID connection closed, nothing attached, sending stopped.
    void close();
    // Sending: an enabled slot opens an OSC address to the manager's target URL and asks its
    // remote for a status every 10 s. Without a target URL it raises (a caller's error).
    void start();
    void stop();
    bool isSending() const { return oscAddress_ != nullptr; }

    void updateSwitches();
    void updateMotionPlus();
    void updateLEDs();
    // Bit 0 is LED 1; reaches the remote even when the slot is disabled.
    void updateLEDs(uint8_t mask);
    // 1 to 4 light that LED alone, 5 to 8 all but that one; a negative number lights none.
    void updateLEDsWithNumber(int64_t number);
    void vibrate(bool on);

    // The remote's callbacks (public for the backends' sake; they run on the main run loop).
    void wiimoteDidConnect();
    void wiimoteDidDisconnect();
    void wiimoteWillInterpretReport();
    void wiimoteSendEvent(const devices::WiiEvent& event);
    void wiimoteDidInterpretReport();
    void statusTimerFired();

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    // The dispatcher and its handlers, with the slot's smoothing handed to them.
    void privateInit();
    void applySmoothingToHandlers();
    std::shared_ptr<foundation::UndoManager> registeringUndoManager() const;
    void nameUndoAction(const std::string& name) const;
    // Runs a device callback; nothing it raises goes back into the device's stack.
    template <class F> void guarded(const char* what, F&& f);
    void dropDevice();
    void freeBundle();
    // Sends the report's bundle; false when the system refused it (errno tells why).
    bool sendBundle();
    // Where a UDP target's datagrams go straight from a socket of the slot's own.
    void openDatagramSocket();
    void closeDatagramSocket();
    void error(int number, const char* text);
    std::shared_ptr<QRBWiiRemote> self() { return std::static_pointer_cast<QRBWiiRemote>(shared_from_this()); }

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
    std::unique_ptr<devices::WiiRemoteConnection> device_;
    QRBWKEventDispatcherPtr eventDispatcher_;
    lo_address oscAddress_ = nullptr;
    std::shared_ptr<foundation::Timer> statusTimer_;
    QRBWKReportBundle reportBundle_;
    int datagramSocket_ = -1;
    sockaddr_in datagramTarget_{};
};
