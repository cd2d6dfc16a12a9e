#include "StopSequence.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace velmora::svc;

// A daemon that ends after a number of waits, or on Terminate, or never.
class FakeChild : public DaemonChild {
public:
    bool SendQuit() override
    {
        m_strCalls += "q";
        return m_bQuitWritable;
    }
    bool WaitExit(unsigned nMs) override
    {
        if (!m_bEnded && !m_bTerminated)
            m_nWaitedMs += nMs;
        if (!m_bEnded && m_bQuitWritable && ++m_nWaits == m_nEndAfterWaits)
            m_bEnded = true;
        return m_bEnded;
    }
    void Terminate() override
    {
        m_strCalls += "T";
        m_bTerminated = true;
        if (m_bEndsOnTerminate) {
            m_bEnded = true;
            m_nCode = 1;
        }
    }
    unsigned long ExitCode() const override { return m_nCode; }

    bool m_bQuitWritable = true;
    int m_nEndAfterWaits = -1;       // -1: not on q
    bool m_bEndsOnTerminate = true;
    std::string m_strCalls;
    unsigned m_nWaitedMs = 0;        // before Terminate
    int m_nWaits = 0;
    bool m_bEnded = false;
    bool m_bTerminated = false;
    unsigned long m_nCode = 0;
};

TEST(StopSequenceTest, QuitThenWaitTwentySecondsThenEnd)
{
    const struct {
        const char* szCase;
        bool bQuitWritable;
        int nEndAfterWaits;
        bool bEndsOnTerminate;
        std::string strCalls;
        unsigned nWaitedMs;
        bool bTerminated;
        bool bEnded;
        unsigned long nExitCode;
    } aCase[] = {
        {"ends on q in the third second", true, 3, true, "q", 3000, false, true, 0},
        {"ends on q in the last second", true, 20, true, "q", 20000, false, true, 0},
        {"ignores q", true, -1, true, "qT", kStopTimeoutMs, true, true, 1},
        {"control file not writable", false, -1, true, "qT", 0, true, true, 1},
        {"cannot even be ended", true, -1, false, "qT", kStopTimeoutMs, true, false, 0},
    };
    for (const auto& c : aCase) {
        SCOPED_TRACE(c.szCase);
        FakeChild child;
        child.m_bQuitWritable = c.bQuitWritable;
        child.m_nEndAfterWaits = c.nEndAfterWaits;
        child.m_bEndsOnTerminate = c.bEndsOnTerminate;
        std::vector<unsigned> vecCheckpoint;
        const StopResult result = StopDaemon(child, [&](unsigned nCheckpoint, unsigned nHintMs) {
            vecCheckpoint.push_back(nCheckpoint);
            EXPECT_GE(nHintMs, kStopStepMs);   // the next step fits in the hint
        });
        EXPECT_EQ(c.strCalls, child.m_strCalls);
        EXPECT_EQ(c.nWaitedMs, child.m_nWaitedMs);
        EXPECT_EQ(c.bQuitWritable, result.bQuitSent);
        EXPECT_EQ(c.bTerminated, result.bTerminated);
        EXPECT_EQ(c.bEnded, result.bEnded);
        EXPECT_EQ(c.nExitCode, result.nExitCode);
        // Reported before q, after every second waited, and before the end.
        ASSERT_FALSE(vecCheckpoint.empty());
        for (size_t i = 0; i < vecCheckpoint.size(); ++i)
            EXPECT_EQ(i + 1, vecCheckpoint[i]);
        const size_t nSteps = child.m_nWaitedMs / kStopStepMs - (c.bTerminated ? 0 : 1);
        EXPECT_EQ(1 + nSteps + (c.bTerminated ? 1 : 0), vecCheckpoint.size());
    }
}

}  // namespace
