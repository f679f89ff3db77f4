#include "midi/QRBMIDIMessage.h"

#include "foundation/Format.h"
#include "midi/tarn/TarnMIDIManager.h"

#include <algorithm>

namespace {

constexpr const char* kAndMoreLine = "(and more ...)";

// Note names are two to four characters ("C3", "C#3", "C#-2"); two-character names get a space so
// that the columns after them line up.
std::string paddedNoteName(uint8_t note) {
    std::string name = TarnMIDIManager::nameOfNote(note);
    if (name.size() == 2) name += " ";
    return name;
}

// The bytes a channel voice message holds, status included.
size_t voiceMessageLength(uint8_t status) {
    uint8_t kind = status & 0xF0;
    return (kind == 0xC0 || kind == 0xD0) ? 2 : 3;
}

std::optional<std::string> voiceDetails(const foundation::Data& data) {
    const uint8_t status = data[0];
    const uint8_t kind = status & 0xF0;
    const int channel = (status & 0x0F) + 1;

    if (data.size() > 3) {
        // Two control changes in a row are the parameter-number pair of an RPN or NRPN.
        if (kind == 0xB0 && data.size() == 6 && (data[3] & 0xF0) == 0xB0)
            return foundation::format("RPN/NRPN                         Ch %2i", channel);
        return std::nullopt;
    }
    // A message cut short has nothing to decode; its data bytes are not read.
    if (data.size() < voiceMessageLength(status)) return std::nullopt;

    const uint8_t d1 = data[1];
    const uint8_t d2 = data.size() > 2 ? data[2] : 0;
    switch (kind) {
    case 0x80:
    case 0x90: {
        // A note-on with velocity 0 is a note-off.
        const char* onOff = (status >= 0x90 && d2 != 0) ? "On " : "Off";
        return foundation::format("Note-%s %s     Velocity %3i    Ch %2i", onOff, paddedNoteName(d1).c_str(), int(d2),
                                  channel);
    }
    case 0xA0:
        return foundation::format("Aftertouch %s    Value %3i       Ch %2i", paddedNoteName(d1).c_str(), int(d2),
                                  channel);
    case 0xB0: return foundation::format("Control %3i      Value %3i       Ch %2i", int(d1), int(d2), channel);
    case 0xC0: return foundation::format("Program %3i                      Ch %2i", int(d1), channel);
    case 0xD0: return foundation::format("Mono Pressure    Value %3i       Ch %2i", int(d1), channel);
    default:  // 0xE0
        return foundation::format("Pitch Bend       Value %5i     Ch %2i", int(d1) + 128 * int(d2) - 8192, channel);
    }
}

std::optional<std::string> systemDetails(const foundation::Data& data) {
    switch (data[0]) {
    case 0xF0: return foundation::format("SysEx (%li bytes)", long(data.size()));
    case 0xF1: return "MTC Quarter Frame";
    case 0xF2: return "Song Position Pointer";
    case 0xF3: return "Song Select";
    case 0xF6: return "Tune Request";
    case 0xF7: return "End of SysEx";
    case 0xF8: return "System Real Time: Timing Clock";
    case 0xFA: return "System Real Time: Start";
    case 0xFB: return "System Real Time: Continue";
    case 0xFC: return "System Real Time: Stop";
    case 0xFE: return "System Real Time: Active Sensing";
    case 0xFF: return "System Real Time: System Reset";
    default: return std::nullopt;  // 0xF4, 0xF5, 0xF9, 0xFD are undefined
    }
}

}  // namespace

QRBMIDIMessagePtr QRBMIDIMessage::MIDIMessageWithData(foundation::Data data) {
    return std::make_shared<QRBMIDIMessage>(std::move(data));
}

QRBMIDIMessagePtr QRBMIDIMessage::MIDIMessageWithByte(uint8_t byte) { return MIDIMessageWithData({byte}); }

QRBMIDIMessagePtr QRBMIDIMessage::MIDIMessageWithStatus(uint8_t status, uint8_t data1) {
    return MIDIMessageWithData({status, data1});
}

QRBMIDIMessagePtr QRBMIDIMessage::MIDIMessageWithStatus(uint8_t status, uint8_t data1, uint8_t data2) {
    return MIDIMessageWithData({status, data1, data2});
}

QRBMIDIMessagePtr QRBMIDIMessage::MIDIMessageByAppendingData(const foundation::Data& data) const {
    foundation::Data joined = data_;
    joined.insert(joined.end(), data.begin(), data.end());
    return MIDIMessageWithData(std::move(joined));
}

bool QRBMIDIMessage::isEqualToMIDIMessage(const QRBMIDIMessage& other) const {
    return this == &other || data_ == other.data_;
}

std::string QRBMIDIMessage::presentation() const {
    const size_t maxBytes = kBytesPerLine * kMaxPresentedByteLines;
    const size_t shown = std::min(data_.size(), maxBytes);
    std::string text;
    text.reserve(shown * 5 + shown / kBytesPerLine + 16);
    for (size_t i = 0; i < shown; ++i) {
        // "%.2X" is "%0.2X" without the flag the precision overrides anyway.
        text += foundation::format("%.2X   ", unsigned(data_[i]));
        if ((i + 1) % kBytesPerLine == 0) text += "\n";
    }
    if (data_.size() > maxBytes) text += kAndMoreLine;
    return text;
}

size_t QRBMIDIMessage::countOfPresentedLines() const {
    const size_t n = data_.size();
    if (n + 7 <= kBytesPerLine * kMaxPresentedByteLines + 7) return (n + 7) / kBytesPerLine;
    return kMaxPresentedByteLines + 1;  // the "(and more ...)" line
}

std::optional<std::string> QRBMIDIMessage::details() const {
    if (data_.empty() || data_[0] < 0x80) return std::nullopt;
    if (data_[0] < 0xF0) return voiceDetails(data_);
    return systemDetails(data_);
}

bool QRBMIDIMessage::shouldMonitor() const {
    if (data_.empty()) return true;
    const uint8_t status = data_[0];
    return status != 0xF1 && status != 0xF8 && status != 0xFE;
}
