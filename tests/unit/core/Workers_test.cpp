// The worker pool: one answer per request, oldest first, and the stop.
#include <atomic>
#include <future>
#include <set>
#include <thread>

#include "HandlerFixture.h"

namespace {

using WorkersTest = HandlerFixture;

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

    std::set<int> setPort;
    for (const auto& sent : m_engine.TakeSent())
        EXPECT_TRUE(setPort.insert(sent.nPort).second) << "answered twice: " << sent.nPort;
    EXPECT_EQ(static_cast<size_t>(kRequests), setPort.size());
}

// A worker in the middle of a step's send finishes the requests it took (the
// oldest, one step's worth); the stop drops what is still queued.
TEST_F(WorkersTest, StopDropsQueuedRequestsButFinishesTheTakenOldestOnes)
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
    const int kStep = CCUHandler::kRequestsPerStep;
    for (int i = 0; i < kStep + 4; ++i)
        Deliver(MakeJsonRequest(), ("10.0.1." + std::to_string(i)).c_str(), 1000 + i);

    std::thread worker([&] { m_pHandler->HandleRequest(); });
    const bool bInSend = inSend.get_future().wait_for(kWait) == std::future_status::ready;
    EXPECT_EQ(0, m_pHandler->StopHandler());
    EXPECT_EQ(0u, QueueSize());
    gate.set_value();
    worker.join();
    ASSERT_TRUE(bInSend);
    const auto vecSent = m_engine.TakeSent();
    ASSERT_EQ(static_cast<size_t>(kStep), vecSent.size());
    for (int i = 0; i < kStep; ++i)
        EXPECT_EQ(1000 + i, vecSent[static_cast<size_t>(i)].nPort);
}

// Replies of one step go out together, and a line the step writes in between
// comes after the lines of the replies made before it.
TEST_F(WorkersTest, AStepSendsItsRepliesTogetherAndKeepsTheLineOrder)
{
    StartHandler();
    Deliver(MakeBinaryRequest(), "10.0.2.1", 2001);
    Deliver(MakeBinaryRequest(0, 0, 16), "10.0.2.2", 2002);   // short: a line, no reply
    Deliver(MakeJsonRequest(), "10.0.2.3", 2003);
    Deliver(MakeJsonRequest(), "10.0.2.4", 2004);
    m_pHandler->HandleRequest();
    const auto vecSent = m_engine.TakeSent();
    ASSERT_EQ(3u, vecSent.size());
    EXPECT_EQ((std::vector<int>{2001, 2003, 2004}),
              (std::vector<int>{vecSent[0].nPort, vecSent[1].nPort, vecSent[2].nPort}));
    EXPECT_EQ(2, m_engine.m_nBatches.load());   // one before the short request's line, one after
    std::vector<std::string> vecOrder;
    for (const auto& line : m_log.Lines()) {
        for (const char* szHost : {"10.0.2.1", "10.0.2.2", "10.0.2.3", "10.0.2.4"}) {
            if (line.strText.find(std::string("host[") + szHost) != std::string::npos)
                vecOrder.push_back(szHost);
        }
    }
    EXPECT_EQ((std::vector<std::string>{"10.0.2.1", "10.0.2.2", "10.0.2.3", "10.0.2.4"}), vecOrder);
}

}  // namespace
