// The UDP network engine: one asio io_context run by the event threads (epoll
// on Linux, I/O completion ports on Windows). Each socket has exactly one
// receive in flight, so its callbacks never overlap; sends bypass asio and go
// through the OS half (common/NetEngineOs.h) on the native socket.
#if defined(__SANITIZE_THREAD__) && !defined(__clang__)
// asio's handler fences are not modelled by the thread sanitizer, and GCC
// warns about every one; its queues are mutex-protected, which it does see.
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include "nox/NetEngine.h"

#include <cerrno>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/RuntimeOs.h"
#include "common/HostText.h"
#include "common/NetEngineOs.h"
#include "nox/Thread.h"

namespace nox {
namespace {

using asio::ip::udp;

constexpr size_t kRecvBufSize = 65536;     // any IPv4 datagram fits whole
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
    if (szHost == nullptr)
        return false;
    asio::error_code ec;
    *pAddr = asio::ip::make_address_v4(szHost, ec);
    return !ec;
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

// One engine socket. The exclusive lock guards the asio socket object, the
// handler and the flags; SendTo takes the lock shared, so sends run in
// parallel while the descriptor is guaranteed open. vecBuf and endSender
// belong to the one receive in flight (and to its callback afterwards).
struct SockState {
    SockState(SOCKID nIdIn, asio::io_context& io, const Ref<SocketHandler>& handlerIn)
        : nId(nIdIn), sock(io), handler(handlerIn), vecBuf(kRecvBufSize)
    {
    }

    const SOCKID nId;
    std::shared_mutex mutex;
    udp::socket sock;
    Ref<SocketHandler> handler;
    bool bClosed = false;
    bool bGroup = false;       // bound to a multicast group address itself
    bool bReceiving = false;
    int nTransientErrors = 0;
    std::vector<char> vecBuf;
    udp::endpoint endSender;
};

typedef std::shared_ptr<SockState> SockPtr;

// Closes the socket unless it already is; returns its handler (empty when it
// was closed before), for the caller to report to or drop outside the lock.
Ref<SocketHandler> CloseState(SockState& st)
{
    std::unique_lock<std::shared_mutex> lock(st.mutex);
    if (st.bClosed)
        return Ref<SocketHandler>();
    st.bClosed = true;
    asio::error_code ec;
    st.sock.close(ec);   // cancels the receive in flight
    return std::move(st.handler);
}

}  // namespace

// mutex guards bRunning, nMaxSockets, mapSock, vecThread and work. It is
// never held while a socket's own lock is taken or a callback runs.
struct NetEngine::Impl {
    asio::io_context io;
    std::mutex mutex;
    bool bRunning = false;
    size_t nMaxSockets = 0;
    SOCKID nNextId = 1;   // ids are never reused, not even after a restart
    std::map<SOCKID, SockPtr> mapSock;
    std::vector<std::thread> vecThread;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;

    SockPtr Find(SOCKID nId)
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = mapSock.find(nId);
        return it == mapSock.end() ? SockPtr() : it->second;
    }

    // Finds the socket nId and locks it exclusively; false (nothing held)
    // when it is unknown or closed. The caller declares pSt before lock, so
    // the lock is released before the last reference to the socket can go.
    bool LockOpen(SOCKID nId, SockPtr& pSt, std::unique_lock<std::shared_mutex>& lock)
    {
        pSt = Find(nId);
        if (!pSt)
            return false;
        lock = std::unique_lock<std::shared_mutex>(pSt->mutex);
        if (!pSt->bClosed)
            return true;
        lock.unlock();
        return false;
    }

    void Forget(const SockPtr& pSt)
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = mapSock.find(pSt->nId);
        if (it != mapSock.end() && it->second == pSt)
            mapSock.erase(it);
    }

    void RunEvents()
    {
        t_pEventEngine = this;
        for (;;) {
            try {
                io.run();   // returns once StopEngine has let go of the work guard
                return;
            } catch (...) {
                // a throwing callback must not end an event thread
            }
        }
    }

    // Called with pSt->mutex held exclusively.
    void StartReceive(const SockPtr& pSt)
    {
        pSt->endSender = udp::endpoint();
        pSt->sock.async_receive_from(
            asio::buffer(pSt->vecBuf), pSt->endSender,
            [this, pSt](const asio::error_code& ec, size_t nBytes) { OnReceive(pSt, ec, nBytes); });
    }

    void OnReceive(const SockPtr& pSt, const asio::error_code& ec, size_t nBytes);
};

void NetEngine::Impl::OnReceive(const SockPtr& pSt, const asio::error_code& ec, size_t nBytes)
{
    if (ec == asio::error::operation_aborted)
        return;
    Ref<SocketHandler> handler;
    int nFatal = 0;
    {
        std::unique_lock<std::shared_mutex> lock(pSt->mutex);
        if (pSt->bClosed)
            return;
        if (ec) {
            if (IsTransient(ec) && ++pSt->nTransientErrors < kMaxTransientErrors) {
                StartReceive(pSt);
                return;
            }
            nFatal = ec.value() > 0 ? ec.value() : EIO;
        } else {
            nFatal = nBytes == 0 ? os::ReadShutDownError(pSt->sock.native_handle()) : 0;
            if (nFatal == 0) {
                pSt->nTransientErrors = 0;
                handler = pSt->handler;
            }
        }
    }
    if (nFatal != 0) {
        Forget(pSt);
        handler = CloseState(*pSt);
        if (handler) {
            try {
                handler->OnClose(pSt->nId, nFatal);
            } catch (...) {
            }
        }
        return;
    }

    const std::string strHost = os::DottedText(pSt->endSender.address().to_v4().to_uint());
    try {
        handler->OnData(pSt->nId, pSt->vecBuf.data(), static_cast<int>(nBytes), strHost.c_str(),
                        static_cast<int>(pSt->endSender.port()));
    } catch (...) {
    }
    handler.release();
    Runner::NotifyWork();

    std::unique_lock<std::shared_mutex> lock(pSt->mutex);
    if (!pSt->bClosed)
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
    std::lock_guard<std::mutex> lock(impl.mutex);
    if (impl.bRunning || !impl.vecThread.empty())
        return -EALREADY;
    impl.io.restart();
    impl.work.emplace(impl.io.get_executor());
    try {
        for (int i = 0; i < nThreads; ++i)
            impl.vecThread.emplace_back([&impl] {
                os::ScopedSignalStack signalStack;
                impl.RunEvents();
            });
    } catch (...) {
        impl.work.reset();
        impl.io.stop();
        for (std::thread& thread : impl.vecThread)
            thread.join();
        impl.vecThread.clear();
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
    std::vector<std::thread> vecThread;
    {
        std::lock_guard<std::mutex> lock(impl.mutex);
        impl.bRunning = false;
        mapSock.swap(impl.mapSock);
        vecThread.swap(impl.vecThread);
    }
    for (auto& entry : mapSock)
        CloseState(*entry.second).release();
    mapSock.clear();
    {
        std::lock_guard<std::mutex> lock(impl.mutex);
        impl.work.reset();   // run() returns when the cancelled receives are done
    }
    for (std::thread& thread : vecThread)
        thread.join();
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
        std::lock_guard<std::mutex> lock(impl.mutex);
        if (!impl.bRunning) {
            nErr = -ENETDOWN;
        } else if (impl.mapSock.size() >= impl.nMaxSockets) {
            nErr = -EMFILE;
        } else {
            try {
                auto pSt = std::make_shared<SockState>(impl.nNextId, impl.io, handler);
                asio::error_code ec;
                pSt->sock.open(udp::v4(), ec);
                if (!ec)
                    pSt->sock.set_option(asio::socket_base::broadcast(true), ec);
                nErr = ec ? NegErr(ec) : os::PrepareUdpSocket(pSt->sock.native_handle());
                if (nErr == 0) {   // else the socket closes with pSt
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
        std::lock_guard<std::mutex> lock(m_pImpl->mutex);
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
    std::unique_lock<std::shared_mutex> lock;
    if (!m_pImpl->LockOpen(sock, pSt, lock))
        return -EBADF;
    try {
        asio::error_code ec;
        const asio::ip::address_v4 bindAddr = bGroup ? os::GroupBindAddress(addr) : addr;
        pSt->sock.bind(udp::endpoint(bindAddr, static_cast<unsigned short>(nPort)), ec);
        if (ec)
            return NegErr(ec);
        if (bGroup) {
            pSt->bGroup = bindAddr.is_multicast();
            const int nRet = os::JoinGroup(pSt->sock.native_handle(), addr, szIface);
            if (nRet != 0)
                return nRet;
        }
        if (bRecv && !pSt->bReceiving) {
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
    asio::ip::address_v4 addr;
    if (nLen < 0 || (pData == nullptr && nLen > 0) || nPort <= 0 || nPort > 65535 ||
        !ParseIPv4(szHost, &addr))
        return -EINVAL;
    const udp::endpoint dst(addr, static_cast<unsigned short>(nPort));
    SockPtr pSt = m_pImpl->Find(sock);
    if (!pSt)
        return -EBADF;
    std::shared_lock<std::shared_mutex> lock(pSt->mutex);
    if (pSt->bClosed)
        return -EBADF;
    return os::SendDatagram(pSt->sock.native_handle(), pData, static_cast<size_t>(nLen), dst,
                            pSt->bGroup);
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
        std::unique_lock<std::shared_mutex> lock(pSt->mutex);
        if (pSt->bClosed)
            return -EBADF;
        std::swap(old, pSt->handler);
    }
    return 0;   // the previous handler is dropped here, outside the lock
}

int NetEngine::SetReuseAddr(SOCKID sock, int nOn)
{
    SockPtr pSt;
    std::unique_lock<std::shared_mutex> lock;
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
    std::unique_lock<std::shared_mutex> lock;
    if (!m_pImpl->LockOpen(sock, pSt, lock))
        return -EBADF;
    asio::error_code ec;
    pSt->sock.set_option(asio::ip::multicast::outbound_interface(addr), ec);
    return ec ? NegErr(ec) : 0;
}

}  // namespace nox
