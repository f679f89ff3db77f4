// Measures OSC in → JACK MIDI out through a headless Quorbital document, against a bare liblo → JACK
// bridge doing no routing, in one run:
//
//   osc_to_midi_bench [--quick] [--program PATH] [--keep]
//
// The benchmark starts its own JACK server (`jackd -r -d dummy`, 256-frame periods, whose MIDI
// buffers hold the 50-odd messages a period brings at 10,000 a second, under a server
// name of its own), and a sink client whose MIDI input records when each message arrives. The
// document (written here with the document classes) has one context, "/bench", whose pitch-bend
// output sends the message's integer argument unchanged as the 14-bit bend value, on channel 1,
// through the program's "Quorbital Out" port. The baseline is this program again, started with
// "--bridge <in port>": a liblo server thread that hands each "/bench" integer to a JACK client
// through a lock-free ring buffer, whose process callback writes the same bend message. Both
// outputs are connected to the sink, one system at a time.
//
// The integer is the message's sequence number modulo 16,384, so the sink finds lost and
// reordered messages from the values alone. Latency is the time from the send to the sink's
// process cycle that received it, at 1,000 messages a second; the systems take turns over a few
// rounds and the medians of the rounds' percentiles are compared. Loss is counted at 10,000
// messages a second over two seconds (one with --quick).
//
// The ratios Quorbital / bridge come last, one "ratio <name> <value>" line each; "value" lines
// before them hold figures without a baseline (the loss counts, which must be 0).

#include "BenchChild.h"
#include "BenchSockets.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "document/EngineClasses.h"
#include "document/QRBDocument.h"
#include "document/QRBManager.h"
#include "midi/outputs/QRBMidiNoteEventSource.h"
#include "platform/PlatformBackends.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <lo/lo.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using bench::Child;
using bench::homeEnvironment;
using bench::median;
using bench::percentile;

namespace {

constexpr const char* kInputAddress = "/bench";
constexpr uint32_t kSequenceModulo = 16384;

uint64_t nowNanoseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void sleepUntil(uint64_t when) {
    timespec ts{static_cast<time_t>(when / 1000000000ull), static_cast<long>(when % 1000000000ull)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {}
}

jack_client_t* openClient(const char* name, const std::string& server) {
    jack_status_t status{};
    return jack_client_open(name, static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
                            server.c_str());
}

// ---- the baseline bridge ------------------------------------------------------------------------

struct Bridge {
    jack_client_t* client = nullptr;
    jack_port_t* port = nullptr;
    jack_ringbuffer_t* ring = nullptr;
};

Bridge gBridge;

int bridgeHandler(const char*, const char*, lo_arg** argv, int argc, lo_message, void*) {
    if (argc < 1) return 0;
    const uint32_t v = static_cast<uint32_t>(argv[0]->i) & 0x3FFF;
    const uint8_t bytes[3] = {0xE0, static_cast<uint8_t>(v & 0x7F), static_cast<uint8_t>(v >> 7)};
    if (jack_ringbuffer_write_space(gBridge.ring) >= 3)
        jack_ringbuffer_write(gBridge.ring, reinterpret_cast<const char*>(bytes), 3);
    return 0;
}

int bridgeProcess(jack_nframes_t frames, void*) {
    void* buffer = jack_port_get_buffer(gBridge.port, frames);
    jack_midi_clear_buffer(buffer);
    uint8_t bytes[3];
    while (jack_ringbuffer_read_space(gBridge.ring) >= 3) {
        jack_ringbuffer_read(gBridge.ring, reinterpret_cast<char*>(bytes), 3);
        if (jack_midi_event_write(buffer, 0, bytes, 3) != 0) break;
    }
    return 0;
}

int runBridge(const char* inPort) {
    const char* server = std::getenv("JACK_DEFAULT_SERVER");
    gBridge.client = openClient("bench-bridge", server ? server : "default");
    if (!gBridge.client) return 1;
    gBridge.port = jack_port_register(gBridge.client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    gBridge.ring = jack_ringbuffer_create(1 << 16);
    jack_set_process_callback(gBridge.client, bridgeProcess, nullptr);
    if (jack_activate(gBridge.client) != 0) return 1;
    lo_server_thread thread = lo_server_thread_new_with_proto(inPort, LO_UDP, nullptr);
    if (!thread) return 1;
    lo_server_thread_add_method(thread, kInputAddress, "i", bridgeHandler, nullptr);
    lo_server_thread_start(thread);
    std::printf("bridging\n");
    std::fflush(stdout);
    for (;;) pause();
}

// ---- the sink -----------------------------------------------------------------------------------

struct Arrival {
    uint32_t value;
    uint64_t time;
};

struct Sink {
    jack_client_t* client = nullptr;
    jack_port_t* port = nullptr;
    std::vector<Arrival> arrivals = std::vector<Arrival>(1 << 20);
    std::atomic<size_t> count{0};
};

Sink gSink;

int sinkProcess(jack_nframes_t frames, void*) {
    void* buffer = jack_port_get_buffer(gSink.port, frames);
    const uint64_t now = nowNanoseconds();
    const uint32_t events = jack_midi_get_event_count(buffer);
    size_t n = gSink.count.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < events; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) != 0) continue;
        if (event.size != 3 || (event.buffer[0] & 0xF0) != 0xE0) continue;
        if (n >= gSink.arrivals.size()) break;
        gSink.arrivals[n++] = {static_cast<uint32_t>(event.buffer[1] | (event.buffer[2] << 7)), now};
    }
    gSink.count.store(n, std::memory_order_release);
    return 0;
}

// ---- processes ----------------------------------------------------------------------------------

void writeDocument(const std::string& path, long inPort) {
    QRBDocument document;
    document.makeWindowControllers();
    const QRBManagerPtr& manager = document.oscManager();
    manager->setServerPort(inPort);
    auto context = QRBContext::create(std::string(kInputAddress), manager);
    manager->presetManager()->currentPreset()->addObject(context);
    // The integer passes unscaled: the bend value is the sequence number.
    context->setEventSource(std::make_shared<QRBPitchBendEventSource>());
    context->setChannel(1);
    document.saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveTo);
    document.close();
}

// The one MIDI output port whose name ends with `suffix`, or none.
std::optional<std::string> findOutputPort(const std::string& suffix) {
    const char** ports = jack_get_ports(gSink.client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
    std::optional<std::string> found;
    for (size_t i = 0; ports && ports[i]; ++i) {
        const std::string name = ports[i];
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            found = name;
    }
    jack_free(ports);
    return found;
}

// ---- measuring ----------------------------------------------------------------------------------

class Sender {
public:
    explicit Sender(long port) : fd_(socket(AF_INET, SOCK_DGRAM, 0)), to_(bench::loopback(port)) {}
    ~Sender() { close(fd_); }
    void send(uint32_t value) {
        // "/bench" ",i" value, as OSC lays it out.
        uint8_t packet[16] = {'/', 'b', 'e', 'n', 'c', 'h', 0, 0, ',', 'i', 0, 0};
        packet[12] = static_cast<uint8_t>(value >> 24);
        packet[13] = static_cast<uint8_t>(value >> 16);
        packet[14] = static_cast<uint8_t>(value >> 8);
        packet[15] = static_cast<uint8_t>(value);
        sendto(fd_, packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
    }

private:
    int fd_;
    sockaddr_in to_;
};

struct Run {
    size_t sent = 0, received = 0, outOfOrder = 0;
    std::vector<double> latencies;  // milliseconds, for messages that arrived in order
};

// Sends `count` messages at `rate` a second, starting the sequence at `first`, and waits for the
// sink a little after the last.
Run measure(Sender& sender, size_t count, double rate, uint32_t first) {
    const size_t before = gSink.count.load(std::memory_order_acquire);
    std::vector<uint64_t> sentAt(count);
    const uint64_t start = nowNanoseconds() + 1000000;
    const double interval = 1e9 / rate;
    for (size_t i = 0; i < count; ++i) {
        sleepUntil(start + static_cast<uint64_t>(static_cast<double>(i) * interval));
        sentAt[i] = nowNanoseconds();
        sender.send((first + static_cast<uint32_t>(i)) % kSequenceModulo);
    }
    const uint64_t deadline = nowNanoseconds() + 2000000000ull;
    while (nowNanoseconds() < deadline && gSink.count.load(std::memory_order_acquire) - before < count)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // anything extra shows too

    Run run;
    run.sent = count;
    const size_t after = gSink.count.load(std::memory_order_acquire);
    // Matched in order: an arrival is the next message sent, or a later one (those skipped are
    // lost); one that matches no later message came out of order.
    size_t next = 0;
    for (size_t k = before; k < after; ++k) {
        const Arrival& a = gSink.arrivals[k];
        size_t index = next;
        while (index < count && (first + index) % kSequenceModulo != a.value) ++index;
        if (index == count) {
            ++run.outOfOrder;
            continue;
        }
        ++run.received;
        run.latencies.push_back(static_cast<double>(a.time > sentAt[index] ? a.time - sentAt[index] : 0) / 1e6);
        next = index + 1;
    }
    return run;
}

struct System {
    std::string name;
    std::unique_ptr<Child> child;
    long port = 0;
    std::string outputPort;
    std::vector<double> p50s, p99s;
    size_t lost = 0, disordered = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--bridge") == 0) return runBridge(argv[2]);

    bool quick = false, keep = false;
    std::string program = QUORBITAL_PROGRAM;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (std::strcmp(argv[i], "--keep") == 0)
            keep = true;
        else if (std::strcmp(argv[i], "--program") == 0 && i + 1 < argc)
            program = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--quick] [--program PATH] [--keep]\n", argv[0]);
            return 2;
        }
    }
    registerEngineClasses();
    platform::registerPlatformBackends();

    const std::string folder = "/tmp/osc_to_midi_bench." + std::to_string(getpid());
    std::filesystem::create_directories(folder + "/config");
    std::filesystem::create_directories(folder + "/runtime");
    const std::string server = "quorbital-bench-" + std::to_string(getpid());
    const std::vector<std::string> environment = {"JACK_DEFAULT_SERVER=" + server,
                                                  "XDG_CONFIG_HOME=" + folder + "/config",
                                                  "XDG_RUNTIME_DIR=" + folder + "/runtime"};

    Child jackd({"jackd", "-r", "-t", "5000", "-n" + server, "-d", "dummy", "-p", "256", "-r", "48000"},
                folder + "/jackd.log", environment);
    jack_set_error_function([](const char*) {});
    for (int i = 0; i < 200 && !gSink.client; ++i) {
        gSink.client = openClient("bench-sink", server);
        if (!gSink.client) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!gSink.client) {
        std::fprintf(stderr, "no JACK server: %s\n", jackd.output().c_str());
        return 1;
    }
    gSink.port = jack_port_register(gSink.client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(gSink.client, sinkProcess, nullptr);
    jack_activate(gSink.client);
    const std::string sinkPort = std::string(jack_get_client_name(gSink.client)) + ":in";

    System quorbital, bridge;
    quorbital.name = "quorbital";
    bridge.name = "bridge";
    quorbital.port = bench::freePort();
    bridge.port = bench::freePort();
    const std::string document = folder + "/bench.qrb3";
    writeDocument(document, quorbital.port);
    quorbital.child = std::make_unique<Child>(std::vector<std::string>{program, "-headless", document},
                                              folder + "/quorbital.log", environment);
    bridge.child =
        std::make_unique<Child>(std::vector<std::string>{"/proc/self/exe", "--bridge", std::to_string(bridge.port)},
                                folder + "/bridge.log", environment);
    if (!quorbital.child->waitForOutput("Starting routing...", 60) || !bridge.child->waitForOutput("bridging", 30)) {
        std::fprintf(stderr, "a system did not start:\n%s\n%s\n", quorbital.child->output().c_str(),
                     bridge.child->output().c_str());
        return 1;
    }
    for (int i = 0; i < 100; ++i) {
        if (quorbital.outputPort.empty()) quorbital.outputPort = findOutputPort(":Quorbital Out").value_or("");
        if (bridge.outputPort.empty()) bridge.outputPort = findOutputPort("bench-bridge:out").value_or("");
        if (!quorbital.outputPort.empty() && !bridge.outputPort.empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (quorbital.outputPort.empty() || bridge.outputPort.empty()) {
        std::fprintf(stderr, "missing output ports\n%s\n", quorbital.child->output().c_str());
        return 1;
    }

    const int rounds = quick ? 2 : 5;
    const size_t latencyCount = quick ? 1000 : 3000;
    const size_t lossCount = quick ? 10000 : 20000;
    uint32_t sequence = 0;
    for (int round = 0; round < rounds; ++round) {
        for (System* system : {&quorbital, &bridge}) {
            jack_connect(gSink.client, system->outputPort.c_str(), sinkPort.c_str());
            Sender sender(system->port);
            measure(sender, 200, 1000, sequence);  // warm-up
            sequence += 200;
            Run latency = measure(sender, latencyCount, 1000, sequence);
            sequence += static_cast<uint32_t>(latencyCount);
            system->p50s.push_back(percentile(latency.latencies, 0.5));
            system->p99s.push_back(percentile(latency.latencies, 0.99));
            if (round == 0) {
                Run flood = measure(sender, lossCount, 10000, sequence);
                sequence += static_cast<uint32_t>(lossCount);
                system->lost = flood.sent - std::min(flood.sent, flood.received);
                system->disordered = flood.outOfOrder;
            }
            jack_disconnect(gSink.client, system->outputPort.c_str(), sinkPort.c_str());
            std::printf("round %d %s p50 %.3f ms p99 %.3f ms\n", round, system->name.c_str(), system->p50s.back(),
                        system->p99s.back());
            std::fflush(stdout);
        }
    }

    for (System* system : {&quorbital, &bridge}) {
        std::printf("value %s_p50_ms %.3f\n", system->name.c_str(), median(system->p50s));
        std::printf("value %s_p99_ms %.3f\n", system->name.c_str(), median(system->p99s));
        std::printf("value %s_lost_at_10000_per_s %zu\n", system->name.c_str(), system->lost);
        std::printf("value %s_out_of_order_at_10000_per_s %zu\n", system->name.c_str(), system->disordered);
    }
    const double p50 = median(quorbital.p50s) / std::max(1e-9, median(bridge.p50s));
    const double p99 = median(quorbital.p99s) / std::max(1e-9, median(bridge.p99s));
    std::printf("ratio p50 %.3f (goal 1.5 at most)\n", p50);
    std::printf("ratio p99 %.3f (goal 2 at most)\n", p99);

    quorbital.child.reset();
    bridge.child.reset();
    jack_client_close(gSink.client);
    if (!keep) std::filesystem::remove_all(folder);
    const bool met = p50 <= 1.5 && p99 <= 2.0 && quorbital.lost == 0 && quorbital.disordered == 0;
    std::printf("%s\n", met ? "goals met" : "goals NOT met");
    return met ? 0 : 3;
}
