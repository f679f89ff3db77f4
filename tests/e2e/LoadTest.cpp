// The quorbital program under sustained load: 100,000 messages through a running document, over
// UDP and over TCP, all arrive at the target in order and the program's memory after the run is
// back near where it started.
//
// The message's one float is its sequence number (exact in a float below 2^24); the document's
// context scales it by exactly 2, so the receiver reads the number back and finds lost, repeated
// and reordered messages. The sender is paced (kRate per second at most) and keeps at most
// kWindow messages in flight: where the kernel caps socket buffers low (208 KB on many systems)
// the program's receive buffer holds a few hundred small datagrams, and a sanitizer build on a
// busy two-core machine can pause for longer than those last at a fixed rate. With the window, a message lost is one the program dropped, not one the kernel
// had no room for.

#include "ChildProcess.h"

#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/osc/QRBTarget.h"
#include "document/QRBDocument.h"
#include "document/QRBManager.h"
#include "document/QRBRouteEventSource.h"
#include "document/QuorbitalCore.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kCount = 100000;
constexpr double kRate = 10000;     // messages per second at most
constexpr size_t kWindow = 64;      // messages sent and not yet arrived, at most
constexpr double kRunBound = 80.0;  // seconds for the run of one transport (it takes 15 to 35 s)
constexpr long kMemorySlackKB = 4096;

long residentKB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// "/load" ,f <number>
std::string packet(float value) {
    std::string bytes("/load\0\0\0,f\0\0", 12);
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    bits = htonl(bits);
    bytes.append(reinterpret_cast<const char*>(&bits), 4);
    return bytes;
}

// The number a routed packet carries, or -1.
long numberOf(const char* bytes, size_t size) {
    if (size < 4) return -1;
    return std::lround(testsupport::floatBefore(bytes + size) / 2.0f);
}

// Where routed messages arrive, over UDP or TCP (4-byte big-endian length before each packet).
class Target {
public:
    explicit Target(bool tcp) : tcp_(tcp) {
        listener_ = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
        int size = 4 << 20;
        setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in address = testsupport::loopbackAddress(0);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
        if (tcp) listen(listener_, 4);
    }
    ~Target() {
        if (connection_ >= 0) close(connection_);
        close(listener_);
    }
    long port() const { return port_; }

    // The numbers of the packets that arrived within `timeout` seconds, appended to `numbers`.
    void receive(std::vector<long>& numbers, double timeout) {
        if (tcp_ && connection_ < 0) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(timeout * 1000)) <= 0) return;
            connection_ = accept(listener_, nullptr, nullptr);
            return;
        }
        const int fd = tcp_ ? connection_ : listener_;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout * 1000)) <= 0) return;
        char buffer[65536];
        const ssize_t size = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (size <= 0) return;
        if (!tcp_) {
            numbers.push_back(numberOf(buffer, static_cast<size_t>(size)));
            return;
        }
        stream_.append(buffer, static_cast<size_t>(size));
        size_t at = 0;
        while (stream_.size() - at >= 4) {
            uint32_t length;
            std::memcpy(&length, stream_.data() + at, 4);
            length = ntohl(length);
            if (stream_.size() - at - 4 < length) break;
            numbers.push_back(numberOf(stream_.data() + at + 4, length));
            at += 4 + length;
        }
        stream_.erase(0, at);
    }

private:
    bool tcp_;
    int listener_ = -1;
    int connection_ = -1;
    long port_ = 0;
    std::string stream_;
};

// The program's input, over UDP or TCP.
class Sender {
public:
    Sender(bool tcp, long port) : tcp_(tcp), to_(testsupport::loopbackAddress(port)) {
        fd_ = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
        if (tcp) {
            int on = 1;
            setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            connected_ = connect(fd_, reinterpret_cast<const sockaddr*>(&to_), sizeof to_) == 0;
        }
    }
    ~Sender() { close(fd_); }
    bool usable() const { return !tcp_ || connected_; }
    void send(float value) {
        std::string bytes = packet(value);
        if (!tcp_) {
            sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
            return;
        }
        uint32_t length = htonl(static_cast<uint32_t>(bytes.size()));
        bytes.insert(0, reinterpret_cast<const char*>(&length), 4);
        ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }

private:
    bool tcp_;
    sockaddr_in to_;
    int fd_ = -1;
    bool connected_ = false;
};

class LoadTest : public ::testing::TestWithParam<bool> {
protected:
    // A document whose context "/load" doubles its one float and routes it with $args to `target`.
    std::string writeDocument(long port, const std::string& target) {
        QRBDocument document;
        document.makeWindowControllers();
        const QRBManagerPtr& manager = document.oscManager();
        manager->setServerPort(port);
        manager->oscTargets()[0]->setTargetSpec(target);
        auto route = std::make_shared<QRBRouteEventSource>();
        route->setTargetIdentifier(0);
        route->setRewriteAddress(std::string("/load/out"));
        manager->insertObject(route, 0);
        auto context = QRBContext::create(std::string("/load"), manager);
        manager->presetManager()->currentPreset()->addObject(context);
        context->setInputMin(0.0);
        context->setInputMax(16777216.0);
        context->setOutputMin(0.0);
        context->setOutputMax(33554432.0);
        context->setEventSource(route);
        const std::string path = dir.file("load.qrb3");
        document.saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveTo);
        document.close();
        return path;
    }

    testsupport::TempDir dir;
};

TEST_P(LoadTest, AHundredThousandMessagesArriveInOrderAndMemoryReturns) {
    const bool tcp = GetParam();
    Target target(tcp);
    ASSERT_NE(target.port(), 0);
    const long port = testsupport::freePort();
    ASSERT_NE(port, 0);
    const std::string spec = std::string(tcp ? "osc.tcp://" : "") + "127.0.0.1:" + std::to_string(target.port());
    const std::string path = writeDocument(port, spec);

    // A sanitizer build keeps freed memory aside for a while: a small quarantine lets the
    // resident size show what the program really holds.
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    asan += std::string(asan.empty() ? "" : ":") + "quarantine_size_mb=1";
    e2e::ChildProcess child(
        QUORBITAL_PROGRAM, {"-headless", path},
        {{"XDG_CONFIG_HOME", dir.file("config")}, {"XDG_RUNTIME_DIR", dir.file("runtime")}, {"ASAN_OPTIONS", asan}});
    ASSERT_TRUE(child.waitForOutput(QuorbitalCore::kStartingRouting, 30)) << child.output();

    // The servers may still be starting after the line: a TCP connection is tried again, and a
    // first message sent again, until one arrives.
    std::unique_ptr<Sender> sender;
    std::vector<long> numbers;
    for (int attempt = 0; attempt < 60 && numbers.empty(); ++attempt) {
        if (!sender || !sender->usable()) sender = std::make_unique<Sender>(tcp, port);
        if (!sender->usable()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            continue;
        }
        sender->send(0);
        const auto until = Clock::now() + std::chrono::milliseconds(250);
        while (numbers.empty() && Clock::now() < until) target.receive(numbers, 0.05);
    }
    ASSERT_FALSE(numbers.empty()) << child.output();
    for (;;) {  // the probes still on their way
        const size_t before = numbers.size();
        target.receive(numbers, 0.3);
        if (numbers.size() == before) break;
    }
    for (long n : numbers) ASSERT_EQ(n, 0);
    numbers.clear();

    // Sends `count` messages numbered from `first`, paced and windowed; false when the run took
    // longer than its bound or something went missing (nothing arrives for two seconds).
    auto run = [&](long first, size_t count, double bound) {
        const auto start = Clock::now();
        const auto deadline = start + std::chrono::duration<double>(bound);
        size_t sent = 0;
        size_t arrived = 0;
        auto lastArrival = start;
        while (numbers.size() < count && Clock::now() < deadline) {
            // Nothing for two seconds with messages in flight: they are lost.
            if (numbers.size() != arrived) {
                arrived = numbers.size();
                lastArrival = Clock::now();
            } else if (sent > arrived && Clock::now() - lastArrival > std::chrono::seconds(2)) {
                break;
            }
            const auto due =
                start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(sent / kRate));
            if (sent < count && sent - numbers.size() < kWindow && Clock::now() >= due) {
                sender->send(static_cast<float>(first + static_cast<long>(sent)));
                ++sent;
                continue;
            }
            target.receive(numbers, sent - numbers.size() < kWindow && sent < count ? 0.0 : 0.01);
            child.collectOutput();
        }
        return numbers.size() == count;
    };

    // A first round so that what the program allocates once (buffers, caches) is counted in the
    // memory at the start.
    ASSERT_TRUE(run(1, 2000, 20)) << numbers.size() << " of 2000 arrived\n" << child.output();
    numbers.clear();
    const long memoryBefore = residentKB(child.pid());

    const auto started = Clock::now();
    const bool complete = run(2001, kCount, kRunBound);
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_TRUE(complete) << numbers.size() << " of " << kCount << " arrived within " << kRunBound << " s";
    size_t outOfPlace = 0;
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (numbers[i] != 2001 + static_cast<long>(i) && outOfPlace++ < 5)
            ADD_FAILURE() << "message " << i << " of the run carries " << numbers[i];
    }
    EXPECT_EQ(outOfPlace, 0u);
    const long memoryAfter = residentKB(child.pid());
    EXPECT_LE(memoryAfter, memoryBefore + kMemorySlackKB)
        << "resident kB before " << memoryBefore << ", after " << memoryAfter;
    std::printf("%s: %zu messages in %.1f s (%.0f/s), resident %ld kB before and %ld kB after\n", tcp ? "TCP" : "UDP",
                kCount, elapsed, kCount / elapsed, memoryBefore, memoryAfter);

    child.sendSignal(SIGINT);
    EXPECT_EQ(child.waitForExit(20), 0) << child.output();
}

INSTANTIATE_TEST_SUITE_P(Transports, LoadTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "TCP" : "UDP"; });

}  // namespace
