#include "core/mapping/QRBEventSourceMerger.h"

#include "core/mapping/QRBActionHost.h"
#include "zz/ZZTime.h"

QRBEventSourceMergerPtr QRBEventSourceMerger::defaultMergerWithEventSource(QRBEventSourcePtr eventSource) {
    return std::make_shared<QRBDefaultEventSourceMerger>(std::move(eventSource));
}

QRBEventSourceMergerPtr QRBEventSourceMerger::uniquingMergerWithEventSource(QRBEventSourcePtr eventSource,
                                                                            std::string collectionKeyPath) {
    return std::make_shared<QRBUniquingEventSourceMerger>(std::move(eventSource), std::move(collectionKeyPath));
}

QRBEventSourcePtr QRBEventSourceMerger::mergeFromOSCManager(const std::shared_ptr<QRBActionHost>&,
                                                            const std::shared_ptr<QRBActionHost>&) {
    ZZRaiseSubclassResponsibility("QRBEventSourceMerger::mergeFromOSCManager");
}

QRBEventSourcePtr QRBDefaultEventSourceMerger::mergeFromOSCManager(const std::shared_ptr<QRBActionHost>&,
                                                                   const std::shared_ptr<QRBActionHost>&) {
    return eventSource();
}

QRBEventSourcePtr QRBUniquingEventSourceMerger::mergeFromOSCManager(const std::shared_ptr<QRBActionHost>&,
                                                                    const std::shared_ptr<QRBActionHost>& destination) {
    const QRBEventSourcePtr& source = eventSource();
    if (!source || !destination) return source;
    auto collection = destination->eventSourceCollection(collectionKeyPath_);
    if (!collection) return source;
    for (const auto& entry : collection->eventSources())
        if (entry && source->isEqualToEventSource(*entry)) return entry;
    collection->addEventSource(source);
    return source;
}
