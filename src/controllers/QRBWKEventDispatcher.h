#pragma once
// A Wii remote slot's handlers, kept by the type of event they take, each under a key of its own
// ("buttons", "accelerometers", ...). Every event of a report goes to each handler of its type.
//
// Main thread only.

#include "controllers/QRBWKEventHandler.h"

#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QRBWKEventDispatcher;
using QRBWKEventDispatcherPtr = std::shared_ptr<QRBWKEventDispatcher>;

class QRBWKEventDispatcher {
public:
    static QRBWKEventDispatcherPtr dispatcher() { return std::make_shared<QRBWKEventDispatcher>(); }

    // A null handler or a key already registered is a programming error.
    void setHandler(const QRBWKEventHandlerPtr& handler, const std::string& key);
    // A key that is not registered is a programming error.
    void removeHandlerForKey(const std::string& key);
    QRBWKEventHandlerPtr handlerForKey(const std::string& key) const;
    // Every key, in the order of the event types.
    std::vector<std::string> allHandlersKeys() const;

    // Hands the event to every handler of its type; an event of a type nobody takes does nothing.
    void dispatchEvent(const devices::WiiEvent& event);
    void resetCaches();

private:
    void updateDispatchList(size_t type);

    std::array<std::map<std::string, QRBWKEventHandlerPtr>, QRBWKEventHandler::kEventTypeCount> eventHandlersByTypes_;
    // What a report's events go to, per type: rebuilt when handlers come or go, never while a
    // report is dispatched, so an event costs no copy of the tables. A handler that changes the
    // tables while it handles an event (a calibration ending itself) leaves the list under way
    // intact: the dispatch holds it.
    std::array<std::shared_ptr<const std::vector<QRBWKEventHandlerPtr>>, QRBWKEventHandler::kEventTypeCount>
        dispatchLists_;
};
