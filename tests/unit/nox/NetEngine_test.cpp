// The UDP engine against real sockets, one engine socket talking to another:
// on loopback on both systems, with the port held against other sockets; on
// Linux also a port socket that breaks under the engine, and the runners that
// receive for themselves (the group paths: NetEngineGroups_test.cpp).
#include "NetEngineFixture.h"

#ifndef _WIN32
#include <sys/syscall.h>

#include <filesystem>
#endif

namespace {

using namespace velmora_test;

// Start arguments outside their ranges are refused; a running engine is not
// started twice.
TEST(NetEngineStartTest, RefusesBadArgumentsAndASecondStart)
{
    nox::NetEngine engine;
    const struct { int nType, nMaxSockets, nThreads, nResult; } kStarts[] = {
        {nox::kNetEngineEvent + 1, 64, 1, -EINVAL}, {nox::kNetEngineEvent, 0, 1, -EINVAL},
        {nox::kNetEngineEvent, 64, 0, -EINVAL},     {nox::kNetEngineEvent, 64, 257, -EINVAL},
        {nox::kNetEngineEvent, 1, 256, 0},           {nox::kNetEngineEvent, 1, 1, -EALREADY},
    };
    for (const auto& s : kStarts) {
        EXPECT_EQ(s.nResult, engine.StartEngine(static_cast<nox::NetEngineType>(s.nType),
                                                s.nMaxSockets, s.nThreads))
            << s.nType << " " << s.nMaxSockets << " " << s.nThreads;
    }
    EXPECT_EQ(-1, engine.CloseSocket(12345));   // a socket it never made
    EXPECT_EQ(-1, engine.StartTcpServer(12345, kLo, 1));   // TCP: not supported
    EXPECT_EQ(-1, engine.StartTcpClient(12345, kLo, 1));
    EXPECT_EQ(-1, engine.Send(12345, "x", 1));
    EXPECT_EQ(-EBADF, engine.SetMulticastInterface(12345, "127.0.0.1"));
    EXPECT_EQ(-EBADF, engine.SetReuseAddr(12345, 1));
    EXPECT_EQ(0, engine.StopEngine());
}

// Datagrams of 0 to 65,507 bytes arrive whole with their source, also while
// eight threads send on one socket at once; a send to a closed port (on
// Windows the system reports that at the next receive) leaves both sockets open.
TEST_F(NetEngineTest, ConcurrentSendsOfAnySizeArriveWhole)
{
    const SOCKID server = Listen(kLo, m_nServerPort, m_server);
    const int nBuf = 8 << 20;
    ::setsockopt(FindBound(m_nServerPort), SOL_SOCKET, SO_RCVBUFFORCE, reinterpret_cast<const char*>(&nBuf), sizeof(nBuf));
    const SOCKID client = Listen(kLo, m_nClientPort, m_client);
    ASSERT_TRUE(Send(client, "lost", kLo, FreePort()));
    std::set<std::string> setSent = {"", std::string(65507, 'x')}, setGot;
    std::atomic<int> nFailed{0};
    std::vector<std::thread> vecThread;
    for (int t = 0; t < 8; ++t) {
        for (int i = 0; i < 200; ++i)
            setSent.insert(std::to_string(t) + ":" + std::to_string(i));
        vecThread.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i)
                nFailed += !Send(client, std::to_string(t) + ":" + std::to_string(i), kLo, m_nServerPort);
        });
    }
    nFailed += !Send(client, "", kLo, m_nServerPort) + !Send(client, std::string(65507, 'x'), kLo, m_nServerPort);
    for (std::thread& thread : vecThread)
        thread.join();
    EXPECT_EQ(0, nFailed.load());
    for (const Datagram& got : m_server->Wait(setSent.size())) {
        setGot.insert(got.strData);
        EXPECT_EQ(kLo + (":" + std::to_string(m_nClientPort)), got.strFrom);
    }
    EXPECT_TRUE(setSent == setGot) << setGot.size() << " of " << setSent.size() << " arrived";
    // A socket never started sends too, from a port the system picks.
    ASSERT_TRUE(Send(m_engine.CreateSocket(m_client, nullptr), "unstarted", kLo, m_nServerPort));
    EXPECT_EQ("unstarted", m_server->Wait(setSent.size() + 1).back().strData);
    ASSERT_TRUE(Send(server, "reply", kLo, m_nClientPort));
    EXPECT_EQ("reply", m_client->Wait(1).at(0).strData) << "the client socket still receives";
}

// A batch goes out in order, past the per-call bound, each datagram with its
// own result: one that is not a destination, or that the system refuses (too
// large), fails alone; an unknown socket fails them all.
TEST_F(NetEngineTest, BatchArrivesInOrderWithAResultPerDatagram)
{
    const SOCKID server = Listen(kLo, m_nServerPort, m_server);
    const SOCKID client = Listen(kLo, m_nClientPort, m_client);
    (void)server;
    const int kCount = 40;
    std::vector<std::string> vecData;
    std::vector<nox::OutDatagram> vecOut;
    for (int i = 0; i < kCount; ++i)
        vecData.push_back(i == 20 ? std::string(65508, 'x') : "d" + std::to_string(i));
    for (int i = 0; i < kCount; ++i) {
        vecOut.push_back({vecData[i].data(), static_cast<int>(vecData[i].size()), i == 5 ? "10.0.0" : kLo,
                          i == 33 ? 0 : m_nServerPort, 1});
    }
    ASSERT_EQ(0, m_engine.SendToBatch(client, vecOut.data(), kCount));
    std::vector<std::string> vecWant;
    for (int i = 0; i < kCount; ++i) {
        const bool bBad = i == 5 || i == 20 || i == 33;
        EXPECT_EQ(bBad, vecOut[i].nResult < 0) << i << ": " << vecOut[i].nResult;
        if (i == 5 || i == 33) {
            EXPECT_EQ(-EINVAL, vecOut[i].nResult);
        }
        if (!bBad)
            vecWant.push_back(vecData[i]);
    }
    std::vector<std::string> vecGot;
    for (const Datagram& got : m_server->Wait(vecWant.size()))
        vecGot.push_back(got.strData);
    EXPECT_EQ(vecWant, vecGot);
    EXPECT_EQ(-EBADF, m_engine.SendToBatch(nox::kInvalidSockId, vecOut.data(), 2));
    EXPECT_EQ(-EBADF, vecOut[1].nResult);
}

// While the engine holds a port, no other socket binds it, on the wildcard or
// a unicast address, even with SO_REUSEADDR (or SO_REUSEPORT): not another
// process's, not a second engine's. Inside the engine only endpoints that
// all asked for reuse, each for another address, share it. Once closed the
// port is free again.
TEST_F(NetEngineTest, AHeldPortIsNotSharedWithOtherSockets)
{
    const SOCKID wild = Listen("0.0.0.0", m_nServerPort, m_server);
    sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(m_nServerPort)), {}, {}};
    const auto Binds = [&](int nOption, const char* szHost) {
        const NativeSock sock = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int nOn = 1;
        ::setsockopt(sock, SOL_SOCKET, nOption, reinterpret_cast<const char*>(&nOn), sizeof(nOn));
        ::inet_pton(AF_INET, szHost, &addr.sin_addr);
        const bool bBound = ::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
        CloseNative(sock);
        return bBound;
    };
    for (const int nOption : kReuseOptions) {
        for (const char* szHost : {"0.0.0.0", kLo})
            EXPECT_FALSE(Binds(nOption, szHost)) << nOption << " " << szHost;
    }
    nox::NetEngine other;
    ASSERT_EQ(0, other.StartEngine(nox::kNetEngineEvent, 4, 1));
    const SOCKID otherSock = other.CreateSocket(m_server, nullptr);
    other.SetReuseAddr(otherSock, 1);
    const int nTaken = other.StartUDP(otherSock, "0.0.0.0", m_nServerPort, nullptr, 0, true);
    EXPECT_NE(0, nTaken) << "a second engine (another daemon) bound the port";
    SOCKID aInside[2];
    for (SOCKID& sock : aInside) {
        sock = m_engine.CreateSocket(m_server, nullptr);
        // A second wildcard endpoint, and a group endpoint with sharing set off.
        EXPECT_EQ(0, m_engine.SetReuseAddr(sock, &sock == &aInside[0] ? 1 : 0));
        EXPECT_EQ(nTaken, m_engine.StartUDP(sock, &sock == &aInside[0] ? "0.0.0.0" : kGroup, m_nServerPort,
                                            nullptr, 0, true));
    }
    EXPECT_EQ(0, m_engine.CloseSocket(wild));
    EXPECT_TRUE(Binds(SO_REUSEADDR, "0.0.0.0")) << "the port stays held after its endpoint closed";
}

#ifndef _WIN32
// The port's socket fails under the engine (a pipe takes the place of its
// descriptor while a duplicate keeps the socket and its readiness
// registration alive: the next datagram wakes the engine, and its receive
// fails with ENOTSOCK). Both endpoints that share it, the wildcard and the
// group one, are reported once, and each may open its replacement from
// OnClose, on an event thread; the replacements receive again.
TEST_F(NetEngineTest, DeadPortReportsEachEndpointOnceAndOnCloseMayOpenReplacements)
{
    VELMORA_NS_PAIR_OR_SKIP(pair);
    velmora_test::ScopedNetNs inA(pair.NameA());
    ASSERT_TRUE(inA.Ok());
    m_engine.StopEngine();   // event threads in A, where the replacements are made
    ASSERT_EQ(0, m_engine.StartEngine(nox::kNetEngineEvent, 64, 4));
    nox::Ref<RecordingHandler> group(new RecordingHandler);
    std::atomic<int> nKeep{-1};
    std::atomic<SOCKID> aReplacement[2] = {{nox::kInvalidSockId}, {nox::kInvalidSockId}};
    const char* aszHost[2] = {"0.0.0.0", kGroup};
    nox::Ref<RecordingHandler> aHandler[2] = {m_server, group};
    for (int i = 0; i < 2; ++i) {
        aHandler[i]->m_onClose = [&, i] {
            EXPECT_EQ(-EDEADLK, m_engine.StopEngine()) << "an event thread stopped its engine";
            const int nFd = nKeep.exchange(-1);
            if (nFd >= 0)
                ::close(nFd);   // the failed socket goes, the port is free
            const SOCKID sock = m_engine.CreateSocket(aHandler[i], nullptr);
            m_engine.SetReuseAddr(sock, 1);
            if (m_engine.StartUDP(sock, aszHost[i], m_nServerPort, nullptr, 0, true) == 0)
                aReplacement[i] = sock;
        };
    }
    const SOCKID aDead[2] = {Listen(aszHost[0], m_nServerPort, m_server), Listen(aszHost[1], m_nServerPort, group)};
    const SOCKID client = Listen(pair.AddrA().c_str(), m_nClientPort, m_client);
    ASSERT_EQ(0, m_engine.SetMulticastInterface(client, pair.AddrA().c_str()));
    const SOCKID noJoin = m_engine.CreateSocket(m_server, nullptr);
    EXPECT_EQ(0, m_engine.SetReuseAddr(noJoin, 1));
    EXPECT_NE(0, m_engine.StartUDP(noJoin, kGroup, FreePort(), "nosuch0", 0, true));
    const int nFd = FindBound(m_nServerPort);
    ASSERT_GE(nFd, 0);
    nKeep = ::dup(nFd);
    int aPipe[2];
    ASSERT_EQ(0, ::pipe(aPipe));
    ASSERT_EQ(nFd, ::dup2(aPipe[0], nFd));
    ::close(aPipe[0]);
    ::close(aPipe[1]);
    // Takes and gives back the port's lock, which the engine's thread takes
    // before it closes the descriptor: the swap visibly happens before that
    // close (for the thread sanitizer). Fails on the pipe, as it should.
    EXPECT_NE(0, m_engine.SetMulticastInterface(aDead[1], pair.AddrA().c_str()));
    ASSERT_TRUE(Send(client, "wake", pair.AddrA(), m_nServerPort));

    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(1u, aHandler[i]->Wait(1).size());
        EXPECT_EQ("closed " + std::to_string(ENOTSOCK), aHandler[i]->Wait(1)[0].strFrom);
        ASSERT_NE(nox::kInvalidSockId, aReplacement[i].load()) << aszHost[i];
        EXPECT_EQ(-1, m_engine.CloseSocket(aDead[i])) << "the engine already closed it";
    }
    for (const char* szTo : {kGroup, "10.77.0.1"})
        ASSERT_TRUE(Send(client, szTo, szTo, m_nServerPort));
    for (int i = 0; i < 2; ++i) {
        const std::vector<Datagram> vecGot = aHandler[i]->Wait(2);
        ASSERT_EQ(2u, vecGot.size());
        EXPECT_EQ(std::string(i == 0 ? "10.77.0.1" : kGroup) + " " + std::to_string(aReplacement[i]),
                  vecGot[1].strData + " " + std::to_string(vecGot[1].sock));
    }
    EXPECT_EQ(0, m_engine.StopEngine());   // before the namespaces go
}

// SetHandler lets the replaced handler go outside the engine's locks: its
// destructor may call the engine about the same socket.
TEST_F(NetEngineTest, ReplacedHandlerMayCallTheEngineAsItGoes)
{
    struct CallsBack : RecordingHandler {
        nox::NetEngine* pEngine = nullptr;
        SOCKID sock = nox::kInvalidSockId;
        ~CallsBack() override { EXPECT_EQ(0, pEngine->SetReuseAddr(sock, 1)); }
    };
    nox::Ref<CallsBack> first(new CallsBack);
    first->pEngine = &m_engine;
    const SOCKID sock = first->sock = Listen(kLo, m_nServerPort, first);
    first.release();
    EXPECT_EQ(0, m_engine.SetHandler(sock, m_server));
}

// A socket whose receive side is shut down under the engine reads empty
// forever: the engine reports it closed once instead of reading on.
TEST_F(NetEngineTest, ShutDownReceiveSideIsReportedClosed)
{
    Listen(kLo, m_nServerPort, m_server);
    const int nFd = FindBound(m_nServerPort);
    ASSERT_GE(nFd, 0);
    ::shutdown(nFd, SHUT_RD);   // ENOTCONN for an unconnected socket, but done all the same
    const std::vector<Datagram> vecGot = m_server->Wait(1);
    ASSERT_EQ(1u, vecGot.size());
    EXPECT_EQ("closed " + std::to_string(ESHUTDOWN), vecGot[0].strFrom);
}

// Runners that receive for themselves (two, the safety timeout a minute, so
// it rescues nothing): each datagram is queued by OnData and answered by a
// runner's step. A step that blocks at the start of a load keeps its socket
// only until the idle runner, called out of its long wait, takes it over, so
// the next datagrams are received and answered long before the step is
// released (3 s at most), and work announced meanwhile wakes the runner that
// waits on the sockets; every datagram is delivered on a runner; an endpoint
// closed and opened again while a runner waits on it is received again; a receive side
// shut down is reported (and the engine refuses a stop from that thread);
// the runners stop while one waits on the sockets and while one is blocked
// in a step with a socket.
struct IntakeWork : RecordingHandler {
    void OnData(SOCKID sock, const char* pData, int nLen, const char* szAddr, int nPort) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            queue.emplace_back(pData, static_cast<size_t>(nLen));
            nElsewhere += nox::Runner::CurrentContext() == this ? 0 : 1;
        }
        RecordingHandler::OnData(sock, pData, nLen, szAddr, nPort);
    }
    static int Step(void* pContext, void*)
    {
        IntakeWork& work = *static_cast<IntakeWork*>(pContext);
        std::unique_lock<std::mutex> lock(work.mutex);
        if (work.queue.empty())
            return 0;
        const std::string strData = work.queue.front();
        work.queue.pop_front();
        if (!work.queue.empty())
            nox::Runner::CallAgain();
        if (strData == "slow") {
            ++work.nBlocked;
            work.cv.notify_all();
            work.cv.wait(lock, [&] { return work.bRelease; });
        }
        work.vecDone.push_back(strData);
        work.cv.notify_all();
        return 0;
    }
    bool WaitFor(const std::function<bool()>& done, int nSeconds = 10)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(nSeconds), done);
    }
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::string> queue;
    std::vector<std::string> vecDone;
    int nBlocked = 0;
    int nElsewhere = 0;   // datagrams delivered on other threads than the runners
    bool bRelease = false;
};

TEST_F(NetEngineTest, RunnersReceiveHandOverASlowStepsSocketAndStop)
{
    nox::Runner::SetIdleTimeoutMs(60000);
    nox::Ref<IntakeWork> work(new IntakeWork);
    work->m_onClose = [&] { EXPECT_EQ(-EDEADLK, m_engine.StopEngine()); };   // before any socket
    std::vector<nox::Runner> vecRunner(2, nox::Runner(&IntakeWork::Step, work.get(), nox::RUNNER_LOOP));
    for (nox::Runner& runner : vecRunner) {
        runner.SetReceives(true);
        ASSERT_EQ(0, runner.Start());
    }
    SOCKID server = Listen(kLo, m_nServerPort, work);
    const SOCKID client = Listen(kLo, m_nClientPort, m_client);
    ASSERT_TRUE(Send(client, "slow", kLo, m_nServerPort));
    EXPECT_TRUE(work->WaitFor([&] { return work->nBlocked == 1; }));
    for (const char* sz : {"a", "b", "c"})
        ASSERT_TRUE(Send(client, sz, kLo, m_nServerPort));
    EXPECT_TRUE(work->WaitFor([&] { return work->vecDone.size() == 3; }, 3)) << "intake stalled behind a step";
    {
        std::lock_guard<std::mutex> lock(work->mutex);
        work->queue.emplace_back("told");   // the other runner now waits on the sockets
    }
    nox::Runner::NotifyWork();
    EXPECT_TRUE(work->WaitFor([&] { return work->vecDone.size() == 4; }, 3));
    {
        std::lock_guard<std::mutex> lock(work->mutex);
        work->bRelease = true;
        work->cv.notify_all();
    }
    EXPECT_TRUE(work->WaitFor([&] { return work->vecDone.size() == 5; }));

    EXPECT_EQ(0, m_engine.CloseSocket(server));
    server = Listen(kLo, m_nServerPort, work);
    ASSERT_TRUE(Send(client, "again", kLo, m_nServerPort));
    EXPECT_TRUE(work->WaitFor([&] { return work->vecDone.size() == 6; }));

    ::shutdown(FindBound(m_nServerPort), SHUT_RD);
    EXPECT_EQ("closed " + std::to_string(ESHUTDOWN), work->Wait(6).back().strFrom);

    server = Listen(kLo, m_nServerPort, work);
    {
        std::lock_guard<std::mutex> lock(work->mutex);
        work->bRelease = false;
    }
    ASSERT_TRUE(Send(client, "slow", kLo, m_nServerPort));
    EXPECT_TRUE(work->WaitFor([&] { return work->nBlocked == 2; }));
    for (nox::Runner& runner : vecRunner)
        runner.SignalStop();
    {
        std::lock_guard<std::mutex> lock(work->mutex);
        work->bRelease = true;
        work->cv.notify_all();
    }
    for (nox::Runner& runner : vecRunner)
        EXPECT_EQ(0, runner.Join());
    EXPECT_EQ(0, work->nElsewhere);
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c", "told", "slow", "again", "slow"}), work->vecDone);
    nox::Runner::SetIdleTimeoutMs(5000);
}

// A stream keeps the receiving runner reading batch after batch, without a
// readiness; once it ends the socket is watched again, so a datagram sent
// after it is still received; once the runners stop, the engine receives.
TEST_F(NetEngineTest, RunnersReadAStreamOnAndThenWatchTheSocketAgain)
{
    nox::Ref<IntakeWork> work(new IntakeWork);
    std::vector<nox::Runner> vecRunner(2, nox::Runner(&IntakeWork::Step, work.get(), nox::RUNNER_LOOP));
    for (nox::Runner& runner : vecRunner) {
        runner.SetReceives(true);
        ASSERT_EQ(0, runner.Start());
    }
    (void)Listen(kLo, m_nServerPort, work);
    const SOCKID client = Listen(kLo, m_nClientPort, m_client);
    const size_t kStream = 200;   // within the receive buffer, should the runners lag
    std::vector<std::string> vecData;
    std::vector<nox::OutDatagram> vecOut;
    for (size_t i = 0; i < kStream; ++i)
        vecData.push_back(std::to_string(i));
    for (const std::string& str : vecData)
        vecOut.push_back({str.data(), static_cast<int>(str.size()), kLo, m_nServerPort, 1});
    const SOCKID aGone[] = {Listen(kLo, FreePort(), m_server), Listen(kLo, FreePort(), m_server)};
    for (int nRound = 0; nRound < 2; ++nRound) {
        for (const SOCKID sock : aGone)   // closed before the second round: the others are still received
            EXPECT_TRUE(nRound == 0 || m_engine.CloseSocket(sock) == 0);
        ASSERT_EQ(0, m_engine.SendToBatch(client, vecOut.data(), static_cast<int>(kStream)));
        const size_t nDone = (nRound + 1) * (kStream + 1);
        EXPECT_TRUE(work->WaitFor([&] { return work->vecDone.size() == nDone - 1; }));
        ASSERT_TRUE(Send(client, "after", kLo, m_nServerPort));
        EXPECT_TRUE(work->WaitFor([&] { return work->vecDone.size() == nDone; }, 3))
            << "the socket was not watched again after the stream";
    }
    for (nox::Runner& runner : vecRunner)
        EXPECT_EQ(0, runner.Stop());
    EXPECT_EQ(0, work->nElsewhere);

    const int nLatePort = FreePort();   // no runner left: the engine receives it itself
    (void)Listen(kLo, nLatePort, m_server);
    ASSERT_TRUE(Send(client, "late", kLo, nLatePort));
    EXPECT_EQ(1u, m_server->Wait(1).size()) << "a socket opened after the runners stopped is not received";
}

// Whether one of this process's threads is blocked in recvmmsg now.
bool SomeThreadWaitsInReceive()
{
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(task.path() / "syscall");
        long nCall = -1;
        if (in >> nCall && nCall == SYS_recvmmsg)
            return true;
    }
    return false;
}

// Requests that each follow the last one's answer are waited for in the
// socket's own receive by one runner while the other takes the set: a
// datagram to another socket is still answered; a close ends the wait and
// the socket opened again is served; the runners stop while one waits.
TEST_F(NetEngineTest, ARunnerWaitsInTheReceiveOfASocketAskedAgainAndAgain)
{
    nox::Ref<IntakeWork> work(new IntakeWork);
    std::vector<nox::Runner> vecRunner(2, nox::Runner(&IntakeWork::Step, work.get(), nox::RUNNER_LOOP));
    for (nox::Runner& runner : vecRunner) {
        runner.SetReceives(true);
        ASSERT_EQ(0, runner.Start());
    }
    SOCKID server = Listen(kLo, m_nServerPort, work);
    const int nOtherPort = FreePort();
    (void)Listen(kLo, nOtherPort, work);
    const SOCKID client = Listen(kLo, m_nClientPort, m_client);
    const auto askInTurn = [&](int nPort, const std::string& strData) {
        const size_t nDone = work->vecDone.size() + 1;
        return Send(client, strData, kLo, nPort) &&
               work->WaitFor([&] { return work->vecDone.size() == nDone; }, 3);
    };
    // Asks a few times in turn, until a runner waits in the receive after
    // them (bounded: a slow machine may take longer than the quiet time
    // between two asks).
    const auto askUntilOneWaits = [&] {
        const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < tEnd) {
            for (int i = 0; i < 3; ++i) {
                if (!askInTurn(m_nServerPort, "q"))
                    return false;
            }
            for (int i = 0; i < 1000 && !SomeThreadWaitsInReceive(); ++i)
                std::this_thread::yield();
            if (SomeThreadWaitsInReceive())
                return true;
        }
        return false;
    };
    ASSERT_TRUE(askUntilOneWaits());
    EXPECT_TRUE(askInTurn(nOtherPort, "other")) << "nobody took the set";
    EXPECT_EQ(0, m_engine.CloseSocket(server));
    server = Listen(kLo, m_nServerPort, work);
    ASSERT_TRUE(askUntilOneWaits()) << "after the close";
    for (nox::Runner& runner : vecRunner)
        EXPECT_EQ(0, runner.Stop());
    EXPECT_EQ(0, work->nElsewhere);
}
#endif

}  // namespace
