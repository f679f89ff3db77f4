#pragma once
// Waiting in window tests: Qt's events are processed (the run-loop bridge with them) until a
// condition holds or a deadline passes.

#include <QApplication>

#include <chrono>
#include <functional>
#include <thread>

namespace uitest {

inline bool spinUntil(const std::function<bool()>& condition, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Processes events for `seconds`, whatever happens.
inline void spinFor(double seconds) {
    spinUntil([] { return false; }, seconds);
}

}  // namespace uitest
