// Intake: the accepted heads and the duplicate filter.
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <regex>
#include <thread>

#include "HandlerFixture.h"

namespace {

class IntakeTest : public HandlerFixture {
protected:
    void SetUp() override
    {
        HandlerFixture::SetUp();
        StartHandler();
    }
};

// A request is dropped when the same host sent the same head within
// FilterInterval (2) whole seconds of its last accepted one; port, socket and
// body do not count, and a clock that went back (tick wrap) accepts.
TEST_F(IntakeTest, DuplicateFilterWindowKeyAndTickWrap)
{
    const std::string strJson = MakeJsonRequest(), strBin = MakeBinaryRequest();
    const struct { uint32_t nMs; const char* szHost; int nPort; std::string strData; bool bQueued; }
    kSteps[] = {
        {100999, "10.0.0.9", 5000, strJson, true},
        {101000, "10.0.0.9", 5001, MakeJsonRequest("x"), false},   // other port and body
        {102999, "10.0.0.9", 5000, strJson, false},    // second 102: still inside
        {102999, "10.0.0.9", 5000, strBin, true},      // other head
        {102999, "10.0.0.10", 5000, strJson, true},    // other host
        {103000, "10.0.0.9", 5000, strJson, true},     // second 103: outside
        {105999, "10.0.0.9", 5000, strJson, false},    // counted from the last accepted
        {0xFFFFF000, "10.0.0.9", 5000, strBin, true},  // second 4294963
        {0x00001000, "10.0.0.9", 5000, strBin, true},  // wrapped to second 4
        {0x00001000, "10.0.0.9", 5000, strBin, false},
        {0x00009000, "10.0.0.9", 5000, std::string(40, '\x21'), false},   // other heads
        {0x00009000, "10.0.0.9", 5000, std::string(40, '\xB3'), false},
        {0x00009000, "10.0.0.9", 5000, std::string(), false},
    };
    size_t nQueued = 0;
    for (const auto& c : kSteps) {
        SCOPED_TRACE(std::to_string(c.nMs) + " " + c.szHost + " " + std::to_string(c.strData.size()));
        m_clock.SetMs(c.nMs);
        Deliver(c.strData, c.szHost, c.nPort, static_cast<nox::SOCKID>(c.nPort));
        nQueued += c.bQueued ? 1 : 0;
        EXPECT_EQ(nQueued, QueueSize());
    }
}

// The intake line shows the head as a signed byte and the low 32 bits of the socket.
TEST_F(IntakeTest, IntakeLineShowsTheSignedHead)
{
    Deliver(MakeBinaryRequest(), "10.0.0.9", 5000, (nox::SOCKID{1} << 32) | 7u);
    Deliver(MakeBinaryRequest(), "10.0.0.9", 5001, 8);
    EXPECT_EQ((std::vector<std::string>{
                  "New Data hSocket[7] buf[0xffffffa3] len[17] addr[10.0.0.9] port[5000] bFlag[1]",
                  "New Data hSocket[8] buf[0xffffffa3] len[17] addr[10.0.0.9] port[5001] bFlag[0]"}),
              LinesOf("CCUHandler::OnData"));
}

// The state dump writes its rows without the filter lock: intake on another
// thread completes while a row is being written.
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
    EXPECT_EQ(0, m_pHandler->PrintSvrInfo());
    nox::detail::SwapLogObserver(pPrev);
    ASSERT_TRUE(probe.done.valid());
    probe.done.wait();
    EXPECT_TRUE(probe.bIntakeRan);
}

using IntakeBatchTest = HandlerFixture;

// The real engine's thread is held in the first datagram while the others
// wait, then reads them at once: each request from the three hosts keeps its
// filter decision, and the accepted ones their order in the queue.
TEST_F(IntakeBatchTest, ABatchFromSeveralHostsKeepsFilterDecisionsAndOrder)
{
#ifdef _WIN32
    GTEST_SKIP() << "the batch receive is Linux's; Wine also sends all loopback from 127.0.0.1";
#endif
    struct HeldHandler : CCUHandler {
        using CCUHandler::CCUHandler;
        void OnData(nox::SOCKID sock, const char* buf, int len, const char* addr, int port) override
        {
            if (!bHeld.exchange(true)) {
                inFirst.set_value();
                release.wait();
            }
            CCUHandler::OnData(sock, buf, len, addr, port);
        }
        std::atomic<bool> bHeld{false};
        std::promise<void> inFirst;
        std::shared_future<void> release;
    };
    nox::NetEngine engine;
    ASSERT_EQ(0, engine.StartEngine(nox::kNetEngineEvent, 16, 1));
    std::promise<void> release;
    nox::Ref<HeldHandler> handler(new HeldHandler(&engine, nullptr));
    handler->release = release.get_future().share();
    ASSERT_EQ(0, handler->StartHandler());
    int nPort = 40000;   // the first free one
    nox::SOCKID server = nox::kInvalidSockId;
    for (; server == nox::kInvalidSockId && nPort < 40100; ++nPort) {
        server = engine.CreateSocket(handler, nullptr);
        if (engine.StartUDP(server, "127.0.0.1", nPort, nullptr, 0, true) != 0)
            server = (engine.CloseSocket(server), nox::kInvalidSockId);
    }
    ASSERT_NE(nox::kInvalidSockId, server);
    const char* kHosts[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4"};
    nox::SOCKID aClient[3];
    for (int i = 0; i < 3; ++i) {
        aClient[i] = engine.CreateSocket(handler, nullptr);
        ASSERT_EQ(0, engine.StartUDP(aClient[i], kHosts[i], 0, nullptr, 0, false));
    }
    const std::string strJson = MakeJsonRequest(), strBin = MakeBinaryRequest();
    const struct { int nHost; const std::string& strData; bool bQueued; } kSent[] = {
        {0, strJson, true}, {1, strJson, true}, {0, strJson, false}, {2, strBin, true},
        {1, strJson, false}, {1, strBin, true}, {2, strBin, false}, {0, strBin, true}};
    std::string strWant, strWantQueue, strGot, strQueue;
    for (const auto& sent : kSent) {
        ASSERT_EQ(0, engine.SendTo(aClient[sent.nHost], sent.strData.data(),
                                   static_cast<int>(sent.strData.size()), "127.0.0.1", nPort - 1));
        if (&sent == kSent)
            handler->inFirst.get_future().wait();
        const std::string strReq = std::string(kHosts[sent.nHost]) + (sent.strData == strJson ? "/0x20 " : "/0xffffffa3 ");
        strWant += strReq + (sent.bQueued ? "1 " : "0 ");
        strWantQueue += sent.bQueued ? strReq : "";
    }
    release.set_value();
    for (int i = 0; i < 1000 && LinesOf("CCUHandler::OnData").size() < 8; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));   // the lines are the event
    engine.StopEngine();
    for (const std::string& strLine : LinesOf("CCUHandler::OnData")) {
        const std::regex line(R"(New Data .* buf\[(0x[0-9a-f]+)\] .* addr\[([0-9.]+)\] .* bFlag\[([01])\])");
        std::smatch match;
        if (std::regex_match(strLine, match, line))
            strGot += match.str(2) + "/" + match.str(1) + " " + match.str(3) + " ";
    }
    {
        nox::MutexGuard guard(handler->m_dataMutex);
        for (const auto& req : handler->m_waitHandleData)
            strQueue += std::string(req->m_szAddr) + (req->m_pBuffer[0] == '\x20' ? "/0x20 " : "/0xffffffa3 ");
    }
    handler->StopHandler();
    EXPECT_EQ(strWant, strGot);
    EXPECT_EQ(strWantQueue, strQueue);
}

}  // namespace
