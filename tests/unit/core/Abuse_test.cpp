// Limits for untrusted networks: bounded filter, queue bound, reply budget,
// on-link check, throttled warnings.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CUListen/CUHandle.h"
#include "CUListen/OnLink.h"
#include "Service/Service.h"
#include "nox/PrintLog.h"
#include "nox/testing/LogCapture.h"
#include "nox/testing/ScopedClock.h"
#include "nox/testing/ScopedHost.h"

namespace {

using velmora::FilterTable;

std::string Host(int i) { return "10.0.0." + std::to_string(i); }   // any distinct texts
uint32_t Addr(int i) { return 0x0A000000u + static_cast<uint32_t>(i); }

TEST(FilterTableTest, IntervalCapEvictionOrderAndDumpOrder)
{
    // The window counts from the last accepted request of the host and head;
    // the other head is apart; a clock gone back (the tick wrap) accepts.
    FilterTable table(8);
    uint64_t nEvicted = 0;
    const struct { uint32_t nNow; int nKey; bool bAccept; } aStep[] = {
        {100, 32, true}, {101, 32, false}, {102, 32, false}, {102, -93, true}, {103, 32, true},
        {104, 32, false}, {106, 32, true}, {5, 32, true}, {6, -93, true}, {7, -93, false}};
    for (const auto& step : aStep)
        EXPECT_EQ(step.bAccept, table.Accept(Addr(1), step.nKey, step.nNow, 2, nEvicted)) << step.nNow;
    EXPECT_EQ(1u, table.size());
    EXPECT_EQ(2u, table.Entries());

    // At the cap the host accepted longest ago gives its place; one still
    // inside its interval is counted.
    FilterTable capped(4);
    for (int i = 1; i <= 4; ++i)
        ASSERT_TRUE(capped.Accept(Addr(i), 32, 10, 300, nEvicted));
    ASSERT_TRUE(capped.Accept(Addr(4), -93, 11, 300, nEvicted));   // the newest, again
    ASSERT_TRUE(capped.Accept(Addr(1), -93, 11, 300, nEvicted));   // host 1 is the newest now
    nEvicted = 0;
    EXPECT_TRUE(capped.Accept(Addr(5), 32, 12, 300, nEvicted));    // host 2 goes
    EXPECT_TRUE(capped.Accept(Addr(2), 32, 12, 300, nEvicted));    // so its repeat passes; host 3 goes
    EXPECT_FALSE(capped.Accept(Addr(1), 32, 12, 300, nEvicted));   // host 1 stayed
    EXPECT_FALSE(capped.Accept(Addr(4), 32, 12, 300, nEvicted));   // and host 4
    EXPECT_EQ(2u, nEvicted);
    EXPECT_TRUE(capped.Accept(Addr(6), 32, 400, 300, nEvicted));   // host 4 went, past its interval
    EXPECT_EQ(2u, nEvicted);
    EXPECT_EQ(4u, capped.size());
    // Many hosts through the small table (places reused, slots emptied and
    // refilled): the last four are still found, the one before is gone.
    for (int i = 100; i < 100000; ++i)
        ASSERT_TRUE(capped.Accept(Addr(i), 32, 1000, 300, nEvicted));
    for (int i = 99996; i < 100000; ++i)
        EXPECT_FALSE(capped.Accept(Addr(i), 32, 1001, 300, nEvicted)) << i;
    EXPECT_TRUE(capped.Accept(Addr(99995), 32, 1001, 300, nEvicted));

    // The dump of a full table: hosts in text order (10.0.0.10 < 10.0.0.2 <
    // 9.8.7.1), 0xA3 first.
    FilterTable dump(3);
    for (const auto& step : {std::make_pair("9.8.7.1", 32), {"10.0.0.2", 32}, {"10.0.0.2", -93},
                             {"10.0.0.10", 32}})
        ASSERT_TRUE(dump.Accept(FilterTable::AddressOf(step.first), step.second, 7, 2, nEvicted));
    std::string strRows;
    for (const velmora::FilterRow& row : dump.SortedRows())
        strRows += row.strHost + "/" + std::to_string(row.nKey) + "/" + std::to_string(row.nSeconds) + " ";
    EXPECT_EQ("10.0.0.10/32/7 10.0.0.2/-93/7 10.0.0.2/32/7 9.8.7.1/32/7 ", strRows);
    for (const char* sz : {"", "10.0.0", "10.0.0.2.1", "10.0.0.256", "a.b.c.d", "10..0.1"})
        EXPECT_EQ(0u, FilterTable::AddressOf(sz)) << sz;
    EXPECT_EQ(0xFF000102u, FilterTable::AddressOf("255.0.1.2"));
}

TEST(ReplyBudgetTest, BurstRefillAllOrNoneAndWrap)
{
    // Rate 100: a burst of one second's worth, then one reply per 10 ms, a
    // request's replies all or none, never more than a full bucket, and a full
    // bucket again after the tick wraps.
    velmora::ReplyBudget budget(100);
    const struct { uint32_t nReplies, nMs; bool bTaken; } kTakes[] = {
        {60, 5000, true},   {40, 5000, true},  {1, 5000, false},    {1, 5010, true},
        {1, 5010, false},   {2, 5020, false},  {1, 5020, true},     {101, 90000, false},
        {100, 90000, true}, {100, 0xFFFFFFFFu, true}, {100, 3, true},
    };
    for (const auto& t : kTakes)
        EXPECT_EQ(t.bTaken, budget.Take(t.nReplies, t.nMs)) << t.nReplies << " at " << t.nMs;
    EXPECT_TRUE(velmora::ReplyBudget(0).Take(1000000, 0));
}

TEST(OnLinkTest, DecisionTable)
{
    std::vector<AdapterEntry> vecRow(3, AdapterEntry());
    const char* const kRows[3][2] = {
        {"10.0.0.5", "255.255.255.0"}, {"192.168.1.10", "255.255.255.255"}, {"172.16.0.1", "0.0.0.0"}};
    for (size_t i = 0; i < 3; ++i) {
        const nox::AdapterInfo info =
            nox::testing::ScopedHost::MakeAdapter("e", "m", kRows[i][0], kRows[i][1], "");
        std::memcpy(reinterpret_cast<char*>(&vecRow[i]) + 1, &info, sizeof(info));   // after isOK
        vecRow[i].isOK = 1;
    }
    const std::vector<velmora::Subnet> vecNet = velmora::OnLinkSubnets(vecRow);
    const struct { const char* szAddr; bool bOnLink; } kCases[] = {
        {"10.0.0.200", true},  {"10.0.0.5", true},      {"10.0.1.5", false},  // /24
        {"192.168.1.10", true}, {"192.168.1.11", false},                       // /32 host route
        {"127.0.0.1", true},   {"127.255.0.9", true},                         // loopback
        {"8.8.8.8", false},    {"172.16.0.2", false},                         // no zero mask
        {"", false},           {"10.0.0", false},       {"10.0.0.1.1", false}, {"10.0..5", false},
        {"10.0.0.1000", false}, {"9.255.255.256", false},   // 256 would carry into 10.0.0.0
    };
    for (const auto& c : kCases)
        EXPECT_EQ(c.bOnLink, velmora::IsOnLink(vecNet, c.szAddr)) << c.szAddr;
}

TEST(LogThrottleTest, OneLinePerWindowAndTheCountOnceItEnds)
{
    velmora::LogThrottle throttle;
    // nTake: TakeHeld at that tick before the hit (1: window ended, 2: all).
    const struct { uint32_t nMs; uint64_t nCount; int nTake; bool bLine; uint64_t nHeld; uint32_t nSeconds; } kHits[] = {
        {1000, 1, 0, true, 0, 0},   {1001, 1, 0, false, 0, 0},  {10998, 0, 1, false, 0, 0},
        {10999, 1, 0, false, 0, 0},
        {11000, 1, 0, true, 2, 10}, {11001, 1, 0, false, 0, 0}, {20999, 0, 1, false, 0, 0},
        {21000, 0, 1, false, 1, 10}, {26000, 1, 0, true, 0, 0}, {26000, 3, 0, false, 0, 0},
        {27500, 0, 2, false, 3, 2}, {27600, 0, 2, false, 0, 0},
    };
    for (const auto& h : kHits) {
        velmora::LogThrottle::Held held{0, 0};
        bool bLine = false;
        if (h.nTake != 0) {
            held = throttle.TakeHeld(h.nMs, h.nTake == 2);
        } else {
            const velmora::LogThrottle::Due due = throttle.Hit(h.nMs, h.nCount);
            bLine = due.bLine;
            held = due.held;
        }
        EXPECT_EQ(h.bLine, bLine) << h.nMs;
        EXPECT_EQ(h.nHeld, held.nCount) << h.nMs;
        EXPECT_EQ(h.nSeconds, held.nSeconds) << h.nMs;
    }
}

// The handler: a full queue drops before the filter; the budget answers all
// of a request's adapters or none; a warning line per 10 s with its count.
class CountingEngine : public nox::NetEngine {
public:
    int SendToBatch(SOCKID, nox::OutDatagram* pDatagrams, int n) override
    {
        for (int i = 0; i < n; ++i)
            pDatagrams[i].nResult = (++m_nSent, 0);
        return 0;
    }
    int m_nSent = 0;
};

TEST(GuardedHandlerTest, QueueBoundBudgetAndWarnings)
{
    nox::testing::ScopedClock clock(50000);
    nox::testing::ScopedHost host;
    nox::testing::LogCapture log;
    nox::PrintLog::instance().SetStderr(false);
    for (const char* szAddr : {"10.0.0.5", "10.0.1.5"})
        host.m_vecAdapter.push_back(nox::testing::ScopedHost::MakeAdapter(
            "eth", "00:11:22:33:44:55", szAddr, "255.255.255.0", "10.0.0.1"));
    CServerConfig* pConfig = CServerConfig::instance();
    *pConfig = CServerConfig();
    pConfig->m_nThreadNum = 0;
    pConfig->m_nQueueMaxRequests = 2;
    pConfig->m_nReplyRateLimit = 3;
    CountingEngine engine;
    nox::Ref<CCUHandler> pHandler(new CCUHandler(&engine, nullptr));
    ASSERT_EQ(0, pHandler->StartHandler());

    std::string strReq(17, '\0');
    strReq[0] = '\xA3';
    auto deliver = [&](int i) { pHandler->OnData(7, strReq.data(), 17, Host(i).c_str(), 5000); };
    for (int i = 0; i < 5; ++i)
        deliver(i);
    EXPECT_EQ(2u, pHandler->m_waitHandleData.size());
    EXPECT_EQ(2u, pHandler->m_waitHandleTag.size());   // the dropped left no trace
    int nHosts = -1, nEntries = -1;
    pHandler->FilterSize(nHosts, nEntries);
    EXPECT_EQ(2, nHosts);
    EXPECT_EQ(2, nEntries);
    pHandler->HandleRequest();
    pHandler->HandleRequest();
    EXPECT_EQ(2, engine.m_nSent);   // the second request needed 2 of the 1 left
    deliver(0);                     // a repeat: filtered, its slot given back
    deliver(2);                     // dropped before, so not filtered now
    deliver(3);
    deliver(4);                     // the queue is full again: held for the next line
    clock.AdvanceMs(10000);
    deliver(5);                     // a new window: the held count first
    nox::PrintLog::instance().SetLevel(nox::kLogDebug);   // the counters are debug lines
    pHandler->PrintSvrInfo();
    nox::PrintLog::instance().SetLevel(nox::kLogInfo);
    clock.AdvanceMs(2500);
    deliver(6);
    pHandler->FlushWarnings(false);   // inside its window: held
    std::vector<std::string> vecCount;
    for (const auto& line : log.Lines()) {
        if (line.strFunc == "CCUHandler::PrintCounters")
            vecCount.push_back(line.strText);
    }
    pHandler->StopHandler();          // writes what is held
    std::vector<std::string> vecWarn;
    for (const auto& line : log.Lines()) {
        if (line.nLevel == nox::kLogError)
            vecWarn.push_back(line.strFunc + ": " + line.strText);
    }
    EXPECT_EQ((std::vector<std::string>{
                  "CCUHandler::OnData: queue full: 1 request dropped (more within 10 s are counted)",
                  "CCUHandler::handle_same_segment: reply budget: 1 request not answered (more within 10 s are counted)",
                  "CCUHandler::OnData: queue full: 3 more requests dropped in 10 s",
                  "CCUHandler::OnData: queue full: 1 request dropped (more within 10 s are counted)",
                  "CCUHandler::OnData: queue full: 1 more request dropped in 3 s"}),
              vecWarn);
    EXPECT_EQ((std::vector<std::string>{"received_json 0", "received_binary 10", "received_other 0",
                                        "filtered_duplicate 1", "dropped_queue_full 5",
                                        "dropped_off_link 0", "replies_sent 2", "replies_withheld 2",
                                        "send_errors 0", "decode_failed 0"}),
              vecCount);
}

// The budget is read at each step's own time: a step after a second's refill
// answers again, although an earlier step on the same thread found it spent.
TEST(GuardedHandlerTest, EachStepReadsTheBudgetAtItsOwnTime)
{
    nox::testing::ScopedClock clock(50000);
    nox::testing::ScopedHost host;
    nox::testing::LogCapture log;
    host.m_vecAdapter.push_back(nox::testing::ScopedHost::MakeAdapter(
        "eth", "00:11:22:33:44:55", "10.0.0.5", "255.255.255.0", "10.0.0.1"));
    CServerConfig* pConfig = CServerConfig::instance();
    *pConfig = CServerConfig();
    pConfig->m_nThreadNum = 0;
    pConfig->m_nReplyRateLimit = 1;
    CountingEngine engine;
    nox::Ref<CCUHandler> pHandler(new CCUHandler(&engine, nullptr));
    ASSERT_EQ(0, pHandler->StartHandler());
    std::string strReq(17, '\0');
    strReq[0] = '\xA3';
    for (int i = 0; i < 3; ++i) {
        if (i == 2)
            clock.AdvanceMs(1000);
        pHandler->OnData(7, strReq.data(), 17, Host(i).c_str(), 5000);
        pHandler->HandleRequest();
    }
    EXPECT_EQ(2, engine.m_nSent);   // the second found the budget spent, the third a new one
    pHandler->StopHandler();
}

}  // namespace
