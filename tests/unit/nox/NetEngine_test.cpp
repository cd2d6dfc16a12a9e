// The UDP engine against real sockets: on loopback, and between two network
// namespaces for the multicast paths.
#include "nox/NetEngine.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "NetNs.h"

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

// Records every callback; tests wait on the records with a deadline.
class RecordingHandler : public nox::SocketHandler {
public:
    void OnConnect(SOCKID, SOCKID, const char*, int) override {}
    void OnData(SOCKID sock, const char* pData, int nLen, const char* szAddr, int nPort) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecData.push_back({sock, std::string(pData, static_cast<size_t>(nLen)), szAddr, nPort});
        m_cv.notify_all();
    }
    void OnClose(SOCKID sock, int nError) override
    {
        if (m_onClose)
            m_onClose(sock, nError);   // set before the socket exists; read-only afterwards
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecClosed.push_back({sock, nError});
        m_cv.notify_all();
    }
    // True once nData datagrams and nClosed close reports have arrived.
    bool Wait(size_t nData, size_t nClosed = 0)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::seconds(5), [&] {
            return m_vecData.size() >= nData && m_vecClosed.size() >= nClosed;
        });
    }
    std::vector<Datagram> Data()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecData;
    }
    std::vector<std::pair<SOCKID, int>> Closed()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecClosed;
    }

    std::function<void(SOCKID, int)> m_onClose;

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Datagram> m_vecData;
    std::vector<std::pair<SOCKID, int>> m_vecClosed;
};

sockaddr_in Addr(const char* szAddr, int nPort)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(nPort));
    ::inet_pton(AF_INET, szAddr, &addr.sin_addr);
    return addr;
}

// The test's own side of an exchange: a plain UDP socket.
class Peer {
public:
    explicit Peer(const char* szAddr = kLo) : m_nFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        const timeval wait{5, 0};
        sockaddr_in addr = Addr(szAddr, 0);
        socklen_t nLen = sizeof(addr);
        EXPECT_EQ(0, ::setsockopt(m_nFd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait)));
        EXPECT_EQ(0, ::bind(m_nFd, reinterpret_cast<sockaddr*>(&addr), nLen));
        ::getsockname(m_nFd, reinterpret_cast<sockaddr*>(&addr), &nLen);
        m_nPort = ntohs(addr.sin_port);
    }
    ~Peer() { ::close(m_nFd); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool Send(const std::string& strData, const char* szHost, int nPort)
    {
        sockaddr_in dst = Addr(szHost, nPort);
        return ::sendto(m_nFd, strData.data(), strData.size(), 0,
                        reinterpret_cast<sockaddr*>(&dst), sizeof(dst)) ==
               static_cast<ssize_t>(strData.size());
    }
    // The next datagram, waiting up to 5 s; false on timeout.
    bool Recv(Datagram* pOut)
    {
        std::vector<char> vecBuf(65536);
        sockaddr_in src{};
        socklen_t nLen = sizeof(src);
        const ssize_t n = ::recvfrom(m_nFd, vecBuf.data(), vecBuf.size(), 0,
                                     reinterpret_cast<sockaddr*>(&src), &nLen);
        char szHost[INET_ADDRSTRLEN] = "";
        ::inet_ntop(AF_INET, &src.sin_addr, szHost, sizeof(szHost));
        *pOut = {0, std::string(vecBuf.data(), static_cast<size_t>(n < 0 ? 0 : n)), szHost,
                 ntohs(src.sin_port)};
        return n >= 0;
    }
    int Fd() const { return m_nFd; }
    int Port() const { return m_nPort; }

private:
    int m_nFd;
    int m_nPort = 0;
};

int FreePort() { return Peer().Port(); }

// The engine's descriptor bound to nPort: lets a test break the socket under it.
int FindBoundFd(int nPort)
{
    for (int nFd = 3; nFd < 4096; ++nFd) {
        sockaddr_in addr{};
        socklen_t nLen = sizeof(addr);
        int nType = 0;
        socklen_t nTypeLen = sizeof(nType);
        if (::getsockname(nFd, reinterpret_cast<sockaddr*>(&addr), &nLen) == 0 &&
            addr.sin_family == AF_INET && ntohs(addr.sin_port) == nPort &&
            ::getsockopt(nFd, SOL_SOCKET, SO_TYPE, &nType, &nTypeLen) == 0 && nType == SOCK_DGRAM)
            return nFd;
    }
    return -1;
}

class NetEngineTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, m_engine.StartEngine(nox::kNetEngineEvent, 64, 4)); }
    void TearDown() override { m_engine.StopEngine(); }

    SOCKID Listen(const char* szHost, int nPort, nox::Ref<RecordingHandler> handler = nullptr)
    {
        SOCKID sock = m_engine.CreateSocket(handler ? handler : m_handler, nullptr);
        EXPECT_NE(nox::kInvalidSockId, sock);
        EXPECT_EQ(0, m_engine.SetReuseAddr(sock, 1));
        EXPECT_EQ(0, m_engine.StartUDP(sock, szHost, nPort, nullptr, 0, true));
        return sock;
    }

    nox::NetEngine m_engine;
    nox::Ref<RecordingHandler> m_handler{new RecordingHandler};
};

TEST_F(NetEngineTest, LoopbackDatagramsArriveWholeAndARefusedReplyLeavesTheSocketOpen)
{
    const int nPort = FreePort();
    const SOCKID sock = Listen(kLo, nPort);
    Peer peer;
    const std::vector<size_t> vecSize = {0, 1, 1500, 65507};
    for (size_t i = 0; i < vecSize.size(); ++i) {
        std::string strData(vecSize[i], '\0');
        for (size_t j = 0; j < strData.size(); ++j)
            strData[j] = static_cast<char>('a' + (i + j) % 26);
        ASSERT_TRUE(peer.Send(strData, kLo, nPort));
        ASSERT_TRUE(m_handler->Wait(i + 1)) << "datagram of " << vecSize[i] << " bytes";
        const Datagram got = m_handler->Data()[i];
        EXPECT_EQ(sock, got.sock);
        EXPECT_EQ(strData, got.strData);
        EXPECT_EQ(kLo, got.strHost);
        EXPECT_EQ(peer.Port(), got.nPort);
    }
    ASSERT_EQ(0, m_engine.SendTo(sock, "reply", 5, kLo, peer.Port()));
    Datagram reply;
    ASSERT_TRUE(peer.Recv(&reply));
    EXPECT_EQ("reply", reply.strData);
    EXPECT_EQ(nPort, reply.nPort);

    // With IP_RECVERR the port-unreachable answer makes the socket's pending
    // receive fail with ECONNREFUSED: that must not close it.
    const int nOn = 1;
    ASSERT_EQ(0, ::setsockopt(FindBoundFd(nPort), IPPROTO_IP, IP_RECVERR, &nOn, sizeof(nOn)));
    EXPECT_EQ(0, m_engine.SendTo(sock, "lost", 4, kLo, FreePort()));
    ASSERT_TRUE(peer.Send("after", kLo, nPort));
    ASSERT_TRUE(m_handler->Wait(vecSize.size() + 1));
    EXPECT_EQ("after", m_handler->Data().back().strData);
    EXPECT_TRUE(m_handler->Closed().empty());
}

TEST_F(NetEngineTest, StartStopAndBadArgumentsFailCleanly)
{
    nox::NetEngine engine;
    int nErr = 0;
    EXPECT_EQ(nox::kInvalidSockId, engine.CreateSocket(m_handler, &nErr)) << "not started";
    EXPECT_LT(nErr, 0);
    EXPECT_LT(engine.StartEngine(static_cast<nox::NetEngineType>(7), 16, 1), 0);
    EXPECT_LT(engine.StartEngine(nox::kNetEngineEvent, 16, 0), 0);
    EXPECT_LT(engine.StartEngine(nox::kNetEngineEvent, 16, -3), 0);
    EXPECT_EQ(0, engine.StopEngine()) << "stop after a failed start";

    ASSERT_EQ(0, engine.StartEngine(nox::kNetEngineEvent, 2, 1));
    EXPECT_LT(engine.StartEngine(nox::kNetEngineEvent, 2, 1), 0) << "already running";
    const SOCKID a = engine.CreateSocket(m_handler, nullptr);
    const SOCKID b = engine.CreateSocket(m_handler, nullptr);
    EXPECT_EQ(nox::kInvalidSockId, engine.CreateSocket(m_handler, &nErr)) << "limit of 2";
    EXPECT_LT(nErr, 0);
    EXPECT_NE(0u, a);
    EXPECT_NE(a, b);
    EXPECT_EQ(-1, engine.CloseSocket(nox::kInvalidSockId));
    EXPECT_EQ(-1, engine.CloseSocket(b + 1000));
    EXPECT_EQ(0, engine.CloseSocket(a));
    EXPECT_EQ(-1, engine.CloseSocket(a)) << "closed twice";
    const SOCKID c = engine.CreateSocket(m_handler, nullptr);
    EXPECT_NE(nox::kInvalidSockId, c) << "a closed socket frees its place";
    EXPECT_NE(a, c) << "ids are not reused";

    EXPECT_LT(engine.SendTo(a, "x", 1, kLo, 9), 0) << "closed socket";
    EXPECT_EQ(-EINVAL, engine.SendTo(b, "x", 1, "not-an-address", 9));
    EXPECT_EQ(-EINVAL, engine.StartUDP(b, "300.1.1.1", 0, nullptr, 0, true));

    EXPECT_EQ(0, engine.StopEngine());
    EXPECT_EQ(0, engine.StopEngine());
    EXPECT_EQ(nox::kInvalidSockId, engine.CreateSocket(m_handler, nullptr)) << "after stop";
    EXPECT_EQ(-1, engine.CloseSocket(b)) << "stop closed it";
    ASSERT_EQ(0, engine.StartEngine(nox::kNetEngineEvent, 2, 1)) << "restart";
    EXPECT_GT(engine.CreateSocket(m_handler, nullptr), c) << "ids stay unique across a restart";
}

TEST_F(NetEngineTest, ClosedSocketsDropTheirHandlerSilentlyAndFreeTheirPort)
{
    const int32_t nStart = m_handler->RefCount();
    nox::Ref<RecordingHandler> other(new RecordingHandler);
    const SOCKID a = m_engine.CreateSocket(m_handler, nullptr);
    const SOCKID b = m_engine.CreateSocket(m_handler, nullptr);
    EXPECT_EQ(nStart + 2, m_handler->RefCount()) << "one reference per open socket";
    EXPECT_EQ(0, m_engine.CloseSocket(a));
    EXPECT_EQ(nStart + 1, m_handler->RefCount());
    EXPECT_EQ(0, m_engine.SetHandler(b, other));
    EXPECT_EQ(nStart, m_handler->RefCount()) << "the replaced handler is let go";
    EXPECT_EQ(2, other->RefCount());

    const int nPort = FreePort();
    Peer peer;
    EXPECT_EQ(0, m_engine.CloseSocket(Listen(kLo, nPort)));
    const SOCKID now = Listen(kLo, nPort, other);
    ASSERT_TRUE(peer.Send("two", kLo, nPort));
    ASSERT_TRUE(other->Wait(1));
    EXPECT_EQ(now, other->Data()[0].sock);
    EXPECT_TRUE(m_handler->Data().empty()) << "nothing on the closed socket";
    EXPECT_TRUE(m_handler->Closed().empty()) << "CloseSocket is not reported";

    m_engine.CreateSocket(m_handler, nullptr);
    EXPECT_EQ(0, m_engine.StopEngine());
    EXPECT_EQ(nStart, m_handler->RefCount());
    EXPECT_EQ(1, other->RefCount());
}

TEST_F(NetEngineTest, DeadSocketIsReportedOnceAndOnCloseMayOpenItsReplacement)
{
    const int nPort = FreePort();
    std::atomic<SOCKID> replacement{nox::kInvalidSockId};
    m_handler->m_onClose = [&](SOCKID, int) {
        // Runs on an event thread: the engine must accept calls from here.
        const SOCKID sock = m_engine.CreateSocket(m_handler, nullptr);
        m_engine.SetReuseAddr(sock, 1);
        if (m_engine.StartUDP(sock, kLo, nPort, nullptr, 0, true) == 0)
            replacement = sock;
    };
    const SOCKID dead = Listen(kLo, nPort);
    Peer peer;
    // A pipe takes the place of the engine's descriptor while a duplicate keeps
    // the socket and its readiness registration alive: the next datagram wakes
    // the engine, and its receive on the descriptor fails (ENOTSOCK).
    const int nFd = FindBoundFd(nPort);
    ASSERT_GE(nFd, 0);
    const int nKeep = ::dup(nFd);
    int aPipe[2];
    ASSERT_EQ(0, ::pipe(aPipe));
    ASSERT_EQ(nFd, ::dup2(aPipe[0], nFd));
    ::close(aPipe[0]);
    ::close(aPipe[1]);
    // Takes and gives back the socket's lock, which the engine's thread takes
    // before it closes the descriptor: the swap visibly happens before that
    // close (for the thread sanitizer). Fails on the pipe, as it should.
    EXPECT_NE(0, m_engine.SetReuseAddr(dead, 1));
    ASSERT_TRUE(peer.Send("wake", kLo, nPort));

    ASSERT_TRUE(m_handler->Wait(0, 1));
    ::close(nKeep);
    EXPECT_EQ(dead, m_handler->Closed()[0].first);
    EXPECT_EQ(ENOTSOCK, m_handler->Closed()[0].second);
    ASSERT_NE(nox::kInvalidSockId, replacement.load());

    ASSERT_TRUE(peer.Send("again", kLo, nPort));
    ASSERT_TRUE(m_handler->Wait(1));
    EXPECT_EQ(replacement.load(), m_handler->Data()[0].sock);
    EXPECT_EQ("again", m_handler->Data()[0].strData);
    EXPECT_EQ(1u, m_handler->Closed().size());
    EXPECT_EQ(-1, m_engine.CloseSocket(dead)) << "the engine already closed it";
}

TEST_F(NetEngineTest, ConcurrentSendsOnOneSocketAllArrive)
{
    constexpr int kThreads = 8;
    constexpr int kPerThread = 200;
    Peer receiver;
    const int nBuf = 8 << 20;
    if (::setsockopt(receiver.Fd(), SOL_SOCKET, SO_RCVBUFFORCE, &nBuf, sizeof(nBuf)) != 0)
        ::setsockopt(receiver.Fd(), SOL_SOCKET, SO_RCVBUF, &nBuf, sizeof(nBuf));
    const SOCKID sock = Listen(kLo, FreePort());

    std::atomic<int> nFailed{0};
    std::vector<std::thread> vecThread;
    for (int t = 0; t < kThreads; ++t) {
        vecThread.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const std::string strData = std::to_string(t) + ":" + std::to_string(i);
                if (m_engine.SendTo(sock, strData.data(), static_cast<int>(strData.size()), kLo,
                                    receiver.Port()) != 0)
                    ++nFailed;
            }
        });
    }
    std::set<std::string> setGot;
    Datagram got;
    while (setGot.size() < kThreads * kPerThread && receiver.Recv(&got))
        setGot.insert(got.strData);
    for (std::thread& thread : vecThread)
        thread.join();
    EXPECT_EQ(0, nFailed.load());
    EXPECT_EQ(static_cast<size_t>(kThreads * kPerThread), setGot.size());
}

// The engine's sockets live in namespace A, the test's client in B: group
// datagrams reach the wildcard and the group socket, unicast only the wildcard
// one, and replies from either leave from A's unicast address and bound port.
TEST_F(NetEngineTest, GroupAndUnicastFromAPeerHostAreReceivedAndAnswered)
{
    velmora_test::NetNsPair pair;
    if (!pair.Ok())
        GTEST_SKIP() << "no network namespaces: " << pair.Error();
    std::unique_ptr<Peer> pClient;
    {
        velmora_test::ScopedNetNs inB(pair.NameB());
        ASSERT_TRUE(inB.Ok());
        pClient.reset(new Peer(pair.AddrB().c_str()));
    }
    in_addr ifAddr{};
    ::inet_pton(AF_INET, pair.AddrB().c_str(), &ifAddr);
    ASSERT_EQ(0, ::setsockopt(pClient->Fd(), IPPROTO_IP, IP_MULTICAST_IF, &ifAddr, sizeof(ifAddr)));
    velmora_test::ScopedNetNs inA(pair.NameA());
    ASSERT_TRUE(inA.Ok());
    const int nPort = FreePort();
    nox::Ref<RecordingHandler> groupHandler(new RecordingHandler);
    const SOCKID wild = Listen("0.0.0.0", nPort);
    const SOCKID group = Listen(kGroup, nPort, groupHandler);

    ASSERT_TRUE(pClient->Send("search", kGroup, nPort));
    ASSERT_TRUE(pClient->Send("direct", pair.AddrA().c_str(), nPort));
    ASSERT_TRUE(pClient->Send("marker", kGroup, nPort));
    ASSERT_TRUE(m_handler->Wait(3));
    ASSERT_TRUE(groupHandler->Wait(2));
    for (const Datagram& got : m_handler->Data()) {
        EXPECT_EQ(pair.AddrB(), got.strHost);
        EXPECT_EQ(pClient->Port(), got.nPort);
    }
    const std::vector<Datagram> vecGroup = groupHandler->Data();
    EXPECT_EQ("search", vecGroup[0].strData);
    EXPECT_EQ("marker", vecGroup[1].strData) << "unicast does not reach the group socket";
    EXPECT_EQ(pair.AddrB(), vecGroup[0].strHost);
    EXPECT_EQ(pClient->Port(), vecGroup[0].nPort);

    for (SOCKID sock : {group, wild}) {
        ASSERT_EQ(0, m_engine.SendTo(sock, "answer", 6, pair.AddrB().c_str(), pClient->Port()));
        Datagram reply;
        ASSERT_TRUE(pClient->Recv(&reply));
        EXPECT_EQ("answer", reply.strData);
        EXPECT_EQ(pair.AddrA(), reply.strHost) << "a unicast source, never the group";
        EXPECT_EQ(nPort, reply.nPort);
    }
    EXPECT_EQ(0, m_engine.StopEngine());   // before the namespaces go
}

}  // namespace
