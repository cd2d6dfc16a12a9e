// The listen set: nine endpoints in order, bind results, restart after a
// close, stop.
#include <memory>

#include "CUListen/CUListen.h"
#include "HandlerFixture.h"

namespace {

class CCUListenTest : public HandlerFixture {
protected:
    CCUListen& MakeListener()
    {
        m_pListen.reset(new CCUListen(&m_engine));
        m_pHandler = m_pListen->m_pHandler;
        return *m_pListen;
    }

    nox::SOCKID Slot(size_t nIndex)
    {
        nox::MutexGuard guard(m_pListen->m_sockMutex);
        return m_pListen->m_vecSockId.at(nIndex);
    }

    std::unique_ptr<CCUListen> m_pListen;
};

TEST_F(CCUListenTest, StartOpensTheNineEndpointsInOrder)
{
    ASSERT_EQ(0, MakeListener().StartListen());
    const std::vector<ListenAddr>& vecAddr = CServerConfig::instance()->m_vecListenAddr;
    std::vector<Logged> vecExpected;
    ASSERT_EQ(9u, m_engine.m_vecBind.size());
    ASSERT_EQ(9u, m_engine.m_vecReuse.size());
    for (size_t i = 0; i < 9; ++i) {
        const nox::SOCKID sock = FakeNetEngine::kFirstId + i;
        EXPECT_EQ(sock, Slot(i));
        EXPECT_EQ(std::make_pair(sock, 1), m_engine.m_vecReuse[i]);
        EXPECT_EQ(sock, m_engine.m_vecBind[i].sock);
        EXPECT_EQ(vecAddr[i].m_strHost.str(), m_engine.m_vecBind[i].strHost);
        EXPECT_EQ(vecAddr[i].m_nPort, m_engine.m_vecBind[i].nPort);
        vecExpected.push_back({nox::kLogInfo, "StartUDP ret[0] host[" + vecAddr[i].m_strHost.str() +
                                                  ":" + std::to_string(vecAddr[i].m_nPort) + "]"});
    }
    EXPECT_EQ(vecExpected, LinesOf("CCUListen::StartListen"));
    const auto vecLines = m_log.Lines();
    for (const auto& line : vecLines) {
        if (line.strFunc == "CCUListen::StartListen") {
            EXPECT_EQ("CUListen/CUListen", line.strFile);
        }
    }
    // The handler ran first: its start line precedes the first socket line.
    EXPECT_EQ("Start Handler OK", vecLines.at(vecLines.size() - 10).strText);
}

// One bound endpoint is enough; a failed bind keeps its socket in the slot.
TEST_F(CCUListenTest, StartNeedsOneBoundEndpoint)
{
    m_engine.m_setFailBind = {0, 1, 2, 3, 4, 6, 7, 8};
    EXPECT_EQ(0, MakeListener().StartListen());
    EXPECT_TRUE(m_log.Contains("StartUDP ret[-98] host[0.0.0.0:37810]"));
    EXPECT_EQ(FakeNetEngine::kFirstId, Slot(0));
    EXPECT_TRUE(m_engine.m_vecClosed.empty());
    TearDown();

    m_log.Clear();
    m_engine.m_setFailBind = {9, 10, 11, 12, 13, 14, 15, 16, 17};   // the next listener's binds
    EXPECT_EQ(-1, MakeListener().StartListen());
    EXPECT_EQ(9u, LinesOf("CCUListen::StartListen").size());
    TearDown();

    CServerConfig::instance()->m_vecListenAddr.clear();
    EXPECT_EQ(-1, MakeListener().StartListen());
    EXPECT_TRUE(m_pListen->m_vecSockId.empty());
}

TEST_F(CCUListenTest, HandlerFailureOpensNoSocket)
{
    m_host.m_nAdapterResult = -5;
    CCUListen& listen = MakeListener();
    EXPECT_EQ(-1, listen.StartListen());
    EXPECT_EQ((std::vector<Logged>{{nox::kLogError, "getAdapterInfo failed error[-5]"}}),
              LinesOf("CCUHandler::StartHandler"));
    EXPECT_TRUE(m_engine.m_vecCreated.empty());
    EXPECT_TRUE(listen.m_vecSockId.empty());
    EXPECT_EQ(0, m_pHandler->m_nRunning.Get());
}

TEST_F(CCUListenTest, StopClosesEverySlotIncludingFailedCreates)
{
    m_engine.m_setFailCreate = {2};
    CCUListen& listen = MakeListener();
    ASSERT_EQ(0, listen.StartListen());
    EXPECT_EQ(nox::kInvalidSockId, Slot(2));
    EXPECT_EQ(8u, LinesOf("CCUListen::StartListen").size());   // no line for slot 2

    const std::vector<nox::SOCKID> vecSlots = listen.m_vecSockId;
    EXPECT_EQ(0, listen.StopListen());
    EXPECT_EQ(vecSlots, m_engine.m_vecClosed);
    EXPECT_TRUE(m_log.Contains("Stop Handler OK"));
    EXPECT_EQ(0, m_pHandler->m_nRunning.Get());
}

TEST_F(CCUListenTest, ClosedSocketIsRestartedIntoItsSlotAgainAndAgain)
{
    CCUListen& listen = MakeListener();
    ASSERT_EQ(0, listen.StartListen());
    m_log.Clear();

    nox::SOCKID sock = Slot(3);
    for (int nRound = 0; nRound < 2; ++nRound) {
        m_engine.ReportClose(sock, 104);
        const nox::SOCKID sockNew = m_engine.m_vecCreated.back();
        EXPECT_NE(sock, sockNew);
        EXPECT_EQ(sockNew, Slot(3));
        EXPECT_EQ(5050, m_engine.m_vecBind.back().nPort);
        EXPECT_EQ((std::vector<Logged>{
                      {nox::kLogInfo, "Close socket[" + std::to_string(sock) + "] error[104]"},
                      {nox::kLogInfo, "CCUHandler Socket Restart Ok"}}),
                  LinesOf("CCUHandler::OnClose"));
        EXPECT_EQ((std::vector<Logged>{
                      {nox::kLogInfo, "Sock Listen Restart success addr[0.0.0.0], port[5050]"}}),
                  LinesOf("CCUListen::RestartSockListen"));
        sock = sockNew;
        m_log.Clear();
    }
    EXPECT_EQ(Slot(4), FakeNetEngine::kFirstId + 4);   // no other slot touched
}

TEST_F(CCUListenTest, FailedRestartsKeepTheOldSlot)
{
    CCUListen& listen = MakeListener();
    ASSERT_EQ(0, listen.StartListen());
    const nox::SOCKID sockOld = Slot(0);

    m_engine.m_setFailBind = {9};   // the restart's bind
    m_engine.ReportClose(sockOld, 1);
    EXPECT_EQ(sockOld, Slot(0));
    EXPECT_TRUE(m_log.Contains("UDP bind failure index[0]"));
    EXPECT_EQ(nox::kLogError, LinesOf("CCUHandler::OnClose").back().nLevel);
    EXPECT_EQ("CCUHandler Socket Restart Err", LinesOf("CCUHandler::OnClose").back().strText);

    // The orphan socket of that restart is in no slot.
    m_log.Clear();
    const nox::SOCKID sockOrphan = m_engine.m_vecCreated.back();
    m_engine.ReportClose(sockOrphan, 1);
    EXPECT_EQ((std::vector<Logged>{{nox::kLogError, "nox::SOCKID not found SOCKID[" +
                                                        std::to_string(sockOrphan) + "]"}}),
              LinesOf("CCUListen::RestartSockListen"));
    EXPECT_EQ("CCUHandler Socket Restart Err", LinesOf("CCUHandler::OnClose").back().strText);

    m_engine.m_setFailCreate = {10};   // the next restart's create
    m_pHandler->OnClose(sockOld, 1);
    EXPECT_TRUE(m_log.Contains("create socket failure index[0]"));

    // An unknown id is printed with all 64 bits.
    m_pHandler->OnClose(nox::kInvalidSockId, 9);
    EXPECT_TRUE(m_log.Contains("Close socket[-1] error[9]"));
    EXPECT_TRUE(m_log.Contains("nox::SOCKID not found SOCKID[18446744073709551615]"));
}

TEST_F(CCUListenTest, CloseAfterStopIsNotRestarted)
{
    CCUListen& listen = MakeListener();
    ASSERT_EQ(0, listen.StartListen());
    listen.StopListen();
    const size_t nCreated = m_engine.m_vecCreated.size();
    m_log.Clear();

    m_pHandler->OnClose(listen.m_vecSockId[0], 0);
    EXPECT_EQ(nCreated, m_engine.m_vecCreated.size());
    EXPECT_EQ((std::vector<Logged>{{nox::kLogInfo, "Close socket[100] error[0]"},
                                   {nox::kLogInfo, "CCUHandler Stop"}}),
              LinesOf("CCUHandler::OnClose"));
}

// The found slot is checked against the socket table, not the endpoint list;
// an endpoint the list no longer holds is not re-opened.
TEST_F(CCUListenTest, RestartOfASlotBeyondTheEndpointList)
{
    ASSERT_EQ(0, MakeListener().StartListen());
    CServerConfig::instance()->m_vecListenAddr.resize(3);
    const size_t nCreated = m_engine.m_vecCreated.size();
    m_log.Clear();
    m_engine.ReportClose(Slot(5), 1);
    EXPECT_TRUE(LinesOf("CCUListen::RestartSockListen").empty());
    EXPECT_EQ(nCreated, m_engine.m_vecCreated.size());
    EXPECT_EQ("CCUHandler Socket Restart Err", LinesOf("CCUHandler::OnClose").back().strText);
}

}  // namespace
