#include "controllers/QRBKeyEventSource.h"

#include "controllers/QRBKeyEventManager.h"
#include "controllers/SRKeyCodeTransformer.h"
#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBTrigger.h"
#include "core/osc/QRBArg.h"
#include "document/QRBManager.h"

#include <chrono>
#include <thread>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBKeyEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBKeyFromCodeEventSource)

namespace {

constexpr const char* kKeycodeKey = "QRBKeycodeEventSourceKeycode";
// The right Shift key: a key whose text is a modifier's shows none in its name.
constexpr uint16_t kRightShiftKeyCode = 60;
constexpr uint16_t kLastProposedKeyCode = 127;

// Between a key's up and its next down: applications that poll the keyboard see the release.
void pauseBetweenKeyEvents() { std::this_thread::sleep_for(std::chrono::microseconds(1000)); }

}  // namespace

std::shared_ptr<QRBKeyEventManager> QRBKeyEventManagerOfAction(const QRBAction& action) {
    auto manager = std::dynamic_pointer_cast<QRBManager>(action.oscManagerOfContext());
    return manager ? manager->keyEventManager() : nullptr;
}

// ---- QRBKeyEventSource

foundation::Value QRBKeyEventSource::classProposedEventSourcesCollection(const QRBAction*) {
    foundation::Array list;
    for (uint16_t code = 0; code <= kLastProposedKeyCode; ++code)
        list.emplace_back(QRBEventSourcePtr(std::make_shared<QRBKeyEventSource>(code)));
    return foundation::Value(std::move(list));
}

void QRBKeyEventSource::setKeycode(uint16_t keycode) {
    keycode_ = keycode;
    updateName();
}

void QRBKeyEventSource::updateName() {
    std::string name = "Key " + std::to_string(keycode_) + "\t\t";
    const auto text = keyCodeDisplayString(keycode_);
    if (text && !text->empty() && text != keyCodeDisplayString(kRightShiftKeyCode)) name += *text;
    setName(name);
}

void QRBKeyEventSource::configureAction(QRBAction& action) const {
    const auto& trigger = action.trigger();
    if (!trigger) return;
    trigger->setMode(QRBTrigger::kEither);
    trigger->setRetriggerThreshold(QRBKeyEventManager::keyRepeatThreshold());
    trigger->setRetriggerInterval(QRBKeyEventManager::keyRepeatInterval());
}

void QRBKeyEventSource::attach(QRBAction& action) {
    QRBEventSource::attach(action);
    configureAction(action);
}

void QRBKeyEventSource::reset(QRBAction& action) {
    // Only a number can say "released": an action that never received one holds nothing.
    if (QRBArgTypeIsNumeric(action.internalArgType()) && QRBTrigger::isArgValueAboveThreshold(action))
        action.fire(QRBArg::argOfTypeWithDoubleValue(action.internalArgType(), action.inputMin()).get());
    QRBEventSource::reset(action);
}

QRBAcceptResult QRBKeyEventSource::acceptAction(QRBAction& action) {
    configureAction(action);
    const auto manager = QRBKeyEventManagerOfAction(action);
    if (!manager) return QRBAcceptResult::Failed;
    if (action.userInfo_triggerState()) {
        manager->postEventToApplicationName(std::nullopt, keycode_, 0, false);
        pauseBetweenKeyEvents();
        action.setUserInfo_triggerState(false);
    }
    const bool pressed = QRBTrigger::isArgValueAboveThreshold(action);
    if (!pressed) return QRBAcceptResult::Nothing;
    if (!manager->postEventToApplicationName(std::nullopt, keycode_, 0, true)) return QRBAcceptResult::Failed;
    action.setUserInfo_triggerState(true);
    return QRBAcceptResult::Done;
}

QRBEventSourcePtr QRBKeyEventSource::previousProposedEventSource() {
    return std::make_shared<QRBKeyEventSource>(keycode_ == 0 ? kLastProposedKeyCode : uint16_t(keycode_ - 1));
}

QRBEventSourcePtr QRBKeyEventSource::nextProposedEventSource() {
    return std::make_shared<QRBKeyEventSource>(keycode_ >= kLastProposedKeyCode ? 0 : uint16_t(keycode_ + 1));
}

bool QRBKeyEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    if (typeid(other) != typeid(*this)) return false;
    return static_cast<const QRBKeyEventSource&>(other).keycode_ == keycode_;
}

void QRBKeyEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    coder.encodeInteger(keycode_, kKeycodeKey);
}

void QRBKeyEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    // Any 16-bit code is kept; a wider number from a damaged document keeps its low 16 bits.
    keycode_ = static_cast<uint16_t>(coder.decodeInteger(kKeycodeKey));
}

// ---- QRBKeyFromCodeEventSource

QRBAcceptResult QRBKeyFromCodeEventSource::acceptAction(QRBAction& action) {
    const auto manager = QRBKeyEventManagerOfAction(action);
    if (!manager || !action.argValue()) return QRBAcceptResult::Failed;
    const auto code = static_cast<uint16_t>(action.argValue()->int32Value());
    if (!manager->postEventToApplicationName(std::nullopt, code, 0, true)) return QRBAcceptResult::Failed;
    pauseBetweenKeyEvents();
    if (!manager->postEventToApplicationName(std::nullopt, code, 0, false)) return QRBAcceptResult::Failed;
    pauseBetweenKeyEvents();
    return QRBAcceptResult::Done;
}
