#include "platform/spacemouse/FakeSpaceMouseDriver.h"

#include "foundation/RunLoop.h"

namespace platform {

void FakeSpaceMouseDriver::sendState(devices::SpaceMouseState state) {
    if (state.client == 0) state.client = client_;
    foundation::RunLoop::main().post([handler = handler_, state] {
        if (*handler) (*handler)(state);
    });
}

uint16_t FakeSpaceMouseDriver::registerClient(const std::string& name) {
    if (!available_ || refusesClients_) return 0;
    client_ = nextClient_++;
    clientName_ = name;
    return client_;
}

void FakeSpaceMouseDriver::unregisterClient(uint16_t client) {
    if (client != client_) return;
    client_ = 0;
    clientName_.clear();
}

}  // namespace platform
