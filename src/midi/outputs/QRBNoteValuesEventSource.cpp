#include "midi/outputs/QRBNoteValuesEventSource.h"

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBContext.h"
#include "core/osc/QRBArg.h"

#include <typeinfo>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBNoteValuesEventSource)

namespace {
constexpr const char* kNames[] = {"Pitch", "Velocity", "Aftertouch", "Voice"};
constexpr const char* kKeys[] = {QRBNoteValuesEventSource::kPitchKey, QRBNoteValuesEventSource::kVelocityKey,
                                 QRBNoteValuesEventSource::kAftertouchKey, QRBNoteValuesEventSource::kIndexKey};
}  // namespace

QRBNoteValuesEventSource::QRBNoteValuesEventSource(unsigned type) : type_(type) { updateName(); }

foundation::Value QRBNoteValuesEventSource::classProposedEventSourcesCollection(const QRBAction*) {
    foundation::Array sources;
    for (unsigned type = 0; type < kTypeCount; ++type)
        sources.emplace_back(std::make_shared<QRBNoteValuesEventSource>(type));
    return foundation::Value(std::move(sources));
}

std::optional<std::string> QRBNoteValuesEventSource::nameForType(unsigned type) {
    if (type >= kTypeCount) return std::nullopt;
    return std::string(kNames[type]);
}

const char* QRBNoteValuesEventSource::userInfoKeyForType(unsigned type) {
    return type < kTypeCount ? kKeys[type] : nullptr;
}

void QRBNoteValuesEventSource::setType(unsigned type) {
    type_ = type;
    updateName();
}

void QRBNoteValuesEventSource::updateName() { setName(nameForType(type_)); }

QRBAcceptResult QRBNoteValuesEventSource::acceptAction(QRBAction& action) {
    const char* key = userInfoKeyForType(type_);
    auto context = action.context();
    if (key && context && action.argValue())
        context->setUserInfoValue(foundation::Value(action.argValue()->copy()), key);
    return QRBAcceptResult::Done;
}

bool QRBNoteValuesEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    if (typeid(other) != typeid(*this)) return false;
    return static_cast<const QRBNoteValuesEventSource&>(other).type_ == type_;
}

void QRBNoteValuesEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    coder.encodeInt32(static_cast<int32_t>(type_), kTypeArchiveKey);
}

void QRBNoteValuesEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    if (coder.containsValueForKey(kLegacyTypeKey)) {
        const std::optional<std::string> word = coder.decodeString(kLegacyTypeKey);
        // Aftertouch was called timbre then.
        static constexpr const char* kLegacyWords[] = {"Pitch", "Velocity", "Timbre", "Index"};
        undecodable_ = true;
        for (unsigned type = 0; type < kTypeCount; ++type) {
            if (word && *word == kLegacyWords[type]) {
                type_ = type;
                undecodable_ = false;
            }
        }
    } else {
        const int64_t type = coder.decodeInteger(kTypeArchiveKey);
        // Out of range stays out of range: such an output stores nothing, as it did.
        type_ = type >= 0 && type < kTypeCount ? static_cast<unsigned>(type) : kTypeCount;
    }
    updateName();
}

std::shared_ptr<foundation::Object> QRBNoteValuesEventSource::replacementAfterDecoding() {
    if (undecodable_) return nullptr;
    return QRBEventSource::replacementAfterDecoding();
}
