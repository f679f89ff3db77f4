#include "core/monitor/QRBActivityTimer.h"

#include "core/mapping/QRBAction.h"
#include "foundation/NotificationCenter.h"

namespace {
QRBAction* actionOf(const std::shared_ptr<foundation::Object>& object) { return static_cast<QRBAction*>(object.get()); }
}  // namespace

QRBActivityTimer::~QRBActivityTimer() {
    if (flashTimer_) flashTimer_->invalidate();
    forget(actionsOn_);
    forget(actionsOff_);
}

void QRBActivityTimer::start() {
    if (flashTimer_) flashTimer_->invalidate();
    // The timer is invalidated before this object goes, so the callback never outlives it.
    flashTimer_ = foundation::RunLoop::main().scheduleTimer(refreshInterval(), true, foundation::RunLoopMode::Default,
                                                            [this](foundation::Timer&) { flash(); });
}

void QRBActivityTimer::stop() {
    if (flashTimer_) {
        flashTimer_->invalidate();
        flashTimer_.reset();
    }
    for (auto* list : {&actionsOn_, &actionsOff_}) {
        for (const auto& weak : *list)
            if (auto object = weak.lock()) actionOf(object)->turnOffActivity();
    }
    foundation::NotificationCenter::defaultCenter().post(kActivityNotified, foundation::NotificationObject(this));
    forget(actionsOn_);
    forget(actionsOff_);
}

void QRBActivityTimer::notifyActivity(QRBAction& action) {
    if (action.activityPending_) return;
    auto weak = action.weak_from_this();
    if (weak.expired()) return;  // an action nobody owns cannot be lit later
    action.activityPending_ = true;
    actionsOn_.push_back(std::move(weak));
}

void QRBActivityTimer::flash() {
    if (actionsOn_.empty() && actionsOff_.empty()) return;
    ++tick_;
    for (const auto& weak : actionsOn_) {
        if (auto object = weak.lock()) {
            QRBAction* action = actionOf(object);
            action->activityPending_ = false;
            action->activityLitTick_ = tick_;
            action->turnOnActivity();
        }
    }
    for (const auto& weak : actionsOff_) {
        if (auto object = weak.lock(); object && actionOf(object)->activityLitTick_ != tick_)
            actionOf(object)->turnOffActivity();
    }
    // The actions lit now go dark at the next tick that does not light them again. The lists
    // keep their storage from tick to tick.
    actionsOff_.swap(actionsOn_);
    actionsOn_.clear();
    foundation::NotificationCenter::defaultCenter().post(kActivityNotified, foundation::NotificationObject(this));
}

void QRBActivityTimer::forget(std::vector<std::weak_ptr<foundation::Object>>& actions) {
    for (const auto& weak : actions)
        if (auto object = weak.lock()) actionOf(object)->activityPending_ = false;
    actions.clear();
}
