#include "ui/main/QRBStatusBarController.h"

#include "foundation/NotificationCenter.h"

#include <cmath>
#include <limits>

QRBStatusBarController::QRBStatusBarController(foundation::RunLoop* loop)
    : loop_(loop ? *loop : foundation::RunLoop::main()) {}

QRBStatusBarController::~QRBStatusBarController() {
    if (timeoutTimer_) timeoutTimer_->invalidate();
}

void QRBStatusBarController::displayInfo(const std::optional<std::string>& text) { displayInfo(text, 0.0); }

void QRBStatusBarController::displayInfo(const std::optional<std::string>& text, double timeout) {
    // No text: an empty message, so that the resting text returns with the default colours.
    if (!text) return displayUserInfo({});
    QRBStatusMessage message;
    message.text = text;
    message.timeout = timeout;
    displayUserInfo(message);
}

void QRBStatusBarController::displayNotice(const std::optional<std::string>& text, double timeout) {
    if (!text) return displayUserInfo({});
    QRBStatusMessage message;
    message.text = text;
    message.timeout = timeout;
    message.backgroundColor = QRBStatusColor::noticeBackground();
    displayUserInfo(message);
}

void QRBStatusBarController::displayAlert(const std::optional<std::string>& text, double timeout) {
    if (!text) return displayUserInfo({});
    displayUserInfo({.text = text,
                     .timeout = timeout,
                     .backgroundColor = QRBStatusColor::alertBackground(),
                     .textColor = QRBStatusColor::white(),
                     .textShadowColor = QRBStatusColor::alertShadow()});
}

void QRBStatusBarController::displayUserInfo(const QRBStatusMessage& message) {
    const std::string text = message.text ? *message.text : displayedText_;
    double timeout = message.timeout;
    // A time-out that is not a number would neither store the text nor expire: treat it as none.
    if (std::isnan(timeout)) timeout = 0.0;
    invalidate();

    shownText_ = text;
    shownTextColor_ = message.textColor.value_or(QRBStatusColor::black());
    shownShadowColor_ = message.textShadowColor.value_or(QRBStatusColor::defaultShadow());
    shownBackground_ = message.backgroundColor.value_or(QRBStatusColor::transparent());
    if (display_) {
        display_->fadeToText(shownText_, shownTextColor_, shownShadowColor_);
        display_->fadeToColor(shownBackground_);
    }

    if (std::fabs(timeout) < std::numeric_limits<double>::epsilon()) {
        displayedText_ = text;
    } else if (timeout > 0.0) {
        // Default mode only: a time-out does not run out under an open menu or dialog.
        timeoutTimer_ = loop_.scheduleTimer(timeout, false, foundation::RunLoopMode::Default,
                                            [this](foundation::Timer&) { timeoutOccurred(); });
    }
}

void QRBStatusBarController::invalidate() {
    if (display_) display_->stopAnimations();
    if (timeoutTimer_) {
        timeoutTimer_->invalidate();
        timeoutTimer_.reset();
    }
}

void QRBStatusBarController::timeoutOccurred() {
    if (timeoutTimer_) {
        timeoutTimer_->invalidate();
        timeoutTimer_.reset();
    }
    displayInfo(displayedText_);
}

void QRBStatusBarController::setStatusIndicator(bool running) {
    running_ = running;
    if (display_) display_->setStatusIndicator(running);
}

void QRBStatusBarController::disclosureButtonClicked() {
    foundation::NotificationCenter::defaultCenter().post(kButtonChangedNotification, this);
}

void QRBStatusBarController::setDisclosureButtonState(bool on) {
    disclosureOn_ = on;
    if (display_) display_->setDisclosureButtonState(on);
}
