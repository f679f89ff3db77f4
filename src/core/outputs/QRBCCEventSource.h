#pragma once
// An output keyed by a MIDI control-change number: the base of the MIDI and Kyma controller
// outputs. Its own action writes the value to the current Flame device, as the controller
// register of the action's channel. The device sits above the outputs' floor, so the write goes
// through a hook the Flame link installs when the engine registers its classes.

#include "core/outputs/QRBEventSource.h"

#include <cstdint>

class QRBCCEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBCCEventSource", QRBEventSource)

public:
    static constexpr const char* kCCNumberKey = "QRBCCEventSourceCCNumber";
    // Numbers above 127 name the Kyma special controls; the device's registers end at 254.
    static constexpr int64_t kMaxSpecialCCNumber = 254;

    QRBCCEventSource() = default;
    explicit QRBCCEventSource(int64_t ccNumber) : ccNumber_(ccNumber) {}

    static unsigned classChannelCount() { return 16; }

    int64_t ccNumber() const { return ccNumber_; }
    void setCCNumber(int64_t ccNumber) { ccNumber_ = ccNumber; }

    // The register of the controller on the channel (1..16), relative to the device's base.
    static uint32_t flameOffset(int64_t channel, int64_t ccNumber);

    // Writes a controller value (0..1) to register `offset` of the current device, priority 1 for
    // button-like input; true when the write was queued.
    using ControllerWrite = bool (*)(uint32_t offset, double value, int priority);
    // Installed once at start, before any output fires (QRBFlameLink::installControllerWrite);
    // until then every write fails.
    static void setControllerWrite(ControllerWrite write);

    // Writes the value (clamped to 0..1) to the current Flame device, with priority for
    // button-like input. Done when queued; Failed without a device or when the write ring refused.
    QRBAcceptResult acceptAction(QRBAction& action) override;

    // The neighbours in the class's proposed collection, which holds the 128 outputs in
    // controller order: controller 0's previous is 127, 127's next is 0. The receiver itself
    // when the class proposes no such collection.
    QRBEventSourcePtr previousProposedEventSource() override;
    QRBEventSourcePtr nextProposedEventSource() override;

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    QRBEventSourcePtr proposedAt(int64_t index);

    int64_t ccNumber_ = 0;
};
