#include "core/mapping/QRBContext.h"

#include "core/mapping/QRBActionConfigurator.h"
#include "core/mapping/QRBConcreteAction.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/UndoManager.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <string_view>

namespace {

constexpr const char* kActualInputArgValuesError =
    "-[actualInputArgValues] is not supported for contexts with demuxRank != -1";

// Whether JSON text nests its arrays and objects no deeper than `limit` (brackets inside strings
// do not count). Checked before parsing, so hostile input never reaches the recursive parts of
// the JSON library (writing nested values back as text).
bool nestingWithin(std::string_view text, size_t limit) {
    size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

float narrowToFloat(double d) {
    // Beyond the float range a number becomes an infinity of its sign, as IEEE rounding gives.
    if (std::isfinite(d) && std::fabs(d) > FLT_MAX) return d > 0 ? INFINITY : -INFINITY;
    return static_cast<float>(d);
}

// The argument a JSON value gives: a number (or a boolean) a float, a string a string, an
// object or array its compact JSON text, null an empty value.
QRBArgPtr argFromJSON(const nlohmann::json& value) {
    using T = nlohmann::json::value_t;
    switch (value.type()) {
    case T::boolean: return QRBArg::argWithFloatValue(value.get<bool>() ? 1.0f : 0.0f);
    case T::number_integer: return QRBArg::argWithFloatValue(static_cast<float>(value.get<int64_t>()));
    case T::number_unsigned: return QRBArg::argWithFloatValue(static_cast<float>(value.get<uint64_t>()));
    case T::number_float: return QRBArg::argWithFloatValue(narrowToFloat(value.get<double>()));
    case T::string: return QRBArg::argWithStringValue(value.get_ref<const std::string&>());
    case T::object:
    case T::array:
        return QRBArg::argWithStringValue(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    default: return QRBArg::argWithNilValue();
    }
}

// The number a name begins with, as a float (0 when it begins with none): leading white space,
// a sign, digits with an optional point, an optional exponent. Child contexts are ordered by it.
float leadingFloat(const std::optional<std::string>& name) {
    if (!name) return 0;
    const std::string& s = *name;
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n')) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    const size_t numberStart = i;
    size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return 0;
    bool negativeExponent = false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) negativeExponent = s[j++] == '-';
        if (j < s.size() && s[j] >= '0' && s[j] <= '9') {
            while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
            i = j;
        }
    }
    double value = 0;
    auto [end, ec] = std::from_chars(s.data() + numberStart, s.data() + i, value);
    if (ec == std::errc::result_out_of_range) value = negativeExponent ? 0.0 : INFINITY;
    if (negative) value = -value;
    return narrowToFloat(value);
}

}  // namespace

QRBContext::QRBContext() = default;

std::shared_ptr<QRBContext> QRBContext::create(const std::optional<std::string>& name,
                                               const std::shared_ptr<QRBActionHost>& libHandler) {
    FND_PARAMETER_ASSERT(libHandler);
    auto context = std::make_shared<QRBContext>();
    context->oscManager_ = libHandler;
    context->setName(name);
    if (name && !name->empty()) QRBActionConfigurator::shared().configureAction(*context);
    return context;
}

// ---- Input -------------------------------------------------------------------------------------

bool QRBContext::refusesArgumentCount(size_t count, size_t existing, const std::string& address) {
    if (count <= kMaxArgumentActionsPerMessage || count <= existing) return false;
    foundation::logOfKind(
        "message with too many arguments",
        foundation::format("Refused a message to %s with %zu arguments: one message makes at most "
                           "%zu argument actions",
                           foundation::logQuoted(address).c_str(), count, kMaxArgumentActionsPerMessage));
    return true;
}

void QRBContext::receive(const QRBOSCMessagePtr& message, const QRBMessageEndpointPtr& source, foundation::Date date) {
    if (!message) FND_INTERNAL_ERROR("message cannot be nil");
    const std::vector<QRBArgPtr>& args = message->arguments();
    const size_t n = args.size();
    const size_t limit = demuxRank_ >= 0 ? static_cast<size_t>(demuxRank_) : n;
    // The actions it would make (one per argument up to the demultiplexing index) are refused
    // whole beyond the ceiling: the message changes nothing.
    if (n > kMaxArgumentActionsPerMessage && refusesArgumentCount(std::min(n, limit), actions_.size(), address()))
        return;
    setLastReceivedMessage(message, date);
    setShallowTriggeringEnabled(n == 0);

    size_t c = 0;
    if (n == 0 || !checkDemux(0, message, source, date)) {
        for (size_t i = 0; i < n;) {
            // One new action per index at most, so a message creates the actions it lacks in
            // argument order.
            if (n != 1 && actions_.size() < limit) {
                if (auto action = createAction<QRBConcreteAction>(std::nullopt))
                    QRBActionConfigurator::shared().configureAction(*action);
            }
            c = actions_.size();
            if (i < c) {
                const QRBActionPtr action = actions_[i];  // held: an output may edit the list
                action->fire(args[i].get());
            } else if (n == 1) {
                fire(args[0].get());
            }
            ++i;
            if (i < n && checkDemux(i, message, source, date)) break;
        }
    }

    if (c >= limit) {
        if (shallowTriggeringEnabled_) {
            // A press: 1 now, 0 a tenth of a second later.
            inputArgValue()->setLibloType('f');
            inputArgValue()->setFloatValue(1.0f);
            scheduleFire(QRBArg::argWithFloatValue(0.0f));
        }
        fire();
    }
}

bool QRBContext::checkDemux(size_t index, const QRBOSCMessagePtr& message, const QRBMessageEndpointPtr& source,
                            foundation::Date date) {
    const std::vector<QRBArgPtr>& args = message->arguments();
    if (args.empty() || demuxRank_ < 0 || index != static_cast<size_t>(demuxRank_) || index >= args.size())
        return false;
    const QRBArg& arg = *args[index];
    if (arg.libloType() == 's' && demuxJSON(arg, source, date)) return true;

    auto label = demuxLabel(arg);
    // A value that gives no label selects no child: that part of the message is dropped.
    if (!label) return true;
    deliverToChild(*label, message->OSCMessageWithPathKeepArgumentsAfterIndex(*label, index + 1), source, date);
    return true;
}

bool QRBContext::demuxJSON(const QRBArg& arg, const QRBMessageEndpointPtr& source, foundation::Date date) {
    const std::optional<std::string> text = arg.stringValue();
    if (!text || !nestingWithin(*text, kMaxJSONDepth)) return false;
    nlohmann::json json = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
    // Each key or element makes a child: one message makes no more of them than of arguments.
    if ((json.is_object() || json.is_array()) && json.size() > kMaxArgumentActionsPerMessage &&
        refusesArgumentCount(json.size(), actions_.size(), address()))
        return true;
    if (json.is_object()) {
        for (const auto& [key, value] : json.items())
            deliverToChild(key, QRBOSCMessage::OSCMessageWithPath(key, {argFromJSON(value)}), source, date);
        return true;
    }
    if (json.is_array()) {
        for (size_t t = 0; t < json.size(); ++t) {
            const std::string label = foundation::format("%li", static_cast<long>(t));
            deliverToChild(label, QRBOSCMessage::OSCMessageWithPath(label, {argFromJSON(json[t])}), source, date);
        }
        return true;
    }
    return false;
}

void QRBContext::deliverToChild(const std::string& label, const QRBOSCMessagePtr& part,
                                const QRBMessageEndpointPtr& source, foundation::Date date) {
    if (auto child = ensureChildContext(label)) child->receive(part, source, date);
}

std::optional<std::string> QRBContext::demuxLabel(const QRBArg& arg) const {
    switch (arg.libloType()) {
    case 'i':
    case 'h':
    case 'f':
    case 'd':
    case 'T':
    case 'F':
    case 'N':
    case 'I': return foundation::format("%.16g", arg.doubleValue());
    case 's':
    case 'S':
    case 'c': return arg.stringValue().value_or(std::string());
    default:
        foundation::logf(kUnsupportedLabelFormat, name() ? foundation::logQuoted(*name()).c_str() : "(null)",
                         arg.description().c_str());
        return std::nullopt;
    }
}

void QRBContext::fire() {
    QRBAction::fire();
    if (shallowTriggeringEnabled_ && actions_.size() == 1) {
        const QRBActionPtr action = actions_.front();
        action->fire(inputArgValue().get());
    }
}

// ---- Structure ---------------------------------------------------------------------------------

QRBContextPtr QRBContext::context() const {
    if (ownContext_)
        return std::static_pointer_cast<QRBContext>(
            std::const_pointer_cast<foundation::Object>(weak_from_this().lock()));
    return QRBAction::context();
}

void QRBContext::setContext(const QRBContextPtr& context) {
    ownContext_ = context.get() == this;
    QRBAction::setContext(ownContext_ ? nullptr : context);
}

bool QRBContext::isTopLevel() const { return ownContext_; }

QRBContextPtr QRBContext::ensureChildContext(const std::string& label) {
    if (auto existing = contextWithName(label)) return existing;
    auto child = createAction<QRBContext>(label);
    if (!child) return nullptr;
    child->setOscManager(oscManager());
    return child;
}

QRBContextPtr QRBContext::contextWithName(const std::string& name) const {
    for (const auto& action : actions_) {
        if (auto child = std::dynamic_pointer_cast<QRBContext>(action);
            child && child->name() && *child->name() == name)
            return child;
    }
    return nullptr;
}

std::vector<QRBContextPtr> QRBContext::subContexts() const {
    std::vector<QRBContextPtr> children;
    for (const auto& action : actions_)
        if (auto child = std::dynamic_pointer_cast<QRBContext>(action)) children.push_back(std::move(child));
    return children;
}

size_t QRBContext::insertionIndexFor(const QRBAction& action) const {
    if (demuxRank_ < 0 || static_cast<size_t>(demuxRank_) >= actions_.size()) return actions_.size();
    const float v = leadingFloat(action.name());
    for (size_t i = static_cast<size_t>(demuxRank_); i < actions_.size(); ++i)
        if (!(leadingFloat(actions_[i]->name()) < v)) return i;
    return actions_.size();
}

bool QRBContext::holdsAction(const QRBAction& action) const {
    // Every action of the list has this context as its own (adding, decoding and copying set it,
    // removing clears it), so an action of another context or of none is not in the list: a new
    // action, the usual case, is added without a search. Only an action that names this context
    // without being listed (a duplicate, whose context is its master's) is looked for.
    if (action.context().get() != this) return false;
    return std::find_if(actions_.begin(), actions_.end(), [&](const QRBActionPtr& a) { return a.get() == &action; }) !=
           actions_.end();
}

void QRBContext::addActionsObject(const QRBActionPtr& action) {
    if (!action) return;
    if (!holdsAction(*action))
        insertActionsObject(action, insertionIndexFor(*action), false);
    else
        notifyActionsCollectionChanged();
}

void QRBContext::insertActionsObject(const QRBActionPtr& action, size_t index, bool undoable) {
    if (holdsAction(*action)) {
        notifyActionsCollectionChanged();
        return;
    }
    if (undoable) {
        registerUndo([self = std::static_pointer_cast<QRBContext>(shared_from_this()), action] {
            self->removeActionsObject(action);
        });
    }
    if (eventSource() && actions_.empty()) {
        // The output of a single-argument context moves to its first argument action.
        QRBEventSourcePtr source = eventSource();
        action->setEventSource(source);
        setEventSource(nullptr);
    }
    index = std::min(index, actions_.size());
    actions_.insert(actions_.begin() + static_cast<long>(index), action);
    action->setContext(std::static_pointer_cast<QRBContext>(shared_from_this()));
    action->setUndoManager(undoManager());
    notifyActionsCollectionChanged();
}

void QRBContext::removeActionsObject(const QRBActionPtr& action) {
    if (!action) return;
    auto self = std::static_pointer_cast<QRBContext>(shared_from_this());
    if (action.get() == this) {
        const std::vector<QRBActionPtr> held = actions_;
        for (const auto& a : held) a->invalidate();
        if (auto host = oscManager()) host->removeContext(self);
    } else if (auto it = std::find(actions_.begin(), actions_.end(), action); it != actions_.end()) {
        // The undo puts the action back at its index, so that argument actions keep their ranks
        // however the rows of a deletion are ordered.
        const size_t index = static_cast<size_t>(it - actions_.begin());
        registerUndo([self, action, index] { self->insertActionsObject(action, index, true); });
        action->setContext(nullptr);
        actions_.erase(it);
    }
    if (auto undo = undoManager(); undo && undo->isUndoRegistrationEnabled()) undo->setActionIsDiscardable(true);
    notifyActionsCollectionChanged();
}

void QRBContext::invalidate() {
    auto self = shared_from_this();
    const std::vector<QRBActionPtr> held = actions_;
    for (const auto& a : held) a->invalidate();
    QRBAction::invalidate();
}

// ---- Demultiplexing ----------------------------------------------------------------------------

void QRBContext::setDemuxRank(long rank) {
    if (rank == demuxRank_) return;
    registerUndo(
        [self = selfPointer(), old = demuxRank_] { std::static_pointer_cast<QRBContext>(self)->setDemuxRank(old); });
    demuxRank_ = rank;
    notifyChange();
}

void QRBContext::demux(long index) {
    setDemuxRank(index);
    if (index >= 0) {
        while (!actions_.empty()) removeActionsObject(actions_.front());
    }
}

bool QRBContext::demux() {
    demux(0);
    return true;
}

// ---- State -------------------------------------------------------------------------------------

void QRBContext::setOscManager(const std::shared_ptr<QRBActionHost>& manager) {
    if (manager == oscManager_.lock()) return;
    oscManager_ = manager;
    for (const auto& action : actions_)
        if (auto child = std::dynamic_pointer_cast<QRBContext>(action)) child->setOscManager(manager);
}

void QRBContext::setShallowTriggeringEnabled(bool enabled) {
    if (enabled == shallowTriggeringEnabled_) return;
    shallowTriggeringEnabled_ = enabled;
    if (enabled) setHasTriggerLikeInput(true);
    setInputRangeChecked(false);
}

void QRBContext::setLastReceivedMessage(const QRBOSCMessagePtr& message, foundation::Date date) {
    if (message != lastReceivedMessage_) {
        lastReceivedMessage_ = message;
        if (auto host = oscManager()) host->setLastRecalledSnapshotDirty();
    }
    lastReceivedDate_ = date;
}

// ---- Snapshots ---------------------------------------------------------------------------------

void QRBContext::recallSnapshotMessage(const QRBOSCMessagePtr& message, const QRBMessageEndpointPtr& endpoint) {
    if (!message) return;
    struct RestoreFlag {
        bool& flag;
        explicit RestoreFlag(bool& f) : flag(f) { flag = true; }
        ~RestoreFlag() { flag = false; }
    } restoring(snapshotRestoreInProgress_);
    const foundation::Date now = foundation::Date::now();
    if (auto host = oscManager(); host && endpoint) {
        if (auto monitor = host->messageMonitor()) monitor->monitor(message, endpoint, now);
    }
    receive(message, endpoint, now);
}

size_t QRBContext::actualArgumentCount() const {
    return lastReceivedMessage_ ? lastReceivedMessage_->arguments().size() : 0;
}

std::vector<QRBArgPtr> QRBContext::actualInputArgValues() const {
    if (demuxRank_ != -1) FND_INTERNAL_ERROR(kActualInputArgValuesError);
    if (actions_.empty()) return {inputArgValue()};
    std::vector<QRBArgPtr> values;
    values.reserve(actions_.size());
    for (const auto& action : actions_) values.push_back(action->inputArgValue());
    return values;
}
