#include "midi/outputs/QRBMidiNoteEventSource.h"

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBTrigger.h"
#include "core/osc/QRBArg.h"
#include "foundation/Format.h"
#include "midi/QRBMIDIManager.h"
#include "midi/QRBMIDIMessageEndpoint.h"
#include "midi/outputs/QRBMidiCCEventSource.h"
#include "midi/tarn/TarnMIDIManager.h"
#include "zz/ZZMenuText.h"
#include "zz/ZZTime.h"

#include <typeinfo>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBAbstractNoteEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBMidiNoteEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBChannelVelocityEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBChannelPressureEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBPitchBendEventSource)

namespace {

QRBAcceptResult sendToOutputs(const QRBAction& action, const uint8_t* bytes, size_t length) {
    auto manager = QRBMIDIManagerOfAction(action);
    if (!manager) return QRBAcceptResult::Failed;
    auto message = length == 2 ? QRBMIDIMessage::MIDIMessageWithStatus(bytes[0], bytes[1])
                               : QRBMIDIMessage::MIDIMessageWithStatus(bytes[0], bytes[1], bytes[2]);
    return static_cast<QRBAcceptResult>(
        manager->sendMIDIMessage(message, QRBMIDIMessageEndpoint::MIDIOutputsEndpoint()));
}

}  // namespace

// ---- notes --------------------------------------------------------------------------------------

void QRBAbstractNoteEventSource::setNoteNumber(unsigned noteNumber) {
    noteNumber_ = noteNumber;
    updateName();
}

void QRBAbstractNoteEventSource::updateName() {
    const std::string name = TarnMIDIManager::nameOfNote(noteNumber_);
    setName(name);
    setAlternateName(ZZMenuStringFittingTabCount(name, 2) + foundation::format("%u", noteNumber_));
}

QRBEventSourcePtr QRBAbstractNoteEventSource::withNoteNumber(unsigned noteNumber) const {
    auto made = std::dynamic_pointer_cast<QRBAbstractNoteEventSource>(eventSourceClass().create());
    if (!made)
        return std::static_pointer_cast<QRBEventSource>(
            std::const_pointer_cast<foundation::Object>(shared_from_this()));
    made->setNoteNumber(noteNumber);
    return made;
}

QRBEventSourcePtr QRBAbstractNoteEventSource::previousProposedEventSource() {
    return withNoteNumber(noteNumber_ == 0 || noteNumber_ > 127 ? 127 : noteNumber_ - 1);
}

QRBEventSourcePtr QRBAbstractNoteEventSource::nextProposedEventSource() {
    return withNoteNumber(noteNumber_ >= 127 ? 0 : noteNumber_ + 1);
}

void QRBAbstractNoteEventSource::reset(QRBAction& action) {
    // Held: fire the release, so that no note hangs on the instrument. Only a number can say
    // "released": an action that never received one (a new mapping) holds nothing, and firing
    // it a value of no type would count as a press and start a note instead.
    if (QRBArgTypeIsNumeric(action.internalArgType()) && QRBTrigger::isArgValueAboveThreshold(action)) {
        action.fire(QRBArg::argOfTypeWithDoubleValue(action.internalArgType(), action.inputMin()).get());
    }
    QRBEventSource::reset(action);
}

QRBAcceptResult QRBAbstractNoteEventSource::acceptAction(QRBAction&) { ZZRaiseSubclassResponsibility("acceptAction:"); }

bool QRBAbstractNoteEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    if (typeid(other) != typeid(*this)) return false;
    return static_cast<const QRBAbstractNoteEventSource&>(other).noteNumber_ == noteNumber_;
}

void QRBAbstractNoteEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    coder.encodeInteger(noteNumber_, kNoteNumberKey);
}

void QRBAbstractNoteEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    // Only the low seven bits ever reach a message; a damaged number keeps them, as sending would.
    noteNumber_ = static_cast<unsigned>(coder.decodeInteger(kNoteNumberKey)) & 0x7F;
    updateName();
}

std::shared_ptr<QRBMidiNoteEventSource> QRBMidiNoteEventSource::create(unsigned noteNumber) {
    auto source = std::make_shared<QRBMidiNoteEventSource>();
    source->setNoteNumber(noteNumber);
    return source;
}

std::vector<std::shared_ptr<QRBMidiNoteEventSource>> QRBMidiNoteEventSource::createMidiNoteEventSources() {
    std::vector<std::shared_ptr<QRBMidiNoteEventSource>> notes;
    notes.reserve(128);
    for (unsigned n = 0; n < 128; ++n) notes.push_back(create(n));
    return notes;
}

foundation::Value QRBMidiNoteEventSource::classProposedEventSourcesCollection(const QRBAction*) {
    foundation::Array channel{foundation::Value(std::make_shared<QRBChannelVelocityEventSource>()),
                              foundation::Value(std::make_shared<QRBChannelPressureEventSource>()),
                              foundation::Value(std::make_shared<QRBPitchBendEventSource>())};
    foundation::Array notes;
    for (auto& note : createMidiNoteEventSources()) notes.emplace_back(note);
    return foundation::Value(foundation::Array{foundation::Value(std::move(channel)),
                                               foundation::Value(QRBEventSource::menuSeparatorMarker()),
                                               foundation::Value(std::move(notes))});
}

void QRBMidiNoteEventSource::attach(QRBAction& action) {
    QRBAbstractNoteEventSource::attach(action);
    if (const auto& trigger = action.trigger()) {
        trigger->setMode(QRBTrigger::kEither);
        trigger->setForceStateChangeIfActionHasTriggerLikeInput(true);
    }
}

QRBAcceptResult QRBMidiNoteEventSource::acceptAction(QRBAction& action) {
    auto manager = QRBMIDIManagerOfAction(action);
    if (!manager) return QRBAcceptResult::Failed;
    const bool pressed = QRBTrigger::isArgValueAboveThreshold(action);
    const unsigned velocity = QRBArgMidi7Bit(*manager->velocityOnChannel(action.channel()));
    auto message = manager->noteWithState(pressed, noteNumber(), velocity, action.channel());
    return static_cast<QRBAcceptResult>(
        manager->sendMIDIMessage(message, QRBMIDIMessageEndpoint::MIDIOutputsEndpoint()));
}

// ---- channel velocity, pressure and bend --------------------------------------------------------

QRBChannelVelocityEventSource::QRBChannelVelocityEventSource() { setName(std::string(kName)); }

QRBAcceptResult QRBChannelVelocityEventSource::acceptAction(QRBAction& action) {
    auto manager = QRBMIDIManagerOfAction(action);
    if (!manager) return QRBAcceptResult::Failed;
    manager->setVelocity(*action.argValue(), action.channel());
    return QRBAcceptResult::Done;
}

QRBChannelPressureEventSource::QRBChannelPressureEventSource() { setName(std::string(kName)); }

QRBAcceptResult QRBChannelPressureEventSource::acceptAction(QRBAction& action) {
    uint8_t bytes[2];
    QRBMIDIEncodeChannelPressure(bytes, action.channel(), QRBArgMidi7Bit(*action.argValue()));
    return sendToOutputs(action, bytes, 2);
}

QRBPitchBendEventSource::QRBPitchBendEventSource() { setName(std::string(kName)); }

QRBAcceptResult QRBPitchBendEventSource::acceptAction(QRBAction& action) {
    uint8_t bytes[3];
    QRBMIDIEncodePitchBend(bytes, action.channel(), QRBArgMidi14Bit(*action.argValue()));
    return sendToOutputs(action, bytes, 3);
}
