// The load client of bench/wire_bench.sh. Every request comes from a source
// address of its own (IP_PKTINFO, so the whole range must be local: 127/8 is),
// so no duplicate filter drops it; the replies of all of them come back to one
// socket bound to 0.0.0.0:--src-port.
//   wire_load --mode inflight|latency|rate --port P [--host 127.0.0.1]
//             [--form binary|json] [--inflight 64] [--count 2000] [--rate R]
//             [--seconds 3] [--warmup 0.5] [--src-base 127.64.0.0]
//             [--src-offset 0] [--src-port 41000]
// inflight: keeps --inflight requests outstanding for --seconds after a
//   --warmup, and reports the replies per second (a request whose reply has
//   not come 20 ms after the last reply counts as lost and is sent anew).
// latency: --count requests one at a time (each waits up to 200 ms for its
//   reply, matched by a tag the reply carries back), p50/p99 round trip.
// rate: sends --rate requests per second for --seconds whatever comes back,
//   and reports the replies per second received after the warm-up. With
//   --raw IFACE the requests are built down to the IP header and handed to
//   that interface through a packet socket (lo for 127.0.0.1): no UDP socket,
//   route or source look-up per request, so one core offers about twice what
//   the socket path can.
// --poll (inflight and rate): the client never sleeps for a reply; it polls
//   its socket, so a reply costs the server no wake-up of the client. Meant
//   for a client with a CPU of its own: it keeps that CPU busy.
// Bounded by count and time. Prints one JSON line; "next_offset" is the source
// offset a following run should start at.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "SourcedBatch.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kBatch = SourcedBatch::kMax;
constexpr uint32_t kSourceSpan = 1u << 22;

struct Options {
    std::string strMode, strHost = "127.0.0.1", strForm = "binary", strSrcBase = "127.64.0.0";
    std::string strRawIface;
    int nPort = 0, nSrcPort = 41000, nInflight = 64, nCount = 2000;
    double dRate = 0, dSeconds = 3, dWarmup = 0.5;
    bool bPoll = false;
    unsigned long nSrcOffset = 0;
};

bool ParseArgs(int argc, char** argv, Options& opt)
{
    for (int i = 1; i < argc; i += 2) {
        const std::string strKey = argv[i];
        if (strKey == "--poll") {
            opt.bPoll = true;
            --i;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char* sz = argv[i + 1];
        if (strKey == "--mode") opt.strMode = sz;
        else if (strKey == "--host") opt.strHost = sz;
        else if (strKey == "--port") opt.nPort = std::atoi(sz);
        else if (strKey == "--form") opt.strForm = sz;
        else if (strKey == "--inflight") opt.nInflight = std::atoi(sz);
        else if (strKey == "--count") opt.nCount = std::atoi(sz);
        else if (strKey == "--rate") opt.dRate = std::atof(sz);
        else if (strKey == "--seconds") opt.dSeconds = std::atof(sz);
        else if (strKey == "--warmup") opt.dWarmup = std::atof(sz);
        else if (strKey == "--src-base") opt.strSrcBase = sz;
        else if (strKey == "--src-offset") opt.nSrcOffset = std::strtoul(sz, nullptr, 10);
        else if (strKey == "--src-port") opt.nSrcPort = std::atoi(sz);
        else if (strKey == "--raw") opt.strRawIface = sz;
        else return false;
    }
    return opt.nPort > 0 && opt.nInflight > 0 &&
           (opt.strMode == "inflight" || opt.strMode == "latency" || opt.strMode == "rate");
}

double Since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Requests of one form from a moving source address. Bytes 4 and 5 carry a
// tag: the JSON reply keeps header bytes 0 to 15, and the echo server the
// first 32 bytes; the binary reply returns bytes 1 and 16, so the tag goes
// there too.
class Requests {
public:
    Requests(const Options& opt, const sockaddr_in& dst)
        : m_dst(dst), m_batch(dst), m_nOffset(opt.nSrcOffset),
          m_nSrcPort(static_cast<uint16_t>(opt.nSrcPort))
    {
        inet_pton(AF_INET, opt.strSrcBase.c_str(), &m_srcBase);
        if (opt.strForm == "json") {
            m_strReq.assign(32, '\0');
            m_strReq[0] = '\x20';
            m_strReq += "{\"method\":\"KQDiscover.search\"}";
            m_strReq.push_back('\0');
        } else {
            m_strReq.assign(17, '\0');
            m_strReq[0] = '\xA3';
        }
        for (unsigned i = 0; i < kBatch; ++i)
            m_aData[i].assign(m_strReq.begin(), m_strReq.end());
    }
    // Sends n requests (at most kBatch); returns how many left.
    int Send(int fd, unsigned n, uint16_t nTag = 0)
    {
        for (unsigned i = 0; i < n; ++i) {
            std::vector<char>& data = m_aData[i];
            data[1] = data[4] = static_cast<char>(nTag & 0xFF);
            data[16] = data[5] = static_cast<char>(nTag >> 8);
            m_batch.Set(i, data.data(), data.size(), Source(i));
        }
        const int nSent = m_batch.Send(fd, n);
        if (nSent > 0)
            m_nOffset += static_cast<unsigned long>(nSent);
        return nSent;
    }
    // Sends n requests (at most kBatch) as whole IPv4 packets on the packet
    // socket fd (see OpenRaw); returns how many left.
    int SendRaw(int fd, unsigned n)
    {
        const size_t nHead = sizeof(iphdr) + sizeof(udphdr);
        const size_t nTotal = nHead + m_strReq.size();
        for (unsigned i = 0; i < n; ++i) {
            std::vector<char>& pkt = m_aPacket[i];
            pkt.assign(nTotal, '\0');
            iphdr ip{};
            ip.version = 4;
            ip.ihl = 5;
            ip.tot_len = htons(static_cast<uint16_t>(nTotal));
            ip.ttl = 64;
            ip.protocol = IPPROTO_UDP;
            ip.saddr = htonl(Source(i));
            ip.daddr = m_dst.sin_addr.s_addr;
            udphdr udp{};
            udp.source = htons(m_nSrcPort);
            udp.dest = m_dst.sin_port;
            udp.len = htons(static_cast<uint16_t>(nTotal - sizeof(iphdr)));   // checksum 0: none
            std::memcpy(pkt.data(), &ip, sizeof(ip));
            ip.check = Checksum(reinterpret_cast<const unsigned char*>(pkt.data()), sizeof(ip));
            std::memcpy(pkt.data() + offsetof(iphdr, check), &ip.check, sizeof(ip.check));
            std::memcpy(pkt.data() + sizeof(ip), &udp, sizeof(udp));
            std::memcpy(pkt.data() + nHead, m_strReq.data(), m_strReq.size());
            msghdr& msg = m_aMsg[i].msg_hdr;
            std::memset(&msg, 0, sizeof(msg));
            m_aIov[i] = {pkt.data(), pkt.size()};
            msg.msg_name = &m_link;
            msg.msg_namelen = sizeof(m_link);
            msg.msg_iov = &m_aIov[i];
            msg.msg_iovlen = 1;
        }
        const int nSent = sendmmsg(fd, m_aMsg, n, 0);
        if (nSent > 0)
            m_nOffset += static_cast<unsigned long>(nSent);
        return nSent;
    }
    // A packet socket that sends IPv4 packets on szIface and receives nothing
    // (protocol 0), or -1.
    int OpenRaw(const char* szIface)
    {
        m_link.sll_family = AF_PACKET;
        m_link.sll_protocol = htons(ETH_P_IP);
        m_link.sll_ifindex = static_cast<int>(if_nametoindex(szIface));
        m_link.sll_halen = ETH_ALEN;   // lo and veths take any destination
        return m_link.sll_ifindex > 0 ? socket(AF_PACKET, SOCK_DGRAM, 0) : -1;
    }
    unsigned long Offset() const { return m_nOffset; }

private:
    // The source address of request i of the next batch (host order).
    uint32_t Source(unsigned i) const
    {
        return ntohl(m_srcBase.s_addr) + static_cast<uint32_t>((m_nOffset + i) % kSourceSpan);
    }
    // The IPv4 header checksum of nLen (even) bytes, in network order, read
    // byte by byte (reading a header struct through another type is not
    // allowed and was seen to read it before it was filled).
    static uint16_t Checksum(const unsigned char* p, size_t nLen)
    {
        uint32_t nSum = 0;
        for (size_t i = 0; i + 1 < nLen; i += 2)
            nSum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
        while (nSum >> 16)
            nSum = (nSum & 0xFFFF) + (nSum >> 16);
        return htons(static_cast<uint16_t>(~nSum));
    }

    sockaddr_in m_dst;
    SourcedBatch m_batch;
    sockaddr_ll m_link{};
    in_addr m_srcBase{};
    unsigned long m_nOffset;
    uint16_t m_nSrcPort;
    std::string m_strReq;
    std::vector<char> m_aData[kBatch];
    std::vector<char> m_aPacket[kBatch];   // SendRaw's, with their messages
    iovec m_aIov[kBatch];
    mmsghdr m_aMsg[kBatch];
};

// A batch of reply buffers for recvmmsg.
struct Replies {
    Replies()
    {
        for (unsigned i = 0; i < kBatch; ++i) {
            m_aIov[i] = {m_aBuf[i], sizeof(m_aBuf[i])};
            std::memset(&m_aMsg[i], 0, sizeof(m_aMsg[i]));
            m_aMsg[i].msg_hdr.msg_iov = &m_aIov[i];
            m_aMsg[i].msg_hdr.msg_iovlen = 1;
        }
    }
    // Waits for the first reply (up to the socket's timeout), or with bPoll
    // takes only what is there; the count, or -1.
    int Receive(int fd, bool bPoll = false)
    {
        return recvmmsg(fd, m_aMsg, kBatch, bPoll ? MSG_DONTWAIT : MSG_WAITFORONE, nullptr);
    }
    // The tag of reply i (see Requests).
    uint16_t Tag(int i, bool bBinary) const
    {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(m_aBuf[i]);
        const bool bEcho = m_aMsg[i].msg_len >= 32 && p[0] != 0xB3;
        return bBinary && !bEcho ? static_cast<uint16_t>(p[1] | p[16] << 8)
                                 : static_cast<uint16_t>(p[4] | p[5] << 8);
    }
    char m_aBuf[kBatch][2048];
    iovec m_aIov[kBatch];
    mmsghdr m_aMsg[kBatch];
};

void SetTimeout(int fd, long nUs)
{
    timeval tv{nUs / 1000000, nUs % 1000000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

int RunInflight(const Options& opt, int fd, Requests& req)
{
    SetTimeout(fd, 20000);
    Replies replies;
    const Clock::time_point t0 = Clock::now();
    const double dEnd = opt.dWarmup + opt.dSeconds;
    long nOutstanding = 0;
    unsigned long nCounted = 0, nLost = 0, nTotal = 0;
    double dFirst = -1, dLast = 0, dLastReply = 0;
    while (Since(t0) < dEnd) {
        while (nOutstanding < opt.nInflight) {
            const int nSent = req.Send(fd, static_cast<unsigned>(std::min<long>(kBatch, opt.nInflight - nOutstanding)));
            if (nSent <= 0)
                break;
            nOutstanding += nSent;
        }
        const int n = replies.Receive(fd, opt.bPoll);
        const double dNow = Since(t0);
        if (n <= 0) {
            if (!opt.bPoll || dNow - dLastReply > 0.02) {   // the same 20 ms either way
                nLost += static_cast<unsigned long>(nOutstanding);
                nOutstanding = 0;
                dLastReply = dNow;
            }
            continue;
        }
        dLastReply = dNow;
        nOutstanding = std::max(0L, nOutstanding - n);
        nTotal += static_cast<unsigned long>(n);
        if (dNow >= opt.dWarmup) {
            if (dFirst < 0)
                dFirst = dNow;
            else
                nCounted += static_cast<unsigned long>(n);
            dLast = dNow;
        }
    }
    const double dSpan = dLast > dFirst && dFirst >= 0 ? dLast - dFirst : 0;
    std::printf("{\"mode\": \"inflight\", \"replies_per_s\": %.0f, \"replies\": %lu, \"total\": %lu, "
                "\"lost\": %lu, \"next_offset\": %lu}\n",
                dSpan > 0 ? nCounted / dSpan : 0.0, nCounted, nTotal, nLost, req.Offset());
    return nCounted > 0 ? 0 : 1;
}

int RunLatency(const Options& opt, int fd, Requests& req)
{
    SetTimeout(fd, 200000);
    Replies replies;
    const bool bBinary = opt.strForm != "json";
    std::vector<double> vecUs;
    int nLost = 0;
    const Clock::time_point tLimit = Clock::now() + std::chrono::milliseconds(static_cast<long>(opt.dSeconds * 1000));
    for (int i = 0; i < opt.nCount && Clock::now() < tLimit; ++i) {
        const uint16_t nTag = static_cast<uint16_t>(i + 1);
        const Clock::time_point tSend = Clock::now();
        if (req.Send(fd, 1, nTag) != 1)
            break;
        bool bGot = false;
        while (!bGot) {
            const int n = replies.Receive(fd);
            if (n <= 0)
                break;
            for (int k = 0; k < n; ++k)
                bGot = bGot || replies.Tag(k, bBinary) == nTag;
        }
        if (bGot)
            vecUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - tSend).count());
        else
            ++nLost;
    }
    std::sort(vecUs.begin(), vecUs.end());
    auto at = [&](double q) { return vecUs.empty() ? 0.0 : vecUs[static_cast<size_t>(q * (vecUs.size() - 1))]; };
    std::printf("{\"mode\": \"latency\", \"n\": %zu, \"p50_us\": %.1f, \"p99_us\": %.1f, \"lost\": %d, "
                "\"next_offset\": %lu}\n",
                vecUs.size(), at(0.5), at(0.99), nLost, req.Offset());
    return vecUs.empty() ? 1 : 0;
}

int RunRate(const Options& opt, int fd, Requests& req)
{
    SetTimeout(fd, 50000);
    const int nRawFd = opt.strRawIface.empty() ? -1 : req.OpenRaw(opt.strRawIface.c_str());
    if (!opt.strRawIface.empty() && nRawFd < 0) {
        std::perror("wire_load: packet socket");
        return 1;
    }
    const Clock::time_point t0 = Clock::now();
    const double dEnd = opt.dWarmup + opt.dSeconds;
    std::atomic<bool> bDone{false};
    std::atomic<unsigned long> nCounted{0};
    Replies replies;
    // Counts the replies waiting (with bPoll) or the next ones to come.
    const auto receive = [&](bool bPoll) {
        for (;;) {
            const int n = replies.Receive(fd, bPoll);
            const double dNow = Since(t0);
            if (n > 0 && dNow >= opt.dWarmup && dNow < dEnd)
                nCounted += static_cast<unsigned long>(n);
            if (!bPoll || n <= 0)
                return;
        }
    };
    std::thread receiver;
    if (!opt.bPoll) {
        receiver = std::thread([&] {
            while (!bDone.load())
                receive(false);
        });
    }
    unsigned long nSent = 0, nSentCounted = 0;
    while (Since(t0) < dEnd) {
        if (opt.bPoll)
            receive(true);
        const unsigned long nAllowed = static_cast<unsigned long>(Since(t0) * opt.dRate) + 1;
        if (nSent >= nAllowed) {
            if (!opt.bPoll)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        const unsigned nAsk = static_cast<unsigned>(std::min<unsigned long>(kBatch, nAllowed - nSent));
        const int n = nRawFd >= 0 ? req.SendRaw(nRawFd, nAsk) : req.Send(fd, nAsk);
        if (n <= 0)
            break;
        nSent += static_cast<unsigned long>(n);
        if (Since(t0) >= opt.dWarmup)
            nSentCounted += static_cast<unsigned long>(n);
    }
    if (opt.bPoll) {
        const double dStop = Since(t0) + 0.1;
        while (Since(t0) < dStop)
            receive(true);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        bDone.store(true);
        receiver.join();
    }
    if (nRawFd >= 0)
        close(nRawFd);
    std::printf("{\"mode\": \"rate\", \"sent_per_s\": %.0f, \"replies_per_s\": %.0f, \"next_offset\": %lu}\n",
                nSentCounted / opt.dSeconds, nCounted.load() / opt.dSeconds, req.Offset());
    return nSent > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(static_cast<uint16_t>(opt.nPort));
    if (!ParseArgs(argc, argv, opt) || inet_pton(AF_INET, opt.strHost.c_str(), &dst.sin_addr) != 1 ||
        (opt.strMode == "rate" && opt.dRate <= 0)) {
        std::fprintf(stderr, "usage: see the head of bench/wire_load.cpp\n");
        return 2;
    }
    dst.sin_port = htons(static_cast<uint16_t>(opt.nPort));
    const int fd = BindReplySocket(opt.nSrcPort, SO_RCVBUFFORCE);
    if (fd < 0) {
        std::perror("wire_load: bind");
        return 1;
    }
    Requests req(opt, dst);
    int nRet = 1;
    if (opt.strMode == "inflight")
        nRet = RunInflight(opt, fd, req);
    else if (opt.strMode == "latency")
        nRet = RunLatency(opt, fd, req);
    else
        nRet = RunRate(opt, fd, req);
    close(fd);
    return nRet;
}
