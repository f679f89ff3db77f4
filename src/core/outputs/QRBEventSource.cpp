#include "core/outputs/QRBEventSource.h"

#include "core/QRBPreferences.h"
#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBTrigger.h"
#include "core/outputs/QRBEventSourceTypeRegistry.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/UndoManager.h"
#include "zz/ZZExtensions.h"

#include <map>
#include <typeinfo>

namespace {

constexpr const char* kNameKey = "QRBEventSourceName";
constexpr const char* kAlternateNameKey = "alternateName";
constexpr const char* kAbstractMethod = "Abstract method.";

std::map<std::string, const QRBEventSourceClass*>& classTable() {
    static std::map<std::string, const QRBEventSourceClass*> table;
    return table;
}

// Outputs inside a proposed collection; anything that is not an output is searched in turn when
// it is a collection (arrays, and the values of dictionaries).
QRBEventSourcePtr findIn(const std::string& name, const foundation::Value& collection) {
    auto visit = [&](const foundation::Value& element) -> QRBEventSourcePtr {
        if (auto source = element.object<QRBEventSource>()) {
            return source->name() && *source->name() == name ? source : nullptr;
        }
        return findIn(name, element);
    };
    if (const auto* array = collection.arrayValue()) {
        for (const auto& element : *array)
            if (auto hit = visit(element)) return hit;
    } else if (const auto* dict = collection.dictionaryValue()) {
        for (const auto& [key, element] : *dict)
            if (auto hit = visit(element)) return hit;
    }
    return nullptr;
}

}  // namespace

// ---- Class objects -----------------------------------------------------------------------------

bool QRBEventSourceClass::isSubclassOf(const QRBEventSourceClass& other) const {
    for (const QRBEventSourceClass* c = this; c; c = c->superclass())
        if (c == &other) return true;
    return false;
}

std::optional<std::string> QRBEventSourceClass::typeDescription() const {
    const foundation::Dictionary* entry = QRBEventSourceTypeRegistry::shared().typeDictForType(type());
    if (!entry) return std::nullopt;
    auto it = entry->find("typeDesc");
    if (it == entry->end() || !it->second.stringValue()) return std::nullopt;
    return *it->second.stringValue();
}

foundation::Value QRBEventSourceClass::typeDictObjectForKey(const std::string& key) const {
    const foundation::Dictionary* entry = QRBEventSourceTypeRegistry::shared().typeDictForType(type());
    if (!entry) return {};
    auto it = entry->find(key);
    return it == entry->end() ? foundation::Value() : it->second;
}

bool QRBEventSourceClass::canBeCreatedByUser() const {
    return typeDictObjectForKey("canBeCreatedByUser").boolValue().value_or(false);
}

bool QRBEventSourceClass::canBeCopiedByUser() const {
    return typeDictObjectForKey("canBeCopiedByUser").boolValue().value_or(false);
}

const QRBEventSourceClass* QRBEventSourceClass::classNamed(const std::string& name) {
    auto& table = classTable();
    auto it = table.find(name);
    return it == table.end() ? nullptr : it->second;
}

void QRBEventSourceClass::registerClass(const QRBEventSourceClass& cls) { classTable()[cls.name()] = &cls; }

// ---- The base class ---------------------------------------------------------------------------

const QRBEventSourceClass& QRBEventSource::staticClass() {
    static const QRBEventSourceMeta<QRBEventSource> meta(kArchivedClassName, nullptr);
    return meta;
}

const QRBEventSourceClass* QRBEventSource::typeForTypeDescription(const std::string& description) {
    return QRBEventSourceTypeRegistry::shared().typeForTypeDescription(description);
}

const foundation::Dictionary* QRBEventSource::typeDictForType(const QRBEventSourceClass& type) {
    return QRBEventSourceTypeRegistry::shared().typeDictForType(type);
}

QRBEventSourcePtr QRBEventSource::findEventSourceWithName(const std::string& name,
                                                          const foundation::Value& collection) {
    return findIn(name, collection);
}

const QRBEventSourcePtr& QRBEventSource::menuSeparatorMarker() {
    static const QRBEventSourcePtr marker = std::make_shared<QRBEventSource>();
    return marker;
}

const std::string& QRBEventSource::notAvailableString() {
    static const std::string dash = "\u2012";
    return dash;
}

double QRBEventSource::outputScalingFudgeFactorForAction(const QRBAction& action) const {
    const int32_t t = action.internalArgType();
    return t == 'f' || t == 'd' ? outputScalingFudgeFactor() : 1;
}

double QRBEventSource::outputScalingFudgeOffsetForAction(const QRBAction& action) const {
    const int32_t t = action.internalArgType();
    return t == 'f' || t == 'd' ? outputScalingFudgeOffset() : 0;
}

bool QRBEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    return &other == this || typeid(other) == typeid(*this);
}

void QRBEventSource::setName(const std::optional<std::string>& name) {
    if (name == name_) return;
    if (auto undo = undoManager_.lock(); undo && undo->isUndoRegistrationEnabled()) {
        auto me = std::static_pointer_cast<QRBEventSource>(shared_from_this());
        undo->registerUndo(this, [me, old = name_] { me->setName(old); });
    }
    name_ = name;
}

std::string QRBEventSource::description() const {
    auto shown = displayName();
    return foundation::format("<%s: %p>[displayName=%s]", archivedClassName().c_str(), static_cast<const void*>(this),
                              shown ? shown->c_str() : "(null)");
}

QRBAcceptResult QRBEventSource::acceptAction(QRBAction&) {
    throw foundation::Exception(QRBEventSourceTypeRegistry::kGenericException, kAbstractMethod);
}

void QRBEventSource::reset(QRBAction& action) {
    if (const auto& trigger = action.trigger()) trigger->invalidate();
}

QRBEventSourcePtr QRBEventSource::previousProposedEventSource() {
    return std::static_pointer_cast<QRBEventSource>(shared_from_this());
}

QRBEventSourcePtr QRBEventSource::nextProposedEventSource() {
    return std::static_pointer_cast<QRBEventSource>(shared_from_this());
}

void QRBEventSource::setNeedsAttach(bool needsAttach) {
    needsAttach_ = needsAttach;
    if (needsAttach) ++attachGeneration_;
}

int QRBEventSource::compareName(const QRBEventSource& other) const {
    const std::string a = name_.value_or(std::string());
    const std::string b = other.name_.value_or(std::string());
    return a < b ? -1 : (b < a ? 1 : 0);
}

void QRBEventSource::ensureUniqueNameAmong(const std::vector<std::string_view>& taken) {
    setName(ZZUniqueString(name_.value_or(std::string()), taken));
}

void QRBEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    foundation::Object::encodeWithCoder(coder);
    coder.encodeObject(name_ ? foundation::Value(*name_) : foundation::Value(), kNameKey);
    coder.encodeObject(alternateName_ ? foundation::Value(*alternateName_) : foundation::Value(), kAlternateNameKey);
}

void QRBEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    foundation::Object::initWithCoder(coder);
    name_ = coder.decodeString(kNameKey);
    alternateName_ = coder.decodeString(kAlternateNameKey);
    setNeedsAttach(true);
    // A document that uses Kyma outputs shows the Kyma menus.
    if (archivedClassName().find("Kyma") != std::string::npos)
        QRBPreferences::sharedPreferences().setEnableKymaRelatedFeatures(true);
}
