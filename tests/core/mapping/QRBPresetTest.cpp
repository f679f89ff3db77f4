// Presets and the preset manager: the switch (order, re-entry, notices, undo), the preset list,
// new and imported presets, the snapshot list with cycling and dirty detection, renames reaching
// the outputs that follow them, and archives of every vintage, damaged ones included.

#include "core/support/PresetTestSupport.h"

#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBDupAction.h"
#include "document/QRBManager.h"
#include "foundation/Exception.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace firing;
using namespace presets;

namespace {

std::vector<std::string> names(const std::vector<QRBPresetPtr>& list) {
    std::vector<std::string> result;
    for (const auto& p : list) result.push_back(p->name());
    return result;
}

std::vector<std::string> names(const std::vector<QRBSnapshotPtr>& list) {
    std::vector<std::string> result;
    for (const auto& s : list) result.push_back(s->name());
    return result;
}

// A document with the presets "Default Mapping" (A, current, with /a) and "Verse" (B, with /b);
// each preset's last recalled snapshot holds its context's value. Outputs record on one log.
class PresetTest : public ::testing::Test {
protected:
    VirtualMainLoop loop;
    std::shared_ptr<RecordingConfigurator> configurator = std::make_shared<RecordingConfigurator>();
    ConfiguratorScope scope{configurator};
    std::shared_ptr<PresetHost> host = std::make_shared<PresetHost>();
    std::shared_ptr<QRBPresetManager> manager = host->presets;
    QRBPresetPtr a = manager->currentPreset();
    QRBPresetPtr b = std::make_shared<QRBPreset>();

    void SetUp() override {
        b->setName("Verse");
        manager->addPresetsObject(b);
        host->receive(message("/a", {Float(0.25f)}));
        giveOutput(a->contextWithName("/a"));
        a->addSnapshotsObject(a->createSnapshot());
        manager->setCurrentPreset(b);
        host->receive(message("/b", {Float(0.5f)}));
        giveOutput(b->contextWithName("/b"));
        b->addSnapshotsObject(b->createSnapshot());
        manager->setCurrentPreset(a);
        host->endEvent();
        host->undo->removeAllActions();
        configurator->log->clear();
    }

    template <class T = RecordingEventSource> std::shared_ptr<T> giveOutput(const QRBActionPtr& action) {
        auto source = std::make_shared<T>(configurator->log);
        action->setEventSource(source);
        return source;
    }
    // The log as "what /address value" lines.
    std::vector<std::string> calls() const {
        std::vector<std::string> result;
        for (const auto& call : *configurator->log) {
            auto name = call.action->name().value_or("?");
            result.push_back(call.what + " " + name + (call.what == "accept" ? " " + std::to_string(call.value) : ""));
        }
        return result;
    }
};

}  // namespace

// ---- a new document ----------------------------------------------------------------------------

TEST(PresetManagerNew, OneDefaultMappingWithACleanEmptySnapshot) {
    QRBPresetManager manager;
    ASSERT_EQ(manager.countOfPresets(), 1u);
    auto preset = manager.currentPreset();
    EXPECT_EQ(preset, manager.objectInPresetsAtIndex(0));
    EXPECT_EQ(preset->name(), "Default Mapping");
    EXPECT_EQ(manager.currentPresetNumber(), 1u);
    ASSERT_EQ(preset->countOfSnapshots(), 1u);
    EXPECT_EQ(preset->objectInSnapshotsAtIndex(0)->name(), "\u2014");
    EXPECT_EQ(preset->lastRecalledSnapshot(), preset->objectInSnapshotsAtIndex(0));
    EXPECT_FALSE(preset->lastRecalledSnapshotDirty());
    EXPECT_EQ(preset->lastRecalledSnapshotDisplayName(), "\u2014");
    EXPECT_EQ(QRBPreset().name(), "Mapping 2");
}

// ---- the switch --------------------------------------------------------------------------------

TEST_F(PresetTest, SwitchLeavesRestoresRecallsThenTellsObserversOnce) {
    std::vector<std::vector<std::string>> heard;
    std::vector<bool> heardDuringSwitch;
    auto token =
        manager->addObserver(QRBPresetManager::kCurrentPresetKey, [&](const foundation::KeyValueChange& change) {
            heard.push_back(calls());
            heardDuringSwitch.push_back(manager->ongoingPresetChange());
            EXPECT_EQ(change.oldValue.object<QRBPreset>(), a);
            EXPECT_EQ(change.newValue.object<QRBPreset>(), b);
        });

    manager->setCurrentPreset(b);

    EXPECT_EQ(manager->currentPreset(), b);
    EXPECT_FALSE(manager->ongoingPresetChange());
    const std::vector<std::string> expected = {"reset /a", "attach /b", "accept /b 0.500000"};
    EXPECT_EQ(calls(), expected);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0], expected);  // told after the whole switch
    EXPECT_TRUE(heardDuringSwitch[0]);
    EXPECT_EQ(manager->currentPresetNumber(), 2u);
}

TEST_F(PresetTest, SwitchingToTheCurrentPresetDoesNothing) {
    int notices = 0;
    auto token = manager->addObserver(QRBPresetManager::kCurrentPresetKey, [&](const auto&) { ++notices; });
    manager->setCurrentPreset(a);
    host->endEvent();
    EXPECT_EQ(notices, 0);
    EXPECT_TRUE(calls().empty());
    EXPECT_FALSE(host->undo->canUndo());
}

TEST_F(PresetTest, ASwitchRequestedDuringASwitchIsIgnored) {
    auto c = std::make_shared<QRBPreset>();
    c->setName("Chorus");
    manager->addPresetsObject(c);
    // The replay of B's snapshot fires an output that asks for another preset, as a preset-change
    // output would; so does an observer of the switch.
    auto hooked = giveOutput<HookedEventSource>(b->contextWithName("/b"));
    int requests = 0;
    hooked->onAccept = [&](QRBAction&) {
        ++requests;
        manager->setCurrentPreset(c);
    };
    auto token =
        manager->addObserver(QRBPresetManager::kCurrentPresetKey, [&](const auto&) { manager->setCurrentPreset(c); });

    manager->setCurrentPreset(b);
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(manager->currentPreset(), b);

    // Once the switch is over, switches work again.
    token.invalidate();
    hooked->onAccept = nullptr;
    manager->setCurrentPreset(c);
    EXPECT_EQ(manager->currentPreset(), c);
}

TEST_F(PresetTest, UndoAndRedoSwitchBackWithTheSameSteps) {
    manager->setCurrentPreset(b);
    host->endEvent();
    EXPECT_EQ(host->undo->undoActionName(), "Change Mapping to 'Verse'");
    EXPECT_TRUE(host->undo->undoActionIsDiscardable());
    configurator->log->clear();

    host->undo->undo();
    EXPECT_EQ(manager->currentPreset(), a);
    EXPECT_EQ(calls(), (std::vector<std::string>{"reset /b", "attach /a", "accept /a 0.250000"}));
    EXPECT_EQ(host->undo->redoActionName(), "Change Mapping to 'Verse'");
    configurator->log->clear();

    host->undo->redo();
    EXPECT_EQ(manager->currentPreset(), b);
    EXPECT_EQ(calls(), (std::vector<std::string>{"reset /a", "attach /b", "accept /b 0.500000"}));
    EXPECT_EQ(host->undo->undoActionName(), "Change Mapping to 'Verse'");
}

TEST_F(PresetTest, SwitchByNumberAndNeighbours) {
    auto c = std::make_shared<QRBPreset>();
    manager->addPresetsObject(c);
    EXPECT_EQ(manager->presetAfter(a), b);
    EXPECT_EQ(manager->presetAfter(c), a);
    EXPECT_EQ(manager->presetBefore(a), c);
    EXPECT_EQ(manager->presetBefore(c), b);
    auto stranger = std::make_shared<QRBPreset>();
    EXPECT_EQ(manager->presetAfter(stranger), nullptr);
    EXPECT_EQ(manager->presetBefore(stranger), nullptr);
    EXPECT_EQ(manager->presetAtIndex(3), nullptr);
    EXPECT_EQ(manager->presetWithName("Verse"), b);
    EXPECT_EQ(manager->presetWithName("verse"), nullptr);

    manager->setCurrentPresetNumber(2);  // 0-based
    EXPECT_EQ(manager->currentPreset(), c);
    EXPECT_EQ(manager->currentPresetNumber(), 3u);  // 1-based
    manager->setCurrentPresetNumber(3);
    EXPECT_EQ(manager->currentPreset(), c);
    EXPECT_THROW(manager->setCurrentPreset(stranger), foundation::AssertionFailure);
}

// ---- the list ----------------------------------------------------------------------------------

TEST_F(PresetTest, RemovingTheCurrentLastPresetMakesTheFirstCurrentFirst) {
    manager->setCurrentPreset(b);
    host->endEvent();
    std::vector<bool> stillListedWhenSwitched;
    auto token = manager->addObserver(QRBPresetManager::kCurrentPresetKey, [&](const auto&) {
        stillListedWhenSwitched.push_back(manager->presetWithName("Verse") != nullptr);
    });
    manager->removePresetsObject(b);
    host->endEvent();
    EXPECT_EQ(manager->currentPreset(), a);
    EXPECT_EQ(names(manager->presets()), std::vector<std::string>{"Default Mapping"});
    EXPECT_EQ(stillListedWhenSwitched, std::vector<bool>{true});

    host->undo->undo();
    EXPECT_EQ(names(manager->presets()), (std::vector<std::string>{"Default Mapping", "Verse"}));
    EXPECT_EQ(manager->currentPreset(), b);

    manager->removePresetsObject(a);
    EXPECT_THROW(manager->removePresetsObject(b), foundation::AssertionFailure);  // never empty
    EXPECT_EQ(manager->countOfPresets(), 1u);
}

TEST_F(PresetTest, ExchangeGoesThroughTheListOperations) {
    auto c = std::make_shared<QRBPreset>();
    c->setName("Chorus");
    manager->addPresetsObject(c);
    host->endEvent();
    std::vector<foundation::KeyValueChangeKind> notices;
    auto token = manager->addObserver(QRBPresetManager::kPresetsKey, [&](const foundation::KeyValueChange& change) {
        notices.push_back(change.kind);
    });

    manager->exchange(a, c);
    host->endEvent();
    EXPECT_EQ(names(manager->presets()), (std::vector<std::string>{"Chorus", "Verse", "Default Mapping"}));
    EXPECT_EQ(notices.size(), 4u);
    EXPECT_EQ(manager->currentPreset(), a);

    host->undo->undo();
    EXPECT_EQ(names(manager->presets()), (std::vector<std::string>{"Default Mapping", "Verse", "Chorus"}));

    auto stranger = std::make_shared<QRBPreset>();
    try {
        manager->exchange(stranger, a);
        FAIL();
    } catch (const foundation::Exception& e) {
        EXPECT_EQ(e.reason(), "Cannot swap a preset if it is not in the array (A)");
    }
    try {
        manager->exchange(a, stranger);
        FAIL();
    } catch (const foundation::Exception& e) {
        EXPECT_EQ(e.reason(), "Cannot swap a preset if it is not in the array (B)");
    }
}

TEST_F(PresetTest, ContextListIsUndoable) {
    auto context = host->addContext("/c");
    host->endEvent();
    EXPECT_EQ(a->countOfObjects(), 2u);
    host->undo->undo();
    EXPECT_EQ(a->contextWithName("/c"), nullptr);
    host->undo->redo();
    EXPECT_EQ(a->contextWithName("/c"), context);

    a->removeObject(context);
    host->endEvent();
    host->undo->undo();
    EXPECT_EQ(a->objectInObjectsAtIndex(1), context);
}

// The lookup by address is kept up to date as the list changes, not searched each time: every
// edit that could leave it behind must still find the first context of that address, and none
// that left the list.
TEST_F(PresetTest, ContextLookupByAddressFollowsEveryEditOfTheList) {
    auto first = host->addContext("/same");
    EXPECT_EQ(a->contextWithName("/same"), first);
    auto second = host->addContext("/same");  // a second holder, behind the first
    EXPECT_EQ(a->contextWithName("/same"), first);
    auto ahead = QRBContext::create(std::string("/same"), std::static_pointer_cast<QRBActionHost>(host));
    a->insertObject(ahead, 0);  // ahead of both
    EXPECT_EQ(a->contextWithName("/same"), ahead);
    a->removeObject(ahead);
    EXPECT_EQ(a->contextWithName("/same"), first);
    a->removeObject(first);
    EXPECT_EQ(a->contextWithName("/same"), second);
    a->removeObject(second);
    EXPECT_EQ(a->contextWithName("/same"), nullptr);

    // Renames, and their undo, move a context from one address to the other.
    host->endEvent();
    auto renamed = host->addContext("/before");
    EXPECT_EQ(a->contextWithName("/before"), renamed);
    host->endEvent();
    renamed->setName(std::string("/after"));
    host->endEvent();
    EXPECT_EQ(a->contextWithName("/before"), nullptr);
    EXPECT_EQ(a->contextWithName("/after"), renamed);
    host->undo->undo();
    EXPECT_EQ(a->contextWithName("/before"), renamed);
    EXPECT_EQ(a->contextWithName("/after"), nullptr);

    // Undoing the insertion takes the context out of the lookup; redoing puts it back.
    host->undo->undo();
    EXPECT_EQ(a->contextWithName("/before"), nullptr);
    host->undo->redo();
    EXPECT_EQ(a->contextWithName("/before"), renamed);
    EXPECT_EQ(a->contextWithName("/a"), a->objectInObjectsAtIndex(0));
}

// ---- new presets -------------------------------------------------------------------------------

TEST_F(PresetTest, CreatePresetIsNamedUniquelyAndCopiesTheCurrentContexts) {
    b->setName("Mapping 2");
    auto created = manager->createPreset();
    EXPECT_EQ(created->name(), "Mapping 3");
    EXPECT_EQ(manager->countOfPresets(), 2u);  // not added
    ASSERT_EQ(created->countOfObjects(), 1u);
    auto copy = created->objectInObjectsAtIndex(0);
    EXPECT_NE(copy, a->contextWithName("/a"));
    EXPECT_EQ(copy->name(), "/a");
    EXPECT_EQ(copy->eventSource(), a->contextWithName("/a")->eventSource());  // outputs are shared
}

TEST_F(PresetTest, ImportRenamesClashesAndDefaultAndMergesOutputs) {
    auto routes = std::make_shared<TestCollection>();
    auto existing = std::make_shared<ListedEventSource>("route 1");
    routes->sources.push_back(existing);
    host->collections["oscRoutes"] = routes;
    auto otherDocument = std::make_shared<PresetHost>();

    struct Case {
        std::string name, expected;
    } cases[] = {{"Default", "Default (Live)"}, {"Default Mapping", "Default Mapping (Live)"}, {"Bridge", "Bridge"}};
    for (const auto& c : cases) {
        auto imported = std::make_shared<QRBPreset>();
        imported->setName(c.name);
        auto context = QRBContext::create("/x", otherDocument);
        imported->addObject(context);
        manager->importPreset(imported, otherDocument, host, "Live");
        EXPECT_EQ(imported->name(), c.expected);
        EXPECT_EQ(manager->presets().back(), imported);
        EXPECT_EQ(context->oscManager().get(), host.get());
    }

    // Outputs: an equal entry of the destination's list is used, an unequal one appended, and
    // any other output carried as it is.
    auto imported = std::make_shared<QRBPreset>();
    imported->setName("Outro");
    auto x = QRBContext::create("/x", otherDocument);
    auto y = QRBContext::create("/y", otherDocument);
    auto z = QRBContext::create("/z", otherDocument);
    for (const auto& c : {x, y, z}) imported->addObject(c);
    x->setEventSource(std::make_shared<ListedEventSource>("route 1"));
    auto fresh = std::make_shared<ListedEventSource>("route 2");
    y->setEventSource(fresh);
    auto shared = std::make_shared<RecordingEventSource>();
    z->setEventSource(shared);
    manager->importPreset(imported, otherDocument, host, "Live");
    EXPECT_EQ(x->eventSource(), existing);
    EXPECT_EQ(y->eventSource(), fresh);
    EXPECT_EQ(z->eventSource(), shared);
    ASSERT_EQ(routes->sources.size(), 2u);
    EXPECT_EQ(routes->sources[1], fresh);

    host->endEvent();
    host->undo->undo();
    EXPECT_EQ(manager->presetWithName("Outro"), nullptr);
}

// ---- snapshots ---------------------------------------------------------------------------------

TEST(PresetSnapshots, CyclingSkipsTheEmptySnapshot) {
    QRBPreset preset;
    auto empty = preset.objectInSnapshotsAtIndex(0);
    EXPECT_EQ(preset.snapshotAfter(empty), nullptr);
    EXPECT_EQ(preset.snapshotBefore(empty), nullptr);

    auto s1 = QRBSnapshot::snapshotWithElements({});
    auto s2 = QRBSnapshot::snapshotWithElements({});
    preset.insertObject(s1, 1);
    preset.insertObject(s2, 2);
    EXPECT_EQ(names(preset.snapshots()), (std::vector<std::string>{"\u2014", "Snapshot 1", "Snapshot 2"}));
    struct Case {
        QRBSnapshotPtr from, after, before;
    } cases[] = {{s1, s2, s2}, {s2, s1, s1}, {empty, s1, s2}};
    for (const auto& c : cases) {
        EXPECT_EQ(preset.snapshotAfter(c.from), c.after) << c.from->name();
        EXPECT_EQ(preset.snapshotBefore(c.from), c.before) << c.from->name();
    }
    auto s3 = QRBSnapshot::snapshotWithElements({});
    preset.insertObject(s3, 3);
    EXPECT_EQ(preset.snapshotBefore(s1), s3);
    EXPECT_EQ(preset.snapshotAfter(s3), s1);
    EXPECT_THROW(preset.snapshotAfter(QRBSnapshot::emptySnapshot()), foundation::AssertionFailure);
}

TEST(PresetSnapshots, AddGoesAfterTheLastRecalledAndRemoveFallsBackToTheFirst) {
    QRBPreset preset;
    auto s1 = QRBSnapshot::snapshotWithElements({});
    auto s2 = QRBSnapshot::snapshotWithElements({});
    auto s3 = QRBSnapshot::snapshotWithElements({});
    preset.addSnapshotsObject(s1);
    preset.addSnapshotsObject(s2);
    preset.setLastRecalledSnapshot(s1);
    preset.addSnapshotsObject(s3);
    EXPECT_EQ(names(preset.snapshots()),
              (std::vector<std::string>{"\u2014", "Snapshot 1", "Snapshot 3", "Snapshot 2"}));
    EXPECT_EQ(preset.lastRecalledSnapshot(), s3);
    EXPECT_EQ(preset.snapshotWithName("Snapshot 2"), s2);
    EXPECT_EQ(preset.snapshotWithName("Snapshot 9"), nullptr);

    preset.removeSnapshotsObject(s2);
    EXPECT_EQ(preset.lastRecalledSnapshot(), preset.objectInSnapshotsAtIndex(0));
    EXPECT_THROW(preset.removeSnapshotsObject(s2), foundation::AssertionFailure);
    EXPECT_THROW(preset.setLastRecalledSnapshot(s2), foundation::AssertionFailure);
    EXPECT_THROW(preset.recallSnapshot(s2), foundation::AssertionFailure);
    EXPECT_THROW(preset.recallSnapshot(nullptr), foundation::AssertionFailure);
}

TEST(PresetSnapshots, ReplacingTheEmptySnapshotKeepsItFirstAndNamedDash) {
    QRBPreset preset;
    auto empty = preset.lastRecalledSnapshot();
    auto update = QRBSnapshot::snapshotWithElements({});
    preset.replaceSnapshotsObject(empty, update);
    EXPECT_EQ(preset.objectInSnapshotsAtIndex(0), update);
    EXPECT_EQ(update->name(), "\u2014");
    EXPECT_EQ(preset.lastRecalledSnapshot(), update);
    EXPECT_FALSE(preset.canRenameOrDelegateSnapshot(update));

    auto s1 = QRBSnapshot::snapshotWithElements({});
    preset.addSnapshotsObject(s1);
    EXPECT_TRUE(preset.canRenameOrDelegateSnapshot(s1));
    EXPECT_THROW(preset.replaceSnapshotsObject(empty, s1), foundation::AssertionFailure);
}

TEST_F(PresetTest, UndoOfSnapshotEditsKeepsTheLastRecalledSnapshotListed) {
    auto taken = a->createSnapshot();
    a->addSnapshotsObject(taken);
    host->endEvent();
    host->undo->undo();
    EXPECT_EQ(a->countOfSnapshots(), 2u);
    EXPECT_EQ(a->lastRecalledSnapshot(), a->objectInSnapshotsAtIndex(0));
    host->undo->redo();
    EXPECT_EQ(a->objectInSnapshotsAtIndex(2), taken);

    // Updating the last recalled snapshot and undoing the update.
    a->setLastRecalledSnapshot(taken);
    auto update = a->createSnapshot();
    a->replaceSnapshotsObject(taken, update);
    host->endEvent();
    EXPECT_EQ(update->name(), taken->name());
    EXPECT_EQ(a->lastRecalledSnapshot(), update);
    host->undo->undo();
    EXPECT_EQ(a->objectInSnapshotsAtIndex(2), taken);
    EXPECT_EQ(a->lastRecalledSnapshot(), taken);
    // The switch recalls it without complaint.
    manager->setCurrentPreset(b);
    manager->setCurrentPreset(a);
}

TEST_F(PresetTest, DirtyDetectionFollowsValuesUntilTheNextRecall) {
    auto recalled = a->lastRecalledSnapshot();
    a->objectInSnapshotsAtIndex(1)->setName("Intro");
    EXPECT_FALSE(a->lastRecalledSnapshotDirty());
    EXPECT_EQ(a->lastRecalledSnapshotDisplayName(), "Intro");

    host->receive(message("/a", {Float(0.25f)}));  // the same value again: clean
    EXPECT_FALSE(a->lastRecalledSnapshotDirty());
    EXPECT_FALSE(a->canUpdateSnapshot(recalled));

    host->receive(message("/a", {Float(0.75f)}));
    EXPECT_TRUE(a->lastRecalledSnapshotDirty());
    EXPECT_TRUE(a->canUpdateSnapshot(recalled));
    EXPECT_EQ(a->lastRecalledSnapshotDisplayName(), "\u2022 Intro");

    host->receive(message("/a", {Float(0.25f)}));  // stays dirty until a recall
    EXPECT_TRUE(a->lastRecalledSnapshotDirty());
    a->recallSnapshot(recalled);
    EXPECT_FALSE(a->lastRecalledSnapshotDirty());

    host->addContext("/new");  // a new context without a message
    host->receive(message("/new", {Float(1)}));
    EXPECT_TRUE(a->lastRecalledSnapshotDirty());

    // The empty snapshot never shows the mark, though nothing equals it.
    a->recallSnapshot(a->objectInSnapshotsAtIndex(0));
    host->receive(message("/a", {Float(0.25f)}));
    EXPECT_TRUE(a->lastRecalledSnapshotDirty());
    EXPECT_EQ(a->lastRecalledSnapshotDisplayName(), "\u2014");
}

// ---- renames -----------------------------------------------------------------------------------

TEST_F(PresetTest, PresetRenameReachesOutputsOfEveryPresetAndUndoes) {
    auto inA = giveOutput<NamedPresetEventSource>(a->contextWithName("/a"));
    inA->name = "Verse";
    auto inB = giveOutput<NamedPresetEventSource>(b->contextWithName("/b"));
    inB->name = "Verse";
    auto other = std::make_shared<NamedPresetEventSource>();
    other->name = "Chorus";
    host->addContext("/o")->setEventSource(other);

    std::vector<std::string> oldNames;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        kQRBPresetNameChangedNotification, b, [&](const foundation::Notification& n) {
            oldNames.push_back(*n.userInfo.at(kQRBPresetNameChangedOldNameKey).stringValue());
        });

    b->setName("Bridge");
    host->endEvent();
    EXPECT_EQ(oldNames, std::vector<std::string>{"Verse"});
    EXPECT_EQ(inA->name, "Bridge");
    EXPECT_EQ(inB->name, "Bridge");
    EXPECT_EQ(other->name, "Chorus");
    b->setName("Bridge");
    EXPECT_EQ(oldNames.size(), 1u);

    host->undo->undo();
    EXPECT_EQ(b->name(), "Verse");
    EXPECT_EQ(inA->name, "Verse");

    // A preset outside the list renames nothing.
    auto stranger = std::make_shared<QRBPreset>();
    stranger->setName("Verse");
    stranger->setName("Other");
    EXPECT_EQ(inA->name, "Verse");
}

TEST_F(PresetTest, SnapshotRenameReachesOnlyItsOwnPresetsOutputs) {
    auto inA = giveOutput<NamedSnapshotEventSource>(a->contextWithName("/a"));
    inA->name = "Snapshot 1";
    auto inB = giveOutput<NamedSnapshotEventSource>(b->contextWithName("/b"));
    inB->name = "Snapshot 1";
    a->objectInSnapshotsAtIndex(1)->setName("Intro");
    EXPECT_EQ(inA->name, "Intro");
    EXPECT_EQ(inB->name, "Snapshot 1");
}

TEST_F(PresetTest, SnapshotsInsertedUnderATakenNameGetANewOne) {
    auto s = QRBSnapshot::snapshotWithElements({});
    a->insertObject(s, 2);
    EXPECT_EQ(s->name(), "Snapshot 2");
    auto t = QRBSnapshot::snapshotWithElements({});
    t->setName("Intro");
    a->insertObject(t, 3);
    EXPECT_EQ(t->name(), "Intro");
}

// ---- archives ----------------------------------------------------------------------------------

namespace {

// What an archive keeps of a context tree, compared by the model's own comparisons, and the back
// references of each decoded action to its owners.
void expectSameTree(const QRBAction& got, const QRBAction& want, const std::string& where) {
    SCOPED_TRACE(where);
    EXPECT_EQ(got.archivedClassName(), want.archivedClassName());
    EXPECT_EQ(got.name(), want.name());
    EXPECT_EQ(got.isEnabled(), want.isEnabled());
    EXPECT_EQ(got.inputMin(), want.inputMin());
    EXPECT_EQ(got.outputMax(), want.outputMax());
    EXPECT_TRUE(got.argValue()->isEqualToArg(*want.argValue()));
    ASSERT_EQ(got.eventSource() != nullptr, want.eventSource() != nullptr);
    if (got.eventSource()) {
        EXPECT_TRUE(got.eventSource()->isEqualToEventSource(*want.eventSource()));
        EXPECT_EQ(got.eventSource()->name(), want.eventSource()->name());
    }
    if (auto wantContext = dynamic_cast<const QRBContext*>(&want)) {
        auto& gotContext = static_cast<const QRBContext&>(got);
        EXPECT_EQ(gotContext.demuxRank(), wantContext->demuxRank());
        ASSERT_EQ(gotContext.lastReceivedMessage() != nullptr, wantContext->lastReceivedMessage() != nullptr);
        if (wantContext->lastReceivedMessage()) {
            EXPECT_TRUE(gotContext.lastReceivedMessage()->isEqualToOSCMessage(*wantContext->lastReceivedMessage()));
        }
    }
    ASSERT_EQ(got.actions().size(), want.actions().size());
    for (size_t i = 0; i < got.actions().size(); ++i) {
        const QRBActionPtr& below = got.actions()[i];
        if (auto dup = std::dynamic_pointer_cast<QRBDupAction>(below)) {
            EXPECT_EQ(dup->masterAction().get(), &got);
            EXPECT_EQ(dup->context(), got.context());
        } else {
            EXPECT_EQ(below->context().get(), &got);
        }
        expectSameTree(*below, *want.actions()[i], where + "/" + std::to_string(i));
    }
}

}  // namespace

TEST_F(PresetTest, ADocumentTreeRoundTripsThroughAFileAndPlaysBack) {
    auto shared = std::make_shared<RecordingEventSource>();
    shared->setName("shared");
    // Preset A: /a with three arguments, the second with two duplicates; /d demultiplexed.
    host->receive(message("/a", {Float(0.3f), Float(0.6f), Int(2)}));
    auto argsA = a->contextWithName("/a")->actions();
    ASSERT_EQ(argsA.size(), 3u);
    argsA[0]->setEventSource(shared);
    argsA[1]->setEventSource(shared);
    argsA[1]->setOutputMax(127);
    auto d0 = argsA[1]->dup();
    auto d1 = argsA[1]->split();
    auto d = host->addContext("/d");
    d->demux(0);
    host->receive(message("/d", {String("left"), Float(0.5f), Float(0.25f)}));
    auto intro = a->createSnapshot();
    a->addSnapshotsObject(intro);
    intro->setName("Intro");
    host->receive(message("/a", {Float(0.9f), Float(0.1f), Int(4)}));
    auto verse = a->createSnapshot();
    a->addSnapshotsObject(verse);
    ASSERT_EQ(verse->name(), "Snapshot 2");
    a->setLastRecalledSnapshot(intro);  // not the last of the list
    // Preset B shares the output and is current.
    manager->setCurrentPreset(b);
    b->contextWithName("/b")->setEventSource(shared);
    manager->setShouldSendPresetNameOnPresetRestore(true);

    testsupport::TempDir dir;
    auto decoded = roundTripThroughFile<QRBPresetManager>(foundation::Value(manager), dir.file("document.plist"));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(names(decoded->presets()), names(manager->presets()));
    EXPECT_EQ(decoded->currentPreset(), decoded->objectInPresetsAtIndex(1));
    EXPECT_TRUE(decoded->shouldSendPresetNameOnPresetRestore());

    for (size_t p = 0; p < manager->countOfPresets(); ++p) {
        auto want = manager->objectInPresetsAtIndex(p);
        auto got = decoded->objectInPresetsAtIndex(p);
        ASSERT_EQ(got->countOfObjects(), want->countOfObjects());
        for (size_t i = 0; i < want->countOfObjects(); ++i) {
            EXPECT_TRUE(got->objectInObjectsAtIndex(i)->isTopLevel());
            expectSameTree(*got->objectInObjectsAtIndex(i), *want->objectInObjectsAtIndex(i),
                           want->name() + " " + std::to_string(i));
        }
        EXPECT_EQ(names(got->snapshots()), names(want->snapshots()));
        EXPECT_FALSE(got->objectInSnapshotsAtIndex(0)->elements().has_value());
        for (size_t i = 1; i < want->countOfSnapshots(); ++i)
            EXPECT_TRUE(got->objectInSnapshotsAtIndex(i)->isEqualToSnapshot(*want->objectInSnapshotsAtIndex(i)));
        // The last recalled snapshot is the decoded member at the same place.
        auto wantIndex = std::find(want->snapshots().begin(), want->snapshots().end(), want->lastRecalledSnapshot()) -
                         want->snapshots().begin();
        EXPECT_EQ(got->lastRecalledSnapshot(), got->objectInSnapshotsAtIndex(static_cast<size_t>(wantIndex)));
    }

    // One output object for all its users, in both presets.
    auto da = decoded->objectInPresetsAtIndex(0);
    auto db = decoded->objectInPresetsAtIndex(1);
    auto dargs = da->contextWithName("/a")->actions();
    const QRBEventSourcePtr decodedShared = dargs[0]->eventSource();
    ASSERT_TRUE(decodedShared);
    EXPECT_EQ(dargs[1]->eventSource(), decodedShared);
    EXPECT_EQ(dargs[1]->actions()[0]->eventSource(), decodedShared);  // the duplicate took its master's
    EXPECT_EQ(db->contextWithName("/b")->eventSource(), decodedShared);
    // A snapshot holds the context's very message, not a copy of it.
    auto decodedVerse = da->snapshotWithName("Snapshot 2");
    EXPECT_EQ((*decodedVerse->elements())[0]->message(), da->contextWithName("/a")->lastReceivedMessage());

    // Put in a document, the decoded presets play back: switching to A replays its last
    // recalled snapshot into the decoded outputs.
    auto document = std::make_shared<PresetHost>();
    document->presets = decoded;
    decoded->setUndoManager(document->undo);
    for (const auto& preset : decoded->presets())
        for (const auto& context : preset->objects()) context->setOscManager(document);
    auto recording = std::static_pointer_cast<RecordingEventSource>(decodedShared);
    recording->log->clear();
    decoded->setCurrentPreset(da);
    EXPECT_EQ(decoded->currentPreset(), da);
    std::vector<double> values;
    for (const auto& call : recording->accepts())
        if (call.action == dargs[0].get()) values.push_back(call.value);
    EXPECT_EQ(values, std::vector<double>{double(0.3f)});
    EXPECT_FALSE(da->lastRecalledSnapshotDirty());
}

TEST(PresetArchive, ALegacyPresetThatFiredOnRestoreRecallsItsDecodedValues) {
    VirtualMainLoop loop;
    auto host = std::make_shared<PresetHost>();
    auto context = host->addContext("/a");
    auto output = std::make_shared<RecordingEventSource>();
    context->setEventSource(output);
    host->receive(message("/a", {Float(0.75f)}));
    auto legacy = RawRecord::make("QRBPreset")
                      ->set("QRBPresetName", "Old")
                      ->set("QRBPresetObjects", foundation::Array{foundation::Value(context)})
                      ->setBool("shouldFireActionsOnPresetRestore", true);

    auto preset = decode<QRBPreset>(foundation::Value(legacy));
    ASSERT_EQ(preset->countOfSnapshots(), 2u);
    auto restored = preset->objectInSnapshotsAtIndex(1);
    EXPECT_EQ(preset->lastRecalledSnapshot(), restored);
    ASSERT_EQ(restored->elements()->size(), 1u);

    host->presets->addPresetsObject(preset);
    preset->objectInObjectsAtIndex(0)->setOscManager(host);
    auto decodedOutput =
        std::static_pointer_cast<RecordingEventSource>(preset->objectInObjectsAtIndex(0)->eventSource());
    host->presets->setCurrentPreset(preset);
    EXPECT_EQ(decodedOutput->acceptedValues(), std::vector<double>{double(0.75f)});
}

TEST(PresetArchive, OlderPresetsGainTheirRestoreSnapshotTable) {
    auto snapshot = QRBSnapshot::snapshotWithElements({});
    struct Case {
        const char* name;
        std::shared_ptr<RawRecord> preset;
        std::vector<std::string> snapshots;
        size_t lastRecalled;
    } cases[] = {
        {"no snapshots at all", RawRecord::make("QRBPreset")->set("QRBPresetName", "Old"), {"\u2014"}, 0},
        {"snapshots but no last recalled one",
         RawRecord::make("QRBPreset")->set("snapshots", foundation::Array{foundation::Value(snapshot)}),
         {"\u2014"},
         0},
        {"fire actions on restore",
         RawRecord::make("QRBPreset")->setBool("shouldFireActionsOnPresetRestore", true),
         {"\u2014", "Snapshot 1"},
         1},
        {"fire actions on restore switched off",
         RawRecord::make("QRBPreset")->setBool("shouldFireActionsOnPresetRestore", false),
         {"\u2014"},
         0},
    };
    for (const auto& c : cases) {
        auto preset = decode<QRBPreset>(foundation::Value(c.preset));
        EXPECT_EQ(preset->countOfObjects(), 0u) << c.name;
        EXPECT_EQ(names(preset->snapshots()), c.snapshots) << c.name;
        EXPECT_EQ(preset->lastRecalledSnapshot(), preset->objectInSnapshotsAtIndex(c.lastRecalled)) << c.name;
        EXPECT_FALSE(preset->lastRecalledSnapshotDirty()) << c.name;
    }
    EXPECT_EQ(decode<QRBPreset>(foundation::Value(cases[0].preset))->name(), "Old");
    EXPECT_EQ(decode<QRBPreset>(foundation::Value(cases[1].preset))->name(), "Mapping 2");
}

TEST(PresetArchive, ManagersWithoutPresetsOrCurrentPresetTable) {
    auto p1 = RawRecord::make("QRBPreset")->set("QRBPresetName", "One");
    auto p2 = RawRecord::make("QRBPreset")->set("QRBPresetName", "Two");
    struct Case {
        const char* name;
        std::shared_ptr<RawRecord> manager;
        std::vector<std::string> presets;
        std::string current;
        bool sendName;
    } cases[] = {
        {"nothing stored", RawRecord::make("QRBPresetManager"), {"Default Mapping"}, "Default Mapping", false},
        {"empty list",
         RawRecord::make("QRBPresetManager")->set("QRBPresetManagerPresets", foundation::Array{}),
         {"Default Mapping"},
         "Default Mapping",
         false},
        {"no current preset",
         RawRecord::make("QRBPresetManager")
             ->set("QRBPresetManagerPresets", foundation::Array{foundation::Value(p1), foundation::Value(p2)})
             ->setBool("shouldSendPresetNameOnPresetRestore", true),
         {"One", "Two"},
         "One",
         true},
        {"a current preset but no list",
         RawRecord::make("QRBPresetManager")->set("QRBPresetManagerCurrentPreset", foundation::Value(p2)),
         {"Two"},
         "Two",
         false},
        {"list and current",
         RawRecord::make("QRBPresetManager")
             ->set("QRBPresetManagerPresets", foundation::Array{foundation::Value(p1), foundation::Value(p2)})
             ->setConditional("QRBPresetManagerCurrentPreset", p2),
         {"One", "Two"},
         "Two",
         false},
    };
    for (const auto& c : cases) {
        auto manager = decode<QRBPresetManager>(foundation::Value(c.manager));
        EXPECT_EQ(names(manager->presets()), c.presets) << c.name;
        ASSERT_TRUE(manager->currentPreset()) << c.name;
        EXPECT_EQ(manager->currentPreset()->name(), c.current) << c.name;
        EXPECT_EQ(manager->shouldSendPresetNameOnPresetRestore(), c.sendName) << c.name;
    }
}

TEST(PresetArchive, DamagedArchivesRaiseArchiveError) {
    auto snapshot = QRBSnapshot::snapshotWithElements({});
    auto listed = QRBSnapshot::snapshotWithElements({});
    auto stray = RawRecord::make("QRBPreset");
    const std::pair<const char*, std::shared_ptr<RawRecord>> damaged[] = {
        {"presets not a list", RawRecord::make("QRBPresetManager")->set("QRBPresetManagerPresets", "x")},
        {"a preset of another class",
         RawRecord::make("QRBPresetManager")
             ->set("QRBPresetManagerPresets", foundation::Array{foundation::Value(snapshot)})},
        {"current preset of another class",
         RawRecord::make("QRBPresetManager")->set("QRBPresetManagerCurrentPreset", foundation::Value(snapshot))},
        {"current preset not listed",
         RawRecord::make("QRBPresetManager")
             ->set("QRBPresetManagerPresets", foundation::Array{foundation::Value(RawRecord::make("QRBPreset"))})
             ->set("QRBPresetManagerCurrentPreset", foundation::Value(stray))},
        {"option not a boolean",
         RawRecord::make("QRBPresetManager")->set("shouldSendPresetNameOnPresetRestore", "yes")},
        {"preset name not a string", RawRecord::make("QRBPreset")->set("QRBPresetName", 3)},
        {"contexts not a list", RawRecord::make("QRBPreset")->set("QRBPresetObjects", foundation::Value(snapshot))},
        {"a context of another class", RawRecord::make("QRBPreset")->set("QRBPresetObjects", foundation::Array{"ctx"})},
        {"snapshots not a list", RawRecord::make("QRBPreset")->set("snapshots", 1)},
        {"last recalled snapshot not listed", RawRecord::make("QRBPreset")
                                                  ->set("snapshots", foundation::Array{foundation::Value(listed)})
                                                  ->set("lastRecalledSnapshot", foundation::Value(snapshot))},
        {"last recalled snapshot without a list",
         RawRecord::make("QRBPreset")->set("lastRecalledSnapshot", foundation::Value(snapshot))},
    };
    for (const auto& [name, root] : damaged)
        EXPECT_THROW(decode<foundation::Object>(foundation::Value(root)), foundation::ArchiveError) << name;
}

// Routing registers a preset's contexts by address: a listed context that lives inside another
// one stopped the start with an internal error.
TEST(PresetArchive, AListedContextInsideAnotherIsRefused) {
    auto manager = QRBManager::create();
    auto parent = QRBContext::create(std::string("/parent"), manager);
    auto child = parent->ensureChildContext("child");
    ASSERT_TRUE(child);
    for (const auto& list : {foundation::Array{foundation::Value(child), foundation::Value(parent)},
                             foundation::Array{foundation::Value(parent), foundation::Value(child)}}) {
        auto preset = RawRecord::make("QRBPreset")->set("QRBPresetObjects", list);
        EXPECT_THROW(decode<foundation::Object>(foundation::Value(preset)), foundation::ArchiveError);
    }
    auto fine = RawRecord::make("QRBPreset")->set("QRBPresetObjects", foundation::Array{foundation::Value(parent)});
    EXPECT_NO_THROW(decode<foundation::Object>(foundation::Value(fine)));
    manager->close();
}
