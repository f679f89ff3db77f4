#pragma once
// What an action's output becomes when the action is carried into another document (a mapping
// import, a paste). Most outputs are carried as they are and shared; outputs that live in a
// document-wide collection (OSC routes, key combinations, scripts, MIDI templates) are matched to
// an equal entry of the destination's collection, or added to it, so that the destination never
// holds two equal entries.
//
// Mergers are made by QRBEventSource::merger for one merge and dropped; an output without a
// merger is carried as the default merger would carry it.

#include "core/mapping/QRBEventSourceMerging.h"
#include "core/outputs/QRBEventSource.h"

#include <memory>
#include <string>
#include <vector>

class QRBActionHost;
class QRBEventSourceMerger;
using QRBEventSourceMergerPtr = std::shared_ptr<QRBEventSourceMerger>;

// A document-wide collection of outputs as its owner exposes it for merging. Additions go through
// the owner's own accessors, so they are undoable and observers hear of them.
class QRBEventSourceCollection {
public:
    virtual ~QRBEventSourceCollection() = default;
    virtual std::vector<QRBEventSourcePtr> eventSources() const = 0;
    // Appends at the end.
    virtual void addEventSource(const QRBEventSourcePtr& source) = 0;
};

class QRBEventSourceMerger : public QRBEventSourceMerging {
public:
    explicit QRBEventSourceMerger(QRBEventSourcePtr eventSource) : eventSource_(std::move(eventSource)) {}

    static QRBEventSourceMergerPtr defaultMergerWithEventSource(QRBEventSourcePtr eventSource);
    static QRBEventSourceMergerPtr uniquingMergerWithEventSource(QRBEventSourcePtr eventSource,
                                                                 std::string collectionKeyPath);

    // The output being carried.
    const QRBEventSourcePtr& eventSource() const { return eventSource_; }

    // The output to use in the destination document. Raises "SubclassResponsibility" here.
    QRBEventSourcePtr mergeFromOSCManager(const std::shared_ptr<QRBActionHost>& source,
                                          const std::shared_ptr<QRBActionHost>& destination) override;

private:
    QRBEventSourcePtr eventSource_;
};

// Carries the output itself: both documents share the very same object.
class QRBDefaultEventSourceMerger : public QRBEventSourceMerger {
public:
    using QRBEventSourceMerger::QRBEventSourceMerger;
    QRBEventSourcePtr mergeFromOSCManager(const std::shared_ptr<QRBActionHost>& source,
                                          const std::shared_ptr<QRBActionHost>& destination) override;
};

// Answers the first entry of the destination's collection that the output equals
// (isEqualToEventSource), or appends the output to the collection and answers it. A destination
// without such a collection takes the output as it is.
class QRBUniquingEventSourceMerger : public QRBEventSourceMerger {
public:
    QRBUniquingEventSourceMerger(QRBEventSourcePtr eventSource, std::string collectionKeyPath)
        : QRBEventSourceMerger(std::move(eventSource)), collectionKeyPath_(std::move(collectionKeyPath)) {}

    // From the document's manager to the collection: "oscRoutes", "keyEventManager.keyCombos",
    // "scriptManager.appleScripts", "midiManager.templatesCollections".
    const std::string& collectionKeyPath() const { return collectionKeyPath_; }

    QRBEventSourcePtr mergeFromOSCManager(const std::shared_ptr<QRBActionHost>& source,
                                          const std::shared_ptr<QRBActionHost>& destination) override;

private:
    std::string collectionKeyPath_;
};
