#include "features/QRBTimeEventsManager.h"

#include "foundation/ArchiveLists.h"

namespace {
constexpr const char* kDelaysKey = "delays";
}

void QRBTimeEventsManager::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeObject(foundation::objectListValue(delays_), kDelaysKey);
}

void QRBTimeEventsManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
    if (auto delays = foundation::decodeObjectList<QRBEventSource>(coder, kDelaysKey)) delays_ = std::move(*delays);
}
