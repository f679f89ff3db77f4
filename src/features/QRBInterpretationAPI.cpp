// The control API's handlers. Each reads its arguments only as the types the server matched (or,
// for map to MIDI, which takes any type tags, as the types it has checked), and refuses what it
// cannot complete with a logged line.

#include "features/QRBInterpretationManager.h"

#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/osc/QRBArg.h"
#include "core/osc/QRBServer.h"
#include "document/LibloCallbacks.h"
#include "document/QRBManager.h"
#include "midi/templates/QRBMIDISubstitution.h"

#include <cmath>
#include <cstring>

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

bool isMessageAddress(const std::string& path) {
    return path.size() > 1 && path[0] == '/' && QRBPathHasNoPatternCharacters(path);
}

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

int QRBInterpretationManager::create(const QRBServerMessage& message) {
    const std::string path = stringAt(message, 0);
    const std::string types = stringAt(message, 1);
    if (!isMessageAddress(path)) return refuse("API: %s, invalid message address: %s", message.path, path.c_str());
    if (types.empty())
        return refuse("API: %s, cannot create message %s because the given type string is empty", message.path,
                      path.c_str());
    for (char type : types)
        if (!isDeclarableType(type))
            return refuse("API: %s, invalid type string for message %s: %s", message.path, path.c_str(), types.c_str());
    auto manager = oscManager();
    if (manager && manager->isInputLocked())
        return refuse("API: %s, cannot change message %s while input is locked", message.path, path.c_str());

    APIUpdates updates(*this);
    if (!APIMessageCreateWithSignature(path, types))
        return refuse("API: %s, cannot create message %s", message.path, path.c_str());
    return 0;
}

int QRBInterpretationManager::range(const QRBServerMessage& message) {
    const std::string path = stringAt(message, 0);
    const int32_t index = int32At(message, 1);
    const double minimum = numberAt(message, 2);
    const double maximum = numberAt(message, 3);
    if (!std::isfinite(minimum) || !std::isfinite(maximum))
        return refuse("API: %s, invalid range for argument index %i of message %s", message.path, index, path.c_str());
    APIUpdates updates(*this);
    QRBActionPtr action = requestedArgument(message.path, path, index);
    if (!action) return -1;
    action->setUserInputMin(minimum);
    action->setUserInputMax(maximum);
    return 0;
}

int QRBInterpretationManager::mappingChannel(const QRBServerMessage& message) {
    const std::string path = stringAt(message, 0);
    QRBActionPtr action = requestedArgument(message.path, path, int32At(message, 1));
    if (!action) return -1;
    return mapToAllChannels(message.path, *action, int32At(message, 2), int32At(message, 3));
}

int QRBInterpretationManager::argumentChannel(const QRBServerMessage& message) {
    // The target is resolved (and made if need be) first.
    QRBActionPtr target = requestedArgument(message.path, stringAt(message, 4), int32At(message, 5));
    if (!target) return -1;
    QRBActionPtr action = requestedArgument(message.path, stringAt(message, 0), int32At(message, 1));
    if (!action) return -1;
    return mapToArgumentChannel(message.path, *action, *target, int32At(message, 2), int32At(message, 3));
}

int QRBInterpretationManager::restoreMapping(const QRBServerMessage& message) {
    const std::string name = stringAt(message, 0);
    if (name.empty()) return refuse("API: %s, cannot restore mapping because the given name is empty", message.path);
    auto manager = oscManager();
    auto presets = manager ? manager->presetManager() : nullptr;
    if (!presets) return refuse("API: %s, cannot restore mapping %s", message.path, name.c_str());
    QRBPresetPtr preset = presets->presetWithName(name);
    if (!preset) {
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
        return refuse("API: %s, invalid argument types: %s, expected %s", address, message.types, kMIDIMappingTypes);

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
                      triggerName.c_str(), long(request.index), request.path.c_str());
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
                address, request.path.c_str(), long(request.index), status);
        if (mapToAutomaticMIDI(address, *action, request) != 0) return -1;
        action->setUserOutputMin(request.dataMin);
        action->setUserOutputMax(request.dataMax);
        return 0;
    }

    // Template mode: every substitution group is read and checked before anything is made.
    for (int position = kMIDIMappingLeadingCount; position < count;) {
        if (message.types[position] != 's')
            return refuse("API: %s, invalid argument types: %s, expected a substitution type at %i", address,
                          message.types, position);
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
            return refuse("API: %s, invalid substitution type: %s", address, kind.c_str());
        }
        const long length = 1 + long(std::strlen(groupTypes));
        if (position + length > count)
            return refuse("API: %s, invalid argument count: %i, requires at least %li arguments", address, count,
                          position + length);
        const int first = position + 1;
        if (std::strncmp(message.types + first, groupTypes, std::strlen(groupTypes)) != 0)
            return refuse("API: %s, invalid argument types: %s, expected %s after %s at %i", address, message.types,
                          groupTypes, kind.c_str(), position);

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
                return refuse("API: %s, invalid checksum type: %s", address, algorithm.c_str());
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
            address, displayName.c_str());
    return mapToMIDITemplate(address, *action, request);
}
