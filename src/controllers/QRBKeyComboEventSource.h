#pragma once
// A key combination output: a key pressed together with modifier keys, sent system-wide, to the
// application that has the keyboard focus, or to one application chosen by name. Combinations are
// defined per document and kept in its key event manager's list, which the output menus offer.
//
// What is here is the combination itself, its archive, its equality and its merger (carrying an
// action into another document reuses an equal combination of that document's list or adds this
// one to it). Posting the keys comes with the keyboard output; until then acting fails.

#include "core/QRBPreferences.h"
#include "core/outputs/QRBEventSource.h"

#include <optional>
#include <string>

class QRBKeyComboEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBKeyComboEventSource", QRBEventSource)

public:
    // The key code that means "no key chosen".
    static constexpr uint16_t kNoKeyCode = 1024;
    static constexpr const char* kCollectionKeyPath = "keyEventManager.keyCombos";

    QRBKeyComboEventSource();

    detail::KeyCombo keyCombo() const { return keyCombo_; }
    void setKeyCombo(detail::KeyCombo combo) { keyCombo_ = combo; }
    const std::optional<std::string>& memo() const { return memo_; }
    void setMemo(const std::optional<std::string>& memo) { memo_ = memo; }
    // The receiving application; none or empty: the document's default.
    const std::optional<std::string>& targetApp() const { return targetApp_; }
    void setTargetApp(const std::optional<std::string>& app) { targetApp_ = app; }

    QRBAcceptResult acceptAction(QRBAction& action) override;
    // Same class, the same target application (none and empty differ) and the same combination.
    bool isEqualToEventSource(const QRBEventSource& other) const override;
    // Uniquing into the destination's "keyEventManager.keyCombos".
    std::shared_ptr<QRBEventSourceMerging> merger() const override;

    // After the base keys: "QRBKeyComboEventSourceKeycode", "QRBKeyComboEventSourceFlags",
    // "QRBKeyComboEventSourceReminder", "QRBKeyComboEventSourceTargetApp".
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    detail::KeyCombo keyCombo_;
    std::optional<std::string> memo_;
    std::optional<std::string> targetApp_;
};
