// MIDI input through a document's MIDI manager on the fake MIDI system: the OSC it sends, read
// back by a liblo server on 127.0.0.1, and the messages it hands to the monitor.

#include "core/monitor/QRBMessageMonitor.h"
#include "foundation/KeyedArchiver.h"
#include "midi/FakeMidiFixture.h"
#include "midi/QRBMIDIManager.h"
#include "midi/QRBMIDIMessageEndpoint.h"

#include <gtest/gtest.h>

#include <lo/lo.h>
#include <cctype>
#include <ostream>
#include <string>

#include <cstdio>
#include <cstring>

namespace {

// A case's description as a test name: letters and digits, the rest underscores.
std::string caseName(const char* what) {
    std::string name = what;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

using midi::EndpointRef;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

// A liblo server that writes down each message as "path ,types arguments", and bundles as "[" and
// "]" around their messages.
class OSCCollector {
public:
    OSCCollector() {
        server_ = lo_server_new_with_proto(nullptr, LO_UDP, [](int, const char*, const char*) {});
        if (!server_) return;
        lo_server_add_method(server_, nullptr, nullptr, &OSCCollector::handle, this);
        lo_server_add_bundle_handlers(
            server_,
            [](lo_timetag, void* self) {
                static_cast<OSCCollector*>(self)->lines_.push_back("[");
                return 0;
            },
            [](void* self) {
                static_cast<OSCCollector*>(self)->lines_.push_back("]");
                return 0;
            },
            this);
    }
    ~OSCCollector() {
        if (server_) lo_server_free(server_);
    }
    bool ok() const { return server_ != nullptr; }
    std::string url() const { return "osc.udp://127.0.0.1:" + std::to_string(lo_server_get_port(server_)); }

    // Everything that has arrived: the senders have already sent it, so a short quiet spell
    // means it is all in.
    Lines take() {
        for (int i = 0; i < 10000 && lo_server_recv_noblock(server_, 50) > 0; ++i) {}
        return std::exchange(lines_, {});
    }

private:
    static int handle(const char* path, const char* types, lo_arg** argv, int argc, lo_message, void* self) {
        std::string line = std::string(path) + " ," + types;
        char text[32];
        for (int i = 0; i < argc; ++i) {
            // liblo's arguments need not be aligned for its union: read them as bytes.
            const void* arg = argv[i];
            int32_t integer = 0;
            float real = 0;
            uint8_t midi[4] = {};
            switch (types[i]) {
            case 'i':
                std::memcpy(&integer, arg, sizeof integer);
                std::snprintf(text, sizeof text, " %d", integer);
                break;
            case 'f':
                std::memcpy(&real, arg, sizeof real);
                std::snprintf(text, sizeof text, " %.6g", double(real));
                break;
            case 's': std::snprintf(text, sizeof text, " %s", static_cast<const char*>(arg)); break;
            case 'm':
                std::memcpy(midi, arg, sizeof midi);
                std::snprintf(text, sizeof text, " %02x%02x%02x%02x", midi[0], midi[1], midi[2], midi[3]);
                break;
            default: std::snprintf(text, sizeof text, " ?"); break;
            }
            line += text;
        }
        static_cast<OSCCollector*>(self)->lines_.push_back(line);
        return 0;
    }

    lo_server server_ = nullptr;
    Lines lines_;
};

// A document written before note states were floats.
class VersionZeroManager : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBMIDIManager", foundation::Object)
public:
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override {
        coder.encodeInteger(0, "Version");
        coder.encodeInteger(2, "inputMode");
    }
};

class QRBMIDIInputTest : public FakeMidiFixture {
protected:
    void SetUp() override {
        FakeMidiFixture::SetUp();
        ASSERT_TRUE(osc.ok());
        keys = fake->plug(Kind::Source, "Keys", 1);
        pads = fake->plug(Kind::Source, "Pads", 2);
        settle();
        manager = QRBMIDIManager::create();
        monitor = std::make_shared<QRBMessageMonitor>();
        monitor->setDirection(0);
        manager->setMessageMonitor(monitor);
        manager->setTargetURL(osc.url());
        manager->select(true, tarn->realSourceWithMIDIEndpointRef(keys));
        manager->select(true, tarn->realSourceWithMIDIEndpointRef(pads));
    }
    void TearDown() override {
        manager->close();
        manager.reset();
        FakeMidiFixture::TearDown();
    }

    void useVersionZeroManager() {
        const auto data = foundation::KeyedArchiver::archivedDataWithRootObject(
            foundation::Value(std::make_shared<VersionZeroManager>()));
        manager->close();
        manager = foundation::KeyedUnarchiver::unarchiveRoot<QRBMIDIManager>(data);
        ASSERT_TRUE(manager);
        manager->setTargetURL(osc.url());
        manager->select(true, tarn->realSourceWithMIDIEndpointRef(keys));
    }

    void play(const std::vector<Bytes>& packets, EndpointRef source = 0) {
        for (const auto& packet : packets) fake->sendFromSource(source ? source : keys, packet);
        settle();
    }

    // The MIDI messages the monitor shows, as bytes.
    std::vector<Bytes> monitored() {
        std::vector<Bytes> messages;
        for (const auto& event : monitor->events().events())
            if (auto message = std::dynamic_pointer_cast<QRBMIDIMessage>(event->message()))
                messages.push_back(message->data());
        return messages;
    }

    OSCCollector osc;
    EndpointRef keys = 0, pads = 0;
    QRBMIDIManagerPtr manager;
    QRBMessageMonitorPtr monitor;
};

struct PacketCase {
    const char* what;
    std::vector<Bytes> packets;
    Lines osc;
    int64_t inputMode = 2;
    bool versionZero = false;  // notes as "ifi" instead of "iff"
};

void PrintTo(const PacketCase& c, std::ostream* out) { *out << c.what; }

class QRBMIDIInputOSCTest : public QRBMIDIInputTest, public ::testing::WithParamInterface<PacketCase> {};

TEST_P(QRBMIDIInputOSCTest, PacketsBecomeOSC) {
    const PacketCase& c = GetParam();
    if (c.versionZero) useVersionZeroManager();
    manager->setInputMode(c.inputMode);
    play(c.packets);
    EXPECT_EQ(osc.take(), c.osc) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, QRBMIDIInputOSCTest,
    ::testing::Values(
        PacketCase{"running status is not expanded", {{0x90, 0x40, 0x7F, 0x41, 0x7F}}, {"/midi/note/1 ,iff 64 1 1"}},
        PacketCase{"several messages in one packet, each on its channel",
                   {{0x8F, 0x3C, 0x40, 0xC3, 0x05, 0xD0, 0x7F}},
                   {"/midi/note/16 ,iff 60 0.503937 0", "/midi/program/4 ,i 5", "/midi/pressure/1 ,f 1"}},
        PacketCase{"velocity 0 is a note off", {{0x90, 0x40, 0x00}}, {"/midi/note/1 ,iff 64 0 0"}},
        PacketCase{"version 0 documents send the note state as an integer",
                   {{0x90, 0x40, 0x00}, {0x90, 0x40, 0x7F}},
                   {"/midi/note/1 ,ifi 64 0 0", "/midi/note/1 ,ifi 64 1 1"},
                   2,
                   true},
        PacketCase{
            "aftertouch carries pitch then pressure", {{0xA2, 0x40, 0x3F}}, {"/midi/aftertouch/3 ,if 64 0.496063"}},
        PacketCase{"controllers 120, 121 and 123 are dropped",
                   {{0xB0, 0x07, 0x7F}, {0xB0, 120, 0}, {0xB0, 121, 0}, {0xB0, 123, 0}, {0xB1, 0x00, 0x00}},
                   {"/midi/cc7/1 ,f 1", "/midi/cc0/2 ,f 0"}},
        PacketCase{
            "pitch wheel: 8191 is the centre, 0 the bottom",
            {{0xE0, 0x00, 0x40}, {0xE0, 0x7F, 0x3F}, {0xE0, 0x00, 0x00}, {0xE1, 0x7F, 0x7F}},
            {"/midi/wheel/1 ,f 0.500061", "/midi/wheel/1 ,f 0.5", "/midi/wheel/1 ,f 0", "/midi/wheel/2 ,f 1.00006"}},
        PacketCase{"clock: start, ticks counting sixteenths, stop, continue",
                   {{0xFA}, {0xF8, 0xF8, 0xF8, 0xF8, 0xF8, 0xF8, 0xF8}, {0xFC}, {0xFB}},
                   {"/midi/clock/start ,", "/midi/clock/position ,ii 0 1", "/midi/clock/position ,ii 0 2",
                    "/midi/clock/position ,ii 0 3", "/midi/clock/position ,ii 0 4", "/midi/clock/position ,ii 0 5",
                    "/midi/clock/position ,ii 1 0", "/midi/clock/position ,ii 1 1", "/midi/clock/stop ,",
                    "/midi/clock/continue ,"}},
        PacketCase{
            "song position holds until the next sixteenth wraps it",
            {{0xF2, 0x10, 0x01}, {0xF8, 0xF8, 0xF8, 0xF8, 0xF8, 0xF8}},
            {"/midi/clock/position ,ii 144 0", "/midi/clock/position ,ii 144 1", "/midi/clock/position ,ii 144 2",
             "/midi/clock/position ,ii 144 3", "/midi/clock/position ,ii 144 4", "/midi/clock/position ,ii 144 5",
             "/midi/clock/position ,ii 0 0"}},
        PacketCase{"eight quarter frames make one time code",
                   {{0xF1, 0x01},
                    {0xF1, 0x10},
                    {0xF1, 0x22},
                    {0xF1, 0x30},
                    {0xF1, 0x43},
                    {0xF1, 0x50},
                    {0xF1, 0x64},
                    {0xF1, 0x76}},
                   {"/midi/mtc/frame ,iiiiis 4 3 2 1 3 04:03:02.01"}},
        PacketCase{"bar numbers above 4096 only",
                   {{0xF0, 0x7F, 0x7F, 0x03, 0x01, 0x10, 0x01, 0xF7}, {0xF0, 0x7F, 0x7F, 0x03, 0x01, 0x10, 0x00, 0xF7}},
                   {"/midi/mtc/bar ,i 4097"}},
        PacketCase{"raw: one bundle per packet, one argument per message",
                   {{0xC0, 0x05, 0xF8}},
                   {"[", "/midi/raw/osc-in ,m 00c005ff", "/midi/raw/osc-in ,m 00f8ffff", "]"},
                   1},
        PacketCase{"raw: a system-exclusive packet in 3-byte pieces, the last one padded",
                   {{0xF0, 0x01, 0x02, 0x03, 0xF7}},
                   {"[", "/midi/raw/osc-in ,m 00f00102", "/midi/raw/osc-in ,m 0003f7ff", "]"},
                   1},
        PacketCase{"raw and parsed together",
                   {{0x90, 0x40, 0x7F}},
                   {"[", "/midi/raw/osc-in ,m 0090407f", "]", "/midi/note/1 ,iff 64 1 1"},
                   3},
        PacketCase{"mode 0 sends nothing", {{0x90, 0x40, 0x7F}, {0xF8}, {0xF1, 0x76}}, {}, 0}),
    [](const auto& info) { return caseName(info.param.what); });

TEST_F(QRBMIDIInputTest, SysExOverThreePacketsIsDeliveredOnceAndAClockInsideItStillTicks) {
    play({{0xF0, 0x01, 0x02}, {0x03, 0xF8, 0x04}});
    EXPECT_TRUE(monitored().empty());
    EXPECT_EQ(manager->incompleteSysEx()->data(), (Bytes{0xF0, 0x01, 0x02, 0x03, 0xF8, 0x04}));
    EXPECT_EQ(osc.take(), (Lines{"/midi/clock/position ,ii 0 1"}));
    play({{0x05, 0xF7}});
    EXPECT_EQ(monitored(), (std::vector<Bytes>{{0xF0, 0x01, 0x02, 0x03, 0xF8, 0x04, 0x05, 0xF7}}));
    EXPECT_FALSE(manager->incompleteSysEx());
    EXPECT_EQ(monitor->events().lastObject()->endpoint(), QRBMIDIMessageEndpoint::MIDIInputsEndpoint());
}

// A dump cut short (the device unplugged before its F7) must not swallow what comes after it,
// from the same port or another.
TEST_F(QRBMIDIInputTest, AnUnfinishedSysExHoldsBackNothingElse) {
    auto keysSource = tarn->realSourceWithMIDIEndpointRef(keys);
    play({{0xF0, 0x01, 0x02}});
    play({{0x90, 0x40, 0x7F}}, pads);
    EXPECT_EQ(monitored(), (std::vector<Bytes>{{0x90, 0x40, 0x7F}}));
    EXPECT_TRUE(manager->incompleteSysExFrom(*keysSource));

    // The same port moves on: the dump is given up, the note goes through.
    play({{0x90, 0x41, 0x7F}});
    EXPECT_FALSE(manager->incompleteSysExFrom(*keysSource));
    // F0 starts a new message in place of the one under way.
    play({{0xF0, 0x0A}, {0xF0, 0x0B, 0xF7}});
    // A dump longer than any message may be is dropped whole, and what follows is kept.
    Bytes huge(65535, 0x00);
    huge[0] = 0xF0;
    play({huge, {0x01, 0xF7}, {0x90, 0x42, 0x7F}});
    EXPECT_FALSE(manager->incompleteSysEx());
    EXPECT_EQ(monitored(),
              (std::vector<Bytes>{{0x90, 0x40, 0x7F}, {0x90, 0x41, 0x7F}, {0xF0, 0x0B, 0xF7}, {0x90, 0x42, 0x7F}}));
}

TEST_F(QRBMIDIInputTest, ModeZeroStillHandsMessagesToTheMonitor) {
    manager->setInputMode(0);
    play({{0x90, 0x40, 0x7F}, {0xF0, 0x01, 0xF7}});
    EXPECT_TRUE(osc.take().empty());
    EXPECT_EQ(monitored(), (std::vector<Bytes>{{0x90, 0x40, 0x7F}, {0xF0, 0x01, 0xF7}}));
}

// The monitor keeps its last 1,000 events: a running clock would push everything else out.
TEST_F(QRBMIDIInputTest, ClockTimeCodeAndActiveSensingAloneAreNotMonitored) {
    std::vector<Bytes> packets;
    for (int i = 0; i < 1200; ++i) packets.push_back({0xF8});
    packets.push_back({0xB0, 0x07, 0x40});
    for (int i = 0; i < 1200; ++i) packets.push_back(i % 2 ? Bytes{0xFE} : Bytes{0xF1, 0x21});
    packets.push_back({0xF8, 0x90, 0x40, 0x7F});
    play(packets);
    EXPECT_EQ(monitored(), (std::vector<Bytes>{{0xB0, 0x07, 0x40}, {0xF8, 0x90, 0x40, 0x7F}}));
}

// The bytes after a status byte that ends its packet are read as 0, never from the packet after.
TEST_F(QRBMIDIInputTest, BytesPastTheEndOfAPacketCountAsZero) {
    midi::MIDIPacketList list;
    const Bytes packets[] = {{0xF2, 0x05}, {0x7F, 0x7F}, {0xF1}, {0x7F}, {0x90, 0x40}, {0x7F}};
    for (const auto& packet : packets) list.add(1, packet.data(), packet.size());
    manager->processMIDIPacketList(list, *manager->virtualDestination());
    settle();
    EXPECT_EQ(osc.take(), (Lines{"/midi/clock/position ,ii 5 0", "/midi/note/1 ,iff 64 0 0"}));
}

}  // namespace
