#pragma once
// A raw MIDI message as it was received or sent: its bytes, shown in the monitor as a hex dump
// with a decoded summary.

#include "core/osc/QRBMessage.h"

#include <cstdint>

class QRBMIDIMessage;
using QRBMIDIMessagePtr = std::shared_ptr<QRBMIDIMessage>;

class QRBMIDIMessage : public QRBMessage {
public:
    QRBMIDIMessage() = default;
    explicit QRBMIDIMessage(foundation::Data data) : data_(std::move(data)) {}

    static QRBMIDIMessagePtr MIDIMessageWithData(foundation::Data data);
    static QRBMIDIMessagePtr MIDIMessageWithByte(uint8_t byte);
    static QRBMIDIMessagePtr MIDIMessageWithStatus(uint8_t status, uint8_t data1);
    static QRBMIDIMessagePtr MIDIMessageWithStatus(uint8_t status, uint8_t data1, uint8_t data2);
    // This message's bytes followed by `data` (the pieces of a SysEx message), without user info.
    QRBMIDIMessagePtr MIDIMessageByAppendingData(const foundation::Data& data) const;

    const foundation::Data& data() const { return data_; }

    bool isEqualToMIDIMessage(const QRBMIDIMessage& other) const;

    // Eight bytes per line as "%0.2X   ", each line ended by a line break; at most eight lines,
    // then "(and more ...)" when bytes are left out.
    std::string presentation() const override;
    std::optional<std::string> details() const override;
    size_t countOfPresentedLines() const override;

    // NO for the high-rate traffic that says little to a reader: MTC quarter frames, timing
    // clock and active sensing.
    bool shouldMonitor() const;

    // Lines of bytes the presentation shows before it cuts the rest off.
    static constexpr size_t kBytesPerLine = 8;
    static constexpr size_t kMaxPresentedByteLines = 8;

private:
    foundation::Data data_;
};
