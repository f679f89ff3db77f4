#pragma once
// Outputs that switch the document's current mapping (preset): to the next or previous one, to a
// named one, or to the one an index or a name in the action's value selects. All of them show
// under one type of the registry ("Mappings").
//
// The switch itself is the preset manager's (undoable there, observed by the routing manager,
// which registers the new mapping's addresses and sends the mapping message). Switching while a
// snapshot is being replayed into the action's context is refused: the replay would go on into a
// mapping that is no longer current.
//
// Main thread only.

#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/outputs/QRBEventSource.h"

#include <memory>
#include <optional>
#include <string>

class QRBPresetChangeEventSourceBase : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBPresetChangeEventSourceBase", QRBEventSource)

public:
    // Names of the proposed outputs, and the legacy names they replace.
    static constexpr const char* kNextName = "Next Mapping";
    static constexpr const char* kPreviousName = "Previous Mapping";
    static constexpr const char* kLegacyNextName = "Next Preset";
    static constexpr const char* kLegacyPreviousName = "Previous Preset";
    static constexpr const char* kByIndexName = "Change by Index";
    static constexpr const char* kByNameName = "Change by Name";

    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    // Done after a switch, Nothing when the preset is already current (or a snapshot replay runs
    // in the action's context), Failed when there is no preset to switch to.
    QRBAcceptResult acceptAction(QRBAction& action) override;
    // Switches when the value falls back through the threshold (a release).
    void attach(QRBAction& action) override;

    // The preset to switch to; abstract here.
    virtual QRBPresetPtr nextPreset(QRBPresetManager& presetManager, QRBAction& usingAction);
    // Failed for no preset, Nothing for the current one, else the switch and Done.
    static QRBAcceptResult changeToPreset(const QRBPresetPtr& preset, QRBPresetManager& inPresetManager);

    // Reads the name, renaming the legacy names.
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;
};

// Next or previous mapping, wrapping around.
class QRBPresetChangeEventSource : public QRBPresetChangeEventSourceBase {
    QRB_EVENT_SOURCE_CLASS("QRBPresetChangeEventSource", QRBPresetChangeEventSourceBase)

public:
    static const QRBEventSourceClass* classType() { return &QRBPresetChangeEventSourceBase::staticClass(); }

    bool changeToNext() const { return changeToNext_; }
    void setChangeToNext(bool next) { changeToNext_ = next; }

    QRBPresetPtr nextPreset(QRBPresetManager& presetManager, QRBAction& usingAction) override;
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    // "QRBPresetChangeNext" after the base keys.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    bool changeToNext_ = true;
};

// The mapping of a given name. Renaming that mapping renames what the output looks for.
class QRBPresetEventSource : public QRBPresetChangeEventSourceBase, public QRBPresetNameFollower {
    QRB_EVENT_SOURCE_CLASS("QRBPresetEventSource", QRBPresetChangeEventSourceBase)

public:
    static constexpr const char* kNameFormat = "Change to '%s'";
    static constexpr const char* kUnknownPresetName = "<unknown preset>";

    static const QRBEventSourceClass* classType() { return &QRBPresetChangeEventSourceBase::staticClass(); }

    std::optional<std::string> presetName() const override { return presetName_; }
    // Undoable (no action name); renames the output after the preset.
    void setPresetName(const std::optional<std::string>& name) override;

    QRBPresetPtr nextPreset(QRBPresetManager& presetManager, QRBAction& usingAction) override;
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    // "presetName" after the base keys; documents that kept the preset itself ("QRBPreset") give
    // its name.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    std::optional<std::string> presetName_;
};

// The mapping a floating value selects by index (value × count, rounded), or that any other
// value names.
class QRBPresetChangeIndexedEventSource : public QRBPresetChangeEventSourceBase {
    QRB_EVENT_SOURCE_CLASS("QRBPresetChangeIndexedEventSource", QRBPresetChangeEventSourceBase)

public:
    static const QRBEventSourceClass* classType() { return &QRBPresetChangeEventSourceBase::staticClass(); }

    // Switches whenever the value changes.
    void attach(QRBAction& action) override;
    QRBPresetPtr nextPreset(QRBPresetManager& presetManager, QRBAction& usingAction) override;
    bool requireIntegralScalingsFormatting() const override { return true; }
    // The number of mappings for floating input, so that the user edits the range in mapping
    // numbers; 1 otherwise, and 1 while the document has none to count.
    double outputScalingFudgeFactorForAction(const QRBAction& action) const override;
};
