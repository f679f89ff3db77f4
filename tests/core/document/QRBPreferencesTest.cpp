#include "core/QRBPreferences.h"

#include "foundation/Exception.h"
#include "foundation/Log.h"
#include "foundation/NotificationCenter.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using foundation::UserDefaults;
using foundation::Value;

namespace {
struct PreferencesFixture : ::testing::Test {
    testsupport::TempDir dir;
    UserDefaults defaults{dir.file("prefs.plist")};
};
}  // namespace

TEST_F(PreferencesFixture, InitialValuesHaveTheTypesTheirReadersExpect) {
    QRBPreferences::setupDefaults(defaults, "20261210");
    const auto& initial = foundation::UserDefaultsController::shared().initialValues();
    ASSERT_EQ(initial.size(), 17u);
    using T = Value::Type;
    const std::pair<const char*, T> types[] = {
        {"DefaultMidiChannel", T::Integer},
        {"DefaultOSCPort", T::Integer},
        {"GlobalMapPath", T::String},
        {"UseVorerira", T::Bool},
        {"MouseTrackingSpeed", T::Real},
        {"LogDomains", T::Dictionary},
        {"WacomMouseLockMode", T::Integer},
        {"HideAfterLaunch", T::Bool},
        {"OSCMessageDecimalFormatPrecision", T::Integer},
    };
    for (const auto& [key, type] : types) EXPECT_EQ(initial.at(key).type(), type) << key;
    for (const auto& key : QRBPreferences::initialValueKeys()) EXPECT_FALSE(initial.at(key).isNull()) << key;

    QRBPreferences prefs(defaults);
    EXPECT_EQ(prefs.defaultOSCPort(), 8000);
    EXPECT_EQ(prefs.OSCMessageDecimalFormatPrecision(), 2u);
    EXPECT_FALSE(prefs.globalMapPath().has_value());
}

TEST_F(PreferencesFixture, MigrationByVersion) {
    const char* oldKeys[] = {"NSToolbar Configuration QuorbitalToolbar", "NSTableView Columns QRBTable",
                             "NSTableView Hidden Columns QRBTable", "NSTableView Sort Ordering QRBTable",
                             "QRBTargetsSortDescriptors"};
    struct Case {
        const char* last;  // recorded version, or null for a first run
        const char* running;
        bool removesToolbar, removesTable, removesTargets;
        const char* recorded;
    } cases[] = {
        {nullptr, "20261210", true, true, true, "20261210"},
        {"20100101", "20261210", true, true, true, "20261210"},
        {"20261210", "20261210", false, false, false, "20261210"},
        {"20300101", "20261210", false, false, false, "20300101"},
        {"20080101", "20090601", false, true, false, "20090601"},
        {"20080101", "20100101", true, true, false, "20100101"},
    };
    for (const auto& c : cases) {
        testsupport::TempDir d;
        UserDefaults u(d.file("p.plist"));
        for (const char* k : oldKeys) u.setBool(true, k);
        if (c.last) u.setString(c.last, "LastVersionUsed");
        QRBPreferences::migrate(u, c.running);
        EXPECT_EQ(u.objectForKey(oldKeys[0]).isNull(), c.removesToolbar) << c.running;
        for (int i = 1; i <= 3; ++i) EXPECT_EQ(u.objectForKey(oldKeys[i]).isNull(), c.removesTable) << c.running;
        EXPECT_EQ(u.objectForKey(oldKeys[4]).isNull(), c.removesTargets) << c.running;
        EXPECT_EQ(u.stringForKey("LastVersionUsed"), c.recorded);
    }
}

TEST_F(PreferencesFixture, AccessorRules) {
    QRBPreferences::setupDefaults(defaults, "20261210");
    QRBPreferences prefs(defaults);

    prefs.setUseVorerira(false);
    EXPECT_TRUE(prefs.enableKymaRelatedFeatures()) << "switching it at all turns the features on for the run";
    EXPECT_FALSE(defaults.boolForKey("UseVorerira"));

    prefs.setGlobalMapPath(std::string("/home/x/global.map"));
    EXPECT_EQ(prefs.globalMapPath(), "/home/x/global.map");
    prefs.setGlobalMapPath(std::string(""));
    EXPECT_FALSE(prefs.globalMapPath().has_value());
    prefs.setGlobalMapPath(std::string("/a"));
    prefs.setGlobalMapPath(std::nullopt);
    EXPECT_FALSE(prefs.globalMapPath().has_value());

    prefs.setWacomMouseLockMode(2);
    try {
        prefs.setWacomMouseLockMode(3);
        FAIL() << "mode 3 is refused";
    } catch (const foundation::Exception& e) {
        EXPECT_EQ(e.name(), foundation::kInvalidArgumentException);
        EXPECT_EQ(e.reason(), "-[QRBPreferences setWAcomMouseLockMode:] Invalid argument : 3");
    }
    EXPECT_EQ(prefs.wacomMouseLockMode(), 2) << "nothing stored";

    detail::KeyCombo combo{0xFFFFFFFFFFFF0001ull, 0xBEEF};
    prefs.setWacomHotKey(combo);
    EXPECT_EQ(prefs.wacomHotKey(), combo);

    foundation::Dictionary mappings{{"00:11:22", 1}};
    prefs.setWiiAddressMappings(mappings);
    EXPECT_EQ(prefs.wiiAddressMappings(), mappings);
    defaults.setObject(Value(foundation::Data{1, 2, 3}), "WiiAddressMappings");
    EXPECT_TRUE(prefs.wiiAddressMappings().empty()) << "undecodable data reads as no mappings";
    prefs.setWiiAddressMappings(std::nullopt);
    EXPECT_TRUE(defaults.objectForKey("WiiAddressMappings").isNull());
}

TEST_F(PreferencesFixture, SavedWhenTheApplicationTerminates) {
    QRBPreferences prefs(defaults);
    prefs.setWiimotePairingAutostart(true);
    foundation::NotificationCenter::defaultCenter().post(foundation::kApplicationWillTerminateNotification);
    UserDefaults reread(defaults.persistentPath());
    EXPECT_TRUE(reread.boolForKey("WiimotePairingAutostart"));
}

TEST_F(PreferencesFixture, ResetWarningsRemovesOnlyWarningKeys) {
    QRBPreferences prefs(defaults);
    defaults.setBool(true, "DontWarnOnQuit");
    defaults.setBool(true, "DontWarnOnDelete");
    defaults.setBool(true, "DontWarn");
    defaults.setBool(true, "KeepMe");
    prefs.resetWarnings();
    EXPECT_TRUE(defaults.objectForKey("DontWarnOnQuit").isNull());
    EXPECT_TRUE(defaults.objectForKey("DontWarnOnDelete").isNull());
    EXPECT_FALSE(defaults.objectForKey("DontWarn").isNull());
    EXPECT_FALSE(defaults.objectForKey("KeepMe").isNull());
}

TEST_F(PreferencesFixture, MIDINoteLoggingFollowsLogDomains) {
    QRBPreferences prefs(defaults);
    foundation::LogCapture log;
    // The change notification alone switches logging, without anyone calling the preferences.
    defaults.setObject(Value(foundation::Dictionary{{"MIDI Notes", true}}), "LogDomains");
    EXPECT_TRUE(QRBLogMIDINotes);
    EXPECT_TRUE(log.contains("LogDomains: "));
    defaults.setObject(Value(foundation::Dictionary{{"MIDI Notes", false}}), "LogDomains");
    EXPECT_FALSE(QRBLogMIDINotes);
}
