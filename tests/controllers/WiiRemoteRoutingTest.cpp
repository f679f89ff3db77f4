// Wii remote input reaching the routing: each report of a connected remote leaves as exactly one
// OSC bundle with the immediate time tag for the document's loopback port (an empty report as an
// empty bundle), nothing while routing is stopped or the slot disabled, and a button press comes
// back into the document as input. The "/quorbital/wii/..." commands reply to the default target.

#include "controllers/QRBWiiRemote.h"
#include "controllers/QRBWiiRemoteManager.h"
#include "controllers/devices/DeviceLayers.h"
#include "core/QRBPreferences.h"
#include "core/osc/QRBTarget.h"
#include "core/support/ManagerTestSupport.h"
#include "core/support/TargetServer.h"
#include "foundation/RunLoop.h"
#include "platform/wii/FakeWiiRemoteBackend.h"

#include <gtest/gtest.h>
#include <lo/lo.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr double kWait = 5.0;

devices::WiiEvent buttonEvent(uint32_t code, bool up) {
    devices::WiiEvent event;
    event.type = 0;
    event.button = code;
    event.buttonIsUp = up;
    return event;
}
constexpr uint32_t kButtonA = 0x0008;

// A liblo server on an ephemeral loopback port standing for the document's own, recording the
// bundles that arrive with their time tags and the messages inside each.
class BundleServer {
public:
    struct Bundle {
        lo_timetag tag;
        std::vector<std::string> messages;       // "path ,types"
        std::vector<std::vector<float>> values;  // each message's float arguments
    };

    explicit BundleServer(int protocol = LO_UDP) : protocol_(protocol) {
        server_ = lo_server_new_with_proto(nullptr, protocol, [](int, const char*, const char*) {});
        if (!server_) return;
        lo_server_add_bundle_handlers(server_, &BundleServer::bundleStart, &BundleServer::bundleEnd, this);
        lo_server_add_method(server_, nullptr, nullptr, &BundleServer::message, this);
    }
    ~BundleServer() {
        if (server_) lo_server_free(server_);
    }
    BundleServer(const BundleServer&) = delete;
    BundleServer& operator=(const BundleServer&) = delete;

    bool isValid() const { return server_ != nullptr; }
    std::string url() const {
        return std::string(protocol_ == LO_TCP ? "osc.tcp" : "osc.udp") +
               "://127.0.0.1:" + std::to_string(lo_server_get_port(server_));
    }
    void poll() {
        for (int i = 0; i < 100 && lo_server_recv_noblock(server_, 0) > 0; ++i) {}
    }

    std::vector<Bundle> bundles;
    // Messages that came outside any bundle.
    std::vector<std::string> loose;

private:
    static int bundleStart(lo_timetag tag, void* user) {
        auto* self = static_cast<BundleServer*>(user);
        self->bundles.push_back({tag, {}});
        self->inBundle_ = true;
        return 0;
    }
    static int bundleEnd(void* user) {
        static_cast<BundleServer*>(user)->inBundle_ = false;
        return 0;
    }
    static int message(const char* path, const char* types, lo_arg** argv, int argc, lo_message, void* user) {
        auto* self = static_cast<BundleServer*>(user);
        std::string text = std::string(path) + " ," + types;
        if (self->inBundle_) {
            std::vector<float> values;
            for (int i = 0; i < argc; ++i) {
                float value = NAN;
                if (types[i] == 'f') std::memcpy(&value, static_cast<const void*>(argv[i]), sizeof value);
                values.push_back(value);
            }
            self->bundles.back().messages.push_back(std::move(text));
            self->bundles.back().values.push_back(std::move(values));
        } else
            self->loose.push_back(std::move(text));
        return 0;
    }

    int protocol_;
    lo_server server_ = nullptr;
    bool inBundle_ = false;
};

class WiiReportFixture : public ::testing::Test {
protected:
    void SetUp() override {
        QRBPreferences::sharedPreferences().setWiiAddressMappings(std::nullopt);
        devices::DeviceLayers layers;
        layers.wiiRemotes = backend;
        devices::DeviceLayers::install(layers);
        ASSERT_TRUE(server.isValid());
        manager = std::make_shared<QRBWiiRemoteManager>();
        manager->setTargetURL(server.url());
        remote = backend->plugRemote("00:1f:32:00:00:01");
        slot = manager->wiimoteWithSlot(1);
        ASSERT_TRUE(foundation::RunLoop::main().runUntil([&] { return slot->connected(); }, kWait));
    }
    void TearDown() override {
        manager.reset();
        devices::DeviceLayers::reset();
        QRBPreferences::sharedPreferences().setWiiAddressMappings(std::nullopt);
    }
    // Runs the loop until `count` bundles arrived in all, or the deadline.
    bool receive(size_t count) {
        return foundation::RunLoop::main().runUntil(
            [&] {
                server.poll();
                return server.bundles.size() >= count;
            },
            kWait);
    }
    // Runs the loop a little, taking in whatever arrives.
    void settle() {
        auto& loop = foundation::RunLoop::main();
        const double deadline = loop.now() + 0.2;
        loop.runUntil(
            [&] {
                server.poll();
                return false;
            },
            deadline - loop.now());
    }

    std::shared_ptr<platform::FakeWiiRemoteBackend> backend = std::make_shared<platform::FakeWiiRemoteBackend>();
    BundleServer server;
    std::shared_ptr<QRBWiiRemoteManager> manager;
    std::shared_ptr<platform::FakeWiiRemote> remote;
    QRBWiiRemotePtr slot;
};

}  // namespace

TEST_F(WiiReportFixture, EachReportLeavesAsOneImmediateBundleAndOnlyWhileSending) {
    // Connected while routing is stopped: nothing is sent.
    remote->sendReport({buttonEvent(kButtonA, false)});
    settle();
    EXPECT_TRUE(server.bundles.empty());
    EXPECT_FALSE(slot->isSending());

    manager->start();
    remote->sendReport({buttonEvent(kButtonA, false), buttonEvent(0x0004, false)});
    ASSERT_TRUE(receive(1));
    remote->sendReport({});
    ASSERT_TRUE(receive(2));
    settle();
    ASSERT_EQ(server.bundles.size(), 2u) << "one bundle per report";
    for (const auto& bundle : server.bundles) {
        EXPECT_EQ(bundle.tag.sec, LO_TT_IMMEDIATE.sec);
        EXPECT_EQ(bundle.tag.frac, LO_TT_IMMEDIATE.frac);
    }
    EXPECT_EQ(server.bundles[0].messages, (std::vector<std::string>{"/wii/1/button/A ,f", "/wii/1/button/B ,f"}));
    EXPECT_TRUE(server.bundles[1].messages.empty()) << "an empty report is an empty bundle";
    EXPECT_TRUE(server.loose.empty());

    // A disabled slot sends nothing; enabled again it sends at once.
    slot->setEnabled(false);
    remote->sendReport({buttonEvent(kButtonA, true)});
    settle();
    EXPECT_EQ(server.bundles.size(), 2u);
    slot->setEnabled(true);
    remote->sendReport({buttonEvent(kButtonA, true)});
    ASSERT_TRUE(receive(3));

    // Stopped again: nothing.
    manager->stop();
    remote->sendReport({buttonEvent(kButtonA, false)});
    settle();
    EXPECT_EQ(server.bundles.size(), 3u);
}

TEST_F(WiiReportFixture, AReportFromARemoteThatGoesMidwaySendsNothingAndBreaksNothing) {
    manager->start();
    remote->sendReport({buttonEvent(kButtonA, false)});
    backend->unplugRemote(remote);
    ASSERT_TRUE(foundation::RunLoop::main().runUntil([&] { return slot->device() == nullptr; }, kWait));
    settle();
    EXPECT_LE(server.bundles.size(), 1u);
    EXPECT_FALSE(slot->isSending());
    EXPECT_EQ(slot->batteryLevel(), 0.0f);
}

TEST_F(WiiReportFixture, AScriptedSequenceOfReportsArrivesAsItsMessages) {
    slot->setSmoothingAcc(1);
    slot->setSmoothingIR(1);
    slot->setOutputXYZ(true);
    slot->setOutputIR(true);
    slot->setOutputRawIR(true);
    slot->setOutputBatteryLevel(true);
    manager->start();

    devices::WiiEvent accel;
    accel.type = 1;
    accel.x = 0.5;
    accel.y = 0.5;
    accel.z = 1.0;
    devices::WiiEvent ir;
    ir.type = 2;
    ir.pointerX = 0.5;
    ir.pointerY = -0.5;
    ir.points = {{true, 7, 0.25, 0.75}};
    devices::WiiEvent joy;
    joy.type = 3;
    joy.source = 1;
    joy.x = 0.125;
    joy.y = 0.875;
    devices::WiiEvent battery;
    battery.type = 6;
    battery.subtype = 3;
    battery.status = 48;
    remote->sendReport({buttonEvent(kButtonA, false), accel});
    remote->sendReport({ir, joy});
    remote->sendReport({battery, buttonEvent(kButtonA, true)});
    ASSERT_TRUE(receive(3));
    settle();
    ASSERT_EQ(server.bundles.size(), 3u);
    using Messages = std::vector<std::string>;
    using Values = std::vector<std::vector<float>>;
    EXPECT_EQ(server.bundles[0].messages,
              (Messages{"/wii/1/button/A ,f", "/wii/1/accel/xyz ,fff", "/wii/1/accel/pry ,ffff"}));
    EXPECT_EQ(server.bundles[0].values, (Values{{1}, {0.5f, 0.5f, 1}, {0.5f, 0.5f, 0, 1}}));
    EXPECT_EQ(server.bundles[1].messages,
              (Messages{"/wii/1/ir/xys/1 ,fff", "/wii/1/ir ,ff", "/wii/1/nunchuk/joy ,ff"}));
    EXPECT_EQ(server.bundles[1].values, (Values{{0.25f, 0.75f, 0.5f}, {0.75f, 0.25f}, {0.125f, 0.875f}}));
    EXPECT_EQ(server.bundles[2].messages, (Messages{"/wii/1/battery ,f", "/wii/1/button/A ,f"}));
    EXPECT_EQ(server.bundles[2].values, (Values{{0.5f}, {0}}));
    EXPECT_FLOAT_EQ(slot->batteryLevel(), 50.0f);
}

TEST_F(WiiReportFixture, AReportReachesATCPTargetAsTheSameBundle) {
    BundleServer tcp(LO_TCP);
    ASSERT_TRUE(tcp.isValid());
    manager->setTargetURL(tcp.url());
    manager->start();
    devices::WiiEvent joy;
    joy.type = 3;
    joy.source = 2;
    joy.subtype = 1;
    joy.x = 0.25;
    joy.y = 0.75;
    remote->sendReport({buttonEvent(kButtonA, false), joy});
    ASSERT_TRUE(foundation::RunLoop::main().runUntil(
        [&] {
            tcp.poll();
            return !tcp.bundles.empty();
        },
        kWait));
    EXPECT_EQ(tcp.bundles[0].messages, (std::vector<std::string>{"/wii/1/button/A ,f", "/wii/1/classic/joyl ,ff"}));
    EXPECT_EQ(tcp.bundles[0].values, (std::vector<std::vector<float>>{{1}, {0.25f, 0.75f}}));
}

// ---- in a document ----------------------------------------------------------------------------------

namespace {

class WiiDocumentFixture : public managertest::ManagerFixture {
protected:
    void SetUp() override {
        QRBPreferences::sharedPreferences().setWiiAddressMappings(std::nullopt);
        ManagerFixture::SetUp();
    }
    void TearDown() override {
        ManagerFixture::TearDown();
        QRBPreferences::sharedPreferences().setWiiAddressMappings(std::nullopt);
    }
    // Sends a command as the routing core hands it over; answers what the default target got.
    std::vector<managertest::Received> command(const std::string& path, const std::optional<std::string>& arg,
                                               managertest::TargetServer& target, size_t expected) {
        target.messages.clear();
        manager->notifyCommand(path, arg, "127.0.0.1", "9999");
        auto& loop = foundation::RunLoop::main();
        loop.runUntil(
            [&] {
                target.poll();
                return target.messages.size() >= expected;
            },
            expected ? kWait : 0.0);
        const double deadline = loop.now() + 0.1;
        loop.runUntil(
            [&] {
                target.poll();
                return false;
            },
            deadline - loop.now());
        return target.messages;
    }
};

}  // namespace

TEST_F(WiiDocumentFixture, AButtonPressComesBackIntoTheDocumentAsInput) {
    ASSERT_TRUE(manager->start());
    auto remote = wiiRemotes->plugRemote("00:1f:32:00:00:02");
    auto slot = wii->wiimoteWithSlot(1);
    ASSERT_TRUE(runUntil([&] { return slot->connected(); }));
    remote->sendReport({buttonEvent(kButtonA, false)});
    ASSERT_TRUE(runUntil([&] { return !firingsOf("/wii/1/button/A").empty(); }));
    EXPECT_EQ(firingsOf("/wii/1/button/A")[0].value, 1.0);
}

TEST_F(WiiDocumentFixture, CommandsReplyToTheDefaultTargetBySlot) {
    managertest::TargetServer target(LO_UDP);
    ASSERT_TRUE(target.isValid());
    using managertest::Received;
    // Replies leave through the document's own server.
    ASSERT_TRUE(manager->start());
    // No default target yet: no reply.
    EXPECT_TRUE(command("/quorbital/wii/3", "connected?", target, 0).empty());
    manager->oscTargets()[static_cast<size_t>(manager->defaultTargetIndex())]->setTargetSpec(
        "osc.udp://127.0.0.1:" + std::to_string(target.port()));

    wii->wiimoteWithSlot(3)->setBluetoothAddress(std::string("00:1f:32:00:00:03"));
    auto remote = wiiRemotes->plugRemote("00:1f:32:00:00:03");
    auto three = wii->wiimoteWithSlot(3);
    ASSERT_TRUE(runUntil([&] { return three->connected(); }));
    three->setBatteryLevel(50);

    struct Case {
        const char* path;
        const char* arg;
        std::vector<Received> replies;
    };
    const Case cases[] = {
        {"/quorbital/wii/3", "connected?", {{"/quorbital/wii/3", "sT", {"connected", "?"}}}},
        {"/quorbital/wii/3", "battery?", {{"/quorbital/wii/3", "sf", {"battery", "0.5"}}}},
        {"/quorbital/wii/4", "battery?", {{"/quorbital/wii/4", "sN", {"battery", "?"}}}},
        {"/QUORBITAL /wii/ 4", "connected?", {{"/quorbital/wii/4", "sF", {"connected", "?"}}}},
        {"/quorbital/wii/0", "connected?", {}},
        {"/quorbital/wii/9", "connected?", {}},
        {"/quorbital/wii/99999999999999999999999", "connected?", {}},
        {"/quorbital/wii/-3", "connected?", {}},
        {"/quorbital/wii/abc", "connected?", {}},
        {"/quorbital/wiii/3", "connected?", {}},
        {"/quorbital/wii/3", "what?", {}},
        {"/quorbital/wii/3", nullptr, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + (c.arg ? c.arg : "(none)"));
        auto replies =
            command(c.path, c.arg ? std::optional<std::string>(c.arg) : std::nullopt, target, c.replies.size());
        EXPECT_EQ(replies, c.replies);
    }

    // To every slot: eight replies in the order of the slots.
    auto replies = command("/quorbital/wii/*", "connected?", target, 8);
    ASSERT_EQ(replies.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(replies[i].path, "/quorbital/wii/" + std::to_string(i + 1));
        EXPECT_EQ(replies[i].types, i == 2 ? "sT" : "sF");
    }

    // "reset" brings back the slot's defaults and replies nothing.
    auto five = wii->wiimoteWithSlot(5);
    five->setEnabled(false);
    EXPECT_TRUE(command("/quorbital/wii/5", "reset", target, 0).empty());
    EXPECT_TRUE(five->enabled());
}
