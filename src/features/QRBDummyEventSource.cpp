#include "features/QRBDummyEventSource.h"

#include "foundation/Exception.h"
#include "foundation/Log.h"

// The type menus never offer it; asking its class for a new one is a programming error.
template <> QRBEventSourcePtr QRBEventSourceMeta<QRBDummyEventSource>::create() const {
    foundation::raise(foundation::kGenericException, QRBDummyEventSource::kNotInstantiable);
}

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBDummyEventSource)

std::shared_ptr<foundation::Object> QRBDummyEventSource::replacementAfterDecoding() {
    const std::string shown = name().value_or("(null)");
    foundation::logf(kDecodingWarningFormat, shown.c_str());
    return nullptr;
}
