#pragma once
// Shows the action's output value on a Wii remote's four lights, as a number (0 to 15, LED 1 the
// lowest bit) or as a level (a bar of 0 to 4 lights). Detached, it gives the lights back to the
// slot's own number (or the mapping's, when the slot follows the mappings).

#include "controllers/QRBWiiAbstractEventSource.h"

class QRBArg;

class QRBWiiLEDEventSource : public QRBWiiAbstractEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBWiiLEDEventSource", QRBWiiAbstractEventSource)

public:
    enum LEDType : uint64_t { kNumeric = 0, kLevel = 1 };

    // Two groups of eight: "Wiimote <n> – Numeric", then "Wiimote <n> – Level".
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    uint64_t ledType() const { return ledType_; }
    void setLedType(uint64_t type) { ledType_ = type; }
    // The light mask (bit 0 = LED 1) for an output value.
    static uint8_t maskForValue(uint64_t ledType, const QRBArg& value);

    // The user edits 0 to 15 (numeric) or 0 to 4 lights (level).
    bool requireIntegralScalingsFormatting() const override { return true; }
    double outputScalingFudgeFactor() const override { return ledType_ == kNumeric ? 15.0 : 4.0; }

    // Fires whenever the value changes.
    void attach(QRBAction& action) override;
    void detach(QRBAction& action) override;
    QRBAcceptResult executeAction(QRBAction& action, QRBWiiRemote& wiimote) override;

    bool isEqualToEventSource(const QRBEventSource& other) const override;
    // After the base's keys: "QRBWiiLEDType".
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    uint64_t ledType_ = kNumeric;
};
