#pragma once
// MIDI sources and destinations as objects the rest of the program keeps.
//
// An endpoint has receivers (objects that get the MIDI it delivers) and senders (objects that
// send through it) and runs its I/O exactly while it has at least one of either. Real endpoints
// stand for the machine's ports: one object per port for the life of the process, which follows
// the port when it vanishes (offline) and takes the new handle when it comes back. Virtual
// endpoints are the program's own, seen by other programs. Real endpoints archive as name and
// unique ID and decode to the process's live object.
//
// Locking: deliveries run on a backend thread and hold the endpoint's lock while they call the
// receivers; adding and removing receivers and senders take the same lock, so a receiver is never
// called after removeReceiver() returned. A receiver may take its own lock inside a delivery
// (endpoint, then receiver); nothing takes an endpoint's lock while holding a receiver's.

#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"
#include "midi/backends/MidiBackend.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class TarnMIDIEndpoint;
class TarnMIDIManager;
using TarnMIDIEndpointPtr = std::shared_ptr<TarnMIDIEndpoint>;

// What receives an endpoint's MIDI.
class TarnMIDIReceiver {
public:
    virtual ~TarnMIDIReceiver() = default;
    // On a backend thread, under the sender's lock.
    virtual void processMIDIPacketList(const midi::MIDIPacketList& list, TarnMIDIEndpoint& sender) = 0;
};

// An endpoint as a document remembers it.
class TarnMIDIEndpointDescriptor : public foundation::Object {
    FND_ARCHIVED_CLASS("TarnMIDIEndpointDescriptor", foundation::Object)

public:
    TarnMIDIEndpointDescriptor() = default;
    TarnMIDIEndpointDescriptor(std::string name, int32_t uniqueID) : uniqueID_(uniqueID), name_(std::move(name)) {}
    static std::shared_ptr<TarnMIDIEndpointDescriptor> descriptorWithName(std::string name, int32_t uniqueID) {
        return std::make_shared<TarnMIDIEndpointDescriptor>(std::move(name), uniqueID);
    }

    int32_t uniqueID() const { return uniqueID_; }
    const std::string& name() const { return name_; }

    // "name", "uniqueID".
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    int32_t uniqueID_ = 0;
    std::string name_;
};

class TarnMIDIEndpoint : public foundation::Object {
    FND_ARCHIVED_CLASS("TarnMIDIEndpoint", foundation::Object)

public:
    TarnMIDIEndpoint() = default;
    explicit TarnMIDIEndpoint(std::string name, int32_t uniqueID = 0);
    ~TarnMIDIEndpoint() override;

    TarnMIDIEndpointDescriptor descriptor() const { return {name_, uniqueID_}; }
    int32_t uniqueID() const { return uniqueID_; }
    midi::EndpointRef midiEndpointRef() const { return midiEndpointRef_; }
    const std::string& name() const { return name_; }
    // "%@ (offline)" while offline.
    std::string displayName() const;
    const std::string& storedDisplayName() const { return displayName_; }

    // Renames the endpoint in the system; on success both names become `name`.
    virtual bool setName(const std::string& name);
    // Gives the endpoint another unique ID; refused (logged, the old one stays) when the ID is in
    // use by another endpoint.
    bool setUniqueID(int32_t uniqueID);

    virtual bool isOffline() const { return midiEndpointRef_ == 0; }
    bool isOnline() const { return !isOffline(); }
    bool isInUse() const;
    bool isOnlineOrInUse() const { return isOnline() || isInUse(); }
    // Case-insensitive order of the display names.
    bool compareByDisplayName(const TarnMIDIEndpoint& other) const;

    void addReceiver(const std::shared_ptr<TarnMIDIReceiver>& receiver);
    void removeReceiver(const TarnMIDIReceiver* receiver);
    void addSender(const std::shared_ptr<void>& sender);
    void removeSender(const void* sender);
    size_t countOfReceivers() const;
    size_t countOfSenders() const;
    // Starts the I/O while there is a sender or a receiver, else stops it.
    void startOrStopIO();

    // Sends or delivers the list; YES when it went through.
    virtual bool processMIDIPacketList(const midi::MIDIPacketList& list, const void* sender);
    virtual bool ioIsRunning() const { return false; }

    // "name", "displayName", "uniqueID".
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

protected:
    virtual void startIO() {}
    virtual void stopIO() {}
    // Delivers the list to every receiver, under the lock.
    void deliverToReceivers(const midi::MIDIPacketList& list);
    std::shared_ptr<TarnMIDIManager> manager() const { return manager_.lock(); }
    void setManager(const std::shared_ptr<TarnMIDIManager>& manager) { manager_ = manager; }
    void setPropertiesFrom(const midi::EndpointInfo& info);

    mutable std::recursive_mutex lock_;
    int32_t uniqueID_ = 0;
    midi::EndpointRef midiEndpointRef_ = 0;
    std::string name_;
    std::string displayName_;

private:
    std::weak_ptr<TarnMIDIManager> manager_;
    std::map<const void*, std::weak_ptr<TarnMIDIReceiver>> receivers_;
    std::map<const void*, std::weak_ptr<void>> senders_;
    // The receivers of the delivery under way; kept to reuse its storage.
    std::vector<std::shared_ptr<TarnMIDIReceiver>> delivering_;
};

// ---- real endpoints -----------------------------------------------------------------------------

class TarnMIDIRealEndpoint : public TarnMIDIEndpoint {
    FND_ARCHIVED_CLASS("TarnMIDIRealEndpoint", TarnMIDIEndpoint)

public:
    TarnMIDIRealEndpoint() = default;

    bool isOffline() const override { return midiEndpointRef_ == 0 || offline_; }

    // Follows the machine's port after a setup change: keeps the handle while it is still listed,
    // else finds the port by unique ID, then by full name (none: offline). A changed handle
    // restarts the I/O when the endpoint is in use.
    void syncWithMIDIEndpoint(const std::vector<midi::EndpointInfo>& current);

    // The live object of the process for this decoded one.
    std::shared_ptr<foundation::Object> replacementAfterDecoding() override;

protected:
    // Set from a port of the machine, or from a descriptor (offline, display name = name).
    void initWith(const std::shared_ptr<TarnMIDIManager>& manager, const midi::EndpointInfo& info);
    void initWith(const std::shared_ptr<TarnMIDIManager>& manager, const TarnMIDIEndpointDescriptor& descriptor);
    virtual bool isSourceKind() const = 0;

    bool offline_ = false;

    friend class TarnMIDIManager;
};

class TarnMIDIRealSource final : public TarnMIDIRealEndpoint {
    FND_ARCHIVED_CLASS("TarnMIDIRealSource", TarnMIDIRealEndpoint)

public:
    TarnMIDIRealSource() = default;
    ~TarnMIDIRealSource() override;

    // Every receiver gets the list with this source as the sender; YES.
    bool processMIDIPacketList(const midi::MIDIPacketList& list, const void* sender) override;
    bool ioIsRunning() const override;

    static constexpr const char* kInputPortName = "QuorbitalPhySrc";

protected:
    void startIO() override;
    void stopIO() override;
    bool isSourceKind() const override { return true; }

private:
    std::unique_ptr<midi::MidiBackend::InputPort> port_;
};

class TarnMIDIRealDestination final : public TarnMIDIRealEndpoint {
    FND_ARCHIVED_CLASS("TarnMIDIRealDestination", TarnMIDIRealEndpoint)

public:
    TarnMIDIRealDestination() = default;
    ~TarnMIDIRealDestination() override;

    // Sends the list through the output port; NO without a port.
    bool processMIDIPacketList(const midi::MIDIPacketList& list, const void* sender) override;
    bool ioIsRunning() const override;

    static constexpr const char* kOutputPortName = "QuorbitalPhyDst";

protected:
    void startIO() override;
    void stopIO() override;
    bool isSourceKind() const override { return false; }

private:
    std::unique_ptr<midi::MidiBackend::OutputPort> port_;
};

// ---- virtual endpoints ---------------------------------------------------------------------------

class TarnMIDIVirtualEndpoint : public TarnMIDIEndpoint {
    FND_ARCHIVED_CLASS("TarnMIDIVirtualEndpoint", TarnMIDIEndpoint)

public:
    bool ioIsRunning() const override { return ioIsRunning_; }
    bool setName(const std::string& name) override;
    // A virtual endpoint is there while the program runs, whether the system took it or not.
    bool isOffline() const override { return false; }
    // Hidden from other programs, as the system keeps it. Setting it answers NO where the system
    // cannot hide an endpoint (JACK) or refused; the endpoint then stays as it was.
    bool isPrivate() const;
    bool setPrivate(bool isPrivate);

protected:
    void startIO() override { ioIsRunning_ = true; }
    void stopIO() override { ioIsRunning_ = false; }
    // Registers with the manager and takes a unique ID nobody uses.
    void initWith(const std::shared_ptr<TarnMIDIManager>& manager, const std::string& name,
                  midi::MidiBackend::VirtualEndpoint* backendEndpoint);

    std::atomic<bool> ioIsRunning_{false};
    midi::MidiBackend::VirtualEndpoint* backendEndpoint_ = nullptr;
};

class TarnMIDIVirtualSource final : public TarnMIDIVirtualEndpoint {
    FND_ARCHIVED_CLASS("TarnMIDIVirtualSource", TarnMIDIVirtualEndpoint)

public:
    TarnMIDIVirtualSource() = default;
    static std::shared_ptr<TarnMIDIVirtualSource> create(const std::shared_ptr<TarnMIDIManager>& manager,
                                                         const std::string& name);
    // Publishes the list while the I/O runs; NO otherwise or when the system refused.
    bool processMIDIPacketList(const midi::MIDIPacketList& list, const void* sender) override;

private:
    std::unique_ptr<midi::MidiBackend::VirtualSource> source_;
};

class TarnMIDIVirtualDestination final : public TarnMIDIVirtualEndpoint {
    FND_ARCHIVED_CLASS("TarnMIDIVirtualDestination", TarnMIDIVirtualEndpoint)

public:
    TarnMIDIVirtualDestination() = default;
    ~TarnMIDIVirtualDestination() override;
    static std::shared_ptr<TarnMIDIVirtualDestination> create(const std::shared_ptr<TarnMIDIManager>& manager,
                                                              const std::string& name);
    // While the I/O runs, every receiver gets the list with this destination as the sender; YES.
    bool processMIDIPacketList(const midi::MIDIPacketList& list, const void* sender) override;

private:
    std::unique_ptr<midi::MidiBackend::VirtualDestination> destination_;
};

// ---- endpoint sets -------------------------------------------------------------------------------

// A list of endpoints that stands in for them in an archive: endpoints are written as their
// descriptors and descriptors read back as the matching endpoint of the list.
class TarnMIDIEndpointSet {
public:
    explicit TarnMIDIEndpointSet(std::vector<TarnMIDIEndpointPtr> endpoints) : endpointArray_(std::move(endpoints)) {}
    template <class T>
    static TarnMIDIEndpointSet endpointSetWithArray(const std::vector<std::shared_ptr<T>>& endpoints) {
        return TarnMIDIEndpointSet(std::vector<TarnMIDIEndpointPtr>(endpoints.begin(), endpoints.end()));
    }

    const std::vector<TarnMIDIEndpointPtr>& endpointArray() const { return endpointArray_; }
    // The first endpoint with the descriptor's unique ID, else the first with its name, else null.
    TarnMIDIEndpointPtr endpointWithDescriptor(const TarnMIDIEndpointDescriptor& descriptor) const;

    // What the archiver writes for `object`: an endpoint of the list becomes its descriptor.
    foundation::ObjectPtr archiverWillEncodeObject(const foundation::ObjectPtr& object) const;
    // What the unarchiver hands on for `object`: a descriptor becomes the matching endpoint (null
    // when none matches); any other object stays.
    foundation::ObjectPtr unarchiverDidDecodeObject(const foundation::ObjectPtr& object) const;

private:
    std::vector<TarnMIDIEndpointPtr> endpointArray_;
};
