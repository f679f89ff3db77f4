#include "controllers/QRBKeyComboEventSource.h"

#include "core/mapping/QRBEventSourceMerger.h"

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBKeyComboEventSource)

namespace {
constexpr const char* kKeycodeKey = "QRBKeyComboEventSourceKeycode";
constexpr const char* kFlagsKey = "QRBKeyComboEventSourceFlags";
constexpr const char* kReminderKey = "QRBKeyComboEventSourceReminder";
constexpr const char* kTargetAppKey = "QRBKeyComboEventSourceTargetApp";

foundation::Value optionalString(const std::optional<std::string>& s) {
    return s ? foundation::Value(*s) : foundation::Value();
}
}  // namespace

QRBKeyComboEventSource::QRBKeyComboEventSource() { keyCombo_.code = kNoKeyCode; }

QRBAcceptResult QRBKeyComboEventSource::acceptAction(QRBAction&) {
    // No keys can be posted yet.
    return QRBAcceptResult::Failed;
}

bool QRBKeyComboEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (!QRBEventSource::isEqualToEventSource(other)) return false;
    const auto* combo = dynamic_cast<const QRBKeyComboEventSource*>(&other);
    return combo && combo->targetApp_ == targetApp_ && combo->keyCombo_ == keyCombo_;
}

std::shared_ptr<QRBEventSourceMerging> QRBKeyComboEventSource::merger() const {
    auto self =
        std::const_pointer_cast<QRBEventSource>(std::static_pointer_cast<const QRBEventSource>(shared_from_this()));
    return QRBEventSourceMerger::uniquingMergerWithEventSource(self, kCollectionKeyPath);
}

void QRBKeyComboEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    coder.encodeInteger(keyCombo_.code, kKeycodeKey);
    coder.encodeInt64(static_cast<int64_t>(keyCombo_.flags), kFlagsKey);
    coder.encodeObject(optionalString(memo_), kReminderKey);
    coder.encodeObject(optionalString(targetApp_), kTargetAppKey);
}

void QRBKeyComboEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    // The code is 16 bits wide; the flags keep their 64 bits.
    keyCombo_.code = static_cast<uint16_t>(coder.decodeInteger(kKeycodeKey));
    keyCombo_.flags = static_cast<uint64_t>(coder.decodeInt64(kFlagsKey));
    memo_ = coder.decodeString(kReminderKey);
    targetApp_ = coder.decodeString(kTargetAppKey);
}
