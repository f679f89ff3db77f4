#pragma once
// An in-process 3D mouse driver for tests: the test makes the driver available or not, plugs a
// device, refuses registration, and sends device states, which reach the installed handler from
// the main run loop. Main thread only.

#include "controllers/devices/SpaceMouseDriver.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace platform {

class FakeSpaceMouseDriver final : public devices::SpaceMouseDriver {
public:
    // --- what the test scripts
    void setAvailable(bool available) { available_ = available; }
    // The identifier of the device present; 0: none.
    void setDeviceID(int32_t id) { deviceID_ = id; }
    // While set, registration fails (answers 0).
    void setRefusesClients(bool refuses) { refusesClients_ = refuses; }
    // A device state reaches the handler; `client` 0 means the registered client.
    void sendState(devices::SpaceMouseState state);

    // --- what the test sees
    // The registered client; 0 when none.
    uint16_t client() const { return client_; }
    const std::string& clientName() const { return clientName_; }
    bool hasHandler() const { return static_cast<bool>(*handler_); }

    // --- SpaceMouseDriver
    bool available() const override { return available_; }
    void setStateHandler(std::function<void(const devices::SpaceMouseState&)> handler) override {
        *handler_ = std::move(handler);
    }
    void removeStateHandler() override { *handler_ = nullptr; }
    uint16_t registerClient(const std::string& name) override;
    void unregisterClient(uint16_t client) override;
    int32_t deviceID(uint16_t client) override { return client == client_ && client_ != 0 ? deviceID_ : 0; }

private:
    bool available_ = true;
    int32_t deviceID_ = 0;
    bool refusesClients_ = false;
    uint16_t client_ = 0;
    uint16_t nextClient_ = 1;
    std::string clientName_;
    // Shared with the deliveries under way, which use the handler of their time of arrival.
    std::shared_ptr<std::function<void(const devices::SpaceMouseState&)>> handler_ =
        std::make_shared<std::function<void(const devices::SpaceMouseState&)>>();
};

}  // namespace platform
