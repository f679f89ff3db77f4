// Argument values through liblo: appended to a message, carried over UDP on the loopback or
// serialised, and rebuilt from what liblo hands to a method handler.

#include "core/osc/QRBArg.h"

#include "core/support/ArgValues.h"

#include <gtest/gtest.h>

#include <lo/lo.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using namespace argvalues;

namespace {

struct Received {
    std::string types;
    std::vector<QRBArgPtr> args;
    std::string error;
    int count = 0;
};

// Rebuilds the arguments the way a handler of the application does. No exception may cross
// liblo's frames, so failures are recorded instead.
int collect(const char* path, const char* types, lo_arg** argv, int argc, lo_message msg, void* user) {
    auto* r = static_cast<Received*>(user);
    ++r->count;
    try {
        r->types = types ? types : "";
        r->args.clear();
        for (int i = 0; i < argc; ++i) r->args.push_back(QRBArg::argOfType(types[i], argv[i]));
    } catch (const std::exception& e) {
        r->error = e.what();
    }
    return 0;
}

std::vector<QRBArgPtr> everyType() {
    return {I32(-123456),
            I64(-1234567890123LL),
            F32(0.1f),
            F64(-2.5e-300),
            Str("text \xC3\xA9"),
            Sym("symbol"),
            Chr('q'),
            Blob({0, 1, 2, 3, 250}),
            Midi(1, 0x90, 60, 127),
            Tag(0x83AA7E80, 0x12345678),
            Typed('T'),
            Typed('F'),
            Typed('N'),
            Typed('I')};
}

// Values at the edges of what the layout holds.
std::vector<QRBArgPtr> edgeValues() {
    std::vector<uint8_t> big(1000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    return {I32(std::numeric_limits<int32_t>::min()),
            I64(std::numeric_limits<int64_t>::max()),
            F32(std::nanf("")),
            F64(-0.0),
            Str(""),
            Sym("abc"),
            Chr(-1),
            Blob({}),
            Blob({7, 7, 7}),
            Blob(big),
            Tag(0, 1)};
}

std::string typesOf(const std::vector<QRBArgPtr>& args) {
    std::string t;
    for (const auto& a : args) t.push_back(static_cast<char>(a->libloType()));
    return t;
}

lo_message messageOf(const std::vector<QRBArgPtr>& args) {
    lo_message m = lo_message_new();
    for (const auto& a : args) EXPECT_EQ(a->addToMessage(m), 0) << a->description();
    return m;
}

void expectSameArgs(const std::vector<QRBArgPtr>& got, const std::vector<QRBArgPtr>& sent) {
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_TRUE(got[i]->isEqualToArg(*sent[i]))
            << "argument " << i << ": got " << got[i]->description() << " (" << got[i]->managedBufferSize()
            << " bytes), sent " << sent[i]->description() << " (" << sent[i]->managedBufferSize() << " bytes)";
    }
}

// A liblo UDP server whose socket is bound to 127.0.0.1 on an ephemeral port. liblo binds its
// own socket to every interface, so the test puts a loopback-only socket in its place.
class LoopbackServer {
public:
    LoopbackServer() {
        server_ = lo_server_new_with_proto("0", LO_UDP, nullptr);
        if (!server_) return;
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        socklen_t len = sizeof addr;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
            dup2(fd, lo_server_get_socket_fd(server_)) < 0) {
            if (fd >= 0) close(fd);
            return;
        }
        close(fd);
        port_ = ntohs(addr.sin_port);
        lo_server_enable_coercion(server_, 0);
        lo_server_add_method(server_, nullptr, nullptr, collect, &received_);
    }
    ~LoopbackServer() {
        if (server_) lo_server_free(server_);
    }

    bool ok() const { return server_ && port_ != 0; }
    uint16_t port() const { return port_; }

    // Waits for one more message, bounded in polls and in time.
    bool receiveOne() {
        const int before = received_.count;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (int i = 0; i < 500 && received_.count == before && std::chrono::steady_clock::now() < deadline; ++i)
            lo_server_recv_noblock(server_, 10);
        return received_.count > before;
    }

    const Received& received() const { return received_; }

private:
    lo_server server_ = nullptr;
    uint16_t port_ = 0;
    Received received_;
};

}  // namespace

TEST(QRBArgLiblo, EveryTypeTravelsOverUDP) {
    LoopbackServer server;
    ASSERT_TRUE(server.ok());
    lo_address to = lo_address_new("127.0.0.1", std::to_string(server.port()).c_str());
    ASSERT_NE(to, nullptr);

    for (const auto& sent : {everyType(), edgeValues()}) {
        lo_message m = messageOf(sent);
        ASSERT_GT(lo_send_message(to, "/arg", m), 0) << lo_address_errstr(to);
        lo_message_free(m);
        ASSERT_TRUE(server.receiveOne()) << "nothing arrived for " << typesOf(sent);
        EXPECT_EQ(server.received().error, "");
        EXPECT_EQ(server.received().types, typesOf(sent));
        expectSameArgs(server.received().args, sent);
    }
    lo_address_free(to);
}

TEST(QRBArgLiblo, SerialisedMessagesParseToEqualValues) {
    for (const auto& sent : {everyType(), edgeValues()}) {
        lo_message m = messageOf(sent);
        size_t size = 0;
        void* data = lo_message_serialise(m, "/arg", nullptr, &size);
        lo_message_free(m);
        ASSERT_NE(data, nullptr);

        int result = 0;
        lo_message parsed = lo_message_deserialise(data, size, &result);
        std::free(data);
        ASSERT_NE(parsed, nullptr) << "liblo error " << result;
        const char* types = lo_message_get_types(parsed);
        lo_arg** argv = lo_message_get_argv(parsed);
        std::vector<QRBArgPtr> got;
        for (int i = 0; i < lo_message_get_argc(parsed); ++i) got.push_back(QRBArg::argOfType(types[i], argv[i]));
        lo_message_free(parsed);

        EXPECT_EQ(typesOf(got), typesOf(sent));
        expectSameArgs(got, sent);
    }
}

TEST(QRBArgLiblo, AddToMessageOfUnusualValues) {
    lo_message m = lo_message_new();
    // An unknown letter appends nothing.
    EXPECT_EQ(Typed('x')->addToMessage(m), 0);
    EXPECT_EQ(lo_message_get_argc(m), 0);

    // Values sized by hand send only the bytes they really hold.
    QRBArgPtr shortBlob = Typed('b');
    shortBlob->setManagedBufferSize(2);
    QRBArgPtr shortDouble = Typed('d');
    shortDouble->setManagedBufferSize(3);
    QRBArgPtr emptyString = Typed('s');
    EXPECT_EQ(shortBlob->addToMessage(m), 0);
    EXPECT_EQ(shortDouble->addToMessage(m), 0);
    EXPECT_EQ(emptyString->addToMessage(m), 0);
    ASSERT_EQ(lo_message_get_argc(m), 3);
    EXPECT_STREQ(lo_message_get_types(m), "bds");
    // liblo's argument pointers need not be aligned for lo_arg, so they are read byte-wise.
    lo_arg** argv = lo_message_get_argv(m);
    int32_t count = -1;
    double d = -1;
    std::memcpy(&count, argv[0], sizeof count);
    std::memcpy(&d, argv[1], sizeof d);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(d, 0.0);
    EXPECT_STREQ(reinterpret_cast<const char*>(argv[2]), "");
    lo_message_free(m);
}
