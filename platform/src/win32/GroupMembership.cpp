// Windows: group memberships through an adapter's IPv4 address (ip_mreq), the
// adapters that can carry a group, and the send errors that mean the route to
// the destination is gone. Joining one group twice through one adapter fails
// with WSAEADDRINUSE, so the default interface is never joined as well.
#include "common/NetEngineOs.h"

#include "win32/AdapterList.h"

#include <algorithm>
#include <string>

#include "nox/NetEngine.h"

namespace nox {
namespace os {

int GroupInterfaces(std::vector<GroupIface>& vecOut)
{
    vecOut.clear();
    AdapterList list;
    const int nRet = list.Load(GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                               GAA_FLAG_SKIP_DNS_SERVER);
    if (nRet != 0)
        return nRet;
    for (const IP_ADAPTER_ADDRESSES* p = list.First(); p != nullptr; p = p->Next) {
        uint32_t nAddr = 0;
        unsigned nPrefixLen = 0;
        if (p->OperStatus != IfOperStatusUp || p->NoMulticast ||
            !FirstIpv4(*p, &nAddr, &nPrefixLen))
            continue;
        vecOut.push_back({static_cast<unsigned>(p->IfIndex), nAddr, AdapterText(*p),
                          p->AdapterName != nullptr ? p->AdapterName : ""});
    }
    std::stable_sort(vecOut.begin(), vecOut.end(),
                     [](const GroupIface& a, const GroupIface& b) { return a.nIndex < b.nIndex; });
    return 0;
}

int ChangeMembership(NativeSocket sock, uint32_t nGroup, unsigned /*nIndex*/, uint32_t nAddr,
                     bool bJoin)
{
    ip_mreq req{};
    req.imr_multiaddr.s_addr = htonl(nGroup);
    req.imr_interface.s_addr = htonl(nAddr);
    if (::setsockopt(sock, IPPROTO_IP, bJoin ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP,
                     reinterpret_cast<const char*>(&req), sizeof(req)) == 0)
        return 0;
    const int nErr = ::WSAGetLastError();
    return (bJoin && nErr == WSAEADDRINUSE) || (!bJoin && nErr == WSAEADDRNOTAVAIL) ? 0 : -nErr;
}

bool IsMembershipLimit(int nErr)
{
    return nErr == WSAENOBUFS;
}

// A socket that is not bound cannot join, and a bound one receives only the
// groups it joined itself.
bool SpareMembershipsReceive()
{
    return false;
}

}  // namespace os

bool NetEngine::IsNoRoute(int nResult)
{
    return nResult == -WSAENETUNREACH || nResult == -WSAEHOSTUNREACH ||
           nResult == -WSAEADDRNOTAVAIL || nResult == -WSAENETDOWN;
}

}  // namespace nox
