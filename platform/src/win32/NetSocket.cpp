// Windows side of the UDP engine's socket calls (group memberships are in
// GroupMembership.cpp). Each
// datagram is received with WSARecvMsg, overlapped through the loop's
// completion port, for its destination address.
#include "common/NetEngineOs.h"

#include "win32/AdapterList.h"

#include <mswsock.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#ifndef SIO_UDP_NETRESET
#define SIO_UDP_NETRESET _WSAIOW(IOC_VENDOR, 15)
#endif

namespace nox {
namespace os {

namespace {

constexpr int kSendWaitMs = 100;           // longest wait for a full send buffer

}  // namespace

int PrepareUdpSocket(NativeSocket sock)
{
    // Otherwise an ICMP report about an earlier send (port unreachable, time
    // to live exceeded) fails the next receive with WSAECONNRESET or
    // WSAENETRESET (the engine would cope with those too).
    BOOL bReport = FALSE;
    DWORD nBytes = 0;
    (void)::WSAIoctl(sock, SIO_UDP_CONNRESET, &bReport, sizeof(bReport), nullptr, 0, &nBytes,
                     nullptr, nullptr);
    (void)::WSAIoctl(sock, SIO_UDP_NETRESET, &bReport, sizeof(bReport), nullptr, 0, &nBytes,
                     nullptr, nullptr);
    // No other socket, of any account, may bind the port, not even one with
    // SO_REUSEADDR or bound to a specific address.
    const BOOL bOn = TRUE;
    if (::setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&bOn),
                     sizeof(bOn)) != 0 ||
        ::setsockopt(sock, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&bOn),
                     sizeof(bOn)) != 0)
        return -::WSAGetLastError();
    return 0;
}

int SendDatagram(NativeSocket sock, const char* pData, size_t nLen,
                 const asio::ip::udp::endpoint& dst)
{
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
void SendBatch(NativeSocket sock, SendSlot* pSlots, int nSlots)
{
    for (int i = 0; i < nSlots; ++i)
        pSlots[i].nResult = SendDatagram(sock, pSlots[i].pData, pSlots[i].nLen, pSlots[i].dst);
}

// Sockets leave the event loop only where the runners receive (not here);
// both are there for completeness.
int CloseNative(NativeSocket sock)
{
    return ::closesocket(sock) == 0 ? 0 : -::WSAGetLastError();
}

int SetMulticastOut(NativeSocket sock, uint32_t nAddr)
{
    in_addr addr{};
    addr.s_addr = nAddr;
    return ::setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&addr),
                        sizeof(addr)) == 0
               ? 0
               : -::WSAGetLastError();
}

int ReadShutDownError(NativeSocket /*sock*/)
{
    return 0;   // WinSock reports a closed receive side as an error, not as empty reads
}

bool ReadsInBatches()
{
    return false;   // one overlapped receive per datagram through the completion port
}

int SetReceiveWait(NativeSocket /*sock*/, unsigned /*nMs*/)
{
    return -WSAEOPNOTSUPP;   // no runner waits in a receive here (ReadsInBatches)
}

void ShutdownRead(NativeSocket sock)
{
    (void)::shutdown(sock, SD_RECEIVE);
}

int ReceiveBatch(NativeSocket sock, RecvSlot* pSlots, int nSlots, bool /*bWait*/)
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
    pSlots[0].nDst = 0;
    return 1;
}

namespace {

// WSARecvMsg is reached through the provider; the same for every UDP socket.
LPFN_WSARECVMSG RecvMsgFunction(SOCKET sock)
{
    static std::atomic<LPFN_WSARECVMSG> s_pFn{nullptr};
    LPFN_WSARECVMSG pFn = s_pFn.load();
    if (pFn == nullptr) {
        GUID guid = WSAID_WSARECVMSG;
        DWORD nBytes = 0;
        if (::WSAIoctl(sock, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof(guid), &pFn,
                       sizeof(pFn), &nBytes, nullptr, nullptr) != 0)
            return nullptr;
        s_pFn.store(pFn);
    }
    return pFn;
}

// What one overlapped WSARecvMsg writes to until it completes.
struct PendingRecv {
    WSAMSG msg{};
    WSABUF buf{};
    sockaddr_in from{};
    alignas(WSACMSGHDR) char aControl[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
};

// The destination address in the message's IP_PKTINFO, 0 without one.
uint32_t DestinationOf(WSAMSG& msg)
{
    if (msg.Control.len > sizeof(PendingRecv::aControl))
        return 0;
    for (WSACMSGHDR* pCmsg = WSA_CMSG_FIRSTHDR(&msg); pCmsg != nullptr;
         pCmsg = WSA_CMSG_NXTHDR(&msg, pCmsg)) {
        if (pCmsg->cmsg_len < WSA_CMSG_LEN(0))
            break;
        if (pCmsg->cmsg_level == IPPROTO_IP && pCmsg->cmsg_type == IP_PKTINFO &&
            pCmsg->cmsg_len >= WSA_CMSG_LEN(sizeof(IN_PKTINFO))) {
            IN_PKTINFO info;
            std::memcpy(&info, WSA_CMSG_DATA(pCmsg), sizeof(info));
            return ntohl(info.ipi_addr.s_addr);
        }
    }
    return 0;
}

}  // namespace

void AsyncReceiveOne(asio::ip::udp::socket& sock, RecvSlot& slot,
                     std::function<void(const asio::error_code&)> done)
{
    auto pRecv = std::make_shared<PendingRecv>();
    pRecv->buf.buf = slot.pData;
    pRecv->buf.len = static_cast<ULONG>(slot.nCap);
    pRecv->msg.name = reinterpret_cast<sockaddr*>(&pRecv->from);
    pRecv->msg.namelen = sizeof(pRecv->from);
    pRecv->msg.lpBuffers = &pRecv->buf;
    pRecv->msg.dwBufferCount = 1;
    pRecv->msg.Control.buf = pRecv->aControl;
    pRecv->msg.Control.len = sizeof(pRecv->aControl);
    asio::windows::overlapped_ptr op(
        sock.get_executor(),
        [pRecv, &slot, done](const asio::error_code& ec, size_t nBytes) {
            slot.nLen = nBytes;
            slot.nAddr = ntohl(pRecv->from.sin_addr.s_addr);
            slot.nPort = ntohs(pRecv->from.sin_port);
            slot.nDst = ec ? 0 : DestinationOf(pRecv->msg);
            done(ec);
        });
    const LPFN_WSARECVMSG pRecvMsg = RecvMsgFunction(sock.native_handle());
    if (pRecvMsg == nullptr) {
        op.complete(asio::error::operation_not_supported, 0);
        return;
    }
    DWORD nBytes = 0;
    const int nRet = pRecvMsg(sock.native_handle(), &pRecv->msg, &nBytes, op.get(), nullptr);
    const int nErr = ::WSAGetLastError();
    if (nRet != 0 && nErr != WSA_IO_PENDING)
        op.complete(asio::error_code(nErr, asio::system_category()), 0);
    else
        op.release();   // the completion port delivers the result, also of an immediate one
}

bool IsTransientRecvError(int nErr)
{
    // How a completed receive reports ICMP errors about an earlier send (and
    // a reset of the local address), as system error codes rather than
    // WinSock ones.
    switch (nErr) {
    case ERROR_PORT_UNREACHABLE:
    case ERROR_HOST_UNREACHABLE:
    case ERROR_NETWORK_UNREACHABLE:
    case ERROR_CONNECTION_ABORTED:
    case ERROR_CONNECTION_REFUSED:
    case ERROR_NETNAME_DELETED:   // a reset
        return true;
    default:
        return false;
    }
}

}  // namespace os
}  // namespace nox
