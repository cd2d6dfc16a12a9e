#include "RestartPolicy.h"

#include <gtest/gtest.h>

namespace {

using velmora::svc::CRestartPolicy;
constexpr unsigned long long kSecond = 1000;

// The clock is the argument: exits one second apart, then at the window's edge.
TEST(CRestartPolicyTest, GivesUpAfterTwentyRestartsWithinTenMinutes)
{
    CRestartPolicy policy;
    for (unsigned i = 0; i < CRestartPolicy::kMaxRestarts; ++i)
        EXPECT_TRUE(policy.OnUnexpectedExit(i * kSecond)) << "exit " << i + 1;
    EXPECT_FALSE(policy.OnUnexpectedExit(20 * kSecond));           // the 21st within the window
    EXPECT_FALSE(policy.OnUnexpectedExit(599 * kSecond));          // first restart not yet aged
    EXPECT_TRUE(policy.OnUnexpectedExit(600 * kSecond));           // the one at 0 s has aged out
    EXPECT_FALSE(policy.OnUnexpectedExit(600 * kSecond + 500));    // the one at 1 s has not
    EXPECT_TRUE(policy.OnUnexpectedExit(601 * kSecond));
}

TEST(CRestartPolicyTest, FailuresSpreadOverMoreThanTheWindowAlwaysRestart)
{
    CRestartPolicy policy;
    const unsigned long long nGap = CRestartPolicy::kWindowMs / CRestartPolicy::kMaxRestarts + 1;
    for (unsigned i = 0; i < 5 * CRestartPolicy::kMaxRestarts; ++i)
        ASSERT_TRUE(policy.OnUnexpectedExit(1000000 + i * nGap)) << "exit " << i + 1;
}

}  // namespace
