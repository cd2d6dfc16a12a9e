// The UDP network engine on Linux: one asio io_context run by the event
// threads. Each socket has exactly one receive in flight, so its callbacks
// never overlap; sends bypass asio and use the native descriptor directly.
#if defined(__SANITIZE_THREAD__) && !defined(__clang__)
// asio's handler fences are not modelled by the thread sanitizer, and GCC
// warns about every one; its queues are mutex-protected, which it does see.
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include "nox/NetEngine.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <asio.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "nox/Thread.h"

namespace nox {
namespace {

using asio::ip::udp;

constexpr size_t kRecvBufSize = 65536;     // any IPv4 datagram fits whole
constexpr int kMaxThreads = 256;
constexpr int kSendWaitMs = 100;           // longest wait for a full send buffer
constexpr int kMaxSendAttempts = 64;
constexpr int kMaxTransientErrors = 1000;  // in a row; then the socket counts as dead

// Set on the event threads to the engine they serve, so StopEngine can refuse
// to join the thread it runs on.
thread_local const void* t_pEventEngine = nullptr;

int NegErr(const asio::error_code& ec)
{
    return ec.value() > 0 ? -ec.value() : -EIO;
}

bool ParseIPv4(const char* szHost, in_addr* pAddr)
{
    return szHost != nullptr && ::inet_pton(AF_INET, szHost, pAddr) == 1;
}

bool IsGroupAddr(in_addr addr)
{
    return (ntohl(addr.s_addr) & 0xF0000000u) == 0xE0000000u;   // 224.0.0.0/4
}

asio::ip::address_v4 ToAsio(in_addr addr)
{
    return asio::ip::address_v4(ntohl(addr.s_addr));
}

// Receive errors after which the socket still works: ICMP reports about an
// earlier send, interrupted or spurious wake-ups, short memory.
bool IsTransient(const asio::error_code& ec)
{
    if (ec.category() != asio::system_category())
        return false;
    const int nErr = ec.value();
    return nErr == ECONNREFUSED || nErr == ECONNRESET || nErr == EHOSTUNREACH ||
           nErr == ENETUNREACH || nErr == EINTR || nErr == EAGAIN || nErr == EWOULDBLOCK ||
           nErr == ENOBUFS || nErr == ENOMEM;
}

// After an empty read: true when the socket's receive side was shut down
// (the kernel then reports an empty read forever instead of a datagram).
bool IsReadShutDown(int nFd)
{
    pollfd pfd{nFd, POLLRDHUP, 0};
    return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLRDHUP | POLLHUP)) != 0;
}

// Joins the group on every up, multicast-capable interface with an IPv4
// address, or only on szIface when it is not empty. 0 when at least one
// join held, else a negative errno value.
int JoinGroup(int nFd, in_addr group, const char* szIface)
{
    ifaddrs* pList = nullptr;
    if (::getifaddrs(&pList) != 0)
        return -errno;
    const bool bOnlyOne = szIface != nullptr && szIface[0] != '\0';
    std::set<unsigned> setDone;
    int nJoined = 0;
    int nLastErr = ENODEV;
    for (const ifaddrs* p = pList; p != nullptr; p = p->ifa_next) {
        if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET)
            continue;
        if ((p->ifa_flags & IFF_UP) == 0 || (p->ifa_flags & IFF_MULTICAST) == 0)
            continue;
        std::string strName = p->ifa_name;
        strName = strName.substr(0, strName.find(':'));   // "eth0:1" is eth0
        if (bOnlyOne && strName != szIface)
            continue;
        const unsigned nIndex = ::if_nametoindex(strName.c_str());
        if (nIndex == 0 || !setDone.insert(nIndex).second)
            continue;
        ip_mreqn req{};
        req.imr_multiaddr = group;
        std::memcpy(&req.imr_address, &reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr,
                    sizeof(req.imr_address));
        req.imr_ifindex = static_cast<int>(nIndex);
        if (::setsockopt(nFd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof(req)) == 0 ||
            errno == EADDRINUSE)
            ++nJoined;
        else
            nLastErr = errno;
    }
    ::freeifaddrs(pList);
    return nJoined > 0 ? 0 : -nLastErr;
}

// One datagram out of nFd; waits up to kSendWaitMs in all for room in a full
// send buffer. 0 or a negative errno value.
int SendDatagram(int nFd, const msghdr& msg)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendWaitMs);
    for (int nAttempt = 0; nAttempt < kMaxSendAttempts; ++nAttempt) {
        if (::sendmsg(nFd, &msg, MSG_NOSIGNAL) >= 0)
            return 0;
        const int nErr = errno;
        if (nErr == EINTR)
            continue;
        if (nErr != EAGAIN && nErr != EWOULDBLOCK)
            return -nErr;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return -nErr;
        pollfd pfd{nFd, POLLOUT, 0};
        (void)::poll(&pfd, 1, static_cast<int>(left.count()));   // retried either way
    }
    return -EAGAIN;
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
    bool bGroup = false;       // bound to a multicast group address
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
        } else if (nBytes == 0 && IsReadShutDown(pSt->sock.native_handle())) {
            nFatal = ESHUTDOWN;
        } else {
            pSt->nTransientErrors = 0;
            handler = pSt->handler;
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

    char szHost[INET_ADDRSTRLEN] = "";
    const in_addr src{htonl(pSt->endSender.address().to_v4().to_uint())};
    (void)::inet_ntop(AF_INET, &src, szHost, sizeof(szHost));
    try {
        handler->OnData(pSt->nId, pSt->vecBuf.data(), static_cast<int>(nBytes), szHost,
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
            impl.vecThread.emplace_back([&impl] { impl.RunEvents(); });
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
                if (ec) {
                    nErr = NegErr(ec);
                } else {
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
    in_addr addr{};
    addr.s_addr = htonl(INADDR_ANY);
    if (szHost != nullptr && szHost[0] != '\0' && !ParseIPv4(szHost, &addr))
        return -EINVAL;
    if (nPort < 0 || nPort > 65535)
        return -EINVAL;
    SockPtr pSt;
    std::unique_lock<std::shared_mutex> lock;
    if (!m_pImpl->LockOpen(sock, pSt, lock))
        return -EBADF;
    try {
        asio::error_code ec;
        pSt->sock.bind(udp::endpoint(ToAsio(addr), static_cast<unsigned short>(nPort)), ec);
        if (ec)
            return NegErr(ec);
        if (IsGroupAddr(addr)) {
            pSt->bGroup = true;
            const int nRet = JoinGroup(pSt->sock.native_handle(), addr, szIface);
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
    sockaddr_in dst{};
    if (nLen < 0 || (pData == nullptr && nLen > 0) || nPort <= 0 || nPort > 65535 ||
        !ParseIPv4(szHost, &dst.sin_addr))
        return -EINVAL;
    dst.sin_family = AF_INET;
    dst.sin_port = htons(static_cast<uint16_t>(nPort));
    SockPtr pSt = m_pImpl->Find(sock);
    if (!pSt)
        return -EBADF;

    iovec iov{const_cast<char*>(pData), static_cast<size_t>(nLen)};
    msghdr msg{};
    msg.msg_name = &dst;
    msg.msg_namelen = sizeof(dst);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char szControl[CMSG_SPACE(sizeof(in_pktinfo))] = {};

    std::shared_lock<std::shared_mutex> lock(pSt->mutex);
    if (pSt->bClosed)
        return -EBADF;
    if (pSt->bGroup) {
        // Source chosen by routing (ipi_spec_dst 0.0.0.0, any interface), so
        // the reply never carries the group address as its source.
        msg.msg_control = szControl;
        msg.msg_controllen = sizeof(szControl);
        cmsghdr* pCmsg = CMSG_FIRSTHDR(&msg);
        pCmsg->cmsg_level = IPPROTO_IP;
        pCmsg->cmsg_type = IP_PKTINFO;
        pCmsg->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        const in_pktinfo info{};
        std::memcpy(CMSG_DATA(pCmsg), &info, sizeof(info));
    }
    return SendDatagram(pSt->sock.native_handle(), msg);
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
    in_addr addr{};
    if (!ParseIPv4(szIfaceAddr, &addr))
        return -EINVAL;
    SockPtr pSt;
    std::unique_lock<std::shared_mutex> lock;
    if (!m_pImpl->LockOpen(sock, pSt, lock))
        return -EBADF;
    asio::error_code ec;
    pSt->sock.set_option(asio::ip::multicast::outbound_interface(ToAsio(addr)), ec);
    return ec ? NegErr(ec) : 0;
}

}  // namespace nox
