// Reassembly of one sender's system-exclusive messages from the packets they arrive in.

#include "midi/QRBMIDIInputParser.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>

namespace {

// A case's description as a test name: letters and digits, the rest underscores.
std::string caseName(const char* what) {
    std::string name = what;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

using Bytes = std::vector<uint8_t>;

struct AssemblyCase {
    const char* what;
    std::vector<Bytes> packets;
    std::vector<Bytes> complete;  // what comes out, in order
    Bytes pending;                // still under way at the end
};

void PrintTo(const AssemblyCase& c, std::ostream* out) { *out << c.what; }

class QRBMIDISysExAssemblerTest : public ::testing::TestWithParam<AssemblyCase> {};

TEST_P(QRBMIDISysExAssemblerTest, PacketsBecomeMessages) {
    const AssemblyCase& c = GetParam();
    QRBMIDISysExAssembler assembler;
    std::vector<Bytes> complete;
    for (const auto& packet : c.packets) assembler.addPacket(packet.data(), packet.size(), complete);
    EXPECT_EQ(complete, c.complete) << c.what;
    EXPECT_EQ(assembler.isAssembling(), !c.pending.empty()) << c.what;
    EXPECT_EQ(assembler.pending(), c.pending) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, QRBMIDISysExAssemblerTest,
    ::testing::Values(AssemblyCase{"a packet without system exclusive comes out whole",
                                   {{0x90, 0x40, 0x7F, 0x41, 0x7F}},
                                   {{0x90, 0x40, 0x7F, 0x41, 0x7F}},
                                   {}},
                      AssemblyCase{"one packet, one message", {{0xF0, 0x01, 0xF7}}, {{0xF0, 0x01, 0xF7}}, {}},
                      AssemblyCase{"three pieces, a real-time byte kept where it came",
                                   {{0xF0, 0x01}, {0x02, 0xF8, 0x03}, {0xF7}},
                                   {{0xF0, 0x01, 0x02, 0xF8, 0x03, 0xF7}},
                                   {}},
                      AssemblyCase{"under way", {{0xF0, 0x01}, {0x02}}, {}, {0xF0, 0x01, 0x02}},
                      AssemblyCase{"a status byte aborts it and is kept with what follows",
                                   {{0xF0, 0x01}, {0x02, 0x90, 0x40, 0x7F}},
                                   {{0x90, 0x40, 0x7F}},
                                   {}},
                      AssemblyCase{"F0 starts it again", {{0xF0, 0x01}, {0xF0, 0x02}}, {}, {0xF0, 0x02}},
                      AssemblyCase{"the bytes around a message in one packet come out on either side",
                                   {{0xC0, 0x05, 0xF0, 0x01, 0xF7, 0x90, 0x40, 0x7F}},
                                   {{0xC0, 0x05}, {0xF0, 0x01, 0xF7}, {0x90, 0x40, 0x7F}},
                                   {}},
                      AssemblyCase{"an F7 with nothing under way is passed on", {{0xF7}}, {{0xF7}}, {}}),
    [](const auto& info) { return caseName(info.param.what); });

TEST(QRBMIDISysExAssemblerLimit, AMessageOfTheMostBytesPassesAndOneMoreIsDropped) {
    for (const size_t length : {QRBMIDISysExAssembler::kMaxLength, QRBMIDISysExAssembler::kMaxLength + 1}) {
        QRBMIDISysExAssembler assembler;
        std::vector<Bytes> complete;
        Bytes body(length - 1, 0x11);
        body[0] = 0xF0;
        assembler.addPacket(body.data(), body.size(), complete);
        const Bytes end{0xF7, 0x90, 0x40, 0x7F};
        assembler.addPacket(end.data(), end.size(), complete);
        const bool fits = length <= QRBMIDISysExAssembler::kMaxLength;
        ASSERT_EQ(complete.size(), fits ? 2u : 1u) << length;
        if (fits) {
            EXPECT_EQ(complete[0].size(), length);
        }
        EXPECT_EQ(complete.back(), (Bytes{0x90, 0x40, 0x7F}));
        EXPECT_EQ(assembler.overflowCount(), fits ? 0u : 1u);
        EXPECT_TRUE(assembler.isIdle());
        // Nothing of the dropped message is held.
        EXPECT_EQ(assembler.pending().capacity(), fits ? assembler.pending().capacity() : 0u);
    }
}

}  // namespace
