// The manager's input side: the method tables of its servers, addresses without a context,
// application commands and backmapping.

#include "document/QRBManager.h"

#include "controllers/QRBWiiRemoteManager.h"
#include "core/mapping/QRBActionLocation.h"
#include "core/mapping/QRBDupAction.h"
#include "document/LibloCallbacks.h"
#include "features/QRBInterpretationManager.h"
#include "foundation/Exception.h"
#include "foundation/RunLoop.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr const char* kBackmappingKey = "backmapping";
constexpr const char* kBackmappingEventSourceKey = "eventSource";
constexpr const char* kBackmappingChannelKey = "channel";

std::function<void()>& terminateApplicationHandler() {
    static std::function<void()> handler;
    return handler;
}

QRBBackmappingRouteMaker& backmappingRouteMaker() {
    static QRBBackmappingRouteMaker maker;
    return maker;
}

void terminateApplication() {
    if (auto& handler = terminateApplicationHandler())
        handler();
    else
        foundation::RunLoop::main().stop();
}

// Switches undo registration off for its life.
class UndoRegistrationPause {
public:
    explicit UndoRegistrationPause(std::shared_ptr<foundation::UndoManager> undo) : undo_(std::move(undo)) {
        if (undo_) undo_->disableUndoRegistration();
    }
    ~UndoRegistrationPause() {
        if (undo_) undo_->enableUndoRegistration();
    }
    UndoRegistrationPause(const UndoRegistrationPause&) = delete;
    UndoRegistrationPause& operator=(const UndoRegistrationPause&) = delete;

private:
    std::shared_ptr<foundation::UndoManager> undo_;
};

bool isIntegerType(int32_t type) { return type == 'h' || type == 'i'; }

}  // namespace

void QRBManager::setTerminateApplicationHandler(std::function<void()> handler) {
    terminateApplicationHandler() = std::move(handler);
}

void QRBManager::setBackmappingRouteMaker(QRBBackmappingRouteMaker maker) {
    backmappingRouteMaker() = std::move(maker);
}

QRBBackmappingRouteMaker QRBManager::currentBackmappingRouteMaker() { return backmappingRouteMaker(); }

foundation::Date QRBManager::timetagReferenceDate() { return foundation::timeTagReferenceDate(); }

// ---- The method tables -------------------------------------------------------------------------

bool QRBManager::isDispatching() const {
    return (udpServer_ && udpServer_->isDispatching()) || (tcpServer_ && tcpServer_->isDispatching());
}

void QRBManager::registerAllMethods() {
    // From here on the entries made so far are passed over.
    ++registrationGeneration_;
    if (!isDispatching()) {
        registerAllMethodsNow();
        return;
    }
    // An incoming message switched presets: the table is rebuilt once the dispatch that walks it
    // has returned. Until then messages for the old entries go to the catch-all, which finds or
    // makes their contexts in the new preset.
    if (registrationPending_) return;
    registrationPending_ = true;
    foundation::RunLoop::main().post([weak = std::weak_ptr(self())] {
        if (auto manager = weak.lock(); manager && manager->registrationPending_) manager->registerAllMethodsNow();
    });
}

void QRBManager::registerAllMethodsNow() {
    registrationPending_ = false;
    udpServer_->clearRegisteredMethods();
    tcpServer_->clearRegisteredMethods();
    if (auto preset = presetManager_->currentPreset()) {
        const std::vector<QRBContextPtr> contexts = preset->objects();
        for (const auto& context : contexts) registerContext(context);
    }
    for (const auto& server : {udpServer_, tcpServer_}) {
        tuioManager_->installTUIOCallbacks(*server);
        server->registerRootCallback(catchAllHandler());
    }
}

bool QRBManager::registerContext(const QRBContextPtr& context) {
    if (!context || !context->isTopLevel())
        foundation::raiseAssertion("Invalid parameter not satisfying: context.isTopLevel", __FILE__, __LINE__);
    const std::optional<std::string>& address = context->name();
    if (!address) return false;
    // The command space belongs to the application's commands and the control API: a context
    // there would take their messages (an entry of a context goes before the catch-all that
    // answers commands, and after re-registration before the API's entries). Such an address
    // gets no entry, so no context is made for it and one that a document brings stays silent.
    if (QRBIsCommandPath(address->c_str())) return false;
    // Both are always tried. A new entry goes before the catch-all.
    const bool udp = udpServer_->registerMethod(*address, routingHandler(context));
    const bool tcp = tcpServer_->registerMethod(*address, routingHandler(context));
    return udp && tcp;
}

QRBMethodHandler QRBManager::routingHandler(const QRBContextPtr& context) {
    return [weakContext = std::weak_ptr(context), weakManager = std::weak_ptr(self()),
            generation = registrationGeneration_](const QRBServerMessage& message) -> int {
        auto manager = weakManager.lock();
        auto target = weakContext.lock();
        // A context that is gone, or one of a table that is being replaced, does not take the
        // message: the catch-all does.
        if (!manager || !target || generation != manager->registrationGeneration_) return 1;
        return RoutingCallback(message, target, *manager);
    };
}

QRBMethodHandler QRBManager::catchAllHandler() {
    return [weakManager = std::weak_ptr(self())](const QRBServerMessage& message) -> int {
        auto manager = weakManager.lock();
        return manager ? UndefMethodCallback(message, *manager) : -1;
    };
}

// ---- Addresses without a context ---------------------------------------------------------------

void QRBManager::receive(const QRBOSCMessagePtr& message, const QRBMessageEndpointPtr& source, foundation::Date date) {
    FND_PARAMETER_ASSERT(message);
    auto keepAlive = self();
    // A new address whose message would make more argument actions than one message may gets no
    // context at all.
    if (message->arguments().size() > QRBContext::kMaxArgumentActionsPerMessage && !contextWithName(message->path()) &&
        QRBContext::refusesArgumentCount(message->arguments().size(), 0, message->path()))
        return;
    bool isNew = false;
    QRBContextPtr context = ensureContextWithName(message->path(), &isNew);
    if (isNew) checkBackmappingWithMessage(message, context);
    messageMonitor_->monitor(message, source, date);
    if (context) context->receive(message, source, date);
}

QRBContextPtr QRBManager::ensureContextWithName(const std::string& address, bool* isNew) {
    QRBContextPtr context = contextWithName(address);
    if (isNew) *isNew = context == nullptr;
    if (inputLocked_) return nullptr;
    return context ? context : createContextWithName(address);
}

QRBContextPtr QRBManager::createContextWithName(const std::string& address) {
    UndoRegistrationPause pause(undoManager_);
    auto preset = presetManager_->currentPreset();
    if (!preset) return nullptr;
    auto context = QRBContext::create(address, self());
    if (!registerContext(context)) return nullptr;
    preset->addObject(context);
    return context;
}

// ---- Application commands ----------------------------------------------------------------------

void QRBManager::notifyCommand(const std::string& name, const std::optional<std::string>& argument,
                               const std::string& host, const std::string& port) {
    if (name.empty()) return;
    foundation::Dictionary command{{QRBWiiRemoteManager::kCommandNameKey, name},
                                   {QRBWiiRemoteManager::kCommandOriginHostKey, host},
                                   {QRBWiiRemoteManager::kCommandOriginPortKey, port}};
    if (argument) command[QRBWiiRemoteManager::kCommandArgKey] = *argument;
    if (name == kQuitCommand) {
        // Closing frees the servers, and this command may be under dispatch by one of them: the
        // quit waits until the dispatch has returned.
        foundation::RunLoop::main().post([weak = std::weak_ptr(self())] {
            if (auto manager = weak.lock()) manager->close();
            terminateApplication();
        });
    }
    auto keepAlive = self();
    wiiManager_->handleGeneralCommand(command, *this);
}

// ---- Backmapping -------------------------------------------------------------------------------

void QRBManager::checkBackmappingWithMessage(const QRBOSCMessagePtr& message, const QRBContextPtr& context) {
    if (!message) return;
    const foundation::Dictionary& userInfo = message->userInfo();
    auto entry = userInfo.find(kBackmappingKey);
    if (entry == userInfo.end()) return;
    const foundation::Dictionary* request = entry->second.dictionaryValue();
    if (!request) return;

    foundation::ObjectPtr source;
    if (auto it = request->find(kBackmappingEventSourceKey); it != request->end()) source = it->second.objectValue();
    if (!source) return;  // only an output that exists can be mapped back to
    bool anyChannel = false;
    int64_t channel = 0;
    if (auto it = request->find(kBackmappingChannelKey); it != request->end()) {
        if (it->second.isNull())
            anyChannel = true;
        else
            channel = it->second.integerValue().value_or(0);
    }
    backmapAction(context, [source, anyChannel, channel](const QRBAction& action) {
        const QRBEventSourcePtr& output = action.eventSource();
        return output && static_cast<const foundation::Object*>(output.get()) == source.get() &&
               (anyChannel || action.channel() == channel);
    });
}

bool QRBManager::backmapAction(const QRBActionPtr& action, const std::function<bool(const QRBAction&)>& predicate) {
    if (!action || !predicate) return false;
    const QRBBackmappingRouteMaker& makeRoute = backmappingRouteMaker();
    if (!makeRoute) return false;
    auto manager = std::dynamic_pointer_cast<QRBManager>(action->oscManagerOfContext());
    if (!manager) manager = self();

    QRBActionPtr receiver;
    bool matched = false;
    for (const QRBActionPtr& target : manager->allActions()) {
        if (auto context = std::dynamic_pointer_cast<QRBContext>(target); context && !context->isTopLevel()) continue;
        if (!predicate(*target)) continue;

        // The first mapping goes back through the action itself, each further one through a
        // duplicate of the one before.
        if (matched) {
            QRBActionPtr duplicate = receiver->dup();
            if (!duplicate) break;
            receiver = duplicate;
        } else {
            receiver = action;
        }
        matched = true;

        QRBContextPtr context = target->context();
        QRBContextPtr topLevel = target->topLevelContext();
        if (!context || !topLevel) continue;

        // The return route undoes the mapping's scaling.
        receiver->setInputMin(target->outputMin());
        receiver->setInputMax(target->outputMax());
        receiver->setOutputMin(target->inputMin());
        receiver->setOutputMax(target->inputMax());
        const QRBEventSourcePtr& output = target->eventSource();
        const double factor = output ? output->outputScalingFudgeFactor() : 1;
        if (std::fabs(factor) >= QRBAction::kEpsilon && isIntegerType(target->internalArgType())) {
            receiver->setInputMin(receiver->inputMin() / factor);
            receiver->setInputMax(receiver->inputMax() / factor);
        }
        receiver->setRequireIntegralInputScalingsFormatting(output && output->requireIntegralScalingsFormatting());

        std::vector<QRBBackmappingToken> tokens;
        if (context->isMultiArgument()) {
            for (const QRBActionPtr& sibling : context->actions()) {
                const auto& below = sibling->actions();
                const bool holdsTarget =
                    sibling == target || std::find(below.begin(), below.end(), target) != below.end();
                if (holdsTarget)
                    tokens.push_back(
                        {QRBBackmappingToken::Kind::UpdateRef, sibling->location(), target->internalArgType()});
                else
                    tokens.push_back(
                        {QRBBackmappingToken::Kind::ByRef, sibling->location(), sibling->internalArgType()});
            }
        } else if (context->actualArgumentCount() == 1) {
            tokens.push_back({QRBBackmappingToken::Kind::Plain, nullptr, target->internalArgType()});
        }
        if (QRBEventSourcePtr route = makeRoute(topLevel->address(), tokens)) receiver->setEventSource(route);
    }
    return matched;
}
