#pragma once
// Note outputs and the per-channel outputs shown with them: a note (on while the action is
// pressed, off when released, at the channel's stored velocity), the channel velocity that notes
// use, channel pressure and pitch bend.
//
// Main thread only.

#include "core/outputs/QRBEventSource.h"

#include <memory>

// An output for one note number (0 to 127), named after the note.
class QRBAbstractNoteEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBAbstractNoteEventSource", QRBEventSource)

public:
    static constexpr const char* kNoteNumberKey = "QRBNoteEventSourceNoteNumber";

    QRBAbstractNoteEventSource() = default;

    static unsigned classChannelCount() { return 16; }

    unsigned noteNumber() const { return noteNumber_; }
    // Stores the number and renames the output.
    void setNoteNumber(unsigned noteNumber);
    // Name: the note's name ("C3"); alternate name: that name, tabs to the second tab stop, the
    // number.
    void updateName();

    // A new output of the same class for the note below (0 wraps to 127) or above (127 to 0).
    QRBEventSourcePtr previousProposedEventSource() override;
    QRBEventSourcePtr nextProposedEventSource() override;
    // A held note is released first: the action fires its input minimum.
    void reset(QRBAction& action) override;
    // Subclasses play the note.
    QRBAcceptResult acceptAction(QRBAction& action) override;
    // Outputs of the same class for the same note are interchangeable.
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    QRBEventSourcePtr withNoteNumber(unsigned noteNumber) const;

    unsigned noteNumber_ = 0;
};

class QRBMidiNoteEventSource : public QRBAbstractNoteEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBMidiNoteEventSource", QRBAbstractNoteEventSource)

public:
    QRBMidiNoteEventSource() = default;
    static std::shared_ptr<QRBMidiNoteEventSource> create(unsigned noteNumber);

    // 128 outputs, notes 0 to 127 in order.
    static std::vector<std::shared_ptr<QRBMidiNoteEventSource>> createMidiNoteEventSources();
    // [[Channel Velocity, Channel Pressure, Pitch Bend], separator, [the 128 notes]].
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    // Both crossings fire, also for button-like input.
    void attach(QRBAction& action) override;
    // Note on while pressed, else note off in the manager's note-off form.
    QRBAcceptResult acceptAction(QRBAction& action) override;
};

// Stores the action's value as its channel's note velocity; sends nothing.
class QRBChannelVelocityEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBChannelVelocityEventSource", QRBEventSource)

public:
    static constexpr const char* kName = "Channel Velocity";

    QRBChannelVelocityEventSource();

    static const QRBEventSourceClass* classType() { return &QRBMidiNoteEventSource::staticClass(); }
    static unsigned classChannelCount() { return 16; }

    bool requireIntegralScalingsFormatting() const override { return true; }
    double outputScalingFudgeFactor() const override { return 127; }
    QRBAcceptResult acceptAction(QRBAction& action) override;
};

// Dn value.
class QRBChannelPressureEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBChannelPressureEventSource", QRBEventSource)

public:
    static constexpr const char* kName = "Channel Pressure";

    QRBChannelPressureEventSource();

    static const QRBEventSourceClass* classType() { return &QRBMidiNoteEventSource::staticClass(); }
    static unsigned classChannelCount() { return 16; }

    bool requireIntegralScalingsFormatting() const override { return true; }
    double outputScalingFudgeFactor() const override { return 127; }
    QRBAcceptResult acceptAction(QRBAction& action) override;
};

// En lsb msb of a 14-bit value.
class QRBPitchBendEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBPitchBendEventSource", QRBEventSource)

public:
    static constexpr const char* kName = "Pitch Bend";

    QRBPitchBendEventSource();

    static const QRBEventSourceClass* classType() { return &QRBMidiNoteEventSource::staticClass(); }
    static unsigned classChannelCount() { return 16; }

    bool requireIntegralScalingsFormatting() const override { return true; }
    double outputScalingFudgeFactor() const override { return 16383; }
    QRBAcceptResult acceptAction(QRBAction& action) override;
};
