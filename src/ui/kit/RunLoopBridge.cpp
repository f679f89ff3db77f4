#include "ui/kit/RunLoopBridge.h"

#include <QApplication>
#include <QEvent>
#include <QMetaObject>
#include <QWidget>

namespace ui {

RunLoopBridge::RunLoopBridge(foundation::RunLoop& loop, QObject* parent)
    : QObject(parent), loop_(loop), notifier_(loop.fd(), QSocketNotifier::Read) {
    QObject::connect(&notifier_, &QSocketNotifier::activated, this, [this] { pump(); });
    // Popups and modal dialogs end by hiding; the application's filter sees every widget's.
    if (qApp) qApp->installEventFilter(this);
    // Whatever was made ready before the Qt loop ran (a timer added at start-up) gets its pass.
    QMetaObject::invokeMethod(this, [this] { pump(); }, Qt::QueuedConnection);
}

RunLoopBridge::~RunLoopBridge() {
    if (qApp) qApp->removeEventFilter(this);
    notifier_.setEnabled(false);
}

bool RunLoopBridge::isTracking() {
    return QApplication::activePopupWidget() != nullptr || QApplication::activeModalWidget() != nullptr;
}

foundation::RunLoopMode RunLoopBridge::currentMode() {
    return isTracking() ? foundation::RunLoopMode::EventTracking : foundation::RunLoopMode::Default;
}

void RunLoopBridge::pump() {
    const foundation::RunLoopMode mode = currentMode();
    if (mode == foundation::RunLoopMode::EventTracking) trackedSinceDefault_ = true;
    else trackedSinceDefault_ = false;
    loop_.dispatchReady(mode);
}

bool RunLoopBridge::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if ((type == QEvent::Hide || type == QEvent::Close) && trackedSinceDefault_ && !endCheckQueued_ &&
        watched->isWidgetType() && static_cast<QWidget*>(watched)->isWindow()) {
        // The popup or dialog is still the active one while its hide event is delivered: look
        // again once the event is done with.
        endCheckQueued_ = true;
        QMetaObject::invokeMethod(this, [this] { trackingMayHaveEnded(); }, Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

void RunLoopBridge::trackingMayHaveEnded() {
    endCheckQueued_ = false;
    if (!trackedSinceDefault_ || isTracking()) return;
    // The timerfd was armed for the tracking mode's timers only, and default-mode work that became
    // due meanwhile does not keep the descriptor readable: dispatch the default mode now.
    trackedSinceDefault_ = false;
    loop_.dispatchReady(foundation::RunLoopMode::Default);
}

}  // namespace ui
