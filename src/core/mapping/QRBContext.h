#pragma once
// One received OSC address (a top-level context) or one demultiplexed part of an address (a child
// context). receive() is the one entry through which every message reaches the mappings: network
// input, new addresses, TUIO and MIDI input, snapshot recalls and the manager's own messages.
//
// A context that receives one-argument messages holds no actions: it is itself the action of that
// argument. With two or more arguments it holds one QRBConcreteAction per argument and fires
// them in order, then itself (so that an output of the whole message, set on the context, acts).
// A message without arguments is a press: the context fires 1 at once and 0 a tenth of a second
// later. When demultiplexed on an argument index, the value of that argument selects a child
// context, which receives the rest of the message.

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBActionHost.h"
#include "core/osc/QRBMessageEndpoint.h"
#include "core/osc/QRBOSCMessage.h"
#include "foundation/Date.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QRBConcreteAction;
class QRBSnapshot;
class QRBSnapshotElement;

class QRBContext : public QRBAction {
    FND_ARCHIVED_CLASS("QRBContext", QRBAction)

public:
    static constexpr const char* kUnsupportedLabelFormat = "demuxLabel: Unsupported OSC argument %s [%s]";
    // JSON at a demultiplexing index nested deeper than this is taken as plain text.
    static constexpr size_t kMaxJSONDepth = 64;
    // The most argument actions one message (or one control-API request) may make. The largest
    // messages real controllers send carry tens of arguments (a TUIO set message, a multi-touch
    // pad of a touch layout); 1,024 leaves room far beyond them, while one datagram can no longer
    // make tens of thousands of actions, each with its memory and its share of every later edit.
    static constexpr size_t kMaxArgumentActionsPerMessage = 1024;

    // A context that is its own context, not demultiplexed, without actions.
    QRBContext();
    // A top-level context for an address of the manager's document; the configurator names and
    // configures it when the name is not empty. Asserts a manager.
    static std::shared_ptr<QRBContext> create(const std::optional<std::string>& name,
                                              const std::shared_ptr<QRBActionHost>& libHandler);

    // ---- input
    // Whether a message of `count` arguments would make more argument actions than a message may
    // in a context of `address` that has `existing` of them; if so, logs the refusal (a line of
    // its own kind, so that a flood of such messages is summarised).
    static bool refusesArgumentCount(size_t count, size_t existing, const std::string& address);
    // Asserts a message ("message cannot be nil").
    void receive(const QRBOSCMessagePtr& message, const QRBMessageEndpointPtr& source, foundation::Date date);
    // Demultiplexes the message at argument `index` when that is the demultiplexing index:
    // a string holding a JSON object or array gives one child per key or element, anything else
    // the child named by the argument's label, which receives the arguments after it.
    bool checkDemux(size_t index, const QRBOSCMessagePtr& message, const QRBMessageEndpointPtr& source,
                    foundation::Date date);
    // The label that names a child context for an argument's value, or none (logged) for a type
    // that gives no label.
    std::optional<std::string> demuxLabel(const QRBArg& arg) const;

    using QRBAction::fire;
    // The action's fire; then, for a press on a context with exactly one action, that action
    // fires too.
    void fire() override;

    // ---- structure
    QRBContextPtr context() const override;
    void setContext(const QRBContextPtr& context) override;
    bool isTopLevel() const override;
    const QRBContext* asTopLevelContext() const override { return ownContext_ ? this : nullptr; }
    bool isMultiArgument() const override { return !actions_.empty(); }
    const std::vector<QRBActionPtr>& actions() const override { return actions_; }
    // The child context of that name, created when missing (not while input is locked).
    QRBContextPtr ensureChildContext(const std::string& label);
    // The first child context of that name, or null.
    QRBContextPtr contextWithName(const std::string& name) const;
    std::vector<QRBContextPtr> subContexts() const;
    // A new action of class T named `name` and added to this context; null while input is locked.
    template <class T> std::shared_ptr<T> createAction(const std::optional<std::string>& name);
    // Adds an action: the first action of a context takes over the context's output; child
    // contexts stay in ascending numeric order of their labels.
    void addActionsObject(const QRBActionPtr& action);
    // Removes an action (undoable; the undo puts it back where it was); removing the context
    // itself invalidates its actions and takes the context out of its manager.
    void removeActionsObject(const QRBActionPtr& action);
    void invalidate() override;
    bool hasAssignedEventSource() const override;

    // ---- editing
    bool isNameEditable() const override { return false; }

    // ---- names and paths
    // The index of an action in this context; a duplicate's is its master's. An action this
    // context does not hold is an internal error.
    long rankOf(const QRBAction& action) const;
    std::string displayName() const override;
    std::string fullDisplayName() const override;
    std::string address() const override;
    QRBContextPtr topLevelContext() const override;
    foundation::Array pathComponents() const override;
    QRBActionPtr actionAtPath(const foundation::Array& path, size_t from = 0) const override;
    // What deleting these rows takes with it: a duplicate itself; a context with its actions; an
    // argument action with every later argument of its context (their ranks would shift); and
    // everything below each of them.
    static std::vector<QRBActionPtr> actionsWithHigherRankThan(const std::vector<QRBActionPtr>& rows);

    // ---- editing
    // The argument action that a single-argument context's mapping moves to (made when missing,
    // taking the context's output) gets a duplicate; null while input is locked or when the
    // context has several actions.
    QRBDupActionPtr dup() override;
    // As dup(), then that action is split; null for a multi-argument context.
    QRBDupActionPtr split() override;
    // A context holding one action and nothing below it, and no output of its own, takes the
    // action's output, enabled flag and value; the action goes.
    void fold();

    // ---- life cycle
    void willLeavePreset(const QRBPreset* preset) override;
    void didRestorePreset(const QRBPreset* preset) override;
    void mergeEventSourceFromOSCManager(const std::shared_ptr<QRBActionHost>& source,
                                        const std::shared_ptr<QRBActionHost>& destination) override;
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) override;

    // ---- archiving
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

    // ---- demultiplexing
    long demuxRank() const { return demuxRank_; }
    // Undoable.
    void setDemuxRank(long rank);
    // Demultiplexes on argument `index` (the actions go, child contexts come with the next
    // messages); -1 switches it off.
    void demux(long index);
    bool demux() override;

    // ---- state
    std::shared_ptr<QRBActionHost> oscManager() const { return oscManager_.lock(); }
    void setOscManager(const std::shared_ptr<QRBActionHost>& manager);
    bool isSnapshotRestoreInProgress() const { return snapshotRestoreInProgress_; }
    bool isShallowTriggeringEnabled() const { return shallowTriggeringEnabled_; }
    // A switch re-arms the button-like detection; switching on makes the input button-like.
    void setShallowTriggeringEnabled(bool enabled);
    const QRBOSCMessagePtr& lastReceivedMessage() const { return lastReceivedMessage_; }
    const std::optional<foundation::Date>& lastReceivedDate() const { return lastReceivedDate_; }
    // A message that is not the one stored (by identity) marks the preset's last recalled
    // snapshot dirty.
    void setLastReceivedMessage(const QRBOSCMessagePtr& message, foundation::Date date);

    // ---- snapshots
    // This context's part of a snapshot: its last message and, in order, its child contexts'
    // elements.
    std::shared_ptr<QRBSnapshotElement> createSnapshotElement() const;
    // Replays the element's message into this context from the snapshot's endpoint, then each
    // child element into the child context named by its message's path (missing children and
    // elements without a message are skipped).
    void recallSnapshotElement(const std::shared_ptr<QRBSnapshotElement>& element,
                               const std::shared_ptr<QRBSnapshot>& snapshot);
    // Replays a snapshot's message into this context: the monitor records it from the snapshot's
    // endpoint, then the context receives it, with every trigger of the context letting the fires
    // through. Nothing for a null message.
    void recallSnapshotMessage(const QRBOSCMessagePtr& message, const QRBMessageEndpointPtr& endpoint);
    // The argument count of the last message (0 without one).
    size_t actualArgumentCount() const;
    // The input of every action in order, or the context's own for a context without actions.
    // Only for contexts that are not demultiplexed.
    std::vector<QRBArgPtr> actualInputArgValues() const;

protected:
    QRBActionPtr makeEmptyCopy() const override;
    void copyInto(QRBAction& copy) const override;

private:
    // Inserts at `index` (clamped to the list). The undo of a removal puts the action back where
    // it was this way, so that argument actions keep their ranks, and registers the removal
    // again (`undoable`) for redo.
    void insertActionsObject(const QRBActionPtr& action, size_t index, bool undoable);
    // The argument action that dup() and split() work on: the only action, or a new one that
    // takes the context's mapping. Null when there is none to take.
    std::shared_ptr<QRBConcreteAction> argumentActionForEditing();

    // Delivers one part of a demultiplexed message to the child for `label`; dropped while input
    // is locked.
    void deliverToChild(const std::string& label, const QRBOSCMessagePtr& part, const QRBMessageEndpointPtr& source,
                        foundation::Date date);
    bool demuxJSON(const QRBArg& arg, const QRBMessageEndpointPtr& source, foundation::Date date);
    size_t insertionIndexFor(const QRBAction& action) const;
    // Whether `action` is in the list, in constant time for an action of another context.
    bool holdsAction(const QRBAction& action) const;

    std::vector<QRBActionPtr> actions_;
    bool snapshotRestoreInProgress_ = false;
    bool shallowTriggeringEnabled_ = false;
    // A top-level context is its own context; a child's context is its parent.
    bool ownContext_ = true;
    std::weak_ptr<QRBActionHost> oscManager_;
    long demuxRank_ = -1;
    std::optional<foundation::Date> lastReceivedDate_;
    QRBOSCMessagePtr lastReceivedMessage_;
    // Set while the context decodes its actions: an archive whose actions contain one of their
    // own ancestors is refused.
    bool decodingActions_ = false;
};

template <class T> std::shared_ptr<T> QRBContext::createAction(const std::optional<std::string>& name) {
    auto host = oscManager();
    if (host && host->isInputLocked()) return nullptr;
    auto action = std::make_shared<T>();
    action->setName(name);
    addActionsObject(action);
    return action;
}
