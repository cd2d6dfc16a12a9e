// Windows: group membership on one adapter, by its first IPv4 address
// (ip_mreq), and the send errors that mean the route to the destination is
// gone.
#include "common/GroupMembershipOs.h"

#include "win32/AdapterList.h"

#include <string>

#include "nox/NetEngine.h"

namespace nox {
namespace os {

int ChangeGroupOn(NativeSocket sock, uint32_t nGroup, const char* szIface, bool bJoin)
{
    AdapterList list;
    const int nRet = list.Load(GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                               GAA_FLAG_SKIP_DNS_SERVER);
    if (nRet != 0)
        return nRet;
    uint32_t nAddr = 0;
    bool bFound = false;
    for (const IP_ADAPTER_ADDRESSES* p = list.First(); p != nullptr && !bFound; p = p->Next) {
        unsigned nPrefixLen = 0;
        const bool bNamed = AdapterText(*p) == szIface ||
                            (p->AdapterName != nullptr && std::string(p->AdapterName) == szIface);
        bFound = bNamed && p->OperStatus == IfOperStatusUp && !p->NoMulticast &&
                 FirstIpv4(*p, &nAddr, &nPrefixLen);
    }
    if (!bFound)
        return 1;
    ip_mreq req{};
    req.imr_multiaddr.s_addr = htonl(nGroup);
    req.imr_interface.s_addr = htonl(nAddr);
    if (::setsockopt(sock, IPPROTO_IP, bJoin ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP,
                     reinterpret_cast<const char*>(&req), sizeof(req)) == 0)
        return 0;
    const int nErr = ::WSAGetLastError();
    return (bJoin && nErr == WSAEADDRINUSE) || (!bJoin && nErr == WSAEADDRNOTAVAIL) ? 0 : -nErr;
}

}  // namespace os

bool NetEngine::IsNoRoute(int nResult)
{
    return nResult == -WSAENETUNREACH || nResult == -WSAEHOSTUNREACH ||
           nResult == -WSAEADDRNOTAVAIL || nResult == -WSAENETDOWN;
}

}  // namespace nox
