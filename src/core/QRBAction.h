#pragma once
// The mapping of one argument of a received message: it scales the argument's value from its
// input range to its output range and hands itself to its trigger, which decides whether its
// output acts. Contexts (QRBContext) are actions too: they stand for a whole address.
//
// QRBAction.cpp holds the firing path; QRBActionModel.cpp the settings, the output hand-over, the
// life cycle and the announcements. The setters store and keep the invariants the firing path
// relies on; the document's undo registration of edits, archiving and copying belong with them in
// the model's file.
//
// Everything here runs on the main thread.

#include "core/QRBArg.h"
#include "core/QRBEventSource.h"
#include "foundation/Object.h"
#include "foundation/Value.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class QRBAction;
class QRBActionHost;
class QRBActivityTimer;
class QRBContext;
class QRBLivePlotController;
class QRBTrigger;
using QRBActionPtr = std::shared_ptr<QRBAction>;
using QRBContextPtr = std::shared_ptr<QRBContext>;

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
    // YES for a context that holds actions.
    virtual bool isMultiArgument() const { return false; }
    // The index of the action in its context; -1 when it has none or is not found there.
    virtual long rank() const;
    // Demultiplexes the context on this action's argument: NO for an action that is its own
    // context, else YES.
    virtual bool demux();
    // Releases the logger, the output and the trigger, and leaves the context.
    virtual void invalidate();

    // ---- values
    const QRBArgPtr& inputArgValue() const { return inputArgValue_; }
    void setInputArgValue(const QRBArg& value) { inputArgValue_->makeSameAsValue(value); }
    const QRBArgPtr& previousArgValue() const { return previousArgValue_; }
    void setPreviousArgValue(const QRBArg& value) { previousArgValue_->makeSameAsValue(value); }
    const QRBArgPtr& argValue() const { return argValue_; }
    void setArgValue(const QRBArg& value) { argValue_->makeSameAsValue(value); }
    // The type letter of the input value.
    int32_t internalArgType() const { return inputArgValue_->libloType(); }

    // ---- settings (plain setters)
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
    // Limited to the output type's channel count, and 1 at least; a change resets the output for
    // this action first.
    void setChannel(int64_t channel);
    const std::optional<std::string>& name() const { return name_; }
    void setName(const std::optional<std::string>& name);

    // YES while every numeric input seen was 0 or 1 (a button).
    bool hasTriggerLikeInput() const { return hasTriggerLikeInput_; }
    void setHasTriggerLikeInput(bool value) { hasTriggerLikeInput_ = value; }
    bool inputRangeChecked() const { return inputRangeChecked_; }
    void setInputRangeChecked(bool value) { inputRangeChecked_ = value; }
    bool requireIntegralInputScalingsFormatting() const { return requireIntegralInputScalingsFormatting_; }
    void setRequireIntegralInputScalingsFormatting(bool value) { requireIntegralInputScalingsFormatting_ = value; }

    // ---- output
    const QRBEventSourcePtr& eventSource() const { return eventSource_; }
    // Hands the action from its old output to the new one: the old one is reset and detached,
    // the action gets a new trigger and a user info without transient keys, the new output
    // attaches, the channel is limited to the new type's, the type follows, and the logger is
    // given the action again.
    void setEventSource(const QRBEventSourcePtr& source);
    // The output type: the type of the output's class, or null.
    const QRBEventSourceClass* type() const { return type_; }
    void initType();
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

    // ---- announcements to the manager of the action's context
    // "QRBActionChangedNotification", when there is a manager.
    void notifyChange();
    // "QRBActionsCollectionChanged".
    void notifyActionsCollectionChanged();

private:
    friend class QRBActivityTimer;

    // The key of this action's delayed fires (the same from construction to destruction).
    const void* performKey() const { return static_cast<const QRBAction*>(this); }

    bool enabled_ = true;
    bool inputCap_ = false;
    bool hasTriggerLikeInput_ = true;
    bool requireIntegralInputScalingsFormatting_ = false;
    bool inputRangeChecked_ = false;
    float currentActivity_ = 0;
    std::weak_ptr<QRBContext> context_;
    QRBArgPtr inputArgValue_;
    QRBArgPtr previousArgValue_;
    QRBArgPtr argValue_;
    const QRBEventSourceClass* type_ = nullptr;
    QRBEventSourcePtr eventSource_;
    std::optional<std::string> name_;
    std::shared_ptr<QRBLivePlotController> logger_;
    int64_t channel_ = 1;
    double inputMin_ = 0, inputMax_ = 1;
    double outputMin_ = 0, outputMax_ = 1;
    std::shared_ptr<QRBTrigger> trigger_;
    unsigned nextActivity_ = 0;
    foundation::Dictionary userInfo_;

    // The output's attach generation this action last attached at.
    uint64_t attachedGeneration_ = 0;
    // Bookkeeping of the activity timer: listed for the next tick, and the tick that last lit
    // the action.
    bool activityPending_ = false;
    uint64_t activityLitTick_ = 0;
};
