// The road of one message through a running manager on the loopback: OSC sent with liblo to the
// document's port is scaled, rewritten by routes (address templates and argument tokens) and
// received by a separate liblo server standing for a target, over UDP and over TCP; an
// unconfigured slot sends nothing; backmapping sends a value back to where its mapping came from.

#include "core/support/ManagerTestSupport.h"
#include "core/support/TargetServer.h"

#include "core/monitor/QRBMessageEvent.h"
#include "core/osc/QRBTarget.h"
#include "document/QRBRouteEventSource.h"
#include "foundation/Format.h"

#include <gtest/gtest.h>

#include <lo/lo.h>

#include <sys/socket.h>

#include <cstring>

using firing::Float;
using foundation::Date;
using foundation::Value;
using managertest::ManagerFixture;
using managertest::Received;
using managertest::TargetServer;

namespace {

class RoutingEndToEnd : public ManagerFixture {
protected:
    void SetUp() override {
        ManagerFixture::SetUp();
        input = lo_address_new("127.0.0.1", std::to_string(port).c_str());
    }
    void TearDown() override {
        lo_address_free(input);
        ManagerFixture::TearDown();
    }
    // Runs the main loop (the manager's input and output) until the target has `count` messages.
    bool receiveAtLeast(TargetServer& target, size_t count) {
        return runUntil([&] {
            target.poll();
            return target.messages.size() >= count;
        });
    }
    // Then a little longer, to see that nothing more comes.
    void drain(TargetServer& target) {
        settle();
        target.poll();
    }
    QRBRouteEventSourcePtr route(int64_t target, std::optional<std::string> address, std::vector<std::string> tokens) {
        auto r = std::make_shared<QRBRouteEventSource>();
        r->setTargetIdentifier(target);
        r->setRewriteAddress(address);
        foundation::Array texts;
        for (const auto& t : tokens) texts.emplace_back(t);
        r->setRewriteTokens(Value(texts));
        manager->insertObject(r, manager->countOfOscRoutes());
        return r;
    }
    size_t sentTo(const QRBTargetPtr& target) const {
        size_t count = 0;
        for (const auto& event : manager->messageMonitor()->events().events())
            count += target->endpoint() && event->endpoint() == target->endpoint();
        return count;
    }

    lo_address input = nullptr;
};

class RoutingToTransport : public RoutingEndToEnd, public ::testing::WithParamInterface<int> {};

TEST_P(RoutingToTransport, InputIsScaledRewrittenAndSentToTheTarget) {
    TargetServer device(GetParam());
    ASSERT_TRUE(device.isValid());
    const QRBTargetPtr slot3 = manager->oscTargets()[3];
    slot3->setTargetSpec(std::string(GetParam() == LO_TCP ? "osc.tcp://" : "") +
                         "127.0.0.1:" + std::to_string(device.port()));
    manager->variableValueAtIndex(3)->makeSameAsValue(*QRBArg::argWithStringValue("deck"));

    // /in takes two floats; its second argument is scaled from 0..1 to 0..10.
    QRBContextPtr in = QRBContext::create("/in", manager);
    currentPreset()->addObject(in);
    in->receive(firing::message("/in", {Float(0), Float(0)}), manager->oscInputEndpoint(), Date::now());
    QRBActionPtr first = in->actionAtIndex(0);
    QRBActionPtr second = in->actionAtIndex(1);
    second->setOutputMin(0);
    second->setOutputMax(10);
    // The whole message, rewritten; the second argument alone, as it is; the first argument to
    // a slot that names no destination.
    in->setEventSource(route(3, "/mix/<var 3>/<arg 1>", {"$args", "$argi[1]", "$var[3]", "7", "0.25", "$$"}));
    second->setEventSource(route(3, std::nullopt, {"$args"}));
    auto nowhere = route(5, "/nowhere", {"$args"});
    first->setEventSource(nowhere);
    manager->messageMonitor()->setDirection(0);  // both ways
    ASSERT_TRUE(manager->start());

    ASSERT_GT(lo_send(input, "/in", "ff", 0.25f, 0.5f), 0);
    ASSERT_TRUE(receiveAtLeast(device, 2));
    ASSERT_GT(lo_send(input, "/in", "ff", 1.0f, 0.2f), 0);
    ASSERT_TRUE(receiveAtLeast(device, 4));
    drain(device);
    const std::vector<Received> expected = {
        {"/in/1", "f", {"5"}},
        {"/mix/deck/5.00", "ffisifs", {"0.25", "0.5", "1", "deck", "7", "0.25", "$"}},
        {"/in/1", "f", {"2"}},
        {"/mix/deck/2.00", "ffisifs", {"1", "0.2", "0", "deck", "7", "0.25", "$"}},
    };
    EXPECT_EQ(device.messages, expected);
    EXPECT_EQ(sentTo(slot3), 4u);  // the monitor lists them under the target

    // The unconfigured slot answers -1 and sends nothing.
    EXPECT_FALSE(manager->oscTargets()[5]->isConfigured());
    EXPECT_EQ(nowhere->acceptAction(*first), QRBAcceptResult::Failed);
    EXPECT_EQ(sentTo(manager->oscTargets()[5]), 0u);
}

INSTANTIATE_TEST_SUITE_P(Transports, RoutingToTransport, ::testing::Values(LO_UDP, LO_TCP),
                         [](const auto& info) { return std::string(info.param == LO_TCP ? "TCP" : "UDP"); });

TEST_F(RoutingEndToEnd, TheMonitorKeepsEachSentValueAndANewDestinationIsUsedAtOnce) {
    TargetServer first(LO_UDP), second(LO_UDP);
    ASSERT_TRUE(first.isValid() && second.isValid());
    const QRBTargetPtr slot = manager->oscTargets()[2];
    slot->setTargetSpec("127.0.0.1:" + std::to_string(first.port()));
    QRBContextPtr fader = QRBContext::create("/fader", manager);
    currentPreset()->addObject(fader);
    fader->setInputMin(0.0);
    fader->setInputMax(1.0);
    fader->setOutputMin(0.0);
    fader->setOutputMax(1.0);
    fader->setEventSource(route(2, "/out", {"$args"}));
    ASSERT_TRUE(manager->start());

    // Input only (the default): what left is not listed.
    ASSERT_GT(lo_send(input, "/fader", "f", 0.5f), 0);
    ASSERT_TRUE(receiveAtLeast(first, 1));
    EXPECT_EQ(sentTo(slot), 0u);

    // Both ways: each listed message keeps the value it was sent with, though the route sends
    // the action's own value, which the next input changes.
    manager->messageMonitor()->setDirection(0);
    ASSERT_GT(lo_send(input, "/fader", "f", 0.25f), 0);
    ASSERT_TRUE(receiveAtLeast(first, 2));
    // Another port: the next message goes there, none to the old one.
    slot->setTargetSpec("127.0.0.1:" + std::to_string(second.port()));
    ASSERT_GT(lo_send(input, "/fader", "f", 0.75f), 0);
    ASSERT_TRUE(receiveAtLeast(second, 1));
    drain(first);
    drain(second);
    EXPECT_EQ(first.messages, (std::vector<Received>{{"/out", "f", {"0.5"}}, {"/out", "f", {"0.25"}}}));
    EXPECT_EQ(second.messages, (std::vector<Received>{{"/out", "f", {"0.75"}}}));

    std::vector<std::string> listed;
    for (const auto& event : manager->messageMonitor()->events().events())
        if (event->endpoint() == slot->endpoint()) listed.push_back(event->message()->presentation());
    EXPECT_EQ(listed, (std::vector<std::string>{"/out ,f 0.25", "/out ,f 0.75"}));
}

TEST_F(RoutingEndToEnd, ABurstSentBackToBackArrivesWholeAndInOrder) {
    // More small datagrams than the kernel's default receive buffer holds (256), and fewer than
    // one asked for by the server holds where the kernel caps it at 208 kB (512), all sent while
    // the main loop is not reading: the server's own buffer must hold the burst.
    constexpr int kBurst = 400;
    TargetServer device(LO_UDP);
    ASSERT_TRUE(device.isValid());
    // The device is read between passes of the loop; its buffer too must hold what one pass sends.
    int size = 1 << 20;
    setsockopt(lo_server_get_socket_fd(device.server()), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    manager->oscTargets()[0]->setTargetSpec("127.0.0.1:" + std::to_string(device.port()));
    QRBContextPtr burst = QRBContext::create("/burst", manager);
    currentPreset()->addObject(burst);
    burst->setInputMin(0);
    burst->setInputMax(kBurst);
    burst->setOutputMin(0);
    burst->setOutputMax(kBurst);
    burst->setEventSource(route(0, "/out", {"$args"}));
    ASSERT_TRUE(manager->start());

    for (int i = 0; i < kBurst; ++i) ASSERT_GT(lo_send(input, "/burst", "f", float(i)), 0);
    ASSERT_TRUE(receiveAtLeast(device, kBurst)) << device.messages.size() << " of " << kBurst << " arrived";
    for (int i = 0; i < kBurst; ++i)
        ASSERT_EQ(device.messages[size_t(i)], (Received{"/out", "f", {std::to_string(i)}})) << "message " << i;
}

TEST_F(RoutingEndToEnd, BackmappingSendsValuesBackToTheirMapping) {
    TargetServer device(LO_UDP);
    ASSERT_TRUE(device.isValid());
    manager->oscTargets()[0]->setTargetSpec("127.0.0.1:" + std::to_string(device.port()));  // the default

    // An existing mapping: /out scales 0..1 to 10..20 for some output.
    auto output = std::make_shared<firing::RecordingEventSource>();
    QRBContextPtr out = QRBContext::create("/out", manager);
    currentPreset()->addObject(out);
    out->receive(firing::message("/out", {Float(0.5)}), manager->oscInputEndpoint(), Date::now());
    out->setEventSource(output);
    out->setOutputMin(10);
    out->setOutputMax(20);
    ASSERT_TRUE(manager->start());

    // A producer inside the application asks for a way back to the mappings of that output: the
    // new address /in sends its values back to /out, scaled from 10..20 to 0..1.
    auto request = firing::message("/in", {Float(15)});
    request->setUserInfo({{"backmapping", Value(foundation::Dictionary{
                                              {"eventSource", Value(std::static_pointer_cast<QRBEventSource>(output))},
                                              {"channel", Value()}})}});
    manager->receive(request, manager->oscInputEndpoint(), Date::now());
    QRBContextPtr in = manager->contextWithName("/in");
    ASSERT_TRUE(in);
    ASSERT_TRUE(receiveAtLeast(device, 1));

    // From then on, network input does the same.
    ASSERT_GT(lo_send(input, "/in", "f", 12.0f), 0);
    ASSERT_TRUE(receiveAtLeast(device, 2));
    drain(device);
    const std::vector<Received> expected = {{"/out", "f", {"0.5"}}, {"/out", "f", {"0.2"}}};
    EXPECT_EQ(device.messages, expected);
}

}  // namespace
