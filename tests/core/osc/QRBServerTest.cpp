// The OSC servers on the loopback: the hand-off to the main thread, the method table, start and
// stop, the errors, malformed input, sending from the server's socket and the publication.
// Every test runs once over UDP and once over TCP.

#include "core/osc/QRBServer.h"

#include "core/osc/QRBTransport.h"
#include "foundation/Clock.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/RunLoop.h"
#include "platform/FakeBonjourBackend.h"

#include "core/support/OSCBytes.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <lo/lo.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

using foundation::LogCapture;
using foundation::RunLoop;
using oscbytes::bundleHead;
using oscbytes::Bytes;

namespace {

constexpr double kWait = 10.0;  // seconds a test waits for input at most

long freePort() {
    long port = testsupport::freePort();
    EXPECT_NE(port, 0) << "no free port";
    return port;
}

// An OSC message as bytes, made by liblo.
std::vector<uint8_t> serialise(const char* path, lo_message message) {
    size_t size = 0;
    void* data = lo_message_serialise(message, path, nullptr, &size);
    std::vector<uint8_t> bytes(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    std::free(data);
    lo_message_free(message);
    return bytes;
}

std::vector<uint8_t> intMessage(const char* path, int32_t value) {
    lo_message m = lo_message_new();
    lo_message_add_int32(m, value);
    return serialise(path, m);
}

enum class Family { IPv4, IPv6 };

// A client on the loopback (127.0.0.1, or ::1): datagrams over UDP, count-prefixed frames over
// one TCP connection.
class Sender {
public:
    Sender(int protocol, long port, Family family = Family::IPv4) : protocol_(protocol) {
        const int domain = family == Family::IPv6 ? AF_INET6 : AF_INET;
        fd_ = socket(domain, protocol == LO_TCP ? SOCK_STREAM : SOCK_DGRAM, 0);
        if (family == Family::IPv6) {
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&destination_);
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(uint16_t(port));
            v6->sin6_addr = in6addr_loopback;
            destinationLength_ = sizeof *v6;
        } else {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&destination_);
            v4->sin_family = AF_INET;
            v4->sin_port = htons(uint16_t(port));
            v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            destinationLength_ = sizeof *v4;
        }
        if (protocol == LO_TCP) {
            EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&destination_), destinationLength_), 0);
        }
    }
    ~Sender() { close(fd_); }

    // One packet: a datagram, or a frame with its length.
    void send(const std::vector<uint8_t>& packet) {
        if (protocol_ == LO_UDP) {
            ssize_t sent = sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&destination_),
                                  destinationLength_);
            EXPECT_EQ(sent, ssize_t(packet.size()));
        } else {
            sendRaw(Bytes().element(packet));
        }
    }
    // Bytes as they are (TCP: no length before them). The server reads on this same thread, so
    // while the connection is full the main run loop runs; a connection the server closed ends
    // the sending.
    void sendRaw(const std::vector<uint8_t>& bytes) {
        if (protocol_ == LO_UDP) return send(bytes);
        size_t done = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (done < bytes.size() && std::chrono::steady_clock::now() < deadline) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += size_t(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                RunLoop::main().runMode(foundation::RunLoopMode::Default, 0.01);
            } else {
                return;
            }
        }
    }
    long localPort() const {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        return address.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port)
                                             : ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }
    // Ends the connection (TCP): what the server still holds of it is all it gets.
    void hangUp() { shutdown(fd_, SHUT_WR); }

private:
    int protocol_;
    int fd_;
    sockaddr_storage destination_{};
    socklen_t destinationLength_ = 0;
};

class RecordingDelegate : public QRBServerDelegate {
public:
    void server(QRBServer&, const std::string& errorOccurred) override { errors.push_back(errorOccurred); }
    std::vector<std::string> errors;
};

// What a handler saw of one message.
struct Call {
    std::string path;
    std::string types;
    std::vector<int64_t> ints;
    std::string senderHost;
    std::string senderPort;
    std::thread::id thread;
    lo_timetag tag;
    int libloArgc;
};

Call record(const QRBServerMessage& m) {
    Call call{m.path,
              m.types,
              {},
              m.senderHost,
              m.senderPort,
              std::this_thread::get_id(),
              m.message ? lo_message_get_timestamp(m.message) : LO_TT_IMMEDIATE,
              m.message ? lo_message_get_argc(m.message) : m.argc};
    for (int i = 0; i < m.argc; ++i) {
        if (m.types[i] == 'i') {
            int32_t v;
            std::memcpy(&v, m.argv[i], sizeof v);
            call.ints.push_back(v);
        } else if (m.types[i] == 'h') {
            int64_t v;
            std::memcpy(&v, m.argv[i], sizeof v);
            call.ints.push_back(v);
        }
    }
    return call;
}

class ServerTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        foundation::BonjourBackend::setShared(bonjour);
        port = freePort();
        server = QRBServer::create(protocol());
        server->setPort(port);
        server->setDelegate(delegate);
    }
    void TearDown() override {
        server.reset();
        foundation::BonjourBackend::setShared(nullptr);
    }

    int protocol() const { return GetParam(); }
    const char* name() const { return protocol() == LO_UDP ? "UDP" : "TCP"; }

    bool runUntil(const std::function<bool()>& predicate) { return RunLoop::main().runUntil(predicate, kWait); }

    // Starts the server with an entry that records the calls of `path` and a recording catch-all.
    void startRecording(const std::string& path = "/test/a") {
        ASSERT_TRUE(server->start());
        ASSERT_TRUE(server->registerMethod(path, [this](const QRBServerMessage& m) {
            calls.push_back(record(m));
            return 0;
        }));
        server->registerRootCallback([this](const QRBServerMessage& m) {
            unmatched.push_back(record(m));
            return 0;
        });
    }

    std::shared_ptr<platform::FakeBonjourBackend> bonjour = std::make_shared<platform::FakeBonjourBackend>();
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<QRBServer> server;
    long port = 0;
    std::vector<Call> calls;
    std::vector<Call> unmatched;
};

TEST_P(ServerTest, MessagesAreDispatchedOnTheMainThreadAndTheCatchAllTakesTheRest) {
    startRecording();
    Sender sender(protocol(), port);
    lo_message big = lo_message_new();
    lo_message_add_int64(big, int64_t(1) << 40);  // an 8-byte value at a 4-byte offset
    lo_message_add_int32(big, 9);
    sender.send(intMessage("/test/a", 42));
    sender.send(serialise("/test/a", big));
    sender.send(intMessage("/elsewhere", 7));
    sender.send(serialise("/test/a", lo_message_new()));  // the type list "," alone
    ASSERT_TRUE(runUntil([&] { return calls.size() == 3 && unmatched.size() == 1; }));

    EXPECT_EQ(calls[0].path, "/test/a");
    EXPECT_EQ(calls[0].types, "i");
    EXPECT_EQ(calls[0].ints, std::vector<int64_t>{42});
    EXPECT_EQ(calls[1].types, "hi");
    EXPECT_EQ(calls[1].ints, (std::vector<int64_t>{int64_t(1) << 40, 9}));
    EXPECT_EQ(calls[2].types, "");
    EXPECT_TRUE(calls[2].ints.empty());
    EXPECT_EQ(unmatched[0].path, "/elsewhere");
    for (const Call& c : {calls[0], calls[1], calls[2], unmatched[0]}) {
        EXPECT_EQ(c.thread, std::this_thread::get_id());
        EXPECT_EQ(c.senderHost, "127.0.0.1");
        EXPECT_EQ(c.senderPort, std::to_string(sender.localPort()));
        // A message outside a bundle is for now, and liblo's view of it agrees with the handler's.
        EXPECT_EQ(c.tag.sec, LO_TT_IMMEDIATE.sec);
        EXPECT_EQ(c.tag.frac, LO_TT_IMMEDIATE.frac);
        EXPECT_EQ(c.libloArgc, int(c.types.size()));
    }
    EXPECT_TRUE(delegate->errors.empty());
}

TEST_P(ServerTest, ABurstArrivesWholeAndInOrder) {
    startRecording("/burst");
    // Within what a default UDP receive buffer holds while the main thread is not reading.
    const int count = protocol() == LO_UDP ? 100 : 500;
    Sender sender(protocol(), port);
    for (int i = 0; i < count; ++i) sender.send(intMessage("/burst", i));
    ASSERT_TRUE(runUntil([&] { return int(calls.size()) == count; })) << calls.size();
    for (int i = 0; i < count; ++i) ASSERT_EQ(calls[size_t(i)].ints, std::vector<int64_t>{i});
    EXPECT_TRUE(unmatched.empty());
}

TEST_P(ServerTest, BundlesDispatchEachElementWithItsTimeTag) {
    startRecording("/b");
    lo_bundle bundle = lo_bundle_new(lo_timetag{3'000'000'000u, 1u << 31});  // in 1995: due at once
    lo_message first = lo_message_new();
    lo_message_add_int32(first, 1);
    lo_message second = lo_message_new();
    lo_message_add_int32(second, 2);
    lo_bundle_add_message(bundle, "/b", first);
    lo_bundle_add_message(bundle, "/other", second);
    size_t size = 0;
    void* data = lo_bundle_serialise(bundle, nullptr, &size);
    std::vector<uint8_t> bytes(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    std::free(data);
    lo_bundle_free_recursive(bundle);

    std::vector<lo_timetag> tags;
    server->registerMethod("/other", [&](const QRBServerMessage& m) {
        tags.push_back(lo_message_get_timestamp(m.message));
        return 0;
    });
    Sender(protocol(), port).send(bytes);
    ASSERT_TRUE(runUntil([&] { return calls.size() == 1 && tags.size() == 1; }));
    EXPECT_EQ(calls[0].ints, std::vector<int64_t>{1});
    EXPECT_EQ(tags[0].sec, 3'000'000'000u);
    EXPECT_EQ(tags[0].frac, 1u << 31);
}

TEST_P(ServerTest, PatternsReachEveryMatchingEntryUnderItsOwnPath) {
    startRecording("/fader/1");
    ASSERT_TRUE(server->registerMethod("/fader/2", [&](const QRBServerMessage& m) {
        calls.push_back(record(m));
        return 0;
    }));
    Sender(protocol(), port).send(intMessage("/fader/*", 5));
    ASSERT_TRUE(runUntil([&] { return calls.size() == 2 && unmatched.size() == 1; }));
    EXPECT_EQ(calls[0].path, "/fader/1");
    EXPECT_EQ(calls[1].path, "/fader/2");
    // A pattern walks the whole table, the catch-all included, which gets the pattern itself.
    EXPECT_EQ(unmatched[0].path, "/fader/*");
}

TEST_P(ServerTest, TheTableKeepsTheCatchAllLastAndTakesOnlyPlainPathsWhileRunning) {
    EXPECT_FALSE(server->registerMethod("/early", [](const QRBServerMessage&) { return 0; }));
    ASSERT_TRUE(server->start());
    std::vector<std::string> order;
    server->registerRootCallback([&](const QRBServerMessage& m) {
        order.push_back(std::string("catch-all ") + m.path);
        return 0;
    });
    ASSERT_TRUE(server->registerMethod("/x", [&](const QRBServerMessage& m) {
        order.push_back(std::string("x ") + m.path);
        return 0;
    }));
    ASSERT_TRUE(server->addMethod(std::string("/typed"), std::string("i"), [&](const QRBServerMessage&) {
        order.push_back("typed i");
        return 0;
    }));
    for (const char* pattern : {"/a b", "/a#", "/a*", "/a,", "/a?", "/a[", "/a]", "/a{", "/a}"})
        EXPECT_FALSE(server->registerMethod(pattern, [](const QRBServerMessage&) { return 0; })) << pattern;
    EXPECT_EQ(server->methodCount(), 3u);

    Sender sender(protocol(), port);
    sender.send(intMessage("/x", 1));
    sender.send(intMessage("/typed", 2));
    lo_message f = lo_message_new();
    lo_message_add_float(f, 2.5f);
    sender.send(serialise("/typed", f));  // no coercion: only the catch-all takes ",f"
    ASSERT_TRUE(runUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<std::string>{"x /x", "typed i", "catch-all /typed"}));

    server->clearRegisteredMethods();  // the typed entry and the catch-all stay
    EXPECT_EQ(server->methodCount(), 2u);
    server->stop();
    EXPECT_EQ(server->methodCount(), 0u);
    ASSERT_TRUE(server->start());
    EXPECT_EQ(server->methodCount(), 0u);  // every start begins with an empty table
}

// A plain path walks only its own entries and those without a path, found through an index
// that every change of the table keeps up to date: the walk must stay the table's order through
// entries sharing a path, typed entries without a path, a catch-all moved last, deletions and
// additions after them.
TEST_P(ServerTest, APlainPathWalksItsEntriesInTableOrderThroughEveryChangeOfTheTable) {
    ASSERT_TRUE(server->start());
    std::vector<std::string> seen;
    // Each entry declines, so that the walk shows every entry a message reaches.
    auto entry = [&](std::string label) {
        return [&seen, label](const QRBServerMessage&) {
            seen.push_back(label);
            return 1;
        };
    };
    Sender sender(protocol(), port);
    // Around each message, one that only the sentinel's entry takes (the typed entries take ",i").
    auto sentinel = [] {
        lo_message m = lo_message_new();
        lo_message_add_float(m, 0);
        return serialise("/sentinel", m);
    };
    auto walk = [&](const char* path) {
        seen.clear();
        sender.send(sentinel());
        sender.send(intMessage(path, 1));
        sender.send(sentinel());
        EXPECT_TRUE(runUntil([&] { return std::count(seen.begin(), seen.end(), "sentinel") == 2; })) << path;
        std::vector<std::string> between;
        for (const auto& label : seen)
            if (label != "sentinel") between.push_back(label);
        return between;
    };
    server->registerRootCallback(entry("catch-all A"));
    ASSERT_TRUE(server->registerMethod("/sentinel", [&](const QRBServerMessage&) {
        seen.push_back("sentinel");
        return 0;
    }));
    // A path of its own first, then entries around it.
    ASSERT_TRUE(server->addMethod(std::string("/p"), std::string("i"), entry("p typed")));
    ASSERT_TRUE(server->addMethod(std::nullopt, std::string("i"), entry("pathless typed")));
    ASSERT_TRUE(server->registerMethod("/p", entry("p")));
    EXPECT_EQ(walk("/p"), (std::vector<std::string>{"p typed", "pathless typed", "p", "catch-all A"}));

    // The first entry of the path goes; the one that shares its path is still found.
    server->deleteMethod(std::string("/p"), std::string("i"));
    EXPECT_EQ(walk("/p"), (std::vector<std::string>{"pathless typed", "p", "catch-all A"}));

    // A new catch-all goes last; entries added after it go before it.
    server->registerRootCallback(entry("catch-all B"));
    ASSERT_TRUE(server->registerMethod("/q", entry("q")));
    EXPECT_EQ(walk("/q"), (std::vector<std::string>{"pathless typed", "q", "catch-all B"}));
    EXPECT_EQ(walk("/elsewhere"), (std::vector<std::string>{"pathless typed", "catch-all B"}));

    // Cleared and registered again, as a change of mapping does.
    server->clearRegisteredMethods();
    ASSERT_TRUE(server->registerMethod("/sentinel", [&](const QRBServerMessage&) {
        seen.push_back("sentinel");
        return 0;
    }));
    EXPECT_EQ(walk("/p"), (std::vector<std::string>{"pathless typed", "catch-all B"}));
    ASSERT_TRUE(server->registerMethod("/p", entry("p again")));
    EXPECT_EQ(walk("/p"), (std::vector<std::string>{"pathless typed", "p again", "catch-all B"}));
    EXPECT_EQ(server->methodCount(), 4u);
}

TEST_P(ServerTest, HandlersMayRebuildTheTableWhileTheirMessageIsDispatched) {
    ASSERT_TRUE(server->start());
    std::vector<std::string> seen;
    auto rebuild = [&](const QRBServerMessage&) {
        seen.push_back("remap");
        server->clearRegisteredMethods();
        server->registerMethod("/new", [&](const QRBServerMessage&) {
            seen.push_back("new");
            return 0;
        });
        server->registerRootCallback([&](const QRBServerMessage& m) {
            seen.push_back(std::string("new catch-all ") + m.path);
            return 0;
        });
        return 0;
    };
    server->registerMethod("/remap", rebuild);
    server->registerMethod("/old", [&](const QRBServerMessage&) {
        seen.push_back("old");
        return 0;
    });
    server->registerRootCallback([&](const QRBServerMessage& m) {
        seen.push_back(std::string("old catch-all ") + m.path);
        return 0;
    });
    // In one bundle: the remap, then a message for an entry the remap deleted.
    Sender sender(protocol(), port);
    sender.send(bundleHead().element(intMessage("/remap", 1)).element(intMessage("/old", 2)));
    sender.send(intMessage("/new", 3));
    ASSERT_TRUE(runUntil([&] { return seen.size() == 3; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"remap", "new catch-all /old", "new"}));
}

TEST_P(ServerTest, AHandlerThatDeletesItsOwnEntryAndTheNextRunsToItsEndAndTheNextIsSkipped) {
    ASSERT_TRUE(server->start());
    std::vector<std::string> seen;
    // It declines the message, so the walk goes on to the entries after it: the typed entry and
    // the catch-all it deleted are not called, the catch-all it added waits for the next message.
    server->registerMethod("/self", [&, label = std::string("self, after deleting itself")](const QRBServerMessage&) {
        server->deleteMethod(std::string("/self"), std::nullopt);
        server->deleteMethod(std::string("/self"), std::string("i"));
        server->registerRootCallback([&](const QRBServerMessage& m) {
            seen.push_back(std::string("new catch-all ") + m.path);
            return 0;
        });
        seen.push_back(label);  // its captures outlive the deletion
        return 1;
    });
    server->addMethod(std::string("/self"), std::string("i"), [&](const QRBServerMessage&) {
        seen.push_back("typed");
        return 0;
    });
    server->registerRootCallback([&](const QRBServerMessage&) {
        seen.push_back("old catch-all");
        return 0;
    });
    Sender sender(protocol(), port);
    sender.send(intMessage("/self", 1));
    sender.send(intMessage("/self", 2));
    ASSERT_TRUE(runUntil([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"self, after deleting itself", "new catch-all /self"}));
    EXPECT_EQ(server->methodCount(), 1u);
}

TEST_P(ServerTest, AHandlerMayStopItsOwnServer) {
    ASSERT_TRUE(server->start());
    std::vector<std::string> seen;
    server->registerMethod("/quit", [&](const QRBServerMessage&) {
        seen.push_back("quit");
        server->stop();
        return 0;
    });
    server->registerRootCallback([&](const QRBServerMessage& m) {
        seen.push_back(m.path);
        return 0;
    });
    Sender(protocol(), port).send(bundleHead().element(intMessage("/quit", 1)).element(intMessage("/after", 2)));
    ASSERT_TRUE(runUntil([&] { return !seen.empty(); }));
    RunLoop::main().runUntil(RunLoop::main().now() + 0.1);
    EXPECT_EQ(seen, std::vector<std::string>{"quit"});
    EXPECT_FALSE(server->isRunning());
    // The port is free again.
    ASSERT_TRUE(server->start());
    server.reset();  // the destructor stops it
}

TEST_P(ServerTest, StartsStopsAndRestartsOnTheSamePort) {
    // A stop waits for nothing (no thread to end): a bound far above it catches a stop that
    // waits out some slice. The fastest round is compared so that a loaded machine's scheduling
    // delay in one round does not count.
    auto fastestStop = std::chrono::steady_clock::duration::max();
    for (int round = 0; round < 3; ++round) {
        calls.clear();
        startRecording();
        EXPECT_TRUE(server->isRunning());
        Sender(protocol(), port).send(intMessage("/test/a", round));
        ASSERT_TRUE(runUntil([&] { return calls.size() == 1; }));
        auto before = std::chrono::steady_clock::now();
        server->stop();
        fastestStop = std::min(fastestStop, std::chrono::steady_clock::now() - before);
        EXPECT_FALSE(server->isRunning());
    }
    EXPECT_LT(fastestStop, std::chrono::milliseconds(150));
    server->stop();  // a stopped server does nothing
    EXPECT_TRUE(delegate->errors.empty());
}

TEST_P(ServerTest, StartingTwiceAnswersNoAndReportsNothing) {
    ASSERT_TRUE(server->start());
    EXPECT_FALSE(server->start());
    EXPECT_TRUE(server->isRunning());
    EXPECT_TRUE(delegate->errors.empty());
}

TEST_P(ServerTest, APortInUseIsReportedAndStartAnswersNo) {
    int blocker = socket(AF_INET, protocol() == LO_TCP ? SOCK_STREAM : SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (protocol() == LO_TCP) listen(blocker, 1);

    LogCapture log;
    EXPECT_FALSE(server->start());
    EXPECT_FALSE(server->isRunning());
    ASSERT_EQ(delegate->errors.size(), 1u);
    EXPECT_EQ(delegate->errors[0],
              std::string("OSC ") + name() + " Server error: Port " + std::to_string(port) + " already in use");
    EXPECT_TRUE(log.contains("OSC error 9904 in (null): "));  // liblo gives no `where`
    EXPECT_TRUE(bonjour->publishedServices().empty());
    close(blocker);
    EXPECT_TRUE(server->start());
}

TEST_P(ServerTest, MalformedPacketsAreReportedAndTheServerGoesOnServing) {
    startRecording("/good");
    std::vector<uint8_t> good = intMessage("/good", 1);
    std::mt19937 random(99);
    std::vector<uint8_t> noise(60000);
    for (auto& b : noise) b = uint8_t(random());

    std::vector<std::vector<uint8_t>> bad = {
        Bytes()
            .raw({'/', 'a', '/', 'b', 0, 0, 0, 0})
            .raw({',', 'i', 's', 'b', 0, 0, 0, 0})
            .raw({5, 0, 0, 0})
            .raw({0, 0, 0, 0})
            .raw({'b', 'c', 0}),                                  // a blob with 3 bytes left
        Bytes().str("/a").str(",b").i32(1000).raw({1, 2, 3, 4}),  // a blob longer than the packet
        Bytes().str("/a").str(",s").raw("abcd"),                  // an unterminated string
        Bytes().str("/a").str(",x").i32(0),                       // a type liblo does not know
        Bytes().str("/a").str(",i").raw({1, 2}),                  // a truncated argument
        bundleHead().i32(0),                                      // an empty bundle element
        bundleHead().element(bundleHead().i32(64).raw(good)),     // a bundle inside overrunning its element
        Bytes().raw("/abc"),                                      // no terminator at all
        noise,
    };
    Sender sender(protocol(), port);
    LogCapture log;
    for (size_t i = 0; i < bad.size(); ++i) {
        sender.send(bad[i]);
        sender.send(good);
        ASSERT_TRUE(runUntil([&] { return calls.size() == i + 1; })) << "after bad packet " << i;
        EXPECT_EQ(delegate->errors.size(), i + 1) << i;
    }
    EXPECT_TRUE(unmatched.empty());
    for (const std::string& error : delegate->errors)
        EXPECT_EQ(error.rfind(std::string("OSC ") + name() + " Server error: ", 0), 0u) << error;
    EXPECT_TRUE(log.contains("OSC error 9912 in \"/a/b\": Invalid message received"));
    // The error handler's line says what was wrong; nothing timed out.
    EXPECT_FALSE(log.contains("read error or timeout"));
}

TEST_P(ServerTest, ARefusedPacketsPathStandsQuotedAndEscapedInTheLog) {
    startRecording("/good");
    // Lines of the kind logged by the tests before are not held back: the windows start anew.
    foundation::setLogClock(std::make_shared<foundation::ManualClock>());
    LogCapture log;
    Sender sender(protocol(), port);
    // A path that would forge a log line and clear the terminal that shows it.
    sender.send(Bytes().str("/x\nQuitting because signal SIGINT was received.\x1b[2J").str(",x").i32(0));
    sender.send(intMessage("/good", 1));
    ASSERT_TRUE(runUntil([&] { return calls.size() == 1; }));
    foundation::setLogClock(nullptr);
    EXPECT_TRUE(log.contains("in \"/x\\nQuitting because signal SIGINT was received.\\x1B[2J\": "))
        << ::testing::PrintToString(log.lines());
    for (const auto& line : log.lines()) {
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Protocols, ServerTest, ::testing::Values(LO_UDP, LO_TCP),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == LO_UDP ? "UDP" : "TCP";
                         });

TEST_P(ServerTest, AHandlerThatRunsTheLoopIsNotHandedTheNextMessageMeanwhile) {
    // A handler that waits modally runs the main loop again, which also watches the server's
    // sockets: what arrived meanwhile must wait for the handler to return, in order, and the
    // nested run must not spin on the sockets it leaves unread.
    ASSERT_TRUE(server->start());
    std::vector<int64_t> seen;
    bool inModal = false;
    bool handedInside = false;
    double modalCPUSeconds = 0;
    server->registerMethod("/m", [&](const QRBServerMessage& m) {
        handedInside = handedInside || inModal;
        const Call call = record(m);
        seen.push_back(call.ints.at(0));
        if (call.ints.at(0) == 0) {
            inModal = true;
            timespec before{}, after{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
            RunLoop::main().runUntil(RunLoop::main().now() + 0.5);
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
            modalCPUSeconds = double(after.tv_sec - before.tv_sec) + double(after.tv_nsec - before.tv_nsec) / 1e9;
            inModal = false;
        }
        return 0;
    });
    Sender sender(protocol(), port);
    sender.send(intMessage("/m", 0));
    // The rest comes while the first handler waits.
    RunLoop::main().performAfter(0.05, this, [&] {
        for (int i = 1; i <= 5; ++i) sender.send(intMessage("/m", i));
    });
    ASSERT_TRUE(runUntil([&] { return seen.size() == 6; })) << seen.size();
    EXPECT_FALSE(handedInside);
    EXPECT_EQ(seen, (std::vector<int64_t>{0, 1, 2, 3, 4, 5}));
    // Half a second of waiting; a loop spinning on a ready socket would use most of it.
    EXPECT_LT(modalCPUSeconds, 0.15);
    // And the server reads on as before.
    sender.send(intMessage("/m", 6));
    ASSERT_TRUE(runUntil([&] { return seen.size() == 7; }));
}

class UDPBurstTest : public ServerTest {};

TEST_P(UDPBurstTest, ABurstIsTakenInBatchesBetweenWhichTimersAndTheOtherServerRun) {
    // Both become due while the burst is being read: a pass that read the whole burst before
    // looking at anything else would hold them back until its end.
    ASSERT_TRUE(server->start());
    auto other = QRBServer::create(LO_TCP);
    other->setPort(freePort());
    ASSERT_TRUE(other->start());
    size_t otherSawAfter = 0, timerSawAfter = 0;
    bool otherSeen = false, timerFired = false;
    other->registerRootCallback([&](const QRBServerMessage&) {
        otherSeen = true;
        otherSawAfter = calls.size();
        return 0;
    });
    std::shared_ptr<foundation::Timer> timer;
    const int count = 100;  // within what a default UDP receive buffer holds
    Sender sender(protocol(), port);
    Sender otherSender(LO_TCP, other->port());
    for (int i = 0; i < count; ++i) sender.send(intMessage("/burst", i));
    server->registerMethod("/burst", [&](const QRBServerMessage& m) {
        calls.push_back(record(m));
        if (calls.size() == 1) {
            otherSender.send(intMessage("/other", 1));
            timer = RunLoop::main().scheduleTimer(0, false, foundation::RunLoopMode::Common, [&](foundation::Timer&) {
                timerFired = true;
                timerSawAfter = calls.size();
            });
        }
        return 0;
    });
    ASSERT_TRUE(runUntil([&] { return int(calls.size()) == count && timerFired && otherSeen; })) << calls.size();
    EXPECT_LT(timerSawAfter, size_t(count));
    EXPECT_LT(otherSawAfter, size_t(count));
    for (int i = 0; i < count; ++i) ASSERT_EQ(calls[size_t(i)].ints, std::vector<int64_t>{i});
}

// A burst larger than the socket's buffer loses datagrams in the kernel before the program can
// read them: the loss is not the program's, but it must not go unsaid.
TEST_P(UDPBurstTest, DatagramsTheSystemDroppedAreCountedAndLogged) {
    startRecording("/burst");
    LogCapture log;
    Sender sender(protocol(), port);
    // Sent while the main thread reads nothing: far more than any receive buffer holds.
    for (int i = 0; i < 100000; ++i) sender.send(intMessage("/burst", i));
    // The kernel stamps its count of drops on each datagram it queues, so the loss shows with the
    // first datagram that finds room after it: the flood going on.
    int next = 100000;
    ASSERT_TRUE(runUntil([&] {
        sender.send(intMessage("/burst", next++));
        return log.contains("the system dropped");
    })) << calls.size() << " received";
    EXPECT_TRUE(log.contains(foundation::format("at port %ld", port)));
    // What did arrive still came in order.
    for (size_t i = 1; i < calls.size(); ++i) ASSERT_LT(calls[i - 1].ints, calls[i].ints);
}

// A packet made inside the program goes through the table as a datagram from its sender would,
// in order with the others handed over, and a handler that runs the loop again is not handed the
// next one meanwhile.
TEST_P(UDPBurstTest, PacketsHandedOverInProcessAreDispatchedInOrderOneAtATime) {
    EXPECT_FALSE(server->receivePacket(intMessage("/burst", 0), "127.0.0.1", "9"));
    ASSERT_TRUE(server->start());
    std::vector<int64_t> seen;
    std::vector<std::string> senders;
    bool nested = false;
    server->registerMethod("/burst", [&](const QRBServerMessage& m) {
        const int64_t value = record(m).ints.at(0);
        seen.push_back(value);
        senders.push_back(m.senderHost + ":" + m.senderPort);
        if (value == 1 && !nested) {
            nested = true;
            server->receivePacket(intMessage("/burst", 2), "127.0.0.1", "9");
            RunLoop::main().runMode(foundation::RunLoopMode::Default, 0.05);
            EXPECT_EQ(seen.back(), 1) << "handed the next packet while its handler ran";
        }
        return 0;
    });
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(server->receivePacket(intMessage("/burst", i), "127.0.0.1", "9"));
    EXPECT_EQ(seen, (std::vector<int64_t>{0, 1, 2}));
    EXPECT_EQ(senders.front(), "127.0.0.1:9");
    std::vector<uint8_t> broken = intMessage("/burst", 3);
    broken.resize(broken.size() - 1);
    EXPECT_TRUE(server->receivePacket(broken, "127.0.0.1", "9"));
    EXPECT_EQ(seen.size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Protocols, UDPBurstTest, ::testing::Values(LO_UDP),
                         [](const ::testing::TestParamInfo<int>&) { return std::string("UDP"); });

// --- TCP streams: what only a stream can do wrong

class TCPStreamTest : public ServerTest {};

size_t linesContaining(const LogCapture& log, const std::string& text) {
    const auto lines = log.lines();
    return size_t(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& line) { return line.find(text) != std::string::npos; }));
}

TEST_P(TCPStreamTest, StreamsFramedNeitherWayGetOneLineAndOtherConnectionsGoOn) {
    startRecording("/good");
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        bool hangUp;       // the sender closes its end after the bytes
        std::string line;  // what the log says of the connection
    };
    const std::vector<uint8_t> good = intMessage("/good", 1);
    const std::vector<Case> cases = {
        {"bytes that are no length", std::vector<uint8_t>(65536, 0x7f), false,
         "neither length-prefixed nor SLIP-framed OSC: it begins with 7f 7f 7f 7f), connection closed"},
        {"text", Bytes().raw("GET / HTTP/1.1\r\n\r\n"), false, "neither length-prefixed nor SLIP-framed OSC"},
        // A length the stream can carry but an OSC packet cannot: the sender framed it right.
        {"a first frame too large", Bytes().i32(70000).raw(std::vector<uint8_t>(60, 0)), false,
         "(Message too large: 70000 bytes, more than the 65535 an OSC packet may have), connection closed"},
        // OSC packets with no framing at all look like SLIP that never ends a packet.
        {"unframed packets", Bytes().raw(good).raw(good), true, "bytes that never completed a packet"},
        {"a frame cut short", Bytes().i32(uint32_t(good.size())).raw({good[0], good[1]}), true,
         "closed with 6 bytes that never completed a packet"},
    };
    // Each connection comes a log window after the last, so that none of the lines is only
    // counted as part of a flood of refused packets.
    auto logClock = std::make_shared<foundation::ManualClock>();
    foundation::setLogClock(logClock);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        logClock->advance(2 * foundation::kLogSummaryWindow);
        foundation::flushLogSummaries();
        LogCapture log;
        delegate->errors.clear();
        Sender sender(LO_TCP, port);
        sender.sendRaw(c.bytes);
        if (c.hangUp) sender.hangUp();
        ASSERT_TRUE(runUntil([&] { return !delegate->errors.empty(); }));
        RunLoop::main().runUntil(RunLoop::main().now() + 0.05);
        EXPECT_EQ(linesContaining(log, c.line), 1u);
        EXPECT_EQ(linesContaining(log, "127.0.0.1:" + std::to_string(sender.localPort())), 1u) << "names its peer";
        EXPECT_EQ(log.lines().size(), 1u) << "one line for the connection";
    }
    foundation::setLogClock(nullptr);
    Sender(LO_TCP, port).send(good);
    ASSERT_TRUE(runUntil([&] { return calls.size() == 1; }));
    EXPECT_TRUE(unmatched.empty());
}

TEST_P(TCPStreamTest, SLIPIsRecognisedWithAndWithoutALeadingEnd) {
    startRecording("/slip");
    constexpr uint8_t END = 0xC0;
    auto message = [](int32_t value) { return intMessage("/slip", value); };
    // A packet with END and ESC in it travels escaped.
    const std::vector<uint8_t> escaped = Bytes().str("/slip").str(",i").raw({0x00, 0xC0, 0xDB, 0x05});
    auto slipEscape = [](const std::vector<uint8_t>& packet) {
        std::vector<uint8_t> out;
        for (uint8_t b : packet) {
            if (b == 0xC0)
                out.insert(out.end(), {0xDB, 0xDC});
            else if (b == 0xDB)
                out.insert(out.end(), {0xDB, 0xDD});
            else
                out.push_back(b);
        }
        return out;
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> stream;
        std::vector<int64_t> values;
    };
    const std::vector<Case> cases = {
        // What common JavaScript clients send: END, the packet, END, for every packet.
        {"END, a bundle, END",
         Bytes().raw({END}).raw(bundleHead().element(message(1)).element(message(2))).raw({END}),
         {1, 2}},
        {"END, messages, END", Bytes().raw({END}).raw(message(3)).raw({END, END}).raw(message(4)).raw({END}), {3, 4}},
        {"no leading END", Bytes().raw(message(5)).raw({END}).raw(message(6)).raw({END}), {5, 6}},
        {"a bundle without a leading END", Bytes().raw(bundleHead().element(message(7))).raw({END}), {7}},
        {"escaped bytes", Bytes().raw({END}).raw(slipEscape(escaped)).raw({END}), {0x00C0DB05}},
    };
    LogCapture log;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        calls.clear();
        Sender sender(LO_TCP, port);
        // In two writes, split inside the first four bytes, where the framing is decided.
        sender.sendRaw(std::vector<uint8_t>(c.stream.begin(), c.stream.begin() + 2));
        RunLoop::main().runUntil(RunLoop::main().now() + 0.02);
        sender.sendRaw(std::vector<uint8_t>(c.stream.begin() + 2, c.stream.end()));
        ASSERT_TRUE(runUntil([&] { return calls.size() == c.values.size(); }));
        for (size_t i = 0; i < c.values.size(); ++i) EXPECT_EQ(calls[i].ints, std::vector<int64_t>{c.values[i]});
    }
    EXPECT_TRUE(delegate->errors.empty());
    EXPECT_TRUE(log.lines().empty());
}

INSTANTIATE_TEST_SUITE_P(Protocols, TCPStreamTest, ::testing::Values(LO_TCP),
                         [](const ::testing::TestParamInfo<int>&) { return "TCP"; });

// --- output and publication

TEST_P(ServerTest, SendsFromItsOwnSocket) {
    ASSERT_TRUE(server->start());
    long receiverPort = freePort();
    std::string portText = std::to_string(receiverPort);
    lo_server receiver = lo_server_new_with_proto(portText.c_str(), protocol(), nullptr);
    ASSERT_NE(receiver, nullptr);
    struct Seen {
        int count = 0;
        std::string sourcePort;
    } seen;
    lo_server_add_method(
        receiver, "/out", "i",
        [](const char*, const char*, lo_arg**, int, lo_message m, void* user) {
            auto* s = static_cast<Seen*>(user);
            ++s->count;
            if (const char* p = lo_address_get_port(lo_message_get_source(m))) s->sourcePort = p;
            return 0;
        },
        &seen);

    lo_address target = lo_address_new_with_proto(protocol(), "127.0.0.1", portText.c_str());
    lo_message message = lo_message_new();
    lo_message_add_int32(message, 5);
    EXPECT_GT(server->sendToOSCAddress(target, "/out", message), 0);
    for (int i = 0; i < 100 && seen.count == 0; ++i) lo_server_recv_noblock(receiver, 50);
    EXPECT_EQ(seen.count, 1);
    if (protocol() == LO_UDP) {
        EXPECT_EQ(seen.sourcePort, std::to_string(port));  // replies reach the document's port
    }

    LogCapture log;
    EXPECT_EQ(server->sendToOSCAddress(target, nullptr, message), -1);
    server->stop();
    EXPECT_EQ(server->sendToOSCAddress(target, "/out", message), -1);
    EXPECT_TRUE(log.contains(kQRBServerSendError));
    lo_message_free(message);
    lo_address_free(target);
    lo_server_free(receiver);
}

TEST_P(ServerTest, IsPublishedWhileRunningAndTCPServersMarkTheControlAPI) {
    ASSERT_TRUE(server->start());
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    ASSERT_TRUE(runUntil([&] {
        auto services = bonjour->publishedServices();
        return services.size() == 1 && (protocol() == LO_UDP || !services[0].resolved.txtRecord.empty());
    }));
    auto published = bonjour->publishedServices()[0];
    EXPECT_EQ(published.identity.name, std::string(host) + ":" + std::to_string(port) + " (Quorbital)");
    EXPECT_EQ(published.identity.type, QRBServiceTypeForTransportProtocol(protocol()));
    EXPECT_EQ(published.resolved.port, port);
    if (protocol() == LO_TCP)
        EXPECT_EQ(published.resolved.txtRecord, (foundation::TXTRecord{{"Quorbital-API-Support", {'Y', 'E', 'S'}}}));
    else
        EXPECT_TRUE(published.resolved.txtRecord.empty());
    EXPECT_EQ(server->loopbackURL(), QRBLocalOSCURLForPort(port, protocol()));

    server->stop();
    EXPECT_TRUE(bonjour->publishedServices().empty());
    EXPECT_EQ(server->service(), nullptr);
}

TEST_P(ServerTest, RunsOnWhenNothingCanBePublished) {
    bonjour->setFailsPublishing(true);
    bonjour->setRefusesTXTRecords(true);
    startRecording();
    RunLoop::main().runUntil(RunLoop::main().now() + 0.05);
    Sender(protocol(), port).send(intMessage("/test/a", 1));
    ASSERT_TRUE(runUntil([&] { return calls.size() == 1; }));
    EXPECT_TRUE(delegate->errors.empty());
}

// --- IPv6 peers

TEST_P(ServerTest, IPv6PeersAreHeardOnTheSamePortUnderTheirOwnAddress) {
    if (!testsupport::hasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback here";
    startRecording();
    Sender v6(protocol(), port, Family::IPv6);
    Sender v4(protocol(), port, Family::IPv4);
    v6.send(intMessage("/test/a", 6));
    ASSERT_TRUE(runUntil([&] { return calls.size() == 1; }));
    v4.send(intMessage("/test/a", 4));
    ASSERT_TRUE(runUntil([&] { return calls.size() == 2; }));
    EXPECT_EQ(calls[0].ints, std::vector<int64_t>{6});
    EXPECT_EQ(calls[0].senderHost, "::1");
    EXPECT_EQ(calls[0].senderPort, std::to_string(v6.localPort()));
    EXPECT_EQ(calls[1].senderHost, "127.0.0.1");
    EXPECT_EQ(calls[1].senderPort, std::to_string(v4.localPort()));
    EXPECT_TRUE(delegate->errors.empty());

    // A restart takes the IPv6 port again, and a stop lets it go.
    server->stop();
    ASSERT_TRUE(server->start());
    server->stop();
    int probe = socket(AF_INET6, protocol() == LO_TCP ? SOCK_STREAM : SOCK_DGRAM, 0);
    const int one = 1;
    setsockopt(probe, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (protocol() == LO_TCP) setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // past TIME_WAIT
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    any.sin6_port = htons(uint16_t(port));
    EXPECT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&any), sizeof any), 0) << std::strerror(errno);
    close(probe);
}

TEST_P(ServerTest, AnIPv6PortTakenByAnotherProgramLeavesIPv4Working) {
    if (!testsupport::hasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback here";
    int blocker = socket(AF_INET6, protocol() == LO_TCP ? SOCK_STREAM : SOCK_DGRAM, 0);
    const int one = 1;
    setsockopt(blocker, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    any.sin6_port = htons(uint16_t(port));
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    LogCapture log;
    startRecording();
    EXPECT_TRUE(log.contains("takes no IPv6 input (bind: Address already in use)"));
    Sender(protocol(), port).send(intMessage("/test/a", 1));
    ASSERT_TRUE(runUntil([&] { return calls.size() == 1; }));
    EXPECT_TRUE(delegate->errors.empty());
    close(blocker);
}

// --- bundles for later

// `seconds` from now on the wall clock, as an OSC time tag.
lo_timetag timeTagIn(double seconds) {
    lo_timetag now;
    lo_timetag_now(&now);
    const double whole = std::floor(seconds);
    uint64_t frac = now.frac + uint64_t((seconds - whole) * 4294967296.0);
    return lo_timetag{now.sec + uint32_t(whole) + uint32_t(frac >> 32), uint32_t(frac)};
}

Bytes bundleAt(lo_timetag tag) { return Bytes().str("#bundle").i32(tag.sec).i32(tag.frac); }

// The main loop on a clock the test moves; the system clock again afterwards.
class ManualTime {
public:
    ManualTime() { RunLoop::main().setClock(clock); }
    ~ManualTime() { RunLoop::main().setClock(foundation::SystemClock::shared()); }
    // Moves time on and lets the loop do what became due, and what arrives meanwhile.
    void advance(double seconds) {
        clock->advance(seconds);
        settle();
    }
    // A few passes of the loop with real pauses: input still arrives in real time.
    static void settle() {
        for (int i = 0; i < 10; ++i) {
            RunLoop::main().runMode(foundation::RunLoopMode::Default, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    // Runs the loop until `predicate` holds, at most kWait seconds of real time.
    static bool until(const std::function<bool()>& predicate) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWait);
        while (!predicate()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            RunLoop::main().runMode(foundation::RunLoopMode::Default, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    std::shared_ptr<foundation::ManualClock> clock = std::make_shared<foundation::ManualClock>(1000.0);
};

std::vector<int64_t> values(const std::vector<Call>& calls) {
    std::vector<int64_t> all;
    for (const Call& c : calls) all.insert(all.end(), c.ints.begin(), c.ints.end());
    return all;
}

TEST_P(ServerTest, BundlesForLaterWaitForTheirTimeAndKeepArrivalOrderForEqualTimes) {
    startRecording("/b");
    ManualTime time;
    const lo_timetag in100 = timeTagIn(100), in50 = timeTagIn(50), in150 = timeTagIn(150);
    lo_timetag past = timeTagIn(0);
    past.sec -= 10;
    Sender sender(protocol(), port);
    sender.send(bundleAt(in100).element(intMessage("/b", 1)));
    sender.send(bundleAt(in100).element(intMessage("/b", 2)));
    sender.send(bundleAt(in50).element(intMessage("/b", 3)));
    sender.send(bundleAt(past).element(intMessage("/b", 4)));
    sender.send(intMessage("/b", 5));
    // Due now, with a bundle inside for later: the rest goes at once.
    sender.send(bundleHead().element(intMessage("/b", 6)).element(bundleAt(in150).element(intMessage("/b", 7))));
    ASSERT_TRUE(ManualTime::until([&] { return calls.size() == 3; })) << calls.size();
    ManualTime::settle();
    EXPECT_EQ(values(calls), (std::vector<int64_t>{4, 5, 6}));

    time.advance(49);
    EXPECT_EQ(calls.size(), 3u) << "nothing before its time";
    time.advance(2);
    ASSERT_TRUE(ManualTime::until([&] { return calls.size() == 4; }));
    time.advance(50);
    ASSERT_TRUE(ManualTime::until([&] { return calls.size() == 6; }));
    time.advance(50);
    ASSERT_TRUE(ManualTime::until([&] { return calls.size() == 7; }));
    EXPECT_EQ(values(calls), (std::vector<int64_t>{4, 5, 6, 3, 1, 2, 7}));
    // Each message still carries its own bundle's time.
    EXPECT_EQ(calls[3].tag.sec, in50.sec);
    EXPECT_EQ(calls[3].tag.frac, in50.frac);
    EXPECT_EQ(calls[6].tag.sec, in150.sec);
    for (const Call& c : calls) {
        EXPECT_EQ(c.senderHost, "127.0.0.1");
        EXPECT_EQ(c.senderPort, std::to_string(sender.localPort()));
    }
    EXPECT_TRUE(delegate->errors.empty());

    // A stop drops what still waits; nothing of it reaches the next start.
    sender.send(bundleAt(timeTagIn(10)).element(intMessage("/b", 8)));
    sender.send(intMessage("/b", 9));
    ASSERT_TRUE(ManualTime::until([&] { return calls.size() == 8; }));
    server->stop();
    startRecording("/b");
    time.advance(20);
    EXPECT_EQ(values(calls), (std::vector<int64_t>{4, 5, 6, 3, 1, 2, 7, 9}));
}

TEST_P(ServerTest, ABundleForLaterArrivesNoSoonerThanItsTime) {
    startRecording("/now");
    std::vector<double> lateBy;  // seconds after the bundle's time tag
    server->registerMethod("/later", [&](const QRBServerMessage& m) {
        lo_timetag now;
        lo_timetag_now(&now);
        lateBy.push_back(lo_timetag_diff(now, lo_message_get_timestamp(m.message)));
        calls.push_back(record(m));
        return 0;
    });
    Sender sender(protocol(), port);
    sender.send(bundleAt(timeTagIn(0.4)).element(intMessage("/later", 1)));
    sender.send(intMessage("/now", 2));
    ASSERT_TRUE(runUntil([&] { return calls.size() == 2; }));
    EXPECT_EQ(calls[0].path, "/now");
    ASSERT_EQ(lateBy.size(), 1u);
    // The wall clock and the loop's monotonic clock may differ by a hair; a bundle dispatched on
    // arrival would be 0.4 s early.
    EXPECT_GT(lateBy[0], -0.05);
}

// --- TCP connections under load

// Connects `count` non-blocking clients to `port`; answers how many completed their handshake
// within `seconds`.
int connectClients(std::vector<int>& fds, int count, long port, double seconds) {
    for (int i = 0; i < count; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in to = testsupport::loopbackAddress(port);
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
        fds.push_back(fd);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int connected = 0;
    for (int fd : fds) {
        pollfd p{fd, POLLOUT, 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (poll(&p, 1, int(std::max<int64_t>(0, left.count()))) == 1) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error == 0) ++connected;
        }
    }
    return connected;
}

TEST_P(TCPStreamTest, ABurstOfConnectsIsTakenWhileTheMainThreadIsBusy) {
    startRecording("/hello");
    // The main thread accepts nothing while the clients connect, as when it is busy routing: all
    // of them must fit in the listening socket's backlog, or they wait for SYN retransmissions.
    std::vector<int> fds;
    const int count = 64;
    EXPECT_EQ(connectClients(fds, count, port, 3.0), count);
    for (int fd : fds) {
        const std::vector<uint8_t> frame = Bytes().element(intMessage("/hello", 1));
        EXPECT_EQ(send(fd, frame.data(), frame.size(), MSG_NOSIGNAL), ssize_t(frame.size()));
    }
    ASSERT_TRUE(runUntil([&] { return int(calls.size()) == count; })) << calls.size();
    for (int fd : fds) close(fd);
}

TEST_P(TCPStreamTest, RunningOutOfDescriptorsPausesAcceptingAndLosesNoConnection) {
    startRecording("/hello");
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    // The sanitizers need a pipe to look at an object's type the first time they see it, which
    // they can't make at the limit: what runs there (a dispatch, a timer) runs once before.
    {
        Sender(LO_TCP, port).send(intMessage("/hello", 0));
        ASSERT_TRUE(runUntil([&] { return calls.size() == 1; }));
        calls.clear();
        bool fired = false;
        RunLoop::main().scheduleTimer(0.001, false, foundation::RunLoopMode::Common,
                                      [&](foundation::Timer&) { fired = true; });
        ASSERT_TRUE(runUntil([&] { return fired; }));
    }
    // The clients' sockets first; then the limit is lowered so that the server can accept only
    // two of them.
    std::vector<int> fds;
    for (int i = 0; i < 10; ++i) fds.push_back(socket(AF_INET, SOCK_STREAM, 0));
    int highest = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        highest = std::max(highest, std::atoi(entry.path().filename().c_str()));
    // Free numbers below it would be taken first.
    std::vector<int> fillers;
    for (int filler = open("/dev/null", O_RDONLY); filler >= 0; filler = open("/dev/null", O_RDONLY)) {
        if (filler > highest) {
            close(filler);
            break;
        }
        fillers.push_back(filler);
    }
    rlimit lowered = original;
    lowered.rlim_cur = rlim_t(highest) + 3;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);

    LogCapture log;
    const std::vector<uint8_t> frame = Bytes().element(intMessage("/hello", 1));
    sockaddr_in to = testsupport::loopbackAddress(port);
    for (int fd : fds) {
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        EXPECT_EQ(send(fd, frame.data(), frame.size(), MSG_NOSIGNAL), ssize_t(frame.size()));
    }
    RunLoop::main().runUntil(RunLoop::main().now() + 1.0);
    const size_t acceptLines = linesContaining(log, "accept");
    const size_t served = calls.size();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &original), 0);

    // Without the pause, every hand-off fails again at once: thousands of lines a second.
    EXPECT_EQ(acceptLines, 1u);
    EXPECT_TRUE(log.contains("Error: cannot accept TCP connections on port " + std::to_string(port) +
                             " (Too many open files)"));
    EXPECT_LT(served, fds.size());
    // The waiting connections are taken once descriptors are free again.
    ASSERT_TRUE(runUntil([&] { return calls.size() == fds.size(); })) << calls.size();
    for (int fd : fds) close(fd);
    for (int fd : fillers) close(fd);
}

TEST(QRBServerErrorHandlerTest, KeepsTheLastErrorForEveryServerToReport) {
    auto udp = QRBServer::create(LO_UDP);
    auto tcp = QRBServer::create(LO_TCP);
    udp->setPort(8000);
    tcp->setPort(9000);
    LogCapture log;
    QRBServerErrorHandler(13, "Permission denied", "bind()");
    EXPECT_TRUE(log.contains("OSC error 13 in \"bind()\": Permission denied"));
    EXPECT_EQ(udp->libloError(), "OSC UDP Server error: Permission denied to open port 8000");
    EXPECT_EQ(tcp->libloError(), "OSC TCP Server error: Permission denied to open port 9000");
    QRBServerErrorHandler(9904, "cannot find free port", nullptr);
    EXPECT_EQ(tcp->libloError(), "OSC TCP Server error: Port 9000 already in use");
    QRBServerErrorHandler(9911, "Invalid %s message", nullptr);
    EXPECT_EQ(udp->libloError(), "OSC UDP Server error: 9911 in (null): Invalid %s message\n");
}

}  // namespace
