#pragma once
// Drives the core's run loop from the Qt event loop, the only blocking loop of a windowed run.
//
// One QSocketNotifier watches the loop's descriptor; whenever it is readable the bridge performs
// what is ready. Qt delivers the notifier's activations inside the nested loops of QMenu::exec and
// QDialog::exec too, so routing never stops while a menu or a dialog is open.
//
// While a popup (a menu) or a modal widget is active, the loop is dispatched in the
// EventTracking mode: what the engine scheduled for the common modes (sources, posted functions,
// descriptors, common timers) goes on, while the default-mode-only timers and performs (status
// time-outs, reloads, re-sorts, refreshes) wait. As soon as the last popup or modal widget goes,
// the bridge dispatches the default mode once, so that what waited fires at once.
//
// Main thread only.

#include "foundation/RunLoop.h"

#include <QObject>
#include <QSocketNotifier>

namespace ui {

class RunLoopBridge : public QObject {
public:
    explicit RunLoopBridge(foundation::RunLoop& loop, QObject* parent = nullptr);
    ~RunLoopBridge() override;
    RunLoopBridge(const RunLoopBridge&) = delete;
    RunLoopBridge& operator=(const RunLoopBridge&) = delete;

    // A popup or an application- or window-modal widget is active: default-mode work waits.
    static bool isTracking();
    // The mode the loop is dispatched in now.
    static foundation::RunLoopMode currentMode();

    // Performs what is ready in the current mode (what the notifier does).
    void pump();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Called after a window hid: when nothing tracks any more, the default mode gets its turn.
    void trackingMayHaveEnded();

    foundation::RunLoop& loop_;
    QSocketNotifier notifier_;
    bool trackedSinceDefault_ = false;
    bool endCheckQueued_ = false;
};

}  // namespace ui
