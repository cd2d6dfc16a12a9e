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

// A worker in the middle of a send finishes it; the stop drops what is queued.
TEST_F(WorkersTest, StopDropsQueuedRequestsButFinishesTheTakenOldestOne)
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
}

}  // namespace
