#include "controllers/QRBScriptEventSource.h"

#include "core/mapping/QRBEventSourceMerger.h"

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBScriptEventSource)

namespace {
constexpr const char* kScriptSourceKey = "QRBScriptEventSourceScriptSource";
}

QRBScriptEventSource::QRBScriptEventSource() { setName(std::string(kDefaultName)); }

QRBAcceptResult QRBScriptEventSource::acceptAction(QRBAction&) {
    // No scripts can be run yet.
    return QRBAcceptResult::Failed;
}

bool QRBScriptEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (!QRBEventSource::isEqualToEventSource(other)) return false;
    const auto* script = dynamic_cast<const QRBScriptEventSource*>(&other);
    return script && script->scriptSource_ == scriptSource_;
}

std::shared_ptr<QRBEventSourceMerging> QRBScriptEventSource::merger() const {
    auto self =
        std::const_pointer_cast<QRBEventSource>(std::static_pointer_cast<const QRBEventSource>(shared_from_this()));
    return QRBEventSourceMerger::uniquingMergerWithEventSource(self, kCollectionKeyPath);
}

void QRBScriptEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    coder.encodeObject(scriptSource_ ? foundation::Value(*scriptSource_) : foundation::Value(), kScriptSourceKey);
}

void QRBScriptEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    scriptSource_ = coder.decodeString(kScriptSourceKey);
}
