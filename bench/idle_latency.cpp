// Idle cost and loopback latency of the discovery service, in-process: the
// real engine, listener, handler and 8 workers, nine endpoints on 127.0.0.1.
//   idle_latency [idle_seconds=10] [requests=1000] [time_limit_s=60]
// Prints one line per figure:
//   (1) voluntary context switches per second of every task while idle;
//   (2) JSON request sent -> reply received, and request sent -> taken by a
//       worker (the exchange's serial-number query, recorded by a fake host),
//       median/p90/p99 in microseconds.
// The client socket is a plain loopback socket of the benchmark.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CUListen/CUHandle.h"
#include "CUListen/CUListen.h"
#include "CUListen/Protocol.h"
#include "Service/Service.h"
#include "nox/NetEngine.h"
#include "nox/PrintLog.h"
#include "nox/testing/ScopedClock.h"
#include "nox/testing/ScopedHost.h"

namespace {

using Clock = std::chrono::steady_clock;

// Records when a worker reaches the JSON exchange's serial-number query.
class TimedHost : public nox::testing::ScopedHost {
public:
    int SerialNum(char* szBuf, int nSize) override
    {
        m_nTakenNs.store(Clock::now().time_since_epoch().count());
        return ScopedHost::SerialNum(szBuf, nSize);
    }
    std::atomic<long long> m_nTakenNs{0};
};

long long VoluntarySwitches(int* pTasks)
{
    long long nTotal = 0;
    *pTasks = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(entry.path() / "status");
        std::string strLine;
        while (std::getline(in, strLine)) {
            if (strLine.rfind("voluntary_ctxt_switches:", 0) == 0) {
                nTotal += std::atoll(strLine.c_str() + 24);
                ++*pTasks;
            }
        }
    }
    return nTotal;
}

void PrintPercentiles(const char* szWhat, std::vector<double> vecUs)
{
    if (vecUs.empty()) {
        std::printf("%s: no samples\n", szWhat);
        return;
    }
    std::sort(vecUs.begin(), vecUs.end());
    auto at = [&](double q) { return vecUs[static_cast<size_t>(q * (vecUs.size() - 1))]; };
    std::printf("%s: n=%zu median=%.1f us p90=%.1f us p99=%.1f us\n", szWhat, vecUs.size(),
                at(0.5), at(0.9), at(0.99));
}

std::string JsonRequest()
{
    std::string strOut(velmora::kJsonHeaderLen, '\0');
    strOut[0] = static_cast<char>(velmora::kHeadJson);
    strOut += "{\"method\":\"KQDiscover.search\"}";
    strOut.push_back('\0');
    return strOut;
}

}  // namespace

int main(int argc, char** argv)
{
    const int nIdleSec = argc > 1 ? std::atoi(argv[1]) : 10;
    const int nRequests = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int nLimitSec = argc > 3 ? std::atoi(argv[3]) : 60;

    nox::PrintLog::instance().SetStderr(false);
    nox::PrintLog::instance().SetLevel(nox::kLogInfo);
    TimedHost host;
    host.m_vecAdapter = {nox::testing::ScopedHost::MakeAdapter(
        "bench0", "00:11:22:33:44:55", "127.0.0.1", "255.0.0.0", "0.0.0.0")};
    nox::testing::ScopedClock clock;

    const int nBasePort = 30000 + static_cast<int>(getpid() % 20000);
    CServerConfig* pConfig = CServerConfig::instance();
    pConfig->m_vecListenAddr.resize(CServerConfig::kListenCount);
    for (int i = 0; i < CServerConfig::kListenCount; ++i) {
        pConfig->m_vecListenAddr[static_cast<size_t>(i)].m_strHost = "127.0.0.1";
        pConfig->m_vecListenAddr[static_cast<size_t>(i)].m_nPort = nBasePort + i;
    }
    pConfig->m_nThreadNum = 8;

    nox::NetEngine engine;
    if (engine.StartEngine(nox::kNetEngineEvent, 2048, 4) != 0) {
        std::printf("engine start failed\n");
        return 1;
    }
    std::unique_ptr<CCUListen> pListen(new CCUListen(&engine));
    if (pListen->StartListen() != 0) {
        std::printf("listen failed (ports %d..%d)\n", nBasePort, nBasePort + 8);
        return 1;
    }

    // (1) Idle wake-ups.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    int nTasks = 0;
    const long long nBefore = VoluntarySwitches(&nTasks);
    std::this_thread::sleep_for(std::chrono::seconds(nIdleSec));
    const long long nAfter = VoluntarySwitches(&nTasks);
    // The benchmark's own main thread sleeps through the window: one wake-up
    // of it is in the count.
    std::printf("idle wake-ups: %.1f/s over %d s, %d tasks (8 workers, 4 engine threads)\n",
                static_cast<double>(nAfter - nBefore) / nIdleSec, nIdleSec, nTasks);

    // (2) Loopback latency.
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    timeval tv{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(static_cast<uint16_t>(nBasePort));
    dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string strReq = JsonRequest();
    std::vector<double> vecRoundUs, vecTakenUs;
    char abReply[2048];
    int nLost = 0;
    const auto tEnd = Clock::now() + std::chrono::seconds(nLimitSec);
    for (int i = 0; i < nRequests && Clock::now() < tEnd; ++i) {
        clock.AdvanceMs(3000);   // past the duplicate filter's window
        host.m_nTakenNs.store(0);
        const auto t0 = Clock::now();
        sendto(fd, strReq.data(), strReq.size(), 0, reinterpret_cast<sockaddr*>(&dst), sizeof(dst));
        const ssize_t n = recv(fd, abReply, sizeof(abReply), 0);
        const auto t1 = Clock::now();
        if (n <= 0) {
            ++nLost;
            continue;
        }
        vecRoundUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        const long long nTaken = host.m_nTakenNs.load();
        if (nTaken != 0)
            vecTakenUs.push_back((nTaken - t0.time_since_epoch().count()) / 1000.0);
    }
    close(fd);
    PrintPercentiles("loopback round trip", vecRoundUs);
    PrintPercentiles("sent to taken by a worker", vecTakenUs);
    if (nLost)
        std::printf("lost: %d\n", nLost);

    pListen->StopListen();
    (void)engine.StopEngine();
    pListen->m_pHandler->JoinWorkers();
    return 0;
}
