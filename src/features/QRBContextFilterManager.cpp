#include "features/QRBContextFilterManager.h"

namespace {
constexpr const char* kFilterAddressesKey = "filterAddresses";
}

QRBContextFilterManager::QRBContextFilterManager()
    : activeFilter_(QRBContextFilter::contextFilterWithMode(0, std::nullopt)) {}

void QRBContextFilterManager::setActiveFilter(QRBContextFilterPtr filter) {
    if (!filter) filter = QRBContextFilter::contextFilterWithMode(0, std::nullopt);
    willChangeValueForKey(kActiveFilterKey);
    activeFilter_ = std::move(filter);
    didChangeValueForKey(kActiveFilterKey);
}

void QRBContextFilterManager::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    foundation::Array addresses(filterAddresses_.begin(), filterAddresses_.end());
    coder.encodeObject(foundation::Value(std::move(addresses)), kFilterAddressesKey);
}

void QRBContextFilterManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
    // The filter that was active is not in the archive: the document opens showing everything.
    activeFilter_ = QRBContextFilter::contextFilterWithMode(0, std::nullopt);
    filterAddresses_.clear();
    foundation::Value value = coder.decodeObject(kFilterAddressesKey);
    if (value.isNull()) return;
    const foundation::Array* array = value.arrayValue();
    if (!array) throw foundation::ArchiveError("filterAddresses is not an array");
    for (const auto& entry : *array) {
        const std::string* address = entry.stringValue();
        if (!address) throw foundation::ArchiveError("a filter address is not a string");
        filterAddresses_.push_back(*address);
    }
}
