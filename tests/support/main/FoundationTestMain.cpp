// The main of the test programs of foundation and zz: registers foundation's classes, then runs
// the tests.
#include "foundation/FoundationClasses.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    foundation::registerFoundationClasses();
    return RUN_ALL_TESTS();
}
