#include "core/outputs/QRBCCEventSource.h"

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBCCEventSource)

QRBEventSourcePtr QRBCCEventSource::proposedAtIndex(int64_t index) {
    const foundation::Value collection = eventSourceClass().proposedEventSourcesCollectionForAction(nullptr);
    const foundation::Array* list = collection.arrayValue();
    if (!list || index < 0 || static_cast<size_t>(index) >= list->size())
        return std::static_pointer_cast<QRBEventSource>(shared_from_this());
    if (auto source = (*list)[static_cast<size_t>(index)].object<QRBEventSource>()) return source;
    return std::static_pointer_cast<QRBEventSource>(shared_from_this());
}

QRBEventSourcePtr QRBCCEventSource::previousProposedEventSource() {
    return proposedAtIndex(ccNumber_ < 1 ? 127 : ccNumber_ - 1);
}

QRBEventSourcePtr QRBCCEventSource::nextProposedEventSource() {
    return proposedAtIndex(ccNumber_ >= 127 ? 0 : ccNumber_ + 1);
}

void QRBCCEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    coder.encodeInteger(ccNumber_, kCCNumberKey);
}

void QRBCCEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    ccNumber_ = coder.decodeInteger(kCCNumberKey);
}
