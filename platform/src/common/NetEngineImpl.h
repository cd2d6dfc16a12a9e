// Internals of the UDP network engine, shared by its files:
// NetEngine.cpp (start, stop, sockets and their options), NetEngineRecv.cpp
// (the event loops' receive side), NetEngineSend.cpp (sends) and
// NetEngineGroups.cpp (group memberships after start).
//
// Each event thread runs an asio io_context of its own (epoll on Linux, an
// I/O completion port on Windows). An engine socket (SockState, one SOCKID)
// is an endpoint; what it receives and sends goes through a PortSock, the
// one system socket bound to its port. No other socket, of this process or
// another, may bind that port (no reuse option; SO_EXCLUSIVEADDRUSE on
// Windows), so the endpoints on one port share its PortSock: a wildcard
// endpoint and the group endpoints of that port. The PortSock is bound to the
// wildcard address and holds the group memberships; it also serves the
// endpoints of that port on a unicast address of the host. Each datagram goes
// to the endpoint of the address it was sent to (its destination address,
// from IP_PKTINFO), any other to the wildcard endpoint (EndpointFor).
//
// Group memberships are kept per interface index (PortSock::vecJoined): on
// the interfaces the engine was told to serve (SetGroupInterfaces) that can
// carry a group, dropped by index when an interface leaves, and joined on
// spare sockets (never bound, so the port stays the engine's) once the port's
// socket holds as many as the system allows one socket.
//
// Where the OS half reads in batches (common/NetEngineOs.h), a PortSock waits
// for readability and then takes all waiting datagrams a batch at a time;
// otherwise it has one receive of one datagram in flight. Where receiving
// runners run (common/Intake.h), a PortSock that starts receiving waits in
// their set instead of its event loop, and its batches are taken and
// delivered on the runner that saw it readable. Either way its callbacks
// never overlap. Sends bypass asio and go through the OS half on
// the native socket, guarded by a counter rather than a lock the receive side
// takes.
//
// Lock order: SockState::mutex, then Impl::portMutex, then PortSock::mutex;
// Impl::mutex is taken alone. No callback runs under any of them.
#pragma once

#if defined(__SANITIZE_THREAD__) && !defined(__clang__)
// asio's handler fences are not modelled by the thread sanitizer, and GCC
// warns about every one; its queues are mutex-protected, which it does see.
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Intake.h"
#include "common/NetEngineOs.h"
#include "nox/NetEngine.h"

namespace nox {
namespace engine {

using asio::ip::udp;

constexpr size_t kRecvBufSize = 65536;     // any IPv4 datagram fits whole
constexpr int kBatchSlots = intake::kBatchSlots;   // datagrams taken per read
constexpr int kBatchesPerTurn = 8;         // then the socket's other loop work goes first
constexpr int kMaxTransientErrors = 1000;  // in a row; then the socket counts as dead

inline int NegErr(const asio::error_code& ec)
{
    return ec.value() > 0 ? -ec.value() : -EIO;
}

// The IPv4 address of a dotted text; false when it is not one.
bool ParseIPv4(const char* szHost, asio::ip::address_v4* pAddr);

// Whether a receive error leaves the socket working (NetEngineRecv.cpp).
bool IsTransient(const asio::error_code& ec);

// One event thread and its own event loop.
struct Loop {
    asio::io_context io{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::thread thread;
};

// An endpoint a PortSock serves, with its own reference to the handler. The
// group members are the PortSocks' members with a group, joined on the
// PortSock's socket; such PortSocks are all in Impl::mapPort.
struct Member {
    SOCKID nId;
    uint32_t nGroup;               // its group address (host order); 0: not a group endpoint
    bool bShare;                   // SetReuseAddr: it shares the port with the others
    Ref<SocketHandler> handler;
    uint32_t nAddr = 0;            // the address it serves (a group's, a unicast one); 0: any
    std::string strIface;          // a group endpoint's only interface; empty: those served
};

// The endpoint a datagram sent to nDst belongs to: the one of that address,
// else the one for any address; null when the port serves neither.
const Member* EndpointFor(const std::vector<Member>& vecMember, uint32_t nDst);

// One group membership of a port: the group, the interface's index and the
// address it was joined through, and the socket holding it (0: the port's
// socket, n: PortSock::vecSpare[n - 1]).
struct Joined {
    uint32_t nGroup;
    unsigned nIndex;
    uint32_t nIfaceAddr;
    size_t nSock;
};

struct PortSock;

// Takes a batch of a PortSock received by the runners (the engine's Impl).
// nBusy counts the batches being taken and delivered, so a stop can wait
// until none is.
class BatchTaker {
public:
    // bWait: PortSock::TakeBatchWaiting.
    virtual int TakeBatch(const std::shared_ptr<PortSock>& pPort, bool bFirst, bool bWait) = 0;
    std::atomic<int> nBusy{0};

protected:
    ~BatchTaker() = default;
};

// The system socket bound to one port. mutex guards everything that is not
// const; the receive side holds it only to read a batch and to ask for the
// next one. bClosed is set once, under the engine's portMutex as well, and
// the socket is closed only after every endpoint that sends through it has
// been closed (so no send is still using nFd).
struct PortSock : intake::Source, std::enable_shared_from_this<PortSock> {
    PortSock(Loop& loopIn, BatchTaker& takerIn, udp::socket&& sockIn, uint16_t nPortIn,
             bool bSharedIn)
        : loop(loopIn), taker(takerIn), nPort(nPortIn), bShared(bSharedIn),
          sock(std::move(sockIn)), nFd(sock.native_handle())
    {
    }

    ~PortSock() override
    {
        if (bOutOfLoop)
            (void)os::CloseNative(nFd);
    }

    // intake::Source, on a receiving runner (NetEngineRecv.cpp).
    int TakeBatch(bool bFirst) override;
    int TakeBatchWaiting() override;
    void Rearm() override;
    void Unwatch() override;
    // Out of the runners' set, then closed (mutex held). A runner waiting in
    // its receive is woken and let out of the call first: the number nFd is
    // not given back to the system while a call may still use it.
    void Close()
    {
        if (bWaiting) {
            os::ShutdownRead(nFd);
            waitingCv.wait(mutex, [this] { return !bWaiting; });
        }
        intake::Remove(*this, nFd);
        if (bOutOfLoop) {
            bOutOfLoop = false;
            (void)os::CloseNative(nFd);
        } else {
            asio::error_code ec;
            sock.close(ec);   // cancels the wait or receive in flight
        }
    }

    Loop& loop;
    BatchTaker& taker;
    const uint16_t nPort;
    const bool bShared;            // bound to the wildcard address: listed in Impl::mapPort
    std::mutex mutex;
    udp::socket sock;
    const os::NativeSocket nFd;
    bool bClosed = false;
    std::vector<Member> vecMember;
    bool bReceiving = false;
    int nTransientErrors = 0;
    // A runner waits in a receive on nFd without the lock (TakeBatchWaiting);
    // it clears the flag under the lock when the call returns.
    bool bWaiting = false;
    bool bWaitSet = false;   // the socket's receive wait is intake::kQuietMs
    std::condition_variable_any waitingCv;
    std::vector<Joined> vecJoined;
    std::vector<std::unique_ptr<udp::socket>> vecSpare;   // memberships only, never bound
    // Received by the runners: released from the loop's reactor, which
    // watches every socket it opened, edge-triggered, and would wake an
    // event thread for each datagram that arrives. sock is then empty, and
    // nFd is the engine's to close.
    bool bOutOfLoop = false;
    // The receive buffers (kBatchSlots of kRecvBufSize, or one), allocated
    // when receiving starts and left untouched until datagrams fill them.
    std::unique_ptr<char[]> pBuf;
    os::RecvSlot oneSlot{};        // one-datagram receives only
};

typedef std::shared_ptr<PortSock> PortPtr;

// One engine socket: an endpoint. mutex guards sock, handler, bShare, pPort
// and nGroup. A sender holds no lock: it counts itself in nSenders and then
// checks bClosed, while the closer sets bClosed and then waits for nSenders
// to drop to 0 before the socket it sends through may close (both orders
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
    udp::socket sock;              // its own socket until StartUDP hands it to a PortSock
    std::atomic<os::NativeSocket> nFd;   // where its datagrams leave
    Ref<SocketHandler> handler;
    std::atomic<bool> bClosed{false};
    std::atomic<int> nSenders{0};
    bool bShare = false;
    PortPtr pPort;                 // set by StartUDP
    uint32_t nGroup = 0;           // the group it joined at StartUDP (host order); 0: none
};

typedef std::shared_ptr<SockState> SockPtr;

}  // namespace engine

// mutex guards bRunning, nMaxSockets, nNextId, mapSock, vecLoop and their
// work guards: shared for a look-up (every send), exclusive for a change.
// portMutex guards mapPort and every change to a PortSock's members.
struct NetEngine::Impl final : engine::BatchTaker {
    typedef engine::SockPtr SockPtr;
    typedef engine::PortPtr PortPtr;

    std::shared_mutex mutex;
    bool bRunning = false;
    size_t nMaxSockets = 0;
    SOCKID nNextId = 1;   // ids are never reused, not even after a restart
    std::map<SOCKID, SockPtr> mapSock;
    std::vector<std::unique_ptr<engine::Loop>> vecLoop;
    // Loops of an earlier run: kept with the engine, since a socket of theirs
    // may still be held for a moment (a send that began before the stop).
    std::vector<std::unique_ptr<engine::Loop>> vecRetired;

    std::mutex portMutex;
    std::map<uint16_t, PortPtr> mapPort;   // the PortSocks bound to the wildcard address
    // The interfaces groups are held on (SetGroupInterfaces); before the
    // first call, every one that can carry a group. Under portMutex.
    bool bIfaceSet = false;
    std::vector<std::string> vecIfaceName;

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

    // Binds the endpoint (held locked) to addr:nPort, or adds it to the
    // PortSock that holds the port (NetEngine.cpp). 0 or a negative error.
    int Bind(engine::SockState& st, const asio::ip::address_v4& addr, int nPort,
             const char* szIface, bool bRecv);
    // Closes the endpoint unless it already is, and takes it off its
    // PortSock (closing that with its last endpoint); returns its handler
    // (empty when it was closed before), for the caller to report to or
    // drop outside the lock.
    Ref<SocketHandler> CloseEndpoint(engine::SockState& st);

    // Group memberships (NetEngineGroups.cpp), with portMutex and the
    // port's mutex held. The interfaces that may carry groups now, as served;
    // then the port's memberships brought to them: joined where missing
    // (pvecWant null: none joined, only those of groups no longer served
    // dropped), each failed join in pvecOut when given.
    std::vector<os::GroupIface> ServedIfaces();
    void SettleGroups(engine::PortSock& port, const std::vector<os::GroupIface>* pvecWant,
                      std::vector<GroupChange>* pvecOut);

    // The receive side (NetEngineRecv.cpp). StartReceive is called with
    // pPort->mutex held.
    void StartReceive(const PortPtr& pPort);
    void OnReadable(const PortPtr& pPort, const asio::error_code& ec);
    void OnReceive(const PortPtr& pPort, const asio::error_code& ec);
    // engine::BatchTaker: one batch of a PortSock the runners receive.
    int TakeBatch(const PortPtr& pPort, bool bFirst, bool bWait) override;
    // The system socket failed: the engine closes it and reports each of its
    // endpoints once.
    void ReportDead(const PortPtr& pPort, int nError);
};

}  // namespace nox
