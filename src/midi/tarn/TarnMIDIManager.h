#pragma once
// The process's MIDI client "Quorbital" and its live lists of the machine's sources and
// destinations. The lists only grow: a port that vanishes keeps its object, shown offline, and
// the object takes the port's new handle when it comes back, so documents may hold on to it.
//
// Setup changes arrive on a backend thread; they are brought to the main run loop, where the
// lists are updated and "TarnMIDISetupChanged" is posted. Changes that arrive while one is being
// handled make one more pass, not one each.
//
// Without a MIDI system (no backend, or one that refused the client) the manager still exists:
// ports that documents name become offline placeholders, so that saving a document keeps them.

#include "midi/backends/MidiBackend.h"
#include "midi/tarn/TarnMIDIEndpoint.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class TarnMIDIManager : public std::enable_shared_from_this<TarnMIDIManager> {
    struct Key {};

public:
    static constexpr const char* kClientName = "Quorbital";
    static constexpr const char* kSetupChangedNotification = "TarnMIDISetupChanged";
    // The virtual source every document sends through.
    static constexpr const char* kSharedVirtualSourceName = "Quorbital Out";
    static constexpr int32_t kSharedVirtualSourceUniqueID = 96474224;  // 0x05C01470

    // The process's manager, opened on the shared backend on first use.
    static std::shared_ptr<TarnMIDIManager> shared();
    // Replaces the process's manager (tests run each on a backend of their own).
    static void setShared(std::shared_ptr<TarnMIDIManager> manager);
    // A manager on `backend` (null: no MIDI). Call on the main thread.
    static std::shared_ptr<TarnMIDIManager> create(std::shared_ptr<midi::MidiBackend> backend);

    TarnMIDIManager(Key, std::shared_ptr<midi::MidiBackend> backend);
    ~TarnMIDIManager();

    // Null when MIDI is off.
    const std::shared_ptr<midi::MidiBackend>& backend() const { return backend_; }

    // ---- the lists (main thread)
    const std::vector<std::shared_ptr<TarnMIDIRealSource>>& realSources() const { return realSources_; }
    const std::vector<std::shared_ptr<TarnMIDIRealDestination>>& realDestinations() const { return realDestinations_; }
    void updateRealSources();
    void updateRealDestinations();
    std::shared_ptr<TarnMIDIRealSource> realSourceWithMIDIEndpointRef(midi::EndpointRef ref) const;
    std::shared_ptr<TarnMIDIRealDestination> realDestinationWithMIDIEndpointRef(midi::EndpointRef ref) const;
    std::vector<std::shared_ptr<TarnMIDIRealSource>> realSourcesOnlineOrInUse() const;
    std::vector<std::shared_ptr<TarnMIDIRealDestination>> realDestinationsOnlineOrInUse() const;
    // The endpoint the descriptor names (by unique ID, then by name); when none does, a new
    // offline placeholder appended to the list.
    std::shared_ptr<TarnMIDIRealSource> realSourceWithDescriptor(const TarnMIDIEndpointDescriptor& descriptor);
    std::shared_ptr<TarnMIDIRealDestination> realDestinationWithDescriptor(
        const TarnMIDIEndpointDescriptor& descriptor);

    // ---- setup changes
    bool areNotificationsEnabled() const { return notificationsEnabled_; }
    void setNotificationsEnabled(bool enabled) { notificationsEnabled_ = enabled; }
    // A setup change from the backend, on any thread.
    void setupChanged();
    // Updates the lists and posts the notification, once more for changes that came meanwhile.
    void processMIDINotification();

    // ---- the program's own endpoints
    // "Quorbital Out", made on first use.
    std::shared_ptr<TarnMIDIVirtualSource> sharedVirtualSource();
    // Whether the handle is one of the program's virtual endpoints.
    bool isOwnEndpoint(midi::EndpointRef ref) const;
    // Whether any source or destination, the program's own included, has the ID (`except` aside).
    bool isUniqueIDInUse(int32_t uniqueID, const TarnMIDIEndpoint* except = nullptr) const;
    // time(NULL) plus a process-wide counter, until the result is not in use.
    int32_t allocateUniqueID() const;
    void registerVirtualEndpoint(const std::shared_ptr<TarnMIDIVirtualEndpoint>& endpoint);

    // ---- note names: "C-2" for note 0, "C3" for 60, "G8" for 127, "#err" from 128 on.
    static std::string nameOfNote(unsigned note);
    static const std::array<std::string, 128>& noteNames();

private:
    template <class T>
    void updateList(std::vector<std::shared_ptr<T>>& list, const std::vector<midi::EndpointInfo>& current);
    template <class T>
    std::shared_ptr<T> withDescriptor(std::vector<std::shared_ptr<T>>& list,
                                      const TarnMIDIEndpointDescriptor& descriptor);
    void open();

    std::shared_ptr<midi::MidiBackend> backend_;
    std::vector<std::shared_ptr<TarnMIDIRealSource>> realSources_;
    std::vector<std::shared_ptr<TarnMIDIRealDestination>> realDestinations_;
    bool notificationsEnabled_ = false;
    std::atomic<bool> changePending_{false};

    mutable std::mutex virtualLock_;
    std::vector<std::weak_ptr<TarnMIDIVirtualEndpoint>> virtualEndpoints_;
    std::set<midi::EndpointRef> ownRefs_;
    std::mutex sharedSourceLock_;
    std::shared_ptr<TarnMIDIVirtualSource> sharedVirtualSource_;
};
