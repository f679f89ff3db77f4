#include "midi/outputs/QRBChannelEventSource.h"

#include "core/mapping/QRBAction.h"
#include "core/osc/QRBArg.h"
#include "document/QRBManager.h"
#include "foundation/Exception.h"
#include "midi/outputs/QRBMidiCCEventSource.h"
#include "zz/ZZExtensions.h"

#include <typeinfo>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBChannelEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBAllChannelsEventSource)

namespace {
std::vector<QRBActionPtr> actionsOfCurrentPreset(const QRBAction& action) {
    auto manager = std::dynamic_pointer_cast<QRBManager>(action.oscManagerOfContext());
    return manager ? manager->allActions() : std::vector<QRBActionPtr>{};
}
}  // namespace

// ---- one action ---------------------------------------------------------------------------------

std::shared_ptr<QRBChannelEventSource> QRBChannelEventSource::create(const QRBActionLocationPtr& targetLocation) {
    auto source = std::make_shared<QRBChannelEventSource>();
    source->setTargetLocation(targetLocation);
    return source;
}

foundation::Value QRBChannelEventSource::classProposedEventSourcesCollection(const QRBAction* action) {
    std::vector<std::shared_ptr<QRBChannelEventSource>> others;
    if (action) {
        for (const auto& other : actionsOfCurrentPreset(*action)) {
            if (other.get() == action || other->isMultiArgument() || !other->context()) continue;
            others.push_back(create(other->location()));
        }
    }
    ZZNaturalSortWithKey(others, [](const std::shared_ptr<QRBChannelEventSource>& source) {
        return source->name().value_or(std::string());
    });
    foundation::Array list;
    for (auto& source : others) list.emplace_back(source);
    if (list.empty()) list.emplace_back(foundation::Dictionary{{"No other message", foundation::Array{}}});
    return foundation::Value(foundation::Array{
        foundation::Value(foundation::Array{foundation::Value(std::make_shared<QRBAllChannelsEventSource>())}),
        foundation::Value(QRBEventSource::menuSeparatorMarker()),
        foundation::Value(foundation::Dictionary{{"Message", foundation::Value(std::move(list))}})});
}

QRBActionLocationPtr QRBChannelEventSource::targetLocation() const {
    if (auto action = legacyAction_.lock()) {
        // The action may have been decoded before its context: asked again next time.
        try {
            if (action->context()) {
                targetLocation_ = action->location();
                legacyAction_.reset();
            }
        } catch (const foundation::Exception&) {}
    }
    return targetLocation_;
}

void QRBChannelEventSource::setTargetLocation(const QRBActionLocationPtr& location) {
    legacyAction_.reset();
    targetLocation_ = location ? location->copy() : nullptr;
    setName(targetLocation_ ? std::optional<std::string>(targetLocation_->displayName()) : std::nullopt);
}

std::optional<std::string> QRBChannelEventSource::displayName() const {
    if (auto location = targetLocation()) return location->displayName();
    return name();
}

QRBAcceptResult QRBChannelEventSource::acceptAction(QRBAction& action) {
    auto location = targetLocation();
    QRBActionPtr target = location ? location->resolveUsing(action) : nullptr;
    if (!target) return QRBAcceptResult::Failed;
    setActionMidiChannel(*target, *action.argValue());
    return QRBAcceptResult::Done;
}

bool QRBChannelEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    if (typeid(other) != typeid(*this)) return false;
    const auto mine = targetLocation();
    const auto theirs = static_cast<const QRBChannelEventSource&>(other).targetLocation();
    if (!mine || !theirs) return !mine && !theirs;
    return mine->contextName() == theirs->contextName() && mine->pathComponents() == theirs->pathComponents();
}

void QRBChannelEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    coder.encodeObject(foundation::Value(targetLocation()), kTargetLocationKey);
}

void QRBChannelEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    targetLocation_ = coder.decodeObjectOfClass<QRBActionLocation>(kTargetLocationKey);
    // The action of an old document wins over the stored location; it may still be in the middle
    // of its own decoding, so its place is taken when first needed.
    if (coder.containsValueForKey(kLegacyActionKey))
        legacyAction_ = coder.decodeObjectOfClass<QRBAction>(kLegacyActionKey);
}

// ---- every action -------------------------------------------------------------------------------

QRBAllChannelsEventSource::QRBAllChannelsEventSource() { setName(std::string(kName)); }

QRBAcceptResult QRBAllChannelsEventSource::acceptAction(QRBAction& action) {
    // The value is read once: the firing action's own channel change resets its output.
    const QRBArgPtr value = action.argValue()->copy();
    for (const auto& each : actionsOfCurrentPreset(action)) setActionMidiChannel(*each, *value);
    return QRBAcceptResult::Done;
}
