#include "document/QRBNotesInfos.h"

namespace {
constexpr const char* kFrameKey = "QRBNotesFrame";
constexpr const char* kRTFDKey = "QRBNotesRTFD";
constexpr const char* kShowKey = "QRBNotesShow";
}  // namespace

void QRBNotesInfos::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    foundation::Object::encodeWithCoder(coder);
    coder.encodeObject(windowFrame_ ? foundation::Value(*windowFrame_) : foundation::Value(), kFrameKey);
    coder.encodeObject(rtfData_ ? foundation::Value(*rtfData_) : foundation::Value(), kRTFDKey);
    coder.encodeBool(windowDisplayed_, kShowKey);
}

void QRBNotesInfos::initWithCoder(foundation::KeyedUnarchiver& coder) {
    foundation::Object::initWithCoder(coder);
    windowFrame_ = coder.decodeString(kFrameKey);
    foundation::Value data = coder.decodeObject(kRTFDKey);
    if (const auto* bytes = data.dataValue())
        rtfData_ = *bytes;
    else
        rtfData_.reset();
    windowDisplayed_ = coder.decodeBool(kShowKey);
}
