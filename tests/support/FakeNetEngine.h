// A network engine for unit tests: records what the code under test binds,
// sends and closes, hands out increasing socket ids, fails chosen
// CreateSocket or StartUDP calls, and holds each socket's handler, as the real
// engine does, until the socket is closed. Never start or stop it.
#pragma once

#include <atomic>
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
    struct Sent { SOCKID sock; std::string strData, strHost; int nPort; };
    using Handler = nox::Ref<nox::SocketHandler>;
    static constexpr SOCKID kFirstId = 100;

    ~FakeNetEngine() override { Locked([&] { return std::move(m_mapHandler); }); }

    SOCKID CreateSocket(const Handler& handler, int*) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_setFailCreate.count(static_cast<int>(m_nCreateCalls++)))
            return nox::kInvalidSockId;
        m_vecCreated.push_back(kFirstId + m_vecCreated.size());
        m_mapHandler[m_vecCreated.back()] = handler;
        return m_vecCreated.back();
    }
    int StartUDP(SOCKID sock, const char* szHost, int nPort, const char*, int, bool) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_vecBind.push_back(std::to_string(sock) + " " + szHost + ":" + std::to_string(nPort));
        return m_setFailBind.count(static_cast<int>(m_vecBind.size() - 1)) ? -98 : 0;
    }
    int SetReuseAddr(SOCKID, int) override { return 0; }
    int SendTo(SOCKID sock, const char* pData, int nLen, const char* szHost, int nPort) override
    {
        const Sent sent{sock, std::string(pData, static_cast<size_t>(nLen)), szHost, nPort};
        if (m_onSend)
            m_onSend(sent);
        Locked([&] { m_vecSent.push_back(sent); return 0; });
        m_cond.notify_all();
        return m_nSendResult;
    }
    int SendToBatch(SOCKID sock, nox::OutDatagram* pDatagrams, int n) override
    {
        ++m_nBatches;
        for (int i = 0; i < n; ++i)
            pDatagrams[i].nResult = SendTo(sock, pDatagrams[i].pData, pDatagrams[i].nLen,
                                           pDatagrams[i].szHost, pDatagrams[i].nPort);
        return 0;
    }
    int SetGroupInterfaces(const std::vector<std::string>& vecName, std::vector<nox::GroupChange>& vecOut) override
    {
        std::string strCall = "groups";
        vecOut.clear();
        for (const std::string& strName : vecName) {
            strCall += " " + strName;
            if (strName == m_strGroupFailOn)
                vecOut.push_back({kFirstId, 0xEFFFFFFBu, strName, m_nGroupResult});
        }
        Locked([&] { m_vecGroupChange.push_back(strCall); return 0; });
        return 0;
    }
    int CloseSocket(SOCKID sock) override
    {
        Locked([&] { m_vecClosed.push_back(sock); return 0; });
        Release(sock);
        return 0;
    }

    void ReportClose(SOCKID sock, int nError)   // the engine drops a failed socket and says so
    {
        if (Handler handler = Release(sock))
            handler->OnClose(sock, nError);
    }
    std::vector<Sent> TakeSent()
    {
        return Locked([&] { std::vector<Sent> vecOut; vecOut.swap(m_vecSent); return vecOut; });
    }
    bool WaitSent(size_t nCount, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, timeout, [&] { return m_vecSent.size() >= nCount; });
    }

    // Set before use, read after the calls.
    std::set<int> m_setFailCreate, m_setFailBind;   // indexes of the calls that fail
    int m_nSendResult = 0;
    std::function<void(const Sent&)> m_onSend;      // runs in SendTo before it records
    std::vector<SOCKID> m_vecCreated, m_vecClosed;
    std::vector<std::string> m_vecBind;             // "sock host:port"
    std::atomic<int> m_nBatches{0};                 // SendToBatch calls
    std::vector<std::string> m_vecGroupChange;      // "groups eth0 eth1", per SetGroupInterfaces
    std::string m_strGroupFailOn;                   // its join fails there with m_nGroupResult
    int m_nGroupResult = 0;

private:
    template <class F> auto Locked(F f) -> decltype(f())
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return f();
    }
    Handler Release(SOCKID sock)   // the caller lets go of it unlocked
    {
        return Locked([&] { Handler handler = m_mapHandler[sock]; m_mapHandler.erase(sock); return handler; });
    }

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::map<SOCKID, Handler> m_mapHandler;
    size_t m_nCreateCalls = 0;
    std::vector<Sent> m_vecSent;
};
