#pragma once
// The controller of the message monitor's view: the monitor's delegate. It refreshes the view at
// most about every 0.15 s however fast messages arrive: at once when the last refresh lies
// 0.15 s or more back, otherwise once 0.15 s later (a later event replaces a refresh already
// scheduled), so a burst gives one refresh at its start and one 0.15 s after its end. It keeps the
// newest row in view while the user looks at the end of the list.
//
// The windowed interface subclasses it and redraws its table in reloadTable(); without a window
// (headless) the refreshes only count. Main thread only; the delayed refresh runs on the main run
// loop and its time comes from the loop's clock.

#include "core/monitor/QRBMessageMonitor.h"

#include <cstddef>
#include <memory>

class QRBMonitorViewController : public QRBMessageMonitorDelegate,
                                 public std::enable_shared_from_this<QRBMonitorViewController> {
protected:
    // Controllers are made through create(), which makes them the monitor's delegate.
    struct Key {};

public:
    static constexpr double kRefreshInterval = 0.15;
    // Autoscroll follows new rows while the bottom visible row is within this many rows of the
    // end.
    static constexpr long kAutoscrollRows = 7;

    // A controller that has become the monitor's delegate.
    static std::shared_ptr<QRBMonitorViewController> create(const QRBMessageMonitorPtr& monitor);
    template <class T> static std::shared_ptr<T> createWithClass(const QRBMessageMonitorPtr& monitor) {
        auto controller = std::make_shared<T>(Key{}, monitor);
        monitor->setDelegate(controller);
        return controller;
    }

    QRBMonitorViewController(Key, QRBMessageMonitorPtr monitor);
    ~QRBMonitorViewController() override;

    const QRBMessageMonitorPtr& messageMonitor() const { return monitor_; }

    void monitorDidMonitorEvent(QRBMessageMonitor& monitor) override { maybeUpdateTableView(); }
    void maybeUpdateTableView();
    bool canUpdateTableViewNow() const;
    void updateTableView();

    // The pause and clear controls.
    void clear();
    void togglePauseMonitor();

    bool autoscroll() const { return autoscroll_; }
    // After a scroll: `bottomRow` is the row at the bottom of the visible area (-1 for none).
    void scrollViewContentBoundsDidChange(long bottomRow);

    size_t refreshCount() const { return refreshCount_; }

protected:
    // Redraws the table with `rowCount` rows, scrolling the last one into view when asked.
    virtual void reloadTable(size_t rowCount, bool scrollToLastRow) {}

private:
    const void* performKey() const { return this; }

    QRBMessageMonitorPtr monitor_;
    double lastTableViewUpdate_;
    bool autoscroll_ = true;
    size_t refreshCount_ = 0;
};
