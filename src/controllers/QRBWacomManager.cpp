#include "controllers/QRBWacomManager.h"

#include "controllers/devices/DeviceLayers.h"
#include "core/QRBPreferences.h"
#include "foundation/Format.h"
#include "foundation/Log.h"

#include <chrono>
#include <exception>
#include <thread>

std::vector<std::string> QRBWacomManager::daemonArguments(const std::string& targetURL, int mode, unsigned keyCode,
                                                          unsigned long long modifierFlags) {
    std::vector<std::string> arguments{"-TargetURL", targetURL, "-MouseLockMode", foundation::format("%d", mode)};
    if (mode != 0) {
        arguments.insert(arguments.end(), {"-KeyCode", foundation::format("%d", int(keyCode)), "-ModifierFlags",
                                           foundation::format("%lld", static_cast<long long>(modifierFlags))});
    }
    return arguments;
}

void QRBWacomManager::start() {
    auto& preferences = QRBPreferences::sharedPreferences();
    const int mode = preferences.wacomMouseLockMode();
    if (task_ || mode == -1 || !targetURL_) return;
    const detail::KeyCombo hotKey = preferences.wacomHotKey();
    try {
        task_ = devices::DeviceLayers::current().tabletDaemon->launch(
            kDaemonName, daemonArguments(*targetURL_, mode, hotKey.code, hotKey.flags));
    } catch (const std::exception& e) {
        foundation::logf("Exception occurred while launching the wacom daemon: %s", e.what());
    }
}

void QRBWacomManager::stop() {
    if (task_ && task_->isRunning()) task_->terminate();
    task_.reset();
}

void QRBWacomManager::restart() {
    stop();
    std::this_thread::sleep_for(std::chrono::microseconds(10000));
    start();
}

void QRBWacomManager::setTargetURL(const std::optional<std::string>& url) {
    if (url == targetURL_ && targetURL_) return;
    targetURL_ = url;
    restart();
}
