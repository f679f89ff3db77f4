#pragma once
// Asks for one line of text in an application-modal window (title, prompt, hint, a field, OK and
// Cancel) and hands the outcome to a completion: (confirmed, text). The completion runs exactly
// once, before showWindow() returns: OK confirms, Cancel and closing the window do not.
//
// Made per question and dropped after showWindow() returns. Main thread only.

#include <QDialog>

#include <functional>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

class QRBSimplePrompt : public QDialog {
public:
    using Completion = std::function<void(bool confirmed, const std::string& text)>;

    explicit QRBSimplePrompt(QWidget* parent = nullptr);

    void setWindowTitleText(const std::string& title);
    void setPromptLabelText(const std::string& text);
    // No hint: an empty label.
    void setHintsLabelText(const std::string* text);
    std::string displayString() const;
    void setDisplayString(const std::string& text);
    void setCompletionBlock(Completion completion) { completion_ = std::move(completion); }
    // OK can be pressed only with some text.
    bool okButtonEnabled() const;

    // Runs the prompt modally through the modal presenter; returns when it ended.
    void showWindow();
    // Ends the prompt: calls the completion (once) and closes the window.
    void close(bool confirmed);

    QLineEdit* textField() const { return textField_; }
    QLabel* promptLabel() const { return promptLabel_; }
    QLabel* hintsLabel() const { return hintsLabel_; }
    QPushButton* okButton() const { return okButton_; }
    QPushButton* cancelButton() const { return cancelButton_; }

protected:
    void done(int result) override;

private:
    void finish(bool confirmed);

    QLineEdit* textField_;
    QLabel* promptLabel_;
    QLabel* hintsLabel_;
    QPushButton* okButton_;
    QPushButton* cancelButton_;
    Completion completion_;
    bool finished_ = false;
};
