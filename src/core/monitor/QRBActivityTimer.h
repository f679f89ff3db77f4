#pragma once
// Lights the activity indicators of the rows whose actions fired. Firing only lists the action
// (one store, and one list entry per action and tick); every 0.25 s the timer turns the listed
// actions' results into their indicator levels and darkens the actions lit at the tick before
// that were not lit again. So an indicator stays on between 0.25 and 0.5 s after the last fire.
// Each tick that changed something posts "QRBActivityNotified" with the timer as object.
//
// One per document manager; main thread only. Actions are held weakly.

#include "foundation/Object.h"
#include "foundation/RunLoop.h"

#include <cstdint>
#include <memory>
#include <vector>

class QRBAction;

class QRBActivityTimer : public foundation::Object {
public:
    static constexpr const char* kActivityNotified = "QRBActivityNotified";

    static double refreshInterval() { return 0.25; }

    QRBActivityTimer() = default;
    ~QRBActivityTimer() override;
    QRBActivityTimer(const QRBActivityTimer&) = delete;
    QRBActivityTimer& operator=(const QRBActivityTimer&) = delete;

    // A repeating timer every refreshInterval() in the default mode of the main run loop.
    void start();
    // Ends the timer, darkens every listed action, posts the notification and forgets them.
    void stop();
    // Lists the action for the next tick.
    void notifyActivity(QRBAction& action);
    // One tick.
    void flash();

    bool isRunning() const { return flashTimer_ != nullptr; }

private:
    void forget(std::vector<std::weak_ptr<foundation::Object>>& actions);

    std::shared_ptr<foundation::Timer> flashTimer_;
    std::vector<std::weak_ptr<foundation::Object>> actionsOn_;
    std::vector<std::weak_ptr<foundation::Object>> actionsOff_;
    uint64_t tick_ = 0;
};
