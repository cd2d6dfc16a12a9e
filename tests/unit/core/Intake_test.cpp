// Intake: accepted heads, the duplicate filter window, the intake line, the
// copy into the queue, and the state dump.
#include <cstring>
#include <functional>
#include <future>

#include "HandlerFixture.h"

namespace {

class IntakeTest : public HandlerFixture {
protected:
    void SetUp() override
    {
        HandlerFixture::SetUp();
        StartHandler();
    }

    // The bFlag digit of each intake line (1 accepted, 0 dropped).
    std::vector<int> Flags() const
    {
        std::vector<int> vecOut;
        for (const auto& line : LinesOf("CCUHandler::OnData"))
            vecOut.push_back(line.strText.at(line.strText.size() - 2) - '0');
        return vecOut;
    }
};

TEST_F(IntakeTest, RepeatsWithinTheIntervalAreDroppedCountingFromTheLastAccepted)
{
    const std::string strReq = MakeJsonRequest();
    for (uint32_t nSec : {100u, 101u, 102u, 103u, 104u, 106u}) {
        m_clock.SetMs(nSec * 1000 + 999);   // truncated to whole seconds
        Deliver(strReq);
    }
    EXPECT_EQ((std::vector<int>{1, 0, 0, 1, 0, 1}), Flags());
    EXPECT_EQ(3u, QueueSize());
    EXPECT_EQ(106u, m_pHandler->m_waitHandleTag["10.0.0.9"][32]);
}

TEST_F(IntakeTest, FilterKeyIsHostAndHeadOnly)
{
    Deliver(MakeJsonRequest(), "10.0.0.9", 5000, 7);
    Deliver(MakeBinaryRequest(), "10.0.0.9", 5000, 7);       // other head: accepted
    Deliver(MakeJsonRequest(), "10.0.0.10", 5000, 7);        // other host: accepted
    Deliver(MakeJsonRequest(), "10.0.0.9", 5001, 7);         // other port: dropped
    Deliver(MakeJsonRequest("x"), "10.0.0.9", 5000, 8);      // other socket and body: dropped
    EXPECT_EQ((std::vector<int>{1, 1, 1, 0, 0}), Flags());
    EXPECT_EQ(3u, QueueSize());
}

TEST_F(IntakeTest, ClockThatWentBackAcceptsTheNextRequest)
{
    m_clock.SetMs(0xFFFFF000u);   // second 4294963, just before the wrap
    Deliver(MakeJsonRequest());
    Deliver(MakeBinaryRequest());
    m_clock.AdvanceMs(0x2000u);   // wraps to second 4
    Deliver(MakeJsonRequest());
    Deliver(MakeBinaryRequest());
    Deliver(MakeBinaryRequest());   // the new time counts now
    EXPECT_EQ((std::vector<int>{1, 1, 1, 1, 0}), Flags());
    EXPECT_EQ(4u, m_pHandler->m_waitHandleTag["10.0.0.9"][-93]);
}

TEST_F(IntakeTest, OtherHeadsAndEmptyDatagramsLeaveNoTrace)
{
    for (int nHead : {0x00, 0x21, 0x1F, 0xA2, 0xA4, 0xB3, 0xFF})
        Deliver(std::string(40, static_cast<char>(nHead)));
    Deliver(std::string());
    m_pHandler->OnData(7, nullptr, 5, "10.0.0.9", 5000);
    m_pHandler->OnData(7, "\x20", -1, "10.0.0.9", 5000);
    EXPECT_TRUE(m_log.Lines().empty());
    EXPECT_TRUE(m_pHandler->m_waitHandleTag.empty());
    EXPECT_EQ(0u, QueueSize());
}

TEST_F(IntakeTest, IntakeLinePrintsTheSignedHeadAndLowSocketBits)
{
    const nox::SOCKID sock = (nox::SOCKID{1} << 32) | 7u;
    Deliver(MakeBinaryRequest(), "10.0.0.9", 5000, sock);
    Deliver(std::string(1, '\x20'), "10.0.0.9", 5001, sock);
    Deliver(std::string(1, '\x20'), "10.0.0.9", 5002, sock);
    const auto vecLines = m_log.Lines();
    ASSERT_EQ(3u, vecLines.size());
    EXPECT_EQ("New Data hSocket[7] buf[0xffffffa3] len[17] addr[10.0.0.9] port[5000] bFlag[1]",
              vecLines[0].strText);
    EXPECT_EQ("New Data hSocket[7] buf[0x20] len[1] addr[10.0.0.9] port[5001] bFlag[1]",
              vecLines[1].strText);
    EXPECT_EQ("New Data hSocket[7] buf[0x20] len[1] addr[10.0.0.9] port[5002] bFlag[0]",
              vecLines[2].strText);
    EXPECT_EQ(nox::kLogDebug, vecLines[0].nLevel);
    EXPECT_EQ("CUListen/CUHandle", vecLines[0].strFile);
    EXPECT_EQ("CCUHandler::OnData", vecLines[0].strFunc);
}

TEST_F(IntakeTest, QueuedCopyIsIndependentOfTheEngineBuffer)
{
    std::string strData = MakeBinaryRequest(1, 2, 20);
    const std::string strLongHost(40, '1');
    Deliver(strData, strLongHost.c_str(), 6000, 42);
    strData.assign(strData.size(), 'z');   // the engine reuses its buffer

    nox::MutexGuard guard(m_pHandler->m_dataMutex);
    ASSERT_EQ(1u, m_pHandler->m_waitHandleData.size());
    const reqBuffer& req = *m_pHandler->m_waitHandleData.front();
    EXPECT_EQ(MakeBinaryRequest(1, 2, 20), std::string(req.m_pBuffer, 20));
    EXPECT_EQ(20, req.m_nLen);
    EXPECT_EQ('\0', req.m_pBuffer[20]);
    EXPECT_EQ(std::string(31, '1'), req.m_szAddr);   // bounded copy
    EXPECT_EQ(6000, req.m_nSrcPort);
    EXPECT_EQ(42u, req.m_sockId);
    EXPECT_EQ(1, req.RefCount());   // only the queue holds it
}

TEST_F(IntakeTest, StateDumpListsQueueThenHostsInStringOrder)
{
    Deliver(MakeJsonRequest(), "9.0.0.1", 1);
    m_clock.AdvanceMs(1000);
    Deliver(MakeJsonRequest(), "10.0.0.2", 1);
    Deliver(MakeBinaryRequest(), "10.0.0.2", 1);
    m_log.Clear();

    EXPECT_EQ(0, m_pHandler->PrintSvrInfo());
    EXPECT_EQ((std::vector<Logged>{{nox::kLogInfo, "m_waitHandleData size[3]"},
                                   {nox::kLogInfo, "m_waitHandleTag size[2] "},
                                   {nox::kLogInfo, "Addr[10.0.0.2] Head[0xa3] tick[101]"},
                                   {nox::kLogInfo, "Addr[10.0.0.2] Head[0x20] tick[101]"},
                                   {nox::kLogInfo, "Addr[9.0.0.1] Head[0x20] tick[100]"}}),
              LinesOf("CCUHandler::PrintSvrInfo"));

    // The stop drops the queue but keeps the filter.
    m_pHandler->StopHandler();
    EXPECT_EQ(0u, QueueSize());
    EXPECT_EQ(2u, m_pHandler->m_waitHandleTag.size());
}

// The dump writes its rows without the filter lock: intake on another thread
// completes while a row is being written.
TEST_F(IntakeTest, StateDumpRowsDoNotBlockIntake)
{
    struct Probe : nox::detail::LogObserver {
        void OnLine(int, const char*, int, const char*, const char* szText) override
        {
            if (std::strncmp(szText, "Addr[", 5) == 0 && !done.valid()) {
                done = std::async(std::launch::async, fnIntake);
                bIntakeRan = done.wait_for(kWait) == std::future_status::ready;
            }
        }
        std::function<void()> fnIntake;
        std::future<void> done;
        bool bIntakeRan = false;
    } probe;
    Deliver(MakeJsonRequest(), "9.0.0.1", 1);
    probe.fnIntake = [this] { Deliver(MakeJsonRequest(), "9.0.0.2", 1); };
    nox::PrintLog::instance().SetLevel(nox::kLogInfo);   // intake logs nothing now
    nox::detail::LogObserver* pPrev = nox::detail::SwapLogObserver(&probe);
    m_pHandler->PrintSvrInfo();
    nox::detail::SwapLogObserver(pPrev);
    ASSERT_TRUE(probe.done.valid());
    probe.done.wait();
    EXPECT_TRUE(probe.bIntakeRan);
}

}  // namespace
