#include "SimFixture.h"
TEST(Smoke, Builds) { EXPECT_TRUE(true); }
