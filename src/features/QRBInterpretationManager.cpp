#include "features/QRBInterpretationManager.h"

#include "core/document/QRBManager.h"

namespace {
constexpr const char* kOSCManagerKey = "oscManager";
constexpr const char* kInputModeKey = "inputMode";
}  // namespace

QRBInterpretationManagerPtr QRBInterpretationManager::initWithManager(const std::shared_ptr<QRBManager>& manager) {
    auto interpretation = std::make_shared<QRBInterpretationManager>();
    interpretation->oscManager_ = manager;
    return interpretation;
}

void QRBInterpretationManager::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeConditionalObject(std::static_pointer_cast<foundation::Object>(oscManager()), kOSCManagerKey);
    coder.encodeInteger(inputMode_, kInputModeKey);
}

void QRBInterpretationManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
    oscManager_ = coder.decodeObjectOfClass<QRBManager>(kOSCManagerKey);
    // Only the two mode bits mean anything.
    inputMode_ = static_cast<unsigned>(coder.decodeInteger(kInputModeKey)) & (kPassThroughMode | kInterpretMode);
}
