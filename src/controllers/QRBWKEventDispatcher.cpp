#include "controllers/QRBWKEventDispatcher.h"

#include "foundation/Exception.h"

void QRBWKEventDispatcher::setHandler(const QRBWKEventHandlerPtr& handler, const std::string& key) {
    if (!handler) FND_INTERNAL_ERROR("handler cannot be nil");
    if (handlerForKey(key)) FND_INTERNAL_ERROR("handler key already registered");
    const int type = handler->eventType();
    if (type < 0 || type >= QRBWKEventHandler::kEventTypeCount) FND_INTERNAL_ERROR("invalid event type");
    eventHandlersByTypes_[static_cast<size_t>(type)].emplace(key, handler);
}

void QRBWKEventDispatcher::removeHandlerForKey(const std::string& key) {
    for (auto& handlers : eventHandlersByTypes_)
        if (handlers.erase(key)) return;
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
    // A handler may register or remove handlers (a calibration ends itself): go over a copy.
    const auto handlers = eventHandlersByTypes_[static_cast<size_t>(event.type)];
    for (const auto& [key, handler] : handlers) handler->handleEvent(event);
}

void QRBWKEventDispatcher::resetCaches() {
    for (const auto& handlers : eventHandlersByTypes_)
        for (const auto& [key, handler] : handlers) handler->resetCaches();
}
