// Windows side of the UDP engine's socket calls. Windows refuses to bind a
// socket to a multicast address (WSAEADDRNOTAVAIL), so a group socket binds
// the wildcard address on its port and joins the group there, once per
// adapter: joining one group twice through one adapter fails with
// WSAEADDRINUSE, so the default interface is not joined as well.
#include "common/NetEngineOs.h"

#include "win32/AdapterList.h"

#include <mswsock.h>
#include <windows.h>

#include <chrono>
#include <string>

namespace nox {
namespace os {

namespace {

constexpr int kSendWaitMs = 100;           // longest wait for a full send buffer

// szIface names the adapter by its friendly or its GUID name.
bool IsNamed(const IP_ADAPTER_ADDRESSES& adapter, const char* szIface)
{
    return AdapterText(adapter) == szIface ||
           (adapter.AdapterName != nullptr && std::string(adapter.AdapterName) == szIface);
}

}  // namespace

int PrepareUdpSocket(NativeSocket sock)
{
    // Otherwise an ICMP port-unreachable report about an earlier send fails
    // the next receive with WSAECONNRESET (the engine would cope with that too).
    BOOL bReport = FALSE;
    DWORD nBytes = 0;
    (void)::WSAIoctl(sock, SIO_UDP_CONNRESET, &bReport, sizeof(bReport), nullptr, 0, &nBytes,
                     nullptr, nullptr);
    return 0;
}

asio::ip::address_v4 GroupBindAddress(const asio::ip::address_v4& /*group*/)
{
    return asio::ip::address_v4::any();
}

int JoinGroup(NativeSocket sock, const asio::ip::address_v4& group, const char* szIface)
{
    AdapterList list;
    const int nRet = list.Load(GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                               GAA_FLAG_SKIP_DNS_SERVER);
    if (nRet != 0)
        return nRet;
    const bool bOnlyOne = szIface != nullptr && szIface[0] != '\0';
    int nJoined = 0;
    int nLastErr = WSAEADDRNOTAVAIL;   // no adapter to join on
    for (const IP_ADAPTER_ADDRESSES* p = list.First(); p != nullptr; p = p->Next) {
        uint32_t nAddr = 0;
        unsigned nPrefixLen = 0;
        if (p->OperStatus != IfOperStatusUp || p->NoMulticast ||
            !FirstIpv4(*p, &nAddr, &nPrefixLen))
            continue;
        if (bOnlyOne && !IsNamed(*p, szIface))
            continue;
        ip_mreq req{};
        req.imr_multiaddr.s_addr = htonl(group.to_uint());
        req.imr_interface.s_addr = htonl(nAddr);
        if (::setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&req),
                         sizeof(req)) == 0 ||
            ::WSAGetLastError() == WSAEADDRINUSE)
            ++nJoined;
        else
            nLastErr = ::WSAGetLastError();
    }
    return nJoined > 0 ? 0 : -nLastErr;
}

int SendDatagram(NativeSocket sock, const char* pData, size_t nLen,
                 const asio::ip::udp::endpoint& dst, bool /*bGroupBound*/)
{
    // Group sockets are bound to the wildcard address here: the source
    // address is the routing table's choice anyway.
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(dst.port());
    addr.sin_addr.s_addr = htonl(dst.address().to_v4().to_uint());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendWaitMs);
    for (;;) {
        if (::sendto(sock, pData, static_cast<int>(nLen), 0,
                     reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != SOCKET_ERROR)
            return 0;
        const int nErr = ::WSAGetLastError();
        if ((nErr != WSAEWOULDBLOCK && nErr != WSAENOBUFS) ||
            std::chrono::steady_clock::now() >= deadline)
            return -nErr;
        ::Sleep(1);   // the send buffer drains within milliseconds
    }
}

// WinSock has no call that sends several datagrams: one at a time.
void SendBatch(NativeSocket sock, SendSlot* pSlots, int nSlots, bool bGroupBound)
{
    for (int i = 0; i < nSlots; ++i)
        pSlots[i].nResult = SendDatagram(sock, pSlots[i].pData, pSlots[i].nLen, pSlots[i].dst, bGroupBound);
}

int ReadShutDownError(NativeSocket /*sock*/)
{
    return 0;   // WinSock reports a closed receive side as an error, not as empty reads
}

bool ReadsInBatches()
{
    return false;   // one overlapped receive per datagram through the completion port
}

int ReceiveBatch(NativeSocket sock, RecvSlot* pSlots, int nSlots)
{
    // One datagram per call; not used while ReadsInBatches is false.
    if (nSlots <= 0)
        return 0;
    sockaddr_in from{};
    int nFromLen = sizeof(from);
    const int n = ::recvfrom(sock, pSlots[0].pData, static_cast<int>(pSlots[0].nCap), 0,
                             reinterpret_cast<sockaddr*>(&from), &nFromLen);
    if (n == SOCKET_ERROR) {
        const int nErr = ::WSAGetLastError();
        return nErr == WSAEWOULDBLOCK ? 0 : -nErr;
    }
    pSlots[0].nLen = static_cast<size_t>(n);
    pSlots[0].nAddr = ntohl(from.sin_addr.s_addr);
    pSlots[0].nPort = ntohs(from.sin_port);
    return 1;
}

}  // namespace os
}  // namespace nox
