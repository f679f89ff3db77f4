#include "document/LibloCallbacks.h"

#include "document/QRBManager.h"
#include "features/QRBInterpretationManager.h"
#include "foundation/Exception.h"

#include <cstring>
#include <optional>

namespace {
constexpr const char* kCommandPrefix = "/quorbital/";
constexpr const char* kMappingPrefix = "/quorbital/mapping";
constexpr const char* kAPIPrefix = "/quorbital/v1/";
constexpr const char* kPatternCharacters = " #*,?[]{}";

// From the arguments as the method received them: a plain message has no liblo message.
QRBOSCMessagePtr receivedMessage(const QRBServerMessage& message) {
    std::vector<QRBArgPtr> arguments;
    arguments.reserve(message.argc > 0 ? size_t(message.argc) : 0);
    for (int i = 0; i < message.argc; ++i) arguments.push_back(QRBArg::argOfType(message.types[i], message.argv[i]));
    return QRBOSCMessage::OSCMessageWithPath(message.path, std::move(arguments));
}
}  // namespace

int RoutingCallback(const QRBServerMessage& message, const QRBContextPtr& context, QRBManager& manager) {
    if (!context) foundation::raiseAssertion("context != nil", __FILE__, __LINE__);
    auto monitor = manager.messageMonitor();
    const QRBMessageEndpointPtr& endpoint = manager.oscInputEndpoint();
    auto received = receivedMessage(message);
    const foundation::Date date = QRBDateFromMessageTimetag(message.message);
    if (monitor && endpoint) monitor->monitor(received, endpoint, date);
    context->receive(received, endpoint, date);
    return 0;
}

int UndefMethodCallback(const QRBServerMessage& message, QRBManager& manager) {
    // Commands come first: "/quorbital/wii/*" is a pattern and still a command.
    if (QRBIsCommandPath(message.path)) {
        // A request to an address of the API that the API does not have would otherwise pass as
        // a command nobody answers, without a word. (Those it has were logged by their entries
        // when refused.)
        if (std::strncmp(message.path, kAPIPrefix, std::strlen(kAPIPrefix)) == 0 &&
            !QRBInterpretationManager::isAPIPath(message.path))
            QRBInterpretationManager::logUnknownRequest(message.path, message.types, message.argc);
        return QRBHandleCommandMessage(message, manager);
    }
    if (QRBPathHasNoPatternCharacters(message.path)) {
        auto received = receivedMessage(message);
        manager.receive(received, manager.oscInputEndpoint(), QRBDateFromMessageTimetag(message.message));
        return 0;
    }
    return -1;
}

bool QRBIsCommandPath(const char* path) {
    return path && std::strncmp(path, kCommandPrefix, std::strlen(kCommandPrefix)) == 0 &&
           std::strncmp(path, kMappingPrefix, std::strlen(kMappingPrefix)) != 0;
}

int QRBHandleCommandMessage(const QRBServerMessage& message, QRBManager& manager) {
    const std::string host = message.senderHost;
    const std::string port = message.senderPort.empty() ? std::string("0") : message.senderPort;
    std::optional<std::string> argument;
    // The packet check guarantees that a string argument ends inside the packet.
    if (message.argc == 1 && message.types && (message.types[0] == 's' || message.types[0] == 'S'))
        argument = std::string(&message.argv[0]->s);
    manager.notifyCommand(message.path, argument, host, port);
    return 0;
}

foundation::Date QRBDateFromMessageTimetag(lo_message message) {
    lo_timetag tag{0, 1};  // immediate
    if (message) tag = lo_message_get_timestamp(message);
    return foundation::dateFromTimeTag(foundation::OSCTimeTag{tag.sec, tag.frac});
}

bool QRBPathHasNoPatternCharacters(const std::string& path) {
    return path.find_first_of(kPatternCharacters) == std::string::npos;
}
