#include "core/mapping/QRBTrigger.h"

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBContext.h"

#include <cmath>

namespace {

constexpr double kEpsilon = QRBAction::kEpsilon;

}  // namespace

double triggerThreshold(const QRBAction& action) { return (action.inputMax() - action.inputMin()) * 0.5; }

bool shouldTriggerForMode(unsigned mode, const QRBAction& action) {
    if (mode == QRBTrigger::kAlways) return true;
    if (mode == QRBTrigger::kNever) return false;

    // A context with actions is judged by its first action's values, against its own range.
    const QRBAction& subject =
        action.isMultiArgument() ? *static_cast<const QRBContext&>(action).actions().front() : action;
    if (!QRBArgTypeIsNumeric(subject.internalArgType())) return true;

    const double t = triggerThreshold(action);
    // Values count by their size, on the side of the threshold: an inverted input range inverts
    // the crossings.
    const double a = std::copysign(std::fabs(subject.argValue()->doubleValue()), t);
    const double p = std::copysign(std::fabs(subject.previousArgValue()->doubleValue()), t);

    // Comparisons with NaN are false.
    switch (mode) {
    case QRBTrigger::kUp: return a > t && p <= t;
    case QRBTrigger::kDown: return a <= t && p > t;
    case QRBTrigger::kEither: return (a > t && p <= t) || (a <= t && p > t);
    case QRBTrigger::kZeroToPositive: return a > kEpsilon && std::fabs(p) < kEpsilon;
    case QRBTrigger::kPositiveToZero: return std::fabs(a) < kEpsilon && p > kEpsilon;
    case QRBTrigger::kZeroStateChange: return (std::fabs(a) < kEpsilon) != (std::fabs(p) < kEpsilon);
    case QRBTrigger::kIncrease: return a > p;
    case QRBTrigger::kDecrease: return a < p;
    case QRBTrigger::kChanged: return std::fabs(a - p) >= kEpsilon;
    default: return false;
    }
}

QRBTrigger::~QRBTrigger() { invalidate(); }

bool QRBTrigger::computeNextState(const QRBAction& action) const {
    return shouldTriggerForMode(mode_, action) || (forceStateChange_ && action.hasTriggerLikeInput());
}

bool QRBTrigger::isArgValueAboveThreshold(const QRBAction& action) {
    if (!QRBArgTypeIsNumeric(action.internalArgType())) return true;
    return action.argValue()->doubleValue() > triggerThreshold(action);
}

QRBAcceptResult QRBTrigger::acceptAction(QRBAction& action) {
    if (!computeNextState(action)) {
        auto context = action.context();
        if (!context || !context->isSnapshotRestoreInProgress()) return QRBAcceptResult::Nothing;
    }
    const bool above = isArgValueAboveThreshold(action);
    if (!above) invalidate();
    const QRBEventSourcePtr source = action.eventSource();
    const QRBAcceptResult r = source ? source->acceptAction(action) : QRBAcceptResult::Nothing;
    if (above) scheduleForRetrigger(action);
    return r;
}

void QRBTrigger::scheduleForRetrigger(QRBAction& action) {
    if (retriggerTimer_) return;
    const bool hasDelay = retriggerThreshold_ > 0;
    const bool repeats = retriggerInterval_ > 0;
    if (!hasDelay && !repeats) return;
    const double delay = hasDelay ? retriggerThreshold_ : retriggerInterval_;

    // The timer holds the action weakly: the action owns this trigger, which owns the timer.
    std::weak_ptr<foundation::Object> weakAction = action.weak_from_this();
    auto timer =
        foundation::Timer::create(repeats ? retriggerInterval_ : delay, repeats, [weakAction](foundation::Timer&) {
            auto object = weakAction.lock();
            if (!object) return;
            auto& repeated = static_cast<QRBAction&>(*object);
            // The current value goes straight to the output: no scaling, no mode test, no activity.
            if (const QRBEventSourcePtr source = repeated.eventSource()) source->acceptAction(repeated);
        });
    timer->setFireDate(foundation::RunLoop::main().now() + delay);
    setRetriggerTimer(std::move(timer));
}

void QRBTrigger::setRetriggerTimer(std::shared_ptr<foundation::Timer> timer) {
    if (timer == retriggerTimer_) return;
    if (retriggerTimer_) retriggerTimer_->invalidate();
    retriggerTimer_ = std::move(timer);
    if (retriggerTimer_) foundation::RunLoop::main().addTimer(retriggerTimer_, foundation::RunLoopMode::Common);
}
