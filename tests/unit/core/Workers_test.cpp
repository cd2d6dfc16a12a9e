// Handler start and the worker pool: adapter rows, runners, dispatch order,
// one answer per request, stop with requests in flight.
#include <atomic>
#include <future>
#include <set>
#include <thread>

#include "HandlerFixture.h"

namespace {

using WorkersTest = HandlerFixture;

TEST_F(WorkersTest, StartReadsEveryAdapterAndStartsTheConfiguredRunners)
{
    AddSecondAdapter();
    CServerConfig::instance()->m_nThreadNum = 4;
    m_pHandler = new CCUHandler(&m_engine, nullptr);
    ASSERT_EQ(4u, m_pHandler->m_vecRunner.size());
    EXPECT_FALSE(m_pHandler->m_vecRunner[0].IsStarted());

    ASSERT_EQ(0, m_pHandler->StartHandler());
    EXPECT_EQ((std::vector<Logged>{
                  {nox::kLogInfo, "adapterName[eth0] macAddr[00:11:22:33:44:55] hostAddr[10.0.0.5] "
                                  "subNetMask[255.255.255.0] gateWayAddr[10.0.0.1] isOK[1]"},
                  {nox::kLogInfo, "adapterName[eth1] macAddr[66:77:88:99:aa:bb] "
                                  "hostAddr[192.168.1.10] subNetMask[255.255.0.0] "
                                  "gateWayAddr[0.0.0.0] isOK[1]"},
                  {nox::kLogInfo, "Get Serial Num OK! buffer[SN-TEST]"},
                  {nox::kLogInfo, "Start Handler OK"}}),
              LinesOf("CCUHandler::StartHandler"));
    ASSERT_EQ(2u, m_pHandler->m_vecAdapter.size());
    EXPECT_EQ(1, m_pHandler->m_vecAdapter[1].isOK);
    EXPECT_STREQ("192.168.1.10", m_pHandler->m_vecAdapter[1].hostAddr);
    for (const nox::Runner& runner : m_pHandler->m_vecRunner) {
        EXPECT_TRUE(runner.IsStarted());
        EXPECT_EQ(nox::RUNNER_LOOP, runner.GetType());
    }
    EXPECT_EQ(1, m_pHandler->m_nRunning.Get());

    // Without a serial number the start goes on silently.
    m_host.m_nSerialResult = -1;
    CServerConfig::instance()->m_nThreadNum = 0;
    nox::Ref<CCUHandler> other(new CCUHandler(&m_engine, nullptr));
    m_log.Clear();
    EXPECT_EQ(0, other->StartHandler());
    EXPECT_EQ(3u, LinesOf("CCUHandler::StartHandler").size());
    EXPECT_EQ("Start Handler OK", LinesOf("CCUHandler::StartHandler").back().strText);
}

TEST_F(WorkersTest, RequestsAreTakenOldestFirst)
{
    StartHandler();
    Deliver(MakeJsonRequest(), "10.0.0.1", 1001);
    Deliver(MakeBinaryRequest(), "10.0.0.2", 1002);
    Deliver(MakeJsonRequest(), "10.0.0.3", 1003);
    for (const char* szHost : {"10.0.0.1", "10.0.0.2", "10.0.0.3", ""}) {
        EXPECT_EQ(0, m_pHandler->HandleRequest());   // last: empty queue, returns at once
        const auto vecSent = m_engine.TakeSent();
        ASSERT_EQ(szHost[0] ? 1u : 0u, vecSent.size());
        if (szHost[0]) {
            EXPECT_EQ(szHost, vecSent[0].strHost);
        }
    }
}

TEST_F(WorkersTest, EachRequestIsAnsweredByExactlyOneOfEightWorkers)
{
    CServerConfig::instance()->m_nThreadNum = 8;
    StartHandler();
    const int kRequests = 50;
    for (int i = 0; i < kRequests; ++i) {
        Deliver(MakeJsonRequest(), ("10.1.0." + std::to_string(i)).c_str(), 2000 + i);
        nox::Runner::NotifyWork();
    }
    ASSERT_TRUE(m_engine.WaitSent(kRequests, kWait));
    m_pHandler->StopHandler();
    m_pHandler->JoinWorkers();

    const auto vecSent = m_engine.TakeSent();
    std::set<int> setPort;
    for (const auto& sent : vecSent)
        setPort.insert(sent.nPort);
    EXPECT_EQ(static_cast<size_t>(kRequests), vecSent.size());
    EXPECT_EQ(static_cast<size_t>(kRequests), setPort.size());
}

TEST_F(WorkersTest, StopDropsQueuedRequestsButFinishesATakenOne)
{
    StartHandler();
    std::promise<void> inSend, gate;
    std::atomic<bool> bSignalled{false};
    std::shared_future<void> gateOpen = gate.get_future().share();
    m_engine.m_onSend = [&](const FakeNetEngine::Sent&) {
        if (!bSignalled.exchange(true))
            inSend.set_value();
        gateOpen.wait_for(kWait);
    };
    Deliver(MakeJsonRequest(), "10.0.0.1", 1001);
    Deliver(MakeJsonRequest(), "10.0.0.2", 1002);

    std::thread worker([&] { m_pHandler->HandleRequest(); });
    const bool bInSend = inSend.get_future().wait_for(kWait) == std::future_status::ready;
    EXPECT_EQ(0, m_pHandler->StopHandler());
    EXPECT_EQ(0u, QueueSize());
    gate.set_value();
    worker.join();
    ASSERT_TRUE(bInSend);

    const auto vecSent = m_engine.TakeSent();
    ASSERT_EQ(1u, vecSent.size());
    EXPECT_EQ("10.0.0.1", vecSent[0].strHost);
    EXPECT_TRUE(m_log.Contains("Stop Handler OK"));
    EXPECT_EQ(0, m_pHandler->m_nRunning.Get());
}

TEST_F(WorkersTest, ReleasingARunningHandlerStopsItsWorkersFirst)
{
    CServerConfig::instance()->m_nThreadNum = 3;
    std::atomic<bool> bReleased{false};
    std::atomic<int> nLateSends{0};
    m_engine.m_onSend = [&](const FakeNetEngine::Sent&) { nLateSends += bReleased ? 1 : 0; };
    StartHandler();
    for (int i = 0; i < 20; ++i) {
        Deliver(MakeBinaryRequest(), ("10.2.0." + std::to_string(i)).c_str(), 1);
        nox::Runner::NotifyWork();
    }
    m_pHandler.release();   // the last reference: the destructor stops and joins the runners
    bReleased = true;
    nox::Runner::NotifyWork();
    EXPECT_EQ(0, nLateSends.load());
}

}  // namespace
