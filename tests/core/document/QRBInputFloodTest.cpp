// A flood of new addresses over the loopback: a running manager learns 50,000 of them, one context
// each, while a known address is probed every 100 ms, and every probe is routed, in order.
//
// The flood comes from a thread of its own, as fast as kRate allows, with at most kWindow new
// addresses sent and not yet learned: a sanitizer build on a busy machine can pause the main
// thread for longer than a kernel's default UDP receive buffer lasts, and a probe lost there
// would be the kernel's, not the manager's. So a manager whose cost per new address grows with
// what it learned slows the flood down instead of losing input, and shows by not learning the
// whole flood within kRunBound (learning costs the same at the end as at the start: 20 to 50 s
// here for a sanitizer build).

#include "core/support/ManagerTestSupport.h"

#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

using firing::Float;
using managertest::Firing;
using managertest::ManagerFixture;
using managertest::packet;
using managertest::ProbeEventSource;
using managertest::Sender;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kNewAddresses = 50000;
constexpr double kRate = 5000;  // new addresses per second at most
constexpr size_t kWindow = 64;  // sent and not yet learned, at most
constexpr auto kProbeInterval = std::chrono::milliseconds(100);
constexpr double kRunBound = 100;  // seconds for the whole flood
constexpr double kProbeBound = 5;  // seconds from a probe's send to its routing

class InputFloodTest : public ManagerFixture {};

TEST_F(InputFloodTest, AKnownAddressRoutesEveryProbeWhileFiftyThousandNewOnesAreLearned) {
    ASSERT_TRUE(manager->start());
    // The known address: learned first, then given an output of its own that notes when each
    // probe arrived.
    Sender probes(LO_UDP, port);
    probes.send(packet("/known", {Float(-1)}));
    ASSERT_TRUE(runUntil([&] { return manager->contextWithName("/known") != nullptr; }));
    auto known = std::make_shared<ProbeEventSource>();
    std::vector<Clock::time_point> routedAt;
    known->onAccept = [&](QRBAction&) { routedAt.push_back(Clock::now()); };
    manager->contextWithName("/known")->setEventSource(known);
    const size_t before = currentPreset()->countOfObjects();

    std::atomic<size_t> learned{0};  // new contexts so far, published by the main thread
    std::atomic<bool> flooding{true};
    std::vector<Clock::time_point> probedAt;  // the flood thread's until it is joined
    std::thread flood([&] {
        Sender sender(LO_UDP, port);
        const auto start = Clock::now();
        const auto deadline = start + std::chrono::duration<double>(kRunBound);
        auto nextProbe = start;
        size_t sent = 0;
        while (flooding && Clock::now() < deadline) {
            const auto now = Clock::now();
            if (now >= nextProbe) {
                probes.send(packet("/known", {Float(float(probedAt.size()))}));
                probedAt.push_back(now);
                nextProbe += kProbeInterval;
                continue;
            }
            const auto due =
                start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(sent / kRate));
            if (sent < kNewAddresses && sent - learned.load() < kWindow && now >= due) {
                sender.send(packet("/flood/" + std::to_string(sent), {Float(0.5f)}));
                ++sent;
                continue;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    struct Join {
        std::thread& thread;
        std::atomic<bool>& flag;
        ~Join() {
            flag = false;
            if (thread.joinable()) thread.join();
        }
    } join{flood, flooding};

    const bool complete = runUntil(
        [&] {
            learned = currentPreset()->countOfObjects() - before;
            return learned.load() == kNewAddresses;
        },
        kRunBound + 5);
    // The probes still on their way.
    flooding = false;
    flood.join();
    runUntil([&] { return known->firings->size() == probedAt.size(); });

    EXPECT_TRUE(complete) << learned.load() << " of " << kNewAddresses << " new addresses learned within " << kRunBound
                          << " s";
    ASSERT_EQ(known->firings->size(), probedAt.size()) << "probes routed of those sent";
    double slowest = 0;
    for (size_t i = 0; i < probedAt.size(); ++i) {
        ASSERT_EQ((*known->firings)[i].value, double(i)) << "probe " << i << " out of order";
        slowest = std::max(slowest, std::chrono::duration<double>(routedAt[i] - probedAt[i]).count());
    }
    EXPECT_LT(slowest, kProbeBound) << "the slowest probe took " << slowest << " s";
    EXPECT_GE(probedAt.size(), 10u);

    // The flood's addresses were learned as they came, each once, and route as the known one does.
    EXPECT_NE(manager->contextWithName("/flood/0"), nullptr);
    EXPECT_NE(manager->contextWithName("/flood/" + std::to_string(kNewAddresses - 1)), nullptr);
    const size_t fired = configurator->firings->size();
    probes.send(packet("/flood/7", {Float(0.25f)}));
    ASSERT_TRUE(runUntil([&] { return configurator->firings->size() > fired; }));
    EXPECT_EQ(configurator->firings->back().address, "/flood/7");
    EXPECT_EQ(currentPreset()->countOfObjects(), before + kNewAddresses);
}

}  // namespace
