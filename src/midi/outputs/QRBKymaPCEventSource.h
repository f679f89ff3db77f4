#pragma once
// Program-change outputs: a fixed program written to the Flame device (the base) or sent as MIDI
// program change, and a MIDI program change that takes the program from the action's value.
// They act when the action is released (the crossing down), so a button changes the program once.
//
// Main thread only.

#include "core/outputs/QRBEventSource.h"

#include <cstdint>
#include <memory>

class QRBKymaPCEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBKymaPCEventSource", QRBEventSource)

public:
    static constexpr const char* kPrgNumberKey = "QRBPCEventSourcePrgNumber";
    // The device's program register of a channel is channel × 256 − 125.
    static constexpr uint32_t kProgramRegisterOffset = 125;
    // Programs the device reserves: previous, next and random.
    static constexpr unsigned kPreviousProgram = 126;
    static constexpr unsigned kNextProgram = 127;
    static constexpr unsigned kRandomProgram = 128;

    QRBKymaPCEventSource() = default;

    static unsigned classChannelCount() { return 16; }
    // [{"Special": [Previous, Next, Random]}, separator, {"Programs": [1 ... 125]}].
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    // A new output of the receiver's class for that program, named by its display number.
    std::shared_ptr<QRBKymaPCEventSource> newEventSourceWithPrgNumber(uint64_t prgNumber) const;
    // The number people see for a program: the program itself here.
    virtual uint64_t displayNumberForPrgNumber(uint64_t prgNumber) const { return prgNumber; }

    uint64_t prgNumber() const { return prgNumber_; }
    void setPrgNumber(uint64_t prgNumber) { prgNumber_ = prgNumber; }

    // Program − 1 (0 wraps to 127), program + 1 (above 127 wraps to 0).
    QRBEventSourcePtr previousProposedEventSource() override;
    QRBEventSourcePtr nextProposedEventSource() override;
    // Acts on the crossing down.
    void attach(QRBAction& action) override;
    // Writes the program to the current Flame device: done when the write was queued.
    QRBAcceptResult acceptAction(QRBAction& action) override;
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    uint64_t prgNumber_ = 0;
};

// Cn program, the program named from 1.
class QRBMidiPCEventSource : public QRBKymaPCEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBMidiPCEventSource", QRBKymaPCEventSource)

public:
    QRBMidiPCEventSource() = default;

    // [[Change by Value], separator, [programs 0 ... 127, named "1" ... "128"]].
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    uint64_t displayNumberForPrgNumber(uint64_t prgNumber) const override { return prgNumber + 1; }
    QRBAcceptResult acceptAction(QRBAction& action) override;
};

// Cn value: the program is the action's value (0..1 spans programs 0 to 127), sent on each change.
class QRBMidiPCFromContinuousValueEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBMidiPCFromContinuousValueEventSource", QRBEventSource)

public:
    static constexpr const char* kName = "Change by Value";

    QRBMidiPCFromContinuousValueEventSource();

    static const QRBEventSourceClass* classType() { return &QRBMidiPCEventSource::staticClass(); }
    static unsigned classChannelCount() { return 16; }

    bool requireIntegralScalingsFormatting() const override { return true; }
    double outputScalingFudgeFactor() const override { return 127; }
    // Acts whenever the value changes.
    void attach(QRBAction& action) override;
    QRBAcceptResult acceptAction(QRBAction& action) override;
};
