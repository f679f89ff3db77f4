#include "features/QRBMetaEnable.h"

#include "core/mapping/QRBActionHost.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/mapping/QRBTrigger.h"
#include "zz/ZZExtensions.h"

#include <cmath>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBMetaEnable)
namespace detail {
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBToggledEnable)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBLatchedEnable)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBLatchedCombine)
}  // namespace detail

namespace {
constexpr const char* kTargetLocationKey = "targetLocation";
constexpr const char* kLegacyActionKey = "QRBMetaEnableAction";
constexpr const char* kLegacyLatchedKey = "QRBMetaEnableLatched";
}  // namespace

// ---- proposals ---------------------------------------------------------------------------------

std::vector<QRBActionPtr> qrbmetaenable::candidateTargets(const QRBAction& action) {
    auto host = action.oscManagerOfContext();
    auto presets = host ? host->presetManager() : nullptr;
    auto preset = presets ? presets->currentPreset() : nullptr;
    std::vector<QRBActionPtr> targets;
    if (!preset) return targets;
    for (const auto& candidate : preset->allActions())
        if (candidate.get() != &action) targets.push_back(candidate);
    return targets;
}

foundation::Value qrbmetaenable::proposals(std::vector<QRBEventSourcePtr> sources) {
    if (sources.empty())
        return foundation::Value(foundation::Array{foundation::Value(
            foundation::Dictionary{{QRBMetaEnable::kNoTargetTitle, foundation::Value(foundation::Array{})}})});
    ZZNaturalSortWithKey(sources, [](const QRBEventSourcePtr& s) { return s->name().value_or(std::string()); });
    foundation::Array list;
    for (const auto& source : sources) list.emplace_back(source);
    return foundation::Value(foundation::Array{
        foundation::Value(foundation::Dictionary{{QRBMetaEnable::kTargetKey, foundation::Value(std::move(list))}})});
}

// ---- the base ----------------------------------------------------------------------------------

const QRBActionLocationPtr& QRBMetaEnable::targetLocation() const {
    // An old document's target is placed by now (the document is decoded when an output is
    // used): its location is taken once.
    if (!targetLocation_) {
        if (auto action = legacyTargetAction_.lock()) {
            if (action->context()) targetLocation_ = action->location();
            legacyTargetAction_.reset();
        }
    }
    return targetLocation_;
}

void QRBMetaEnable::setTargetLocation(const QRBActionLocationPtr& location) {
    targetLocation_ = location ? location->copy() : nullptr;
    legacyTargetAction_.reset();
    setName(targetLocation_ ? std::optional<std::string>(targetLocation_->displayName()) : std::nullopt);
}

void QRBMetaEnable::attach(QRBAction& action) {
    QRBEventSource::attach(action);
    if (const auto& trigger = action.trigger()) trigger->setMode(QRBTrigger::kAlways);
}

QRBAcceptResult QRBMetaEnable::acceptAction(QRBAction& action) { return enableAction(action); }

QRBAcceptResult QRBMetaEnable::enableAction(QRBAction& action) {
    const QRBActionLocationPtr& location = targetLocation();
    QRBActionPtr target = location ? location->resolveUsing(action) : nullptr;
    if (std::fabs(action.outputMin() - action.outputMax()) < QRBAction::kEpsilon) {
        if (!target) return QRBAcceptResult::Failed;
        target->setEnabled(action.outputMin() != 0);
        return QRBAcceptResult::Done;
    }
    if (!shouldTriggerForMode(QRBTrigger::kEither, action)) return QRBAcceptResult::Nothing;
    if (!target) return QRBAcceptResult::Failed;
    target->setEnabled(!target->isEnabled());
    return QRBAcceptResult::Done;
}

bool QRBMetaEnable::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    const auto* same = dynamic_cast<const QRBMetaEnable*>(&other);
    if (!same || typeid(other) != typeid(*this)) return false;
    const auto& a = targetLocation();
    const auto& b = same->targetLocation();
    if (!a || !b) return !a && !b;
    return a->contextName() == b->contextName() && a->pathComponents() == b->pathComponents();
}

void QRBMetaEnable::takeLegacyTargetOf(const QRBMetaEnable& other) {
    targetLocation_ = other.targetLocation_;
    legacyTargetAction_ = other.legacyTargetAction_;
    setName(other.name());
}

void QRBMetaEnable::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    coder.encodeObject(foundation::Value(targetLocation()), kTargetLocationKey);
}

void QRBMetaEnable::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    targetLocation_ = coder.decodeObjectOfClass<QRBActionLocation>(kTargetLocationKey);
    if (coder.containsValueForKey(kLegacyActionKey)) {
        // The action may still be being decoded (it may hold this very output): its location is
        // only known once it sits in its context, so it is taken at first use.
        if (auto action = coder.decodeObjectOfClass<QRBAction>(kLegacyActionKey)) {
            targetLocation_ = nullptr;
            legacyTargetAction_ = action;
        }
    }
    if (coder.containsValueForKey(kLegacyLatchedKey)) legacyLatched_ = coder.decodeBool(kLegacyLatchedKey);
}

std::shared_ptr<foundation::Object> QRBMetaEnable::replacementAfterDecoding() {
    if (!legacyLatched_) return shared_from_this();
    std::shared_ptr<QRBMetaEnable> replacement;
    if (*legacyLatched_)
        replacement = std::make_shared<detail::QRBLatchedEnable>();
    else
        replacement = std::make_shared<detail::QRBToggledEnable>();
    replacement->takeLegacyTargetOf(*this);
    return replacement;
}

// ---- the variants ------------------------------------------------------------------------------

void detail::QRBToggledEnable::attach(QRBAction& action) {
    QRBMetaEnable::attach(action);
    if (const auto& trigger = action.trigger()) trigger->setMode(QRBTrigger::kUp);
}

QRBAcceptResult detail::QRBLatchedCombine::acceptAction(QRBAction& action) {
    if (handingOver_) return QRBAcceptResult::Nothing;
    struct Guard {
        bool& flag;
        explicit Guard(bool& f) : flag(f) { flag = true; }
        ~Guard() { flag = false; }
    } guard(handingOver_);
    // Held: firing the target may edit the mapping.
    auto self = shared_from_this();

    const QRBActionLocationPtr& location = targetLocation();
    QRBActionPtr target = location ? location->resolveUsing(action) : nullptr;
    const bool reachesItself = target.get() == &action;
    const bool was = target && target->isEnabled();
    const int32_t type = action.internalArgType();

    if (target && !reachesItself && was && QRBTrigger::isArgValueAboveThreshold(*target)) {
        // Switched off while held: its output sees a release first, and it keeps this action's
        // top value for when it comes back.
        target->fire(*QRBArg::argOfTypeWithDoubleValue(type, action.inputMin()));
        auto held = target->argValue()->copy();
        held->setDoubleValue(action.outputMax());
        target->setArgValue(*held);
    }
    const QRBAcceptResult result = enableAction(action);
    if (target && !reachesItself && !was && QRBTrigger::isArgValueAboveThreshold(*target)) {
        // Switched on while held: its output sees a press.
        auto held = target->argValue()->copy();
        held->setDoubleValue(action.outputMin());
        target->setArgValue(*held);
        target->fire(*QRBArg::argOfTypeWithDoubleValue(type, action.inputMax()));
    }
    return result;
}
