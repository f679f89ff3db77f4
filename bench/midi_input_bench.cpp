// Measures MIDI input turned into OSC by a headless Quorbital document, against a bare JACK → liblo
// bridge built here, in one run on a JACK server of the benchmark's own (`jackd -d dummy`):
//
//   midi_input_bench [--program PATH] [--rounds N] [--rate NOTES_A_SECOND | --dense] [--keep]
//
// A player client sends note messages at 10,000 a second (--rate: another rate; --dense: 20,000
// notes in one second, a burst the document must take without loss beyond the server's xruns). They go in turns to the document's MIDI
// input "Quorbital In (<port>)" and to the bridge's input. The document turns each into
// "/midi/note/1" at its own port, where a context of that address routes it with $args to the
// receiver; the bridge copies the events from its process callback into a ring, and a thread
// woken through a semaphore sends the same OSC message straight to the receiver. (The bridge thus
// does the least any program can: the document does the same plus a hop through its own port and
// its routing.) A third way, the same bridge sending through a bare relay port of its own
// ("bridge+hop"), shows what the hop alone costs: the document's latency above it is its routing's.
//
// The note's channel, pitch and velocity hold a sequence number (16 bits), so the receiver finds
// lost messages and the send time of each. Latency runs from the player's process callback that wrote
// the note to its arrival at the receiver: both ways include the same JACK cycle.
//
// Printed: per round and way, the count received and the latency percentiles; then the medians
// of the rounds as "ratio p50 <program/bridge>", "ratio p99 <...>" and "value lost <n>" lines, and
// the hop's and the MIDI layer's ratios to the bridge as "value" lines.
// The goals: p50 within 1.5×, p99 within 2×, no loss.

#include "core/mapping/QRBActionConfigurator.h"
#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/osc/QRBTarget.h"
#include "document/EngineClasses.h"
#include "document/QRBDocument.h"
#include "document/QRBManager.h"
#include "document/QRBRouteEventSource.h"
#include "foundation/RunLoop.h"
#include "midi/QRBMIDIManager.h"
#include "midi/tarn/TarnMIDIManager.h"
#include "platform/PlatformBackends.h"
#include "platform/midi/JackMidiBackend.h"
#include "support/JackTestServer.h"

#include "BenchChild.h"
#include "BenchSockets.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <lo/lo.h>

#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using bench::Child;
using bench::homeEnvironment;
using bench::median;
using bench::percentile;

namespace {

// The sequence number of a note: its channel (0 to 3) above its pitch and velocity, 16 bits.
constexpr uint32_t kMaxCount = 0xC000;  // channels 1 to 3 carry the trials' notes
constexpr uint32_t kWarmUp = 0xFFFF;    // channel 4: the notes that find the way open
double gRate = 10000.0;                 // notes a second
uint32_t gCount = 16000;                // notes a trial
constexpr int kPeriod = 256;          // frames a JACK cycle, at 48 kHz

uint64_t nowNanoseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// ---- the player -----------------------------------------------------------------------------------

struct Player {
    jack_client_t* client = nullptr;
    jack_port_t* port = nullptr;
    std::atomic<bool> warmingUp{false};
    std::atomic<bool> playing{false};
    uint64_t frames = 0;  // since the trial started; the process thread's alone
    std::atomic<uint32_t> sent{0};
    // Cycles the server reported late: a client that missed one lost what it carried, whatever
    // the way measured.
    std::atomic<uint32_t> xruns{0};
    std::vector<std::atomic<uint64_t>> sentAt = std::vector<std::atomic<uint64_t>>(kMaxCount);

    static int process(jack_nframes_t nframes, void* arg) {
        auto* self = static_cast<Player*>(arg);
        void* buffer = jack_port_get_buffer(self->port, nframes);
        jack_midi_clear_buffer(buffer);
        const uint64_t now = nowNanoseconds();
        if (self->warmingUp.load()) {
            const jack_midi_data_t note[3] = {0x90 | (kWarmUp >> 14), (kWarmUp >> 7) & 0x7F, kWarmUp & 0x7F};
            jack_midi_event_write(buffer, 0, note, 3);
        }
        if (!self->playing.load()) return 0;
        self->frames += nframes;
        const uint32_t due =
            std::min<uint32_t>(gCount, static_cast<uint32_t>(static_cast<double>(self->frames) * gRate / 48000.0));
        uint32_t sent = self->sent.load();
        const uint32_t count = due > sent ? due - sent : 0;
        for (uint32_t i = 0; i < count; ++i, ++sent) {
            const jack_midi_data_t note[3] = {static_cast<jack_midi_data_t>(0x90 | (sent >> 14)),
                                              static_cast<jack_midi_data_t>((sent >> 7) & 0x7F),
                                              static_cast<jack_midi_data_t>(sent & 0x7F)};
            self->sentAt[sent].store(now);
            if (jack_midi_event_write(buffer, i * nframes / count, note, 3) != 0) break;
        }
        self->sent.store(sent);
        if (sent >= gCount) self->playing.store(false);
        return 0;
    }
};

// ---- the receiver -----------------------------------------------------------------------------------

struct Receiver {
    lo_server_thread thread = nullptr;
    std::atomic<bool> warm{false};
    std::vector<std::atomic<uint64_t>> arrivedAt = std::vector<std::atomic<uint64_t>>(kMaxCount);

    Receiver() {
        thread = lo_server_thread_new_with_proto(nullptr, LO_UDP, nullptr);
        lo_server_thread_add_method(thread, nullptr, nullptr, &Receiver::handle, this);
        // Room for a few seconds of traffic: what a busy machine keeps this thread from reading
        // in time is not to count as lost by the programs measured.
        const int fd = lo_server_get_socket_fd(lo_server_thread_get_server(thread));
        const int size = 8 << 20;
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        lo_server_thread_start(thread);
    }
    ~Receiver() { lo_server_thread_free(thread); }
    int port() const { return lo_server_thread_get_port(thread); }
    void reset() {
        warm = false;
        for (auto& a : arrivedAt) a.store(0);
    }

    // The first integer is the pitch, the first float the velocity / 127, whatever the path.
    static int handle(const char* path, const char* types, lo_arg** argv, int argc, lo_message, void* arg) {
        const uint64_t now = nowNanoseconds();
        auto* self = static_cast<Receiver*>(arg);
        int32_t pitch = -1;
        float velocity = -1;
        for (int i = 0; i < argc; ++i) {
            if (types[i] == 'i' && pitch < 0) std::memcpy(&pitch, argv[i], sizeof pitch);
            if (types[i] == 'f' && velocity < 0) std::memcpy(&velocity, argv[i], sizeof velocity);
        }
        if (pitch < 0 || velocity < 0) return 0;
        // "/midi/note/<channel>": channels 1 to 4 are the sequence number's top two bits.
        const char* slash = std::strrchr(path, '/');
        const uint32_t channel = slash ? static_cast<uint32_t>(std::atoi(slash + 1)) : 1;
        if (channel < 1 || channel > 4) return 0;
        const uint32_t seq = ((channel - 1) << 14) | (static_cast<uint32_t>(pitch) << 7) |
                             static_cast<uint32_t>(velocity * 127.0f + 0.5f);
        if (seq == kWarmUp)
            self->warm = true;
        else if (seq < gCount && self->arrivedAt[seq].load() == 0)
            self->arrivedAt[seq].store(now);
        return 0;
    }
};

// ---- the bridge: JACK in, liblo out, with nothing in between ----------------------------------------

struct Bridge {
    jack_client_t* client = nullptr;
    jack_port_t* port = nullptr;
    jack_ringbuffer_t* ring = nullptr;
    sem_t wake{};
    std::atomic<bool> running{true};
    std::thread reader;
    lo_address to = nullptr;

    bool open(const JackTestServer& server, int receiverPort, const char* name = "bridge") {
        client = server.openClient(name);
        if (!client) return false;
        port = jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        ring = jack_ringbuffer_create(256 * 1024);
        sem_init(&wake, 0, 0);
        to = lo_address_new("127.0.0.1", std::to_string(receiverPort).c_str());
        jack_set_process_callback(client, &Bridge::process, this);
        reader = std::thread([this] { read(); });
        return port && jack_activate(client) == 0;
    }
    ~Bridge() {
        if (client) {
            jack_deactivate(client);
            jack_client_close(client);
        }
        running = false;
        sem_post(&wake);
        if (reader.joinable()) reader.join();
        if (ring) jack_ringbuffer_free(ring);
        if (to) lo_address_free(to);
        sem_destroy(&wake);
    }

    static int process(jack_nframes_t nframes, void* arg) {
        auto* self = static_cast<Bridge*>(arg);
        void* buffer = jack_port_get_buffer(self->port, nframes);
        const uint32_t count = jack_midi_get_event_count(buffer);
        bool wrote = false;
        for (uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) != 0 || event.size != 3) continue;
            if (jack_ringbuffer_write_space(self->ring) < 3) break;
            jack_ringbuffer_write(self->ring, reinterpret_cast<const char*>(event.buffer), 3);
            wrote = true;
        }
        if (wrote) sem_post(&self->wake);
        return 0;
    }

    void read() {
        while (running) {
            sem_wait(&wake);
            uint8_t bytes[3];
            while (jack_ringbuffer_read_space(ring) >= 3) {
                jack_ringbuffer_read(ring, reinterpret_cast<char*>(bytes), 3);
                if ((bytes[0] & 0xF0) != 0x90) continue;
                char path[] = "/midi/note/1";
                path[sizeof path - 2] = static_cast<char>('1' + (bytes[0] & 0x03));
                lo_send(to, path, "iff", int(bytes[1]), float(bytes[2] / 127.0), bytes[2] ? 1.0f : 0.0f);
            }
        }
    }
};

// ---- a bare hop: what passing through one more UDP port costs at the least -----------------------

// A socket on the loopback and a thread that sends every datagram it takes on to the receiver,
// unread. A bridge that sends here instead of to the receiver does what the document does up to
// its routing: one more send, one more wake-up and one more receive per message. The document's
// latency above this one is what its routing costs; this one above the bridge's is the hop's.
struct Relay {
    int fd = -1;
    long port = 0;
    sockaddr_in to{};
    std::atomic<bool> running{true};
    std::thread thread;

    bool open(int receiverPort) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address = bench::loopback(0);
        socklen_t length = sizeof address;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return false;
        port = ntohs(address.sin_port);
        to = bench::loopback(receiverPort);
        const int size = 4 << 20;  // as the document asks for its own port
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        const timeval wait{0, 100 * 1000};  // to see `running` go off
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        thread = std::thread([this] {
            char buffer[1536];
            while (running) {
                const ssize_t size = recv(fd, buffer, sizeof buffer, 0);
                if (size > 0)
                    sendto(fd, buffer, static_cast<size_t>(size), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            }
        });
        return true;
    }
    ~Relay() {
        running = false;
        if (thread.joinable()) thread.join();
        if (fd >= 0) close(fd);
    }
};

// ---- the document and its program ---------------------------------------------------------------------

// One context, "/midi/note/1", with an action per argument, routing its arguments unchanged to
// the receiver.
void writeDocument(const std::string& path, long inPort, long outPort) {
    QRBDocument document;
    document.makeWindowControllers();
    const QRBManagerPtr& manager = document.oscManager();
    manager->setServerPort(inPort);
    manager->oscTargets()[0]->setTargetSpec("127.0.0.1:" + std::to_string(outPort));
    auto route = std::make_shared<QRBRouteEventSource>();
    route->setTargetIdentifier(0);
    manager->insertObject(route, 0);
    // Channels 1 to 4: the sequence number's top bits, and the warm-up notes.
    for (int channel = 1; channel <= 4; ++channel) {
        auto context = QRBContext::create("/midi/note/" + std::to_string(channel), manager);
        manager->presetManager()->currentPreset()->addObject(context);
        // Made before the route is set, so that the route stays on the context and sends every
        // argument as it came.
        for (int i = 0; i < 3; ++i)
            if (auto action = context->createAction<QRBConcreteAction>(std::nullopt))
                QRBActionConfigurator::shared().configureAction(*action);
        context->setEventSource(route);
    }
    document.saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveTo);
    document.close();
}

// The full name of the input port whose name ends with `suffix`, or "" when none does.
std::string jackPortEndingWith(jack_client_t* client, const std::string& suffix) {
    std::string found;
    const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
    for (size_t i = 0; ports && ports[i]; ++i) {
        const std::string name = ports[i];
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            found = name;
    }
    jack_free(ports);
    return found;
}

// ---- trials -------------------------------------------------------------------------------------------

struct Figures {
    bool measured = false;
    uint32_t received = 0;
    double p50 = 0, p99 = 0;  // milliseconds
};

bool waitFor(const std::function<bool()>& condition, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        // The main loop takes what the in-process MIDI manager hands it.
        foundation::RunLoop::main().runMode(foundation::RunLoopMode::Default, 0.005);
    }
    return condition();
}

// Plays one trial into `input` (a JACK port name).
Figures trial(Player& player, Receiver& receiver, const std::string& input) {
    Figures figures;
    const std::string output = std::string(jack_get_client_name(player.client)) + ":out";
    if (jack_connect(player.client, output.c_str(), input.c_str()) != 0) {
        std::printf("cannot connect to %s\n", input.c_str());
        return figures;
    }
    receiver.reset();
    // A connection takes effect at a later cycle: notes go until one arrives.
    player.warmingUp = true;
    const bool open = waitFor([&] { return receiver.warm.load(); }, 10);
    player.warmingUp = false;
    if (!open) {
        std::printf("nothing arrives through %s\n", input.c_str());
        jack_disconnect(player.client, output.c_str(), input.c_str());
        return figures;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    receiver.reset();
    for (auto& s : player.sentAt) s.store(0);
    player.sent = 0;
    player.frames = 0;  // the process thread reads it only while playing
    player.playing = true;
    waitFor([&] { return !player.playing.load(); }, 30);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the stragglers
    jack_disconnect(player.client, output.c_str(), input.c_str());

    std::vector<double> latencies;
    for (uint32_t i = 0; i < gCount; ++i) {
        const uint64_t sent = player.sentAt[i].load(), arrived = receiver.arrivedAt[i].load();
        // An arrival before the send is a straggler of the trial before, with the same number.
        if (sent && arrived >= sent) latencies.push_back(static_cast<double>(arrived - sent) / 1e6);
    }
    figures.measured = true;
    figures.received = static_cast<uint32_t>(latencies.size());
    figures.p50 = percentile(latencies, 0.5);
    figures.p99 = percentile(latencies, 0.99);
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    registerEngineClasses();
    platform::registerPlatformBackends();
    std::string program = QUORBITAL_PROGRAM;
    int rounds = 3;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--program") == 0 && i + 1 < argc)
            program = argv[++i];
        else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--keep") == 0)
            keep = true;
        else if (std::strcmp(argv[i], "--rate") == 0 && i + 1 < argc)
            gRate = std::clamp(std::atof(argv[++i]), 100.0, 100000.0);
        else if (std::strcmp(argv[i], "--dense") == 0) {
            // A dense burst: 20,000 notes in one second.
            gRate = 20000.0;
            gCount = 20000;
        } else {
            std::fprintf(stderr,
                         "usage: midi_input_bench [--program PATH] [--rounds N] [--rate NOTES_A_SECOND | --dense] "
                         "[--keep]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    char folderTemplate[] = "/tmp/midi_input_bench.XXXXXX";
    const std::string folder = mkdtemp(folderTemplate);

    JackTestServer server("bench", kPeriod);
    if (!server.whyNot().empty()) {
        std::fprintf(stderr, "no JACK server: %s\n", server.whyNot().c_str());
        return 1;
    }
    Receiver receiver;

    Player player;
    player.client = server.openClient("player");
    if (!player.client) return 1;
    player.port = jack_port_register(player.client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(player.client, &Player::process, &player);
    jack_set_xrun_callback(
        player.client,
        [](void* arg) {
            static_cast<Player*>(arg)->xruns.fetch_add(1);
            return 0;
        },
        &player);
    if (!player.port || jack_activate(player.client) != 0) return 1;

    Bridge bridge;
    if (!bridge.open(server, receiver.port())) {
        std::fprintf(stderr, "the bridge has no JACK client\n");
        return 1;
    }
    const std::string bridgeInput = std::string(jack_get_client_name(bridge.client)) + ":in";
    Relay relay;
    Bridge hopBridge;
    if (!relay.open(receiver.port()) || !hopBridge.open(server, static_cast<int>(relay.port), "hop")) {
        std::fprintf(stderr, "the bridge through a hop could not be set up\n");
        return 1;
    }
    const std::string hopInput = std::string(jack_get_client_name(hopBridge.client)) + ":in";

    const long inPort = bench::freePort();
    const std::string document = folder + "/midi.qrb3";
    writeDocument(document, inPort, receiver.port());
    std::vector<std::string> environment = homeEnvironment(folder + "/home");
    environment.push_back("JACK_DEFAULT_SERVER=" + server.name());
    Child quorbital({program, "-headless", document, "-MIDIBackend", "JACK"}, folder + "/quorbital.log", environment);
    // The document's input is named after its port once it listens.
    std::string programInput;
    const std::string suffix = "Quorbital In (" + std::to_string(inPort) + ")";
    waitFor(
        [&] {
            programInput = jackPortEndingWith(player.client, suffix);
            return !programInput.empty();
        },
        60);
    if (programInput.empty()) {
        std::fprintf(stderr, "the document's MIDI input did not appear:\n%s\n", quorbital.output().c_str());
        return 1;
    }

    // The MIDI layer alone, in this process: the same packets become OSC sent straight to the
    // receiver, without the hop through a document's port and routing.
    std::shared_ptr<midi::MidiBackend> layerBackend = platform::JackMidiBackend::open("layer", server.name());
    if (!layerBackend) {
        std::fprintf(stderr, "the in-process MIDI layer has no JACK client\n");
        return 1;
    }
    TarnMIDIManager::setShared(TarnMIDIManager::create(layerBackend));
    auto layer = QRBMIDIManager::create();
    layer->setTargetURL("osc.udp://127.0.0.1:" + std::to_string(receiver.port()));
    const std::string layerInput = jackPortEndingWith(player.client, layer->virtualDestination()->name());

    std::printf("%u notes a trial at %.0f a second, JACK cycles of %d frames at 48 kHz\n", gCount, gRate, kPeriod);
    std::vector<double> programP50, programP99, bridgeP50, bridgeP99, layerP50, layerP99, hopP50, hopP99;
    uint32_t programLost = 0, bridgeLost = 0, layerLost = 0, hopLost = 0;
    // Notes the trials of the document lost in rounds where the server reported no late cycle:
    // a late cycle takes its notes from whichever way is playing, the document's loss is the rest.
    uint32_t programLostWithoutXruns = 0;
    for (int round = 0; round < rounds; ++round) {
        // In turns, so that whatever else the machine does falls on both.
        const uint32_t xrunsBefore = player.xruns.load();
        const Figures b = trial(player, receiver, bridgeInput);
        const uint32_t xrunsBeforeProgram = player.xruns.load();
        const Figures q = trial(player, receiver, programInput);
        if (player.xruns.load() == xrunsBeforeProgram) programLostWithoutXruns += gCount - q.received;
        const Figures l = trial(player, receiver, layerInput);
        const Figures h = trial(player, receiver, hopInput);
        if (!b.measured || !q.measured || !l.measured || !h.measured) {
            std::fprintf(stderr, "a trial failed:\n%s\n", quorbital.output().c_str());
            return 1;
        }
        std::printf("round %d  late cycles (xruns) %u\n", round + 1, player.xruns.load() - xrunsBefore);
        std::printf("round %d  bridge    received %5u  p50 %.3f ms  p99 %.3f ms\n", round + 1, b.received, b.p50,
                    b.p99);
        std::printf("round %d  quorbital received %5u  p50 %.3f ms  p99 %.3f ms\n", round + 1, q.received, q.p50,
                    q.p99);
        std::printf("round %d  MIDI layer received %5u  p50 %.3f ms  p99 %.3f ms\n", round + 1, l.received, l.p50,
                    l.p99);
        std::printf("round %d  bridge+hop received %5u  p50 %.3f ms  p99 %.3f ms\n", round + 1, h.received, h.p50,
                    h.p99);
        hopP50.push_back(h.p50);
        hopP99.push_back(h.p99);
        hopLost += gCount - h.received;
        layerP50.push_back(l.p50);
        layerP99.push_back(l.p99);
        layerLost += gCount - l.received;
        bridgeP50.push_back(b.p50);
        bridgeP99.push_back(b.p99);
        programP50.push_back(q.p50);
        programP99.push_back(q.p99);
        bridgeLost += gCount - b.received;
        programLost += gCount - q.received;
    }
    std::printf("value xruns %u\n", player.xruns.load());
    std::printf("value bridge_lost %u\n", bridgeLost);
    std::printf("value lost %u\n", programLost);
    std::printf("value lost_without_xruns %u\n", programLostWithoutXruns);
    std::printf("value layer_lost %u\n", layerLost);
    std::printf("value layer_p50_ratio %.3f\n", median(layerP50) / median(bridgeP50));
    std::printf("value layer_p99_ratio %.3f\n", median(layerP99) / median(bridgeP99));
    std::printf("value hop_lost %u\n", hopLost);
    std::printf("value hop_p50_ratio %.3f\n", median(hopP50) / median(bridgeP50));
    std::printf("value hop_p99_ratio %.3f\n", median(hopP99) / median(bridgeP99));
    std::printf("ratio p50 %.3f\n", median(programP50) / median(bridgeP50));
    std::printf("ratio p99 %.3f\n", median(programP99) / median(bridgeP99));
    // The in-process layer leaves the server before it stops.
    layer->close();
    layer.reset();
    TarnMIDIManager::setShared(nullptr);
    layerBackend.reset();
    if (!keep) std::filesystem::remove_all(folder);
    return 0;
}
