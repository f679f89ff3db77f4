#include "core/QRBPresetActionModel.h"

#include "core/QRBConcreteAction.h"
#include "core/QRBEventSourceMerger.h"
#include "core/QRBLivePlotController.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace detail {

namespace {

void forEachBelow(const QRBContext& context, const std::function<void(const QRBActionPtr&)>& visit) {
    const std::vector<QRBActionPtr> held = context.actions();
    for (const auto& action : held) {
        visit(action);
        if (auto child = std::dynamic_pointer_cast<QRBContext>(action)) forEachBelow(*child, visit);
    }
}

void leave(QRBAction& action) {
    if (auto logger = action.logger()) logger->stop();
    if (auto source = action.eventSource()) source->reset(action);
}

void restore(const QRBActionPtr& action) {
    if (auto source = action->eventSource()) source->attach(*action);
    if (auto logger = action->logger()) {
        logger->setAction(action);
        logger->start();
    }
}

// A path component that is a number: a non-negative integer, or none.
std::optional<size_t> indexComponent(const foundation::Value& component) {
    if (component.type() == foundation::Value::Type::Integer) {
        auto i = component.integerValue();
        if (i && *i >= 0) return static_cast<size_t>(*i);
        return std::nullopt;
    }
    if (component.type() == foundation::Value::Type::Real) {
        double d = *component.realValue();
        if (d >= 0 && d < 9.0e15 && std::floor(d) == d) return static_cast<size_t>(d);
    }
    return std::nullopt;
}

void copySettings(const QRBAction& from, QRBAction& to) {
    to.setName(from.name());
    to.setEnabled(from.isEnabled());
    to.setInputMin(from.inputMin());
    to.setInputMax(from.inputMax());
    to.setOutputMin(from.outputMin());
    to.setOutputMax(from.outputMax());
    to.setInputCap(from.inputCap());
    to.setRequireIntegralInputScalingsFormatting(from.requireIntegralInputScalingsFormatting());
    to.setInputArgValue(*from.inputArgValue());
    to.setArgValue(*from.argValue());
    to.setPreviousArgValue(*from.previousArgValue());
    to.setUserInfoDictionary(from.userInfoDictionary());
}

}  // namespace

void setUndoManager(QRBContext&, const std::shared_ptr<foundation::UndoManager>&) {
    // Contexts and actions register their own edits once they hold the document's undo manager.
}

void willLeavePreset(QRBContext& context) {
    leave(context);
    forEachBelow(context, [](const QRBActionPtr& action) { leave(*action); });
}

void didRestorePreset(QRBContext& context) {
    restore(std::static_pointer_cast<QRBAction>(context.shared_from_this()));
    forEachBelow(context, [](const QRBActionPtr& action) { restore(action); });
}

std::vector<QRBActionPtr> allActions(const QRBContext& context) {
    std::vector<QRBActionPtr> result;
    forEachBelow(context, [&](const QRBActionPtr& action) { result.push_back(action); });
    return result;
}

QRBActionPtr actionAtPath(const QRBActionPtr& action, const foundation::Array& path) {
    QRBActionPtr current = action;
    for (const foundation::Value& component : path) {
        if (!current) return nullptr;
        auto context = std::dynamic_pointer_cast<QRBContext>(current);
        if (const std::string* label = component.stringValue()) {
            current = context ? context->contextWithName(*label) : nullptr;
            continue;
        }
        auto index = indexComponent(component);
        if (!index || !context || *index >= context->actions().size()) return nullptr;
        current = context->actions()[*index];
    }
    return current;
}

QRBContextPtr copyContext(const QRBContext& context) {
    auto copy = std::make_shared<QRBContext>();
    copy->setOscManager(context.oscManager());
    copySettings(context, *copy);
    copy->setDemuxRank(context.demuxRank());
    for (const auto& action : context.actions()) {
        QRBActionPtr actionCopy;
        if (auto child = std::dynamic_pointer_cast<QRBContext>(action)) {
            actionCopy = copyContext(*child);
        } else {
            actionCopy = std::make_shared<QRBConcreteAction>();
            copySettings(*action, *actionCopy);
            actionCopy->setEventSource(action->eventSource());
        }
        copy->addActionsObject(actionCopy);
    }
    if (context.lastReceivedMessage() && context.lastReceivedDate())
        copy->setLastReceivedMessage(context.lastReceivedMessage(), *context.lastReceivedDate());
    copy->setEventSource(context.eventSource());
    return copy;
}

void fold(QRBContext& context) {
    if (context.eventSource() || context.actions().size() != 1) return;
    auto actions = allActions(context);
    if (actions.size() != 1) return;
    const QRBActionPtr action = actions.front();
    context.setEventSource(action->eventSource());
    context.setEnabled(action->isEnabled());
    context.setArgValue(*action->argValue());
    action->invalidate();
}

void mergeEventSource(QRBAction& action, const std::shared_ptr<QRBActionHost>& source,
                      const std::shared_ptr<QRBActionHost>& destination) {
    auto eventSource = action.eventSource();
    if (!eventSource) return;
    action.setEventSource(eventSource->merger()->mergeFromOSCManager(source, destination));
}

}  // namespace detail
