#include "ui/main/QRBSimplePrompt.h"

#include "ui/kit/ModalPresenter.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

QRBSimplePrompt::QRBSimplePrompt(QWidget* parent) : QDialog(parent) {
    setObjectName("simplePrompt");
    setWindowModality(Qt::ApplicationModal);
    promptLabel_ = new QLabel(this);
    promptLabel_->setObjectName("promptLabel");
    textField_ = new QLineEdit(this);
    textField_->setObjectName("textField");
    textField_->setMinimumWidth(320);
    hintsLabel_ = new QLabel(this);
    hintsLabel_->setObjectName("hintsLabel");
    hintsLabel_->setWordWrap(true);
    QFont small = hintsLabel_->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    hintsLabel_->setFont(small);
    hintsLabel_->setForegroundRole(QPalette::PlaceholderText);

    auto* buttons = new QDialogButtonBox(this);
    okButton_ = buttons->addButton(QDialogButtonBox::Ok);
    cancelButton_ = buttons->addButton(QDialogButtonBox::Cancel);
    okButton_->setDefault(true);
    okButton_->setEnabled(false);
    connect(okButton_, &QPushButton::clicked, this, [this] { close(true); });
    connect(cancelButton_, &QPushButton::clicked, this, [this] { close(false); });
    connect(textField_, &QLineEdit::textChanged, this, [this] { okButton_->setEnabled(okButtonEnabled()); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(promptLabel_);
    layout->addWidget(textField_);
    layout->addWidget(hintsLabel_);
    layout->addWidget(buttons);
}

void QRBSimplePrompt::setWindowTitleText(const std::string& title) { setWindowTitle(QString::fromStdString(title)); }
void QRBSimplePrompt::setPromptLabelText(const std::string& text) { promptLabel_->setText(QString::fromStdString(text)); }
void QRBSimplePrompt::setHintsLabelText(const std::string* text) {
    hintsLabel_->setText(text ? QString::fromStdString(*text) : QString());
}
std::string QRBSimplePrompt::displayString() const { return textField_->text().toStdString(); }
void QRBSimplePrompt::setDisplayString(const std::string& text) { textField_->setText(QString::fromStdString(text)); }
bool QRBSimplePrompt::okButtonEnabled() const { return !textField_->text().isEmpty(); }

void QRBSimplePrompt::showWindow() { ui::ModalPresenter::current().runModal(*this); }

void QRBSimplePrompt::close(bool confirmed) {
    // Return in the field presses the default button even where it is disabled for an empty text.
    if (confirmed && !okButtonEnabled()) return;
    finish(confirmed);
    QDialog::done(confirmed ? Accepted : Rejected);
}

void QRBSimplePrompt::done(int result) {
    // Escape, the window's close button and the window manager all end here: the caller still
    // hears that the question ended unanswered.
    finish(false);
    QDialog::done(result);
}

void QRBSimplePrompt::finish(bool confirmed) {
    if (finished_) return;
    finished_ = true;
    if (completion_) completion_(confirmed, displayString());
}
