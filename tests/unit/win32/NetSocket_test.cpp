// The UDP engine over WinSock: loopback datagrams, a refused reply, and a
// group socket (bound to the wildcard address, joined per adapter).
#include "nox/NetEngine.h"

#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace {

using nox::SOCKID;

const char kLo[] = "127.0.0.1";
const char kGroup[] = "239.255.255.251";

struct Datagram {
    SOCKID sock;
    std::string strData;
    std::string strHost;
    int nPort;
};

class RecordingHandler : public nox::SocketHandler {
public:
    void OnConnect(SOCKID, SOCKID, const char*, int) override {}
    void OnData(SOCKID sock, const char* pData, int nLen, const char* szAddr, int nPort) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecData.push_back({sock, std::string(pData, static_cast<size_t>(nLen)), szAddr, nPort});
        m_cv.notify_all();
    }
    void OnClose(SOCKID, int) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_nClosed;
    }
    // The first nData datagrams, waiting up to 5 s; fewer on timeout.
    std::vector<Datagram> Wait(size_t nData)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::seconds(5), [&] { return m_vecData.size() >= nData; });
        return m_vecData;
    }
    int Closed()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nClosed;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Datagram> m_vecData;
    int m_nClosed = 0;
};

sockaddr_in Addr(const char* szAddr, int nPort)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(nPort));
    ::inet_pton(AF_INET, szAddr, &addr.sin_addr);
    return addr;
}

// The test's own side: a plain WinSock UDP socket on loopback.
class Peer {
public:
    Peer()
    {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        m_sock = ::socket(AF_INET, SOCK_DGRAM, 0);
        const DWORD nWaitMs = 5000;
        ::setsockopt(m_sock, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&nWaitMs),
                     sizeof(nWaitMs));
        sockaddr_in addr = Addr(kLo, 0);
        int nLen = sizeof(addr);
        EXPECT_EQ(0, ::bind(m_sock, reinterpret_cast<sockaddr*>(&addr), nLen));
        ::getsockname(m_sock, reinterpret_cast<sockaddr*>(&addr), &nLen);
        m_nPort = ntohs(addr.sin_port);
    }
    ~Peer()
    {
        ::closesocket(m_sock);
        ::WSACleanup();
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool Send(const std::string& strData, const char* szHost, int nPort)
    {
        const sockaddr_in dst = Addr(szHost, nPort);
        return ::sendto(m_sock, strData.data(), static_cast<int>(strData.size()), 0,
                        reinterpret_cast<const sockaddr*>(&dst),
                        sizeof(dst)) == static_cast<int>(strData.size());
    }
    bool Recv(Datagram* pOut)
    {
        std::vector<char> vecBuf(65536);
        sockaddr_in src{};
        int nLen = sizeof(src);
        const int n = ::recvfrom(m_sock, vecBuf.data(), static_cast<int>(vecBuf.size()), 0,
                                 reinterpret_cast<sockaddr*>(&src), &nLen);
        char szHost[INET_ADDRSTRLEN] = "";
        ::inet_ntop(AF_INET, &src.sin_addr, szHost, sizeof(szHost));
        *pOut = {0, std::string(vecBuf.data(), static_cast<size_t>(n < 0 ? 0 : n)), szHost,
                 ntohs(src.sin_port)};
        return n >= 0;
    }
    // Group datagrams leave through loopback, so they stay on this host.
    void SendGroupOverLoopback()
    {
        in_addr lo{};
        ::inet_pton(AF_INET, kLo, &lo);
        EXPECT_EQ(0, ::setsockopt(m_sock, IPPROTO_IP, IP_MULTICAST_IF,
                                  reinterpret_cast<const char*>(&lo), sizeof(lo)));
    }
    int Port() const { return m_nPort; }

private:
    SOCKET m_sock = INVALID_SOCKET;
    int m_nPort = 0;
};

int FreePort() { return Peer().Port(); }

class WinEngineTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, m_engine.StartEngine(nox::kNetEngineEvent, 64, 4)); }
    void TearDown() override { m_engine.StopEngine(); }

    SOCKID Listen(const char* szHost, int nPort, const nox::Ref<RecordingHandler>& handler)
    {
        const SOCKID sock = m_engine.CreateSocket(handler, nullptr);
        EXPECT_NE(nox::kInvalidSockId, sock);
        EXPECT_EQ(0, m_engine.SetReuseAddr(sock, 1));
        EXPECT_EQ(0, m_engine.StartUDP(sock, szHost, nPort, nullptr, 0, true)) << szHost;
        return sock;
    }

    nox::NetEngine m_engine;
    nox::Ref<RecordingHandler> m_handler{new RecordingHandler};
};

TEST_F(WinEngineTest, LoopbackDatagramsArriveWholeAndARefusedReplyLeavesTheSocketOpen)
{
    Peer peer;
    const int nPort = FreePort();
    const SOCKID sock = Listen(kLo, nPort, m_handler);
    const std::vector<size_t> vecSize = {0, 1, 1500, 65507};
    for (size_t i = 0; i < vecSize.size(); ++i) {
        const std::string strData(vecSize[i], static_cast<char>('a' + i));
        ASSERT_TRUE(peer.Send(strData, kLo, nPort));
        const std::vector<Datagram> vecGot = m_handler->Wait(i + 1);
        ASSERT_EQ(i + 1, vecGot.size()) << "datagram of " << vecSize[i] << " bytes";
        EXPECT_EQ(sock, vecGot[i].sock);
        EXPECT_EQ(strData, vecGot[i].strData);
        EXPECT_EQ(kLo, vecGot[i].strHost);
        EXPECT_EQ(peer.Port(), vecGot[i].nPort);
    }
    ASSERT_EQ(0, m_engine.SendTo(sock, "reply", 5, kLo, peer.Port()));
    Datagram reply;
    ASSERT_TRUE(peer.Recv(&reply));
    EXPECT_EQ("reply", reply.strData);
    EXPECT_EQ(nPort, reply.nPort);

    // The port-unreachable answer to this one must not end the socket.
    EXPECT_EQ(0, m_engine.SendTo(sock, "lost", 4, kLo, FreePort()));
    ASSERT_TRUE(peer.Send("after", kLo, nPort));
    ASSERT_EQ(vecSize.size() + 1, m_handler->Wait(vecSize.size() + 1).size());
    EXPECT_EQ(0, m_handler->Closed());
}

// Windows refuses to bind a group address: the group socket shares the
// wildcard address with the plain one, hears the group on every adapter it
// joined (loopback among them) and answers from a unicast address.
TEST_F(WinEngineTest, GroupSocketsOnOnePortHearTheGroupAndAnswerFromUnicast)
{
    if (std::getenv("VELMORA_TEST_NETNS") == nullptr)
        GTEST_SKIP() << "joins a group on every adapter: runs in the network namespace of "
                        "scripts/build-windows.sh --test";
    const int nPort = FreePort();
    nox::Ref<RecordingHandler> groupHandler(new RecordingHandler);
    nox::Ref<RecordingHandler> secondHandler(new RecordingHandler);
    Listen("0.0.0.0", nPort, m_handler);
    const SOCKID group = Listen(kGroup, nPort, groupHandler);
    Listen(kGroup, nPort, secondHandler);

    Peer peer;
    peer.SendGroupOverLoopback();
    ASSERT_TRUE(peer.Send("search", kGroup, nPort));
    for (RecordingHandler* pHandler : {groupHandler.get(), secondHandler.get()}) {
        const std::vector<Datagram> vecGot = pHandler->Wait(1);
        ASSERT_FALSE(vecGot.empty());
        EXPECT_EQ("search", vecGot[0].strData);
        EXPECT_EQ(kLo, vecGot[0].strHost);
        EXPECT_EQ(peer.Port(), vecGot[0].nPort);
    }
    ASSERT_EQ(0, m_engine.SendTo(group, "answer", 6, kLo, peer.Port()));
    Datagram reply;
    ASSERT_TRUE(peer.Recv(&reply));
    EXPECT_EQ("answer", reply.strData);
    EXPECT_EQ(kLo, reply.strHost) << "a unicast source, never the group";
    EXPECT_EQ(nPort, reply.nPort);
}

}  // namespace
