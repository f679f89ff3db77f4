#include "features/QRBDelayEventSource.h"

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBDupAction.h"
#include "core/mapping/QRBTrigger.h"
#include "document/QRBManager.h"
#include "features/QRBActionFiring.h"
#include "features/QRBTimeEventsManager.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/UndoManager.h"

#include <algorithm>
#include <cmath>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBDelayEventSource)

namespace {
constexpr const char* kDelayIntervalKey = "delayInterval";
constexpr const char* kMemoKey = "memo";
}  // namespace

QRBDelayEventSource::QRBDelayEventSource() { rename(); }

QRBDelayEventSource::~QRBDelayEventSource() { cancelAll(); }

foundation::Value QRBDelayEventSource::classProposedEventSourcesCollection(const QRBAction* action) {
    std::shared_ptr<QRBManager> manager;
    if (action) manager = std::dynamic_pointer_cast<QRBManager>(action->oscManagerOfContext());
    const auto& events = manager ? manager->timeEventsManager() : nullptr;
    if (!events || events->delays().empty())
        return foundation::Value(foundation::Dictionary{{kNoDelaysTitle, foundation::Value(foundation::Array{})}});
    foundation::Array list;
    for (const auto& delay : events->sortedDelays()) list.emplace_back(delay);
    return foundation::Value(std::move(list));
}

void QRBDelayEventSource::setDelayInterval(double seconds) {
    if (seconds == delayInterval_ || std::fabs(seconds - delayInterval_) < 0x1p-52) return;
    if (auto undo = undoManager(); undo && undo->isUndoRegistrationEnabled()) {
        auto me = std::static_pointer_cast<QRBDelayEventSource>(shared_from_this());
        undo->registerUndo(this, [me, old = delayInterval_] { me->setDelayInterval(old); });
    }
    delayInterval_ = seconds;
    rename();
}

void QRBDelayEventSource::setMemo(const std::optional<std::string>& memo) {
    if (memo == memo_) return;
    if (auto undo = undoManager(); undo && undo->isUndoRegistrationEnabled()) {
        auto me = std::static_pointer_cast<QRBDelayEventSource>(shared_from_this());
        undo->registerUndo(this, [me, old = memo_] { me->setMemo(old); });
    }
    memo_ = memo;
    rename();
}

void QRBDelayEventSource::rename() {
    // Truncated toward zero; an interval a document holds that no long can show (not a number,
    // or beyond the range) shows as 0 rather than converting out of range.
    const double ms = delayInterval_ * 1000.0;
    const long shown = std::isfinite(ms) && std::fabs(ms) < 9.2e18 ? static_cast<long>(ms) : 0;
    std::string text = foundation::format(kNameFormat, shown);
    if (memo_ && !memo_->empty()) text = foundation::format(kNameWithMemoFormat, text.c_str(), memo_->c_str());
    // The name follows the values: not a change of its own to undo.
    auto undo = undoManager();
    if (undo) undo->disableUndoRegistration();
    setName(text);
    if (undo) undo->enableUndoRegistration();
}

void QRBDelayEventSource::attach(QRBAction& action) {
    QRBEventSource::attach(action);
    if (const auto& trigger = action.trigger()) trigger->setMode(QRBTrigger::kAlways);
}

void QRBDelayEventSource::detach(QRBAction& action) {
    auto it = timers_.find(Owner(action.weak_from_this()));
    if (it != timers_.end()) {
        Timers cancelled = std::move(it->second);
        timers_.erase(it);
        pendingCount_ -= cancelled.size();
        for (const auto& timer : cancelled) timer->invalidate();
    }
    QRBEventSource::detach(action);
}

void QRBDelayEventSource::cancelAll() {
    auto all = std::move(timers_);
    timers_.clear();
    pendingCount_ = 0;
    for (auto& [owner, timers] : all)
        for (const auto& timer : timers) timer->invalidate();
}

QRBAcceptResult QRBDelayEventSource::acceptAction(QRBAction& action) {
    // Not above zero (NaN included): transparent.
    if (!(delayInterval_ > 0) || !std::isfinite(delayInterval_)) return QRBAcceptResult::Nothing;
    auto* concrete = dynamic_cast<QRBConcreteAction*>(&action);
    // Only argument actions and their duplicates form chains; anything else has nothing after it.
    if (!concrete) return QRBAcceptResult::Nothing;
    concrete->haltFiring();
    QRBDupActionPtr next = concrete->nextDup();
    if (!next) return QRBAcceptResult::Nothing;

    const Owner owner = action.weak_from_this();
    Timers& pending = timers_[owner];
    if (pending.size() >= kMaxPendingFiresPerAction) {
        if (pending.empty()) timers_.erase(owner);
        const foundation::LogKind kind("delay fire dropped");
        // The action is not named: its address is the sender's text, and the line is for the
        // user to see that a delay overflows, which its name tells.
        foundation::logf("The delay \"%s\" already holds %zu pending fires for one action; a fire was dropped.",
                         name().value_or("").c_str(), kMaxPendingFiresPerAction);
        return QRBAcceptResult::Failed;
    }
    auto firing = std::make_shared<QRBActionFiring>(next, *action.inputArgValue());
    std::weak_ptr<QRBDelayEventSource> weak = std::static_pointer_cast<QRBDelayEventSource>(shared_from_this());
    auto timer = foundation::Timer::create(delayInterval_, false, [weak, owner, firing](foundation::Timer& t) {
        if (auto self = weak.lock()) self->timerFired(t, owner, *firing);
    });
    pending.insert(timer);
    ++pendingCount_;
    foundation::RunLoop::main().addTimer(timer, foundation::RunLoopMode::Common);
    return QRBAcceptResult::Done;
}

void QRBDelayEventSource::timerFired(foundation::Timer& timer, const Owner& owner, const QRBActionFiring& firing) {
    // Out of the list first: the fire may detach this delay, or schedule again.
    auto it = timers_.find(owner);
    if (it != timers_.end()) {
        if (it->second.erase(timer.shared_from_this()) > 0) --pendingCount_;
        if (it->second.empty()) timers_.erase(it);
    }
    firing.fire();
}

bool QRBDelayEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    const auto* same = dynamic_cast<const QRBDelayEventSource*>(&other);
    return same && typeid(other) == typeid(*this) && same->delayInterval_ == delayInterval_ && same->memo_ == memo_;
}

void QRBDelayEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    coder.encodeDouble(delayInterval_, kDelayIntervalKey);
    coder.encodeObject(memo_ ? foundation::Value(*memo_) : foundation::Value(), kMemoKey);
}

void QRBDelayEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    delayInterval_ = coder.decodeDouble(kDelayIntervalKey);
    memo_ = coder.decodeString(kMemoKey);
    rename();
}
