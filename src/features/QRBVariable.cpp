#include "features/QRBVariable.h"

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBActionHost.h"
#include "foundation/Format.h"

#include <cerrno>
#include <cstdlib>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBVariable)

namespace {

constexpr const char* kIndexKey = "index";

// The integer after the prefix, as a scanner reads it (leading blanks, a sign, digits); 0 when
// there is none or it does not fit.
uint64_t scanLegacyIndex(const std::string& name) {
    const size_t at = name.find(QRBVariable::kLegacyNamePrefix);
    if (at == std::string::npos) return 0;
    const char* text = name.c_str() + at + std::char_traits<char>::length(QRBVariable::kLegacyNamePrefix);
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || errno == ERANGE) return 0;
    return static_cast<uint64_t>(value);
}

}  // namespace

QRBVariable::QRBVariable() { setIndex(0); }

foundation::Value QRBVariable::classProposedEventSourcesCollection(const QRBAction*) {
    foundation::Array list;
    list.reserve(kProposedCount);
    for (uint64_t i = 0; i < kProposedCount; ++i) {
        auto variable = std::make_shared<QRBVariable>();
        variable->setIndex(i);
        list.emplace_back(variable);
    }
    return foundation::Value(std::move(list));
}

void QRBVariable::setIndex(uint64_t index) {
    index_ = index;
    setName(foundation::format("%llu", static_cast<unsigned long long>(index)));
}

QRBAcceptResult QRBVariable::acceptAction(QRBAction& action) {
    auto host = action.oscManagerOfContext();
    QRBArgPtr slot = host ? host->variableValueAtIndex(index_) : nullptr;
    if (!slot) return QRBAcceptResult::Failed;
    slot->makeSameAsValue(*action.argValue());
    return QRBAcceptResult::Done;
}

bool QRBVariable::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    const auto* same = dynamic_cast<const QRBVariable*>(&other);
    return same && typeid(other) == typeid(*this) && same->index_ == index_;
}

void QRBVariable::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    coder.encodeInt64(static_cast<int64_t>(index_), kIndexKey);
}

void QRBVariable::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    if (coder.containsValueForKey(kIndexKey))
        setIndex(static_cast<uint64_t>(coder.decodeInt64(kIndexKey)));
    else
        setIndex(scanLegacyIndex(name().value_or(std::string())));
}
