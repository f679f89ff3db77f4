#pragma once
// The machine's sleep and wake as the desktop's notifications ("NSWorkspaceWillSleepNotification",
// "NSWorkspaceDidWakeNotification", posted on the main thread), from systemd-logind's
// PrepareForSleep signal on the system D-Bus. The Wii remote managers let their remotes go before
// sleep and find them again after it.

#include <memory>

namespace platform {

class LogindSleepNotifier {
public:
    // Listening until the object goes; none when there is no system bus (the log says so).
    static std::unique_ptr<LogindSleepNotifier> start();
    virtual ~LogindSleepNotifier() = default;
};

}  // namespace platform
