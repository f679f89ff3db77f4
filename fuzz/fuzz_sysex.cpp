// Packets from a MIDI source: the system-exclusive reassembly and the MIDI manager's walk over the
// packet's bytes (parsed and raw input) must take any bytes in any pieces. The input is a run of
// packets, each a header byte and up to 63 bytes: header bit 7 repeats the bytes 1,500 times and
// bit 6 40 times for the reassembly, so that a dump can grow past the longest message kept.
//
// Checked of the reassembly: a message that starts with F0 ends with F7, holds no status byte but
// real-time ones inside, and is no longer than kMaxLength; other runs hold no F0; nothing pending
// is longer than kMaxLength; and nothing comes out that did not go in.
#include "document/EngineClasses.h"
#include "foundation/RunLoop.h"
#include "midi/QRBMIDIInputParser.h"
#include "midi/QRBMIDIManager.h"
#include "midi/backends/MIDIPacketList.h"
#include "midi/tarn/TarnMIDIEndpoint.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

void checkMessage(const foundation::Data& message) {
    check(!message.empty());
    if (message.front() != 0xF0) {
        check(std::find(message.begin(), message.end(), 0xF0) == message.end());
        return;
    }
    check(message.size() >= 2 && message.back() == 0xF7);
    check(message.size() <= QRBMIDISysExAssembler::kMaxLength);
    for (size_t i = 1; i + 1 < message.size(); ++i) check(message[i] < 0x80 || message[i] >= 0xF8);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    registerEngineClasses();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const QRBMIDIManagerPtr manager = [] {
        auto m = QRBMIDIManager::create();
        m->setInputMode(3);  // raw and parsed
        return m;
    }();
    static const auto sender = std::make_shared<TarnMIDIEndpoint>("fuzz");

    QRBMIDISysExAssembler assembler;
    std::vector<foundation::Data> complete;
    std::vector<uint8_t> packet;
    size_t in = 0, out = 0;
    size_t at = 0;
    while (at < size) {
        const uint8_t header = data[at++];
        const size_t length = std::min<size_t>(header & 0x3F, size - at);
        const size_t repeats = header & 0x80 ? 1500 : header & 0x40 ? 40 : 1;
        packet.clear();
        for (size_t r = 0; r < repeats; ++r) packet.insert(packet.end(), data + at, data + at + length);
        at += length;

        complete.clear();
        assembler.addPacket(packet.data(), packet.size(), complete);
        in += packet.size();
        for (const auto& message : complete) {
            checkMessage(message);
            out += message.size();
        }
        check(assembler.pending().size() <= QRBMIDISysExAssembler::kMaxLength);
        check(out <= in);

        // The walk gets the piece once: raw mode makes a message of every three bytes, and the
        // repeated dumps would only make the run slow.
        if (length) manager->processMIDIPacketList(midi::MIDIPacketList(1, data + at - length, length), *sender);
    }
    // What the walk handed to the main loop (templates and the monitor) runs too.
    foundation::RunLoop::main().runMode(foundation::RunLoopMode::Default, 0);
    return 0;
}
