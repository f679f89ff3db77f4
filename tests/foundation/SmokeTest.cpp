#include "foundation/Date.h"

#include <gtest/gtest.h>

TEST(Date, TimeTagOfUnixEpoch) {
    auto d = foundation::dateFromTimeTag({2208988800u, 0});
    EXPECT_DOUBLE_EQ(d.timeIntervalSince1970(), 0.0);
}
