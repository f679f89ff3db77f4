#include "core/outputs/QRBCCEventSource.h"

#include "core/mapping/QRBAction.h"
#include "core/osc/QRBArg.h"

#include <algorithm>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBCCEventSource)

namespace {
QRBCCEventSource::ControllerWrite controllerWrite = nullptr;
}  // namespace

void QRBCCEventSource::setControllerWrite(ControllerWrite write) { controllerWrite = write; }

uint32_t QRBCCEventSource::flameOffset(int64_t channel, int64_t ccNumber) {
    const int64_t c = std::clamp<int64_t>(channel, 1, 16);
    // The register's low byte holds number + 1: special controls go up to 254.
    const int64_t n = std::clamp<int64_t>(ccNumber, 0, kMaxSpecialCCNumber);
    return uint32_t(((c - 1) << 8) | (n + 1));
}

QRBAcceptResult QRBCCEventSource::acceptAction(QRBAction& action) {
    if (!controllerWrite) return QRBAcceptResult::Failed;
    const int priority = action.hasTriggerLikeInput() ? 1 : 0;
    const double value = action.argValue() ? action.argValue()->doubleValue() : 0;
    const bool queued = controllerWrite(flameOffset(action.channel(), ccNumber_), value, priority);
    return queued ? QRBAcceptResult::Done : QRBAcceptResult::Failed;
}

QRBEventSourcePtr QRBCCEventSource::proposedAt(int64_t index) {
    const foundation::Value collection = eventSourceClass().proposedEventSourcesCollectionForAction(nullptr);
    const foundation::Array* outputs = collection.arrayValue();
    if (outputs && index >= 0 && size_t(index) < outputs->size())
        if (auto output = (*outputs)[size_t(index)].object<QRBEventSource>()) return output;
    return QRBEventSource::previousProposedEventSource();  // the receiver itself
}

QRBEventSourcePtr QRBCCEventSource::previousProposedEventSource() {
    return proposedAt(ccNumber_ < 1 ? 127 : ccNumber_ - 1);
}

QRBEventSourcePtr QRBCCEventSource::nextProposedEventSource() {
    return proposedAt(ccNumber_ >= 127 ? 0 : ccNumber_ + 1);
}

void QRBCCEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    coder.encodeInteger(ccNumber_, kCCNumberKey);
}

void QRBCCEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    // A damaged document must not give a controller outside the 128.
    ccNumber_ = std::clamp<int64_t>(coder.decodeInteger(kCCNumberKey), 0, 127);
}
