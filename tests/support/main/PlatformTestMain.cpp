// The main of the test programs that use the Linux backends: registers the engine's classes and
// the platform's backends, as the quorbital program does, then runs the tests.
#include "document/EngineClasses.h"
#include "platform/PlatformBackends.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    registerEngineClasses();
    platform::registerPlatformBackends();
    return RUN_ALL_TESTS();
}
