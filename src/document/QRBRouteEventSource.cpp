#include "document/QRBRouteEventSource.h"

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBActionHost.h"
#include "core/mapping/QRBEventSourceMerger.h"
#include "core/mapping/QRBTrigger.h"
#include "core/osc/QRBOSCMessage.h"
#include "core/osc/QRBTarget.h"
#include "document/QRBManager.h"
#include "foundation/ArchiveLists.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/SortDescriptor.h"
#include "foundation/UndoManager.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <limits>
#include <typeinfo>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBRouteEventSource)

namespace {

// Archive keys.
constexpr const char* kVersionKey = "Version";
constexpr const char* kTargetIdentifierKey = "targetIdentifier";
constexpr const char* kRewriteAddressKey = "QRBRouteRewriteAddress";
constexpr const char* kTokensKey = "QRBRouteTokens";
constexpr const char* kTriggerModeKey = "triggerMode";
constexpr const char* kMemoKey = "memo";
// Routes of version 4 and older named their target object.
constexpr const char* kLegacyTargetKey = "QRBRouteHostInfo";

constexpr const char* kArrow = "\u279B";  // ➛
constexpr const char* kLocalTarget = "L";
constexpr const char* kDefaultTarget = "\u0110";  // Đ
constexpr const char* kAddressPlaceholder = "<address>";

foundation::Value optionalString(const std::optional<std::string>& s) {
    return s ? foundation::Value(*s) : foundation::Value();
}

const char* triggerModeSuffix(uint64_t mode) {
    switch (mode) {
    case QRBTrigger::kUp: return " [trig up]";
    case QRBTrigger::kDown: return " [trig down]";
    case QRBTrigger::kZeroToPositive: return " [0 to +]";
    case QRBTrigger::kPositiveToZero: return " [+ to 0]";
    case QRBTrigger::kZeroStateChange: return " [\u22600]";
    case QRBTrigger::kIncrease: return " [inc]";
    case QRBTrigger::kDecrease: return " [dec]";
    default: return "";
    }
}

bool isAllArgumentsToken(const QRBArgTokenPtr& token) {
    return token && dynamic_cast<const QRBArgTokenCopy*>(token.get()) != nullptr;
}

std::vector<QRBArgTokenPtr> defaultTokens() { return {std::make_shared<QRBArgTokenCopy>()}; }

bool hasDelimiter(const std::string& text) { return text.find_first_of("<>") != std::string::npos; }

// A reader of address templates: white space is skipped before each element it reads, keywords
// are matched without regard to case.
class TemplateScanner {
public:
    explicit TemplateScanner(const std::string& text) : text_(text) {}

    bool atEnd() {
        skipSpace();
        return pos_ >= text_.size();
    }
    // The characters up to the next delimiter.
    std::string scanUpToDelimiter() {
        skipSpace();
        const size_t start = pos_;
        while (pos_ < text_.size() && !isDelimiter(text_[pos_])) ++pos_;
        return text_.substr(start, pos_ - start);
    }
    // The run of delimiters that follows.
    std::string scanDelimiters() {
        skipSpace();
        const size_t start = pos_;
        while (pos_ < text_.size() && isDelimiter(text_[pos_])) ++pos_;
        return text_.substr(start, pos_ - start);
    }
    bool scanKeyword(const char* keyword) {
        skipSpace();
        const size_t length = std::strlen(keyword);
        if (text_.size() - pos_ < length) return false;
        for (size_t i = 0; i < length; ++i) {
            if (std::tolower(static_cast<unsigned char>(text_[pos_ + i])) != keyword[i]) return false;
        }
        pos_ += length;
        return true;
    }
    // A signed decimal integer; too large a number reads as the largest one.
    bool scanInteger(int64_t* value) {
        skipSpace();
        size_t p = pos_;
        bool negative = false;
        if (p < text_.size() && (text_[p] == '+' || text_[p] == '-')) negative = text_[p++] == '-';
        if (p >= text_.size() || !std::isdigit(static_cast<unsigned char>(text_[p]))) return false;
        uint64_t magnitude = 0;
        for (; p < text_.size() && std::isdigit(static_cast<unsigned char>(text_[p])); ++p) {
            const uint64_t digit = static_cast<uint64_t>(text_[p] - '0');
            magnitude = magnitude > (UINT64_MAX - digit) / 10 ? UINT64_MAX : magnitude * 10 + digit;
        }
        pos_ = p;
        const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
        const int64_t bounded = static_cast<int64_t>(std::min(magnitude, limit));
        *value = negative ? -bounded : bounded;
        return true;
    }

private:
    static bool isDelimiter(char c) { return c == '<' || c == '>'; }
    void skipSpace() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    }

    const std::string& text_;
    size_t pos_ = 0;
};

std::string stringOf(const QRBArgPtr& value) {
    if (!value) return "nil";
    return value->stringValue().value_or("nil");
}

// The ordering value of a route for a sort key: a text, a number, or none.
struct SortValue {
    std::optional<std::string> text;
    std::optional<double> number;
};

SortValue sortValue(const QRBEventSource& source, const std::string& key) {
    const auto* route = dynamic_cast<const QRBRouteEventSource*>(&source);
    if (key == "name") return {source.name(), std::nullopt};
    if (!route) return {};
    if (key == "rewriteAddress") return {route->rewriteAddress(), std::nullopt};
    if (key == "memo") return {route->memo(), std::nullopt};
    if (key == "argumentsRewrite") return {route->argumentsRewrite(), std::nullopt};
    if (key == "targetIdentifier") return {std::nullopt, static_cast<double>(route->targetIdentifier())};
    if (key == "triggerMode") return {std::nullopt, static_cast<double>(route->triggerMode())};
    return {};
}

int compareSortValues(const SortValue& a, const SortValue& b) {
    if (a.number || b.number) {
        if (!a.number || !b.number) return a.number ? 1 : (b.number ? -1 : 0);
        return *a.number < *b.number ? -1 : (*b.number < *a.number ? 1 : 0);
    }
    if (!a.text || !b.text) return a.text ? 1 : (b.text ? -1 : 0);
    const int c = a.text->compare(*b.text);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

QRBRouteEventSource::QRBRouteEventSource() : rewriteTokens_(defaultTokens()) { setName(makeName()); }

// ---- The address template ----------------------------------------------------------------------

QRBRouteEventSource::ReadTemplate QRBRouteEventSource::readTemplate(const std::string& text) {
    ReadTemplate read;
    auto appendText = [&](const std::string& piece) {
        if (piece.empty()) return;
        if (!read.parts.empty() && read.parts.back().kind == TemplatePart::Kind::Text)
            read.parts.back().text += piece;
        else
            read.parts.push_back({TemplatePart::Kind::Text, piece, 0});
    };
    TemplateScanner scanner(text);
    while (!scanner.atEnd()) {
        appendText(scanner.scanUpToDelimiter());
        // Only a single opening delimiter opens a placeholder; any other run is dropped.
        if (scanner.scanDelimiters() != "<") continue;
        int64_t index = 0;
        if (scanner.scanKeyword("address")) {
            read.parts.push_back({TemplatePart::Kind::Address, {}, 0});
        } else if (scanner.scanKeyword("var")) {
            // A negative index names nothing, like a missing one.
            if (scanner.scanInteger(&index) && index >= 0)
                read.parts.push_back({TemplatePart::Kind::Variable, {}, static_cast<uint64_t>(index)});
        } else if (scanner.scanKeyword("arg")) {
            if (scanner.scanInteger(&index) && index >= 0)
                read.parts.push_back({TemplatePart::Kind::Argument, {}, static_cast<uint64_t>(index)});
        }
        // The whole run of delimiters after a placeholder must be the closing one. In
        // "<address><var 1>" the run "><" is not: the line is logged and "var 1" is copied as
        // text, which the log line lets the user see and mend ("<address>/<var 1>").
        if (scanner.scanDelimiters() != ">") ++read.missingClosingDelimiters;
    }
    return read;
}

std::string QRBRouteEventSource::fillTemplate(const ReadTemplate& read, const QRBAction& action) {
    for (size_t i = 0; i < read.missingClosingDelimiters; ++i) foundation::log(kMissingClosingDelimiter);
    std::string result;
    for (const TemplatePart& part : read.parts) {
        switch (part.kind) {
        case TemplatePart::Kind::Text: result += part.text; break;
        case TemplatePart::Kind::Address: result += action.address(); break;
        case TemplatePart::Kind::Variable: {
            auto host = action.oscManagerOfContext();
            result += stringOf(host ? host->variableValueAtIndex(part.index) : nullptr);
            break;
        }
        case TemplatePart::Kind::Argument: {
            QRBArgPtr value = action.argValue();
            if (action.isMultiArgument()) {
                if (QRBContextPtr context = action.context()) {
                    if (QRBActionPtr argument = context->actionAtIndex(static_cast<size_t>(part.index)))
                        value = argument->argValue();
                }
            }
            result += stringOf(value);
            break;
        }
        }
    }
    return result;
}

std::string QRBRouteEventSource::addressWithAction(const QRBAction& action) const {
    // An empty template is no OSC address: it counts as none.
    if (!rewriteAddress_ || rewriteAddress_->empty()) {
        std::string own = action.address();
        if (!hasDelimiter(own)) return own;
        return fillTemplate(readTemplate(own), action);
    }
    // The template is read once per change, but a malformed one is reported at every send, as
    // the rewriting of each message meets the fault again.
    if (!readAddress_) {
        auto read = std::make_shared<ReadTemplate>();
        if (hasDelimiter(*rewriteAddress_))
            *read = readTemplate(*rewriteAddress_);
        else
            read->parts.push_back({TemplatePart::Kind::Text, *rewriteAddress_, 0});
        readAddress_ = std::move(read);
    }
    return fillTemplate(*readAddress_, action);
}

std::vector<QRBArgPtr> QRBRouteEventSource::argumentsWithAction(const QRBAction& action) const {
    std::vector<QRBArgPtr> result;
    result.reserve(rewriteTokens_.size());
    for (const auto& token : rewriteTokens_) token->processAction(action, result);
    return result;
}

// ---- The protocol ------------------------------------------------------------------------------

QRBAcceptResult QRBRouteEventSource::acceptAction(QRBAction& action) {
    auto manager = std::dynamic_pointer_cast<QRBManager>(action.oscManagerOfContext());
    if (!manager) return QRBAcceptResult::Failed;
    // Documents may name a slot the manager doesn't have: nothing is sent there.
    QRBTargetPtr target = manager->targetWithIdentifier(static_cast<long>(targetIdentifier_));
    if (!target) return QRBAcceptResult::Failed;
    // A send made while another one of this route is under way takes a list of its own.
    std::vector<QRBArgPtr> ownArguments;
    std::vector<QRBArgPtr>& arguments = sending_ ? ownArguments : sendArguments_;
    struct SendScope {
        QRBRouteEventSource& route;
        std::vector<QRBArgPtr>& arguments;
        const bool outermost = !route.sending_;
        SendScope(QRBRouteEventSource& r, std::vector<QRBArgPtr>& a) : route(r), arguments(a) { route.sending_ = true; }
        ~SendScope() {
            arguments.clear();  // the values are not held past the send
            if (outermost) route.sending_ = false;
        }
    } scope(*this, arguments);

    // The arguments first: their tokens may log, and so may the address template. The default
    // token alone on a single action sends the action's value itself, read in place instead of
    // copied (the manager copies it only for a message the monitor keeps).
    const bool valueInPlace = rewriteTokens_.size() == 1 &&
                              typeid(*rewriteTokens_.front()) == typeid(QRBArgTokenCopy) && !action.isMultiArgument();
    if (valueInPlace)
        arguments.push_back(action.argValue());
    else
        for (const auto& token : rewriteTokens_) token->processAction(action, arguments);
    const std::string address = addressWithAction(action);
    return manager->sendOSCMessage(address, arguments, target, valueInPlace) == 1 ? QRBAcceptResult::Done
                                                                                  : QRBAcceptResult::Failed;
}

void QRBRouteEventSource::attach(QRBAction& action) {
    QRBEventSource::attach(action);
    if (const auto& trigger = action.trigger())
        trigger->setMode(static_cast<unsigned>(std::min<uint64_t>(triggerMode_, std::numeric_limits<unsigned>::max())));
}

bool QRBRouteEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    if (!QRBEventSource::isEqualToEventSource(other)) return false;
    const auto& route = static_cast<const QRBRouteEventSource&>(other);
    if (route.targetIdentifier_ != targetIdentifier_ || route.triggerMode_ != triggerMode_) return false;
    if (route.rewriteAddress_ != rewriteAddress_) return false;
    if (route.rewriteTokens_.size() != rewriteTokens_.size()) return false;
    for (size_t i = 0; i < rewriteTokens_.size(); ++i) {
        if (!rewriteTokens_[i]->isEqualToArgToken(*route.rewriteTokens_[i])) return false;
    }
    return true;
}

std::shared_ptr<QRBEventSourceMerging> QRBRouteEventSource::merger() const {
    auto me =
        std::const_pointer_cast<QRBEventSource>(std::static_pointer_cast<const QRBEventSource>(shared_from_this()));
    return QRBEventSourceMerger::uniquingMergerWithEventSource(me, kCollectionKeyPath);
}

bool QRBRouteEventSource::requireIntegralScalingsFormatting() const {
    if (rewriteTokens_.empty()) return false;
    const int32_t type = rewriteTokens_.front()->type();
    return type == 'h' || type == 'i';
}

void QRBRouteEventSource::setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) {
    if (undoManager == QRBEventSource::undoManager()) return;
    QRBEventSource::setUndoManager(undoManager);
    for (const auto& token : rewriteTokens_) token->setUndoManager(undoManager);
}

foundation::Value QRBRouteEventSource::classProposedEventSourcesCollection(const QRBAction* action) {
    std::shared_ptr<QRBManager> manager;
    if (action) manager = std::dynamic_pointer_cast<QRBManager>(action->oscManagerOfContext());
    if (!manager || manager->oscRoutes().empty())
        return foundation::Value(foundation::Dictionary{{kNoRoutesTitle, foundation::Value(foundation::Array{})}});
    foundation::Array routes;
    for (const auto& route : sortedRoutes(manager->oscRoutes(), manager->oscRoutesSortDescriptors()))
        routes.emplace_back(route);
    return foundation::Value(std::move(routes));
}

std::vector<QRBEventSourcePtr> QRBRouteEventSource::sortedRoutes(
    std::vector<QRBEventSourcePtr> routes, const std::vector<foundation::SortDescriptorPtr>& descriptors) {
    std::stable_sort(routes.begin(), routes.end(), [&](const QRBEventSourcePtr& a, const QRBEventSourcePtr& b) {
        for (const auto& descriptor : descriptors) {
            if (!descriptor) continue;
            int c = compareSortValues(sortValue(*a, descriptor->key()), sortValue(*b, descriptor->key()));
            if (!descriptor->ascending()) c = -c;
            if (c != 0) return c < 0;
        }
        return false;
    });
    return routes;
}

// ---- Setters -----------------------------------------------------------------------------------

std::shared_ptr<foundation::UndoManager> QRBRouteEventSource::registeringUndoManager() const {
    auto undo = undoManager();
    return undo && undo->isUndoRegistrationEnabled() ? undo : nullptr;
}

void QRBRouteEventSource::setTargetIdentifier(int64_t identifier) {
    if (identifier != targetIdentifier_) {
        if (auto undo = registeringUndoManager())
            undo->registerUndo(this, [me = self(), old = targetIdentifier_] { me->setTargetIdentifier(old); });
        targetIdentifier_ = identifier;
    }
    remakeName();
}

void QRBRouteEventSource::setMemo(const std::optional<std::string>& memo) {
    if (memo == memo_) return;
    if (auto undo = registeringUndoManager())
        undo->registerUndo(this, [me = self(), old = memo_] { me->setMemo(old); });
    memo_ = memo;
    remakeName();
}

void QRBRouteEventSource::setRewriteAddress(const std::optional<std::string>& address) {
    if (address != rewriteAddress_) {
        if (auto undo = registeringUndoManager()) {
            undo->registerUndo(this, [me = self(), old = rewriteAddress_] { me->setRewriteAddress(old); });
            if (!undo->isUndoing()) undo->setActionName(kEditRewriteAddressActionName);
        }
        rewriteAddress_ = address;
        readAddress_.reset();
    }
    remakeName();
}

void QRBRouteEventSource::setTriggerMode(uint64_t mode) {
    if (mode != triggerMode_) {
        if (auto undo = registeringUndoManager()) {
            undo->registerUndo(this, [me = self(), old = triggerMode_] { me->setTriggerMode(old); });
            if (!undo->isUndoing()) undo->setActionName(kSetTriggerModeActionName);
        }
        triggerMode_ = mode;
        setNeedsAttach();
    }
    remakeName();
}

void QRBRouteEventSource::setRewriteTokens(const std::vector<QRBArgTokenPtr>& tokens) {
    foundation::Array list;
    list.reserve(tokens.size());
    for (const auto& token : tokens) list.emplace_back(token);
    setRewriteTokens(foundation::Value(std::move(list)));
}

void QRBRouteEventSource::setRewriteTokens(const foundation::Value& value) {
    if (value.isNull()) return;
    const foundation::Array* list = value.arrayValue();
    FND_PARAMETER_ASSERT(list != nullptr);

    const bool unchanged = list->size() == rewriteTokens_.size() &&
                           std::equal(list->begin(), list->end(), rewriteTokens_.begin(),
                                      [](const foundation::Value& element, const QRBArgTokenPtr& token) {
                                          return element.objectValue().get() == token.get();
                                      });
    if (unchanged) {
        remakeName();
        return;
    }

    std::vector<QRBArgTokenPtr> tokens;
    tokens.reserve(list->size());
    bool unreadable = false;
    for (const foundation::Value& element : *list) {
        if (const std::string* text = element.stringValue()) {
            QRBArgTokenPtr token = QRBArgToken::parseArgToken(*text);
            if (!token) unreadable = true;
            tokens.push_back(std::move(token));
        } else if (auto token = element.object<QRBArgToken>()) {
            tokens.push_back(std::move(token));
        } else {
            FND_INTERNAL_ERROR(kNotAToken);
        }
    }
    if (unreadable) return;

    if (auto undo = registeringUndoManager()) {
        undo->registerUndo(this, [me = self(), old = rewriteTokens_] { me->setRewriteTokens(old); });
        if (!undo->isUndoing()) undo->setActionName(kEditArgumentsActionName);
    }
    storeTokens(std::move(tokens));
    remakeName();
}

void QRBRouteEventSource::storeTokens(std::vector<QRBArgTokenPtr> tokens) {
    if (auto undo = undoManager())
        for (const auto& token : tokens) token->setUndoManager(undo);
    rewriteTokens_ = std::move(tokens);
}

// ---- Names -------------------------------------------------------------------------------------

std::string QRBRouteEventSource::argumentsRewrite() const {
    if (rewriteTokens_.empty() || (rewriteTokens_.size() == 1 && isAllArgumentsToken(rewriteTokens_.front())))
        return "";
    std::string joined;
    for (size_t i = 0; i < rewriteTokens_.size(); ++i) {
        if (i) joined += ", ";
        joined += rewriteTokens_[i]->displayString();
    }
    return joined;
}

std::string QRBRouteEventSource::makeName() const {
    std::string name;
    if (targetIdentifier_ == QRBManager::kLocalTargetIdentifier)
        name = kLocalTarget;
    else if (targetIdentifier_ == QRBManager::kDefaultTargetIdentifier)
        name = kDefaultTarget;
    else if (targetIdentifier_ >= 0)
        name = foundation::format("%llu", static_cast<unsigned long long>(targetIdentifier_) + 1);
    else
        name = foundation::format("%lld", static_cast<long long>(targetIdentifier_) + 1);

    if (memo_ && !memo_->empty()) return name + " " + kArrow + " " + *memo_;

    if (rewriteAddress_ && !rewriteAddress_->empty()) name += std::string(" ") + kArrow + " " + *rewriteAddress_;
    name += triggerModeSuffix(triggerMode_);
    if (rewriteTokens_.empty())
        name += " (no args)";
    else if (std::string arguments = argumentsRewrite(); !arguments.empty())
        name += " : " + arguments;
    return name;
}

// ---- Copying -----------------------------------------------------------------------------------

QRBRouteEventSourcePtr QRBRouteEventSource::copy() const {
    QRBRouteEventSourcePtr copy = makeEmptyCopy();
    copy->targetIdentifier_ = targetIdentifier_;
    copy->rewriteAddress_ = rewriteAddress_;
    copy->triggerMode_ = triggerMode_;
    copy->memo_ = memo_;
    copy->rewriteTokens_.clear();
    for (const auto& token : rewriteTokens_) copy->rewriteTokens_.push_back(token->copy());
    copy->setName(name());
    return copy;
}

// ---- Archive -----------------------------------------------------------------------------------

void QRBRouteEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    coder.encodeInt32(kArchiveVersion, kVersionKey);
    coder.encodeInteger(targetIdentifier_, kTargetIdentifierKey);
    coder.encodeObject(optionalString(rewriteAddress_), kRewriteAddressKey);
    coder.encodeObject(foundation::objectListValue(rewriteTokens_), kTokensKey);
    coder.encodeInteger(static_cast<int64_t>(triggerMode_), kTriggerModeKey);
    coder.encodeObject(optionalString(memo_), kMemoKey);
}

void QRBRouteEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    const int32_t version = coder.decodeInt32(kVersionKey);
    targetIdentifier_ = coder.decodeInteger(kTargetIdentifierKey);
    rewriteAddress_ = coder.decodeString(kRewriteAddressKey);
    std::optional<std::vector<QRBArgTokenPtr>> tokens = foundation::decodeObjectList<QRBArgToken>(coder, kTokensKey);
    triggerMode_ = static_cast<uint64_t>(coder.decodeInteger(kTriggerModeKey));
    memo_ = coder.decodeString(kMemoKey);

    // Version 1 archived an empty list where it meant the default one.
    if (version <= 1 && tokens && tokens->empty()) tokens.reset();
    rewriteTokens_ = tokens ? std::move(*tokens) : defaultTokens();

    // Up to version 3 a "*" stood for the incoming address.
    if (version <= 3 && rewriteAddress_) {
        std::string converted;
        for (char c : *rewriteAddress_) {
            if (c == '*')
                converted += kAddressPlaceholder;
            else
                converted += c;
        }
        rewriteAddress_ = std::move(converted);
    }

    // Up to version 4 a route named its target object; the manager numbered its targets while it
    // decoded them. A target outside the manager's list has no slot: the route then sends to the
    // default target.
    if (version <= 4) {
        targetIdentifier_ = QRBManager::kDefaultTargetIdentifier;
        if (auto target = coder.decodeObjectOfClass<QRBTarget>(kLegacyTargetKey)) {
            const int64_t slot = target->reservedIndex();
            if (slot >= 0 && slot != QRBTarget::kUnnumbered) targetIdentifier_ = slot;
        }
    }
    readAddress_.reset();
    setName(makeName());
}
