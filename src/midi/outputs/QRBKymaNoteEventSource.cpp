#include "midi/outputs/QRBKymaNoteEventSource.h"

#include "core/QRBPreferences.h"
#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBTrigger.h"
#include "core/osc/QRBArg.h"
#include "flame/QRBFlameDiscovery.h"
#include "flame/flame_voices.h"
#include "foundation/Log.h"
#include "midi/QRBMIDIManager.h"
#include "midi/outputs/QRBMidiCCEventSource.h"

#include <algorithm>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBKymaNoteEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBKymaChannelVelocityEventSource)

std::shared_ptr<QRBKymaNoteEventSource> QRBKymaNoteEventSource::create(unsigned noteNumber) {
    auto source = std::make_shared<QRBKymaNoteEventSource>();
    source->setNoteNumber(noteNumber);
    return source;
}

foundation::Value QRBKymaNoteEventSource::classProposedEventSourcesCollection(const QRBAction*) {
    foundation::Array notes;
    for (unsigned n = 0; n < 128; ++n) notes.emplace_back(create(n));
    return foundation::Value(foundation::Array{foundation::Value(std::make_shared<QRBKymaChannelVelocityEventSource>()),
                                               foundation::Value(std::move(notes))});
}

void QRBKymaNoteEventSource::attach(QRBAction& action) {
    QRBAbstractNoteEventSource::attach(action);
    if (const auto& trigger = action.trigger()) {
        trigger->setMode(QRBTrigger::kEither);
        trigger->setForceStateChangeIfActionHasTriggerLikeInput(true);
    }
}

QRBAcceptResult QRBKymaNoteEventSource::acceptAction(QRBAction& action) {
    auto manager = QRBMIDIManagerOfAction(action);
    const QRBArgPtr stored = manager ? manager->velocityOnChannel(action.channel()) : nullptr;
    const double velocity = stored ? stored->doubleValue() : 1.0;
    const auto pitch = float(noteNumber());
    const bool pressed = QRBTrigger::isArgValueAboveThreshold(action);
    if (QRBLogMIDINotes.load())
        foundation::logf("KYMA NOTE-%s %s (%0.2f)", name().value_or("").c_str(), pressed ? "ON " : "OFF", velocity);

    flame_voices* voices = flame_disco_current_voices();
    const auto channel = uint32_t(std::clamp<int64_t>(action.channel(), 0, 17));
    int done = 0;
    if (pressed) {
        uint32_t voice = kFlameNoVoice;
        done = flame_voices_note(voices, 1, channel, &voice, pitch, float(velocity), 0);
        action.setUserInfoValue(foundation::Value(int64_t(done ? voice : kFlameNoVoice)), kVoiceKey);
    } else {
        const auto held = action.userInfoValueForKey(kVoiceKey).integerValue();
        const uint32_t voice = held && *held >= 0 && *held < kFlameNoVoice ? uint32_t(*held) : kFlameNoVoice;
        done = flame_voices_set_voice(voices, 0, voice, pitch, float(velocity), 0);
        action.setUserInfoValue(foundation::Value(int64_t(kFlameNoVoice)), kVoiceKey);
    }
    return done ? QRBAcceptResult::Done : QRBAcceptResult::Nothing;
}
