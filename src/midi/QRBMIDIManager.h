#pragma once
// A document's MIDI settings and connections, and the one way out for its MIDI output. The
// routing manager makes it, archives it under "midiManager", hands it its message monitor, itself
// and the loopback URL that MIDI input is sent to as OSC, sends all-notes-off through it when
// routing stops and closes it with the document.
//
// It is a receiver of the real sources chosen and of its own virtual destination "Quorbital In",
// and a sender of the real destinations chosen and of the process's virtual source "Quorbital
// Out". Output goes to the virtual source first, then to each real destination in order.
//
// Threads: settings, undo and output on the main thread. Input arrives on a backend thread under
// the sending endpoint's lock; the manager's own lock (taken inside it, never around an endpoint
// call) guards the OSC address that input is sent to, against setTargetURL(). Input for the
// owning document's own port is handed to the main loop with the packet list's messages, and the
// main thread gives it to the document's UDP server in process.

#include "core/monitor/QRBMessageMonitor.h"
#include "core/osc/QRBArg.h"
#include "core/outputs/QRBEventSource.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"
#include "foundation/Observation.h"
#include "foundation/UndoManager.h"
#include "foundation/UndoableList.h"
#include "midi/QRBMIDIInputParser.h"
#include "midi/QRBMIDIMessage.h"
#include "midi/QRBMIDIMessageEndpoint.h"
#include "midi/tarn/TarnMIDIEndpoint.h"
#include "midi/templates/QRBMIDICollection.h"

#include <lo/lo.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class QRBManager;
class QRBMIDIManager;
using QRBMIDIManagerPtr = std::shared_ptr<QRBMIDIManager>;

class QRBMIDIManager : public foundation::Object, public foundation::Observable, public TarnMIDIReceiver {
    FND_ARCHIVED_CLASS("QRBMIDIManager", foundation::Object)

public:
    static constexpr const char* kVirtualDestinationName = "Quorbital In";
    static constexpr const char* kVirtualDestinationNameFormat = "Quorbital In (%li)";
    // The virtual destination of the document on port p gets this plus p: one ID per port.
    static constexpr int32_t kVirtualDestinationUniqueIDBase = 0x15C00000;
    // The most bytes one message may hold.
    static constexpr size_t kMaxMessageLength = midi::MIDIPacketList::kMaxPacketLength;

    static constexpr const char* kActiveRealDestinationsKey = "activeRealDestinations";
    static constexpr const char* kActiveRealSourcesKey = "activeRealSources";
    static constexpr const char* kTemplatesCollectionsKey = "templatesCollections";
    static constexpr const char* kVirtualDestinationActiveKey = "isVirtualDestinationActive";
    static constexpr const char* kVirtualSourceActiveKey = "isVirtualSourceActive";

    // An archive's manager is made by the class registry; a new one through create(), which
    // also opens the virtual endpoints.
    QRBMIDIManager() = default;
    ~QRBMIDIManager() override;
    static QRBMIDIManagerPtr create();

    // The process's "Quorbital Out".
    static std::shared_ptr<TarnMIDIVirtualSource> sharedVirtualSource();

    // ---- what the routing manager hands over
    void setMessageMonitor(const QRBMessageMonitorPtr& monitor) { messageMonitor_ = monitor; }
    QRBMessageMonitorPtr messageMonitor() const { return messageMonitor_.lock(); }
    void setOscManager(const std::shared_ptr<QRBManager>& manager);
    std::shared_ptr<QRBManager> oscManager() const { return oscManager_.lock(); }
    // Where MIDI input is sent as OSC. A URL with a port also names the virtual destination
    // "Quorbital In (<port>)" and gives it the ID of that port.
    void setTargetURL(const std::optional<std::string>& url);
    std::optional<std::string> targetURL() const;
    bool hasOscAddress() const;
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager);
    std::shared_ptr<foundation::UndoManager> undoManager() const { return undoManager_.lock(); }

    // Controller 123 on every channel, through the virtual source (when active) and every active
    // real destination; not shown in the monitor.
    void sendAllNotesOffOnActivePorts();
    // The document is closing: the manager leaves every endpoint it uses (the lists stay).
    void close();

    // ---- settings
    int64_t version() const { return version_; }
    int64_t noteUpperPitch() const { return noteUpperPitch_; }
    void setNoteUpperPitch(int64_t pitch);
    int64_t noteLowerPitch() const { return noteLowerPitch_; }
    void setNoteLowerPitch(int64_t pitch);
    bool shouldRepeatNotes() const { return shouldRepeatNotes_; }
    void setShouldRepeatNotes(bool repeat);
    bool shouldBendNotes() const { return shouldBendNotes_; }
    void setShouldBendNotes(bool bend);
    // 0, 1 or 2: see noteWithState(). Not undoable.
    int64_t noteOffBehavior() const { return noteOffBehavior_; }
    void setNoteOffBehavior(int64_t behavior) { noteOffBehavior_ = behavior; }
    // Bit 1 raw, bit 2 parsed.
    int64_t inputMode() const { return inputMode_; }
    void setInputMode(int64_t mode);
    bool isVirtualDestinationActive() const { return isVirtualDestinationActive_; }
    void setIsVirtualDestinationActive(bool active);
    bool isVirtualSourceActive() const { return isVirtualSourceActive_; }
    void setIsVirtualSourceActive(bool active);
    // "ifi" for documents of version 0, "iff" otherwise.
    const char* midiNoteOSCMessageSignature() const { return version_ == 0 ? "ifi" : "iff"; }

    // A nil pitch is refused with "Unspecified Value"; every other value passes.
    static bool validateValue(const foundation::Value& value, const std::string& key, std::string* failureReason,
                              std::string* recoverySuggestion);

    // ---- ports
    const std::vector<std::shared_ptr<TarnMIDIRealDestination>>& activeRealDestinations() const {
        return activeRealDestinations_;
    }
    const std::vector<std::shared_ptr<TarnMIDIRealSource>>& activeRealSources() const { return activeRealSources_; }
    void select(bool selected, const std::shared_ptr<TarnMIDIRealDestination>& realDestination);
    void select(bool selected, const std::shared_ptr<TarnMIDIRealSource>& realSource);
    bool isRealEndpointActive(const TarnMIDIEndpointPtr& endpoint) const;
    const std::shared_ptr<TarnMIDIVirtualDestination>& virtualDestination() const { return virtualDestination_; }

    // ---- velocities: channels 1 to 16; any other channel means channel 1.
    QRBArgPtr velocityOnChannel(long channel) const;
    void setVelocity(const QRBArg& value, long channel);
    const std::array<QRBArgPtr, 16>& channelVelocities() const { return channelVelocities_; }

    // ---- template collections
    const std::vector<QRBMIDICollectionPtr>& templatesCollections() const { return templatesCollections_.elements(); }
    // Undoable; each new collection takes the undo manager and a name unique among the present
    // and the new collections. Indexes are those of the list after the insertion.
    void insertTemplatesCollections(const std::vector<QRBMIDICollectionPtr>& collections,
                                    const std::vector<size_t>& indexes);
    void removeTemplatesCollectionsAtIndexes(const std::vector<size_t>& indexes);
    // The first collection of that name, or a new one appended (undoable).
    QRBMIDICollectionPtr ensureTemplateCollectionNamed(const std::string& name);
    // The relation's own steps, which undo and redo call.
    void insertTemplatesCollection(const QRBMIDICollectionPtr& collection, size_t index);
    void removeTemplatesCollectionAtIndex(size_t index);
    // Template matching of one received message: its bytes go through every collection, and each
    // message a template completes goes to the document's routing from the MIDI inputs endpoint,
    // dated `date` (when the message arrived, not when the main loop got round to it). Answers the
    // messages delivered.
    std::vector<QRBOSCMessagePtr> deliverTemplateMatches(const QRBMIDIMessage& message, foundation::Date date);

    // ---- output: 1 when everything was sent, -1 when anything failed.
    // To MIDIOutputsEndpoint(): the virtual source first (when active), then every active real
    // destination in order, even after a failure. To another endpoint: its MIDI endpoint alone.
    long processMIDIPacketList(const midi::MIDIPacketList& list, const QRBMIDIMessageEndpointPtr& endpoint);
    // One packet of the message's bytes, stamped now; shown in the monitor unless it failed.
    long sendMIDIMessage(const QRBMIDIMessagePtr& message, const QRBMIDIMessageEndpointPtr& endpoint);
    // Note on or off on channel 1..16, with the note-off behaviour: 2 sends note on with
    // velocity 0, 1 note off with velocity 0, 0 note off with the velocity.
    QRBMIDIMessagePtr noteWithState(bool state, unsigned pitch, unsigned velocity, long channel) const;

    // ---- input (backend thread, under the sender's lock)
    // Each packet is handed whole (or each complete system-exclusive message) to the main run
    // loop; in raw mode it is also sent as one bundle of MIDI arguments, and in parsed mode each
    // channel, clock and time-code message as OSC under "/midi/".
    void processMIDIPacketList(const midi::MIDIPacketList& list, TarnMIDIEndpoint& sender) override;
    // The system-exclusive message being assembled from `sender`, or null.
    QRBMIDIMessagePtr incompleteSysExFrom(const TarnMIDIEndpoint& sender) const;
    // The first one pending from any sender, or null.
    QRBMIDIMessagePtr incompleteSysEx() const;

    // event = status & 0xF0, channel 1 to 16.
    void handleMIDIEvent(uint8_t event, long channel, uint8_t byte1, uint8_t byte2, uint64_t timeStamp);
    void handleMIDINonNoteEvent(uint8_t event, long channel, uint8_t byte1, uint8_t byte2, uint64_t timeStamp);
    void handleMIDINote(bool state, long channel, uint8_t pitch, uint8_t velocity, uint64_t timeStamp);
    void handleMIDIAftertouch(uint8_t pressure, uint8_t pitch, long channel);
    void handleMIDICC(uint8_t controller, uint8_t value, long channel);
    void handleMIDIProgramChange(uint8_t program, long channel);
    void handleMIDIChannelPressure(uint8_t pressure, long channel);
    // wheel from -1 (raw 0) through 0 (raw 8191) to 8192/8191 (raw 16383).
    void handleMIDIWheel(double wheel, long channel);
    void handleMIDIAllNotesOff(long channel);
    void handleMIDIClockStart();
    void handleMIDIClockStop();
    void handleMIDIClockContinue();
    void handleMIDIClockPosition();
    void handleMIDIMTCQuarterFrame(uint8_t data);
    // The whole packet that holds the F0.
    void handleMIDISystemExclusive(const uint8_t* bytes, size_t length);
    void handleMidiOverOSCEvent(const uint8_t* bytes, size_t length);
    void processMIDIClockTick();
    void processMIDIClockPosition(int32_t position);
    int32_t currentMIDIPosition() const;
    int32_t currentMIDITick() const;

    // ---- input handed to the main run loop
    // MIDI input waiting for the main loop (messages as OSC and for the templates and the
    // monitor) is bounded: past the bound, what arrives is dropped, counted and logged, so that a
    // flood cannot grow the memory or push the loop's other work (a signal to quit among it) ever
    // further back.
    static constexpr size_t kDefaultMaxQueuedInput = 65536;
    void setMaxQueuedInput(size_t count) { maxQueuedInput_ = count; }
    size_t queuedInputCount() const { return queuedInput_.load(); }
    uint64_t droppedInputCount() const { return droppedInput_.load(); }
    // The program is quitting: input still waiting for the main loop is let go instead of routed,
    // so that a loop behind a flood reaches the quit at once. Safe to call from a signal handler.
    static void stopInputForQuit() { inputStoppedForQuit_.store(true, std::memory_order_relaxed); }

    // ---- input (main run loop): templates, then the monitor.
    void receiveMIDIMessage(const QRBMIDIMessagePtr& message, uint64_t timeStamp);
    // Feeds the message to the template collections and routes what they match as OSC input.
    void matchTemplates(const QRBMIDIMessagePtr& message, foundation::Date date);

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    std::shared_ptr<QRBMIDIManager> self() { return std::static_pointer_cast<QRBMIDIManager>(shared_from_this()); }
    std::shared_ptr<foundation::UndoManager> registeringUndoManager() const;
    void nameUndoAction(const std::string& name) const;
    void privateSetUp();
    void leaveEndpoints();
    // Sends and frees `message`, when there is an address to send to; NO when the send failed.
    bool sendInputOSC(const char* path, lo_message message);
    void sendInputOSCLoggingAddress(const char* path, lo_message message);
    void dispatchStatus(const uint8_t* bytes, size_t length, size_t at, uint64_t timeStamp);
    // Whether input goes to the owning manager's server in process: the target is its own port.
    void updateInProcessHandOver();
    // Main thread: the OSC a packet list made, into the owner's server, then its messages to the
    // templates and the monitor.
    using Deliveries = std::vector<std::pair<QRBMIDIMessagePtr, uint64_t>>;
    void handOverInput(std::vector<std::vector<uint8_t>>& osc, const Deliveries& deliveries);

    foundation::UndoableList<QRBMIDIManager, QRBMIDICollection> templatesCollections_{
        kTemplatesCollectionsKey,
        {.insert = &QRBMIDIManager::insertTemplatesCollection,
         .remove = &QRBMIDIManager::removeTemplatesCollectionAtIndex}};
    std::vector<std::shared_ptr<TarnMIDIRealDestination>> activeRealDestinations_;
    std::vector<std::shared_ptr<TarnMIDIRealSource>> activeRealSources_;
    lo_address oscAddress_ = nullptr;  // guarded by oscLock_
    int64_t version_ = 1;
    bool shouldRepeatNotes_ = false;
    bool shouldBendNotes_ = false;
    bool isVirtualDestinationActive_ = false;
    bool isVirtualSourceActive_ = false;
    std::weak_ptr<QRBManager> oscManager_;
    std::optional<std::string> targetURL_;  // guarded by oscLock_
    std::weak_ptr<QRBMessageMonitor> messageMonitor_;
    // Weak: the undo manager holds the inverse calls, which hold this manager.
    std::weak_ptr<foundation::UndoManager> undoManager_;
    int64_t noteUpperPitch_ = 127;
    int64_t noteLowerPitch_ = 0;
    std::atomic<int64_t> inputMode_{2};  // read by input on the backend thread
    int64_t noteOffBehavior_ = 1;
    std::shared_ptr<TarnMIDIVirtualDestination> virtualDestination_;
    // The process's virtual source, as it was when this manager was set up.
    std::shared_ptr<TarnMIDIVirtualSource> virtualSource_;
    std::array<QRBArgPtr, 16> channelVelocities_;
    // ---- input state, guarded by inputLock_ (deliveries from several senders may overlap)
    struct SenderInput {
        std::weak_ptr<const foundation::Object> sender;
        bool tracked = false;
        QRBMIDISysExAssembler assembler;
    };
    // Only senders in the middle of a system-exclusive message have an entry.
    std::map<const TarnMIDIEndpoint*, SenderInput> senderInputs_;
    QRBMIDISysExAssembler idleAssembler_;  // for every sender between messages
    std::vector<foundation::Data> completeMessages_;
    uint16_t MTCFrame_ = 0, MTCSeconds_ = 0, MTCMinutes_ = 0, MTCHours_ = 0, MTCFrameRate_ = 0;
    int32_t currentMIDIPosition_ = 0;
    int32_t currentMIDITick_ = 0;
    // Whether this manager joined the endpoints (create or decode); a plain constructed one never did.
    bool opened_ = false;

    // Input as OSC goes to the owner's UDP server in process when the target URL is its own
    // port (guarded by oscLock_); the packets a packet list makes wait in pendingOSC_ (guarded
    // by inputLock_) until the list is handed to the main loop.
    bool inProcess_ = false;
    std::vector<std::vector<uint8_t>> pendingOSC_;
    // The sender the document sees for input handed over in process: a loopback UDP socket of
    // this manager's, which nothing reads, as a reply to the sender of a datagram went before.
    int inputSenderFd_ = -1;
    std::string inputSenderPort_;
    std::atomic<size_t> queuedInput_{0};
    static inline std::atomic<bool> inputStoppedForQuit_{false};
    static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
    std::atomic<uint64_t> droppedInput_{0};
    std::atomic<size_t> maxQueuedInput_{kDefaultMaxQueuedInput};

    mutable std::mutex oscLock_;
    mutable std::mutex inputLock_;
};

// The current host time of MIDI time stamps (nanoseconds).
uint64_t QRBCurrentMIDIHostTime();

// MIDI byte encoders: write into `buffer` and return the byte count. Channels 1 to 16 go into
// the low nibble of the status byte; channels and data bytes are masked to their bits, so no
// value from a document can turn into another kind of message.
size_t QRBMIDIEncodeControlChange(uint8_t* buffer, long channel, unsigned number, unsigned value);
size_t QRBMIDIEncodeProgramChange(uint8_t* buffer, long channel, unsigned program);
size_t QRBMIDIEncodeNote(uint8_t* buffer, long channel, bool on, unsigned pitch, unsigned velocity);
size_t QRBMIDIEncodeChannelPressure(uint8_t* buffer, long channel, unsigned value);
size_t QRBMIDIEncodePitchBend(uint8_t* buffer, long channel, unsigned value);
size_t QRBMIDIEncodePolyPressure(uint8_t* buffer, long channel, unsigned pitch, unsigned value);
