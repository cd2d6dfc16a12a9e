// The engine's send side: one datagram or a batch, on the native socket the
// endpoint sends through (its port's), without a lock the receive side takes
// (see SockState::EnterSend).
#include "common/NetEngineImpl.h"

namespace nox {

using engine::SockPtr;
using engine::udp;

namespace {

// The destination of a datagram to send, false when the arguments are not
// one (a negative length, no data, a port outside 1..65535, no IPv4 text).
bool Destination(const char* pData, int nLen, const char* szHost, int nPort, udp::endpoint* pDst)
{
    asio::ip::address_v4 addr;
    if (nLen < 0 || (pData == nullptr && nLen > 0) || nPort <= 0 || nPort > 65535 ||
        !engine::ParseIPv4(szHost, &addr))
        return false;
    *pDst = udp::endpoint(addr, static_cast<unsigned short>(nPort));
    return true;
}

}  // namespace

int NetEngine::SendTo(SOCKID sock, const char* pData, int nLen, const char* szHost, int nPort)
{
    udp::endpoint dst;
    if (!Destination(pData, nLen, szHost, nPort, &dst))
        return -EINVAL;
    SockPtr pSt = m_pImpl->Find(sock);
    if (!pSt || !pSt->EnterSend())
        return -EBADF;
    const int nRet = os::SendDatagram(pSt->nFd.load(), pData, static_cast<size_t>(nLen), dst);
    pSt->LeaveSend();
    return nRet;
}

int NetEngine::SendToBatch(SOCKID sock, OutDatagram* pDatagrams, int n)
{
    SockPtr pSt = m_pImpl->Find(sock);
    if (!pSt || !pSt->EnterSend()) {
        for (int i = 0; i < n; ++i)
            pDatagrams[i].nResult = -EBADF;
        return -EBADF;
    }
    const os::NativeSocket nFd = pSt->nFd.load();
    constexpr int kPerCall = 32;
    os::SendSlot aSlot[kPerCall];
    OutDatagram* apFor[kPerCall];   // the datagram of each slot
    for (int nNext = 0; nNext < n;) {
        int nSlots = 0;
        for (; nNext < n && nSlots < kPerCall; ++nNext) {
            OutDatagram& d = pDatagrams[nNext];
            udp::endpoint dst;
            if (!Destination(d.pData, d.nLen, d.szHost, d.nPort, &dst)) {
                d.nResult = -EINVAL;
                continue;
            }
            apFor[nSlots] = &d;
            aSlot[nSlots++] = {d.pData, static_cast<size_t>(d.nLen), dst, 0};
        }
        os::SendBatch(nFd, aSlot, nSlots);
        for (int i = 0; i < nSlots; ++i)
            apFor[i]->nResult = aSlot[i].nResult;
    }
    pSt->LeaveSend();
    return 0;
}

}  // namespace nox
