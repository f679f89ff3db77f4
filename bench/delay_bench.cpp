// Measures what delay outputs cost the main run loop, against the plain route in the same run,
// in one process:
//
//   delay_bench [--count N]
//
// One document routes "/bench"'s second argument straight to a receiver on the loopback (the
// plain route), and its first argument through a delay of one second to a duplicate with the same
// route. The run loop runs on a clock the benchmark moves by hand, a tenth of a millisecond per
// step, so that every delayed fire has a date of its own:
//
//   plain     N fires of the plain route: the baseline, per fire.
//   schedule  N fires of the delayed action, each scheduling one timer (N pending at the end).
//   fire      the run loop's passes firing those N timers one by one (the rest still pending),
//             each sending through the route: per fire, the pass and the route together.
//   fire100   the same with N = 100, to show that the cost of a fire does not grow with the
//             number of pending fires.
//
// The ratios against the plain route come last, one "ratio <name> <value>" line each; "value"
// lines before them hold the figures in nanoseconds. Not a test: run it by hand on a release build.

#include "BenchSockets.h"
#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBDupAction.h"
#include "core/mapping/QRBPreset.h"
#include "core/osc/QRBArg.h"
#include "core/osc/QRBTarget.h"
#include "document/QRBManager.h"
#include "document/QRBRouteEventSource.h"
#include "features/QRBDelayEventSource.h"
#include "features/QRBTimeEventsManager.h"
#include "foundation/Clock.h"
#include "foundation/Date.h"
#include "foundation/NetService.h"
#include "foundation/RunLoop.h"
#include "platform/FakeBonjourBackend.h"

#include <lo/lo.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr double kStep = 1e-4;  // seconds of the benchmark's clock between two fires

double seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// A UDP socket on the loopback that takes in whatever the document sends.
class Receiver {
public:
    Receiver() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address = bench::loopback(0);
        socklen_t length = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
        fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    ~Receiver() { close(fd_); }
    long port() const { return port_; }
    size_t drain() {
        char buffer[512];
        size_t count = 0;
        while (recv(fd_, buffer, sizeof buffer, 0) > 0) ++count;
        received_ += count;
        return count;
    }
    size_t received() const { return received_; }

private:
    int fd_ = -1;
    long port_ = 0;
    size_t received_ = 0;
};

struct Bench {
    std::shared_ptr<foundation::ManualClock> clock = std::make_shared<foundation::ManualClock>();
    Receiver receiver;
    QRBManagerPtr manager;
    QRBConcreteActionPtr delayed, plain;
    std::shared_ptr<QRBDelayEventSource> delay;
    QRBArgPtr value = QRBArg::argWithFloatValue(0);

    bool setUp() {
        foundation::RunLoop::main().setClock(clock);
        manager = QRBManager::create();
        manager->setServerPort(bench::freePort());
        manager->oscTargets()[0]->setTargetSpec("127.0.0.1:" + std::to_string(receiver.port()));
        manager->setDefaultTargetIndex(0);
        if (!manager->start()) return false;

        auto context = QRBContext::create("/bench", manager);
        manager->presetManager()->currentPreset()->addObject(context);
        context->receive(
            QRBOSCMessage::OSCMessageWithPath("/bench", {QRBArg::argWithFloatValue(0), QRBArg::argWithFloatValue(0)}),
            manager->oscInputEndpoint(), foundation::Date::now());
        auto route = std::make_shared<QRBRouteEventSource>();
        route->setTargetIdentifier(0);
        route->setRewriteAddress(std::string("/out"));
        manager->insertObject(route, manager->countOfOscRoutes());

        delayed = std::static_pointer_cast<QRBConcreteAction>(context->actionAtIndex(0));
        plain = std::static_pointer_cast<QRBConcreteAction>(context->actionAtIndex(1));
        plain->setEventSource(route);
        delay = std::make_shared<QRBDelayEventSource>();
        delay->setDelayInterval(1.0);
        manager->timeEventsManager()->insertObject(delay, 0);
        delayed->setEventSource(delay);
        delayed->dup()->setEventSource(route);
        return true;
    }

    void fire(QRBAction& action, size_t i) {
        value->setFloatValue(static_cast<float>(i % 1000) / 1000.0f);
        action.fire(*value);
    }

    // Seconds per fire of the plain route.
    double measurePlain(size_t count) {
        const double start = seconds();
        for (size_t i = 0; i < count; ++i) {
            fire(*plain, i);
            if (i % 64 == 63) receiver.drain();
        }
        const double elapsed = seconds() - start;
        receiver.drain();
        return elapsed / static_cast<double>(count);
    }

    // Seconds per scheduling fire, then per timer fire, for `count` pending delays.
    std::pair<double, double> measureDelayed(size_t count) {
        double start = seconds();
        for (size_t i = 0; i < count; ++i) {
            fire(*delayed, i);
            clock->advance(kStep);
        }
        const double schedule = (seconds() - start) / static_cast<double>(count);
        // Up to the first fire's date, then one step at a time: each pass fires the one due.
        clock->advance(std::max(0.0, 1.0 - static_cast<double>(count) * kStep));
        start = seconds();
        size_t passes = 0;
        while (delay->pendingFireCount() > 0 && passes < count * 4) {
            clock->advance(kStep);
            foundation::RunLoop::main().dispatchReady();
            if (++passes % 64 == 0) receiver.drain();
        }
        const double fired = (seconds() - start) / static_cast<double>(count);
        receiver.drain();
        return {schedule, fired};
    }

    void tearDown() {
        manager->close();
        manager.reset();
        foundation::RunLoop::main().setClock(nullptr);
    }
};

}  // namespace

int main(int argc, char** argv) {
    size_t count = 10000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--count") == 0 && i + 1 < argc) count = std::strtoul(argv[++i], nullptr, 10);
    }
    if (count < 100) count = 100;
    foundation::BonjourBackend::setShared(std::make_shared<platform::FakeBonjourBackend>());

    Bench bench;
    if (!bench.setUp()) {
        std::fprintf(stderr, "delay_bench: the document could not start routing\n");
        return 1;
    }
    bench.measurePlain(1000);  // warm-up
    const double plain = bench.measurePlain(count);
    const auto [schedule, fired] = bench.measureDelayed(count);
    const auto [schedule100, fired100] = bench.measureDelayed(100);
    const bool allFired = bench.delay->pendingFireCount() == 0;
    bench.tearDown();

    std::printf("value plain_route_ns %.0f\n", plain * 1e9);
    std::printf("value delay_schedule_ns %.0f\n", schedule * 1e9);
    std::printf("value delay_fire_ns_%zu_pending %.0f\n", count, fired * 1e9);
    std::printf("value delay_fire_ns_100_pending %.0f\n", fired100 * 1e9);
    std::printf("value all_fired %d\n", allFired ? 1 : 0);
    std::printf("ratio delay_schedule %.2f\n", schedule / plain);
    std::printf("ratio delay_fire_%zu_pending %.2f\n", count, fired / plain);
    std::printf("ratio delay_fire_100_pending %.2f\n", fired100 / plain);
    (void)schedule100;
    return allFired ? 0 : 1;
}
