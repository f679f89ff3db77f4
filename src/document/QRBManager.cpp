#include "document/QRBManager.h"

#include "controllers/QRBKeyEventManager.h"
#include "controllers/QRBScriptManager.h"
#include "controllers/QRBWacomManager.h"
#include "controllers/QRBWiiRemoteManager.h"
#include "core/mapping/QRBEventSourceMerger.h"
#include "core/monitor/QRBActivityTimer.h"
#include "core/osc/QRBAppMessage.h"
#include "core/osc/QRBTarget.h"
#include "core/osc/QRBTransport.h"
#include "features/QRBContextFilterManager.h"
#include "features/QRBInterpretationManager.h"
#include "features/QRBTimeEventsManager.h"
#include "foundation/ArchiveLists.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/NotificationCenter.h"
#include "midi/QRBMIDIManager.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <utility>

namespace {

// Archive keys.
constexpr const char* kVersionKey = "Version";
constexpr const char* kPortKey = "LibloHandlerPort";
constexpr const char* kInputLockedKey = "QRBInputLocked";
constexpr const char* kDefaultTargetIndexKey = "defaultTargetIndex";
constexpr const char* kTargetsKey = "oscTargets";
constexpr const char* kRoutesKey = "oscRoutes";
constexpr const char* kRoutesSortDescriptorsKey = "oscRoutesSortDescriptors";
constexpr const char* kPresetManagerKey = "QRBPresetManager";
constexpr const char* kContextFilterManagerKey = "contextFilterManager";
constexpr const char* kKeyEventManagerKey = "keyEventManager";
constexpr const char* kScriptManagerKey = "scriptManager";
constexpr const char* kMIDIManagerKey = "midiManager";
constexpr const char* kTUIOManagerKey = "tuioManager";
constexpr const char* kWiiManagerKey = "wiiManager";
constexpr const char* kTimeEventsManagerKey = "timeEventsManager";
constexpr const char* kMessageMonitorKey = "messageMonitor";
constexpr const char* kVariableValuesKey = "variableValues";
// Keys of older documents.
constexpr const char* kLegacyKeyProcessNameKey = "LibloHandlerKeyProcessName";
constexpr const char* kLegacyContextsKey = "LibloHandlerContexts";
constexpr const char* kLegacyDefaultTargetSlotKey = "defaultTargetSlot";

// Keys of the parameters record of older documents.
constexpr const char* kParamsRoutesKey = "QRBParamsRoutes";
constexpr const char* kParamsDefaultRouteKey = "QRBParamsDefaultOSCRoute";
constexpr const char* kParamsKeyCombosKey = "QRBParamsKeyCombos";
constexpr const char* kParamsScriptsKey = "QRBParamsScripts";
constexpr const char* kParamsInputModeMIDIKey = "QRBParamsInputModeMIDI";
constexpr const char* kParamsUpperPitchKey = "QRBParamsUpperPitch";
constexpr const char* kParamsLowerPitchKey = "QRBParamsLowerPitch";
constexpr const char* kParamsRepeatNotesKey = "QRBParamsRepeatNotes";
constexpr const char* kParamsBendNotesKey = "QRBParamsBendNotes";

// Bonjour.
constexpr const char* kOwnServiceMark = "Quorbital";
constexpr const char* kAppleLogicTXTKey = "AppleLogic";

// The values of a dictionary (in key order), or an array as it is; null for anything else.
foundation::Value valuesOf(const foundation::Value& value) {
    if (value.arrayValue()) return value;
    const foundation::Dictionary* dictionary = value.dictionaryValue();
    if (!dictionary) return {};
    foundation::Array values;
    for (const auto& [key, entry] : *dictionary) values.push_back(entry);
    return foundation::Value(std::move(values));
}

// The orders of found services: by name.
int compareName(const foundation::NetService& a, const foundation::NetService& b) { return a.name().compare(b.name()); }

// The document-wide lists that merged outputs join, seen through their owners' accessors.
class RoutesCollection : public QRBEventSourceCollection {
public:
    explicit RoutesCollection(std::shared_ptr<QRBManager> manager) : manager_(std::move(manager)) {}
    std::vector<QRBEventSourcePtr> eventSources() const override { return manager_->oscRoutes(); }
    void addEventSource(const QRBEventSourcePtr& source) override {
        manager_->insertObject(source, manager_->countOfOscRoutes());
    }

private:
    std::shared_ptr<QRBManager> manager_;
};

class KeyCombosCollection : public QRBEventSourceCollection {
public:
    explicit KeyCombosCollection(std::shared_ptr<QRBKeyEventManager> manager) : manager_(std::move(manager)) {}
    std::vector<QRBEventSourcePtr> eventSources() const override {
        return {manager_->keyCombos().begin(), manager_->keyCombos().end()};
    }
    void addEventSource(const QRBEventSourcePtr& source) override {
        if (auto combo = std::dynamic_pointer_cast<QRBKeyComboEventSource>(source))
            manager_->insertObject(combo, manager_->countOfKeyCombos());
    }

private:
    std::shared_ptr<QRBKeyEventManager> manager_;
};

class ScriptsCollection : public QRBEventSourceCollection {
public:
    explicit ScriptsCollection(std::shared_ptr<QRBScriptManager> manager) : manager_(std::move(manager)) {}
    std::vector<QRBEventSourcePtr> eventSources() const override {
        return {manager_->appleScripts().begin(), manager_->appleScripts().end()};
    }
    void addEventSource(const QRBEventSourcePtr& source) override {
        if (auto script = std::dynamic_pointer_cast<QRBScriptEventSource>(source))
            manager_->insertObject(script, manager_->countOfAppleScripts());
    }

private:
    std::shared_ptr<QRBScriptManager> manager_;
};

class TemplatesCollection : public QRBEventSourceCollection {
public:
    explicit TemplatesCollection(std::shared_ptr<QRBMIDIManager> manager) : manager_(std::move(manager)) {}
    std::vector<QRBEventSourcePtr> eventSources() const override {
        const auto& collections = manager_->templatesCollections();
        return {collections.begin(), collections.end()};
    }
    // Only collections belong in the list; templates are merged into collections by their own
    // merger.
    void addEventSource(const QRBEventSourcePtr& source) override {
        if (auto collection = std::dynamic_pointer_cast<QRBMIDICollection>(source))
            manager_->insertTemplatesCollections({collection}, {manager_->templatesCollections().size()});
    }

private:
    std::shared_ptr<QRBMIDIManager> manager_;
};

}  // namespace

// ---- Creation ----------------------------------------------------------------------------------

QRBManager::QRBManager() = default;

QRBManagerPtr QRBManager::create() {
    auto manager = std::make_shared<QRBManager>();
    manager->defaultTargetIndex_ = 0;
    manager->inputLocked_ = false;
    manager->privateInit();
    return manager;
}

QRBManager::~QRBManager() {
    if (activityMonitor_) activityMonitor_->stop();
    // The browsers and servers hold this manager only weakly; they go with it.
    if (oscUDPServiceBrowser_) oscUDPServiceBrowser_->setDelegate({});
    if (oscTCPServiceBrowser_) oscTCPServiceBrowser_->setDelegate({});
}

void QRBManager::privateInit() {
    auto me = self();

    activityMonitor_ = std::make_shared<QRBActivityTimer>();
    activityMonitor_->start();

    oscInputEndpoint_ =
        std::make_shared<QRBMessageEndpoint>(kInputEndpointName, QRBMessageEndpoint::kDirectionIncoming);

    udpServer_ = QRBServer::create(LO_UDP);
    udpServer_->setDelegate(me);
    tcpServer_ = QRBServer::create(LO_TCP);
    tcpServer_->setDelegate(me);

    setOscUDPServiceBrowser(foundation::NetServiceBrowser::create());
    setOscTCPServiceBrowser(foundation::NetServiceBrowser::create());

    if (variableValues_.empty()) {
        variableValues_.reserve(kVariableCount);
        for (size_t i = 0; i < kVariableCount; ++i) variableValues_.push_back(std::make_shared<QRBArg>());
    }

    if (!hasRoutesSortDescriptors_) {
        oscRoutesSortDescriptors_ = {foundation::SortDescriptor::create(kRoutesSortKey, true)};
        hasRoutesSortDescriptors_ = true;
    }
    if (oscTargets_.empty()) {
        for (size_t i = 0; i < kTargetSlotCount; ++i) oscTargets_.push_back(std::make_shared<QRBTarget>());
    }
    localTarget_ = std::make_shared<QRBTarget>();

    if (!messageMonitor_) messageMonitor_ = std::make_shared<QRBMessageMonitor>();
    if (!midiManager_) midiManager_ = QRBMIDIManager::create();
    midiManager_->setMessageMonitor(messageMonitor_);
    midiManager_->setOscManager(me);

    if (!contextFilterManager_) contextFilterManager_ = std::make_shared<QRBContextFilterManager>();
    if (!keyEventManager_) keyEventManager_ = std::make_shared<QRBKeyEventManager>();
    if (!scriptManager_) scriptManager_ = std::make_shared<QRBScriptManager>();
    if (!tuioManager_) {
        tuioManager_ = QRBInterpretationManager::initWithManager(me);
    } else if (tuioManager_->oscManager() != me) {
        // A decoded one names its manager only conditionally, while this manager is itself being
        // decoded: it is handed this one, as the contexts are below, or TUIO input and the whole
        // control API would find no document.
        tuioManager_->privateInitWithManager(me, tuioManager_->inputMode());
    }
    if (!wacomManager_) wacomManager_ = std::make_shared<QRBWacomManager>();
    if (!wiiManager_) wiiManager_ = std::make_shared<QRBWiiRemoteManager>();
    if (!presetManager_) presetManager_ = std::make_shared<QRBPresetManager>();
    if (!timeEventsManager_) timeEventsManager_ = std::make_shared<QRBTimeEventsManager>();

    // Contexts hold their manager weakly and the archive need not name it: every context of
    // every preset is this manager's.
    for (const auto& preset : presetManager_->presets())
        for (const auto& context : preset->objects()) context->setOscManager(me);

    std::weak_ptr<QRBManager> weak = me;
    auto observer = [weak](const foundation::KeyValueChange& change) {
        if (auto manager = weak.lock()) manager->presetManagerChanged(change);
    };
    currentPresetObservation_ = presetManager_->addObserver(QRBPresetManager::kCurrentPresetKey, observer);
    sendPresetNameObservation_ =
        presetManager_->addObserver(QRBPresetManager::kShouldSendPresetNameKey, observer, foundation::ObservingInitial);
}

void QRBManager::setOscUDPServiceBrowser(std::shared_ptr<foundation::NetServiceBrowser> browser) {
    if (oscUDPServiceBrowser_) oscUDPServiceBrowser_->setDelegate({});
    oscUDPServiceBrowser_ = std::move(browser);
    if (oscUDPServiceBrowser_) oscUDPServiceBrowser_->setDelegate(self());
}

void QRBManager::setOscTCPServiceBrowser(std::shared_ptr<foundation::NetServiceBrowser> browser) {
    if (oscTCPServiceBrowser_) oscTCPServiceBrowser_->setDelegate({});
    oscTCPServiceBrowser_ = std::move(browser);
    if (oscTCPServiceBrowser_) oscTCPServiceBrowser_->setDelegate(self());
}

// ---- Routing -----------------------------------------------------------------------------------

bool QRBManager::isValidServerPort(int64_t port) { return port >= 1 && port <= 65535; }

bool QRBManager::start() {
    lastOSCError_.reset();
    if (!isValidServerPort(serverPort_)) {
        // Port 0 would bind UDP and TCP to two different random ports without a word.
        reportError(foundation::format(kInvalidPortFormat, static_cast<long long>(serverPort_)));
        recordApplicationMessage(kRoutingFailed, lastOSCError_);
        return false;
    }
    const bool started = udpServer_->start() && tcpServer_->start();
    if (started) {
        registerAllMethods();
        oscUDPServiceBrowser_->searchForServicesOfType(kQRBOSCUDPServiceType, "");
        oscTCPServiceBrowser_->searchForServicesOfType(kQRBOSCTCPServiceType, "");
        wacomManager_->start();
        wiiManager_->start();
    } else {
        stop();
    }
    running_ = started;
    if (started)
        recordApplicationMessage(kRoutingStarted, std::nullopt);
    else
        recordApplicationMessage(kRoutingFailed, lastOSCError_);
    if (started && pendingMappingName_) {
        const auto [name, number] = *std::exchange(pendingMappingName_, std::nullopt);
        sendChangeMessageForMappingName(name, number);
    }
    return started;
}

void QRBManager::stop() {
    midiManager_->sendAllNotesOffOnActivePorts();
    wiiManager_->stop();
    wacomManager_->stop();
    tcpServer_->stop();
    udpServer_->stop();
    oscUDPServiceBrowser_->stop();
    oscTCPServiceBrowser_->stop();
    for (const auto& target : oscTargets_) target->invalidate();
    if (running_) recordApplicationMessage(kRoutingPaused, std::nullopt);
    running_ = false;
}

void QRBManager::close(bool invalidatePresets) {
    auto keepAlive = self();
    stop();
    if (invalidatePresets) {
        const std::vector<QRBPresetPtr> presets = presetManager_->presets();
        for (const auto& preset : presets) preset->invalidate();
    }
    keyEventManager_->close();
    midiManager_->close();
    wiiManager_->close();
}

void QRBManager::recordApplicationMessage(const std::string& presentation, const std::optional<std::string>& details) {
    messageMonitor_->monitor(QRBAppMessage::appMessageWithPresentation(presentation, details),
                             QRBMessageEndpoint::appEndpoint(), foundation::Date::now());
}

void QRBManager::setServerPort(long port) {
    if (port == serverPort_) return;
    serverPort_ = port;
    udpServer_->setPort(port);
    tcpServer_->setPort(port);
    const std::string url = loopbackURL();
    midiManager_->setTargetURL(url);
    wacomManager_->setTargetURL(url);
    wiiManager_->setTargetURL(url);
    localTarget_->setTargetSpec(url);
}

std::string QRBManager::loopbackURL() const { return udpServer_->loopbackURL(); }

void QRBManager::setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) {
    undoManager_ = undoManager;
    for (const auto& target : oscTargets_) target->setUndoManager(undoManager);
    // Decoded routes are edited too.
    for (const auto& route : oscRoutes_) route->setUndoManager(undoManager);
    presetManager_->setUndoManager(undoManager);
    wiiManager_->setUndoManager(undoManager);
    keyEventManager_->setUndoManager(undoManager);
    midiManager_->setUndoManager(undoManager);
    scriptManager_->setUndoManager(undoManager);
    timeEventsManager_->setUndoManager(undoManager);
}

// ---- Targets -----------------------------------------------------------------------------------

void QRBManager::setDefaultTargetIndex(long index) {
    if (index == defaultTargetIndex_) return;
    if (undoManager_) {
        undoManager_->registerUndo(this, [weak = std::weak_ptr(self()), old = defaultTargetIndex_] {
            if (auto me = weak.lock()) me->setDefaultTargetIndex(old);
        });
    }
    defaultTargetIndex_ = index;
}

QRBTargetPtr QRBManager::targetAtIndex(long index) const {
    FND_PARAMETER_ASSERT(index >= 0);
    if (index >= static_cast<long>(oscTargets_.size()))
        foundation::raiseAssertion("Invalid parameter not satisfying: index < self.oscTargets.count", __FILE__,
                                   __LINE__);
    return oscTargets_[static_cast<size_t>(index)];
}

QRBTargetPtr QRBManager::targetWithIdentifier(long identifier) const {
    if (identifier == kLocalTargetIdentifier) return localTarget_;
    const long index = identifier == kDefaultTargetIdentifier ? defaultTargetIndex_ : identifier;
    if (index < 0 || index >= static_cast<long>(oscTargets_.size())) return nullptr;
    return oscTargets_[static_cast<size_t>(index)];
}

long QRBManager::indexOfTarget(const QRBTargetPtr& target) const {
    auto it = std::find(oscTargets_.begin(), oscTargets_.end(), target);
    return it == oscTargets_.end() ? kNotFound : static_cast<long>(it - oscTargets_.begin());
}

// ---- Routes ------------------------------------------------------------------------------------

QRBEventSourcePtr QRBManager::objectInOscRoutesAtIndex(size_t index) const { return oscRoutes_.at(index); }

void QRBManager::insertObject(const QRBEventSourcePtr& route, size_t index) {
    FND_PARAMETER_ASSERT(route != nullptr);
    FND_PARAMETER_ASSERT(index <= oscRoutes_.size());
    route->setUndoManager(undoManager_);
    oscRoutes_.insert(*this, route, index);
}

void QRBManager::removeObjectFromOscRoutesAtIndex(size_t index) { oscRoutes_.remove(*this, index); }

// ---- Variables, contexts and actions -------------------------------------------------------------

QRBArgPtr QRBManager::variableValueAtIndex(uint64_t index) const {
    return index < variableValues_.size() ? variableValues_[index] : nullptr;
}

QRBContextPtr QRBManager::contextWithName(const std::string& address) const {
    auto preset = presetManager_->currentPreset();
    return preset ? preset->contextWithName(address) : nullptr;
}

void QRBManager::removeContext(const std::shared_ptr<QRBContext>& context) {
    if (auto preset = presetManager_->currentPreset()) preset->removeObject(context);
}

std::vector<QRBActionPtr> QRBManager::allActions() const {
    auto preset = presetManager_->currentPreset();
    return preset ? preset->allActions() : std::vector<QRBActionPtr>{};
}

std::vector<QRBActionPtr> QRBManager::actionsUsingEventSources(const std::vector<QRBEventSourcePtr>& sources) const {
    std::vector<QRBActionPtr> result;
    std::unordered_set<const QRBAction*> seen;
    for (const auto& preset : presetManager_->presets()) {
        for (const auto& action : preset->actionsUsingEventSources(sources)) {
            if (seen.insert(action.get()).second) result.push_back(action);
        }
    }
    return result;
}

void QRBManager::setLastRecalledSnapshotDirty() {
    if (auto preset = presetManager_->currentPreset()) preset->setLastRecalledSnapshotDirty();
}

std::shared_ptr<QRBEventSourceCollection> QRBManager::eventSourceCollection(const std::string& keyPath) {
    if (keyPath == "oscRoutes") return std::make_shared<RoutesCollection>(self());
    if (keyPath == QRBKeyComboEventSource::kCollectionKeyPath)
        return std::make_shared<KeyCombosCollection>(keyEventManager_);
    if (keyPath == QRBScriptEventSource::kCollectionKeyPath) return std::make_shared<ScriptsCollection>(scriptManager_);
    if (keyPath == "midiManager.templatesCollections") return std::make_shared<TemplatesCollection>(midiManager_);
    return nullptr;
}

// ---- Output ------------------------------------------------------------------------------------

long QRBManager::sendOSCMessage(const QRBOSCMessagePtr& message, const QRBTargetPtr& target) {
    FND_PARAMETER_ASSERT(message);
    FND_PARAMETER_ASSERT(target);
    return sendArguments(message->path(), message->arguments(), *target,
                         [&] { messageMonitor_->monitor(message, target->endpoint(), foundation::Date::now()); });
}

long QRBManager::sendOSCMessage(const std::string& path, const std::vector<QRBArgPtr>& arguments,
                                const QRBTargetPtr& target, bool valuesInPlace) {
    for (const QRBArgPtr& argument : arguments) FND_PARAMETER_ASSERT(argument != nullptr);
    FND_PARAMETER_ASSERT(target);
    return sendArguments(path, arguments, *target, [&] {
        // Most documents monitor their input only: a message the monitor would drop is not made.
        const QRBMessageEndpointPtr& endpoint = target->endpoint();
        if (endpoint && (!messageMonitor_->recordsMessagesOf(*endpoint) || !QRBOSCMessage::isMonitorablePath(path)))
            return;
        std::vector<QRBArgPtr> kept;
        if (valuesInPlace) {
            kept.reserve(arguments.size());
            for (const QRBArgPtr& argument : arguments) kept.push_back(argument->copy());
        } else {
            kept = arguments;
        }
        messageMonitor_->monitor(std::make_shared<QRBOSCMessage>(path, std::move(kept)), endpoint,
                                 foundation::Date::now());
    });
}

template <class Record>
long QRBManager::sendArguments(const std::string& path, const std::vector<QRBArgPtr>& arguments, QRBTarget& target,
                               const Record& record) {
    lo_address address = target.oscAddress();
    if (!address) return -1;
    // Messages that leave through sockets of our own are sent as bytes from a buffer kept for
    // them, so that a send allocates nothing: UDP to IPv4 hosts from the UDP server's socket
    // (liblo's own send would serialise into a new buffer and take its lock for every message),
    // TCP over the target's own connection, which never blocks the loop (liblo's client would,
    // for a host that does not answer or a peer that stops reading), and UDP to IPv6 hosts, which
    // liblo's cannot reach. Messages of int32, float and string arguments, nearly all that routes
    // send, are written as bytes at once; liblo serialises the others.
    QRBLibloMessagePtr libloMessage;
    const bool plain = QRBOSCMessage::serialisePlain(path, arguments, sendBuffer_);
    if (!plain) {
        libloMessage = QRBOSCMessage::createLibloMessage(arguments);
        if (!libloMessage) return -1;
    }
    const size_t length = plain ? sendBuffer_.size() : lo_message_length(libloMessage.get(), path.c_str());
    auto sendBytes = [&](const QRBServer& server, const auto& send) {
        if (!server.isRunning()) {
            foundation::log(kQRBServerSendError);
            return false;
        }
        bool serialised = plain;
        if (!plain) {
            if (sendBuffer_.size() < length) sendBuffer_.resize(length);
            // Zeroed first, as liblo's own buffer is: every padding byte goes out as 0.
            std::memset(sendBuffer_.data(), 0, length);
            serialised = lo_message_serialise(libloMessage.get(), path.c_str(), sendBuffer_.data(), nullptr) != nullptr;
        }
        const QRBSendResult sent =
            serialised ? send(sendBuffer_.data(), length) : QRBSendResult{EINVAL, "the message could not be sent"};
        if (!sent) QRBTCPConnection::logSendError(sent.error, sent.text);
        return static_cast<bool>(sent);
    };
    // A message liblo would refuse as too long takes liblo's path below, which reports it as it
    // always has.
    if (const sockaddr_in* destination = target.udpIPv4Destination(); destination && length <= LO_MAX_MSG_SIZE) {
        if (!sendBytes(*udpServer_, [&](const void* bytes, size_t size) {
                const int error = udpServer_->sendDatagram(bytes, size, *destination);
                return error ? QRBSendResult{error, std::strerror(error)} : QRBSendResult{};
            }))
            return -1;
    } else if (lo_address_get_protocol(address) == LO_TCP) {
        QRBTCPConnection* connection = target.tcpConnection();
        if (!sendBytes(*tcpServer_, [&](const void* bytes, size_t size) {
                return connection ? connection->send(bytes, size)
                                  : QRBSendResult{EINVAL, "the message could not be sent over TCP"};
            }))
            return -1;
    } else if (const char* host = lo_address_get_hostname(address); QRBIPv6Datagrams::isIPv6Host(host)) {
        if (!sendBytes(*udpServer_, [&](const void* bytes, size_t size) {
                return ipv6Datagrams_.send(host, lo_address_get_port(address), bytes, size, udpServer_.get());
            }))
            return -1;
    } else if (!libloMessage && !(libloMessage = QRBOSCMessage::createLibloMessage(arguments))) {
        return -1;
    } else if (udpServer_->sendToOSCAddress(address, path.c_str(), libloMessage.get()) < 0) {
        // liblo's error number and text, or the result when it kept none (a stopped server has
        // logged its own line).
        const int number = lo_address_errno(address);
        const char* text = number != 0 ? lo_address_errstr(address) : nullptr;
        if (number != 0 || udpServer_->isRunning())
            QRBTCPConnection::logSendError(number, text ? text : "liblo gave no reason");
        return -1;
    }
    record();
    return 1;
}

// ---- Announcements -----------------------------------------------------------------------------

void QRBManager::notifyActivityOnAction(QRBAction& action) {
    if (activityMonitor_) activityMonitor_->notifyActivity(action);
}

void QRBManager::notifyEventSourceChanged(const QRBEventSourcePtr& eventSource) {
    if (!eventSource) foundation::raiseAssertion("event source cannot be nil.", __FILE__, __LINE__);
    foundation::NotificationCenter::defaultCenter().post(kQRBEventSourceChangedNotification,
                                                         foundation::NotificationObject(this),
                                                         {{kQRBNotificationObjectKey, foundation::Value(eventSource)}});
}

void QRBManager::server(QRBServer&, const std::string& errorOccurred) { reportError(errorOccurred); }

void QRBManager::reportError(const std::string& text) {
    lastOSCError_ = text;
    foundation::NotificationCenter::defaultCenter().post(kQRBManagerReceiveErrorOccurredNotification,
                                                         foundation::NotificationObject(this));
}

// ---- Preset changes ----------------------------------------------------------------------------

void QRBManager::presetManagerChanged(const foundation::KeyValueChange& change) {
    if (change.key == QRBPresetManager::kCurrentPresetKey) {
        registerAllMethods();
        const size_t number = presetManager_->currentPresetNumber();
        // No current preset lights no LED.
        wiiManager_->setCurrentPresetNumber(number == QRBPresetManager::kNoPresetNumber ? -1
                                                                                        : static_cast<int64_t>(number));
        if (auto preset = presetManager_->currentPreset()) {
            if (presetManager_->shouldSendPresetNameOnPresetRestore())
                sendChangeMessageForMappingName(preset->name(), static_cast<uint32_t>(number));
        }
    } else if (change.key == QRBPresetManager::kShouldSendPresetNameKey) {
        if (presetManager_->shouldSendPresetNameOnPresetRestore()) {
            if (auto preset = presetManager_->currentPreset())
                sendChangeMessageForMappingName(preset->name(),
                                                static_cast<uint32_t>(presetManager_->currentPresetNumber()));
        }
    }
}

void QRBManager::sendChangeMessageForMappingName(const std::string& name, uint32_t mappingNumber) {
    if (!running_) {
        pendingMappingName_.emplace(name, mappingNumber);
        return;
    }
    for (int32_t state : {1, 0}) {
        auto message = QRBOSCMessage::OSCMessageWithPath(
            kMappingPath,
            {QRBArg::argWithStringValue(name), QRBArg::argWithInt32Value(static_cast<int32_t>(mappingNumber)),
             QRBArg::argWithInt32Value(state)});
        receive(message, QRBMessageEndpoint::appEndpoint(), foundation::Date::now());
    }
}

// ---- Bonjour -----------------------------------------------------------------------------------

void QRBManager::forgetServicesOf(const foundation::NetServiceBrowser& browser) {
    // The two browsers share the list: each one clears only what it found, so that a search
    // starting after the other's first finds does not lose them.
    const int protocol = &browser == oscTCPServiceBrowser_.get() ? LO_TCP : LO_UDP;
    std::erase_if(oscFoundServices_, [protocol](const std::shared_ptr<foundation::NetService>& service) {
        return QRBTransportProtocolForServiceType(service->type()) == protocol;
    });
}

void QRBManager::netServiceBrowserWillSearch(foundation::NetServiceBrowser& browser) { forgetServicesOf(browser); }

void QRBManager::netServiceBrowserDidNotSearch(foundation::NetServiceBrowser& browser,
                                               const foundation::Dictionary& errorDict) {
    forgetServicesOf(browser);
    foundation::logf("NSNetServiceBrowser error occurred. Error dict = %s",
                     foundation::Value(errorDict).debugDescription().c_str());
}

void QRBManager::netServiceBrowserDidFindService(foundation::NetServiceBrowser&,
                                                 const std::shared_ptr<foundation::NetService>& service, bool) {
    if (!service) return;
    oscFoundServices_.push_back(service);
    std::stable_sort(oscFoundServices_.begin(), oscFoundServices_.end(),
                     [](const auto& a, const auto& b) { return compareName(*a, *b) < 0; });

    if (validateServiceForAutomaticUse(*service)) {
        if (!anyTargetMatchesService(*service)) {
            if (auto target = targetWithIdentifier(kDefaultTargetIdentifier); target && !target->isProtected())
                target->setService(service, false);
        }
        if (!anyTargetMatchesService(*service)) {
            for (const auto& target : oscTargets_) {
                if (!target->isConfigured()) {
                    target->setService(service, false);
                    break;
                }
            }
        }
    }
    const std::vector<QRBTargetPtr> targets = oscTargets_;
    for (const auto& target : targets) target->notifyServiceFound(service);
}

void QRBManager::netServiceBrowserDidRemoveService(foundation::NetServiceBrowser&,
                                                   const std::shared_ptr<foundation::NetService>& service, bool) {
    if (!service) return;
    const std::vector<QRBTargetPtr> targets = oscTargets_;
    for (const auto& target : targets) target->notifyServiceLost(service);
    std::erase(oscFoundServices_, service);
}

bool QRBManager::validateServiceForAutomaticUse(const foundation::NetService& service) const {
    if (service.name().find(kOwnServiceMark) != std::string::npos) return false;
    return service.TXTRecordData().count(kAppleLogicTXTKey) == 0;
}

bool QRBManager::anyTargetMatchesService(const foundation::NetService& service) const {
    return std::any_of(oscTargets_.begin(), oscTargets_.end(),
                       [&](const QRBTargetPtr& target) { return target->matchesService(service); });
}

// ---- Older documents ---------------------------------------------------------------------------

void QRBManager::fixOscRoutes(const foundation::Value& routes) {
    const foundation::Array* array = routes.arrayValue();
    if (!array) return;
    std::vector<QRBEventSourcePtr> fixed;
    for (const auto& entry : *array) {
        if (auto route = entry.object<QRBEventSource>()) fixed.push_back(route);
    }
    oscRoutes_.assign(std::move(fixed));
}

void QRBManager::fixDefaultTarget(const QRBTargetPtr& target) {
    setDefaultTargetIndex(kNotFound);
    if (target) {
        for (size_t i = 0; i < oscTargets_.size(); ++i) {
            if (oscTargets_[i]->isEqualToTarget(*target)) {
                setDefaultTargetIndex(static_cast<long>(i));
                return;
            }
        }
    }
    for (size_t i = 0; i < oscTargets_.size(); ++i) {
        if (oscTargets_[i]->serviceName()) {
            setDefaultTargetIndex(static_cast<long>(i));
            return;
        }
    }
    if (target && target->isConfigured()) {
        for (size_t i = 0; i < oscTargets_.size(); ++i) {
            if (!oscTargets_[i]->isConfigured()) {
                oscTargets_[i] = target;
                target->set_reservedIndex(static_cast<int64_t>(i));
                setDefaultTargetIndex(static_cast<long>(i));
                return;
            }
        }
    }
    setDefaultTargetIndex(0);
}

void QRBManager::fixWiiRemoteManager(const std::shared_ptr<QRBWiiRemoteManager>& manager) {
    if (!manager) return;
    wiiManager_ = manager;
    wiiManager_->setTargetURL(loopbackURL());
}

void QRBManager::fixParameters(const foundation::Dictionary& parameters) {
    auto value = [&](const char* key) -> foundation::Value {
        auto it = parameters.find(key);
        return it == parameters.end() ? foundation::Value() : it->second;
    };
    fixOscRoutes(valuesOf(value(kParamsRoutesKey)));
    fixDefaultTarget(value(kParamsDefaultRouteKey).object<QRBTarget>());
    keyEventManager_->fixKeyCombos(valuesOf(value(kParamsKeyCombosKey)));
    scriptManager_->fixAppleScripts(valuesOf(value(kParamsScriptsKey)));
    if (parameters.count(kParamsInputModeMIDIKey))
        midiManager_->setInputMode(value(kParamsInputModeMIDIKey).integerValue().value_or(0));
    midiManager_->setNoteUpperPitch(value(kParamsUpperPitchKey).integerValue().value_or(0));
    midiManager_->setNoteLowerPitch(value(kParamsLowerPitchKey).integerValue().value_or(0));
    midiManager_->setShouldRepeatNotes(value(kParamsRepeatNotesKey).boolValue().value_or(false));
    midiManager_->setShouldBendNotes(value(kParamsBendNotesKey).boolValue().value_or(false));
}

// ---- Archive -----------------------------------------------------------------------------------

void QRBManager::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeInteger(kArchiveVersion, kVersionKey);
    coder.encodeInteger(serverPort_, kPortKey);
    coder.encodeBool(inputLocked_, kInputLockedKey);
    coder.encodeInteger(defaultTargetIndex_, kDefaultTargetIndexKey);
    coder.encodeObject(foundation::objectListValue(oscTargets_), kTargetsKey);
    coder.encodeObject(foundation::objectListValue(oscRoutes_.elements()), kRoutesKey);
    coder.encodeObject(foundation::objectListValue(oscRoutesSortDescriptors_), kRoutesSortDescriptorsKey);
    coder.encodeObject(foundation::Value(presetManager_), kPresetManagerKey);
    coder.encodeObject(foundation::Value(contextFilterManager_), kContextFilterManagerKey);
    coder.encodeObject(foundation::Value(keyEventManager_), kKeyEventManagerKey);
    coder.encodeObject(foundation::Value(scriptManager_), kScriptManagerKey);
    coder.encodeObject(foundation::Value(midiManager_), kMIDIManagerKey);
    coder.encodeObject(foundation::Value(tuioManager_), kTUIOManagerKey);
    coder.encodeObject(foundation::Value(wiiManager_), kWiiManagerKey);
    coder.encodeObject(foundation::Value(timeEventsManager_), kTimeEventsManagerKey);
    coder.encodeObject(foundation::Value(messageMonitor_), kMessageMonitorKey);
    coder.encodeObject(foundation::objectListValue(variableValues_), kVariableValuesKey);
}

void QRBManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
    const int64_t version = coder.decodeInteger(kVersionKey);
    const int64_t port = coder.decodeInteger(kPortKey);
    // Servers would take the port modulo 65536 (70000 would listen on 4464). A stored 0, the
    // port of a manager nobody gave one, still opens: starting refuses it.
    if (port != 0 && !isValidServerPort(port))
        throw foundation::ArchiveError(foundation::format(kInvalidPortFormat, static_cast<long long>(port)));
    defaultTargetIndex_ = static_cast<long>(coder.decodeInteger(kDefaultTargetIndexKey));
    if (auto targets = foundation::decodeObjectList<QRBTarget>(coder, kTargetsKey)) oscTargets_ = std::move(*targets);
    for (size_t i = 0; i < oscTargets_.size(); ++i) oscTargets_[i]->set_reservedIndex(static_cast<int64_t>(i));
    if (auto routes = foundation::decodeObjectList<QRBEventSource>(coder, kRoutesKey))
        oscRoutes_.assign(std::move(*routes));
    if (auto descriptors = foundation::decodeObjectList<foundation::SortDescriptor>(coder, kRoutesSortDescriptorsKey)) {
        oscRoutesSortDescriptors_ = std::move(*descriptors);
        hasRoutesSortDescriptors_ = true;
    }
    contextFilterManager_ = coder.decodeObjectOfClass<QRBContextFilterManager>(kContextFilterManagerKey);
    keyEventManager_ = coder.decodeObjectOfClass<QRBKeyEventManager>(kKeyEventManagerKey);
    scriptManager_ = coder.decodeObjectOfClass<QRBScriptManager>(kScriptManagerKey);
    midiManager_ = coder.decodeObjectOfClass<QRBMIDIManager>(kMIDIManagerKey);
    tuioManager_ = coder.decodeObjectOfClass<QRBInterpretationManager>(kTUIOManagerKey);
    wiiManager_ = coder.decodeObjectOfClass<QRBWiiRemoteManager>(kWiiManagerKey);
    archiveHeldWiiManager_ = wiiManager_ != nullptr;
    if (auto values = foundation::decodeObjectList<QRBArg>(coder, kVariableValuesKey)) {
        // Outputs index the variables 0 to 127: a list of another length is brought to that.
        values->resize(std::min(values->size(), kVariableCount));
        while (values->size() < kVariableCount) values->push_back(std::make_shared<QRBArg>());
        variableValues_ = std::move(*values);
    }

    // Documents from before the key event manager kept the default application on the manager.
    if (!keyEventManager_) {
        keyEventManager_ = std::make_shared<QRBKeyEventManager>();
        keyEventManager_->setTargetAppName(coder.decodeString(kLegacyKeyProcessNameKey));
    }

    presetManager_ = coder.decodeObjectOfClass<QRBPresetManager>(kPresetManagerKey);
    // Documents from before presets kept their contexts on the manager, by address.
    foundation::Value legacyContexts = coder.decodeObject(kLegacyContextsKey);
    if (!legacyContexts.isNull()) {
        const foundation::Dictionary* contexts = legacyContexts.dictionaryValue();
        if (!contexts) throw foundation::ArchiveError("LibloHandlerContexts is not a dictionary");
        presetManager_ = std::make_shared<QRBPresetManager>();
        auto preset = presetManager_->currentPreset();
        for (const auto& [address, entry] : *contexts) {
            auto context = entry.object<QRBContext>();
            if (!context) throw foundation::ArchiveError("an entry of LibloHandlerContexts is not a context");
            context->fold();
            preset->addObject(context);
        }
    }

    timeEventsManager_ = coder.decodeObjectOfClass<QRBTimeEventsManager>(kTimeEventsManagerKey);
    // A context listed by one preset may turn up among the actions of a context decoded after
    // that preset, which makes it a child after its preset checked it.
    if (presetManager_) {
        for (const auto& preset : presetManager_->presets()) {
            for (const auto& context : preset->objects()) {
                if (!context->isTopLevel())
                    throw foundation::ArchiveError("preset lists a context that is not top-level");
            }
        }
    }

    if (version <= 1) {
        // The default order of routes comes back; the old slots counted from 1.
        oscRoutesSortDescriptors_.clear();
        hasRoutesSortDescriptors_ = false;
        if (coder.containsValueForKey(kLegacyDefaultTargetSlotKey))
            defaultTargetIndex_ = static_cast<long>(coder.decodeInteger(kLegacyDefaultTargetSlotKey)) - 1;
    }

    messageMonitor_ = coder.decodeObjectOfClass<QRBMessageMonitor>(kMessageMonitorKey);

    privateInit();
    setServerPort(static_cast<long>(port));
}
