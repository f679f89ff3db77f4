#include "controllers/devices/DeviceLayers.h"

#include "foundation/Resources.h"
#include "foundation/Task.h"

namespace devices {

namespace {

class NoWiiRemoteBackend final : public WiiRemoteBackend {
public:
    std::unique_ptr<WiiDiscovery> makeDiscovery(WiiDiscovery::Callbacks) override { return nullptr; }
    std::unique_ptr<WiiHIDManager> makeHIDManager(WiiHIDManager::Callbacks) override {
        // Open or closed, it never finds a remote.
        class Manager final : public WiiHIDManager {
        public:
            void open() override {}
            void close() override {}
        };
        return std::make_unique<Manager>();
    }
    std::unique_ptr<WiiRemoteConnection> makeConnection(const WiiHIDDevicePtr&) override { return nullptr; }
};

class NoSpaceMouseDriver final : public SpaceMouseDriver {
public:
    bool available() const override { return false; }
    void setStateHandler(std::function<void(const SpaceMouseState&)>) override {}
    void removeStateHandler() override {}
    uint16_t registerClient(const std::string&) override { return 0; }
    void unregisterClient(uint16_t) override {}
    int32_t deviceID(uint16_t) override { return 0; }
};

class NoEventPoster final : public EventPoster {
public:
    void postKey(const KeyEvent&) override {}
    bool postKeyToApplication(const KeyEvent&, const std::string&) override { return false; }
    // Without a desktop there is no key repeat.
    double keyRepeatThreshold() const override { return 0; }
    double keyRepeatInterval() const override { return 0; }
    DesktopPoint pointerLocation() const override { return {}; }
    void postMouse(const MouseEvent&) override {}
    void postScrollSteps(int32_t, int32_t) override {}
    void postScrollPixels(int32_t, int32_t) override {}
    // No double clicks either.
    double doubleClickInterval() const override { return 0; }
    std::vector<DisplayInfo> activeDisplays() const override { return {}; }
    void setDisplaysChangedHandler(std::function<void()>) override {}
};

class NoKeyboard final : public Keyboard {
public:
    std::optional<std::string> keyText(uint32_t, bool) const override { return std::nullopt; }
    XKeymapState keysDown() const override { return {}; }
    // Without a desktop no other program holds a shortcut.
    HotKeyProbe probeHotKey(uint32_t, uint64_t) override { return HotKeyProbe::Free; }
};

class NoJoystickDriver final : public JoystickDriver {
public:
    Lookup findJoysticks() override { return {}; }
};

class TaskTabletDaemon final : public TabletDaemon {
public:
    explicit TaskTabletDaemon(std::shared_ptr<foundation::Task> task) : task_(std::move(task)) {}
    bool isRunning() const override { return task_->isRunning(); }
    void terminate() override { task_->terminate(); }

private:
    std::shared_ptr<foundation::Task> task_;
};

class TaskTabletDaemonLauncher final : public TabletDaemonLauncher {
public:
    std::shared_ptr<TabletDaemon> launch(const std::string& name, const std::vector<std::string>& arguments) override {
        auto task = foundation::Task::create();
        task->setLaunchPath(foundation::Resources::pathForHelper(name));
        task->setArguments(arguments);
        task->launch();
        return std::make_shared<TaskTabletDaemon>(std::move(task));
    }
};

DeviceLayers withDefaults(DeviceLayers layers) {
    if (!layers.fireWire) layers.fireWire = noFireWireBus();
    if (!layers.wiiRemotes) layers.wiiRemotes = noWiiRemoteBackend();
    if (!layers.spaceMouse) layers.spaceMouse = noSpaceMouseDriver();
    if (!layers.tabletDaemon) layers.tabletDaemon = taskTabletDaemonLauncher();
    if (!layers.events) layers.events = noEventPoster();
    if (!layers.joysticks) layers.joysticks = noJoystickDriver();
    if (!layers.keyboard) layers.keyboard = noKeyboard();
    return layers;
}

DeviceLayers& installed() {
    static DeviceLayers layers = withDefaults({});
    return layers;
}

}  // namespace

const DeviceLayers& DeviceLayers::current() { return installed(); }

void DeviceLayers::install(DeviceLayers layers) { installed() = withDefaults(std::move(layers)); }

std::shared_ptr<WiiRemoteBackend> noWiiRemoteBackend() {
    static const auto backend = std::make_shared<NoWiiRemoteBackend>();
    return backend;
}

std::shared_ptr<SpaceMouseDriver> noSpaceMouseDriver() {
    static const auto driver = std::make_shared<NoSpaceMouseDriver>();
    return driver;
}

std::shared_ptr<EventPoster> noEventPoster() {
    static const auto poster = std::make_shared<NoEventPoster>();
    return poster;
}

std::shared_ptr<JoystickDriver> noJoystickDriver() {
    static const auto driver = std::make_shared<NoJoystickDriver>();
    return driver;
}

std::shared_ptr<Keyboard> noKeyboard() {
    static const auto keyboard = std::make_shared<NoKeyboard>();
    return keyboard;
}

std::shared_ptr<TabletDaemonLauncher> taskTabletDaemonLauncher() {
    static const auto launcher = std::make_shared<TaskTabletDaemonLauncher>();
    return launcher;
}

}  // namespace devices
