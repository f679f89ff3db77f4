// Measures what a Wii remote report costs on its way to the document's port, against writing the
// same bundle with liblo directly in the same run:
//
//   wii_report_bench [--reports N]
//
// A report like a remote with a nunchuk sends with every sensor on: two buttons, the remote's and
// the nunchuk's accelerometers (xyz and pry each), the IR camera with four points and the
// pointer, and the nunchuk's stick: 11 messages in one immediate bundle to a UDP socket on the
// loopback.
//
//   slot   the report through a Wii remote slot: dispatch, handlers, smoothing, angles, the
//          bundle and its datagram, as the program does it.
//   liblo  the same addresses and values (computed beforehand) as lo_message objects in a
//          lo_bundle sent with lo_send_bundle: the baseline.
//
// "value" lines give microseconds per report and the C++ allocations per report in the steady
// state; the last line is "ratio slot/liblo <value>" (the goal: 1.5 at most). Not a test: run it
// by hand on a release build.

#include "controllers/QRBWiiRemote.h"
#include "controllers/QRBWiiRemoteManager.h"
#include "document/EngineClasses.h"
#include "foundation/RunLoop.h"

#include <lo/lo.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {
std::atomic<size_t> allocations{0};
}  // namespace

void* operator new(size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

double seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// A UDP socket on the loopback that takes the datagrams and is drained now and then.
struct Sink {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    int port = 0;
    Sink() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~Sink() { close(fd); }
    size_t drain() {
        char buffer[2048];
        size_t count = 0;
        while (recv(fd, buffer, sizeof buffer, 0) > 0) ++count;
        return count;
    }
};

std::vector<devices::WiiEvent> reportEvents(int i) {
    const double t = i * 0.01;
    std::vector<devices::WiiEvent> events;
    devices::WiiEvent e;
    e.type = 0;
    e.button = 0x0008;
    e.buttonIsUp = i % 2;
    events.push_back(e);
    e.button = 0x0004;
    events.push_back(e);
    for (int source : {0, 1}) {
        devices::WiiEvent a;
        a.type = 1;
        a.source = source;
        a.x = 0.5 + 0.2 * std::sin(t);
        a.y = 0.5 + 0.2 * std::cos(t);
        a.z = 0.9;
        events.push_back(a);
    }
    devices::WiiEvent ir;
    ir.type = 2;
    ir.pointerX = 0.3 * std::sin(t);
    ir.pointerY = 0.3 * std::cos(t);
    for (int p = 0; p < 4; ++p) ir.points.push_back({true, static_cast<uint8_t>(p), 0.1 * p + 0.01 * t, 0.5});
    events.push_back(ir);
    devices::WiiEvent joy;
    joy.type = 3;
    joy.source = 1;
    joy.x = 0.5;
    joy.y = 0.5 + 0.1 * std::sin(t);
    events.push_back(joy);
    return events;
}

struct Message {
    std::string path;
    std::vector<float> values;
};

// The messages one report makes, as the baseline sends them.
std::vector<Message> reportMessages(int i) {
    const double t = i * 0.01;
    const float x = static_cast<float>(0.5 + 0.2 * std::sin(t)), y = static_cast<float>(0.5 + 0.2 * std::cos(t));
    const float up = i % 2 ? 0.0f : 1.0f;
    std::vector<Message> messages = {
        {"/wii/1/button/A", {up}},
        {"/wii/1/button/B", {up}},
        {"/wii/1/accel/xyz", {x, y, 0.9f}},
        {"/wii/1/accel/pry", {0.4f, 0.5f, 0.6f, 0.7f}},
        {"/wii/1/nunchuk/accel/xyz", {x, y, 0.9f}},
        {"/wii/1/nunchuk/accel/pry", {0.4f, 0.5f, 0.6f, 0.7f}},
    };
    for (int p = 1; p <= 4; ++p)
        messages.push_back({"/wii/1/ir/xys/" + std::to_string(p), {0.1f * p, 0.5f, 0.0625f * p}});
    messages.push_back({"/wii/1/ir", {0.5f, 0.5f}});
    messages.push_back({"/wii/1/nunchuk/joy", {0.5f, y}});
    return messages;
}

}  // namespace

int main(int argc, char** argv) {
    int reports = 200000;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--reports") == 0) reports = std::atoi(argv[++i]);
    registerEngineClasses();
    Sink sink;
    const std::string url = "osc.udp://127.0.0.1:" + std::to_string(sink.port);
    constexpr int kVariants = 64;

    // The slot, sending as when routing runs.
    auto manager = std::make_shared<QRBWiiRemoteManager>();
    manager->setTargetURL(url);
    auto slot = manager->wiimoteWithSlot(1);
    slot->setOutputXYZ(true);
    slot->setOutputPRY(true);
    slot->setOutputIR(true);
    slot->setOutputRawIR(true);
    slot->start();
    std::vector<std::vector<devices::WiiEvent>> events;
    for (int v = 0; v < kVariants; ++v) events.push_back(reportEvents(v));
    auto runSlot = [&](int count) {
        for (int i = 0; i < count; ++i) {
            slot->wiimoteWillInterpretReport();
            for (const auto& e : events[i % kVariants]) slot->wiimoteSendEvent(e);
            slot->wiimoteDidInterpretReport();
            if (i % 32 == 31) sink.drain();
        }
    };

    // The baseline.
    lo_address address = lo_address_new_from_url(url.c_str());
    std::vector<std::vector<Message>> messages;
    for (int v = 0; v < kVariants; ++v) messages.push_back(reportMessages(v));
    auto runLiblo = [&](int count) {
        for (int i = 0; i < count; ++i) {
            lo_bundle bundle = lo_bundle_new(LO_TT_IMMEDIATE);
            for (const auto& m : messages[i % kVariants]) {
                lo_message message = lo_message_new();
                for (float value : m.values) lo_message_add_float(message, value);
                lo_bundle_add_message(bundle, m.path.c_str(), message);
            }
            lo_send_bundle(address, bundle);
            lo_bundle_free_recursive(bundle);
            if (i % 32 == 31) sink.drain();
        }
    };

    runSlot(1000);
    runLiblo(1000);
    if (!slot->isSending()) {
        std::fprintf(stderr, "the slot stopped sending\n");
        return 1;
    }
    const size_t before = allocations.load();
    runSlot(1000);
    const double slotAllocations = double(allocations.load() - before) / 1000.0;

    double slotTime = 0, libloTime = 0;
    for (int round = 0; round < 5; ++round) {
        double start = seconds();
        runSlot(reports / 5);
        slotTime += seconds() - start;
        start = seconds();
        runLiblo(reports / 5);
        libloTime += seconds() - start;
    }
    sink.drain();
    lo_address_free(address);
    std::printf("value slot %.3f us/report\n", slotTime / reports * 1e6);
    std::printf("value liblo %.3f us/report\n", libloTime / reports * 1e6);
    std::printf("value slot allocations %.2f per report (C++, steady state)\n", slotAllocations);
    std::printf("ratio slot/liblo %.3f\n", slotTime / libloTime);
    return 0;
}
