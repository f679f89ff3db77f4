#include "features/QRBKymaCCEventSource.h"

#include "features/QRBEventSourceManager.h"

#include <algorithm>

namespace detail {

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBKymaCCEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBKymaExtEventSource)

foundation::Value QRBKymaCCEventSource::classProposedEventSourcesCollection(const QRBAction*) {
    foundation::Array outputs;
    for (const auto& output : QRBEventSourceManager::sharedInstance().kymaCCEventSources())
        outputs.emplace_back(output);
    return foundation::Value(std::move(outputs));
}

foundation::Value QRBKymaExtEventSource::classProposedEventSourcesCollection(const QRBAction*) {
    return QRBEventSourceManager::sharedInstance().kymaSpecialEventSources();
}

QRBEventSourcePtr QRBKymaExtEventSource::previousProposedEventSource() {
    return std::static_pointer_cast<QRBEventSource>(shared_from_this());
}

QRBEventSourcePtr QRBKymaExtEventSource::nextProposedEventSource() {
    return std::static_pointer_cast<QRBEventSource>(shared_from_this());
}

void QRBKymaExtEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBCCEventSource::initWithCoder(coder);
    setCCNumber(std::clamp<int64_t>(coder.decodeInteger(kCCNumberKey), 0, kMaxSpecialCCNumber));
}

}  // namespace detail
