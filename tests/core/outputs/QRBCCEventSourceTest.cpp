// The controller output: the register, words and priority it writes to the Flame device for an
// action, its failure without a device, its neighbours among the proposed outputs, its archive.

#include "core/mapping/QRBConcreteAction.h"
#include "core/osc/QRBArg.h"
#include "core/outputs/QRBCCEventSource.h"
#include "flame/QRBFlameLink.h"
#include "foundation/KeyedArchiver.h"
#include "support/TestRegistration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace {

struct Write {
    uint32_t offset, high, low;
    int priority;
    bool operator==(const Write&) const = default;
};

class RecordingLink final : public QRBFlameLink {
public:
    bool writeToCurrentDevice(uint32_t offset, uint32_t high, uint32_t low, int priority) override {
        writes.push_back({offset, high, low, priority});
        return accepts;
    }
    std::vector<Write> writes;
    bool accepts = true;
};

// A controller output whose class proposes the 128 outputs in controller order.
class ProposingCCEventSource : public QRBCCEventSource {
    QRB_EVENT_SOURCE_CLASS("TestProposingCCEventSource", QRBCCEventSource)

public:
    using QRBCCEventSource::QRBCCEventSource;
    static foundation::Value classProposedEventSourcesCollection(const QRBAction*) {
        static const foundation::Array outputs = [] {
            foundation::Array all;
            for (int64_t n = 0; n < 128; ++n) all.emplace_back(std::make_shared<ProposingCCEventSource>(n));
            return all;
        }();
        return outputs;
    }
};

}  // namespace

TEST_REGISTER_EVENT_SOURCE(ProposingCCEventSource)

namespace {

class QRBCCEventSourceTest : public ::testing::Test {
protected:
    void SetUp() override { QRBFlameLink::setShared(link); }
    void TearDown() override { QRBFlameLink::setShared(nullptr); }

    std::shared_ptr<RecordingLink> link = std::make_shared<RecordingLink>();
};

TEST_F(QRBCCEventSourceTest, WritesTheControllerRegisterOfTheActionsChannel) {
    struct Case {
        const char* what;
        int64_t ccNumber;
        int64_t channel;
        QRBArgPtr value;
        bool triggerLike;
        Write expected;
    };
    const std::vector<Case> cases = {
        {"half on channel 1, controller 7", 7, 1, QRBArg::argWithFloatValue(0.5f), false, {8, 0, 0x800000, 0}},
        {"button-like input has priority", 7, 1, QRBArg::argWithFloatValue(1), true, {8, 1, 0, 1}},
        {"channel 16, controller 127",
         127,
         16,
         QRBArg::argWithFloatValue(0.25f),
         false,
         {(15 << 8) + 128, 0, 0x400000, 0}},
        {"above 1 is clamped", 0, 2, QRBArg::argWithFloatValue(3.5f), false, {(1 << 8) + 1, 1, 0, 0}},
        {"below 0 is clamped", 0, 2, QRBArg::argWithFloatValue(-2), false, {(1 << 8) + 1, 0, 0, 0}},
        {"NaN writes 0", 0, 2, QRBArg::argWithFloatValue(std::nanf("")), false, {(1 << 8) + 1, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        link->writes.clear();
        auto source = std::make_shared<QRBCCEventSource>(c.ccNumber);
        auto action = std::make_shared<QRBConcreteAction>();
        action->setEventSource(source);
        action->setChannel(c.channel);
        action->setArgValue(*c.value);
        action->setHasTriggerLikeInput(c.triggerLike);
        EXPECT_EQ(source->acceptAction(*action), QRBAcceptResult::Done);
        EXPECT_EQ(link->writes, std::vector<Write>{c.expected});
    }
}

TEST_F(QRBCCEventSourceTest, FailsWhenTheWriteIsRefusedOrThereIsNoDevice) {
    QRBCCEventSource source(7);
    auto action = std::make_shared<QRBConcreteAction>();
    action->setArgValue(*QRBArg::argWithFloatValue(0.5f));
    link->accepts = false;
    EXPECT_EQ(source.acceptAction(*action), QRBAcceptResult::Failed);
    QRBFlameLink::setShared(nullptr);  // the process's link without a Flame layer
    EXPECT_EQ(source.acceptAction(*action), QRBAcceptResult::Failed);
}

TEST_F(QRBCCEventSourceTest, NeighboursWrapAroundTheProposedOutputs) {
    EXPECT_EQ(QRBCCEventSource::staticClass().channelCount(), 16u);
    auto first = std::make_shared<ProposingCCEventSource>(0);
    auto last = std::make_shared<ProposingCCEventSource>(127);
    auto middle = std::make_shared<ProposingCCEventSource>(64);
    auto ccOf = [](const QRBEventSourcePtr& output) {
        return std::static_pointer_cast<QRBCCEventSource>(output)->ccNumber();
    };
    EXPECT_EQ(ccOf(first->previousProposedEventSource()), 127);
    EXPECT_EQ(ccOf(last->nextProposedEventSource()), 0);
    EXPECT_EQ(ccOf(middle->previousProposedEventSource()), 63);
    EXPECT_EQ(ccOf(middle->nextProposedEventSource()), 65);

    auto plain = std::make_shared<QRBCCEventSource>(5);
    EXPECT_EQ(plain->nextProposedEventSource(), plain) << "a class that proposes nothing";
}

TEST_F(QRBCCEventSourceTest, ArchiveKeepsTheControllerAndClampsADamagedOne) {
    for (int64_t archived : {int64_t(42), int64_t(-3), int64_t(1000)}) {
        SCOPED_TRACE(archived);
        auto source = std::make_shared<QRBCCEventSource>(archived);
        source->setName(std::string("42"));
        auto data = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(source));
        auto decoded = foundation::KeyedUnarchiver::unarchiveRoot<QRBCCEventSource>(data);
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(decoded->ccNumber(), std::clamp<int64_t>(archived, 0, 127));
        EXPECT_EQ(decoded->name(), "42");
    }
}

}  // namespace
