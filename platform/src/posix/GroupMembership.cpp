// Linux: group membership on one interface, by its index (ip_mreqn), and the
// send errors that mean the route to the destination is gone.
#include "common/GroupMembershipOs.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "nox/NetEngine.h"

namespace nox {
namespace os {

int ChangeGroupOn(NativeSocket sock, uint32_t nGroup, const char* szIface, bool bJoin)
{
    ifaddrs* pList = nullptr;
    if (::getifaddrs(&pList) != 0)
        return -errno;
    ip_mreqn req{};
    for (const ifaddrs* p = pList; p != nullptr && req.imr_ifindex == 0; p = p->ifa_next) {
        if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET ||
            (p->ifa_flags & IFF_UP) == 0 || (p->ifa_flags & IFF_MULTICAST) == 0)
            continue;
        const std::string strName = std::string(p->ifa_name).substr(0, std::string(p->ifa_name).find(':'));
        if (strName != szIface)
            continue;
        std::memcpy(&req.imr_address, &reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr,
                    sizeof(req.imr_address));
        req.imr_ifindex = static_cast<int>(::if_nametoindex(strName.c_str()));
    }
    ::freeifaddrs(pList);
    if (req.imr_ifindex == 0)
        return 1;
    req.imr_multiaddr.s_addr = htonl(nGroup);
    if (::setsockopt(sock, IPPROTO_IP, bJoin ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &req,
                     sizeof(req)) == 0)
        return 0;
    const int nErr = errno;
    return (bJoin && nErr == EADDRINUSE) || (!bJoin && nErr == EADDRNOTAVAIL) ? 0 : -nErr;
}

}  // namespace os

bool NetEngine::IsNoRoute(int nResult)
{
    return nResult == -ENETUNREACH || nResult == -EHOSTUNREACH || nResult == -EADDRNOTAVAIL ||
           nResult == -ENETDOWN || nResult == -ENODEV;
}

}  // namespace nox
