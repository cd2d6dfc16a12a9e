#include "nox/Time.h"

#include <gtest/gtest.h>

#include "nox/testing/ScopedClock.h"

namespace {

TEST(TimeTest, ScopedClockDrivesTheTickAndRestoresTheRealOne)
{
    const uint32_t nRealBefore = nox::Time::GetTick();
    {
        nox::testing::ScopedClock clock(0xFFFFFF00u);
        EXPECT_EQ(0xFFFFFF00u, nox::Time::GetTick());
        clock.AdvanceMs(0x200);  // wraps like the 32-bit system tick
        EXPECT_EQ(0x100u, nox::Time::GetTick());
        {
            nox::testing::ScopedClock inner(5);
            EXPECT_EQ(5u, nox::Time::GetTick());
        }
        EXPECT_EQ(0x100u, nox::Time::GetTick());
        clock.SetMs(1234);
        EXPECT_EQ(1234u, nox::Time::GetTick());
    }
    // The real clock again: monotonic, so never behind the earlier reading
    // (unless the 32-bit tick wrapped in between, which the difference absorbs).
    EXPECT_LT(static_cast<uint32_t>(nox::Time::GetTick() - nRealBefore), 60000u);
}

}  // namespace
