#include <gtest/gtest.h>
TEST(WinSmoke, Builds) { EXPECT_TRUE(true); }
