#pragma once
// A fixed note played on a voice of the current Flame device, at the velocity stored for the
// action's channel, and the channel velocity shown with these notes.
//
// Main thread only.

#include "midi/outputs/QRBMidiNoteEventSource.h"

#include <memory>

class QRBKymaNoteEventSource : public QRBAbstractNoteEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBKymaNoteEventSource", QRBAbstractNoteEventSource)

public:
    // The action's voice; kFlameNoVoice when it holds none.
    static constexpr const char* kVoiceKey = "_KymaVoice";

    QRBKymaNoteEventSource() = default;
    static std::shared_ptr<QRBKymaNoteEventSource> create(unsigned noteNumber);

    // [Channel Velocity, [the 128 notes]].
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    // Both crossings fire, also for button-like input.
    void attach(QRBAction& action) override;
    // Pressed takes a voice for the note, released silences the voice taken. Done when the
    // allocator did it, Nothing otherwise (no device, no free voice, no voice held).
    QRBAcceptResult acceptAction(QRBAction& action) override;
};

class QRBKymaChannelVelocityEventSource : public QRBChannelVelocityEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBKymaChannelVelocityEventSource", QRBChannelVelocityEventSource)

public:
    QRBKymaChannelVelocityEventSource() = default;
    static const QRBEventSourceClass* classType() { return &QRBKymaNoteEventSource::staticClass(); }
};
