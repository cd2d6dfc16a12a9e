#include "nox/Thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "nox/testing/LogCapture.h"

namespace {

using std::chrono::milliseconds;

// Counts calls of a runner function and lets the test wait for a count.
struct CallCounter {
    std::mutex mutex;
    std::condition_variable cv;
    int nCalls = 0;

    static int Step(void* pContext, void* /*pArg*/)
    {
        auto* pSelf = static_cast<CallCounter*>(pContext);
        {
            std::lock_guard<std::mutex> lock(pSelf->mutex);
            ++pSelf->nCalls;
        }
        pSelf->cv.notify_all();
        return 0;
    }
    bool WaitAtLeast(int nCount, milliseconds timeout = milliseconds(5000))
    {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return nCalls >= nCount; });
    }
    int Calls()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return nCalls;
    }
};

class RunnerTest : public ::testing::Test {
protected:
    void TearDown() override { nox::Runner::SetIdleTimeoutMs(5000); }
};

TEST_F(RunnerTest, OnceRunnerCallsOnceAndCannotStartTwice)
{
    CallCounter counter;
    nox::Runner runner(&CallCounter::Step, &counter, nox::RUNNER_ONCE);
    ASSERT_EQ(0, runner.Start());
    EXPECT_EQ(-1, runner.Start());
    EXPECT_EQ(0, runner.Join());
    EXPECT_EQ(1, counter.Calls());
    EXPECT_EQ(0, runner.Join());  // joining again is harmless
}

TEST_F(RunnerTest, IdleLoopRunnerWakesOnNotifyAndOnSignalStop)
{
    nox::Runner::SetIdleTimeoutMs(60000);
    CallCounter counter;
    nox::Runner runner(&CallCounter::Step, &counter, nox::RUNNER_LOOP);
    ASSERT_EQ(0, runner.Start());
    ASSERT_TRUE(counter.WaitAtLeast(1));

    // No work announced: the runner must not come round again by itself.
    EXPECT_FALSE(counter.WaitAtLeast(3, milliseconds(300)));
    const int nIdleCalls = counter.Calls();
    EXPECT_LE(nIdleCalls, 2);
    for (int i = 1; i <= 5; ++i) {
        nox::Runner::NotifyWork();
        ASSERT_TRUE(counter.WaitAtLeast(nIdleCalls + i)) << "notify " << i;
    }

    runner.SignalStop();
    EXPECT_TRUE(runner.IsStopSignalled());
    auto joined = std::async(std::launch::async, [&] { return runner.Join(); });
    // Far below the idle timeout: the stop signal itself ended the wait.
    ASSERT_EQ(std::future_status::ready, joined.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ(0, joined.get());
    EXPECT_LE(counter.Calls(), nIdleCalls + 5 + 1) << "each announcement costs at most one call";
}

TEST_F(RunnerTest, CopiesAreIndependentRunners)
{
    constexpr int kRunners = 4;
    std::vector<CallCounter> vecCounter(kRunners);
    nox::Runner prototype(nullptr, nullptr, nox::RUNNER_ONCE);
    std::vector<nox::Runner> vecRunner(kRunners, prototype);
    for (int i = 0; i < kRunners; ++i) {
        vecRunner[i].SetFunc(&CallCounter::Step);
        vecRunner[i].SetContext(&vecCounter[i]);
        vecRunner[i].SetType(nox::RUNNER_LOOP);
        ASSERT_EQ(0, vecRunner[i].Start()) << i;
    }
    for (int i = 0; i < kRunners; ++i)
        EXPECT_TRUE(vecCounter[i].WaitAtLeast(1)) << i;
    EXPECT_FALSE(prototype.IsStarted());

    // A copy of a started runner starts afresh, with its own stop flag.
    nox::Runner copy(vecRunner[0]);
    EXPECT_FALSE(copy.IsStarted());
    for (auto& runner : vecRunner)
        runner.SignalStop();
    EXPECT_FALSE(copy.IsStopSignalled());
    for (auto& runner : vecRunner)
        EXPECT_EQ(0, runner.Join());
}

TEST_F(RunnerTest, DestructorStopsARunningLoop)
{
    CallCounter counter;
    {
        nox::Runner runner(&CallCounter::Step, &counter, nox::RUNNER_LOOP);
        ASSERT_EQ(0, runner.Start());
        ASSERT_TRUE(counter.WaitAtLeast(1));
    }
    const int nCalls = counter.Calls();
    nox::Runner::NotifyWork();
    EXPECT_FALSE(counter.WaitAtLeast(nCalls + 1, milliseconds(100)));
}

}  // namespace

TEST_F(RunnerTest, LoopRunnerLogsAThrowingStepAndGoesOn)
{
    nox::testing::LogCapture capture;
    CallCounter counter;
    const auto ThrowOnce = [](void* pContext, void*) -> int {
        CallCounter::Step(pContext, nullptr);
        if (static_cast<CallCounter*>(pContext)->Calls() == 1)
            throw std::runtime_error("no memory");
        return 0;
    };
    nox::Runner runner(ThrowOnce, &counter, nox::RUNNER_LOOP);
    ASSERT_EQ(0, runner.Start());
    EXPECT_TRUE(capture.WaitFor("runner step threw: no memory", milliseconds(5000)));
    nox::Runner::NotifyWork();
    EXPECT_TRUE(counter.WaitAtLeast(2));
}
