// An OSC packet from the network reaching a running document: each input is one packet (message
// or bundle), sent over the loopback to the manager's own server and taken through everything a
// real packet meets: the packet check, liblo's parser and method table, the hand-off to the main
// thread and the manager's dispatch (contexts made for new addresses, one action per argument,
// demultiplexing, outputs firing to targets, the application commands, the control API's
// requests, TUIO frames and the monitor).
//
// After the packet comes a sentinel message over the same socket, and the main run loop runs
// until the sentinel is dispatched: the server reads its input in order, so by then the packet has
// been dealt with. A packet that neither arrives nor lets the sentinel through within kWaitSeconds
// is a fault (input lost or the main thread stuck), reported as a crash.
//
// The document: a fader scaled and routed to a UDP target, a two-float context routed with
// address and argument templates to the same target and a TCP target, a string context
// demultiplexing on its first argument, and every new action routed to the UDP target with $args.
// Both targets are sockets of this process that are drained after each input. The contexts that
// input makes are removed after each input, and the manager is made afresh every
// kInputsPerManager inputs, when demultiplexing made many children and after "/quorbital/quit",
// so that long runs keep a bounded state.
//
// Most packets travel over UDP. One in four (chosen from the bytes, so that an input always takes
// the same way) and those too large for a datagram travel over TCP, framed with a length prefix.

#include "core/mapping/QRBActionConfigurator.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/monitor/QRBMessageMonitor.h"
#include "core/osc/QRBOSCMessage.h"
#include "core/osc/QRBOSCPacket.h"
#include "core/osc/QRBServer.h"
#include "core/osc/QRBTarget.h"
#include "document/EngineClasses.h"
#include "document/QRBManager.h"
#include "document/QRBRouteEventSource.h"
#include "foundation/Date.h"
#include "foundation/Log.h"
#include "foundation/RunLoop.h"
#include "platform/FakeBonjourBackend.h"

#include <lo/lo.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr const char* kSentinelPath = "/fuzzdispatch/sentinel";
constexpr double kWaitSeconds = 10.0;
constexpr int kInputsPerManager = 500;
// The children that demultiplexing made, which stay until the manager is made afresh.
constexpr size_t kMaxDemuxChildren = 256;
// The largest payload of one UDP datagram over IPv4.
constexpr size_t kMaxDatagram = 65507;

// The last lines of the log, shown when the harness gives up. The whole log would drown
// libFuzzer's output: refused packets are logged one by one.
std::deque<std::string>& recentLog() {
    static std::deque<std::string> lines;
    return lines;
}

[[noreturn]] void fail(const char* what) {
    for (const std::string& line : recentLog()) std::fprintf(stderr, "log: %s\n", line.c_str());
    std::fprintf(stderr, "fuzz_dispatch: %s\n", what);
    std::abort();
}

sockaddr_in loopback(long port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

long boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

// A port free for both UDP and TCP on the loopback, as the document's port must be.
long freePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        long port = 0;
        if (bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) port = boundPort(udp);
        int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        address = loopback(port);
        const bool free = port != 0 && bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(tcp);
        close(udp);
        if (free) return port;
    }
    return 0;
}

// The devices the targets name: a UDP socket and a listening TCP socket on ephemeral ports, whose
// input is read and thrown away.
class Sinks {
public:
    Sinks() {
        udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        tcp_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        if (bind(udp_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            bind(tcp_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(tcp_, 16) != 0)
            fail("cannot bind the target sockets");
        udpPort_ = boundPort(udp_);
        tcpPort_ = boundPort(tcp_);
    }
    long udpPort() const { return udpPort_; }
    long tcpPort() const { return tcpPort_; }

    void drain() {
        static char buffer[65536];
        for (int i = 0; i < 1000 && recv(udp_, buffer, sizeof buffer, 0) >= 0; ++i) {}
        for (int i = 0; i < 16; ++i) {
            int connection = accept4(tcp_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (connection < 0) break;
            connections_.push_back(connection);
        }
        std::vector<int> open;
        for (int connection : connections_) {
            ssize_t size = 0;
            for (int i = 0; i < 1000 && (size = recv(connection, buffer, sizeof buffer, 0)) > 0; ++i) {}
            if (size == 0 || (size < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                close(connection);
            else
                open.push_back(connection);
        }
        connections_ = std::move(open);
    }

private:
    int udp_ = -1;
    int tcp_ = -1;
    long udpPort_ = 0;
    long tcpPort_ = 0;
    std::vector<int> connections_;
};

// Every new action and context gets a route to the UDP target that sends its values on, as the
// automatic configuration of a document does for the addresses it knows.
class RouteEveryAction : public QRBActionConfigurator {
public:
    void configureAction(QRBAction& action) override {
        if (route) action.setEventSource(route);
    }
    QRBEventSourcePtr route;
};

struct Arg {
    char type;
    double number;
    const char* text;
};

// Gives a context its actions, as the first message for its address does.
void teach(const QRBManagerPtr& manager, const QRBContextPtr& context, const std::vector<Arg>& args) {
    lo_message message = lo_message_new();
    for (const Arg& arg : args) {
        switch (arg.type) {
        case 'f': lo_message_add_float(message, static_cast<float>(arg.number)); break;
        case 'i': lo_message_add_int32(message, static_cast<int32_t>(arg.number)); break;
        case 's': lo_message_add_string(message, arg.text); break;
        default: break;
        }
    }
    auto received = QRBOSCMessage::OSCMessageWithPath(*context->name(), message);
    lo_message_free(message);
    context->receive(received, manager->oscInputEndpoint(), foundation::Date::now());
}

class Harness {
public:
    Harness() {
        if (!std::getenv("FUZZ_DISPATCH_LOG")) {
            foundation::setLogSink([](std::string_view line) {
                static std::mutex mutex;
                std::lock_guard lock(mutex);
                auto& lines = recentLog();
                lines.emplace_back(line);
                if (lines.size() > 20) lines.pop_front();
            });
        }
        foundation::BonjourBackend::setShared(std::make_shared<platform::FakeBonjourBackend>());
        QRBManager::setTerminateApplicationHandler([this] { terminated_ = true; });
        QRBActionConfigurator::setShared(configurator_);
        std::random_device device;
        secret_ = (static_cast<uint64_t>(device()) << 32) ^ device();
        udpSender_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        makeManager();
    }

    void feed(const uint8_t* data, size_t size) {
        if (size > kQRBMaxOSCPacketSize) return;
        const bool tcp = size > kMaxDatagram || choosesTCP(data, size);
        if (tcp && tcpSender_ < 0) connectTCP();

        ++sequence_;
        const int64_t token = static_cast<int64_t>(secret_ ^ sequence_);
        expectedToken_ = token;
        sentinelArrived_ = false;
        terminated_ = false;
        std::vector<uint8_t> sentinel = sentinelPacket(token);
        if (!send(tcp, data, size) || !send(tcp, sentinel.data(), sentinel.size())) fail("cannot send to the document");

        const bool done =
            foundation::RunLoop::main().runUntil([this] { return sentinelArrived_ || terminated_; }, kWaitSeconds);
        if (!done) fail("the sentinel after the packet was not dispatched in time");
        // What the dispatch posted for later (a rebuild of the method tables, a quit).
        foundation::RunLoop::main().runMode(foundation::RunLoopMode::Default, 0);
        sinks_.drain();

        if (terminated_ || !manager_->isRunning() || !manager_->udpServer()->isRunning() ||
            !manager_->tcpServer()->isRunning() || ++inputs_ >= kInputsPerManager ||
            demux_->actions().size() > kMaxDemuxChildren) {
            makeManager();
            return;
        }
        forgetNewContexts();
    }

private:
    static bool choosesTCP(const uint8_t* data, size_t size) {
        uint32_t hash = 2166136261u;
        for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
        return (hash & 3) == 0;
    }

    static std::vector<uint8_t> sentinelPacket(int64_t token) {
        lo_message message = lo_message_new();
        lo_message_add_int64(message, token);
        size_t length = 0;
        void* bytes = lo_message_serialise(message, kSentinelPath, nullptr, &length);
        lo_message_free(message);
        std::vector<uint8_t> packet(static_cast<uint8_t*>(bytes), static_cast<uint8_t*>(bytes) + length);
        std::free(bytes);
        return packet;
    }

    bool send(bool tcp, const uint8_t* data, size_t size) {
        if (!tcp) {
            sockaddr_in to = loopback(port_);
            return sendto(udpSender_, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
                   static_cast<ssize_t>(size);
        }
        const uint32_t length = htonl(static_cast<uint32_t>(size));
        std::vector<uint8_t> frame(sizeof length + size);
        std::memcpy(frame.data(), &length, sizeof length);
        if (size) std::memcpy(frame.data() + sizeof length, data, size);
        size_t sent = 0;
        while (sent < frame.size()) {
            ssize_t n = ::send(tcpSender_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    void connectTCP() {
        tcpSender_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to = loopback(port_);
        if (connect(tcpSender_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
            fail("cannot connect to the document");
    }

    void makeManager() {
        if (manager_) manager_->close();
        manager_.reset();
        if (tcpSender_ >= 0) close(tcpSender_);
        tcpSender_ = -1;
        configurator_->route.reset();
        inputs_ = 0;

        auto manager = QRBManager::create();
        manager->oscTargets()[0]->setTargetSpec("127.0.0.1:" + std::to_string(sinks_.udpPort()));
        manager->oscTargets()[1]->setTargetSpec("osc.tcp://127.0.0.1:" + std::to_string(sinks_.tcpPort()));
        manager->variableValueAtIndex(3)->makeSameAsValue(*QRBArg::argWithStringValue("deck"));
        manager->messageMonitor()->setDirection(0);  // both ways

        auto route = [&](int64_t target, std::optional<std::string> address, std::vector<std::string> tokens) {
            auto r = std::make_shared<QRBRouteEventSource>();
            r->setTargetIdentifier(target);
            r->setRewriteAddress(address);
            foundation::Array texts;
            for (const auto& t : tokens) texts.emplace_back(t);
            r->setRewriteTokens(foundation::Value(texts));
            manager->insertObject(r, manager->countOfOscRoutes());
            return r;
        };
        QRBPresetPtr preset = manager->presetManager()->currentPreset();

        auto fader = QRBContext::create(std::string("/fader"), manager);
        preset->addObject(fader);
        teach(manager, fader, {{'f', 0.5, nullptr}});
        fader->setOutputMin(0);
        fader->setOutputMax(100);
        fader->setEventSource(route(0, "/out/fader", {"$args"}));

        auto xy = QRBContext::create(std::string("/xy"), manager);
        preset->addObject(xy);
        teach(manager, xy, {{'f', 0, nullptr}, {'f', 0, nullptr}});
        xy->setEventSource(route(0, "/mix/<var 3>/<arg 1>", {"$args", "$argi[1]", "$var[3]", "7", "0.25", "$$"}));
        if (QRBActionPtr second = xy->actionAtIndex(1)) {
            second->setOutputMin(-1);
            second->setOutputMax(1);
            second->setEventSource(route(1, std::nullopt, {"$args"}));
        }

        auto demux = QRBContext::create(std::string("/demux"), manager);
        preset->addObject(demux);
        teach(manager, demux, {{'s', 0, "a"}, {'i', 1, nullptr}});
        demux->demux(0);
        demux_ = demux;

        configurator_->route = route(0, std::nullopt, {"$args"});

        manager_ = manager;
        // Another process may take the free port before the servers bind it: then another one.
        bool started = false;
        for (int attempt = 0; attempt < 20 && !started; ++attempt) {
            port_ = freePort();
            if (port_ == 0) continue;
            manager_->setServerPort(port_);
            started = manager_->start();
        }
        if (!started) fail("the document did not start routing");
        for (const auto& server : {manager_->udpServer(), manager_->tcpServer()}) {
            if (!server->addMethod(std::string(kSentinelPath), std::string("h"), [this](const QRBServerMessage& m) {
                    int64_t value = 0;
                    std::memcpy(&value, m.argv[0], sizeof value);
                    if (value == expectedToken_) sentinelArrived_ = true;
                    return 0;
                }))
                fail("cannot add the sentinel's method");
        }
        baseline_.clear();
        for (const auto& context : preset->objects()) baseline_.insert(context.get());
    }

    // Takes out the contexts that input made, and their method entries.
    void forgetNewContexts() {
        QRBPresetPtr preset = manager_->presetManager()->currentPreset();
        if (!preset) return;
        bool removed = false;
        for (const auto& context : preset->objects()) {
            if (baseline_.count(context.get())) continue;
            manager_->removeContext(context);
            removed = true;
        }
        if (removed) manager_->registerAllMethods();
    }

    Sinks sinks_;
    std::shared_ptr<RouteEveryAction> configurator_ = std::make_shared<RouteEveryAction>();
    QRBManagerPtr manager_;
    QRBContextPtr demux_;
    std::set<const QRBContext*> baseline_;
    long port_ = 0;
    int udpSender_ = -1;
    int tcpSender_ = -1;
    uint64_t secret_ = 0;
    uint64_t sequence_ = 0;
    int64_t expectedToken_ = 0;
    bool sentinelArrived_ = false;
    bool terminated_ = false;
    int inputs_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    registerEngineClasses();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness* harness = new Harness();  // lives as long as the process: its servers run on
    harness->feed(data, size);
    return 0;
}
