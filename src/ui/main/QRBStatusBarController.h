#pragma once
// The status line of a document window: one line of text over a coloured background, a running or
// paused indicator and the disclosure button of the message monitor. Every window and pane shows
// information, notices and alerts through it.
//
// A message stays until the next one, or goes after a time-out, after which the resting text
// returns with the default colours. This class holds that logic and tells a display (the widget)
// what to show; it needs no display itself, so it is tested without one. The time-out runs on the
// main run loop in the default mode only: it waits while a menu tracks or a dialog is modal.
//
// Main thread only.

#include "foundation/RunLoop.h"

#include <memory>
#include <optional>
#include <string>

struct QRBStatusColor {
    double red = 0.0, green = 0.0, blue = 0.0, alpha = 1.0;
    bool operator==(const QRBStatusColor&) const = default;

    // White at alpha 0: what "no background" fades to.
    static QRBStatusColor transparent() { return {1.0, 1.0, 1.0, 0.0}; }
    static QRBStatusColor black() { return {0.0, 0.0, 0.0, 1.0}; }
    static QRBStatusColor white() { return {1.0, 1.0, 1.0, 1.0}; }
    static QRBStatusColor defaultShadow() { return {1.0, 1.0, 1.0, 0.45}; }
    static QRBStatusColor noticeBackground() { return {1.0, 1.0, 0.0, 0.7}; }
    static QRBStatusColor alertBackground() { return {1.0, 0.0, 0.0, 0.7}; }
    static QRBStatusColor alertShadow() { return {0.0, 0.0, 0.0, 0.45}; }
};

// One status message; every field may be missing.
struct QRBStatusMessage {
    // The text; missing: the resting text is shown again.
    std::optional<std::string> text;
    // 0: the text becomes the resting text; above 0: shown that long, then the resting text
    // returns; below 0: shown without becoming the resting text and without a time-out.
    double timeout = 0.0;
    std::optional<QRBStatusColor> backgroundColor;  // missing: transparent
    std::optional<QRBStatusColor> textColor;        // missing: black
    std::optional<QRBStatusColor> textShadowColor;  // missing: white at alpha 0.45
};

// What the controller drives: the widget, or a recording stand-in in tests.
class QRBStatusBarDisplay {
public:
    virtual ~QRBStatusBarDisplay() = default;
    // Cross-dissolves to the text with these colours.
    virtual void fadeToText(const std::string& text, const QRBStatusColor& textColor,
                            const QRBStatusColor& shadowColor) = 0;
    // Fades the background to the colour.
    virtual void fadeToColor(const QRBStatusColor& color) = 0;
    // Ends the running transitions where they are.
    virtual void stopAnimations() = 0;
    virtual void setStatusIndicator(bool running) = 0;
    virtual void setDisclosureButtonState(bool on) = 0;
};

class QRBStatusBarController {
public:
    static constexpr const char* kButtonChangedNotification = "QRBStatusBarButtonChanged";

    // The time-out runs on `loop` (the main one unless given).
    explicit QRBStatusBarController(foundation::RunLoop* loop = nullptr);
    ~QRBStatusBarController();
    QRBStatusBarController(const QRBStatusBarController&) = delete;
    QRBStatusBarController& operator=(const QRBStatusBarController&) = delete;

    // The display is not owned; it must outlive the controller or be unset first.
    void setDisplay(QRBStatusBarDisplay* display) { display_ = display; }

    void displayInfo(const std::optional<std::string>& text);
    void displayInfo(const std::optional<std::string>& text, double timeout);
    void displayNotice(const std::optional<std::string>& text, double timeout);
    void displayAlert(const std::optional<std::string>& text, double timeout);
    void displayUserInfo(const QRBStatusMessage& message);

    void setStatusIndicator(bool running);
    bool statusIndicator() const { return running_; }
    // Stops the transitions and cancels the time-out.
    void invalidate();
    // The time-out ran out: the resting text comes back with the default colours.
    void timeoutOccurred();
    // The button was clicked: posts kButtonChangedNotification with this controller as object.
    void disclosureButtonClicked();
    bool disclosureButtonState() const { return disclosureOn_; }
    void setDisclosureButtonState(bool on);

    // --- what is shown (the widget draws this; tests read it)
    const std::string& displayedText() const { return displayedText_; }
    const std::string& shownText() const { return shownText_; }
    const QRBStatusColor& shownTextColor() const { return shownTextColor_; }
    const QRBStatusColor& shownShadowColor() const { return shownShadowColor_; }
    const QRBStatusColor& shownBackgroundColor() const { return shownBackground_; }
    bool hasPendingTimeout() const { return timeoutTimer_ != nullptr; }

private:
    foundation::RunLoop& loop_;
    QRBStatusBarDisplay* display_ = nullptr;
    std::string displayedText_;
    std::shared_ptr<foundation::Timer> timeoutTimer_;
    std::string shownText_;
    QRBStatusColor shownTextColor_ = QRBStatusColor::black();
    QRBStatusColor shownShadowColor_ = QRBStatusColor::defaultShadow();
    QRBStatusColor shownBackground_ = QRBStatusColor::transparent();
    bool running_ = false;
    bool disclosureOn_ = false;
};
