// The main of the engine's test programs: registers the engine's classes (foundation's with them),
// then runs the tests. Bonjour stays unavailable unless a test sets a backend (usually the fake).
#include "document/EngineClasses.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    registerEngineClasses();
    return RUN_ALL_TESTS();
}
