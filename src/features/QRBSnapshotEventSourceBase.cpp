#include "features/QRBSnapshotEventSourceBase.h"

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBActionHost.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/mapping/QRBTrigger.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "zz/ZZTime.h"

#include <algorithm>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBSnapshotEventSourceBase)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBSnapshotTakeEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBSnapshotRecallEventSourceBase)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBSnapshotRelativeRecallEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBSnapshotIndexedRecallEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBSnapshotRecallEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(QRBForcePresetRestoreEventSource)

namespace {

constexpr const char* kShouldTakeNewSnapshotKey = "shouldTakeNewSnapshot";
constexpr const char* kRecallModeKey = "recallMode";
constexpr const char* kSnapshotNameKey = "snapshotName";

QRBPresetPtr currentPresetOf(const QRBAction& action) {
    auto host = action.oscManagerOfContext();
    auto presets = host ? host->presetManager() : nullptr;
    return presets ? presets->currentPreset() : nullptr;
}

void setTriggerMode(QRBAction& action, unsigned mode) {
    if (const auto& trigger = action.trigger()) trigger->setMode(mode);
}

std::shared_ptr<QRBSnapshotRelativeRecallEventSource> relative(const char* name, uint64_t mode) {
    auto source = std::make_shared<QRBSnapshotRelativeRecallEventSource>();
    source->setName(std::string(name));
    source->setRecallMode(mode);
    return source;
}

std::shared_ptr<QRBSnapshotTakeEventSource> take(const char* name, bool takeNew) {
    auto source = std::make_shared<QRBSnapshotTakeEventSource>();
    source->setName(std::string(name));
    source->setShouldTakeNewSnapshot(takeNew);
    return source;
}

}  // namespace

// ---- The base ----------------------------------------------------------------------------------

foundation::Value QRBSnapshotEventSourceBase::classProposedEventSourcesCollection(const QRBAction* action) {
    const foundation::Value separator(QRBEventSource::menuSeparatorMarker());
    auto byIndex = std::make_shared<QRBSnapshotIndexedRecallEventSource>();
    byIndex->setName(std::string(kRecallByIndexName));
    foundation::Array fixed{
        foundation::Value(relative(kRecallNextName, QRBSnapshotRelativeRecallEventSource::kNext)),
        foundation::Value(relative(kRecallCurrentName, QRBSnapshotRelativeRecallEventSource::kCurrent)),
        foundation::Value(relative(kRecallPreviousName, QRBSnapshotRelativeRecallEventSource::kPrevious)),
        foundation::Value(byIndex),
        separator,
        foundation::Value(take(kUpdateCurrentName, false)),
        foundation::Value(take(kTakeNewName, true)),
    };

    std::vector<std::shared_ptr<QRBSnapshotRecallEventSource>> byName;
    if (auto preset = action ? currentPresetOf(*action) : nullptr) {
        for (const auto& snapshot : preset->snapshots()) {
            auto source = std::make_shared<QRBSnapshotRecallEventSource>();
            source->setSnapshotName(snapshot->name());
            byName.push_back(source);
        }
    }
    std::stable_sort(byName.begin(), byName.end(), [](const auto& a, const auto& b) { return a->compareName(*b) < 0; });
    foundation::Array named;
    for (const auto& source : byName) named.emplace_back(source);
    return foundation::Value(
        foundation::Array{foundation::Value(std::move(fixed)), separator, foundation::Value(std::move(named))});
}

QRBAcceptResult QRBSnapshotEventSourceBase::acceptAction(QRBAction& action) {
    auto context = action.context();
    if (context && context->isSnapshotRestoreInProgress()) return QRBAcceptResult::Nothing;
    return snapshotEventSourceAcceptAction(action);
}

QRBAcceptResult QRBSnapshotEventSourceBase::snapshotEventSourceAcceptAction(QRBAction&) {
    ZZRaiseSubclassResponsibility("snapshotEventSourceAcceptAction:");
}

// ---- Take --------------------------------------------------------------------------------------

void QRBSnapshotTakeEventSource::attach(QRBAction& action) {
    QRBSnapshotEventSourceBase::attach(action);
    setTriggerMode(action, QRBTrigger::kDown);
}

QRBAcceptResult QRBSnapshotTakeEventSource::snapshotEventSourceAcceptAction(QRBAction& action) {
    const QRBPresetPtr preset = currentPresetOf(action);
    if (!preset) return QRBAcceptResult::Failed;
    QRBSnapshotPtr snapshot = preset->createSnapshot();
    if (shouldTakeNewSnapshot_) {
        preset->addSnapshotsObject(snapshot);
    } else {
        const QRBSnapshotPtr last = preset->lastRecalledSnapshot();
        if (!last) return QRBAcceptResult::Failed;
        preset->replaceSnapshotsObject(last, snapshot);
    }
    return QRBAcceptResult::Done;
}

bool QRBSnapshotTakeEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    const auto* same = dynamic_cast<const QRBSnapshotTakeEventSource*>(&other);
    return same && typeid(other) == typeid(*this) && same->shouldTakeNewSnapshot_ == shouldTakeNewSnapshot_;
}

void QRBSnapshotTakeEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBSnapshotEventSourceBase::encodeWithCoder(coder);
    coder.encodeBool(shouldTakeNewSnapshot_, kShouldTakeNewSnapshotKey);
}

void QRBSnapshotTakeEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBSnapshotEventSourceBase::initWithCoder(coder);
    shouldTakeNewSnapshot_ = coder.decodeBool(kShouldTakeNewSnapshotKey);
}

// ---- Recall ------------------------------------------------------------------------------------

void QRBSnapshotRecallEventSourceBase::attach(QRBAction& action) {
    QRBSnapshotEventSourceBase::attach(action);
    setTriggerMode(action, QRBTrigger::kDown);
}

QRBAcceptResult QRBSnapshotRecallEventSourceBase::snapshotEventSourceAcceptAction(QRBAction& action) {
    const QRBPresetPtr preset = currentPresetOf(action);
    if (!preset) return QRBAcceptResult::Failed;
    return recallSnapshot(nextSnapshot(*preset, action), *preset);
}

QRBSnapshotPtr QRBSnapshotRecallEventSourceBase::nextSnapshot(QRBPreset&, QRBAction&) {
    ZZRaiseSubclassResponsibility("nextSnapshotInPreset:usingAction:");
}

QRBAcceptResult QRBSnapshotRecallEventSourceBase::recallSnapshot(const QRBSnapshotPtr& snapshot, QRBPreset& inPreset) {
    if (!snapshot) return QRBAcceptResult::Failed;
    inPreset.recallSnapshot(snapshot);
    return QRBAcceptResult::Done;
}

QRBSnapshotPtr QRBSnapshotRelativeRecallEventSource::nextSnapshot(QRBPreset& inPreset, QRBAction&) {
    const QRBSnapshotPtr last = inPreset.lastRecalledSnapshot();
    if (!last) return nullptr;
    switch (recallMode_) {
    case kPrevious: return inPreset.snapshotBefore(last);
    case kCurrent: return last;
    case kNext: return inPreset.snapshotAfter(last);
    default: return nullptr;
    }
}

bool QRBSnapshotRelativeRecallEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    const auto* same = dynamic_cast<const QRBSnapshotRelativeRecallEventSource*>(&other);
    return same && typeid(other) == typeid(*this) && same->recallMode_ == recallMode_;
}

void QRBSnapshotRelativeRecallEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBSnapshotRecallEventSourceBase::encodeWithCoder(coder);
    coder.encodeInt64(static_cast<int64_t>(recallMode_), kRecallModeKey);
}

void QRBSnapshotRelativeRecallEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBSnapshotRecallEventSourceBase::initWithCoder(coder);
    // Any other number recalls nothing, as the output answers for an unknown mode.
    recallMode_ = static_cast<uint64_t>(coder.decodeInt64(kRecallModeKey));
}

void QRBSnapshotIndexedRecallEventSource::attach(QRBAction& action) {
    QRBSnapshotRecallEventSourceBase::attach(action);
    setTriggerMode(action, QRBTrigger::kChanged);
}

QRBSnapshotPtr QRBSnapshotIndexedRecallEventSource::nextSnapshot(QRBPreset& inPreset, QRBAction& usingAction) {
    const size_t count = inPreset.countOfSnapshots();
    const int32_t index = QRBArgClampedInteger(*usingAction.argValue(), 0, static_cast<int64_t>(count));
    return static_cast<size_t>(index) < count ? inPreset.objectInSnapshotsAtIndex(static_cast<size_t>(index)) : nullptr;
}

double QRBSnapshotIndexedRecallEventSource::outputScalingFudgeFactorForAction(const QRBAction& action) const {
    const int32_t type = action.internalArgType();
    if (type != 'f' && type != 'd') return 1;
    auto preset = currentPresetOf(action);
    const size_t count = preset ? preset->countOfSnapshots() : 0;
    // A factor of 0 would collapse the range the user edits and divide by zero on the way back.
    return count > 0 ? static_cast<double>(count) : 1;
}

void QRBSnapshotRecallEventSource::setSnapshotName(const std::optional<std::string>& name) {
    if (name == snapshotName_) return;
    FND_PARAMETER_ASSERT(name != std::nullopt);
    snapshotName_ = name;
    setName(foundation::format(kNameFormat, name->c_str()));
}

QRBSnapshotPtr QRBSnapshotRecallEventSource::nextSnapshot(QRBPreset& inPreset, QRBAction&) {
    return snapshotName_ ? inPreset.snapshotWithName(*snapshotName_) : nullptr;
}

bool QRBSnapshotRecallEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    const auto* same = dynamic_cast<const QRBSnapshotRecallEventSource*>(&other);
    return same && typeid(other) == typeid(*this) && same->snapshotName_ == snapshotName_;
}

void QRBSnapshotRecallEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBSnapshotRecallEventSourceBase::encodeWithCoder(coder);
    coder.encodeObject(snapshotName_ ? foundation::Value(*snapshotName_) : foundation::Value(), kSnapshotNameKey);
}

void QRBSnapshotRecallEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBSnapshotRecallEventSourceBase::initWithCoder(coder);
    // Read as stored: a document without a name recalls nothing rather than failing to open.
    snapshotName_ = coder.decodeString(kSnapshotNameKey);
}

// ---- Old documents -----------------------------------------------------------------------------

std::shared_ptr<foundation::Object> QRBForcePresetRestoreEventSource::replacementAfterDecoding() {
    return relative(QRBSnapshotEventSourceBase::kRecallCurrentName, QRBSnapshotRelativeRecallEventSource::kCurrent);
}
