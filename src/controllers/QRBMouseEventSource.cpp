#include "controllers/QRBMouseEventSource.h"

#include "controllers/QRBKeyEventManager.h"
#include "controllers/QRBMouseManager.h"
#include "controllers/devices/DeviceLayers.h"
#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBTrigger.h"
#include "core/osc/QRBArg.h"
#include "foundation/RunLoop.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBMouseEventSource)

namespace {

constexpr const char* kMouseActionTypeKey = "QRBMouseActionType";
constexpr const char* kLastClickDateKey = "_LastClickDate";
constexpr const char* kMultiClickCountKey = "_MultiClickCount";
constexpr const char* kEventNumberKey = "_EventNumber";
constexpr int kScrollWheelEventType = 22;
// The dead zone of the relative moves, as the single-precision value it always was.
constexpr double kRelativeDeadZone = static_cast<double>(0.1f);
// Sharpens the response: small deflections move finely, full ones fast.
constexpr double kRateExponent = 2.7;
constexpr float kTrackpadSpeedDivisor = 55.0f;

using T = QRBMouseEventSource::Type;

bool isButtonEvent(uint32_t type) {
    return (type >= T::kLeftButton && type <= T::kScrollWheelRight) || type == T::kTrackpadTouch;
}

double signedPower(double u) { return std::copysign(std::pow(std::fabs(u), kRateExponent), u); }

// Smooth scrolling: 0.5 rests, the ends scroll about 77 pixels a tick.
int32_t smoothScrollAmount(double v, bool negate) {
    const float s = QRBMouseFloat((v - 0.5) * 10.0);
    const float m = std::pow(std::fabs(s), static_cast<float>(kRateExponent));
    if (m < 1.0f) return 0;
    const double amount = (negate ? -1.0 : 1.0) * std::copysign(double(m), double(s));
    // A far-off value scrolls as fast as a tick can say, not at an undefined amount.
    constexpr double kMaxAmount = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(std::trunc(std::clamp(amount, -kMaxAmount, kMaxAmount)));
}

}  // namespace

std::string QRBMouseEventSource::nameOfType(uint32_t type) {
    static const char* const names[] = {"",
                                        "Left Button",
                                        "Center Button",
                                        "Right Button",
                                        "Scroll Wheel Up",
                                        "Scroll Wheel Down",
                                        "Scroll Wheel Left",
                                        "Scroll Wheel Right",
                                        "Relative Move X",
                                        "Relative Move Y",
                                        "Absolute Move X",
                                        "Absolute Move Y",
                                        "Smooth Scroll X",
                                        "Smooth Scroll Y",
                                        "Trackpad Move X",
                                        "Trackpad Move Y",
                                        "Trackpad Touch"};
    return type < std::size(names) ? names[type] : "";
}

std::shared_ptr<QRBMouseEventSource> QRBMouseEventSource::mouseEventSourceOfType(uint32_t type,
                                                                                 const std::string& name) {
    auto source = std::make_shared<QRBMouseEventSource>();
    source->setName(name);
    source->setMouseActionType(type);
    return source;
}

foundation::Value QRBMouseEventSource::classProposedEventSourcesCollection(const QRBAction*) {
    auto group = [](const char* title, std::initializer_list<uint32_t> types) {
        foundation::Array outputs;
        for (auto type : types) outputs.emplace_back(QRBEventSourcePtr(mouseEventSourceOfType(type, nameOfType(type))));
        foundation::Dictionary dict;
        dict[title] = foundation::Value(std::move(outputs));
        return foundation::Value(std::move(dict));
    };
    const foundation::Value separator(QRBEventSource::menuSeparatorMarker());
    return foundation::Value(foundation::Array{
        group("Motion", {T::kRelativeMoveX, T::kRelativeMoveY, T::kAbsoluteMoveX, T::kAbsoluteMoveY}),
        separator,
        group("Trackpad Style", {T::kTrackpadMoveX, T::kTrackpadMoveY, T::kTrackpadTouch}),
        separator,
        group("Buttons", {T::kLeftButton, T::kCenterButton, T::kRightButton}),
        separator,
        group("Scroll Wheel", {T::kScrollWheelUp, T::kScrollWheelDown, T::kScrollWheelLeft, T::kScrollWheelRight,
                               T::kSmoothScrollX, T::kSmoothScrollY}),
    });
}

void QRBMouseEventSource::attach(QRBAction& action) {
    QRBEventSource::attach(action);
    const auto& trigger = action.trigger();
    if (!trigger) return;
    trigger->setMode(isButtonEvent(mouseActionType_) ? QRBTrigger::kEither : QRBTrigger::kAlways);
    setRepeatTimings(action);
}

void QRBMouseEventSource::setRepeatTimings(QRBAction& action) const {
    const auto& trigger = action.trigger();
    if (!trigger) return;
    const bool steps = mouseActionType_ >= T::kScrollWheelUp && mouseActionType_ <= T::kScrollWheelRight;
    trigger->setRetriggerThreshold(steps ? QRBKeyEventManager::keyRepeatThreshold() : 0);
    trigger->setRetriggerInterval(steps ? QRBKeyEventManager::keyRepeatInterval() : 0);
}

void QRBMouseEventSource::reset(QRBAction& action) {
    switch (mouseActionType_) {
    case T::kRelativeMoveX:
    case T::kRelativeMoveY:
    case T::kSmoothScrollX:
    case T::kSmoothScrollY:
    case T::kTrackpadMoveX:
    case T::kTrackpadMoveY:
        action.fire(
            QRBArg::argOfTypeWithDoubleValue(action.internalArgType(), (action.inputMax() - action.inputMin()) * 0.5)
                .get());
        QRBMouseManager::sharedInstance()->resetDeltaMoves();
        break;
    case T::kLeftButton:
    case T::kCenterButton:
    case T::kRightButton:
    case T::kTrackpadTouch:
        // Only a number can say "released": an action that never received one holds nothing.
        if (QRBArgTypeIsNumeric(action.internalArgType()) && QRBTrigger::isArgValueAboveThreshold(action))
            action.fire(QRBArg::argOfTypeWithDoubleValue(action.internalArgType(), action.inputMin()).get());
        break;
    default: break;
    }
    QRBEventSource::reset(action);
}

QRBAcceptResult QRBMouseEventSource::acceptAction(QRBAction& action) {
    if (isButtonEvent(mouseActionType_)) return acceptActionForButtonEvents(action);
    if (mouseActionType_ < T::kRelativeMoveX || mouseActionType_ > T::kTrackpadMoveY) return QRBAcceptResult::Nothing;
    if (!action.argValue()) return QRBAcceptResult::Nothing;
    const double v = action.argValue()->doubleValue();
    // A NaN or an infinity from the network would become a pointer position no display has.
    if (!std::isfinite(v)) return QRBAcceptResult::Failed;

    auto manager = QRBMouseManager::sharedInstance();
    const double speed = manager->mouseTrackingSpeed();
    const auto rect = manager->displaysRect();
    const auto argType = action.internalArgType();
    const bool integerInput = argType == 'i' || argType == 'h';

    switch (mouseActionType_) {
    case T::kRelativeMoveX: {
        double d = speed * signedPower(2 * v - 1);
        if (std::fabs(d) < kRelativeDeadZone) d = 0;
        manager->moveMouseRelativeX(QRBMouseFloat(d));
        return QRBAcceptResult::Done;
    }
    case T::kRelativeMoveY: {
        double d = speed * signedPower(1 - 2 * v);
        if (std::fabs(d) < kRelativeDeadZone) d = 0;
        // Equal deflections cover equal parts of the display's width and height.
        manager->moveMouseRelativeY(QRBMouseFloat(d * manager->currentDisplayAspect()));
        return QRBAcceptResult::Done;
    }
    case T::kAbsoluteMoveX:
        manager->moveMouseAbsoluteX(QRBMouseFloat(rect.x + (integerInput ? v : v * (rect.width - 1))));
        return QRBAcceptResult::Done;
    case T::kAbsoluteMoveY:
        // 1 is the top row; integers count pixels up from the bottom row.
        manager->moveMouseAbsoluteY(
            QRBMouseFloat(integerInput ? (rect.height - 1) + rect.y - v : rect.y + (1 - v) * (rect.height - 1)));
        return QRBAcceptResult::Done;
    case T::kSmoothScrollX: manager->scrollX(smoothScrollAmount(v, true)); return QRBAcceptResult::Done;
    case T::kSmoothScrollY: manager->scrollY(smoothScrollAmount(v, false)); return QRBAcceptResult::Done;
    case T::kTrackpadMoveX: {
        if (!manager->trackpadZ()) return QRBAcceptResult::Nothing;
        const float u = QRBMouseFloat(v * (speed / kTrackpadSpeedDivisor));
        if (manager->canSetTrackpadX()) {
            const float dx = u - manager->trackpadX();
            manager->moveMouseAbsoluteXBy(integerInput ? dx : QRBMouseFloat(dx * (rect.width - 1)));
        }
        manager->setTrackpadX(u);
        return QRBAcceptResult::Done;
    }
    case T::kTrackpadMoveY: {
        const double aspect = manager->currentDisplayAspect();
        if (!manager->trackpadZ()) return QRBAcceptResult::Nothing;
        const float u = QRBMouseFloat(aspect * v * (speed / kTrackpadSpeedDivisor));
        if (manager->canSetTrackpadY()) {
            const float dy = u - manager->trackpadY();
            manager->moveMouseAbsoluteYBy(integerInput ? dy : QRBMouseFloat(dy * (rect.height - 1)));
        }
        manager->setTrackpadY(u);
        return QRBAcceptResult::Done;
    }
    default: return QRBAcceptResult::Nothing;
    }
}

QRBAcceptResult QRBMouseEventSource::acceptActionForButtonEvents(QRBAction& action) {
    const bool pressed = QRBTrigger::isArgValueAboveThreshold(action);
    auto manager = QRBMouseManager::sharedInstance();
    if (mouseActionType_ == T::kTrackpadTouch) {
        manager->setTrackpadZ(pressed);
        return QRBAcceptResult::Done;
    }
    auto& poster = *devices::DeviceLayers::current().events;
    // A held scroll step repeats like a held key, with the timings the user has now.
    setRepeatTimings(action);
    switch (mouseActionType_) {
    case T::kScrollWheelUp: poster.postScrollSteps(pressed ? 1 : 0, 0); return QRBAcceptResult::Done;
    case T::kScrollWheelDown: poster.postScrollSteps(pressed ? -1 : 0, 0); return QRBAcceptResult::Done;
    case T::kScrollWheelLeft: poster.postScrollSteps(0, pressed ? 1 : 0); return QRBAcceptResult::Done;
    case T::kScrollWheelRight: poster.postScrollSteps(0, pressed ? -1 : 0); return QRBAcceptResult::Done;
    default: break;
    }
    devices::MouseEvent event;
    event.type = static_cast<devices::MouseEventType>(mouseType(pressed));
    event.button = mouseActionType_ == T::kLeftButton ? 0 : mouseActionType_ == T::kRightButton ? 1 : 2;
    event.eventNumber = nextEventNumber(pressed, action);
    event.clickState = multiclickCount(pressed, action);
    poster.postMouse(event);
    manager->setCurrentButton(mouseButton(), pressed);
    return QRBAcceptResult::Done;
}

int QRBMouseEventSource::mouseType(bool pressed) const {
    using E = devices::MouseEventType;
    switch (mouseActionType_) {
    case T::kLeftButton: return static_cast<int>(pressed ? E::LeftDown : E::LeftUp);
    case T::kCenterButton: return static_cast<int>(pressed ? E::OtherDown : E::OtherUp);
    case T::kRightButton: return static_cast<int>(pressed ? E::RightDown : E::RightUp);
    default: return kScrollWheelEventType;
    }
}

uint8_t QRBMouseEventSource::mouseButton() const {
    switch (mouseActionType_) {
    case T::kLeftButton: return QRBMouseManager::kLeftButton;
    case T::kCenterButton: return QRBMouseManager::kCenterButton;
    case T::kRightButton: return QRBMouseManager::kRightButton;
    default: return 0;
    }
}

std::optional<double> QRBMouseEventSource::lastClickDateInAction(const QRBAction& action) {
    return action.userInfoValueForKey(kLastClickDateKey).realValue();
}

void QRBMouseEventSource::setLastClickDate(double seconds, QRBAction& action) {
    action.setUserInfoValue(foundation::Value(seconds), kLastClickDateKey);
}

int64_t QRBMouseEventSource::multiclickCount(bool pressed, QRBAction& action) {
    int64_t count = action.userInfoValueForKey(kMultiClickCountKey).integerValue().value_or(1);
    if (!pressed) return count;
    // The run loop's clock, so that double clicks follow the same time as the repeats and ticks.
    const double now = foundation::RunLoop::main().now();
    const auto last = lastClickDateInAction(action);
    setLastClickDate(now, action);
    const bool quick = last && now - *last < QRBMouseManager::sharedInstance()->doubleClickInterval();
    count = quick ? std::min<int64_t>(count + 1, 3) : 1;
    action.setUserInfoValue(foundation::Value(count), kMultiClickCountKey);
    return count;
}

int64_t QRBMouseEventSource::nextEventNumber(bool pressed, QRBAction& action) {
    int64_t number = action.userInfoValueForKey(kEventNumberKey).integerValue().value_or(0);
    if (pressed) ++number;
    action.setUserInfoValue(foundation::Value(number), kEventNumberKey);
    return number;
}

bool QRBMouseEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    if (typeid(other) != typeid(*this)) return false;
    return static_cast<const QRBMouseEventSource&>(other).mouseActionType_ == mouseActionType_;
}

void QRBMouseEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    coder.encodeInt32(static_cast<int32_t>(mouseActionType_), kMouseActionTypeKey);
}

void QRBMouseEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    // An unknown type from a damaged document is kept and posts nothing.
    mouseActionType_ = static_cast<uint32_t>(coder.decodeInt32(kMouseActionTypeKey));
}
