// Linux side of the UDP engine's socket calls: group joins per interface from
// getifaddrs, sends with sendmsg (the source chosen by routing for a socket
// bound to a group), and the shut-down check after an empty read.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

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

int SendDatagram(NativeSocket sock, const char* pData, size_t nLen,
                 const asio::ip::udp::endpoint& dst, bool bGroupBound)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(dst.port());
    addr.sin_addr.s_addr = htonl(dst.address().to_v4().to_uint());
    iovec iov{const_cast<char*>(pData), nLen};
    msghdr msg{};
    msg.msg_name = &addr;
    msg.msg_namelen = sizeof(addr);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char szControl[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (bGroupBound) {
        // Source chosen by routing (ipi_spec_dst 0.0.0.0, any interface), so
        // the reply never carries the group address as its source.
        msg.msg_control = szControl;
        msg.msg_controllen = sizeof(szControl);
        cmsghdr* pCmsg = CMSG_FIRSTHDR(&msg);
        pCmsg->cmsg_level = IPPROTO_IP;
        pCmsg->cmsg_type = IP_PKTINFO;
        pCmsg->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        const in_pktinfo info{};
        std::memcpy(CMSG_DATA(pCmsg), &info, sizeof(info));
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendWaitMs);
    for (int nAttempt = 0; nAttempt < kMaxSendAttempts; ++nAttempt) {
        if (::sendmsg(sock, &msg, MSG_NOSIGNAL) >= 0)
            return 0;
        const int nErr = errno;
        if (nErr == EINTR)
            continue;
        if (nErr != EAGAIN && nErr != EWOULDBLOCK)
            return -nErr;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return -nErr;
        pollfd pfd{sock, POLLOUT, 0};
        (void)::poll(&pfd, 1, static_cast<int>(left.count()));   // retried either way
    }
    return -EAGAIN;
}

int ReadShutDownError(NativeSocket sock)
{
    // The kernel then reports an empty read forever instead of a datagram.
    pollfd pfd{sock, POLLRDHUP, 0};
    const bool bShutDown =
        ::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLRDHUP | POLLHUP)) != 0;
    return bShutDown ? ESHUTDOWN : 0;
}

}  // namespace os
}  // namespace nox
