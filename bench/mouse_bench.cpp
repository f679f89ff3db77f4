// Measures OSC in → pointer motion against the plain OSC route in the same run, in one process:
//
//   mouse_bench [--count N]
//
// One document takes "/plain" and routes it to a receiver on the loopback (the baseline), and
// takes "/mouse" into a mouse output that moves the pointer of the in-process desktop. Messages go
// in through the document's dispatch, as the OSC server hands them over; the run loop runs on a
// clock the benchmark moves by hand, a millisecond per message, so the 0.02 s pointer tick comes
// every twenty messages and its cost is shared among them:
//
//   plain   N "/plain" messages routed out: the baseline, per message.
//   mouse   N "/mouse" messages, each an absolute move, with the ticks that post them: per message.
//
// "value" lines hold the figures in nanoseconds and the motion events posted per tick (one,
// however many messages arrived in it); the ratio of the mouse path to the plain route comes
// last, as "ratio <name> <value>". Not a test: run it by hand on a release build.

#include "BenchSockets.h"
#include "controllers/QRBMouseEventSource.h"
#include "controllers/QRBMouseManager.h"
#include "controllers/devices/DeviceLayers.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/osc/QRBArg.h"
#include "core/osc/QRBTarget.h"
#include "document/QRBManager.h"
#include "document/QRBRouteEventSource.h"
#include "foundation/Clock.h"
#include "foundation/Date.h"
#include "foundation/NetService.h"
#include "foundation/RunLoop.h"
#include "platform/FakeBonjourBackend.h"
#include "platform/desktop/FakeEventPoster.h"

#include <fcntl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Seconds of the benchmark's clock between two messages.
constexpr double kStep = 1e-3;

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
    void drain() {
        char buffer[512];
        while (recv(fd_, buffer, sizeof buffer, 0) > 0) {}
    }

private:
    int fd_ = -1;
    long port_ = 0;
};

struct Bench {
    std::shared_ptr<foundation::ManualClock> clock = std::make_shared<foundation::ManualClock>();
    std::shared_ptr<platform::FakeEventPoster> desktop = std::make_shared<platform::FakeEventPoster>();
    Receiver receiver;
    QRBManagerPtr manager;

    bool setUp() {
        foundation::RunLoop::main().setClock(clock);
        desktop->setDisplays({{{0, 0, 1920, 1080}, 1920, 1080, true}});
        devices::DeviceLayers layers = devices::DeviceLayers::current();
        layers.events = desktop;
        devices::DeviceLayers::install(layers);
        foundation::RunLoop::main().dispatchReady();

        manager = QRBManager::create();
        manager->setServerPort(bench::freePort());
        manager->oscTargets()[0]->setTargetSpec("127.0.0.1:" + std::to_string(receiver.port()));
        manager->setDefaultTargetIndex(0);
        if (!manager->start()) return false;

        auto route = std::make_shared<QRBRouteEventSource>();
        route->setTargetIdentifier(0);
        route->setRewriteAddress(std::string("/out"));
        manager->insertObject(route, manager->countOfOscRoutes());
        mapping("/plain", route);
        mapping("/mouse",
                QRBMouseEventSource::mouseEventSourceOfType(QRBMouseEventSource::kAbsoluteMoveX, "Absolute Move X"));
        return true;
    }

    void mapping(const std::string& address, const QRBEventSourcePtr& output) {
        auto context = QRBContext::create(address, manager);
        manager->presetManager()->currentPreset()->addObject(context);
        context->receive(message(address, 0), manager->oscInputEndpoint(), foundation::Date::now());
        context->setEventSource(output);  // one argument: the context is the action
    }

    static QRBOSCMessagePtr message(const std::string& address, size_t i) {
        return QRBOSCMessage::OSCMessageWithPath(address,
                                                 {QRBArg::argWithFloatValue(static_cast<float>(i % 1000) / 1000.0f)});
    }

    // Seconds per message; messages made beforehand, so only the dispatch is timed.
    double measure(const std::string& address, size_t count) {
        std::vector<QRBOSCMessagePtr> messages;
        messages.reserve(count);
        for (size_t i = 0; i < count; ++i) messages.push_back(message(address, i));
        const auto endpoint = manager->oscInputEndpoint();
        const auto date = foundation::Date::now();
        auto& loop = foundation::RunLoop::main();
        const double start = seconds();
        for (size_t i = 0; i < count; ++i) {
            manager->receive(messages[i], endpoint, date);
            clock->advance(kStep);
            loop.dispatchReady(foundation::RunLoopMode::Default);
            if (i % 64 == 63) receiver.drain();
        }
        const double elapsed = seconds() - start;
        receiver.drain();
        return elapsed / static_cast<double>(count);
    }

    void tearDown() {
        manager->close();
        manager.reset();
        QRBMouseManager::releaseSharedInstance();
        devices::DeviceLayers::reset();
        foundation::RunLoop::main().setClock(nullptr);
    }
};

}  // namespace

int main(int argc, char** argv) {
    size_t count = 20000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--count") == 0 && i + 1 < argc) count = std::strtoul(argv[++i], nullptr, 10);
    }
    if (count < 100) count = 100;
    foundation::BonjourBackend::setShared(std::make_shared<platform::FakeBonjourBackend>());

    Bench bench;
    if (!bench.setUp()) {
        std::fprintf(stderr, "mouse_bench: the document could not start routing\n");
        return 1;
    }
    bench.measure("/plain", 1000);  // warm-up
    bench.measure("/mouse", 1000);
    const double plain = bench.measure("/plain", count);
    bench.desktop->clear();
    const double startClock = bench.clock->now();
    const double mouse = bench.measure("/mouse", count);
    const double ticks = (bench.clock->now() - startClock) / QRBMouseManager::kTickInterval;
    const size_t posted = bench.desktop->mouseEvents().size();
    bench.tearDown();

    std::printf("value plain_route_ns %.0f\n", plain * 1e9);
    std::printf("value mouse_move_ns %.0f\n", mouse * 1e9);
    std::printf("value messages_per_tick %.0f\n", QRBMouseManager::kTickInterval / kStep);
    std::printf("value motion_events_per_tick %.2f\n", static_cast<double>(posted) / ticks);
    std::printf("ratio mouse_move %.2f\n", mouse / plain);
    // At most one motion event a tick: more would mean the values were not coalesced.
    return posted <= static_cast<size_t>(ticks) + 1 ? 0 : 1;
}
