#include "platform/firewire/Raw1394FireWireBus.h"

#include "foundation/Log.h"
#include "foundation/RunLoop.h"
#include "platform/firewire/FireWireConfigROM.h"

#include <libraw1394/csr.h>
#include <libraw1394/raw1394.h>
#include <sys/epoll.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace platform {

namespace {

constexpr int kPort = 0;
constexpr size_t kMaxROMQuadlets = 256;  // the configuration ROM is 1 KB at most
constexpr uint32_t kNoNode = 0xFFFFFFFF;

// The process's generation of the bus, which every thread's handle must carry.
std::atomic<unsigned> busGeneration{0};

// One handle per thread, made on first use and destroyed with the thread.
struct ThreadHandle {
    raw1394handle_t handle = nullptr;
    ~ThreadHandle() {
        if (handle) raw1394_destroy_handle(handle);
    }
    raw1394handle_t get() {
        if (!handle) handle = raw1394_new_handle_on_port(kPort);
        if (handle) raw1394_update_generation(handle, busGeneration.load());
        return handle;
    }
};

raw1394handle_t threadHandle() {
    thread_local ThreadHandle handle;
    return handle.get();
}

FireWireResult resultOf(raw1394handle_t handle) {
    int error = errno;
    if (handle) {
        if (const int fromCode = raw1394_errcode_to_errno(raw1394_get_errcode(handle))) error = fromCode;
    }
    switch (error) {
    case EAGAIN:
    case EBUSY: return FireWireResult::Busy;
    case ETIMEDOUT: return FireWireResult::TimedOut;
    case ENODEV:
    case ESTALE:
    case ECONNREFUSED: return FireWireResult::Offline;
    default: return FireWireResult::Failed;
    }
}

class Raw1394Unit final : public FireWireUnit {
public:
    Raw1394Unit(uint64_t guid, uint32_t node, FireWireUnitDirectory directory)
        : guid_(guid), node_(node), directory_(std::move(directory)) {}

    uint32_t specifierID() const override { return directory_.specifierID; }
    uint32_t softwareVersion() const override { return directory_.softwareVersion; }
    std::optional<uint64_t> guid() const override { return guid_; }
    std::optional<uint32_t> unitDirectoryValue(uint8_t key) const override {
        auto it = directory_.immediates.find(key);
        if (it == directory_.immediates.end()) return std::nullopt;
        return it->second;
    }

    bool open() override {
        if (node_.load() == kNoNode || !threadHandle()) return false;
        open_ = true;
        return true;
    }
    void close() override { open_ = false; }

    FireWireResult read(const FireWireAddress& address, FireWireBlock& data) override {
        return transact(address, [&](raw1394handle_t h, nodeid_t node, nodeaddr_t at) {
            quadlet_t buffer[2];
            const int rc = raw1394_read(h, node, at, sizeof buffer, buffer);
            if (rc == 0) std::memcpy(data.data(), buffer, sizeof buffer);  // bus order as it came
            return rc;
        });
    }
    FireWireResult write(const FireWireAddress& address, const FireWireBlock& data) override {
        return transact(address, [&](raw1394handle_t h, nodeid_t node, nodeaddr_t at) {
            quadlet_t buffer[2];
            std::memcpy(buffer, data.data(), sizeof buffer);
            return raw1394_write(h, node, at, sizeof buffer, buffer);
        });
    }

    // After a bus reset: where the unit is now, or kNoNode when it is gone.
    void setNode(uint32_t node) { node_ = node; }

private:
    template <class F> FireWireResult transact(const FireWireAddress& address, F&& run) {
        if (!open_) return FireWireResult::Failed;
        const uint32_t node = node_.load();
        if (node == kNoNode) return FireWireResult::Offline;
        raw1394handle_t h = threadHandle();
        if (!h) return FireWireResult::Offline;
        const nodeaddr_t at = nodeaddr_t(address.high) << 32 | address.low;
        if (run(h, nodeid_t(0xFFC0 | node), at) == 0) return FireWireResult::Done;
        return resultOf(h);
    }

    const uint64_t guid_;
    std::atomic<uint32_t> node_;
    const FireWireUnitDirectory directory_;
    std::atomic<bool> open_{false};
};

class Raw1394FireWireBus final : public FireWireBus, public std::enable_shared_from_this<Raw1394FireWireBus> {
public:
    ~Raw1394FireWireBus() override {
        busWatch_.cancel();
        if (handle_) raw1394_destroy_handle(handle_);
    }

    std::unique_ptr<Watch> watchUnits(uint32_t specifierID, uint32_t softwareVersion,
                                      WatchCallbacks callbacks) override {
        auto watch = std::make_unique<UnitWatch>();
        watch->bus = weak_from_this();
        watch->specifierID = specifierID;
        watch->softwareVersion = softwareVersion;
        watch->callbacks = std::move(callbacks);
        watches_.insert(watch.get());
        if (!handle_ && (busMissing_ || !openBus())) return watch;
        // The units present are announced from the run loop, never from inside this call.
        std::weak_ptr<Raw1394FireWireBus> weak = weak_from_this();
        UnitWatch* raw = watch.get();
        std::weak_ptr<bool> alive = watch->alive;
        foundation::RunLoop::current().post([weak, raw, alive] {
            auto bus = weak.lock();
            if (!bus || alive.expired()) return;
            if (!bus->scanned_) bus->rescan();
            for (const auto& [key, unit] : bus->units_)
                if (raw->wants(*unit)) raw->matched(unit);
        });
        return watch;
    }

private:
    struct UnitWatch final : Watch {
        std::weak_ptr<Raw1394FireWireBus> bus;
        uint32_t specifierID = 0;
        uint32_t softwareVersion = 0;
        WatchCallbacks callbacks;
        std::set<FireWireUnit*> announced;
        std::shared_ptr<bool> alive = std::make_shared<bool>(true);

        bool wants(const FireWireUnit& unit) const {
            return unit.specifierID() == specifierID && unit.softwareVersion() == softwareVersion;
        }
        void matched(const FireWireUnitPtr& unit) {
            if (!announced.insert(unit.get()).second) return;
            if (callbacks.matched) callbacks.matched(unit);
        }
        void gone(const FireWireUnitPtr& unit) {
            if (announced.erase(unit.get()) && callbacks.closeRequested) callbacks.closeRequested(unit);
        }
        ~UnitWatch() override {
            if (auto b = bus.lock()) b->watches_.erase(this);
        }
    };
    using UnitKey = std::pair<uint64_t, uint32_t>;  // GUID, software version

    bool openBus() {
        handle_ = raw1394_new_handle_on_port(kPort);
        if (!handle_) {
            // Tried once: the discovery watches two unit versions, and most machines have no
            // FireWire at all, which is nothing to worry anyone about. Only a port the user may not
            // open is worth the reason.
            busMissing_ = true;
            if (errno == EACCES || errno == EPERM)
                foundation::logf("FireWire: no access to the FireWire bus (%s); Flame units are not looked for.",
                                 std::strerror(errno));
            else
                foundation::log("FireWire: no FireWire bus.");
            return false;
        }
        raw1394_set_userdata(handle_, this);
        raw1394_set_bus_reset_handler(handle_, [](raw1394handle_t h, unsigned generation) {
            raw1394_update_generation(h, generation);
            busGeneration = generation;
            auto* bus = static_cast<Raw1394FireWireBus*>(raw1394_get_userdata(h));
            bus->resetPending_ = true;
            return 0;
        });
        busGeneration = raw1394_get_generation(handle_);
        busWatch_ = foundation::RunLoop::current().watchFd(raw1394_get_fd(handle_), EPOLLIN, [this](uint32_t) {
            raw1394_loop_iterate(handle_);
            if (resetPending_) {
                resetPending_ = false;
                rescan();
            }
        });
        return true;
    }

    std::vector<uint32_t> readROM(uint32_t node) {
        std::vector<uint32_t> rom;
        for (size_t i = 0; i < kMaxROMQuadlets; ++i) {
            quadlet_t quadlet = 0;
            const nodeaddr_t at = CSR_REGISTER_BASE + CSR_CONFIG_ROM + 4 * i;
            if (raw1394_read(handle_, nodeid_t(0xFFC0 | node), at, 4, &quadlet) != 0) break;
            rom.push_back(be32toh(quadlet));
        }
        return rom;
    }

    // Reads every node's ROM and tells the watches the difference, by GUID and version.
    void rescan() {
        scanned_ = true;
        std::map<UnitKey, std::pair<uint32_t, FireWireUnitDirectory>> present;
        const int nodes = raw1394_get_nodecount(handle_);
        for (int node = 0; node < nodes; ++node) {
            const FireWireConfigROM rom = parseFireWireConfigROM(readROM(uint32_t(node)));
            if (!rom.guid) continue;
            for (const auto& unit : rom.units) present[{*rom.guid, unit.softwareVersion}] = {uint32_t(node), unit};
        }
        std::vector<FireWireUnitPtr> gone;
        for (auto it = units_.begin(); it != units_.end();) {
            auto found = present.find(it->first);
            if (found == present.end()) {
                it->second->setNode(kNoNode);
                gone.push_back(it->second);
                it = units_.erase(it);
            } else {
                it->second->setNode(found->second.first);
                present.erase(found);
                ++it;
            }
        }
        std::vector<FireWireUnitPtr> added;
        for (auto& [key, where] : present) {
            auto unit = std::make_shared<Raw1394Unit>(key.first, where.first, where.second);
            units_[key] = unit;
            added.push_back(unit);
        }
        const std::set<UnitWatch*> watches = watches_;
        for (UnitWatch* watch : watches) {
            for (const auto& unit : gone)
                if (watches_.count(watch)) watch->gone(unit);
            for (const auto& unit : added)
                if (watches_.count(watch) && watch->wants(*unit)) watch->matched(unit);
        }
    }

    raw1394handle_t handle_ = nullptr;
    bool busMissing_ = false;
    foundation::FdWatch busWatch_;
    bool resetPending_ = false;
    bool scanned_ = false;
    std::map<UnitKey, std::shared_ptr<Raw1394Unit>> units_;
    std::set<UnitWatch*> watches_;
};

}  // namespace

std::shared_ptr<FireWireBus> raw1394FireWireBus() { return std::make_shared<Raw1394FireWireBus>(); }

}  // namespace platform
