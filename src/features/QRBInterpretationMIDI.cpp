// The control API's requests that give an argument a MIDI output: the request has been read and
// checked (QRBInterpretationAPI.cpp), and the argument's action exists. What is left is to make
// or find the output and hand it to the action.

#include "features/QRBInterpretationManager.h"

#include "core/mapping/QRBActionLocation.h"
#include "document/QRBManager.h"
#include "features/QRBEventSourceManager.h"
#include "foundation/Log.h"
#include "midi/QRBMIDIManager.h"
#include "midi/outputs/QRBChannelEventSource.h"
#include "midi/outputs/QRBKymaPCEventSource.h"
#include "midi/outputs/QRBMidiCCEventSource.h"
#include "midi/templates/QRBMIDICollection.h"
#include "midi/templates/QRBMIDISubstitution.h"
#include "midi/templates/QRBMIDITemplate.h"

namespace {

QRBMIDISubstitutionPtr makeSubstitution(const QRBInterpretationManager::MIDISubstitutionRequest& request,
                                        int64_t dataMin, int64_t dataMax) {
    using Kind = QRBInterpretationManager::MIDISubstitutionRequest::Kind;
    switch (request.kind) {
    case Kind::Value:
        return QRBMIDIByteSubstitution::make(QRBMIDIByteSubstitution::Number, dataMin, dataMax,
                                             {request.sliceLocation, request.sliceLength}, request.bitOffset,
                                             request.templateByteIndex);
    case Kind::OutputChannel:
        return QRBMIDIByteSubstitution::make(QRBMIDIByteSubstitution::Channel, 0, 15,
                                             {request.sliceLocation, request.sliceLength}, request.bitOffset,
                                             request.templateByteIndex);
    case Kind::Checksum:
        return QRBMIDIChecksumSubstitution::make(request.checksumType, request.checkFromIndex, request.checkToIndex,
                                                 request.templateByteIndex);
    }
    return nullptr;
}

// The output range in the units the user sees (a controller value, a channel number). An output
// scales a float input onto its span and passes an integer one as it is, so the stored range
// depends on the argument's type; an argument that has received nothing yet (a message the
// request itself made) has none, and is set up for the floats an API client maps (0 to 1), as a
// declared "f" argument would be. Set for no type at all, the range would be stored unscaled and
// every float above the minimum would send the maximum.
void setUserOutputRange(QRBAction& action, double minimum, double maximum) {
    const QRBEventSourcePtr& output = action.eventSource();
    if (action.internalArgType() == 'N' && output) {
        const double factor = output->outputScalingFudgeFactor();
        const double offset = output->outputScalingFudgeOffset();
        if (factor != 0) {
            action.setOutputMin((minimum - offset) / factor);
            action.setOutputMax((maximum - offset) / factor);
            return;
        }
    }
    action.setUserOutputMin(minimum);
    action.setUserOutputMax(maximum);
}

}  // namespace

int QRBInterpretationManager::mapToAutomaticMIDI(const char* address, QRBAction& action,
                                                 const MIDIMappingRequest& request) {
    const uint8_t status = request.bytes[0] & 0xF0;
    const int64_t channel = (request.bytes[0] & 0x0F) + 1;
    QRBEventSourcePtr output;
    if (status == 0xC0 && request.bytes.size() == 2)
        output = std::make_shared<QRBMidiPCFromContinuousValueEventSource>();
    else if (status == 0xB0 && request.bytes.size() == 3)
        output = QRBEventSourceManager::sharedInstance().fetchMidiCC(request.bytes[1] & 0x7F);
    // The request's status and length were checked before: only a missing shared output is left.
    if (!output)
        return refuse("API: %s, no MIDI output for message %s[%li]", address,
                      foundation::logQuoted(request.path).c_str(), long(request.index));
    action.setEventSource(output);
    action.setChannel(channel);
    setUserOutputRange(action, request.dataMin, request.dataMax);
    return 0;
}

int QRBInterpretationManager::mapToMIDITemplate(const char* address, QRBAction& action,
                                                const MIDIMappingRequest& request) {
    auto manager = oscManager();
    auto midi = manager ? manager->midiManager() : nullptr;
    if (!midi)
        return refuse("API: %s, MIDI templates are not available: message %s[%li] is not mapped", address,
                      foundation::logQuoted(request.path).c_str(), long(request.index));

    auto candidate = std::make_shared<QRBMIDITemplate>();
    candidate->setName(request.templateName);
    // A template refuses a bound equal to the other one: the order of the two settings keeps the
    // range from passing through an empty one (the bounds asked for differ, as checked).
    if (request.dataMin != candidate->dataMax()) {
        candidate->setDataMin(request.dataMin);
        candidate->setDataMax(request.dataMax);
    } else {
        candidate->setDataMax(request.dataMax);
        candidate->setDataMin(request.dataMin);
    }
    candidate->setTemplateBytes(foundation::Data(request.bytes.begin(), request.bytes.end()));
    std::vector<QRBMIDISubstitutionPtr> substitutions;
    std::vector<size_t> indexes;
    for (const MIDISubstitutionRequest& substitution : request.substitutions) {
        indexes.push_back(substitutions.size());
        substitutions.push_back(makeSubstitution(substitution, request.dataMin, request.dataMax));
    }
    if (!substitutions.empty()) candidate->insertSubstitutions(substitutions, indexes);

    // The document's bounds: a new collection, and a template that no equal one already stands
    // for, count against them.
    QRBMIDICollectionPtr found;
    size_t templates = 0;
    size_t templateBytes = 0;
    for (const auto& collection : midi->templatesCollections()) {
        if (!found && collection->name() == request.collectionName) found = collection;
        templates += collection->templateList().size();
        for (const auto& t : collection->templateList()) templateBytes += t->templateBytes().size();
    }
    if (!found && midi->templatesCollections().size() >= kMaxDocumentCollections)
        return refuse("API: %s, cannot make template collection %s: the document holds %zu, the most the API adds to",
                      address, foundation::logQuoted(request.collectionName).c_str(),
                      midi->templatesCollections().size());
    // An equal template already there is the one used, as the collection's maybeAddTemplate
    // would find it; looked for once here.
    QRBMIDITemplatePtr known;
    if (found)
        for (const auto& t : found->templateList())
            // The bytes first: they tell most templates apart at a glance.
            if (t->templateBytes() == candidate->templateBytes() && t->isEqualToEventSource(*candidate)) {
                known = t;
                break;
            }
    if (known) {
        action.setEventSource(known);
        return 0;
    }
    if (templates >= kMaxDocumentTemplates || templateBytes + request.bytes.size() > kMaxDocumentTemplateBytes)
        return refuse(
            "API: %s, cannot add template %s to %s: the document holds %zu templates of %zu bytes, the "
            "most the API adds to",
            address, foundation::logQuoted(request.templateName).c_str(),
            foundation::logQuoted(request.collectionName).c_str(), templates, templateBytes);

    QRBMIDICollectionPtr collection = found ? found : midi->ensureTemplateCollectionNamed(request.collectionName);
    collection->insertTemplate(candidate, collection->templateList().size());
    action.setEventSource(candidate);
    return 0;
}

int QRBInterpretationManager::mapToAllChannels(const char*, QRBAction& action, int32_t minimum, int32_t maximum) {
    action.setEventSource(std::make_shared<QRBAllChannelsEventSource>());
    // In channel numbers, as the user sees them: stored units are a fraction of the output's span.
    setUserOutputRange(action, minimum, maximum);
    return 0;
}

int QRBInterpretationManager::mapToArgumentChannel(const char* address, QRBAction& action, QRBAction& target,
                                                   int32_t minimum, int32_t maximum) {
    if (!target.context())
        return refuse("API: %s, %s has no place in a message: %s is not mapped", address,
                      foundation::logQuoted(target.address()).c_str(), foundation::logQuoted(action.address()).c_str());
    action.setEventSource(QRBChannelEventSource::create(target.location()));
    setUserOutputRange(action, minimum, maximum);
    return 0;
}
