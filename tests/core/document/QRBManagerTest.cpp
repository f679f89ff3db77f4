// The routing manager: what a new one holds, the port and its loopback URL, starting and stopping,
// a port in use, sending to targets, announcements, the archive with older documents, the legacy
// fix-ups, Bonjour services offered as targets, the mapping message and start/stop cycles under
// traffic.

#include "core/support/ManagerTestSupport.h"
#include "core/support/PresetTestSupport.h"

#include "controllers/QRBKeyEventManager.h"
#include "controllers/QRBScriptManager.h"
#include "controllers/QRBWacomManager.h"
#include "core/monitor/QRBActivityTimer.h"
#include "core/monitor/QRBMessageEvent.h"
#include "core/osc/QRBAppMessage.h"
#include "core/osc/QRBTarget.h"
#include "features/QRBInterpretationManager.h"
#include "foundation/Exception.h"
#include "foundation/Log.h"
#include "foundation/NotificationCenter.h"
#include "midi/QRBMIDIManager.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

using firing::Float;
using firing::Int;
using foundation::Date;
using foundation::Value;
using managertest::ManagerFixture;
using managertest::packet;
using managertest::Sender;
using presets::RawRecord;

namespace {

std::shared_ptr<RawRecord> setInteger(std::shared_ptr<RawRecord> record, const std::string& key, int64_t value) {
    record->writes.push_back([key, value](foundation::KeyedArchiver& c) { c.encodeInteger(value, key); });
    return record;
}

QRBManagerPtr roundTrip(const QRBManagerPtr& manager) { return presets::decode<QRBManager>(Value(manager)); }

// The presentations and details of the monitor's application lines, oldest first.
std::vector<std::pair<std::string, std::optional<std::string>>> applicationLines(const QRBManager& manager) {
    std::vector<std::pair<std::string, std::optional<std::string>>> lines;
    for (const auto& event : manager.messageMonitor()->events().events())
        if (auto app = std::dynamic_pointer_cast<QRBAppMessage>(event->message()))
            lines.emplace_back(app->presentation(), app->details());
    return lines;
}

class ManagerTest : public ManagerFixture {};

TEST_F(ManagerTest, ANewManagerHoldsItsDefaults) {
    auto fresh = QRBManager::create();
    EXPECT_EQ(fresh->oscTargets().size(), 16u);
    for (const auto& target : fresh->oscTargets()) EXPECT_FALSE(target->isConfigured());
    ASSERT_NE(fresh->localTarget(), nullptr);
    ASSERT_EQ(fresh->variableValues().size(), 128u);
    for (const auto& value : fresh->variableValues()) EXPECT_EQ(value->libloType(), 'N');
    EXPECT_EQ(fresh->variableValueAtIndex(128), nullptr);
    EXPECT_EQ(fresh->defaultTargetIndex(), 0);
    EXPECT_TRUE(fresh->oscRoutes().empty());
    ASSERT_EQ(fresh->oscRoutesSortDescriptors().size(), 1u);
    EXPECT_EQ(fresh->oscRoutesSortDescriptors()[0]->key(), "rewriteAddress");
    EXPECT_TRUE(fresh->oscRoutesSortDescriptors()[0]->ascending());
    EXPECT_EQ(fresh->serverPort(), 0);
    EXPECT_EQ(fresh->udpServer()->port(), 0);
    EXPECT_EQ(fresh->tcpServer()->port(), 0);
    EXPECT_EQ(fresh->udpServer()->protocol(), LO_UDP);
    EXPECT_EQ(fresh->tcpServer()->protocol(), LO_TCP);
    EXPECT_FALSE(fresh->isRunning());
    EXPECT_FALSE(fresh->isInputLocked());
    EXPECT_EQ(fresh->oscInputEndpoint()->categoryName(), "OSC Input");
    EXPECT_EQ(fresh->oscInputEndpoint()->direction(), QRBMessageEndpoint::kDirectionIncoming);
    EXPECT_TRUE(fresh->activityMonitor()->isRunning());
    EXPECT_EQ(fresh->presetManager()->countOfPresets(), 1u);
    EXPECT_EQ(fresh->targetWithIdentifier(QRBManager::kLocalTargetIdentifier), fresh->localTarget());
    EXPECT_EQ(fresh->targetWithIdentifier(QRBManager::kDefaultTargetIdentifier), fresh->oscTargets()[0]);
    EXPECT_EQ(fresh->targetWithIdentifier(16), nullptr);
}

TEST_F(ManagerTest, ThePortHandsTheLoopbackURLOnOnlyWhenItChanges) {
    const std::string url = "osc.udp://127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(manager->loopbackURL(), url);
    EXPECT_EQ(manager->udpServer()->port(), port);
    EXPECT_EQ(manager->tcpServer()->port(), port);
    EXPECT_EQ(manager->midiManager()->targetURL(), url);
    EXPECT_EQ(manager->wacomManager()->targetURL(), url);
    EXPECT_EQ(manager->localTarget()->targetSpec(), url);
    EXPECT_EQ(wii->targetURL(), url);

    manager->setServerPort(port);
    EXPECT_EQ(wii->targetURL(), url);
    manager->setServerPort(port + 1);
    EXPECT_EQ(wii->targetURL(), "osc.udp://127.0.0.1:" + std::to_string(port + 1));
    EXPECT_EQ(manager->localTarget()->port(), port + 1);
}

TEST_F(ManagerTest, StartAndStopDriveTheServersBrowsersAndDevicesAndTellTheMonitor) {
    ASSERT_TRUE(manager->start());
    EXPECT_TRUE(manager->isRunning());
    EXPECT_TRUE(manager->udpServer()->isRunning());
    EXPECT_TRUE(manager->tcpServer()->isRunning());
    EXPECT_TRUE(manager->oscUDPServiceBrowser()->isSearching());
    EXPECT_TRUE(manager->oscTCPServiceBrowser()->isSearching());
    // The Wii remotes pair while routing runs, and stop pairing when it stops.
    wii->discovery()->start(false);
    ASSERT_EQ(wiiRemotes->runningDiscoveries(), 1u);

    manager->stop();
    EXPECT_FALSE(manager->isRunning());
    EXPECT_FALSE(manager->udpServer()->isRunning());
    EXPECT_FALSE(manager->tcpServer()->isRunning());
    EXPECT_FALSE(manager->oscUDPServiceBrowser()->isSearching());
    EXPECT_EQ(wiiRemotes->runningDiscoveries(), 0u);
    manager->stop();  // not running: nothing more in the monitor

    using Line = std::pair<std::string, std::optional<std::string>>;
    EXPECT_EQ(applicationLines(*manager),
              (std::vector<Line>{{"Routing started", std::nullopt}, {"Routing paused.", std::nullopt}}));
}

TEST_F(ManagerTest, StartingWhileRunningStopsEverythingWithoutDetails) {
    ASSERT_TRUE(manager->start());
    EXPECT_FALSE(manager->start());
    EXPECT_FALSE(manager->isRunning());
    EXPECT_FALSE(manager->udpServer()->isRunning());
    EXPECT_FALSE(manager->lastOSCError());
    auto lines = applicationLines(*manager);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().first, "Error occurred when starting routing");
    EXPECT_FALSE(lines.back().second);
}

class PortInUseTest : public ManagerFixture, public ::testing::WithParamInterface<int> {};

TEST_P(PortInUseTest, IsReportedAndLeavesRoutingStopped) {
    const int protocol = GetParam();
    int blocker = socket(AF_INET, protocol == LO_TCP ? SOCK_STREAM : SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (protocol == LO_TCP) listen(blocker, 1);

    int notices = 0;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        kQRBManagerReceiveErrorOccurredNotification, manager, [&](const foundation::Notification&) { ++notices; });
    foundation::LogCapture log;
    EXPECT_FALSE(manager->start());
    close(blocker);

    const std::string expected = std::string("OSC ") + (protocol == LO_TCP ? "TCP" : "UDP") + " Server error: Port " +
                                 std::to_string(port) + " already in use";
    EXPECT_EQ(manager->lastOSCError(), expected);
    EXPECT_EQ(notices, 1);
    EXPECT_FALSE(manager->isRunning());
    EXPECT_FALSE(manager->udpServer()->isRunning());
    EXPECT_FALSE(manager->tcpServer()->isRunning());
    auto lines = applicationLines(*manager);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().first, "Error occurred when starting routing");
    EXPECT_EQ(lines.back().second, expected);

    EXPECT_TRUE(manager->start());
    EXPECT_FALSE(manager->lastOSCError());
}

INSTANTIATE_TEST_SUITE_P(Transports, PortInUseTest, ::testing::Values(LO_UDP, LO_TCP),
                         [](const auto& info) { return info.param == LO_UDP ? "UDP" : "TCP"; });

TEST_F(ManagerTest, SendsFromTheDocumentsPortAndRecordsWhatLeft) {
    ASSERT_TRUE(manager->start());
    manager->messageMonitor()->setDirection(0);
    auto message = QRBOSCMessage::OSCMessageWithPath("/out", {QRBArg::argWithInt32Value(5)});

    for (int protocol : {LO_UDP, LO_TCP}) {
        SCOPED_TRACE(protocol);
        long receiverPort = testsupport::freePort();
        lo_server receiver = lo_server_new_with_proto(std::to_string(receiverPort).c_str(), protocol, nullptr);
        ASSERT_NE(receiver, nullptr);
        struct Seen {
            int count = 0;
            std::string sourcePort;
        } seen;
        lo_server_add_method(
            receiver, "/out", "i",
            [](const char*, const char*, lo_arg**, int, lo_message m, void* user) {
                auto* s = static_cast<Seen*>(user);
                ++s->count;
                if (const char* p = lo_address_get_port(lo_message_get_source(m))) s->sourcePort = p;
                return 0;
            },
            &seen);

        auto target = std::make_shared<QRBTarget>();
        target->setTargetSpec(std::string(protocol == LO_TCP ? "osc.tcp://" : "") +
                              "127.0.0.1:" + std::to_string(receiverPort));
        const size_t before = manager->messageMonitor()->eventsCount();
        EXPECT_EQ(manager->sendOSCMessage(message, target), 1);
        for (int i = 0; i < 100 && seen.count == 0; ++i) lo_server_recv_noblock(receiver, 50);
        EXPECT_EQ(seen.count, 1);
        if (protocol == LO_UDP) {
            EXPECT_EQ(seen.sourcePort, std::to_string(port));  // replies reach the document's port
        }
        ASSERT_GT(manager->messageMonitor()->eventsCount(), before);
        auto last = manager->messageMonitor()->events().lastObject();
        EXPECT_EQ(last->message(), message);
        EXPECT_EQ(last->endpoint(), target->endpoint());
        target->invalidate();
        lo_server_free(receiver);
    }

    const size_t before = manager->messageMonitor()->eventsCount();
    EXPECT_EQ(manager->sendOSCMessage(message, std::make_shared<QRBTarget>()), -1);  // nowhere to send
    EXPECT_EQ(manager->messageMonitor()->eventsCount(), before);
    EXPECT_THROW(manager->sendOSCMessage(nullptr, manager->localTarget()), foundation::Exception);
}

TEST_F(ManagerTest, AnnouncesChangesWithTheManagerAsSender) {
    // Actions of its contexts announce their changes with the manager as sender too.
    auto context = QRBContext::create(std::string("/a"), manager);
    std::vector<foundation::Notification> actionNotices;
    auto actionToken = foundation::NotificationCenter::defaultCenter().addObserver(
        "QRBActionChangedNotification", manager,
        [&](const foundation::Notification& n) { actionNotices.push_back(n); });
    context->setInputMax(2);
    ASSERT_EQ(actionNotices.size(), 1u);
    EXPECT_EQ(actionNotices[0].userInfo.at("NSObject").objectValue(), context);

    std::vector<foundation::Notification> seen;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        kQRBEventSourceChangedNotification, manager, [&](const foundation::Notification& n) { seen.push_back(n); });
    auto source = std::make_shared<firing::RecordingEventSource>();
    manager->notifyEventSourceChanged(source);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].userInfo.at("NSObject").objectValue(), source);
    try {
        manager->notifyEventSourceChanged(nullptr);
        FAIL() << "no assertion";
    } catch (const foundation::Exception& e) {
        EXPECT_NE(std::string(e.what()).find("event source cannot be nil."), std::string::npos);
    }
}

TEST_F(ManagerTest, RouteEditsAreUndoableAndMergedOutputsJoinTheirLists) {
    auto undo = std::make_shared<foundation::UndoManager>();
    manager->setUndoManager(undo);
    auto route = std::make_shared<firing::RecordingEventSource>();
    manager->eventSourceCollection("oscRoutes")->addEventSource(route);
    undo->closeEventGroup();
    ASSERT_EQ(manager->oscRoutes().size(), 1u);
    undo->undo();
    EXPECT_TRUE(manager->oscRoutes().empty());
    undo->redo();
    EXPECT_EQ(manager->oscRoutes(), std::vector<QRBEventSourcePtr>{route});

    auto combo = std::make_shared<QRBKeyComboEventSource>();
    manager->eventSourceCollection("keyEventManager.keyCombos")->addEventSource(combo);
    EXPECT_EQ(manager->keyEventManager()->countOfKeyCombos(), 1u);
    auto script = std::make_shared<QRBScriptEventSource>();
    manager->eventSourceCollection("scriptManager.appleScripts")->addEventSource(script);
    EXPECT_EQ(manager->scriptManager()->countOfAppleScripts(), 1u);
    EXPECT_EQ(manager->eventSourceCollection("nothing"), nullptr);

    // Outputs kept in a document's list are matched to an equal one there, or added.
    auto other = QRBManager::create();
    auto same = std::make_shared<QRBScriptEventSource>();
    auto different = std::make_shared<QRBScriptEventSource>();
    different->setScriptSource(std::string("beep"));
    EXPECT_EQ(same->merger()->mergeFromOSCManager(other, manager), script);
    EXPECT_EQ(different->merger()->mergeFromOSCManager(other, manager), different);
    EXPECT_EQ(manager->scriptManager()->countOfAppleScripts(), 2u);
}

// The routes table follows the list through its notices, undo and redo included.
TEST_F(ManagerTest, RouteEditsAreAnnouncedWithTheirIndexes) {
    auto undo = std::make_shared<foundation::UndoManager>();
    manager->setUndoManager(undo);
    std::vector<std::pair<foundation::KeyValueChangeKind, std::vector<size_t>>> heard;
    auto token = manager->addObserver(
        QRBManager::kOscRoutesKey, [&](const foundation::KeyValueChange& c) { heard.emplace_back(c.kind, c.indexes); });
    manager->insertObject(std::make_shared<firing::RecordingEventSource>(), 0);
    manager->insertObject(std::make_shared<firing::RecordingEventSource>(), 1);
    undo->closeEventGroup();
    undo->undo();
    using K = foundation::KeyValueChangeKind;
    const decltype(heard) expected{{K::Insertion, {0}}, {K::Insertion, {1}}, {K::Removal, {1}}, {K::Removal, {0}}};
    EXPECT_EQ(heard, expected);
}

// ---- Archive -----------------------------------------------------------------------------------

TEST_F(ManagerTest, RoundTripsThroughAnArchive) {
    manager->setDefaultTargetIndex(3);
    manager->oscTargets()[1]->setTargetSpec(std::string("10.0.0.1:9000"));
    manager->insertObject(std::make_shared<firing::RecordingEventSource>(), 0);
    manager->variableValueAtIndex(5)->makeSameAsValue(*QRBArg::argWithInt32Value(42));
    manager->setInputLocked(true);
    ASSERT_TRUE(manager->start());
    Sender sender(LO_UDP, port);
    manager->setInputLocked(false);
    sender.send(packet("/a", {Float(0.5)}));
    ASSERT_TRUE(runUntil([&] { return manager->contextWithName("/a") != nullptr; }));
    manager->setInputLocked(true);
    manager->stop();

    auto decoded = roundTrip(manager);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->serverPort(), port);
    EXPECT_EQ(decoded->localTarget()->targetSpec(), manager->loopbackURL());
    EXPECT_EQ(decoded->defaultTargetIndex(), 3);
    ASSERT_EQ(decoded->oscTargets().size(), 16u);
    EXPECT_EQ(decoded->oscTargets()[1]->targetSpec(), "osc.udp://10.0.0.1:9000");
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(decoded->oscTargets()[i]->reservedIndex(), int64_t(i));
    EXPECT_EQ(decoded->oscRoutes().size(), 1u);
    EXPECT_EQ(decoded->oscRoutesSortDescriptors()[0]->key(), "rewriteAddress");
    EXPECT_EQ(decoded->variableValueAtIndex(5)->int32Value(), 42);
    EXPECT_FALSE(decoded->isInputLocked());  // the lock follows the file, not the archive
    QRBContextPtr context = decoded->contextWithName("/a");
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->oscManager(), decoded);
    EXPECT_EQ(decoded->tuioManager()->oscManager(), decoded);
    EXPECT_NE(decoded->keyEventManager(), nullptr);
    EXPECT_NE(decoded->midiManager(), nullptr);
    EXPECT_EQ(decoded->midiManager()->oscManager(), decoded);
    EXPECT_NE(decoded->wiiManager(), nullptr);
    decoded->close();
}

TEST_F(ManagerTest, DecodesOlderDocuments) {
    auto contextA = std::make_shared<QRBContext>();
    contextA->setName(std::string("/old/a"));
    auto contextB = std::make_shared<QRBContext>();
    contextB->setName(std::string("/old/b"));
    auto descriptor = foundation::SortDescriptor::create("memo", false);

    struct Case {
        const char* what;
        std::shared_ptr<RawRecord> record;
        std::function<void(QRBManager&)> check;
    };
    const std::vector<Case> cases = {
        {"version 1: slots counted from 1, the default order of routes",
         setInteger(setInteger(setInteger(RawRecord::make("QRBManager"), "Version", 1), "defaultTargetSlot", 3),
                    "defaultTargetIndex", 7)
             ->set("oscRoutesSortDescriptors", foundation::Array{Value(descriptor)}),
         [](QRBManager& m) {
             EXPECT_EQ(m.defaultTargetIndex(), 2);
             ASSERT_EQ(m.oscRoutesSortDescriptors().size(), 1u);
             EXPECT_EQ(m.oscRoutesSortDescriptors()[0]->key(), "rewriteAddress");
         }},
        {"version 2 keeps its index and its order",
         setInteger(setInteger(setInteger(RawRecord::make("QRBManager"), "Version", 2), "defaultTargetSlot", 3),
                    "defaultTargetIndex", 7)
             ->set("oscRoutesSortDescriptors", foundation::Array{Value(descriptor)}),
         [](QRBManager& m) {
             EXPECT_EQ(m.defaultTargetIndex(), 7);
             ASSERT_EQ(m.oscRoutesSortDescriptors().size(), 1u);
             EXPECT_EQ(m.oscRoutesSortDescriptors()[0]->key(), "memo");
         }},
        {"contexts kept on the manager become the mapping",
         RawRecord::make("QRBManager")
             ->set("QRBPresetManager", Value(std::make_shared<QRBPresetManager>()))
             ->set("LibloHandlerContexts",
                   foundation::Dictionary{{"/old/a", Value(contextA)}, {"/old/b", Value(contextB)}}),
         [](QRBManager& m) {
             auto preset = m.presetManager()->currentPreset();
             ASSERT_EQ(preset->countOfObjects(), 2u);
             EXPECT_NE(m.contextWithName("/old/a"), nullptr);
             EXPECT_NE(m.contextWithName("/old/b"), nullptr);
             EXPECT_EQ(m.contextWithName("/old/a")->oscManager().get(), &m);
         }},
        {"the key application kept on the manager",
         RawRecord::make("QRBManager")->set("LibloHandlerKeyProcessName", "Live"),
         [](QRBManager& m) { EXPECT_EQ(m.keyEventManager()->targetAppName(), "Live"); }},
        {"a short list of variables is made whole",
         RawRecord::make("QRBManager")
             ->set("variableValues",
                   foundation::Array{Value(QRBArg::argWithInt32Value(9)), Value(QRBArg::argWithNilValue())}),
         [](QRBManager& m) {
             ASSERT_EQ(m.variableValues().size(), 128u);
             EXPECT_EQ(m.variableValueAtIndex(0)->int32Value(), 9);
             EXPECT_EQ(m.variableValueAtIndex(127)->libloType(), 'N');
         }},
        {"an empty record gets everything new", RawRecord::make("QRBManager"),
         [](QRBManager& m) {
             EXPECT_EQ(m.oscTargets().size(), 16u);
             EXPECT_EQ(m.variableValues().size(), 128u);
             EXPECT_EQ(m.serverPort(), 0);
             EXPECT_NE(m.presetManager(), nullptr);
             EXPECT_NE(m.timeEventsManager(), nullptr);
             EXPECT_NE(m.messageMonitor(), nullptr);
             EXPECT_NE(m.contextFilterManager(), nullptr);
             EXPECT_NE(m.scriptManager(), nullptr);
         }},
        {"the stored port is taken, not the lock",
         setInteger(RawRecord::make("QRBManager"), "LibloHandlerPort", 9123)->setBool("QRBInputLocked", true),
         [](QRBManager& m) {
             EXPECT_EQ(m.serverPort(), 9123);
             EXPECT_EQ(m.localTarget()->targetSpec(), "osc.udp://127.0.0.1:9123");
             EXPECT_FALSE(m.isInputLocked());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto decoded = presets::decode<QRBManager>(Value(c.record));
        ASSERT_NE(decoded, nullptr);
        c.check(*decoded);
        decoded->close();
    }
}

TEST_F(ManagerTest, RefusesDamagedArchives) {
    const std::vector<std::pair<const char*, std::shared_ptr<RawRecord>>> cases = {
        {"targets that are not targets",
         RawRecord::make("QRBManager")->set("oscTargets", foundation::Array{Value("x")})},
        {"contexts that are not a dictionary", RawRecord::make("QRBManager")->set("LibloHandlerContexts", Value("x"))},
        {"a preset manager that is not one", RawRecord::make("QRBManager")->set("QRBPresetManager", Value(3))},
        {"variables that are not values",
         RawRecord::make("QRBManager")->set("variableValues", Value(foundation::Array{Value(1)}))},
        // Servers would take it modulo 65536 and listen on 4464.
        {"a port above 65535", setInteger(RawRecord::make("QRBManager"), "LibloHandlerPort", 70000)},
        {"a negative port", setInteger(RawRecord::make("QRBManager"), "LibloHandlerPort", -1)},
    };
    for (const auto& [what, record] : cases) {
        SCOPED_TRACE(what);
        EXPECT_THROW(presets::decode<QRBManager>(Value(record)), foundation::ArchiveError);
    }
}

// Port 0 would bind UDP and TCP to two different random ports: a manager without a port opens but
// does not start.
TEST_F(ManagerTest, RoutingDoesNotStartWithoutAPort) {
    auto decoded = presets::decode<QRBManager>(Value(RawRecord::make("QRBManager")));
    ASSERT_NE(decoded, nullptr);
    EXPECT_FALSE(decoded->start());
    EXPECT_FALSE(decoded->isRunning());
    ASSERT_TRUE(decoded->lastOSCError());
    EXPECT_EQ(*decoded->lastOSCError(), "OSC port 0 is outside 1 to 65535");
    decoded->close();
}

TEST_F(ManagerTest, OlderParametersChooseTheDefaultTarget) {
    auto hostTarget = [](const std::string& spec) {
        auto target = std::make_shared<QRBTarget>();
        target->setTargetSpec(spec);
        return target;
    };
    struct Case {
        const char* what;
        std::function<void(QRBManager&)> prepare;
        QRBTargetPtr given;
        long index;
        bool givenTakesTheSlot;
    };
    const std::vector<Case> cases = {
        {"an equal target", [&](QRBManager& m) { m.oscTargets()[4]->setTargetSpec(std::string("10.0.0.4:4000")); },
         hostTarget("10.0.0.4:4000"), 4, false},
        {"else the first service target",
         [&](QRBManager& m) {
             m.oscTargets()[6]->setService(foundation::NetService::create("local.", "_osc._udp", "Mixer"), false);
         },
         hostTarget("10.0.0.9:9"), 6, false},
        {"else the given one in the first free slot",
         [&](QRBManager& m) { m.oscTargets()[0]->setTargetSpec(std::string("10.0.0.1:1")); }, hostTarget("10.0.0.9:9"),
         1, true},
        {"else slot 0", [](QRBManager&) {}, nullptr, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto m = QRBManager::create();
        c.prepare(*m);
        m->setDefaultTargetIndex(9);
        m->fixDefaultTarget(c.given);
        EXPECT_EQ(m->defaultTargetIndex(), c.index);
        EXPECT_EQ(m->oscTargets()[size_t(c.index)] == c.given, c.givenTakesTheSlot);
    }

    foundation::Dictionary parameters{
        {"QRBParamsRoutes", foundation::Dictionary{{"r", Value(std::make_shared<firing::RecordingEventSource>())}}},
        {"QRBParamsKeyCombos", foundation::Dictionary{{"k", Value(std::make_shared<QRBKeyComboEventSource>())}}},
        {"QRBParamsScripts", foundation::Dictionary{{"s", Value(std::make_shared<QRBScriptEventSource>())}}},
        {"QRBParamsUpperPitch", Value(100)},
        {"QRBParamsRepeatNotes", Value(true)},
    };
    manager->fixParameters(parameters);
    EXPECT_EQ(manager->oscRoutes().size(), 1u);
    EXPECT_EQ(manager->keyEventManager()->countOfKeyCombos(), 1u);
    EXPECT_EQ(manager->scriptManager()->countOfAppleScripts(), 1u);
    EXPECT_EQ(manager->midiManager()->noteUpperPitch(), 100);
    EXPECT_EQ(manager->midiManager()->noteLowerPitch(), 0);
    EXPECT_TRUE(manager->midiManager()->shouldRepeatNotes());
    EXPECT_EQ(manager->midiManager()->inputMode(), 2);  // absent: left as it is
}

// ---- Bonjour -----------------------------------------------------------------------------------

foundation::ServiceIdentity osc(const std::string& name, const char* type = "_osc._udp") {
    return {name, type, "local."};
}
foundation::ResolvedService at(int port) { return {"studio.local.", {"10.0.0.7"}, port, {}}; }

TEST_F(ManagerTest, FoundServicesAreListedByNameAndOfferedToTargets) {
    struct Case {
        const char* what;
        std::function<void(QRBManager&)> prepare;
        std::vector<foundation::ServiceIdentity> found;
        // The service name each slot holds afterwards ("" for none), for the first four slots.
        std::vector<std::string> slots;
    };
    const std::vector<Case> cases = {
        {"the default target takes a new service", [](QRBManager&) {}, {osc("Mixer")}, {"Mixer", "", "", ""}},
        {"a default in another slot",
         [](QRBManager& m) { m.setDefaultTargetIndex(2); },
         {osc("Mixer")},
         {"", "", "Mixer", ""}},
        {"a later service replaces one the default target took by itself",
         [](QRBManager&) {},
         {osc("Mixer"), osc("Lights", "_osc._tcp")},
         {"Lights", "", "", ""}},
        {"a protected default is left alone",
         [](QRBManager& m) { m.oscTargets()[0]->setTargetSpec(std::string("10.0.0.1:1")); },
         {osc("Mixer")},
         {"", "Mixer", "", ""}},
        {"one that a target names already is not given again",
         [](QRBManager& m) {
             m.oscTargets()[3]->setService(foundation::NetService::create("local.", "_osc._udp", "Mixer"), true);
         },
         {osc("Mixer")},
         {"", "", "", "Mixer"}},
        {"the same name over the other transport is another service",
         [](QRBManager& m) {
             m.oscTargets()[3]->setService(foundation::NetService::create("local.", "_osc._udp", "Mixer"), true);
         },
         {osc("Mixer", "_osc._tcp")},
         {"Mixer", "", "", "Mixer"}},
        {"this application's own servers are never taken",
         [](QRBManager&) {},
         {osc("host:9000 (Quorbital)")},
         {"", "", "", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto backend = std::make_shared<platform::FakeBonjourBackend>();
        foundation::BonjourBackend::setShared(backend);
        auto m = QRBManager::create();
        m->setServerPort(testsupport::freePort());
        c.prepare(*m);
        for (const auto& identity : c.found) backend->addRemoteService(identity, at(9000));
        ASSERT_TRUE(m->start());
        // The remote services and this document's two publications.
        ASSERT_TRUE(runUntil([&] { return m->oscFoundServices().size() == c.found.size() + 2; }));
        for (size_t i = 0; i < c.slots.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(m->oscTargets()[i]->serviceName().value_or(""), c.slots[i]);
        }
        for (size_t i = 1; i < m->oscFoundServices().size(); ++i)
            EXPECT_LE(m->oscFoundServices()[i - 1]->name(), m->oscFoundServices()[i]->name());
        m->close();
    }
}

TEST_F(ManagerTest, ServicesThatMustNotBeUsedAutomaticallyAreOnlyListed) {
    auto browser = manager->oscUDPServiceBrowser();
    auto logic = foundation::NetService::create("local.", "_osc._udp", "Logic");
    ASSERT_TRUE(logic->setTXTRecordData({{"AppleLogic", foundation::Data{'1'}}}));
    manager->netServiceBrowserDidFindService(*browser, logic, false);
    EXPECT_EQ(manager->oscFoundServices().size(), 1u);
    for (const auto& target : manager->oscTargets()) EXPECT_FALSE(target->serviceName());

    // A service that goes takes its host and port from the target that named it.
    auto mixer = foundation::NetService::create("local.", "_osc._udp", "Mixer");
    manager->oscTargets()[5]->setService(mixer, true);
    manager->netServiceBrowserDidFindService(*browser, mixer, false);
    EXPECT_EQ(manager->oscFoundServices().size(), 2u);
    manager->netServiceBrowserDidRemoveService(*browser, mixer, false);
    EXPECT_EQ(manager->oscFoundServices(), std::vector<std::shared_ptr<foundation::NetService>>{logic});
    EXPECT_EQ(manager->oscTargets()[5]->serviceName(), "Mixer");
    EXPECT_FALSE(manager->oscTargets()[5]->host());

    foundation::LogCapture log;
    manager->netServiceBrowserDidNotSearch(*browser, foundation::netServicesErrorDictionary(-72000, "broken"));
    EXPECT_TRUE(manager->oscFoundServices().empty());
    EXPECT_TRUE(log.contains("NSNetServiceBrowser error occurred. Error dict = "));
}

// ---- Presets -----------------------------------------------------------------------------------

TEST_F(ManagerTest, APresetChangeRegistersItsAddressesAndSendsTheMappingMessageAsInput) {
    ASSERT_TRUE(manager->start());
    auto presets = manager->presetManager();
    auto second = std::make_shared<QRBPreset>();
    second->setName("Second");
    presets->addPresetsObject(second);

    // Without the option nothing is sent; the preset's address is registered all the same.
    auto b = QRBContext::create(std::string("/b"), manager);
    second->addObject(b);
    presets->setCurrentPreset(second);
    EXPECT_EQ(wii->currentPresetNumber(), 2);
    EXPECT_EQ(second->countOfObjects(), 1u);
    manager->setInputLocked(true);
    Sender sender(LO_UDP, port);
    sender.send(packet("/b", {Float(1)}));
    ASSERT_TRUE(runUntil([&] { return firingsOf("/b").size() == 1; }));
    manager->setInputLocked(false);

    // Switching the option on sends the message for the current preset at once; a switch sends
    // it for the new one. It is input: a press and a release that the mapping can map.
    presets->setShouldSendPresetNameOnPresetRestore(true);
    presets->setCurrentPreset(presets->presets()[0]);
    std::vector<std::string> mappingLines;
    for (const auto& line : monitoredMessages())
        if (line.rfind("/quorbital/mapping", 0) == 0) mappingLines.push_back(line);
    EXPECT_EQ(mappingLines, (std::vector<std::string>{"/quorbital/mapping ,sii \"Second\" 2 1",
                                                      "/quorbital/mapping ,sii \"Second\" 2 0",
                                                      "/quorbital/mapping ,sii \"Default Mapping\" 1 1",
                                                      "/quorbital/mapping ,sii \"Default Mapping\" 1 0"}));
    EXPECT_NE(second->contextWithName("/quorbital/mapping"), nullptr);
    QRBContextPtr mapping = manager->contextWithName("/quorbital/mapping");
    ASSERT_NE(mapping, nullptr);
    ASSERT_EQ(mapping->lastReceivedMessage()->arguments().size(), 3u);
    EXPECT_EQ(mapping->lastReceivedMessage()->arguments()[2]->int32Value(), 0);
}

// A document opened with the option on asks for the mapping message before its servers run: it
// goes once they do, its context is made, and nothing fails on the way.
TEST_F(ManagerTest, TheMappingMessageAskedForBeforeRoutingStartsIsSentOnceItHas) {
    foundation::LogCapture log;
    auto presets = manager->presetManager();
    presets->setShouldSendPresetNameOnPresetRestore(true);
    EXPECT_EQ(manager->contextWithName("/quorbital/mapping"), nullptr);
    ASSERT_TRUE(manager->start());
    QRBContextPtr mapping = manager->contextWithName("/quorbital/mapping");
    ASSERT_NE(mapping, nullptr);
    ASSERT_NE(mapping->lastReceivedMessage(), nullptr);
    const auto& arguments = mapping->lastReceivedMessage()->arguments();
    ASSERT_EQ(arguments.size(), 3u);
    EXPECT_EQ(arguments[0]->stringValue(), presets->currentPreset()->name());
    EXPECT_EQ(arguments[2]->int32Value(), 0);
    EXPECT_FALSE(log.contains(kQRBServerSendError)) << ::testing::PrintToString(log.lines());
    // Sent once: a second start sends nothing more.
    manager->stop();
    const auto last = mapping->lastReceivedMessage();
    ASSERT_TRUE(manager->start());
    EXPECT_EQ(mapping->lastReceivedMessage(), last);
}

// ---- Threads -----------------------------------------------------------------------------------

// Starts and stops routing again and again while another thread sends to the port: the listeners
// come and go under traffic (what the thread sanitizer build watches).
TEST_F(ManagerTest, StartStopCyclesUnderTraffic) {
    std::atomic<bool> sending{true};
    std::thread traffic([&] {
        Sender sender(LO_UDP, port);
        const auto bytes = packet("/traffic", {Float(0.5)});
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (sending.load() && std::chrono::steady_clock::now() < end) {
            sender.send(bytes);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    size_t received = 0;
    for (int cycle = 0; cycle < 20; ++cycle) {
        ASSERT_TRUE(manager->start()) << cycle;
        runUntil([&] { return firingsOf("/traffic").size() > received; }, 2.0);
        received = firingsOf("/traffic").size();
        manager->stop();
    }
    sending.store(false);
    traffic.join();
    EXPECT_GT(received, 0u);
}

}  // namespace
