#pragma once
// The run loop of a thread: timers, delayed performs, signalled sources, functions posted from
// other threads and watched file descriptors, all dispatched on the loop's thread.
//
// All model work runs on the main thread's loop (RunLoop::main()). Other threads only wait, copy
// and hand over: they signal a source or post a function. The loop is built on one epoll
// descriptor that also holds an eventfd (wake-ups) and a timerfd (the next timer deadline), so a
// host event loop (the Qt interface) can watch fd() and call dispatchReady() when it is readable.
//
// Time comes from the loop's Clock. With a ManualClock, tests advance time and call
// dispatchReady() to fire due timers in virtual time; the timerfd is only armed with the system
// clock.
//
// Every method of RunLoop, Timer and RunLoopSource may be called from any thread; the callbacks
// run on the thread that runs the loop (one thread per loop). Callbacks may add, remove and
// invalidate anything, and may run the loop again (a nested run, as a modal wait does).
// An exception thrown by a callback is caught at the dispatch boundary and logged; the loop goes
// on.

#include "foundation/Clock.h"
#include "foundation/Identity.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace foundation {

class RunLoop;

// The modes a timer or source runs in. A loop runs in one mode at a time (Default or
// EventTracking); Common stands for both, so that what is added for Common also runs while a
// menu or a resize tracks events.
enum class RunLoopMode : uint8_t { Default = 1, EventTracking = 2, Common = 3 };

// A timer: fires its callback once, or repeatedly every interval, on the loop it is added to.
// A repeating timer that fell behind fires once and its next date moves to the next multiple of
// its interval that lies in the future; it never fires a burst to catch up.
// A loop holds its timers until they are invalidated (a one-shot timer after it fired); the timer
// holds its callback, and so whatever the callback captures, until then.
class Timer : public std::enable_shared_from_this<Timer> {
    struct Key {};

public:
    using Callback = std::function<void(Timer&)>;

    // An unscheduled timer. Its first fire date is `interval` seconds after it is added to a run
    // loop, unless setFireDate() gives another. A repeating timer needs an interval above 0.
    static std::shared_ptr<Timer> create(double interval, bool repeats, Callback callback);

    Timer(Key, double interval, bool repeats, Callback callback);
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Removes the timer from its loop for good. Callable from anywhere, also from inside its own
    // callback or another timer's; a timer invalidated before it fires never fires.
    void invalidate();
    bool isValid() const;

    double interval() const { return interval_; }
    bool repeats() const { return repeats_; }

    // The next fire date in the loop clock's seconds; nothing until the timer is added to a loop
    // (or given a date).
    std::optional<double> fireDate() const;
    // Moves the next firing. Called from inside the timer's own callback, the new date replaces
    // the one the repeat would have chosen.
    void setFireDate(double date);

private:
    friend class RunLoop;

    const double interval_;
    const bool repeats_;
    Callback callback_;

    // Guarded by mutex_.
    mutable std::mutex mutex_;
    std::optional<double> fireDate_;
    bool valid_ = true;
    bool firing_ = false;  // its callback runs; a nested run does not fire it again
    std::weak_ptr<RunLoop> loop_;

    // The rest is guarded by the owning loop's mutex.
    uint8_t modes_ = 0;
    uint64_t order_ = 0;                   // schedule order, to fire timers due at the same date in order
    const void* performTarget_ = nullptr;  // set for performAfter's timers
    std::optional<double> queuedDate_;     // the date the loop's queues hold it under
};

// A source that other threads signal and the loop performs. Signals are never lost: one made
// before the source is added to a loop, or while the loop is busy, is performed when the loop next
// runs in one of the source's modes. Several signals before one dispatch may give one perform.
// A source belongs to at most one loop.
class RunLoopSource : public std::enable_shared_from_this<RunLoopSource> {
    struct Key {};

public:
    static std::shared_ptr<RunLoopSource> create(std::function<void()> perform);

    RunLoopSource(Key, std::function<void()> perform);
    RunLoopSource(const RunLoopSource&) = delete;
    RunLoopSource& operator=(const RunLoopSource&) = delete;

    // Marks the source ready and wakes its loop. Thread-safe, async-signal-unsafe.
    void signal();
    // Removes the source from its loop for good; later signals do nothing.
    void invalidate();
    bool isValid() const { return valid_.load(); }

private:
    friend class RunLoop;

    std::function<void()> perform_;
    std::atomic<bool> signalled_{false};
    std::atomic<bool> valid_{true};

    // Guarded by mutex_.
    mutable std::mutex mutex_;
    std::weak_ptr<RunLoop> loop_;

    // Guarded by the owning loop's mutex.
    uint8_t modes_ = 0;
};

// What a watched descriptor is ready for (and Error / HangUp, which are always reported).
namespace FdEvent {
inline constexpr uint32_t Readable = 1u << 0;
inline constexpr uint32_t Writable = 1u << 1;
inline constexpr uint32_t Error = 1u << 2;
inline constexpr uint32_t HangUp = 1u << 3;
}  // namespace FdEvent

// Keeps a descriptor watched; destroying it or calling cancel() stops the watch (also from inside
// the watch's own callback).
class [[nodiscard]] FdWatch {
public:
    FdWatch() = default;
    FdWatch(FdWatch&& other) noexcept;
    FdWatch& operator=(FdWatch&& other) noexcept;
    FdWatch(const FdWatch&) = delete;
    FdWatch& operator=(const FdWatch&) = delete;
    ~FdWatch();

    void cancel();
    bool isActive() const { return id_ != 0; }

private:
    friend class RunLoop;
    FdWatch(std::weak_ptr<RunLoop> loop, uint64_t id) : loop_(std::move(loop)), id_(id) {}

    std::weak_ptr<RunLoop> loop_;
    uint64_t id_ = 0;
};

class RunLoop : public std::enable_shared_from_this<RunLoop> {
    struct Key {};

public:
    // How a run in a mode ended.
    enum class RunResult { Stopped, TimedOut, HandledSource };

    static constexpr double kForever = std::numeric_limits<double>::infinity();

    // A loop of its own, for a thread that runs it or for tests.
    static std::shared_ptr<RunLoop> create(std::shared_ptr<Clock> clock = nullptr);
    // The main thread's loop, made on first use with the system clock. It is never destroyed, so
    // that what its timers hold does not outlive the rest of the program's statics.
    static RunLoop& main();
    // The loop of the calling thread (main() on the main thread), made on first use.
    static RunLoop& current();

    RunLoop(Key, std::shared_ptr<Clock> clock);
    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // --- time
    double now() const;
    std::shared_ptr<Clock> clock() const;
    // Replaces the clock; scheduled timers keep their remaining time until they fire.
    void setClock(std::shared_ptr<Clock> clock);

    // --- timers
    // Schedules `timer` in `mode` (adding it again for another mode widens its modes).
    void addTimer(const std::shared_ptr<Timer>& timer, RunLoopMode mode);
    // Creates a timer and adds it.
    std::shared_ptr<Timer> scheduleTimer(double interval, bool repeats, RunLoopMode mode, Timer::Callback callback);

    // --- delayed performs (default mode)
    // Runs `fn` after `delay` seconds. `target` is only a key for cancelPerforms().
    void performAfter(double delay, const void* target, std::function<void()> fn);
    template <class T> void performAfter(double delay, const T* target, std::function<void()> fn) {
        performAfter(delay, identityKey(target), std::move(fn));
    }
    template <class T> void performAfter(double delay, const std::shared_ptr<T>& target, std::function<void()> fn) {
        performAfter(delay, identityKey(target), std::move(fn));
    }
    // Cancels every pending perform made for `target`.
    void cancelPerforms(const void* target);
    template <class T> void cancelPerforms(const T* target) { cancelPerforms(identityKey(target)); }
    template <class T> void cancelPerforms(const std::shared_ptr<T>& target) { cancelPerforms(identityKey(target)); }

    // --- sources
    void addSource(const std::shared_ptr<RunLoopSource>& source, RunLoopMode mode);
    // Takes the source out of `mode`; out of every mode, it leaves the loop (and may be added to
    // this or another loop again).
    void removeSource(const std::shared_ptr<RunLoopSource>& source, RunLoopMode mode);

    // --- functions from any thread; they run in order, in every mode.
    void post(std::function<void()> fn);

    // --- descriptors: `events` is FdEvent::Readable and/or Writable. The callback gets what the
    // descriptor is ready for and runs in every mode. The descriptor should be non-blocking, and
    // the callback must consume, cancel or close on Error and HangUp (they repeat while they last).
    // A descriptor can be watched once per loop.
    FdWatch watchFd(int fd, uint32_t events, std::function<void(uint32_t events)> callback);

    // --- running
    // Runs in the default mode until stop().
    void run();
    // Runs in the default mode until the clock reaches `deadline` or stop().
    void runUntil(double deadline);
    // Runs in the default mode until `predicate` holds (checked before each pass), at most
    // `timeout` seconds; answers the predicate.
    bool runUntil(const std::function<bool()>& predicate, double timeout);
    // Runs in `mode` (Default or EventTracking) for at most `timeout` seconds. With a time-out of
    // 0, performs what is ready once. With returnAfterSourceHandled, returns after the first pass
    // that performed a source, a posted function or a descriptor's callback.
    RunResult runMode(RunLoopMode mode, double timeout, bool returnAfterSourceHandled = false);
    // Makes the innermost run return; a stop made while nothing runs ends the next run at once.
    void stop();

    // Performs what is ready now in `mode`, without blocking: for a host event loop that watches
    // fd(). Work made ready by the callbacks waits for the next call. After dispatching in
    // EventTracking, the host calls dispatchReady() (Default) again when tracking ends, because
    // default-mode work that became ready meanwhile does not keep fd() readable.
    void dispatchReady(RunLoopMode mode = RunLoopMode::Default);

    // The epoll descriptor: readable when something may be ready.
    int fd() const { return epollFd_; }

private:
    friend class Timer;
    friend class RunLoopSource;
    friend class FdWatch;

    struct Watch {
        int fd;
        std::function<void(uint32_t)> callback;
        uint64_t lastServedWait = 0;
    };
    struct Frame {
        RunLoopMode mode;
        double deadline;
    };
    struct ReadyEvent {
        uint64_t id;
        uint32_t events;
    };
    // What one wait reported, kept on the caller's stack: a pass runs for every message that
    // arrives, and a nested run has its own.
    struct ReadyEvents {
        static constexpr int kCapacity = 64;
        ReadyEvent items[kCapacity];
        int count = 0;
        const ReadyEvent* begin() const { return items; }
        const ReadyEvent* end() const { return items + count; }
        bool contains(uint64_t id) const;
    };

    void wake();
    void timerChanged(Timer* timer);
    void removeTimer(Timer* timer);
    // The queues hold every timer of the loop that may fire (valid, not firing, with a date), by
    // date and schedule order, once per mode it runs in.
    void queueLocked(Timer& timer);
    void unqueueLocked(Timer& timer);
    void detachSource(RunLoopSource* source);
    void unwatch(uint64_t id);

    RunResult runInternal(RunLoopMode mode, double deadline, bool returnAfterSourceHandled,
                          const std::function<bool()>* predicate);
    // One pass over what is ready; answers how many sources, posts and descriptors were handled.
    int dispatchPass(RunLoopMode mode, const ReadyEvents& events, uint64_t waitNumber);
    void waitForEvents(int timeoutMs, ReadyEvents& events, uint64_t& waitNumber);
    bool hasReadyWorkLocked(RunLoopMode mode, double now) const;
    // Sets the earliest timer dates and the timerfd after any change of the timers.
    void rearmLocked();
    double& earliestTimerLocked(RunLoopMode mode) { return earliestTimer_[mode == RunLoopMode::EventTracking ? 1 : 0]; }
    bool drain(int fd);  // true when it read something

    const int epollFd_;
    const int wakeFd_;
    const int timerFd_;

    mutable std::mutex mutex_;
    std::shared_ptr<Clock> clock_;
    Clock::ListenerId clockListener_ = 0;
    // Every timer of the loop, and the ones that may fire in order of their dates for each mode
    // (Default, EventTracking): a pass looks only at the timers that are due, however many wait,
    // and a timer joins or leaves in logarithmic time. Performs are listed by target for
    // cancelPerforms.
    using TimerQueue = std::set<std::tuple<double, uint64_t, Timer*>>;
    std::unordered_map<const Timer*, std::shared_ptr<Timer>> timers_;
    TimerQueue timerQueues_[2];
    std::unordered_map<const void*, std::unordered_set<Timer*>> performs_;
    uint64_t nextTimerOrder_ = 1;
    std::vector<std::shared_ptr<RunLoopSource>> sources_;
    std::deque<std::function<void()>> posted_;
    std::map<uint64_t, std::shared_ptr<Watch>> watches_;
    uint64_t nextWatchId_ = 2;  // 0 and 1 are the eventfd and the timerfd
    std::vector<Frame> frames_;
    RunLoopMode idleMode_ = RunLoopMode::Default;
    std::atomic<uint64_t> waitCounter_{0};
    // The earliest date at which a timer of each mode (Default, EventTracking) can fire, or
    // kForever (guarded by mutex_): set with the timerfd whenever a timer changes, so that a pass
    // or a wait looks at each timer only when one may be due. It may be early (a timer fired
    // since), never late.
    double earliestTimer_[2] = {kForever, kForever};
    // Changes whenever a source joins or leaves the loop or changes its modes (written under
    // mutex_), so that a pass performs what it found signalled without looking again when
    // nothing changed meanwhile.
    std::atomic<uint64_t> sourcesGeneration_{0};
    // What the timerfd was last set to (guarded by mutex_), so that a pass that did not change
    // the earliest timer does not set it again. Forgotten when the timerfd's expiry is read.
    std::optional<std::pair<int64_t, int64_t>> armed_;
    std::atomic<bool> stopRequested_{false};
};

}  // namespace foundation
