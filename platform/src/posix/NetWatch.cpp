// Linux: an rtnetlink socket subscribed to link, IPv4 address and IPv4 route
// changes, and an eventfd that ends a wait early.
#include "nox/NetWatch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace nox {

struct NetWatch::Impl {
    int nNetlink = -1;
    int nWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

    ~Impl()
    {
        if (nWake >= 0)
            ::close(nWake);
    }
    void CloseNetlink()
    {
        if (nNetlink >= 0)
            ::close(nNetlink);
        nNetlink = -1;
    }
    // Takes every message waiting; true when one was a report (or some were lost).
    bool Drain()
    {
        alignas(nlmsghdr) char aBuf[16384];
        bool bReport = false;
        for (;;) {
            const ssize_t n = ::recv(nNetlink, aBuf, sizeof(aBuf), MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return bReport || errno == ENOBUFS;   // ENOBUFS: reports were lost
            }
            if (n == 0)
                return bReport;
            bReport = true;
        }
    }
};

NetWatch::NetWatch() : m_pImpl(new Impl) {}

NetWatch::~NetWatch()
{
    Close();
}

int NetWatch::Open()
{
    Close();
    const int nSock = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (nSock < 0)
        return -errno;
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
    if (::bind(nSock, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        const int nErr = errno;
        ::close(nSock);
        return -nErr;
    }
    m_pImpl->nNetlink = nSock;
    return 0;
}

int NetWatch::Wait(uint32_t nTimeoutMs)
{
    Impl& impl = *m_pImpl;
    pollfd aPoll[2] = {{impl.nWake, POLLIN, 0}, {impl.nNetlink, POLLIN, 0}};
    const nfds_t nCount = impl.nNetlink >= 0 ? 2 : 1;
    const int nTimeout = nTimeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(nTimeoutMs);
    if (::poll(aPoll, nCount, nTimeout) <= 0)
        return 0;   // time-out, or a signal: the caller's pacing goes on
    if ((aPoll[0].revents & POLLIN) != 0) {
        uint64_t nCountWakes = 0;
        // Only emptied: a failed read leaves the counter for the next wait.
        const ssize_t nRead = ::read(impl.nWake, &nCountWakes, sizeof(nCountWakes));
        (void)nRead;
        return 0;
    }
    return nCount == 2 && aPoll[1].revents != 0 && impl.Drain() ? 1 : 0;
}

void NetWatch::Wake()
{
    const uint64_t nOne = 1;
    // A full counter (EAGAIN) already wakes the waiter.
    if (m_pImpl->nWake >= 0) {
        const ssize_t nWritten = ::write(m_pImpl->nWake, &nOne, sizeof(nOne));
        (void)nWritten;
    }
}

void NetWatch::Close()
{
    m_pImpl->CloseNetlink();
}

}  // namespace nox
