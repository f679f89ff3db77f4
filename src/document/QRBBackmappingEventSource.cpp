#include "document/QRBBackmappingEventSource.h"

#include "core/mapping/QRBActionLocation.h"
#include "core/mapping/QRBEventSourceMerger.h"

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBBackmappingEventSource)

QRBEventSourcePtr QRBBackmappingEventSource::makeRoute(const std::string& rewriteAddress,
                                                       const std::vector<QRBBackmappingToken>& tokens) {
    auto route = std::make_shared<QRBBackmappingEventSource>();
    route->setRewriteAddress(rewriteAddress);
    std::vector<QRBArgTokenPtr> list;
    list.reserve(tokens.size());
    for (const QRBBackmappingToken& token : tokens) {
        switch (token.kind) {
        case QRBBackmappingToken::Kind::Plain: list.push_back(std::make_shared<QRBArgToken>(token.type)); break;
        case QRBBackmappingToken::Kind::ByRef:
            list.push_back(std::make_shared<QRBArgTokenByRef>(token.location, token.type));
            break;
        case QRBBackmappingToken::Kind::UpdateRef:
            list.push_back(std::make_shared<QRBArgTokenUpdateRef>(token.location, token.type));
            break;
        }
    }
    route->setRewriteTokens(list);
    return route;
}

std::shared_ptr<QRBEventSourceMerging> QRBBackmappingEventSource::merger() const {
    auto me =
        std::const_pointer_cast<QRBEventSource>(std::static_pointer_cast<const QRBEventSource>(shared_from_this()));
    return QRBEventSourceMerger::defaultMergerWithEventSource(me);
}
