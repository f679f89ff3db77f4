#pragma once
// The registry of output types, read from the resource "TypeDescriptions.plist": for each output
// class named there, its entry (its type description, the title the type menus show and the key a
// menu choice finds the class by, and whether users may create and copy such outputs).
//
// The process-wide registry is built once, on first use, and only read afterwards (main thread).

#include "core/outputs/QRBEventSource.h"
#include "foundation/Value.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

class QRBEventSourceTypeRegistry {
public:
    // Text of the error raised when the resource cannot be found.
    static constexpr const char* kMissingResourceReason = "Warning: Can't find the file TypeDescriptions.plist";
    static constexpr const char* kGenericException = "NSGenericException";

    using ClassLookup = std::function<const QRBEventSourceClass*(const std::string& name)>;

    // Reads the registry from a type-description file. No path, or an empty one, raises
    // NSGenericException with kMissingResourceReason; a file that is not a property-list
    // dictionary raises too. Keys naming no class (by `lookup`, the registered classes by
    // default) are skipped, as are entries whose "activate" is false.
    static std::unique_ptr<QRBEventSourceTypeRegistry> build(const std::optional<std::string>& path,
                                                             const ClassLookup& lookup = {});
    // The application's registry, built from the resource on first use.
    static const QRBEventSourceTypeRegistry& shared();

    // The class registered for a description, sent type(); null when none has it.
    const QRBEventSourceClass* typeForTypeDescription(const std::string& description) const;
    // The entry of a type; null when the type has none.
    const foundation::Dictionary* typeDictForType(const QRBEventSourceClass& type) const;

    size_t count() const { return entries_.size(); }

private:
    QRBEventSourceTypeRegistry() = default;

    std::unordered_map<const QRBEventSourceClass*, foundation::Dictionary> entries_;
    std::map<std::string, const QRBEventSourceClass*> descriptions_;
};
