#pragma once
// A user-defined raw MIDI message: a byte string and an ordered list of substitutions that rewrite
// parts of it. It is an output and an input matcher at once.
//
// As an output an action drives it: the substitutions write the action's channel, its scaled
// value or its text into a copy of the bytes, checksums are computed last, and the message goes
// out through the document's MIDI manager.
//
// As an input matcher it is fed every received MIDI byte by its collection. When a whole message
// matches, with the substituted bits left out of the comparison, the substitutions read the values
// back and the template makes an OSC message under its input path, which the MIDI input hands to
// the document's routing. Matching keeps, per template byte, a mask of the fixed bits and the
// fixed bits themselves, recomputed when the bytes or a substitution change, so each received
// byte costs one comparison per template.
//
// Main thread only.

#include "core/osc/QRBOSCMessage.h"
#include "midi/QRBMIDIMessage.h"
#include "midi/templates/QRBMIDIElement.h"
#include "midi/templates/QRBMIDISubstitution.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QRBMIDICollection;
using QRBMIDICollectionPtr = std::shared_ptr<QRBMIDICollection>;

class QRBMIDITemplate : public QRBMIDIElement {
    QRB_EVENT_SOURCE_CLASS("QRBMIDITemplate", QRBMIDIElement)

public:
    static constexpr const char* kChangedNotification = "QRBMIDITemplateChanged";
    static constexpr const char* kDefaultName = "Template 1";
    static constexpr const char* kInputPathFormatPrefix = "/midi/input/";
    static constexpr const char* kBackmappingKey = "backmapping";
    static constexpr const char* kBackmappingEventSourceKey = "eventSource";
    static constexpr const char* kBackmappingChannelKey = "channel";
    static constexpr const char* kNoTemplateTitle = "No User Defined MIDI Template";
    static constexpr const char* kEmptyCollectionTitle = "(empty)";
    static constexpr const char* kCollectionKeyPath = "midiManager.templatesCollections";
    static constexpr unsigned kDefaultTriggerMode = 9;
    static constexpr size_t kMaxLength = 65535;

    QRBMIDITemplate();
    ~QRBMIDITemplate() override;

    // ---- class side
    static unsigned classChannelCount() { return 16; }
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);
    static bool shouldAddEventSource(const QRBEventSourcePtr& source, const QRBAction* action);

    // ---- fields
    unsigned triggerMode() const { return triggerMode_; }
    // Undoable ("Set Trigger Mode"); every action attaches again.
    void setTriggerMode(unsigned mode);
    const foundation::Data& templateBytes() const { return templateBytes_; }
    void setTemplateBytes(const foundation::Data& bytes);
    const std::vector<QRBMIDISubstitutionPtr>& substitutions() const { return substitutions_; }
    int64_t dataMin() const { return dataMin_; }
    int64_t dataMax() const { return dataMax_; }
    // Undoable; every number substitution is fitted to the new range. A bound equal to the other
    // is refused (false): an empty range has no values to scale onto.
    bool setDataMin(int64_t value);
    bool setDataMax(int64_t value);
    // Key-value validation of a proposed bound; the error text when refused.
    bool validateDataMin(const foundation::Value& value, std::string* error) const;
    bool validateDataMax(const foundation::Value& value, std::string* error) const;
    bool shouldTestInputMatching() const { return shouldTestInputMatching_; }
    // Switching it on without a path sets the default path.
    void setShouldTestInputMatching(bool on);
    const std::optional<std::string>& OSCPathForInputMatching() const { return OSCPathForInputMatching_; }
    // A missing or empty path switches matching off.
    void setOSCPathForInputMatching(const std::optional<std::string>& path);
    // "/midi/input/<collection>/<template>" with " #*,?[]{}" turned into "_".
    std::string newOSCPathForInputMatching() const;
    bool toleratesRedundantOutputValues() const { return toleratesRedundantOutputValues_; }
    void setToleratesRedundantOutputValues(bool on) { toleratesRedundantOutputValues_ = on; }
    QRBMIDICollectionPtr parentCollection() const { return parentCollection_.lock(); }
    void setParentCollection(const QRBMIDICollectionPtr& collection);
    const foundation::Data& inputMatchBuffer() const { return inputMatchBuffer_; }
    const QRBMIDIMessagePtr& lastOutputMessage() const { return lastOutputMessage_; }

    // ---- substitutions (each change notifies)
    void addSubstitution(const QRBMIDISubstitutionPtr& substitution);
    void removeSubstitution(const QRBMIDISubstitutionPtr& substitution);
    void insertSubstitutions(const std::vector<QRBMIDISubstitutionPtr>& substitutions,
                             const std::vector<size_t>& indexes);
    void removeSubstitutionsAtIndexes(const std::vector<size_t>& indexes);
    void adjustSubstitutionsForAddedBytesInRange(QRBMIDIRange range);
    void adjustSubstitutionsForRemovedBytesInRange(QRBMIDIRange range);
    std::vector<QRBMIDISubstitutionPtr> substitutionsAffectingTemplateBytesInRange(QRBMIDIRange range) const;
    // Recomputes every substitution's conflicting bits; answers the conflicting ones in order.
    std::vector<QRBMIDISubstitutionPtr> markConflictingSubstitutions();
    std::vector<QRBComputedBytesRangePtr> computedBytesRanges() const;
    size_t nextNonConflictingSubstitutionBytePositionAfter(size_t position) const;
    bool hasSubstitutionMatchingPredicate(const std::function<bool(const QRBMIDISubstitution&)>& predicate) const;
    bool canAddNewArgumentExtractingSubstitution() const;
    void substituteZerosInBuffer(foundation::Data& buffer) const;
    // Told by a substitution whenever its bits move.
    void substitutionChanged();

    // ---- display
    void setDisplayNameFromParentCollection(const QRBMIDICollection* collection);
    std::optional<std::string> displayName() const override { return displayName_; }
    void notifyChanged();

    // ---- input
    // One received byte: the OSC message when it completes a match, else null. A collection does
    // not call this: it matches all its templates at once (QRBMIDITemplateMatcher), with partial
    // matches of its own.
    QRBOSCMessagePtr matchByte(uint8_t byte);
    // The masks matching compares with, brought up to date: per template byte, the bits no
    // substitution touches, and the template's value of those bits.
    const foundation::Data& inputMatchMask();
    const foundation::Data& inputMatchBits();
    // The OSC message of a full-length match.
    QRBOSCMessagePtr buildMatchingOSCMessageWithReceivedData(const foundation::Data& data);

    // ---- the output
    bool requireIntegralScalingsFormatting() const override { return true; }
    bool canEditOutputScaling() const override { return false; }
    double outputScalingFudgeOffsetForAction(const QRBAction&) const override { return static_cast<double>(dataMin_); }
    double outputScalingFudgeFactorForAction(const QRBAction&) const override {
        return static_cast<double>(dataMax_) - static_cast<double>(dataMin_);
    }
    void attach(QRBAction& action) override;
    QRBAcceptResult acceptAction(QRBAction& action) override;
    // The message the substitutions make for the action; null when one cannot apply.
    QRBMIDIMessagePtr buildOutputMessage(const QRBAction& action) const;
    bool isEqualToEventSource(const QRBEventSource& other) const override;
    std::shared_ptr<QRBEventSourceMerging> merger() const override;
    void setName(const std::optional<std::string>& name) override;
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) override;

    QRBMIDIElementPtr copyElement() const override;
    QRBMIDITemplatePtr copy() const;
    bool isLeaf() const override { return true; }
    std::vector<QRBMIDITemplatePtr> templates() const override { return {}; }

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    QRBMIDITemplatePtr self() { return std::static_pointer_cast<QRBMIDITemplate>(shared_from_this()); }
    void maybeAdjustSubstitutionValueRange(const QRBMIDISubstitutionPtr& substitution);
    bool validateDataRangeValue(const foundation::Value& value, int64_t otherBound, std::string* error) const;
    void refreshMatchMasks();
    // The bytes or substitutions changed: the masks are made again when next used, and the
    // collection's index of its templates too.
    void matchingChanged();
    void adopt(const QRBMIDISubstitutionPtr& substitution);

    unsigned triggerMode_ = kDefaultTriggerMode;
    foundation::Data inputMatchBuffer_;
    bool shouldTestInputMatching_ = false;
    foundation::Data templateBytes_;
    std::vector<QRBMIDISubstitutionPtr> substitutions_;
    int64_t dataMin_ = 0;
    int64_t dataMax_ = 127;
    bool toleratesRedundantOutputValues_ = false;
    std::weak_ptr<QRBMIDICollection> parentCollection_;
    std::optional<std::string> OSCPathForInputMatching_;
    std::optional<std::string> displayName_;
    QRBMIDIMessagePtr lastOutputMessage_;

    // Per template byte: the bits no substitution touches, and the template's value of them.
    foundation::Data matchMask_;
    foundation::Data matchBits_;
    bool matchMasksStale_ = true;
};
