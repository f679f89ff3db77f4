#include "core/QRBAction.h"

#include "core/QRBActionHost.h"
#include "core/QRBContext.h"
#include "core/QRBLivePlotController.h"
#include "core/QRBTrigger.h"
#include "foundation/NotificationCenter.h"

// The action's model beside its firing path: settings, the output hand-over, life cycle, user
// info and the announcements to the manager. The document's undo registration of edits belongs
// here, next to the setters it inverts.

namespace {
constexpr const char* kActionChangedNotification = "QRBActionChangedNotification";
constexpr const char* kActionsCollectionChangedNotification = "QRBActionsCollectionChanged";
constexpr const char* kObjectKey = "NSObject";
}  // namespace

// ---- Settings ----------------------------------------------------------------------------------

void QRBAction::setEnabled(bool enabled) { enabled_ = enabled; }

void QRBAction::setInputCap(bool cap) { inputCap_ = cap; }

void QRBAction::setName(const std::optional<std::string>& name) { name_ = name; }

void QRBAction::setOutputMin(double value) { outputMin_ = value; }

void QRBAction::setOutputMax(double value) { outputMax_ = value; }

void QRBAction::setInputMin(double value) {
    inputMin_ = value;
    hasTriggerLikeInput_ = true;
    inputRangeChecked_ = false;
}

void QRBAction::setInputMax(double value) {
    inputMax_ = value;
    hasTriggerLikeInput_ = true;
    inputRangeChecked_ = false;
}

void QRBAction::setChannel(int64_t channel) {
    const int64_t count = type_ ? static_cast<int64_t>(type_->channelCount()) : 0;
    if (channel > count) channel = count;
    if (channel <= 0) channel = 1;
    if (channel == channel_) return;
    if (eventSource_) eventSource_->reset(*this);
    channel_ = channel;
}

// ---- Output ------------------------------------------------------------------------------------

void QRBAction::setEventSource(const QRBEventSourcePtr& source) {
    if (source == eventSource_) return;
    // The old output's reset may release what holds this action.
    auto self = shared_from_this();
    if (auto old = eventSource_) {
        old->reset(*this);
        old->detach(*this);
    }
    trigger_.reset();  // ends the auto-repeat
    eventSource_ = source;
    trigger_ = std::make_shared<QRBTrigger>();
    userInfo_ = cleanUserInfoDictionary();
    initType();
    if (source) {
        attachedGeneration_ = source->attachGeneration();
        source->attach(*this);
        const unsigned count = source->eventSourceClass().channelCount();
        if (static_cast<int64_t>(count) < channel_) setChannel(count == 0 ? 1 : count);
    }
    if (auto logger = logger_) logger->setAction(std::static_pointer_cast<QRBAction>(self));
}

void QRBAction::initType() { type_ = eventSource_ ? &eventSource_->eventSourceClass().type() : nullptr; }

void QRBAction::setTrigger(std::shared_ptr<QRBTrigger> trigger) { trigger_ = std::move(trigger); }

// ---- Life cycle ------------------------------------------------------------------------------

void QRBAction::invalidate() {
    // Leaving the context may release the last owner of this action.
    auto self = shared_from_this();
    if (logger_) {
        auto logger = std::move(logger_);
        logger->close();
    }
    setEventSource(nullptr);
    trigger_.reset();
    if (auto ctx = context()) ctx->removeActionsObject(std::static_pointer_cast<QRBAction>(self));
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
