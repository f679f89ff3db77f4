// The control API's handlers. Every entry takes any type tags: each handler reads its arguments
// only as the types it has checked, and refuses what it cannot complete with a logged line, in
// which the client's own texts (addresses, names, type tags) appear quoted and escaped.

#include "features/QRBInterpretationManager.h"

#include "core/document/QRBManager.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/osc/LibloCallbacks.h"
#include "core/osc/QRBArg.h"
#include "core/osc/QRBServer.h"
#include "foundation/Log.h"
#include "midi/templates/QRBMIDISubstitution.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

namespace {

constexpr const char* kMIDIMappingTypes = "siiisbs";  // the seven leading arguments of map to MIDI
constexpr int kMIDIMappingLeadingCount = 7;
constexpr long kMaxMIDIMessageSize = 65535;

// liblo's argument pointers are only 4-byte aligned: they are read as bytes, never through lo_arg.
std::string stringAt(const QRBServerMessage& message, int index) {
    return std::string(reinterpret_cast<const char*>(message.argv[index]));
}

int32_t int32At(const QRBServerMessage& message, int index) {
    int32_t value;
    std::memcpy(&value, message.argv[index], sizeof value);
    return value;
}

double numberAt(const QRBServerMessage& message, int index) {
    QRBArgPtr arg = QRBArg::argOfType(message.types[index], message.argv[index]);
    return arg ? arg->doubleValue() : NAN;
}

// A client's number type is not its meaning: osc.js and Pd send every number as a float, sclang
// mixes integers and floats. Where a request takes a number it takes any of these.
bool isNumberType(char type) { return type == 'i' || type == 'f' || type == 'h' || type == 'd'; }

// Whether the message's type tags fit `expected`, in which 'n' stands for any number type.
bool typesFit(const QRBServerMessage& message, const char* expected) {
    const size_t count = std::strlen(expected);
    if (message.argc < 0 || size_t(message.argc) != count) return false;
    for (size_t i = 0; i < count; ++i) {
        const char type = message.types[i];
        if (expected[i] == 'n' ? !isNumberType(type) : type != expected[i]) return false;
    }
    return true;
}

// A number that stands for a whole one (an index, a channel): any number type holding an
// integral value in the int32 range.
std::optional<int32_t> integerAt(const QRBServerMessage& message, int index) {
    if (message.types[index] == 'i') return int32At(message, index);
    const double value = numberAt(message, index);
    if (!std::isfinite(value) || value != std::floor(value) || value < double(INT32_MIN) || value > double(INT32_MAX))
        return std::nullopt;
    return int32_t(value);
}

std::string quoted(const std::string& text) { return foundation::logQuoted(text); }

// The expected signatures as a client reads them in a refusal.
constexpr const char* kAnyNumberNote = " (each number any of i, f, h, d)";

// Undo registration off for the life of the object, on every way out of a handler.
class APIUpdates {
public:
    explicit APIUpdates(QRBInterpretationManager& manager) : manager_(manager) { manager_.beginAPIUpdates(); }
    ~APIUpdates() { manager_.endAPIUpdates(); }
    APIUpdates(const APIUpdates&) = delete;
    APIUpdates& operator=(const APIUpdates&) = delete;

private:
    QRBInterpretationManager& manager_;
};

// "[Collection] Template": the collection's name is not empty, and the template's is what follows
// the bracket (at least two characters) without surrounding spaces and tabs.
bool parseTemplateDisplayName(const std::string& text, std::string& collection, std::string& name) {
    if (text.empty() || text[0] != '[') return false;
    const size_t close = text.find(']');
    if (close == std::string::npos || close < 2 || text.size() - close - 1 < 2) return false;
    collection = text.substr(1, close - 1);
    const std::string rest = text.substr(close + 1);
    const size_t first = rest.find_first_not_of(" \t");
    const size_t last = rest.find_last_not_of(" \t");
    name = first == std::string::npos ? std::string() : rest.substr(first, last - first + 1);
    return true;
}

}  // namespace

int QRBInterpretationManager::refuseTypes(const QRBServerMessage& message, const char* expected) {
    // 'n' in the signature is any number: shown as i, with the note.
    std::string shown(expected);
    std::replace(shown.begin(), shown.end(), 'n', 'i');
    const bool numbers = std::strchr(expected, 'n') != nullptr;
    return refuse("API: %s, invalid argument types: %s, expected %s%s", message.path,
                  quoted(std::string(message.types, message.argc > 0 ? size_t(message.argc) : 0)).c_str(),
                  shown.c_str(), numbers ? kAnyNumberNote : "");
}

int QRBInterpretationManager::create(const QRBServerMessage& message) {
    if (!typesFit(message, "ss")) return refuseTypes(message, "ss");
    const std::string path = stringAt(message, 0);
    const std::string types = stringAt(message, 1);
    if (refusesMessageAddress(message.path, path)) return -1;
    if (types.empty())
        return refuse("API: %s, cannot create message %s because the given type string is empty", message.path,
                      quoted(path).c_str());
    if (types.size() > QRBContext::kMaxArgumentActionsPerMessage)
        return refuse("API: %s, cannot create message %s with %zu arguments: a message has at most %zu", message.path,
                      quoted(path).c_str(), types.size(), QRBContext::kMaxArgumentActionsPerMessage);
    for (char type : types)
        if (!isDeclarableType(type))
            return refuse("API: %s, invalid type string for message %s: %s", message.path, quoted(path).c_str(),
                          quoted(types).c_str());
    auto manager = oscManager();
    if (manager && manager->isInputLocked())
        return refuse("API: %s, cannot change message %s while input is locked", message.path, quoted(path).c_str());
    if (refusesGrowth(message.path, path, types.size() < 2 ? 0 : types.size())) return -1;

    APIUpdates updates(*this);
    if (!APIMessageCreateWithSignature(path, types))
        return refuse("API: %s, cannot create message %s", message.path, quoted(path).c_str());
    return 0;
}

int QRBInterpretationManager::range(const QRBServerMessage& message) {
    if (!typesFit(message, "snnn")) return refuseTypes(message, "snnn");
    const std::string path = stringAt(message, 0);
    const std::optional<int32_t> index = integerAt(message, 1);
    const double minimum = numberAt(message, 2);
    const double maximum = numberAt(message, 3);
    if (!index)
        return refuse("API: %s, invalid argument index %g for message %s", message.path, numberAt(message, 1),
                      quoted(path).c_str());
    if (!std::isfinite(minimum) || !std::isfinite(maximum))
        return refuse("API: %s, invalid range for argument index %i of message %s", message.path, *index,
                      quoted(path).c_str());
    APIUpdates updates(*this);
    QRBActionPtr action = requestedArgument(message.path, path, *index);
    if (!action) return -1;
    action->setUserInputMin(minimum);
    action->setUserInputMax(maximum);
    return 0;
}

int QRBInterpretationManager::mappingChannel(const QRBServerMessage& message) {
    if (!typesFit(message, "snnn")) return refuseTypes(message, "snnn");
    const std::string path = stringAt(message, 0);
    const std::optional<int32_t> index = integerAt(message, 1);
    const std::optional<int32_t> minimum = integerAt(message, 2);
    const std::optional<int32_t> maximum = integerAt(message, 3);
    if (!index || !minimum || !maximum)
        return refuse("API: %s, invalid argument index or channel range for message %s: %g, %g to %g", message.path,
                      quoted(path).c_str(), numberAt(message, 1), numberAt(message, 2), numberAt(message, 3));
    QRBActionPtr action = requestedArgument(message.path, path, *index);
    if (!action) return -1;
    return mapToAllChannels(message.path, *action, *minimum, *maximum);
}

int QRBInterpretationManager::argumentChannel(const QRBServerMessage& message) {
    if (!typesFit(message, "snnnsn")) return refuseTypes(message, "snnnsn");
    const std::string path = stringAt(message, 0);
    const std::string targetPath = stringAt(message, 4);
    const std::optional<int32_t> index = integerAt(message, 1);
    const std::optional<int32_t> minimum = integerAt(message, 2);
    const std::optional<int32_t> maximum = integerAt(message, 3);
    const std::optional<int32_t> targetIndex = integerAt(message, 5);
    if (!index || !minimum || !maximum || !targetIndex)
        return refuse("API: %s, invalid argument index or channel range for message %s: %g, %g to %g, target index %g",
                      message.path, quoted(path).c_str(), numberAt(message, 1), numberAt(message, 2),
                      numberAt(message, 3), numberAt(message, 5));
    // The target is resolved (and made if need be) first.
    QRBActionPtr target = requestedArgument(message.path, targetPath, *targetIndex);
    if (!target) return -1;
    QRBActionPtr action = requestedArgument(message.path, path, *index);
    if (!action) return -1;
    return mapToArgumentChannel(message.path, *action, *target, *minimum, *maximum);
}

int QRBInterpretationManager::restoreMapping(const QRBServerMessage& message) {
    if (!typesFit(message, "s")) return refuseTypes(message, "s");
    const std::string name = stringAt(message, 0);
    if (name.empty()) return refuse("API: %s, cannot restore mapping because the given name is empty", message.path);
    auto manager = oscManager();
    auto presets = manager ? manager->presetManager() : nullptr;
    if (!presets) return refuse("API: %s, cannot restore mapping %s", message.path, quoted(name).c_str());
    QRBPresetPtr preset = presets->presetWithName(name);
    if (!preset) {
        if (presets->countOfPresets() >= kMaxDocumentMappings)
            return refuse("API: %s, cannot make mapping %s: the document holds %zu mappings, the most the API adds to",
                          message.path, quoted(name).c_str(), presets->countOfPresets());
        preset = std::make_shared<QRBPreset>();
        preset->setName(name);
        presets->addPresetsObject(preset);
    }
    presets->setCurrentPreset(preset);
    return 0;
}

int QRBInterpretationManager::mapToMIDI(const QRBServerMessage& message) {
    const char* address = message.path;
    const int count = message.argc;
    if (count < kMIDIMappingLeadingCount) return refuse("API: %s, invalid argument count: %i", address, count);
    // Any type tags reach this entry: nothing is read before its type is known.
    if (std::strncmp(message.types, kMIDIMappingTypes, kMIDIMappingLeadingCount) != 0)
        return refuse("API: %s, invalid argument types: %s, expected %s", address,
                      quoted(std::string(message.types, size_t(count))).c_str(), kMIDIMappingTypes);

    MIDIMappingRequest request;
    request.path = stringAt(message, 0);
    request.index = int32At(message, 1);
    request.dataMin = int32At(message, 2);
    request.dataMax = int32At(message, 3);
    const std::string displayName = stringAt(message, 4);
    const std::string triggerName = stringAt(message, 6);

    APIUpdates updates(*this);
    // A blob is its 32-bit count, then the bytes.
    const auto* blob = reinterpret_cast<const uint8_t*>(message.argv[5]);
    int32_t size;
    std::memcpy(&size, blob, sizeof size);
    if (size < 1 || size > kMaxMIDIMessageSize)
        return refuse("API: %s, invalid MIDI message blob size (must be positive and lower than 65535): %i", address,
                      size);
    request.bytes.assign(blob + sizeof size, blob + sizeof size + size);

    const std::optional<int> triggerMode = triggerModeForName(triggerName);
    if (!triggerMode)
        return refuse("API: %s, invalid trigger type '%s' for argument index %li of message %s", address,
                      quoted(triggerName).c_str(), long(request.index), quoted(request.path).c_str());
    request.triggerMode = *triggerMode;

    // Made even when a later step refuses.
    QRBActionPtr action = requestedArgument(address, request.path, request.index);
    if (!action) return -1;

    if (displayName == kAutomaticMIDIName) {
        if (count != kMIDIMappingLeadingCount)
            return refuse("API: %s, error invalid argument count: %i provided, 6 expected", address, count);
        const uint8_t status = request.bytes[0] & 0xF0;
        const bool supported = (status == 0xC0 && size == 2) || (status == 0xB0 && size == 3);
        if (!supported)
            return refuse(
                "API: %s, unable to map MIDI message template to OSC message %s[%li]: unsupported status "
                "byte ($%02X)",
                address, quoted(request.path).c_str(), long(request.index), status);
        return mapToAutomaticMIDI(address, *action, request);
    }

    // Template mode: every substitution group is read and checked before anything is made.
    for (int position = kMIDIMappingLeadingCount; position < count;) {
        if (message.types[position] != 's')
            return refuse("API: %s, invalid argument types: %s, expected a substitution type at %i", address,
                          quoted(std::string(message.types, size_t(count))).c_str(), position);
        const std::string kind = stringAt(message, position);
        const char* groupTypes;
        MIDISubstitutionRequest substitution;
        if (kind == "value") {
            groupTypes = "iiii";
            substitution.kind = MIDISubstitutionRequest::Kind::Value;
        } else if (kind == "output-channel") {
            groupTypes = "ii";
            substitution.kind = MIDISubstitutionRequest::Kind::OutputChannel;
        } else if (kind == "checksum") {
            groupTypes = "siii";
            substitution.kind = MIDISubstitutionRequest::Kind::Checksum;
        } else {
            return refuse("API: %s, invalid substitution type: %s", address, quoted(kind).c_str());
        }
        const long length = 1 + long(std::strlen(groupTypes));
        if (position + length > count)
            return refuse("API: %s, invalid argument count: %i, requires at least %li arguments", address, count,
                          position + length);
        const int first = position + 1;
        if (std::strncmp(message.types + first, groupTypes, std::strlen(groupTypes)) != 0)
            return refuse("API: %s, invalid argument types: %s, expected %s after %s at %i", address,
                          quoted(std::string(message.types, size_t(count))).c_str(), groupTypes, kind.c_str(),
                          position);

        switch (substitution.kind) {
        case MIDISubstitutionRequest::Kind::Value:
            substitution.sliceLocation = int32At(message, first);
            substitution.sliceLength = int32At(message, first + 1);
            substitution.templateByteIndex = int32At(message, first + 2);
            substitution.bitOffset = int32At(message, first + 3);
            break;
        case MIDISubstitutionRequest::Kind::OutputChannel:
            substitution.sliceLocation = 0;
            substitution.sliceLength = 4;
            substitution.templateByteIndex = int32At(message, first);
            substitution.bitOffset = int32At(message, first + 1);
            break;
        case MIDISubstitutionRequest::Kind::Checksum: {
            const std::string algorithm = stringAt(message, first);
            if (algorithm == "sum")
                substitution.checksumType = 100;
            else if (algorithm == "twos-complement")
                substitution.checksumType = 200;
            else if (algorithm == "xor")
                substitution.checksumType = 300;
            else
                return refuse("API: %s, invalid checksum type: %s", address, quoted(algorithm).c_str());
            substitution.checkFromIndex = int32At(message, first + 1);
            substitution.checkToIndex = int32At(message, first + 2);
            substitution.templateByteIndex = int32At(message, first + 3);
            // The checked range must leave a byte after it: a range that ends on the last byte is
            // one the template would refuse on every message.
            const long from = substitution.checkFromIndex;
            const long to = substitution.checkToIndex;
            if (from < 0 || from > to || to + 1 >= long(size))
                return refuse("API: %s, invalid checksum range: from=%li, to=%li, message length=%li", address, from,
                              to, long(size));
            break;
        }
        }
        // A substitution takes its bit field and byte position as given: a slice that does not fit
        // in its byte, or a position before the message's first byte, is refused here.
        if (substitution.kind != MIDISubstitutionRequest::Kind::Checksum &&
            !QRBMIDIByteSubstitution::isValidBitField({substitution.sliceLocation, substitution.sliceLength},
                                                      substitution.bitOffset))
            return refuse("API: %s, invalid bit field for %s at %i: slice location=%li, length=%li, bit offset=%li",
                          address, kind.c_str(), position, long(substitution.sliceLocation),
                          long(substitution.sliceLength), long(substitution.bitOffset));
        if (substitution.templateByteIndex < 0)
            return refuse("API: %s, invalid template byte index for %s at %i: %li", address, kind.c_str(), position,
                          long(substitution.templateByteIndex));
        request.substitutions.push_back(substitution);
        position += int(length);
    }

    // A template scales onto its data range: one without values between its bounds cannot be made.
    if (request.dataMin == request.dataMax)
        return refuse("API: %s, invalid data range for a MIDI template: minimum and maximum are both %i", address,
                      request.dataMin);
    if (!parseTemplateDisplayName(displayName, request.collectionName, request.templateName))
        return refuse(
            "API: %s, invalid MIDI template display name, expected format was \"[Collection_Name] "
            "Template_Name\", provided string is %s",
            address, quoted(displayName).c_str());
    return mapToMIDITemplate(address, *action, request);
}
