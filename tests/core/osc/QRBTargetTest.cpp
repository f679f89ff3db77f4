// OSC targets: destinations as typed and as shown, the formatter of the destination field,
// undoable edits, Bonjour services found, resolved and lost, the address made for sending (host
// names looked up without holding the main loop), equality and the archive with older class names.

#include "core/support/FiringTestSupport.h"
#include "core/support/PresetTestSupport.h"

#include "core/osc/QRBTarget.h"
#include "core/osc/QRBTargetSpecFormatter.h"
#include "core/osc/QRBTransport.h"
#include "foundation/Log.h"
#include "foundation/NotificationCenter.h"
#include "foundation/RunLoop.h"
#include "foundation/UndoManager.h"
#include "platform/FakeBonjourBackend.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using foundation::Value;
using presets::RawRecord;

namespace {

QRBTargetPtr targetWithSpec(const std::string& spec) {
    auto target = std::make_shared<QRBTarget>();
    target->setTargetSpec(spec);
    return target;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---- Destinations ------------------------------------------------------------------------------

TEST(QRBTargetSpec, TypedDestinationsAreReadAndShown) {
    struct Case {
        const char* text;
        // Accepted: the transport, host, port and the destination shown afterwards.
        int protocol;
        const char* host;
        int32_t port;
        const char* shown;
        // Refused: the error text.
        const char* error;
    };
    const char* needsHostAndPort = kQRBOSCAddressNeedsHostAndPort;
    const Case cases[] = {
        {"10.0.0.1:8000", LO_UDP, "10.0.0.1", 8000, "osc.udp://10.0.0.1:8000", nullptr},
        {"osc.udp://10.0.0.1:8000", LO_UDP, "10.0.0.1", 8000, "osc.udp://10.0.0.1:8000", nullptr},
        {"osc.tcp://10.0.0.2:9000", LO_TCP, "10.0.0.2", 9000, "osc.tcp://10.0.0.2:9000", nullptr},
        {"osc://10.0.0.3:7000", LO_UDP, "10.0.0.3", 7000, "osc.udp://10.0.0.3:7000", nullptr},
        {"[::1]:8000", LO_UDP, "::1", 8000, "osc.udp://[::1]:8000", nullptr},
        {"osc.tcp://[fe80::1]:1", LO_TCP, "fe80::1", 1, "osc.tcp://[fe80::1]:1", nullptr},
        {"studio.local:65535", LO_UDP, "studio.local", 65535, "osc.udp://studio.local:65535", nullptr},
        {"10.0.0.1", 0, nullptr, 0, nullptr, needsHostAndPort},
        {"10.0.0.1:", 0, nullptr, 0, nullptr, needsHostAndPort},
        {":8000", 0, nullptr, 0, nullptr, needsHostAndPort},
        {"10.0.0.1:0", 0, nullptr, 0, nullptr, needsHostAndPort},
        {"10.0.0.1:65536", 0, nullptr, 0, nullptr, needsHostAndPort},
        {"10.0.0.1:999999999999999999999999999", 0, nullptr, 0, nullptr, needsHostAndPort},
        {"osc.udp://", 0, nullptr, 0, nullptr, needsHostAndPort},
        {"[::1:8000", 0, nullptr, 0, nullptr, needsHostAndPort},
        // A transport a target can't send over is refused when typed, not when sending.
        {"osc.unix://10.0.0.1:8000", 0, nullptr, 0, nullptr, QRBTarget::kNeedsUDPOrTCP},
        {"osc.unix://localhost:1", 0, nullptr, 0, nullptr, QRBTarget::kNeedsUDPOrTCP},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto undo = std::make_shared<foundation::UndoManager>();
        auto target = targetWithSpec("10.9.9.9:9");
        target->setUndoManager(undo);

        std::string error;
        std::optional<QRBTarget::Spec> spec = QRBTarget::parseTargetSpec(c.text, &error);
        std::optional<std::string> value;
        std::string formatterError;
        const bool formatterAccepts = QRBTargetSpecFormatter::getObjectValue(&value, c.text, &formatterError);
        target->setTargetSpec(std::string(c.text));
        if (c.error) {
            EXPECT_FALSE(spec);
            EXPECT_EQ(error, c.error);
            EXPECT_FALSE(formatterAccepts);
            EXPECT_EQ(formatterError, c.error);
            EXPECT_FALSE(value);
            // The target keeps its destination, and no empty undo step is left behind.
            EXPECT_EQ(target->targetSpec(), "osc.udp://10.9.9.9:9");
            EXPECT_FALSE(undo->canUndo());
        } else {
            ASSERT_TRUE(spec);
            EXPECT_EQ(spec->protocol, c.protocol);
            EXPECT_EQ(spec->host, c.host);
            EXPECT_EQ(spec->port, c.port);
            EXPECT_TRUE(formatterAccepts);
            EXPECT_EQ(value, c.text);
            EXPECT_EQ(target->proto(), c.protocol);
            EXPECT_EQ(target->host(), c.host);
            EXPECT_EQ(target->port(), c.port);
            EXPECT_EQ(target->targetSpec(), c.shown);
            EXPECT_TRUE(target->isProtected());
            EXPECT_TRUE(target->isConfigured());
            EXPECT_EQ(target->serviceType(), c.protocol == LO_TCP ? "_osc._tcp" : "_osc._udp");
            EXPECT_TRUE(undo->canUndo());
        }
    }
    // Empty text is accepted by the field and sets nothing.
    std::optional<std::string> value;
    EXPECT_TRUE(QRBTargetSpecFormatter::getObjectValue(&value, "", nullptr));
    EXPECT_FALSE(value);
    EXPECT_FALSE(QRBTarget::parseTargetSpec(""));
}

TEST(QRBTargetSpec, AnEmptyDestinationClearsTheTarget) {
    auto target = targetWithSpec("osc.tcp://10.0.0.2:9000");
    for (const std::optional<std::string>& empty : {std::optional<std::string>(""), std::optional<std::string>()}) {
        target->setTargetSpec("osc.tcp://10.0.0.2:9000");
        target->setTargetSpec(empty);
        EXPECT_FALSE(target->isProtected());
        EXPECT_EQ(target->proto(), LO_UDP);
        EXPECT_FALSE(target->host());
        EXPECT_EQ(target->port(), 0);
        EXPECT_FALSE(target->targetSpec());
        EXPECT_FALSE(target->isConfigured());
    }
}

TEST(QRBTargetSpec, TheFieldHighlightsTheTransportOfAServiceOnly) {
    struct Case {
        std::string text;
        std::optional<size_t> start;
    };
    const std::string dash = "\u2014";
    const Case cases[] = {
        {"Mixer " + dash + " UDP", 6},
        {"Mixer " + dash + " (iCloud) TCP", 6},
        {"A " + dash + " B " + dash + " UDP", 2 + dash.size() + 3},  // the last dash
        {"Mixer " + dash + " udp", std::nullopt},
        {"Mixer - UDP", std::nullopt},
        {"osc.udp://10.0.0.1:8000", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(QRBTargetSpecFormatter::highlightedPartStart(c.text), c.start);
        EXPECT_EQ(QRBTargetSpecFormatter::stringForObjectValue(c.text), c.text);
    }
}

// ---- Undo --------------------------------------------------------------------------------------

TEST(QRBTargetUndo, EditsAreUndoneAndRedone) {
    auto undo = std::make_shared<foundation::UndoManager>();
    auto target = targetWithSpec("10.0.0.1:8000");
    target->setUndoManager(undo);

    target->setTargetSpec("osc.tcp://10.0.0.2:9000");
    undo->closeEventGroup();
    undo->undo();
    EXPECT_EQ(target->targetSpec(), "osc.udp://10.0.0.1:8000");
    EXPECT_TRUE(target->isProtected());
    undo->redo();
    EXPECT_EQ(target->targetSpec(), "osc.tcp://10.0.0.2:9000");

    // Clearing an empty target's protection: undo gives both back.
    auto empty = std::make_shared<QRBTarget>();
    empty->setUndoManager(undo);
    empty->setTargetSpec("10.0.0.3:3000");
    undo->closeEventGroup();
    undo->undo();
    EXPECT_FALSE(empty->targetSpec());
    EXPECT_FALSE(empty->isProtected());

    target->setMemo("Stage left");
    undo->closeEventGroup();
    EXPECT_EQ(undo->undoActionName(), QRBTarget::kEditMemoActionName);
    target->setMemo("Stage left");  // unchanged: nothing registered
    undo->closeEventGroup();
    undo->undo();
    EXPECT_FALSE(target->memo());
    EXPECT_FALSE(undo->canUndo() && undo->undoActionName() == QRBTarget::kEditMemoActionName);

    target->setProtected(false);
    undo->closeEventGroup();
    undo->undo();
    EXPECT_TRUE(target->isProtected());
}

TEST(QRBTargetUndo, ChangesAreAnnouncedOnceAGroup) {
    auto target = targetWithSpec("10.0.0.1:8000");
    std::vector<std::string> heard;
    std::vector<foundation::ObservationToken> tokens;
    for (const char* key : {QRBTarget::kHostKey, QRBTarget::kPortKey, QRBTarget::kTargetSpecKey, QRBTarget::kMemoKey})
        tokens.push_back(target->addObserver(
            key, [&heard](const foundation::KeyValueChange& change) { heard.push_back(change.key); }));
    target->setTargetSpec("10.0.0.2:9000");
    EXPECT_EQ(heard, (std::vector<std::string>{"targetSpec", "port", "host"}));
    heard.clear();
    target->setMemo("m");
    EXPECT_EQ(heard, std::vector<std::string>{"memo"});
}

// ---- Bonjour -----------------------------------------------------------------------------------

class TargetBonjourTest : public ::testing::Test {
protected:
    void SetUp() override { foundation::BonjourBackend::setShared(bonjour); }
    void TearDown() override { foundation::BonjourBackend::setShared(nullptr); }

    bool runUntil(const std::function<bool()>& predicate) {
        return foundation::RunLoop::main().runUntil(predicate, 10.0);
    }
    void settle() { foundation::RunLoop::main().runUntil(foundation::RunLoop::main().now() + 0.1); }

    std::shared_ptr<platform::FakeBonjourBackend> bonjour = std::make_shared<platform::FakeBonjourBackend>();
    foundation::ServiceIdentity mixer{"Mixer", "_osc._udp", "local."};
};

TEST_F(TargetBonjourTest, AServiceIsResolvedToItsHostAndPortLostAndFoundAgain) {
    bonjour->addRemoteService(mixer, {"127.0.0.1", {"127.0.0.1"}, 9000, {}});
    auto target = targetWithSpec("10.0.0.1:1");
    int resolvedNotes = 0;
    auto observer = foundation::NotificationCenter::defaultCenter().addObserver(
        kQRBTargetDidResolveServiceNotification, foundation::NotificationObject(target),
        [&](const foundation::Notification&) { ++resolvedNotes; });

    target->setService(foundation::NetService::create("local.", "_osc._udp", "Mixer"), true);
    // Name, domain and protocol now; host and port when it has resolved.
    EXPECT_TRUE(target->isResolvingService());
    EXPECT_EQ(target->serviceName(), "Mixer");
    EXPECT_EQ(target->serviceDomain(), "local.");
    EXPECT_EQ(target->host(), "10.0.0.1");
    EXPECT_EQ(target->targetSpec(), "Mixer \u2014 UDP");
    ASSERT_TRUE(runUntil([&] { return !target->isResolvingService(); }));
    EXPECT_EQ(target->host(), "127.0.0.1");
    EXPECT_EQ(target->port(), 9000);
    EXPECT_FALSE(target->service());
    EXPECT_EQ(resolvedNotes, 1);
    EXPECT_TRUE(target->isReadyToSendMessages());

    // Lost: no host or port until it comes back.
    auto found = foundation::NetService::create("local.", "_osc._udp", "Mixer");
    target->notifyServiceLost(foundation::NetService::create("local.", "_osc._tcp", "Mixer"));  // another one
    EXPECT_EQ(target->port(), 9000);
    target->notifyServiceLost(found);
    EXPECT_FALSE(target->host());
    EXPECT_EQ(target->port(), 0);
    EXPECT_EQ(target->serviceName(), "Mixer");
    EXPECT_FALSE(target->isReadyToSendMessages());
    target->notifyServiceFound(found);
    ASSERT_TRUE(runUntil([&] { return target->port() == 9000; }));
    EXPECT_EQ(resolvedNotes, 2);
}

TEST_F(TargetBonjourTest, AFailedResolutionLeavesTheTargetAloneUntilItsDestinationIsSetAgain) {
    bonjour->setFailsResolving(true);
    bonjour->addRemoteService(mixer, {"127.0.0.1", {"127.0.0.1"}, 9000, {}});
    auto target = std::make_shared<QRBTarget>();
    auto service = foundation::NetService::create("local.", "_osc._udp", "Mixer");
    target->setService(service, false);
    ASSERT_TRUE(runUntil([&] { return !target->service(); }));
    EXPECT_TRUE(target->isResolvingService());
    EXPECT_FALSE(target->isProtected());

    bonjour->setFailsResolving(false);
    target->notifyServiceFound(service);
    settle();
    EXPECT_FALSE(target->service());
    EXPECT_EQ(target->port(), 0);
    EXPECT_FALSE(target->isReadyToSendMessages());
    EXPECT_EQ(target->endpoint()->statusDescription(), std::string("Mixer \u2014 UDP") + QRBTarget::kUnavailableSuffix);

    target->setService(service, false);
    ASSERT_TRUE(runUntil([&] { return target->port() == 9000; }));
}

TEST_F(TargetBonjourTest, TwoTargetsNamingOneServiceBothResolveIt) {
    bonjour->addRemoteService(mixer, {"127.0.0.1", {"127.0.0.1"}, 9000, {}});
    auto shared = foundation::NetService::create("local.", "_osc._udp", "Mixer");
    auto a = std::make_shared<QRBTarget>();
    auto b = std::make_shared<QRBTarget>();
    a->setService(shared, false);
    b->setService(shared, false);
    ASSERT_TRUE(runUntil([&] { return a->port() == 9000 && b->port() == 9000; }));
}

TEST_F(TargetBonjourTest, UndoGivesTheServiceBackProtected) {
    bonjour->addRemoteService(mixer, {"127.0.0.1", {"127.0.0.1"}, 9000, {}});
    auto undo = std::make_shared<foundation::UndoManager>();
    auto target = std::make_shared<QRBTarget>();
    target->setUndoManager(undo);
    target->setService(foundation::NetService::create("local.", "_osc._udp", "Mixer"), true);
    undo->closeEventGroup();
    ASSERT_TRUE(runUntil([&] { return target->port() == 9000; }));

    target->setTargetSpec("10.0.0.1:8000");
    undo->closeEventGroup();
    undo->undo();
    EXPECT_EQ(target->serviceName(), "Mixer");
    EXPECT_TRUE(target->isProtected());
    ASSERT_TRUE(runUntil([&] { return target->port() == 9000; }));
    EXPECT_EQ(target->host(), "127.0.0.1");
}

TEST(QRBTargetService, ServicesAreShownAndMatchedByNameDomainAndTransport) {
    struct Case {
        const char* domain;
        const char* type;
        const char* shown;
    };
    const Case cases[] = {
        {"local.", "_osc._udp", "Mixer \u2014 UDP"},
        {"12345.members.btmm.icloud.com.", "_osc._udp", "Mixer \u2014 (iCloud) UDP"},
        {"studio.example.", "_osc._tcp", "Mixer \u2014 (studio.example.) TCP"},
    };
    auto pending = std::make_shared<platform::FakeBonjourBackend>();
    pending->setLeavesResolutionsPending(true);
    foundation::BonjourBackend::setShared(pending);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        auto target = std::make_shared<QRBTarget>();
        target->setService(foundation::NetService::create(c.domain, c.type, "Mixer"), false);
        EXPECT_EQ(target->targetSpec(), c.shown);
        EXPECT_TRUE(target->isConfigured());
        EXPECT_TRUE(target->matchesService(*foundation::NetService::create(c.domain, c.type, "Mixer")));
        EXPECT_FALSE(target->matchesService(*foundation::NetService::create(c.domain, c.type, "Lights")));
        EXPECT_FALSE(target->matchesService(*foundation::NetService::create("other.", c.type, "Mixer")));
        const char* otherType = std::string(c.type) == "_osc._udp" ? "_osc._tcp" : "_osc._udp";
        EXPECT_FALSE(target->matchesService(*foundation::NetService::create(c.domain, otherType, "Mixer")));
        EXPECT_EQ(target->serviceType(), c.type);
    }
    foundation::BonjourBackend::setShared(nullptr);
}

// ---- Sending -----------------------------------------------------------------------------------

TEST(QRBTargetAddress, TheAddressIsMadeOnDemandAndKeptUntilTheDestinationChanges) {
    auto target = std::make_shared<QRBTarget>();
    EXPECT_FALSE(target->isConfigured());
    EXPECT_EQ(target->oscAddress(), nullptr);
    ASSERT_TRUE(target->endpoint());
    EXPECT_EQ(target->endpoint()->categoryName(), "OSC Output");
    EXPECT_EQ(target->endpoint()->direction(), QRBMessageEndpoint::kDirectionOutgoing);
    EXPECT_EQ(target->endpoint()->statusDescription(), " (unavailable)");

    target->setTargetSpec("osc.tcp://127.0.0.1:9000");
    lo_address address = target->oscAddress();
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(lo_address_get_protocol(address), LO_TCP);
    EXPECT_STREQ(lo_address_get_hostname(address), "127.0.0.1");
    EXPECT_STREQ(lo_address_get_port(address), "9000");
    EXPECT_EQ(target->oscAddress(), address);  // kept
    EXPECT_EQ(target->endpoint()->statusDescription(), "osc.tcp://127.0.0.1:9000");
    target->setMemo("Lights");
    EXPECT_EQ(target->endpoint()->statusDescription(), "Lights");

    target->setTargetSpec("[::1]:9001");
    address = target->oscAddress();
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(lo_address_get_protocol(address), LO_UDP);
    EXPECT_STREQ(lo_address_get_hostname(address), "::1");
}

// The resolver of these tests: answers as scripted, once released. Lookup threads share its
// state, so that one finishing late finds it still there.
class ScriptedResolver {
public:
    ScriptedResolver() {
        QRBTarget::setHostResolver([state = state_](const std::string&, int, std::string* error) {
            std::unique_lock lock(state->mutex);
            ++state->calls;
            state->released.wait(lock, [&] { return state->open; });
            if (state->answer) return state->answer;
            *error = "no such host";
            return std::optional<std::string>();
        });
    }
    ~ScriptedResolver() {
        release(std::nullopt);
        QRBTarget::setHostResolver(nullptr);
    }
    void release(std::optional<std::string> answer) {
        std::lock_guard lock(state_->mutex);
        state_->answer = std::move(answer);
        state_->open = true;
        state_->released.notify_all();
    }
    int calls() {
        std::lock_guard lock(state_->mutex);
        return state_->calls;
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable released;
        bool open = false;
        int calls = 0;
        std::optional<std::string> answer;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

TEST(QRBTargetAddress, ASlowHostNameHoldsTheMainLoopOnlyBriefly) {
    ScriptedResolver resolver;
    auto target = targetWithSpec("slow.example:9000");

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(target->oscAddress(), nullptr);
    EXPECT_LT(secondsSince(start), QRBTarget::kHostLookupWait + 1.0);
    // While the lookup is under way, sends fail at once and start no other lookup.
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) EXPECT_EQ(target->oscAddress(), nullptr);
    EXPECT_LT(secondsSince(start), 0.5);
    EXPECT_EQ(resolver.calls(), 1);
    EXPECT_EQ(target->endpoint()->statusDescription(),
              std::string("osc.udp://slow.example:9000") + QRBTarget::kUnavailableSuffix);

    // The answer makes the address, from the main loop.
    resolver.release("127.0.0.1");
    ASSERT_TRUE(foundation::RunLoop::main().runUntil([&] { return target->isReadyToSendMessages(); }, 10.0));
    EXPECT_STREQ(lo_address_get_hostname(target->oscAddress()), "127.0.0.1");
    EXPECT_EQ(target->host(), "slow.example");
    EXPECT_EQ(target->endpoint()->statusDescription(), "osc.udp://slow.example:9000");
    EXPECT_EQ(resolver.calls(), 1);
}

TEST(QRBTargetAddress, AFailedLookupIsTriedAgainOnlyAfterAWhile) {
    firing::VirtualMainLoop loop;
    ScriptedResolver resolver;
    resolver.release(std::nullopt);
    auto target = targetWithSpec("nowhere.invalid:9000");
    foundation::LogCapture log;
    EXPECT_EQ(target->oscAddress(), nullptr);
    EXPECT_TRUE(log.contains("OSC target host nowhere.invalid could not be resolved: no such host"));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(target->oscAddress(), nullptr);
    EXPECT_EQ(resolver.calls(), 1);

    loop.advance(QRBTarget::kHostLookupRetryInterval + 0.1);
    resolver.release("127.0.0.1");
    EXPECT_NE(target->oscAddress(), nullptr);
    EXPECT_EQ(resolver.calls(), 2);

    // A new destination is looked up at once.
    target->setTargetSpec("elsewhere.invalid:9000");
    EXPECT_NE(target->oscAddress(), nullptr);
    EXPECT_EQ(resolver.calls(), 3);
}

TEST(QRBTargetAddress, ALookupThatFailsAfterItsWaitIsLoggedOnceWhoeverSeesItFirst) {
    for (bool sendSeesItFirst : {true, false}) {
        SCOPED_TRACE(sendSeesItFirst ? "a send sees the failure first" : "the lookup's announcement comes first");
        ScriptedResolver resolver;
        auto target = targetWithSpec("late.invalid:9000");
        foundation::LogCapture log;
        EXPECT_EQ(target->oscAddress(), nullptr);  // waited, still under way
        resolver.release(std::nullopt);
        // Lets the lookup's thread finish; its announcement waits on the main loop.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (sendSeesItFirst) {
            EXPECT_EQ(target->oscAddress(), nullptr);
        }
        foundation::RunLoop::main().runUntil(foundation::RunLoop::main().now() + 0.1);
        EXPECT_EQ(target->oscAddress(), nullptr);
        const auto lines = log.lines();
        EXPECT_EQ(
            std::count(lines.begin(), lines.end(), "OSC target host late.invalid could not be resolved: no such host"),
            1)
            << ::testing::PrintToString(lines);
    }
}

TEST(QRBTargetAddress, TheSystemsResolverKnowsLocalhostAndNumericHostsNeedNone) {
    auto byName = targetWithSpec("localhost:9000");
    ASSERT_TRUE(foundation::RunLoop::main().runUntil([&] { return byName->isReadyToSendMessages(); }, 10.0));
    const std::string host = lo_address_get_hostname(byName->oscAddress());
    EXPECT_TRUE(host == "127.0.0.1" || host == "::1") << host;

    ScriptedResolver resolver;  // never released: numeric hosts must not ask it
    for (const char* spec : {"127.0.0.1:9000", "[::1]:9000", "osc.tcp://10.1.2.3:1"}) {
        SCOPED_TRACE(spec);
        EXPECT_NE(targetWithSpec(spec)->oscAddress(), nullptr);
    }
    EXPECT_EQ(resolver.calls(), 0);
}

// ---- Equality ----------------------------------------------------------------------------------

TEST(QRBTargetEquality, TargetsAreEqualByServiceOrByHostAndPort) {
    auto pending = std::make_shared<platform::FakeBonjourBackend>();
    pending->setLeavesResolutionsPending(true);
    foundation::BonjourBackend::setShared(pending);
    auto service = [](const char* name, const char* domain) {
        auto target = std::make_shared<QRBTarget>();
        target->setService(foundation::NetService::create(domain, "_osc._udp", name), false);
        return target;
    };
    struct Case {
        const char* what;
        QRBTargetPtr a, b;
        bool equal;
    };
    const Case cases[] = {
        {"same host and port", targetWithSpec("10.0.0.1:8000"), targetWithSpec("10.0.0.1:8000"), true},
        {"the transport does not count", targetWithSpec("10.0.0.1:8000"), targetWithSpec("osc.tcp://10.0.0.1:8000"),
         true},
        {"another port", targetWithSpec("10.0.0.1:8000"), targetWithSpec("10.0.0.1:8001"), false},
        {"another host", targetWithSpec("10.0.0.1:8000"), targetWithSpec("10.0.0.2:8000"), false},
        {"same service", service("Mixer", "local."), service("Mixer", "local."), true},
        {"another domain", service("Mixer", "local."), service("Mixer", "other."), false},
        {"a service and a host", service("Mixer", "local."), targetWithSpec("10.0.0.1:8000"), false},
        {"two empty targets", std::make_shared<QRBTarget>(), std::make_shared<QRBTarget>(), true},
        {"an empty one and a host", std::make_shared<QRBTarget>(), targetWithSpec("10.0.0.1:8000"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.a->isEqualToTarget(*c.b), c.equal);
        EXPECT_TRUE(c.a->isEqualToTarget(*c.a));
    }
    foundation::BonjourBackend::setShared(nullptr);
}

// ---- Archive -----------------------------------------------------------------------------------

TEST(QRBTargetArchive, TargetsRoundTripAndOlderClassNamesDecodeAsTargets) {
    auto host = targetWithSpec("osc.tcp://10.0.0.2:9000");
    host->setMemo("Desk");
    auto decoded = presets::decode<QRBTarget>(Value(host));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->targetSpec(), "osc.tcp://10.0.0.2:9000");
    EXPECT_EQ(decoded->memo(), "Desk");
    EXPECT_TRUE(decoded->isProtected());
    EXPECT_TRUE(decoded->isEqualToTarget(*host));
    // Not numbered until a manager numbers it.
    EXPECT_EQ(decoded->reservedIndex(), QRBTarget::kUnnumbered);

    struct Case {
        const char* what;
        std::shared_ptr<RawRecord> record;
        std::function<void(const QRBTarget&)> check;
    };
    const Case cases[] = {
        {"a host target of an older version",
         RawRecord::make("QRBHostInfo")->set("QRBHostInfoHost", Value("10.0.0.5"))->set("QRBHostInfoPort", Value(5000)),
         [](const QRBTarget& t) {
             EXPECT_EQ(t.targetSpec(), "osc.udp://10.0.0.5:5000");  // protocol 0 counts as UDP
             EXPECT_EQ(t.proto(), 0);
             EXPECT_FALSE(t.isProtected());
         }},
        {"a service target: no host, no port, the local domain",
         RawRecord::make("QRBDefaultHostInfo")
             ->set("QRBHostInfoServiceName", Value("Mixer"))
             ->set("QRBHostInfoHost", Value("stale.local"))
             ->set("QRBHostInfoPort", Value(7))
             ->set("QRBHostInfoProto", Value(4))
             ->setBool("protected", true),
         [](const QRBTarget& t) {
             EXPECT_EQ(t.serviceName(), "Mixer");
             EXPECT_EQ(t.serviceDomain(), "local.");
             EXPECT_FALSE(t.host());
             EXPECT_EQ(t.port(), 0);
             EXPECT_EQ(t.targetSpec(), "Mixer \u2014 TCP");
             EXPECT_TRUE(t.isProtected());
         }},
        {"a transport other than UDP and TCP reads as UDP",
         RawRecord::make("QRBTarget")
             ->set("QRBHostInfoHost", Value("10.0.0.6"))
             ->set("QRBHostInfoPort", Value(6000))
             ->set("QRBHostInfoProto", Value(2)),
         [](const QRBTarget& t) {
             EXPECT_EQ(t.proto(), LO_UDP);
             EXPECT_EQ(t.targetSpec(), "osc.udp://10.0.0.6:6000");
             EXPECT_EQ(t.serviceType(), "_osc._udp");
         }},
        {"a port no transport has",
         RawRecord::make("QRBTarget")->set("QRBHostInfoHost", Value("10.0.0.7"))->set("QRBHostInfoPort", Value(70000)),
         [](const QRBTarget& t) {
             QRBTarget& target = const_cast<QRBTarget&>(t);
             EXPECT_TRUE(target.isConfigured());
             EXPECT_EQ(target.oscAddress(), nullptr);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto target = presets::decode<QRBTarget>(Value(c.record));
        ASSERT_TRUE(target);
        c.check(*target);
    }
}

TEST(QRBTargetArchive, KeysAreWrittenUnderTheirNames) {
    testsupport::TempDir dir;
    auto pending = std::make_shared<platform::FakeBonjourBackend>();
    pending->setLeavesResolutionsPending(true);
    foundation::BonjourBackend::setShared(pending);
    auto service = std::make_shared<QRBTarget>();
    service->setService(foundation::NetService::create("local.", "_osc._udp", "Mixer"), false);
    foundation::BonjourBackend::setShared(nullptr);
    const std::string script = R"(
import plistlib, sys
a = plistlib.load(open(sys.argv[1], 'rb'))
objs = a['$objects']
for o in objs:
    if isinstance(o, dict) and '$class' in o and objs[o['$class'].data]['$classname'] == 'QRBTarget':
        print(' '.join(k for k in o if k != '$class'))
)";
    struct Case {
        QRBTargetPtr target;
        const char* keys;
    };
    const Case cases[] = {
        {targetWithSpec("10.0.0.1:8000"), "memo QRBHostInfoProto protected QRBHostInfoHost QRBHostInfoPort\n"},
        {service, "memo QRBHostInfoProto protected QRBHostInfoServiceName QRBHostInfoServiceDomain\n"},
    };
    for (const auto& c : cases) {
        const std::string path = dir.file("target.archive");
        foundation::KeyedArchiver::archiveRootObjectToFile(Value(c.target), path);
        auto result = testsupport::runPython(script, path);
        ASSERT_EQ(result.exitCode, 0) << result.output;
        EXPECT_EQ(result.output, c.keys);
    }
}

}  // namespace
