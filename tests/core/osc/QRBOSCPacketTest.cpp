// The check every packet from the network passes before liblo parses it, and the framing of OSC
// over TCP streams.

#include "core/osc/QRBOSCPacket.h"

#include "core/support/OSCBytes.h"

#include <gtest/gtest.h>

#include <lo/lo.h>
#include <lo/lo_errors.h>

#include <cstdlib>
#include <random>

using oscbytes::bundleHead;
using oscbytes::Bytes;

namespace {

// A message of every type letter, as liblo itself writes it.
std::vector<uint8_t> libloMessageOfEveryType() {
    lo_message m = lo_message_new();
    uint8_t blobData[5] = {1, 2, 3, 4, 5};
    lo_blob blob = lo_blob_new(5, blobData);
    uint8_t midi[4] = {0x90, 60, 100, 0};
    lo_message_add_int32(m, 7);
    lo_message_add_int64(m, 1LL << 40);
    lo_message_add_float(m, 0.5f);
    lo_message_add_double(m, 0.25);
    lo_message_add_string(m, "text");
    lo_message_add_symbol(m, "sym");
    lo_message_add_char(m, 'c');
    lo_message_add_blob(m, blob);
    lo_message_add_midi(m, midi);
    lo_message_add_timetag(m, lo_timetag{1, 2});
    lo_message_add_true(m);
    lo_message_add_false(m);
    lo_message_add_nil(m);
    lo_message_add_infinitum(m);
    size_t size = 0;
    void* data = lo_message_serialise(m, "/every/type", nullptr, &size);
    std::vector<uint8_t> bytes(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    std::free(data);
    lo_blob_free(blob);
    lo_message_free(m);
    return bytes;
}

TEST(QRBOSCPacketTest, WellFormedMessagesAndBundlesPass) {
    std::vector<uint8_t> message = Bytes().str("/a/b").str(",ifs").i32(5).i32(0x3f800000).str("hello");
    std::vector<uint8_t> nested = bundleHead().element(message);
    std::vector<uint8_t> deep = nested;
    for (int depth = 2; depth < kQRBMaxOSCBundleDepth; ++depth) deep = bundleHead().element(deep);

    const std::vector<std::vector<uint8_t>> packets = {
        Bytes().str("/a").str(","),
        message,
        Bytes().str("/b").str(",b").i32(3).raw({1, 2, 3, 0}),
        Bytes().str("/b").str(",b").i32(0),
        Bytes().str("/s").str(",sS").str("").str("abc"),
        libloMessageOfEveryType(),
        bundleHead(),
        bundleHead().element(message).element(Bytes().str("/c").str(",T")),
        bundleHead().element(nested).element(message),
        deep,
    };
    for (size_t i = 0; i < packets.size(); ++i) {
        auto error = QRBCheckOSCPacket(packets[i].data(), packets[i].size());
        EXPECT_FALSE(error) << "packet " << i << ": " << (error ? error->text : "");
    }
}

TEST(QRBOSCPacketTest, MalformedPacketsAreRefusedWithLiblosErrorNumbers) {
    std::vector<uint8_t> good = Bytes().str("/m").str(",i").i32(1);
    std::vector<uint8_t> tooDeep = good;
    for (int depth = 1; depth <= kQRBMaxOSCBundleDepth + 1; ++depth) tooDeep = bundleHead().element(tooDeep);

    struct Case {
        const char* what;
        std::vector<uint8_t> packet;
        int number;
        const char* path;  // the path the error names, or nullptr
    } cases[] = {
        {"empty packet", {}, LO_ESIZE, nullptr},
        {"path not terminated", Bytes().raw("/abc"), LO_ETERM, nullptr},
        {"path padding not zero", Bytes().raw({'/', 'a', 0, 'x'}), LO_EPAD, nullptr},
        {"path padding cut off", Bytes().raw({'/', 'a', 'b', 'c', 'd', 0}), LO_ESIZE, nullptr},
        {"no type tags", Bytes().str("/a"), LO_ENOTYPE, "/a"},
        {"type tags without comma", Bytes().str("/a").str("ii").i32(1).i32(2), LO_EBADTYPE, "/a"},
        {"type tags not terminated", Bytes().str("/a").raw(",iii"), LO_EINVALIDTYPE, "/a"},
        {"unknown type letter", Bytes().str("/a").str(",x").i32(1), LO_EINVALIDTYPE, "/a"},
        {"colour type liblo cannot read", Bytes().str("/a").str(",r").i32(1), LO_EINVALIDTYPE, "/a"},
        {"array bracket", Bytes().str("/a").str(",[i]").i32(1), LO_EINVALIDTYPE, "/a"},
        {"int cut off", Bytes().str("/a").str(",i").raw({0, 1}), LO_EINVALIDARG, "/a"},
        {"double cut off", Bytes().str("/a").str(",d").i32(1), LO_EINVALIDARG, "/a"},
        {"argument missing", Bytes().str("/a").str(",ii").i32(1), LO_EINVALIDARG, "/a"},
        {"string argument not terminated", Bytes().str("/a").str(",s").raw("abcd"), LO_EINVALIDARG, "/a"},
        // liblo 0.31 reads a blob's size before it checks that four bytes are left.
        {"blob with fewer than four bytes left",
         Bytes()
             .raw({'/', 'a', '/', 'b', 0, 0, 0, 0})
             .raw({',', 'i', 's', 'b', 0, 0, 0, 0})
             .raw({5, 0, 0, 0})
             .raw({0, 0, 0, 0})
             .raw({'b', 'c', 0}),
         LO_EINVALIDARG, "/a/b"},
        {"blob longer than the packet", Bytes().str("/a").str(",b").i32(100).raw({1, 2, 3, 4}), LO_EINVALIDARG, "/a"},
        {"blob size near 2^32", Bytes().str("/a").str(",b").i32(0xfffffffd).raw({1, 2, 3, 4}), LO_EINVALIDARG, "/a"},
        {"blob padding not zero", Bytes().str("/a").str(",b").i32(1).raw({1, 9, 9, 9}), LO_EINVALIDARG, "/a"},
        {"bytes after the last argument", Bytes().str("/a").str(",i").i32(1).i32(2), LO_ESIZE, "/a"},
        {"bundle without time tag", Bytes().str("#bundle"), LO_ESIZE, nullptr},
        // liblo 0.31 reads past the end of a bundle whose last element has length 0.
        {"bundle element of length 0", bundleHead().i32(0), LO_EINVALIDBUND, nullptr},
        {"bundle element not a multiple of four", bundleHead().i32(6).raw({'/', 'a', 0, 0, ',', 0}), LO_EINVALIDBUND,
         nullptr},
        {"bundle element past the end", bundleHead().i32(64).raw(good), LO_ESIZE, nullptr},
        {"bundle with trailing bytes", bundleHead().element(good).raw({0, 0}), LO_ESIZE, nullptr},
        {"bundle element malformed", bundleHead().element(good).element(Bytes().str("/bad").str(",i")), LO_EINVALIDARG,
         "/bad"},
        {"bundle element path not terminated", bundleHead().element(Bytes().raw("#bun")), LO_ETERM, nullptr},
        {"bundles nested too deep", tooDeep, LO_EINVALIDBUND, nullptr},
        {"packet too large", std::vector<uint8_t>(kQRBMaxOSCPacketSize + 1, 0), LO_TOOBIG, nullptr},
    };
    for (const Case& c : cases) {
        auto error = QRBCheckOSCPacket(c.packet.data(), c.packet.size());
        ASSERT_TRUE(error) << c.what;
        EXPECT_EQ(error->number, c.number) << c.what << ": " << error->text;
        EXPECT_FALSE(error->text.empty());
        if (c.path)
            EXPECT_EQ(error->path, std::optional<std::string>(c.path)) << c.what;
        else
            EXPECT_FALSE(error->path) << c.what;
    }
}

TEST(QRBOSCPacketTest, NoiseNeverPassesAsAMessage) {
    std::mt19937 random(1234);
    for (size_t size : std::vector<size_t>{1, 3, 4, 7, 64, 1000, 65000}) {
        std::vector<uint8_t> noise(size);
        for (auto& b : noise) b = uint8_t(random());
        noise[0] = '/';  // reach the type tags and arguments, not only the path
        if (size > 1) noise[1] = 0x80;
        EXPECT_TRUE(QRBCheckOSCPacket(noise.data(), noise.size())) << size;
    }
}

// --- TCP streams

std::vector<std::vector<uint8_t>> feed(QRBOSCStreamFramer& framer, const std::vector<uint8_t>& stream, size_t chunk,
                                       bool* ok = nullptr) {
    std::vector<std::vector<uint8_t>> packets;
    bool good = true;
    for (size_t at = 0; at < stream.size(); at += chunk)
        good = framer.append(stream.data() + at, std::min(chunk, stream.size() - at), packets) && good;
    if (ok) *ok = good;
    return packets;
}

TEST(QRBOSCPacketTest, CountPrefixedFramesComeWholeHoweverTheStreamIsCut) {
    std::vector<uint8_t> first = Bytes().str("/one").str(",i").i32(1);
    std::vector<uint8_t> second = Bytes().str("/two").str(",").bytes();
    std::vector<uint8_t> stream = Bytes().element(first).element(second).element({});
    for (size_t chunk : std::vector<size_t>{1, 2, 3, 5, 7, stream.size()}) {
        QRBOSCStreamFramer framer;
        bool ok = false;
        auto packets = feed(framer, stream, chunk, &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(framer.framing(), QRBOSCStreamFramer::Framing::CountPrefix);
        ASSERT_EQ(packets.size(), 3u) << chunk;
        EXPECT_EQ(packets[0], first);
        EXPECT_EQ(packets[1], second);
        EXPECT_TRUE(packets[2].empty());  // an empty frame comes out, and the check refuses it
    }
}

TEST(QRBOSCPacketTest, SLIPStreamsAreDecodedWithTheirEscapes) {
    std::vector<uint8_t> first = Bytes().str("/one").str(",b").i32(3).raw({0xC0, 0xDB, 0x01, 0});
    std::vector<uint8_t> second = Bytes().str("/two").str(",");
    auto encode = [](const std::vector<uint8_t>& packet) {
        std::vector<uint8_t> out;
        for (uint8_t b : packet) {
            if (b == 0xC0)
                out.insert(out.end(), {0xDB, 0xDC});
            else if (b == 0xDB)
                out.insert(out.end(), {0xDB, 0xDD});
            else
                out.push_back(b);
        }
        out.push_back(0xC0);
        return out;
    };
    std::vector<uint8_t> stream = Bytes().raw({0xC0}).raw(encode(first)).raw({0xC0}).raw(encode(second));
    for (size_t chunk : std::vector<size_t>{1, 2, 4, stream.size()}) {
        QRBOSCStreamFramer framer;
        bool ok = false;
        auto packets = feed(framer, stream, chunk, &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(framer.framing(), QRBOSCStreamFramer::Framing::SLIP);
        ASSERT_EQ(packets.size(), 2u) << chunk;
        EXPECT_EQ(packets[0], first);
        EXPECT_EQ(packets[1], second);
    }
    QRBOSCStreamFramer bundles;
    auto packets = feed(bundles, Bytes().raw(encode(bundleHead())), 3);
    EXPECT_EQ(bundles.framing(), QRBOSCStreamFramer::Framing::SLIP);
    EXPECT_EQ(packets.size(), 1u);
}

TEST(QRBOSCPacketTest, StreamsThatCannotBeFollowedAreGivenUp) {
    std::vector<uint8_t> good = Bytes().str("/m").str(",");
    {
        QRBOSCStreamFramer framer;
        std::vector<std::vector<uint8_t>> packets;
        std::vector<uint8_t> stream = Bytes().element(good).i32(uint32_t(kQRBMaxOSCPacketSize) + 1).raw(good);
        EXPECT_FALSE(framer.append(stream.data(), stream.size(), packets));
        EXPECT_EQ(packets.size(), 1u);  // what came before the fault
        EXPECT_NE(framer.failure().find("too large"), std::string::npos);
        EXPECT_FALSE(framer.append(stream.data(), 4, packets));
        EXPECT_EQ(packets.size(), 1u);
    }
    {
        QRBOSCStreamFramer framer;
        std::vector<std::vector<uint8_t>> packets;
        std::vector<uint8_t> endless(kQRBMaxOSCPacketSize + 10, 'x');
        endless[0] = '/';
        EXPECT_FALSE(framer.append(endless.data(), endless.size(), packets));
        EXPECT_TRUE(packets.empty());
    }
}

}  // namespace
