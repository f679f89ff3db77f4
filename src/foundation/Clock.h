#pragma once
// The time base of run loops: monotonic seconds. Run loops take their clock as a parameter so
// that tests can move time forward by hand and fire timers without sleeping.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace foundation {

class Clock {
public:
    virtual ~Clock() = default;

    // Monotonic seconds; the origin is the clock's own.
    virtual double now() const = 0;

    // True when now() reads the system's CLOCK_MONOTONIC, so that a run loop may sleep in the
    // kernel until a deadline of this clock (timerfd, epoll time-outs).
    virtual bool isSystemMonotonic() const { return false; }

    // Listeners hear when the clock moved by other means than the passing of real time (a test
    // advancing a manual clock), so that a run loop blocked in epoll wakes and looks at its
    // timers again. Listeners run on the thread that moved the clock, with the clock's lock held;
    // they must only wake someone.
    using ListenerId = uint64_t;
    ListenerId addMoveListener(std::function<void()> listener);
    void removeMoveListener(ListenerId id);

protected:
    void notifyMoved();

private:
    std::mutex listenersMutex_;
    std::map<ListenerId, std::function<void()>> listeners_;
    ListenerId nextListener_ = 1;
};

// CLOCK_MONOTONIC in seconds.
class SystemClock final : public Clock {
public:
    double now() const override;
    bool isSystemMonotonic() const override { return true; }

    // The process-wide instance that run loops use unless given another clock.
    static std::shared_ptr<SystemClock> shared();
};

// A clock that stands still until told to move. Thread-safe.
class ManualClock final : public Clock {
public:
    explicit ManualClock(double start = 0.0) : now_(start) {}

    double now() const override;
    // Moves the clock forward by `seconds` (negative values are refused: the clock is monotonic).
    void advance(double seconds);

private:
    mutable std::mutex mutex_;
    double now_;
};

}  // namespace foundation
