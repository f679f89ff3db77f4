#include "midi/outputs/QRBNoteOnOffEventSource.h"

#include "core/QRBPreferences.h"
#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBActionLocation.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/mapping/QRBTrigger.h"
#include "core/osc/QRBArg.h"
#include "document/QRBManager.h"
#include "flame/QRBFlameDiscovery.h"
#include "flame/flame_voices.h"
#include "foundation/Exception.h"
#include "foundation/Log.h"
#include "midi/QRBMIDIManager.h"
#include "midi/QRBMIDIMessage.h"
#include "midi/QRBMIDIMessageEndpoint.h"
#include "midi/outputs/QRBMidiCCEventSource.h"
#include "midi/outputs/QRBNoteValuesEventSource.h"
#include "zz/ZZExtensions.h"

#include <algorithm>
#include <cmath>
#include <typeinfo>
#include <vector>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBNoteOnOffEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBMidiNoteOnOffEventSource)

namespace {

// The MIDI notes of one gate action, by voice index. A note struck again while repeating is kept
// as "struck" between its removal and the next strike, so that a release in between still ends it.
class MIDINoteTable : public foundation::Object {
public:
    struct Entry {
        QRBArgPtr index;
        MIDINoteRecord note;
        bool struck = false;  // removed for the next strike, still sounding
    };

    Entry* find(const QRBArg& index) {
        for (auto& entry : entries)
            if (entry.index->isEqualToArg(index)) return &entry;
        return nullptr;
    }
    void remove(const QRBArg& index) {
        std::erase_if(entries, [&](const Entry& entry) { return entry.index->isEqualToArg(index); });
    }

    std::vector<Entry> entries;
};

const QRBArgPtr& monoIndex() {
    static const QRBArgPtr mono = QRBArg::argWithStringValue(std::string(QRBMidiNoteOnOffEventSource::kMonoIndex));
    return mono;
}

const QRBArg& indexOrMono(const QRBArg* index) { return index ? *index : *monoIndex(); }

std::shared_ptr<MIDINoteTable> noteTable(const QRBAction& action) {
    return action.userInfoValueForKey(QRBMidiNoteOnOffEventSource::kNotesKey).object<MIDINoteTable>();
}

std::shared_ptr<MIDINoteTable> ensureNoteTable(QRBAction& action) {
    auto table = noteTable(action);
    if (!table) {
        table = std::make_shared<MIDINoteTable>();
        action.setUserInfoValue(foundation::Value(table), QRBMidiNoteOnOffEventSource::kNotesKey);
    }
    return table;
}

bool isPitchNumberType(int32_t type) { return type == 'i' || type == 'h'; }
bool isPitchFractionType(int32_t type) {
    return std::string_view("FINSTbcdfmst").find(char(type)) != std::string_view::npos;
}

}  // namespace

// ---- the params holder --------------------------------------------------------------------------

std::shared_ptr<QRBNoteOnOffEventSource> QRBNoteOnOffEventSource::eventSourceForParamsAtLocation(
    const std::shared_ptr<QRBActionLocation>& location) {
    auto source = std::make_shared<QRBNoteOnOffEventSource>();
    source->setParamsLocation(location);
    return source;
}

template <class T> foundation::Value QRBNoteOnOffEventSource::proposedParamsHolders(const QRBAction* action) {
    std::vector<std::shared_ptr<T>> sources;
    auto manager = action ? std::dynamic_pointer_cast<QRBManager>(action->oscManagerOfContext()) : nullptr;
    auto presets = manager ? manager->presetManager() : nullptr;
    auto preset = presets ? presets->currentPreset() : nullptr;
    if (!preset) return {};
    for (const auto& context : preset->objects()) {
        auto source = std::make_shared<T>();
        source->setParamsLocation(context->location());
        sources.push_back(std::move(source));
    }
    ZZNaturalSortWithKey(
        sources, [](const std::shared_ptr<T>& source) { return source->displayName().value_or(std::string()); });
    foundation::Array list;
    for (auto& source : sources) list.emplace_back(source);
    return foundation::Value(foundation::Array{
        foundation::Value(foundation::Dictionary{{kParamsHolderTitle, foundation::Value(std::move(list))}})});
}

foundation::Value QRBNoteOnOffEventSource::classProposedEventSourcesCollection(const QRBAction* action) {
    return proposedParamsHolders<QRBNoteOnOffEventSource>(action);
}

foundation::Value QRBMidiNoteOnOffEventSource::classProposedEventSourcesCollection(const QRBAction* action) {
    return proposedParamsHolders<QRBMidiNoteOnOffEventSource>(action);
}

void QRBNoteOnOffEventSource::setParamsLocation(const std::shared_ptr<QRBActionLocation>& location) {
    paramsLocation_ = location ? location->copy() : nullptr;
}

std::optional<std::string> QRBNoteOnOffEventSource::displayName() const {
    if (!paramsLocation_) return std::nullopt;
    return paramsLocation_->displayName();
}

std::shared_ptr<QRBArg> QRBNoteOnOffEventSource::Params::value(const char* key) const {
    return holder->userInfoValueForKey(key).object<QRBArg>();
}

std::optional<QRBNoteOnOffEventSource::Params> QRBNoteOnOffEventSource::readParams(const QRBAction& action) const {
    if (!paramsLocation_) return std::nullopt;
    auto resolved = paramsLocation_->resolveUsing(action);
    if (!resolved) return std::nullopt;
    auto holder = std::dynamic_pointer_cast<QRBContext>(resolved);
    if (!holder) FND_INTERNAL_ERROR("noteParamsContext is not a QRBContext");
    auto manager = QRBMIDIManagerOfAction(*holder);
    if (!manager) return std::nullopt;
    return Params{holder, manager, manager->noteLowerPitch(), manager->noteUpperPitch()};
}

std::optional<double> QRBNoteOnOffEventSource::notePitch(const Params& params) {
    auto pitch = params.value(QRBNoteValuesEventSource::kPitchKey);
    if (!pitch) return 60.0;
    const int32_t type = pitch->libloType();
    double m = 0;
    // An integer is a note number, whatever the range; anything else spans the range.
    if (isPitchNumberType(type))
        m = pitch->doubleValue();
    else if (isPitchFractionType(type))
        m = double(params.lower) + pitch->doubleValue() * (double(params.upper) - double(params.lower));
    if (!std::isfinite(m)) return std::nullopt;
    return m;
}

// ---- the Flame note -----------------------------------------------------------------------------

void QRBNoteOnOffEventSource::attach(QRBAction& action) {
    QRBEventSource::attach(action);
    if (const auto& trigger = action.trigger()) {
        trigger->setMode(QRBTrigger::kEither);
        trigger->setForceStateChangeIfActionHasTriggerLikeInput(true);
        trigger->setRetriggerInterval(kRetriggerInterval);
    }
}

void QRBNoteOnOffEventSource::reset(QRBAction& action) {
    // Only a number can say "released" (see the plain note output).
    if (QRBArgTypeIsNumeric(action.internalArgType()) && QRBTrigger::isArgValueAboveThreshold(action))
        action.fire(QRBArg::argOfTypeWithDoubleValue(action.internalArgType(), action.inputMin()).get());
    QRBEventSource::reset(action);
}

uint32_t QRBNoteOnOffEventSource::voiceValueInAction(const QRBAction& action) {
    const auto voice = action.userInfoValueForKey(kVoiceKey).integerValue();
    return voice && *voice >= 0 && *voice <= kFlameNoVoice ? uint32_t(*voice) : kFlameNoVoice;
}

void QRBNoteOnOffEventSource::setVoiceValue(uint32_t voice, QRBAction& action) {
    action.setUserInfoValue(foundation::Value(int64_t(voice)), kVoiceKey);
}

QRBAcceptResult QRBNoteOnOffEventSource::acceptAction(QRBAction& action) {
    const auto params = readParams(action);
    if (!params) return QRBAcceptResult::Failed;
    const auto pitchValue = notePitch(*params);
    if (!pitchValue) return QRBAcceptResult::Failed;
    // The device's key ranges and its pitch field hold 0..127.
    const float pitch = float(std::clamp(*pitchValue, 0.0, 127.0));
    const auto velocityArg = params->value(QRBNoteValuesEventSource::kVelocityKey);
    const auto aftertouchArg = params->value(QRBNoteValuesEventSource::kAftertouchKey);
    const float velocity = velocityArg ? velocityArg->floatValue() : 0.5f;
    const float aftertouch = aftertouchArg ? aftertouchArg->floatValue() : 0.0f;

    flame_voices* voices = flame_disco_current_voices();
    uint32_t voice = voiceValueInAction(action);
    if (!QRBTrigger::isArgValueAboveThreshold(action)) {
        if (voice == kFlameNoVoice) return QRBAcceptResult::Nothing;
        const int done = flame_voices_set_voice(voices, 0, voice, pitch, velocity, aftertouch);
        setVoiceValue(kFlameNoVoice, action);
        return done ? QRBAcceptResult::Done : QRBAcceptResult::Failed;
    }
    if (voice == kFlameNoVoice) {
        const int done = flame_voices_note(voices, 1, uint32_t(std::clamp<int64_t>(action.channel(), 0, 17)), &voice,
                                           pitch, velocity, aftertouch);
        setVoiceValue(done ? voice : kFlameNoVoice, action);
        return done ? QRBAcceptResult::Done : QRBAcceptResult::Failed;
    }
    // Held: the sounding voice follows the parameters.
    return flame_voices_set_voice(voices, 1, voice, pitch, velocity, aftertouch) ? QRBAcceptResult::Done
                                                                                 : QRBAcceptResult::Failed;
}

bool QRBNoteOnOffEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    if (typeid(other) != typeid(*this)) return false;
    const auto& location = static_cast<const QRBNoteOnOffEventSource&>(other).paramsLocation_;
    if (!location || !paramsLocation_) return !location && !paramsLocation_;
    return location->contextName() == paramsLocation_->contextName() &&
           location->pathComponents() == paramsLocation_->pathComponents();
}

void QRBNoteOnOffEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    coder.encodeObject(foundation::Value(paramsLocation_), kParamsLocationKey);
}

void QRBNoteOnOffEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    paramsLocation_ = coder.decodeObjectOfClass<QRBActionLocation>(kParamsLocationKey);
    if (coder.containsValueForKey(kLegacyContextKey)) {
        if (auto context = coder.decodeObjectOfClass<QRBContext>(kLegacyContextKey)) {
            // The context may not know its place yet; then the location stays as it was.
            try {
                paramsLocation_ = context->location();
            } catch (const foundation::Exception&) {}
        }
    }
}

// ---- MIDI notes ---------------------------------------------------------------------------------

std::optional<MIDINoteRecord> QRBMidiNoteOnOffEventSource::noteAtIndex(const QRBArg* index, const QRBAction& action) {
    auto table = noteTable(action);
    if (!table) return std::nullopt;
    const MIDINoteTable::Entry* entry = table->find(indexOrMono(index));
    if (!entry || entry->struck) return std::nullopt;
    return entry->note;
}

void QRBMidiNoteOnOffEventSource::setNote(const std::optional<MIDINoteRecord>& note, const QRBArg* index,
                                          QRBAction& action) {
    const QRBArg& key = indexOrMono(index);
    if (!note) {
        if (auto table = noteTable(action)) table->remove(key);
        return;
    }
    auto table = ensureNoteTable(action);
    if (MIDINoteTable::Entry* entry = table->find(key)) {
        *entry = {entry->index, *note, false};
    } else {
        table->entries.push_back({key.copy(), *note, false});
    }
}

uint16_t QRBMidiNoteOnOffEventSource::wheelValueInAction(const QRBAction& action) {
    return uint16_t(action.userInfoValueForKey(kWheelKey).integerValue().value_or(0) & 0xFFFF);
}

void QRBMidiNoteOnOffEventSource::setWheelValue(uint16_t wheel, QRBAction& action) {
    action.setUserInfoValue(foundation::Value(int64_t(wheel)), kWheelKey);
}

QRBAcceptResult QRBMidiNoteOnOffEventSource::acceptAction(QRBAction& action) {
    const auto params = readParams(action);
    if (!params) return QRBAcceptResult::Failed;
    QRBMIDIManager& manager = *params->manager;
    const bool bend = manager.shouldBendNotes();
    const bool repeat = manager.shouldRepeatNotes();
    const auto aftertouchArg = params->value(QRBNoteValuesEventSource::kAftertouchKey);
    if (const auto& trigger = action.trigger())
        trigger->setRetriggerInterval(bend || repeat || aftertouchArg ? kRetriggerInterval : 0);

    const auto pitchValue = notePitch(*params);
    if (!pitchValue) return QRBAcceptResult::Failed;
    // Rounded to the nearest note; a note number must stay within 0..127.
    const uint8_t pitch = uint8_t(std::clamp(std::floor(*pitchValue + 0.5), 0.0, 127.0));
    const auto velocityArg = params->value(QRBNoteValuesEventSource::kVelocityKey);
    const uint8_t velocity = velocityArg ? QRBArgMidi7Bit(*velocityArg) : 64;
    const uint8_t aftertouch = aftertouchArg ? QRBArgMidi7Bit(*aftertouchArg) : 0;
    const auto indexArg = params->value(QRBNoteValuesEventSource::kIndexKey);
    const QRBArg& index = indexOrMono(indexArg.get());

    const int64_t channel = std::clamp<int64_t>(action.channel(), 1, 16);
    const uint8_t status = uint8_t(channel - 1);
    const bool log = QRBLogMIDINotes.load();
    std::vector<QRBMIDIMessagePtr> messages;
    auto table = ensureNoteTable(action);
    MIDINoteTable::Entry* entry = table->find(index);

    if (QRBTrigger::isArgValueAboveThreshold(action)) {
        std::optional<MIDINoteRecord> record;
        if (entry && !entry->struck && repeat) {
            // Struck again at the next firing; until then the note still sounds.
            entry->struck = true;
            record = entry->note;
        } else if (!entry || entry->struck) {
            // A note struck before and still sounding at another pitch must not hang.
            if (entry && entry->note.pitch != pitch)
                messages.push_back(manager.noteWithState(false, entry->note.pitch, velocity, channel));
            if (log) foundation::logf("MIDI NOTE-ON  [%i] $%02X $%02X", int(channel), pitch, velocity);
            messages.push_back(manager.noteWithState(true, pitch, velocity, channel));
            setNote(MIDINoteRecord::noteWithPitch(pitch, velocity), &index, action);
            entry = table->find(index);
        } else {
            record = entry->note;
        }
        if (record) {
            // The wheel: the distance from the sounding note, over the range. A range whose
            // bounds add up to 0 would divide by 0.
            const double s = double(params->lower) + double(params->upper);
            if (bend && params->upper != params->lower && s != 0) {
                const double d = double(pitch) - double(record->pitch);
                const double x = ((5 * d - s) / s) + 1.5;
                const auto wheel = uint16_t(QRBClampScaledInteger(0, 16383, x));
                if (wheel != wheelValueInAction(action)) {
                    if (log) foundation::logf("MIDI WHEEL    [%i] $%04X", int(channel), wheel);
                    messages.push_back(
                        QRBMIDIMessage::MIDIMessageWithStatus(0xE0 | status, wheel & 0x7F, (wheel >> 7) & 0x7F));
                    setWheelValue(wheel, action);
                }
            }
        }
        if (aftertouchArg && entry && entry->note.aftertouch != aftertouch) {
            if (log) foundation::logf("MIDI AFTER    [%i] $%02X $%02X", int(channel), entry->note.pitch, aftertouch);
            messages.push_back(QRBMIDIMessage::MIDIMessageWithStatus(0xA0 | status, entry->note.pitch, aftertouch));
            entry->note.aftertouch = aftertouch;
        }
    } else if (entry) {
        if (log)
            foundation::logf("MIDI NOTE-OFF [%i] $%02X $%02X", int(channel), entry->note.pitch, entry->note.velocity);
        messages.push_back(manager.noteWithState(false, entry->note.pitch, velocity, channel));
        table->remove(index);
    }

    for (const auto& message : messages)
        if (manager.sendMIDIMessage(message, QRBMIDIMessageEndpoint::MIDIOutputsEndpoint()) == -1)
            return QRBAcceptResult::Failed;
    return messages.empty() ? QRBAcceptResult::Nothing : QRBAcceptResult::Done;
}
