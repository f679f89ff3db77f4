#include "core/osc/QRBOSCMessage.h"

#include "foundation/Exception.h"
#include "foundation/Format.h"

#include <atomic>
#include <mutex>

namespace {

constexpr const char* kPathKey = "path";
constexpr const char* kArgumentsKey = "arguments";
constexpr const char* kInvalidParameter = "Invalid parameter not satisfying: ";

// Addresses of the device managers that send through the loopback input.
constexpr const char* kUnmonitoredPrefixes[] = {"/midi", "/wacom", "/wii"};

struct FloatPrecisionState {
    std::mutex mutex;
    std::function<long()> source;
    std::atomic<bool> hasSource{false};  // so that every message made without one takes no lock
    std::atomic<bool> applied{false};
};

FloatPrecisionState& floatPrecisionState() {
    static FloatPrecisionState state;
    return state;
}

}  // namespace

void QRBOSCMessage::setPrettyPrinterFloatPrecisionSource(std::function<long()> source) {
    FloatPrecisionState& state = floatPrecisionState();
    std::lock_guard lock(state.mutex);
    state.source = std::move(source);
    // A new source is read again at the next use, so that a fresh start of the program takes
    // the preference as it stands then.
    state.applied.store(false, std::memory_order_release);
    state.hasSource.store(static_cast<bool>(state.source), std::memory_order_release);
}

void QRBOSCMessage::applyPrettyPrinterFloatPrecisionOnce() {
    FloatPrecisionState& state = floatPrecisionState();
    if (state.applied.load(std::memory_order_acquire) || !state.hasSource.load(std::memory_order_acquire)) return;
    std::lock_guard lock(state.mutex);
    if (state.applied.load(std::memory_order_relaxed) || !state.source) return;
    QRBArg::setPrettyPrinterFloatPrecision(state.source());
    state.applied.store(true, std::memory_order_release);
}

QRBOSCMessage::QRBOSCMessage() { applyPrettyPrinterFloatPrecisionOnce(); }

QRBOSCMessage::QRBOSCMessage(std::string path, std::vector<QRBArgPtr> arguments, foundation::Dictionary userInfo)
    : QRBMessage(std::move(userInfo)), path_(std::move(path)), arguments_(std::move(arguments)) {
    applyPrettyPrinterFloatPrecisionOnce();
}

QRBOSCMessagePtr QRBOSCMessage::OSCMessageWithPath(const std::string& path, lo_message message) {
    FND_PARAMETER_ASSERT(message != nullptr);
    const int count = lo_message_get_argc(message);
    const char* types = lo_message_get_types(message);
    lo_arg** values = lo_message_get_argv(message);
    std::vector<QRBArgPtr> arguments;
    arguments.reserve(count > 0 ? size_t(count) : 0);
    for (int i = 0; i < count; ++i) arguments.push_back(QRBArg::argOfType(types[i], values[i]));
    return std::make_shared<QRBOSCMessage>(path, std::move(arguments));
}

QRBOSCMessagePtr QRBOSCMessage::OSCMessageWithPath(const std::string& path, std::vector<QRBArgPtr> arguments,
                                                   foundation::Dictionary userInfo) {
    for (const QRBArgPtr& argument : arguments) FND_PARAMETER_ASSERT(argument != nullptr);
    return std::make_shared<QRBOSCMessage>(path, std::move(arguments), std::move(userInfo));
}

QRBOSCMessagePtr QRBOSCMessage::OSCMessageWithPathKeepArgumentsAfterIndex(const std::string& path, size_t index) const {
    // The reasons name the conditions as the rest of the system states them.
    if (arguments_.empty())
        foundation::raiseAssertion(kInvalidParameter + std::string("self.arguments.count > 0"), __FILE__, __LINE__);
    if (index > arguments_.size())
        foundation::raiseAssertion(kInvalidParameter + std::string("index <= self.arguments.count"), __FILE__,
                                   __LINE__);
    std::vector<QRBArgPtr> kept(arguments_.begin() + static_cast<std::ptrdiff_t>(index), arguments_.end());
    return std::make_shared<QRBOSCMessage>(path, std::move(kept));
}

std::string QRBOSCMessage::OSCTypesSignature() const {
    std::string signature;
    signature.reserve(arguments_.size());
    for (const QRBArgPtr& argument : arguments_) signature += static_cast<char>(argument->libloType());
    return signature;
}

std::string QRBOSCMessage::presentation() const {
    std::string text = path_ + " ," + OSCTypesSignature();
    for (const QRBArgPtr& argument : arguments_) {
        text += " ";
        // A type the printer does not know shows as its letter in brackets rather than vanishing.
        if (auto printed = argument->prettyPrintToString())
            text += *printed;
        else
            text += foundation::format("<%c>", static_cast<char>(argument->libloType()));
    }
    return text;
}

QRBLibloMessagePtr QRBOSCMessage::createLibloMessage(const std::vector<QRBArgPtr>& arguments) {
    QRBLibloMessagePtr message(lo_message_new());
    if (!message) return nullptr;
    for (const QRBArgPtr& argument : arguments)
        if (argument->addToMessage(message.get()) != 0) return nullptr;  // frees the partial message
    return message;
}

bool QRBOSCMessage::serialisePlain(const std::string& path, const std::vector<QRBArgPtr>& arguments,
                                   std::vector<uint8_t>& out) {
    for (const QRBArgPtr& argument : arguments) {
        const int32_t type = argument->libloType();
        if (type != 'i' && type != 'f' && type != 's') return false;
    }
    // A text with its NUL and zeros to a multiple of 4, as every OSC string is written.
    const auto appendPadded = [&](std::string_view text) {
        out.insert(out.end(), text.begin(), text.end());
        out.resize(out.size() + 4 - text.size() % 4, 0);
    };
    out.clear();
    appendPadded(std::string_view(path.c_str()));  // as liblo takes it: up to a NUL
    out.push_back(',');
    for (const QRBArgPtr& argument : arguments) out.push_back(static_cast<uint8_t>(argument->libloType()));
    out.resize(out.size() + 4 - (arguments.size() + 1) % 4, 0);
    for (const QRBArgPtr& argument : arguments) argument->appendPlainOSCBytes(out);
    return true;
}

bool QRBOSCMessage::isMonitorablePath(const std::string& path) {
    for (const char* prefix : kUnmonitoredPrefixes)
        if (path.starts_with(prefix)) return false;
    return true;
}

bool QRBOSCMessage::isEqualToOSCMessage(const QRBOSCMessage& other) const {
    if (this == &other) return true;
    if (path_ != other.path_ || arguments_.size() != other.arguments_.size()) return false;
    for (size_t i = 0; i < arguments_.size(); ++i)
        if (!arguments_[i]->isEqualToArg(*other.arguments_[i])) return false;
    return true;
}

void QRBOSCMessage::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBMessage::encodeWithCoder(coder);
    coder.encodeString(path_, kPathKey);
    foundation::Array arguments;
    arguments.reserve(arguments_.size());
    for (const QRBArgPtr& argument : arguments_) arguments.emplace_back(argument);
    coder.encodeObject(foundation::Value(std::move(arguments)), kArgumentsKey);
}

void QRBOSCMessage::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBMessage::initWithCoder(coder);
    std::optional<std::string> path = coder.decodeString(kPathKey);
    if (!path) throw foundation::ArchiveError("OSC message without a path");
    std::vector<QRBArgPtr> arguments;
    foundation::Value archived = coder.decodeObject(kArgumentsKey);
    if (!archived.isNull()) {
        const foundation::Array* list = archived.arrayValue();
        if (!list) throw foundation::ArchiveError("OSC message arguments are not a list");
        arguments.reserve(list->size());
        for (const foundation::Value& item : *list) {
            auto argument = item.object<QRBArg>();
            if (!argument) throw foundation::ArchiveError("OSC message argument is not an argument value");
            arguments.push_back(std::move(argument));
        }
    }
    path_ = std::move(*path);
    arguments_ = std::move(arguments);
}
