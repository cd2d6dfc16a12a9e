// The UDP network engine and the handler interface it reports to.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "nox/RefObj.h"

namespace nox {

typedef uint64_t SOCKID;
constexpr SOCKID kInvalidSockId = ~static_cast<SOCKID>(0);   // "no socket"

enum NetEngineType {
    // Event threads with an event loop each (epoll on Linux, an I/O
    // completion port on Windows), sockets spread over them; the only kind
    // there is. On Linux a readable socket is read in batches (recvmmsg). With
    // no traffic the threads sleep (no timers, no polling).
    kNetEngineEvent = 1,
};

// Receives socket events on the engine's threads. Implementations must copy
// what they keep of a datagram before OnData returns.
class SocketHandler : public virtual RefObj {
public:
    virtual void OnConnect(SOCKID sock, SOCKID client, const char* szAddr, int nPort) = 0;
    virtual void OnData(SOCKID sock, const char* pData, int nLen, const char* szAddr,
                        int nPort) = 0;
    // The socket failed (nError: the positive errno value, on Windows the
    // WinSock code, of the failed receive) and has been closed by the engine; reported once, on an event
    // thread, and the handler may open a replacement from here. A socket
    // closed with CloseSocket or StopEngine is not reported.
    virtual void OnClose(SOCKID sock, int nError) = 0;
    // A datagram from nSrcAddr (IPv4, host byte order) is about to be
    // delivered with OnData, after the others of its batch: a handler may
    // fetch ahead what its OnData will look up for that source. On the
    // delivering thread, without the handler's locks; must not throw.
    virtual void OnDataAhead(uint32_t /*nSrcAddr*/) noexcept {}
};

// One datagram of NetEngine::SendToBatch: the caller sets the first four.
struct OutDatagram {
    const char* pData;
    int nLen;
    const char* szHost;
    int nPort;
    int nResult;   // set by SendToBatch: what SendTo would have returned
};

// A group membership that NetEngine::SetGroupInterfaces could not make.
struct GroupChange {
    SOCKID sock;
    uint32_t nGroup;        // the group the socket joined at StartUDP, host byte order
    std::string strIface;   // the interface, named as in SetGroupInterfaces
    int nResult;            // the negative error of the join
};

class NetEngine {
public:
    typedef nox::SOCKID SOCKID;

    NetEngine();
    virtual ~NetEngine();                         // stops the engine if still running
    NetEngine(const NetEngine&) = delete;
    NetEngine& operator=(const NetEngine&) = delete;

    // A new UDP socket whose events go to handler (the engine keeps a Ref to
    // it until the socket is closed). Ids are never 0 and never reused.
    // kInvalidSockId on failure (engine not running, nMaxSockets open), with
    // a negative error in *pError when pError is not null. Errors are negative
    // errno values; a failed socket call on Windows gives its WinSock code.
    virtual SOCKID CreateSocket(const Ref<SocketHandler>& handler, int* pError);
    // Closes the socket and drops the engine's Ref to its handler (a callback
    // in flight keeps its own until it returns). 0, or -1 (harmless) for an
    // unknown socket or kInvalidSockId.
    virtual int CloseSocket(SOCKID sock);
    virtual int StartTcpServer(SOCKID sock, const char* szHost, int nPort);   // not supported: -1
    virtual int StartTcpClient(SOCKID sock, const char* szHost, int nPort);   // not supported: -1
    // Binds szHost:nPort and starts receiving. No other socket, of this
    // process or another, can bind the port while the engine holds it (no
    // reuse option; SO_EXCLUSIVEADDRUSE on Windows). The wildcard address and
    // multicast groups share a port inside the engine: their endpoints use one
    // system socket bound to the wildcard address, which joins each group on
    // every up, multicast-capable IPv4 interface, once each (or only on
    // szIface when that names an interface; on Windows its friendly or GUID
    // name). A datagram sent to a group reaches that group's endpoint, any
    // other the wildcard endpoint; each endpoint sharing the port must have
    // asked for it (SetReuseAddr), else, like a second endpoint for the same
    // address, it fails as a bind of a port in use. An endpoint on a unicast
    // address of the host that shares shares the port the same way (a
    // datagram sent to that address reaches it); one that does not share
    // binds alone. A group endpoint that can join on no interface fails
    // (ENODEV). nFlags is unused (pass 0); bRecv false binds
    // without receiving. 0 on success, else a negative error; once per socket.
    virtual int StartUDP(SOCKID sock, const char* szHost, int nPort, const char* szIface,
                         int nFlags, bool bRecv);
    virtual int Send(SOCKID sock, const char* pData, int nLen);               // not supported: -1
    // One datagram to szHost:nPort from this socket; safe from any thread,
    // also concurrently on one socket, and takes no lock that the receive
    // side takes. From a wildcard or group endpoint the datagram leaves from
    // a unicast address of the host chosen by the routing table, with the
    // bound port. 0 when sent, else a negative error.
    virtual int SendTo(SOCKID sock, const char* pData, int nLen, const char* szHost, int nPort);
    virtual int SetHandler(SOCKID sock, const Ref<SocketHandler>& handler);
    // nOn 1: the socket may share its port with the engine's other sockets
    // (a wildcard and group endpoints, see StartUDP); before StartUDP. The
    // system's reuse option is never set. Every socket may send to broadcast
    // addresses.
    virtual int SetReuseAddr(SOCKID sock, int nOn);
    // Group datagrams leave from the interface with this IPv4 address text
    // (for every endpoint of the socket's port, once started).
    virtual int SetMulticastInterface(SOCKID sock, const char* szIfaceAddr);
    // The n datagrams from this socket, in order, each as SendTo sends one
    // and with its result in nResult, but in as few system calls as the
    // system allows (on Linux one per 32). Thread-safety as SendTo. 0, or
    // -EBADF for an unknown or closed socket (every nResult is then -EBADF).
    virtual int SendToBatch(SOCKID sock, OutDatagram* pDatagrams, int n);
    // The interfaces (named as for StartUDP) on which group endpoints hold
    // their groups from now on; until the first call, every interface that
    // can carry a group. Brings every open group endpoint's memberships to
    // them: joins where one is missing (also one that failed before), drops
    // by interface index those of interfaces not named or gone. Past the
    // number of memberships the system allows one socket, further ones are
    // held by spare sockets of the engine where the system delivers their
    // datagrams to the port (Linux). One entry per join that failed in
    // vecOut. 0.
    virtual int SetGroupInterfaces(const std::vector<std::string>& vecName,
                                   std::vector<GroupChange>& vecOut);
    // Whether a send result says that the destination has no route any more
    // (the network or the local address it went through is gone).
    static bool IsNoRoute(int nResult);

    // eType: kNetEngineEvent. nMaxSockets: the most sockets open at once
    // (CreateSocket fails beyond it). nThreads: event threads delivering
    // callbacks; each socket is served by one of them, so one socket's
    // callbacks never overlap, and after each batch of datagrams the thread
    // announces work once (Runner::NotifyWork). 0 when running;
    // negative for a bad type, nMaxSockets or nThreads <= 0, or when running.
    int StartEngine(NetEngineType eType, int nMaxSockets, int nThreads);
    // Closes every socket and ends every event thread before it returns.
    // Idempotent, also fine when StartEngine failed or never ran; StartEngine
    // may run again afterwards. Not from a thread delivering its callbacks
    // (an event thread, or a receiving runner in OnData or OnClose): negative there.
    int StopEngine();

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

}  // namespace nox
