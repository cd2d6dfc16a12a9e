// A network engine for unit tests: records every call the service makes,
// hands out increasing socket ids, can be told to fail chosen CreateSocket or
// StartUDP calls, and holds the handler references it was given, as the real
// engine does, until the socket is closed. StartEngine/StopEngine are not
// virtual: never call them on the fake.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "nox/NetEngine.h"

class FakeNetEngine : public nox::NetEngine {
public:
    // strIface: the last multicast interface set before the send.
    struct Sent { SOCKID sock; std::string strData; std::string strHost; int nPort;
                  std::string strIface; };
    struct Bind { SOCKID sock; std::string strHost; int nPort; };
    static constexpr SOCKID kFirstId = 100;

    ~FakeNetEngine() override
    {
        std::map<SOCKID, nox::Ref<nox::SocketHandler>> mapHandler;   // released unlocked
        std::lock_guard<std::mutex> guard(m_mutex);
        mapHandler.swap(m_mapHandler);
    }

    SOCKID CreateSocket(const nox::Ref<nox::SocketHandler>& handler, int* pError) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_setFailCreate.count(m_nCreateCalls++)) {
            if (pError)
                *pError = -1;
            return nox::kInvalidSockId;
        }
        const SOCKID sock = m_nNextId++;
        m_mapHandler[sock] = handler;
        m_vecCreated.push_back(sock);
        return sock;
    }

    int SetReuseAddr(SOCKID sock, int nOn) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_vecReuse.push_back({sock, nOn});
        return 0;
    }

    int StartUDP(SOCKID sock, const char* szHost, int nPort, const char* /*szIface*/,
                 int /*nFlags*/, bool /*bRecv*/) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_vecBind.push_back({sock, szHost ? szHost : "", nPort});
        return m_setFailBind.count(m_nBindCalls++) ? -98 : 0;
    }

    int SetMulticastInterface(SOCKID /*sock*/, const char* szIfaceAddr) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_strIface = szIfaceAddr;
        return 0;
    }

    int SendTo(SOCKID sock, const char* pData, int nLen, const char* szHost, int nPort) override
    {
        Sent sent{sock, std::string(pData, static_cast<size_t>(nLen)), szHost, nPort, ""};
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            sent.strIface = m_strIface;
        }
        if (m_onSend)
            m_onSend(sent);
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_vecSent.push_back(sent);
        }
        m_cond.notify_all();
        return m_nSendResult;
    }

    int CloseSocket(SOCKID sock) override
    {
        nox::Ref<nox::SocketHandler> handler;   // released outside the lock
        std::lock_guard<std::mutex> guard(m_mutex);
        m_vecClosed.push_back(sock);
        auto it = m_mapHandler.find(sock);
        if (it != m_mapHandler.end()) {
            handler = it->second;
            m_mapHandler.erase(it);
        }
        return 0;
    }

    // The handler of an open socket (null for another id).
    nox::Ref<nox::SocketHandler> HandlerOf(SOCKID sock)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        auto it = m_mapHandler.find(sock);
        return it == m_mapHandler.end() ? nox::Ref<nox::SocketHandler>() : it->second;
    }

    // Reports sock closed to its handler, like an engine thread; the engine
    // lets go of the handler first.
    void ReportClose(SOCKID sock, int nError)
    {
        nox::Ref<nox::SocketHandler> handler = HandlerOf(sock);
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_mapHandler.erase(sock);
        }
        if (handler)
            handler->OnClose(sock, nError);
    }

    std::vector<Sent> TakeSent()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        std::vector<Sent> vecOut;
        vecOut.swap(m_vecSent);
        return vecOut;
    }

    // Waits until at least nCount datagrams have been sent, or the deadline.
    bool WaitSent(size_t nCount, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, timeout, [&] { return m_vecSent.size() >= nCount; });
    }

    // Setup before use; read after the calls (no lock needed then).
    std::set<int> m_setFailCreate;   // indexes of CreateSocket calls that fail
    std::set<int> m_setFailBind;     // indexes of StartUDP calls that fail
    int m_nSendResult = 0;
    std::function<void(const Sent&)> m_onSend;   // runs on every SendTo before it is recorded
    std::vector<SOCKID> m_vecCreated;
    std::vector<std::pair<SOCKID, int>> m_vecReuse;
    std::vector<Bind> m_vecBind;
    std::vector<SOCKID> m_vecClosed;

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::map<SOCKID, nox::Ref<nox::SocketHandler>> m_mapHandler;
    SOCKID m_nNextId = kFirstId;
    int m_nCreateCalls = 0;
    int m_nBindCalls = 0;
    std::string m_strIface;
    std::vector<Sent> m_vecSent;
};
