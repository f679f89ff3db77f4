#pragma once
// Snapshots: a named record of a preset's state, made of the last message each top-level context
// received and, as a tree below it, the last messages of its child contexts. Recalling a snapshot
// replays those messages into the contexts as if they had arrived again, so every output is driven
// back to the recorded values.
//
// A snapshot is a value once made: updating one replaces it in its preset's list by a new one that
// takes the old name. The messages are the contexts' own stored messages, shared, not copied.
//
// Equality decides whether the current state still matches the last recalled snapshot, so it
// compares messages by path and argument values, never by identity.

#include "core/osc/QRBMessageEndpoint.h"
#include "core/osc/QRBOSCMessage.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QRBSnapshot;
class QRBSnapshotElement;
using QRBSnapshotPtr = std::shared_ptr<QRBSnapshot>;
using QRBSnapshotElementPtr = std::shared_ptr<QRBSnapshotElement>;
using QRBSnapshotElements = std::vector<QRBSnapshotElementPtr>;

// Posted on the default center by a snapshot whose name changed; the object is the snapshot, the
// user info holds the previous name.
inline constexpr const char* kQRBSnapshotNameChangedNotification = "QRBSnapshotNameChanged";
inline constexpr const char* kQRBSnapshotNameChangedOldNameKey = "QRBSnapshotNameChangedOldName";

// One context's part of a snapshot.
class QRBSnapshotElement : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBSnapshotElement", foundation::Object)

public:
    QRBSnapshotElement() = default;
    QRBSnapshotElement(QRBOSCMessagePtr message, QRBSnapshotElements elements);
    static QRBSnapshotElementPtr elementWithMessage(QRBOSCMessagePtr message, QRBSnapshotElements elements);

    // The context's last message; null for a context that has received nothing.
    const QRBOSCMessagePtr& message() const { return message_; }
    void setMessage(QRBOSCMessagePtr message) { message_ = std::move(message); }
    // The elements of the context's child contexts, in the context's order.
    const QRBSnapshotElements& elements() const { return elements_; }
    void setElements(QRBSnapshotElements elements) { elements_ = std::move(elements); }

    // The same object; otherwise, when this element has a message, the other's must be equal
    // (an element without a message matches whatever the other holds), and the child lists must
    // be equal. Not symmetric, on purpose.
    bool isEqualToSnapshotElement(const QRBSnapshotElement& other) const;

    // "message" and "elements". Decoding refuses anything but messages and elements, and an
    // element that contains itself.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    QRBOSCMessagePtr message_;
    QRBSnapshotElements elements_;
    // Set while this element's own keys are being decoded: an element found among its own
    // descendants then is a cycle in a damaged archive.
    bool decoding_ = false;
};

// The same count and every pair at the same index equal (isEqualToSnapshotElement).
bool isEqualToSnapshotElementArray(const QRBSnapshotElements& a, const QRBSnapshotElements& b);

class QRBSnapshot : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBSnapshot", foundation::Object)

public:
    static constexpr const char* kDefaultName = "Snapshot 1";
    // The name of the empty snapshot every preset begins with: an em dash.
    static constexpr const char* kEmptySnapshotName = "\u2014";
    static constexpr const char* kEndpointCategory = "Snapshot Recall";

    // Named "Snapshot 1", without elements.
    QRBSnapshot();
    // Named "—", without an element list: it equals only itself.
    static QRBSnapshotPtr emptySnapshot();
    // Named "Snapshot 1".
    static QRBSnapshotPtr snapshotWithElements(QRBSnapshotElements elements);

    const std::string& name() const { return name_; }
    // A different name is stored, shown by the endpoint, and announced with
    // "QRBSnapshotNameChanged". Not undoable: the preset's followers update what named the old
    // name.
    void setName(const std::string& name);

    // Null for the empty snapshot.
    const std::optional<QRBSnapshotElements>& elements() const { return elements_; }
    void setElements(std::optional<QRBSnapshotElements> elements) { elements_ = std::move(elements); }

    // The source under which the monitor shows the replayed messages of a recall: "Snapshot
    // Recall", incoming, with the snapshot's name as its status description.
    const QRBMessageEndpointPtr& endpoint() const { return endpoint_; }
    void setEndpoint(QRBMessageEndpointPtr endpoint) { endpoint_ = std::move(endpoint); }

    // The same object, or two element lists that are equal; a snapshot without a list equals
    // only itself.
    bool isEqualToSnapshot(const QRBSnapshot& other) const;

    // "name" and "elements"; the endpoint is made afresh when decoding.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    std::string name_ = kDefaultName;
    std::optional<QRBSnapshotElements> elements_;
    QRBMessageEndpointPtr endpoint_;
};
