// Datagrams to one destination, each from a source address of its own chosen
// with IP_PKTINFO, sent a batch at a time (sendmmsg). The sending socket is
// bound to 0.0.0.0, so the replies to every source come back to it; each
// source must be local where this runs (127/8 is; elsewhere a local route,
// e.g. `ip route add local 100.64.0.0/12 dev lo`).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

// The socket that sends the batches and takes the replies: bound to
// 0.0.0.0:nPort, with an 8 MB receive buffer set through nBufOption
// (SO_RCVBUF, or SO_RCVBUFFORCE past the system's limit). -1 on failure.
inline int BindReplySocket(int nPort, int nBufOption)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    const int nBuf = 8 << 20;
    setsockopt(fd, SOL_SOCKET, nBufOption, &nBuf, sizeof(nBuf));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(nPort));
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

class SourcedBatch {
public:
    static constexpr unsigned kMax = 256;

    explicit SourcedBatch(const sockaddr_in& dst) : m_dst(dst) {}

    // Message i (< kMax): nLen bytes at pData, which must stay until Send,
    // from the address nSrc (host order).
    void Set(unsigned i, const char* pData, size_t nLen, uint32_t nSrc)
    {
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = htonl(nSrc);
        msghdr& msg = m_aMsg[i].msg_hdr;
        std::memset(&msg, 0, sizeof(msg));
        m_aIov[i] = {const_cast<char*>(pData), nLen};
        msg.msg_name = &m_dst;
        msg.msg_namelen = sizeof(m_dst);
        msg.msg_iov = &m_aIov[i];
        msg.msg_iovlen = 1;
        msg.msg_control = m_aControl[i];
        msg.msg_controllen = sizeof(m_aControl[i]);
        cmsghdr* pCmsg = CMSG_FIRSTHDR(&msg);
        pCmsg->cmsg_level = IPPROTO_IP;
        pCmsg->cmsg_type = IP_PKTINFO;
        pCmsg->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        std::memcpy(CMSG_DATA(pCmsg), &info, sizeof(info));
    }

    // Sends messages 0 to n - 1; how many left, or -1 with errno.
    int Send(int fd, unsigned n) { return sendmmsg(fd, m_aMsg, n, 0); }

private:
    sockaddr_in m_dst;
    alignas(cmsghdr) char m_aControl[kMax][CMSG_SPACE(sizeof(in_pktinfo))] = {};
    iovec m_aIov[kMax] = {};
    mmsghdr m_aMsg[kMax] = {};
};
