// MIDI input: packets from the manager's sources become OSC for the document's own port, where
// they re-enter the routing like any other input, and messages for the templates and the monitor.
// When the target is the owning document's own port, the OSC goes to its server in process, with
// the messages, in one hand-over per packet list: a datagram per message to that port cost a
// wake-up each, and a dense burst overflowed the socket's buffer and was lost.

#include "core/osc/QRBServer.h"
#include "document/QRBManager.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/RunLoop.h"
#include "midi/QRBMIDIHostTime.h"
#include "midi/QRBMIDIManager.h"

#include <cstdio>
#include <cstdlib>

namespace {
constexpr const char* kRawInputPath = "/midi/raw/osc-in";
constexpr const char* kClockStartPath = "/midi/clock/start";
constexpr const char* kClockStopPath = "/midi/clock/stop";
constexpr const char* kClockContinuePath = "/midi/clock/continue";
constexpr const char* kClockPositionPath = "/midi/clock/position";
constexpr const char* kMTCFramePath = "/midi/mtc/frame";
constexpr const char* kMTCBarPath = "/midi/mtc/bar";
constexpr const char* kAddressFailureFormat = "ERROR: Failed to send OSC message for '%s'";

// Bar numbers up to this one are not sent.
constexpr int kLowestBarSent = 4096;

float byteFraction(uint8_t byte) { return static_cast<float>(static_cast<double>(byte) / 127.0); }
}  // namespace

// ---- packets ------------------------------------------------------------------------------------

void QRBMIDIManager::processMIDIPacketList(const midi::MIDIPacketList& list, TarnMIDIEndpoint& sender) {
    std::lock_guard lock(inputLock_);
    // Only senders in the middle of a dump have state of their own; the others share one idle
    // assembler, so that ordinary traffic costs no look-up beyond this one.
    auto entry = senderInputs_.find(&sender);
    // An endpoint that went away may have left a half dump behind; a new one made at its address
    // starts afresh.
    if (entry != senderInputs_.end() && entry->second.tracked && entry->second.sender.expired()) {
        senderInputs_.erase(entry);
        entry = senderInputs_.end();
    }
    QRBMIDISysExAssembler& assembler = entry != senderInputs_.end() ? entry->second.assembler : idleAssembler_;
    // Handed to the main loop in one go: a busy device sends a burst a cycle, and a wake-up of the
    // main loop per message would cost more than the messages.
    std::vector<std::pair<QRBMIDIMessagePtr, uint64_t>> deliveries;
    for (const auto& packet : list) {
        if (packet.length == 0) continue;
        const uint64_t timeStamp = packet.timeStamp ? packet.timeStamp : QRBCurrentMIDIHostTime();

        completeMessages_.clear();
        const size_t overflows = assembler.overflowCount();
        assembler.addPacket(packet.data, packet.length, completeMessages_);
        if (assembler.overflowCount() != overflows)
            foundation::log(
                foundation::format("MIDI input: a system-exclusive message from \"%s\" grew past %zu bytes "
                                   "and was dropped.",
                                   sender.name().c_str(), QRBMIDISysExAssembler::kMaxLength));
        for (auto& bytes : completeMessages_)
            deliveries.emplace_back(QRBMIDIMessage::MIDIMessageWithData(std::move(bytes)), timeStamp);

        if (inputMode_ & 1) handleMidiOverOSCEvent(packet.data, packet.length);

        // Running status is not expanded: data bytes after a complete message are skipped to the
        // next status byte. Real-time bytes inside a system-exclusive message stop that skip, so
        // they are dispatched where they are.
        const uint8_t* bytes = packet.data;
        const size_t length = packet.length;
        size_t at = 0;
        while (at < length) {
            const uint8_t byte = bytes[at];
            if ((byte & 0x80) && (inputMode_ & 2)) dispatchStatus(bytes, length, at, timeStamp);
            size_t step = 1;
            if (byte < 0x80 || byte == 0xF0) {
                while (at + step < length && !(bytes[at + step] & 0x80)) ++step;
            } else if (byte < 0xF0) {
                step = byte >= 0xC0 && byte <= 0xDF ? 2 : 3;
            } else if (byte == 0xF1 || byte == 0xF3) {
                step = 2;
            } else if (byte == 0xF2) {
                step = 3;
            }
            at += step;
        }
    }
    // Never throws on the backend's thread, even for a manager on its way out.
    auto me = std::static_pointer_cast<QRBMIDIManager>(weak_from_this().lock());
    std::vector<std::vector<uint8_t>> osc = std::exchange(pendingOSC_, {});
    const size_t count = osc.size() + deliveries.size();
    if (me && count > 0) {
        if (queuedInput_.load() + count > maxQueuedInput_.load()) {
            droppedInput_ += count;
            foundation::logOfKind(
                "midi-input-behind",
                foundation::format("MIDI input: %zu messages from \"%s\" dropped, %zu waiting already: the "
                                   "program cannot keep up with the input (%llu dropped in all)",
                                   count, sender.name().c_str(), queuedInput_.load(),
                                   static_cast<unsigned long long>(droppedInput_.load())));
        } else {
            queuedInput_ += count;
            foundation::RunLoop::main().post([weak = std::weak_ptr<QRBMIDIManager>(me), osc = std::move(osc),
                                              deliveries = std::move(deliveries)]() mutable {
                if (auto manager = weak.lock()) manager->handOverInput(osc, deliveries);
            });
        }
    }
    if (entry == senderInputs_.end()) {
        if (!assembler.isIdle()) {
            SenderInput input;
            input.sender = sender.weak_from_this();
            input.tracked = !input.sender.expired();
            input.assembler = std::exchange(idleAssembler_, QRBMIDISysExAssembler{});
            senderInputs_.emplace(&sender, std::move(input));
        }
    } else if (assembler.isIdle()) {
        senderInputs_.erase(entry);
    }
}

void QRBMIDIManager::dispatchStatus(const uint8_t* bytes, size_t length, size_t at, uint64_t timeStamp) {
    // A byte past the end of the packet counts as 0.
    auto byteAt = [&](size_t index) -> uint8_t { return index < length ? bytes[index] : 0; };
    const uint8_t status = bytes[at];
    switch (status) {
    case 0xF0: handleMIDISystemExclusive(bytes, length); break;
    case 0xF1: handleMIDIMTCQuarterFrame(byteAt(at + 1)); break;
    case 0xF2: processMIDIClockPosition(byteAt(at + 1) | (byteAt(at + 2) << 7)); break;
    case 0xF8: processMIDIClockTick(); break;
    case 0xFA: handleMIDIClockStart(); break;
    case 0xFB: handleMIDIClockContinue(); break;
    case 0xFC: handleMIDIClockStop(); break;
    default: handleMIDIEvent(status & 0xF0, (status & 0x0F) + 1, byteAt(at + 1), byteAt(at + 2), timeStamp); break;
    }
}

QRBMIDIMessagePtr QRBMIDIManager::incompleteSysExFrom(const TarnMIDIEndpoint& sender) const {
    std::lock_guard lock(inputLock_);
    auto it = senderInputs_.find(&sender);
    if (it == senderInputs_.end() || !it->second.assembler.isAssembling()) return nullptr;
    return QRBMIDIMessage::MIDIMessageWithData(it->second.assembler.pending());
}

QRBMIDIMessagePtr QRBMIDIManager::incompleteSysEx() const {
    std::lock_guard lock(inputLock_);
    for (const auto& entry : senderInputs_)
        if (entry.second.assembler.isAssembling())
            return QRBMIDIMessage::MIDIMessageWithData(entry.second.assembler.pending());
    return nullptr;
}

// ---- sending ------------------------------------------------------------------------------------

bool QRBMIDIManager::sendInputOSC(const char* path, lo_message message) {
    bool sent = true;
    {
        // The address is replaced under the same lock (setTargetURL): never freed mid-send.
        std::lock_guard lock(oscLock_);
        if (inProcess_) {
            size_t size = 0;
            if (void* bytes = lo_message_serialise(message, path, nullptr, &size)) {
                const auto* first = static_cast<const uint8_t*>(bytes);
                pendingOSC_.emplace_back(first, first + size);
                std::free(bytes);
            } else {
                sent = false;
            }
        } else if (oscAddress_) {
            sent = lo_send_message(oscAddress_, path, message) != -1;
        }
    }
    lo_message_free(message);
    return sent;
}

// The failure texts are made only on failure: clock and time code run at a hundred and more a
// second.
void QRBMIDIManager::sendInputOSCLoggingAddress(const char* path, lo_message message) {
    if (!sendInputOSC(path, message)) foundation::log(foundation::format(kAddressFailureFormat, path));
}

// ---- channel messages ---------------------------------------------------------------------------

void QRBMIDIManager::handleMIDIEvent(uint8_t event, long channel, uint8_t byte1, uint8_t byte2, uint64_t timeStamp) {
    switch (event) {
    case 0x80: handleMIDINote(false, channel, byte1, byte2, timeStamp); break;
    case 0x90: handleMIDINote(byte2 != 0, channel, byte1, byte2, timeStamp); break;
    default: handleMIDINonNoteEvent(event, channel, byte1, byte2, timeStamp); break;
    }
}

void QRBMIDIManager::handleMIDINonNoteEvent(uint8_t event, long channel, uint8_t byte1, uint8_t byte2, uint64_t) {
    switch (event) {
    case 0xA0: handleMIDIAftertouch(byte2, byte1, channel); break;
    case 0xB0:
        // All sound off and reset all controllers say nothing a mapping could use.
        if (byte1 == 120 || byte1 == 121) break;
        if (byte1 == 123)
            handleMIDIAllNotesOff(channel);
        else
            handleMIDICC(byte1, byte2, channel);
        break;
    case 0xC0: handleMIDIProgramChange(byte1, channel); break;
    case 0xD0: handleMIDIChannelPressure(byte1, channel); break;
    case 0xE0: {
        const int raw = (byte2 << 7) | byte1;
        handleMIDIWheel(static_cast<double>(raw - 8191) / 8191.0, channel);
        break;
    }
    default: break;
    }
}

void QRBMIDIManager::handleMIDINote(bool state, long channel, uint8_t pitch, uint8_t velocity, uint64_t) {
    char path[32];
    std::snprintf(path, sizeof path, "/midi/note/%li", channel);
    const char* signature = midiNoteOSCMessageSignature();
    lo_message message = lo_message_new();
    lo_message_add_int32(message, pitch);
    lo_message_add_float(message, byteFraction(velocity));
    if (signature[2] == 'i')
        lo_message_add_int32(message, state ? 1 : 0);
    else
        lo_message_add_float(message, state ? 1.0f : 0.0f);
    if (!sendInputOSC(path, message))
        foundation::log(state ? "ERROR: Failed to send OSC message for note/on"
                              : "ERROR: Failed to send OSC message for note/off");
}

void QRBMIDIManager::handleMIDIAftertouch(uint8_t pressure, uint8_t pitch, long channel) {
    char path[40];
    std::snprintf(path, sizeof path, "/midi/aftertouch/%li", channel);
    lo_message message = lo_message_new();
    lo_message_add_int32(message, pitch);
    lo_message_add_float(message, byteFraction(pressure));
    if (!sendInputOSC(path, message)) foundation::log("ERROR: Failed to send OSC message for aftertouch");
}

void QRBMIDIManager::handleMIDICC(uint8_t controller, uint8_t value, long channel) {
    char path[40];
    std::snprintf(path, sizeof path, "/midi/cc%i/%li", int(controller), channel);
    lo_message message = lo_message_new();
    lo_message_add_float(message, byteFraction(value));
    if (!sendInputOSC(path, message)) foundation::log("ERROR: Failed to send OSC message for cc");
}

void QRBMIDIManager::handleMIDIProgramChange(uint8_t program, long channel) {
    char path[40];
    std::snprintf(path, sizeof path, "/midi/program/%li", channel);
    lo_message message = lo_message_new();
    lo_message_add_int32(message, program);
    if (!sendInputOSC(path, message))
        foundation::log(foundation::format("ERROR: Failed to send OSC message for program: %i", int(program)));
}

void QRBMIDIManager::handleMIDIChannelPressure(uint8_t pressure, long channel) {
    char path[40];
    std::snprintf(path, sizeof path, "/midi/pressure/%li", channel);
    lo_message message = lo_message_new();
    lo_message_add_float(message, byteFraction(pressure));
    if (!sendInputOSC(path, message)) foundation::log("ERROR: Failed to send OSC message for channel pressure");
}

void QRBMIDIManager::handleMIDIWheel(double wheel, long channel) {
    char path[32];
    std::snprintf(path, sizeof path, "/midi/wheel/%li", channel);
    lo_message message = lo_message_new();
    lo_message_add_float(message, static_cast<float>(wheel * 0.5 + 0.5));
    if (!sendInputOSC(path, message)) foundation::log("ERROR: Failed to send OSC message for pitch wheel");
}

void QRBMIDIManager::handleMIDIAllNotesOff(long) {}

// ---- clock and time code ------------------------------------------------------------------------

void QRBMIDIManager::handleMIDIClockStart() { sendInputOSCLoggingAddress(kClockStartPath, lo_message_new()); }

void QRBMIDIManager::handleMIDIClockStop() { sendInputOSCLoggingAddress(kClockStopPath, lo_message_new()); }

void QRBMIDIManager::handleMIDIClockContinue() { sendInputOSCLoggingAddress(kClockContinuePath, lo_message_new()); }

void QRBMIDIManager::handleMIDIClockPosition() {
    lo_message message = lo_message_new();
    lo_message_add_int32(message, currentMIDIPosition_);
    lo_message_add_int32(message, currentMIDITick_);
    sendInputOSCLoggingAddress(kClockPositionPath, message);
}

// With 24 clocks per quarter note, six ticks make a sixteenth: the position counts the sixteenths
// of the beat.
void QRBMIDIManager::processMIDIClockTick() {
    if (++currentMIDITick_ >= 6) {
        currentMIDITick_ = 0;
        if (++currentMIDIPosition_ >= 4) currentMIDIPosition_ = 0;
    }
    handleMIDIClockPosition();
}

void QRBMIDIManager::processMIDIClockPosition(int32_t position) {
    currentMIDIPosition_ = position;
    currentMIDITick_ = 0;
    handleMIDIClockPosition();
}

int32_t QRBMIDIManager::currentMIDIPosition() const {
    std::lock_guard lock(inputLock_);
    return currentMIDIPosition_;
}

int32_t QRBMIDIManager::currentMIDITick() const {
    std::lock_guard lock(inputLock_);
    return currentMIDITick_;
}

void QRBMIDIManager::handleMIDIMTCQuarterFrame(uint8_t data) {
    if (data & 0x80) return;
    const uint16_t nibble = data & 0x0F;
    switch (data >> 4) {
    case 0: MTCFrame_ = nibble; break;
    case 1: MTCFrame_ |= static_cast<uint16_t>(nibble << 4); break;
    case 2: MTCSeconds_ = nibble; break;
    case 3: MTCSeconds_ |= static_cast<uint16_t>(nibble << 4); break;
    case 4: MTCMinutes_ = nibble; break;
    case 5: MTCMinutes_ |= static_cast<uint16_t>(nibble << 4); break;
    case 6: MTCHours_ = nibble; break;
    default: {
        // The last of the eight pieces: the frame is complete.
        MTCHours_ |= static_cast<uint16_t>((nibble & 1) << 4);
        MTCFrameRate_ = (nibble >> 1) & 3;
        char text[64];
        std::snprintf(text, sizeof text, "%02i:%02i:%02i.%02i", int(MTCHours_), int(MTCMinutes_), int(MTCSeconds_),
                      int(MTCFrame_));
        lo_message message = lo_message_new();
        lo_message_add_int32(message, MTCHours_);
        lo_message_add_int32(message, MTCMinutes_);
        lo_message_add_int32(message, MTCSeconds_);
        lo_message_add_int32(message, MTCFrame_);
        lo_message_add_int32(message, MTCFrameRate_);
        lo_message_add_string(message, text);
        sendInputOSCLoggingAddress(kMTCFramePath, message);
        break;
    }
    }
}

// The bar number message: F0 7F <device> 03 01 <high> <low> F7.
void QRBMIDIManager::handleMIDISystemExclusive(const uint8_t* bytes, size_t length) {
    if (length != 8 || bytes[1] != 0x7F || bytes[3] != 0x03 || bytes[4] != 0x01) return;
    const int bar = bytes[5] * 256 + bytes[6];
    if (bar <= kLowestBarSent) return;
    lo_message message = lo_message_new();
    lo_message_add_int32(message, bar);
    sendInputOSCLoggingAddress(kMTCBarPath, message);
}

// ---- raw mode -----------------------------------------------------------------------------------

// One bundle per packet, one MIDI argument per message: port 0, then up to three bytes of the
// message, 0xFF where it has no more (a system-exclusive packet comes out in 3-byte pieces).
void QRBMIDIManager::handleMidiOverOSCEvent(const uint8_t* bytes, size_t length) {
    lo_timetag now;
    lo_timetag_now(&now);
    lo_bundle bundle = lo_bundle_new(now);
    size_t position = 0;
    while (position < length) {
        const size_t messageLength = QRBMIDIMessageLength(bytes[position]);
        uint8_t midiArg[4] = {0, 0xFF, 0xFF, 0xFF};
        for (size_t i = 0; i < 3 && i < messageLength && position + i < length; ++i)
            midiArg[i + 1] = bytes[position + i];
        lo_message message = lo_message_new();
        lo_message_add_midi(message, midiArg);
        lo_bundle_add_message(bundle, kRawInputPath, message);
        position += messageLength;
    }
    {
        std::lock_guard lock(oscLock_);
        if (inProcess_) {
            size_t size = 0;
            if (void* bytes = lo_bundle_serialise(bundle, nullptr, &size)) {
                const auto* first = static_cast<const uint8_t*>(bytes);
                pendingOSC_.emplace_back(first, first + size);
                std::free(bytes);
            } else {
                foundation::log("ERROR: Failed to send OSC message for raw MIDI message.");
            }
        } else if (oscAddress_ && lo_send_bundle(oscAddress_, bundle) == -1) {
            foundation::log("ERROR: Failed to send OSC message for raw MIDI message.");
        }
    }
    lo_bundle_free_recursive(bundle);
}

// ---- main run loop ------------------------------------------------------------------------------

void QRBMIDIManager::matchTemplates(const QRBMIDIMessagePtr& message, foundation::Date date) {
    deliverTemplateMatches(*message, date);
}

void QRBMIDIManager::handOverInput(std::vector<std::vector<uint8_t>>& osc, const Deliveries& deliveries) {
    // Counted off however the hand-over ends.
    struct Done {
        std::atomic<size_t>& queued;
        size_t count;
        ~Done() { queued -= count; }
    } done{queuedInput_, osc.size() + deliveries.size()};
    if (inputStoppedForQuit_.load(std::memory_order_relaxed)) return;
    if (!osc.empty()) {
        // The owner's server takes it as it took the datagrams; a stopped one took none either.
        auto owner = oscManager();
        std::string senderPort;
        {
            std::lock_guard lock(oscLock_);
            senderPort = inputSenderPort_;
        }
        if (owner && owner->udpServer())
            for (auto& packet : osc) owner->udpServer()->receivePacket(std::move(packet), "127.0.0.1", senderPort);
    }
    for (const auto& delivery : deliveries) receiveMIDIMessage(delivery.first, delivery.second);
}

void QRBMIDIManager::receiveMIDIMessage(const QRBMIDIMessagePtr& message, uint64_t timeStamp) {
    // The matches and the message itself carry the packet's time: under load the main loop takes
    // them up later, and the monitor and anything that measures time between messages must see
    // when they arrived.
    const foundation::Date date = QRBDateFromMIDIHostTime(timeStamp);
    matchTemplates(message, date);
    // The monitor keeps its last 1,000 events. A running clock (24 a beat), a time code (120
    // quarter frames a second at 30 fps) and active sensing (3 a second) would fill that with
    // nothing a reader looks for within seconds and push out the notes and controllers worth
    // seeing: a packet that is only one of these is not shown. The templates above still get it,
    // and a packet that carries anything more is shown whole.
    const auto& bytes = message->data();
    if (!bytes.empty() && !message->shouldMonitor() && bytes.size() <= QRBMIDIMessageLength(bytes[0])) return;
    if (auto monitor = messageMonitor()) monitor->monitor(message, QRBMIDIMessageEndpoint::MIDIInputsEndpoint(), date);
}
