#include "foundation/RunLoop.h"

#include "foundation/Exception.h"
#include "foundation/Log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using foundation::Clock;
namespace FdEvent = foundation::FdEvent;
using foundation::FdWatch;
using foundation::LogCapture;
using foundation::ManualClock;
using foundation::RunLoop;
using foundation::RunLoopMode;
using foundation::RunLoopSource;
using foundation::Timer;

namespace {

// A loop in virtual time: tests move the clock and dispatch.
class VirtualLoop : public ::testing::Test {
protected:
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(100.0);
    std::shared_ptr<RunLoop> loop = RunLoop::create(clock);

    void advance(double seconds, RunLoopMode mode = RunLoopMode::Default) {
        clock->advance(seconds);
        loop->dispatchReady(mode);
    }
};

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            r = fds[0];
            w = fds[1];
        }
    }
    ~Pipe() {
        if (r >= 0) close(r);
        if (w >= 0) close(w);
    }
    void put(char c) const { ASSERT_EQ(write(w, &c, 1), 1); }
    std::string takeAll() const {
        std::string s;
        char buf[64];
        ssize_t n;
        while ((n = read(r, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
        return s;
    }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Timers in virtual time

TEST_F(VirtualLoop, OneShotTimerFiresOnceWhenDueAndIsThenInvalid) {
    int fired = 0;
    auto timer = loop->scheduleTimer(1.0, false, RunLoopMode::Default, [&](Timer&) { ++fired; });
    ASSERT_TRUE(timer->fireDate().has_value());
    EXPECT_DOUBLE_EQ(*timer->fireDate(), 101.0);

    advance(0.5);
    EXPECT_EQ(fired, 0);
    EXPECT_TRUE(timer->isValid());
    advance(0.5);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timer->isValid());
    advance(5.0);
    EXPECT_EQ(fired, 1);
}

TEST_F(VirtualLoop, RepeatingTimerThatFellBehindFiresOnceAndSkipsToTheNextFutureMultiple) {
    struct Step {
        double advance;
        int totalFires;
        double nextFireDate;
    };
    // Interval 1.0 from 100: first date 101.
    const Step steps[] = {
        {0.9, 0, 101.0},   // 100.9: not yet
        {0.1, 1, 102.0},   // 101.0: exactly due
        {3.5, 2, 105.0},   // 104.5: three dates missed, one fire, next at 105 (not 103)
        {0.5, 3, 106.0},   // 105.0
        {10.0, 4, 116.0},  // 115.0: due exactly on a multiple, next strictly after now
    };
    int fired = 0;
    auto timer = loop->scheduleTimer(1.0, true, RunLoopMode::Default, [&](Timer&) { ++fired; });
    for (const auto& step : steps) {
        advance(step.advance);
        EXPECT_EQ(fired, step.totalFires) << "at " << clock->now();
        EXPECT_DOUBLE_EQ(timer->fireDate().value(), step.nextFireDate) << "at " << clock->now();
    }
    EXPECT_TRUE(timer->isValid());
}

TEST_F(VirtualLoop, DueTimersFireInDateOrderThenScheduleOrder) {
    std::vector<std::string> order;
    auto record = [&](std::string name) { return [&order, name](Timer&) { order.push_back(name); }; };
    loop->scheduleTimer(3.0, false, RunLoopMode::Default, record("c"));
    loop->scheduleTimer(1.0, false, RunLoopMode::Default, record("a"));
    loop->scheduleTimer(2.0, false, RunLoopMode::Default, record("b1"));
    loop->scheduleTimer(2.0, false, RunLoopMode::Default, record("b2"));
    advance(10.0);
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b1", "b2", "c"}));
}

TEST_F(VirtualLoop, UnscheduledTimerTakesItsDateWhenAddedAndKeepsAnExplicitDate) {
    auto timer = Timer::create(2.0, false, [](Timer&) {});
    EXPECT_FALSE(timer->fireDate().has_value());
    clock->advance(5.0);
    loop->addTimer(timer, RunLoopMode::Default);
    EXPECT_DOUBLE_EQ(timer->fireDate().value(), 107.0);

    // First firing at a date of its own, then every interval: the shape of a poll that starts
    // later than its period.
    int fired = 0;
    auto poll = Timer::create(0.5, true, [&](Timer&) { ++fired; });
    poll->setFireDate(clock->now() + 1.0);
    loop->addTimer(poll, RunLoopMode::Common);
    advance(0.9);
    EXPECT_EQ(fired, 0);
    advance(0.1);
    EXPECT_EQ(fired, 1);
    advance(0.5);
    EXPECT_EQ(fired, 2);
}

TEST_F(VirtualLoop, TimerInvalidatedFromItsOwnCallbackFiresNoMoreAndReleasesItsCallback) {
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    int fired = 0;
    auto timer = loop->scheduleTimer(1.0, true, RunLoopMode::Default, [&fired, held](Timer& t) {
        ++fired;
        t.invalidate();
        EXPECT_FALSE(t.isValid());
    });
    held.reset();
    advance(1.0);
    advance(1.0);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timer->isValid());
    EXPECT_TRUE(watch.expired()) << "an invalidated timer must let go of what its callback holds";
}

TEST_F(VirtualLoop, TimerInvalidatedByAnEarlierTimerOfTheSamePassNeverFires) {
    std::shared_ptr<Timer> second;
    int secondFired = 0;
    loop->scheduleTimer(1.0, false, RunLoopMode::Default, [&](Timer&) { second->invalidate(); });
    second = loop->scheduleTimer(1.5, false, RunLoopMode::Default, [&](Timer&) { ++secondFired; });
    advance(2.0);  // both due in the same pass
    EXPECT_EQ(secondFired, 0);
    EXPECT_FALSE(second->isValid());
}

TEST_F(VirtualLoop, SetFireDateFromTheCallbackReplacesTheRepeatDate) {
    std::vector<double> fireTimes;
    loop->scheduleTimer(1.0, true, RunLoopMode::Default, [&](Timer& t) {
        fireTimes.push_back(clock->now());
        if (fireTimes.size() == 1) t.setFireDate(clock->now() + 5.0);
    });
    for (int i = 0; i < 8; ++i) advance(1.0);
    EXPECT_EQ(fireTimes, (std::vector<double>{101.0, 106.0, 107.0, 108.0}));
}

TEST_F(VirtualLoop, TimersFireOnlyInTheirModes) {
    struct Case {
        RunLoopMode scheduled;
        RunLoopMode running;
        bool fires;
    };
    const Case cases[] = {
        {RunLoopMode::Default, RunLoopMode::Default, true},
        {RunLoopMode::Default, RunLoopMode::EventTracking, false},
        {RunLoopMode::EventTracking, RunLoopMode::EventTracking, true},
        {RunLoopMode::EventTracking, RunLoopMode::Default, false},
        {RunLoopMode::Common, RunLoopMode::Default, true},
        {RunLoopMode::Common, RunLoopMode::EventTracking, true},
    };
    for (const auto& c : cases) {
        int fired = 0;
        auto timer = loop->scheduleTimer(1.0, false, c.scheduled, [&](Timer&) { ++fired; });
        advance(1.0, c.running);
        EXPECT_EQ(fired, c.fires ? 1 : 0) << "scheduled " << int(c.scheduled) << " running " << int(c.running);
        timer->invalidate();
    }
}

TEST_F(VirtualLoop, TimerAddedForASecondModeRunsInBoth) {
    int fired = 0;
    auto timer = loop->scheduleTimer(1.0, true, RunLoopMode::Default, [&](Timer&) { ++fired; });
    loop->addTimer(timer, RunLoopMode::EventTracking);
    advance(1.0, RunLoopMode::EventTracking);
    advance(1.0, RunLoopMode::Default);
    EXPECT_EQ(fired, 2);
}

TEST_F(VirtualLoop, TimerCannotJoinASecondLoop) {
    auto timer = loop->scheduleTimer(1.0, false, RunLoopMode::Default, [](Timer&) {});
    auto other = RunLoop::create(clock);
    EXPECT_THROW(other->addTimer(timer, RunLoopMode::Default), foundation::Exception);
}

TEST_F(VirtualLoop, AdvancingTheClockFromAnotherThreadWakesABlockedRun) {
    bool fired = false;
    loop->scheduleTimer(1.0, false, RunLoopMode::Default, [&](Timer&) { fired = true; });
    std::atomic<bool> rescued{false};
    std::atomic<bool> done{false};
    std::thread mover([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        clock->advance(1.0);
        // If the loop slept through the advance, end its run anyway so the test fails instead of
        // hanging.
        for (int i = 0; i < 200 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!done) {
            rescued = true;
            clock->advance(100.0);
        }
    });
    EXPECT_TRUE(loop->runUntil([&] { return fired; }, 50.0));
    done = true;
    mover.join();
    EXPECT_FALSE(rescued);
}

TEST_F(VirtualLoop, SetClockKeepsTheRemainingTimeOfScheduledTimers) {
    int fired = 0;
    loop->scheduleTimer(2.0, false, RunLoopMode::Default, [&](Timer&) { ++fired; });
    clock->advance(0.5);
    auto other = std::make_shared<ManualClock>(1000.0);
    loop->setClock(other);
    other->advance(1.4);
    loop->dispatchReady();
    EXPECT_EQ(fired, 0);
    other->advance(0.1);
    loop->dispatchReady();
    EXPECT_EQ(fired, 1);
}

TEST(RunLoopLifetime, DestroyingALoopInvalidatesItsTimers) {
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    std::shared_ptr<Timer> timer;
    {
        auto loop = RunLoop::create(std::make_shared<ManualClock>());
        timer = loop->scheduleTimer(1.0, true, RunLoopMode::Default, [held](Timer&) {});
    }
    held.reset();
    EXPECT_FALSE(timer->isValid());
    EXPECT_TRUE(watch.expired());
    timer->invalidate();  // harmless once the loop is gone
}

// ---------------------------------------------------------------------------------------------
// Delayed performs

TEST_F(VirtualLoop, PerformAfterRunsInDefaultModeAndCancelRemovesOnlyThatTargetsPerforms) {
    int a = 0, b = 0;
    std::vector<std::string> order;
    loop->performAfter(0.1, &a, [&] { order.push_back("a1"); });
    loop->performAfter(0.2, &a, [&] { order.push_back("a2"); });
    loop->performAfter(0.1, &b, [&] { order.push_back("b"); });
    loop->cancelPerforms(&a);

    advance(1.0, RunLoopMode::EventTracking);
    EXPECT_TRUE(order.empty()) << "performs wait for the default mode";
    loop->dispatchReady(RunLoopMode::Default);
    EXPECT_EQ(order, (std::vector<std::string>{"b"}));
}

TEST_F(VirtualLoop, NewerPerformReplacesAPendingOneForTheSameTarget) {
    // A press within the delay cancels the release of the earlier one.
    struct Action {
        std::vector<int> fired;
    };
    auto action = std::make_shared<Action>();
    auto schedule = [&](int value) {
        loop->cancelPerforms(action);
        loop->performAfter(0.1, action, [action, value] { action->fired.push_back(value); });
    };
    schedule(1);
    advance(0.05);
    schedule(2);
    advance(0.05);
    EXPECT_TRUE(action->fired.empty());
    advance(0.05);
    EXPECT_EQ(action->fired, std::vector<int>{2});
}

TEST_F(VirtualLoop, PerformTargetIsTheObjectNotTheBasePointer) {
    struct A {
        virtual ~A() = default;
        int a = 0;
    };
    struct B {
        virtual ~B() = default;
        int b = 0;
    };
    struct C : A, B {};
    auto c = std::make_shared<C>();
    bool ran = false;
    loop->performAfter(0.1, static_cast<const B*>(c.get()), [&] { ran = true; });
    loop->cancelPerforms(static_cast<const A*>(c.get()));
    advance(1.0);
    EXPECT_FALSE(ran);
}

// ---------------------------------------------------------------------------------------------
// Sources

TEST_F(VirtualLoop, SourceSignalledFromAnotherThreadBeforeItWasAddedIsPerformedOnce) {
    int performed = 0;
    auto source = RunLoopSource::create([&] { ++performed; });
    std::thread([&] {
        source->signal();
        source->signal();
    }).join();
    loop->dispatchReady();
    EXPECT_EQ(performed, 0);
    loop->addSource(source, RunLoopMode::Common);
    loop->dispatchReady();
    EXPECT_EQ(performed, 1);
    loop->dispatchReady();
    EXPECT_EQ(performed, 1);
}

TEST_F(VirtualLoop, SourceSignalledWhileItIsBeingPerformedIsPerformedAgain) {
    int performed = 0;
    std::shared_ptr<RunLoopSource> source;
    source = RunLoopSource::create([&] {
        if (++performed == 1) std::thread([&] { source->signal(); }).join();
    });
    loop->addSource(source, RunLoopMode::Default);
    source->signal();
    loop->dispatchReady();
    EXPECT_EQ(performed, 1);
    // The signal from the middle of the first perform was not swallowed by it.
    struct pollfd p {
        loop->fd(), POLLIN, 0
    };
    EXPECT_EQ(poll(&p, 1, 0), 1) << "a pending signal keeps the loop's descriptor readable";
    loop->dispatchReady();
    EXPECT_EQ(performed, 2);
}

TEST(RunLoopSources, NoSignalIsLostWhileTheLoopIsBusy) {
    // The producer stamps a counter and signals; the last stamp must always be seen, however the
    // signals interleave with the loop's passes.
    auto loop = RunLoop::create();
    constexpr int kSignals = 10000;
    std::atomic<int> produced{0};
    int seen = 0;
    int performs = 0;
    auto source = RunLoopSource::create([&] {
        ++performs;
        seen = produced.load();
    });
    loop->addSource(source, RunLoopMode::Common);
    std::thread producer([&] {
        for (int i = 1; i <= kSignals; ++i) {
            produced.store(i);
            source->signal();
            if (i % 100 == 0) std::this_thread::yield();
        }
    });
    bool caughtUp = loop->runUntil([&] { return seen == kSignals; }, 10.0);
    producer.join();
    EXPECT_TRUE(caughtUp) << "seen " << seen;
    EXPECT_LE(performs, kSignals);
}

TEST_F(VirtualLoop, SourcePerformsOnlyInItsModesAndNotAfterRemovalOrInvalidation) {
    int performed = 0;
    auto source = RunLoopSource::create([&] { ++performed; });
    loop->addSource(source, RunLoopMode::EventTracking);
    source->signal();
    loop->dispatchReady(RunLoopMode::Default);
    EXPECT_EQ(performed, 0);
    loop->dispatchReady(RunLoopMode::EventTracking);
    EXPECT_EQ(performed, 1);

    loop->removeSource(source, RunLoopMode::EventTracking);
    source->signal();
    loop->dispatchReady(RunLoopMode::EventTracking);
    EXPECT_EQ(performed, 1);
    // Back in a loop, the signal made while outside is still pending.
    loop->addSource(source, RunLoopMode::Default);
    loop->dispatchReady(RunLoopMode::Default);
    EXPECT_EQ(performed, 2);

    source->signal();
    source->invalidate();
    source->signal();
    loop->dispatchReady(RunLoopMode::Default);
    EXPECT_EQ(performed, 2);
    EXPECT_FALSE(source->isValid());
}

TEST_F(VirtualLoop, SourceTakenOutByAnEarlierSourceOfTheSamePassIsNotPerformed) {
    // Both are signalled when the pass starts; the first takes the second out of the loop (out of
    // the mode, or for good) before its turn.
    for (int way = 0; way < 3; ++way) {
        std::vector<std::string> performed;
        std::shared_ptr<RunLoopSource> second = RunLoopSource::create([&] { performed.push_back("second"); });
        auto first = RunLoopSource::create([&] {
            performed.push_back("first");
            if (way == 0) loop->removeSource(second, RunLoopMode::Default);
            if (way == 1) second->invalidate();
            if (way == 2) {
                loop->addSource(second, RunLoopMode::EventTracking);
                loop->removeSource(second, RunLoopMode::Default);
            }
        });
        loop->addSource(first, RunLoopMode::Default);
        loop->addSource(second, RunLoopMode::Default);
        first->signal();
        second->signal();
        loop->dispatchReady(RunLoopMode::Default);
        EXPECT_EQ(performed, std::vector<std::string>{"first"}) << "way " << way;
        first->invalidate();
        second->invalidate();
    }
}

TEST_F(VirtualLoop, TimerMovedEarlierOrAddedByACallbackFiresWhenItsNewDateComes) {
    std::vector<std::string> fired;
    auto late = loop->scheduleTimer(50.0, false, RunLoopMode::Default, [&](Timer&) { fired.push_back("late"); });
    advance(1.0);
    late->setFireDate(clock->now() + 1.0);
    loop->post(
        [&] { loop->scheduleTimer(0.5, false, RunLoopMode::Default, [&](Timer&) { fired.push_back("added"); }); });
    loop->dispatchReady();
    EXPECT_TRUE(fired.empty());
    advance(0.5);
    EXPECT_EQ(fired, std::vector<std::string>{"added"});
    advance(0.5);
    EXPECT_EQ(fired, (std::vector<std::string>{"added", "late"}));
}

TEST_F(VirtualLoop, RunModeCanReturnAfterOneSourceWasHandled) {
    auto source = RunLoopSource::create([] {});
    loop->addSource(source, RunLoopMode::Default);
    EXPECT_EQ(loop->runMode(RunLoopMode::Default, 0.0, true), RunLoop::RunResult::TimedOut);
    source->signal();
    EXPECT_EQ(loop->runMode(RunLoopMode::Default, 1.0, true), RunLoop::RunResult::HandledSource);
}

// ---------------------------------------------------------------------------------------------
// Posted functions

TEST(RunLoopPost, FunctionsPostedFromManyThreadsRunOnceEachInPerThreadOrderOnTheLoopThread) {
    auto loop = RunLoop::create();
    constexpr int kThreads = 8, kPosts = 250;
    std::vector<std::vector<int>> received(kThreads);
    int total = 0;
    bool allOnLoopThread = true;
    const auto loopThread = std::this_thread::get_id();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPosts; ++i) {
                loop->post([&, t, i] {
                    received[t].push_back(i);
                    ++total;
                    allOnLoopThread = allOnLoopThread && std::this_thread::get_id() == loopThread;
                });
            }
        });
    }
    EXPECT_TRUE(loop->runUntil([&] { return total == kThreads * kPosts; }, 10.0));
    for (auto& th : threads) th.join();
    loop->runMode(RunLoopMode::Default, 0.0);
    EXPECT_EQ(total, kThreads * kPosts);
    EXPECT_TRUE(allOnLoopThread);
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(received[t].size(), size_t(kPosts));
        for (int i = 0; i < kPosts; ++i) ASSERT_EQ(received[t][i], i);
    }
}

TEST_F(VirtualLoop, PostsRunInEveryModeAndAPostFromAPostWaitsForTheNextPass) {
    std::vector<int> order;
    loop->post([&] {
        order.push_back(1);
        loop->post([&] { order.push_back(3); });
    });
    loop->post([&] { order.push_back(2); });
    loop->dispatchReady(RunLoopMode::EventTracking);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    loop->dispatchReady(RunLoopMode::Default);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

// ---------------------------------------------------------------------------------------------
// Descriptors

TEST_F(VirtualLoop, WatchedPipeCallsBackWhenReadableUntilCancelled) {
    Pipe pipe;
    ASSERT_GE(pipe.r, 0);
    std::string got;
    FdWatch watch = loop->watchFd(pipe.r, FdEvent::Readable, [&](uint32_t events) {
        EXPECT_TRUE(events & FdEvent::Readable);
        got += pipe.takeAll();
    });
    loop->dispatchReady();
    EXPECT_EQ(got, "");
    pipe.put('x');
    pipe.put('y');
    loop->dispatchReady(RunLoopMode::EventTracking);  // descriptors are served in every mode
    EXPECT_EQ(got, "xy");

    watch.cancel();
    EXPECT_FALSE(watch.isActive());
    pipe.put('z');
    loop->dispatchReady();
    EXPECT_EQ(got, "xy");
}

TEST_F(VirtualLoop, WatchCancelledFromItsOwnCallbackAndOnHangUp) {
    auto pipe = std::make_unique<Pipe>();
    int calls = 0;
    FdWatch watch;
    watch = loop->watchFd(pipe->r, FdEvent::Readable, [&](uint32_t events) {
        ++calls;
        EXPECT_TRUE(events & FdEvent::HangUp);
        watch.cancel();
    });
    close(pipe->w);
    pipe->w = -1;
    loop->dispatchReady();
    loop->dispatchReady();
    EXPECT_EQ(calls, 1);
}

TEST_F(VirtualLoop, WatchingTheSameDescriptorTwiceIsRefused) {
    Pipe pipe;
    FdWatch first = loop->watchFd(pipe.r, FdEvent::Readable, [](uint32_t) {});
    EXPECT_THROW({ FdWatch second = loop->watchFd(pipe.r, FdEvent::Readable, [](uint32_t) {}); },
                 foundation::Exception);
}

TEST_F(VirtualLoop, StaleWatchOfAClosedDescriptorDoesNotRemoveTheNewWatchOfItsNumber) {
    Pipe old;
    FdWatch stale = loop->watchFd(old.r, FdEvent::Readable, [](uint32_t) { ADD_FAILURE(); });
    const int number = old.r;
    close(old.r);  // closed without cancelling first
    old.r = -1;

    Pipe fresh;
    if (fresh.r != number) {
        ASSERT_EQ(dup2(fresh.r, number), number);
    }
    std::string got;
    FdWatch current = loop->watchFd(number, FdEvent::Readable, [&](uint32_t) {
        char c;
        while (read(number, &c, 1) == 1) got += c;
    });
    stale.cancel();
    fresh.put('k');
    loop->dispatchReady();
    EXPECT_EQ(got, "k");
    current.cancel();
    if (fresh.r != number) close(number);
}

// ---------------------------------------------------------------------------------------------
// Running, stopping, real time

TEST(RunLoopRunning, RunReturnsOnStopFromATimerAndFromAnotherThread) {
    auto loop = RunLoop::create();
    auto watchdog = loop->scheduleTimer(5.0, false, RunLoopMode::Default, [&](Timer&) {
        ADD_FAILURE() << "run() did not return";
        loop->stop();
    });
    loop->scheduleTimer(0.01, false, RunLoopMode::Default, [&](Timer&) { loop->stop(); });
    loop->run();

    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        loop->stop();
    });
    loop->run();
    stopper.join();
    watchdog->invalidate();
}

TEST(RunLoopRunning, StopBeforeRunEndsTheNextRunAtOnceAndOnlyTheInnermostRun) {
    auto loop = RunLoop::create(std::make_shared<ManualClock>());
    loop->stop();
    EXPECT_EQ(loop->runMode(RunLoopMode::Default, RunLoop::kForever), RunLoop::RunResult::Stopped);

    // A nested run (a modal wait inside a callback) is stopped; the outer one goes on.
    std::vector<std::string> events;
    loop->post([&] {
        loop->post([&] { loop->stop(); });
        events.push_back(loop->runMode(RunLoopMode::Default, RunLoop::kForever) == RunLoop::RunResult::Stopped
                             ? "inner stopped"
                             : "inner other");
        loop->post([&] { events.push_back("outer goes on"); });
    });
    loop->runUntil([&] { return events.size() == 2; }, 0.0);
    loop->runMode(RunLoopMode::Default, 0.0);
    EXPECT_EQ(events, (std::vector<std::string>{"inner stopped", "outer goes on"}));
}

TEST_F(VirtualLoop, NestedRunInsideATimerDoesNotFireThatTimerAgain) {
    int fired = 0;
    bool nestedRan = false;
    loop->scheduleTimer(1.0, true, RunLoopMode::Common, [&](Timer&) {
        ++fired;
        clock->advance(5.0);  // the timer is due again while its callback runs
        loop->post([&] { nestedRan = true; });
        loop->runMode(RunLoopMode::EventTracking, 0.0);
    });
    advance(1.0);
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(nestedRan);
    loop->dispatchReady();
    EXPECT_EQ(fired, 2);
}

TEST(RunLoopRealTime, TimerWakesABlockedLoopAndMakesItsDescriptorReadable) {
    auto loop = RunLoop::create();
    bool fired = false;
    auto started = std::chrono::steady_clock::now();
    loop->scheduleTimer(0.02, false, RunLoopMode::Default, [&](Timer&) { fired = true; });
    EXPECT_TRUE(loop->runUntil([&] { return fired; }, 5.0));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(19));

    // A host event loop only watches fd(): a due timer must make it readable.
    bool second = false;
    loop->scheduleTimer(0.02, false, RunLoopMode::Default, [&](Timer&) { second = true; });
    loop->dispatchReady();
    EXPECT_FALSE(second);
    struct pollfd p {
        loop->fd(), POLLIN, 0
    };
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    loop->dispatchReady();
    EXPECT_TRUE(second);
}

TEST(RunLoopRealTime, RunModeTimesOutAfterItsTimeout) {
    auto loop = RunLoop::create();
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(loop->runMode(RunLoopMode::Default, 0.03), RunLoop::RunResult::TimedOut);
    auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_GE(elapsed, std::chrono::milliseconds(29));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST(RunLoopRealTime, RunTimesOutAtItsDeadlineAlsoWhenItsFirstPassHadWork) {
    // The deadline must reach the timerfd whether or not the run's first pass blocks.
    struct Case {
        const char* name;
        std::function<void(RunLoop&, const std::shared_ptr<RunLoopSource>&)> makeWork;
    };
    const Case cases[] = {
        {"posted function", [](RunLoop& loop, const auto&) { loop.post([] {}); }},
        {"signalled source", [](RunLoop&, const auto& source) { source->signal(); }},
    };
    for (const Case& c : cases) {
        auto loop = RunLoop::create();
        auto source = RunLoopSource::create([] {});
        loop->addSource(source, RunLoopMode::Default);
        c.makeWork(*loop, source);
        // A run that missed its deadline would block for good: this stops it after a while.
        std::atomic<bool> done{false};
        std::thread watchdog([&] {
            for (int i = 0; i < 500 && !done.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!done.load()) loop->stop();
        });
        auto started = std::chrono::steady_clock::now();
        const RunLoop::RunResult result = loop->runMode(RunLoopMode::Default, 0.03);
        auto elapsed = std::chrono::steady_clock::now() - started;
        done.store(true);
        watchdog.join();
        EXPECT_EQ(result, RunLoop::RunResult::TimedOut) << c.name;
        EXPECT_LT(elapsed, std::chrono::seconds(2)) << c.name;
    }
}

TEST(RunLoopRealTime, RepeatingTimerKeepsFiringWhileSourcesKeepTheLoopBusy) {
    // Passes that only perform sources leave the timerfd alone; the timer's own passes set it.
    auto loop = RunLoop::create();
    int fired = 0;
    loop->scheduleTimer(0.01, true, RunLoopMode::Default, [&](Timer&) { ++fired; });
    auto source = RunLoopSource::create([] {});
    loop->addSource(source, RunLoopMode::Default);
    std::atomic<bool> done{false};
    std::thread signaller([&] {
        for (int i = 0; i < 5000 && !done.load(); ++i) {
            source->signal();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_TRUE(loop->runUntil([&] { return fired >= 5; }, 5.0));
    done.store(true);
    signaller.join();
}

// ---------------------------------------------------------------------------------------------
// Exceptions and loops per thread

TEST_F(VirtualLoop, ExceptionFromAnyCallbackIsLoggedAndTheLoopGoesOn) {
    LogCapture capture;
    Pipe pipe;
    auto source = RunLoopSource::create([] { throw std::runtime_error("source failed"); });
    loop->addSource(source, RunLoopMode::Default);
    source->signal();
    loop->post([] { FND_ASSERT(1 == 2); });
    FdWatch watch = loop->watchFd(pipe.r, FdEvent::Readable, [&](uint32_t) {
        pipe.takeAll();
        throw 42;
    });
    pipe.put('x');
    int repeats = 0;
    loop->scheduleTimer(1.0, true, RunLoopMode::Default, [&](Timer&) {
        ++repeats;
        throw std::runtime_error("timer failed");
    });
    bool after = false;
    loop->scheduleTimer(1.0, false, RunLoopMode::Default, [&](Timer&) { after = true; });

    advance(1.0);
    advance(1.0);
    EXPECT_TRUE(after);
    EXPECT_EQ(repeats, 2) << "a repeating timer that threw keeps repeating";
    EXPECT_TRUE(capture.contains("source failed"));
    EXPECT_TRUE(capture.contains("1 == 2"));
    EXPECT_TRUE(capture.contains("Unknown exception"));
    EXPECT_TRUE(capture.contains("timer failed"));
}

TEST(RunLoopThreads, MainThreadHasTheMainLoopAndEachOtherThreadItsOwn) {
    EXPECT_EQ(&RunLoop::current(), &RunLoop::main());
    RunLoop* first = nullptr;
    RunLoop* again = nullptr;
    RunLoop* mainSeen = nullptr;
    std::thread([&] {
        first = &RunLoop::current();
        again = &RunLoop::current();
        mainSeen = &RunLoop::main();
    }).join();
    EXPECT_NE(first, &RunLoop::main());
    EXPECT_EQ(first, again);
    EXPECT_EQ(mainSeen, &RunLoop::main());
}
