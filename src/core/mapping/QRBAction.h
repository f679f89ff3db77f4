#pragma once
// The mapping of one argument of a received message: it scales the argument's value from its
// input range to its output range and hands itself to its trigger, which decides whether its
// output acts. Contexts (QRBContext) are actions too: they stand for a whole address.
//
// QRBAction.cpp holds the firing path; QRBActionModel.cpp the undoable settings, the output
// hand-over, names and paths, the life cycle, copying and the announcements; QRBActionArchiving.cpp
// the archive of actions and contexts; QRBActionEditing.cpp what the main window's outline asks of
// a row (ranges in the user's units, expansion, the channel and output-type menus as data).
//
// Every edit through a setter below that says "undoable" compares with the stored value and does
// nothing when equal; otherwise it registers its inverse on the document's undo manager (when the
// action has one), marks the step discardable, gives it no name, and announces the change.
//
// Everything here runs on the main thread.

#include "core/osc/QRBArg.h"
#include "core/outputs/QRBEventSource.h"
#include "foundation/Object.h"
#include "foundation/Value.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace foundation {
class UndoManager;
}

class QRBAction;
class QRBActionHost;
class QRBActionLocation;
class QRBActivityTimer;
class QRBContext;
class QRBDupAction;
class QRBLivePlotController;
class QRBPreset;
class QRBTrigger;

// One entry of an action's channel menu.
struct QRBChannelMenuItem {
    // The channel number, or the not-available title.
    std::string title;
    // The channel the entry selects; none for the not-available entry.
    std::optional<int64_t> channel;
    // The action's current channel.
    bool on = false;
};

using QRBActionPtr = std::shared_ptr<QRBAction>;
using QRBContextPtr = std::shared_ptr<QRBContext>;
using QRBDupActionPtr = std::shared_ptr<QRBDupAction>;

class QRBAction : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBAction", foundation::Object)

public:
    // Doubles closer than this count as equal.
    static constexpr double kEpsilon = 0x1p-52;
    // Delay of the release of a message without arguments.
    static constexpr double kScheduledFireDelay = 0.1;

    // Levels of the activity indicator after a fire: the output did nothing (disabled, no output,
    // held back by the trigger, nothing to do), the output acted, the output failed.
    static constexpr float kActivityIdle = 0.85f;
    static constexpr float kActivityDone = 0.75f;
    static constexpr float kActivityFailed = 1.0f;

    // Enabled, input and output ranges 0 to 1, the default MIDI channel, empty values, no output
    // and no trigger.
    QRBAction();
    ~QRBAction() override;
    QRBAction(const QRBAction&) = delete;
    QRBAction& operator=(const QRBAction&) = delete;

    // ---- firing
    // Takes the argument's type and value as the new input (nothing when null), then fires.
    void fire(const QRBArg* arg);
    void fire(const QRBArg& arg) { fire(&arg); }
    // Scales the input into the output value, lets the trigger decide, records the activity.
    virtual void fire();
    // Fires with `arg` 0.1 s from now, on the main run loop in its default mode, cancelling every
    // fire scheduled earlier for this action: a newer press cancels the release of an older one.
    void scheduleFire(const QRBArgPtr& arg);

    // ---- activity indicator
    void turnOnActivity();
    void turnOffActivity();
    float currentActivity() const { return currentActivity_; }
    // Ignores changes below kEpsilon; otherwise stores the level and clears nextActivity.
    void setCurrentActivity(float level);
    // 0 none, 1 the output did nothing, 2 it acted, 3 it failed.
    unsigned nextActivity() const { return nextActivity_; }
    void setNextActivity(unsigned activity) { nextActivity_ = activity; }

    // ---- structure
    // The context that holds the action (a top-level context is its own).
    virtual QRBContextPtr context() const { return context_.lock(); }
    virtual void setContext(const QRBContextPtr& context) { context_ = context; }
    // The manager of the action's context.
    std::shared_ptr<QRBActionHost> oscManagerOfContext() const;
    // This action as a top-level context (its own context), else null: what the firing path asks
    // without taking hold of the context through its weak reference.
    virtual const QRBContext* asTopLevelContext() const { return nullptr; }
    // YES for a context that holds actions.
    virtual bool isMultiArgument() const { return false; }
    virtual bool isTopLevel() const { return false; }
    // The actions below this one: a context's argument actions and child contexts, a concrete
    // action's duplicates. Abstract here.
    virtual const std::vector<QRBActionPtr>& actions() const;
    // Every action below this one, depth first, each once.
    std::vector<QRBActionPtr> allActions() const;
    // Action `index` of actions(), or null past the end.
    QRBActionPtr actionAtIndex(size_t index) const;
    // YES when this action or one below it has an output.
    virtual bool hasAssignedEventSource() const { return eventSource_ != nullptr; }
    // Demultiplexes the context on this action's argument: NO for an action that is its own
    // context, else YES.
    virtual bool demux();
    // A new duplicate of this action appended to its chain (abstract here).
    virtual QRBDupActionPtr dup();
    // Splits the input range at its midpoint into a low and a high duplicate; answers the high
    // one (abstract here).
    virtual QRBDupActionPtr split();

    // ---- names and paths
    // The index of the action in its context (a duplicate: its master's); -1 for a top-level
    // context or an action without a context. An action its context does not hold is an
    // internal error.
    virtual long rank() const;
    virtual std::string rankString() const;
    // "rank: name", or the rank alone without a name; a context's name.
    virtual std::string displayName() const;
    // "/a[1: x]"; a child context "/a left", its own child "/a left/up".
    virtual std::string fullDisplayName() const;
    // "/a/1"; a child context "/a/left".
    virtual std::string address() const;
    virtual QRBContextPtr topLevelContext() const;
    // The child context names (strings) and argument and duplicate indexes (numbers) that lead
    // from the top-level context to this action (abstract here).
    virtual foundation::Array pathComponents() const;
    // The action that `path` leads to from this one (itself for an empty path), or null. A path
    // from an untrusted source is safe: anything that leads nowhere gives null.
    virtual QRBActionPtr actionAtPath(const foundation::Array& path, size_t from = 0) const;
    // Where the action sits, for outputs that refer to it ("in context cannot be nil" without a
    // context). Defined with the location class.
    std::shared_ptr<QRBActionLocation> location() const;

    // ---- life cycle
    // Releases the logger, the output and the trigger, and leaves the context (undoable).
    virtual void invalidate();
    // The action's mapping is no longer the current one: the plot stops and the output lets go
    // of the action. The preset is not used.
    virtual void willLeavePreset(const QRBPreset* preset);
    // The action's mapping is current again: the output attaches and the plot restarts.
    virtual void didRestorePreset(const QRBPreset* preset);
    // Carries the output into another document: the output's merger decides what it becomes
    // there (an output without a merger is carried as it is). Nothing without an output.
    virtual void mergeEventSourceFromOSCManager(const std::shared_ptr<QRBActionHost>& source,
                                                const std::shared_ptr<QRBActionHost>& destination);
    // Takes the values, flags, ranges, channel, cleaned user info and (unless `other` is a
    // context) the name of `other`, through the undoable setters. Not the output.
    void makeSameAsAction(const QRBAction& other);

    // A copy that shares this action's values and output: a new instance of the same class with
    // a trigger of its own and a copy of the logger plotting it.
    QRBActionPtr copy() const;

    // ---- undo
    std::shared_ptr<foundation::UndoManager> undoManager() const { return undoManager_.lock(); }
    // Contexts and concrete actions hand it down to what they hold.
    virtual void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager);

    // ---- values
    const QRBArgPtr& inputArgValue() const { return inputArgValue_; }
    void setInputArgValue(const QRBArg& value) { inputArgValue_->makeSameAsValue(value); }
    const QRBArgPtr& previousArgValue() const { return previousArgValue_; }
    void setPreviousArgValue(const QRBArg& value) { previousArgValue_->makeSameAsValue(value); }
    const QRBArgPtr& argValue() const { return argValue_; }
    void setArgValue(const QRBArg& value) { argValue_->makeSameAsValue(value); }
    // The type letter of the input value.
    int32_t internalArgType() const { return inputArgValue_->libloType(); }
    // The input and output values both become empty values of that type.
    void setInternalArgType(int32_t type);

    // ---- settings (undoable; doubles closer than kEpsilon count as equal)
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled);
    bool inputCap() const { return inputCap_; }
    void setInputCap(bool cap);
    double inputMin() const { return inputMin_; }
    double inputMax() const { return inputMax_; }
    double outputMin() const { return outputMin_; }
    double outputMax() const { return outputMax_; }
    // A change of the input range re-arms the button-like detection.
    void setInputMin(double value);
    void setInputMax(double value);
    void setOutputMin(double value);
    void setOutputMax(double value);
    int64_t channel() const { return channel_; }
    // Limited to the output type's channel count (16 without a type), and 1 at least; a change
    // resets the output for this action first. Its undo restores the previous channel as it was.
    void setChannel(int64_t channel);
    const std::optional<std::string>& name() const { return name_; }
    void setName(const std::optional<std::string>& name);
    // Lists that find actions by name (a preset's index of its contexts by address) mark the
    // actions they hold; renaming a marked action advances a count of the process's main
    // thread, so that such a list knows to look its names up afresh.
    void markListedByName() const { listedByName_ = true; }
    static uint64_t listedRenameCount();

    // YES while every numeric input seen was 0 or 1 (a button).
    bool hasTriggerLikeInput() const { return hasTriggerLikeInput_; }
    void setHasTriggerLikeInput(bool value) { hasTriggerLikeInput_ = value; }
    bool inputRangeChecked() const { return inputRangeChecked_; }
    void setInputRangeChecked(bool value) { inputRangeChecked_ = value; }
    bool requireIntegralInputScalingsFormatting() const { return requireIntegralInputScalingsFormatting_; }
    void setRequireIntegralInputScalingsFormatting(bool value) { requireIntegralInputScalingsFormatting_ = value; }

    // ---- output
    const QRBEventSourcePtr& eventSource() const { return eventSource_; }
    // Hands the action from its old output to the new one (undoable): the old one is reset and
    // detached, the action gets a new trigger and a user info without transient keys, the type
    // follows, the new output attaches, the channel is limited to the new type's, and the logger
    // is given the action again.
    void setEventSource(const QRBEventSourcePtr& source);
    // The output type: the type of the output's class, or null.
    const QRBEventSourceClass* type() const { return type_; }
    // Chooses an output type (not undoable itself): any change drops the output first (undoable).
    // A multi-argument action takes only the whole-message types (routes, MIDI templates, the
    // console log) and keeps its type when offered another.
    void setType(const QRBEventSourceClass* type);
    void initType();
    // The ready-made outputs of the action's type for this action, or null.
    foundation::Value proposedEventSourcesCollection() const;
    const std::shared_ptr<QRBTrigger>& trigger() const { return trigger_; }
    void setTrigger(std::shared_ptr<QRBTrigger> trigger);
    const std::shared_ptr<QRBLivePlotController>& logger() const { return logger_; }
    void setLogger(std::shared_ptr<QRBLivePlotController> logger) { logger_ = std::move(logger); }

    // The output's scaling of shown values: 1 and 0 without an output.
    double outputScalingFudgeFactor() const;
    double outputScalingFudgeOffset() const;
    double userOutputMin() const { return outputMin_ * outputScalingFudgeFactor() + outputScalingFudgeOffset(); }
    double userOutputMax() const { return outputMax_ * outputScalingFudgeFactor() + outputScalingFudgeOffset(); }

    // ---- user info: per-action values of outputs. Keys that begin with "_" are transient.
    const foundation::Dictionary& userInfoDictionary() const { return userInfo_; }
    void setUserInfoDictionary(foundation::Dictionary userInfo) { userInfo_ = std::move(userInfo); }
    foundation::Value userInfoValueForKey(const std::string& key) const;
    // A null value removes the key.
    void setUserInfoValue(const foundation::Value& value, const std::string& key);
    foundation::Dictionary cleanUserInfoDictionary() const;
    // The per-action state of toggling outputs ("_TriggerState").
    bool userInfo_triggerState() const;
    void setUserInfo_triggerState(bool state);

    // ---- announcements to the manager of the action's context
    // "QRBActionChangedNotification", when there is a manager.
    void notifyChange();
    // "QRBActionsCollectionChanged".
    void notifyActionsCollectionChanged();

    // ---- editing: what the outline of the main window asks of a row
    // The user-info key of the row's expansion state (a BOOL, archived with the user info).
    static constexpr const char* kExpandedKey = "QRBContextIsExpanded";
    // An output type is chosen.
    bool canSelectEvent() const { return type_ != nullptr; }
    // Actions can be renamed; contexts are named by their address.
    virtual bool isNameEditable() const { return true; }
    // The factor from the stored input range to the range the user sees, by the name of the
    // action's context: MIDI input shows in MIDI units (0 to 127, 0 to 16383 for the wheel),
    // except the parts of a message that already are (note numbers, channels, program numbers).
    double inputScalingFudgeFactor() const;
    double userInputMin() const { return inputMin_ * inputScalingFudgeFactor(); }
    double userInputMax() const { return inputMax_ * inputScalingFudgeFactor(); }
    // Undoable, as setInputMin()/setInputMax() with the value in stored units.
    void setUserInputMin(double value) { setInputMin(value / inputScalingFudgeFactor()); }
    void setUserInputMax(double value) { setInputMax(value / inputScalingFudgeFactor()); }
    // Undoable, as setOutputMin()/setOutputMax() with the value in stored units. Nothing when the
    // output's factor is 0: no stored value shows as the one given.
    void setUserOutputMin(double value);
    void setUserOutputMax(double value);
    // The output's answers; YES and NO without an output.
    bool canEditOutputScaling() const;
    bool requireIntegralOutputScalingsFormatting() const;
    // Whether the row has rows below it to show: a multi-argument context, or an argument action
    // with duplicates.
    virtual bool shouldExpand() const { return isMultiArgument(); }
    // The stored expansion state (NO when never stored); argument actions are always expanded.
    virtual bool isExpanded() const;
    // Stores the expansion state (not undoable).
    void markAsExpanded(bool expanded);
    // When the row has rows below it, stores the state and answers YES: the outline then expands
    // or collapses the row as isExpanded() says. NO otherwise, and nothing is stored.
    bool expand(bool expanded);
    // The channel menu: one entry per channel of the output type, the current one on; the
    // not-available entry alone for a type without channels. Puts the action on channel 1 when
    // the type has no channels or fewer than the current channel (undoable).
    std::vector<QRBChannelMenuItem> channelMenu();
    // The output types the type menu offers, as nested collections for the menu builder: type
    // description names, the separator marker (QRBEventSource::menuSeparatorMarker()), the
    // not-available title, and one-entry dictionaries from a group title to its names (a list,
    // or a single name). For numeric input; the Kyma types only while the Kyma-related features
    // are on.
    foundation::Value typesCollection() const;
    // For input that is not numeric; "Send to MIDI" when the value is a MIDI message.
    foundation::Value nonNumericalTypesCollection() const;
    // For multi-argument contexts: the whole-message outputs.
    foundation::Value multiArgTypesCollection() const;
    // The collection of the row's type menu: the multi-argument one, else by whether the input
    // type is numeric.
    foundation::Value typesMenuCollection() const;
    // The collection of the row's output menu: the not-available title, the separator marker and
    // the ready-made outputs of the action's type (as one nested entry) when there are any.
    foundation::Value valuesMenuCollection() const;

    // ---- debugging: one line per action (two for argument actions), indented by level.
    void logDebugDescription() const { logDebugDescriptionWithTabLevel(0); }
    void logDebugDescriptionWithTabLevel(unsigned level) const;

    // ---- archiving. Decoding installs the output without attaching it: the output attaches
    // at the action's next fire, once the whole document is decoded.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

protected:
    // A new, empty instance of the action's own class, for copy().
    virtual QRBActionPtr makeEmptyCopy() const;
    // Fills a new instance made by makeEmptyCopy(); subclasses add their own state after this.
    virtual void copyInto(QRBAction& copy) const;
    // Registers `inverse` as the undo of the change being made, on a discardable step without a
    // name. Nothing without an undo manager.
    void registerUndo(std::function<void()> inverse);
    std::shared_ptr<QRBAction> selfPointer() { return std::static_pointer_cast<QRBAction>(shared_from_this()); }
    std::shared_ptr<const QRBAction> selfPointer() const {
        return std::static_pointer_cast<const QRBAction>(shared_from_this());
    }
    // Decoding: records that a decoded list holds `member`; raises ArchiveError when a list
    // already does (an action has one owner).
    static void claimDecodedMember(QRBAction& member);
    // The hand-over of setEventSource; `attachNow` NO leaves the attach to the next fire (while
    // a document is being decoded).
    void installEventSource(const QRBEventSourcePtr& source, bool attachNow);

private:
    friend class QRBActivityTimer;
    friend class QRBConcreteAction;

    // Stores the channel without limiting it; the inverse of every channel change.
    void restoreChannel(int64_t channel);
    // The shared part of fire(arg): takes the argument as the new input.
    void takeInput(const QRBArg& arg);

    // The key of this action's delayed fires (the same from construction to destruction).
    const void* performKey() const { return static_cast<const QRBAction*>(this); }

    bool enabled_ = true;
    bool inputCap_ = false;
    bool hasTriggerLikeInput_ = true;
    bool requireIntegralInputScalingsFormatting_ = false;
    bool inputRangeChecked_ = false;
    float currentActivity_ = 0;
    std::weak_ptr<foundation::UndoManager> undoManager_;
    std::weak_ptr<QRBContext> context_;
    QRBArgPtr inputArgValue_;
    QRBArgPtr previousArgValue_;
    QRBArgPtr argValue_;
    const QRBEventSourceClass* type_ = nullptr;
    QRBEventSourcePtr eventSource_;
    std::optional<std::string> name_;
    mutable bool listedByName_ = false;
    std::shared_ptr<QRBLivePlotController> logger_;
    int64_t channel_ = 1;
    double inputMin_ = 0, inputMax_ = 1;
    double outputMin_ = 0, outputMax_ = 1;
    std::shared_ptr<QRBTrigger> trigger_;
    unsigned nextActivity_ = 0;
    foundation::Dictionary userInfo_;

    // A decoded list holds this action.
    bool claimedByDecodedOwner_ = false;
    // The output's attach generation this action last attached at.
    uint64_t attachedGeneration_ = 0;
    // Bookkeeping of the activity timer: listed for the next tick, and the tick that last lit
    // the action.
    bool activityPending_ = false;
    uint64_t activityLitTick_ = 0;
};
