// Taking and recalling snapshots from an action: new and replacing takes, relative, indexed and
// named recalls, whose replayed values reach the routes of the mapping in its order; and snapshot
// outputs fired by a replay doing nothing.

#include "features/MappingOutputsFixture.h"

#include "features/QRBSnapshotEventSourceBase.h"
#include "foundation/Date.h"

#include <gtest/gtest.h>

using firing::Float;
using foundation::Date;
using mappingoutputs::MappingOutputsTest;

namespace {

std::shared_ptr<QRBSnapshotTakeEventSource> take(bool takeNew) {
    auto source = std::make_shared<QRBSnapshotTakeEventSource>();
    source->setShouldTakeNewSnapshot(takeNew);
    return source;
}

std::shared_ptr<QRBSnapshotRelativeRecallEventSource> relative(uint64_t mode) {
    auto source = std::make_shared<QRBSnapshotRelativeRecallEventSource>();
    source->setRecallMode(mode);
    return source;
}

std::shared_ptr<QRBSnapshotRecallEventSource> named(const char* name) {
    auto source = std::make_shared<QRBSnapshotRecallEventSource>();
    source->setSnapshotName(std::string(name));
    return source;
}

}  // namespace

class SnapshotOutputsTest : public MappingOutputsTest {
protected:
    void SetUp() override {
        MappingOutputsTest::SetUp();
        preset = currentPreset();
        a = addContext(preset, "/a", route(std::nullopt, {"$args"}));
        b = addContext(preset, "/b", route(std::nullopt, {"$args"}));
        control = QRBContext::create("/control", manager);
        ASSERT_TRUE(manager->start());
    }
    void set(float av, float bv) {
        a->receive(firing::message("/a", {Float(av)}), manager->oscInputEndpoint(), Date::now());
        b->receive(firing::message("/b", {Float(bv)}), manager->oscInputEndpoint(), Date::now());
    }
    QRBAcceptResult act(const QRBEventSourcePtr& source) {
        control->setEventSource(source);
        return source->acceptAction(*control);
    }
    // What the routes sent for one output's act.
    std::vector<std::string> sentBy(const QRBEventSourcePtr& source, QRBAcceptResult expected = QRBAcceptResult::Done) {
        receiveAtLeast(0);
        receiver.messages.clear();
        EXPECT_EQ(act(source), expected);
        if (expected == QRBAcceptResult::Done) receiveAtLeast(2);
        drain();
        return receiver.messages;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> list;
        for (const auto& s : preset->snapshots()) list.push_back(s->name());
        return list;
    }

    QRBPresetPtr preset;
    QRBContextPtr a, b, control;
};

TEST_F(SnapshotOutputsTest, TakesAndRecallsReplayTheValuesIntoTheRoutesInTheMappingsOrder) {
    set(0.1f, 0.2f);
    EXPECT_EQ(act(take(true)), QRBAcceptResult::Done);
    set(0.3f, 0.4f);
    EXPECT_EQ(act(take(true)), QRBAcceptResult::Done);
    EXPECT_EQ(names(), (std::vector<std::string>{"\u2014", "Snapshot 1", "Snapshot 2"}));
    EXPECT_EQ(preset->lastRecalledSnapshot()->name(), "Snapshot 2");

    // Updating replaces the last recalled snapshot under its name.
    set(0.5f, 0.4f);
    EXPECT_EQ(act(take(false)), QRBAcceptResult::Done);
    EXPECT_EQ(names(), (std::vector<std::string>{"\u2014", "Snapshot 1", "Snapshot 2"}));

    EXPECT_EQ(sentBy(named("Snapshot 1")), (std::vector<std::string>{"/a ,f 0.1", "/b ,f 0.2"}));
    EXPECT_EQ(preset->lastRecalledSnapshot()->name(), "Snapshot 1");
    // Backwards from the first real snapshot wraps to the last; forwards from the last to the first.
    EXPECT_EQ(sentBy(relative(QRBSnapshotRelativeRecallEventSource::kPrevious)),
              (std::vector<std::string>{"/a ,f 0.5", "/b ,f 0.4"}));
    EXPECT_EQ(sentBy(relative(QRBSnapshotRelativeRecallEventSource::kNext)),
              (std::vector<std::string>{"/a ,f 0.1", "/b ,f 0.2"}));
    EXPECT_EQ(sentBy(relative(QRBSnapshotRelativeRecallEventSource::kCurrent)),
              (std::vector<std::string>{"/a ,f 0.1", "/b ,f 0.2"}));

    // A snapshot no longer there, and a mode outside the three, recall nothing.
    EXPECT_TRUE(sentBy(named("Snapshot 9"), QRBAcceptResult::Failed).empty());
    EXPECT_TRUE(sentBy(relative(7), QRBAcceptResult::Failed).empty());
}

TEST_F(SnapshotOutputsTest, AnIndexSelectsAmongTheSnapshotsCountingTheEmptyOne) {
    for (int i = 0; i < 4; ++i) {
        set(0.1f * static_cast<float>(i), 0);
        act(take(true));
    }
    ASSERT_EQ(preset->countOfSnapshots(), 5u);
    auto byIndex = std::make_shared<QRBSnapshotIndexedRecallEventSource>();
    control->setEventSource(byIndex);
    control->setInternalArgType('f');
    EXPECT_EQ(byIndex->outputScalingFudgeFactorForAction(*control), 5.0);

    struct Case {
        float value;
        QRBAcceptResult result;
        size_t recalled;
    };
    for (const Case& c : {Case{0.4f, QRBAcceptResult::Done, 2}, Case{0.0f, QRBAcceptResult::Done, 0},
                          Case{1.0f, QRBAcceptResult::Failed, 0}, Case{0.9f, QRBAcceptResult::Done, 4},
                          Case{-3.0f, QRBAcceptResult::Done, 0}}) {
        SCOPED_TRACE(c.value);
        control->setArgValue(*QRBArg::argWithFloatValue(c.value));
        EXPECT_EQ(byIndex->acceptAction(*control), c.result);
        EXPECT_EQ(preset->lastRecalledSnapshot(), preset->objectInSnapshotsAtIndex(c.recalled));
    }
}

TEST_F(SnapshotOutputsTest, SnapshotOutputsFiredByAReplayDoNothing) {
    // "/c" takes a new snapshot whenever its value changes; its value is part of the snapshot.
    auto takeOnChange = take(true);
    auto c = addContext(preset, "/c", takeOnChange);
    c->receive(firing::message("/c", {Float(1)}), manager->oscInputEndpoint(), Date::now());
    c->receive(firing::message("/c", {Float(0)}), manager->oscInputEndpoint(), Date::now());
    const size_t count = preset->countOfSnapshots();
    ASSERT_GE(count, 2u) << "the release took a snapshot holding /c";
    const QRBSnapshotPtr holdingC = preset->lastRecalledSnapshot();

    // Replaying that snapshot fires /c's output inside the restore: no snapshot is taken.
    preset->recallSnapshot(preset->objectInSnapshotsAtIndex(0));
    c->receive(firing::message("/c", {Float(1)}), manager->oscInputEndpoint(), Date::now());
    preset->recallSnapshot(holdingC);
    EXPECT_EQ(preset->countOfSnapshots(), count);
    EXPECT_EQ(preset->lastRecalledSnapshot(), holdingC);
}

TEST_F(SnapshotOutputsTest, TheSnapshotsTypeProposesTheFixedOutputsAndEverySnapshotByName) {
    set(0.1f, 0.2f);
    act(take(true));
    const QRBEventSourceClass* type = QRBEventSource::typeForTypeDescription("Snapshots");
    ASSERT_EQ(type, &QRBSnapshotEventSourceBase::staticClass());
    const foundation::Value proposed = QRBSnapshotEventSourceBase::classProposedEventSourcesCollection(control.get());
    for (const char* name : {"Recall Next", "Recall Current", "Recall Previous", "Recall by Index", "Update Current",
                             "Take New", "Recall \u2014", "Recall Snapshot 1"})
        EXPECT_NE(QRBEventSource::findEventSourceWithName(name, proposed), nullptr) << name;
}
