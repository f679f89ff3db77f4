#include "midi/QRBMIDIManager.h"

#include "core/osc/QRBTransport.h"
#include "document/QRBManager.h"
#include "foundation/ArchiveLists.h"
#include "foundation/Date.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/RunLoop.h"
#include "midi/tarn/TarnMIDIManager.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace {
constexpr const char* kVersionKey = "Version";
constexpr const char* kNoteUpperPitchKey = "noteUpperPitch";
constexpr const char* kNoteLowerPitchKey = "noteLowerPitch";
constexpr const char* kShouldRepeatNotesKey = "shouldRepeatNotes";
constexpr const char* kShouldBendNotesKey = "shouldBendNotes";
constexpr const char* kNoteOffBehaviorKey = "noteOffBehavior";
constexpr const char* kInputModeKey = "inputMode";

const char* enableText(bool on) { return on ? "Enable" : "Disable"; }

uint8_t statusByte(uint8_t kind, long channel) { return static_cast<uint8_t>(kind | ((channel - 1) & 0x0F)); }
uint8_t dataByte(unsigned value) { return static_cast<uint8_t>(value & 0x7F); }
}  // namespace

// ---- creation -----------------------------------------------------------------------------------

QRBMIDIManagerPtr QRBMIDIManager::create() {
    auto manager = std::make_shared<QRBMIDIManager>();
    manager->privateSetUp();
    manager->opened_ = true;
    manager->setIsVirtualSourceActive(true);
    manager->setIsVirtualDestinationActive(true);
    return manager;
}

QRBMIDIManager::~QRBMIDIManager() {
    // The endpoints hold their receivers and senders weakly, but their I/O runs while the sets
    // name this manager: it leaves them on its way out.
    leaveEndpoints();
    std::lock_guard lock(oscLock_);
    if (oscAddress_) lo_address_free(oscAddress_);
    if (inputSenderFd_ >= 0) ::close(inputSenderFd_);
}

void QRBMIDIManager::privateSetUp() {
    for (auto& velocity : channelVelocities_) velocity = QRBArg::argWithFloatValue(1.0f);
    auto tarn = TarnMIDIManager::shared();
    if (!virtualDestination_) virtualDestination_ = TarnMIDIVirtualDestination::create(tarn, kVirtualDestinationName);
    virtualSource_ = tarn->sharedVirtualSource();
}

std::shared_ptr<TarnMIDIVirtualSource> QRBMIDIManager::sharedVirtualSource() {
    return TarnMIDIManager::shared()->sharedVirtualSource();
}

// ---- archive ------------------------------------------------------------------------------------

void QRBMIDIManager::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeInteger(version_, kVersionKey);
    coder.encodeInteger(noteUpperPitch_, kNoteUpperPitchKey);
    coder.encodeInteger(noteLowerPitch_, kNoteLowerPitchKey);
    coder.encodeBool(shouldRepeatNotes_, kShouldRepeatNotesKey);
    coder.encodeBool(shouldBendNotes_, kShouldBendNotesKey);
    coder.encodeInteger(noteOffBehavior_, kNoteOffBehaviorKey);
    coder.encodeInteger(inputMode_.load(), kInputModeKey);
    coder.encodeObject(foundation::objectListValue(activeRealDestinations_), kActiveRealDestinationsKey);
    coder.encodeObject(foundation::objectListValue(activeRealSources_), kActiveRealSourcesKey);
    coder.encodeBool(isVirtualDestinationActive_, kVirtualDestinationActiveKey);
    coder.encodeBool(isVirtualSourceActive_, kVirtualSourceActiveKey);
    coder.encodeObject(foundation::objectListValue(templatesCollections_.elements()), kTemplatesCollectionsKey);
}

void QRBMIDIManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
    version_ = coder.decodeInteger(kVersionKey);
    noteUpperPitch_ = coder.decodeInteger(kNoteUpperPitchKey);
    noteLowerPitch_ = coder.decodeInteger(kNoteLowerPitchKey);
    shouldRepeatNotes_ = coder.decodeBool(kShouldRepeatNotesKey);
    shouldBendNotes_ = coder.decodeBool(kShouldBendNotesKey);
    noteOffBehavior_ = coder.decodeInteger(kNoteOffBehaviorKey);
    inputMode_ = coder.decodeInteger(kInputModeKey);
    std::vector<std::shared_ptr<TarnMIDIRealDestination>> destinations;
    std::vector<std::shared_ptr<TarnMIDIRealSource>> sources;
    bool destinationActive = true;
    bool sourceActive = true;
    // Documents from before the virtual endpoints could be switched off use both and no port.
    if (coder.containsValueForKey(kVirtualDestinationActiveKey)) {
        if (auto list = foundation::decodeObjectList<TarnMIDIRealDestination>(coder, kActiveRealDestinationsKey))
            destinations = std::move(*list);
        if (auto list = foundation::decodeObjectList<TarnMIDIRealSource>(coder, kActiveRealSourcesKey))
            sources = std::move(*list);
        destinationActive = coder.decodeBool(kVirtualDestinationActiveKey);
        sourceActive = coder.decodeBool(kVirtualSourceActiveKey);
    }
    if (auto collections = foundation::decodeObjectList<QRBMIDICollection>(coder, kTemplatesCollectionsKey))
        templatesCollections_.assign(std::move(*collections));

    privateSetUp();
    opened_ = true;
    setIsVirtualDestinationActive(destinationActive);
    setIsVirtualSourceActive(sourceActive);
    // A port named twice in a damaged document is used once.
    for (const auto& destination : destinations)
        if (std::find(activeRealDestinations_.begin(), activeRealDestinations_.end(), destination) ==
            activeRealDestinations_.end())
            activeRealDestinations_.push_back(destination);
    for (const auto& source : sources)
        if (std::find(activeRealSources_.begin(), activeRealSources_.end(), source) == activeRealSources_.end())
            activeRealSources_.push_back(source);
    auto me = self();
    for (const auto& destination : activeRealDestinations_) destination->addSender(me);
    for (const auto& source : activeRealSources_) source->addReceiver(me);
}

// ---- undo ---------------------------------------------------------------------------------------

std::shared_ptr<foundation::UndoManager> QRBMIDIManager::registeringUndoManager() const {
    auto undo = undoManager_.lock();
    return undo && undo->isUndoRegistrationEnabled() ? undo : nullptr;
}

void QRBMIDIManager::nameUndoAction(const std::string& name) const {
    auto undo = undoManager_.lock();
    if (undo && !undo->isUndoing()) undo->setActionName(name);
}

void QRBMIDIManager::setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) {
    undoManager_ = undoManager;
    for (const auto& collection : templatesCollections_) collection->setUndoManager(undoManager);
}

// ---- settings -----------------------------------------------------------------------------------

#define QRB_MIDI_SETTER(Setter, field, key, Type, actionName)                          \
    void QRBMIDIManager::Setter(Type value) {                                          \
        if (value == field) return;                                                    \
        if (auto undo = registeringUndoManager()) {                                    \
            undo->registerUndo(this, [me = self(), old = field] { me->Setter(old); }); \
            nameUndoAction(actionName);                                                \
        }                                                                              \
        willChangeValueForKey(key);                                                    \
        field = value;                                                                 \
        didChangeValueForKey(key);                                                     \
    }

QRB_MIDI_SETTER(setNoteLowerPitch, noteLowerPitch_, kNoteLowerPitchKey, int64_t, "Set Lower Pitch")
QRB_MIDI_SETTER(setNoteUpperPitch, noteUpperPitch_, kNoteUpperPitchKey, int64_t, "Set Upper Pitch")
QRB_MIDI_SETTER(setShouldBendNotes, shouldBendNotes_, kShouldBendNotesKey, bool,
                foundation::format("%s Emulate Pitch Bend Wheel", enableText(value)))
QRB_MIDI_SETTER(setShouldRepeatNotes, shouldRepeatNotes_, kShouldRepeatNotesKey, bool,
                foundation::format("%s Note Repeat", enableText(value)))

#undef QRB_MIDI_SETTER

void QRBMIDIManager::setInputMode(int64_t mode) {
    const int64_t old = inputMode_;
    if (mode == old) return;
    if (auto undo = registeringUndoManager()) {
        undo->registerUndo(this, [me = self(), old] { me->setInputMode(old); });
        nameUndoAction("MIDI Input Mode");
    }
    willChangeValueForKey(kInputModeKey);
    inputMode_ = mode;
    didChangeValueForKey(kInputModeKey);
}

void QRBMIDIManager::setIsVirtualDestinationActive(bool active) {
    if (active == isVirtualDestinationActive_) return;
    if (auto undo = registeringUndoManager()) {
        undo->registerUndo(
            this, [me = self(), old = isVirtualDestinationActive_] { me->setIsVirtualDestinationActive(old); });
        nameUndoAction(foundation::format("%s Quorbital Virtual MIDI Input", enableText(active)));
    }
    willChangeValueForKey(kVirtualDestinationActiveKey);
    isVirtualDestinationActive_ = active;
    didChangeValueForKey(kVirtualDestinationActiveKey);
    if (!opened_ || !virtualDestination_) return;
    if (active)
        virtualDestination_->addReceiver(self());
    else
        virtualDestination_->removeReceiver(this);
}

void QRBMIDIManager::setIsVirtualSourceActive(bool active) {
    if (active == isVirtualSourceActive_) return;
    if (auto undo = registeringUndoManager()) {
        undo->registerUndo(this, [me = self(), old = isVirtualSourceActive_] { me->setIsVirtualSourceActive(old); });
        nameUndoAction(foundation::format("%s Quorbital Virtual MIDI Output", enableText(active)));
    }
    willChangeValueForKey(kVirtualSourceActiveKey);
    isVirtualSourceActive_ = active;
    didChangeValueForKey(kVirtualSourceActiveKey);
    if (!opened_) return;
    if (active)
        virtualSource_->addSender(self());
    else
        virtualSource_->removeSender(this);
}

bool QRBMIDIManager::validateValue(const foundation::Value& value, const std::string& key, std::string* failureReason,
                                   std::string* recoverySuggestion) {
    if ((key == kNoteLowerPitchKey || key == kNoteUpperPitchKey) && value.isNull()) {
        if (failureReason) *failureReason = "Unspecified Value";
        if (recoverySuggestion) *recoverySuggestion = "Please provide a value between 0 and 127.";
        return false;
    }
    return true;
}

// ---- ports --------------------------------------------------------------------------------------

namespace {
template <class T> size_t indexIn(const std::vector<std::shared_ptr<T>>& list, const std::shared_ptr<T>& endpoint) {
    return static_cast<size_t>(std::find(list.begin(), list.end(), endpoint) - list.begin());
}
}  // namespace

void QRBMIDIManager::select(bool selected, const std::shared_ptr<TarnMIDIRealDestination>& destination) {
    FND_PARAMETER_ASSERT(destination);
    const size_t index = indexIn(activeRealDestinations_, destination);
    const bool active = index < activeRealDestinations_.size();
    // Choosing a port twice would send everything to it twice.
    if (selected == active) return;
    if (auto undo = registeringUndoManager()) {
        undo->registerUndo(this, [me = self(), destination, selected] { me->select(!selected, destination); });
        nameUndoAction(foundation::format("%s MIDI Output Port", enableText(selected)));
    }
    if (selected) {
        willChange(foundation::KeyValueChangeKind::Insertion, {activeRealDestinations_.size()},
                   kActiveRealDestinationsKey);
        activeRealDestinations_.push_back(destination);
        destination->addSender(self());
        didChange(foundation::KeyValueChangeKind::Insertion, {activeRealDestinations_.size() - 1},
                  kActiveRealDestinationsKey);
    } else {
        willChange(foundation::KeyValueChangeKind::Removal, {index}, kActiveRealDestinationsKey);
        destination->removeSender(this);
        activeRealDestinations_.erase(activeRealDestinations_.begin() + static_cast<long>(index));
        didChange(foundation::KeyValueChangeKind::Removal, {index}, kActiveRealDestinationsKey);
    }
}

void QRBMIDIManager::select(bool selected, const std::shared_ptr<TarnMIDIRealSource>& source) {
    FND_PARAMETER_ASSERT(source);
    const size_t index = indexIn(activeRealSources_, source);
    const bool active = index < activeRealSources_.size();
    if (selected == active) return;
    if (auto undo = registeringUndoManager()) {
        undo->registerUndo(this, [me = self(), source, selected] { me->select(!selected, source); });
        nameUndoAction(foundation::format("%s MIDI Input Port", enableText(selected)));
    }
    if (selected) {
        willChange(foundation::KeyValueChangeKind::Insertion, {activeRealSources_.size()}, kActiveRealSourcesKey);
        activeRealSources_.push_back(source);
        source->addReceiver(self());
        didChange(foundation::KeyValueChangeKind::Insertion, {activeRealSources_.size() - 1}, kActiveRealSourcesKey);
    } else {
        willChange(foundation::KeyValueChangeKind::Removal, {index}, kActiveRealSourcesKey);
        source->removeReceiver(this);
        activeRealSources_.erase(activeRealSources_.begin() + static_cast<long>(index));
        didChange(foundation::KeyValueChangeKind::Removal, {index}, kActiveRealSourcesKey);
    }
}

bool QRBMIDIManager::isRealEndpointActive(const TarnMIDIEndpointPtr& endpoint) const {
    for (const auto& e : activeRealDestinations_)
        if (e == endpoint) return true;
    for (const auto& e : activeRealSources_)
        if (e == endpoint) return true;
    return false;
}

void QRBMIDIManager::leaveEndpoints() {
    if (!opened_) return;
    // Each call takes the endpoint's lock; the manager's own lock is not held here, so the
    // order endpoint → manager of the deliveries is kept.
    if (virtualSource_) virtualSource_->removeSender(this);
    if (virtualDestination_) virtualDestination_->removeReceiver(this);
    for (const auto& destination : activeRealDestinations_) destination->removeSender(this);
    for (const auto& source : activeRealSources_) source->removeReceiver(this);
}

void QRBMIDIManager::close() { leaveEndpoints(); }

// ---- connection ---------------------------------------------------------------------------------

void QRBMIDIManager::setTargetURL(const std::optional<std::string>& url) {
    long port = 0;
    {
        std::lock_guard lock(oscLock_);
        if (url == targetURL_) return;
        // The field is cleared before the old address is freed, both under the lock that input
        // sends through it under: a send never sees a freed address, whatever the new URL.
        lo_address old = std::exchange(oscAddress_, nullptr);
        if (old) lo_address_free(old);
        targetURL_ = url;
        if (url) oscAddress_ = QRBNewLoAddressFromURL(*url);
        if (oscAddress_) {
            const char* text = lo_address_get_port(oscAddress_);
            if (text) port = std::strtol(text, nullptr, 10);
        }
    }
    updateInProcessHandOver();
    // Named and numbered outside the lock: the endpoint takes its own.
    if (port > 0 && virtualDestination_) {
        virtualDestination_->setName(foundation::format(kVirtualDestinationNameFormat, port));
        virtualDestination_->setUniqueID(kVirtualDestinationUniqueIDBase + static_cast<int32_t>(port));
    }
}

void QRBMIDIManager::setOscManager(const std::shared_ptr<QRBManager>& manager) {
    oscManager_ = manager;
    updateInProcessHandOver();
}

void QRBMIDIManager::updateInProcessHandOver() {
    auto owner = oscManager_.lock();
    const std::optional<std::string> ownURL =
        owner && owner->udpServer() ? std::optional<std::string>(owner->loopbackURL()) : std::nullopt;
    std::lock_guard lock(oscLock_);
    inProcess_ = ownURL && targetURL_ == ownURL;
    if (inProcess_ && inputSenderFd_ < 0) {
        inputSenderFd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (inputSenderFd_ >= 0 && ::bind(inputSenderFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(inputSenderFd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            inputSenderPort_ = std::to_string(ntohs(address.sin_port));
        else
            inputSenderPort_ = "0";
    }
}

std::optional<std::string> QRBMIDIManager::targetURL() const {
    std::lock_guard lock(oscLock_);
    return targetURL_;
}

bool QRBMIDIManager::hasOscAddress() const {
    std::lock_guard lock(oscLock_);
    return oscAddress_ != nullptr;
}

// ---- velocities ---------------------------------------------------------------------------------

QRBArgPtr QRBMIDIManager::velocityOnChannel(long channel) const {
    if (channel < 1 || channel > 16) channel = 1;
    return channelVelocities_[static_cast<size_t>(channel - 1)];
}

void QRBMIDIManager::setVelocity(const QRBArg& value, long channel) {
    velocityOnChannel(channel)->makeSameAsValue(value);
}

// ---- template collections -----------------------------------------------------------------------

void QRBMIDIManager::insertTemplatesCollection(const QRBMIDICollectionPtr& collection, size_t index) {
    FND_PARAMETER_ASSERT(collection != nullptr);
    FND_PARAMETER_ASSERT(index <= templatesCollections_.size());
    collection->setUndoManager(undoManager());
    std::vector<QRBEventSourcePtr> names(templatesCollections_.begin(), templatesCollections_.end());
    names.push_back(collection);
    collection->ensureUniqueNameComparedToEventSources(names);
    templatesCollections_.insert(*this, collection, index);
}

void QRBMIDIManager::removeTemplatesCollectionAtIndex(size_t index) { templatesCollections_.remove(*this, index); }

void QRBMIDIManager::insertTemplatesCollections(const std::vector<QRBMIDICollectionPtr>& collections,
                                                const std::vector<size_t>& indexes) {
    FND_PARAMETER_ASSERT(collections.size() == indexes.size());
    for (const auto& collection : collections) FND_PARAMETER_ASSERT(collection != nullptr);
    std::vector<QRBEventSourcePtr> names(templatesCollections_.begin(), templatesCollections_.end());
    names.insert(names.end(), collections.begin(), collections.end());
    for (const auto& collection : collections) {
        collection->setUndoManager(undoManager());
        collection->ensureUniqueNameComparedToEventSources(names);
    }
    std::vector<std::pair<size_t, QRBMIDICollectionPtr>> order;
    for (size_t i = 0; i < indexes.size(); ++i) order.emplace_back(indexes[i], collections[i]);
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& entry : order)
        insertTemplatesCollection(entry.second, std::min(entry.first, templatesCollections_.size()));
}

void QRBMIDIManager::removeTemplatesCollectionsAtIndexes(const std::vector<size_t>& indexes) {
    std::vector<size_t> sorted = indexes;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    for (size_t index : sorted) FND_PARAMETER_ASSERT(index < templatesCollections_.size());
    for (auto it = sorted.rbegin(); it != sorted.rend(); ++it) removeTemplatesCollectionAtIndex(*it);
}

QRBMIDICollectionPtr QRBMIDIManager::ensureTemplateCollectionNamed(const std::string& name) {
    for (const auto& collection : templatesCollections_)
        if (collection->name() == name) return collection;
    auto collection = std::make_shared<QRBMIDICollection>();
    collection->setName(name);
    insertTemplatesCollection(collection, templatesCollections_.size());
    return collection;
}

std::vector<QRBOSCMessagePtr> QRBMIDIManager::deliverTemplateMatches(const QRBMIDIMessage& message,
                                                                     foundation::Date date) {
    std::vector<QRBOSCMessagePtr> matches = QRBMIDICollection::matchMessage(templatesCollections(), message.data());
    if (matches.empty()) return matches;
    if (auto manager = oscManager()) {
        for (const auto& match : matches) manager->receive(match, QRBMIDIMessageEndpoint::MIDIInputsEndpoint(), date);
    }
    return matches;
}

// ---- output -------------------------------------------------------------------------------------

uint64_t QRBCurrentMIDIHostTime() {
    auto manager = TarnMIDIManager::shared();
    if (manager && manager->backend()) return manager->backend()->currentHostTime();
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

long QRBMIDIManager::processMIDIPacketList(const midi::MIDIPacketList& list,
                                           const QRBMIDIMessageEndpointPtr& endpoint) {
    if (endpoint == QRBMIDIMessageEndpoint::MIDIOutputsEndpoint()) {
        bool allSent = true;
        if (isVirtualSourceActive_ && virtualSource_ && !virtualSource_->processMIDIPacketList(list, this))
            allSent = false;
        // Every destination is served, whichever failed before it.
        for (const auto& destination : activeRealDestinations_)
            if (!destination->processMIDIPacketList(list, this)) allSent = false;
        return allSent ? 1 : -1;
    }
    auto midiEndpoint = endpoint ? endpoint->midiEndpoint() : nullptr;
    if (!midiEndpoint) return -1;
    return midiEndpoint->processMIDIPacketList(list, this) ? 1 : -1;
}

long QRBMIDIManager::sendMIDIMessage(const QRBMIDIMessagePtr& message, const QRBMIDIMessageEndpointPtr& endpoint) {
    FND_PARAMETER_ASSERT(message);
    const foundation::Date date = foundation::Date::now();
    const auto& bytes = message->data();
    // The list is as large as the message: templates may hold up to 65535 bytes.
    if (bytes.size() > kMaxMessageLength) return -1;
    midi::MIDIPacketList list(QRBCurrentMIDIHostTime(), bytes.data(), bytes.size());
    const long result = processMIDIPacketList(list, endpoint);
    if (result != -1) {
        if (auto monitor = messageMonitor()) monitor->monitor(message, endpoint, date);
    }
    return result;
}

void QRBMIDIManager::sendAllNotesOffOnActivePorts() {
    midi::MIDIPacketList list;
    const uint64_t now = QRBCurrentMIDIHostTime();
    for (long channel = 1; channel <= 16; ++channel) {
        uint8_t bytes[3];
        const size_t length = QRBMIDIEncodeControlChange(bytes, channel, 123, 0);
        list.add(now, bytes, length);
    }
    processMIDIPacketList(list, QRBMIDIMessageEndpoint::MIDIOutputsEndpoint());
}

QRBMIDIMessagePtr QRBMIDIManager::noteWithState(bool state, unsigned pitch, unsigned velocity, long channel) const {
    uint8_t kind = 0x90;
    if (!state) {
        if (noteOffBehavior_ == 2) {
            velocity = 0;
        } else {
            kind = 0x80;
            if (noteOffBehavior_ == 1) velocity = 0;
        }
    }
    return QRBMIDIMessage::MIDIMessageWithStatus(statusByte(kind, channel), dataByte(pitch), dataByte(velocity));
}

size_t QRBMIDIEncodeControlChange(uint8_t* buffer, long channel, unsigned number, unsigned value) {
    buffer[0] = statusByte(0xB0, channel);
    buffer[1] = dataByte(number);
    buffer[2] = dataByte(value);
    return 3;
}

size_t QRBMIDIEncodeProgramChange(uint8_t* buffer, long channel, unsigned program) {
    buffer[0] = statusByte(0xC0, channel);
    buffer[1] = dataByte(program);
    return 2;
}

size_t QRBMIDIEncodeNote(uint8_t* buffer, long channel, bool on, unsigned pitch, unsigned velocity) {
    buffer[0] = statusByte(on ? 0x90 : 0x80, channel);
    buffer[1] = dataByte(pitch);
    buffer[2] = dataByte(velocity);
    return 3;
}

size_t QRBMIDIEncodeChannelPressure(uint8_t* buffer, long channel, unsigned value) {
    buffer[0] = statusByte(0xD0, channel);
    buffer[1] = dataByte(value);
    return 2;
}

size_t QRBMIDIEncodePitchBend(uint8_t* buffer, long channel, unsigned value) {
    buffer[0] = statusByte(0xE0, channel);
    buffer[1] = dataByte(value);
    buffer[2] = dataByte(value >> 7);
    return 3;
}

size_t QRBMIDIEncodePolyPressure(uint8_t* buffer, long channel, unsigned pitch, unsigned value) {
    buffer[0] = statusByte(0xA0, channel);
    buffer[1] = dataByte(pitch);
    buffer[2] = dataByte(value);
    return 3;
}
