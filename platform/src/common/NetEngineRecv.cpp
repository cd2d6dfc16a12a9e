// The engine's receive side: a socket's wait or receive, the batches taken
// once it is readable, the errors it survives, and delivery to its handler.
#include "common/NetEngineImpl.h"

#include "common/HostText.h"
#include "nox/Thread.h"

namespace nox {

using engine::kBatchSlots;
using engine::kBatchesPerTurn;
using engine::kRecvBufSize;
using engine::SockPtr;
using engine::SockState;
using engine::udp;

namespace {

// Receive errors after which the socket still works: ICMP reports about an
// earlier send, interrupted or spurious wake-ups, short memory.
bool IsTransient(const asio::error_code& ec)
{
    if (ec.category() != asio::system_category())
        return false;
    namespace err = asio::error;
    return ec == err::connection_refused || ec == err::connection_reset ||
           ec == err::network_reset || ec == err::host_unreachable ||
           ec == err::network_unreachable || ec == err::interrupted || ec == err::try_again ||
           ec == err::would_block || ec == err::no_buffer_space || ec == err::no_memory;
}

// Called with st.mutex held, after a failed read: true to go on (the error
// is transient; the caller asks for the next read), false when the socket is
// dead, with the error in nFatal.
bool Survives(SockState& st, const asio::error_code& ec, int& nFatal)
{
    if (IsTransient(ec) && ++st.nTransientErrors < engine::kMaxTransientErrors)
        return true;
    nFatal = ec.value() > 0 ? ec.value() : EIO;
    return false;
}

void Deliver(SockState& st, SocketHandler& handler, const char* pData, size_t nLen,
             uint32_t nAddr, uint16_t nPort)
{
    char szHost[os::kDottedSize];
    os::DottedText(nAddr, szHost);
    try {
        handler.OnData(st.nId, pData, static_cast<int>(nLen), szHost, static_cast<int>(nPort));
    } catch (...) {
    }
}

}  // namespace

void NetEngine::Impl::StartReceive(const SockPtr& pSt)
{
    if (os::ReadsInBatches()) {
        pSt->sock.async_wait(udp::socket::wait_read,
                             [this, pSt](const asio::error_code& ec) { OnReadable(pSt, ec); });
        return;
    }
    pSt->endSender = udp::endpoint();
    pSt->sock.async_receive_from(
        asio::buffer(pSt->pBuf.get(), kRecvBufSize), pSt->endSender,
        [this, pSt](const asio::error_code& ec, size_t nBytes) { OnReceive(pSt, ec, nBytes); });
}

void NetEngine::Impl::ReportDead(const SockPtr& pSt, int nError)
{
    Forget(pSt);
    Ref<SocketHandler> handler = engine::CloseState(*pSt);
    if (handler) {
        try {
            handler->OnClose(pSt->nId, nError);
        } catch (...) {
        }
    }
}

// The socket is readable: batches until none is waiting (or kBatchesPerTurn
// were taken: the rest comes after the loop's other work), each delivered
// datagram by datagram and announced to the runners once.
void NetEngine::Impl::OnReadable(const SockPtr& pSt, const asio::error_code& ec)
{
    if (ec == asio::error::operation_aborted)
        return;
    os::RecvSlot aSlot[kBatchSlots];
    bool bDrained = false;
    for (int nTurn = 0; nTurn < kBatchesPerTurn && !bDrained; ++nTurn) {
        Ref<SocketHandler> handler;
        int nGot = 0;
        int nFatal = 0;
        {
            std::lock_guard<std::mutex> lock(pSt->mutex);
            if (pSt->bClosed.load())
                return;
            if (ec && nTurn == 0 && !Survives(*pSt, ec, nFatal)) {
                // reported below
            } else {
                for (int i = 0; i < kBatchSlots; ++i)
                    aSlot[i] = {pSt->pBuf.get() + static_cast<size_t>(i) * kRecvBufSize,
                                kRecvBufSize, 0, 0, 0};
                nGot = os::ReceiveBatch(pSt->nFd, aSlot, kBatchSlots);
                if (nGot < 0 && Survives(*pSt, asio::error_code(-nGot, asio::system_category()),
                                         nFatal)) {
                    continue;
                }
                // An empty wake-up at once: the receive side may have been shut down.
                if (nGot == 0 && nTurn == 0)
                    nFatal = os::ReadShutDownError(pSt->nFd);
                if (nGot > 0) {
                    pSt->nTransientErrors = 0;
                    handler = pSt->handler;
                }
            }
        }
        if (nFatal != 0) {
            ReportDead(pSt, nFatal);
            return;
        }
        for (int i = 0; i < nGot; ++i) {
            if (aSlot[i].nLen == 0 && (nFatal = os::ReadShutDownError(pSt->nFd)) != 0)
                break;
            Deliver(*pSt, *handler, aSlot[i].pData, aSlot[i].nLen, aSlot[i].nAddr,
                    aSlot[i].nPort);
        }
        handler.release();
        if (nGot > 0)
            Runner::NotifyWork();
        if (nFatal != 0) {
            ReportDead(pSt, nFatal);
            return;
        }
        // Fewer than asked: none was left, and one that comes later wakes the
        // wait asked for below.
        bDrained = nGot < kBatchSlots;
    }

    std::lock_guard<std::mutex> lock(pSt->mutex);
    if (pSt->bClosed.load())
        return;
    if (bDrained)
        StartReceive(pSt);
    else
        asio::post(pSt->loop.io, [this, pSt] { OnReadable(pSt, asio::error_code()); });
}

void NetEngine::Impl::OnReceive(const SockPtr& pSt, const asio::error_code& ec, size_t nBytes)
{
    if (ec == asio::error::operation_aborted)
        return;
    Ref<SocketHandler> handler;
    int nFatal = 0;
    {
        std::lock_guard<std::mutex> lock(pSt->mutex);
        if (pSt->bClosed.load())
            return;
        if (ec) {
            if (Survives(*pSt, ec, nFatal)) {
                StartReceive(pSt);
                return;
            }
        } else {
            nFatal = nBytes == 0 ? os::ReadShutDownError(pSt->nFd) : 0;
            if (nFatal == 0) {
                pSt->nTransientErrors = 0;
                handler = pSt->handler;
            }
        }
    }
    if (nFatal != 0) {
        ReportDead(pSt, nFatal);
        return;
    }
    Deliver(*pSt, *handler, pSt->pBuf.get(), nBytes, pSt->endSender.address().to_v4().to_uint(),
            pSt->endSender.port());
    handler.release();
    Runner::NotifyWork();

    std::lock_guard<std::mutex> lock(pSt->mutex);
    if (!pSt->bClosed.load())
        StartReceive(pSt);
}

}  // namespace nox
