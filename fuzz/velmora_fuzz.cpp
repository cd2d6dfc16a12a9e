// Feeds arbitrary datagrams through intake, a worker step and both reply
// exchanges, with a fake engine, a host with two adapters and a fake clock.
// Input: byte 0 picks the source host, bytes 1-2 the source port, byte 3 how
// far the clock moves (so the duplicate filter both accepts and drops); the
// rest is the datagram. The datagram text also goes through the address
// conversion.
#include <cstddef>
#include <cstdint>
#include <string>

#include "CUListen/CUHandle.h"
#include "CUListen/DiscoveryReply.h"
#include "FakeNetEngine.h"
#include "Service/Service.h"
#include "nox/PrintLog.h"
#include "nox/testing/ScopedClock.h"
#include "nox/testing/ScopedHost.h"

namespace {

// Swallows every log line, so formatting runs at debug level without output.
class NullLog : public nox::detail::LogObserver {
public:
    void OnLine(int, const char*, int, const char*, const char*) override {}
};

struct World {
    World()
    {
        CServerConfig* pConfig = CServerConfig::instance();
        pConfig->m_vecListenAddr.resize(9);
        for (size_t i = 0; i < 9; ++i) {
            pConfig->m_vecListenAddr[i].m_strHost = "0.0.0.0";
            pConfig->m_vecListenAddr[i].m_nPort = 37810 + static_cast<int>(i);
        }
        pConfig->m_nThreadNum = 0;   // the fuzzer steps the worker itself
        pConfig->m_nAdapterRefresh = 0;   // the table stays as read: runs repeat
        nox::PrintLog::instance().SetStderr(false);
        nox::PrintLog::instance().SetLevel(nox::kLogDebug);
        nox::detail::SwapLogObserver(&log);
        host.m_vecAdapter = {
            nox::testing::ScopedHost::MakeAdapter("eth0", "00:11:22:33:44:55", "10.0.0.5",
                                                  "255.255.255.0", "10.0.0.1"),
            nox::testing::ScopedHost::MakeAdapter("eth1", "66:77:88:99:aa:bb", "192.168.1.10",
                                                  "255.255.0.0", "0.0.0.0")};
        handler = new CCUHandler(&engine, nullptr);
        handler->StartHandler();
    }

    NullLog log;
    FakeNetEngine engine;
    nox::testing::ScopedHost host;
    nox::testing::ScopedClock clock{0};
    nox::Ref<CCUHandler> handler;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    static World* pWorld = new World();   // lives until the process ends
    if (nSize < 4)
        return 0;
    static const char* const aszHost[] = {"10.0.0.9", "10.0.0.10", "192.168.1.77", "9.0.0.1"};
    const char* szHost = aszHost[pData[0] & 3];
    const int nPort = pData[1] | pData[2] << 8;
    pWorld->clock.AdvanceMs(static_cast<uint32_t>(pData[3]) * 16u);

    const char* pDatagram = reinterpret_cast<const char*>(pData + 4);
    const int nLen = static_cast<int>(nSize - 4);
    pWorld->handler->OnData(pData[0] >> 2, pDatagram, nLen, szHost, nPort);
    while (true) {
        {
            nox::MutexGuard guard(pWorld->handler->m_dataMutex);
            if (pWorld->handler->m_waitHandleData.empty())
                break;
        }
        pWorld->handler->HandleRequest();
    }
    pWorld->engine.TakeSent();

    uint8_t abOctets[4];
    velmora::AddressToOctets(std::string(pDatagram, static_cast<size_t>(nLen)).c_str(), abOctets);
    return 0;
}
