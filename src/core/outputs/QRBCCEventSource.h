#pragma once
// An output keyed by a MIDI control-change number (0 to 127), on one of 16 channels. The MIDI
// control-change outputs are its subclasses; the list a class proposes holds its outputs in
// controller order, so previous and next step through that list by number.
//
// Main thread only.

#include "core/outputs/QRBEventSource.h"

#include <cstdint>

class QRBCCEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBCCEventSource", QRBEventSource)

public:
    static constexpr const char* kCCNumberKey = "QRBCCEventSourceCCNumber";

    QRBCCEventSource() = default;

    static unsigned classChannelCount() { return 16; }

    int64_t ccNumber() const { return ccNumber_; }
    void setCcNumber(int64_t number) { ccNumber_ = number; }

    // The neighbours in the class's proposed list, by controller number, wrapping at both ends;
    // the output itself when the list does not hold 128 outputs.
    QRBEventSourcePtr previousProposedEventSource() override;
    QRBEventSourcePtr nextProposedEventSource() override;

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    QRBEventSourcePtr proposedAtIndex(int64_t index);

    int64_t ccNumber_ = 0;
};
