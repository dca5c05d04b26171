#include <gtest/gtest.h>

#include "common/Ticks.h"

namespace cv {
namespace {

constexpr std::uint32_t kBeforeWrap = 0xFFFFFFFFu - 999;  // 1 s before the 32-bit tick wraps

TEST(Ticks, SpansAndOrderHoldAcrossTheWrap) {
    EXPECT_EQ(TicksSince(kBeforeWrap, 500), 1500u);
    EXPECT_EQ(TicksSince(100, 600), 500u);
    // After the wrap the later input has the smaller number.
    EXPECT_TRUE(TickIsMoreRecent(200, kBeforeWrap, 1000));
    EXPECT_FALSE(TickIsMoreRecent(kBeforeWrap, 200, 1000));
    EXPECT_TRUE(TickIsMoreRecent(900, 200, 1000));
    // A reading a moment after now counts as now, not as 49.7 days ago.
    EXPECT_EQ(TickAge(1010, 1000), 0u);
    EXPECT_TRUE(TickIsMoreRecent(1010, 200, 1000));
    EXPECT_EQ(TickAge(200, 1000), 800u);
    // 64-bit clocks: a start after now (a clock set back) is no time.
    EXPECT_EQ(ElapsedSince(5000, 3000), 0u);
    EXPECT_EQ(ElapsedSince(3000, 5000), 2000u);
    // A counter due just after the wrap is reached only once it gets there.
    EXPECT_FALSE(CounterReached(kBeforeWrap, 10));
    EXPECT_TRUE(CounterReached(10, 10));
    EXPECT_TRUE(CounterReached(20, kBeforeWrap));
}

}  // namespace
}  // namespace cv
