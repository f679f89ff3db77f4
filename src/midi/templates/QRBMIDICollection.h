#pragma once
// A named group of MIDI templates. A document's MIDI manager holds an ordered list of them: the
// template tree of the editor, the source of the template outputs offered for an action, and the
// input matchers every received MIDI message is fed to. The same list, archived whole, is the
// collection exchange file (".qmidi").
//
// Every template of a collection has it as its parent, carries its undo manager and shows as
// "[collection] template"; renaming either keeps that display name up to date.
//
// Main thread only.

#include "foundation/Observation.h"
#include "foundation/UndoableList.h"
#include "midi/templates/QRBMIDIElement.h"
#include "midi/templates/QRBMIDITemplate.h"
#include "midi/templates/QRBMIDITemplateMatcher.h"

#include <memory>
#include <vector>

class QRBMIDICollection;
using QRBMIDICollectionPtr = std::shared_ptr<QRBMIDICollection>;

class QRBMIDICollection : public QRBMIDIElement, public foundation::Observable {
    QRB_EVENT_SOURCE_CLASS("QRBMIDICollection", QRBMIDIElement)

public:
    static constexpr const char* kDefaultName = "Collection 1";
    // Observable key: the templates.
    static constexpr const char* kTemplatesKey = "templates";
    static constexpr const char* kExchangeFileExtension = "qmidi";

    QRBMIDICollection();
    ~QRBMIDICollection() override;

    std::vector<QRBMIDITemplatePtr> templates() const override { return templates_.elements(); }
    const std::vector<QRBMIDITemplatePtr>& templateList() const { return templates_.elements(); }
    bool isLeaf() const override { return false; }
    bool isExpanded() const { return isExpanded_; }
    void setIsExpanded(bool expanded) { isExpanded_ = expanded; }

    // Undoable. Each template takes the collection's undo manager, the collection as parent and a
    // name unique among the collection's templates and the inserted ones. Indexes are those of the
    // list after the insertion.
    void insertTemplates(const std::vector<QRBMIDITemplatePtr>& templates, const std::vector<size_t>& indexes);
    void removeTemplatesAtIndexes(const std::vector<size_t>& indexes);
    // The first template equal to the given one (same bytes, substitutions and trigger mode, any
    // name); otherwise the given one, appended.
    QRBMIDITemplatePtr maybeAddTemplate(const QRBMIDITemplatePtr& candidate);

    void setName(const std::optional<std::string>& name) override;
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) override;

    // Every template sees the byte; the messages of those it completes, in template order. The
    // templates are matched together through an index of their first bytes, so a byte costs about
    // the same with five templates or five thousand.
    std::vector<QRBOSCMessagePtr> matchByte(uint8_t byte);
    // The bytes in order; the messages are appended.
    void matchBytes(const foundation::Data& bytes, std::vector<QRBOSCMessagePtr>& messages);
    // Told by a template whose bytes, substitutions or matching switch changed.
    void templateMatchingChanged() { matcherStale_ = true; }
    // The partial matches under way, as the matcher keeps them.
    std::vector<QRBMIDITemplateMatcher::PartialMatch> partialMatches() { return matcher().partialMatches(); }
    // One received message through a document's whole list: every byte in order to each collection
    // in order. The messages to hand to the document's routing, in the order they were made.
    static std::vector<QRBOSCMessagePtr> matchMessage(const std::vector<QRBMIDICollectionPtr>& collections,
                                                      const foundation::Data& bytes);

    QRBMIDIElementPtr copyElement() const override { return copy(); }
    QRBMIDICollectionPtr copy() const;

    // The exchange file: a keyed archive whose root is the array of collections.
    static foundation::Data exchangeDataWithCollections(const std::vector<QRBMIDICollectionPtr>& collections);
    // Raises foundation::ArchiveError when the data is not such an archive.
    static std::vector<QRBMIDICollectionPtr> collectionsWithExchangeData(const foundation::Data& data);

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

    // The relation's own steps, which undo and redo call.
    void insertTemplate(const QRBMIDITemplatePtr& t, size_t index);
    void removeTemplateAtIndex(size_t index);

private:
    QRBMIDICollectionPtr self() { return std::static_pointer_cast<QRBMIDICollection>(shared_from_this()); }
    void adopt(const QRBMIDITemplatePtr& t);
    // Up to date with the templates; a new one takes over the partial matches of the old.
    QRBMIDITemplateMatcher& matcher();

    foundation::UndoableList<QRBMIDICollection, QRBMIDITemplate> templates_{
        kTemplatesKey,
        {.insert = &QRBMIDICollection::insertTemplate, .remove = &QRBMIDICollection::removeTemplateAtIndex}};
    bool isExpanded_ = true;
    std::unique_ptr<QRBMIDITemplateMatcher> matcher_;
    bool matcherStale_ = true;
};
