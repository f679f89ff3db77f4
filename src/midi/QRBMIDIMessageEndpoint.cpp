#include "midi/QRBMIDIMessageEndpoint.h"

QRBMIDIMessageEndpoint::QRBMIDIMessageEndpoint(std::string categoryName, unsigned direction)
    : QRBMessageEndpoint(std::move(categoryName), direction) {}

QRBMIDIMessageEndpoint::QRBMIDIMessageEndpoint(const TarnMIDIEndpointPtr& midiEndpoint, unsigned direction)
    : QRBMessageEndpoint(midiEndpoint ? midiEndpoint->name() : std::string(), direction), midiEndpoint_(midiEndpoint) {}

QRBMIDIMessageEndpointPtr QRBMIDIMessageEndpoint::MIDIInputsEndpoint() {
    static const QRBMIDIMessageEndpointPtr endpoint =
        std::make_shared<QRBMIDIMessageEndpoint>("Active MIDI Inputs", kDirectionIncoming);
    return endpoint;
}

QRBMIDIMessageEndpointPtr QRBMIDIMessageEndpoint::MIDIOutputsEndpoint() {
    static const QRBMIDIMessageEndpointPtr endpoint =
        std::make_shared<QRBMIDIMessageEndpoint>("Active MIDI Outputs", kDirectionOutgoing);
    return endpoint;
}
