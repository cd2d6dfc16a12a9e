// The UDP network engine: its start and stop, its event threads, and its
// sockets with their options. The receive side is in NetEngineRecv.cpp, the
// send side in NetEngineSend.cpp, what they share in NetEngineImpl.h.
#include "common/NetEngineImpl.h"

#include <algorithm>
#include <string>

#include "common/HostText.h"
#include "common/RuntimeOs.h"

namespace nox {

using engine::kBatchSlots;
using engine::kRecvBufSize;
using engine::Loop;
using engine::NegErr;
using engine::ParseIPv4;
using engine::PortPtr;
using engine::PortSock;
using engine::SockPtr;
using engine::SockState;
using engine::udp;

namespace {

constexpr int kMaxThreads = 256;

// Set on the event threads to the engine they serve, so StopEngine can refuse
// to join the thread it runs on.
thread_local const void* t_pEventEngine = nullptr;

}  // namespace

// Set on a receiving runner while it delivers a batch of this engine.
thread_local const void* t_pServedEngine = nullptr;

namespace {

}  // namespace

namespace engine {

bool ParseIPv4(const char* szHost, asio::ip::address_v4* pAddr)
{
    uint32_t nAddr = 0;
    if (!os::ParseDotted(szHost, &nAddr))
        return false;
    *pAddr = asio::ip::address_v4(nAddr);
    return true;
}

}  // namespace engine

Ref<SocketHandler> NetEngine::Impl::CloseEndpoint(SockState& st)
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
    st.sock.close(ec);   // its own socket, when no PortSock took it
    Ref<SocketHandler> dropped;   // the port's copy, dropped outside the locks
    if (PortPtr pPort = std::move(st.pPort)) {
        std::lock_guard<std::mutex> ports(portMutex);
        std::lock_guard<std::mutex> portLock(pPort->mutex);
        auto& vecMember = pPort->vecMember;
        for (auto it = vecMember.begin(); it != vecMember.end(); ++it) {
            if (it->nId == st.nId) {
                dropped = std::move(it->handler);
                vecMember.erase(it);
                break;
            }
        }
        if (pPort->bClosed) {
            // ReportDead closes it
        } else if (vecMember.empty()) {
            pPort->bClosed = true;
            if (pPort->bShared)
                mapPort.erase(pPort->nPort);
            pPort->Close();
            pPort->vecSpare.clear();
        } else if (st.nGroup != 0) {   // its memberships go, on every interface
            SettleGroups(*pPort, nullptr, nullptr);
        }
    }
    return std::move(st.handler);
}

void NetEngine::Impl::RunEvents(Loop& loop)
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
    if (t_pEventEngine == &impl || t_pServedEngine == static_cast<engine::BatchTaker*>(&impl))
        return -EDEADLK;   // a thread delivering its callbacks cannot wait for itself
    std::map<SOCKID, SockPtr> mapSock;
    {
        std::unique_lock<std::shared_mutex> lock(impl.mutex);
        impl.bRunning = false;
        mapSock.swap(impl.mapSock);
    }
    for (auto& entry : mapSock)
        impl.CloseEndpoint(*entry.second).release();
    mapSock.clear();
    // A runner may still be delivering a batch of a socket closed just now.
    while (impl.nBusy.load() != 0)
        std::this_thread::yield();
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
    m_pImpl->CloseEndpoint(*pSt).release();   // not reported through OnClose
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
    if (nPort < 0 || nPort > 65535)
        return -EINVAL;
    SockPtr pSt;
    std::unique_lock<std::mutex> lock;
    if (!m_pImpl->LockOpen(sock, pSt, lock))
        return -EBADF;
    if (pSt->pPort)
        return -EINVAL;   // started before
    try {
        return m_pImpl->Bind(*pSt, addr, nPort, szIface, bRecv);
    } catch (...) {
        return -ENOMEM;
    }
}

namespace {

// Whether an endpoint for nAddr (0: the wildcard) that shares (bShare) may
// join the endpoints the port serves: all of them share, and none is for the
// same address.
bool MayShare(const std::vector<engine::Member>& vecMember, uint32_t nAddr, bool bShare)
{
    for (const engine::Member& member : vecMember) {
        if (!bShare || !member.bShare || member.nAddr == nAddr)
            return false;
    }
    return true;
}

// Whether addr is an address of this host: a socket can bind it.
int CheckLocal(asio::io_context& io, const asio::ip::address_v4& addr)
{
    asio::error_code ec;
    udp::socket probe(io);
    probe.open(udp::v4(), ec);
    if (!ec)
        probe.bind(udp::endpoint(addr, 0), ec);
    return ec ? NegErr(ec) : 0;
}

}  // namespace

// A wildcard, group or (when it shares) unicast endpoint of a port that the
// engine holds already joins its PortSock; any other binds its own socket,
// to the wildcard address when it may share the port, and the socket becomes
// a PortSock (listed when bound to the wildcard address, so the others can
// join it). A group endpoint's memberships are joined on the PortSock's
// sockets; it opens when at least one holds.
int NetEngine::Impl::Bind(SockState& st, const asio::ip::address_v4& addr, int nPort,
                          const char* szIface, bool bRecv)
{
    const bool bGroup = addr.is_multicast();
    const bool bShared = (bGroup || addr.is_unspecified() || st.bShare) && nPort != 0;
    const uint32_t nGroup = bGroup ? addr.to_uint() : 0;
    const uint32_t nAddr = bShared ? addr.to_uint() : 0;
    if (bShared && !bGroup && nAddr != 0) {
        const int nRet = CheckLocal(st.loop.io, addr);
        if (nRet != 0)
            return nRet;
    }
    engine::Member member{st.nId, nGroup, st.bShare, st.handler, nAddr,
                          szIface != nullptr ? szIface : ""};
    std::lock_guard<std::mutex> ports(portMutex);
    auto it = bShared ? mapPort.find(static_cast<uint16_t>(nPort)) : mapPort.end();
    PortPtr pPort;
    if (it != mapPort.end()) {
        pPort = it->second;
        std::lock_guard<std::mutex> portLock(pPort->mutex);
        if (!MayShare(pPort->vecMember, nAddr, st.bShare))   // what another socket's bind gets
            return -static_cast<int>(asio::error::address_in_use);
    } else {
        asio::error_code ec;
        st.sock.bind(udp::endpoint(bShared ? asio::ip::address_v4::any() : addr,
                                   static_cast<unsigned short>(nPort)), ec);
        if (ec)
            return NegErr(ec);
        const uint16_t nBound = st.sock.local_endpoint(ec).port();
        pPort = std::make_shared<PortSock>(st.loop, *this, std::move(st.sock), nBound, bShared);
    }
    std::lock_guard<std::mutex> portLock(pPort->mutex);
    pPort->vecMember.push_back(member);
    if (bGroup) {
        const std::vector<os::GroupIface> vecWant = ServedIfaces();
        std::vector<GroupChange> vecFailed;
        SettleGroups(*pPort, &vecWant, &vecFailed);
        const bool bHeld = std::any_of(pPort->vecJoined.begin(), pPort->vecJoined.end(),
                                       [&](const engine::Joined& j) { return j.nGroup == nGroup; });
        if (!bHeld) {
            pPort->vecMember.pop_back();
            if (pPort->vecMember.empty()) {   // a new PortSock: the port is free again
                asio::error_code ec;
                pPort->sock.close(ec);
                pPort->vecSpare.clear();
                st.nFd.store(asio::detail::invalid_socket);   // nothing sends through it
            }
            return vecFailed.empty() ? -ENODEV : vecFailed.front().nResult;
        }
    }
    if (it == mapPort.end() && bShared)
        mapPort.emplace(pPort->nPort, pPort);
    st.pPort = pPort;
    st.nGroup = nGroup;
    st.nFd.store(pPort->nFd);
    if (bRecv && !pPort->bReceiving) {
        const size_t nSlots = os::ReadsInBatches() ? kBatchSlots : 1;
        pPort->pBuf.reset(new char[nSlots * kRecvBufSize]);
        pPort->bReceiving = true;
        StartReceive(pPort);
    }
    return 0;
}

int NetEngine::SetHandler(SOCKID sock, const Ref<SocketHandler>& handler)
{
    if (!handler)
        return -EINVAL;
    SockPtr pSt;
    std::unique_lock<std::mutex> lock;
    if (!m_pImpl->LockOpen(sock, pSt, lock))
        return -EBADF;
    Ref<SocketHandler> old = handler;
    Ref<SocketHandler> oldOfPort = handler;
    std::swap(old, pSt->handler);
    if (pSt->pPort) {
        std::lock_guard<std::mutex> ports(m_pImpl->portMutex);
        std::lock_guard<std::mutex> portLock(pSt->pPort->mutex);
        for (engine::Member& member : pSt->pPort->vecMember) {
            if (member.nId == sock)
                std::swap(oldOfPort, member.handler);
        }
    }
    lock.unlock();
    return 0;   // the previous handler is dropped here, outside the locks
}

// Only the engine's own endpoints share a port (see Impl::Bind): the
// system's reuse option is never set.
int NetEngine::SetReuseAddr(SOCKID sock, int nOn)
{
    SockPtr pSt;
    std::unique_lock<std::mutex> lock;
    if (!m_pImpl->LockOpen(sock, pSt, lock))
        return -EBADF;
    pSt->bShare = nOn != 0;
    return 0;
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
    if (pSt->pPort) {   // shared with the port's other endpoints
        std::lock_guard<std::mutex> portLock(pSt->pPort->mutex);
        if (pSt->pPort->bOutOfLoop)
            return os::SetMulticastOut(pSt->pPort->nFd, htonl(addr.to_uint()));
        pSt->pPort->sock.set_option(asio::ip::multicast::outbound_interface(addr), ec);
    } else {
        pSt->sock.set_option(asio::ip::multicast::outbound_interface(addr), ec);
    }
    return ec ? NegErr(ec) : 0;
}

}  // namespace nox
