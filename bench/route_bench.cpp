// Measures the road of one message through a headless Quorbital document on the loopback, against
// a bare liblo forwarder doing no routing, in one run:
//
//   route_bench [--quick] [--only PART[,PART...]] [--program PATH] [--keep]
//
// PART is one of: udp (the main figures, memory and idle CPU), tcp, args8, contexts, monitor,
// paced, startup, instructions. Without --only every part runs. --program measures another build
// of the headless program (an earlier one, say) with this benchmark; --keep leaves the documents
// and the programs' logs in the benchmark's folder under /tmp.
//
// The document (written here with the document classes) has one context, "/bench", scaling its
// one float by exactly 2 (input 0..2^24 to output 0..2^25) and routing it with $args to the
// receiver. The float is the message's sequence number: every integer below 2^24 is exact in a
// float, so the receiver reads the number back (divided by 2 for Quorbital) and finds lost and
// reordered messages without a second argument, which would make the context a multi-argument one
// (see args8).
//
// The headless program runs as a child process; the baseline forwarder is this program again,
// started with "--forward <in port> <out port> <udp|tcp>". Latency is measured at a low paced
// rate; the no-loss rate by a short search with shorter trials, confirmed over 100,000 messages.
//
// The variants, each against a baseline doing the same transport and message in the same run:
//   tcp       the document's TCP server in, a TCP target out; the forwarder over TCP both ways.
//             TCP loses nothing, so in place of the no-loss rate comes the throughput: messages
//             sent as fast as the connection takes them (a full connection holds the sender
//             back), counted from the first send to the last arrival, all checked to arrive in
//             order; the best of three runs. A paced rate with a bound on latency was the other
//             choice, but on a busy machine such a bound measures the scheduler more than the
//             router.
//   args8     eight floats per message, into a context that the document gives eight argument
//             actions before the route is set: a multi-argument context's $args is the whole
//             message unscaled, so the sequence number travels as the last float as it is. (Left
//             to the first message, the actions would be made then, and the first of them would
//             take over the context's route and send its own scaled float alone.)
//   contexts  1,000 more contexts in the document, registered before the measured one, so that
//             every message passes their entries of the server's table first.
//   monitor   the message monitor recording both directions. A headless document's monitor always
//             records (it starts unpaused; pausing is neither archived nor reachable without the
//             window), incoming messages only by default, so the main figures include recording
//             the input. Its direction is archived: this document records input and output.
//   paced     latency alone at the rates a musician's controller sends (1,000 messages/s) and at
//             10,000/s, over UDP and over TCP, with Quorbital and the forwarder both running and
//             measured in turns, several rounds each; the medians of the rounds' percentiles are
//             compared. Taking turns spreads whatever else the machine does over both.
//   startup   the time from starting the process to the first routed message, with the main
//             document (one context) and with 10,000 more contexts, against the forwarder's
//             time to its first forwarded message: a probe is sent every millisecond from the
//             start, and the first one to come back ends the clock. The median of a few starts.
//
// The UDP variants confirm their no-loss rate over 20,000 messages (the main figures over 100,000),
// which keeps the whole run within about ten minutes even when the rates are low.
//
// Last come instructions per routed message, counted under callgrind (see measureInstructions).
// The ratios Quorbital / baseline come last, one "ratio <name> <value>" line each; "value" lines
// before them hold figures without a baseline.

#include "BenchChild.h"
#include "BenchSockets.h"
#include "core/mapping/QRBActionConfigurator.h"
#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/monitor/QRBMessageMonitor.h"
#include "core/osc/QRBTarget.h"
#include "document/EngineClasses.h"
#include "document/QRBDocument.h"
#include "document/QRBManager.h"
#include "document/QRBRouteEventSource.h"
#include "foundation/Exception.h"
#include "platform/PlatformBackends.h"

#include <lo/lo.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
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
#include <functional>
#include <map>
#include <optional>
#include <set>
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
constexpr int kThroughputRuns = 3;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

enum class Transport { UDP, TCP };

const char* transportName(Transport t) { return t == Transport::UDP ? "udp" : "tcp"; }

using bench::Child;
using bench::freePort;
using bench::homeEnvironment;
using bench::loopback;
using bench::percentile;

// ---- the baseline: receive, then send the same message on, on one thread ----------------------

lo_address gForwardTo = nullptr;

int forwardHandler(const char* path, const char*, lo_arg**, int, lo_message message, void*) {
    lo_send_message(gForwardTo, path, message);
    return 0;
}

int runForwarder(const char* inPort, const char* outPort, const char* transport) {
    const int protocol = std::strcmp(transport, "tcp") == 0 ? LO_TCP : LO_UDP;
    // Ends by exiting on a signal, so that a profiler running it writes what it counted.
    struct sigaction stop {};
    stop.sa_handler = [](int) { _exit(0); };
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    lo_server server = lo_server_new_with_proto(inPort, protocol, nullptr);
    if (!server) return 1;
    gForwardTo = lo_address_new_with_proto(protocol, "127.0.0.1", outPort);
    lo_server_add_method(server, nullptr, nullptr, forwardHandler, nullptr);
    std::printf("forwarding\n");
    std::fflush(stdout);
    // lo_server_recv, not lo_server_recv_noblock: only the former dispatches the TCP messages
    // that an earlier read left in liblo's buffer before it waits on the socket again.
    for (;;) lo_server_recv(server);
}

// ---- child processes ----------------------------------------------------------------------------

// ---- documents ------------------------------------------------------------------------------------

struct DocumentShape {
    Transport transport = Transport::UDP;  // of the target; the document listens on both
    int extraContexts = 0;
    bool extrasFirst = false;  // the extra contexts before the measured one in the preset
    bool monitorBoth = false;  // the monitor records outgoing messages too
    int argumentActions = 0;   // the measured context's argument actions (for messages of as many)
};

void writeDocument(const std::string& path, long inPort, long outPort, const DocumentShape& shape) {
    QRBDocument document;
    document.makeWindowControllers();
    const QRBManagerPtr& manager = document.oscManager();
    manager->setServerPort(inPort);
    const std::string scheme = shape.transport == Transport::TCP ? "osc.tcp://" : "";
    manager->oscTargets()[0]->setTargetSpec(scheme + "127.0.0.1:" + std::to_string(outPort));
    if (shape.monitorBoth) manager->messageMonitor()->setDirection(0);
    auto route = std::make_shared<QRBRouteEventSource>();  // $args alone: the scaled value
    route->setTargetIdentifier(0);
    route->setRewriteAddress(std::string(kOutputAddress));
    manager->insertObject(route, 0);

    const auto addExtras = [&] {
        for (int i = 0; i < shape.extraContexts; ++i) {
            auto other = QRBContext::create("/idle/" + std::to_string(i), manager);
            manager->presetManager()->currentPreset()->addObject(other);
        }
    };
    if (shape.extrasFirst) addExtras();
    auto context = QRBContext::create(std::string(kInputAddress), manager);
    manager->presetManager()->currentPreset()->addObject(context);
    // Made before the route is set: the first action of a context takes over the context's
    // output, and the route is to stay on the context, which then sends every argument.
    for (int i = 0; i < shape.argumentActions; ++i)
        if (auto action = context->createAction<QRBConcreteAction>(std::nullopt))
            QRBActionConfigurator::shared().configureAction(*action);
    context->setInputMin(0.0);
    context->setInputMax(16777216.0);
    context->setOutputMin(0.0);
    context->setOutputMax(16777216.0 * kScale);
    context->setEventSource(route);
    if (!shape.extrasFirst) addExtras();

    document.saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveTo);
    document.close();
}

// ---- sender and receiver --------------------------------------------------------------------------

// "/bench" with `floats` floats, made by hand so that the sender costs next to nothing. The
// sequence number is the last float; the others hold fixed values.
struct Packet {
    std::vector<char> bytes;

    explicit Packet(int floats) {
        const std::string address = kInputAddress;
        const std::string tags = "," + std::string(static_cast<size_t>(floats), 'f');
        const auto padded = [](size_t n) { return (n / 4 + 1) * 4; };  // with at least one NUL
        bytes.assign(padded(address.size()) + padded(tags.size()) + 4 * static_cast<size_t>(floats), 0);
        std::memcpy(bytes.data(), address.data(), address.size());
        std::memcpy(bytes.data() + padded(address.size()), tags.data(), tags.size());
        for (int i = 0; i + 1 < floats; ++i)
            setFloat(bytes.size() - 4 * static_cast<size_t>(floats - i), 0.25f * (i + 1));
    }
    void setValue(float value) { setFloat(bytes.size() - 4, value); }

private:
    void setFloat(size_t offset, float value) {
        uint32_t bits;
        std::memcpy(&bits, &value, 4);
        bits = htonl(bits);
        std::memcpy(bytes.data() + offset, &bits, 4);
    }
};

// Where the messages go in: a UDP socket, or one TCP connection (liblo's stream framing: a
// 4-byte big-endian length before each packet). Sends are bounded in time: a peer that stops
// reading fails the send instead of blocking the benchmark.
class Sender {
public:
    Sender(Transport transport, long port) : transport_(transport), to_(loopback(port)) {
        if (transport == Transport::UDP) {
            fd_ = socket(AF_INET, SOCK_DGRAM, 0);
            return;
        }
        // The server may still be starting after its line was printed.
        for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(fd, reinterpret_cast<sockaddr*>(&to_), sizeof to_) == 0) {
                fd_ = fd;
                break;
            }
            close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (fd_ < 0) return;
        int one = 1;  // every message leaves at once, as a controller's would
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval timeout{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    }
    ~Sender() {
        if (fd_ >= 0) close(fd_);
    }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    bool ok() const { return fd_ >= 0; }

    bool send(const Packet& packet) {
        if (transport_ == Transport::UDP) {
            sendto(fd_, packet.bytes.data(), packet.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to_),
                   sizeof to_);
            return true;  // a datagram the kernel drops is the loss being measured
        }
        frame_.resize(4 + packet.bytes.size());
        const uint32_t length = htonl(static_cast<uint32_t>(packet.bytes.size()));
        std::memcpy(frame_.data(), &length, 4);
        std::memcpy(frame_.data() + 4, packet.bytes.data(), packet.bytes.size());
        for (size_t done = 0; done < frame_.size();) {
            const ssize_t n = ::send(fd_, frame_.data() + done, frame_.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

private:
    Transport transport_;
    sockaddr_in to_;
    int fd_ = -1;
    std::vector<char> frame_;
};

// Where the routed messages arrive: a UDP socket, or a TCP listener and the connections the
// router opens to it (they outlive a trial: the router keeps its connection).
class Receiver {
public:
    explicit Receiver(Transport transport) : transport_(transport) {
        fd_ = socket(AF_INET, transport == Transport::UDP ? SOCK_DGRAM : SOCK_STREAM, 0);
        // A receive buffer large enough that the receiver is never what loses messages.
        int size = 8 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        if (transport == Transport::TCP) listen(fd_, 8);
    }
    ~Receiver() {
        for (auto& c : connections_) close(c.fd);
        close(fd_);
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    long port() const { return port_; }
    Transport transport() const { return transport_; }

    // Waits up to `timeoutMs` for input and hands every whole packet that came to
    // onPacket(bytes, size, arrival time). False when nothing came.
    template <class F> bool poll(int timeoutMs, F&& onPacket) {
        std::vector<pollfd> fds{{fd_, POLLIN, 0}};
        for (const auto& c : connections_) fds.push_back({c.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), timeoutMs) <= 0) return false;
        if (transport_ == Transport::UDP) {
            // Drain what is queued, each datagram with its own arrival time.
            for (;;) {
                const ssize_t size = recv(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
                if (size < 0) break;
                onPacket(buffer_.data(), static_cast<size_t>(size), Clock::now());
            }
            return true;
        }
        if (fds[0].revents & POLLIN) {
            const int fd = accept(fd_, nullptr, nullptr);
            if (fd >= 0) connections_.push_back({fd, {}});
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Connection& c = connections_[i - 1];
            const ssize_t size = recv(c.fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
            const auto now = Clock::now();
            if (size == 0 || (size < 0 && errno != EAGAIN && errno != EINTR)) {
                c.closed = true;
                continue;
            }
            if (size < 0) continue;
            c.pending.insert(c.pending.end(), buffer_.data(), buffer_.data() + size);
            size_t at = 0;
            while (c.pending.size() - at >= 4) {
                uint32_t length;
                std::memcpy(&length, c.pending.data() + at, 4);
                length = ntohl(length);
                if (length == 0 || length > 65536) {  // not a stream of OSC packets: drop it
                    c.closed = true;
                    break;
                }
                if (c.pending.size() - at - 4 < length) break;
                onPacket(c.pending.data() + at + 4, length, now);
                at += 4 + length;
            }
            c.pending.erase(c.pending.begin(), c.pending.begin() + static_cast<long>(std::min(at, c.pending.size())));
        }
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (it->closed) {
                close(it->fd);
                it = connections_.erase(it);
            } else
                ++it;
        }
        return true;
    }

private:
    struct Connection {
        int fd;
        std::vector<char> pending;
        bool closed = false;
    };
    Transport transport_;
    int fd_ = -1;
    long port_ = 0;
    std::vector<Connection> connections_;
    std::vector<char> buffer_ = std::vector<char>(65536);
};

struct Trial {
    size_t sent = 0;
    size_t received = 0;
    size_t reordered = 0;  // arrivals with a lower number than one before them
    size_t duplicates = 0;
    size_t packetSize = 0;          // of the last arrival
    std::vector<double> latencies;  // seconds from the send, of the messages that arrived
    Clock::time_point firstSent, lastArrived;
    bool clean() const { return received == sent && reordered == 0 && duplicates == 0; }
};

// Sends `count` messages at `rate` per second (0: as fast as the sender takes them) through
// `sender`, receives on `receiver`, and collects. The trial ends `settle` seconds after the last
// send brought nothing more.
Trial runTrial(Receiver& receiver, Sender& sender, Packet packet, double divisor, size_t count, double rate,
               double settle = 0.5) {
    std::vector<Clock::time_point> sentAt(count), arrivedAt(count);
    std::vector<char> arrived(count, 0);
    Trial trial;
    trial.sent = count;
    std::atomic<bool> sending{true};
    std::atomic<Clock::time_point> lastSend{Clock::now()};

    std::thread receiving([&] {
        long last = -1;
        const auto onPacket = [&](const char* bytes, size_t size, Clock::time_point now) {
            if (size < 4) return;
            uint32_t bits;
            std::memcpy(&bits, bytes + size - 4, 4);
            bits = ntohl(bits);
            float value;
            std::memcpy(&value, &bits, 4);
            const long number = std::lround(value / divisor);
            if (number < 0 || static_cast<size_t>(number) >= count) return;  // a leftover
            if (arrived[number]) {
                ++trial.duplicates;
                return;
            }
            arrived[number] = 1;
            arrivedAt[number] = now;
            ++trial.received;
            trial.packetSize = size;
            trial.lastArrived = now;
            if (number < last) ++trial.reordered;
            last = std::max(last, number);
        };
        for (;;) {
            // Done once sending ended and nothing came for `settle` seconds.
            if (!receiver.poll(50, onPacket) && !sending && seconds(Clock::now() - lastSend.load()) > settle) return;
        }
    });

    const auto start = Clock::now();
    const double interval = rate > 0 ? 1.0 / rate : 0;
    size_t i = 0;
    for (; i < count; ++i) {
        const auto due =
            start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(i * interval));
        // Sleep while far from the due time, then spin: sleeping alone is too coarse for high rates.
        for (auto now = Clock::now(); now < due; now = Clock::now()) {
            if (due - now > std::chrono::microseconds(200))
                std::this_thread::sleep_for(due - now - std::chrono::microseconds(100));
        }
        packet.setValue(static_cast<float>(i));
        sentAt[i] = Clock::now();
        if (!sender.send(packet)) break;  // the connection failed: the rest counts as lost
    }
    trial.firstSent = sentAt[0];
    lastSend = Clock::now();
    sending = false;
    receiving.join();
    for (size_t k = 0; k < count; ++k)
        if (arrived[k]) {
            trial.latencies.push_back(seconds(arrivedAt[k] - sentAt[k]));
        }
    return trial;
}

// Sends until something arrives: a server may still be starting after its line was printed.
// `settle` is how long each probe waits for its message.
std::optional<Trial> waitUntilRouting(Receiver& receiver, Sender& sender, const Packet& packet, double divisor,
                                      double settle = 0.5) {
    if (!sender.ok()) return std::nullopt;
    for (int attempt = 0; attempt < 50; ++attempt) {
        Trial probe = runTrial(receiver, sender, packet, divisor, 1, 1000, settle);
        if (probe.received == 1) return probe;
    }
    return std::nullopt;
}

struct Figures {
    bool measured = false;
    double p50 = NAN, p99 = NAN, p999 = NAN;
    // UDP: the highest clean paced rate confirmed over confirmedCount messages. TCP: the best
    // throughput of runs of confirmedCount messages that all arrived in order.
    double rate = 0;
    size_t confirmedCount = 0;
};

// Over TCP: the throughput, the best of kThroughputRuns.
void measureThroughput(Figures& f, const std::string& name, Receiver& receiver, Sender& sender, const Packet& packet,
                       double divisor, size_t count) {
    for (int run = 0; run < kThroughputRuns; ++run) {
        Trial t = runTrial(receiver, sender, packet, divisor, count, 0);
        const double elapsed = seconds(t.lastArrived - t.firstSent);
        const double rate = t.received > 0 && elapsed > 0 ? static_cast<double>(t.received) / elapsed : 0;
        std::printf("%s   %zu as fast as they go: %.0f/s, %zu lost, %zu reordered\n", name.c_str(), count, rate,
                    t.sent - t.received, t.reordered);
        if (t.clean() && rate > f.rate) {
            f.rate = rate;
            f.confirmedCount = count;
        }
    }
    std::printf("%s throughput: %.0f messages/s over %zu messages, all in order\n", name.c_str(), f.rate,
                f.confirmedCount);
}

// Over UDP: the highest paced rate at which no message is lost or reordered.
void measureNoLossRate(Figures& f, const std::string& name, Receiver& receiver, Sender& sender, const Packet& packet,
                       double divisor, size_t count) {
    const auto describe = [&](const Trial& t, double rate, const char* note) {
        std::printf("%s   %8.0f/s over %zu: %zu lost, %zu reordered%s\n", name.c_str(), rate, t.sent,
                    t.sent - t.received, t.reordered, note);
    };
    // Doubling from 5,000/s until a trial fails, then a few halvings between the two.
    double good = 0, bad = 0;
    for (double rate = 5000; rate <= 1.6e6; rate *= 2) {
        Trial t = runTrial(receiver, sender, packet, divisor, kSearchCount, rate);
        describe(t, rate, "");
        if (t.clean())
            good = rate;
        else {
            bad = rate;
            break;
        }
    }
    for (int step = 0; bad > 0 && step < 3; ++step) {
        const double rate = (good + bad) / 2;
        Trial t = runTrial(receiver, sender, packet, divisor, kSearchCount, rate);
        describe(t, rate, "");
        (t.clean() ? good : bad) = rate;
    }
    // The confirmation over the full count, lowered by a tenth at each failure: eight attempts
    // at most, and no new one after two minutes (at a low rate each takes long). On a busy
    // machine a burst of other work can spoil a run at any rate; a baseline without a rate would
    // leave every ratio without meaning.
    const auto confirming = Clock::now();
    for (int attempt = 0; attempt < 8 && good > 0 && seconds(Clock::now() - confirming) < 120; ++attempt) {
        Trial t = runTrial(receiver, sender, packet, divisor, count, good);
        describe(t, good, " (confirmation)");
        if (t.clean()) {
            f.rate = good;
            f.confirmedCount = count;
            break;
        }
        good *= 0.9;
    }
    std::printf("%s no-loss rate: %.0f messages/s over %zu messages\n", name.c_str(), f.rate, f.confirmedCount);
}

// Latency at a low paced rate, then the rate figure of the receiver's transport over `count`
// messages.
Figures measure(const std::string& name, Receiver& receiver, Sender& sender, const Packet& packet, double divisor,
                bool quick, size_t count) {
    Figures f;
    f.measured = true;
    const size_t latencyCount = quick ? 2000 : 5000;
    Trial latency = runTrial(receiver, sender, packet, divisor, latencyCount, 1000);
    f.p50 = percentile(latency.latencies, 0.5) * 1e6;
    f.p99 = percentile(latency.latencies, 0.99) * 1e6;
    f.p999 = percentile(latency.latencies, 0.999) * 1e6;
    std::printf(
        "%s latency at 1000/s over %zu: p50 %.1f us, p99 %.1f us, p99.9 %.1f us (%zu of %zu arrived, %zu bytes each)\n",
        name.c_str(), latencyCount, f.p50, f.p99, f.p999, latency.received, latency.sent, latency.packetSize);
    if (receiver.transport() == Transport::TCP)
        measureThroughput(f, name, receiver, sender, packet, divisor, count);
    else
        measureNoLossRate(f, name, receiver, sender, packet, divisor, count);
    return f;
}

// ---- the parts ----------------------------------------------------------------------------------

struct Bench {
    std::string program = QUORBITAL_PROGRAM;
    std::string self;
    std::string folder;
    bool quick = false;
    int serial = 0;  // numbers the files of each child

    std::string file(const std::string& stem, const char* extension) {
        return folder + "/" + stem + "-" + std::to_string(++serial) + extension;
    }

    // Starts `arguments`, waits for `ready` in its output, then for the first message through.
    // Null, with the reason printed, when it does not route.
    struct Running {
        std::unique_ptr<Child> child;
        std::unique_ptr<Sender> sender;
    };
    std::optional<Running> start(const std::string& name, const std::vector<std::string>& arguments, const char* ready,
                                 double timeout, Receiver& receiver, Transport transport, long inPort,
                                 const Packet& packet, double divisor, double settle = 0.5) {
        Running r;
        r.child = std::make_unique<Child>(arguments, file(name, ".log"), homeEnvironment(folder + "/home"));
        if (!r.child->waitForOutput(ready, timeout)) {
            std::printf("%s did not start within %.0f s:\n%s\n", name.c_str(), timeout, r.child->output().c_str());
            return std::nullopt;
        }
        r.sender = std::make_unique<Sender>(transport, inPort);
        if (!waitUntilRouting(receiver, *r.sender, packet, divisor, settle)) {
            std::printf("%s does not route:\n%s\n", name.c_str(), r.child->output().c_str());
            return std::nullopt;
        }
        return r;
    }

    std::vector<std::string> quorbitalArguments(const std::string& document) const {
        return {program, "-headless", document};
    }
    std::vector<std::string> forwarderArguments(long inPort, long outPort, Transport transport) const {
        return {self, "--forward", std::to_string(inPort), std::to_string(outPort), transportName(transport)};
    }

    // The routed figures of a document of `shape`, with messages of `floats` floats.
    // How many messages confirm a rate: the full count for the main figures and for TCP, whose
    // runs are short; fewer for the UDP variants, whose confirmation at a low rate would
    // otherwise take minutes each.
    size_t count(bool main) const { return quick ? kSearchCount : main ? kConfirmCount : kSearchCount; }

    Figures quorbital(const std::string& name, Receiver& receiver, const DocumentShape& shape, int floats,
                      size_t count) {
        const long inPort = freePort();
        const std::string document = file(name, ".qrb3");
        writeDocument(document, inPort, receiver.port(), shape);
        const Packet packet(floats);
        const double divisor = floats == 1 ? kScale : 1.0;
        auto running = start(name, quorbitalArguments(document), "Starting routing...", 60, receiver, shape.transport,
                             inPort, packet, divisor);
        if (!running) return {};
        return measure(name, receiver, *running->sender, packet, divisor, quick, count);
    }

    // The forwarder's figures over `transport` with messages of `floats` floats.
    Figures baseline(const std::string& name, Receiver& receiver, int floats, size_t count) {
        const long inPort = freePort();
        const Packet packet(floats);
        auto running = start(name, forwarderArguments(inPort, receiver.port(), receiver.transport()), "forwarding", 10,
                             receiver, receiver.transport(), inPort, packet, 1.0);
        if (!running) return {};
        return measure(name, receiver, *running->sender, packet, 1.0, quick, count);
    }
};

// ---- latency at paced rates, in turns -------------------------------------------------------------

double median(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Paced {
    double p50 = NAN, p99 = NAN;  // microseconds, the medians of the rounds
    size_t lost = 0;              // over all rounds
};

struct PacedCase {
    std::string name;  // "udp_1000"
    Paced quorbital, baseline;
};

// Latency at each of `rates` over `transport`, Quorbital and the forwarder running side by side
// and measured in turns, `rounds` times.
std::vector<PacedCase> measurePaced(Bench& bench, Transport transport, const std::vector<double>& rates, int rounds) {
    std::vector<PacedCase> cases;
    Receiver receiverQ(transport), receiverB(transport);
    const long inQ = freePort();
    const std::string document = bench.file(std::string("paced-") + transportName(transport), ".qrb3");
    DocumentShape shape;
    shape.transport = transport;
    writeDocument(document, inQ, receiverQ.port(), shape);
    const Packet packet(1);
    auto q = bench.start(std::string("paced-quorbital-") + transportName(transport), bench.quorbitalArguments(document),
                         "Starting routing...", 60, receiverQ, transport, inQ, packet, kScale);
    const long inB = freePort();
    auto b = bench.start(std::string("paced-baseline-") + transportName(transport),
                         bench.forwarderArguments(inB, receiverB.port(), transport), "forwarding", 10, receiverB,
                         transport, inB, packet, 1.0);
    if (!q || !b) return cases;
    for (double rate : rates) {
        PacedCase c;
        c.name = std::string(transportName(transport)) + "_" + std::to_string(static_cast<long>(rate));
        // About three seconds a trial, and never fewer than 3,000 messages.
        const size_t count = std::max<size_t>(3000, static_cast<size_t>(rate * (bench.quick ? 1.5 : 3)));
        std::vector<double> q50, q99, b50, b99;
        for (int round = 0; round < rounds; ++round) {
            for (int who = 0; who < 2; ++who) {
                const bool isQ = who == 0;
                Trial t = runTrial(isQ ? receiverQ : receiverB, isQ ? *q->sender : *b->sender, packet,
                                   isQ ? kScale : 1.0, count, rate);
                const double p50 = percentile(t.latencies, 0.5) * 1e6, p99 = percentile(t.latencies, 0.99) * 1e6;
                (isQ ? q50 : b50).push_back(p50);
                (isQ ? q99 : b99).push_back(p99);
                (isQ ? c.quorbital : c.baseline).lost += t.sent - t.received;
                std::printf("paced %s round %d %s: p50 %.1f us, p99 %.1f us (%zu of %zu arrived)\n", c.name.c_str(),
                            round + 1, isQ ? "quorbital" : "baseline", p50, p99, t.received, t.sent);
            }
        }
        c.quorbital.p50 = median(q50);
        c.quorbital.p99 = median(q99);
        c.baseline.p50 = median(b50);
        c.baseline.p99 = median(b99);
        cases.push_back(c);
    }
    return cases;
}

// ---- start-up ---------------------------------------------------------------------------------------

// Seconds from starting `arguments` to the first message that comes back on `receiver`: a probe
// to `inPort` every millisecond (those sent before the program listens are lost, as they would
// be for a controller), the clock running from just before the fork. NAN when nothing comes
// within `timeout`.
double timeToFirstMessage(Bench& bench, const std::string& name, const std::vector<std::string>& arguments,
                          Receiver& receiver, long inPort, double timeout) {
    while (receiver.poll(0, [](const char*, size_t, Clock::time_point) {})) {}
    Sender sender(Transport::UDP, inPort);
    Packet packet(1);
    const auto started = Clock::now();
    Child child(arguments, bench.file(name, ".log"), homeEnvironment(bench.folder + "/home"));
    std::optional<Clock::time_point> arrived;
    for (uint32_t probe = 0; !arrived && seconds(Clock::now() - started) < timeout; ++probe) {
        packet.setValue(static_cast<float>(probe % 1000));
        sender.send(packet);
        receiver.poll(1, [&](const char*, size_t, Clock::time_point now) {
            if (!arrived) arrived = now;
        });
    }
    if (!arrived) {
        std::printf("%s routed nothing within %.0f s:\n%s\n", name.c_str(), timeout, child.output().c_str());
        return NAN;
    }
    return seconds(*arrived - started);
}

// The median of `runs` start-ups, in milliseconds.
double measureStartup(Bench& bench, const std::string& name, const std::vector<std::string>& arguments,
                      Receiver& receiver, long inPort, int runs) {
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        const double t = timeToFirstMessage(bench, name, arguments, receiver, inPort, 60);
        if (std::isnan(t)) return NAN;
        times.push_back(t * 1e3);
        std::printf("%s start to first routed message: %.1f ms\n", name.c_str(), t * 1e3);
    }
    const double m = median(times);
    std::printf("%s start-up, median of %d: %.1f ms\n", name.c_str(), runs, m);
    return m;
}

// What callgrind counted in total ("totals:" or "summary:" of its output), or -1.
long long callgrindTotal(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    long long total = -1;
    while (std::getline(in, line)) {
        for (const char* key : {"totals:", "summary:"})
            if (line.rfind(key, 0) == 0) total = std::atoll(line.c_str() + std::strlen(key));
    }
    return total;
}

bool haveValgrind() { return std::system("valgrind --version >/dev/null 2>&1") == 0; }

// Instructions per routed message, for Quorbital and for the forwarder.
//
// Wall-clock figures move with whatever else the machine runs; instruction counts do not. Each
// program runs under callgrind twice, from a fresh start: once routing N messages, once 2N, all
// over UDP at a slow pace (the program runs some fifty times slower under callgrind, and a lost
// message would not be counted), and is then ended by SIGINT, on which both end by exiting and
// callgrind writes its totals over all threads. Start-up, loading the document, the first
// message's one-time costs and the shutdown are the same in both runs, so
//   (Ir(2N) - Ir(N)) / N
// is what a routed message costs in user space: the run loop, the reading, liblo, the
// routing and the send, plus the idle wake-ups of the longer run, which at this pace are a small
// part. The kernel's work is not counted, for either. Running the program whole, rather than
// switching collection on around one function, needs no knowledge of its insides and counts
// the threads and the run loop that a message passes through. The forwarder's figure repeats
// to the instruction; Quorbital's within a few per cent, because how many passes its run loop
// makes depends on timing.
struct Instructions {
    double perMessage = NAN;
    bool complete = false;  // every message of both runs arrived
};

Instructions measureInstructions(Bench& bench, const std::string& name, bool routed, size_t n) {
    constexpr double kRate = 100;  // per second; callgrind keeps up with this comfortably
    Instructions result;
    long long totals[2] = {-1, -1};
    bool complete = true;
    for (int run = 0; run < 2; ++run) {
        const size_t count = n * static_cast<size_t>(run + 1);
        Receiver receiver(Transport::UDP);
        const long inPort = freePort();
        const Packet packet(1);
        const double divisor = routed ? kScale : 1.0;
        std::vector<std::string> arguments = {"valgrind", "--tool=callgrind",
                                              "--callgrind-out-file=" + bench.file(name, ".out")};
        const std::string outFile = arguments.back().substr(std::strlen("--callgrind-out-file="));
        std::vector<std::string> program;
        if (routed) {
            const std::string document = bench.file(name, ".qrb3");
            writeDocument(document, inPort, receiver.port(), DocumentShape{});
            program = bench.quorbitalArguments(document);
        } else
            program = bench.forwarderArguments(inPort, receiver.port(), Transport::UDP);
        arguments.insert(arguments.end(), program.begin(), program.end());
        const auto started = Clock::now();
        // Each probe waits long for its message: the first one through is slow under callgrind,
        // and every further probe would be one more message in one run only.
        auto running = bench.start(name, arguments, routed ? "Starting routing..." : "forwarding", 180, receiver,
                                   Transport::UDP, inPort, packet, divisor, 10.0);
        if (!running) return result;
        Trial t = runTrial(receiver, *running->sender, packet, divisor, count, kRate, 2.0);
        if (!t.clean()) complete = false;
        if (!running->child->interrupt(SIGINT, 120)) {
            std::printf("%s did not end within 120 s of SIGINT\n", name.c_str());
            return result;
        }
        totals[run] = callgrindTotal(outFile);
        std::printf("%s under callgrind: %zu messages, %zu arrived, %lld instructions in all (%.0f s)\n", name.c_str(),
                    count, t.received, totals[run], seconds(Clock::now() - started));
    }
    if (totals[0] < 0 || totals[1] < 0) return result;
    result.perMessage = static_cast<double>(totals[1] - totals[0]) / static_cast<double>(n);
    result.complete = complete;
    std::printf("%s instructions per message: %.0f%s\n", name.c_str(), result.perMessage,
                complete ? "" : " (some messages were lost: the figure is uncertain)");
    return result;
}

void printVariant(const char* name, const Figures& q, const Figures& b) {
    std::printf(
        "variant %s: quorbital p50 %.1f us, p99 %.1f us, p99.9 %.1f us, rate %.0f/s; "
        "baseline p50 %.1f us, p99 %.1f us, p99.9 %.1f us, rate %.0f/s\n",
        name, q.p50, q.p99, q.p999, q.rate, b.p50, b.p99, b.p999, b.rate);
}

void printRatios(std::vector<std::string>& lines, const std::string& prefix, const char* rateName, const Figures& q,
                 const Figures& b) {
    char text[160];
    const auto add = [&](const std::string& name, double value) {
        std::snprintf(text, sizeof text, "ratio %s%s %.2f", prefix.c_str(), name.c_str(), value);
        lines.push_back(text);
    };
    add("p50_latency", q.p50 / b.p50);
    add("p99_latency", q.p99 / b.p99);
    add("p99.9_latency", q.p999 / b.p999);
    add(rateName, b.rate > 0 ? q.rate / b.rate : NAN);
}

}  // namespace

int main(int argc, char** argv) {
    // Documents made here browse and publish as the program's do.
    registerEngineClasses();
    platform::registerPlatformBackends();
    if (argc == 5 && std::strcmp(argv[1], "--forward") == 0) return runForwarder(argv[2], argv[3], argv[4]);
    const std::set<std::string> allParts = {"udp",     "tcp",   "args8",   "contexts",
                                            "monitor", "paced", "startup", "instructions"};
    std::set<std::string> parts = allParts;
    Bench bench;
    bool keep = false;  // the documents and logs stay in the folder
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            bench.quick = true;
        else if (std::strcmp(argv[i], "--program") == 0 && i + 1 < argc)
            bench.program = argv[++i];
        else if (std::strcmp(argv[i], "--keep") == 0)
            keep = true;
        else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            parts.clear();
            std::stringstream list(argv[++i]);
            for (std::string part; std::getline(list, part, ',');) {
                if (!allParts.count(part)) {
                    std::fprintf(stderr, "unknown part %s\n", part.c_str());
                    return 2;
                }
                parts.insert(part);
            }
        } else {
            std::fprintf(
                stderr,
                "usage: route_bench [--quick] [--only udp,tcp,args8,contexts,monitor,paced,startup,instructions] "
                "[--program PATH] [--keep]\n");
            return 2;
        }
    }
    const auto wants = [&](const char* part) { return parts.count(part) > 0; };
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows as it comes, also into a file

    bench.self = std::filesystem::canonical("/proc/self/exe").string();
    char folderTemplate[] = "/tmp/route_bench.XXXXXX";
    bench.folder = mkdtemp(folderTemplate);
    const auto benchStart = Clock::now();

    Receiver udp(Transport::UDP);
    std::optional<Figures> udpBaseline;  // measured once, when the first part needs it
    const auto baselineUDP = [&]() -> const Figures& {
        if (!udpBaseline) {
            udpBaseline = bench.baseline("baseline", udp, 1, bench.count(true));
            if (!udpBaseline->measured) {
                std::fprintf(stderr, "The forwarder does not forward\n");
                std::exit(1);
            }
        }
        return *udpBaseline;
    };

    Figures quorbital, tcpQ, tcpB, args8Q, args8B, contextsQ, monitorQ;
    Instructions instrQ, instrB;
    std::vector<PacedCase> paced;
    double startup1 = NAN, startup10000 = NAN, startupB = NAN;
    bool instructionsSkipped = false;
    long idleKB = -1, afterKB = -1, contextsKB = -1;
    double idleCPU = NAN;

    try {
        if (wants("udp")) {
            const long inPort = freePort();
            const std::string document = bench.file("quorbital", ".qrb3");
            writeDocument(document, inPort, udp.port(), DocumentShape{});
            const Packet packet(1);
            auto running = bench.start("quorbital", bench.quorbitalArguments(document), "Starting routing...", 30, udp,
                                       Transport::UDP, inPort, packet, kScale);
            if (!running) return 1;
            Child& child = *running->child;
            std::this_thread::sleep_for(std::chrono::seconds(1));
            idleKB = child.residentKB();
            const double before = child.cpuSeconds();
            std::this_thread::sleep_for(std::chrono::seconds(3));
            idleCPU = (child.cpuSeconds() - before) / 3.0 * 100.0;
            std::printf("quorbital idle: resident %ld kB, CPU %.2f %% over 3 s\n", idleKB, idleCPU);
            quorbital = measure("quorbital", udp, *running->sender, packet, kScale, bench.quick, bench.count(true));
            afterKB = child.residentKB();
            std::printf("quorbital resident after the runs: %ld kB\n", afterKB);
        }

        // The same document with 10,000 more contexts, idle.
        if (wants("udp")) {
            const long port = freePort();
            const std::string big = bench.file("contexts10000", ".qrb3");
            const auto writing = Clock::now();
            DocumentShape shape;
            shape.extraContexts = 10000;
            writeDocument(big, port, udp.port(), shape);
            std::printf("wrote a document with 10,000 contexts in %.1f s\n", seconds(Clock::now() - writing));
            const auto loading = Clock::now();
            auto running = bench.start("contexts10000", bench.quorbitalArguments(big), "Starting routing...", 60, udp,
                                       Transport::UDP, port, Packet(1), kScale);
            if (running) {
                std::printf("started with 10,000 contexts in %.1f s\n", seconds(Clock::now() - loading));
                std::this_thread::sleep_for(std::chrono::seconds(1));
                contextsKB = running->child->residentKB();
                std::printf("quorbital with 10,000 contexts, idle: resident %ld kB\n", contextsKB);
            }
        }
        if (wants("udp")) {
            const Figures& b = baselineUDP();
            (void)b;
        }

        if (wants("tcp")) {
            Receiver tcp(Transport::TCP);
            DocumentShape shape;
            shape.transport = Transport::TCP;
            tcpQ = bench.quorbital("tcp-quorbital", tcp, shape, 1, bench.count(true));
            tcpB = bench.baseline("tcp-baseline", tcp, 1, bench.count(true));
        }
        if (wants("args8")) {
            DocumentShape shape;
            shape.argumentActions = 8;
            args8Q = bench.quorbital("args8-quorbital", udp, shape, 8, bench.count(false));
            args8B = bench.baseline("args8-baseline", udp, 8, bench.count(false));
        }
        if (wants("contexts")) {
            DocumentShape shape;
            shape.extraContexts = 1000;
            shape.extrasFirst = true;
            contextsQ = bench.quorbital("contexts1000-quorbital", udp, shape, 1, bench.count(false));
            baselineUDP();
        }
        if (wants("monitor")) {
            DocumentShape shape;
            shape.monitorBoth = true;
            monitorQ = bench.quorbital("monitor-quorbital", udp, shape, 1, bench.count(false));
            baselineUDP();
        }
        if (wants("paced")) {
            const std::vector<double> rates = {1000, 10000};
            const int rounds = bench.quick ? 2 : 3;
            for (Transport t : {Transport::UDP, Transport::TCP}) {
                auto cases = measurePaced(bench, t, rates, rounds);
                paced.insert(paced.end(), cases.begin(), cases.end());
            }
        }
        if (wants("startup")) {
            Receiver receiver(Transport::UDP);
            const int runs = bench.quick ? 3 : 5;
            const long inPort = freePort();
            const std::string one = bench.file("startup-1", ".qrb3");
            writeDocument(one, inPort, receiver.port(), DocumentShape{});
            startup1 =
                measureStartup(bench, "startup-1-context", bench.quorbitalArguments(one), receiver, inPort, runs);
            const std::string many = bench.file("startup-10000", ".qrb3");
            DocumentShape shape;
            shape.extraContexts = 10000;
            writeDocument(many, inPort, receiver.port(), shape);
            startup10000 = measureStartup(bench, "startup-10000-contexts", bench.quorbitalArguments(many), receiver,
                                          inPort, bench.quick ? 2 : 3);
            startupB = measureStartup(bench, "startup-baseline",
                                      bench.forwarderArguments(inPort, receiver.port(), Transport::UDP), receiver,
                                      inPort, runs);
        }
        if (wants("instructions")) {
            if (!haveValgrind()) {
                instructionsSkipped = true;
                std::printf("instructions per message: skipped, valgrind is not installed\n");
            } else {
                const size_t n = bench.quick ? 200 : 500;
                instrQ = measureInstructions(bench, "callgrind-quorbital", true, n);
                instrB = measureInstructions(bench, "callgrind-baseline", false, n);
            }
        }
    } catch (const foundation::Exception& e) {
        std::fprintf(stderr, "%s: %s\n", e.name().c_str(), e.reason().c_str());
        return 1;
    }

    if (keep)
        std::printf("documents and logs kept in %s\n", bench.folder.c_str());
    else
        std::filesystem::remove_all(bench.folder);
    std::printf("total time %.0f s\n", seconds(Clock::now() - benchStart));

    const Figures baseline = udpBaseline.value_or(Figures{});
    if (wants("tcp")) printVariant("tcp", tcpQ, tcpB);
    if (wants("args8")) printVariant("args8", args8Q, args8B);
    if (wants("contexts")) printVariant("contexts1000", contextsQ, baseline);
    if (wants("monitor")) printVariant("monitor_both_directions", monitorQ, baseline);

    if (wants("udp")) {
        std::printf("value rss_idle_kB %ld\n", idleKB);
        std::printf("value rss_10000_contexts_kB %ld\n", contextsKB);
        std::printf("value rss_after_run_kB %ld\n", afterKB);
        std::printf("value cpu_idle_percent %.2f\n", idleCPU);
    }
    for (const auto& c : paced) {
        std::printf("value paced_%s_quorbital_p50_us %.1f\n", c.name.c_str(), c.quorbital.p50);
        std::printf("value paced_%s_quorbital_p99_us %.1f\n", c.name.c_str(), c.quorbital.p99);
        std::printf("value paced_%s_baseline_p50_us %.1f\n", c.name.c_str(), c.baseline.p50);
        std::printf("value paced_%s_baseline_p99_us %.1f\n", c.name.c_str(), c.baseline.p99);
        std::printf("value paced_%s_lost_quorbital %zu\n", c.name.c_str(), c.quorbital.lost);
        std::printf("value paced_%s_lost_baseline %zu\n", c.name.c_str(), c.baseline.lost);
    }
    if (wants("startup")) {
        std::printf("value startup_1_context_ms %.1f\n", startup1);
        std::printf("value startup_10000_contexts_ms %.1f\n", startup10000);
        std::printf("value startup_baseline_ms %.1f\n", startupB);
    }
    if (wants("instructions") && !instructionsSkipped) {
        std::printf("value instructions_per_message_quorbital %.0f\n", instrQ.perMessage);
        std::printf("value instructions_per_message_baseline %.0f\n", instrB.perMessage);
    }

    std::vector<std::string> ratios;
    if (wants("udp")) printRatios(ratios, "", "no_loss_rate", quorbital, baseline);
    if (wants("tcp")) printRatios(ratios, "tcp_", "throughput", tcpQ, tcpB);
    if (wants("args8")) printRatios(ratios, "args8_", "no_loss_rate", args8Q, args8B);
    if (wants("contexts")) printRatios(ratios, "contexts1000_", "no_loss_rate", contextsQ, baseline);
    if (wants("monitor")) printRatios(ratios, "monitor_both_", "no_loss_rate", monitorQ, baseline);
    for (const auto& c : paced) {
        char text[120];
        std::snprintf(text, sizeof text, "ratio paced_%s_p50_latency %.2f", c.name.c_str(),
                      c.quorbital.p50 / c.baseline.p50);
        ratios.push_back(text);
        std::snprintf(text, sizeof text, "ratio paced_%s_p99_latency %.2f", c.name.c_str(),
                      c.quorbital.p99 / c.baseline.p99);
        ratios.push_back(text);
    }
    if (wants("startup")) {
        char text[120];
        std::snprintf(text, sizeof text, "ratio startup_1_context %.2f", startup1 / startupB);
        ratios.push_back(text);
        std::snprintf(text, sizeof text, "ratio startup_10000_contexts %.2f", startup10000 / startupB);
        ratios.push_back(text);
    }
    if (wants("instructions") && !instructionsSkipped) {
        char text[80];
        std::snprintf(text, sizeof text, "ratio instructions_per_message %.2f", instrQ.perMessage / instrB.perMessage);
        ratios.push_back(text);
    }
    for (const auto& line : ratios) std::printf("%s\n", line.c_str());
    return 0;
}
