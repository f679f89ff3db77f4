// Documents written by a separate writer (tests/data/write_documents.py, python's plistlib, from
// the archive keys of each class) open with their values, and save back holding what they held:
// the manager, targets, routes, presets, contexts and actions, the eight Wii remote slots, and
// objects and outputs of classes this version does not have yet.

#include "controllers/QRBWiiRemote.h"
#include "controllers/QRBWiiRemoteManager.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/osc/QRBTarget.h"
#include "core/outputs/QRBKeptEventSource.h"
#include "document/QRBDocument.h"
#include "document/QRBDocumentController.h"
#include "document/QRBManager.h"
#include "document/QRBRouteEventSource.h"
#include "foundation/NetService.h"
#include "platform/FakeBonjourBackend.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kWriter = std::string(QUORBITAL_TEST_DATA) + "/write_documents.py";

testsupport::CommandResult writer(const std::string& arguments) {
    return testsupport::runCommand("python3 '" + kWriter + "' " + arguments);
}

class DocumentArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        foundation::BonjourBackend::setShared(std::make_shared<platform::FakeBonjourBackend>());
        QRBDocument::setWindowControllerFactory(std::make_shared<QRBHeadlessWindowControllerFactory>());
    }
    void TearDown() override {
        for (const auto& document : std::vector<QRBDocumentPtr>(controller.documents())) document->close();
        QRBDocument::setWindowControllerFactory(nullptr);
        foundation::BonjourBackend::setShared(nullptr);
    }

    QRBDocumentPtr open(const std::string& path) {
        QRBDocumentPtr result;
        controller.openDocumentWithContentsOfURL(path, false,
                                                 [&](const QRBDocumentPtr& d, bool, const auto&) { result = d; });
        return result;
    }

    testsupport::TempDir dir;
    QRBDocumentController controller;
};

// What the writer gives each slot (its table WII_SLOTS), in the writer's order.
struct Slot {
    int64_t slot;
    bool enabled, battery, xyz, pry, ir, irTUIO, rawIR, rawMotion;
    double smoothingAcc, smoothingIR, smoothingMotionPlus;
    int64_t motionPlusMode;
    bool useMotionPlus;
    int64_t irSensitivity;
    bool syncLEDs;
};
const std::vector<Slot> kSlots = {
    {2, true, false, false, true, false, false, false, false, 10.0, 10.0, 50.0, 0, false, 0, false},
    {1, true, true, true, false, true, true, false, true, 25.5, 3.0, 80.0, 2, true, 4, true},
    {3, false, false, true, true, false, false, true, false, 0.0, 100.0, 12.5, 1, false, 2, false},
    {4, true, false, false, true, false, false, false, false, 10.0, 10.0, 50.0, 0, false, 0, false},
    {5, true, false, false, true, false, false, false, false, 99.0, 1.0, 50.0, 0, true, 5, true},
    {6, true, false, false, true, false, false, false, false, 10.0, 10.0, 50.0, 0, false, 0, false},
    {7, true, false, false, true, false, false, false, false, 10.0, 10.0, 50.0, 0, false, 0, false},
    {8, false, true, true, true, true, true, true, true, 42.0, 7.0, 60.0, 3, true, 1, false},
};

void expectSlot(const QRBWiiRemote& remote, const Slot& s, bool motionPlusArchived) {
    SCOPED_TRACE(s.slot);
    EXPECT_EQ(remote.slot(), s.slot);
    EXPECT_EQ(remote.enabled(), s.enabled);
    EXPECT_EQ(remote.outputBatteryLevel(), s.battery);
    EXPECT_EQ(remote.outputXYZ(), s.xyz);
    EXPECT_EQ(remote.outputPRY(), s.pry);
    EXPECT_EQ(remote.outputIR(), s.ir);
    EXPECT_EQ(remote.outputIRTUIO(), s.irTUIO);
    EXPECT_EQ(remote.outputRawIR(), s.rawIR);
    EXPECT_EQ(remote.outputRawMotion(), s.rawMotion);
    EXPECT_EQ(remote.smoothingAcc(), s.smoothingAcc);
    EXPECT_EQ(remote.smoothingIR(), s.smoothingIR);
    EXPECT_EQ(remote.syncLEDsWithPresetNumber(), s.syncLEDs);
    if (motionPlusArchived) {
        EXPECT_EQ(remote.smoothingMotionPlus(), s.smoothingMotionPlus);
        EXPECT_EQ(remote.motionPlusMode(), s.motionPlusMode);
        EXPECT_EQ(remote.useMotionPlus(), s.useMotionPlus);
        EXPECT_EQ(remote.irSensitivity(), s.irSensitivity);
    } else {
        // The first version had none of these: the MotionPlus defaults, the rest off.
        EXPECT_EQ(remote.smoothingMotionPlus(), 50.0);
        EXPECT_EQ(remote.motionPlusMode(), 0);
        EXPECT_FALSE(remote.useMotionPlus());
        EXPECT_EQ(remote.irSensitivity(), 0);
        EXPECT_EQ(remote.TUIOCalibrationData(), nullptr);
    }
    EXPECT_FALSE(remote.connected());
}

}  // namespace

TEST_F(DocumentArchiveTest, ADocumentOfTheCurrentFormatOpensWithItsValuesAndSavesBackWhole) {
    const std::string written = dir.file("written.qrb3");
    const std::string saved = dir.file("saved.qrb3");
    auto result = writer("current '" + written + "' 9100 9200");
    ASSERT_EQ(result.exitCode, 0) << result.output;

    QRBDocumentPtr document = open(written);
    ASSERT_NE(document, nullptr);
    const QRBManagerPtr& manager = document->oscManager();
    EXPECT_TRUE(manager->archiveHeldWiiManager());
    EXPECT_EQ(manager->serverPort(), 9100);
    EXPECT_EQ(manager->defaultTargetIndex(), 1);

    // Targets.
    ASSERT_EQ(manager->oscTargets().size(), 16u);
    const auto& receiver = manager->oscTargets()[0];
    EXPECT_EQ(receiver->host(), "127.0.0.1");
    EXPECT_EQ(receiver->port(), 9200);
    EXPECT_EQ(receiver->memo(), "Mixer");
    EXPECT_TRUE(receiver->isProtected());
    EXPECT_EQ(manager->oscTargets()[1]->host(), "::1");
    EXPECT_EQ(manager->oscTargets()[2]->serviceName(), "Stage Lights");
    EXPECT_FALSE(manager->oscTargets()[3]->host());

    // Routes.
    ASSERT_EQ(manager->oscRoutes().size(), 2u);
    auto volume = std::dynamic_pointer_cast<QRBRouteEventSource>(manager->oscRoutes()[0]);
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->name(), "1 \u279b the main fader");
    EXPECT_EQ(volume->rewriteAddress(), "/mixer/volume");
    EXPECT_EQ(volume->targetIdentifier(), 0);
    EXPECT_EQ(volume->memo(), "the main fader");

    // Presets, contexts and actions.
    const auto& presets = manager->presetManager()->presets();
    ASSERT_EQ(presets.size(), 2u);
    EXPECT_EQ(presets[0]->name(), "Live");
    EXPECT_EQ(presets[1]->name(), "Rehearsal");
    EXPECT_EQ(manager->presetManager()->currentPreset(), presets[0]);
    ASSERT_EQ(presets[0]->objects().size(), 3u);
    const auto& fader = presets[0]->objects()[0];
    EXPECT_EQ(fader->name(), "/fader");
    EXPECT_EQ(fader->eventSource(), volume) << "the context's output is the route of the list";
    EXPECT_EQ(fader->outputMax(), 100.0);
    const auto& note = presets[0]->objects()[1];
    auto kept = std::dynamic_pointer_cast<QRBKeptEventSource>(note->eventSource());
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->archivedClassName(), "QRBStepSequencerEventSource");
    EXPECT_EQ(kept->name(), "Note C3");
    EXPECT_EQ(kept->record().valueForKey("velocityScale"), foundation::Value(0.75));
    EXPECT_EQ(kept->record().valueForKey("manager").objectValue(), manager) << "a reference to its document";
    EXPECT_EQ(kept->record().valueForKey("sourceAction").objectValue(), fader);
    EXPECT_EQ(note->channel(), 3) << "an output kept as it was leaves the action's channel alone";
    const auto& multi = presets[0]->objects()[2];
    ASSERT_EQ(multi->actions().size(), 2u);
    ASSERT_EQ(multi->actions()[0]->actions().size(), 1u);
    EXPECT_EQ(multi->actions()[0]->actions()[0]->eventSource(), kept) << "one output shared by two actions";
    EXPECT_EQ(multi->actions()[1]->eventSource(), manager->oscRoutes()[1]);
    EXPECT_EQ(presets[1]->objects()[0]->eventSource()->archivedClassName(), "QRBSnapshotTakeEventSource");

    // The Wii remote slots, in the order the document keeps them.
    const auto& remotes = manager->wiiManager()->wiimotes();
    ASSERT_EQ(remotes.size(), kSlots.size());
    for (size_t i = 0; i < kSlots.size(); ++i) expectSlot(*remotes[i], kSlots[i], true);
    EXPECT_EQ(manager->wiiManager()->wiimoteWithSlot(1), remotes[1]);
    EXPECT_EQ(remotes[1]->TUIOCalibrationData()->archivedClassName(), "QRBWKTUIOCalibrationData");
    EXPECT_EQ(remotes[0]->TUIOCalibrationData()->archivedClassName(), "QRBWKTUIONullCalibrationData");

    document->saveToURL(saved, kQRBDocumentType, QRBDocument::SaveOperation::SaveTo);
    result = writer("same '" + written + "' '" + saved + "'");
    EXPECT_EQ(result.exitCode, 0) << result.output;
}

TEST_F(DocumentArchiveTest, ALegacyDocumentIsConvertedWithItsWiiSettingsAndUnknownOutputs) {
    const std::string legacy = dir.file("Show.qrbd");
    auto result = writer("legacy '" + legacy + "' 9100 9200");
    ASSERT_EQ(result.exitCode, 0) << result.output;

    QRBDocumentPtr document = open(legacy);
    ASSERT_NE(document, nullptr);
    const QRBManagerPtr& manager = document->oscManager();
    EXPECT_EQ(document->fileURL(), dir.file("Show [v3 import].qrb3"));
    EXPECT_EQ(manager->defaultTargetIndex(), 0) << "the first slot counted from 1";
    EXPECT_EQ(manager->oscTargets()[0]->port(), 9200);
    auto fader = manager->contextWithName("/fader");
    ASSERT_NE(fader, nullptr);
    EXPECT_EQ(fader->eventSource()->archivedClassName(), "QRBMidiCCEventSource");
    EXPECT_EQ(fader->channel(), 5);

    const auto& remotes = manager->wiiManager()->wiimotes();
    ASSERT_EQ(remotes.size(), kSlots.size());
    for (const Slot& s : kSlots) {
        auto remote = manager->wiiManager()->wiimoteWithSlot(s.slot);
        ASSERT_NE(remote, nullptr) << s.slot;
        expectSlot(*remote, s, false);
    }

    result = writer("converted '" + legacy + "' '" + document->fileURL().value_or("") + "'");
    EXPECT_EQ(result.exitCode, 0) << result.output;
}
