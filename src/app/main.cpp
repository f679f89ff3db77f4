// The quorbital program: the document-based application, or with "-headless <document>" the
// routing of one document without any interface.

#include "app/LoadedApplication.h"
#include "controllers/devices/DeviceLayers.h"
#include "document/EngineClasses.h"
#include "document/QuorbitalCore.h"
#include "foundation/Exception.h"
#include "platform/LogindSleepNotifier.h"
#include "platform/PlatformBackends.h"
#include "platform/desktop/X11Desktop.h"
#include "platform/firewire/Raw1394FireWireBus.h"
#include "platform/wii/LinuxWiiRemoteBackend.h"

#include <cstdio>
#include <exception>
#include <memory>
#include <utility>

int main(int argc, char** argv) {
    // An exception that start-up does not handle ends the program with its report.
    try {
        registerEngineClasses();
        platform::registerPlatformBackends();
        // The Flame discovery watches the machine's FireWire bus; Wii remotes come through the
        // kernel's driver and BlueZ; keys go to the X session, when there is one.
        devices::DeviceLayers layers = devices::DeviceLayers::current();
        layers.fireWire = platform::raw1394FireWireBus();
        layers.wiiRemotes = std::make_shared<platform::LinuxWiiRemoteBackend>();
        auto desktop = platform::openX11Desktop();
        layers.events = std::move(desktop.events);
        layers.keyboard = std::move(desktop.keyboard);
        devices::DeviceLayers::install(std::move(layers));
        // The remotes are let go before the machine sleeps and found again after it.
        const auto sleepNotifier = platform::LogindSleepNotifier::start();
        // The windows are loaded only when the run is not headless.
        QuorbitalCore::sharedInstance().setApplication(std::make_shared<LoadedApplication>());
        return QRBCoreMain(argc, argv);
    } catch (const foundation::Exception& e) {
        // A start-up failure is the user's to mend (a missing or damaged document, a bad port):
        // its text is the whole message. Anything else is a fault of the program.
        if (e.name() == kQuorbitalStartupException)
            std::fprintf(stderr, "Quorbital could not start (%s): %s\n", e.name().c_str(), e.reason().c_str());
        else
            std::fprintf(stderr, "Terminating because of an uncaught exception %s: %s\n", e.name().c_str(),
                         e.reason().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Terminating because of an uncaught exception: %s\n", e.what());
    }
    return 1;
}
