#include "core/mapping/QRBAction.h"

#include "core/mapping/QRBActionHost.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBEventSourceMerging.h"
#include "core/mapping/QRBTrigger.h"
#include "core/monitor/QRBLivePlotController.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/NotificationCenter.h"
#include "foundation/UndoManager.h"
#include "zz/ZZTime.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

// The action's model beside its firing path: undoable settings, the output hand-over, names and
// paths, life cycle, copying, user info and the announcements to the manager.

namespace {
constexpr const char* kActionChangedNotification = "QRBActionChangedNotification";
constexpr const char* kActionsCollectionChangedNotification = "QRBActionsCollectionChanged";
constexpr const char* kObjectKey = "NSObject";
constexpr const char* kTriggerStateKey = "_TriggerState";

// The outputs that act on a whole message, the only ones a multi-argument action takes.
constexpr const char* kWholeMessageTypes[] = {"QRBRouteEventSource", "QRBMIDITemplate", "NSLogEventSource"};

bool sameDouble(double a, double b) { return std::fabs(a - b) < QRBAction::kEpsilon; }
}  // namespace

// ---- Undo --------------------------------------------------------------------------------------

void QRBAction::registerUndo(std::function<void()> inverse) {
    auto undo = undoManager_.lock();
    if (!undo || !undo->isUndoRegistrationEnabled()) return;
    undo->registerUndo(this, std::move(inverse));
    undo->setActionIsDiscardable(true);
}

void QRBAction::setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) {
    undoManager_ = undoManager;
}

// ---- Settings ----------------------------------------------------------------------------------

void QRBAction::setEnabled(bool enabled) {
    if (enabled == enabled_) return;
    registerUndo([self = selfPointer(), old = enabled_] { self->setEnabled(old); });
    enabled_ = enabled;
    notifyChange();
}

void QRBAction::setInputCap(bool cap) {
    if (cap == inputCap_) return;
    registerUndo([self = selfPointer(), old = inputCap_] { self->setInputCap(old); });
    inputCap_ = cap;
    notifyChange();
}

namespace {
uint64_t listedRenames = 0;
}  // namespace

uint64_t QRBAction::listedRenameCount() { return listedRenames; }

void QRBAction::setName(const std::optional<std::string>& name) {
    if (name == name_) return;
    registerUndo([self = selfPointer(), old = name_] { self->setName(old); });
    name_ = name;
    if (listedByName_) ++listedRenames;
    notifyChange();
}

void QRBAction::setOutputMin(double value) {
    if (sameDouble(value, outputMin_)) return;
    registerUndo([self = selfPointer(), old = outputMin_] { self->setOutputMin(old); });
    outputMin_ = value;
    // The live plot rescales to the new range.
    if (auto logger = logger_) logger->setAction(selfPointer());
    notifyChange();
}

void QRBAction::setOutputMax(double value) {
    if (sameDouble(value, outputMax_)) return;
    registerUndo([self = selfPointer(), old = outputMax_] { self->setOutputMax(old); });
    outputMax_ = value;
    if (auto logger = logger_) logger->setAction(selfPointer());
    notifyChange();
}

void QRBAction::setInputMin(double value) {
    if (sameDouble(value, inputMin_)) return;
    registerUndo([self = selfPointer(), old = inputMin_] { self->setInputMin(old); });
    inputMin_ = value;
    hasTriggerLikeInput_ = true;
    inputRangeChecked_ = false;
    notifyChange();
}

void QRBAction::setInputMax(double value) {
    if (sameDouble(value, inputMax_)) return;
    registerUndo([self = selfPointer(), old = inputMax_] { self->setInputMax(old); });
    inputMax_ = value;
    hasTriggerLikeInput_ = true;
    inputRangeChecked_ = false;
    notifyChange();
}

void QRBAction::setChannel(int64_t channel) {
    // An action without an output yet keeps any MIDI channel (a Wii remote's number, given when
    // the action is made): the output chosen later lowers it to its own count.
    const int64_t count = type_ ? static_cast<int64_t>(type_->channelCount()) : 16;
    if (channel > count) channel = count;
    if (channel <= 0) channel = 1;
    restoreChannel(channel);
}

void QRBAction::restoreChannel(int64_t channel) {
    if (channel == channel_) return;
    // The output releases what it holds on the old channel (held notes) first.
    if (eventSource_) eventSource_->reset(*this);
    // The inverse stores the old channel as it was: limiting it again by the type of the moment
    // would lose it while an output change is being undone (the type is the new one until the
    // output goes back).
    registerUndo([self = selfPointer(), old = channel_] { self->restoreChannel(old); });
    channel_ = channel;
    notifyChange();
}

void QRBAction::setInternalArgType(int32_t type) {
    inputArgValue_->makeSameAsValue(nullptr, type);
    argValue_->makeSameAsValue(nullptr, type);
}

// ---- Output ------------------------------------------------------------------------------------

void QRBAction::setEventSource(const QRBEventSourcePtr& source) { installEventSource(source, true); }

void QRBAction::installEventSource(const QRBEventSourcePtr& source, bool attachNow) {
    if (source == eventSource_) return;
    // The old output's reset may release what holds this action.
    auto self = selfPointer();
    QRBEventSourcePtr old = eventSource_;
    if (old) {
        old->reset(*this);
        old->detach(*this);
    }
    registerUndo([self, old] { self->setEventSource(old); });
    trigger_.reset();  // ends the auto-repeat
    eventSource_ = source;
    trigger_ = std::make_shared<QRBTrigger>();
    userInfo_ = cleanUserInfoDictionary();
    // The type follows before the channel is limited, so that the limit is the new type's.
    initType();
    if (source) {
        if (attachNow) {
            attachedGeneration_ = source->attachGeneration();
            source->attach(*this);
        } else {
            attachedGeneration_ = 0;  // no generation is 0: the next fire attaches
        }
        const unsigned count = source->eventSourceClass().channelCount();
        if (static_cast<int64_t>(count) < channel_) {
            if (attachNow)
                setChannel(count == 0 ? 1 : count);
            else
                channel_ = count == 0 ? 1 : count;  // nothing is attached yet: nothing to reset
        }
    }
    if (auto logger = logger_) logger->setAction(self);
    notifyChange();
}

void QRBAction::initType() { type_ = eventSource_ ? &eventSource_->eventSourceClass().type() : nullptr; }

void QRBAction::setType(const QRBEventSourceClass* type) {
    const QRBEventSourceClass* previous = type_;
    if (!type || type != type_) setEventSource(nullptr);
    bool accepted = !type || !isMultiArgument();
    for (const char* name : kWholeMessageTypes)
        if (!accepted && type == QRBEventSourceClass::classNamed(name)) accepted = true;
    // Dropping the output cleared the type; an action that refuses the new type shows its old one.
    type_ = accepted ? type : previous;
}

void QRBAction::setTrigger(std::shared_ptr<QRBTrigger> trigger) { trigger_ = std::move(trigger); }

foundation::Value QRBAction::proposedEventSourcesCollection() const {
    return type_ ? type_->proposedEventSourcesCollectionForAction(this) : foundation::Value();
}

// ---- Structure, names and paths --------------------------------------------------------------

const std::vector<QRBActionPtr>& QRBAction::actions() const { ZZRaiseSubclassResponsibility("actions"); }

QRBDupActionPtr QRBAction::dup() { ZZRaiseSubclassResponsibility("dup"); }

QRBDupActionPtr QRBAction::split() { ZZRaiseSubclassResponsibility("split"); }

foundation::Array QRBAction::pathComponents() const { ZZRaiseSubclassResponsibility("pathComponents"); }

namespace {
void collectActions(const QRBAction& action, std::vector<QRBActionPtr>& result,
                    std::unordered_set<const QRBAction*>& seen) {
    for (const auto& below : action.actions()) {
        if (!seen.insert(below.get()).second) continue;
        result.push_back(below);
        collectActions(*below, result, seen);
    }
}
}  // namespace

std::vector<QRBActionPtr> QRBAction::allActions() const {
    std::vector<QRBActionPtr> result;
    std::unordered_set<const QRBAction*> seen;
    collectActions(*this, result, seen);
    return result;
}

QRBActionPtr QRBAction::actionAtIndex(size_t index) const {
    const auto& list = actions();
    return index < list.size() ? list[index] : nullptr;
}

long QRBAction::rank() const {
    auto ctx = context();
    if (!ctx || ctx.get() == this) return -1;
    return ctx->rankOf(*this);
}

std::string QRBAction::rankString() const { return foundation::format("%ld", rank()); }

std::string QRBAction::displayName() const {
    if (name_ && !name_->empty()) return foundation::format("%s: %s", rankString().c_str(), name_->c_str());
    return rankString();
}

std::string QRBAction::fullDisplayName() const {
    auto ctx = context();
    const std::string outer = ctx ? ctx->fullDisplayName() : "(null)";
    return foundation::format("%s[%s]", outer.c_str(), displayName().c_str());
}

std::string QRBAction::address() const {
    auto ctx = context();
    const std::string outer = ctx ? ctx->address() : "(null)";
    return foundation::format("%s/%ld", outer.c_str(), rank());
}

QRBContextPtr QRBAction::topLevelContext() const {
    auto ctx = context();
    return ctx ? ctx->topLevelContext() : nullptr;
}

QRBActionPtr QRBAction::actionAtPath(const foundation::Array& path, size_t from) const {
    if (from >= path.size()) return std::const_pointer_cast<QRBAction>(selfPointer());
    // Paths come from documents too: anything but a number that indexes an action leads nowhere.
    const foundation::Value& component = path[from];
    if (!component.isNumber()) return nullptr;
    const std::optional<int64_t> index = component.integerValue();
    if (!index || *index < 0) return nullptr;
    QRBActionPtr next = actionAtIndex(static_cast<size_t>(*index));
    return next ? next->actionAtPath(path, from + 1) : nullptr;
}

// ---- Life cycle ------------------------------------------------------------------------------

void QRBAction::invalidate() {
    // Leaving the context may release the last owner of this action.
    auto self = selfPointer();
    if (logger_) {
        auto logger = std::move(logger_);
        logger->close();
    }
    setEventSource(nullptr);
    trigger_.reset();
    if (auto ctx = context()) ctx->removeActionsObject(self);
}

void QRBAction::willLeavePreset(const QRBPreset*) {
    if (auto logger = logger_) logger->stop();
    if (auto source = eventSource_) source->reset(*this);
}

void QRBAction::didRestorePreset(const QRBPreset*) {
    if (auto source = eventSource_) {
        attachedGeneration_ = source->attachGeneration();
        source->attach(*this);
    }
    if (auto logger = logger_) {
        logger->setAction(selfPointer());
        logger->start();
    }
}

void QRBAction::mergeEventSourceFromOSCManager(const std::shared_ptr<QRBActionHost>& source,
                                               const std::shared_ptr<QRBActionHost>& destination) {
    const QRBEventSourcePtr current = eventSource_;
    if (!current) return;
    const std::shared_ptr<QRBEventSourceMerging> merger = current->merger();
    setEventSource(merger ? merger->mergeFromOSCManager(source, destination) : current);
}

void QRBAction::makeSameAsAction(const QRBAction& other) {
    argValue_->makeSameAsValue(*other.argValue_);
    inputArgValue_->makeSameAsValue(*other.inputArgValue_);
    setEnabled(other.enabled_);
    setChannel(other.channel_);
    setInputMin(other.inputMin_);
    setInputMax(other.inputMax_);
    setInputCap(other.inputCap_);
    setOutputMin(other.outputMin_);
    setOutputMax(other.outputMax_);
    requireIntegralInputScalingsFormatting_ = other.requireIntegralInputScalingsFormatting_;
    userInfo_ = other.cleanUserInfoDictionary();
    if (!dynamic_cast<const QRBContext*>(&other)) setName(other.name_);
}

// ---- Copying -----------------------------------------------------------------------------------

QRBActionPtr QRBAction::copy() const {
    QRBActionPtr copy = makeEmptyCopy();
    copyInto(*copy);
    return copy;
}

QRBActionPtr QRBAction::makeEmptyCopy() const { return std::make_shared<QRBAction>(); }

void QRBAction::copyInto(QRBAction& copy) const {
    // The values are the same objects: a fire of either shows in both.
    copy.inputArgValue_ = inputArgValue_;
    copy.argValue_ = argValue_;
    copy.previousArgValue_ = previousArgValue_;
    copy.name_ = name_;
    copy.channel_ = channel_;
    copy.enabled_ = enabled_;
    copy.inputMin_ = inputMin_;
    copy.inputMax_ = inputMax_;
    copy.outputMin_ = outputMin_;
    copy.outputMax_ = outputMax_;
    copy.inputCap_ = inputCap_;
    copy.requireIntegralInputScalingsFormatting_ = requireIntegralInputScalingsFormatting_;
    copy.userInfo_ = userInfo_;
    copy.type_ = type_;
    copy.trigger_ = std::make_shared<QRBTrigger>();
    copy.setEventSource(eventSource_);
    if (logger_) {
        auto logger = logger_->copy();
        logger->setAction(copy.selfPointer());
    }
}

// ---- User info ---------------------------------------------------------------------------------

foundation::Value QRBAction::userInfoValueForKey(const std::string& key) const {
    auto it = userInfo_.find(key);
    return it == userInfo_.end() ? foundation::Value() : it->second;
}

void QRBAction::setUserInfoValue(const foundation::Value& value, const std::string& key) {
    if (value.isNull())
        userInfo_.erase(key);
    else
        userInfo_[key] = value;
}

foundation::Dictionary QRBAction::cleanUserInfoDictionary() const {
    foundation::Dictionary clean;
    for (const auto& [key, value] : userInfo_)
        if (key.empty() || key[0] != '_') clean.emplace(key, value);
    return clean;
}

bool QRBAction::userInfo_triggerState() const {
    return userInfoValueForKey(kTriggerStateKey).boolValue().value_or(false);
}

void QRBAction::setUserInfo_triggerState(bool state) { setUserInfoValue(foundation::Value(state), kTriggerStateKey); }

// ---- Announcements -----------------------------------------------------------------------------

void QRBAction::notifyChange() {
    auto host = oscManagerOfContext();
    if (!host) return;
    foundation::NotificationCenter::defaultCenter().post(kActionChangedNotification,
                                                         foundation::NotificationObject(host.get()),
                                                         {{kObjectKey, foundation::Value(shared_from_this())}});
}

void QRBAction::notifyActionsCollectionChanged() {
    auto host = oscManagerOfContext();
    foundation::NotificationCenter::defaultCenter().post(
        kActionsCollectionChangedNotification,
        host ? foundation::NotificationObject(host.get()) : foundation::NotificationObject(),
        {{kObjectKey, foundation::Value(shared_from_this())}});
}

// ---- Debugging ---------------------------------------------------------------------------------

void QRBAction::logDebugDescriptionWithTabLevel(unsigned level) const {
    const std::string prefix(level, '\t');
    const std::string source = eventSource_ ? eventSource_->description() : "(null)";
    foundation::logf("%s%s<%p>: %s%s -> %s", prefix.c_str(), archivedClassName().c_str(),
                     static_cast<const void*>(this), displayName().c_str(), isMultiArgument() ? "*" : "",
                     source.c_str());
    if (!dynamic_cast<const QRBContext*>(this))
        foundation::logf("%s i: %s - o: %s", prefix.c_str(), inputArgValue_->description().c_str(),
                         argValue_->description().c_str());
    for (const auto& action : actions()) action->logDebugDescriptionWithTabLevel(level + 1);
}
