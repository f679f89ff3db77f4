#include "midi/templates/QRBMIDITemplate.h"

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBTrigger.h"
#include "core/osc/QRBArg.h"
#include "document/QRBManager.h"
#include "foundation/ArchiveLists.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/NotificationCenter.h"
#include "foundation/UndoManager.h"
#include "midi/QRBMIDIManager.h"
#include "midi/QRBMIDIMessageEndpoint.h"
#include "midi/templates/QRBMIDICollection.h"
#include "midi/templates/QRBMIDITemplateMerger.h"

#include <algorithm>
#include <limits>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBMIDITemplate)

namespace {

constexpr const char* kParentCollectionKey = "parentCollection";
constexpr const char* kTemplateBytesKey = "templateBytes";
constexpr const char* kSubstitutionsKey = "substitutions";
constexpr const char* kTriggerModeKey = "triggerMode";
constexpr const char* kDataMinKey = "dataMin";
constexpr const char* kDataMaxKey = "dataMax";
constexpr const char* kShouldTestKey = "shouldTestInputMatching";
constexpr const char* kPathKey = "OSCPathForInputMatching";
constexpr const char* kToleratesKey = "toleratesRedundantOutputValues";

constexpr const char* kInvalidValue = "Invalid value";
constexpr const char* kNegativeValue = "Value must be a positive number";
constexpr const char* kEmptyRange = "Range must not be empty.";

std::string replaceAll(std::string text, const std::string& what, const std::string& with) {
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

std::string trimWhiteSpace(const std::string& text) {
    const char* blanks = " \t\n\r\v\f";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::shared_ptr<QRBMIDIManager> midiManagerOf(const QRBAction& action) {
    auto manager = std::dynamic_pointer_cast<QRBManager>(action.oscManagerOfContext());
    return manager ? manager->midiManager() : nullptr;
}

}  // namespace

QRBMIDITemplate::QRBMIDITemplate() { QRBEventSource::setName(std::string(kDefaultName)); }

QRBMIDITemplate::~QRBMIDITemplate() {
    // Substitutions may outlive the template in undo steps; they must not call back into it.
    for (const auto& s : substitutions_) s->setOwner(nullptr);
}

// ---- class side -------------------------------------------------------------------------------

bool QRBMIDITemplate::shouldAddEventSource(const QRBEventSourcePtr&, const QRBAction* action) {
    return !(action && action->isMultiArgument());
}

foundation::Value QRBMIDITemplate::classProposedEventSourcesCollection(const QRBAction* action) {
    std::shared_ptr<QRBMIDIManager> midi = action ? midiManagerOf(*action) : nullptr;
    if (!midi || midi->templatesCollections().empty())
        return foundation::Value(foundation::Array{
            foundation::Value(foundation::Dictionary{{kNoTemplateTitle, foundation::Value(foundation::Array{})}})});
    const foundation::Value separator(QRBEventSource::menuSeparatorMarker());
    foundation::Array items;
    bool lastWasTemplate = false;
    for (const auto& collection : midi->templatesCollections()) {
        foundation::Array templates;
        for (const auto& t : collection->templates())
            if (shouldAddEventSource(t, action)) templates.emplace_back(t);
        if (collection->templates().empty())
            templates.emplace_back(
                foundation::Dictionary{{kEmptyCollectionTitle, foundation::Value(foundation::Array{})}});
        if (lastWasTemplate) items.push_back(separator);
        items.emplace_back(foundation::Dictionary{{collection->name().value_or(""), foundation::Value(templates)}});
        items.push_back(separator);
        lastWasTemplate = false;
    }
    if (!items.empty() && items.back().object<QRBEventSource>() == QRBEventSource::menuSeparatorMarker())
        items.pop_back();
    return foundation::Value(std::move(items));
}

// ---- fields ---------------------------------------------------------------------------------------

void QRBMIDITemplate::setTriggerMode(unsigned mode) {
    if (mode == triggerMode_) return;
    if (auto undo = undoManager(); undo && undo->isUndoRegistrationEnabled()) {
        undo->registerUndo(this, [me = self(), old = triggerMode_] { me->setTriggerMode(old); });
        if (!undo->isUndoing()) undo->setActionName("Set Trigger Mode");
    }
    triggerMode_ = mode;
    setNeedsAttach();
    notifyChanged();
}

void QRBMIDITemplate::setTemplateBytes(const foundation::Data& bytes) {
    if (bytes == templateBytes_) return;
    if (auto undo = undoManager(); undo && undo->isUndoRegistrationEnabled())
        undo->registerUndo(this, [me = self(), old = templateBytes_] { me->setTemplateBytes(old); });
    templateBytes_ = bytes;
    matchingChanged();
    notifyChanged();
}

bool QRBMIDITemplate::setDataMin(int64_t value) {
    if (value == dataMin_) return true;
    if (value == dataMax_) return false;
    if (auto undo = undoManager(); undo && undo->isUndoRegistrationEnabled())
        undo->registerUndo(this, [me = self(), old = dataMin_] { me->setDataMin(old); });
    dataMin_ = value;
    for (const auto& s : substitutions_) maybeAdjustSubstitutionValueRange(s);
    return true;
}

bool QRBMIDITemplate::setDataMax(int64_t value) {
    if (value == dataMax_) return true;
    if (value == dataMin_) return false;
    if (auto undo = undoManager(); undo && undo->isUndoRegistrationEnabled())
        undo->registerUndo(this, [me = self(), old = dataMax_] { me->setDataMax(old); });
    dataMax_ = value;
    for (const auto& s : substitutions_) maybeAdjustSubstitutionValueRange(s);
    return true;
}

bool QRBMIDITemplate::validateDataRangeValue(const foundation::Value& value, int64_t otherBound,
                                             std::string* error) const {
    const char* text = nullptr;
    if (!value.isNumber()) {
        text = kInvalidValue;
    } else if (value.realValue().value_or(0) < 0) {
        text = kNegativeValue;
    } else if (value.integerValue() == otherBound) {
        text = kEmptyRange;
    }
    if (text && error) *error = text;
    return text == nullptr;
}

bool QRBMIDITemplate::validateDataMin(const foundation::Value& value, std::string* error) const {
    return validateDataRangeValue(value, dataMax_, error);
}

bool QRBMIDITemplate::validateDataMax(const foundation::Value& value, std::string* error) const {
    return validateDataRangeValue(value, dataMin_, error);
}

void QRBMIDITemplate::maybeAdjustSubstitutionValueRange(const QRBMIDISubstitutionPtr& substitution) {
    auto byte = std::dynamic_pointer_cast<QRBMIDIByteSubstitution>(substitution);
    if (!byte || byte->type() != QRBMIDIByteSubstitution::Number) return;
    byte->setDataMin(dataMin_);
    byte->setDataMax(dataMax_);
}

void QRBMIDITemplate::setShouldTestInputMatching(bool on) {
    if (on == shouldTestInputMatching_) return;
    if (auto undo = undoManager(); undo && undo->isUndoRegistrationEnabled())
        undo->registerUndo(this,
                           [me = self(), old = shouldTestInputMatching_] { me->setShouldTestInputMatching(old); });
    shouldTestInputMatching_ = on;
    if (auto parent = parentCollection()) parent->templateMatchingChanged();
    if (on && (!OSCPathForInputMatching_ || OSCPathForInputMatching_->empty()))
        setOSCPathForInputMatching(newOSCPathForInputMatching());
}

void QRBMIDITemplate::setOSCPathForInputMatching(const std::optional<std::string>& path) {
    if (path != OSCPathForInputMatching_) {
        if (auto undo = undoManager(); undo && undo->isUndoRegistrationEnabled())
            undo->registerUndo(this,
                               [me = self(), old = OSCPathForInputMatching_] { me->setOSCPathForInputMatching(old); });
        OSCPathForInputMatching_ = path;
    }
    if (!path || path->empty()) setShouldTestInputMatching(false);
}

std::string QRBMIDITemplate::newOSCPathForInputMatching() const {
    auto parent = parentCollection();
    const std::string collectionName = parent ? parent->name().value_or("") : std::string("(null)");
    std::string path = std::string(kInputPathFormatPrefix) + collectionName + "/" + name().value_or("");
    for (const char* special : {" ", "#", "*", ",", "?", "[", "]", "{", "}"}) path = replaceAll(path, special, "_");
    return trimWhiteSpace(path);
}

void QRBMIDITemplate::setParentCollection(const QRBMIDICollectionPtr& collection) { parentCollection_ = collection; }

// ---- substitutions ----------------------------------------------------------------------------------

void QRBMIDITemplate::adopt(const QRBMIDISubstitutionPtr& substitution) {
    substitution->setUndoManager(undoManager());
    substitution->setOwner(this);
}

void QRBMIDITemplate::addSubstitution(const QRBMIDISubstitutionPtr& substitution) {
    FND_PARAMETER_ASSERT(substitution != nullptr);
    maybeAdjustSubstitutionValueRange(substitution);
    insertSubstitutions({substitution}, {substitutions_.size()});
}

void QRBMIDITemplate::removeSubstitution(const QRBMIDISubstitutionPtr& substitution) {
    auto it = std::find(substitutions_.begin(), substitutions_.end(), substitution);
    if (it == substitutions_.end()) return;
    removeSubstitutionsAtIndexes({static_cast<size_t>(it - substitutions_.begin())});
}

void QRBMIDITemplate::insertSubstitutions(const std::vector<QRBMIDISubstitutionPtr>& substitutions,
                                          const std::vector<size_t>& indexes) {
    FND_PARAMETER_ASSERT(substitutions.size() == indexes.size());
    for (const auto& s : substitutions) FND_PARAMETER_ASSERT(s != nullptr);
    for (const auto& s : substitutions) adopt(s);
    if (auto undo = undoManager(); undo && undo->isUndoRegistrationEnabled())
        undo->registerUndo(this, [me = self(), indexes] { me->removeSubstitutionsAtIndexes(indexes); });
    // Indexes are those of the list after the insertion: placed in increasing order.
    std::vector<std::pair<size_t, QRBMIDISubstitutionPtr>> order;
    for (size_t i = 0; i < indexes.size(); ++i) order.emplace_back(indexes[i], substitutions[i]);
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [at, s] : order)
        substitutions_.insert(substitutions_.begin() + static_cast<std::ptrdiff_t>(std::min(at, substitutions_.size())),
                              s);
    matchingChanged();
    notifyChanged();
}

void QRBMIDITemplate::removeSubstitutionsAtIndexes(const std::vector<size_t>& indexes) {
    std::vector<size_t> sorted = indexes;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    std::vector<QRBMIDISubstitutionPtr> removed;
    for (size_t index : sorted) {
        FND_PARAMETER_ASSERT(index < substitutions_.size());
        removed.push_back(substitutions_[index]);
    }
    if (auto undo = undoManager(); undo && undo->isUndoRegistrationEnabled())
        undo->registerUndo(this, [me = self(), removed, sorted] { me->insertSubstitutions(removed, sorted); });
    for (auto it = sorted.rbegin(); it != sorted.rend(); ++it) {
        substitutions_[*it]->setOwner(nullptr);
        substitutions_.erase(substitutions_.begin() + static_cast<std::ptrdiff_t>(*it));
    }
    matchingChanged();
    notifyChanged();
}

void QRBMIDITemplate::adjustSubstitutionsForAddedBytesInRange(QRBMIDIRange range) {
    for (const auto& s : substitutions_) s->adjustForAddedTemplateBytesInRange(range);
}

void QRBMIDITemplate::adjustSubstitutionsForRemovedBytesInRange(QRBMIDIRange range) {
    for (const auto& s : substitutions_) s->adjustForRemovedTemplateBytesInRange(range);
}

std::vector<QRBMIDISubstitutionPtr> QRBMIDITemplate::substitutionsAffectingTemplateBytesInRange(
    QRBMIDIRange range) const {
    std::vector<QRBMIDISubstitutionPtr> result;
    for (const auto& s : substitutions_)
        if (s->isAffectingTemplateBytesInRange(range)) result.push_back(s);
    return result;
}

std::vector<QRBMIDISubstitutionPtr> QRBMIDITemplate::markConflictingSubstitutions() {
    QRBMIDIBitSet claimed, doublyClaimed, computed;
    for (const auto& s : substitutions_) {
        const QRBMIDIRange bits = s->substitutedBitsRange();
        if (bits.location != 0 || bits.length != 0) {
            for (int64_t b = bits.location; b < bits.end(); ++b)
                if (!claimed.insert(b).second) doublyClaimed.insert(b);
        }
        const QRBMIDIRange c = s->computedBitsRange();
        for (int64_t b = c.location; b < c.end(); ++b) computed.insert(b);
    }
    std::vector<QRBMIDISubstitutionPtr> conflicting;
    for (const auto& s : substitutions_) {
        s->validateSubstitutedBits(doublyClaimed, computed);
        if (s->isConflicting()) conflicting.push_back(s);
    }
    return conflicting;
}

std::vector<QRBComputedBytesRangePtr> QRBMIDITemplate::computedBytesRanges() const {
    std::vector<QRBComputedBytesRangePtr> result;
    for (const auto& s : substitutions_)
        if (auto r = s->computedBytesRange()) result.push_back(r);
    return result;
}

size_t QRBMIDITemplate::nextNonConflictingSubstitutionBytePositionAfter(size_t position) const {
    const size_t length = templateBytes_.size();
    if (position >= length) return position;
    for (size_t p = position; p + 1 < length; ++p) {
        const bool occupied = std::any_of(substitutions_.begin(), substitutions_.end(), [p](const auto& s) {
            return s->substitutedBytesRange().contains(static_cast<int64_t>(p));
        });
        if (!occupied) return p;
    }
    return length - 1;
}

bool QRBMIDITemplate::hasSubstitutionMatchingPredicate(
    const std::function<bool(const QRBMIDISubstitution&)>& predicate) const {
    return std::any_of(substitutions_.begin(), substitutions_.end(), [&](const auto& s) { return predicate(*s); });
}

bool QRBMIDITemplate::canAddNewArgumentExtractingSubstitution() const {
    return !hasSubstitutionMatchingPredicate(
        [](const QRBMIDISubstitution& s) { return dynamic_cast<const QRBMIDITextSubstitution*>(&s) != nullptr; });
}

void QRBMIDITemplate::substituteZerosInBuffer(foundation::Data& buffer) const {
    for (const auto& s : substitutions_) s->substituteZerosInBuffer(buffer);
}

void QRBMIDITemplate::substitutionChanged() { matchingChanged(); }

void QRBMIDITemplate::matchingChanged() {
    matchMasksStale_ = true;
    // The collection's index of its templates is built from the masks.
    if (auto parent = parentCollection()) parent->templateMatchingChanged();
}

// ---- display ------------------------------------------------------------------------------------------

void QRBMIDITemplate::setDisplayNameFromParentCollection(const QRBMIDICollection* collection) {
    displayName_ =
        foundation::format("[%s] %s", collection && collection->name() ? collection->name()->c_str() : "(null)",
                           name() ? name()->c_str() : "(null)");
}

void QRBMIDITemplate::notifyChanged() {
    foundation::NotificationCenter::defaultCenter().post(kChangedNotification, this);
}

void QRBMIDITemplate::setName(const std::optional<std::string>& name) {
    QRBMIDIElement::setName(name);
    // The collection's display name of this template follows its name.
    if (auto parent = parentCollection()) setDisplayNameFromParentCollection(parent.get());
    notifyChanged();
}

void QRBMIDITemplate::setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) {
    QRBMIDIElement::setUndoManager(undoManager);
    for (const auto& s : substitutions_) s->setUndoManager(undoManager);
}

// ---- input ---------------------------------------------------------------------------------------------

void QRBMIDITemplate::refreshMatchMasks() {
    matchMask_.assign(templateBytes_.size(), 0xFF);
    substituteZerosInBuffer(matchMask_);
    matchBits_.resize(templateBytes_.size());
    for (size_t i = 0; i < templateBytes_.size(); ++i) matchBits_[i] = templateBytes_[i] & matchMask_[i];
    matchMasksStale_ = false;
    // A partial match made against the old bytes must still hold against the new ones.
    bool holds = inputMatchBuffer_.size() < templateBytes_.size();
    for (size_t i = 0; holds && i < inputMatchBuffer_.size(); ++i)
        holds = (inputMatchBuffer_[i] & matchMask_[i]) == matchBits_[i];
    if (!holds) inputMatchBuffer_.clear();
}

const foundation::Data& QRBMIDITemplate::inputMatchMask() {
    if (matchMasksStale_) refreshMatchMasks();
    return matchMask_;
}

const foundation::Data& QRBMIDITemplate::inputMatchBits() {
    if (matchMasksStale_) refreshMatchMasks();
    return matchBits_;
}

QRBOSCMessagePtr QRBMIDITemplate::matchByte(uint8_t byte) {
    if (!shouldTestInputMatching_) return nullptr;
    if (matchMasksStale_) {
        const size_t before = inputMatchBuffer_.size();
        refreshMatchMasks();
        // The buffer no longer matches: this byte breaks the match, as the whole candidate would.
        if (before != inputMatchBuffer_.size()) return nullptr;
    }
    const size_t at = inputMatchBuffer_.size();
    if (at >= matchMask_.size() || (byte & matchMask_[at]) != matchBits_[at]) {
        inputMatchBuffer_.clear();
        return nullptr;
    }
    inputMatchBuffer_.push_back(byte);
    if (inputMatchBuffer_.size() < templateBytes_.size()) return nullptr;
    QRBOSCMessagePtr message = buildMatchingOSCMessageWithReceivedData(inputMatchBuffer_);
    inputMatchBuffer_.clear();
    return message;
}

QRBOSCMessagePtr QRBMIDITemplate::buildMatchingOSCMessageWithReceivedData(const foundation::Data& data) {
    QRBMIDIExtractedValues values;
    for (const auto& s : substitutions_) s->extractValuesFromBuffer(data, values);

    std::vector<QRBArgPtr> arguments;
    if (auto it = values.find(QRBMIDISubstitution::kArgumentKey); it != values.end()) {
        QRBArgPtr argument;
        if (const std::string* text = it->second.stringValue()) {
            argument = QRBArg::argWithStringValue(*text);
        } else if (it->second.isNumber()) {
            const double n = static_cast<double>(it->second.uint64Value().value_or(0));
            const double width = static_cast<double>(dataMax_) - static_cast<double>(dataMin_);
            // An empty range (only from a damaged archive) has no scale: it reads as 0.
            const double v = width == 0 ? 0 : (n - static_cast<double>(dataMin_)) / width;
            argument = QRBArg::argWithFloatValue(static_cast<float>(v));
        }
        if (!argument) FND_INTERNAL_ERROR("argumentValue = (neither a number nor a text), but argument is nil");
        arguments.push_back(argument);
    }

    std::string path = OSCPathForInputMatching_.value_or(newOSCPathForInputMatching());
    foundation::Value channel;
    if (auto it = values.find(QRBMIDISubstitution::kChannelKey); it != values.end()) {
        channel = it->second;
        path += "/" + std::to_string(it->second.integerValue().value_or(0));
    }
    foundation::Dictionary backmapping{{kBackmappingEventSourceKey, foundation::Value(self())},
                                       {kBackmappingChannelKey, channel}};
    return QRBOSCMessage::OSCMessageWithPath(path, std::move(arguments),
                                             foundation::Dictionary{{kBackmappingKey, foundation::Value(backmapping)}});
}

// ---- output ----------------------------------------------------------------------------------------------

void QRBMIDITemplate::attach(QRBAction& action) {
    QRBMIDIElement::attach(action);
    if (const auto& trigger = action.trigger()) trigger->setMode(triggerMode_);
    action.setOutputMin(0);
    action.setOutputMax(1.0);
}

QRBMIDIMessagePtr QRBMIDITemplate::buildOutputMessage(const QRBAction& action) const {
    if (templateBytes_.empty() || templateBytes_.size() > kMaxLength) return nullptr;
    foundation::Data buffer = templateBytes_;
    QRBMIDIBufferLayout layout;
    for (const auto& s : substitutions_)
        if (!s->shouldApplySubstitutionOnLastPass() && !s->applySubstitutionOnBuffer(buffer, &action, layout))
            return nullptr;
    for (const auto& s : substitutions_)
        if (s->shouldApplySubstitutionOnLastPass() && !s->applySubstitutionOnBuffer(buffer, &action, layout))
            return nullptr;
    return QRBMIDIMessage::MIDIMessageWithData(std::move(buffer));
}

QRBAcceptResult QRBMIDITemplate::acceptAction(QRBAction& action) {
    QRBMIDIMessagePtr message = buildOutputMessage(action);
    if (!message) return QRBAcceptResult::Failed;
    if (!toleratesRedundantOutputValues_ && lastOutputMessage_ && lastOutputMessage_->isEqualToMIDIMessage(*message)) {
        auto context = action.context();
        if (!context || !context->isSnapshotRestoreInProgress()) return QRBAcceptResult::Failed;
    }
    auto midi = midiManagerOf(action);
    if (!midi) return QRBAcceptResult::Failed;
    const long result = midi->sendMIDIMessage(message, QRBMIDIMessageEndpoint::MIDIOutputsEndpoint());
    // Remembered only once it went out: a message that failed (a device unplugged) is tried again
    // with the same value.
    if (result != 1) return QRBAcceptResult::Failed;
    lastOutputMessage_ = message;
    return QRBAcceptResult::Done;
}

bool QRBMIDITemplate::isEqualToEventSource(const QRBEventSource& other) const {
    if (!QRBMIDIElement::isEqualToEventSource(other)) return false;
    if (&other == this) return true;
    const auto& o = static_cast<const QRBMIDITemplate&>(other);
    if (o.substitutions_.size() != substitutions_.size()) return false;
    for (size_t i = 0; i < substitutions_.size(); ++i)
        if (!substitutions_[i]->isEqualToMIDISubstitution(*o.substitutions_[i])) return false;
    return templateBytes_ == o.templateBytes_ && triggerMode_ == o.triggerMode_;
}

std::shared_ptr<QRBEventSourceMerging> QRBMIDITemplate::merger() const {
    return std::make_shared<QRBMIDITemplateMerger>(
        std::const_pointer_cast<QRBMIDITemplate>(std::static_pointer_cast<const QRBMIDITemplate>(shared_from_this())));
}

QRBMIDIElementPtr QRBMIDITemplate::copyElement() const { return copy(); }

QRBMIDITemplatePtr QRBMIDITemplate::copy() const {
    auto c = std::make_shared<QRBMIDITemplate>();
    c->QRBEventSource::setName(name());
    c->parentCollection_ = parentCollection_;
    c->templateBytes_ = templateBytes_;
    for (const auto& s : substitutions_) {
        auto sc = s->copy();
        sc->setOwner(c.get());
        c->substitutions_.push_back(sc);
    }
    c->triggerMode_ = triggerMode_;
    c->dataMin_ = dataMin_;
    c->dataMax_ = dataMax_;
    c->shouldTestInputMatching_ = shouldTestInputMatching_;
    c->OSCPathForInputMatching_ = OSCPathForInputMatching_;
    c->toleratesRedundantOutputValues_ = toleratesRedundantOutputValues_;
    return c;
}

// ---- archive ----------------------------------------------------------------------------------------------

void QRBMIDITemplate::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBMIDIElement::encodeWithCoder(coder);
    coder.encodeConditionalObject(parentCollection(), kParentCollectionKey);
    coder.encodeBytes(templateBytes_.data(), templateBytes_.size(), kTemplateBytesKey);
    coder.encodeObject(foundation::objectListValue(substitutions_), kSubstitutionsKey);
    coder.encodeInteger(triggerMode_, kTriggerModeKey);
    coder.encodeInteger(dataMin_, kDataMinKey);
    coder.encodeInteger(dataMax_, kDataMaxKey);
    coder.encodeBool(shouldTestInputMatching_, kShouldTestKey);
    coder.encodeObject(OSCPathForInputMatching_ ? foundation::Value(*OSCPathForInputMatching_) : foundation::Value(),
                       kPathKey);
    coder.encodeBool(toleratesRedundantOutputValues_, kToleratesKey);
}

void QRBMIDITemplate::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBMIDIElement::initWithCoder(coder);
    if (auto parent = coder.decodeObject(kParentCollectionKey).object<QRBMIDICollection>()) parentCollection_ = parent;
    templateBytes_ = coder.decodeBytes(kTemplateBytesKey);
    substitutions_.clear();
    if (auto list = foundation::decodeObjectList<QRBMIDISubstitution>(coder, kSubstitutionsKey)) {
        substitutions_ = std::move(*list);
        for (const auto& s : substitutions_) s->setOwner(this);
    }
    const int64_t mode = coder.decodeInteger(kTriggerModeKey);
    triggerMode_ =
        mode < 0 || mode > std::numeric_limits<unsigned>::max() ? kDefaultTriggerMode : static_cast<unsigned>(mode);
    // Bounds below zero have no meaning for MIDI data, and an empty range cannot be scaled onto:
    // such a range from a damaged file is widened by one.
    dataMin_ = std::max<int64_t>(0, coder.decodeInteger(kDataMinKey));
    dataMax_ = std::max<int64_t>(0, coder.decodeInteger(kDataMaxKey));
    if (dataMin_ == dataMax_) {
        if (dataMax_ < std::numeric_limits<int64_t>::max())
            ++dataMax_;
        else
            --dataMin_;
    }
    shouldTestInputMatching_ = coder.decodeBool(kShouldTestKey);
    OSCPathForInputMatching_ = coder.decodeString(kPathKey);
    if (!OSCPathForInputMatching_ || OSCPathForInputMatching_->empty()) shouldTestInputMatching_ = false;
    toleratesRedundantOutputValues_ = coder.decodeBool(kToleratesKey);
    inputMatchBuffer_.clear();
    matchMasksStale_ = true;
}
