// The engine tests' fixture: a handler that records every callback, and an
// engine with a server and a client handler on two free ports.
#pragma once

#include "nox/NetEngine.h"
#include "nox/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
typedef SOCKET NativeSock;   // WinSock is started by the engine library's static set-up
inline int CloseNative(NativeSock sock) { return ::closesocket(sock); }
#define SO_RCVBUFFORCE SO_RCVBUF   // Windows has no limit to force past
const int kReuseOptions[] = {SO_REUSEADDR};
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "NetNs.h"
#include "common/NetEngineOs.h"
typedef int NativeSock;
inline int CloseNative(NativeSock sock) { return ::close(sock); }
const int kReuseOptions[] = {SO_REUSEADDR, SO_REUSEPORT};
#endif

namespace velmora_test {

using nox::SOCKID;
const char kLo[] = "127.0.0.1";
const char kGroup[] = "239.255.255.251";

struct Datagram {
    SOCKID sock;
    std::string strData, strFrom;   // strFrom: "host:port", or "closed N" for a close report
};

// Records every callback; tests wait for a count with a deadline.
class RecordingHandler : public nox::SocketHandler {
public:
    void OnConnect(SOCKID, SOCKID, const char*, int) override {}
    void OnData(SOCKID sock, const char* pData, int nLen, const char* szAddr, int nPort) override
    {
        Add({sock, std::string(pData, static_cast<size_t>(nLen)), szAddr + (":" + std::to_string(nPort))});
    }
    void OnClose(SOCKID sock, int nError) override
    {
        if (m_onClose)
            m_onClose();   // set before the socket exists
        Add({sock, "", "closed " + std::to_string(nError)});
    }
    std::vector<Datagram> Wait(size_t nCount)   // after nCount callbacks, or 5 s
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::seconds(5), [&] { return m_vecGot.size() >= nCount; });
        return m_vecGot;
    }

    std::function<void()> m_onClose;

private:
    void Add(const Datagram& got)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecGot.push_back(got);
        m_cv.notify_all();
    }
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Datagram> m_vecGot;
};

inline int PortOf(NativeSock sock)   // the IPv4 port the socket is bound to, else -1
{
    sockaddr_in addr{};
    socklen_t nLen = sizeof(addr);
    const bool bOk = ::getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &nLen) == 0;
    return bOk && addr.sin_family == AF_INET ? ntohs(addr.sin_port) : -1;
}
inline int FreePort()   // a port nothing listens on now
{
    const NativeSock sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in addr{AF_INET, 0, {}, {}};
    ::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    const int nPort = PortOf(sock);
    CloseNative(sock);
    return nPort;
}
inline NativeSock FindBound(int nPort)   // the engine's socket: lets a test change it under the engine
{
    for (NativeSock sock = 3; sock < 4096; ++sock)   // descriptors, or handles (4, 8, ...)
        if (PortOf(sock) == nPort)
            return sock;
    return static_cast<NativeSock>(-1);
}

class NetEngineTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, m_engine.StartEngine(nox::kNetEngineEvent, 64, 4)); }
    void TearDown() override { m_engine.StopEngine(); }

    SOCKID Listen(const char* szHost, int nPort, const nox::Ref<RecordingHandler>& handler)
    {
        const SOCKID sock = m_engine.CreateSocket(handler, nullptr);
        EXPECT_EQ(0, m_engine.SetReuseAddr(sock, 1));
        EXPECT_EQ(0, m_engine.StartUDP(sock, szHost, nPort, nullptr, 0, true));
        return sock;
    }

#ifndef _WIN32
    // The client's endpoint in the pair's namespace B (sending to groups from
    // it when bGroups); the caller then enters namespace A for the server's.
    SOCKID ClientInB(const velmora_test::NetNsPair& pair, bool bGroups)
    {
        velmora_test::ScopedNetNs inB(pair.NameB());
        EXPECT_TRUE(inB.Ok());
        const SOCKID client = Listen(pair.AddrB().c_str(), m_nClientPort, m_client);
        EXPECT_TRUE(!bGroups || m_engine.SetMulticastInterface(client, pair.AddrB().c_str()) == 0);
        return client;
    }
#endif
    bool Send(SOCKID sock, const std::string& strData, const std::string& strHost, int nPort)
    {
        return m_engine.SendTo(sock, strData.data(), static_cast<int>(strData.size()),
                               strHost.c_str(), nPort) == 0;
    }

    nox::NetEngine m_engine;
    nox::Ref<RecordingHandler> m_server{new RecordingHandler}, m_client{new RecordingHandler};
    const int m_nServerPort = FreePort(), m_nClientPort = FreePort();
};

}  // namespace velmora_test
