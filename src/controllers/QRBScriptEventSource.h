#pragma once
// A script output: runs a user-written script each time its action's value rises above the press
// threshold. Scripts are written per document and kept in its script manager's list, which the
// output menus offer.
//
// What is here is the script text, its archive, its equality and its merger (carrying an action
// into another document reuses an equal script of that document's list or adds this one to it).
// Running scripts comes with the script output; until then acting fails.

#include "core/outputs/QRBEventSource.h"

#include <optional>
#include <string>

class QRBScriptEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBScriptEventSource", QRBEventSource)

public:
    static constexpr const char* kDefaultName = "New Script";
    static constexpr const char* kCollectionKeyPath = "scriptManager.appleScripts";

    // Named "New Script", without text.
    QRBScriptEventSource();

    const std::optional<std::string>& scriptSource() const { return scriptSource_; }
    void setScriptSource(const std::optional<std::string>& source) { scriptSource_ = source; }

    QRBAcceptResult acceptAction(QRBAction& action) override;
    // Same class and the same text.
    bool isEqualToEventSource(const QRBEventSource& other) const override;
    // Uniquing into the destination's "scriptManager.appleScripts".
    std::shared_ptr<QRBEventSourceMerging> merger() const override;

    // After the base keys: "QRBScriptEventSourceScriptSource".
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    std::optional<std::string> scriptSource_;
};
