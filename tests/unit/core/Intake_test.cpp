// Intake: the accepted heads and the duplicate filter.
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
    m_pHandler->PrintSvrInfo();
    nox::detail::SwapLogObserver(pPrev);
    ASSERT_TRUE(probe.done.valid());
    probe.done.wait();
    EXPECT_TRUE(probe.bIntakeRan);
}

}  // namespace
