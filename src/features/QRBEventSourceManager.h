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
// One instance per process, installed as the action configurator at engine registration.
// Configuration runs on the main thread; the instance is made once, safely from any thread, and its
// tables are not changed afterwards.

#include "core/mapping/QRBActionConfigurator.h"
#include "core/outputs/QRBEventSource.h"
#include "foundation/Value.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

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

    // The Kyma output that an address and rank stand for; none until the Kyma outputs exist.
    virtual QRBEventSourcePtr findKymaEventSourceMatching(const std::string& address, long actionRank) const;

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
};
