// Linux side of the UDP engine's socket calls (group memberships are in
// GroupMembership.cpp): sends with sendmsg, batch reads with recvmmsg (each datagram
// with its destination address), and the shut-down check after an empty read.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <string>

#include "common/NetEngineOs.h"

namespace nox {
namespace os {

namespace {

constexpr int kSendWaitMs = 100;           // longest wait for a full send buffer
constexpr int kMaxSendAttempts = 64;

}  // namespace

int PrepareUdpSocket(NativeSocket sock)
{
    // Without SO_REUSEADDR and SO_REUSEPORT no other socket can bind the
    // port, on any address, whoever owns it.
    const int nOn = 1;
    return ::setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &nOn, sizeof(nOn)) == 0 ? 0 : -errno;
}

namespace {

// The message of one datagram to dst.
void FillMessage(msghdr& msg, iovec& iov, sockaddr_in& addr, const char* pData, size_t nLen,
                 const asio::ip::udp::endpoint& dst)
{
    addr = sockaddr_in{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(dst.port());
    addr.sin_addr.s_addr = htonl(dst.address().to_v4().to_uint());
    iov = iovec{const_cast<char*>(pData), nLen};
    msg = msghdr{};
    msg.msg_name = &addr;
    msg.msg_namelen = sizeof(addr);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
}

}  // namespace

int SendDatagram(NativeSocket sock, const char* pData, size_t nLen,
                 const asio::ip::udp::endpoint& dst)
{
    sockaddr_in addr;
    iovec iov;
    msghdr msg;
    FillMessage(msg, iov, addr, pData, nLen, dst);

    std::chrono::steady_clock::time_point deadline;   // set at the first full buffer
    for (int nAttempt = 0; nAttempt < kMaxSendAttempts; ++nAttempt) {
        if (::sendmsg(sock, &msg, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0)
            return 0;
        const int nErr = errno;
        if (nErr == EINTR)
            continue;
        if (nErr != EAGAIN && nErr != EWOULDBLOCK)
            return -nErr;
        if (deadline == std::chrono::steady_clock::time_point())
            deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendWaitMs);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return -nErr;
        pollfd pfd{sock, POLLOUT, {}};
        (void)::poll(&pfd, 1, static_cast<int>(left.count()));   // retried either way
    }
    return -EAGAIN;
}

// sendmmsg takes the batch as far as it goes without an error; the datagram
// it stops at goes through SendDatagram, which waits for room or gives its
// error, and the rest follows in the next call.
void SendBatch(NativeSocket sock, SendSlot* pSlots, int nSlots)
{
    constexpr int kPerCall = 32;
    sockaddr_in aAddr[kPerCall];
    iovec aIov[kPerCall];
    mmsghdr aMsg[kPerCall];
    int nDone = 0;
    while (nDone < nSlots) {
        const int nAsk = std::min(kPerCall, nSlots - nDone);
        for (int i = 0; i < nAsk; ++i) {
            const SendSlot& slot = pSlots[nDone + i];
            FillMessage(aMsg[i].msg_hdr, aIov[i], aAddr[i], slot.pData, slot.nLen, slot.dst);
            aMsg[i].msg_len = 0;
        }
        const int nSent = ::sendmmsg(sock, aMsg, static_cast<unsigned>(nAsk), MSG_NOSIGNAL | MSG_DONTWAIT);
        for (int i = 0; i < nSent; ++i)
            pSlots[nDone + i].nResult = 0;
        if (nSent > 0) {
            nDone += nSent;
            continue;
        }
        SendSlot& slot = pSlots[nDone++];
        slot.nResult = SendDatagram(sock, slot.pData, slot.nLen, slot.dst);
    }
}

int CloseNative(NativeSocket sock)
{
    return ::close(sock) == 0 ? 0 : -errno;
}

int SetMulticastOut(NativeSocket sock, uint32_t nAddr)
{
    in_addr addr{};
    addr.s_addr = nAddr;
    return ::setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &addr, sizeof(addr)) == 0 ? 0 : -errno;
}

int ReadShutDownError(NativeSocket sock)
{
    // The kernel then reports an empty read forever instead of a datagram.
    pollfd pfd{sock, POLLRDHUP, 0};
    const bool bShutDown =
        ::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLRDHUP | POLLHUP)) != 0;
    return bShutDown ? ESHUTDOWN : 0;
}

bool ReadsInBatches()
{
    return true;
}

int SetReceiveWait(NativeSocket sock, unsigned nMs)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(nMs / 1000);
    tv.tv_usec = static_cast<suseconds_t>(nMs % 1000 * 1000);
    return ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0 ? 0 : -errno;
}

void ShutdownRead(NativeSocket sock)
{
    // An unbound-peer socket answers ENOTCONN, yet its receive side is shut
    // and a receive blocked on it returns.
    (void)::shutdown(sock, SHUT_RD);
}

// The engine's sockets block: a receive says MSG_DONTWAIT unless it is to wait.
int ReceiveBatch(NativeSocket sock, RecvSlot* pSlots, int nSlots, bool bWait)
{
    constexpr int kMaxSlots = 64;
    mmsghdr aMsg[kMaxSlots];
    iovec aIov[kMaxSlots];
    sockaddr_in aFrom[kMaxSlots];
    alignas(cmsghdr) char aControl[kMaxSlots][CMSG_SPACE(sizeof(in_pktinfo))];
    const int nAsk = nSlots < kMaxSlots ? nSlots : kMaxSlots;
    for (int i = 0; i < nAsk; ++i) {
        aIov[i] = {pSlots[i].pData, pSlots[i].nCap};
        std::memset(&aMsg[i], 0, sizeof(aMsg[i]));
        aMsg[i].msg_hdr.msg_name = &aFrom[i];
        aMsg[i].msg_hdr.msg_namelen = sizeof(aFrom[i]);
        aMsg[i].msg_hdr.msg_iov = &aIov[i];
        aMsg[i].msg_hdr.msg_iovlen = 1;
        aMsg[i].msg_hdr.msg_control = aControl[i];
        aMsg[i].msg_hdr.msg_controllen = sizeof(aControl[i]);
    }
    int nGot;
    do {
        nGot = ::recvmmsg(sock, aMsg, static_cast<unsigned>(nAsk),
                          bWait ? MSG_WAITFORONE : MSG_DONTWAIT, nullptr);
    } while (nGot < 0 && errno == EINTR && !bWait);
    if (nGot < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -errno;
    for (int i = 0; i < nGot; ++i) {
        pSlots[i].nLen = aMsg[i].msg_len;
        const bool bIpv4 = aMsg[i].msg_hdr.msg_namelen >= sizeof(sockaddr_in) &&
                           aFrom[i].sin_family == AF_INET;
        pSlots[i].nAddr = bIpv4 ? ntohl(aFrom[i].sin_addr.s_addr) : 0;
        pSlots[i].nPort = bIpv4 ? ntohs(aFrom[i].sin_port) : 0;
        pSlots[i].nDst = 0;
        msghdr& hdr = aMsg[i].msg_hdr;
        for (cmsghdr* pCmsg = CMSG_FIRSTHDR(&hdr); pCmsg != nullptr; pCmsg = CMSG_NXTHDR(&hdr, pCmsg)) {
            if (pCmsg->cmsg_level == IPPROTO_IP && pCmsg->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(pCmsg), sizeof(info));
                pSlots[i].nDst = ntohl(info.ipi_addr.s_addr);
            }
        }
    }
    return nGot;
}

void AsyncReceiveOne(asio::ip::udp::socket& sock, RecvSlot& /*slot*/,
                     std::function<void(const asio::error_code&)> done)
{
    // Not used: this system reads in batches.
    asio::post(sock.get_executor(), [done] { done(asio::error::operation_not_supported); });
}

bool IsTransientRecvError(int /*nErr*/)
{
    return false;   // the portable list has every errno value that applies
}

}  // namespace os
}  // namespace nox
