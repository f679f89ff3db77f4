#include "core/mapping/QRBConcreteAction.h"

#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBDupAction.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/KeyedArchiver.h"

#include <algorithm>

namespace {

constexpr const char* kDupActionsKey = "QRBActionDupActions";
constexpr const char* kActionNotFound = "Inconsistency error: action not found in parent context.";
constexpr const char* kContextMissing = "context cannot be nil";

}  // namespace

// ---- Firing ------------------------------------------------------------------------------------

void QRBConcreteAction::fire() {
    QRBAction::fire();
    if (consumeHalt() || dups_.empty()) return;
    fireDuplicatesFrom(0, selfPointer());
}

void QRBConcreteAction::fireDuplicatesFrom(size_t index, QRBActionPtr previous) {
    // Walked in a loop rather than by each duplicate firing the next, so that a long chain does
    // not deepen the stack.
    while (index < dups_.size()) {
        // Held: an output may edit the chain while it acts.
        const QRBActionPtr next = dups_[index];
        auto& dup = static_cast<QRBConcreteAction&>(*next);
        dup.takeInput(*previous->inputArgValue());
        dup.QRBAction::fire();
        if (dup.consumeHalt()) return;
        // Go on after `next`, wherever the fire left it.
        if (index >= dups_.size() || dups_[index] != next) {
            auto it = std::find(dups_.begin(), dups_.end(), next);
            if (it == dups_.end()) return;
            index = static_cast<size_t>(it - dups_.begin());
        }
        ++index;
        previous = next;
    }
}

// ---- Duplicates --------------------------------------------------------------------------------

QRBDupActionPtr QRBConcreteAction::dup() {
    auto dup = std::make_shared<QRBDupAction>();
    // The same output object; the duplicate gets its own trigger with it.
    dup->setEventSource(eventSource());
    dup->makeSameAsAction(*this);
    addActionsObject(dup);
    return dup;
}

QRBDupActionPtr QRBConcreteAction::split() {
    const double low = inputMin();
    const double high = inputMax();
    const double mid = low + (high - low) * 0.5;
    const std::string base = name().value_or(std::string());

    // Both halves give outputMin at the midpoint and outputMax at their own end.
    QRBDupActionPtr lower = dup();
    if (!lower) return nullptr;
    lower->setName(foundation::format("%s (lo)", base.c_str()));
    lower->setInputMin(mid);
    lower->setInputMax(low);
    lower->setInputCap(true);

    QRBDupActionPtr upper = dup();
    if (!upper) return nullptr;
    upper->setName(foundation::format("%s (hi)", base.c_str()));
    upper->setInputMin(mid);
    upper->setInputMax(high);
    upper->setInputCap(true);
    return upper;
}

void QRBConcreteAction::addActionsObject(const QRBDupActionPtr& dup) {
    if (!dup) return;
    insertDup(dup, dups_.size());
}

void QRBConcreteAction::insertDup(const QRBDupActionPtr& dup, size_t index) {
    if (std::find(dups_.begin(), dups_.end(), dup) != dups_.end()) return;
    auto self = std::static_pointer_cast<QRBConcreteAction>(selfPointer());
    registerUndo([self, dup] { self->removeActionsObject(dup); });
    dup->setMasterAction(self);
    dup->setUndoManager(undoManager());
    dups_.insert(dups_.begin() + static_cast<long>(std::min(index, dups_.size())), dup);
    notifyActionsCollectionChanged();
}

void QRBConcreteAction::removeActionsObject(const QRBDupActionPtr& dup) {
    auto it = std::find(dups_.begin(), dups_.end(), dup);
    if (!dup || it == dups_.end()) return;
    auto self = std::static_pointer_cast<QRBConcreteAction>(selfPointer());
    // The undo puts the duplicate back at its place in the chain: its place is its firing order
    // and part of the path that locations name it by.
    const size_t index = static_cast<size_t>(it - dups_.begin());
    registerUndo([self, dup, index] { self->insertDup(dup, index); });
    dup->setMasterAction(nullptr);
    dups_.erase(it);
    notifyActionsCollectionChanged();
}

size_t QRBConcreteAction::dupRankOf(const QRBDupAction& dup) const {
    for (size_t i = 0; i < dups_.size(); ++i)
        if (dups_[i].get() == &dup) return i;
    FND_INTERNAL_ERROR(kActionNotFound);
}

QRBDupActionPtr QRBConcreteAction::dupAfter(const QRBDupAction& dup) const {
    for (size_t i = 0; i + 1 < dups_.size(); ++i)
        if (dups_[i].get() == &dup) return std::static_pointer_cast<QRBDupAction>(dups_[i + 1]);
    return nullptr;
}

QRBDupActionPtr QRBConcreteAction::nextDup() const {
    return dups_.empty() ? nullptr : std::static_pointer_cast<QRBDupAction>(dups_.front());
}

// ---- The rest of the model ---------------------------------------------------------------------

foundation::Array QRBConcreteAction::pathComponents() const {
    auto ctx = context();
    if (!ctx) FND_INTERNAL_ERROR(kContextMissing);
    foundation::Array components = ctx->pathComponents();
    components.emplace_back(ctx->rankOf(*this));
    return components;
}

bool QRBConcreteAction::hasAssignedEventSource() const {
    if (eventSource()) return true;
    for (const auto& dup : dups_)
        if (dup->eventSource()) return true;
    return false;
}

void QRBConcreteAction::invalidate() {
    auto self = selfPointer();
    const std::vector<QRBActionPtr> held = dups_;
    for (const auto& dup : held) dup->invalidate();
    QRBAction::invalidate();
}

void QRBConcreteAction::setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) {
    QRBAction::setUndoManager(undoManager);
    for (const auto& dup : dups_) dup->setUndoManager(undoManager);
}

void QRBConcreteAction::setContext(const QRBContextPtr& context) {
    QRBAction::setContext(context);
    for (const auto& dup : dups_) dup->setContext(context);
}

void QRBConcreteAction::mergeEventSourceFromOSCManager(const std::shared_ptr<QRBActionHost>& source,
                                                       const std::shared_ptr<QRBActionHost>& destination) {
    QRBAction::mergeEventSourceFromOSCManager(source, destination);
    const std::vector<QRBActionPtr> held = dups_;
    for (const auto& dup : held) dup->mergeEventSourceFromOSCManager(source, destination);
}

void QRBConcreteAction::willLeavePreset(const QRBPreset* preset) {
    QRBAction::willLeavePreset(preset);
    const std::vector<QRBActionPtr> held = dups_;
    for (const auto& dup : held) dup->willLeavePreset(preset);
}

void QRBConcreteAction::didRestorePreset(const QRBPreset* preset) {
    QRBAction::didRestorePreset(preset);
    const std::vector<QRBActionPtr> held = dups_;
    for (const auto& dup : held) dup->didRestorePreset(preset);
}

// ---- Copying and archiving ---------------------------------------------------------------------

QRBActionPtr QRBConcreteAction::makeEmptyCopy() const { return std::make_shared<QRBConcreteAction>(); }

void QRBConcreteAction::copyInto(QRBAction& copy) const {
    QRBAction::copyInto(copy);
    auto& action = static_cast<QRBConcreteAction&>(copy);
    auto master = std::static_pointer_cast<QRBConcreteAction>(action.selfPointer());
    action.dups_.reserve(dups_.size());
    for (const auto& dup : dups_) {
        auto dupCopy = std::static_pointer_cast<QRBDupAction>(dup->copy());
        action.dups_.push_back(dupCopy);
        dupCopy->setMasterAction(master);
    }
}

void QRBConcreteAction::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBAction::encodeWithCoder(coder);
    foundation::Array dups;
    dups.reserve(dups_.size());
    for (const auto& dup : dups_) dups.emplace_back(dup);
    coder.encodeObject(foundation::Value(std::move(dups)), kDupActionsKey);
}

void QRBConcreteAction::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBAction::initWithCoder(coder);
    foundation::Value list = coder.decodeObject(kDupActionsKey);
    if (list.isNull()) return;
    const foundation::Array* entries = list.arrayValue();
    if (!entries) throw foundation::ArchiveError("QRBConcreteAction: its duplicates are not an array");
    if (!entries->empty() && dynamic_cast<QRBDupAction*>(this))
        throw foundation::ArchiveError("QRBDupAction: a duplicate with duplicates of its own");
    std::vector<QRBActionPtr> dups;
    dups.reserve(entries->size());
    for (const foundation::Value& entry : *entries) {
        auto dup = entry.object<QRBDupAction>();
        if (!dup) throw foundation::ArchiveError("QRBConcreteAction: an entry of its duplicates is not a duplicate");
        claimDecodedMember(*dup);
        dups.push_back(std::move(dup));
    }
    dups_ = std::move(dups);
    auto self = std::static_pointer_cast<QRBConcreteAction>(selfPointer());
    for (const auto& dup : dups_) static_cast<QRBDupAction&>(*dup).setMasterAction(self);
}
