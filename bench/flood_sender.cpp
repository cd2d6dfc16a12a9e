// Discovery requests from many distinct source addresses, for the flood
// scenario and the flood benchmark. Every address of --src-net must be local
// where this runs (see SourcedBatch.h), so no address needs to be configured
// one by one. The socket is bound to 0.0.0.0:--src-port, so the replies to all
// those addresses come back to it and are counted.
//   flood_sender --host IP [--port 37810] [--src-net 100.64.0.0] [--sources N]
//                [--count N] [--seconds S] [--rate PER_S] [--form binary|json]
//                [--src-port 40000] [--linger S] [--expect N]
// Bounded by --count and --seconds; --rate 0 sends as fast as it can. After
// sending it keeps counting replies for --linger seconds, or until --expect
// replies have come. Prints one JSON line:
// sent, send seconds, replies, replies per second over send time + linger, and
// the replies of each whole second since the start.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "SourcedBatch.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string strHost;
    int nPort = 37810;
    std::string strSrcNet = "100.64.0.0";
    unsigned long nSources = 1000000;
    unsigned long nCount = 1000000;
    double dSeconds = 10;
    double dRate = 0;
    std::string strForm = "binary";
    int nSrcPort = 40000;
    double dLinger = 1;
    unsigned long nExpect = 0;
};

bool ParseArgs(int argc, char** argv, Options& opt)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string strKey = argv[i];
        const char* szValue = argv[i + 1];
        if (strKey == "--host") opt.strHost = szValue;
        else if (strKey == "--port") opt.nPort = std::atoi(szValue);
        else if (strKey == "--src-net") opt.strSrcNet = szValue;
        else if (strKey == "--sources") opt.nSources = std::strtoul(szValue, nullptr, 10);
        else if (strKey == "--count") opt.nCount = std::strtoul(szValue, nullptr, 10);
        else if (strKey == "--seconds") opt.dSeconds = std::atof(szValue);
        else if (strKey == "--rate") opt.dRate = std::atof(szValue);
        else if (strKey == "--form") opt.strForm = szValue;
        else if (strKey == "--src-port") opt.nSrcPort = std::atoi(szValue);
        else if (strKey == "--linger") opt.dLinger = std::atof(szValue);
        else if (strKey == "--expect") opt.nExpect = std::strtoul(szValue, nullptr, 10);
        else return false;
    }
    return !opt.strHost.empty() && opt.nSources > 0 && (argc % 2) == 1;
}

std::string Request(const std::string& strForm)
{
    if (strForm == "json") {
        std::string strReq(32, '\0');
        strReq[0] = '\x20';
        return strReq + "{\"method\":\"KQDiscover.search\"}" + std::string(1, '\0');
    }
    std::string strReq(17, '\0');
    strReq[0] = '\xA3';
    return strReq;
}

double Since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    in_addr dstAddr{}, srcBase{};
    if (!ParseArgs(argc, argv, opt) || inet_pton(AF_INET, opt.strHost.c_str(), &dstAddr) != 1 ||
        inet_pton(AF_INET, opt.strSrcNet.c_str(), &srcBase) != 1) {
        std::fprintf(stderr, "usage: see the head of bench/flood_sender.cpp\n");
        return 2;
    }
    const int fd = BindReplySocket(opt.nSrcPort, SO_RCVBUF);
    if (fd < 0) {
        std::perror("flood_sender: bind");
        return 1;
    }
    timeval tv{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

    const Clock::time_point t0 = Clock::now();
    std::atomic<bool> bDone{false};
    std::vector<unsigned long> vecPerSecond;
    std::atomic<unsigned long> nReplies{0};
    std::thread receiver([&] {
        char abBuf[2048];
        while (!bDone.load()) {
            if (recv(fd, abBuf, sizeof(abBuf), 0) <= 0)
                continue;
            ++nReplies;
            const size_t nSecond = static_cast<size_t>(Since(t0));
            if (vecPerSecond.size() <= nSecond)
                vecPerSecond.resize(nSecond + 1);
            ++vecPerSecond[nSecond];
        }
    });

    const std::string strReq = Request(opt.strForm);
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(static_cast<uint16_t>(opt.nPort));
    dst.sin_addr = dstAddr;
    SourcedBatch batch(dst);
    unsigned long nSent = 0;
    while (nSent < opt.nCount && Since(t0) < opt.dSeconds) {
        unsigned long nAllowed = opt.nCount;
        if (opt.dRate > 0)
            nAllowed = std::min(nAllowed, static_cast<unsigned long>(Since(t0) * opt.dRate) + 1);
        if (nSent >= nAllowed) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        const unsigned nBatch = static_cast<unsigned>(std::min<unsigned long>(SourcedBatch::kMax, nAllowed - nSent));
        for (unsigned i = 0; i < nBatch; ++i)
            batch.Set(i, strReq.data(), strReq.size(),
                      ntohl(srcBase.s_addr) + static_cast<uint32_t>((nSent + i) % opt.nSources));
        const int nDone = batch.Send(fd, nBatch);
        if (nDone < 0) {
            std::perror("flood_sender: sendmmsg");
            break;
        }
        nSent += static_cast<unsigned long>(nDone);
    }
    const double dSendSeconds = Since(t0);
    while (Since(t0) < dSendSeconds + opt.dLinger && (opt.nExpect == 0 || nReplies < opt.nExpect))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    bDone.store(true);
    receiver.join();
    close(fd);

    const double dTotal = Since(t0);
    std::string strPerSecond;
    for (size_t i = 0; i < vecPerSecond.size(); ++i)
        strPerSecond += (i ? "," : "") + std::to_string(vecPerSecond[i]);
    std::printf("{\"sent\": %lu, \"send_seconds\": %.2f, \"replies\": %lu, \"seconds\": %.2f, "
                "\"replies_per_s\": %.1f, \"per_second\": [%s]}\n",
                nSent, dSendSeconds, nReplies.load(), dTotal,
                static_cast<double>(nReplies) / dTotal, strPerSecond.c_str());
    return nSent > 0 ? 0 : 1;
}
