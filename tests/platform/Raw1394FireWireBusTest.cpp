// The machine's FireWire bus where there is none: discovery watches two unit versions, and the
// missing bus is said once, not once per watch.

#include "foundation/Log.h"
#include "foundation/RunLoop.h"
#include "platform/firewire/Raw1394FireWireBus.h"

#include <gtest/gtest.h>

#include <glob.h>

namespace {

bool machineHasFireWire() {
    glob_t found{};
    const bool any = glob("/dev/fw*", 0, nullptr, &found) == 0 && found.gl_pathc > 0;
    globfree(&found);
    return any;
}

TEST(Raw1394FireWireBusTest, AMissingBusIsLoggedOnceForAllWatches) {
    if (machineHasFireWire()) GTEST_SKIP() << "this machine has a FireWire port";
    foundation::LogCapture log;
    auto bus = platform::raw1394FireWireBus();
    FireWireBus::WatchCallbacks callbacks;
    size_t matched = 0;
    callbacks.matched = [&](const FireWireUnitPtr&) { ++matched; };
    auto first = bus->watchUnits(0x50C2, 0x12AFFD, callbacks);
    auto second = bus->watchUnits(0x50C2, 0x12AFFF, callbacks);
    foundation::RunLoop::main().runMode(foundation::RunLoopMode::Default, 0);

    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "FireWire: no FireWire bus.");
    EXPECT_EQ(matched, 0u);
}

}  // namespace
