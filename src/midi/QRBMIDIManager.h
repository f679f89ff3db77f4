#pragma once
// A document's MIDI settings and connections, and the one way out for its MIDI output. The
// routing manager makes it, archives it under "midiManager", hands it its message monitor, itself
// and the loopback URL that MIDI input is sent to as OSC, sends all-notes-off through it when
// routing stops and closes it with the document.
//
// What is here are the settings and their archive; the ports, the virtual endpoints, sending and
// the template collections' editing come with the MIDI support.

#include "core/outputs/QRBEventSource.h"
#include "core/monitor/QRBMessageMonitor.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"
#include "foundation/UndoManager.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QRBManager;
class QRBMIDIManager;
using QRBMIDIManagerPtr = std::shared_ptr<QRBMIDIManager>;

class QRBMIDIManager : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBMIDIManager", foundation::Object)

public:
    QRBMIDIManager() = default;

    // ---- what the routing manager hands over
    void setMessageMonitor(const QRBMessageMonitorPtr& monitor) { messageMonitor_ = monitor; }
    QRBMessageMonitorPtr messageMonitor() const { return messageMonitor_.lock(); }
    void setOscManager(const std::shared_ptr<QRBManager>& manager) { oscManager_ = manager; }
    std::shared_ptr<QRBManager> oscManager() const { return oscManager_.lock(); }
    // Where MIDI input is sent as OSC.
    void setTargetURL(const std::optional<std::string>& url) { targetURL_ = url; }
    const std::optional<std::string>& targetURL() const { return targetURL_; }
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) { undoManager_ = undoManager; }
    const std::shared_ptr<foundation::UndoManager>& undoManager() const { return undoManager_; }

    // Controller 123 on every channel of every active output.
    void sendAllNotesOffOnActivePorts() {}
    // The document is closing: the manager leaves every endpoint it uses.
    void close() {}

    // ---- settings
    int64_t version() const { return version_; }
    int64_t noteUpperPitch() const { return noteUpperPitch_; }
    void setNoteUpperPitch(int64_t pitch) { noteUpperPitch_ = pitch; }
    int64_t noteLowerPitch() const { return noteLowerPitch_; }
    void setNoteLowerPitch(int64_t pitch) { noteLowerPitch_ = pitch; }
    bool shouldRepeatNotes() const { return shouldRepeatNotes_; }
    void setShouldRepeatNotes(bool repeat) { shouldRepeatNotes_ = repeat; }
    bool shouldBendNotes() const { return shouldBendNotes_; }
    void setShouldBendNotes(bool bend) { shouldBendNotes_ = bend; }
    int64_t noteOffBehavior() const { return noteOffBehavior_; }
    void setNoteOffBehavior(int64_t behavior) { noteOffBehavior_ = behavior; }
    // Bit 1 raw, bit 2 parsed.
    int64_t inputMode() const { return inputMode_; }
    void setInputMode(int64_t mode) { inputMode_ = mode; }
    bool isVirtualDestinationActive() const { return virtualDestinationActive_; }
    bool isVirtualSourceActive() const { return virtualSourceActive_; }

    // The document's MIDI template collections.
    const std::vector<QRBEventSourcePtr>& templatesCollections() const { return templatesCollections_; }
    void addTemplatesCollection(const QRBEventSourcePtr& collection) { templatesCollections_.push_back(collection); }

    // "Version", "noteUpperPitch", "noteLowerPitch", "shouldRepeatNotes", "shouldBendNotes",
    // "noteOffBehavior", "inputMode", "activeRealDestinations", "activeRealSources",
    // "isVirtualDestinationActive", "isVirtualSourceActive", "templatesCollections". A document
    // without "isVirtualDestinationActive" uses both virtual endpoints and no port.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    std::vector<QRBEventSourcePtr> templatesCollections_;
    // The chosen ports, kept as the document holds them.
    foundation::Value activeRealDestinations_ = foundation::Value(foundation::Array{});
    foundation::Value activeRealSources_ = foundation::Value(foundation::Array{});
    int64_t version_ = 1;
    bool shouldRepeatNotes_ = false;
    bool shouldBendNotes_ = false;
    bool virtualDestinationActive_ = true;
    bool virtualSourceActive_ = true;
    std::weak_ptr<QRBManager> oscManager_;
    std::optional<std::string> targetURL_;
    std::weak_ptr<QRBMessageMonitor> messageMonitor_;
    std::shared_ptr<foundation::UndoManager> undoManager_;
    int64_t noteUpperPitch_ = 127;
    int64_t noteLowerPitch_ = 0;
    int64_t inputMode_ = 2;
    int64_t noteOffBehavior_ = 1;
};
