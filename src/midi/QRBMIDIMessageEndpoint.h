#pragma once
// The endpoint of MIDI traffic: the shared "Active MIDI Inputs" and "Active MIDI Outputs", or one
// MIDI destination for the raw packets sent to it alone.

#include "core/osc/QRBMessageEndpoint.h"
#include "midi/tarn/TarnMIDIEndpoint.h"

class QRBMIDIMessageEndpoint;
using QRBMIDIMessageEndpointPtr = std::shared_ptr<QRBMIDIMessageEndpoint>;

class QRBMIDIMessageEndpoint : public QRBMessageEndpoint {
public:
    QRBMIDIMessageEndpoint(std::string categoryName, unsigned direction);
    // Named after the MIDI endpoint as it is called now; a later rename does not follow.
    QRBMIDIMessageEndpoint(const TarnMIDIEndpointPtr& midiEndpoint, unsigned direction);

    // All MIDI input, direction 1; one instance for the process.
    static QRBMIDIMessageEndpointPtr MIDIInputsEndpoint();
    // MIDI output through the MIDI manager, direction 2; one instance for the process.
    static QRBMIDIMessageEndpointPtr MIDIOutputsEndpoint();

    // Held weakly: the MIDI layer owns its endpoints and may drop them when devices go away.
    TarnMIDIEndpointPtr midiEndpoint() const { return midiEndpoint_.lock(); }
    void setMidiEndpoint(const TarnMIDIEndpointPtr& midiEndpoint) { midiEndpoint_ = midiEndpoint; }

private:
    std::weak_ptr<TarnMIDIEndpoint> midiEndpoint_;
};
