#include "midi/templates/QRBMIDICollection.h"

#include "foundation/ArchiveLists.h"
#include "foundation/Exception.h"

#include <algorithm>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBMIDICollection)

namespace {
constexpr const char* kTemplatesArchiveKey = "templates";
constexpr const char* kIsExpandedKey = "isExpanded";
}  // namespace

QRBMIDICollection::QRBMIDICollection() { QRBEventSource::setName(std::string(kDefaultName)); }

QRBMIDICollection::~QRBMIDICollection() = default;

void QRBMIDICollection::adopt(const QRBMIDITemplatePtr& t) {
    t->setUndoManager(undoManager());
    t->setParentCollection(self());
}

void QRBMIDICollection::insertTemplate(const QRBMIDITemplatePtr& t, size_t index) {
    FND_PARAMETER_ASSERT(t != nullptr);
    FND_PARAMETER_ASSERT(index <= templates_.size());
    adopt(t);
    t->ensureUniqueNameComparedToEventSources(templates_.elements());
    templates_.insert(*this, t, index, [&] { t->setDisplayNameFromParentCollection(this); });
    matcherStale_ = true;
}

void QRBMIDICollection::removeTemplateAtIndex(size_t index) {
    QRBMIDITemplatePtr removed = templates_.at(index);
    templates_.remove(*this, index, [&] { removed->setParentCollection(nullptr); });
    matcherStale_ = true;
}

void QRBMIDICollection::insertTemplates(const std::vector<QRBMIDITemplatePtr>& templates,
                                        const std::vector<size_t>& indexes) {
    FND_PARAMETER_ASSERT(templates.size() == indexes.size());
    for (const auto& t : templates) FND_PARAMETER_ASSERT(t != nullptr);
    // Names unique among the present templates and all the inserted ones, taken before any goes in.
    std::vector<QRBEventSourcePtr> names(templates_.begin(), templates_.end());
    names.insert(names.end(), templates.begin(), templates.end());
    for (const auto& t : templates) {
        adopt(t);
        t->ensureUniqueNameComparedToEventSources(names);
    }
    std::vector<std::pair<size_t, QRBMIDITemplatePtr>> order;
    for (size_t i = 0; i < indexes.size(); ++i) order.emplace_back(indexes[i], templates[i]);
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& entry : order) insertTemplate(entry.second, std::min(entry.first, templates_.size()));
}

void QRBMIDICollection::removeTemplatesAtIndexes(const std::vector<size_t>& indexes) {
    std::vector<size_t> sorted = indexes;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    for (size_t index : sorted) FND_PARAMETER_ASSERT(index < templates_.size());
    for (auto it = sorted.rbegin(); it != sorted.rend(); ++it) removeTemplateAtIndex(*it);
}

QRBMIDITemplatePtr QRBMIDICollection::maybeAddTemplate(const QRBMIDITemplatePtr& candidate) {
    FND_PARAMETER_ASSERT(candidate != nullptr);
    for (const auto& t : templates_)
        if (t->isEqualToEventSource(*candidate)) return t;
    insertTemplate(candidate, templates_.size());
    return candidate;
}

void QRBMIDICollection::setName(const std::optional<std::string>& name) {
    QRBMIDIElement::setName(name);
    for (const auto& t : templates_) t->setDisplayNameFromParentCollection(this);
}

void QRBMIDICollection::setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) {
    QRBMIDIElement::setUndoManager(undoManager);
    for (const auto& t : templates_) t->setUndoManager(undoManager);
}

QRBMIDITemplateMatcher& QRBMIDICollection::matcher() {
    if (!matcher_ || matcherStale_) {
        auto fresh = std::make_unique<QRBMIDITemplateMatcher>(templates_.elements());
        if (matcher_) fresh->takeOverPartialMatches(*matcher_);
        matcher_ = std::move(fresh);
        matcherStale_ = false;
    }
    return *matcher_;
}

std::vector<QRBOSCMessagePtr> QRBMIDICollection::matchByte(uint8_t byte) {
    std::vector<QRBOSCMessagePtr> messages;
    matcher().matchByte(byte, messages);
    return messages;
}

void QRBMIDICollection::matchBytes(const foundation::Data& bytes, std::vector<QRBOSCMessagePtr>& messages) {
    QRBMIDITemplateMatcher& m = matcher();
    for (uint8_t byte : bytes) m.matchByte(byte, messages);
}

std::vector<QRBOSCMessagePtr> QRBMIDICollection::matchMessage(const std::vector<QRBMIDICollectionPtr>& collections,
                                                              const foundation::Data& bytes) {
    // Matching only collects: the messages are routed after it, so nothing edits the collections
    // while they are walked.
    std::vector<QRBOSCMessagePtr> messages;
    for (const auto& collection : collections) collection->matchBytes(bytes, messages);
    return messages;
}

QRBMIDICollectionPtr QRBMIDICollection::copy() const {
    auto c = std::make_shared<QRBMIDICollection>();
    c->QRBEventSource::setName(name());
    c->isExpanded_ = isExpanded_;
    std::vector<QRBMIDITemplatePtr> copies;
    for (const auto& t : templates_) {
        auto tc = t->copy();
        tc->setParentCollection(c);
        tc->setDisplayNameFromParentCollection(c.get());
        copies.push_back(tc);
    }
    c->templates_.assign(std::move(copies));
    return c;
}

foundation::Data QRBMIDICollection::exchangeDataWithCollections(const std::vector<QRBMIDICollectionPtr>& collections) {
    return foundation::KeyedArchiver::archivedDataWithRootObject(foundation::objectListValue(collections));
}

std::vector<QRBMIDICollectionPtr> QRBMIDICollection::collectionsWithExchangeData(const foundation::Data& data) {
    foundation::Value root = foundation::KeyedUnarchiver::unarchiveObjectWithData(data);
    const foundation::Array* array = root.arrayValue();
    if (!array) throw foundation::ArchiveError("the root of a template collection file is not an array");
    std::vector<QRBMIDICollectionPtr> collections;
    for (const auto& entry : *array) {
        auto collection = entry.object<QRBMIDICollection>();
        if (!collection) throw foundation::ArchiveError("a template collection file holds something else");
        collections.push_back(std::move(collection));
    }
    return collections;
}

void QRBMIDICollection::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBMIDIElement::encodeWithCoder(coder);
    coder.encodeObject(foundation::objectListValue(templates_.elements()), kTemplatesArchiveKey);
    coder.encodeBool(isExpanded_, kIsExpandedKey);
}

void QRBMIDICollection::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBMIDIElement::initWithCoder(coder);
    std::vector<QRBMIDITemplatePtr> list;
    if (auto decoded = foundation::decodeObjectList<QRBMIDITemplate>(coder, kTemplatesArchiveKey))
        list = std::move(*decoded);
    // A template listed here belongs here, whatever parent a damaged file names for it.
    for (const auto& t : list) {
        t->setParentCollection(self());
        t->setDisplayNameFromParentCollection(this);
    }
    templates_.assign(std::move(list));
    matcherStale_ = true;
    isExpanded_ = coder.decodeBool(kIsExpandedKey);
}
