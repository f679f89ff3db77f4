#pragma once
// The return route that the manager's backmapping gives an action: it sends the action's value
// back to the address of a mapping it corresponds to, with the mapping's scaling inverted (see
// QRBManager::backmapAction). It behaves as a route and shows and registers as one, but the user
// can't edit it, and it belongs to the one action it was made for: carrying that action into
// another document carries the route unchanged.
//
// Loading the engine installs the maker of these routes on the manager.

#include "document/QRBManager.h"
#include "document/QRBRouteEventSource.h"

#include <string>
#include <vector>

class QRBBackmappingEventSource : public QRBRouteEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBBackmappingEventSource", QRBRouteEventSource)

public:
    QRBBackmappingEventSource() = default;

    // A return route to `rewriteAddress` with one token per backmapping token: the firing value
    // (Plain), the value of the action at a location (ByRef), or the firing value written into
    // that action first (UpdateRef). It sends to the default target.
    static QRBEventSourcePtr makeRoute(const std::string& rewriteAddress,
                                       const std::vector<QRBBackmappingToken>& tokens);

    // Shows and registers under the route's type.
    static const QRBEventSourceClass* classType() { return &QRBRouteEventSource::staticClass(); }
    bool canBeEditedByUser() const override { return false; }
    // Carried as it is.
    std::shared_ptr<QRBEventSourceMerging> merger() const override;

protected:
    QRBRouteEventSourcePtr makeEmptyCopy() const override { return std::make_shared<QRBBackmappingEventSource>(); }
};
