// Delays: the chain of duplicates stops at the delay and the next duplicate fires after the
// interval with its own saved input; a detach cancels the pending fires of that action only; the
// last of a chain stops and schedules nothing; a zero interval passes straight through; a flood
// holds no more than the cap of pending fires per action. The time events list and its undo.

#include "core/support/FiringTestSupport.h"

#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBDupAction.h"
#include "features/QRBDelayEventSource.h"
#include "features/QRBTimeEventsManager.h"
#include "foundation/Clock.h"
#include "foundation/Date.h"
#include "foundation/Log.h"
#include "foundation/UndoManager.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>

using firing::Float;
using foundation::Date;

class DelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        context = QRBContext::create("/pair", host);
        context->receive(firing::message("/pair", {Float(0), Float(0)}), input, Date::now());
        first = std::static_pointer_cast<QRBConcreteAction>(context->actionAtIndex(0));
        second = std::static_pointer_cast<QRBConcreteAction>(context->actionAtIndex(1));
        delay->setDelayInterval(1.0);
    }
    // The action fires `delay`, its duplicate records.
    QRBDupActionPtr chain(const QRBConcreteActionPtr& master) {
        master->setEventSource(delay);
        QRBDupActionPtr next = master->dup();
        next->setEventSource(recorder);
        return next;
    }
    void send(float a, float b) {
        context->receive(firing::message("/pair", {Float(a), Float(b)}), input, Date::now());
    }

    firing::VirtualMainLoop loop;
    std::shared_ptr<firing::TestHost> host = std::make_shared<firing::TestHost>();
    QRBMessageEndpointPtr input = std::make_shared<QRBMessageEndpoint>("OSC Input", 1);
    std::shared_ptr<QRBDelayEventSource> delay = std::make_shared<QRBDelayEventSource>();
    std::shared_ptr<firing::RecordingEventSource> recorder = std::make_shared<firing::RecordingEventSource>();
    QRBContextPtr context;
    QRBConcreteActionPtr first, second;
};

TEST_F(DelayTest, TheNextDuplicateFiresAfterTheIntervalWithTheInputOfItsOwnFire) {
    chain(first);
    send(0.3f, 0);
    EXPECT_TRUE(recorder->accepts().empty()) << "the chain stops at the delay";
    loop.advance(0.5);
    send(0.7f, 0);
    EXPECT_EQ(delay->pendingFireCount(), 2u);
    loop.advance(0.49);
    EXPECT_TRUE(recorder->accepts().empty());
    loop.advance(0.01);
    ASSERT_EQ(recorder->acceptedValues().size(), 1u);
    EXPECT_FLOAT_EQ(recorder->acceptedValues()[0], 0.3f);
    loop.advance(0.5);
    ASSERT_EQ(recorder->acceptedValues().size(), 2u);
    EXPECT_FLOAT_EQ(recorder->acceptedValues()[1], 0.7f);
    EXPECT_EQ(delay->pendingFireCount(), 0u);
}

TEST_F(DelayTest, ADetachCancelsThePendingFiresOfThatActionOnly) {
    chain(first);
    auto secondNext = second->dup();
    second->setEventSource(delay);
    auto secondRecorder = std::make_shared<firing::RecordingEventSource>();
    secondNext->setEventSource(secondRecorder);

    send(0.3f, 0.6f);
    ASSERT_EQ(delay->pendingFireCount(), 2u);
    first->setEventSource(nullptr);
    EXPECT_EQ(delay->pendingFireCount(), 1u);
    loop.advance(2.0);
    EXPECT_TRUE(recorder->accepts().empty());
    ASSERT_EQ(secondRecorder->acceptedValues().size(), 1u);
    EXPECT_FLOAT_EQ(secondRecorder->acceptedValues()[0], 0.6f);
}

TEST_F(DelayTest, TheLastOfAChainStopsAndSchedulesNothing) {
    auto next = chain(first);
    next->setEventSource(delay);
    next->setArgValue(*QRBArg::argWithFloatValue(1));
    EXPECT_EQ(delay->acceptAction(*next), QRBAcceptResult::Nothing);
    EXPECT_TRUE(next->shouldHaltFiring());
    EXPECT_EQ(delay->pendingFireCount(), 0u);
}

TEST_F(DelayTest, AnIntervalNotAboveZeroPassesStraightThrough) {
    chain(first);
    for (double interval : {0.0, -1.0, static_cast<double>(NAN)}) {
        SCOPED_TRACE(interval);
        delay->setDelayInterval(interval);
        const size_t before = recorder->accepts().size();
        send(interval == 0.0 ? 0.4f : 0.9f, 0);
        EXPECT_EQ(recorder->accepts().size(), before + 1);
        EXPECT_EQ(delay->pendingFireCount(), 0u);
    }
}

TEST_F(DelayTest, NothingFiresForADuplicateThatIsGone) {
    auto next = chain(first);
    send(0.3f, 0);
    first->removeDup(next);
    next.reset();
    loop.advance(2.0);
    EXPECT_TRUE(recorder->accepts().empty());
}

TEST(DelayName, IsTheTruncatedMillisecondsAndTheMemo) {
    struct Case {
        double interval;
        std::optional<std::string> memo;
        const char* name;
    };
    for (const Case& c :
         {Case{0.25, std::nullopt, "250 ms"}, Case{0.25, "fade", "250 ms \u2013 fade"}, Case{0.25, "", "250 ms"},
          Case{0.0015, std::nullopt, "1 ms"}, Case{1.0, std::nullopt, "1000 ms"}, Case{NAN, std::nullopt, "0 ms"},
          Case{1e30, std::nullopt, "0 ms"}}) {
        auto delay = std::make_shared<QRBDelayEventSource>();
        delay->setDelayInterval(c.interval);
        delay->setMemo(c.memo);
        EXPECT_EQ(delay->name(), c.name) << c.interval;
    }
}

TEST(TimeEventsManager, InsertionsAndRemovalsAreUndoneInPlace) {
    auto undo = std::make_shared<foundation::UndoManager>();
    auto events = std::make_shared<QRBTimeEventsManager>();
    events->setUndoManager(undo);
    auto slow = std::make_shared<QRBDelayEventSource>();
    auto fast = std::make_shared<QRBDelayEventSource>();
    fast->setDelayInterval(0.1);
    events->insertObject(slow, 0);
    undo->closeEventGroup();
    events->insertObject(fast, 1);
    undo->closeEventGroup();
    EXPECT_EQ(slow->undoManager(), undo) << "the list hands its undo manager on";
    EXPECT_EQ(events->sortedDelays(), (std::vector<QRBEventSourcePtr>{fast, slow}));

    undo->undo();
    EXPECT_EQ(events->delays(), (std::vector<QRBEventSourcePtr>{slow}));
    undo->redo();
    EXPECT_EQ(events->delays(), (std::vector<QRBEventSourcePtr>{slow, fast}));
    events->removeObjectFromDelaysAtIndex(0);
    undo->closeEventGroup();
    EXPECT_EQ(events->delays(), (std::vector<QRBEventSourcePtr>{fast}));
    undo->undo();
    EXPECT_EQ(events->delays(), (std::vector<QRBEventSourcePtr>{slow, fast}));

    // A change of interval is undoable and renames.
    slow->setDelayInterval(0.5);
    undo->closeEventGroup();
    EXPECT_EQ(slow->name(), "500 ms");
    undo->undo();
    EXPECT_EQ(slow->name(), "1000 ms");
}

TEST_F(DelayTest, AFloodHoldsAtMostTheCapOfPendingFiresPerActionAndLogsTheDropsBounded) {
    // A long delay fed far faster than it fires: what it holds stays at the cap however long the
    // flood goes on, the fires it holds still come, and the drops are counted, not logged one by one.
    chain(first);
    auto secondNext = second->dup();
    second->setEventSource(delay);
    secondNext->setEventSource(std::make_shared<firing::RecordingEventSource>());
    delay->setDelayInterval(3600);
    auto logClock = std::make_shared<foundation::ManualClock>();
    foundation::setLogClock(logClock);
    foundation::LogCapture log;
    const size_t cap = QRBDelayEventSource::kMaxPendingFiresPerAction;
    for (size_t i = 0; i < cap + 500; ++i) {
        send(float(i), float(i));
        if (i + 1 == cap) EXPECT_EQ(delay->pendingFireCount(), 2 * cap) << "both actions, each up to its cap";
    }
    EXPECT_EQ(delay->pendingFireCount(), 2 * cap) << "flat beyond the cap";
    EXPECT_EQ(first->eventSource()->acceptAction(*first), QRBAcceptResult::Failed);
    const std::string drop = "already holds " + std::to_string(cap) + " pending fires for one action";
    EXPECT_EQ(testsupport::reportedLines(log.lines(), drop), 1u) << "one whole line";
    logClock->advance(foundation::kLogSummaryWindow);
    foundation::flushLogSummaries();
    EXPECT_EQ(testsupport::reportedLines(log.lines(), drop), 1001u) << testing::PrintToString(log.lines());
    foundation::setLogClock(nullptr);

    loop.advance(3600);
    ASSERT_EQ(recorder->acceptedValues().size(), cap) << "the held fires still come";
    EXPECT_FLOAT_EQ(recorder->acceptedValues().back(), float(cap - 1));
    EXPECT_EQ(delay->pendingFireCount(), 0u);
    send(1, 1);
    EXPECT_EQ(delay->pendingFireCount(), 2u) << "room again once they have fired";
}
