#include "controllers/QRBWKEventDispatcher.h"

#include "foundation/Exception.h"

void QRBWKEventDispatcher::setHandler(const QRBWKEventHandlerPtr& handler, const std::string& key) {
    if (!handler) FND_INTERNAL_ERROR("handler cannot be nil");
    if (handlerForKey(key)) FND_INTERNAL_ERROR("handler key already registered");
    const int type = handler->eventType();
    if (type < 0 || type >= QRBWKEventHandler::kEventTypeCount) FND_INTERNAL_ERROR("invalid event type");
    eventHandlersByTypes_[static_cast<size_t>(type)].emplace(key, handler);
    updateDispatchList(static_cast<size_t>(type));
}

void QRBWKEventDispatcher::updateDispatchList(size_t type) {
    auto list = std::make_shared<std::vector<QRBWKEventHandlerPtr>>();
    for (const auto& [key, handler] : eventHandlersByTypes_[type]) list->push_back(handler);
    dispatchLists_[type] = std::move(list);
}

void QRBWKEventDispatcher::removeHandlerForKey(const std::string& key) {
    for (size_t type = 0; type < eventHandlersByTypes_.size(); ++type) {
        if (eventHandlersByTypes_[type].erase(key)) {
            updateDispatchList(type);
            return;
        }
    }
    FND_INTERNAL_ERROR("no handler registered for given key");
}

QRBWKEventHandlerPtr QRBWKEventDispatcher::handlerForKey(const std::string& key) const {
    for (const auto& handlers : eventHandlersByTypes_)
        if (auto it = handlers.find(key); it != handlers.end()) return it->second;
    return nullptr;
}

std::vector<std::string> QRBWKEventDispatcher::allHandlersKeys() const {
    std::vector<std::string> keys;
    for (const auto& handlers : eventHandlersByTypes_)
        for (const auto& [key, handler] : handlers) keys.push_back(key);
    return keys;
}

void QRBWKEventDispatcher::dispatchEvent(const devices::WiiEvent& event) {
    if (event.type < 0 || event.type >= QRBWKEventHandler::kEventTypeCount) return;
    // Held for the dispatch: a handler may register or remove handlers meanwhile.
    const auto handlers = dispatchLists_[static_cast<size_t>(event.type)];
    if (!handlers) return;
    for (const auto& handler : *handlers) handler->handleEvent(event);
}

void QRBWKEventDispatcher::resetCaches() {
    for (const auto& handlers : eventHandlersByTypes_)
        for (const auto& [key, handler] : handlers) handler->resetCaches();
}
