#include "core/mapping/QRBContext.h"

#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBDupAction.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"

#include <unordered_set>

// The context's model beside its receiving path: ranks, names and paths, duplicating and
// splitting a single-argument mapping, folding, the life cycle passed down to the actions, and
// copying.

namespace {
constexpr const char* kActionNotFound = "Inconsistency error: action not found in parent context.";
constexpr const char* kContextMissing = "context cannot be nil";
}  // namespace

// ---- Ranks, names and paths ----------------------------------------------------------------------

long QRBContext::rankOf(const QRBAction& action) const {
    if (auto dup = dynamic_cast<const QRBDupAction*>(&action)) return dup->rank();
    // The action just added, which is configured by its rank as it comes, is the last one: a
    // message that brings many new arguments costs no search per argument.
    if (!actions_.empty() && actions_.back().get() == &action) return static_cast<long>(actions_.size() - 1);
    for (size_t i = 0; i < actions_.size(); ++i)
        if (actions_[i].get() == &action) return static_cast<long>(i);
    FND_INTERNAL_ERROR(kActionNotFound);
}

std::string QRBContext::displayName() const { return name().value_or(std::string()); }

std::string QRBContext::fullDisplayName() const {
    const std::string own = name().value_or("(null)");
    if (isTopLevel()) return own;
    auto parent = context();
    if (!parent) return foundation::format("(null)/%s", own.c_str());
    return foundation::format("%s%c%s", parent->fullDisplayName().c_str(), parent->isTopLevel() ? ' ' : '/',
                              own.c_str());
}

std::string QRBContext::address() const {
    const std::string own = name().value_or("(null)");
    if (isTopLevel()) return own;
    auto parent = context();
    return foundation::format("%s/%s", parent ? parent->address().c_str() : "(null)", own.c_str());
}

QRBContextPtr QRBContext::topLevelContext() const {
    if (isTopLevel()) return std::static_pointer_cast<QRBContext>(std::const_pointer_cast<QRBAction>(selfPointer()));
    auto parent = context();
    return parent ? parent->topLevelContext() : nullptr;
}

foundation::Array QRBContext::pathComponents() const {
    if (isTopLevel()) return {};
    auto parent = context();
    if (!parent) FND_INTERNAL_ERROR(kContextMissing);
    foundation::Array components = parent->pathComponents();
    components.emplace_back(name().value_or(std::string()));
    return components;
}

QRBActionPtr QRBContext::actionAtPath(const foundation::Array& path, size_t from) const {
    if (from < path.size()) {
        if (const std::string* label = path[from].stringValue()) {
            if (auto child = contextWithName(*label)) return child->actionAtPath(path, from + 1);
        }
    }
    return QRBAction::actionAtPath(path, from);
}

std::vector<QRBActionPtr> QRBContext::actionsWithHigherRankThan(const std::vector<QRBActionPtr>& rows) {
    std::vector<QRBActionPtr> result;
    std::unordered_set<const QRBAction*> seen;
    auto add = [&](const QRBActionPtr& action) {
        if (action && seen.insert(action.get()).second) result.push_back(action);
    };
    for (const auto& row : rows) {
        if (!row) continue;
        if (std::dynamic_pointer_cast<QRBDupAction>(row)) {
            add(row);
        } else if (auto context = std::dynamic_pointer_cast<QRBContext>(row)) {
            for (const auto& action : context->actions()) add(action);
            add(row);
        } else if (auto context = row->context()) {
            // The later arguments go too: their ranks would no longer match their arguments.
            const auto& list = context->actions();
            for (size_t i = 0; i < list.size(); ++i) {
                if (list[i] != row) continue;
                for (size_t j = i; j < list.size(); ++j) add(list[j]);
                break;
            }
        }
    }
    const std::vector<QRBActionPtr> members = result;
    for (const auto& member : members)
        for (const auto& below : member->allActions()) add(below);
    return result;
}

bool QRBContext::hasAssignedEventSource() const {
    if (eventSource()) return true;
    for (const auto& action : actions_)
        if (action->hasAssignedEventSource()) return true;
    return false;
}

// ---- Duplicating and splitting -----------------------------------------------------------------

std::shared_ptr<QRBConcreteAction> QRBContext::argumentActionForEditing() {
    if (isMultiArgument()) {
        // A context of several arguments, or demultiplexed into child contexts, has no single
        // mapping to duplicate.
        if (actions_.size() != 1) return nullptr;
        return std::dynamic_pointer_cast<QRBConcreteAction>(actions_.front());
    }
    // The mapping of a single-argument context moves to a new argument action, which takes the
    // context's output as the first action of a context does.
    auto self = std::static_pointer_cast<QRBContext>(selfPointer());
    auto action = createAction<QRBConcreteAction>(std::nullopt);
    if (!action) return nullptr;
    // Undone, the new action leaves the context without its output (the context's own output
    // comes back through the inverse its clearing registered).
    registerUndo([self, action] {
        self->removeActionsObject(action);
        action->setEventSource(nullptr);
    });
    action->makeSameAsAction(*this);
    return action;
}

QRBDupActionPtr QRBContext::dup() {
    auto action = argumentActionForEditing();
    return action ? action->dup() : nullptr;
}

QRBDupActionPtr QRBContext::split() {
    if (isMultiArgument()) return nullptr;
    auto action = argumentActionForEditing();
    return action ? action->split() : nullptr;
}

void QRBContext::fold() {
    if (eventSource() || actions_.size() != 1) return;
    const QRBActionPtr action = actions_.front();
    // Only an argument action folds: a single child context is the demultiplexing itself.
    if (std::dynamic_pointer_cast<QRBContext>(action)) return;
    if (!action->actions().empty()) return;
    // Folding happens while a document is decoded: the output attaches at the next fire.
    installEventSource(action->eventSource(), false);
    setEnabled(action->isEnabled());
    setArgValue(*action->argValue());
    action->invalidate();
}

// ---- Life cycle ------------------------------------------------------------------------------

void QRBContext::willLeavePreset(const QRBPreset* preset) {
    QRBAction::willLeavePreset(preset);
    const std::vector<QRBActionPtr> held = actions_;
    for (const auto& action : held) action->willLeavePreset(preset);
}

void QRBContext::didRestorePreset(const QRBPreset* preset) {
    QRBAction::didRestorePreset(preset);
    const std::vector<QRBActionPtr> held = actions_;
    for (const auto& action : held) action->didRestorePreset(preset);
}

void QRBContext::mergeEventSourceFromOSCManager(const std::shared_ptr<QRBActionHost>& source,
                                                const std::shared_ptr<QRBActionHost>& destination) {
    QRBAction::mergeEventSourceFromOSCManager(source, destination);
    const std::vector<QRBActionPtr> held = actions_;
    for (const auto& action : held) action->mergeEventSourceFromOSCManager(source, destination);
}

void QRBContext::setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) {
    QRBAction::setUndoManager(undoManager);
    for (const auto& action : actions_) action->setUndoManager(undoManager);
}

// ---- Copying -----------------------------------------------------------------------------------

QRBActionPtr QRBContext::makeEmptyCopy() const { return std::make_shared<QRBContext>(); }

void QRBContext::copyInto(QRBAction& copy) const {
    QRBAction::copyInto(copy);
    auto& context = static_cast<QRBContext&>(copy);
    auto contextPtr = std::static_pointer_cast<QRBContext>(context.selfPointer());
    context.oscManager_ = oscManager_;
    context.demuxRank_ = demuxRank_;
    context.lastReceivedMessage_ = lastReceivedMessage_;
    context.lastReceivedDate_ = lastReceivedDate_;
    context.actions_.reserve(actions_.size());
    for (const auto& action : actions_) {
        QRBActionPtr actionCopy = action->copy();
        context.actions_.push_back(actionCopy);
        actionCopy->setContext(contextPtr);
    }
}
