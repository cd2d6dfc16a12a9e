// Linux: the flags of every IPv4 address, from one rtnetlink dump, since
// getifaddrs does not report them.
#include "posix/AddressFlags.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nox {
namespace os {

unsigned StateOfIfaFlags(uint32_t nFlags)
{
    return ((nFlags & IFA_F_TENTATIVE) != 0 ? kAddrTentative : 0u) |
           ((nFlags & IFA_F_DADFAILED) != 0 ? kAddrDadFailed : 0u);
}

// RTM_NEWADDR messages: ifaddrmsg, then attributes; IFA_FLAGS (32 bits), when
// present, stands for the 8-bit ifa_flags.
void ParseAddrDump(const char* pBuf, size_t nLen, AddrFlagMap& mapOut)
{
    for (const nlmsghdr* pMsg = reinterpret_cast<const nlmsghdr*>(pBuf); NLMSG_OK(pMsg, nLen);
         pMsg = NLMSG_NEXT(pMsg, nLen)) {
        if (pMsg->nlmsg_type != RTM_NEWADDR ||
            pMsg->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
            continue;
        const auto* pIfa = static_cast<const ifaddrmsg*>(NLMSG_DATA(pMsg));
        if (pIfa->ifa_family != AF_INET)
            continue;
        uint32_t nFlags = pIfa->ifa_flags;
        uint32_t nAddr = 0;
        bool bAddr = false;
        int nAttrLen = static_cast<int>(IFA_PAYLOAD(pMsg));
        for (const rtattr* pAttr = IFA_RTA(pIfa); RTA_OK(pAttr, nAttrLen);
             pAttr = RTA_NEXT(pAttr, nAttrLen)) {
            if (pAttr->rta_type == IFA_LOCAL && RTA_PAYLOAD(pAttr) >= 4) {
                std::memcpy(&nAddr, RTA_DATA(pAttr), 4);
                bAddr = true;
            } else if (pAttr->rta_type == IFA_ADDRESS && RTA_PAYLOAD(pAttr) >= 4 && !bAddr) {
                std::memcpy(&nAddr, RTA_DATA(pAttr), 4);
            } else if (pAttr->rta_type == IFA_FLAGS && RTA_PAYLOAD(pAttr) >= 4) {
                std::memcpy(&nFlags, RTA_DATA(pAttr), 4);
            }
        }
        mapOut[{pIfa->ifa_index, ntohl(nAddr)}] = StateOfIfaFlags(nFlags);
    }
}

AddrFlagMap Ipv4AddrStates()
{
    AddrFlagMap mapOut;
    const int nSock = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (nSock < 0)
        return mapOut;
    struct {
        nlmsghdr hdr;
        ifaddrmsg ifa;
    } req{};
    req.hdr.nlmsg_len = sizeof(req);
    req.hdr.nlmsg_type = RTM_GETADDR;
    req.hdr.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.hdr.nlmsg_seq = 1;
    req.ifa.ifa_family = AF_INET;
    if (::send(nSock, &req, sizeof(req), 0) == static_cast<ssize_t>(sizeof(req))) {
        alignas(nlmsghdr) char aBuf[32768];
        for (bool bDone = false; !bDone;) {
            const ssize_t n = ::recv(nSock, aBuf, sizeof(aBuf), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            ParseAddrDump(aBuf, static_cast<size_t>(n), mapOut);
            size_t nLeft = static_cast<size_t>(n);
            for (const nlmsghdr* pMsg = reinterpret_cast<const nlmsghdr*>(aBuf);
                 NLMSG_OK(pMsg, nLeft); pMsg = NLMSG_NEXT(pMsg, nLeft))
                bDone = bDone || pMsg->nlmsg_type == NLMSG_DONE || pMsg->nlmsg_type == NLMSG_ERROR;
        }
    }
    ::close(nSock);
    return mapOut;
}

unsigned StateOf(const AddrFlagMap& mapState, unsigned nIndex, uint32_t nAddr)
{
    const auto it = mapState.find({nIndex, nAddr});
    return it == mapState.end() ? kAddrUsable : it->second;
}

}  // namespace os
}  // namespace nox
