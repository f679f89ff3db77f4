#include "core/outputs/QRBEventSourceTypeRegistry.h"

#include "foundation/Exception.h"
#include "foundation/Resources.h"

#include <mutex>

namespace {
constexpr const char* kTypeDescriptionKey = "typeDesc";
constexpr const char* kActivateKey = "activate";
}  // namespace

std::unique_ptr<QRBEventSourceTypeRegistry> QRBEventSourceTypeRegistry::build(const std::optional<std::string>& path,
                                                                              const ClassLookup& lookup) {
    if (!path || path->empty()) throw foundation::Exception(kGenericException, kMissingResourceReason);

    foundation::Value plist = foundation::propertyListFromData(foundation::readFile(*path));
    const foundation::Dictionary* types = plist.dictionaryValue();
    if (!types) throw foundation::Exception(kGenericException, "TypeDescriptions.plist is not a dictionary");

    std::unique_ptr<QRBEventSourceTypeRegistry> registry(new QRBEventSourceTypeRegistry());
    for (const auto& [className, value] : *types) {
        const QRBEventSourceClass* cls = lookup ? lookup(className) : QRBEventSourceClass::classNamed(className);
        if (!cls) continue;  // an output whose subsystem is not part of this program
        const foundation::Dictionary* entry = value.dictionaryValue();
        if (!entry) continue;
        auto activate = entry->find(kActivateKey);
        if (activate != entry->end() && !activate->second.boolValue().value_or(true)) continue;
        registry->entries_[cls] = *entry;
        auto description = entry->find(kTypeDescriptionKey);
        if (description != entry->end() && description->second.stringValue())
            registry->descriptions_[*description->second.stringValue()] = cls;
    }
    return registry;
}

const QRBEventSourceTypeRegistry& QRBEventSourceTypeRegistry::shared() {
    // Built on first use; a failed build raises to the caller and is tried again next time.
    static std::mutex mutex;
    static std::unique_ptr<QRBEventSourceTypeRegistry> shared;
    std::lock_guard<std::mutex> lock(mutex);
    if (!shared) shared = build(foundation::Resources::pathForResource("TypeDescriptions", "plist"));
    return *shared;
}

const QRBEventSourceClass* QRBEventSourceTypeRegistry::typeForTypeDescription(const std::string& description) const {
    auto it = descriptions_.find(description);
    return it == descriptions_.end() ? nullptr : &it->second->type();
}

const foundation::Dictionary* QRBEventSourceTypeRegistry::typeDictForType(const QRBEventSourceClass& type) const {
    auto it = entries_.find(&type);
    return it == entries_.end() ? nullptr : &it->second;
}
