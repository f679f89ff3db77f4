#include "midi/outputs/QRBKymaPCEventSource.h"

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBTrigger.h"
#include "core/osc/QRBArg.h"
#include "flame/QRBFlameLink.h"
#include "foundation/Format.h"
#include "midi/QRBMIDIManager.h"
#include "midi/QRBMIDIMessageEndpoint.h"
#include "midi/outputs/QRBMidiCCEventSource.h"

#include <typeinfo>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBKymaPCEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBMidiPCEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBMidiPCFromContinuousValueEventSource)

namespace {

// A channel of 1 to 16; anything else keeps its low four bits, as the MIDI encoders do, so a
// damaged document never addresses another register.
uint32_t maskedChannel(int64_t channel) { return static_cast<uint32_t>((channel - 1) & 0x0F) + 1; }

QRBAcceptResult sendProgramChange(const QRBAction& action, unsigned program) {
    auto manager = QRBMIDIManagerOfAction(action);
    if (!manager) return QRBAcceptResult::Failed;
    uint8_t bytes[2];
    QRBMIDIEncodeProgramChange(bytes, action.channel(), program);
    return static_cast<QRBAcceptResult>(manager->sendMIDIMessage(
        QRBMIDIMessage::MIDIMessageWithStatus(bytes[0], bytes[1]), QRBMIDIMessageEndpoint::MIDIOutputsEndpoint()));
}

}  // namespace

// ---- the Flame program change -------------------------------------------------------------------

std::shared_ptr<QRBKymaPCEventSource> QRBKymaPCEventSource::newEventSourceWithPrgNumber(uint64_t prgNumber) const {
    auto made = std::dynamic_pointer_cast<QRBKymaPCEventSource>(eventSourceClass().create());
    if (!made) return nullptr;
    made->setPrgNumber(prgNumber);
    made->setName(
        foundation::format("%llu", static_cast<unsigned long long>(made->displayNumberForPrgNumber(prgNumber))));
    return made;
}

foundation::Value QRBKymaPCEventSource::classProposedEventSourcesCollection(const QRBAction*) {
    const QRBKymaPCEventSource maker;
    auto special = [&maker](uint64_t program, const char* name) {
        auto source = maker.newEventSourceWithPrgNumber(program);
        source->setName(std::string(name));
        return foundation::Value(source);
    };
    foundation::Array specials{special(kPreviousProgram, "Previous"), special(kNextProgram, "Next"),
                               special(kRandomProgram, "Random")};
    foundation::Array programs;
    for (uint64_t program = 1; program <= 125; ++program)
        programs.emplace_back(maker.newEventSourceWithPrgNumber(program));
    return foundation::Value(foundation::Array{
        foundation::Value(foundation::Dictionary{{"Special", foundation::Value(std::move(specials))}}),
        foundation::Value(QRBEventSource::menuSeparatorMarker()),
        foundation::Value(foundation::Dictionary{{"Programs", foundation::Value(std::move(programs))}})});
}

QRBEventSourcePtr QRBKymaPCEventSource::previousProposedEventSource() {
    return newEventSourceWithPrgNumber(prgNumber_ == 0 || prgNumber_ > 127 ? 127 : prgNumber_ - 1);
}

QRBEventSourcePtr QRBKymaPCEventSource::nextProposedEventSource() {
    return newEventSourceWithPrgNumber(prgNumber_ >= 127 ? 0 : prgNumber_ + 1);
}

void QRBKymaPCEventSource::attach(QRBAction& action) {
    QRBEventSource::attach(action);
    if (const auto& trigger = action.trigger()) trigger->setMode(QRBTrigger::kDown);
}

QRBAcceptResult QRBKymaPCEventSource::acceptAction(QRBAction& action) {
    // The program as a fixed-point word pair: the integer part high, 24 bits of fraction low.
    // A damaged document's huge program saturates instead of overflowing the conversion.
    const double scaled = static_cast<double>(prgNumber_) * 2 * 8388608;
    const uint64_t x = scaled >= 18446744073709551616.0 ? UINT64_MAX : static_cast<uint64_t>(scaled);
    const uint32_t offset = maskedChannel(action.channel()) * 256 - kProgramRegisterOffset;
    const bool written = QRBFlameLink::shared().writeToCurrentDevice(offset, static_cast<uint32_t>(x >> 24),
                                                                     static_cast<uint32_t>(x & 0xFFFFFF), 1);
    return written ? QRBAcceptResult::Done : QRBAcceptResult::Failed;
}

bool QRBKymaPCEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    if (typeid(other) != typeid(*this)) return false;
    return static_cast<const QRBKymaPCEventSource&>(other).prgNumber_ == prgNumber_;
}

void QRBKymaPCEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    coder.encodeInteger(static_cast<int64_t>(prgNumber_), kPrgNumberKey);
}

void QRBKymaPCEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    prgNumber_ = static_cast<uint64_t>(coder.decodeInteger(kPrgNumberKey));
}

// ---- the MIDI program change --------------------------------------------------------------------

foundation::Value QRBMidiPCEventSource::classProposedEventSourcesCollection(const QRBAction*) {
    const QRBMidiPCEventSource maker;
    foundation::Array programs;
    for (uint64_t program = 0; program <= 127; ++program)
        programs.emplace_back(maker.newEventSourceWithPrgNumber(program));
    return foundation::Value(foundation::Array{
        foundation::Value(
            foundation::Array{foundation::Value(std::make_shared<QRBMidiPCFromContinuousValueEventSource>())}),
        foundation::Value(QRBEventSource::menuSeparatorMarker()), foundation::Value(std::move(programs))});
}

QRBAcceptResult QRBMidiPCEventSource::acceptAction(QRBAction& action) {
    return sendProgramChange(action, static_cast<unsigned>(prgNumber()));
}

// ---- program from the value ---------------------------------------------------------------------

QRBMidiPCFromContinuousValueEventSource::QRBMidiPCFromContinuousValueEventSource() { setName(std::string(kName)); }

void QRBMidiPCFromContinuousValueEventSource::attach(QRBAction& action) {
    QRBEventSource::attach(action);
    if (const auto& trigger = action.trigger()) trigger->setMode(QRBTrigger::kChanged);
}

QRBAcceptResult QRBMidiPCFromContinuousValueEventSource::acceptAction(QRBAction& action) {
    return sendProgramChange(action, QRBArgMidi7Bit(*action.argValue()));
}
