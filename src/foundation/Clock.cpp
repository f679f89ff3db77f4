#include "foundation/Clock.h"

#include "foundation/Exception.h"

#include <cmath>
#include <ctime>

namespace foundation {

Clock::ListenerId Clock::addMoveListener(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    ListenerId id = nextListener_++;
    listeners_.emplace(id, std::move(listener));
    return id;
}

void Clock::removeMoveListener(ListenerId id) {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    listeners_.erase(id);
}

void Clock::notifyMoved() {
    // Called with the lock held so that a listener being removed (its run loop going away) is
    // never called afterwards.
    std::lock_guard<std::mutex> lock(listenersMutex_);
    for (auto& [id, listener] : listeners_) listener();
}

double SystemClock::now() const {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::shared_ptr<SystemClock> SystemClock::shared() {
    static const std::shared_ptr<SystemClock> clock = std::make_shared<SystemClock>();
    return clock;
}

double ManualClock::now() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
}

void ManualClock::advance(double seconds) {
    FND_PARAMETER_ASSERT(seconds >= 0 && std::isfinite(seconds));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        now_ += seconds;
    }
    notifyMoved();
}

}  // namespace foundation
