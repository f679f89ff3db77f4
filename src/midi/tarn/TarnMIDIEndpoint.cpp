#include "midi/tarn/TarnMIDIEndpoint.h"

#include "foundation/Log.h"
#include "midi/tarn/TarnMIDIManager.h"

#include <strings.h>
#include <algorithm>

namespace {
constexpr const char* kNameKey = "name";
constexpr const char* kDisplayNameKey = "displayName";
constexpr const char* kUniqueIDKey = "uniqueID";
constexpr const char* kUnknownDevice = "UNKNOWN DEVICE";
}  // namespace

// ---- descriptors --------------------------------------------------------------------------------

void TarnMIDIEndpointDescriptor::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeString(name_, kNameKey);
    coder.encodeInt32(uniqueID_, kUniqueIDKey);
}

void TarnMIDIEndpointDescriptor::initWithCoder(foundation::KeyedUnarchiver& coder) {
    name_ = coder.decodeString(kNameKey).value_or("");
    uniqueID_ = coder.decodeInt32(kUniqueIDKey);
}

// ---- endpoints ----------------------------------------------------------------------------------

TarnMIDIEndpoint::TarnMIDIEndpoint(std::string name, int32_t uniqueID)
    : uniqueID_(uniqueID), name_(std::move(name)), displayName_(name_) {}

TarnMIDIEndpoint::~TarnMIDIEndpoint() = default;

std::string TarnMIDIEndpoint::displayName() const {
    if (isOffline()) return displayName_ + " (offline)";
    return displayName_;
}

bool TarnMIDIEndpoint::setName(const std::string& name) {
    name_ = name;
    displayName_ = name;
    return true;
}

bool TarnMIDIEndpoint::setUniqueID(int32_t uniqueID) {
    auto manager = manager_.lock();
    if (manager && manager->isUniqueIDInUse(uniqueID, this)) {
        foundation::logf("Failed to assign unique ID 0x%X to MIDI Endpoint %s.", static_cast<unsigned>(uniqueID),
                         name_.c_str());
        return false;
    }
    uniqueID_ = uniqueID;
    return true;
}

bool TarnMIDIEndpoint::isInUse() const {
    std::lock_guard lock(lock_);
    return !receivers_.empty() || !senders_.empty();
}

bool TarnMIDIEndpoint::compareByDisplayName(const TarnMIDIEndpoint& other) const {
    return strcasecmp(displayName().c_str(), other.displayName().c_str()) < 0;
}

void TarnMIDIEndpoint::addReceiver(const std::shared_ptr<TarnMIDIReceiver>& receiver) {
    std::lock_guard lock(lock_);
    receivers_[receiver.get()] = receiver;
    startOrStopIO();
}

void TarnMIDIEndpoint::removeReceiver(const TarnMIDIReceiver* receiver) {
    std::lock_guard lock(lock_);
    receivers_.erase(receiver);
    startOrStopIO();
}

void TarnMIDIEndpoint::addSender(const std::shared_ptr<void>& sender) {
    std::lock_guard lock(lock_);
    senders_[sender.get()] = sender;
    startOrStopIO();
}

void TarnMIDIEndpoint::removeSender(const void* sender) {
    std::lock_guard lock(lock_);
    senders_.erase(sender);
    startOrStopIO();
}

size_t TarnMIDIEndpoint::countOfReceivers() const {
    std::lock_guard lock(lock_);
    return receivers_.size();
}

size_t TarnMIDIEndpoint::countOfSenders() const {
    std::lock_guard lock(lock_);
    return senders_.size();
}

void TarnMIDIEndpoint::startOrStopIO() {
    std::lock_guard lock(lock_);
    if (!receivers_.empty() || !senders_.empty())
        startIO();
    else
        stopIO();
}

bool TarnMIDIEndpoint::processMIDIPacketList(const midi::MIDIPacketList&, const void*) { return false; }

void TarnMIDIEndpoint::deliverToReceivers(const midi::MIDIPacketList& list) {
    std::lock_guard lock(lock_);
    // The strong references are taken first: a receiver that goes away during the delivery (its
    // owner let go of it) leaves the map while nobody walks it.
    delivering_.clear();
    for (const auto& [key, weak] : receivers_)
        if (auto receiver = weak.lock()) delivering_.push_back(std::move(receiver));
    for (const auto& receiver : delivering_) receiver->processMIDIPacketList(list, *this);
    delivering_.clear();
}

void TarnMIDIEndpoint::setPropertiesFrom(const midi::EndpointInfo& info) {
    uniqueID_ = info.uniqueID;
    name_ = info.name;
    if (!info.connectedNames.empty())
        displayName_ = info.connectedNames;
    else if (!info.name.empty())
        displayName_ = info.name;
    else
        displayName_ = kUnknownDevice;
}

void TarnMIDIEndpoint::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeString(name_, kNameKey);
    coder.encodeString(displayName_, kDisplayNameKey);
    coder.encodeInt32(uniqueID_, kUniqueIDKey);
}

void TarnMIDIEndpoint::initWithCoder(foundation::KeyedUnarchiver& coder) {
    name_ = coder.decodeString(kNameKey).value_or("");
    displayName_ = coder.decodeString(kDisplayNameKey).value_or(name_);
    uniqueID_ = coder.decodeInt32(kUniqueIDKey);
}

// ---- real endpoints -----------------------------------------------------------------------------

void TarnMIDIRealEndpoint::initWith(const std::shared_ptr<TarnMIDIManager>& manager, const midi::EndpointInfo& info) {
    setManager(manager);
    midiEndpointRef_ = info.ref;
    offline_ = info.offline;
    setPropertiesFrom(info);
}

void TarnMIDIRealEndpoint::initWith(const std::shared_ptr<TarnMIDIManager>& manager,
                                    const TarnMIDIEndpointDescriptor& descriptor) {
    setManager(manager);
    name_ = descriptor.name();
    displayName_ = descriptor.name();
    uniqueID_ = descriptor.uniqueID();
    midiEndpointRef_ = 0;
}

void TarnMIDIRealEndpoint::syncWithMIDIEndpoint(const std::vector<midi::EndpointInfo>& current) {
    std::lock_guard lock(lock_);
    const midi::EndpointInfo* found = nullptr;
    if (midiEndpointRef_ != 0) {
        for (const auto& info : current)
            if (info.ref == midiEndpointRef_) found = &info;
    }
    auto manager = this->manager();
    auto isOwn = [&](const midi::EndpointInfo& info) { return manager && manager->isOwnEndpoint(info.ref); };
    if (!found) {
        for (const auto& info : current)
            if (!found && info.uniqueID == uniqueID_ && !isOwn(info)) found = &info;
    }
    if (!found) {
        for (const auto& info : current)
            if (!found && info.name == name_ && !isOwn(info)) found = &info;
    }
    const midi::EndpointRef ref = found ? found->ref : 0;
    if (ref != midiEndpointRef_) {
        stopIO();
        midiEndpointRef_ = ref;
        if (isInUse()) startIO();
    }
    if (found) {
        offline_ = found->offline;
        setPropertiesFrom(*found);
    }
}

std::shared_ptr<foundation::Object> TarnMIDIRealEndpoint::replacementAfterDecoding() {
    auto manager = TarnMIDIManager::shared();
    std::shared_ptr<foundation::Object> shared;
    if (isSourceKind()) {
        shared = manager->realSourceWithDescriptor(descriptor());
    } else {
        shared = manager->realDestinationWithDescriptor(descriptor());
    }
    return shared ? shared : shared_from_this();
}

TarnMIDIRealSource::~TarnMIDIRealSource() { port_.reset(); }

void TarnMIDIRealSource::startIO() {
    if (midiEndpointRef_ == 0 || port_) return;
    auto manager = this->manager();
    if (!manager || !manager->backend()) return;
    std::weak_ptr<TarnMIDIRealSource> weak = std::static_pointer_cast<TarnMIDIRealSource>(shared_from_this());
    port_ =
        manager->backend()->connectSource(kInputPortName, midiEndpointRef_, [weak](const midi::MIDIPacketList& list) {
            if (auto source = weak.lock()) source->processMIDIPacketList(list, nullptr);
        });
}

void TarnMIDIRealSource::stopIO() { port_.reset(); }

bool TarnMIDIRealSource::ioIsRunning() const {
    std::lock_guard lock(lock_);
    return port_ != nullptr;
}

bool TarnMIDIRealSource::processMIDIPacketList(const midi::MIDIPacketList& list, const void*) {
    deliverToReceivers(list);
    return true;
}

TarnMIDIRealDestination::~TarnMIDIRealDestination() { port_.reset(); }

void TarnMIDIRealDestination::startIO() {
    if (midiEndpointRef_ == 0 || port_) return;
    auto manager = this->manager();
    if (!manager || !manager->backend()) return;
    port_ = manager->backend()->connectDestination(kOutputPortName, midiEndpointRef_);
}

void TarnMIDIRealDestination::stopIO() { port_.reset(); }

bool TarnMIDIRealDestination::ioIsRunning() const {
    std::lock_guard lock(lock_);
    return port_ != nullptr;
}

bool TarnMIDIRealDestination::processMIDIPacketList(const midi::MIDIPacketList& list, const void*) {
    std::lock_guard lock(lock_);
    if (midiEndpointRef_ == 0 || !port_) return false;
    return port_->send(list);
}

// ---- virtual endpoints --------------------------------------------------------------------------

void TarnMIDIVirtualEndpoint::initWith(const std::shared_ptr<TarnMIDIManager>& manager, const std::string& name,
                                       midi::MidiBackend::VirtualEndpoint* backendEndpoint) {
    setManager(manager);
    backendEndpoint_ = backendEndpoint;
    midiEndpointRef_ = backendEndpoint ? backendEndpoint->ref() : 0;
    name_ = name;
    displayName_ = name;
    manager->setNotificationsEnabled(false);
    // The systems underneath give the program's own endpoints no ID; each gets one nobody uses.
    uniqueID_ = manager->allocateUniqueID();
    manager->registerVirtualEndpoint(std::static_pointer_cast<TarnMIDIVirtualEndpoint>(shared_from_this()));
    manager->setNotificationsEnabled(true);
}

bool TarnMIDIVirtualEndpoint::isPrivate() const { return backendEndpoint_ && backendEndpoint_->isPrivate(); }

bool TarnMIDIVirtualEndpoint::setPrivate(bool isPrivate) {
    return backendEndpoint_ && backendEndpoint_->setPrivate(isPrivate);
}

bool TarnMIDIVirtualEndpoint::setName(const std::string& name) {
    if (backendEndpoint_ && !backendEndpoint_->setName(name)) return false;
    return TarnMIDIEndpoint::setName(name);
}

std::shared_ptr<TarnMIDIVirtualSource> TarnMIDIVirtualSource::create(const std::shared_ptr<TarnMIDIManager>& manager,
                                                                     const std::string& name) {
    auto endpoint = std::make_shared<TarnMIDIVirtualSource>();
    if (manager->backend()) endpoint->source_ = manager->backend()->createVirtualSource(name);
    endpoint->initWith(manager, name, endpoint->source_.get());
    return endpoint;
}

bool TarnMIDIVirtualSource::processMIDIPacketList(const midi::MIDIPacketList& list, const void*) {
    if (!ioIsRunning_ || !source_) return false;
    return source_->received(list);
}

TarnMIDIVirtualDestination::~TarnMIDIVirtualDestination() {
    // The system's endpoint goes first, so that no delivery starts on a half-destroyed object.
    destination_.reset();
}

std::shared_ptr<TarnMIDIVirtualDestination> TarnMIDIVirtualDestination::create(
    const std::shared_ptr<TarnMIDIManager>& manager, const std::string& name) {
    auto endpoint = std::make_shared<TarnMIDIVirtualDestination>();
    if (manager->backend()) {
        std::weak_ptr<TarnMIDIVirtualDestination> weak = endpoint;
        endpoint->destination_ =
            manager->backend()->createVirtualDestination(name, [weak](const midi::MIDIPacketList& list) {
                if (auto destination = weak.lock()) destination->processMIDIPacketList(list, nullptr);
            });
    }
    endpoint->initWith(manager, name, endpoint->destination_.get());
    return endpoint;
}

bool TarnMIDIVirtualDestination::processMIDIPacketList(const midi::MIDIPacketList& list, const void*) {
    if (!ioIsRunning_) return false;
    deliverToReceivers(list);
    return true;
}

// ---- endpoint sets ------------------------------------------------------------------------------

TarnMIDIEndpointPtr TarnMIDIEndpointSet::endpointWithDescriptor(const TarnMIDIEndpointDescriptor& descriptor) const {
    for (const auto& endpoint : endpointArray_)
        if (endpoint->uniqueID() == descriptor.uniqueID()) return endpoint;
    for (const auto& endpoint : endpointArray_)
        if (endpoint->name() == descriptor.name()) return endpoint;
    return nullptr;
}

foundation::ObjectPtr TarnMIDIEndpointSet::archiverWillEncodeObject(const foundation::ObjectPtr& object) const {
    for (const auto& endpoint : endpointArray_)
        if (endpoint == object)
            return TarnMIDIEndpointDescriptor::descriptorWithName(endpoint->name(), endpoint->uniqueID());
    return object;
}

foundation::ObjectPtr TarnMIDIEndpointSet::unarchiverDidDecodeObject(const foundation::ObjectPtr& object) const {
    // Exactly a descriptor: a subclass would be something else that happens to descend from it.
    if (!object || object->archivedClassName() != TarnMIDIEndpointDescriptor::kArchivedClassName) return object;
    return endpointWithDescriptor(static_cast<const TarnMIDIEndpointDescriptor&>(*object));
}
