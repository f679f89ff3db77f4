#include "foundation/RunLoop.h"

#include "foundation/Exception.h"
#include "foundation/Log.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

namespace foundation {

namespace {

constexpr uint64_t kWakeId = 0;
constexpr uint64_t kTimerId = 1;

bool includes(uint8_t modes, RunLoopMode mode) { return (modes & static_cast<uint8_t>(mode)) != 0; }

// Callbacks must never unwind through epoll's loop (or the host's event loop above it): report and
// go on with the next piece of work.
template <class F> void invokeGuarded(const char* what, F&& f) noexcept {
    try {
        f();
    } catch (const Exception& e) {
        logf("Exception raised in a run-loop %s: %s: %s", what, e.name().c_str(), e.reason().c_str());
    } catch (const std::exception& e) {
        logf("Exception raised in a run-loop %s: %s", what, e.what());
    } catch (...) {
        logf("Unknown exception raised in a run-loop %s", what);
    }
}

[[noreturn]] void raiseErrno(const char* call) {
    raise(kInternalInconsistencyException, std::string(call) + " failed: " + std::strerror(errno));
}

// The sources one pass performs: nearly always one or none, so they stay on the stack.
class SignalledSources {
public:
    void add(std::shared_ptr<RunLoopSource> source) {
        if (count_ < kInline)
            inline_[count_++] = std::move(source);
        else
            more_.push_back(std::move(source));
    }
    template <class F> void forEach(F&& f) {
        for (size_t i = 0; i < count_; ++i) f(inline_[i]);
        for (auto& source : more_) f(source);
    }

private:
    static constexpr size_t kInline = 4;
    std::array<std::shared_ptr<RunLoopSource>, kInline> inline_;
    size_t count_ = 0;
    std::vector<std::shared_ptr<RunLoopSource>> more_;
};

uint32_t toEpoll(uint32_t events) {
    uint32_t e = 0;
    if (events & FdEvent::Readable) e |= EPOLLIN;
    if (events & FdEvent::Writable) e |= EPOLLOUT;
    return e;
}

uint32_t fromEpoll(uint32_t e) {
    uint32_t events = 0;
    if (e & (EPOLLIN | EPOLLPRI)) events |= FdEvent::Readable;
    if (e & EPOLLOUT) events |= FdEvent::Writable;
    if (e & EPOLLERR) events |= FdEvent::Error;
    if (e & EPOLLHUP) events |= FdEvent::HangUp;
    return events;
}

// The next fire date of a repeating timer that was due at `date`: the first multiple of the
// interval after it that lies in the future, so that a timer that fell behind does not burst.
double nextRepeat(double date, double interval, double now) {
    double k = std::floor((now - date) / interval) + 1.0;
    if (k < 1.0) k = 1.0;
    double next = date + k * interval;
    while (next <= now) next += interval;
    return next;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Timer

std::shared_ptr<Timer> Timer::create(double interval, bool repeats, Callback callback) {
    FND_PARAMETER_ASSERT(std::isfinite(interval));
    if (repeats) FND_PARAMETER_ASSERT(interval > 0);
    FND_PARAMETER_ASSERT(callback);
    return std::make_shared<Timer>(Key{}, std::max(interval, 0.0), repeats, std::move(callback));
}

Timer::Timer(Key, double interval, bool repeats, Callback callback)
    : interval_(interval), repeats_(repeats), callback_(std::move(callback)) {}

void Timer::invalidate() {
    auto self = weak_from_this().lock();  // the loop may hold the last reference
    Callback released;
    std::shared_ptr<RunLoop> loop;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!valid_) return;
        valid_ = false;
        // The callback (and what it captures) goes now, unless it is running; then the loop
        // drops it when the callback returns.
        if (!firing_) released = std::move(callback_);
        loop = loop_.lock();
        loop_.reset();
    }
    if (loop) loop->removeTimer(this);
}

bool Timer::isValid() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return valid_;
}

std::optional<double> Timer::fireDate() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fireDate_;
}

void Timer::setFireDate(double date) {
    FND_PARAMETER_ASSERT(!std::isnan(date));
    std::shared_ptr<RunLoop> loop;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fireDate_ = date;
        loop = loop_.lock();
    }
    if (loop) loop->timerChanged(this);
}

// ---------------------------------------------------------------------------------------------
// RunLoopSource

std::shared_ptr<RunLoopSource> RunLoopSource::create(std::function<void()> perform) {
    FND_PARAMETER_ASSERT(perform);
    return std::make_shared<RunLoopSource>(Key{}, std::move(perform));
}

RunLoopSource::RunLoopSource(Key, std::function<void()> perform) : perform_(std::move(perform)) {}

void RunLoopSource::signal() {
    if (!valid_.load()) return;
    // The flag is set before the loop is looked up: a loop that adds the source afterwards finds
    // it set, and a loop that is already blocked is woken.
    signalled_.store(true);
    std::shared_ptr<RunLoop> loop;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        loop = loop_.lock();
    }
    if (loop) loop->wake();
}

void RunLoopSource::invalidate() {
    valid_.store(false);
    std::shared_ptr<RunLoop> loop;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        loop = loop_.lock();
        loop_.reset();
    }
    if (loop) loop->detachSource(this);
}

// ---------------------------------------------------------------------------------------------
// FdWatch

FdWatch::FdWatch(FdWatch&& other) noexcept : loop_(std::move(other.loop_)), id_(other.id_) { other.id_ = 0; }

FdWatch& FdWatch::operator=(FdWatch&& other) noexcept {
    if (this != &other) {
        cancel();
        loop_ = std::move(other.loop_);
        id_ = other.id_;
        other.id_ = 0;
    }
    return *this;
}

FdWatch::~FdWatch() { cancel(); }

void FdWatch::cancel() {
    if (id_ == 0) return;
    uint64_t id = id_;
    id_ = 0;
    if (auto loop = loop_.lock()) loop->unwatch(id);
    loop_.reset();
}

// ---------------------------------------------------------------------------------------------
// RunLoop: making and finding loops

std::shared_ptr<RunLoop> RunLoop::create(std::shared_ptr<Clock> clock) {
    if (!clock) clock = SystemClock::shared();
    return std::make_shared<RunLoop>(Key{}, std::move(clock));
}

RunLoop& RunLoop::main() {
    // Deliberately never destroyed: timers and performs of the main loop hold model objects, whose
    // destructors must not run during static destruction, after the statics they use are gone.
    static const std::shared_ptr<RunLoop>* const loop = new std::shared_ptr<RunLoop>(create());
    return **loop;
}

RunLoop& RunLoop::current() {
    if (gettid() == getpid()) return main();
    thread_local const std::shared_ptr<RunLoop> loop = create();
    return *loop;
}

namespace {
int checkedFd(int fd, const char* call) {
    if (fd < 0) raiseErrno(call);
    return fd;
}
}  // namespace

RunLoop::RunLoop(Key, std::shared_ptr<Clock> clock)
    : epollFd_(checkedFd(epoll_create1(EPOLL_CLOEXEC), "epoll_create1")),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      timerFd_(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)),
      clock_(std::move(clock)) {
    auto fail = [this](const char* call) {
        int saved = errno;
        if (timerFd_ >= 0) close(timerFd_);
        if (wakeFd_ >= 0) close(wakeFd_);
        close(epollFd_);
        errno = saved;
        raiseErrno(call);
    };
    if (wakeFd_ < 0) fail("eventfd");
    if (timerFd_ < 0) fail("timerfd_create");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeId;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev) != 0) fail("epoll_ctl");
    ev.data.u64 = kTimerId;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, timerFd_, &ev) != 0) fail("epoll_ctl");
    clockListener_ = clock_->addMoveListener([this] { wake(); });
}

RunLoop::~RunLoop() {
    clock_->removeMoveListener(clockListener_);
    // Whatever is still scheduled can never run now: invalidate it, so that its owners see it.
    // Taken out first: releasing a callback may run destructors that call back into this loop.
    auto timers = std::move(timers_);
    auto sources = std::move(sources_);
    for (auto& [key, timer] : timers) {
        Timer::Callback released;
        std::lock_guard<std::mutex> lock(timer->mutex_);
        timer->valid_ = false;
        timer->loop_.reset();
        released = std::move(timer->callback_);
    }
    for (auto& source : sources) {
        std::lock_guard<std::mutex> lock(source->mutex_);
        source->loop_.reset();
        source->modes_ = 0;
    }
    close(timerFd_);
    close(wakeFd_);
    close(epollFd_);
}

// ---------------------------------------------------------------------------------------------
// time

double RunLoop::now() const {
    std::shared_ptr<Clock> clock;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        clock = clock_;
    }
    return clock->now();
}

std::shared_ptr<Clock> RunLoop::clock() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clock_;
}

void RunLoop::setClock(std::shared_ptr<Clock> clock) {
    if (!clock) clock = SystemClock::shared();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (clock == clock_) return;
        double oldNow = clock_->now();
        double newNow = clock->now();
        for (auto& [key, timer] : timers_) {
            {
                std::lock_guard<std::mutex> timerLock(timer->mutex_);
                if (timer->fireDate_) timer->fireDate_ = newNow + (*timer->fireDate_ - oldNow);
            }
            queueLocked(*timer);
        }
        clock_->removeMoveListener(clockListener_);
        clock_ = std::move(clock);
        clockListener_ = clock_->addMoveListener([this] { wake(); });
        rearmLocked();
    }
    wake();
}

// ---------------------------------------------------------------------------------------------
// timers and performs

void RunLoop::addTimer(const std::shared_ptr<Timer>& timer, RunLoopMode mode) {
    FND_PARAMETER_ASSERT(timer != nullptr);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        {
            std::lock_guard<std::mutex> timerLock(timer->mutex_);
            if (!timer->valid_) return;
            auto owner = timer->loop_.lock();
            if (owner && owner.get() != this) FND_INTERNAL_ERROR("A timer can only be added to one run loop");
            if (!owner) timer->loop_ = weak_from_this();
            if (!timer->fireDate_) timer->fireDate_ = clock_->now() + timer->interval_;
        }
        timer->modes_ |= static_cast<uint8_t>(mode);
        if (timers_.emplace(timer.get(), timer).second) {
            timer->order_ = nextTimerOrder_++;
            if (timer->performTarget_) performs_[timer->performTarget_].insert(timer.get());
        }
        queueLocked(*timer);
        rearmLocked();
    }
    wake();
}

std::shared_ptr<Timer> RunLoop::scheduleTimer(double interval, bool repeats, RunLoopMode mode,
                                              Timer::Callback callback) {
    auto timer = Timer::create(interval, repeats, std::move(callback));
    addTimer(timer, mode);
    return timer;
}

void RunLoop::timerChanged(Timer* timer) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = timers_.find(timer);
        if (it != timers_.end()) queueLocked(*it->second);
        rearmLocked();
    }
    wake();
}

void RunLoop::queueLocked(Timer& timer) {
    unqueueLocked(timer);
    std::optional<double> date;
    {
        std::lock_guard<std::mutex> timerLock(timer.mutex_);
        if (!timer.valid_ || timer.firing_ || !timer.fireDate_) return;
        date = timer.fireDate_;
    }
    if (includes(timer.modes_, RunLoopMode::Default)) timerQueues_[0].emplace(*date, timer.order_, &timer);
    if (includes(timer.modes_, RunLoopMode::EventTracking)) timerQueues_[1].emplace(*date, timer.order_, &timer);
    timer.queuedDate_ = date;
}

void RunLoop::unqueueLocked(Timer& timer) {
    if (!timer.queuedDate_) return;
    for (auto& queue : timerQueues_) queue.erase({*timer.queuedDate_, timer.order_, &timer});
    timer.queuedDate_.reset();
}

void RunLoop::removeTimer(Timer* timer) {
    std::shared_ptr<Timer> removed;  // released after the lock
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = timers_.find(timer);
    if (it == timers_.end()) return;
    removed = std::move(it->second);
    timers_.erase(it);
    unqueueLocked(*removed);
    if (removed->performTarget_) {
        auto target = performs_.find(removed->performTarget_);
        if (target != performs_.end()) {
            target->second.erase(removed.get());
            if (target->second.empty()) performs_.erase(target);
        }
    }
    removed->modes_ = 0;
    rearmLocked();
}

void RunLoop::performAfter(double delay, const void* target, std::function<void()> fn) {
    FND_PARAMETER_ASSERT(fn);
    if (!(delay > 0)) delay = 0;  // also NaN
    auto timer = Timer::create(delay, false, [fn = std::move(fn)](Timer&) { fn(); });
    timer->performTarget_ = target;
    addTimer(timer, RunLoopMode::Default);
}

void RunLoop::cancelPerforms(const void* target) {
    std::vector<std::shared_ptr<Timer>> cancelled;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = performs_.find(target);
        if (it != performs_.end()) {
            for (Timer* timer : it->second) cancelled.push_back(timers_.at(timer));
        }
    }
    for (auto& timer : cancelled) timer->invalidate();
}

// ---------------------------------------------------------------------------------------------
// sources, posts, descriptors

void RunLoop::addSource(const std::shared_ptr<RunLoopSource>& source, RunLoopMode mode) {
    FND_PARAMETER_ASSERT(source != nullptr);
    if (!source->isValid()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        {
            std::lock_guard<std::mutex> sourceLock(source->mutex_);
            auto owner = source->loop_.lock();
            if (owner && owner.get() != this) FND_INTERNAL_ERROR("A run-loop source can only be added to one run loop");
            if (!owner) source->loop_ = weak_from_this();
        }
        source->modes_ |= static_cast<uint8_t>(mode);
        if (std::find(sources_.begin(), sources_.end(), source) == sources_.end()) sources_.push_back(source);
        sourcesGeneration_.fetch_add(1, std::memory_order_release);
    }
    // A signal made before the source was added is performed on the next pass.
    wake();
}

void RunLoop::removeSource(const std::shared_ptr<RunLoopSource>& source, RunLoopMode mode) {
    FND_PARAMETER_ASSERT(source != nullptr);
    std::shared_ptr<RunLoopSource> removed;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find(sources_.begin(), sources_.end(), source);
    if (it == sources_.end()) return;
    source->modes_ &= static_cast<uint8_t>(~static_cast<uint8_t>(mode));
    sourcesGeneration_.fetch_add(1, std::memory_order_release);
    if (source->modes_ != 0) return;
    {
        std::lock_guard<std::mutex> sourceLock(source->mutex_);
        source->loop_.reset();
    }
    removed = std::move(*it);
    sources_.erase(it);
}

void RunLoop::detachSource(RunLoopSource* source) {
    std::shared_ptr<RunLoopSource> removed;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(sources_.begin(), sources_.end(), [source](auto& s) { return s.get() == source; });
    if (it == sources_.end()) return;
    (*it)->modes_ = 0;
    removed = std::move(*it);
    sources_.erase(it);
    sourcesGeneration_.fetch_add(1, std::memory_order_release);
}

void RunLoop::post(std::function<void()> fn) {
    FND_PARAMETER_ASSERT(fn);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        posted_.push_back(std::move(fn));
    }
    wake();
}

FdWatch RunLoop::watchFd(int fd, uint32_t events, std::function<void(uint32_t)> callback) {
    FND_PARAMETER_ASSERT(fd >= 0);
    FND_PARAMETER_ASSERT(callback);
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t id = nextWatchId_++;
    epoll_event ev{};
    ev.events = toEpoll(events);
    ev.data.u64 = id;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) raiseErrno("epoll_ctl");
    // A watch whose descriptor was closed without cancelling lost its registration with the
    // close; its number now belongs to the new watch, which that old watch must not remove.
    for (auto& [otherId, watch] : watches_) {
        if (watch->fd == fd) watch->fd = -1;
    }
    watches_.emplace(id, std::make_shared<Watch>(Watch{fd, std::move(callback)}));
    return FdWatch(weak_from_this(), id);
}

void RunLoop::unwatch(uint64_t id) {
    std::shared_ptr<Watch> removed;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = watches_.find(id);
    if (it == watches_.end()) return;
    removed = std::move(it->second);
    watches_.erase(it);
    // An already closed descriptor has left the epoll set by itself.
    if (removed->fd >= 0) epoll_ctl(epollFd_, EPOLL_CTL_DEL, removed->fd, nullptr);
}

// ---------------------------------------------------------------------------------------------
// running

void RunLoop::wake() {
    uint64_t one = 1;
    // EAGAIN means the counter is already far from zero: the loop is awake anyway.
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

bool RunLoop::drain(int fd) {
    // One read takes an eventfd's whole count, and all of a timerfd's expirations.
    uint64_t value;
    return read(fd, &value, sizeof value) > 0;
}

bool RunLoop::ReadyEvents::contains(uint64_t id) const {
    for (const ReadyEvent& event : *this)
        if (event.id == id) return true;
    return false;
}

void RunLoop::stop() {
    stopRequested_.store(true);
    wake();
}

void RunLoop::run() {
    while (runInternal(RunLoopMode::Default, kForever, false, nullptr) != RunResult::Stopped) {}
}

void RunLoop::runUntil(double deadline) { runInternal(RunLoopMode::Default, deadline, false, nullptr); }

bool RunLoop::runUntil(const std::function<bool()>& predicate, double timeout) {
    FND_PARAMETER_ASSERT(predicate);
    double deadline = timeout >= kForever ? kForever : now() + std::max(timeout, 0.0);
    runInternal(RunLoopMode::Default, deadline, false, &predicate);
    return predicate();
}

RunLoop::RunResult RunLoop::runMode(RunLoopMode mode, double timeout, bool returnAfterSourceHandled) {
    FND_PARAMETER_ASSERT(mode != RunLoopMode::Common);
    FND_PARAMETER_ASSERT(!std::isnan(timeout));
    double deadline = timeout >= kForever ? kForever : now() + std::max(timeout, 0.0);
    return runInternal(mode, deadline, returnAfterSourceHandled, nullptr);
}

RunLoop::RunResult RunLoop::runInternal(RunLoopMode mode, double deadline, bool returnAfterSourceHandled,
                                        const std::function<bool()>* predicate) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(Frame{mode, deadline});
        // The frame's deadline and mode decide the timerfd from now on. Passes set it again
        // after firing timers; whatever else changes a timer sets it itself.
        rearmLocked();
    }
    struct PopFrame {
        RunLoop* loop;
        ~PopFrame() {
            std::lock_guard<std::mutex> lock(loop->mutex_);
            loop->frames_.pop_back();
            loop->rearmLocked();
        }
    } popFrame{this};

    bool first = true;
    for (;;) {
        if (stopRequested_.exchange(false)) return RunResult::Stopped;
        if (predicate && (*predicate)()) return RunResult::TimedOut;
        bool block;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            double now = clock_->now();
            bool expired = now >= deadline;
            if (expired && !first) return RunResult::TimedOut;
            block = !expired && !hasReadyWorkLocked(mode, now);
        }
        uint64_t waitNumber = 0;
        ReadyEvents events;
        waitForEvents(block ? -1 : 0, events, waitNumber);
        int handled = dispatchPass(mode, events, waitNumber);
        first = false;
        if (returnAfterSourceHandled && handled > 0) return RunResult::HandledSource;
    }
}

void RunLoop::dispatchReady(RunLoopMode mode) {
    FND_PARAMETER_ASSERT(mode != RunLoopMode::Common);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        idleMode_ = mode;
        frames_.push_back(Frame{mode, kForever});
    }
    uint64_t waitNumber = 0;
    ReadyEvents events;
    waitForEvents(0, events, waitNumber);
    dispatchPass(mode, events, waitNumber);
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.pop_back();
    rearmLocked();
}

void RunLoop::waitForEvents(int timeoutMs, ReadyEvents& events, uint64_t& waitNumber) {
    epoll_event raw[ReadyEvents::kCapacity];
    int n = epoll_wait(epollFd_, raw, ReadyEvents::kCapacity, timeoutMs);
    if (n < 0 && errno != EINTR) logf("Run loop: epoll_wait failed: %s", std::strerror(errno));
    events.count = 0;
    for (int i = 0; i < n; ++i) events.items[events.count++] = ReadyEvent{raw[i].data.u64, fromEpoll(raw[i].events)};
    waitNumber = waitCounter_.fetch_add(1) + 1;
}

bool RunLoop::hasReadyWorkLocked(RunLoopMode mode, double now) const {
    if (!posted_.empty()) return true;
    for (auto& source : sources_) {
        if (includes(source->modes_, mode) && source->signalled_.load() && source->valid_.load()) return true;
    }
    const TimerQueue& queue = timerQueues_[mode == RunLoopMode::EventTracking ? 1 : 0];
    return !queue.empty() && std::get<0>(*queue.begin()) <= now;
}

void RunLoop::rearmLocked() {
    for (int i = 0; i < 2; ++i)
        earliestTimer_[i] = timerQueues_[i].empty() ? kForever : std::get<0>(*timerQueues_[i].begin());

    itimerspec spec{};
    if (clock_->isSystemMonotonic()) {
        RunLoopMode mode = frames_.empty() ? idleMode_ : frames_.back().mode;
        double target = frames_.empty() ? kForever : frames_.back().deadline;
        target = std::min(target, earliestTimerLocked(mode));
        if (target < kForever) {
            // Rounded up, so that the clock has reached the date when the timerfd expires; a
            // zero value would disarm it.
            double ns = std::max(std::ceil(target * 1e9), 1.0);
            spec.it_value.tv_sec = static_cast<time_t>(ns / 1e9);
            spec.it_value.tv_nsec = static_cast<long>(ns - static_cast<double>(spec.it_value.tv_sec) * 1e9);
            if (spec.it_value.tv_nsec < 0) spec.it_value.tv_nsec = 0;
            if (spec.it_value.tv_nsec > 999999999) spec.it_value.tv_nsec = 999999999;
            if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
        }
    }
    // Setting the same expiry again changes nothing: an expiry that was reached and not yet read
    // keeps the timerfd readable, and reading it forgets what was set.
    const std::pair<int64_t, int64_t> value{spec.it_value.tv_sec, spec.it_value.tv_nsec};
    if (armed_ == value) return;
    armed_ = value;
    timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &spec, nullptr);
}

int RunLoop::dispatchPass(RunLoopMode mode, const ReadyEvents& events, uint64_t waitNumber) {
    // Wake-ups are consumed before anything is looked at, so that work made ready from now on
    // wakes the loop again. One that came after the wait keeps its descriptor readable and
    // brings the next pass.
    const bool timerExpired = events.contains(kTimerId);
    if (events.contains(kWakeId)) drain(wakeFd_);
    if (timerExpired && drain(timerFd_)) {
        std::lock_guard<std::mutex> lock(mutex_);
        armed_.reset();  // an expired timerfd is disarmed
    }
    int handled = 0;

    // What is ready at the start of the pass: the functions posted so far and the signalled
    // sources. What the callbacks make ready waits for the next pass, which their wake-up brings.
    size_t queued;
    SignalledSources sources;
    uint64_t sourcesGeneration;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queued = posted_.size();
        sourcesGeneration = sourcesGeneration_.load(std::memory_order_relaxed);
        for (auto& source : sources_) {
            if (includes(source->modes_, mode) && source->signalled_.load()) sources.add(source);
        }
    }

    // Posted functions, in order.
    for (size_t i = 0; i < queued; ++i) {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (posted_.empty()) break;
            fn = std::move(posted_.front());
            posted_.pop_front();
        }
        invokeGuarded("posted function", fn);
        ++handled;
    }

    // Signalled sources.
    sources.forEach([&](const std::shared_ptr<RunLoopSource>& source) {
        if (sourcesGeneration_.load(std::memory_order_acquire) != sourcesGeneration) {
            std::lock_guard<std::mutex> lock(mutex_);
            // Removed, or taken out of this mode, by an earlier callback of this pass.
            if (std::find(sources_.begin(), sources_.end(), source) == sources_.end()) return;
            if (!includes(source->modes_, mode)) return;
        }
        if (!source->valid_.load() || !source->signalled_.exchange(false)) return;
        invokeGuarded("source", source->perform_);
        ++handled;
    });

    // Descriptors.
    for (const auto& event : events) {
        if (event.id == kWakeId || event.id == kTimerId) continue;
        std::shared_ptr<Watch> watch;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = watches_.find(event.id);
            if (it == watches_.end()) continue;  // cancelled meanwhile
            // A nested run started by an earlier callback may have served this descriptor after
            // our wait; its readiness is then stale.
            if (it->second->lastServedWait > waitNumber) continue;
            it->second->lastServedWait = waitNumber;
            watch = it->second;
        }
        invokeGuarded("descriptor callback", [&] { watch->callback(event.events); });
        ++handled;
    }

    // Timers due now, earliest first.
    std::vector<std::pair<double, std::shared_ptr<Timer>>> due;
    double now;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        now = clock_->now();
        if (earliestTimerLocked(mode) <= now) {
            // The queue is in date order: only the due timers are looked at.
            const TimerQueue& queue = timerQueues_[mode == RunLoopMode::EventTracking ? 1 : 0];
            for (auto it = queue.begin(); it != queue.end() && std::get<0>(*it) <= now; ++it)
                due.emplace_back(std::get<0>(*it), timers_.at(std::get<2>(*it)));
            // An early date (a timer that fired meanwhile) is brought up to date, so that the
            // next wait blocks.
            if (due.empty()) rearmLocked();
        }
    }
    std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first < b.first : a.second->order_ < b.second->order_;
    });
    for (auto& entry : due) {
        const auto& timer = entry.second;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (timers_.find(timer.get()) == timers_.end()) continue;
            if (!includes(timer->modes_, mode)) continue;
            {
                std::lock_guard<std::mutex> timerLock(timer->mutex_);
                // Invalidated, moved, or fired by a nested run since the list was made.
                if (!timer->valid_ || timer->firing_ || !timer->fireDate_ || *timer->fireDate_ > now) continue;
                if (timer->repeats_) timer->fireDate_ = nextRepeat(*timer->fireDate_, timer->interval_, now);
                timer->firing_ = true;
            }
            unqueueLocked(*timer);
        }
        invokeGuarded("timer", [&] { timer->callback_(*timer); });
        Timer::Callback released;
        {
            std::lock_guard<std::mutex> timerLock(timer->mutex_);
            timer->firing_ = false;
            if (!timer->valid_) released = std::move(timer->callback_);
        }
        if (!timer->repeats_) {
            timer->invalidate();
        } else {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = timers_.find(timer.get());
            if (it != timers_.end()) queueLocked(*it->second);
        }
    }

    // Timers that fired moved or left; an expiry that was read disarmed the timerfd. Anything
    // else that changes a timer sets the timerfd itself.
    if (!due.empty() || timerExpired) {
        std::lock_guard<std::mutex> lock(mutex_);
        rearmLocked();
    }
    return handled;
}

}  // namespace foundation
