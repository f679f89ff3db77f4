// A test build of the quorbital program whose Wii remotes are the in-process ones: the setting
// "-FakeWiimote <address>" puts a remote with that Bluetooth address within reach, and once it is
// connected it presses and releases its A button every 0.2 s until the program ends.

#include "controllers/devices/DeviceLayers.h"
#include "document/EngineClasses.h"
#include "document/QuorbitalCore.h"
#include "foundation/Exception.h"
#include "foundation/RunLoop.h"
#include "platform/PlatformBackends.h"
#include "platform/wii/FakeWiiRemoteBackend.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

namespace {

constexpr uint32_t kButtonA = 0x0008;

devices::WiiEvent buttonA(bool up) {
    devices::WiiEvent event;
    event.type = 0;
    event.button = kButtonA;
    event.buttonIsUp = up;
    return event;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        registerEngineClasses();
        platform::registerPlatformBackends();
        auto remotes = std::make_shared<platform::FakeWiiRemoteBackend>();
        devices::DeviceLayers layers = devices::DeviceLayers::current();
        layers.wiiRemotes = remotes;
        devices::DeviceLayers::install(std::move(layers));
        std::shared_ptr<platform::FakeWiiRemote> remote;
        for (int i = 1; i + 1 < argc; ++i)
            if (std::strcmp(argv[i], "-FakeWiimote") == 0) remote = remotes->plugRemote(argv[i + 1]);
        std::shared_ptr<foundation::Timer> presses;
        if (remote)
            presses = foundation::RunLoop::main().scheduleTimer(0.2, true, foundation::RunLoopMode::Common,
                                                                [remote](foundation::Timer&) {
                                                                    if (!remote->isConnected()) return;
                                                                    remote->sendReport({buttonA(false)});
                                                                    remote->sendReport({buttonA(true)});
                                                                });
        return QRBCoreMain(argc, argv);
    } catch (const foundation::Exception& e) {
        std::fprintf(stderr, "Terminating because of an uncaught exception %s: %s\n", e.name().c_str(),
                     e.reason().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Terminating because of an uncaught exception: %s\n", e.what());
    }
    return 1;
}
