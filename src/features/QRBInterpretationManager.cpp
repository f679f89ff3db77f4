#include "features/QRBInterpretationManager.h"

#include "core/document/QRBManager.h"
#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/osc/LibloCallbacks.h"
#include "core/osc/QRBServer.h"
#include "foundation/Format.h"
#include "foundation/Log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
constexpr const char* kOSCManagerKey = "oscManager";
constexpr const char* kInputModeKey = "inputMode";
constexpr unsigned kModeBits = QRBInterpretationManager::kPassThroughMode | QRBInterpretationManager::kInterpretMode;

bool isIntegralType(char type) { return type == 'i' || type == 'h'; }

void declareType(QRBAction& action, char type) {
    action.setInternalArgType(type);
    action.setRequireIntegralInputScalingsFormatting(isIntegralType(type));
}
}  // namespace

const std::array<QRBInterpretationManager::APIMethod, 6>& QRBInterpretationManager::apiMethods() {
    static const std::array<APIMethod, 6> methods = {{
        {kCreatePath, &QRBInterpretationManager::create},
        {kRangePath, &QRBInterpretationManager::range},
        {kMapToMIDIPath, &QRBInterpretationManager::mapToMIDI},
        {kMappingChannelPath, &QRBInterpretationManager::mappingChannel},
        {kArgumentChannelPath, &QRBInterpretationManager::argumentChannel},
        {kRestorePath, &QRBInterpretationManager::restoreMapping},
    }};
    return methods;
}

bool QRBInterpretationManager::isAPIPath(const char* path) {
    if (!path) return false;
    for (const APIMethod& method : apiMethods())
        if (std::strcmp(path, method.path) == 0) return true;
    return false;
}

void QRBInterpretationManager::logUnknownRequest(const char* path, const char* types, int argc) {
    foundation::logOfKind(
        "control API unknown request",
        foundation::format(
            "API: %s, no such request (types %s): nothing was changed", foundation::logQuoted(path ? path : "").c_str(),
            foundation::logQuoted(std::string(types ? types : "", types && argc > 0 ? size_t(argc) : 0)).c_str()));
}

QRBInterpretationManagerPtr QRBInterpretationManager::initWithManager(const std::shared_ptr<QRBManager>& manager) {
    auto interpretation = std::make_shared<QRBInterpretationManager>();
    interpretation->privateInitWithManager(manager, kInterpretMode);
    return interpretation;
}

void QRBInterpretationManager::privateInitWithManager(const std::shared_ptr<QRBManager>& manager, unsigned inputMode) {
    oscManager_ = manager;
    for (unsigned profile = 0; profile < TUIOProfileInterpreter::kProfileCount; ++profile)
        interpreters_[profile] = TUIOProfileInterpreter::initWithManager(manager, profile);
    setInputMode(inputMode);
}

void QRBInterpretationManager::setInputMode(unsigned mode) {
    inputMode_ = mode;
    for (const auto& interpreter : interpreters_)
        if (interpreter) interpreter->setInputMode(mode);
}

const TUIOProfileInterpreterPtr& QRBInterpretationManager::interpreter(unsigned profile) const {
    static const TUIOProfileInterpreterPtr none;
    return profile < interpreters_.size() ? interpreters_[profile] : none;
}

void QRBInterpretationManager::installTUIOCallbacks(QRBServer& server) {
    auto self = std::weak_ptr(std::static_pointer_cast<QRBInterpretationManager>(shared_from_this()));
    for (unsigned profile = 0; profile < TUIOProfileInterpreter::kProfileCount; ++profile) {
        const std::string address = TUIOProfileInterpreter::profileAddress(profile);
        server.deleteMethod(address, std::nullopt);
        if (!interpreters_[profile]) continue;
        server.addMethod(address, std::nullopt,
                         [self, weakInterpreter = std::weak_ptr(interpreters_[profile])](const QRBServerMessage& m) {
                             auto manager = self.lock();
                             auto interpreter = weakInterpreter.lock();
                             return manager && interpreter ? manager->handleTUIO(m, *interpreter) : -1;
                         });
    }
    for (const APIMethod& method : apiMethods()) {
        server.deleteMethod(std::string(method.path), std::nullopt);
        server.addMethod(std::string(method.path), std::nullopt,
                         [self, handler = method.handler](const QRBServerMessage& m) {
                             auto manager = self.lock();
                             return manager ? ((*manager).*handler)(m) : -1;
                         });
    }
}

int QRBInterpretationManager::handleTUIO(const QRBServerMessage& message, TUIOProfileInterpreter& interpreter) {
    auto manager = oscManager();
    if (!manager) return -1;
    if (interpreter.inputMode() & kPassThroughMode) {
        if (QRBContextPtr context = manager->ensureContextWithName(message.path, nullptr))
            RoutingCallback(message, context, *manager);
    }
    return interpreter.interpret(message.types, message.argv, message.argc);
}

// ---- what the handlers share --------------------------------------------------------------------

void QRBInterpretationManager::beginAPIUpdates() {
    auto manager = oscManager();
    if (auto undo = manager ? manager->undoManager() : nullptr) undo->disableUndoRegistration();
}

void QRBInterpretationManager::endAPIUpdates() {
    auto manager = oscManager();
    if (auto undo = manager ? manager->undoManager() : nullptr) undo->enableUndoRegistration();
}

QRBActionPtr QRBInterpretationManager::APIMessageArgumentAtIndex(const std::string& path, long index) {
    auto manager = oscManager();
    if (!manager || index < 0) return nullptr;
    QRBContextPtr context = manager->ensureContextWithName(path, nullptr);
    if (!context) return nullptr;
    const std::vector<QRBActionPtr>& actions = context->actions();
    if (index == 0 && actions.empty()) return context;
    if (size_t(index) < actions.size()) return actions[size_t(index)];
    return nullptr;
}

bool QRBInterpretationManager::APIMessageCreateWithSignature(const std::string& path, const std::string& types) {
    auto manager = oscManager();
    if (!manager || types.empty()) return false;
    QRBContextPtr context = manager->ensureContextWithName(path, nullptr);
    if (!context) return false;
    if (types.size() < 2) {
        declareType(*context, types[0]);
        return true;
    }
    // Existing arguments are left as they are, and extra ones stay.
    while (context->actions().size() < types.size()) {
        const size_t rank = context->actions().size();
        auto action = context->createAction<QRBConcreteAction>(std::nullopt);
        if (!action) return false;
        declareType(*action, types[rank]);
    }
    return true;
}

std::optional<int> QRBInterpretationManager::triggerModeForName(const std::string& name) {
    static const std::array<std::pair<const char*, int>, 4> modes = {{
        {"center-rising", 1},
        {"zero-to-positive", 4},
        {"positive-to-zero", 5},
        {"changed", 9},
    }};
    for (const auto& mode : modes)
        if (name == mode.first) return mode.second;
    return std::nullopt;
}

bool QRBInterpretationManager::isDeclarableType(char type) {
    return type != '\0' && std::strchr("ifhdtcsSbmTFNI", type) != nullptr;
}

int QRBInterpretationManager::refuse(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char line[1024];
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    foundation::logOfKind(std::string("control API refusal: ") + format, line);
    return -1;
}

QRBActionPtr QRBInterpretationManager::requestedArgument(const char* address, const std::string& path, long index) {
    if (refusesMessageAddress(address, path)) return nullptr;
    auto manager = oscManager();
    if (manager && manager->isInputLocked()) {
        refuse("API: %s, cannot change message %s while input is locked", address, foundation::logQuoted(path).c_str());
        return nullptr;
    }
    if (refusesGrowth(address, path, 0)) return nullptr;
    QRBActionPtr action = APIMessageArgumentAtIndex(path, index);
    if (!action)
        refuse("API: %s, APIMessage:argumentAtIndex: failed for argument index %li of message %s", address, index,
               foundation::logQuoted(path).c_str());
    return action;
}

bool QRBInterpretationManager::refusesMessageAddress(const char* address, const std::string& path) {
    if (path.size() < 2 || path[0] != '/' || !QRBPathHasNoPatternCharacters(path)) {
        refuse("API: %s, invalid message address: %s", address, foundation::logQuoted(path).c_str());
        return true;
    }
    if (QRBIsCommandPath(path.c_str())) {
        refuse("API: %s, cannot make message %s: addresses under /quorbital/ are the application's commands", address,
               foundation::logQuoted(path).c_str());
        return true;
    }
    return false;
}

bool QRBInterpretationManager::refusesGrowth(const char* address, const std::string& path, size_t argumentCount) {
    auto manager = oscManager();
    auto presets = manager ? manager->presetManager() : nullptr;
    if (!presets) return false;
    QRBContextPtr existing = manager->contextWithName(path);
    const size_t have = existing ? existing->actions().size() : 0;
    const size_t adding = argumentCount > have ? argumentCount - have : 0;
    if (existing && adding == 0) return false;
    // Counted over the document when something would be added: a walk over its messages, far
    // cheaper than what it guards.
    size_t contexts = 0;
    size_t arguments = 0;
    for (const auto& preset : presets->presets()) {
        contexts += preset->countOfObjects();
        if (adding > 0)
            for (const auto& context : preset->objects()) arguments += context->actions().size();
    }
    if (!existing && contexts >= kMaxDocumentContexts) {
        refuse("API: %s, cannot make message %s: the document holds %zu messages, the most the API adds to", address,
               foundation::logQuoted(path).c_str(), contexts);
        return true;
    }
    if (arguments + adding > kMaxDocumentArgumentActions) {
        refuse("API: %s, cannot give message %s %zu more arguments: the document holds %zu, the API adds up to %zu",
               address, foundation::logQuoted(path).c_str(), adding, arguments, kMaxDocumentArgumentActions);
        return true;
    }
    return false;
}

// ---- archive ------------------------------------------------------------------------------------

void QRBInterpretationManager::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeConditionalObject(std::static_pointer_cast<foundation::Object>(oscManager()), kOSCManagerKey);
    coder.encodeInteger(inputMode_, kInputModeKey);
}

void QRBInterpretationManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
    auto manager = coder.decodeObjectOfClass<QRBManager>(kOSCManagerKey);
    // Only the two mode bits mean anything.
    privateInitWithManager(manager, static_cast<unsigned>(coder.decodeInteger(kInputModeKey)) & kModeBits);
}
