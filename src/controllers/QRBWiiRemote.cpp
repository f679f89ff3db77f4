#include "controllers/QRBWiiRemote.h"

#include "controllers/QRBWKAccelEventHandler.h"
#include "controllers/QRBWKAnalogButtonEventHandler.h"
#include "controllers/QRBWKButtonEventHandler.h"
#include "controllers/QRBWKIREventHandler.h"
#include "controllers/QRBWKJoystickEventHandler.h"
#include "controllers/QRBWKMotionPlusEventHandler.h"
#include "controllers/QRBWKStatusEventHandler.h"
#include "controllers/QRBWKWeightEventHandler.h"
#include "controllers/QRBWiiRemoteManager.h"
#include "controllers/devices/DeviceLayers.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/KeptObject.h"
#include "foundation/Log.h"
#include "foundation/UndoManager.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>

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

const char* enableText(bool on) { return on ? "Enable" : "Disable"; }

// Doubles typed by the user count as unchanged within the last bit.
bool sameDouble(double a, double b) { return std::fabs(a - b) < 0x1p-52; }
}  // namespace

QRBWiiRemotePtr QRBWiiRemote::initWithSlot(int64_t slot) {
    auto remote = std::make_shared<QRBWiiRemote>();
    remote->slot_ = slot;
    remote->privateInit();
    // No manager yet, so no undo manager: nothing is recorded.
    remote->resetSettingsInternal();
    return remote;
}

QRBWiiRemote::~QRBWiiRemote() {
    if (statusTimer_) statusTimer_->invalidate();
    freeBundle();
    closeDatagramSocket();
    if (oscAddress_) lo_address_free(oscAddress_);
}

void QRBWiiRemote::privateInit() {
    eventDispatcher_ = QRBWKEventDispatcher::dispatcher();
    registerEventHandler(QRBWKButtonEventHandler::handlerWithDevice(*this), "buttons");
    registerEventHandler(QRBWKAccelEventHandler::handlerWithDevice(*this), "accelerometers");
    registerEventHandler(QRBWKIREventHandler::handlerWithDevice(*this), "IR-camera");
    registerEventHandler(QRBWKJoystickEventHandler::handlerWithDevice(*this), "joysticks");
    registerEventHandler(QRBWKAnalogButtonEventHandler::handlerWithDevice(*this), "analog-buttons");
    registerEventHandler(QRBWKStatusEventHandler::handlerWithDevice(*this), "status");
    registerEventHandler(QRBWKWeightEventHandler::handlerWithDevice(*this), "weight-sensor");
    registerEventHandler(QRBWKMotionPlusEventHandler::handlerWithDevice(*this), "motion-plus");
    applySmoothingToHandlers();
}

void QRBWiiRemote::applySmoothingToHandlers() {
    if (auto handler = eventDispatcher_->handlerForKey("accelerometers")) handler->setSmoothing(smoothingAcc_);
    for (const char* key : {"IR-camera", "IR-TUIO"})
        if (auto handler = eventDispatcher_->handlerForKey(key)) handler->setSmoothing(smoothingIR_);
}

foundation::ObjectPtr QRBWiiRemote::nullCalibrationData() {
    // The calibration classes come with the IR-to-TUIO output; the null one archives no keys.
    return std::make_shared<foundation::KeptObject>(
        "QRBWKTUIONullCalibrationData",
        std::vector<std::string>{"QRBWKTUIONullCalibrationData", "QRBWKTUIOCalibrationData", "NSObject"});
}

// ---- undo ---------------------------------------------------------------------------------------

std::shared_ptr<foundation::UndoManager> QRBWiiRemote::undoManager() const {
    return manager_ ? manager_->undoManager() : nullptr;
}

std::shared_ptr<foundation::UndoManager> QRBWiiRemote::registeringUndoManager() const {
    auto undo = undoManager();
    return undo && undo->isUndoRegistrationEnabled() ? undo : nullptr;
}

void QRBWiiRemote::nameUndoAction(const std::string& name) const {
    auto undo = undoManager();
    if (undo && !undo->isUndoing()) undo->setActionName(name);
}

// ---- settings -----------------------------------------------------------------------------------

#define QRB_WII_SETTER(Setter, field, key, Type, same, actionName, effect)             \
    void QRBWiiRemote::Setter(Type value) {                                            \
        if (same(value, field)) return;                                                \
        if (auto undo = registeringUndoManager()) {                                    \
            undo->registerUndo(this, [me = self(), old = field] { me->Setter(old); }); \
            nameUndoAction(actionName);                                                \
        }                                                                              \
        willChangeValueForKey(key);                                                    \
        field = value;                                                                 \
        didChangeValueForKey(key);                                                     \
        effect;                                                                        \
    }

namespace {
template <class T> bool same(T a, T b) { return a == b; }
}  // namespace

QRB_WII_SETTER(setEnabled, enabled_, "enabled", bool, same<bool>, foundation::format("%s Wiimote", enableText(value)),
               updateSwitches())
QRB_WII_SETTER(setSyncLEDsWithPresetNumber, syncLEDsWithPresetNumber_, "syncLEDsWithPresetNumber", bool, same<bool>,
               foundation::format("%s Wiimote LED Syncing", enableText(value)), updateLEDs())
QRB_WII_SETTER(setOutputPRY, outputPRY_, "outputPRY", bool, same<bool>,
               foundation::format("%s Wiimote PRY Output", enableText(value)), updateSwitches())
QRB_WII_SETTER(setOutputXYZ, outputXYZ_, "outputXYZ", bool, same<bool>,
               foundation::format("%s Wiimote XYZ Output", enableText(value)), updateSwitches())
QRB_WII_SETTER(setOutputIR, outputIR_, "outputIR", bool, same<bool>,
               foundation::format("%s Wiimote IR Output", enableText(value)), updateSwitches())
QRB_WII_SETTER(setOutputIRTUIO, outputIRTUIO_, "outputIRTUIO", bool, same<bool>,
               foundation::format("%s Wiimote IR TUIO Output", enableText(value)), updateSwitches())
QRB_WII_SETTER(setOutputRawIR, outputRawIR_, "outputRawIR", bool, same<bool>,
               foundation::format("%s Wiimote Raw IR Output", enableText(value)), updateSwitches())
QRB_WII_SETTER(setOutputRawMotion, outputRawMotion_, "outputRawMotion", bool, same<bool>,
               foundation::format("%s Wiimote Raw MotionPlus Output", enableText(value)), updateSwitches())
QRB_WII_SETTER(setUseMotionPlus, useMotionPlus_, "useMotionPlus", bool, same<bool>,
               foundation::format("%s Wiimote MotionPlus", enableText(value)),
               if (device_) device_->setAcceptsMotionPlusEvents(value))
QRB_WII_SETTER(setSmoothingAcc, smoothingAcc_, "smoothingAcc", double, sameDouble,
               "Set Wiimote Accelerometers Smoothing", applySmoothingToHandlers())
QRB_WII_SETTER(setSmoothingIR, smoothingIR_, "smoothingIR", double, sameDouble, "Set Wiimote IR Smoothing",
               applySmoothingToHandlers())
QRB_WII_SETTER(setSmoothingMotionPlus, smoothingMotionPlus_, "smoothingMotionPlus", double, sameDouble,
               "Set Wiimote MotionPlus Smoothing", updateMotionPlus())
QRB_WII_SETTER(setMotionPlusMode, motionPlusMode_, "motionPlusMode", int64_t, same<int64_t>,
               "Set Wiimote MotionPlus Mode", updateMotionPlus())
QRB_WII_SETTER(setIrSensitivity, irSensitivity_, "irSensitivity", int64_t, same<int64_t>, "Set Wiimote IR Sensitivity",
               if (device_) device_->setIRSensitivity(value))

#undef QRB_WII_SETTER

void QRBWiiRemote::setOutputBatteryLevel(bool on) {
    if (on == outputBatteryLevel_) return;
    willChangeValueForKey("outputBatteryLevel");
    outputBatteryLevel_ = on;
    didChangeValueForKey("outputBatteryLevel");
    // The level is reported at once rather than at the next status request.
    if (on && device_) device_->refreshStatus();
}

void QRBWiiRemote::setBluetoothAddress(const std::optional<std::string>& address) {
    if (address == bluetoothAddress_) return;
    willChangeValueForKey("bluetoothAddress");
    bluetoothAddress_ = address;
    didChangeValueForKey("bluetoothAddress");
    if (address && connected() && manager_) manager_->saveDeviceMappings();
}

void QRBWiiRemote::setSlot(int64_t slot) {
    // A slot number comes from the user or a document: outside the eight it names no slot.
    if (slot < 1 || slot > QRBWiiRemoteManager::kMaxWiimotes || slot == slot_) return;
    if (auto undo = registeringUndoManager()) {
        undo->registerUndo(this, [me = self(), old = slot_] { me->setSlot(old); });
        nameUndoAction("Set Wiimote Slot");
    }
    const int64_t old = slot_;
    auto other = manager_ ? manager_->wiimoteWithSlot(slot) : nullptr;
    if (other && other.get() != this) other->setSlotInternal(old);
    setSlotInternal(slot);
    if (manager_) manager_->saveDeviceMappings();
}

void QRBWiiRemote::setSlotInternal(int64_t slot) {
    willChangeValueForKey(kSlotKey);
    slot_ = slot;
    // The cached addresses hold the slot's number.
    eventDispatcher_->resetCaches();
    didChangeValueForKey(kSlotKey);
    updateLEDs();
}

bool QRBWiiRemote::validateValue(const std::string& key, const foundation::Value& value, std::string* error) const {
    const bool smoothing = key == "smoothingAcc" || key == "smoothingIR" || key == "smoothingMotionPlus";
    if (!smoothing || !value.isNull()) return true;
    if (error) *error = kBadSmoothingText;
    return false;
}

void QRBWiiRemote::resetSettings() {
    resetSettingsInternal();
    if (manager_) manager_->saveDeviceMappings();
}

void QRBWiiRemote::resetSettingsInternal() {
    setEnabled(true);
    setOutputBatteryLevel(false);
    setOutputXYZ(false);
    setOutputPRY(true);
    setOutputIR(false);
    setOutputIRTUIO(false);
    setOutputRawIR(false);
    setOutputRawMotion(false);
    setSmoothingAcc(10.0);
    setSmoothingIR(10.0);
    setSmoothingMotionPlus(kDefaultSmoothingMotionPlus);
    setMotionPlusMode(kDefaultMotionPlusMode);
    setUseMotionPlus(false);
    setIrSensitivity(0);
    setTUIOCalibrationData(nullCalibrationData());
    if (!connected()) {
        setBluetoothAddress(std::string());
        setBatteryLevel(0);
    }
}

// ---- the remote ---------------------------------------------------------------------------------

template <class F> void QRBWiiRemote::guarded(const char* what, F&& f) {
    try {
        f();
    } catch (const foundation::Exception& e) {
        foundation::logf("Wiimote #%lld: %s: %s", static_cast<long long>(slot_), what, e.reason().c_str());
    } catch (const std::exception& e) {
        foundation::logf("Wiimote #%lld: %s: %s", static_cast<long long>(slot_), what, e.what());
    }
}

void QRBWiiRemote::dropDevice() {
    if (!device_) return;
    // The connection may be the one calling us right now: it goes once the call has returned.
    std::shared_ptr<devices::WiiRemoteConnection> old(std::move(device_));
    foundation::RunLoop::main().post([old] {});
}

void QRBWiiRemote::connectToDevice(const devices::WiiHIDDevicePtr& device) {
    if (device_) {
        foundation::logf("Warning: Wiimote #%ld already discovered.", static_cast<long>(slot_));
        dropDevice();
    }
    if (!device) return;
    auto backend = manager_ ? manager_->backend() : devices::DeviceLayers::current().wiiRemotes;
    auto connection = backend ? backend->makeConnection(device) : nullptr;
    if (!connection) return;
    device_ = std::move(connection);
    // A connection the slot has let go may still have callbacks under way: they are not this
    // remote's any more, so they find no slot (compared by identity only).
    const devices::WiiRemoteConnection* attached = device_.get();
    std::weak_ptr<QRBWiiRemote> weak = self();
    auto slotOf = [weak, attached] {
        auto me = weak.lock();
        return me && me->device_.get() == attached ? me : nullptr;
    };
    devices::WiiRemoteConnection::Callbacks callbacks;
    callbacks.connected = [slotOf] {
        if (auto me = slotOf()) me->guarded("connect", [&] { me->wiimoteDidConnect(); });
    };
    callbacks.disconnected = [slotOf] {
        if (auto me = slotOf()) me->guarded("disconnect", [&] { me->wiimoteDidDisconnect(); });
    };
    callbacks.willInterpretReport = [slotOf] {
        if (auto me = slotOf()) me->guarded("report", [&] { me->wiimoteWillInterpretReport(); });
    };
    callbacks.event = [slotOf](const devices::WiiEvent& event) {
        if (auto me = slotOf()) me->guarded("report", [&] { me->wiimoteSendEvent(event); });
    };
    callbacks.didInterpretReport = [slotOf] {
        if (auto me = slotOf()) me->guarded("report", [&] { me->wiimoteDidInterpretReport(); });
    };
    const int result = device_->connect(std::move(callbacks));
    if (result != 0) {
        foundation::logf("Error while connecting Wiimote: %s", std::strerror(result));
        dropDevice();
    }
}

void QRBWiiRemote::wiimoteDidConnect() {
    if (!device_) return;
    willChangeValueForKey(kConnectedKey);
    // The address is the remote's, not a user's edit.
    auto undo = undoManager();
    if (undo) undo->disableUndoRegistration();
    setBluetoothAddress(device_->address());
    if (undo) undo->enableUndoRegistration();
    didChangeValueForKey(kConnectedKey);
    updateSwitches();
    updateLEDs();
}

void QRBWiiRemote::wiimoteDidDisconnect() {
    willChangeValueForKey(kConnectedKey);
    close();
    didChangeValueForKey(kConnectedKey);
}

void QRBWiiRemote::close() {
    batteryLevel_ = 0;
    if (device_) {
        if (auto hid = device_->device()) hid->close();
        dropDevice();
    }
    stop();
}

void QRBWiiRemote::start() {
    if (!enabled_) return;
    const auto* url = manager_ ? &manager_->targetURL() : nullptr;
    if (!url || !*url)
        foundation::raise(
            foundation::kGenericException,
            foundation::format("QRBWiimote's manager targetURL is nil (slot=%li).", static_cast<long>(slot_)));
    if (oscAddress_) lo_address_free(oscAddress_);
    oscAddress_ = lo_address_new_from_url((*url)->c_str());
    openDatagramSocket();
    if (statusTimer_) statusTimer_->invalidate();
    std::weak_ptr<QRBWiiRemote> weak = self();
    statusTimer_ = foundation::RunLoop::main().scheduleTimer(kStatusInterval, true, foundation::RunLoopMode::Default,
                                                             [weak](foundation::Timer&) {
                                                                 if (auto me = weak.lock()) me->statusTimerFired();
                                                             });
}

void QRBWiiRemote::openDatagramSocket() {
    closeDatagramSocket();
    if (!oscAddress_ || lo_address_get_protocol(oscAddress_) != LO_UDP) return;
    const char* host = lo_address_get_hostname(oscAddress_);
    const char* port = lo_address_get_port(oscAddress_);
    if (!host || !port) return;
    // Resolved once here rather than for every report; IPv4 as liblo sends. A target this cannot
    // reach is left to liblo.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, port, &hints, &found) != 0 || !found) return;
    if (found->ai_addrlen == sizeof datagramTarget_) {
        std::memcpy(&datagramTarget_, found->ai_addr, sizeof datagramTarget_);
        datagramSocket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    freeaddrinfo(found);
}

void QRBWiiRemote::closeDatagramSocket() {
    if (datagramSocket_ >= 0) ::close(datagramSocket_);
    datagramSocket_ = -1;
}

void QRBWiiRemote::stop() {
    closeDatagramSocket();
    if (oscAddress_) lo_address_free(oscAddress_);
    oscAddress_ = nullptr;
    if (statusTimer_) statusTimer_->invalidate();
    statusTimer_.reset();
}

void QRBWiiRemote::statusTimerFired() {
    if (connected()) device_->refreshStatus();
}

void QRBWiiRemote::freeBundle() { reportBundle_.close(); }

void QRBWiiRemote::wiimoteWillInterpretReport() { reportBundle_.begin(); }

void QRBWiiRemote::wiimoteSendEvent(const devices::WiiEvent& event) {
    if (oscAddress_) eventDispatcher_->dispatchEvent(event);
}

void QRBWiiRemote::wiimoteDidInterpretReport() {
    // A report whose events made no message still leaves as an empty bundle.
    if (oscAddress_ && reportBundle_.isOpen() && !sendBundle()) {
        if (datagramSocket_ >= 0)
            error(errno, std::strerror(errno));
        else
            error(lo_address_errno(oscAddress_), lo_address_errstr(oscAddress_));
    }
    freeBundle();
}

bool QRBWiiRemote::sendBundle() {
    if (datagramSocket_ >= 0) {
        // A signal that interrupts the send is no reason to stop the remote.
        for (;;) {
            if (sendto(datagramSocket_, reportBundle_.data(), reportBundle_.size(), MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr*>(&datagramTarget_), sizeof datagramTarget_) >= 0)
                return true;
            if (errno != EINTR) return false;
        }
    }
    // Other transports go through liblo, message by message from the bundle's bytes.
    lo_bundle bundle = lo_bundle_new(LO_TT_IMMEDIATE);
    if (!bundle) return true;
    const uint8_t* at = reportBundle_.data() + 16;
    const uint8_t* end = reportBundle_.data() + reportBundle_.size();
    while (end - at >= 4) {
        const size_t size = (size_t{at[0]} << 24) | (size_t{at[1]} << 16) | (size_t{at[2]} << 8) | at[3];
        at += 4;
        if (size > static_cast<size_t>(end - at)) break;
        int result = 0;
        // The bytes are the buffer's own; liblo only reads them.
        void* bytes = const_cast<uint8_t*>(at);
        if (lo_message message = lo_message_deserialise(bytes, size, &result)) {
            if (lo_bundle_add_message(bundle, reinterpret_cast<const char*>(at), message) != 0)
                lo_message_free(message);
        }
        at += size;
    }
    const bool sent = lo_send_bundle(oscAddress_, bundle) != -1;
    lo_bundle_free_recursive(bundle);
    return sent;
}

void QRBWiiRemote::error(int number, const char* text) {
    if (!oscAddress_) return;
    foundation::logf("OSC error %d: %s\n", number, text ? text : "");
    stop();
}

void QRBWiiRemote::updateSwitches() {
    if (!connected()) return;
    // Sending waits for routing: a remote that connects while routing is stopped sends nothing.
    if (enabled_ && manager_ && manager_->isRunning()) {
        // A slot that cannot send still takes its remote's settings below.
        guarded("start", [this] { start(); });
    } else {
        stop();
    }
    device_->setIRSensitivity(irSensitivity_);
    device_->setAcceptsAccelerometerEvents(outputXYZ_ || outputPRY_);
    device_->setAcceptsIRCameraEvents(outputIR_ || outputRawIR_ || outputIRTUIO_);
    device_->setAcceptsMotionPlusEvents(useMotionPlus_);
}

void QRBWiiRemote::updateMotionPlus() {
    if (!connected()) return;
    if (device_->extensionType() != devices::WiiRemoteConnection::kMotionPlusExtension) return;
    device_->setMotionPlusMode(motionPlusMode_);
    device_->setMotionPlusFilterSensitivity(smoothingMotionPlus_);
}

void QRBWiiRemote::updateLEDs() {
    updateLEDsWithNumber(syncLEDsWithPresetNumber_ && manager_ ? manager_->currentPresetNumber() : slot_);
}

void QRBWiiRemote::updateLEDsWithNumber(int64_t number) {
    if (!enabled_) return;
    // The remainder keeps the sign of the number: no current preset (-1) lights nothing.
    const int64_t r = number % 4;
    uint8_t mask = r == 1 ? 0b0001 : r == 2 ? 0b0010 : r == 3 ? 0b0100 : r == 0 ? 0b1000 : 0;
    if (number > 4) mask = static_cast<uint8_t>(~mask & 0b1111);
    updateLEDs(mask);
}

void QRBWiiRemote::updateLEDs(uint8_t mask) {
    if (device_) device_->setLeds(mask);
}

void QRBWiiRemote::vibrate(bool on) {
    if (enabled_ && device_) device_->setRumbleEnabled(on);
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
    privateInit();
}
