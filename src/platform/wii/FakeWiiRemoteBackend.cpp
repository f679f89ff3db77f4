#include "platform/wii/FakeWiiRemoteBackend.h"

#include "foundation/RunLoop.h"

#include <algorithm>
#include <functional>

namespace platform {

namespace {

// Runs `fn` from the main run loop unless the object owning `alive` has gone by then.
void later(const std::shared_ptr<bool>& alive, std::function<void()> fn) {
    foundation::RunLoop::main().post([alive, fn = std::move(fn)] {
        if (*alive) fn();
    });
}

}  // namespace

// ---- A remote's connection ---------------------------------------------------------------------

struct FakeWiiRemote::Connection final : devices::WiiRemoteConnection {
    std::shared_ptr<FakeWiiRemote> remote;
    Callbacks callbacks;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    explicit Connection(std::shared_ptr<FakeWiiRemote> r) : remote(std::move(r)) {}
    ~Connection() override {
        *alive = false;
        if (remote->connection_ == this) {
            remote->connection_ = nullptr;
            remote->connected_ = false;
        }
    }

    int connect(Callbacks cbs) override {
        if (remote->connectResult_ != 0) return remote->connectResult_;
        callbacks = std::move(cbs);
        remote->connection_ = this;
        later(alive, [this] {
            remote->connected_ = true;
            if (callbacks.connected) callbacks.connected();
        });
        return 0;
    }
    bool isConnected() const override { return remote->connection_ == this && remote->connected_; }
    std::string address() const override { return remote->address_; }
    devices::WiiHIDDevicePtr device() const override { return remote; }
    void refreshStatus() override { ++remote->statusRequests_; }
    void setIRSensitivity(int64_t sensitivity) override { remote->irSensitivity_ = sensitivity; }
    void setAcceptsAccelerometerEvents(bool on) override { remote->acceptsAccelerometer_ = on; }
    void setAcceptsIRCameraEvents(bool on) override { remote->acceptsIRCamera_ = on; }
    void setAcceptsMotionPlusEvents(bool on) override { remote->acceptsMotionPlus_ = on; }
    std::optional<int64_t> extensionType() const override { return remote->extensionType_; }
    void setMotionPlusMode(int64_t mode) override { remote->motionPlusMode_ = mode; }
    void setMotionPlusFilterSensitivity(double sensitivity) override {
        remote->motionPlusFilterSensitivity_ = sensitivity;
    }
    void resetMotionPlusTracking() override { ++remote->trackingResets_; }
    void setLeds(uint8_t mask) override { remote->leds_ = mask; }
    void setRumbleEnabled(bool on) override { remote->rumble_ = on; }
};

void FakeWiiRemote::sendReport(std::vector<devices::WiiEvent> events) {
    if (!connection_ || !connected_) return;
    Connection* connection = connection_;
    // One report: the events between the two brackets, in one pass of the run loop, as the
    // real stack delivers them.
    later(connection->alive, [connection, alive = connection->alive, events = std::move(events)] {
        const auto callbacks = connection->callbacks;
        if (callbacks.willInterpretReport) callbacks.willInterpretReport();
        for (const auto& event : events) {
            // A callback may close the slot and with it this connection.
            if (!*alive) return;
            if (callbacks.event) callbacks.event(event);
        }
        if (*alive && callbacks.didInterpretReport) callbacks.didInterpretReport();
    });
}

void FakeWiiRemote::disconnect() {
    if (!connection_ || !connected_) return;
    connected_ = false;
    Connection* connection = connection_;
    later(connection->alive, [connection] {
        if (connection->callbacks.disconnected) connection->callbacks.disconnected();
    });
}

void FakeWiiRemote::close() {
    closed_ = true;
    disconnect();
}

// ---- Discovery and HID managers ----------------------------------------------------------------

struct FakeWiiRemoteBackend::Discovery final : devices::WiiDiscovery {
    std::weak_ptr<FakeWiiRemoteBackend> backend;
    Callbacks callbacks;
    bool running = false;
    bool resetting = false;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    ~Discovery() override {
        *alive = false;
        if (auto b = backend.lock()) b->discoveries_.erase(this);
    }
    bool canStart() const override {
        auto b = backend.lock();
        return b && b->adapterOn_;
    }
    void start(bool resetPairing) override {
        if (running || !canStart()) return;
        if (auto b = backend.lock(); b && !b->discoveriesStart_) return;
        running = true;
        resetting = resetPairing;
        later(alive, [this] {
            if (callbacks.runningChanged) callbacks.runningChanged(true);
        });
    }
    void stop() override { end(0); }
    void end(int error) {
        if (!running) return;
        running = false;
        later(alive, [this, error] {
            if (callbacks.stopped) callbacks.stopped(error);
            if (callbacks.runningChanged) callbacks.runningChanged(false);
        });
    }
    bool isRunning() const override { return running; }
    bool pairingReset() const override { return running && resetting; }
};

struct FakeWiiRemoteBackend::HIDManager final : devices::WiiHIDManager {
    std::weak_ptr<FakeWiiRemoteBackend> backend;
    Callbacks callbacks;
    bool opened = false;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    ~HIDManager() override {
        *alive = false;
        if (auto b = backend.lock()) b->hidManagers_.erase(this);
    }
    void open() override {
        if (opened) return;
        opened = true;
        // The remotes already within reach are found as the manager opens.
        if (auto b = backend.lock())
            for (const auto& remote : b->remotes_) tell(remote, true);
    }
    void close() override { opened = false; }
    void tell(const std::shared_ptr<FakeWiiRemote>& remote, bool found) {
        later(alive, [this, remote, found] {
            if (!opened) return;
            const auto& callback = found ? callbacks.found : callbacks.lost;
            if (callback) callback(remote);
        });
    }
};

std::shared_ptr<FakeWiiRemote> FakeWiiRemoteBackend::plugRemote(const std::string& address) {
    auto remote = std::make_shared<FakeWiiRemote>(address);
    remotes_.push_back(remote);
    for (HIDManager* manager : hidManagers_)
        if (manager->opened) manager->tell(remote, true);
    return remote;
}

void FakeWiiRemoteBackend::unplugRemote(const std::shared_ptr<FakeWiiRemote>& remote) {
    auto it = std::find(remotes_.begin(), remotes_.end(), remote);
    if (it == remotes_.end()) return;
    remotes_.erase(it);
    remote->disconnect();
    for (HIDManager* manager : hidManagers_)
        if (manager->opened) manager->tell(remote, false);
}

void FakeWiiRemoteBackend::endDiscoveries(int error) {
    for (Discovery* discovery : std::set<Discovery*>(discoveries_)) discovery->end(error);
}

size_t FakeWiiRemoteBackend::openHIDManagers() const {
    return static_cast<size_t>(
        std::count_if(hidManagers_.begin(), hidManagers_.end(), [](const HIDManager* m) { return m->opened; }));
}

size_t FakeWiiRemoteBackend::runningDiscoveries() const {
    return static_cast<size_t>(
        std::count_if(discoveries_.begin(), discoveries_.end(), [](const Discovery* d) { return d->running; }));
}

std::unique_ptr<devices::WiiDiscovery> FakeWiiRemoteBackend::makeDiscovery(devices::WiiDiscovery::Callbacks callbacks) {
    if (!adapterPresent_) return nullptr;
    auto discovery = std::make_unique<Discovery>();
    discovery->backend = weak_from_this();
    discovery->callbacks = std::move(callbacks);
    discoveries_.insert(discovery.get());
    return discovery;
}

std::unique_ptr<devices::WiiHIDManager> FakeWiiRemoteBackend::makeHIDManager(
    devices::WiiHIDManager::Callbacks callbacks) {
    auto manager = std::make_unique<HIDManager>();
    manager->backend = weak_from_this();
    manager->callbacks = std::move(callbacks);
    hidManagers_.insert(manager.get());
    return manager;
}

std::unique_ptr<devices::WiiRemoteConnection> FakeWiiRemoteBackend::makeConnection(
    const devices::WiiHIDDevicePtr& device) {
    auto remote = std::dynamic_pointer_cast<FakeWiiRemote>(device);
    if (!remote) return nullptr;
    remote->closed_ = false;
    return std::make_unique<FakeWiiRemote::Connection>(std::move(remote));
}

}  // namespace platform
