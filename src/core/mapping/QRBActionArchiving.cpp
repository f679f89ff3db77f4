#include "core/mapping/QRBAction.h"

#include "core/mapping/QRBActionHost.h"
#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBDupAction.h"
#include "core/mapping/QRBTrigger.h"
#include "core/monitor/QRBLivePlotController.h"
#include "foundation/Format.h"
#include "foundation/KeyedArchiver.h"

#include <cmath>
#include <cstring>

// Archives of actions and contexts. Documents are untrusted: every value is checked for its kind,
// and a structure the model cannot hold (an action in two lists, a context inside itself) is
// refused with ArchiveError rather than decoded into something that would fail later.

namespace {

using foundation::ArchiveError;
using foundation::KeyedArchiver;
using foundation::KeyedUnarchiver;
using foundation::Value;

// QRBAction
constexpr const char* kNameKey = "QRBActionName";
constexpr const char* kEventSourceKey = "QRBActionEventSource";
constexpr const char* kLoggerKey = "QRBActionLogger";
constexpr const char* kEnabledKey = "QRBActionEnabled";
constexpr const char* kChannelKey = "QRBActionMidiChannel";
constexpr const char* kInputMinKey = "QRBActionInputMin";
constexpr const char* kInputMaxKey = "QRBActionInputMax";
constexpr const char* kOutputMinKey = "QRBActionOutputMin";
constexpr const char* kOutputMaxKey = "QRBActionOutputMax";
constexpr const char* kInputCapKey = "QRBActionInputCap";
constexpr const char* kIntegralFormattingKey = "requireIntegralInputScalingsFormatting";
constexpr const char* kArgValueKey = "argValue";
constexpr const char* kInputArgValueKey = "inputArgValue";
constexpr const char* kContextKey = "QRBActionContext";
constexpr const char* kUserInfoKey = "QRBActionUserInfo";
// Read from older documents only.
constexpr const char* kLegacyArgTypeKey = "QRBActionArgType";
constexpr const char* kLegacyScaleKey = "QRBActionScale";
constexpr const char* kLegacyOffsetKey = "QRBActionOffset";
constexpr const char* kLegacyContextUserInfoKey = "QRBContextUserInfo";
constexpr const char* kLegacyContextNameKey = "QRBContextName";

// QRBContext
constexpr const char* kActionsKey = "QRBContextActions";
constexpr const char* kDemuxRankKey = "QRBContextDemuxRank";
constexpr const char* kLastMessageKey = "lastReceivedMessage";
constexpr const char* kLastDateKey = "lastReceivedDate";
constexpr const char* kLibHandlerKey = "QRBContextLibHandler";

// Older documents named the mapping message after presets.
constexpr const char* kLegacyMappingPath = "/quorbital/preset";
constexpr const char* kMappingPath = "/quorbital/mapping";

// The argument types a value can have.
bool isArgType(int32_t type) {
    return type > 0 && type < 128 && std::strchr("ihfdsScbmtTFNI", static_cast<char>(type)) != nullptr;
}

std::optional<foundation::Dictionary> decodeDictionary(KeyedUnarchiver& coder, const char* key) {
    Value value = coder.decodeObject(key);
    if (value.isNull()) return std::nullopt;
    const foundation::Dictionary* dictionary = value.dictionaryValue();
    if (!dictionary) throw ArchiveError(foundation::format("value for key '%s' is not a dictionary", key));
    return *dictionary;
}

}  // namespace

// ---- QRBAction ---------------------------------------------------------------------------------

void QRBAction::claimDecodedMember(QRBAction& member) {
    if (member.claimedByDecodedOwner_) throw ArchiveError("an action is held by more than one list");
    member.claimedByDecodedOwner_ = true;
}

void QRBAction::encodeWithCoder(KeyedArchiver& coder) const {
    foundation::Object::encodeWithCoder(coder);
    coder.encodeObject(name_ ? Value(*name_) : Value(), kNameKey);
    coder.encodeObject(Value(eventSource_), kEventSourceKey);
    coder.encodeObject(Value(logger_), kLoggerKey);
    coder.encodeBool(enabled_, kEnabledKey);
    coder.encodeInteger(channel_, kChannelKey);
    coder.encodeDouble(inputMin_, kInputMinKey);
    coder.encodeDouble(inputMax_, kInputMaxKey);
    coder.encodeDouble(outputMin_, kOutputMinKey);
    coder.encodeDouble(outputMax_, kOutputMaxKey);
    coder.encodeBool(inputCap_, kInputCapKey);
    coder.encodeBool(requireIntegralInputScalingsFormatting_, kIntegralFormattingKey);
    coder.encodeObject(Value(argValue_), kArgValueKey);
    coder.encodeObject(Value(inputArgValue_), kInputArgValueKey);
    // Conditional: an action never pulls its context into an archive of its own.
    coder.encodeConditionalObject(context(), kContextKey);
    coder.encodeObject(Value(cleanUserInfoDictionary()), kUserInfoKey);
}

void QRBAction::initWithCoder(KeyedUnarchiver& coder) {
    foundation::Object::initWithCoder(coder);

    // Values.
    QRBArgPtr arg = coder.decodeObjectOfClass<QRBArg>(kArgValueKey);
    QRBArgPtr input = coder.decodeObjectOfClass<QRBArg>(kInputArgValueKey);
    previousArgValue_ = std::make_shared<QRBArg>();
    if (!arg) {
        arg = std::make_shared<QRBArg>();
        if (coder.containsValueForKey(kLegacyArgTypeKey)) {
            const int32_t type = coder.decodeInt32(kLegacyArgTypeKey);
            if (!isArgType(type)) throw ArchiveError(foundation::format("QRBAction: unknown argument type %d", type));
            arg->makeSameAsValue(nullptr, type);
        }
    }
    if (!input) input = std::make_shared<QRBArg>();
    // Firing writes the output value while it reads the input: they must be two objects.
    if (input == arg) arg = arg->copy();
    argValue_ = std::move(arg);
    inputArgValue_ = std::move(input);

    // Name, flags and channel.
    name_ = coder.decodeString(kNameKey);
    if (name_ && *name_ == kLegacyMappingPath) name_ = kMappingPath;
    enabled_ = coder.decodeBool(kEnabledKey);
    channel_ = coder.decodeInteger(kChannelKey);
    // Channels count from 1; MIDI outputs compute with channel - 1.
    if (channel_ <= 0) channel_ = 1;

    // Ranges, or the linear mapping of older documents.
    if (coder.containsValueForKey(kInputMinKey)) {
        inputMin_ = coder.decodeDouble(kInputMinKey);
        inputMax_ = coder.decodeDouble(kInputMaxKey);
        outputMin_ = coder.decodeDouble(kOutputMinKey);
        outputMax_ = coder.decodeDouble(kOutputMaxKey);
        inputCap_ = coder.decodeBool(kInputCapKey);
    } else {
        const double scale = coder.decodeDouble(kLegacyScaleKey);
        const double offset = coder.decodeDouble(kLegacyOffsetKey);
        inputMin_ = 0;
        inputMax_ = 1;
        outputMin_ = offset;
        outputMax_ = offset + (std::fabs(scale) >= kEpsilon ? scale : 1);
        inputCap_ = false;
    }
    requireIntegralInputScalingsFormatting_ = coder.decodeBool(kIntegralFormattingKey);

    // User info. Transient keys never belong in a document; should one be there, it is dropped.
    std::optional<foundation::Dictionary> userInfo = decodeDictionary(coder, kUserInfoKey);
    if (!userInfo) userInfo = decodeDictionary(coder, kLegacyContextUserInfoKey);
    userInfo_ = userInfo ? std::move(*userInfo) : foundation::Dictionary();
    userInfo_ = cleanUserInfoDictionary();

    // Context. A context without one (older documents, or an archive of the context alone) is
    // its own.
    QRBContextPtr context = coder.decodeObjectOfClass<QRBContext>(kContextKey);
    if (!context) {
        if (auto self = std::dynamic_pointer_cast<QRBContext>(selfPointer())) context = self;
    }
    setContext(context);

    hasTriggerLikeInput_ = true;
    inputRangeChecked_ = false;

    // Output and plot. Nothing is attached while the document is still being decoded.
    QRBEventSourcePtr source = coder.decodeObjectOfClass<QRBEventSource>(kEventSourceKey);
    installEventSource(source, false);
    logger_ = coder.decodeObjectOfClass<QRBLivePlotController>(kLoggerKey);
    initType();
}

// ---- QRBContext --------------------------------------------------------------------------------

void QRBContext::encodeWithCoder(KeyedArchiver& coder) const {
    QRBAction::encodeWithCoder(coder);
    foundation::Array actions;
    actions.reserve(actions_.size());
    for (const auto& action : actions_) actions.emplace_back(action);
    coder.encodeObject(Value(std::move(actions)), kActionsKey);
    coder.encodeInteger(demuxRank_, kDemuxRankKey);
    coder.encodeObject(Value(lastReceivedMessage_), kLastMessageKey);
    coder.encodeObject(lastReceivedDate_ ? Value(*lastReceivedDate_) : Value(), kLastDateKey);
    coder.encodeConditionalObject(std::dynamic_pointer_cast<foundation::Object>(oscManager()), kLibHandlerKey);
}

void QRBContext::initWithCoder(KeyedUnarchiver& coder) {
    // While this context decodes, it may not turn up among its own actions or theirs.
    struct DecodingFlag {
        bool& flag;
        explicit DecodingFlag(bool& f) : flag(f) { flag = true; }
        ~DecodingFlag() { flag = false; }
    } decoding(decodingActions_);

    QRBAction::initWithCoder(coder);
    if (!name()) setName(coder.decodeString(kLegacyContextNameKey));
    auto self = std::static_pointer_cast<QRBContext>(selfPointer());

    Value list = coder.decodeObject(kActionsKey);
    if (!list.isNull()) {
        const foundation::Array* entries = list.arrayValue();
        if (!entries) throw ArchiveError("QRBContext: its actions are not an array");
        std::vector<QRBActionPtr> actions;
        actions.reserve(entries->size());
        for (const Value& entry : *entries) {
            auto action = entry.object<QRBAction>();
            if (!action) throw ArchiveError("QRBContext: an entry of its actions is not an action");
            if (std::dynamic_pointer_cast<QRBDupAction>(action))
                throw ArchiveError("QRBContext: a duplicate among its actions");
            if (auto child = std::dynamic_pointer_cast<QRBContext>(action); child && child->decodingActions_)
                throw ArchiveError("QRBContext: a context inside itself");
            claimDecodedMember(*action);
            actions.push_back(std::move(action));
        }
        actions_ = std::move(actions);
        // The list is what holds the actions: each one's context is this one, whatever the
        // archive says.
        for (const auto& action : actions_) action->setContext(self);
    }

    demuxRank_ = coder.containsValueForKey(kDemuxRankKey) ? coder.decodeInteger(kDemuxRankKey) : -1;
    if (demuxRank_ < 0) demuxRank_ = -1;

    Value manager = coder.decodeObject(kLibHandlerKey);
    if (!manager.isNull()) {
        auto host = std::dynamic_pointer_cast<QRBActionHost>(manager.objectValue());
        if (!host) throw ArchiveError("QRBContext: its manager is not a manager");
        oscManager_ = host;
    }

    lastReceivedMessage_ = coder.decodeObjectOfClass<QRBOSCMessage>(kLastMessageKey);
    Value date = coder.decodeObject(kLastDateKey);
    if (!date.isNull()) {
        auto when = date.dateValue();
        if (!when) throw ArchiveError("QRBContext: its last date is not a date");
        lastReceivedDate_ = *when;
    }

    // Documents from before the last message was kept: snapshots need one for every context that
    // is not demultiplexed, so it is made from what the actions last received. Its path is the
    // context's name, the path under which the context receives its messages (a child context
    // receives its label).
    if (!lastReceivedMessage_ && demuxRank_ < 0 && name()) {
        std::vector<QRBArgPtr> arguments;
        for (const auto& value : actualInputArgValues()) arguments.push_back(value->copy());
        lastReceivedMessage_ = QRBOSCMessage::OSCMessageWithPath(*name(), std::move(arguments));
    }
}
