#pragma once
// The delay output: it stops the action's chain of duplicates where it stands and, after its
// interval, fires the next duplicate with the input this fire had; that duplicate goes on along
// the chain. Delays are the document's own (the time events list); any number of actions may use
// one, and each fire schedules one timer of its own on the main run loop, in the common modes so
// that menus and resizing do not hold it up.
//
// Pending fires belong to the action that scheduled them: when that action lets go of the delay
// (detach), its pending fires are cancelled, and those of other actions using the same delay go
// on. A delay that goes away cancels all of its own.
//
// Each pending fire holds a timer and a copy of its input, so one action holds at most
// kMaxPendingFiresPerAction of them: a sender flooding a long delay must not grow the program's
// memory without end. A fire beyond that is dropped (the chain stops there, as it would have
// for the interval), the answer is Failed, and the drops are logged in the log's bounded form.
//
// Main thread only.

#include "core/outputs/QRBEventSource.h"
#include "foundation/RunLoop.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

class QRBActionFiring;
class QRBDelayEventSource;
using QRBDelayEventSourcePtr = std::shared_ptr<QRBDelayEventSource>;

class QRBDelayEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBDelayEventSource", QRBEventSource)

public:
    static constexpr double kDefaultInterval = 1.0;
    // Ten seconds of a controller sending a thousand values a second, more than any echo or
    // sequence a musician builds from a delay; a pending fire costs about 630 bytes, so an action
    // holds about 6 MB at most.
    static constexpr size_t kMaxPendingFiresPerAction = 10000;
    static constexpr const char* kNoDelaysTitle = "No User Defined Delay";
    static constexpr const char* kNameFormat = "%ld ms";
    static constexpr const char* kNameWithMemoFormat = "%s \u2013 %s";

    // One second, without a memo.
    QRBDelayEventSource();
    ~QRBDelayEventSource() override;

    // The document's delays, shortest first, or {"No User Defined Delay": []}.
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    double delayInterval() const { return delayInterval_; }
    // Undoable (no action name); renames.
    void setDelayInterval(double seconds);
    const std::optional<std::string>& memo() const { return memo_; }
    // Undoable (no action name); renames.
    void setMemo(const std::optional<std::string>& memo);

    // Fires on every value.
    void attach(QRBAction& action) override;
    // Cancels the action's pending fires.
    void detach(QRBAction& action) override;
    // Nothing for an interval that is not above 0 (the chain goes on at once) and for the last
    // action of a chain (which stops there); else the chain stops, the next duplicate is
    // scheduled, and Done; Failed when the action already has kMaxPendingFiresPerAction pending.
    QRBAcceptResult acceptAction(QRBAction& action) override;

    // Fires scheduled and not yet run, of every action.
    size_t pendingFireCount() const { return pendingCount_; }

    // The same interval and memo.
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    // "delayInterval" and "memo" after the base keys.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    using Timers = std::unordered_set<std::shared_ptr<foundation::Timer>>;

    void rename();
    using Owner = std::weak_ptr<const foundation::Object>;
    void timerFired(foundation::Timer& timer, const Owner& owner, const QRBActionFiring& firing);
    void cancelAll();

    double delayInterval_ = kDefaultInterval;
    std::optional<std::string> memo_;
    // Pending timers by the action that scheduled them (a key only, never used to reach it).
    std::map<Owner, Timers, std::owner_less<>> timers_;
    size_t pendingCount_ = 0;
};
