#include "features/QRBPresetChangeEventSourceBase.h"

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBActionHost.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBTrigger.h"
#include "foundation/Format.h"
#include "foundation/UndoManager.h"
#include "zz/ZZTime.h"

#include <algorithm>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBPresetChangeEventSourceBase)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBPresetChangeEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBPresetEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBPresetChangeIndexedEventSource)

namespace {

constexpr const char* kChangeNextKey = "QRBPresetChangeNext";
constexpr const char* kPresetNameKey = "presetName";
constexpr const char* kLegacyPresetKey = "QRBPreset";

std::shared_ptr<QRBPresetManager> presetManagerOf(const QRBAction& action) {
    auto host = action.oscManagerOfContext();
    return host ? host->presetManager() : nullptr;
}

bool restoringSnapshot(const QRBAction& action) {
    auto context = action.context();
    return context && context->isSnapshotRestoreInProgress();
}

template <class T> std::shared_ptr<T> named(const char* name) {
    auto source = std::make_shared<T>();
    source->setName(std::string(name));
    return source;
}

}  // namespace

// ---- The base ----------------------------------------------------------------------------------

foundation::Value QRBPresetChangeEventSourceBase::classProposedEventSourcesCollection(const QRBAction* action) {
    const foundation::Value separator(QRBEventSource::menuSeparatorMarker());
    if (action && action->argValue()->hasStringType())
        return foundation::Value(foundation::Array{foundation::Value(foundation::Array{foundation::Value(
                                                       named<QRBPresetChangeIndexedEventSource>(kByNameName))}),
                                                   separator});

    auto next = named<QRBPresetChangeEventSource>(kNextName);
    next->setChangeToNext(true);
    auto previous = named<QRBPresetChangeEventSource>(kPreviousName);
    previous->setChangeToNext(false);
    foundation::Array fixed{foundation::Value(next), foundation::Value(previous),
                            foundation::Value(named<QRBPresetChangeIndexedEventSource>(kByIndexName))};

    std::vector<std::shared_ptr<QRBPresetEventSource>> byName;
    if (auto presets = action ? presetManagerOf(*action) : nullptr) {
        for (const auto& preset : presets->presets()) {
            auto source = std::make_shared<QRBPresetEventSource>();
            source->setPresetName(preset->name());
            byName.push_back(source);
        }
    }
    std::stable_sort(byName.begin(), byName.end(), [](const auto& a, const auto& b) { return a->compareName(*b) < 0; });
    foundation::Array named;
    for (const auto& source : byName) named.emplace_back(source);
    return foundation::Value(
        foundation::Array{foundation::Value(std::move(fixed)), separator, foundation::Value(std::move(named))});
}

QRBAcceptResult QRBPresetChangeEventSourceBase::acceptAction(QRBAction& action) {
    auto presets = presetManagerOf(action);
    if (!presets) return QRBAcceptResult::Failed;
    if (restoringSnapshot(action)) return QRBAcceptResult::Nothing;
    return changeToPreset(nextPreset(*presets, action), *presets);
}

void QRBPresetChangeEventSourceBase::attach(QRBAction& action) {
    QRBEventSource::attach(action);
    if (const auto& trigger = action.trigger()) trigger->setMode(QRBTrigger::kDown);
}

QRBPresetPtr QRBPresetChangeEventSourceBase::nextPreset(QRBPresetManager&, QRBAction&) {
    ZZRaiseSubclassResponsibility("nextPreset:usingAction:");
}

QRBAcceptResult QRBPresetChangeEventSourceBase::changeToPreset(const QRBPresetPtr& preset,
                                                               QRBPresetManager& inPresetManager) {
    if (!preset) return QRBAcceptResult::Failed;
    if (preset == inPresetManager.currentPreset()) return QRBAcceptResult::Nothing;
    inPresetManager.setCurrentPreset(preset);
    return QRBAcceptResult::Done;
}

void QRBPresetChangeEventSourceBase::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    if (name() == std::optional<std::string>(kLegacyNextName))
        setName(std::string(kNextName));
    else if (name() == std::optional<std::string>(kLegacyPreviousName))
        setName(std::string(kPreviousName));
}

// ---- Next and previous -------------------------------------------------------------------------

QRBPresetPtr QRBPresetChangeEventSource::nextPreset(QRBPresetManager& presetManager, QRBAction&) {
    const QRBPresetPtr current = presetManager.currentPreset();
    return changeToNext_ ? presetManager.presetAfter(current) : presetManager.presetBefore(current);
}

bool QRBPresetChangeEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    const auto* same = dynamic_cast<const QRBPresetChangeEventSource*>(&other);
    return same && typeid(other) == typeid(*this) && same->changeToNext_ == changeToNext_;
}

void QRBPresetChangeEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBPresetChangeEventSourceBase::encodeWithCoder(coder);
    coder.encodeBool(changeToNext_, kChangeNextKey);
}

void QRBPresetChangeEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBPresetChangeEventSourceBase::initWithCoder(coder);
    changeToNext_ = coder.decodeBool(kChangeNextKey);
}

// ---- By name -----------------------------------------------------------------------------------

void QRBPresetEventSource::setPresetName(const std::optional<std::string>& name) {
    if (name == presetName_) return;
    if (auto undo = undoManager(); undo && undo->isUndoRegistrationEnabled()) {
        auto me = std::static_pointer_cast<QRBPresetEventSource>(shared_from_this());
        undo->registerUndo(this, [me, old = presetName_] { me->setPresetName(old); });
    }
    presetName_ = name;
    setName(name ? foundation::format(kNameFormat, name->c_str()) : std::string(kUnknownPresetName));
}

QRBPresetPtr QRBPresetEventSource::nextPreset(QRBPresetManager& presetManager, QRBAction&) {
    return presetName_ ? presetManager.presetWithName(*presetName_) : nullptr;
}

bool QRBPresetEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    const auto* same = dynamic_cast<const QRBPresetEventSource*>(&other);
    return same && typeid(other) == typeid(*this) && same->presetName_ == presetName_;
}

void QRBPresetEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBPresetChangeEventSourceBase::encodeWithCoder(coder);
    coder.encodeObject(presetName_ ? foundation::Value(*presetName_) : foundation::Value(), kPresetNameKey);
}

void QRBPresetEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBPresetChangeEventSourceBase::initWithCoder(coder);
    presetName_ = coder.decodeString(kPresetNameKey);
    // Early documents kept the preset object itself; only its name is used now. A preset still
    // being decoded (one that holds this output) already has its name: it is read first.
    if (coder.containsValueForKey(kLegacyPresetKey)) {
        if (auto preset = coder.decodeObjectOfClass<QRBPreset>(kLegacyPresetKey)) presetName_ = preset->name();
    }
}

// ---- By index or name --------------------------------------------------------------------------

void QRBPresetChangeIndexedEventSource::attach(QRBAction& action) {
    QRBPresetChangeEventSourceBase::attach(action);
    if (const auto& trigger = action.trigger()) trigger->setMode(QRBTrigger::kChanged);
}

QRBPresetPtr QRBPresetChangeIndexedEventSource::nextPreset(QRBPresetManager& presetManager, QRBAction& usingAction) {
    const QRBArg& value = *usingAction.argValue();
    if (value.hasFloatingType()) {
        // The clamp takes NaN and values outside 0..1 from the network into the list's bounds;
        // the count itself selects nothing.
        const int64_t count = static_cast<int64_t>(presetManager.countOfPresets());
        return presetManager.presetAtIndex(static_cast<size_t>(QRBArgClampedInteger(value, 0, count)));
    }
    auto text = value.stringValue();
    return text ? presetManager.presetWithName(*text) : nullptr;
}

double QRBPresetChangeIndexedEventSource::outputScalingFudgeFactorForAction(const QRBAction& action) const {
    const int32_t type = action.internalArgType();
    if (type != 'f' && type != 'd') return 1;
    auto presets = presetManagerOf(action);
    const size_t count = presets ? presets->countOfPresets() : 0;
    // A factor of 0 would collapse the range the user edits and divide by zero on the way back.
    return count > 0 ? static_cast<double>(count) : 1;
}
