// Internals of the UDP network engine, shared by its files:
// NetEngine.cpp (start, stop, sockets and their options), NetEngineRecv.cpp
// (the event loops' receive side), NetEngineSend.cpp (sends) and
// NetEngineGroups.cpp (group memberships after start).
//
// Each event thread runs an asio io_context of its own (epoll on Linux, an
// I/O completion port on Windows), and every socket belongs to one of them,
// so a socket's events never pass from one thread to another. Where the OS
// half reads in batches (common/NetEngineOs.h), a socket waits for
// readability and then takes all waiting datagrams a batch at a time;
// otherwise it has one receive of one datagram in flight. Either way its
// callbacks never overlap. Sends bypass asio and go through the OS half on
// the native socket, guarded by a counter rather than a lock the receive side
// takes.
#pragma once

#if defined(__SANITIZE_THREAD__) && !defined(__clang__)
// asio's handler fences are not modelled by the thread sanitizer, and GCC
// warns about every one; its queues are mutex-protected, which it does see.
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "common/NetEngineOs.h"
#include "nox/NetEngine.h"

namespace nox {
namespace engine {

using asio::ip::udp;

constexpr size_t kRecvBufSize = 65536;     // any IPv4 datagram fits whole
constexpr int kBatchSlots = 32;            // datagrams taken per read
constexpr int kBatchesPerTurn = 8;         // then the socket's other loop work goes first
constexpr int kMaxTransientErrors = 1000;  // in a row; then the socket counts as dead

inline int NegErr(const asio::error_code& ec)
{
    return ec.value() > 0 ? -ec.value() : -EIO;
}

// The IPv4 address of a dotted text; false when it is not one.
bool ParseIPv4(const char* szHost, asio::ip::address_v4* pAddr);

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
Ref<SocketHandler> CloseState(SockState& st);

}  // namespace engine

// mutex guards bRunning, nMaxSockets, nNextId, mapSock, vecLoop and their
// work guards: shared for a look-up (every send), exclusive for a change. It
// is never held while a socket's own lock is taken or a callback runs.
struct NetEngine::Impl {
    typedef engine::SockPtr SockPtr;

    std::shared_mutex mutex;
    bool bRunning = false;
    size_t nMaxSockets = 0;
    SOCKID nNextId = 1;   // ids are never reused, not even after a restart
    std::map<SOCKID, SockPtr> mapSock;
    std::vector<std::unique_ptr<engine::Loop>> vecLoop;
    // Loops of an earlier run: kept with the engine, since a socket of theirs
    // may still be held for a moment (a send that began before the stop).
    std::vector<std::unique_ptr<engine::Loop>> vecRetired;

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

    // An event thread's whole life (NetEngine.cpp).
    void RunEvents(engine::Loop& loop);

    // The receive side (NetEngineRecv.cpp). StartReceive is called with
    // pSt->mutex held.
    void StartReceive(const SockPtr& pSt);
    void OnReadable(const SockPtr& pSt, const asio::error_code& ec);
    void OnReceive(const SockPtr& pSt, const asio::error_code& ec, size_t nBytes);
    // The socket failed: the engine drops it and reports it once.
    void ReportDead(const SockPtr& pSt, int nError);
};

}  // namespace nox
