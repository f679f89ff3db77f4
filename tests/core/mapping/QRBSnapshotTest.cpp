// Snapshots: equality of elements and snapshots, renaming, capture and replay through real
// contexts (plain, multi-argument and demultiplexed), and archives, damaged ones included.

#include "core/support/PresetTestSupport.h"

#include "core/monitor/QRBMessageEvent.h"
#include "foundation/NotificationCenter.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace firing;
using namespace presets;

namespace {

QRBSnapshotElementPtr element(QRBOSCMessagePtr m, QRBSnapshotElements children = {}) {
    return QRBSnapshotElement::elementWithMessage(std::move(m), std::move(children));
}

// A document with one preset whose contexts get recording outputs on one log.
class SnapshotTest : public ::testing::Test {
protected:
    VirtualMainLoop loop;
    std::shared_ptr<RecordingConfigurator> configurator = std::make_shared<RecordingConfigurator>();
    ConfiguratorScope scope{configurator};
    std::shared_ptr<PresetHost> host = std::make_shared<PresetHost>();
    QRBPresetPtr preset = host->current();

    // A recording output on the shared log for a context that fires itself.
    void giveOutput(const QRBActionPtr& action) {
        action->setEventSource(std::make_shared<RecordingEventSource>(configurator->log));
    }
    std::vector<std::pair<const QRBAction*, double>> accepted() const {
        std::vector<std::pair<const QRBAction*, double>> result;
        for (const auto& call : *configurator->log)
            if (call.what == "accept") result.emplace_back(call.action, call.value);
        return result;
    }
};

}  // namespace

// ---- equality ----------------------------------------------------------------------------------

TEST(SnapshotElementEquality, Table) {
    auto a1 = message("/a", {Float(0.5f)});
    auto a1again = message("/a", {Float(0.5f)});
    auto a2 = message("/a", {Float(0.6f)});
    auto b1 = message("/b", {Float(0.5f)});
    auto child = element(message("x", {Float(1)}));
    auto otherChild = element(message("x", {Float(2)}));
    struct Case {
        const char* name;
        QRBSnapshotElementPtr x, y;
        bool equal;
    } cases[] = {
        {"same values, other message objects", element(a1), element(a1again), true},
        {"other value", element(a1), element(a2), false},
        {"other path", element(a1), element(b1), false},
        {"no message on the receiver matches any message", element(nullptr), element(a2), true},
        {"a message on the receiver does not match none", element(a1), element(nullptr), false},
        {"both without messages", element(nullptr), element(nullptr), true},
        {"equal children", element(a1, {child}), element(a1again, {element(message("x", {Float(1)}))}), true},
        {"unequal children", element(a1, {child}), element(a1, {otherChild}), false},
        {"more children", element(a1, {child}), element(a1, {child, child}), false},
        {"child without message on the receiver", element(a1, {element(nullptr)}), element(a1, {otherChild}), true},
    };
    for (const auto& c : cases) EXPECT_EQ(c.x->isEqualToSnapshotElement(*c.y), c.equal) << c.name;
}

TEST(SnapshotEquality, EmptySnapshotEqualsOnlyItselfCapturesCompareByValue) {
    auto empty = QRBSnapshot::emptySnapshot();
    EXPECT_EQ(empty->name(), "\u2014");
    EXPECT_FALSE(empty->elements().has_value());
    EXPECT_TRUE(empty->isEqualToSnapshot(*empty));
    EXPECT_FALSE(empty->isEqualToSnapshot(*QRBSnapshot::emptySnapshot()));
    // A capture of a preset without contexts has an empty list: not the empty snapshot.
    auto none = QRBSnapshot::snapshotWithElements({});
    EXPECT_FALSE(empty->isEqualToSnapshot(*none));
    EXPECT_FALSE(none->isEqualToSnapshot(*empty));
    EXPECT_TRUE(none->isEqualToSnapshot(*QRBSnapshot::snapshotWithElements({})));

    auto one = QRBSnapshot::snapshotWithElements({element(message("/a", {Float(1)}))});
    auto same = QRBSnapshot::snapshotWithElements({element(message("/a", {Float(1)}))});
    auto other = QRBSnapshot::snapshotWithElements({element(message("/a", {Float(2)}))});
    EXPECT_EQ(one->name(), "Snapshot 1");
    EXPECT_TRUE(one->isEqualToSnapshot(*same));
    EXPECT_FALSE(one->isEqualToSnapshot(*other));
}

// ---- renaming ----------------------------------------------------------------------------------

TEST(SnapshotName, RenamePostsOldNameAndMovesTheEndpointSameNamePostsNothing) {
    auto snapshot = QRBSnapshot::snapshotWithElements({});
    EXPECT_EQ(snapshot->endpoint()->categoryName(), "Snapshot Recall");
    EXPECT_EQ(snapshot->endpoint()->direction(), QRBMessageEndpoint::kDirectionIncoming);
    EXPECT_EQ(snapshot->endpoint()->statusDescription(), "Snapshot 1");

    std::vector<std::string> oldNames;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        kQRBSnapshotNameChangedNotification, snapshot, [&](const foundation::Notification& n) {
            oldNames.push_back(*n.userInfo.at(kQRBSnapshotNameChangedOldNameKey).stringValue());
        });
    snapshot->setName("Verse");
    snapshot->setName("Verse");
    ASSERT_EQ(oldNames, std::vector<std::string>{"Snapshot 1"});
    EXPECT_EQ(snapshot->endpoint()->statusDescription(), "Verse");
}

// ---- capture and replay through contexts -------------------------------------------------------

TEST_F(SnapshotTest, CaptureTakesEachContextsLastMessageInOrder) {
    host->receive(message("/a", {Float(0.2f), Float(0.4f)}));
    host->receive(message("/b", {Float(0.7f)}));
    auto never = host->addContext("/never");

    auto snapshot = preset->createSnapshot();
    ASSERT_TRUE(snapshot->elements().has_value());
    const auto& elements = *snapshot->elements();
    ASSERT_EQ(elements.size(), 3u);
    // The stored messages themselves, shared.
    EXPECT_EQ(elements[0]->message(), preset->contextWithName("/a")->lastReceivedMessage());
    EXPECT_EQ(elements[1]->message()->path(), "/b");
    EXPECT_EQ(elements[2]->message(), nullptr);
    for (const auto& e : elements) EXPECT_TRUE(e->elements().empty());
    // Two captures of one state are equal.
    EXPECT_TRUE(snapshot->isEqualToSnapshot(*preset->createSnapshot()));
}

TEST_F(SnapshotTest, RecallReplaysRecordedValuesFromTheSnapshotEndpoint) {
    host->receive(message("/a", {Float(0.2f), Float(0.4f)}));
    host->receive(message("/b", {Float(0.7f)}));
    auto a = preset->contextWithName("/a");
    auto b = preset->contextWithName("/b");
    giveOutput(b);
    host->addContext("/never");  // nothing to replay; skipped
    auto snapshot = preset->createSnapshot();
    preset->addSnapshotsObject(snapshot);

    host->receive(message("/a", {Float(0.9f), Float(0.1f)}));
    host->receive(message("/b", {Float(0.0f)}));
    host->monitor->clear();
    configurator->log->clear();

    preset->recallSnapshot(snapshot);

    const std::vector<std::pair<const QRBAction*, double>> expected = {
        {a->actions()[0].get(), double(0.2f)}, {a->actions()[1].get(), double(0.4f)}, {b.get(), double(0.7f)}};
    EXPECT_EQ(accepted(), expected);
    EXPECT_FALSE(a->isSnapshotRestoreInProgress());
    EXPECT_EQ(preset->lastRecalledSnapshot(), snapshot);
    EXPECT_FALSE(preset->lastRecalledSnapshotDirty());

    // The monitor shows the replayed messages under the snapshot's endpoint.
    const auto& events = host->monitor->events();
    size_t replayed = 0;
    for (size_t i = 0; i < host->monitor->eventsCount(); ++i) {
        const auto& event = host->monitor->eventAtIndex(static_cast<long>(i));
        auto m = std::dynamic_pointer_cast<QRBOSCMessage>(event->message());
        if (!m) continue;
        EXPECT_EQ(event->endpoint(), snapshot->endpoint());
        ++replayed;
    }
    (void)events;
    EXPECT_EQ(replayed, 2u);
}

TEST_F(SnapshotTest, DemultiplexedContextCapturesAndRestoresEachChild) {
    auto d = host->addContext("/d");
    d->demux(0);
    host->receive(message("/d", {String("left"), Float(0.3f)}));
    host->receive(message("/d", {String("right"), Float(0.6f)}));
    auto left = d->contextWithName("left");
    auto right = d->contextWithName("right");
    ASSERT_TRUE(left && right);
    giveOutput(left);
    giveOutput(right);

    auto snapshot = preset->createSnapshot();
    const auto& top = (*snapshot->elements())[0];
    EXPECT_EQ(top->message(), d->lastReceivedMessage());
    ASSERT_EQ(top->elements().size(), 2u);
    for (size_t i = 0; i < 2; ++i) EXPECT_EQ(top->elements()[i]->message()->path(), *d->subContexts()[i]->name());
    preset->addSnapshotsObject(snapshot);

    host->receive(message("/d", {String("left"), Float(0.9f)}));
    host->receive(message("/d", {String("right"), Float(0.1f)}));
    configurator->log->clear();
    preset->recallSnapshot(snapshot);

    // The context's own message reaches the child it names; then every child replays its own.
    double lastLeft = -1, lastRight = -1;
    for (const auto& [action, v] : accepted()) {
        if (action == left.get()) lastLeft = v;
        if (action == right.get()) lastRight = v;
    }
    EXPECT_EQ(lastLeft, double(0.3f));
    EXPECT_EQ(lastRight, double(0.6f));
    EXPECT_TRUE(preset->createSnapshot()->isEqualToSnapshot(*snapshot));
}

TEST_F(SnapshotTest, RecallSkipsChildrenAndContextsThatAreGone) {
    auto d = host->addContext("/d");
    d->demux(0);
    host->receive(message("/d", {String("left"), Float(0.3f)}));
    host->receive(message("/b", {Float(0.5f)}));
    auto snapshot = preset->createSnapshot();
    preset->addSnapshotsObject(snapshot);

    d->contextWithName("left")->invalidate();
    preset->contextWithName("/b")->invalidate();
    ASSERT_EQ(preset->contextWithName("/b"), nullptr);
    // The /d message itself recreates its child; the missing /b is skipped.
    EXPECT_NO_THROW(preset->recallSnapshot(snapshot));
    EXPECT_NE(d->contextWithName("left"), nullptr);
    EXPECT_EQ(preset->contextWithName("/b"), nullptr);

    // A child element whose child context is gone for good is skipped too.
    auto orphan = QRBSnapshot::snapshotWithElements({element(nullptr, {element(message("nowhere", {Float(1)}))})});
    preset->addSnapshotsObject(orphan);
    EXPECT_NO_THROW(preset->recallSnapshot(orphan));
}

// ---- archives ----------------------------------------------------------------------------------

TEST_F(SnapshotTest, ArchiveRoundTripThroughAFile) {
    auto d = host->addContext("/d");
    d->demux(0);
    host->receive(message("/d", {String("left"), Float(0.3f)}));
    host->receive(message("/a", {Float(0.2f), Int(7), String("on")}));
    host->addContext("/never");
    auto snapshot = preset->createSnapshot();
    snapshot->setName("Chorus");

    testsupport::TempDir dir;
    auto decoded = roundTripThroughFile<QRBSnapshot>(foundation::Value(snapshot), dir.file("snapshot.plist"));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->name(), "Chorus");
    EXPECT_TRUE(decoded->isEqualToSnapshot(*snapshot));
    EXPECT_TRUE(snapshot->isEqualToSnapshot(*decoded));
    EXPECT_EQ((*decoded->elements())[2]->message(), nullptr);
    // The endpoint is made afresh and shows the decoded name.
    ASSERT_TRUE(decoded->endpoint());
    EXPECT_EQ(decoded->endpoint()->categoryName(), "Snapshot Recall");
    EXPECT_EQ(decoded->endpoint()->statusDescription(), "Chorus");

    auto empty = decode<QRBSnapshot>(foundation::Value(QRBSnapshot::emptySnapshot()));
    EXPECT_EQ(empty->name(), "\u2014");
    EXPECT_FALSE(empty->elements().has_value());
}

TEST(SnapshotArchive, DamagedArchivesRaiseArchiveError) {
    auto selfContaining = RawRecord::make("QRBSnapshotElement");
    selfContaining->set("elements", foundation::Array{foundation::Value(selfContaining)});
    auto loopA = RawRecord::make("QRBSnapshotElement");
    auto loopB = RawRecord::make("QRBSnapshotElement");
    loopA->set("elements", foundation::Array{foundation::Value(loopB)});
    loopB->set("elements", foundation::Array{foundation::Value(loopA)});

    const std::pair<const char*, std::shared_ptr<RawRecord>> damaged[] = {
        {"snapshot elements not a list", RawRecord::make("QRBSnapshot")->set("name", "x")->set("elements", 3)},
        {"snapshot element of another class",
         RawRecord::make("QRBSnapshot")->set("elements", foundation::Array{foundation::Value("text")})},
        {"snapshot name not a string", RawRecord::make("QRBSnapshot")->set("name", 12)},
        {"element message of another class",
         RawRecord::make("QRBSnapshotElement")->set("message", foundation::Value(QRBSnapshot::emptySnapshot()))},
        {"element children not a list", RawRecord::make("QRBSnapshotElement")->set("elements", "x")},
        {"element containing itself", selfContaining},
        {"elements containing each other", loopA},
    };
    for (const auto& [name, root] : damaged)
        EXPECT_THROW(decode<foundation::Object>(foundation::Value(root)), foundation::ArchiveError) << name;
    selfContaining->clear();
    loopA->clear();
    loopB->clear();
}
