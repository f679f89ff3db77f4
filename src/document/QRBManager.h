#pragma once
// The root object of a document and its routing engine. It owns everything a document routes
// with: the UDP and TCP servers of the document's port, the OSC targets and routes, the 128
// variables, the preset manager (and through it the presets, their contexts and actions), the
// message monitor, the activity timer and the sub-managers of the devices and features. It starts
// and stops routing, sends OSC output, announces changes, browses Bonjour for OSC services and
// offers them as targets, and is archived as the document's root object.
//
// Input: every top-level context of the current preset has an entry in both servers' method
// tables, and a catch-all entry after them takes every other address. A new address becomes a new
// context (unless input is locked), the paths under "/quorbital/" are application commands, and
// a message that carries a backmapping request gives its new context return routes
// (QRBManagerInput.cpp, LibloCallbacks.h). The table's handlers hold the contexts and the manager
// weakly, so a context that is gone, or a manager, is never reached; an entry of a preset that is
// no longer current is passed over until the table is rebuilt.
//
// Everything here runs on the main thread. Make a new manager with create(); the archive makes
// decoded ones.

#include "core/mapping/QRBActionHost.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/monitor/QRBMessageMonitor.h"
#include "core/osc/QRBArg.h"
#include "core/osc/QRBIPv6Datagrams.h"
#include "core/osc/QRBMessageEndpoint.h"
#include "core/osc/QRBOSCMessage.h"
#include "core/osc/QRBServer.h"
#include "core/outputs/QRBEventSource.h"
#include "foundation/Date.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/NetService.h"
#include "foundation/Object.h"
#include "foundation/Observation.h"
#include "foundation/SortDescriptor.h"
#include "foundation/UndoManager.h"
#include "foundation/UndoableList.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QRBActionLocation;
class QRBActivityTimer;
class QRBContextFilterManager;
class QRBInterpretationManager;
class QRBKeyEventManager;
class QRBMIDIManager;
class QRBManager;
class QRBScriptManager;
class QRBTarget;
class QRBTimeEventsManager;
class QRBWacomManager;
class QRBWiiRemoteManager;
using QRBManagerPtr = std::shared_ptr<QRBManager>;
using QRBTargetPtr = std::shared_ptr<QRBTarget>;

// Posted by the manager, with the manager as object: an output changed (user info {"NSObject":
// the output}), and a server failed (no user info; the text is the manager's lastOSCError).
inline constexpr const char* kQRBEventSourceChangedNotification = "QRBEventSourceChangedNotification";
inline constexpr const char* kQRBManagerReceiveErrorOccurredNotification = "QRBManagerReceiveErrorOccurredNotification";
inline constexpr const char* kQRBNotificationObjectKey = "NSObject";

// One argument token of a return route that backmapping makes: the plain value of the received
// argument (Plain), the current value of the action at `location` (ByRef), or the received value
// written into that action first (UpdateRef).
struct QRBBackmappingToken {
    enum class Kind { Plain, ByRef, UpdateRef };
    Kind kind = Kind::Plain;
    std::shared_ptr<QRBActionLocation> location;
    int32_t type = 'N';
};

// Makes a return route to `rewriteAddress` with `tokens`, for an action that backmapping gives a
// way back to an existing mapping. registerEngineClasses installs QRBBackmappingEventSource's;
// without one nothing is backmapped.
using QRBBackmappingRouteMaker =
    std::function<QRBEventSourcePtr(const std::string& rewriteAddress, const std::vector<QRBBackmappingToken>& tokens)>;

class QRBManager : public foundation::Object,
                   public foundation::Observable,
                   public QRBActionHost,
                   public QRBServerDelegate,
                   public foundation::NetServiceBrowserDelegate {
    FND_ARCHIVED_CLASS("QRBManager", foundation::Object)

public:
    static constexpr int64_t kArchiveVersion = 2;
    static constexpr size_t kTargetSlotCount = 16;
    static constexpr size_t kVariableCount = 128;
    // Target identifiers of routes: the local target and the default target; 0 and up name a slot.
    static constexpr long kLocalTargetIdentifier = -2;
    static constexpr long kDefaultTargetIdentifier = -1;
    static constexpr long kNotFound = std::numeric_limits<long>::max();

    static constexpr const char* kInputEndpointName = "OSC Input";
    static constexpr const char* kRoutesSortKey = "rewriteAddress";
    // Observable key: the routes list.
    static constexpr const char* kOscRoutesKey = "oscRoutes";
    static constexpr const char* kQuitCommand = "/quorbital/quit";
    static constexpr const char* kMappingPath = "/quorbital/mapping";
    // Lines of the monitor.
    static constexpr const char* kRoutingStarted = "Routing started";
    static constexpr const char* kRoutingFailed = "Error occurred when starting routing";
    // A document's port that names no real port.
    static constexpr const char* kInvalidPortFormat = "OSC port %lld is outside 1 to 65535";
    static bool isValidServerPort(int64_t port);
    static constexpr const char* kRoutingPaused = "Routing paused.";

    // A new manager: 16 targets, the local target, 128 variables, default target 0, input
    // unlocked, both servers on port 0 until setServerPort.
    static QRBManagerPtr create();
    // An empty manager for the archive to fill; use create() for a new one.
    QRBManager();
    ~QRBManager() override;
    QRBManager(const QRBManager&) = delete;
    QRBManager& operator=(const QRBManager&) = delete;

    // ---- routing
    // Starts the UDP server, then the TCP server; when both run, registers the methods, browses
    // Bonjour and starts the tablet and Wii managers; otherwise stops everything. Records the
    // outcome in the monitor.
    bool start();
    // All notes off, then the Wii and tablet managers, the servers and the browsers stop; the
    // targets drop their addresses. Records "Routing paused." when routing ran.
    void stop();
    // stop; every preset invalidated when asked; then the key event, MIDI and Wii managers close.
    void close(bool invalidatePresets);
    void close() { close(true); }
    bool isRunning() const { return running_; }
    void setRunning(bool running) { running_ = running; }

    // A change gives both servers the port (used at their next start) and hands the UDP
    // server's loopback URL to the MIDI, tablet and Wii managers and to the local target.
    void setServerPort(long port);
    long serverPort() const { return serverPort_; }
    std::string loopbackURL() const;

    const std::shared_ptr<foundation::UndoManager>& undoManager() const { return undoManager_; }
    // Stores it and hands it to the targets, the preset manager and the Wii, key event, MIDI,
    // script and time events managers.
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager);

    bool isInputLocked() const override { return inputLocked_; }
    void setInputLocked(bool locked) { inputLocked_ = locked; }

    // ---- targets
    const std::vector<QRBTargetPtr>& oscTargets() const { return oscTargets_; }
    const QRBTargetPtr& localTarget() const { return localTarget_; }
    long defaultTargetIndex() const { return defaultTargetIndex_; }
    // Undoable (no action name); nothing when unchanged.
    void setDefaultTargetIndex(long index);
    // Asserts an index of the list.
    QRBTargetPtr targetAtIndex(long index) const;
    // -2 the local target, -1 the default target, else the slot; null for a slot (or a default
    // index) that the list does not have, as documents and routes may name one.
    QRBTargetPtr targetWithIdentifier(long identifier) const;
    // kNotFound when absent.
    long indexOfTarget(const QRBTargetPtr& target) const;

    // ---- routes (each change registers its inverse and is announced to observers of "oscRoutes")
    const std::vector<QRBEventSourcePtr>& oscRoutes() const { return oscRoutes_.elements(); }
    size_t countOfOscRoutes() const { return oscRoutes_.size(); }
    QRBEventSourcePtr objectInOscRoutesAtIndex(size_t index) const;
    // Gives the route the manager's undo manager, then inserts.
    void insertObject(const QRBEventSourcePtr& route, size_t inOscRoutesAtIndex);
    void removeObjectFromOscRoutesAtIndex(size_t index);
    const std::vector<foundation::SortDescriptorPtr>& oscRoutesSortDescriptors() const {
        return oscRoutesSortDescriptors_;
    }
    void setOscRoutesSortDescriptors(std::vector<foundation::SortDescriptorPtr> descriptors) {
        oscRoutesSortDescriptors_ = std::move(descriptors);
    }

    // ---- variables: 128 values that outputs read and change in place.
    const std::vector<QRBArgPtr>& variableValues() const { return variableValues_; }
    // Null for an index of 128 or more.
    QRBArgPtr variableValueAtIndex(uint64_t index) const override;

    // ---- contexts and actions of the current preset
    QRBContextPtr contextWithName(const std::string& address) const;
    // Takes the context out of the current preset; its method entry stays until the next
    // registration (it holds the context weakly).
    void removeContext(const std::shared_ptr<QRBContext>& context) override;
    std::vector<QRBActionPtr> allActions() const;
    // The actions of every preset whose output is one of `sources`, each once.
    std::vector<QRBActionPtr> actionsUsingEventSources(const std::vector<QRBEventSourcePtr>& sources) const;

    // ---- output
    // Sends over the target's TCP connection for a TCP target (while the TCP server runs), else
    // through the UDP server (so replies come back to the document's port). 1 when sent or held
    // for a connection under way (recorded in the monitor under the target's endpoint), -1 when
    // the target has no address or sending failed (logged as "Error %i during OSC routing: %s"
    // with the error number and its text).
    long sendOSCMessage(const QRBOSCMessagePtr& message, const QRBTargetPtr& to);
    // The same for a message given as its path and arguments, made only when the monitor
    // records it. `valuesInPlace`: the arguments are values their owner goes on changing (an
    // action's own), which the recorded message holds copies of. Asserts that no argument is
    // null.
    long sendOSCMessage(const std::string& path, const std::vector<QRBArgPtr>& arguments, const QRBTargetPtr& to,
                        bool valuesInPlace);

    // ---- announcements
    void notifyActivityOnAction(QRBAction& action) override;
    void notifyEventSourceChanged(const QRBEventSourcePtr& eventSource);
    // A server's failure: reported.
    void server(QRBServer& server, const std::string& errorOccurred) override;
    // Stores the text as lastOSCError and posts "QRBManagerReceiveErrorOccurredNotification".
    void reportError(const std::string& text);
    const std::optional<std::string>& lastOSCError() const { return lastOSCError_; }
    void setLastOSCError(const std::optional<std::string>& text) { lastOSCError_ = text; }

    // ---- what contexts and actions ask
    QRBMessageMonitorPtr messageMonitor() const override { return messageMonitor_; }
    void setLastRecalledSnapshotDirty() override;
    std::shared_ptr<QRBPresetManager> presetManager() const override { return presetManager_; }
    // "oscRoutes", "keyEventManager.keyCombos", "scriptManager.appleScripts",
    // "midiManager.templatesCollections".
    std::shared_ptr<QRBEventSourceCollection> eventSourceCollection(const std::string& keyPath) override;

    // ---- parts
    const std::shared_ptr<QRBActivityTimer>& activityMonitor() const { return activityMonitor_; }
    void setActivityMonitor(std::shared_ptr<QRBActivityTimer> timer) { activityMonitor_ = std::move(timer); }
    const std::shared_ptr<QRBContextFilterManager>& contextFilterManager() const { return contextFilterManager_; }
    const std::shared_ptr<QRBKeyEventManager>& keyEventManager() const { return keyEventManager_; }
    const std::shared_ptr<QRBScriptManager>& scriptManager() const { return scriptManager_; }
    const std::shared_ptr<QRBMIDIManager>& midiManager() const { return midiManager_; }
    const std::shared_ptr<QRBWacomManager>& wacomManager() const { return wacomManager_; }
    const std::shared_ptr<QRBWiiRemoteManager>& wiiManager() const { return wiiManager_; }
    // Whether the archive this manager was decoded from held a Wii remote manager: documents of
    // the current format always do. (Decoding makes one when the archive had none.)
    bool archiveHeldWiiManager() const { return archiveHeldWiiManager_; }
    const std::shared_ptr<QRBInterpretationManager>& tuioManager() const { return tuioManager_; }
    const std::shared_ptr<QRBTimeEventsManager>& timeEventsManager() const { return timeEventsManager_; }
    const QRBMessageEndpointPtr& oscInputEndpoint() const { return oscInputEndpoint_; }
    void setOscInputEndpoint(QRBMessageEndpointPtr endpoint) { oscInputEndpoint_ = std::move(endpoint); }
    const std::shared_ptr<QRBServer>& udpServer() const { return udpServer_; }
    const std::shared_ptr<QRBServer>& tcpServer() const { return tcpServer_; }

    // ---- Bonjour: both browsers share the list of found services, kept sorted by name; a browser
    // that starts a search, or cannot, takes its own services off the list.
    const std::vector<std::shared_ptr<foundation::NetService>>& oscFoundServices() const { return oscFoundServices_; }
    const std::shared_ptr<foundation::NetServiceBrowser>& oscUDPServiceBrowser() const { return oscUDPServiceBrowser_; }
    const std::shared_ptr<foundation::NetServiceBrowser>& oscTCPServiceBrowser() const { return oscTCPServiceBrowser_; }
    void setOscUDPServiceBrowser(std::shared_ptr<foundation::NetServiceBrowser> browser);
    void setOscTCPServiceBrowser(std::shared_ptr<foundation::NetServiceBrowser> browser);
    void netServiceBrowserWillSearch(foundation::NetServiceBrowser& browser) override;
    void netServiceBrowserDidNotSearch(foundation::NetServiceBrowser& browser,
                                       const foundation::Dictionary& errorDict) override;
    // Lists the service; one that may be used automatically and that no target names goes to the
    // default target unless it is protected, else to the first target that is not configured.
    // Every target is told.
    void netServiceBrowserDidFindService(foundation::NetServiceBrowser& browser,
                                         const std::shared_ptr<foundation::NetService>& service,
                                         bool moreComing) override;
    void netServiceBrowserDidRemoveService(foundation::NetServiceBrowser& browser,
                                           const std::shared_ptr<foundation::NetService>& service,
                                           bool moreComing) override;
    // Not one of this application's own servers ("Quorbital" in the name), and no "AppleLogic"
    // key in its TXT record.
    bool validateServiceForAutomaticUse(const foundation::NetService& service) const;
    bool anyTargetMatchesService(const foundation::NetService& service) const;

    // ---- older documents, converted by the decoder before an undo manager is set
    // Replaces the routes with those of the array (null: nothing).
    void fixOscRoutes(const foundation::Value& routes);
    // Makes the default target the one equal to `target`, else the first service target, else
    // puts a configured `target` into the first unconfigured slot, else slot 0.
    void fixDefaultTarget(const QRBTargetPtr& target);
    // A Wii manager archived beside the manager replaces its own (null: nothing).
    void fixWiiRemoteManager(const std::shared_ptr<QRBWiiRemoteManager>& manager);
    // The parameters record of older documents: routes, default target, key combinations,
    // scripts and MIDI settings.
    void fixParameters(const foundation::Dictionary& parameters);

    // ---- input (QRBManagerInput.cpp)
    // Rebuilds both servers' tables: the current preset's top-level contexts in order, the
    // interpretation manager's entries, then the catch-all. Asked for while one of the servers
    // dispatches (an incoming message switched presets), the old entries are passed over at
    // once and the rebuild follows when the dispatch has returned.
    void registerAllMethods();
    // An entry for a top-level context's address on both servers; YES when both took it (a
    // stopped server, or an address with a pattern character, refuses).
    bool registerContext(const QRBContextPtr& context);
    // A message for an address without an entry, or from a producer inside the application: its
    // context (made when missing, unless input is locked) receives it, and the monitor records
    // it in any case.
    void receive(const QRBOSCMessagePtr& message, const QRBMessageEndpointPtr& source, foundation::Date date);
    // The current preset's context for the address, or a new registered one; null while input is
    // locked. `isNew` (may be null) tells whether there was none.
    QRBContextPtr ensureContextWithName(const std::string& address, bool* isNew);
    // A new context for the address in the current preset when both servers register it; undo
    // registration is off meanwhile.
    QRBContextPtr createContextWithName(const std::string& address);
    // An application command (argument: the text of a single string argument). "/quorbital/quit"
    // closes the manager and ends the application once the dispatch under way has returned;
    // every command goes to the Wii manager.
    void notifyCommand(const std::string& name, const std::optional<std::string>& withArgument,
                       const std::string& fromHost, const std::string& fromPort);
    // A message with a "backmapping" request in its user info gives `context` return routes to
    // the mappings whose output is the request's "eventSource" (and whose channel is its
    // "channel", unless that is null).
    void checkBackmappingWithMessage(const QRBOSCMessagePtr& message, const QRBContextPtr& forContext);
    // Gives `action` a return route to every top-level mapping the predicate selects: the first
    // on the action itself, each further one on a duplicate of the one before. YES when any
    // matched.
    bool backmapAction(const QRBActionPtr& action,
                       const std::function<bool(const QRBAction&)>& toActionsSatisfyingPredicate);
    // The mapping message: "/quorbital/mapping" (name, number, 1) then (name, number, 0), as input
    // from the application. While routing is stopped (a document being opened) it waits, the
    // latest one only, and goes once routing has started: before, its context could not be made
    // and its outputs could not send.
    void sendChangeMessageForMappingName(const std::string& name, uint32_t mappingNumber);
    // 1 January 1900, 00:00:00 UTC: the origin of OSC time tags.
    static foundation::Date timetagReferenceDate();

    // ---- process-wide hooks
    // Ends the application after "/quorbital/quit"; the start-up installs its own. Without one
    // the main run loop is stopped.
    static void setTerminateApplicationHandler(std::function<void()> handler);
    // The backmapping route output installs its maker (registerEngineClasses).
    static void setBackmappingRouteMaker(QRBBackmappingRouteMaker maker);
    static QRBBackmappingRouteMaker currentBackmappingRouteMaker();

    // ---- archive
    // "Version" 2, "LibloHandlerPort", "QRBInputLocked", "defaultTargetIndex", "oscTargets",
    // "oscRoutes", "oscRoutesSortDescriptors", "QRBPresetManager", "contextFilterManager",
    // "keyEventManager", "scriptManager", "midiManager", "tuioManager", "wiiManager",
    // "timeEventsManager", "messageMonitor", "variableValues". Decoding converts older documents
    // (see the source) and never restores the input lock.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    std::shared_ptr<QRBManager> self() { return std::static_pointer_cast<QRBManager>(shared_from_this()); }
    // What both init paths end with: makes what is missing and keeps what there is.
    void privateInit();
    void presetManagerChanged(const foundation::KeyValueChange& change);
    void recordApplicationMessage(const std::string& presentation, const std::optional<std::string>& details);
    void forgetServicesOf(const foundation::NetServiceBrowser& browser);
    // Output: sends `arguments` under `path` to the target, then hands the sent message to
    // `record` (the monitor's part).
    template <class Record>
    long sendArguments(const std::string& path, const std::vector<QRBArgPtr>& arguments, QRBTarget& target,
                       const Record& record);
    // Input.
    bool isDispatching() const;
    void registerAllMethodsNow();
    QRBMethodHandler routingHandler(const QRBContextPtr& context);
    QRBMethodHandler catchAllHandler();

    std::vector<std::shared_ptr<foundation::NetService>> oscFoundServices_;
    std::vector<QRBTargetPtr> oscTargets_;
    foundation::UndoableList<QRBManager, QRBEventSource> oscRoutes_{
        kOscRoutesKey, {.insert = &QRBManager::insertObject, .remove = &QRBManager::removeObjectFromOscRoutesAtIndex}};
    std::vector<foundation::SortDescriptorPtr> oscRoutesSortDescriptors_;
    bool hasRoutesSortDescriptors_ = false;
    bool running_ = false;
    // The mapping message that waits for routing to start (sendChangeMessageForMappingName).
    std::optional<std::pair<std::string, uint32_t>> pendingMappingName_;
    bool inputLocked_ = false;
    std::shared_ptr<foundation::UndoManager> undoManager_;
    std::shared_ptr<QRBActivityTimer> activityMonitor_;
    QRBMessageMonitorPtr messageMonitor_;
    std::shared_ptr<QRBContextFilterManager> contextFilterManager_;
    std::shared_ptr<QRBPresetManager> presetManager_;
    std::shared_ptr<QRBKeyEventManager> keyEventManager_;
    std::shared_ptr<QRBScriptManager> scriptManager_;
    std::shared_ptr<QRBMIDIManager> midiManager_;
    std::shared_ptr<QRBWacomManager> wacomManager_;
    std::shared_ptr<QRBWiiRemoteManager> wiiManager_;
    std::shared_ptr<QRBInterpretationManager> tuioManager_;
    std::shared_ptr<QRBTimeEventsManager> timeEventsManager_;
    long serverPort_ = 0;
    bool archiveHeldWiiManager_ = false;
    std::optional<std::string> lastOSCError_;
    QRBMessageEndpointPtr oscInputEndpoint_;
    long defaultTargetIndex_ = 0;
    QRBTargetPtr localTarget_;
    std::vector<QRBArgPtr> variableValues_;
    std::shared_ptr<foundation::NetServiceBrowser> oscUDPServiceBrowser_;
    std::shared_ptr<foundation::NetServiceBrowser> oscTCPServiceBrowser_;
    std::shared_ptr<QRBServer> udpServer_;
    std::shared_ptr<QRBServer> tcpServer_;
    QRBIPv6Datagrams ipv6Datagrams_;  // UDP output to IPv6 targets
    // Where messages sent as bytes are serialised: kept, so that a send allocates nothing.
    std::vector<uint8_t> sendBuffer_;

    // The method table's entries of contexts carry the generation they were made in; a request
    // to rebuild the table starts a new one, and older entries are passed over from then on.
    uint64_t registrationGeneration_ = 0;
    bool registrationPending_ = false;

    // Last, so that they go first: no preset change reaches a manager being destroyed.
    foundation::ObservationToken currentPresetObservation_;
    foundation::ObservationToken sendPresetNameObservation_;
};
