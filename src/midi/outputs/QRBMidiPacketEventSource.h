#pragma once
// Sends the raw MIDI message an action's value carries (an OSC MIDI argument: port byte, status,
// two data bytes) to one MIDI destination, or to the active MIDI outputs when none is chosen.
//
// The output keeps its destination's I/O running (a sender registration) from the moment the
// destination is set until the last action using the output lets go of it, and takes it up
// again when an action attaches once more: one output may serve several actions.
//
// Main thread only.

#include "core/outputs/QRBEventSource.h"
#include "midi/QRBMIDIMessageEndpoint.h"
#include "midi/tarn/TarnMIDIEndpoint.h"

#include <memory>
#include <set>

class QRBMidiPacketEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBMidiPacketEventSource", QRBEventSource)

public:
    static constexpr const char* kActiveMIDIOutputsName = "Active MIDI Outputs";
    static constexpr const char* kEndpointKey = "endpoint";

    // Sends to the active MIDI outputs until a destination is chosen.
    QRBMidiPacketEventSource() { setName(std::string(kActiveMIDIOutputsName)); }
    ~QRBMidiPacketEventSource() override;

    // ["Active MIDI Outputs", then one output per real MIDI destination of the process].
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    TarnMIDIEndpointPtr endpoint() const { return endpoint_.lock(); }
    // Moves the sender registration to the new endpoint and forgets the cached message endpoint.
    // Without an endpoint the output is named "Active MIDI Outputs".
    void setEndpoint(const TarnMIDIEndpointPtr& endpoint);
    // Where messages go: the chosen destination's endpoint (made on first use), else the active
    // MIDI outputs.
    QRBMIDIMessageEndpointPtr messageEndpoint();
    void setMessageEndpoint(const QRBMIDIMessageEndpointPtr& endpoint) { messageEndpoint_ = endpoint; }
    // The endpoint's name as it is now, when one is chosen.
    std::optional<std::string> displayName() const override;

    void attach(QRBAction& action) override;
    // The registration goes with the last action that uses the output; the endpoint stays chosen.
    void detach(QRBAction& action) override;
    // Failed without an OSC MIDI value, for a value that is not a channel or system message
    // (no status byte, or a system-exclusive byte that four bytes cannot carry), and when the
    // send fails. Data bytes keep their low seven bits.
    QRBAcceptResult acceptAction(QRBAction& action) override;
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    const void* senderKey() const { return static_cast<const foundation::Object*>(this); }
    void registerSender();
    void unregisterSender();

    std::weak_ptr<TarnMIDIEndpoint> endpoint_;
    QRBMIDIMessageEndpointPtr messageEndpoint_;
    // The endpoint this output is a sender of, if any.
    std::weak_ptr<TarnMIDIEndpoint> registeredWith_;
    bool registered_ = false;
    // The actions attached now (identity only; never dereferenced).
    std::set<const QRBAction*> users_;
};
