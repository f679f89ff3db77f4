#include "ui/main/QRBStatusBarWidget.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolButton>

#include <algorithm>

namespace {

QColor toQColor(const QRBStatusColor& c) {
    return QColor::fromRgbF(static_cast<float>(c.red), static_cast<float>(c.green), static_cast<float>(c.blue),
                            static_cast<float>(c.alpha));
}

QColor blend(const QColor& from, const QColor& to, double t) {
    auto mix = [t](float a, float b) { return static_cast<float>(a + (b - a) * t); };
    return QColor::fromRgbF(mix(from.redF(), to.redF()), mix(from.greenF(), to.greenF()),
                            mix(from.blueF(), to.blueF()), mix(from.alphaF(), to.alphaF()));
}

// A quarter of the way towards white: how the text looks in a window that is not active.
QColor lightened(const QColor& c) { return blend(c, QColor::fromRgbF(1, 1, 1, c.alphaF()), 0.25); }

constexpr int kIndicatorSize = 12;
constexpr int kMargin = 6;

}  // namespace

QRBStatusBarWidget::QRBStatusBarWidget(QRBStatusBarController& controller, QWidget* parent)
    : QWidget(parent), controller_(controller) {
    setObjectName("statusBar");
    disclosure_ = new QToolButton(this);
    disclosure_->setObjectName("disclosureButton");
    disclosure_->setCheckable(true);
    disclosure_->setAutoRaise(true);
    disclosure_->setArrowType(Qt::RightArrow);
    disclosure_->setToolTip(tr("Show or hide the message monitor"));
    connect(disclosure_, &QToolButton::clicked, this, [this](bool on) {
        disclosure_->setArrowType(on ? Qt::DownArrow : Qt::RightArrow);
        controller_.setDisclosureButtonState(on);
        controller_.disclosureButtonClicked();
    });

    textFade_.setDuration(kTransitionMs);
    textFade_.setStartValue(0.0);
    textFade_.setEndValue(1.0);
    connect(&textFade_, &QVariantAnimation::valueChanged, this, [this] { update(); });

    colorFade_.setDuration(kTransitionMs);
    colorFade_.setStartValue(0.0);
    colorFade_.setEndValue(1.0);
    colorFade_.setEasingCurve(QEasingCurve::InOutQuad);
    connect(&colorFade_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        background_ = blend(fadeStart_, fadeEnd_, value.toDouble());
        update();
    });

    controller_.setDisplay(this);
    // Whatever the controller showed before the widget existed.
    label_ = {QString::fromStdString(controller_.shownText()), toQColor(controller_.shownTextColor()),
              toQColor(controller_.shownShadowColor())};
    background_ = toQColor(controller_.shownBackgroundColor());
    running_ = controller_.statusIndicator();
    disclosure_->setChecked(controller_.disclosureButtonState());
    setMinimumHeight(22);
}

QRBStatusBarWidget::~QRBStatusBarWidget() {
    stopAnimations();
    controller_.setDisplay(nullptr);
}

QSize QRBStatusBarWidget::sizeHint() const { return {400, std::max(22, fontMetrics().height() + 8)}; }

void QRBStatusBarWidget::fadeToText(const std::string& text, const QRBStatusColor& textColor,
                                    const QRBStatusColor& shadowColor) {
    textFade_.stop();
    previous_ = label_;
    label_ = {QString::fromStdString(text), toQColor(textColor), toQColor(shadowColor)};
    if (isVisible()) textFade_.start();
    update();
}

void QRBStatusBarWidget::fadeToColor(const QRBStatusColor& color) {
    colorFade_.stop();
    fadeStart_ = background_;
    fadeEnd_ = toQColor(color);
    if (isVisible()) colorFade_.start();
    else background_ = fadeEnd_;
    update();
}

void QRBStatusBarWidget::stopAnimations() {
    // The colour stays where the fade left it; the text shows its newest state.
    textFade_.stop();
    colorFade_.stop();
    update();
}

void QRBStatusBarWidget::setStatusIndicator(bool running) {
    running_ = running;
    update();
}

void QRBStatusBarWidget::setDisclosureButtonState(bool on) {
    disclosure_->setChecked(on);
    disclosure_->setArrowType(on ? Qt::DownArrow : Qt::RightArrow);
}

void QRBStatusBarWidget::resizeEvent(QResizeEvent* event) {
    const QSize hint = disclosure_->sizeHint();
    disclosure_->setGeometry(width() - hint.width() - 2, (height() - hint.height()) / 2, hint.width(), hint.height());
    QWidget::resizeEvent(event);
}

void QRBStatusBarWidget::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange) update();
    QWidget::changeEvent(event);
}

void QRBStatusBarWidget::drawLabel(QPainter& painter, const QRect& rect, const Label& label, double opacity) const {
    if (opacity <= 0.0 || label.text.isEmpty()) return;
    const bool active = isActiveWindow();
    const QColor color = active ? label.color : lightened(label.color);
    const QString text = fontMetrics().elidedText(label.text, Qt::ElideRight, rect.width());
    painter.setOpacity(opacity);
    // The shadow one pixel below the text, as an engraved line.
    painter.setPen(label.shadow);
    painter.drawText(rect.translated(0, 1), Qt::AlignVCenter | Qt::AlignLeft, text);
    painter.setPen(color);
    painter.drawText(rect, Qt::AlignVCenter | Qt::AlignLeft, text);
    painter.setOpacity(1.0);
}

void QRBStatusBarWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF r = rect();
    if (!r.isEmpty() && background_.alpha() > 0) {
        // Square upper corners, rounded lower ones.
        const qreal radius = std::min<qreal>(4.0, std::min(r.width(), r.height()) * 0.5);
        QPainterPath path;
        path.moveTo(r.left(), r.top());
        path.lineTo(r.right(), r.top());
        path.lineTo(r.right(), r.bottom() - radius);
        path.quadTo(r.right(), r.bottom(), r.right() - radius, r.bottom());
        path.lineTo(r.left() + radius, r.bottom());
        path.quadTo(r.left(), r.bottom(), r.left(), r.bottom() - radius);
        path.closeSubpath();
        painter.fillPath(path, background_);
    }

    // The running indicator: a filled green dot while routing runs, a grey ring while paused.
    const QRectF dot(kMargin, (height() - kIndicatorSize) / 2.0, kIndicatorSize, kIndicatorSize);
    if (running_) {
        painter.setPen(QColor(30, 120, 30));
        painter.setBrush(QColor(60, 190, 60));
    } else {
        painter.setPen(QColor(120, 120, 120));
        painter.setBrush(Qt::NoBrush);
    }
    painter.drawEllipse(dot.adjusted(1, 1, -1, -1));

    const int buttonWidth = disclosure_->sizeHint().width();
    const QRect textRect(kMargin * 2 + kIndicatorSize, 0, width() - kMargin * 3 - kIndicatorSize - buttonWidth,
                         height());
    if (textFade_.state() == QAbstractAnimation::Running) {
        const double t = textFade_.currentValue().toDouble();
        drawLabel(painter, textRect, previous_, 1.0 - t);
        drawLabel(painter, textRect, label_, t);
    } else {
        drawLabel(painter, textRect, label_, 1.0);
    }
}
