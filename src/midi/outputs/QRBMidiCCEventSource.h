#pragma once
// MIDI control-change outputs: the plain one sends the action's value as the controller's value;
// the toggling one alternates the controller between the action's output maximum and minimum on
// each press. The 128 outputs of each kind are shared process-wide (QRBEventSourceManager).
//
// Also the helpers every MIDI output uses: the document's MIDI manager of an action, the
// control-change send and the channel change of another action.
//
// Main thread only.

#include "core/outputs/QRBCCEventSource.h"

#include <memory>

class QRBMIDIManager;
class QRBArg;

// The MIDI manager of the document the action belongs to, or null.
std::shared_ptr<QRBMIDIManager> QRBMIDIManagerOfAction(const QRBAction& action);

// Sends Bn controller value (n the channel 1..16) to the active MIDI outputs: 1 when sent, -1
// when not (no manager, a failed send). Channel and data bytes are masked, never another status.
long sendMIDIControlChange(const std::shared_ptr<QRBMIDIManager>& midiManager, long channel, unsigned controller,
                           unsigned value);

// Puts the action on the MIDI channel that `value` selects (0..1 spans channels 1 to 16; an
// integer is the channel less one, clamped), through the undoable channel setter.
void setActionMidiChannel(QRBAction& action, const QRBArg& value);

class QRBMidiCCEventSource : public QRBCCEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBMidiCCEventSource", QRBCCEventSource)

public:
    QRBMidiCCEventSource() = default;
    static std::shared_ptr<QRBMidiCCEventSource> create(unsigned ccNumber, const std::string& name,
                                                        const std::string& alternateName);

    // The shared 128, in controller order.
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    bool requireIntegralScalingsFormatting() const override { return true; }
    double outputScalingFudgeFactor() const override { return 127; }
    // Outputs of the same class and controller are interchangeable.
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    QRBAcceptResult acceptAction(QRBAction& action) override;
};

class QRBMidiCCToggleEventSource : public QRBMidiCCEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBMidiCCToggleEventSource", QRBMidiCCEventSource)

public:
    QRBMidiCCToggleEventSource() = default;
    static std::shared_ptr<QRBMidiCCToggleEventSource> create(unsigned ccNumber, const std::string& name,
                                                              const std::string& alternateName);

    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    // Fires on the crossing up only.
    void attach(QRBAction& action) override;
    // The first press sends the output maximum, the next the minimum, and so on; the state is the
    // action's own.
    QRBAcceptResult acceptAction(QRBAction& action) override;
};
