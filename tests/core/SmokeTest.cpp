#include <gtest/gtest.h>
TEST(Core, Builds) { SUCCEED(); }
