// The one-line prompt: OK only with text, and the completion called exactly once however the
// prompt ends. The answers are scripted through the modal presenter; one smoke test runs the real
// modal loop.
#include "UiTestSupport.h"

#include "ui/kit/ModalPresenter.h"
#include "ui/main/QRBSimplePrompt.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

struct Outcome {
    bool confirmed;
    std::string text;
    bool operator==(const Outcome&) const = default;
};

// Runs a prompt preset with `preset`, answered by `answer`; the completion's calls.
std::vector<Outcome> ask(const std::string& preset, const std::function<void(QRBSimplePrompt&)>& answer) {
    std::vector<Outcome> calls;
    ui::ScriptedModalPresenter presenter([&](QDialog& dialog) { answer(static_cast<QRBSimplePrompt&>(dialog)); });
    ui::ModalPresenter::install(&presenter);
    {
        QRBSimplePrompt prompt;
        prompt.setWindowTitleText("Rename");
        prompt.setPromptLabelText("New name:");
        prompt.setHintsLabelText(nullptr);
        prompt.setDisplayString(preset);
        prompt.setCompletionBlock([&](bool confirmed, const std::string& text) { calls.push_back({confirmed, text}); });
        prompt.showWindow();
        // Whatever else happens to the window afterwards calls nothing more.
        prompt.close(true);
        prompt.reject();
    }
    ui::ModalPresenter::install(nullptr);
    return calls;
}

TEST(SimplePrompt, OKIsEnabledOnlyWithText) {
    QRBSimplePrompt prompt;
    EXPECT_FALSE(prompt.okButton()->isEnabled());
    prompt.textField()->setText("a");
    EXPECT_TRUE(prompt.okButton()->isEnabled());
    EXPECT_TRUE(prompt.okButtonEnabled());
    prompt.textField()->clear();
    EXPECT_FALSE(prompt.okButton()->isEnabled());

    const std::string hint = "A hint";
    prompt.setHintsLabelText(&hint);
    EXPECT_EQ(prompt.hintsLabel()->text(), "A hint");
    prompt.setHintsLabelText(nullptr);
    EXPECT_EQ(prompt.hintsLabel()->text(), "");
}

TEST(SimplePrompt, EveryWayOfEndingCallsTheCompletionOnce) {
    struct Row {
        const char* name;
        std::string preset;
        std::function<void(QRBSimplePrompt&)> answer;
        std::vector<Outcome> expected;
    };
    const Row rows[] = {
        {"OK with the preset text", "Live set", [](QRBSimplePrompt& p) { p.okButton()->click(); }, {{true, "Live set"}}},
        {"OK after typing", "", [](QRBSimplePrompt& p) {
             p.textField()->setText("Mapping 2");
             p.okButton()->click();
         }, {{true, "Mapping 2"}}},
        {"Cancel keeps the text as typed", "", [](QRBSimplePrompt& p) {
             p.textField()->setText("half");
             p.cancelButton()->click();
         }, {{false, "half"}}},
        {"closing the window", "old", [](QRBSimplePrompt& p) { p.QDialog::close(); }, {{false, "old"}}},
        {"Return in an empty field does not confirm", "", [](QRBSimplePrompt& p) {
             p.close(true);
             EXPECT_TRUE(p.isVisible());
             p.cancelButton()->click();
         }, {{false, ""}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ask(row.preset, row.answer), row.expected);
    }
}

TEST(SimplePrompt, RunsInARealModalLoop) {
    QRBSimplePrompt prompt;
    std::vector<Outcome> calls;
    prompt.setCompletionBlock([&](bool confirmed, const std::string& text) { calls.push_back({confirmed, text}); });
    int polls = 0;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (prompt.isVisible()) {
            prompt.textField()->setText("typed");
            prompt.okButton()->click();
        } else if (++polls > 500) {
            prompt.reject();  // bounded: never left waiting for a window that did not show
        }
    });
    answer.start(10);
    prompt.showWindow();
    EXPECT_EQ(calls, (std::vector<Outcome>{{true, "typed"}}));
}

}  // namespace
