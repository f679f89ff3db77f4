#include "document/EngineClasses.h"

#include "controllers/QRBKeyComboEventSource.h"
#include "controllers/QRBKeyEventSource.h"
#include "controllers/QRBMouseEventSource.h"
#include "controllers/QRBKeyEventManager.h"
#include "controllers/QRBScriptEventSource.h"
#include "controllers/QRBScriptManager.h"
#include "controllers/QRBWiiAbstractEventSource.h"
#include "controllers/QRBWiiEnableEventSource.h"
#include "controllers/QRBWiiLEDEventSource.h"
#include "controllers/QRBWiiMotionPlusReset.h"
#include "controllers/QRBWiiRemote.h"
#include "controllers/QRBWiiRemoteManager.h"
#include "controllers/QRBWiiVibrateEventSource.h"
#include "core/mapping/QRBActionConfigurator.h"
#include "core/mapping/QRBActionLocation.h"
#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBDupAction.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/mapping/QRBSnapshot.h"
#include "core/monitor/QRBLivePlotController.h"
#include "core/monitor/QRBMessageMonitor.h"
#include "core/osc/QRBArg.h"
#include "core/osc/QRBOSCMessage.h"
#include "core/osc/QRBTarget.h"
#include "core/outputs/QRBArgToken.h"
#include "core/outputs/QRBCCEventSource.h"
#include "core/outputs/QRBEventSource.h"
#include "core/outputs/QRBKeptEventSource.h"
#include "document/QRBBackmappingEventSource.h"
#include "document/QRBManager.h"
#include "document/QRBNotesInfos.h"
#include "document/QRBRouteEventSource.h"
#include "document/QuorbitalCore.h"
#include "features/NSLogEventSource.h"
#include "features/QRBContextFilterManager.h"
#include "features/QRBDelayEventSource.h"
#include "features/QRBDummyEventSource.h"
#include "features/QRBEventSourceManager.h"
#include "features/QRBInterpretationManager.h"
#include "features/QRBKymaCCEventSource.h"
#include "features/QRBMetaEnable.h"
#include "features/QRBPresetChangeEventSourceBase.h"
#include "features/QRBSnapshotEventSourceBase.h"
#include "features/QRBTimeEventsManager.h"
#include "features/QRBVariable.h"
#include "flame/QRBFlameLink.h"
#include "foundation/FoundationClasses.h"
#include "foundation/KeyedArchiver.h"
#include "midi/QRBMIDIManager.h"
#include "midi/outputs/QRBChannelEventSource.h"
#include "midi/outputs/QRBKymaNoteEventSource.h"
#include "midi/outputs/QRBKymaPCEventSource.h"
#include "midi/outputs/QRBMidiCCEventSource.h"
#include "midi/outputs/QRBMidiNoteEventSource.h"
#include "midi/outputs/QRBMidiPacketEventSource.h"
#include "midi/outputs/QRBNoteOnOffEventSource.h"
#include "midi/outputs/QRBNoteValuesEventSource.h"
#include "midi/tarn/TarnMIDIEndpoint.h"
#include "midi/templates/QRBMIDICollection.h"
#include "midi/templates/QRBMIDISubstitution.h"
#include "midi/templates/QRBMIDITemplate.h"

#include <memory>
#include <string>
#include <vector>

namespace {

using foundation::registerArchivedClass;

// Archived classes that are not outputs, one line each.
void registerArchivedClasses() {
    // core/osc
    registerArchivedClass<QRBArg>();
    registerArchivedClass<QRBOSCMessage>();
    registerArchivedClass<QRBTarget>();
    // core/mapping
    registerArchivedClass<QRBConcreteAction>();
    registerArchivedClass<QRBDupAction>();
    registerArchivedClass<QRBContext>();
    registerArchivedClass<QRBActionLocation>();
    registerArchivedClass<QRBPreset>();
    registerArchivedClass<QRBPresetManager>();
    registerArchivedClass<QRBSnapshotElement>();
    registerArchivedClass<QRBSnapshot>();
    // core/outputs: the argument tokens of routes
    registerArchivedClass<QRBArgToken>();
    registerArchivedClass<QRBArgTokenCopy>();
    registerArchivedClass<QRBArgTokenStatic>();
    registerArchivedClass<QRBArgTokenIndexValue>();
    registerArchivedClass<QRBArgTokenVarRef>();
    registerArchivedClass<QRBArgTokenByRef>();
    registerArchivedClass<QRBArgTokenUpdateRef>();
    registerArchivedClass<QRBArgTokenGroup>();
    // core/monitor
    registerArchivedClass<QRBMessageMonitor>();
    registerArchivedClass<QRBHeadlessLivePlotController>();
    // document
    registerArchivedClass<QRBManager>();
    registerArchivedClass<QRBNotesInfos>();
    // features
    registerArchivedClass<QRBContextFilterManager>();
    registerArchivedClass<QRBInterpretationManager>();
    registerArchivedClass<QRBTimeEventsManager>();
    // midi
    registerArchivedClass<QRBMIDIManager>();
    registerArchivedClass<TarnMIDIEndpointDescriptor>();
    registerArchivedClass<TarnMIDIRealSource>();
    registerArchivedClass<TarnMIDIRealDestination>();
    registerArchivedClass<QRBMIDIByteSubstitution>();
    registerArchivedClass<QRBMIDITextSubstitution>();
    registerArchivedClass<QRBMIDIChecksumSubstitution>();
    // controllers
    registerArchivedClass<QRBKeyEventManager>();
    registerArchivedClass<QRBScriptManager>();
    registerArchivedClass<QRBWiiRemote>();
    registerArchivedClass<QRBWiiRemoteManager>();
}

// Output types: each goes into the type registry (QRBEventSourceClass::classNamed) and into
// archives, one line each.
void registerOutputTypes() {
    registerEventSourceClass<QRBEventSource>();
    registerEventSourceClass<QRBRouteEventSource>();
    registerEventSourceClass<QRBBackmappingEventSource>();
    registerEventSourceClass<QRBCCEventSource>();
    // features: switching mappings, snapshots, enables, variables, logs and delays
    registerEventSourceClass<QRBPresetChangeEventSourceBase>();
    registerEventSourceClass<QRBPresetChangeEventSource>();
    registerEventSourceClass<QRBPresetEventSource>();
    registerEventSourceClass<QRBPresetChangeIndexedEventSource>();
    registerEventSourceClass<QRBSnapshotEventSourceBase>();
    registerEventSourceClass<QRBSnapshotTakeEventSource>();
    registerEventSourceClass<QRBSnapshotRecallEventSourceBase>();
    registerEventSourceClass<QRBSnapshotRelativeRecallEventSource>();
    registerEventSourceClass<QRBSnapshotIndexedRecallEventSource>();
    registerEventSourceClass<QRBSnapshotRecallEventSource>();
    registerEventSourceClass<QRBForcePresetRestoreEventSource>();
    registerEventSourceClass<QRBDummyEventSource>();
    registerEventSourceClass<QRBMetaEnable>();
    registerEventSourceClass<detail::QRBToggledEnable>();
    registerEventSourceClass<detail::QRBLatchedEnable>();
    registerEventSourceClass<detail::QRBLatchedCombine>();
    registerEventSourceClass<QRBVariable>();
    registerEventSourceClass<NSLogEventSource>();
    registerEventSourceClass<NSLogLimitEventSource>();
    registerEventSourceClass<QRBDelayEventSource>();
    // MIDI output
    registerEventSourceClass<QRBMidiCCEventSource>();
    registerEventSourceClass<QRBMidiCCToggleEventSource>();
    registerEventSourceClass<QRBAbstractNoteEventSource>();
    registerEventSourceClass<QRBMidiNoteEventSource>();
    registerEventSourceClass<QRBChannelVelocityEventSource>();
    registerEventSourceClass<QRBChannelPressureEventSource>();
    registerEventSourceClass<QRBPitchBendEventSource>();
    registerEventSourceClass<QRBKymaPCEventSource>();
    registerEventSourceClass<QRBMidiPCEventSource>();
    registerEventSourceClass<QRBMidiPCFromContinuousValueEventSource>();
    registerEventSourceClass<QRBMidiPacketEventSource>();
    registerEventSourceClass<QRBChannelEventSource>();
    registerEventSourceClass<QRBAllChannelsEventSource>();
    registerEventSourceClass<QRBNoteValuesEventSource>();
    registerEventSourceClass<QRBNoteOnOffEventSource>();
    registerEventSourceClass<QRBMidiNoteOnOffEventSource>();
    registerEventSourceClass<QRBKymaNoteEventSource>();
    registerEventSourceClass<QRBKymaChannelVelocityEventSource>();
    // Kyma controls
    registerEventSourceClass<detail::QRBKymaCCEventSource>();
    registerEventSourceClass<detail::QRBKymaExtEventSource>();
    // controllers
    registerEventSourceClass<QRBKeyComboEventSource>();
    registerEventSourceClass<QRBKeyEventSource>();
    registerEventSourceClass<QRBKeyFromCodeEventSource>();
    registerEventSourceClass<QRBMouseEventSource>();
    registerEventSourceClass<QRBScriptEventSource>();
    registerEventSourceClass<QRBWiiAbstractEventSource>();
    registerEventSourceClass<QRBWiiVibrateEventSource>();
    registerEventSourceClass<QRBWiiEnableEventSource>();
    registerEventSourceClass<QRBWiiLEDEventSource>();
    registerEventSourceClass<QRBWiiMotionPlusReset>();
    // midi: the template tree (the element class is abstract: a class object, not archived)
    QRBEventSourceClass::registerClass(QRBMIDIElement::staticClass());
    registerEventSourceClass<QRBMIDICollection>();
    registerEventSourceClass<QRBMIDITemplate>();

    // An output of a class this version lacks decodes as a stand-in that keeps what it holds, also
    // when one of its superclasses exists: a controller output of an unknown kind must not become
    // a plain one and be saved under the wrong class.
    for (const char* ancestor : {QRBEventSource::kArchivedClassName, QRBCCEventSource::kArchivedClassName}) {
        foundation::ClassRegistry::shared().registerStandIn(
            ancestor,
            [](const std::string& className, const std::vector<std::string>& classes) -> foundation::ObjectPtr {
                return std::make_shared<QRBKeptEventSource>(className, classes);
            });
    }
}

// Names earlier versions archived classes under, for every archive the process reads (pasteboard
// and exchange files too, also before any document is opened). One table serves both this and
// the documents' decoding, so that no archive reads an old name another one refuses.
void registerSubstitutions() {
    auto& registry = foundation::ClassRegistry::shared();
    for (const auto& [archivedName, currentName] : QuorbitalCore::classSubstitutions())
        registry.setSubstitution(archivedName, currentName);
}

// Hooks through which one part of the engine reaches another it must not include.
void installHooks() {
    // The manager backmaps input into routes of this class; the route's header includes the
    // manager's, so the manager reaches it through this maker instead.
    QRBManager::setBackmappingRouteMaker(&QRBBackmappingEventSource::makeRoute);
    // New contexts and actions are named and configured by address family.
    QRBActionConfigurator::setShared(QRBEventSourceManager::sharedPointer());
    // Controller outputs stand on the core's floor and write to the Flame device through this.
    QRBFlameLink::installControllerWrite();
}

void registerAll() {
    foundation::registerFoundationClasses();
    registerArchivedClasses();
    registerOutputTypes();
    registerSubstitutions();
    installHooks();
}

}  // namespace

void registerEngineClasses() {
    static const bool registered = (registerAll(), true);
    (void)registered;
}
