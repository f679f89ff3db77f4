#include "core/monitor/QRBMonitorViewController.h"

#include "foundation/RunLoop.h"

std::shared_ptr<QRBMonitorViewController> QRBMonitorViewController::create(const QRBMessageMonitorPtr& monitor) {
    return createWithClass<QRBMonitorViewController>(monitor);
}

QRBMonitorViewController::QRBMonitorViewController(Key, QRBMessageMonitorPtr monitor)
    : monitor_(std::move(monitor)), lastTableViewUpdate_(foundation::RunLoop::main().now()) {}

QRBMonitorViewController::~QRBMonitorViewController() { foundation::RunLoop::main().cancelPerforms(performKey()); }

void QRBMonitorViewController::maybeUpdateTableView() {
    auto& loop = foundation::RunLoop::main();
    loop.cancelPerforms(performKey());
    if (canUpdateTableViewNow()) {
        updateTableView();
        return;
    }
    std::weak_ptr<QRBMonitorViewController> weakSelf = weak_from_this();
    loop.performAfter(kRefreshInterval, performKey(), [weakSelf] {
        if (auto self = weakSelf.lock()) self->updateTableView();
    });
}

bool QRBMonitorViewController::canUpdateTableViewNow() const {
    return foundation::RunLoop::main().now() - lastTableViewUpdate_ >= kRefreshInterval;
}

void QRBMonitorViewController::updateTableView() {
    const size_t rows = monitor_ ? monitor_->eventsCount() : 0;
    ++refreshCount_;
    reloadTable(rows, rows > 0 && autoscroll_);
    lastTableViewUpdate_ = foundation::RunLoop::main().now();
}

void QRBMonitorViewController::clear() {
    if (monitor_) monitor_->clear();
    updateTableView();
}

void QRBMonitorViewController::togglePauseMonitor() {
    if (monitor_) monitor_->setPaused(!monitor_->isPaused());
}

void QRBMonitorViewController::scrollViewContentBoundsDidChange(long bottomRow) {
    const long rows = monitor_ ? static_cast<long>(monitor_->eventsCount()) : 0;
    autoscroll_ = bottomRow == -1 || bottomRow >= rows - kAutoscrollRows;
}
