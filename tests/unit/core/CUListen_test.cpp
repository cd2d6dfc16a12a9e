// The listen set: one socket per endpoint, restart after a close, stop.
#include <memory>

#include "CUListen/CUListen.h"
#include "HandlerFixture.h"

namespace {

class CCUListenTest : public HandlerFixture {
protected:
    CCUListen& Start(int nExpect = 0)
    {
        m_pListen.reset(new CCUListen(&m_engine));
        m_pHandler = m_pListen->m_pHandler;
        EXPECT_EQ(nExpect, m_pListen->StartListen());
        return *m_pListen;
    }
    nox::SOCKID Slot(size_t nIndex)
    {
        nox::MutexGuard guard(m_pListen->m_sockMutex);
        return m_pListen->m_vecSockId.at(nIndex);
    }

    std::unique_ptr<CCUListen> m_pListen;
};

// Every endpoint gets its socket and bind in order; one bound endpoint is
// enough (here the ninth); without adapters no socket is opened.
TEST_F(CCUListenTest, StartBindsEveryEndpointInOrderAndNeedsOne)
{
    for (int nFails : {8, 9, 0}) {
        TearDown();
        const size_t nBinds = m_engine.m_vecBind.size();
        for (int i = 0; i < nFails; ++i)
            m_engine.m_setFailBind.insert(static_cast<int>(nBinds) + i);
        Start(nFails == 9 ? -1 : 0);
        for (size_t i = 0; i < 9; ++i) {
            const ListenAddr& addr = CServerConfig::instance()->m_vecListenAddr[i];
            EXPECT_EQ(std::to_string(Slot(i)) + " " + addr.m_strHost.str() + ":" + std::to_string(addr.m_nPort),
                      m_engine.m_vecBind.at(nBinds + i));
        }
    }
    m_host.m_nAdapterResult = -5;
    const size_t nCreated = m_engine.m_vecCreated.size();
    Start(-1);
    EXPECT_EQ(nCreated, m_engine.m_vecCreated.size());
}

TEST_F(CCUListenTest, ClosedSocketIsRestartedIntoItsSlotAgainAndAgain)
{
    Start();
    nox::SOCKID sock = Slot(3);
    for (int nRound = 0; nRound < 2; ++nRound) {
        m_log.Clear();
        m_engine.ReportClose(sock, 104);
        EXPECT_NE(sock, Slot(3));
        EXPECT_EQ(m_engine.m_vecCreated.back(), Slot(3));
        EXPECT_EQ(std::to_string(Slot(3)) + " 0.0.0.0:5050", m_engine.m_vecBind.back());
        EXPECT_EQ("CCUHandler Socket Restart Ok", LinesOf("CCUHandler::OnClose").back());
        sock = Slot(3);
    }
    EXPECT_EQ(FakeNetEngine::kFirstId + 4, Slot(4));   // no other slot touched
}

// A failed restart keeps the old id in the slot; the socket it opened is in
// no slot, so its own close is not restarted either.
TEST_F(CCUListenTest, FailedRestartsKeepTheSlotAndLeaveAnOrphan)
{
    Start();
    const nox::SOCKID sockOld = Slot(0);
    m_engine.m_setFailBind = {9};   // the restart's bind
    m_engine.ReportClose(sockOld, 1);
    EXPECT_EQ(sockOld, Slot(0));
    EXPECT_TRUE(m_log.Contains("UDP bind failure index[0]"));
    EXPECT_EQ("CCUHandler Socket Restart Err", LinesOf("CCUHandler::OnClose").back());

    const nox::SOCKID sockOrphan = m_engine.m_vecCreated.back();
    m_engine.ReportClose(sockOrphan, 1);
    EXPECT_TRUE(m_log.Contains("nox::SOCKID not found SOCKID[" + std::to_string(sockOrphan) + "]"));
    EXPECT_EQ(sockOrphan, m_engine.m_vecCreated.back());

    m_engine.m_setFailCreate = {10};   // the next restart's create
    m_pHandler->OnClose(sockOld, 1);
    EXPECT_TRUE(m_log.Contains("create socket failure index[0]"));
    EXPECT_EQ(sockOld, Slot(0));
}

// The stop closes every slot, a failed create's too, stops the handler, and a
// close reported afterwards opens nothing.
TEST_F(CCUListenTest, StopClosesEverySlotAndLaterClosesAreNotRestarted)
{
    m_engine.m_setFailCreate = {2};
    CCUListen& listen = Start();
    EXPECT_EQ(nox::kInvalidSockId, Slot(2));
    const std::vector<nox::SOCKID> vecSlots = listen.m_vecSockId;
    EXPECT_EQ(0, listen.StopListen());
    EXPECT_EQ(vecSlots, m_engine.m_vecClosed);
    EXPECT_TRUE(m_log.Contains("Stop Handler OK"));

    const size_t nCreated = m_engine.m_vecCreated.size();
    m_pHandler->OnClose(vecSlots[0], 0);
    EXPECT_EQ(nCreated, m_engine.m_vecCreated.size());
    EXPECT_EQ("CCUHandler Stop", LinesOf("CCUHandler::OnClose").back());
}

// The found slot is checked against the socket table, not the endpoint list;
// an endpoint the list no longer holds is not re-opened.
TEST_F(CCUListenTest, RestartOfASlotBeyondTheEndpointList)
{
    Start();
    CServerConfig::instance()->m_vecListenAddr.resize(3);
    const size_t nCreated = m_engine.m_vecCreated.size();
    m_log.Clear();
    m_engine.ReportClose(Slot(5), 1);
    EXPECT_TRUE(LinesOf("CCUListen::RestartSockListen").empty());
    EXPECT_EQ(nCreated, m_engine.m_vecCreated.size());
    EXPECT_EQ("CCUHandler Socket Restart Err", LinesOf("CCUHandler::OnClose").back());
}

}  // namespace
