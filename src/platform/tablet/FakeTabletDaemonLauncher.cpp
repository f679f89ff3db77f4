#include "platform/tablet/FakeTabletDaemonLauncher.h"

#include "foundation/Exception.h"

namespace platform {

std::shared_ptr<devices::TabletDaemon> FakeTabletDaemonLauncher::launch(const std::string& name,
                                                                        const std::vector<std::string>& arguments) {
    if (refusesLaunch_) throw foundation::Exception("NSInvalidArgumentException", "launch path not accessible");
    auto daemon = std::make_shared<FakeTabletDaemon>(name, arguments);
    launched_.push_back(daemon);
    return daemon;
}

}  // namespace platform
