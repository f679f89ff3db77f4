#include "core/monitor/QRBMessageMonitor.h"
#include "core/osc/QRBAppMessage.h"
#include "core/osc/QRBMessageEndpointChangeMessage.h"
#include "foundation/Exception.h"
#include "foundation/KeyedArchiver.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using foundation::Date;

Date at(double seconds) { return Date::withTimeIntervalSinceReferenceDate(seconds); }

QRBMessagePtr line(const std::string& text) { return QRBAppMessage::appMessageWithPresentation(text); }

// A message the monitor must leave out.
class HiddenMessage : public QRBMessage {
public:
    bool isMonitorable() const override { return false; }
};

class CountingDelegate : public QRBMessageMonitorDelegate {
public:
    void monitorDidMonitorEvent(QRBMessageMonitor& monitor) override {
        ++calls;
        countsSeen.push_back(monitor.eventsCount());
    }
    int calls = 0;
    std::vector<size_t> countsSeen;
};

// The monitor's lines as "presentation" for events and "[header]" for header events, oldest first.
std::vector<std::string> linesOf(const QRBMessageMonitor& monitor) {
    std::vector<std::string> lines;
    for (const auto& event : monitor.events().events()) {
        if (event->endpoint())
            lines.push_back(event->message()->presentation());
        else
            lines.push_back("[" + event->message()->presentation() + "]");
    }
    return lines;
}

std::string reasonOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const foundation::Exception& e) {
        return e.reason();
    }
    return "(nothing raised)";
}

class QRBMessageMonitorTest : public ::testing::Test {
protected:
    QRBMessageEndpointPtr input = std::make_shared<QRBMessageEndpoint>("OSC Input", 1);
    QRBMessageEndpointPtr snapshot = std::make_shared<QRBMessageEndpoint>("Snapshot Recall", 1);
    QRBMessageEndpointPtr output = std::make_shared<QRBMessageEndpoint>("OSC Output", 2);
    QRBMessageMonitor monitor;
};

TEST_F(QRBMessageMonitorTest, StartsEmptyIncomingOnlyAndUnpaused) {
    EXPECT_EQ(monitor.eventsCount(), 0u);
    EXPECT_EQ(monitor.events().capacity(), QRBMessageMonitor::kCapacity);
    EXPECT_EQ(QRBMessageMonitor::kCapacity, 1000u);
    EXPECT_EQ(monitor.direction(), 1u);
    EXPECT_FALSE(monitor.isPaused());
}

TEST_F(QRBMessageMonitorTest, HeaderPrecedesEachChangeOfEndpoint) {
    input->setStatusDescription("port 8000");
    monitor.monitor(line("a1"), input, at(1));
    monitor.monitor(line("a2"), input, at(2));
    monitor.monitor(line("b1"), snapshot, at(3));
    monitor.monitor(line("a3"), input, at(4));

    EXPECT_EQ(linesOf(monitor),
              (std::vector<std::string>{"[From OSC Input - port 8000]", "a1", "a2", "[From Snapshot Recall]", "b1",
                                        "[From OSC Input - port 8000]", "a3"}));
    // Endpoints are told apart by identity, not by name.
    auto secondInput = std::make_shared<QRBMessageEndpoint>("OSC Input", 1);
    secondInput->setStatusDescription("port 8000");
    monitor.monitor(line("c1"), secondInput, at(5));
    EXPECT_EQ(monitor.eventsCount(), 9u);
    EXPECT_EQ(monitor.eventAtIndex(7)->endpoint(), nullptr);

    auto recorded = monitor.eventAtIndex(8);
    EXPECT_EQ(recorded->endpoint(), secondInput);
    EXPECT_EQ(recorded->timestamp(), at(5));
    EXPECT_FALSE(monitor.eventAtIndex(7)->timestamp());

    monitor.clear();
    EXPECT_EQ(monitor.eventsCount(), 0u);
    monitor.monitor(line("c2"), secondInput, at(6));
    EXPECT_EQ(monitor.eventsCount(), 2u) << "an emptied monitor starts with a header again";
}

TEST_F(QRBMessageMonitorTest, FullMonitorDropsTheOldestAndHeadersCount) {
    // One header and 999 events fill the monitor.
    for (int i = 0; i < 999; ++i) monitor.monitor(line("e" + std::to_string(i)), input, at(i));
    ASSERT_EQ(monitor.eventsCount(), 1000u);
    EXPECT_EQ(monitor.eventAtIndex(0)->endpoint(), nullptr);

    monitor.monitor(line("e999"), input, at(999));
    EXPECT_EQ(monitor.eventsCount(), 1000u);
    EXPECT_EQ(monitor.eventAtIndex(0)->message()->presentation(), "e0") << "the header went first";
    EXPECT_EQ(monitor.eventAtIndex(999)->message()->presentation(), "e999");

    monitor.monitor(line("e1000"), input, at(1000));
    EXPECT_EQ(monitor.eventAtIndex(0)->message()->presentation(), "e1");
}

TEST_F(QRBMessageMonitorTest, AnEventDroppedWhileSomeoneHoldsItStaysAsItWas) {
    QRBMessageMonitor small(3);
    small.monitor(line("a"), input, at(1));
    small.monitor(line("b"), input, at(2));
    const QRBMessageEventPtr held = small.eventAtIndex(1);  // "a"
    // A flow of traffic through the full monitor: every push drops an event and makes one.
    for (int i = 0; i < 6; ++i) small.monitor(line("c" + std::to_string(i)), input, at(3 + i));
    EXPECT_EQ(held->message()->presentation(), "a");
    EXPECT_EQ(held->endpoint(), input);
    EXPECT_EQ(held->timestamp(), at(1));
    EXPECT_EQ(linesOf(small), (std::vector<std::string>{"c3", "c4", "c5"}));
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(small.eventAtIndex(long(i))->timestamp(), at(6 + double(i)));
}

TEST_F(QRBMessageMonitorTest, DirectionFilterAndStatusLines) {
    monitor.monitor(line("out"), output, at(1));
    monitor.monitor(line("in"), input, at(2));
    monitor.monitor(line("app"), QRBMessageEndpoint::appEndpoint(), at(3));
    EXPECT_EQ(linesOf(monitor), (std::vector<std::string>{"[From OSC Input]", "in", "[Application]", "app"}));

    monitor.clear();
    monitor.setDirection(2);
    monitor.monitor(line("in"), input, at(1e12));
    monitor.monitor(line("out"), output, at(1e12));
    EXPECT_EQ(linesOf(monitor), (std::vector<std::string>{"[Application]", "Monitoring outgoing messages only",
                                                          "[To OSC Output]", "out"}));

    monitor.clear();
    monitor.setDirection(0);
    monitor.monitor(line("in"), input, at(1e12));
    monitor.monitor(line("out"), output, at(1e12));
    EXPECT_EQ(monitor.eventsCount(), 6u) << "both directions pass";

    // Each direction's line; setting the direction it already has writes nothing.
    const std::vector<std::pair<unsigned, std::string>> cases = {
        {1, "Monitoring incoming messages only"},
        {0, "Monitoring incoming and outgoing messages"},
        {2, "Monitoring outgoing messages only"},
        {5, ""},
        {5, ""},
    };
    monitor.clear();
    size_t expectedCount = 0;
    unsigned previous = monitor.direction();
    for (const auto& [direction, text] : cases) {
        const size_t before = monitor.eventsCount();
        monitor.setDirection(direction);
        EXPECT_EQ(monitor.direction(), direction);
        // Only the first line after clearing needs a header.
        if (direction != previous) expectedCount = before + (before == 0 ? 2 : 1);
        ASSERT_EQ(monitor.eventsCount(), expectedCount) << direction;
        const auto& last = monitor.eventAtIndex(long(expectedCount) - 1);
        EXPECT_EQ(last->message()->presentation(), text);
        EXPECT_EQ(last->message()->details(), std::nullopt);
        EXPECT_EQ(last->endpoint(), QRBMessageEndpoint::appEndpoint());
        previous = direction;
    }
    // Direction 5 matches no endpoint but the application's own.
    monitor.monitor(line("in"), input, at(1e12));
    monitor.monitor(line("out"), output, at(1e12));
    EXPECT_EQ(monitor.eventsCount(), expectedCount);
}

TEST_F(QRBMessageMonitorTest, PauseAndResumeLines) {
    monitor.setDirection(0);
    monitor.clear();

    monitor.setPaused(true);
    EXPECT_TRUE(monitor.isPaused());
    monitor.setPaused(true);
    monitor.monitor(line("lost"), input, at(1e12));
    monitor.monitor(line("lost"), QRBMessageEndpoint::appEndpoint(), at(1e12));
    monitor.setDirection(1);  // no line while paused
    EXPECT_EQ(monitor.direction(), 1u);

    monitor.setPaused(false);
    EXPECT_FALSE(monitor.isPaused());
    monitor.setPaused(false);
    monitor.monitor(line("kept"), input, at(1e12));
    EXPECT_EQ(linesOf(monitor), (std::vector<std::string>{"[Application]", "Message monitoring paused",
                                                          "Message monitoring resumed", "[From OSC Input]", "kept"}));
}

TEST_F(QRBMessageMonitorTest, MessagesThatAreNotMonitorableAreLeftOut) {
    auto delegate = std::make_shared<CountingDelegate>();
    monitor.setDelegate(delegate);
    monitor.monitor(std::make_shared<HiddenMessage>(), input, at(1));
    EXPECT_EQ(monitor.eventsCount(), 0u);
    EXPECT_EQ(delegate->calls, 0);
}

TEST_F(QRBMessageMonitorTest, DelegateIsToldOncePerRecordedEvent) {
    auto delegate = std::make_shared<CountingDelegate>();
    monitor.setDelegate(delegate);
    EXPECT_EQ(monitor.delegate(), delegate);

    monitor.monitor(line("a"), input, at(1));     // header + event
    monitor.monitor(line("b"), input, at(2));     // event
    monitor.monitor(line("x"), output, at(3));    // filtered out
    monitor.monitor(line("c"), snapshot, at(4));  // header + event
    EXPECT_EQ(delegate->calls, 3);
    EXPECT_EQ(delegate->countsSeen, (std::vector<size_t>{2, 3, 5})) << "told after the event is in place";

    // Held weakly: a delegate that went away is not called.
    delegate.reset();
    EXPECT_EQ(monitor.delegate(), nullptr);
    monitor.monitor(line("d"), input, at(5));
    EXPECT_EQ(monitor.eventsCount(), 7u);
}

TEST_F(QRBMessageMonitorTest, ProgrammingErrorsAreAssertions) {
    EXPECT_EQ(reasonOf([&] { monitor.monitor(nullptr, input, at(1)); }), "Invalid parameter not satisfying: message");
    EXPECT_EQ(reasonOf([&] { monitor.monitor(line("a"), nullptr, at(1)); }),
              "Invalid parameter not satisfying: endpoint");
    EXPECT_EQ(reasonOf([&] { monitor.eventAtIndex(-1); }), "Invalid parameter not satisfying: index >= 0");
    EXPECT_EQ(reasonOf([] { QRBMessageEventQueue queue(0); }), "Invalid parameter not satisfying: capacity != 0");
    EXPECT_THROW(monitor.eventAtIndex(0), foundation::Exception);
    EXPECT_EQ(monitor.eventsCount(), 0u);
}

TEST(QRBMessageMonitorArchive, DecodedMonitorKeepsItsDirectionOnly) {
    auto original = std::make_shared<QRBMessageMonitor>();
    original->setDirection(0);
    original->setPaused(true);
    ASSERT_GT(original->eventsCount(), 0u);
    for (const auto& source : {original, std::make_shared<QRBMessageMonitor>()}) {
        foundation::Data archive = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(source));
        auto decoded = foundation::KeyedUnarchiver::unarchiveRoot<QRBMessageMonitor>(archive);
        EXPECT_EQ(decoded->direction(), source->direction());
        EXPECT_EQ(decoded->eventsCount(), 0u);
        EXPECT_EQ(decoded->events().capacity(), QRBMessageMonitor::kCapacity);
        EXPECT_FALSE(decoded->isPaused());
        EXPECT_EQ(decoded->delegate(), nullptr);
    }
}

// Writes a direction the monitor cannot hold, as a damaged document could.
class DamagedMonitor : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBMessageMonitor", foundation::Object)
public:
    int64_t direction = 0;
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override { coder.encodeInt64(direction, "direction"); }
};

TEST(QRBMessageMonitorArchive, DirectionOutOfRangeIsAnError) {
    for (int64_t direction : {int64_t(-1), int64_t(1) << 40}) {
        auto damaged = std::make_shared<DamagedMonitor>();
        damaged->direction = direction;
        foundation::Data archive = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(damaged));
        EXPECT_THROW(foundation::KeyedUnarchiver::unarchiveRoot<QRBMessageMonitor>(archive), foundation::ArchiveError)
            << direction;
    }
}

// ---------------------------------------------------------------------------------------------
// Ordering in the queue

struct OrderingCase {
    const char* name;
    size_t capacity;
    // Each pushed event: a time stamp, or a negative number for a header.
    std::vector<double> pushed;
    // The resulting order as indexes into `pushed`.
    std::vector<size_t> order;
};

TEST(QRBMessageEventQueue, KeepsTimeStampOrderBehindHeaders) {
    constexpr double H = -1;
    const std::vector<OrderingCase> cases = {
        {"in time order events are appended", 10, {H, 1, 2, 3}, {0, 1, 2, 3}},
        {"an earlier event lands before the two newest but after their header",
         10,
         {H, 5, 6, 7, H, 8, 9, 3},
         {0, 1, 2, 3, 4, 7, 5, 6}},
        {"an event earlier than everything after a header stops at the header", 10, {H, 5, 6, 1}, {0, 3, 1, 2}},
        {"equal time stamps keep their arrival order", 10, {H, 5, 5, 3, 5, 5}, {0, 3, 1, 2, 4, 5}},
        {"without a header an earlier event goes to the front", 10, {4, 5, 2}, {2, 0, 1}},
        {"a header goes to the end whatever the stamps", 10, {4, H, 2}, {0, 1, 2}},
        {"a full queue drops the oldest before inserting", 3, {H, 5, 6, 1}, {3, 1, 2}},
        {"a full queue can drop the header of the events it keeps", 3, {H, 5, 6, 7}, {1, 2, 3}},
        {"a queue of one keeps the newest", 1, {H, 5, 1}, {2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QRBMessageEventQueue queue(c.capacity);
        std::vector<QRBMessageEventPtr> events;
        auto endpoint = std::make_shared<QRBMessageEndpoint>("OSC Input", 1);
        for (double stamp : c.pushed) {
            auto message = QRBAppMessage::appMessageWithPresentation(std::to_string(events.size()));
            events.push_back(stamp < 0 ? QRBMessageEvent::eventWithMessage(message, nullptr, std::nullopt)
                                       : QRBMessageEvent::eventWithMessage(message, endpoint, at(stamp)));
            queue.push(events.back());
        }
        ASSERT_EQ(queue.count(), c.order.size());
        for (size_t i = 0; i < c.order.size(); ++i) EXPECT_EQ(queue.objectAtIndex(i), events[c.order[i]]) << i;
        EXPECT_EQ(queue.lastObject(), events[c.order.back()]);
    }

    QRBMessageEventQueue empty(2);
    EXPECT_EQ(empty.lastObject(), nullptr);
    EXPECT_THROW(empty.objectAtIndex(0), foundation::Exception);
}

}  // namespace
