#include "core/mapping/QRBSnapshot.h"

#include "foundation/NotificationCenter.h"
#include "zz/ZZExtensions.h"

namespace {

constexpr const char* kMessageKey = "message";
constexpr const char* kElementsKey = "elements";
constexpr const char* kNameKey = "name";

foundation::Array archivedElements(const QRBSnapshotElements& elements) {
    foundation::Array list;
    list.reserve(elements.size());
    for (const auto& element : elements) list.emplace_back(element);
    return list;
}

// The list under `key` as elements; raises for anything else. A child that is still being decoded
// is one of the element's own ancestors (or the element itself): the archive loops.
QRBSnapshotElements decodeElements(const foundation::Value& archived, const char* owner) {
    const foundation::Array* list = archived.arrayValue();
    if (!list) throw foundation::ArchiveError(std::string(owner) + " elements are not a list");
    QRBSnapshotElements elements;
    elements.reserve(list->size());
    for (const foundation::Value& item : *list) {
        auto element = item.object<QRBSnapshotElement>();
        if (!element) throw foundation::ArchiveError(std::string(owner) + " element is not a snapshot element");
        elements.push_back(std::move(element));
    }
    return elements;
}

}  // namespace

// ---- QRBSnapshotElement ------------------------------------------------------------------------

QRBSnapshotElement::QRBSnapshotElement(QRBOSCMessagePtr message, QRBSnapshotElements elements)
    : message_(std::move(message)), elements_(std::move(elements)) {}

QRBSnapshotElementPtr QRBSnapshotElement::elementWithMessage(QRBOSCMessagePtr message, QRBSnapshotElements elements) {
    return std::make_shared<QRBSnapshotElement>(std::move(message), std::move(elements));
}

bool QRBSnapshotElement::isEqualToSnapshotElement(const QRBSnapshotElement& other) const {
    if (this == &other) return true;
    if (message_) {
        if (!other.message_ || !message_->isEqualToOSCMessage(*other.message_)) return false;
    }
    return isEqualToSnapshotElementArray(elements_, other.elements_);
}

bool isEqualToSnapshotElementArray(const QRBSnapshotElements& a, const QRBSnapshotElements& b) {
    return ZZIsEqualToArrayByPassingTest(a, b, [](const QRBSnapshotElementPtr& x, const QRBSnapshotElementPtr& y) {
        if (x == y) return true;
        return x && y && x->isEqualToSnapshotElement(*y);
    });
}

void QRBSnapshotElement::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    foundation::Object::encodeWithCoder(coder);
    coder.encodeObject(foundation::Value(message_), kMessageKey);
    coder.encodeObject(foundation::Value(archivedElements(elements_)), kElementsKey);
}

void QRBSnapshotElement::initWithCoder(foundation::KeyedUnarchiver& coder) {
    foundation::Object::initWithCoder(coder);
    struct Decoding {
        bool& flag;
        explicit Decoding(bool& f) : flag(f) { flag = true; }
        ~Decoding() { flag = false; }
    } decoding(decoding_);

    QRBOSCMessagePtr message = coder.decodeObjectOfClass<QRBOSCMessage>(kMessageKey);
    QRBSnapshotElements elements;
    if (foundation::Value archived = coder.decodeObject(kElementsKey); !archived.isNull())
        elements = decodeElements(archived, "snapshot element");
    for (const auto& element : elements)
        if (element->decoding_) throw foundation::ArchiveError("snapshot element contains itself");
    message_ = std::move(message);
    elements_ = std::move(elements);
}

// ---- QRBSnapshot -------------------------------------------------------------------------------

QRBSnapshot::QRBSnapshot()
    : endpoint_(std::make_shared<QRBMessageEndpoint>(kEndpointCategory, QRBMessageEndpoint::kDirectionIncoming)) {
    endpoint_->setStatusDescription(name_);
}

QRBSnapshotPtr QRBSnapshot::emptySnapshot() {
    auto snapshot = std::make_shared<QRBSnapshot>();
    snapshot->setName(kEmptySnapshotName);
    return snapshot;
}

QRBSnapshotPtr QRBSnapshot::snapshotWithElements(QRBSnapshotElements elements) {
    auto snapshot = std::make_shared<QRBSnapshot>();
    snapshot->elements_ = std::move(elements);
    return snapshot;
}

void QRBSnapshot::setName(const std::string& name) {
    if (name == name_) return;
    std::string oldName = std::move(name_);
    name_ = name;
    if (endpoint_) endpoint_->setStatusDescription(name_);
    foundation::NotificationCenter::defaultCenter().post(
        kQRBSnapshotNameChangedNotification, foundation::NotificationObject(this),
        {{kQRBSnapshotNameChangedOldNameKey, foundation::Value(oldName)}});
}

bool QRBSnapshot::isEqualToSnapshot(const QRBSnapshot& other) const {
    if (this == &other) return true;
    if (!elements_ || !other.elements_) return false;
    return isEqualToSnapshotElementArray(*elements_, *other.elements_);
}

void QRBSnapshot::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    foundation::Object::encodeWithCoder(coder);
    coder.encodeString(name_, kNameKey);
    if (elements_) coder.encodeObject(foundation::Value(archivedElements(*elements_)), kElementsKey);
}

void QRBSnapshot::initWithCoder(foundation::KeyedUnarchiver& coder) {
    foundation::Object::initWithCoder(coder);
    std::optional<std::string> name = coder.decodeString(kNameKey);
    std::optional<QRBSnapshotElements> elements;
    if (foundation::Value archived = coder.decodeObject(kElementsKey); !archived.isNull())
        elements = decodeElements(archived, "snapshot");
    if (name) name_ = std::move(*name);
    elements_ = std::move(elements);
    if (!endpoint_)
        endpoint_ = std::make_shared<QRBMessageEndpoint>(kEndpointCategory, QRBMessageEndpoint::kDirectionIncoming);
    endpoint_->setStatusDescription(name_);
}
