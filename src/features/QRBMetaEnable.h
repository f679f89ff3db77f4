#pragma once
// Outputs that switch another action of the current mapping on or off. The other action is kept
// as a location (where it sits), resolved at each use, so the output follows mapping switches and
// survives saving.
//
// With a collapsed output range (0..0 or 1..1) the output sets that state on every message;
// otherwise it toggles the target each time the value crosses the threshold, either way. The
// toggled variant fires only on the crossing up, so it toggles once per press. The combining
// variant also hands a held value over: a target that is switched off while pressed first sees a
// release, and one switched on while this action is pressed sees a press.
//
// Main thread only.

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBActionLocation.h"
#include "core/outputs/QRBEventSource.h"

#include <memory>
#include <optional>
#include <vector>

class QRBMetaEnable : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBMetaEnable", QRBEventSource)

public:
    static constexpr const char* kTargetKey = "Target";
    static constexpr const char* kNoTargetTitle = "(no applicable target)";

    // One output of class T per action of the current mapping but `action`, under "Target",
    // naturally sorted by name.
    template <class T> static foundation::Value proposalsOfClass(const QRBAction* action);
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action) {
        return proposalsOfClass<QRBMetaEnable>(action);
    }

    // The output's name is the target's display name.
    const QRBActionLocationPtr& targetLocation() const;
    void setTargetLocation(const QRBActionLocationPtr& location);

    // Fires on every value.
    void attach(QRBAction& action) override;
    QRBAcceptResult acceptAction(QRBAction& action) override;
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    // "targetLocation" after the base keys. Old documents name the target by the action itself
    // ("QRBMetaEnableAction") and choose the kind by a flag ("QRBMetaEnableLatched"): such an
    // output decodes as the latched or the toggled kind.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;
    std::shared_ptr<foundation::Object> replacementAfterDecoding() override;

protected:
    // The enable itself, after the trigger let the action through.
    QRBAcceptResult enableAction(QRBAction& action);
    // Takes what an old document named the target by.
    void takeLegacyTargetOf(const QRBMetaEnable& other);

private:
    mutable QRBActionLocationPtr targetLocation_;
    // Old documents: the target action, whose location is taken once the document is decoded.
    mutable std::weak_ptr<QRBAction> legacyTargetAction_;
    // Old documents: the kind the flag chose (latched or toggled), when the archive had it.
    std::optional<bool> legacyLatched_;
};

namespace detail {

// Toggles once per press.
class QRBToggledEnable : public QRBMetaEnable {
    QRB_EVENT_SOURCE_CLASS("_QRBToggledEnable", QRBMetaEnable)

public:
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action) {
        return proposalsOfClass<QRBToggledEnable>(action);
    }
    // Fires on the crossing up only.
    void attach(QRBAction& action) override;
};

class QRBLatchedEnable : public QRBMetaEnable {
    QRB_EVENT_SOURCE_CLASS("_QRBLatchedEnable", QRBMetaEnable)

public:
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action) {
        return proposalsOfClass<QRBLatchedEnable>(action);
    }
};

// Enables with a hand-over of the held value.
class QRBLatchedCombine : public QRBMetaEnable {
    QRB_EVENT_SOURCE_CLASS("_QRBLatchedCombine", QRBMetaEnable)

public:
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action) {
        return proposalsOfClass<QRBLatchedCombine>(action);
    }
    // A target that refers back (to this action, or through other combining outputs to it) is
    // not fired again from inside its own fire: that would never end.
    QRBAcceptResult acceptAction(QRBAction& action) override;

private:
    bool handingOver_ = false;
};

}  // namespace detail

// ---- proposals ---------------------------------------------------------------------------------

namespace qrbmetaenable {
// Every action of the current mapping of `action`'s document but `action`, naturally sorted by
// their full display names; empty without a document.
std::vector<QRBActionPtr> candidateTargets(const QRBAction& action);
foundation::Value proposals(std::vector<QRBEventSourcePtr> sources);
}  // namespace qrbmetaenable

template <class T> foundation::Value QRBMetaEnable::proposalsOfClass(const QRBAction* action) {
    std::vector<QRBEventSourcePtr> sources;
    if (action) {
        for (const auto& target : qrbmetaenable::candidateTargets(*action)) {
            auto source = std::make_shared<T>();
            auto location = target->location();
            if (!location) foundation::raiseAssertion("targetLocation cannot be nil", __FILE__, __LINE__);
            source->setTargetLocation(location);
            sources.push_back(source);
        }
    }
    return qrbmetaenable::proposals(std::move(sources));
}
