#include "features/QRBInterpretationManager.h"

#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBContext.h"
#include "core/osc/QRBServer.h"
#include "document/LibloCallbacks.h"
#include "document/QRBManager.h"
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

const std::array<QRBInterpretationManager::APIMethod, 7>& QRBInterpretationManager::apiMethods() {
    static const std::array<APIMethod, 7> methods = {{
        {kCreatePath, "ss", &QRBInterpretationManager::create},
        {kRangePath, "siii", &QRBInterpretationManager::range},
        {kRangePath, "siff", &QRBInterpretationManager::range},
        {kMapToMIDIPath, nullptr, &QRBInterpretationManager::mapToMIDI},
        {kMappingChannelPath, "siii", &QRBInterpretationManager::mappingChannel},
        {kArgumentChannelPath, "siiisi", &QRBInterpretationManager::argumentChannel},
        {kRestorePath, "s", &QRBInterpretationManager::restoreMapping},
    }};
    return methods;
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
        const std::optional<std::string> types =
            method.types ? std::optional<std::string>(method.types) : std::optional<std::string>();
        server.deleteMethod(std::string(method.path), types);
        server.addMethod(std::string(method.path), types, [self, handler = method.handler](const QRBServerMessage& m) {
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
    auto manager = oscManager();
    if (manager && manager->isInputLocked()) {
        refuse("API: %s, cannot change message %s while input is locked", address, path.c_str());
        return nullptr;
    }
    QRBActionPtr action = APIMessageArgumentAtIndex(path, index);
    if (!action)
        refuse("API: %s, APIMessage:argumentAtIndex: failed for argument index %li of message %s", address, index,
               path.c_str());
    return action;
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
