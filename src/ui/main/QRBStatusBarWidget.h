#pragma once
// The status line's widget: draws what its QRBStatusBarController shows. A text change
// cross-dissolves in 0.5 s, a background change fades in 0.5 s; the lower corners are rounded.
// When its window is not active the text is drawn lighter.

#include "ui/main/QRBStatusBarController.h"

#include <QColor>
#include <QVariantAnimation>
#include <QWidget>

class QToolButton;

class QRBStatusBarWidget : public QWidget, public QRBStatusBarDisplay {
public:
    static constexpr int kTransitionMs = 500;

    explicit QRBStatusBarWidget(QRBStatusBarController& controller, QWidget* parent = nullptr);
    ~QRBStatusBarWidget() override;

    void fadeToText(const std::string& text, const QRBStatusColor& textColor,
                    const QRBStatusColor& shadowColor) override;
    void fadeToColor(const QRBStatusColor& color) override;
    void stopAnimations() override;
    void setStatusIndicator(bool running) override;
    void setDisclosureButtonState(bool on) override;

    QColor backgroundColor() const { return background_; }
    // A text or colour transition runs.
    bool isAnimating() const {
        return textFade_.state() == QAbstractAnimation::Running || colorFade_.state() == QAbstractAnimation::Running;
    }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Label {
        QString text;
        QColor color = Qt::black;
        QColor shadow = QColor::fromRgbF(1, 1, 1, 0.45f);
    };
    void drawLabel(QPainter& painter, const QRect& rect, const Label& label, double opacity) const;

    QRBStatusBarController& controller_;
    QToolButton* disclosure_ = nullptr;
    bool running_ = false;
    Label label_;
    Label previous_;
    QVariantAnimation textFade_;
    QColor background_ = QColor::fromRgbF(1, 1, 1, 0);
    QColor fadeStart_, fadeEnd_;
    QVariantAnimation colorFade_;
};
