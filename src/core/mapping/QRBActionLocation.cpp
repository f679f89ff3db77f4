#include "core/mapping/QRBActionLocation.h"

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBActionHost.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPresetManager.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"

namespace {

constexpr const char* kDisplayNameKey = "displayName";
constexpr const char* kContextNameKey = "contextName";
constexpr const char* kPathComponentsKey = "pathComponents";

std::string componentText(const foundation::Value& component) {
    if (const std::string* s = component.stringValue()) return *s;
    if (auto i = component.integerValue(); i && component.type() == foundation::Value::Type::Integer)
        return foundation::format("%lld", static_cast<long long>(*i));
    return component.debugDescription();
}

}  // namespace

QRBActionLocation::QRBActionLocation(const std::optional<std::string>& contextName,
                                     const std::optional<foundation::Array>& pathComponents,
                                     const std::optional<std::string>& displayName) {
    if (!contextName) FND_INTERNAL_ERROR("invalid action location: contextName cannot be nil");
    if (!displayName) FND_INTERNAL_ERROR("invalid action location: displayName cannot be nil");
    if (!pathComponents) FND_INTERNAL_ERROR("invalid action location: pathComponents cannot be nil");
    contextName_ = *contextName;
    pathComponents_ = *pathComponents;
    displayName_ = *displayName;
}

QRBActionLocationPtr QRBActionLocation::locationWithContextName(const std::optional<std::string>& contextName,
                                                                const std::optional<foundation::Array>& pathComponents,
                                                                const std::optional<std::string>& displayName) {
    return std::make_shared<QRBActionLocation>(contextName, pathComponents, displayName);
}

std::shared_ptr<QRBActionLocation> QRBAction::location() const {
    if (!context()) FND_INTERNAL_ERROR("in context cannot be nil");
    auto top = topLevelContext();
    return QRBActionLocation::locationWithContextName(top ? top->name() : std::nullopt, pathComponents(),
                                                      fullDisplayName());
}

QRBActionPtr QRBActionLocation::resolveUsing(const QRBAction& action) const {
    auto host = action.oscManagerOfContext();
    if (!host) return nullptr;
    auto presetManager = host->presetManager();
    if (!presetManager) return nullptr;
    auto preset = presetManager->currentPreset();
    if (!preset) return nullptr;
    return preset->actionAtLocation(*this);
}

QRBActionLocationPtr QRBActionLocation::copy() const {
    return locationWithContextName(contextName_, pathComponents_, displayName_);
}

std::string QRBActionLocation::description() const {
    std::string path = "(";
    for (size_t i = 0; i < pathComponents_.size(); ++i) {
        if (i) path += ", ";
        path += componentText(pathComponents_[i]);
    }
    path += ")";
    return foundation::format("<%s %p \"%s\" %s>", archivedClassName().c_str(), static_cast<const void*>(this),
                              contextName_.c_str(), path.c_str());
}

void QRBActionLocation::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    foundation::Object::encodeWithCoder(coder);
    coder.encodeString(displayName_, kDisplayNameKey);
    coder.encodeString(contextName_, kContextNameKey);
    coder.encodeObject(foundation::Value(pathComponents_), kPathComponentsKey);
}

void QRBActionLocation::initWithCoder(foundation::KeyedUnarchiver& coder) {
    foundation::Object::initWithCoder(coder);
    std::optional<std::string> displayName = coder.decodeString(kDisplayNameKey);
    std::optional<std::string> contextName = coder.decodeString(kContextNameKey);
    foundation::Value path = coder.decodeObject(kPathComponentsKey);
    if (!displayName || !contextName || path.isNull())
        throw foundation::ArchiveError("action location without its display name, context name or path");
    const foundation::Array* components = path.arrayValue();
    if (!components) throw foundation::ArchiveError("action location path is not a list");
    for (const foundation::Value& component : *components)
        if (!component.stringValue() && !component.isNumber())
            throw foundation::ArchiveError("action location path holds something other than names and indices");
    displayName_ = std::move(*displayName);
    contextName_ = std::move(*contextName);
    pathComponents_ = *components;
}
