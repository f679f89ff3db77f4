#pragma once
// Gives new contexts and argument actions their defaults from their address alone: a name for
// each argument ("x", "pressure", "velocity" ...), input and output ranges, a MIDI channel (a Wii
// remote's number), and, for MIDI input, a return route to the mappings that drive the same
// controller (backmapping), so that moving the controller on the instrument moves the mapping
// too. The rules follow the argument layouts that the program's own producers send: TUIO,
// tablets, MIDI input, the program's own messages and Wii remotes.
//
// It also owns the process-wide MIDI control-change outputs (128 plain and 128 toggling, index =
// controller number) that the output menus offer and many actions share.
//
// While the Kyma-related features are on, a new action without an output is offered a Kyma
// controller output chosen from its address: Wii remote addresses by their layout, other
// components by the controller names of the hint table (from the global map file, or defaults),
// or by a "ccN" component.
//
// One instance per process, installed as the action configurator at engine registration.
// Configuration runs on the main thread; the instance is made once, safely from any thread, and its
// MIDI tables are not changed afterwards. The Kyma tables are built on the main thread at their
// first use and kept for the life of the process (the special list again after a failed read).

#include "core/mapping/QRBActionConfigurator.h"
#include "core/outputs/QRBEventSource.h"
#include "foundation/Value.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace detail {
class QRBKymaCCEventSource;
class QRBKymaExtEventSource;
}  // namespace detail
class QRBAction;
class QRBMidiCCEventSource;
class QRBMidiCCToggleEventSource;

class QRBEventSourceManager : public QRBActionConfigurator {
public:
    static constexpr const char* kGMControlChangesResource = "GMControlChanges";
    static constexpr size_t kMidiCCCount = 128;
    // A full circle, the input range of TUIO angles.
    static constexpr double kFullCircle = 6.283185307179586;

    // The CC tables named from `gmControlChanges` (controller numbers in decimal → General MIDI
    // names); a controller without an entry shows the not-available dash beside its number.
    explicit QRBEventSourceManager(const foundation::Dictionary& gmControlChanges);

    // The process's manager, its names read from the "GMControlChanges" resource (none when the
    // resource is missing or unreadable).
    static QRBEventSourceManager& sharedInstance();
    static const std::shared_ptr<QRBEventSourceManager>& sharedPointer();
    // The General MIDI names of the resource; empty when it is missing or damaged.
    static foundation::Dictionary loadGMControlChanges();

    void configureAction(QRBAction& action) override;

    // The argument's index in the received message: the rank, undoing a demultiplexing of the
    // parent (whose child receives the arguments after the split one). -1 for a context.
    static long realRankForAction(const QRBAction& action);

    const std::vector<std::shared_ptr<QRBMidiCCEventSource>>& midiCCEventSources() const { return midiCCEventSources_; }
    const std::vector<std::shared_ptr<QRBMidiCCToggleEventSource>>& midiCCToggleEventSources() const {
        return midiCCToggleEventSources_;
    }
    // 0..127 → that controller's shared output; 128..254 → controller n − 127; anything else null.
    std::shared_ptr<QRBMidiCCEventSource> fetchMidiCC(long n) const;

    // ---- Kyma outputs and hints
    static constexpr const char* kSpecialCCMappingsResource = "SpecialCCMappings";
    static constexpr const char* kSpecialMappingsError = "Error: Can not read Kyma special mappings plist file.";
    // Controller number → its names, joined by ", ".
    using KymaHints = std::map<int64_t, std::string>;

    // The 128 Kyma controller outputs, named from the hints ("7 - Volume"), built at first use.
    const std::vector<std::shared_ptr<detail::QRBKymaCCEventSource>>& kymaCCEventSources();
    // [{"Special": outputs}, separator, {"Wiimote": outputs}, separator, {"Tablet": outputs}], each
    // group in controller order; null (and logged) when the special mappings can't be read.
    foundation::Value kymaSpecialEventSources();
    const KymaHints& kymaGlobalMapHints() const { return kymaGlobalMapHints_; }
    void setKymaGlobalMapHints(KymaHints hints) { kymaGlobalMapHints_ = std::move(hints); }
    // The hints of the global map file of the preferences, or the defaults when the file can't be
    // read or is empty.
    void setupGlobalMapHints();
    // Puts the 40 default hints in the table.
    void setupDefaultHints();
    // The hints of a global map file's text (ISO Latin-1).
    static KymaHints parseGlobalMap(const std::string& latin1Text);

    // The first special output of that number, or null.
    QRBEventSourcePtr specialEventSourceWithCC(int64_t n);
    // 0..127: that Kyma controller output; other numbers: the special output. Null while the Kyma
    // features are off.
    QRBEventSourcePtr fetchKymaCC(int64_t n);
    // The Kyma output that an address and rank stand for, or null.
    virtual QRBEventSourcePtr findKymaEventSourceMatching(const std::string& address, long actionRank);
    // The steps of the search: Wii remote layouts, a controller name, a "cc" number.
    QRBEventSourcePtr matchWii(const std::vector<std::string>& components, long actionRank);
    QRBEventSourcePtr matchHotVar(const std::string& component);
    QRBEventSourcePtr matchCC(const std::string& component);
    // The integer after `prefix` when `string` begins with it and is longer; -1 otherwise.
    static long matchPrefixParam(const std::string& prefix, const std::string& string);

    // A new key output for a key code (the Wii remote's minus, home and plus buttons).
    virtual QRBEventSourcePtr keyEventSourceWithKeyCode(uint16_t keyCode);

    // Family steps; `rest` is the address after the family prefix.
    void configureTUIOAction(QRBAction& action, const std::string& rest);
    void configureWacomAction(QRBAction& action, const std::string& rest);
    void configureMIDIInputAction(QRBAction& action, const std::string& rest);
    void configureQuorbitalAction(QRBAction& action, const std::string& rest);
    void configureWiiAction(QRBAction& action, const std::string& rest);

private:
    // Gives the action return routes to the mappings of its document that `predicate` selects.
    static void backmap(QRBAction& action, const std::function<bool(const QRBAction&)>& predicate);

    std::vector<std::shared_ptr<QRBMidiCCEventSource>> midiCCEventSources_;
    std::vector<std::shared_ptr<QRBMidiCCToggleEventSource>> midiCCToggleEventSources_;

protected:
    // The special mappings resource: {"Special", "Wii", "Pen"} → {name → number}; none when it
    // can't be read.
    virtual std::optional<foundation::Dictionary> readSpecialCCMappings();

private:
    std::vector<std::shared_ptr<detail::QRBKymaCCEventSource>> kymaCCEventSources_;
    foundation::Value kymaSpecialEventSources_;
    KymaHints kymaGlobalMapHints_;
};
