// Linux: group memberships by interface index (ip_mreqn), the interfaces
// that can carry a group, and the send errors that mean the route to the
// destination is gone.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "common/NetEngineOs.h"
#include "nox/NetEngine.h"

namespace nox {
namespace os {

// IFF_RUNNING is the operational state: set when it is up, and when the
// driver does not report one (unknown, as some virtual links do while they
// work); a link without its carrier has it cleared.
int GroupInterfaces(std::vector<GroupIface>& vecOut)
{
    vecOut.clear();
    ifaddrs* pList = nullptr;
    if (::getifaddrs(&pList) != 0)
        return -errno;
    for (const ifaddrs* p = pList; p != nullptr; p = p->ifa_next) {
        const unsigned nNeed = IFF_UP | IFF_RUNNING | IFF_MULTICAST;
        if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET ||
            (p->ifa_flags & nNeed) != nNeed)
            continue;
        std::string strName = p->ifa_name;
        strName = strName.substr(0, strName.find(':'));   // "eth0:1" is eth0
        const unsigned nIndex = ::if_nametoindex(strName.c_str());
        const bool bKnown = std::any_of(vecOut.begin(), vecOut.end(),
                                        [&](const GroupIface& iface) { return iface.nIndex == nIndex; });
        if (nIndex == 0 || bKnown)
            continue;
        vecOut.push_back({nIndex,
                          ntohl(reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr),
                          strName, std::string()});
    }
    ::freeifaddrs(pList);
    std::sort(vecOut.begin(), vecOut.end(),
              [](const GroupIface& a, const GroupIface& b) { return a.nIndex < b.nIndex; });
    return 0;
}

int ChangeMembership(NativeSocket sock, uint32_t nGroup, unsigned nIndex, uint32_t /*nAddr*/,
                     bool bJoin)
{
    ip_mreqn req{};
    req.imr_multiaddr.s_addr = htonl(nGroup);
    req.imr_ifindex = static_cast<int>(nIndex);
    if (::setsockopt(sock, IPPROTO_IP, bJoin ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &req,
                     sizeof(req)) == 0)
        return 0;
    const int nErr = errno;
    return (bJoin && nErr == EADDRINUSE) || (!bJoin && nErr == EADDRNOTAVAIL) ? 0 : -nErr;
}

bool IsMembershipLimit(int nErr)
{
    return nErr == ENOBUFS;   // net.ipv4.igmp_max_memberships reached
}

bool SpareMembershipsReceive()
{
    return true;
}

}  // namespace os

bool NetEngine::IsNoRoute(int nResult)
{
    return nResult == -ENETUNREACH || nResult == -EHOSTUNREACH || nResult == -EADDRNOTAVAIL ||
           nResult == -ENETDOWN || nResult == -ENODEV;
}

}  // namespace nox
