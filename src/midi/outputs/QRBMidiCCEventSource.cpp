#include "midi/outputs/QRBMidiCCEventSource.h"

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBTrigger.h"
#include "core/osc/QRBArg.h"
#include "document/QRBManager.h"
#include "features/QRBEventSourceManager.h"
#include "midi/QRBMIDIManager.h"
#include "midi/QRBMIDIMessageEndpoint.h"

#include <typeinfo>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBMidiCCEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBMidiCCToggleEventSource)

std::shared_ptr<QRBMIDIManager> QRBMIDIManagerOfAction(const QRBAction& action) {
    auto manager = std::dynamic_pointer_cast<QRBManager>(action.oscManagerOfContext());
    return manager ? manager->midiManager() : nullptr;
}

long sendMIDIControlChange(const std::shared_ptr<QRBMIDIManager>& midiManager, long channel, unsigned controller,
                           unsigned value) {
    if (!midiManager) return -1;
    uint8_t bytes[3];
    QRBMIDIEncodeControlChange(bytes, channel, controller, value);
    return midiManager->sendMIDIMessage(QRBMIDIMessage::MIDIMessageWithStatus(bytes[0], bytes[1], bytes[2]),
                                        QRBMIDIMessageEndpoint::MIDIOutputsEndpoint());
}

void setActionMidiChannel(QRBAction& action, const QRBArg& value) { action.setChannel(QRBArgMidiChannel(value) + 1); }

// ---- plain control change -----------------------------------------------------------------------

namespace {
template <class T>
std::shared_ptr<T> makeCC(unsigned ccNumber, const std::string& name, const std::string& alternateName) {
    auto source = std::make_shared<T>();
    source->setCCNumber(ccNumber);
    source->setName(name);
    source->setAlternateName(alternateName);
    return source;
}
}  // namespace

std::shared_ptr<QRBMidiCCEventSource> QRBMidiCCEventSource::create(unsigned ccNumber, const std::string& name,
                                                                   const std::string& alternateName) {
    return makeCC<QRBMidiCCEventSource>(ccNumber, name, alternateName);
}

foundation::Value QRBMidiCCEventSource::classProposedEventSourcesCollection(const QRBAction*) {
    foundation::Array list;
    for (const auto& source : QRBEventSourceManager::sharedInstance().midiCCEventSources()) list.emplace_back(source);
    return foundation::Value(std::move(list));
}

bool QRBMidiCCEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    if (typeid(other) != typeid(*this)) return false;
    return static_cast<const QRBMidiCCEventSource&>(other).ccNumber() == ccNumber();
}

QRBAcceptResult QRBMidiCCEventSource::acceptAction(QRBAction& action) {
    const unsigned value = QRBArgMidi7Bit(*action.argValue());
    return static_cast<QRBAcceptResult>(sendMIDIControlChange(QRBMIDIManagerOfAction(action), action.channel(),
                                                              static_cast<unsigned>(ccNumber() & 0xFF), value));
}

// ---- toggling control change --------------------------------------------------------------------

std::shared_ptr<QRBMidiCCToggleEventSource> QRBMidiCCToggleEventSource::create(unsigned ccNumber,
                                                                               const std::string& name,
                                                                               const std::string& alternateName) {
    return makeCC<QRBMidiCCToggleEventSource>(ccNumber, name, alternateName);
}

foundation::Value QRBMidiCCToggleEventSource::classProposedEventSourcesCollection(const QRBAction*) {
    foundation::Array list;
    for (const auto& source : QRBEventSourceManager::sharedInstance().midiCCToggleEventSources())
        list.emplace_back(source);
    return foundation::Value(std::move(list));
}

void QRBMidiCCToggleEventSource::attach(QRBAction& action) {
    QRBMidiCCEventSource::attach(action);
    if (const auto& trigger = action.trigger()) {
        trigger->setMode(QRBTrigger::kUp);
        trigger->setForceStateChangeIfActionHasTriggerLikeInput(false);
    }
}

QRBAcceptResult QRBMidiCCToggleEventSource::acceptAction(QRBAction& action) {
    const bool wasOn = action.userInfo_triggerState();
    action.setUserInfo_triggerState(!wasOn);
    const unsigned value =
        static_cast<unsigned>(QRBClampScaledInteger(0, 127, wasOn ? action.outputMin() : action.outputMax()));
    return static_cast<QRBAcceptResult>(sendMIDIControlChange(QRBMIDIManagerOfAction(action), action.channel(),
                                                              static_cast<unsigned>(ccNumber() & 0xFF), value));
}
