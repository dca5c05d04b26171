#include <gtest/gtest.h>
TEST(E2eSmoke, Builds) { EXPECT_TRUE(true); }
