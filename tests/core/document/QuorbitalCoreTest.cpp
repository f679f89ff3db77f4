// The core object: headless detection, the facilities every run sets up and ends, the ending of a
// run, the class names of older versions and the legacy root keys of the manager's archive.

#include "core/support/PresetTestSupport.h"

#include "controllers/QRBWiiRemoteManager.h"
#include "controllers/devices/DeviceLayers.h"
#include "core/QRBPreferences.h"
#include "core/monitor/QRBMessageMonitor.h"
#include "core/osc/QRBMessageEndpoint.h"
#include "core/osc/QRBOSCMessage.h"
#include "document/QRBManager.h"
#include "document/QuorbitalCore.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/RunLoop.h"
#include "foundation/UserDefaults.h"
#include "midi/QRBMIDIManager.h"
#include "platform/firewire/FakeFireWireBus.h"
#include "support/TestRegistration.h"
#include "support/TestSupport.h"
#include "zz/ZZHeartbeat.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>

using foundation::Value;

namespace {

// A Wii remote manager that older versions archived at the root, told apart by its class.
class LegacyRootWiiManager : public QRBWiiRemoteManager {
    FND_ARCHIVED_CLASS("TestLegacyRootWiiManager", QRBWiiRemoteManager)
};

class RecordingApplication : public QRBApplicationInterface {
public:
    int run(int, const char* const*) override { return 0; }
    void terminate() override { ++terminations; }
    int terminations = 0;
};

foundation::Data archive(const std::vector<std::pair<std::string, Value>>& rootKeys) {
    foundation::KeyedArchiver archiver;
    for (const auto& [key, value] : rootKeys) archiver.encodeObject(value, key);
    return archiver.finish();
}

QRBManagerPtr decodeManager(const foundation::Data& data) {
    auto unarchiver = QuorbitalCore::newUnarchiverForCompatibleDecodingOfQuorbitalDocumentUsingData(data);
    return QuorbitalCore::decodeOSCManager(*unarchiver);
}

}  // namespace

TEST_REGISTER_ARCHIVED_CLASS(LegacyRootWiiManager)

TEST(QuorbitalCoreTest, HeadlessOnlyWithTheArgumentAfterTheProgramsName) {
    struct Case {
        std::vector<const char*> argv;
        bool headless;
    };
    const Case cases[] = {
        {{"quorbital"}, false},
        {{"-headless"}, false},
        {{"quorbital", "-headless"}, true},
        {{"quorbital", "-headless", "show.qrb3"}, true},
        {{"quorbital", "-DefaultOSCPort", "9000", "-headless", "show.qrb3"}, true},
        {{"-headless", "show.qrb3"}, true},
        {{"quorbital", "show.qrb3"}, false},
        {{"quorbital", "-Headless", "show.qrb3"}, false},
        {{"quorbital", "--headless", "show.qrb3"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::vector<std::string>(c.argv.begin(), c.argv.end())));
        QuorbitalCore core;
        core.setHeadless(!c.headless);
        core.checkHeadlessness(static_cast<int>(c.argv.size()), c.argv.data());
        EXPECT_EQ(core.isHeadless(), c.headless);
    }
}

TEST(QuorbitalCoreTest, CommonFacilitiesLiveUntilTheApplicationStops) {
    testsupport::TempDir runtime;
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedRuntime = saved ? saved : "";
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);

    testsupport::TempDir config;
    foundation::UserDefaults defaults(config.file("prefs.plist"));
    QRBPreferences preferences(defaults);
    auto bus = std::make_shared<platform::FakeFireWireBus>();
    devices::DeviceLayers layers;
    layers.fireWire = bus;
    devices::DeviceLayers::install(layers);
    QuorbitalCore core;
    core.setPreferences(&preferences);

    core.initializeCommonFacilities();
    ASSERT_NE(core.heartbeatServer(), nullptr);
    EXPECT_EQ(core.heartbeatServer()->path(), ZZHeartbeatSocketPath("quorbl_heartbeat"));
    ASSERT_NE(core.flameDiscovery(), nullptr);
    EXPECT_TRUE(core.flameDiscovery()->isStarted());

    // Another unit changes nothing; a Flame unit that appears switches the Kyma-related features
    // on, and they stay on when it goes.
    auto& loop = foundation::RunLoop::main();
    bus->plug({0x609E, 0x10483});
    loop.runUntil(loop.now() + 0.05);
    EXPECT_FALSE(preferences.enableKymaRelatedFeatures());
    auto flame = bus->plug({0x50C2, 0x12AFFF, 7});
    ASSERT_TRUE(loop.runUntil([&] { return core.flameDiscovery()->deviceCount() != 0; }, 5.0));
    EXPECT_TRUE(preferences.enableKymaRelatedFeatures());
    EXPECT_TRUE(defaults.boolForKey("UseVorerira"));
    bus->unplug(flame);
    ASSERT_TRUE(loop.runUntil([&] { return core.flameDiscovery()->deviceCount() == 0; }, 5.0));
    EXPECT_TRUE(defaults.boolForKey("UseVorerira")) << "the features stay on when the unit goes";

    // The daemon's client sees the beat while the server lives, and not after.
    auto client = ZZHeartbeatClient::initWithName("quorbl_heartbeat");
    EXPECT_NE(client, nullptr);
    client.reset();
    core.stopApplication();
    EXPECT_EQ(core.heartbeatServer(), nullptr);
    EXPECT_FALSE(core.flameDiscovery()->isStarted());
    EXPECT_EQ(bus->watchCount(), 0u);
    devices::DeviceLayers::reset();
    EXPECT_EQ(ZZHeartbeatClient::initWithName("quorbl_heartbeat"), nullptr);

    if (saved)
        setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
}

TEST(QuorbitalCoreTest, TerminatingEndsTheWindowedApplicationOrTheHeadlessRunAfterOneSecond) {
    foundation::RunLoop::main().setClock(nullptr);
    auto application = std::make_shared<RecordingApplication>();

    QuorbitalCore windowed;
    windowed.setApplication(application);
    std::vector<int> exits;
    windowed.setProcessExit([&](int status) { exits.push_back(status); });
    windowed.terminateApplication();
    EXPECT_EQ(application->terminations, 1);
    EXPECT_TRUE(exits.empty());

    QuorbitalCore headless;
    headless.setHeadless(true);
    headless.setApplication(application);
    bool pendingWorkRan = false;
    foundation::RunLoop::main().performAfter(0.5, &pendingWorkRan, [&] { pendingWorkRan = true; });
    double exitedAfter = 0;
    const auto start = std::chrono::steady_clock::now();
    headless.setProcessExit([&](int status) {
        exits.push_back(status);
        exitedAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    });
    headless.terminateApplication();
    headless.terminateApplication();  // asked again while ending: nothing more
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_TRUE(pendingWorkRan) << "the run loop goes on meanwhile";
    EXPECT_GE(exitedAfter, 0.95);
    EXPECT_LT(exitedAfter, 5.0);
    EXPECT_EQ(application->terminations, 1);
}

// The monitor's float precision comes from the preferences as the program's start finds them: the
// shipped value, the settings file, the command line. It is read once per start.
TEST(QuorbitalCoreTest, TheMonitorPrintsFloatsWithThePrecisionThePreferencesHadAtStart) {
    testsupport::TempDir dir;
    const char* savedRuntime = std::getenv("XDG_RUNTIME_DIR");
    const std::string runtime = savedRuntime ? savedRuntime : "";
    setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);

    // The settings file as the user's editor or an older run left it.
    const std::string settingsFile = dir.file("Quorbital.plist");
    ASSERT_EQ(
        testsupport::runPython("import plistlib, sys\n"
                               "plistlib.dump({'OSCMessageDecimalFormatPrecision': 4}, open(sys.argv[1], 'wb'))\n",
                               settingsFile)
            .exitCode,
        0);

    struct Case {
        const char* name;
        std::vector<const char*> argv;
        std::optional<std::string> settings;  // none: the process's own preferences
        std::string shown;                    // the float 0.3 as printed
    };
    const Case cases[] = {
        {"shipped value", {"quorbital"}, dir.file("none.plist"), "0.30"},
        {"settings file", {"quorbital"}, settingsFile, "0.3000"},
        {"command line", {"quorbital", "-OSCMessageDecimalFormatPrecision", "9"}, std::nullopt, "0.300000012"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<foundation::UserDefaults> defaults;
        std::optional<QRBPreferences> preferences;
        QuorbitalCore core;
        if (c.settings) {
            defaults.emplace(*c.settings);
            QRBPreferences::setupDefaults(*defaults, "20261210");
            preferences.emplace(*defaults);
            core.setPreferences(&*preferences);
        }
        core.setApplication(std::make_shared<RecordingApplication>());
        ASSERT_EQ(core.startApplication(static_cast<int>(c.argv.size()), c.argv.data()), 0);

        QRBMessageMonitor monitor;
        auto input = std::make_shared<QRBMessageEndpoint>("OSC Input", QRBMessageEndpoint::kDirectionIncoming);
        auto message = QRBOSCMessage::OSCMessageWithPath(
            "/fader", {QRBArg::argWithFloatValue(0.3f), QRBArg::argWithInt32Value(7)});
        monitor.monitor(message, input, foundation::Date::now());
        ASSERT_EQ(monitor.eventsCount(), 2u);  // the endpoint's header, then the message
        EXPECT_EQ(monitor.eventAtIndex(1)->message()->presentation(), "/fader ,fi " + c.shown + " 7");

        // A change while the program runs waits for the next start.
        if (defaults) defaults->setInteger(1, "OSCMessageDecimalFormatPrecision");
        auto later = QRBOSCMessage::OSCMessageWithPath("/later", {QRBArg::argWithFloatValue(0.3f)});
        EXPECT_EQ(later->presentation(), "/later ,f " + c.shown);

        core.stopApplication();
        // Nothing of this core is left behind for later users of the process.
        QRBOSCMessage::setPrettyPrinterFloatPrecisionSource({});
        QRBManager::setTerminateApplicationHandler({});
    }
    foundation::UserDefaults::standard().setArguments(std::vector<std::string>{});
    QRBArg::setPrettyPrinterFloatPrecision(2);
    if (savedRuntime)
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
}

// ---- decoding ----------------------------------------------------------------------------------

TEST(QuorbitalCoreTest, ClassNamesOfOlderVersionsDecodeAsTheCurrentClasses) {
    const std::pair<const char*, const char*> table[] = {
        {"QRBKeystrokeEventSource", "QRBKeyEventSource"},
        {"QRBAction", "QRBConcreteAction"},
        {"QRBDupConcreteAction", "QRBDupAction"},
        {"QRBSplitAction", "QRBDupAction"},
        {"QRBGlobalVelocityEventSource", "QRBChannelVelocityEventSource"},
        {"QRBSortDescriptor", "NSSortDescriptor"},
        {"QRBWiiSettings", "QRBWiiRemote"},
        {"QRBHostInfo", "QRBTarget"},
        {"QRBDefaultHostInfo", "QRBTarget"},
        {"LibloHandler", "QRBManager"},
        {"QRBOSCEventSource", "QRBRouteEventSource"},
        {"QRBRawMidiEventSource", "QRBMidiPacketEventSource"},
        {"QRBNotesController", "QRBNotesInfos"},
        {"TUIOManager", "QRBInterpretationManager"},
        {"QRBMidiParamEventSource", "QRBDummyEventSource"},
        {"QRBMIDIValueSubstitution", "QRBMIDIByteSubstitution"},
    };
    std::vector<std::string> notYetBuilt;
    for (const auto& [archived, current] : table) {
        SCOPED_TRACE(archived);
        const foundation::Data data =
            foundation::KeyedArchiver::archivedDataWithRootObject(Value(presets::RawRecord::make(archived)));
        auto unarchiver = QuorbitalCore::newUnarchiverForCompatibleDecodingOfQuorbitalDocumentUsingData(data);
        Value decoded = unarchiver->decodeObject("root");
        if (!foundation::ClassRegistry::shared().isRegistered(current)) {
            // The class comes with its subsystem; until then the object is kept as it was archived.
            ASSERT_NE(decoded.objectValue(), nullptr);
            EXPECT_EQ(decoded.objectValue()->archivedClassName(), archived);
            notYetBuilt.push_back(current);
            continue;
        }
        if (current == std::string("QRBDummyEventSource")) {
            // The placeholder of an unsupported output decodes as nothing.
            EXPECT_TRUE(decoded.isNull());
            continue;
        }
        ASSERT_NE(decoded.objectValue(), nullptr);
        EXPECT_EQ(decoded.objectValue()->archivedClassName(), current);
        if (auto manager = decoded.object<QRBManager>()) manager->close();
    }
    if (!notYetBuilt.empty()) std::cout << "Classes not built yet: " << ::testing::PrintToString(notYetBuilt) << "\n";
}

TEST(QuorbitalCoreTest, LegacyRootKeysAreGivenToTheManager) {
    auto manager = QRBManager::create();
    manager->setServerPort(9100);
    auto legacyWii = std::make_shared<LegacyRootWiiManager>();
    const foundation::Dictionary parameters{{"QRBParamsUpperPitch", 100}, {"QRBParamsInputModeMIDI", 1}};

    QRBManagerPtr plain = decodeManager(archive({{"QRBLib", Value(manager)}}));
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->serverPort(), 9100);
    EXPECT_EQ(std::dynamic_pointer_cast<LegacyRootWiiManager>(plain->wiiManager()), nullptr);
    EXPECT_EQ(plain->midiManager()->noteUpperPitch(), 127);
    EXPECT_TRUE(plain->archiveHeldWiiManager());

    QRBManagerPtr fixed = decodeManager(archive(
        {{"QRBLib", Value(manager)}, {"QRBWiiManager", Value(legacyWii)}, {"QRBParameters", Value(parameters)}}));
    ASSERT_NE(fixed, nullptr);
    auto wii = std::dynamic_pointer_cast<LegacyRootWiiManager>(fixed->wiiManager());
    ASSERT_NE(wii, nullptr);
    EXPECT_EQ(wii->targetURL(), fixed->loopbackURL());
    EXPECT_EQ(fixed->midiManager()->noteUpperPitch(), 100);
    EXPECT_EQ(fixed->midiManager()->inputMode(), 1);

    EXPECT_EQ(decodeManager(archive({{"QRBNotes", Value("x")}})), nullptr) << "no manager, nothing to fix";
    EXPECT_THROW(decodeManager(archive({{"QRBLib", Value(manager)}, {"QRBParameters", Value(3)}})),
                 foundation::ArchiveError);
    EXPECT_THROW(decodeManager(archive({{"QRBLib", Value(manager)}, {"QRBWiiManager", Value("x")}})),
                 foundation::ArchiveError);

    // A manager archived without a Wii remote manager still gets one, but is known as such.
    auto record = presets::RawRecord::make("LibloHandler")->set("LibloHandlerPort", Value(9200));
    QRBManagerPtr older = decodeManager(archive({{"QRBLib", Value(record)}}));
    ASSERT_NE(older, nullptr);
    EXPECT_NE(older->wiiManager(), nullptr);
    EXPECT_FALSE(older->archiveHeldWiiManager());
    for (const auto& m : {manager, plain, fixed, older}) m->close();
}
