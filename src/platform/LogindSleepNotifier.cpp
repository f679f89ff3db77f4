#include "platform/LogindSleepNotifier.h"

#include "controllers/QRBWiiRemoteManager.h"
#include "foundation/Log.h"
#include "foundation/NotificationCenter.h"
#include "foundation/RunLoop.h"

#include <dbus/dbus.h>

namespace platform {

namespace {

class DBusSleepNotifier final : public LogindSleepNotifier {
public:
    explicit DBusSleepNotifier(DBusConnection* bus) : bus_(bus) {
        int fd = -1;
        if (!dbus_connection_get_unix_fd(bus_, &fd)) return;
        watch_ = foundation::RunLoop::main().watchFd(fd, foundation::FdEvent::Readable, [this](uint32_t events) {
            if (events & (foundation::FdEvent::Error | foundation::FdEvent::HangUp)) {
                watch_.cancel();
                return;
            }
            dbus_connection_read_write(bus_, 0);
            while (DBusMessage* message = dbus_connection_pop_message(bus_)) {
                if (dbus_message_is_signal(message, "org.freedesktop.login1.Manager", "PrepareForSleep")) {
                    dbus_bool_t sleeping = false;
                    if (dbus_message_get_args(message, nullptr, DBUS_TYPE_BOOLEAN, &sleeping, DBUS_TYPE_INVALID))
                        foundation::NotificationCenter::defaultCenter().post(
                            sleeping ? QRBWiiRemoteManager::kWillSleepNotification
                                     : QRBWiiRemoteManager::kDidWakeNotification);
                }
                dbus_message_unref(message);
            }
        });
    }
    ~DBusSleepNotifier() override {
        watch_.cancel();
        dbus_connection_close(bus_);
        dbus_connection_unref(bus_);
    }

private:
    DBusConnection* bus_;
    foundation::FdWatch watch_;
};

}  // namespace

std::unique_ptr<LogindSleepNotifier> LogindSleepNotifier::start() {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (!bus) {
        foundation::logf("Sleep and wake: no system bus (%s)", error.message ? error.message : "unknown");
        dbus_error_free(&error);
        return nullptr;
    }
    dbus_connection_set_exit_on_disconnect(bus, false);
    dbus_bus_add_match(bus, "type='signal',interface='org.freedesktop.login1.Manager',member='PrepareForSleep'",
                       &error);
    if (dbus_error_is_set(&error)) {
        foundation::logf("Sleep and wake: %s", error.message);
        dbus_error_free(&error);
    }
    return std::make_unique<DBusSleepNotifier>(bus);
}

}  // namespace platform
