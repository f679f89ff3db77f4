#include "midi/QRBMIDIManager.h"

#include "foundation/ArchiveLists.h"

namespace {
constexpr const char* kVersionKey = "Version";
constexpr const char* kNoteUpperPitchKey = "noteUpperPitch";
constexpr const char* kNoteLowerPitchKey = "noteLowerPitch";
constexpr const char* kShouldRepeatNotesKey = "shouldRepeatNotes";
constexpr const char* kShouldBendNotesKey = "shouldBendNotes";
constexpr const char* kNoteOffBehaviorKey = "noteOffBehavior";
constexpr const char* kInputModeKey = "inputMode";
constexpr const char* kActiveRealDestinationsKey = "activeRealDestinations";
constexpr const char* kActiveRealSourcesKey = "activeRealSources";
constexpr const char* kVirtualDestinationActiveKey = "isVirtualDestinationActive";
constexpr const char* kVirtualSourceActiveKey = "isVirtualSourceActive";
constexpr const char* kTemplatesCollectionsKey = "templatesCollections";

foundation::Value decodeArray(foundation::KeyedUnarchiver& coder, const char* key) {
    foundation::Value value = coder.decodeObject(key);
    if (value.isNull()) return foundation::Value(foundation::Array{});
    if (!value.arrayValue()) throw foundation::ArchiveError(std::string(key) + " is not an array");
    return value;
}
}  // namespace

void QRBMIDIManager::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeInteger(version_, kVersionKey);
    coder.encodeInteger(noteUpperPitch_, kNoteUpperPitchKey);
    coder.encodeInteger(noteLowerPitch_, kNoteLowerPitchKey);
    coder.encodeBool(shouldRepeatNotes_, kShouldRepeatNotesKey);
    coder.encodeBool(shouldBendNotes_, kShouldBendNotesKey);
    coder.encodeInteger(noteOffBehavior_, kNoteOffBehaviorKey);
    coder.encodeInteger(inputMode_, kInputModeKey);
    coder.encodeObject(activeRealDestinations_, kActiveRealDestinationsKey);
    coder.encodeObject(activeRealSources_, kActiveRealSourcesKey);
    coder.encodeBool(virtualDestinationActive_, kVirtualDestinationActiveKey);
    coder.encodeBool(virtualSourceActive_, kVirtualSourceActiveKey);
    coder.encodeObject(foundation::objectListValue(templatesCollections_), kTemplatesCollectionsKey);
}

void QRBMIDIManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
    version_ = coder.decodeInteger(kVersionKey);
    noteUpperPitch_ = coder.decodeInteger(kNoteUpperPitchKey);
    noteLowerPitch_ = coder.decodeInteger(kNoteLowerPitchKey);
    shouldRepeatNotes_ = coder.decodeBool(kShouldRepeatNotesKey);
    shouldBendNotes_ = coder.decodeBool(kShouldBendNotesKey);
    noteOffBehavior_ = coder.decodeInteger(kNoteOffBehaviorKey);
    inputMode_ = coder.decodeInteger(kInputModeKey);
    if (coder.containsValueForKey(kVirtualDestinationActiveKey)) {
        activeRealDestinations_ = decodeArray(coder, kActiveRealDestinationsKey);
        activeRealSources_ = decodeArray(coder, kActiveRealSourcesKey);
        virtualDestinationActive_ = coder.decodeBool(kVirtualDestinationActiveKey);
        virtualSourceActive_ = coder.decodeBool(kVirtualSourceActiveKey);
    }
    if (auto collections = foundation::decodeObjectList<QRBEventSource>(coder, kTemplatesCollectionsKey))
        templatesCollections_ = std::move(*collections);
}
