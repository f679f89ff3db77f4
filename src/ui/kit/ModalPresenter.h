#pragma once
// Every modal question of the interface (prompts, alerts, file choosers) is run through one
// presenter. The program's runs the dialog's own modal loop; a test installs one that shows the
// dialog without a nested loop and scripts the answer, so that only a few smoke tests spin a real
// modal loop.

#include <QDialog>

#include <functional>

namespace ui {

class ModalPresenter {
public:
    virtual ~ModalPresenter() = default;
    // Runs `dialog` modally; returns when it ended, with its result.
    virtual int runModal(QDialog& dialog) = 0;

    // The one in use: the real modal loop unless a test installed another.
    static ModalPresenter& current();
    // Installs `presenter` (not owned) until it is reset with nullptr.
    static void install(ModalPresenter* presenter);
};

// Runs QDialog::exec: the core's loop keeps running through the run-loop bridge.
class ExecModalPresenter : public ModalPresenter {
public:
    int runModal(QDialog& dialog) override { return dialog.exec(); }
};

// For tests: shows the dialog (modal, without a nested loop) and calls the script with it; the
// script answers as the user would (types, clicks a button, closes the window).
class ScriptedModalPresenter : public ModalPresenter {
public:
    explicit ScriptedModalPresenter(std::function<void(QDialog&)> script) : script_(std::move(script)) {}
    int runModal(QDialog& dialog) override;
    int presented() const { return presented_; }

private:
    std::function<void(QDialog&)> script_;
    int presented_ = 0;
};

}  // namespace ui
