#pragma once
// Decides, each time an action fires, whether its output acts, from the action's new and previous
// output values; and keeps re-sending a pressed value to the output (auto-repeat: a delay, then an
// interval). Every action with an output owns one trigger; the output configures it when it
// attaches (mode, repeat timing, forced state change), so each kind of output chooses how it
// fires. A trigger is not archived.
//
// The press threshold is half the width of the action's input range, (inputMax − inputMin) / 2,
// compared with output values.

#include "core/outputs/QRBAcceptResult.h"
#include "foundation/RunLoop.h"

#include <memory>

class QRBAction;
class QRBTrigger;
using QRBTriggerPtr = std::shared_ptr<QRBTrigger>;

// Half the width of the action's input range.
double triggerThreshold(const QRBAction& action);
// The mode test (modes under QRBTrigger::Mode).
bool shouldTriggerForMode(unsigned mode, const QRBAction& action);

class QRBTrigger {
public:
    // Firing modes. Any other value never passes for numeric values.
    enum Mode : unsigned {
        kAlways = 0,
        kUp = 1,      // crossing the threshold upwards
        kDown = 2,    // crossing it downwards
        kEither = 3,  // either crossing
        kZeroToPositive = 4,
        kPositiveToZero = 5,
        kZeroStateChange = 6,  // the value left zero or reached it
        kIncrease = 7,
        kDecrease = 8,
        kChanged = 9,
        kNever = 100,
    };

    QRBTrigger() = default;
    // Releasing a trigger ends its auto-repeat.
    ~QRBTrigger();
    QRBTrigger(const QRBTrigger&) = delete;
    QRBTrigger& operator=(const QRBTrigger&) = delete;

    unsigned mode() const { return mode_; }
    void setMode(unsigned mode) { mode_ = mode; }
    double retriggerThreshold() const { return retriggerThreshold_; }
    void setRetriggerThreshold(double seconds) { retriggerThreshold_ = seconds; }
    double retriggerInterval() const { return retriggerInterval_; }
    void setRetriggerInterval(double seconds) { retriggerInterval_ = seconds; }
    bool forceStateChangeIfActionHasTriggerLikeInput() const { return forceStateChange_; }
    void setForceStateChangeIfActionHasTriggerLikeInput(bool force) { forceStateChange_ = force; }

    // The output's result (1 done, 0 nothing to do, -1 failure), or 0 when the trigger holds the
    // fire back. A fire below the threshold stops the auto-repeat before the output acts; one
    // above it starts the repeat after the output acted.
    QRBAcceptResult acceptAction(QRBAction& action);
    // The mode test, passed anyway for button-like input when the output asks for it.
    bool computeNextState(const QRBAction& action) const;
    // The press test that outputs also use on their own: a non-numeric value is pressed; a number
    // is pressed when strictly above the threshold.
    static bool isArgValueAboveThreshold(const QRBAction& action);

    // Starts the auto-repeat for the action unless one runs or no repeat timing is set. The repeat
    // sends the action's current value straight to its output: no scaling, no mode test, no
    // activity.
    void scheduleForRetrigger(QRBAction& action);
    const std::shared_ptr<foundation::Timer>& retriggerTimer() const { return retriggerTimer_; }
    // Replaces the repeat timer (the old one stops); a new one runs on the main run loop in the
    // common modes, so it keeps going while menus track.
    void setRetriggerTimer(std::shared_ptr<foundation::Timer> timer);
    void invalidate() { setRetriggerTimer(nullptr); }

private:
    bool forceStateChange_ = false;
    unsigned mode_ = kAlways;
    double retriggerThreshold_ = 0;
    double retriggerInterval_ = 0;
    std::shared_ptr<foundation::Timer> retriggerTimer_;
};
