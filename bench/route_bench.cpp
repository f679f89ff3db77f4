// Measures the road of one message through a headless Quorbital document on the loopback, against
// a bare liblo forwarder doing no routing, in one run:
//
//   route_bench [--quick]
//
// The document (written here with the document classes) has one context, "/bench", scaling its
// one float by exactly 2 (input 0..2^24 to output 0..2^25) and routing it with $args to the
// receiver. The float is the message's sequence number: every integer below 2^24 is exact in a
// float, so the receiver reads the number back (divided by 2 for Quorbital) and finds lost and
// reordered messages without a second argument, which would make the context a multi-argument one
// whose $args is the unscaled message.
//
// The headless program runs as a child process; the baseline forwarder is this program again,
// started with "--forward <in port> <out port>". Latency is measured at a low paced rate; the
// no-loss rate by a short search with shorter trials, confirmed over 100,000 messages. The ratios
// Quorbital / baseline come last, one "ratio <name> <value>" line each.

#include "core/QRBContext.h"
#include "core/QRBDocument.h"
#include "core/QRBManager.h"
#include "core/QRBPreset.h"
#include "core/QRBPresetManager.h"
#include "core/QRBRouteEventSource.h"
#include "core/QRBTarget.h"
#include "foundation/Exception.h"

#include <lo/lo.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kInputAddress = "/bench";
constexpr const char* kOutputAddress = "/bench/out";
constexpr double kScale = 2.0;  // what the document's context multiplies by
constexpr size_t kConfirmCount = 100000;
constexpr size_t kSearchCount = 20000;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

long freeUdpPort() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    long port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

// ---- the baseline: receive, then send the same message on, on one thread ----------------------

lo_address gForwardTo = nullptr;

int forwardHandler(const char* path, const char*, lo_arg**, int, lo_message message, void*) {
    lo_send_message(gForwardTo, path, message);
    return 0;
}

int runForwarder(const char* inPort, const char* outPort) {
    signal(SIGTERM, SIG_DFL);
    lo_server server = lo_server_new_with_proto(inPort, LO_UDP, nullptr);
    if (!server) return 1;
    gForwardTo = lo_address_new("127.0.0.1", outPort);
    lo_server_add_method(server, nullptr, nullptr, forwardHandler, nullptr);
    std::printf("forwarding\n");
    std::fflush(stdout);
    for (;;) lo_server_recv(server);
}

// ---- child processes ----------------------------------------------------------------------------

struct Child {
    pid_t pid = -1;
    std::string logPath;

    Child(const std::vector<std::string>& arguments, const std::string& log, const std::string& home) : logPath(log) {
        std::vector<std::string> texts = arguments;
        std::vector<char*> argv;
        for (auto& t : texts) argv.push_back(t.data());
        argv.push_back(nullptr);
        const std::string config = home + "/config", runtime = home + "/runtime";
        std::filesystem::create_directories(config);
        std::filesystem::create_directories(runtime);
        pid = fork();
        if (pid == 0) {
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            setenv("XDG_CONFIG_HOME", config.c_str(), 1);
            setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Child() { stop(); }

    std::string output() const {
        std::ifstream in(logPath);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool waitForOutput(const std::string& text, double timeout) {
        const auto end = Clock::now() + std::chrono::duration<double>(timeout);
        while (Clock::now() < end) {
            if (output().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    void stop() {
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    // Resident memory in kB.
    long residentKB() const {
        std::ifstream in("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
        return -1;
    }
    // User and system CPU time in seconds.
    double cpuSeconds() const {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t close = text.rfind(')');
        if (close == std::string::npos) return -1;
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        // After the name: state is field 3; utime and stime are fields 14 and 15.
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
        }
        return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
};

// ---- documents ------------------------------------------------------------------------------------

void writeDocument(const std::string& path, long inPort, long outPort, int extraContexts) {
    QRBDocument document;
    document.makeWindowControllers();
    const QRBManagerPtr& manager = document.oscManager();
    manager->setServerPort(inPort);
    manager->oscTargets()[0]->setTargetSpec("127.0.0.1:" + std::to_string(outPort));
    auto route = std::make_shared<QRBRouteEventSource>();  // $args alone: the scaled value
    route->setTargetIdentifier(0);
    route->setRewriteAddress(std::string(kOutputAddress));
    manager->insertObject(route, 0);

    auto context = QRBContext::create(std::string(kInputAddress), manager);
    manager->presetManager()->currentPreset()->addObject(context);
    context->setInputMin(0.0);
    context->setInputMax(16777216.0);
    context->setOutputMin(0.0);
    context->setOutputMax(16777216.0 * kScale);
    context->setEventSource(route);

    for (int i = 0; i < extraContexts; ++i) {
        auto other = QRBContext::create("/idle/" + std::to_string(i), manager);
        manager->presetManager()->currentPreset()->addObject(other);
    }
    document.saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveTo);
    document.close();
}

// ---- sender and receiver --------------------------------------------------------------------------

// "/bench" ,f <value>: 16 bytes, made by hand so that the sender costs next to nothing.
struct Packet {
    char bytes[16] = {'/', 'b', 'e', 'n', 'c', 'h', 0, 0, ',', 'f', 0, 0, 0, 0, 0, 0};
    void setValue(float value) {
        uint32_t bits;
        std::memcpy(&bits, &value, 4);
        bits = htonl(bits);
        std::memcpy(bytes + 12, &bits, 4);
    }
};

struct Trial {
    size_t sent = 0;
    size_t received = 0;
    size_t reordered = 0;  // arrivals with a lower number than one before them
    size_t duplicates = 0;
    std::vector<double> latencies;  // seconds, of the messages that arrived
    bool clean() const { return received == sent && reordered == 0 && duplicates == 0; }
};

// Sends `count` messages at `rate` per second to `inPort`, receives on `receiver`, and collects.
Trial runTrial(int receiver, long inPort, double divisor, size_t count, double rate) {
    std::vector<Clock::time_point> sentAt(count);
    std::vector<Clock::time_point> arrivedAt(count);
    std::vector<char> arrived(count, 0);
    Trial trial;
    trial.sent = count;
    std::atomic<bool> sending{true};
    std::atomic<Clock::time_point> lastSend{Clock::now()};

    std::thread receiving([&] {
        char buffer[512];
        long last = -1;
        for (;;) {
            pollfd p{receiver, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) {
                // Done once sending ended and nothing came for half a second.
                if (!sending && seconds(Clock::now() - lastSend.load()) > 0.5) return;
                continue;
            }
            const ssize_t size = recv(receiver, buffer, sizeof buffer, 0);
            const auto now = Clock::now();
            if (size < 4) continue;
            uint32_t bits;
            std::memcpy(&bits, buffer + size - 4, 4);
            bits = ntohl(bits);
            float value;
            std::memcpy(&value, &bits, 4);
            const long number = std::lround(value / divisor);
            if (number < 0 || static_cast<size_t>(number) >= count) continue;  // a leftover
            if (arrived[number]) {
                ++trial.duplicates;
                continue;
            }
            arrived[number] = 1;
            arrivedAt[number] = now;
            ++trial.received;
            if (number < last) ++trial.reordered;
            last = std::max(last, number);
        }
    });

    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(inPort));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Packet packet;
    const auto start = Clock::now();
    const double interval = 1.0 / rate;
    for (size_t i = 0; i < count; ++i) {
        const auto due = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(i * interval));
        // Sleep while far from the due time, then spin: sleeping alone is too coarse for high rates.
        for (auto now = Clock::now(); now < due; now = Clock::now()) {
            if (due - now > std::chrono::microseconds(200)) std::this_thread::sleep_for(due - now - std::chrono::microseconds(100));
        }
        packet.setValue(static_cast<float>(i));
        sentAt[i] = Clock::now();
        sendto(sender, packet.bytes, sizeof packet.bytes, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    lastSend = Clock::now();
    sending = false;
    receiving.join();
    close(sender);
    for (size_t i = 0; i < count; ++i)
        if (arrived[i]) trial.latencies.push_back(seconds(arrivedAt[i] - sentAt[i]));
    return trial;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(std::ceil(p / 100.0 * values.size())) - 1);
    return values[index];
}

int makeReceiver(long& port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    // A receive buffer large enough that the receiver is never what loses messages.
    int size = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

// Sends until something arrives: a server may still be starting after its line was printed.
bool waitUntilRouting(int receiver, long inPort, double divisor) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        Trial probe = runTrial(receiver, inPort, divisor, 1, 1000);
        if (probe.received == 1) return true;
    }
    return false;
}

struct Figures {
    double p50 = NAN, p99 = NAN, p999 = NAN;
    double rate = 0;            // highest clean rate confirmed over kConfirmCount messages
    size_t confirmedCount = 0;  // how many messages the confirmation sent
};

Figures measure(const char* name, int receiver, long inPort, double divisor, bool quick) {
    Figures f;
    const size_t latencyCount = quick ? 2000 : 5000;
    Trial latency = runTrial(receiver, inPort, divisor, latencyCount, 1000);
    f.p50 = percentile(latency.latencies, 50) * 1e6;
    f.p99 = percentile(latency.latencies, 99) * 1e6;
    f.p999 = percentile(latency.latencies, 99.9) * 1e6;
    std::printf("%s latency at 1000/s over %zu: p50 %.1f us, p99 %.1f us, p99.9 %.1f us (%zu of %zu arrived)\n", name,
                latencyCount, f.p50, f.p99, f.p999, latency.received, latency.sent);

    // Doubling from 5,000/s until a trial loses or reorders, then a few halvings between the two.
    double good = 0, bad = 0;
    for (double rate = 5000; rate <= 1.6e6; rate *= 2) {
        Trial t = runTrial(receiver, inPort, divisor, kSearchCount, rate);
        std::printf("%s   %8.0f/s over %zu: %zu lost, %zu reordered\n", name, rate, kSearchCount, t.sent - t.received, t.reordered);
        if (t.clean()) good = rate;
        else {
            bad = rate;
            break;
        }
    }
    for (int step = 0; bad > 0 && step < 3; ++step) {
        const double rate = (good + bad) / 2;
        Trial t = runTrial(receiver, inPort, divisor, kSearchCount, rate);
        std::printf("%s   %8.0f/s over %zu: %zu lost, %zu reordered\n", name, rate, kSearchCount, t.sent - t.received, t.reordered);
        (t.clean() ? good : bad) = rate;
    }
    // The confirmation over the full count, lowered by a tenth at each failure.
    const size_t count = quick ? kSearchCount : kConfirmCount;
    for (int attempt = 0; attempt < 4 && good > 0; ++attempt) {
        Trial t = runTrial(receiver, inPort, divisor, count, good);
        std::printf("%s   %8.0f/s over %zu: %zu lost, %zu reordered (confirmation)\n", name, good, count, t.sent - t.received,
                    t.reordered);
        if (t.clean()) {
            f.rate = good;
            f.confirmedCount = count;
            break;
        }
        good *= 0.9;
    }
    std::printf("%s no-loss rate: %.0f messages/s over %zu messages\n", name, f.rate, f.confirmedCount);
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--forward") == 0) return runForwarder(argv[2], argv[3]);
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows as it comes, also into a file

    const std::string program = QUORBITAL_PROGRAM;
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    char folderTemplate[] = "/tmp/route_bench.XXXXXX";
    const std::string folder = mkdtemp(folderTemplate);
    const auto benchStart = Clock::now();

    long receivePort = 0;
    const int receiver = makeReceiver(receivePort);
    Figures quorbital, baseline;
    long idleKB = -1, afterKB = -1, contextsKB = -1;
    double idleCPU = NAN;

    try {
        // Quorbital.
        const long inPort = freeUdpPort();
        const std::string document = folder + "/bench.qrb3";
        writeDocument(document, inPort, receivePort, 0);
        {
            Child child({program, "-headless", document}, folder + "/quorbital.log", folder + "/home");
            if (!child.waitForOutput("Starting routing...", 30) || !waitUntilRouting(receiver, inPort, kScale)) {
                std::fprintf(stderr, "The headless program does not route:\n%s\n", child.output().c_str());
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
            idleKB = child.residentKB();
            const double before = child.cpuSeconds();
            std::this_thread::sleep_for(std::chrono::seconds(3));
            idleCPU = (child.cpuSeconds() - before) / 3.0 * 100.0;
            std::printf("quorbital idle: resident %ld kB, CPU %.2f %% over 3 s\n", idleKB, idleCPU);
            quorbital = measure("quorbital", receiver, inPort, kScale, quick);
            afterKB = child.residentKB();
            std::printf("quorbital resident after the runs: %ld kB\n", afterKB);
        }

        // The same document with 10,000 more contexts, idle.
        {
            const long port = freeUdpPort();
            const std::string big = folder + "/contexts.qrb3";
            const auto writing = Clock::now();
            writeDocument(big, port, receivePort, 10000);
            std::printf("wrote a document with 10,000 contexts in %.1f s\n", seconds(Clock::now() - writing));
            Child child({program, "-headless", big}, folder + "/contexts.log", folder + "/home");
            const auto loading = Clock::now();
            if (child.waitForOutput("Starting routing...", 60) && waitUntilRouting(receiver, port, kScale)) {
                std::printf("started with 10,000 contexts in %.1f s\n", seconds(Clock::now() - loading));
                std::this_thread::sleep_for(std::chrono::seconds(1));
                contextsKB = child.residentKB();
                std::printf("quorbital with 10,000 contexts, idle: resident %ld kB\n", contextsKB);
            } else {
                contextsKB = child.residentKB();
                std::printf("quorbital with 10,000 contexts did not start routing within 60 s (resident %ld kB while "
                            "loading):\n%s\n",
                            contextsKB, child.output().c_str());
            }
        }
    } catch (const foundation::Exception& e) {
        std::fprintf(stderr, "%s: %s\n", e.name().c_str(), e.reason().c_str());
        return 1;
    }

    // The baseline.
    {
        const long inPort = freeUdpPort();
        Child child({self, "--forward", std::to_string(inPort), std::to_string(receivePort)}, folder + "/forwarder.log",
                    folder + "/home");
        if (!child.waitForOutput("forwarding", 10) || !waitUntilRouting(receiver, inPort, 1.0)) {
            std::fprintf(stderr, "The forwarder does not forward\n");
            return 1;
        }
        baseline = measure("baseline", receiver, inPort, 1.0, quick);
        std::printf("baseline resident after the runs: %ld kB\n", child.residentKB());
    }
    close(receiver);
    std::filesystem::remove_all(folder);
    std::printf("total time %.0f s\n", seconds(Clock::now() - benchStart));

    std::printf("value rss_idle_kB %ld\n", idleKB);
    std::printf("value rss_10000_contexts_kB %ld\n", contextsKB);
    std::printf("value rss_after_run_kB %ld\n", afterKB);
    std::printf("value cpu_idle_percent %.2f\n", idleCPU);
    std::printf("ratio p50_latency %.2f\n", quorbital.p50 / baseline.p50);
    std::printf("ratio p99_latency %.2f\n", quorbital.p99 / baseline.p99);
    std::printf("ratio p99.9_latency %.2f\n", quorbital.p999 / baseline.p999);
    std::printf("ratio no_loss_rate %.2f\n", baseline.rate > 0 ? quorbital.rate / baseline.rate : NAN);
    return 0;
}
