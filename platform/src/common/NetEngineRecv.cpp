// The engine's receive side: a port socket's wait or receive, the batches
// taken once it is readable, the errors it survives, and delivery of each
// datagram to the endpoint it was sent to.
#include "common/NetEngineImpl.h"

#include "common/HostText.h"
#include "nox/Thread.h"

namespace nox {

using engine::EndpointFor;
using engine::kBatchSlots;
using engine::kBatchesPerTurn;
using engine::kRecvBufSize;
using engine::Member;
using engine::PortPtr;
using engine::PortSock;
using engine::udp;

// Receive errors after which the socket still works: ICMP reports about an
// earlier send, interrupted or spurious wake-ups, short memory.
bool engine::IsTransient(const asio::error_code& ec)
{
    if (ec.category() != asio::system_category())
        return false;
    namespace err = asio::error;
    return ec == err::connection_refused || ec == err::connection_reset ||
           ec == err::network_reset || ec == err::host_unreachable ||
           ec == err::network_unreachable || ec == err::interrupted || ec == err::try_again ||
           ec == err::would_block || ec == err::no_buffer_space || ec == err::no_memory ||
           os::IsTransientRecvError(ec.value());
}

namespace {

using engine::IsTransient;

// Called with port.mutex held, after a failed read: true to go on (the error
// is transient; the caller asks for the next read), false when the socket is
// dead, with the error in nFatal.
bool Survives(PortSock& port, const asio::error_code& ec, int& nFatal)
{
    if (IsTransient(ec) && ++port.nTransientErrors < engine::kMaxTransientErrors)
        return true;
    nFatal = ec.value() > 0 ? ec.value() : EIO;
    return false;
}

// Before a batch is delivered each datagram's handler hears of its source
// (SocketHandler::OnDataAhead): what OnData looks up by source is then
// fetched while the batch's earlier datagrams are handled.
void Announce(const std::vector<Member>& vecMember, const os::RecvSlot* aSlot, int nCount)
{
    for (int i = 0; i < nCount; ++i) {
        if (const Member* pTo = EndpointFor(vecMember, aSlot[i].nDst))
            pTo->handler->OnDataAhead(aSlot[i].nAddr);
    }
}

void Deliver(const std::vector<Member>& vecMember, const os::RecvSlot& slot)
{
    const Member* pTo = EndpointFor(vecMember, slot.nDst);
    if (pTo == nullptr)
        return;
    char szHost[os::kDottedSize];
    os::DottedText(slot.nAddr, szHost);
    try {
        pTo->handler->OnData(pTo->nId, slot.pData, static_cast<int>(slot.nLen), szHost,
                             static_cast<int>(slot.nPort));
    } catch (...) {
    }
}

}  // namespace

extern thread_local const void* t_pServedEngine;   // NetEngine.cpp

namespace engine {

namespace {

int TakeFrom(PortSock& port, bool bFirst, bool bWait)
{
    {
        std::lock_guard<std::mutex> lock(port.mutex);
        if (port.bClosed)
            return -1;
        if (bWait && !port.bWaitSet) {
            port.bWaitSet = os::SetReceiveWait(port.nFd, intake::kQuietMs) == 0;
            if (!port.bWaitSet)
                return 0;   // an unbounded wait is no option
        }
        port.taker.nBusy.fetch_add(1);   // before a stop can see it closed
    }
    const void* pOuter = t_pServedEngine;
    t_pServedEngine = &port.taker;
    int nRet = -1;
    try {
        nRet = port.taker.TakeBatch(port.shared_from_this(), bFirst, bWait);
    } catch (...) {
    }
    t_pServedEngine = pOuter;
    port.taker.nBusy.fetch_sub(1);
    return nRet;
}

}  // namespace

int PortSock::TakeBatch(bool bFirst)
{
    return TakeFrom(*this, bFirst, false);
}

int PortSock::TakeBatchWaiting()
{
    return TakeFrom(*this, false, true);
}

void PortSock::Rearm()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!bClosed)
        intake::Arm(*this, nFd);
}

void PortSock::Unwatch()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!bClosed)
        intake::Unwatch(*this, nFd);
}

}  // namespace engine

// Like one turn of OnReadable, on the runner that saw the socket readable;
// the handlers queue what needs more than the runner's own steps (see
// Runner::CurrentContext), so no work is announced here.
int NetEngine::Impl::TakeBatch(const PortPtr& pPort, bool bFirst, bool bWait)
{
    os::RecvSlot aSlot[kBatchSlots];
    std::vector<Member> vecMember;
    int nGot = 0;
    int nFatal = 0;
    {
        std::unique_lock<std::mutex> lock(pPort->mutex);
        if (pPort->bClosed)
            return -1;
        for (int i = 0; i < kBatchSlots; ++i)
            aSlot[i] = {pPort->pBuf.get() + static_cast<size_t>(i) * kRecvBufSize, kRecvBufSize,
                        0, 0, 0, 0};
        if (bWait) {
            // The buffers are this runner's alone: the source is out of the
            // set and kept by nobody. Close wakes the call and waits for it.
            pPort->bWaiting = true;
            lock.unlock();
            nGot = os::ReceiveBatch(pPort->nFd, aSlot, kBatchSlots, true);
            lock.lock();
            pPort->bWaiting = false;
            pPort->waitingCv.notify_all();
            if (pPort->bClosed)
                return -1;
        } else {
            nGot = os::ReceiveBatch(pPort->nFd, aSlot, kBatchSlots);
        }
        if (nGot < 0) {
            if (Survives(*pPort, asio::error_code(-nGot, asio::system_category()), nFatal))
                return 0;
        } else if (nGot == 0 && bFirst) {
            nFatal = os::ReadShutDownError(pPort->nFd);   // readable, yet nothing came
        } else if (nGot > 0) {
            pPort->nTransientErrors = 0;
            vecMember = pPort->vecMember;
        }
    }
    if (nGot > 1)
        Announce(vecMember, aSlot, nGot);
    for (int i = 0; i < nGot && nFatal == 0; ++i) {
        if (aSlot[i].nLen == 0 && (nFatal = os::ReadShutDownError(pPort->nFd)) != 0)
            break;
        Deliver(vecMember, aSlot[i]);
    }
    vecMember.clear();
    if (nFatal != 0) {
        ReportDead(pPort, nFatal);
        return -1;
    }
    return nGot;
}

void NetEngine::Impl::StartReceive(const PortPtr& pPort)
{
    if (os::ReadsInBatches() && (pPort->nIntakeKey != 0 || intake::Add(pPort, pPort->nFd))) {
        if (!pPort->bOutOfLoop) {   // the receiving runners take it
            asio::error_code ec;
            (void)pPort->sock.release(ec);
            pPort->bOutOfLoop = !ec;
        }
        return;
    }
    if (os::ReadsInBatches()) {
        pPort->sock.async_wait(udp::socket::wait_read, [this, pPort](const asio::error_code& ec) {
            OnReadable(pPort, ec);
        });
        return;
    }
    pPort->oneSlot = {pPort->pBuf.get(), kRecvBufSize, 0, 0, 0, 0};
    os::AsyncReceiveOne(pPort->sock, pPort->oneSlot,
                        [this, pPort](const asio::error_code& ec) { OnReceive(pPort, ec); });
}

void NetEngine::Impl::ReportDead(const PortPtr& pPort, int nError)
{
    std::vector<Member> vecGone;
    {
        std::lock_guard<std::mutex> ports(portMutex);
        std::lock_guard<std::mutex> lock(pPort->mutex);
        if (pPort->bClosed)
            return;
        pPort->bClosed = true;
        vecGone.swap(pPort->vecMember);
        auto it = mapPort.find(pPort->nPort);
        if (it != mapPort.end() && it->second == pPort)
            mapPort.erase(it);
    }
    // Each endpoint closes (its sends end) before the socket does; one that
    // CloseSocket closed meanwhile is not reported.
    std::vector<std::pair<SOCKID, Ref<SocketHandler>>> vecReport;
    for (const Member& member : vecGone) {
        SockPtr pSt = Find(member.nId);
        if (!pSt)
            continue;
        Forget(pSt);
        Ref<SocketHandler> handler = CloseEndpoint(*pSt);
        if (handler)
            vecReport.emplace_back(member.nId, std::move(handler));
    }
    {
        std::lock_guard<std::mutex> lock(pPort->mutex);
        pPort->Close();
    }
    vecGone.clear();
    for (auto& report : vecReport) {
        try {
            report.second->OnClose(report.first, nError);
        } catch (...) {
        }
    }
}

// The socket is readable: batches until none is waiting (or kBatchesPerTurn
// were taken: the rest comes after the loop's other work), each delivered
// datagram by datagram and announced to the runners once.
void NetEngine::Impl::OnReadable(const PortPtr& pPort, const asio::error_code& ec)
{
    if (ec == asio::error::operation_aborted)
        return;
    os::RecvSlot aSlot[kBatchSlots];
    bool bDrained = false;
    for (int nTurn = 0; nTurn < kBatchesPerTurn && !bDrained; ++nTurn) {
        std::vector<Member> vecMember;
        int nGot = 0;
        int nFatal = 0;
        {
            std::lock_guard<std::mutex> lock(pPort->mutex);
            if (pPort->bClosed)
                return;
            if (ec && nTurn == 0 && !Survives(*pPort, ec, nFatal)) {
                // reported below
            } else {
                for (int i = 0; i < kBatchSlots; ++i)
                    aSlot[i] = {pPort->pBuf.get() + static_cast<size_t>(i) * kRecvBufSize,
                                kRecvBufSize, 0, 0, 0, 0};
                nGot = os::ReceiveBatch(pPort->nFd, aSlot, kBatchSlots);
                if (nGot < 0 && Survives(*pPort, asio::error_code(-nGot, asio::system_category()),
                                         nFatal)) {
                    continue;
                }
                // An empty wake-up at once: the receive side may have been shut down.
                if (nGot == 0 && nTurn == 0)
                    nFatal = os::ReadShutDownError(pPort->nFd);
                if (nGot > 0) {
                    pPort->nTransientErrors = 0;
                    vecMember = pPort->vecMember;
                }
            }
        }
        if (nFatal != 0) {
            ReportDead(pPort, nFatal);
            return;
        }
        if (nGot > 1)
            Announce(vecMember, aSlot, nGot);
        for (int i = 0; i < nGot; ++i) {
            if (aSlot[i].nLen == 0 && (nFatal = os::ReadShutDownError(pPort->nFd)) != 0)
                break;
            Deliver(vecMember, aSlot[i]);
        }
        vecMember.clear();
        if (nGot > 0)
            Runner::NotifyWork();
        if (nFatal != 0) {
            ReportDead(pPort, nFatal);
            return;
        }
        // Fewer than asked: none was left, and one that comes later wakes the
        // wait asked for below.
        bDrained = nGot < kBatchSlots;
    }

    std::lock_guard<std::mutex> lock(pPort->mutex);
    if (pPort->bClosed)
        return;
    if (bDrained)
        StartReceive(pPort);
    else
        asio::post(pPort->loop.io, [this, pPort] { OnReadable(pPort, asio::error_code()); });
}

void NetEngine::Impl::OnReceive(const PortPtr& pPort, const asio::error_code& ec)
{
    if (ec == asio::error::operation_aborted)
        return;
    std::vector<Member> vecMember;
    int nFatal = 0;
    {
        std::lock_guard<std::mutex> lock(pPort->mutex);
        if (pPort->bClosed)
            return;
        if (ec) {
            if (Survives(*pPort, ec, nFatal)) {
                StartReceive(pPort);
                return;
            }
        } else {
            nFatal = pPort->oneSlot.nLen == 0 ? os::ReadShutDownError(pPort->nFd) : 0;
            if (nFatal == 0) {
                pPort->nTransientErrors = 0;
                vecMember = pPort->vecMember;
            }
        }
    }
    if (nFatal != 0) {
        ReportDead(pPort, nFatal);
        return;
    }
    Deliver(vecMember, pPort->oneSlot);
    vecMember.clear();
    Runner::NotifyWork();

    std::lock_guard<std::mutex> lock(pPort->mutex);
    if (!pPort->bClosed)
        StartReceive(pPort);
}

}  // namespace nox
