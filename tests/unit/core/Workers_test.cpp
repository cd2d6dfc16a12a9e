// Handler start and the worker pool: adapter rows, runners, dispatch order,
// one answer per request, stop with requests in flight, and a flood.
#include <atomic>
#include <random>
#include <set>
#include <thread>

#include "HandlerFixture.h"

namespace {

using WorkersTest = HandlerFixture;

TEST_F(WorkersTest, StartReadsEveryAdapterAndStartsTheConfiguredRunners)
{
    m_host.m_vecAdapter.push_back(nox::testing::ScopedHost::MakeAdapter(
        "eth1", "66:77:88:99:aa:bb", "192.168.1.10", "255.255.0.0", "0.0.0.0"));
    CServerConfig::instance()->m_nThreadNum = 4;
    m_pHandler = new CCUHandler(&m_engine, nullptr);
    ASSERT_EQ(4u, m_pHandler->m_vecRunner.size());
    EXPECT_FALSE(m_pHandler->m_vecRunner[0].IsStarted());

    ASSERT_EQ(0, m_pHandler->StartHandler());
    EXPECT_EQ((std::vector<Logged>{
                  {nox::kLogInfo, "adapterName[eth0] macAddr[00:11:22:33:44:55] hostAddr[10.0.0.5] "
                                  "subNetMask[255.255.255.0] gateWayAddr[10.0.0.1] isOK[1]"},
                  {nox::kLogInfo, "adapterName[eth1] macAddr[66:77:88:99:aa:bb] hostAddr[192.168.1.10] "
                                  "subNetMask[255.255.0.0] gateWayAddr[0.0.0.0] isOK[1]"},
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
    nox::Ref<CCUHandler> other(new CCUHandler(&m_engine, nullptr));
    m_log.Clear();
    CServerConfig::instance()->m_nThreadNum = 0;
    EXPECT_EQ(0, other->StartHandler());
    EXPECT_FALSE(m_log.Contains("Get Serial Num OK! buffer[]"));
    EXPECT_EQ(3u, LinesOf("CCUHandler::StartHandler").size());
}

TEST_F(WorkersTest, RequestsAreTakenOldestFirst)
{
    StartHandler();
    Deliver(MakeJsonRequest(), "10.0.0.1", 1001);
    Deliver(MakeBinaryRequest(), "10.0.0.2", 1002);
    Deliver(MakeJsonRequest(), "10.0.0.3", 1003);
    for (const char* szHost : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) {
        EXPECT_EQ(0, m_pHandler->HandleRequest());
        const auto vecSent = m_engine.TakeSent();
        ASSERT_EQ(1u, vecSent.size());
        EXPECT_EQ(szHost, vecSent[0].strHost);
    }
    EXPECT_EQ(0, m_pHandler->HandleRequest());   // empty queue: returns at once
    EXPECT_TRUE(m_engine.TakeSent().empty());
}

TEST_F(WorkersTest, EachRequestIsAnsweredByExactlyOneOfEightWorkers)
{
    CServerConfig::instance()->m_nThreadNum = 8;
    StartHandler();
    const int kRequests = 50;
    for (int i = 0; i < kRequests; ++i) {
        const std::string strHost = "10.1.0." + std::to_string(i);
        Deliver(MakeJsonRequest(), strHost.c_str(), 2000 + i);
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
    std::atomic<bool> bInSend{false};
    std::atomic<bool> bGate{false};
    m_engine.m_onSend = [&] {
        bInSend = true;
        for (int i = 0; i < 10000 && !bGate; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    Deliver(MakeJsonRequest(), "10.0.0.1", 1001);
    Deliver(MakeJsonRequest(), "10.0.0.2", 1002);

    std::thread worker([&] { m_pHandler->HandleRequest(); });
    for (int i = 0; i < 10000 && !bInSend; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(bInSend);
    EXPECT_EQ(0, m_pHandler->StopHandler());
    EXPECT_EQ(0u, QueueSize());
    bGate = true;
    worker.join();

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
    m_engine.m_onSend = [&] {
        if (bReleased)
            ++nLateSends;
    };
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

TEST_F(WorkersTest, FloodOfRandomDatagramsDrainsAndServiceStillAnswers)
{
    CServerConfig::instance()->m_nThreadNum = 8;
    m_host.m_vecAdapter.push_back(nox::testing::ScopedHost::MakeAdapter(
        "eth1", "66:77:88:99:aa:bb", "192.168.1.10", "255.255.0.0", "0.0.0.0"));
    StartHandler();
    nox::PrintLog::instance().SetLevel(nox::kLogInfo);

    std::mt19937 rng(12345);
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string strData;
    for (int i = 0; i < 5000 && std::chrono::steady_clock::now() < tEnd; ++i) {
        const unsigned nKind = rng() % 4;
        strData.assign(rng() % 600, '\0');
        for (char& c : strData)
            c = static_cast<char>(rng());
        if (!strData.empty() && nKind < 2)
            strData[0] = static_cast<char>(nKind == 0 ? velmora::kHeadJson : velmora::kHeadBinary);
        if (nKind == 3)
            strData = MakeJsonRequest();
        m_clock.AdvanceMs(rng() % 700);
        const std::string strHost = "10.3." + std::to_string(rng() % 8) + "." +
                                    std::to_string(rng() % 16);
        Deliver(strData, strHost.c_str(), static_cast<int>(1024 + rng() % 60000),
                1 + rng() % 9);
        nox::Runner::NotifyWork();
    }
    for (int i = 0; i < 10000 && QueueSize() > 0; ++i) {
        nox::Runner::NotifyWork();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(0u, QueueSize());

    m_clock.AdvanceMs(10000);
    Deliver(MakeJsonRequest(), "10.9.9.9", 4242);
    nox::Runner::NotifyWork();
    EXPECT_TRUE(m_log.WaitFor(
        [](const nox::testing::LogCapture::Line& line) {
            return line.strText.find("host[10.9.9.9:4242] interface[eth1] ret[0]") !=
                   std::string::npos;
        },
        kWait));
    m_pHandler->StopHandler();
    m_pHandler->JoinWorkers();
    size_t nAnswers = 0;
    for (const auto& sent : m_engine.TakeSent())
        nAnswers += sent.strHost == "10.9.9.9" && sent.nPort == 4242;
    EXPECT_EQ(2u, nAnswers);
}

}  // namespace
