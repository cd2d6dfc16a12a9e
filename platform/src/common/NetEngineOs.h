// Socket calls of the UDP engine that differ by operating system. Each OS
// folder (src/posix, src/win32) defines all of them; common/NetEngine.cpp
// calls only these. Errors are negative: errno values on Linux, WinSock
// codes on Windows.
#pragma once

#include <asio.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace nox {
namespace os {

typedef asio::detail::socket_type NativeSocket;   // SOCKET on Windows, a descriptor elsewhere

// Settings a new, still unbound socket needs beyond the portable ones
// (broadcast is set through asio): the destination address of each datagram
// is reported (IP_PKTINFO), and no other socket may share its port (no reuse
// option; on Windows SO_EXCLUSIVEADDRUSE). 0 or a negative error.
int PrepareUdpSocket(NativeSocket sock);

// An interface that can carry a group: up (on Linux also with its carrier,
// or an operational state it does not know), multicast-capable, with an
// IPv4 address.
struct GroupIface {
    unsigned nIndex;
    uint32_t nAddr;           // its first IPv4 address, host byte order
    std::string strName;      // Linux "eth0"; Windows the friendly name
    std::string strAltName;   // Windows the GUID name; else empty
};
// Every such interface, once each, in index order. 0 or a negative error.
int GroupInterfaces(std::vector<GroupIface>& vecOut);
// Joins (bJoin) or drops group nGroup (host byte order) on the interface
// nIndex whose address was nAddr: on Linux by the index, which also drops a
// membership of an interface that is gone; on Windows by the address. 0 when
// done, also when it was so already, else a negative error.
int ChangeMembership(NativeSocket sock, uint32_t nGroup, unsigned nIndex, uint32_t nAddr,
                     bool bJoin);
// Whether a failed join says the socket holds as many memberships as the
// system allows one socket.
bool IsMembershipLimit(int nErr);
// Whether a membership held by another socket of the process, never bound,
// brings the group's datagrams to the socket bound to the wildcard address
// and the port (Linux: IP_MULTICAST_ALL, on by default).
bool SpareMembershipsReceive();

// One datagram to dst; safe from several threads at once on one socket.
// Waits up to about 100 ms in all for room in a full send buffer. 0 when
// sent, else a negative error.
int SendDatagram(NativeSocket sock, const char* pData, size_t nLen,
                 const asio::ip::udp::endpoint& dst);

// One datagram of a send batch: the caller sets pData, nLen and dst;
// SendBatch sets nResult.
struct SendSlot {
    const char* pData;
    size_t nLen;
    asio::ip::udp::endpoint dst;
    int nResult;   // what SendDatagram would have returned for it
};

// The datagrams in order, each sent as SendDatagram sends one, in as few
// system calls as the system allows.
void SendBatch(NativeSocket sock, SendSlot* pSlots, int nSlots);

// After an empty read: a positive error code when the socket's receive side
// was shut down (empty reads would then never end), else 0.
int ReadShutDownError(NativeSocket sock);

// For a socket taken out of the event loop (released from Asio): closes it,
// or sets the interface its multicast datagrams leave by (nAddr in network
// order). 0 or a negative error code.
int CloseNative(NativeSocket sock);
int SetMulticastOut(NativeSocket sock, uint32_t nAddr);

// Whether the engine reads a socket in batches (ReceiveBatch, once the socket
// is readable) rather than one asynchronous receive per datagram
// (AsyncReceiveOne).
bool ReadsInBatches();

// One datagram of a batch: pData and nCap set by the caller, the rest by
// ReceiveBatch or AsyncReceiveOne.
struct RecvSlot {
    char* pData;
    size_t nCap;
    size_t nLen;
    uint32_t nAddr;    // source IPv4 address, host byte order
    uint16_t nPort;    // source port
    uint32_t nDst;     // destination IPv4 address, host byte order (0: not known)
};

// Takes up to nSlots datagrams that are waiting already, without blocking:
// their count, 0 when none is waiting, or a negative error when the first
// read fails (a later failure is reported by the next call). bWait: first
// blocks until one comes, at most the socket's receive wait (SetReceiveWait;
// 0 when it passes or a signal comes), then takes those waiting with it.
int ReceiveBatch(NativeSocket sock, RecvSlot* pSlots, int nSlots, bool bWait = false);
// The longest a waiting ReceiveBatch blocks on sock. 0 or a negative error.
int SetReceiveWait(NativeSocket sock, unsigned nMs);
// Ends a waiting ReceiveBatch on sock at once, for good: the socket closes.
void ShutdownRead(NativeSocket sock);

// Starts one asynchronous receive into slot; done runs on the socket's event
// thread once slot holds a datagram, or with the error (operation_aborted
// after the socket was closed). slot stays untouched by others until then.
void AsyncReceiveOne(asio::ip::udp::socket& sock, RecvSlot& slot,
                     std::function<void(const asio::error_code&)> done);

// Receive errors of this system that leave the socket working (reports about
// an earlier send), beyond the portable ones the engine knows.
bool IsTransientRecvError(int nErr);

}  // namespace os
}  // namespace nox
