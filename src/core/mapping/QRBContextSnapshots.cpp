// A context's part in snapshots: capturing its last message with those of its child contexts, and
// replaying them.

#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBSnapshot.h"

std::shared_ptr<QRBSnapshotElement> QRBContext::createSnapshotElement() const {
    QRBSnapshotElements children;
    for (const auto& child : subContexts()) children.push_back(child->createSnapshotElement());
    return QRBSnapshotElement::elementWithMessage(lastReceivedMessage(), std::move(children));
}

void QRBContext::recallSnapshotElement(const std::shared_ptr<QRBSnapshotElement>& element,
                                       const std::shared_ptr<QRBSnapshot>& snapshot) {
    if (!element) return;
    // The replay may run outputs that edit the mapping; keep this context alive through it.
    auto self = shared_from_this();
    // A context that never received anything has no message to replay (a demultiplexed one
    // may lack its own); its children are still restored.
    if (element->message()) recallSnapshotMessage(element->message(), snapshot ? snapshot->endpoint() : nullptr);
    const QRBSnapshotElements children = element->elements();
    for (const auto& childElement : children) {
        if (!childElement || !childElement->message()) continue;
        if (auto child = contextWithName(childElement->message()->path()))
            child->recallSnapshotElement(childElement, snapshot);
    }
}
