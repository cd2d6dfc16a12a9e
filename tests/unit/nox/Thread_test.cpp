#include "nox/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>

#include "nox/testing/LogCapture.h"

namespace {

using std::chrono::milliseconds;

// Counts the calls of a runner function.
struct CallCounter {
    std::mutex mutex;
    std::condition_variable cv;
    int nCalls = 0;

    static int Step(void* pContext, void*)
    {
        auto* pSelf = static_cast<CallCounter*>(pContext);
        std::lock_guard<std::mutex> lock(pSelf->mutex);
        ++pSelf->nCalls;
        pSelf->cv.notify_all();
        return 0;
    }
    int WaitFor(int nCount, milliseconds timeout = milliseconds(5000))   // the count then
    {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, timeout, [&] { return nCalls >= nCount; });
        return nCalls;
    }
};

// Assigning over a started thread ends that thread first; the target may
// then start afresh.
TEST(ThreadTest, AssignmentEndsTheRunningThreadFirst)
{
    static std::atomic<int> nEnded{0};
    struct SlowEnd : nox::Thread {
        int run() override
        {
            while (!IsStopSignalled())
                SleepMs(1);
            SleepMs(50);
            return ++nEnded;
        }
    };
    SlowEnd thread, fresh;
    ASSERT_EQ(0, thread.Start());
    thread = fresh;
    EXPECT_EQ(1, nEnded.load());
    ASSERT_EQ(0, thread.Start());
    EXPECT_EQ(0, thread.Stop());
    EXPECT_EQ(2, nEnded.load());
}

// An idle loop runner sleeps until work is announced or it is stopped.
TEST(RunnerTest, IdleLoopRunnerWakesOnNotifyAndOnSignalStop)
{
    nox::Runner::SetIdleTimeoutMs(60000);
    CallCounter counter;
    nox::Runner runner(&CallCounter::Step, &counter, nox::RUNNER_LOOP);
    ASSERT_EQ(0, runner.Start());
    ASSERT_EQ(1, counter.WaitFor(1));
    const int nIdleCalls = counter.WaitFor(3, milliseconds(300));   // by itself: not again
    EXPECT_LE(nIdleCalls, 2);
    for (int i = 1; i <= 5; ++i) {
        nox::Runner::NotifyWork();
        ASSERT_LE(nIdleCalls + i, counter.WaitFor(nIdleCalls + i)) << "notify " << i;
    }
    runner.SignalStop();
    auto joined = std::async(std::launch::async, [&] { return runner.Join(); });
    // Far below the idle timeout: the stop signal itself ended the wait.
    ASSERT_EQ(std::future_status::ready, joined.wait_for(std::chrono::seconds(10)));
    EXPECT_LE(counter.WaitFor(0), nIdleCalls + 5 + 1) << "each announcement costs at most one call";
    nox::Runner::SetIdleTimeoutMs(5000);
}

// Work announced during a loop runner's last stretch is taken by that runner
// when its step returns; a stretch that ends in an exception gives the watch
// back; a second stretch meanwhile gets none; elsewhere there is no stretch
// to begin.
TEST(RunnerTest, WorkAnnouncedInTheLastStretchIsTakenByTheRunner)
{
    nox::Runner::SetIdleTimeoutMs(60000);
    nox::testing::LogCapture capture;   // the thrown step's line
    struct Probe {
        CallCounter counter;
        std::promise<bool> taken, takenAgain;
    } probe;
    const auto Stretches = [](void* pContext, void*) -> int {
        Probe& self = *static_cast<Probe*>(pContext);
        CallCounter::Step(&self.counter, nullptr);
        const int nCall = self.counter.WaitFor(0);
        if (nCall == 2) {
            const nox::Runner::LastStretch stretch;
            self.taken.set_value(stretch.Taken());
            nox::Runner::NotifyWork();   // wakes nobody: this runner looks itself
            throw std::bad_alloc();      // as a log call in the stretch may
        }
        if (nCall == 4) {   // one stretch at a time has the watch
            const nox::Runner::LastStretch stretch, second;
            self.takenAgain.set_value(stretch.Taken() && !second.Taken());
        }
        return 0;
    };
    nox::Runner runner(Stretches, &probe, nox::RUNNER_LOOP);
    ASSERT_EQ(0, runner.Start());
    ASSERT_EQ(1, probe.counter.WaitFor(1));
    nox::Runner::NotifyWork();
    EXPECT_TRUE(probe.taken.get_future().get());
    EXPECT_LE(3, probe.counter.WaitFor(3)) << "the announcement in the stretch was lost";
    nox::Runner::NotifyWork();
    EXPECT_TRUE(probe.takenAgain.get_future().get()) << "the watch was kept after the exception";
    EXPECT_FALSE(nox::Runner::LastStretch().Taken());
    runner.Stop();
    nox::Runner::SetIdleTimeoutMs(5000);
}

// A throwing step is logged and the loop runner goes on.
TEST(RunnerTest, LoopRunnerLogsAThrowingStepAndGoesOn)
{
    nox::testing::LogCapture capture;
    CallCounter counter;
    const auto ThrowOnce = [](void* pContext, void*) -> int {
        CallCounter::Step(pContext, nullptr);
        if (static_cast<CallCounter*>(pContext)->WaitFor(0) == 1)
            throw std::runtime_error("no memory");
        return 0;
    };
    nox::Runner runner(ThrowOnce, &counter, nox::RUNNER_LOOP);
    ASSERT_EQ(0, runner.Start());
    for (int i = 0; i < 500 && !capture.Contains("runner step threw: no memory"); ++i)
        std::this_thread::sleep_for(milliseconds(10));   // the line is the event
    ASSERT_TRUE(capture.Contains("runner step threw: no memory"));
    nox::Runner::NotifyWork();
    EXPECT_LE(2, counter.WaitFor(2));
}

}  // namespace
