// Linux side of the UDP engine's socket calls: group joins per interface from
// getifaddrs, sends with sendmsg (the source chosen by routing for a socket
// bound to a group), batch reads with recvmmsg, and the shut-down check after
// an empty read.
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

int PrepareUdpSocket(NativeSocket /*sock*/)
{
    return 0;
}

asio::ip::address_v4 GroupBindAddress(const asio::ip::address_v4& group)
{
    return group;   // only datagrams sent to the group reach the socket
}

int JoinGroup(NativeSocket sock, const asio::ip::address_v4& group, const char* szIface)
{
    ifaddrs* pList = nullptr;
    if (::getifaddrs(&pList) != 0)
        return -errno;
    const bool bOnlyOne = szIface != nullptr && szIface[0] != '\0';
    std::set<unsigned> setDone;
    int nJoined = 0;
    int nLastErr = ENODEV;
    for (const ifaddrs* p = pList; p != nullptr; p = p->ifa_next) {
        if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET)
            continue;
        if ((p->ifa_flags & IFF_UP) == 0 || (p->ifa_flags & IFF_MULTICAST) == 0)
            continue;
        std::string strName = p->ifa_name;
        strName = strName.substr(0, strName.find(':'));   // "eth0:1" is eth0
        if (bOnlyOne && strName != szIface)
            continue;
        const unsigned nIndex = ::if_nametoindex(strName.c_str());
        if (nIndex == 0 || !setDone.insert(nIndex).second)
            continue;
        ip_mreqn req{};
        req.imr_multiaddr.s_addr = htonl(group.to_uint());
        std::memcpy(&req.imr_address, &reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr,
                    sizeof(req.imr_address));
        req.imr_ifindex = static_cast<int>(nIndex);
        if (::setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof(req)) == 0 ||
            errno == EADDRINUSE)
            ++nJoined;
        else
            nLastErr = errno;
    }
    ::freeifaddrs(pList);
    return nJoined > 0 ? 0 : -nLastErr;
}

namespace {

// The message of one datagram to addr, from the routing table's choice of
// source when bGroupBound (szControl then holds an IP_PKTINFO with 0.0.0.0,
// any interface, so the reply never carries the group address as its source).
void FillMessage(msghdr& msg, iovec& iov, sockaddr_in& addr, const char* pData, size_t nLen,
                 const asio::ip::udp::endpoint& dst, bool bGroupBound, char* szControl,
                 size_t nControl)
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
    if (bGroupBound) {
        std::memset(szControl, 0, nControl);
        msg.msg_control = szControl;
        msg.msg_controllen = nControl;
        cmsghdr* pCmsg = CMSG_FIRSTHDR(&msg);
        pCmsg->cmsg_level = IPPROTO_IP;
        pCmsg->cmsg_type = IP_PKTINFO;
        pCmsg->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        const in_pktinfo info{};
        std::memcpy(CMSG_DATA(pCmsg), &info, sizeof(info));
    }
}

}  // namespace

int SendDatagram(NativeSocket sock, const char* pData, size_t nLen,
                 const asio::ip::udp::endpoint& dst, bool bGroupBound)
{
    sockaddr_in addr;
    iovec iov;
    msghdr msg;
    alignas(cmsghdr) char szControl[CMSG_SPACE(sizeof(in_pktinfo))];
    FillMessage(msg, iov, addr, pData, nLen, dst, bGroupBound, szControl, sizeof(szControl));

    std::chrono::steady_clock::time_point deadline;   // set at the first full buffer
    for (int nAttempt = 0; nAttempt < kMaxSendAttempts; ++nAttempt) {
        if (::sendmsg(sock, &msg, MSG_NOSIGNAL) >= 0)
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
        pollfd pfd{sock, POLLOUT, 0};
        (void)::poll(&pfd, 1, static_cast<int>(left.count()));   // retried either way
    }
    return -EAGAIN;
}

// sendmmsg takes the batch as far as it goes without an error; the datagram
// it stops at goes through SendDatagram, which waits for room or gives its
// error, and the rest follows in the next call.
void SendBatch(NativeSocket sock, SendSlot* pSlots, int nSlots, bool bGroupBound)
{
    constexpr int kPerCall = 32;
    sockaddr_in aAddr[kPerCall];
    iovec aIov[kPerCall];
    mmsghdr aMsg[kPerCall];
    alignas(cmsghdr) char aControl[kPerCall][CMSG_SPACE(sizeof(in_pktinfo))];
    int nDone = 0;
    while (nDone < nSlots) {
        const int nAsk = std::min(kPerCall, nSlots - nDone);
        for (int i = 0; i < nAsk; ++i) {
            const SendSlot& slot = pSlots[nDone + i];
            FillMessage(aMsg[i].msg_hdr, aIov[i], aAddr[i], slot.pData, slot.nLen, slot.dst,
                        bGroupBound, aControl[i], sizeof(aControl[i]));
            aMsg[i].msg_len = 0;
        }
        const int nSent = ::sendmmsg(sock, aMsg, static_cast<unsigned>(nAsk), MSG_NOSIGNAL);
        for (int i = 0; i < nSent; ++i)
            pSlots[nDone + i].nResult = 0;
        if (nSent > 0) {
            nDone += nSent;
            continue;
        }
        SendSlot& slot = pSlots[nDone++];
        slot.nResult = SendDatagram(sock, slot.pData, slot.nLen, slot.dst, bGroupBound);
    }
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

int ReceiveBatch(NativeSocket sock, RecvSlot* pSlots, int nSlots)
{
    constexpr int kMaxSlots = 64;
    mmsghdr aMsg[kMaxSlots];
    iovec aIov[kMaxSlots];
    sockaddr_in aFrom[kMaxSlots];
    const int nAsk = nSlots < kMaxSlots ? nSlots : kMaxSlots;
    for (int i = 0; i < nAsk; ++i) {
        aIov[i] = {pSlots[i].pData, pSlots[i].nCap};
        std::memset(&aMsg[i], 0, sizeof(aMsg[i]));
        aMsg[i].msg_hdr.msg_name = &aFrom[i];
        aMsg[i].msg_hdr.msg_namelen = sizeof(aFrom[i]);
        aMsg[i].msg_hdr.msg_iov = &aIov[i];
        aMsg[i].msg_hdr.msg_iovlen = 1;
    }
    int nGot;
    do {
        nGot = ::recvmmsg(sock, aMsg, static_cast<unsigned>(nAsk), MSG_DONTWAIT, nullptr);
    } while (nGot < 0 && errno == EINTR);
    if (nGot < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -errno;
    for (int i = 0; i < nGot; ++i) {
        pSlots[i].nLen = aMsg[i].msg_len;
        const bool bIpv4 = aMsg[i].msg_hdr.msg_namelen >= sizeof(sockaddr_in) &&
                           aFrom[i].sin_family == AF_INET;
        pSlots[i].nAddr = bIpv4 ? ntohl(aFrom[i].sin_addr.s_addr) : 0;
        pSlots[i].nPort = bIpv4 ? ntohs(aFrom[i].sin_port) : 0;
    }
    return nGot;
}

}  // namespace os
}  // namespace nox
