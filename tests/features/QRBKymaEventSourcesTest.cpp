// The Kyma outputs of the event-source manager: the hint table from a global map file or the
// defaults, the controller and special outputs, and the matching of new actions' addresses to
// Kyma controls, also through the automatic configuration.

#include "core/support/ManagerTestSupport.h"

#include "core/QRBPreferences.h"
#include "core/mapping/QRBContext.h"
#include "features/QRBEventSourceManager.h"
#include "features/QRBKymaCCEventSource.h"
#include "flame/QRBFlameLink.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Log.h"
#include "midi/outputs/QRBMidiCCEventSource.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <fstream>
#include <optional>

namespace {

using Hints = QRBEventSourceManager::KymaHints;

// Stands in for the key output, which this build does not have: an output named after the code.
class ManagerWithKeys : public QRBEventSourceManager {
public:
    ManagerWithKeys() : QRBEventSourceManager(foundation::Dictionary{}) {}
    QRBEventSourcePtr keyEventSourceWithKeyCode(uint16_t keyCode) override {
        auto key = std::make_shared<QRBMidiCCEventSource>();
        key->setName("key " + std::to_string(keyCode));
        return key;
    }
    std::optional<foundation::Dictionary> readSpecialCCMappings() override {
        ++reads;
        if (unreadable) return std::nullopt;
        return QRBEventSourceManager::readSpecialCCMappings();
    }
    bool unreadable = false;
    int reads = 0;
};

class KymaTest : public ::testing::Test {
protected:
    void SetUp() override {
        prefs.setEnableKymaRelatedFeatures(true);
        prefs.setGlobalMapPath(std::nullopt);
    }
    void TearDown() override {
        prefs.setEnableKymaRelatedFeatures(false);
        prefs.setGlobalMapPath(std::nullopt);
        if (!mapFile.empty()) std::remove(mapFile.c_str());
    }
    void writeMapFile(const std::string& text) {
        mapFile = ::testing::TempDir() + "kyma-map-" + std::to_string(getpid()) + ".txt";
        std::ofstream(mapFile, std::ios::binary) << text;
        prefs.setGlobalMapPath(mapFile);
    }
    static std::string nameOf(const QRBEventSourcePtr& output) {
        return output ? output->name().value_or("(no name)") : "(none)";
    }

    QRBPreferences& prefs = QRBPreferences::sharedPreferences();
    std::string mapFile;
};

TEST(KymaGlobalMapTest, OnlyBangLinesNamingAMIDIControllerCount) {
    struct Case {
        const char* what;
        std::string text;
        Hints hints;
    };
    const std::vector<Case> cases = {
        {"CR lines, two names for one controller",
         "!Volume is: `MIDIController 7\r!Level is: `MIDIController 7 default: 0.5\r",
         {{7, "Volume, Level"}}},
        {"LF lines when there is no CR",
         "!Pan is: `MIDIController 10\n  ((! Mix Level  is:  `MIDIController  11\n",
         {{10, "Pan"}, {11, "Mix Level"}}},
        {"a CR file keeps its LFs inside lines",
         "!A is: `MIDIController 1\n\r!B is: `MIDIController 2",
         {{1, "A"}, {2, "B"}}},
        {"no bang", "Volume is: `MIDIController 7\r", {}},
        {"controller names ignored", "!cc07 is: `MIDIController 7\r!Cutoff is: `MIDIController 13\r", {{13, "Cutoff"}}},
        {"not a MIDI controller", "!Rate is: `Keyboard 3\r!Rate is: !Fader 4\r", {}},
        {"no number", "!Rate is: `MIDIController x\r", {}},
        {"ISO Latin-1",
         "!Dur\xE9"
         "e is: `MIDIController 15\r",
         {{15,
           "Dur\xC3\xA9"
           "e"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(QRBEventSourceManager::parseGlobalMap(c.text), c.hints);
    }
}

TEST_F(KymaTest, TheControllerOutputsAreNamedFromTheMapFile) {
    writeMapFile("!Volume is: `MIDIController 7\r!Level is: `MIDIController 7\r");
    QRBEventSourceManager manager{foundation::Dictionary{}};
    const auto& outputs = manager.kymaCCEventSources();
    ASSERT_EQ(outputs.size(), 128u);
    EXPECT_EQ(outputs[7]->name(), "7 - Volume, Level");
    EXPECT_EQ(outputs[7]->ccNumber(), 7);
    EXPECT_EQ(outputs[1]->name(), "1") << "the defaults are not used beside a file";
    EXPECT_EQ(&manager.kymaCCEventSources(), &outputs);
}

TEST_F(KymaTest, AMissingOrEmptyMapFileGivesTheDefaultHints) {
    for (const std::optional<std::string>& text : {std::optional<std::string>(), std::optional<std::string>("")}) {
        if (text)
            writeMapFile(*text);
        else
            prefs.setGlobalMapPath("/nonexistent/kyma.map");
        QRBEventSourceManager manager{foundation::Dictionary{}};
        EXPECT_EQ(manager.kymaCCEventSources()[64]->name(), "64 - Damper");
        EXPECT_EQ(manager.kymaGlobalMapHints().size(), 40u);
        EXPECT_EQ(manager.kymaGlobalMapHints().at(42), "sw12");
    }
}

TEST_F(KymaTest, NewAddressesFindTheirKymaControl) {
    ManagerWithKeys manager;
    struct Case {
        const char* address;
        long rank;
        const char* output;
    };
    const std::vector<Case> cases = {
        {"/wii/1/accel/pry", 2, "Wii Yaw"},                  // 150
        {"/wii/1/accel/xyz", -1, "Wii Accel X"},             // a context counts as rank 0: 145
        {"/wii/1/nunchuk/accel/xyz", 0, "Nunchuk Accel X"},  // 155
        {"/wii/1/ir", 1, "Wii IR Y"},                        // 153
        {"/wii/1/nunchuk/joy", 1, "Nunchuk Joy Y"},          // 163
        {"/wii/1/button/a", 0, "Wii Button A"},
        {"/wii/1/nunchuk/button/c", 0, "Nunchuk Button C"},
        {"/wii/1/button/home", 0, "key 49"},
        {"/wii/1/button/minus", 0, "key 126"},
        {"/wii/1/button/plus", 0, "key 125"},
        {"/wii/1/classic/button/a", 0, "(none)"},
        {"/wii/1/accel", 0, "(none)"},        // neither xyz nor pry, and no button
        {"/pad/VOLUME", 0, "7 - Volume"},     // exact, in lower case
        {"/pad/cutoff/x", 0, "13 - Cutoff"},  // the last component first, then back
        {"/pad/delaytime", 0, "14 - Delay"},  // a common prefix of three
        {"/pad/del", 0, "14 - Delay"},
        {"/pad/de", 0, "(none)"},  // two characters are not enough
        {"/pad/cc12", 0, "12 - Bandwidth"},
        {"/pad/cc2", 0, "2"},
        {"/pad/cc", 0, "(none)"},
        {"/x/sw/3/4", 0, "42 - sw12"},
        {"/x/sw/3", 0, "(none)"},
        {"/pad/volume/z", 0, "(none)"},
        {"/pad/nothing", 0, "(none)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(nameOf(manager.findKymaEventSourceMatching(c.address, c.rank)), c.output);
    }
    EXPECT_EQ(QRBEventSourceManager::matchPrefixParam("cc", "ccx"), 0);
    EXPECT_EQ(QRBEventSourceManager::matchPrefixParam("cc", "c12"), -1);
}

TEST_F(KymaTest, EveryArgumentARemoteSendsFindsItsControlInTheSpecialList) {
    // Each address a Wii remote sends, with as many arguments as it sends there: every one must
    // reach a control the resource names, or that argument gets no output at all.
    ManagerWithKeys manager;
    struct Case {
        const char* address;
        long arguments;
        int64_t first;
    };
    const Case cases[] = {
        {"/wii/1/accel/xyz", 3, 145},         {"/wii/1/accel/pry", 4, 148}, {"/wii/1/nunchuk/accel/xyz", 3, 155},
        {"/wii/1/nunchuk/accel/pry", 4, 158}, {"/wii/1/ir", 2, 152},        {"/wii/1/ir/xys/4", 3, 152},
        {"/wii/1/nunchuk/joy", 2, 162},       {"/wii/1/button/A", 1, 166},  {"/wii/1/button/B", 1, 154},
        {"/wii/1/nunchuk/button/C", 1, 164},
        // (The nunchuk's Z button ends in "/z", which never drives a control.)
    };
    for (const auto& c : cases) {
        for (long rank = 0; rank < c.arguments; ++rank) {
            SCOPED_TRACE(std::string(c.address) + " argument " + std::to_string(rank));
            auto special = std::dynamic_pointer_cast<detail::QRBKymaExtEventSource>(
                manager.findKymaEventSourceMatching(c.address, rank));
            ASSERT_TRUE(special);
            EXPECT_EQ(special->ccNumber(), c.first + (c.arguments > 1 ? rank : 0));
        }
    }
}

TEST_F(KymaTest, WithTheKymaFeaturesOffNothingMatches) {
    ManagerWithKeys manager;
    prefs.setEnableKymaRelatedFeatures(false);
    EXPECT_FALSE(manager.findKymaEventSourceMatching("/pad/volume", 0));
    EXPECT_FALSE(manager.findKymaEventSourceMatching("/wii/1/button/home", 0));
    EXPECT_FALSE(manager.fetchKymaCC(7));
    EXPECT_FALSE(manager.fetchKymaCC(150));
}

TEST_F(KymaTest, TheSpecialListHasThreeGroupsInControllerOrder) {
    ManagerWithKeys manager;
    const foundation::Value list = manager.kymaSpecialEventSources();
    const auto* entries = list.arrayValue();
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 5u);
    EXPECT_EQ((*entries)[1].object<QRBEventSource>(), QRBEventSource::menuSeparatorMarker());
    EXPECT_EQ((*entries)[3].object<QRBEventSource>(), QRBEventSource::menuSeparatorMarker());
    const char* titles[] = {"Special", "Wiimote", "Tablet"};
    for (size_t group = 0; group < 3; ++group) {
        const auto* dictionary = (*entries)[group * 2].dictionaryValue();
        ASSERT_TRUE(dictionary && dictionary->size() == 1 && dictionary->count(titles[group])) << titles[group];
        const auto* outputs = dictionary->at(titles[group]).arrayValue();
        ASSERT_TRUE(outputs && !outputs->empty());
        int64_t last = 127;
        for (const auto& output : *outputs) {
            auto special = output.object<detail::QRBKymaExtEventSource>();
            ASSERT_TRUE(special);
            EXPECT_GT(special->ccNumber(), last);
            last = special->ccNumber();
            EXPECT_EQ(special->previousProposedEventSource(), special);
            EXPECT_EQ(special->nextProposedEventSource(), special);
        }
    }
    EXPECT_EQ(manager.reads, 1);
    manager.kymaSpecialEventSources();
    EXPECT_EQ(manager.reads, 1) << "built once";
}

TEST_F(KymaTest, AnUnreadableSpecialListIsLoggedAndTriedAgain) {
    ManagerWithKeys manager;
    manager.unreadable = true;
    foundation::LogCapture log;
    EXPECT_TRUE(manager.kymaSpecialEventSources().isNull());
    EXPECT_TRUE(log.contains(QRBEventSourceManager::kSpecialMappingsError));
    EXPECT_FALSE(manager.fetchKymaCC(150));
    EXPECT_EQ(nameOf(manager.fetchKymaCC(7)), "7 - Volume") << "the controllers do not need the list";
    manager.unreadable = false;
    EXPECT_EQ(nameOf(manager.fetchKymaCC(150)), "Wii Yaw");
}

// Records what the outputs write to the Flame device.
struct RecordingLink : QRBFlameLink {
    bool writeToCurrentDevice(uint32_t offset, uint32_t high, uint32_t low, int) override {
        offsets.push_back(offset);
        return true;
    }
    std::vector<uint32_t> offsets;
};

TEST_F(KymaTest, ASpecialControlKeepsItsNumberThroughArchivingAndWritesItsOwnRegister) {
    ManagerWithKeys manager;
    auto special = std::dynamic_pointer_cast<detail::QRBKymaExtEventSource>(manager.fetchKymaCC(150));
    ASSERT_TRUE(special);
    const foundation::Data data = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(special));
    auto decoded = foundation::KeyedUnarchiver::unarchiveObjectWithData(data).object<detail::QRBKymaExtEventSource>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->ccNumber(), 150);
    EXPECT_EQ(decoded->name(), "Wii Yaw");
    EXPECT_EQ(QRBCCEventSource::flameOffset(2, 150), (1u << 8) | 151u);
    EXPECT_EQ(QRBCCEventSource::flameOffset(1, 7), 8u);
}

// New actions get their Kyma control through the automatic configuration.
class KymaConfigurationTest : public managertest::ManagerFixture {
protected:
    void SetUp() override {
        ManagerFixture::SetUp();
        scope_ = std::make_unique<firing::ConfiguratorScope>(QRBEventSourceManager::sharedPointer());
    }
    void TearDown() override {
        scope_.reset();
        QRBPreferences::sharedPreferences().setEnableKymaRelatedFeatures(false);
        ManagerFixture::TearDown();
    }
    QRBContextPtr receive(const std::string& address) {
        auto context = QRBContext::create(address, manager);
        currentPreset()->addObject(context);
        context->receive(firing::message(address, {firing::Float(0.5), firing::Float(0.5)}),
                         manager->oscInputEndpoint(), foundation::Date::now());
        return context;
    }

private:
    std::unique_ptr<firing::ConfiguratorScope> scope_;
};

TEST_F(KymaConfigurationTest, NewActionsGetAKymaControlOnlyWhileTheFeaturesAreOn) {
    auto off = receive("/pad/cc12");
    ASSERT_EQ(off->actions().size(), 2u);
    EXPECT_FALSE(off->actions()[0]->eventSource());

    QRBPreferences::sharedPreferences().setEnableKymaRelatedFeatures(true);
    auto on = receive("/pad/cc13");
    ASSERT_EQ(on->actions().size(), 2u);
    for (const auto& action : on->actions()) {
        auto output = std::dynamic_pointer_cast<detail::QRBKymaCCEventSource>(action->eventSource());
        ASSERT_TRUE(output);
        EXPECT_EQ(output->ccNumber(), 13);
        EXPECT_EQ(output, QRBEventSourceManager::sharedInstance().kymaCCEventSources()[13]) << "shared";
    }
}

}  // namespace
