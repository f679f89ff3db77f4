#include "platform/wii/LinuxWiiRemoteBackend.h"

#include "foundation/Log.h"
#include "foundation/RunLoop.h"
#include "platform/wii/WiiEventConversion.h"

#include <dbus/dbus.h>
#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <libudev.h>
#include <linux/input-event-codes.h>
#include <unistd.h>
#include <xwiimote.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace platform {

namespace {

using devices::WiiEvent;

constexpr const char* kWiimoteDriver = "wiimote";
constexpr const char* kBluez = "org.bluez";
constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
constexpr const char* kDeviceInterface = "org.bluez.Device1";
// Remotes and balance boards name themselves so when found.
constexpr const char* kRemoteNamePrefix = "Nintendo RVL-";
// A pairing that finds nothing ends by itself, as a user would expect of the red button.
constexpr double kDiscoveryDuration = 20.0;
constexpr int kDBusTimeoutMs = 1000;
// What a discovery that failed to start reports: an input/output error.
constexpr int kDiscoveryFailed = EIO;

// Runs `fn` from the main run loop unless the object owning `alive` has gone by then.
void later(const std::shared_ptr<bool>& alive, std::function<void()> fn) {
    foundation::RunLoop::main().post([weak = std::weak_ptr<bool>(alive), fn = std::move(fn)] {
        if (auto a = weak.lock(); a && *a) fn();
    });
}

// ---- pairing through BlueZ ------------------------------------------------------------------------

class DBusMessageRef {
public:
    explicit DBusMessageRef(DBusMessage* message = nullptr) : message_(message) {}
    ~DBusMessageRef() {
        if (message_) dbus_message_unref(message_);
    }
    DBusMessageRef(const DBusMessageRef&) = delete;
    DBusMessageRef& operator=(const DBusMessageRef&) = delete;
    DBusMessage* get() const { return message_; }
    explicit operator bool() const { return message_ != nullptr; }

private:
    DBusMessage* message_;
};

// The value of a variant iterator as a string or boolean, when it is one.
bool variantBool(DBusMessageIter* variant, bool* value) {
    DBusMessageIter inner;
    dbus_message_iter_recurse(variant, &inner);
    if (dbus_message_iter_get_arg_type(&inner) != DBUS_TYPE_BOOLEAN) return false;
    dbus_bool_t b = false;
    dbus_message_iter_get_basic(&inner, &b);
    *value = b;
    return true;
}

bool variantString(DBusMessageIter* variant, std::string* value) {
    DBusMessageIter inner;
    dbus_message_iter_recurse(variant, &inner);
    if (dbus_message_iter_get_arg_type(&inner) != DBUS_TYPE_STRING) return false;
    const char* s = nullptr;
    dbus_message_iter_get_basic(&inner, &s);
    *value = s ? s : "";
    return true;
}

// Walks an a{sa{sv}} of interfaces and their properties; `visit` gets each interface's name and
// an iterator over its a{sv}.
void forEachInterface(DBusMessageIter* interfaces,
                      const std::function<void(const std::string&, DBusMessageIter*)>& visit) {
    if (dbus_message_iter_get_arg_type(interfaces) != DBUS_TYPE_ARRAY) return;
    DBusMessageIter entry;
    dbus_message_iter_recurse(interfaces, &entry);
    while (dbus_message_iter_get_arg_type(&entry) == DBUS_TYPE_DICT_ENTRY) {
        DBusMessageIter pair;
        dbus_message_iter_recurse(&entry, &pair);
        if (dbus_message_iter_get_arg_type(&pair) == DBUS_TYPE_STRING) {
            const char* name = nullptr;
            dbus_message_iter_get_basic(&pair, &name);
            if (dbus_message_iter_next(&pair)) visit(name ? name : "", &pair);
        }
        dbus_message_iter_next(&entry);
    }
}

// Finds one property of an a{sv}.
bool findProperty(DBusMessageIter* properties, const char* wanted, DBusMessageIter* variant) {
    if (dbus_message_iter_get_arg_type(properties) != DBUS_TYPE_ARRAY) return false;
    DBusMessageIter entry;
    dbus_message_iter_recurse(properties, &entry);
    while (dbus_message_iter_get_arg_type(&entry) == DBUS_TYPE_DICT_ENTRY) {
        DBusMessageIter pair;
        dbus_message_iter_recurse(&entry, &pair);
        const char* name = nullptr;
        if (dbus_message_iter_get_arg_type(&pair) == DBUS_TYPE_STRING) {
            dbus_message_iter_get_basic(&pair, &name);
            if (name && std::strcmp(name, wanted) == 0 && dbus_message_iter_next(&pair) &&
                dbus_message_iter_get_arg_type(&pair) == DBUS_TYPE_VARIANT) {
                *variant = pair;
                return true;
            }
        }
        dbus_message_iter_next(&entry);
    }
    return false;
}

class BluezDiscovery final : public devices::WiiDiscovery {
public:
    // None when the system bus, BlueZ or an adapter is missing.
    static std::unique_ptr<BluezDiscovery> create(Callbacks callbacks) {
        DBusError error;
        dbus_error_init(&error);
        DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
        if (!bus) {
            foundation::logf("Wiimote pairing: no system bus (%s)", error.message ? error.message : "unknown");
            dbus_error_free(&error);
            return nullptr;
        }
        dbus_connection_set_exit_on_disconnect(bus, false);
        auto discovery = std::unique_ptr<BluezDiscovery>(new BluezDiscovery(bus, std::move(callbacks)));
        discovery->adapter_ = discovery->findAdapter();
        if (discovery->adapter_.empty()) {
            foundation::log("Wiimote pairing: no Bluetooth adapter");
            return nullptr;
        }
        discovery->listen();
        return discovery;
    }

    ~BluezDiscovery() override {
        *alive_ = false;
        if (running_) callAdapter("StopDiscovery");
        watch_.cancel();
        if (timer_) timer_->invalidate();
        dbus_connection_close(bus_);
        dbus_connection_unref(bus_);
    }

    bool canStart() const override {
        DBusMessageRef call(
            dbus_message_new_method_call(kBluez, adapter_.c_str(), "org.freedesktop.DBus.Properties", "Get"));
        if (!call) return false;
        const char* interface = kAdapterInterface;
        const char* property = "Powered";
        dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &property,
                                 DBUS_TYPE_INVALID);
        DBusMessageRef reply(send(call.get()));
        if (!reply) return false;
        DBusMessageIter it;
        bool powered = false;
        return dbus_message_iter_init(reply.get(), &it) && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_VARIANT &&
               variantBool(&it, &powered) && powered;
    }

    void start(bool resetPairing) override {
        if (running_) return;
        running_ = true;
        resetting_ = resetPairing;
        if (!callAdapter("StartDiscovery")) {
            running_ = false;
            later(alive_, [this] {
                if (callbacks_.stopped) callbacks_.stopped(kDiscoveryFailed);
            });
            return;
        }
        later(alive_, [this] {
            if (callbacks_.runningChanged) callbacks_.runningChanged(true);
        });
        timer_ = foundation::RunLoop::main().scheduleTimer(kDiscoveryDuration, false, foundation::RunLoopMode::Common,
                                                           [this](foundation::Timer&) { stop(); });
    }

    void stop() override {
        if (!running_) return;
        running_ = false;
        if (timer_) timer_->invalidate();
        timer_.reset();
        callAdapter("StopDiscovery");
        later(alive_, [this] {
            if (callbacks_.stopped) callbacks_.stopped(0);
            if (callbacks_.runningChanged) callbacks_.runningChanged(false);
        });
    }

    bool isRunning() const override { return running_; }
    bool pairingReset() const override { return running_ && resetting_; }

private:
    BluezDiscovery(DBusConnection* bus, Callbacks callbacks) : bus_(bus), callbacks_(std::move(callbacks)) {}

    DBusMessage* send(DBusMessage* call) const {
        DBusError error;
        dbus_error_init(&error);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus_, call, kDBusTimeoutMs, &error);
        if (!reply) {
            foundation::logf("Wiimote pairing: %s: %s", dbus_message_get_member(call),
                             error.message ? error.message : "no reply");
            dbus_error_free(&error);
        }
        return reply;
    }

    bool callAdapter(const char* method) {
        DBusMessageRef call(dbus_message_new_method_call(kBluez, adapter_.c_str(), kAdapterInterface, method));
        if (!call) return false;
        DBusMessageRef reply(send(call.get()));
        return static_cast<bool>(reply);
    }

    // The path of the first object that is an adapter.
    std::string findAdapter() {
        DBusMessageRef call(
            dbus_message_new_method_call(kBluez, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects"));
        if (!call) return {};
        DBusMessageRef reply(send(call.get()));
        DBusMessageIter objects;
        if (!reply || !dbus_message_iter_init(reply.get(), &objects) ||
            dbus_message_iter_get_arg_type(&objects) != DBUS_TYPE_ARRAY)
            return {};
        DBusMessageIter entry;
        dbus_message_iter_recurse(&objects, &entry);
        while (dbus_message_iter_get_arg_type(&entry) == DBUS_TYPE_DICT_ENTRY) {
            DBusMessageIter pair;
            dbus_message_iter_recurse(&entry, &pair);
            const char* path = nullptr;
            if (dbus_message_iter_get_arg_type(&pair) == DBUS_TYPE_OBJECT_PATH) {
                dbus_message_iter_get_basic(&pair, &path);
                bool adapter = false;
                if (dbus_message_iter_next(&pair))
                    forEachInterface(&pair, [&](const std::string& name, DBusMessageIter*) {
                        adapter = adapter || name == kAdapterInterface;
                    });
                if (adapter && path) return path;
            }
            dbus_message_iter_next(&entry);
        }
        return {};
    }

    // Remotes found while pairing are asked to connect; the kernel's driver takes them from there.
    void listen() {
        DBusError error;
        dbus_error_init(&error);
        dbus_bus_add_match(bus_,
                           "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager',"
                           "member='InterfacesAdded'",
                           &error);
        if (dbus_error_is_set(&error)) {
            foundation::logf("Wiimote pairing: %s", error.message);
            dbus_error_free(&error);
            return;
        }
        int fd = -1;
        if (!dbus_connection_get_unix_fd(bus_, &fd)) return;
        watch_ = foundation::RunLoop::main().watchFd(fd, foundation::FdEvent::Readable, [this](uint32_t events) {
            if (events & (foundation::FdEvent::Error | foundation::FdEvent::HangUp)) {
                watch_.cancel();
                return;
            }
            dbus_connection_read_write(bus_, 0);
            while (DBusMessage* message = dbus_connection_pop_message(bus_)) {
                DBusMessageRef held(message);
                if (dbus_message_is_signal(message, "org.freedesktop.DBus.ObjectManager", "InterfacesAdded"))
                    interfacesAdded(message);
            }
        });
    }

    void interfacesAdded(DBusMessage* message) {
        if (!running_) return;
        DBusMessageIter it;
        if (!dbus_message_iter_init(message, &it) || dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_OBJECT_PATH)
            return;
        const char* path = nullptr;
        dbus_message_iter_get_basic(&it, &path);
        if (!path || !dbus_message_iter_next(&it)) return;
        bool remote = false;
        forEachInterface(&it, [&](const std::string& name, DBusMessageIter* properties) {
            DBusMessageIter variant;
            std::string deviceName;
            if (name == kDeviceInterface && findProperty(properties, "Name", &variant) &&
                variantString(&variant, &deviceName))
                remote = deviceName.rfind(kRemoteNamePrefix, 0) == 0;
        });
        if (!remote) return;
        // A pairing reset pairs the remote anew; otherwise it is only connected.
        DBusMessageRef call(
            dbus_message_new_method_call(kBluez, path, kDeviceInterface, resetting_ ? "Pair" : "Connect"));
        if (call) dbus_connection_send(bus_, call.get(), nullptr);
    }

    DBusConnection* bus_;
    Callbacks callbacks_;
    std::string adapter_;
    bool running_ = false;
    bool resetting_ = false;
    foundation::FdWatch watch_;
    std::shared_ptr<foundation::Timer> timer_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// ---- remotes coming and going (udev) ------------------------------------------------------------

class LinuxWiiHIDDevice final : public devices::WiiHIDDevice {
public:
    LinuxWiiHIDDevice(std::string syspath, std::string address)
        : syspath_(std::move(syspath)), address_(std::move(address)) {}
    std::string serialNumber() const override { return address_; }
    // The driver keeps the Bluetooth link; the connection closing its interfaces lets the remote go.
    void close() override {}
    const std::string& syspath() const { return syspath_; }

private:
    std::string syspath_;
    std::string address_;
};

bool isWiimote(udev_device* device) {
    const char* driver = udev_device_get_driver(device);
    return driver && std::strcmp(driver, kWiimoteDriver) == 0;
}

std::string addressOf(udev_device* device) {
    const char* unique = udev_device_get_property_value(device, "HID_UNIQ");
    return unique ? unique : "";
}

class UdevHIDManager final : public devices::WiiHIDManager {
public:
    explicit UdevHIDManager(Callbacks callbacks) : callbacks_(std::move(callbacks)), udev_(udev_new()) {}
    ~UdevHIDManager() override {
        *alive_ = false;
        close();
        if (udev_) udev_unref(udev_);
    }

    void open() override {
        if (opened_ || !udev_) return;
        opened_ = true;
        monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
        if (monitor_ && udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hid", nullptr) >= 0 &&
            udev_monitor_enable_receiving(monitor_) >= 0) {
            const int fd = udev_monitor_get_fd(monitor_);
            watch_ = foundation::RunLoop::main().watchFd(fd, foundation::FdEvent::Readable,
                                                         [this](uint32_t events) { receive(events); });
        } else {
            foundation::log("Wiimotes: no device events from udev; only remotes present now are found");
        }
        // The remotes already bound to the driver are found as the manager opens.
        udev_enumerate* enumerate = udev_enumerate_new(udev_);
        if (!enumerate) return;
        udev_enumerate_add_match_subsystem(enumerate, "hid");
        udev_enumerate_scan_devices(enumerate);
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
            udev_device* device = udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry));
            if (!device) continue;
            if (isWiimote(device)) add(udev_device_get_syspath(device), addressOf(device));
            udev_device_unref(device);
        }
        udev_enumerate_unref(enumerate);
    }

    void close() override {
        opened_ = false;
        watch_.cancel();
        if (monitor_) udev_monitor_unref(monitor_);
        monitor_ = nullptr;
        devices_.clear();
    }

private:
    void receive(uint32_t events) {
        if (events & (foundation::FdEvent::Error | foundation::FdEvent::HangUp)) {
            watch_.cancel();
            return;
        }
        while (udev_device* device = udev_monitor_receive_device(monitor_)) {
            const char* action = udev_device_get_action(device);
            const std::string syspath = udev_device_get_syspath(device);
            if (action && (std::strcmp(action, "remove") == 0 || std::strcmp(action, "unbind") == 0))
                remove(syspath);
            else if (isWiimote(device))
                add(syspath, addressOf(device));
            udev_device_unref(device);
        }
    }

    void add(const std::string& syspath, const std::string& address) {
        if (devices_.count(syspath)) return;
        auto device = std::make_shared<LinuxWiiHIDDevice>(syspath, address);
        devices_[syspath] = device;
        later(alive_, [this, device] {
            if (opened_ && callbacks_.found) callbacks_.found(device);
        });
    }

    void remove(const std::string& syspath) {
        auto it = devices_.find(syspath);
        if (it == devices_.end()) return;
        auto device = it->second;
        devices_.erase(it);
        later(alive_, [this, device] {
            if (opened_ && callbacks_.lost) callbacks_.lost(device);
        });
    }

    Callbacks callbacks_;
    udev* udev_;
    udev_monitor* monitor_ = nullptr;
    bool opened_ = false;
    foundation::FdWatch watch_;
    std::map<std::string, std::shared_ptr<LinuxWiiHIDDevice>> devices_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// ---- one remote (libxwiimote and the extensions' evdev nodes) ------------------------------------

// An extension's evdev node: its keys as buttons, its sticks and analog buttons as values.
struct ExtensionNode {
    int source = -1;
    int fd = -1;
    libevdev* device = nullptr;
    foundation::FdWatch watch;
    std::vector<WiiEvent> pending;
    bool sticksMoved = false;

    ~ExtensionNode() {
        watch.cancel();
        if (device) libevdev_free(device);
        if (fd >= 0) ::close(fd);
    }
    double axis(unsigned code) const {
        return wii::normalised(libevdev_get_event_value(device, EV_ABS, code), libevdev_get_abs_minimum(device, code),
                               libevdev_get_abs_maximum(device, code));
    }
};

class XWiimoteConnection final : public devices::WiiRemoteConnection {
public:
    explicit XWiimoteConnection(std::shared_ptr<LinuxWiiHIDDevice> device) : device_(std::move(device)) {}
    ~XWiimoteConnection() override {
        *alive_ = false;
        release();
    }

    int connect(Callbacks callbacks) override {
        callbacks_ = std::move(callbacks);
        int result = xwii_iface_new(&iface_, device_->syspath().c_str());
        if (result < 0) return -result;
        result = xwii_iface_open(iface_, XWII_IFACE_CORE | XWII_IFACE_WRITABLE);
        if (result < 0) {
            release();
            return -result;
        }
        // Extensions plugged in and out are reported as watch events.
        xwii_iface_watch(iface_, true);
        watch_ = foundation::RunLoop::main().watchFd(xwii_iface_get_fd(iface_), foundation::FdEvent::Readable,
                                                     [this](uint32_t) { readRemote(); });
        openExtensionNodes();
        later(alive_, [this] {
            connected_ = true;
            if (callbacks_.connected) callbacks_.connected();
        });
        return 0;
    }

    bool isConnected() const override { return connected_; }
    std::string address() const override { return device_->serialNumber(); }
    devices::WiiHIDDevicePtr device() const override { return device_; }

    void refreshStatus() override {
        uint8_t capacity = 0;
        if (!iface_ || xwii_iface_get_battery(iface_, &capacity) < 0) return;
        // The driver gives percent; the slot reads a balance board's status on a scale of its own.
        later(alive_, [this, capacity, extension = extensionType()] {
            deliver({wii::batteryStatusEvent(capacity, extension)});
        });
    }

    // The kernel's driver sets the camera's sensitivity itself.
    void setIRSensitivity(int64_t) override {}
    void setAcceptsAccelerometerEvents(bool on) override { setInterface(XWII_IFACE_ACCEL, on); }
    void setAcceptsIRCameraEvents(bool on) override { setInterface(XWII_IFACE_IR, on); }
    void setAcceptsMotionPlusEvents(bool on) override { setInterface(XWII_IFACE_MOTION_PLUS, on); }

    std::optional<int64_t> extensionType() const override {
        if (!iface_) return std::nullopt;
        char* name = nullptr;
        if (xwii_iface_get_extension(iface_, &name) < 0 || !name) return std::nullopt;
        auto type = wii::extensionType(name);
        std::free(name);
        return type;
    }
    // The driver has no MotionPlus modes or filters; the values are kept for what asks.
    void setMotionPlusMode(int64_t mode) override { motionPlusMode_ = mode; }
    void setMotionPlusFilterSensitivity(double sensitivity) override { motionPlusFilter_ = sensitivity; }
    // The rates at rest become the new zero.
    void resetMotionPlusTracking() override {
        if (iface_) xwii_iface_set_mp_normalization(iface_, lastRates_[0], lastRates_[1], lastRates_[2], 0);
    }

    void setLeds(uint8_t mask) override {
        if (!iface_) return;
        for (unsigned led = 1; led <= 4; ++led) xwii_iface_set_led(iface_, XWII_LED(led), (mask >> (led - 1)) & 1);
    }
    void setRumbleEnabled(bool on) override {
        if (iface_) xwii_iface_rumble(iface_, on);
    }

private:
    void release() {
        watch_.cancel();
        nodes_.clear();
        if (iface_) xwii_iface_unref(iface_);
        iface_ = nullptr;
    }

    void setInterface(unsigned interface, bool on) {
        if (!iface_) return;
        if (on)
            xwii_iface_open(iface_, interface);
        else
            xwii_iface_close(iface_, interface);
    }

    // One report: the events between the two brackets.
    void deliver(const std::vector<WiiEvent>& events) {
        auto alive = alive_;
        if (callbacks_.willInterpretReport) callbacks_.willInterpretReport();
        for (const auto& event : events) {
            if (!*alive) return;
            if (callbacks_.event) callbacks_.event(event);
        }
        if (*alive && callbacks_.didInterpretReport) callbacks_.didInterpretReport();
    }

    void gone() {
        if (!connected_) return;
        connected_ = false;
        release();
        later(alive_, [this] {
            if (callbacks_.disconnected) callbacks_.disconnected();
        });
    }

    // Events the driver stamped with one time belong to one report.
    void readRemote() {
        std::vector<WiiEvent> report;
        timeval stamp{};
        auto flush = [&] {
            if (report.empty()) return;
            std::vector<WiiEvent> events = std::move(report);
            report.clear();
            later(alive_, [this, events] { deliver(events); });
        };
        xwii_event raw{};
        for (;;) {
            const int result = xwii_iface_dispatch(iface_, &raw, sizeof raw);
            if (result == -EAGAIN) break;
            if (result < 0) {
                flush();
                gone();
                return;
            }
            if (raw.time.tv_sec != stamp.tv_sec || raw.time.tv_usec != stamp.tv_usec) {
                flush();
                stamp = raw.time;
            }
            convert(raw, report);
        }
        flush();
    }

    void convert(const xwii_event& raw, std::vector<WiiEvent>& report) {
        WiiEvent event;
        switch (raw.type) {
        case XWII_EVENT_KEY:
        case XWII_EVENT_PRO_CONTROLLER_KEY: {
            if (raw.v.key.state > 1) return;  // the driver's key repeat
            const bool pro = raw.type == XWII_EVENT_PRO_CONTROLLER_KEY;
            event.button = pro ? wii::proControllerButton(raw.v.key.code) : wii::remoteButton(raw.v.key.code);
            if (!event.button) return;
            event.type = wii::Button;
            event.source = pro ? wii::Classic : wii::Remote;
            event.buttonIsUp = raw.v.key.state == 0;
            break;
        }
        case XWII_EVENT_ACCEL:
            event.type = wii::Accelerometer;
            event.x = wii::accelerometerValue(raw.v.abs[0].x);
            event.y = wii::accelerometerValue(raw.v.abs[0].y);
            event.z = wii::accelerometerValue(raw.v.abs[0].z);
            break;
        case XWII_EVENT_IR: {
            wii::IRSource sources[4];
            for (int i = 0; i < 4; ++i)
                sources[i] = {xwii_event_ir_is_valid(&raw.v.abs[i]), raw.v.abs[i].x, raw.v.abs[i].y};
            event = wii::irEvent(sources);
            break;
        }
        case XWII_EVENT_BALANCE_BOARD:
            event.type = wii::Weight;
            event.source = wii::BalanceBoard;
            // The driver counts in tens of grams; the weights are kilograms.
            for (int i = 0; i < 4; ++i) event.weights[static_cast<size_t>(i)] = raw.v.abs[i].x / 100.0;
            break;
        case XWII_EVENT_MOTION_PLUS:
            event.type = wii::MotionPlusRates;
            event.source = wii::MotionPlus;
            lastRates_[0] = raw.v.abs[0].x;
            lastRates_[1] = raw.v.abs[0].y;
            lastRates_[2] = raw.v.abs[0].z;
            event.deltaX = raw.v.abs[0].x;
            event.deltaY = raw.v.abs[0].y;
            event.deltaZ = raw.v.abs[0].z;
            // About 8192 units of the driver are a full turn per second and a half.
            event.x = raw.v.abs[0].x / 8192.0;
            event.y = raw.v.abs[0].y / 8192.0;
            event.z = raw.v.abs[0].z / 8192.0;
            break;
        case XWII_EVENT_PRO_CONTROLLER_MOVE:
            for (int stick = 0; stick < 2; ++stick) {
                WiiEvent move;
                move.type = wii::Stick;
                move.source = wii::Classic;
                move.subtype = stick + 1;
                move.x = wii::normalised(raw.v.abs[stick].x, -2048, 2048);
                move.y = wii::normalised(raw.v.abs[stick].y, -2048, 2048);
                report.push_back(move);
            }
            return;
        case XWII_EVENT_WATCH:
            // An extension came or went: its nodes change, and the slot looks at the extension.
            openExtensionNodes();
            event.type = wii::Status;
            event.subtype = wii::kExtensionChangedStatus;
            event.source = wii::Remote;
            break;
        default: return;
        }
        report.push_back(event);
    }

    // The evdev nodes the driver made for the extension now attached, among the inputs below the
    // remote's hid device.
    void openExtensionNodes() {
        nodes_.clear();
        udev* u = udev_new();
        if (!u) return;
        udev_device* hid = udev_device_new_from_syspath(u, device_->syspath().c_str());
        udev_enumerate* enumerate = hid ? udev_enumerate_new(u) : nullptr;
        if (enumerate) {
            udev_enumerate_add_match_subsystem(enumerate, "input");
            udev_enumerate_add_match_parent(enumerate, hid);
            udev_enumerate_scan_devices(enumerate);
            udev_list_entry* entry = nullptr;
            udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
                udev_device* input = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
                if (!input) continue;
                const char* node = udev_device_get_devnode(input);
                udev_device* parent = udev_device_get_parent_with_subsystem_devtype(input, "input", nullptr);
                const char* name = parent ? udev_device_get_sysattr_value(parent, "name") : nullptr;
                const int source = name ? wii::extensionSourceForNodeName(name) : -1;
                const char* sysname = udev_device_get_sysname(input);
                if (node && sysname && source >= 0 && std::strncmp(sysname, "event", 5) == 0) openNode(node, source);
                udev_device_unref(input);
            }
            udev_enumerate_unref(enumerate);
        }
        if (hid) udev_device_unref(hid);
        udev_unref(u);
    }

    void openNode(const char* path, int source) {
        auto node = std::make_unique<ExtensionNode>();
        node->source = source;
        node->fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (node->fd < 0 || libevdev_new_from_fd(node->fd, &node->device) < 0) {
            foundation::logf("Wiimote extension %s: %s", path, std::strerror(errno));
            return;
        }
        ExtensionNode* raw = node.get();
        node->watch = foundation::RunLoop::main().watchFd(node->fd, foundation::FdEvent::Readable,
                                                          [this, raw](uint32_t events) { readNode(*raw, events); });
        nodes_.push_back(std::move(node));
    }

    void readNode(ExtensionNode& node, uint32_t events) {
        if (events & (foundation::FdEvent::Error | foundation::FdEvent::HangUp)) {
            node.watch.cancel();
            return;
        }
        input_event ev{};
        unsigned flag = LIBEVDEV_READ_FLAG_NORMAL;
        for (;;) {
            const int result = libevdev_next_event(node.device, flag, &ev);
            if (result == -EAGAIN) {
                if (flag == LIBEVDEV_READ_FLAG_SYNC) {
                    flag = LIBEVDEV_READ_FLAG_NORMAL;
                    continue;
                }
                break;
            }
            if (result < 0) {
                node.watch.cancel();
                return;
            }
            // Events dropped by the kernel: catch up with the device's state, then go on.
            if (result == LIBEVDEV_READ_STATUS_SYNC) flag = LIBEVDEV_READ_FLAG_SYNC;
            if (ev.type == EV_KEY && ev.value <= 1) {
                WiiEvent event;
                event.type = wii::Button;
                event.source = node.source;
                event.button = wii::extensionButton(node.source, ev.code);
                event.buttonIsUp = ev.value == 0;
                if (event.button) node.pending.push_back(event);
            } else if (ev.type == EV_ABS) {
                node.sticksMoved = true;
            } else if (ev.type == EV_SYN && ev.code == SYN_REPORT) {
                if (node.sticksMoved) addSticks(node);
                node.sticksMoved = false;
                if (!node.pending.empty()) {
                    std::vector<WiiEvent> report = std::move(node.pending);
                    node.pending.clear();
                    later(alive_, [this, report] { deliver(report); });
                }
            }
        }
    }

    void addSticks(ExtensionNode& node) {
        auto stick = [&](int subtype, unsigned xCode, unsigned yCode) {
            WiiEvent event;
            event.type = wii::Stick;
            event.source = node.source;
            event.subtype = subtype;
            event.x = node.axis(xCode);
            event.y = node.axis(yCode);
            node.pending.push_back(event);
        };
        auto analog = [&](int subtype, unsigned code) {
            WiiEvent event;
            event.type = wii::AnalogButton;
            event.source = node.source;
            event.subtype = subtype;
            event.x = node.axis(code);
            node.pending.push_back(event);
        };
        switch (node.source) {
        case wii::Nunchuk: stick(0, ABS_HAT0X, ABS_HAT0Y); break;
        case wii::Classic:
            stick(1, ABS_HAT1X, ABS_HAT1Y);
            stick(2, ABS_HAT2X, ABS_HAT2Y);
            analog(1, ABS_HAT3X);
            analog(2, ABS_HAT3Y);
            break;
        case wii::Guitar: stick(0, ABS_X, ABS_Y); break;
        default: break;
        }
    }

    std::shared_ptr<LinuxWiiHIDDevice> device_;
    Callbacks callbacks_;
    xwii_iface* iface_ = nullptr;
    bool connected_ = false;
    foundation::FdWatch watch_;
    std::vector<std::unique_ptr<ExtensionNode>> nodes_;
    int64_t motionPlusMode_ = 0;
    double motionPlusFilter_ = 0;
    int32_t lastRates_[3] = {0, 0, 0};
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace

std::unique_ptr<devices::WiiDiscovery> LinuxWiiRemoteBackend::makeDiscovery(
    devices::WiiDiscovery::Callbacks callbacks) {
    return BluezDiscovery::create(std::move(callbacks));
}

std::unique_ptr<devices::WiiHIDManager> LinuxWiiRemoteBackend::makeHIDManager(
    devices::WiiHIDManager::Callbacks callbacks) {
    return std::make_unique<UdevHIDManager>(std::move(callbacks));
}

std::unique_ptr<devices::WiiRemoteConnection> LinuxWiiRemoteBackend::makeConnection(
    const devices::WiiHIDDevicePtr& device) {
    auto linuxDevice = std::dynamic_pointer_cast<LinuxWiiHIDDevice>(device);
    if (!linuxDevice) return nullptr;
    return std::make_unique<XWiimoteConnection>(std::move(linuxDevice));
}

}  // namespace platform
