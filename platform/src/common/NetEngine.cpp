// The UDP network engine. Each event thread runs an asio io_context of its
// own (epoll on Linux, an I/O completion port on Windows), and every socket
// belongs to one of them, so a socket's events never pass from one thread to
// another. Where the OS half reads in batches (common/NetEngineOs.h), a
// socket waits for readability and then takes all waiting datagrams a batch at
// a time; otherwise it has one receive of one datagram in flight. Either way
// its callbacks never overlap. Sends bypass asio and go through the OS half on
// the native socket, guarded by a counter rather than a lock the receive side
// takes.
#if defined(__SANITIZE_THREAD__) && !defined(__clang__)
// asio's handler fences are not modelled by the thread sanitizer, and GCC
// warns about every one; its queues are mutex-protected, which it does see.
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include "nox/NetEngine.h"

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/GroupMembershipOs.h"
#include "common/HostText.h"
#include "common/NetEngineOs.h"
#include "common/RuntimeOs.h"
#include "nox/Thread.h"

namespace nox {
namespace {

using asio::ip::udp;

constexpr size_t kRecvBufSize = 65536;     // any IPv4 datagram fits whole
constexpr int kBatchSlots = 32;            // datagrams taken per read
constexpr int kBatchesPerTurn = 8;         // then the socket's other loop work goes first
constexpr int kMaxThreads = 256;
constexpr int kMaxTransientErrors = 1000;  // in a row; then the socket counts as dead

// Set on the event threads to the engine they serve, so StopEngine can refuse
// to join the thread it runs on.
thread_local const void* t_pEventEngine = nullptr;

int NegErr(const asio::error_code& ec)
{
    return ec.value() > 0 ? -ec.value() : -EIO;
}

bool ParseIPv4(const char* szHost, asio::ip::address_v4* pAddr)
{
    uint32_t nAddr = 0;
    if (!os::ParseDotted(szHost, &nAddr))
        return false;
    *pAddr = asio::ip::address_v4(nAddr);
    return true;
}

// The destination of a datagram to send, false when the arguments are not
// one (a negative length, no data, a port outside 1..65535, no IPv4 text).
bool Destination(const char* pData, int nLen, const char* szHost, int nPort, udp::endpoint* pDst)
{
    asio::ip::address_v4 addr;
    if (nLen < 0 || (pData == nullptr && nLen > 0) || nPort <= 0 || nPort > 65535 ||
        !ParseIPv4(szHost, &addr))
        return false;
    *pDst = udp::endpoint(addr, static_cast<unsigned short>(nPort));
    return true;
}

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

// One event thread and its own event loop.
struct Loop {
    asio::io_context io{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::thread thread;
};

// One engine socket. mutex guards the asio socket object, the handler and the
// receive state; the receive side holds it only to read a batch and to ask
// for the next one. A sender holds no lock: it counts itself in nSenders and
// then checks bClosed, while the closer sets bClosed and then waits for
// nSenders to drop to 0 before it closes the descriptor (both orders
// sequentially consistent), so nFd stays open for every send that began.
struct SockState {
    SockState(SOCKID nIdIn, Loop& loopIn, const Ref<SocketHandler>& handlerIn)
        : nId(nIdIn), loop(loopIn), sock(loopIn.io), nFd(sock.native_handle()), handler(handlerIn)
    {
    }

    bool EnterSend()
    {
        nSenders.fetch_add(1);
        if (!bClosed.load())
            return true;
        nSenders.fetch_sub(1);
        return false;
    }
    void LeaveSend() { nSenders.fetch_sub(1); }

    const SOCKID nId;
    Loop& loop;
    std::mutex mutex;
    udp::socket sock;
    os::NativeSocket nFd;        // written before the socket is published
    Ref<SocketHandler> handler;
    std::atomic<bool> bClosed{false};
    std::atomic<int> nSenders{0};
    std::atomic<bool> bGroup{false};   // bound to a multicast group address itself
    std::atomic<uint32_t> nGroup{0};   // the group joined at StartUDP (host order); 0: none
    bool bReceiving = false;
    int nTransientErrors = 0;
    // The receive buffers (kBatchSlots of kRecvBufSize, or one), allocated
    // when receiving starts and left untouched until datagrams fill them.
    std::unique_ptr<char[]> pBuf;
    udp::endpoint endSender;     // one-datagram receives only
};

typedef std::shared_ptr<SockState> SockPtr;

// Closes the socket unless it already is; returns its handler (empty when it
// was closed before), for the caller to report to or drop outside the lock.
Ref<SocketHandler> CloseState(SockState& st)
{
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.bClosed.exchange(true))
        return Ref<SocketHandler>();
    for (int nSpin = 0; st.nSenders.load() != 0; ++nSpin) {
        if (nSpin < 100)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));   // a send waits <= 100 ms
    }
    asio::error_code ec;
    st.sock.close(ec);   // cancels the wait or receive in flight
    return std::move(st.handler);
}

}  // namespace

// mutex guards bRunning, nMaxSockets, nNextId, mapSock, vecLoop and their
// work guards: shared for a look-up (every send), exclusive for a change. It
// is never held while a socket's own lock is taken or a callback runs.
struct NetEngine::Impl {
    std::shared_mutex mutex;
    bool bRunning = false;
    size_t nMaxSockets = 0;
    SOCKID nNextId = 1;   // ids are never reused, not even after a restart
    std::map<SOCKID, SockPtr> mapSock;
    std::vector<std::unique_ptr<Loop>> vecLoop;
    // Loops of an earlier run: kept with the engine, since a socket of theirs
    // may still be held for a moment (a send that began before the stop).
    std::vector<std::unique_ptr<Loop>> vecRetired;

    SockPtr Find(SOCKID nId)
    {
        std::shared_lock<std::shared_mutex> lock(mutex);
        auto it = mapSock.find(nId);
        return it == mapSock.end() ? SockPtr() : it->second;
    }

    // Finds the socket nId and locks it; false (nothing held) when it is
    // unknown or closed. The caller declares pSt before lock, so the lock is
    // released before the last reference to the socket can go.
    bool LockOpen(SOCKID nId, SockPtr& pSt, std::unique_lock<std::mutex>& lock)
    {
        pSt = Find(nId);
        if (!pSt)
            return false;
        lock = std::unique_lock<std::mutex>(pSt->mutex);
        if (!pSt->bClosed.load())
            return true;
        lock.unlock();
        return false;
    }

    void Forget(const SockPtr& pSt)
    {
        std::unique_lock<std::shared_mutex> lock(mutex);
        auto it = mapSock.find(pSt->nId);
        if (it != mapSock.end() && it->second == pSt)
            mapSock.erase(it);
    }

    void RunEvents(Loop& loop)
    {
        t_pEventEngine = this;
        for (;;) {
            try {
                loop.io.run();   // returns once StopEngine has let go of the work guard
                return;
            } catch (...) {
                // a throwing callback must not end an event thread
            }
        }
    }

    // Called with pSt->mutex held.
    void StartReceive(const SockPtr& pSt)
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

    // Called with pSt->mutex held, after a failed read: true to go on (the
    // error is transient; the caller asks for the next read), false when the
    // socket is dead, with the error in nFatal.
    static bool Survives(SockState& st, const asio::error_code& ec, int& nFatal)
    {
        if (IsTransient(ec) && ++st.nTransientErrors < kMaxTransientErrors)
            return true;
        nFatal = ec.value() > 0 ? ec.value() : EIO;
        return false;
    }

    // The socket failed: the engine drops it and reports it once.
    void ReportDead(const SockPtr& pSt, int nError)
    {
        Forget(pSt);
        Ref<SocketHandler> handler = CloseState(*pSt);
        if (handler) {
            try {
                handler->OnClose(pSt->nId, nError);
            } catch (...) {
            }
        }
    }

    static void Deliver(SockState& st, SocketHandler& handler, const char* pData, size_t nLen,
                        uint32_t nAddr, uint16_t nPort)
    {
        char szHost[os::kDottedSize];
        os::DottedText(nAddr, szHost);
        try {
            handler.OnData(st.nId, pData, static_cast<int>(nLen), szHost, static_cast<int>(nPort));
        } catch (...) {
        }
    }

    void OnReadable(const SockPtr& pSt, const asio::error_code& ec);
    void OnReceive(const SockPtr& pSt, const asio::error_code& ec, size_t nBytes);
};

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

NetEngine::NetEngine() : m_pImpl(new Impl) {}

NetEngine::~NetEngine()
{
    (void)StopEngine();
}

int NetEngine::StartEngine(NetEngineType eType, int nMaxSockets, int nThreads)
{
    if (eType != kNetEngineEvent || nMaxSockets <= 0 || nThreads <= 0 || nThreads > kMaxThreads)
        return -EINVAL;
    Impl& impl = *m_pImpl;
    std::unique_lock<std::shared_mutex> lock(impl.mutex);
    if (impl.bRunning || !impl.vecLoop.empty())
        return -EALREADY;
    try {
        for (int i = 0; i < nThreads; ++i) {
            impl.vecLoop.emplace_back(new Loop);
            Loop& loop = *impl.vecLoop.back();
            loop.work.emplace(loop.io.get_executor());
            loop.thread = std::thread([&impl, &loop] {
                os::ScopedSignalStack signalStack;
                impl.RunEvents(loop);
            });
        }
    } catch (...) {
        for (auto& pLoop : impl.vecLoop) {
            pLoop->work.reset();
            pLoop->io.stop();
            if (pLoop->thread.joinable())
                pLoop->thread.join();
        }
        impl.vecLoop.clear();
        return -EAGAIN;
    }
    impl.nMaxSockets = static_cast<size_t>(nMaxSockets);
    impl.bRunning = true;
    return 0;
}

int NetEngine::StopEngine()
{
    Impl& impl = *m_pImpl;
    if (t_pEventEngine == &impl)
        return -EDEADLK;   // an event thread cannot wait for itself
    std::map<SOCKID, SockPtr> mapSock;
    {
        std::unique_lock<std::shared_mutex> lock(impl.mutex);
        impl.bRunning = false;
        mapSock.swap(impl.mapSock);
    }
    for (auto& entry : mapSock)
        CloseState(*entry.second).release();
    mapSock.clear();
    std::vector<std::unique_ptr<Loop>> vecLoop;
    {
        std::unique_lock<std::shared_mutex> lock(impl.mutex);
        for (auto& pLoop : impl.vecLoop)
            pLoop->work.reset();   // run() returns when the cancelled waits are done
        vecLoop.swap(impl.vecLoop);
    }
    for (auto& pLoop : vecLoop)
        pLoop->thread.join();
    std::unique_lock<std::shared_mutex> lock(impl.mutex);
    for (auto& pLoop : vecLoop)
        impl.vecRetired.push_back(std::move(pLoop));
    return 0;
}

NetEngine::SOCKID NetEngine::CreateSocket(const Ref<SocketHandler>& handler, int* pError)
{
    int nErr = 0;
    SOCKID nId = kInvalidSockId;
    if (!handler) {
        nErr = -EINVAL;
    } else {
        Impl& impl = *m_pImpl;
        std::unique_lock<std::shared_mutex> lock(impl.mutex);
        if (!impl.bRunning) {
            nErr = -ENETDOWN;
        } else if (impl.mapSock.size() >= impl.nMaxSockets) {
            nErr = -EMFILE;
        } else {
            try {
                Loop& loop = *impl.vecLoop[impl.nNextId % impl.vecLoop.size()];
                auto pSt = std::make_shared<SockState>(impl.nNextId, loop, handler);
                asio::error_code ec;
                pSt->sock.open(udp::v4(), ec);
                if (!ec)
                    pSt->sock.set_option(asio::socket_base::broadcast(true), ec);
                nErr = ec ? NegErr(ec) : os::PrepareUdpSocket(pSt->sock.native_handle());
                if (nErr == 0) {   // else the socket closes with pSt
                    pSt->nFd = pSt->sock.native_handle();
                    nId = impl.nNextId++;
                    impl.mapSock.emplace(nId, std::move(pSt));
                }
            } catch (...) {
                nErr = -ENOMEM;
            }
        }
    }
    if (pError != nullptr)
        *pError = nErr;
    return nId;
}

int NetEngine::CloseSocket(SOCKID sock)
{
    SockPtr pSt;
    {
        std::unique_lock<std::shared_mutex> lock(m_pImpl->mutex);
        auto it = m_pImpl->mapSock.find(sock);
        if (it == m_pImpl->mapSock.end())
            return -1;
        pSt = std::move(it->second);
        m_pImpl->mapSock.erase(it);
    }
    CloseState(*pSt).release();   // not reported through OnClose
    return 0;
}

int NetEngine::StartTcpServer(SOCKID, const char*, int)
{
    return -1;
}

int NetEngine::StartTcpClient(SOCKID, const char*, int)
{
    return -1;
}

int NetEngine::Send(SOCKID, const char*, int)
{
    return -1;
}

int NetEngine::StartUDP(SOCKID sock, const char* szHost, int nPort, const char* szIface,
                        int nFlags, bool bRecv)
{
    (void)nFlags;
    asio::ip::address_v4 addr = asio::ip::address_v4::any();
    if (szHost != nullptr && szHost[0] != '\0' && !ParseIPv4(szHost, &addr))
        return -EINVAL;
    const bool bGroup = addr.is_multicast();
    if (nPort < 0 || nPort > 65535)
        return -EINVAL;
    SockPtr pSt;
    std::unique_lock<std::mutex> lock;
    if (!m_pImpl->LockOpen(sock, pSt, lock))
        return -EBADF;
    try {
        asio::error_code ec;
        const asio::ip::address_v4 bindAddr = bGroup ? os::GroupBindAddress(addr) : addr;
        pSt->sock.bind(udp::endpoint(bindAddr, static_cast<unsigned short>(nPort)), ec);
        if (ec)
            return NegErr(ec);
        if (bGroup) {
            pSt->bGroup.store(bindAddr.is_multicast());
            const int nRet = os::JoinGroup(pSt->nFd, addr, szIface);
            if (nRet != 0)
                return nRet;
            pSt->nGroup.store(addr.to_uint());
        }
        if (bRecv && !pSt->bReceiving) {
            const size_t nSlots = os::ReadsInBatches() ? kBatchSlots : 1;
            pSt->pBuf.reset(new char[nSlots * kRecvBufSize]);
            pSt->bReceiving = true;
            m_pImpl->StartReceive(pSt);
        }
    } catch (...) {
        return -ENOMEM;
    }
    return 0;
}

int NetEngine::SendTo(SOCKID sock, const char* pData, int nLen, const char* szHost, int nPort)
{
    udp::endpoint dst;
    if (!Destination(pData, nLen, szHost, nPort, &dst))
        return -EINVAL;
    SockPtr pSt = m_pImpl->Find(sock);
    if (!pSt || !pSt->EnterSend())
        return -EBADF;
    const int nRet = os::SendDatagram(pSt->nFd, pData, static_cast<size_t>(nLen), dst,
                                      pSt->bGroup.load(std::memory_order_relaxed));
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
    const bool bGroup = pSt->bGroup.load(std::memory_order_relaxed);
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
        os::SendBatch(pSt->nFd, aSlot, nSlots, bGroup);
        for (int i = 0; i < nSlots; ++i)
            apFor[i]->nResult = aSlot[i].nResult;
    }
    pSt->LeaveSend();
    return 0;
}

int NetEngine::SetHandler(SOCKID sock, const Ref<SocketHandler>& handler)
{
    if (!handler)
        return -EINVAL;
    SockPtr pSt = m_pImpl->Find(sock);
    if (!pSt)
        return -EBADF;
    Ref<SocketHandler> old = handler;
    {
        std::lock_guard<std::mutex> lock(pSt->mutex);
        if (pSt->bClosed.load())
            return -EBADF;
        std::swap(old, pSt->handler);
    }
    return 0;   // the previous handler is dropped here, outside the lock
}

int NetEngine::SetReuseAddr(SOCKID sock, int nOn)
{
    SockPtr pSt;
    std::unique_lock<std::mutex> lock;
    if (!m_pImpl->LockOpen(sock, pSt, lock))
        return -EBADF;
    asio::error_code ec;
    pSt->sock.set_option(asio::socket_base::reuse_address(nOn != 0), ec);
    return ec ? NegErr(ec) : 0;
}

int NetEngine::SetMulticastInterface(SOCKID sock, const char* szIfaceAddr)
{
    asio::ip::address_v4 addr;
    if (!ParseIPv4(szIfaceAddr, &addr))
        return -EINVAL;
    SockPtr pSt;
    std::unique_lock<std::mutex> lock;
    if (!m_pImpl->LockOpen(sock, pSt, lock))
        return -EBADF;
    asio::error_code ec;
    pSt->sock.set_option(asio::ip::multicast::outbound_interface(addr), ec);
    return ec ? NegErr(ec) : 0;
}

int NetEngine::SetGroupMembership(const char* szIface, bool bJoin, std::vector<GroupChange>& vecOut)
{
    vecOut.clear();
    if (szIface == nullptr || szIface[0] == '\0')
        return -EINVAL;
    std::vector<SockPtr> vecGroup;
    {
        std::shared_lock<std::shared_mutex> lock(m_pImpl->mutex);
        for (const auto& entry : m_pImpl->mapSock) {
            if (entry.second->nGroup.load() != 0)
                vecGroup.push_back(entry.second);
        }
    }
    for (const SockPtr& pSt : vecGroup) {
        std::lock_guard<std::mutex> lock(pSt->mutex);
        if (pSt->bClosed.load())
            continue;
        const uint32_t nGroup = pSt->nGroup.load();
        vecOut.push_back({pSt->nId, nGroup, os::ChangeGroupOn(pSt->nFd, nGroup, szIface, bJoin)});
    }
    return 0;
}

}  // namespace nox
