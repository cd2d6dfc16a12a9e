// Beneath the engine, on plain sockets: which receive errors a socket
// survives, and the batch read and send calls. Linux only: a completed
// Windows receive reports its own codes, which the Wine runs cover.
#ifndef _WIN32
#include "common/NetEngineImpl.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

int PortOf(int sock)   // the IPv4 port the socket is bound to, else -1
{
    sockaddr_in addr{};
    socklen_t nLen = sizeof(addr);
    const bool bOk = ::getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &nLen) == 0;
    return bOk && addr.sin_family == AF_INET ? ntohs(addr.sin_port) : -1;
}

// ICMP reports about earlier sends, interruptions and short memory leave a
// socket to be read again; a socket that failed for good is not read again.
TEST(NetEngineErrorTest, OnlyPassingReceiveErrorsAreSurvived)
{
    namespace err = asio::error;
    for (const auto ec : {err::connection_refused, err::connection_reset, err::network_reset, err::host_unreachable,
                          err::network_unreachable, err::interrupted, err::try_again, err::no_buffer_space, err::no_memory})
        EXPECT_TRUE(nox::engine::IsTransient(err::make_error_code(ec))) << ec;
    for (const auto ec : {err::bad_descriptor, err::not_socket, err::shut_down, err::access_denied})
        EXPECT_FALSE(nox::engine::IsTransient(err::make_error_code(ec))) << ec;
    EXPECT_FALSE(nox::engine::IsTransient(err::make_error_code(err::eof)));   // not a system error
}

// The socket calls beneath the engine, on a plain socket: a batch read takes
// the datagram waiting, with its source and destination, also while errno
// still holds an earlier EINTR; a send the system refuses outright (port 0)
// reports that error at once.
TEST(NetSocketTest, BatchReadAndRefusedSend)
{
    const int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(0, nox::os::PrepareUdpSocket(sock));
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(0, ::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)));
    const asio::ip::udp::endpoint self(asio::ip::address_v4::loopback(),
                                       static_cast<unsigned short>(PortOf(sock)));
    EXPECT_EQ(-EINVAL, nox::os::SendDatagram(sock, "x", 1, {self.address(), 0}));
    ASSERT_EQ(0, nox::os::SendDatagram(sock, "ping", 4, self));
    pollfd pfd{sock, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&pfd, 1, 5000));
    char aBuf[2][8];
    nox::os::RecvSlot aSlot[2] = {{aBuf[0], 8, 0, 0, 0, 0}, {aBuf[1], 8, 0, 0, 0, 0}};
    errno = EINTR;
    ASSERT_EQ(1, nox::os::ReceiveBatch(sock, aSlot, 2));
    EXPECT_EQ("ping", std::string(aBuf[0], aSlot[0].nLen));
    EXPECT_EQ(INADDR_LOOPBACK, aSlot[0].nAddr);
    EXPECT_EQ(self.port(), aSlot[0].nPort);
    EXPECT_EQ(INADDR_LOOPBACK, aSlot[0].nDst);
    EXPECT_EQ(0, nox::os::ReceiveBatch(sock, aSlot, 2));
    ::close(sock);
}

}  // namespace
#endif
