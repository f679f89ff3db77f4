#include "flame/FireWireBus.h"

namespace {

class NoFireWireBus final : public FireWireBus {
public:
    std::unique_ptr<Watch> watchUnits(uint32_t, uint32_t, WatchCallbacks) override { return std::make_unique<Watch>(); }
};

}  // namespace

std::shared_ptr<FireWireBus> noFireWireBus() {
    static const auto bus = std::make_shared<NoFireWireBus>();
    return bus;
}
