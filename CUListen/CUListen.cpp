#include "CUListen/CUListen.h"

#include <cstdio>

#include "CUListen/CUHandle.h"
#include "Service/Service.h"
#include "nox/Console.h"
#include "nox/PrintLog.h"

namespace {
const char kSrc[] = "CUListen/CUListen";

#if defined(__clang__)
#define VELMORA_NO_LOCK_CHECK __attribute__((no_thread_safety_analysis))
#else
#define VELMORA_NO_LOCK_CHECK
#endif
}  // namespace

CCUListen::CCUListen(nox::NetEngine* pEngine)
    : m_pEngine(pEngine), m_pHandler(new CCUHandler(pEngine, this))
{
}

nox::SOCKID CCUListen::OpenSocket(const char* szHost, int nPort, int& nStartRet)
{
    // The engine keeps its own reference per socket; the temporary one ends
    // with the call.
    int nCreateErr = -1;
    const nox::SOCKID sock =
        m_pEngine->CreateSocket(nox::Ref<nox::SocketHandler>(m_pHandler), &nCreateErr);
    if (sock == nox::kInvalidSockId) {
        nStartRet = nCreateErr;
        return sock;
    }
    (void)m_pEngine->SetReuseAddr(sock, 1);   // a failure shows up at StartUDP
    nStartRet = m_pEngine->StartUDP(sock, szHost, nPort, nullptr, 0, true);
    return sock;
}

// Main thread, once. m_sockMutex is held across the whole loop.
int CCUListen::StartListen()
{
    static const char kFn[] = "CCUListen::StartListen";
    if (m_pHandler->StartHandler() != 0)
        return -1;

    const std::vector<ListenAddr> vecAddr = CServerConfig::instance()->m_vecListenAddr;
    int nBound = 0;
    nox::MutexGuard guard(m_sockMutex);
    m_pHandler->SyncGroups(kFn);   // groups are joined only on the table's interfaces
    m_vecSockId.resize(vecAddr.size(), 0);
    m_vecOpenRet.assign(vecAddr.size(), -1);
    for (size_t i = 0; i < vecAddr.size(); ++i) {
        int nRet = -1;
        const char* szHost = vecAddr[i].m_strHost.c_str();
        m_vecSockId[i] = OpenSocket(szHost, vecAddr[i].m_nPort, nRet);
        m_vecOpenRet[i] = nRet;
        if (m_vecSockId[i] != nox::kInvalidSockId) {
            if (nRet == 0)
                ++nBound;
            NOX_LOG(kSrc, kFn, nox::kLogInfo, "StartUDP ret[%d] host[%s:%d]", nRet, szHost,
                    vecAddr[i].m_nPort);
        }
        // Otherwise the endpoint stays closed for the life of the process.
        if (nRet != 0)
            ReportNotOpen(szHost, vecAddr[i].m_nPort, nRet);
    }
    m_pHandler->SyncGroups(kFn);   // the joins that failed, with their reasons
    return nBound > 0 ? 0 : -1;
}

void CCUListen::ReportNotOpen(const char* szHost, int nPort, int nRet)
{
    static const char kFn[] = "CCUListen::ReportNotOpen";
    NOX_LOG(kSrc, kFn, nox::kLogError, "endpoint %s:%d not open: %s", szHost, nPort,
            nox::ErrorText(nRet).c_str());
}

// Engine thread (from CCUHandler::OnClose). The lock covers only the search
// and the final store; the engine is called without it.
int CCUListen::RestartSockListen(const nox::SOCKID& sock)
{
    static const char kFn[] = "CCUListen::RestartSockListen";
    size_t nIndex = 0;
    {
        nox::MutexGuard guard(m_sockMutex);
        while (nIndex < m_vecSockId.size() && m_vecSockId[nIndex] != sock)
            ++nIndex;
        if (nIndex == m_vecSockId.size()) {
            NOX_LOG(kSrc, kFn, nox::kLogError, "nox::SOCKID not found SOCKID[%llu]",
                    static_cast<unsigned long long>(sock));
            return -1;
        }
        if (nIndex >= m_vecSockId.size()) {   // cannot happen after the search
            NOX_LOG(kSrc, kFn, nox::kLogError, "std::vector<nox::SOCKID> range error index[%llu]",
                    static_cast<unsigned long long>(nIndex));
            return -1;
        }
    }

    // The endpoint list does not change after loading, so it has the slot's
    // entry; should it not, there is nothing to re-open (the handler logs the
    // failed restart).
    const std::vector<ListenAddr> vecAddr = CServerConfig::instance()->m_vecListenAddr;
    if (nIndex >= vecAddr.size())
        return -1;
    const ListenAddr& addr = vecAddr[nIndex];
    int nRet = -1;
    const nox::SOCKID sockNew = OpenSocket(addr.m_strHost.c_str(), addr.m_nPort, nRet);
    {
        nox::MutexGuard guard(m_sockMutex);
        if (nIndex < m_vecOpenRet.size())
            m_vecOpenRet[nIndex] = nRet;
    }
    if (sockNew == nox::kInvalidSockId) {
        NOX_LOG(kSrc, kFn, nox::kLogError, "create socket failure index[%llu]",
                static_cast<unsigned long long>(nIndex));
        return -1;
    }
    if (nRet != 0) {
        NOX_LOG(kSrc, kFn, nox::kLogError, "UDP bind failure index[%llu]",
                static_cast<unsigned long long>(nIndex));
        ReportNotOpen(addr.m_strHost.c_str(), addr.m_nPort, nRet);
        return -1;
    }
    {
        nox::MutexGuard guard(m_sockMutex);
        m_vecSockId[nIndex] = sockNew;
    }
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "Sock Listen Restart success addr[%s], port[%d]",
            addr.m_strHost.c_str(), addr.m_nPort);
    m_pHandler->SyncGroups(kFn);
    return 0;
}

namespace {

bool IsGroupHost(const char* szHost)
{
    unsigned nFirst = 0;
    return std::sscanf(szHost, "%u.", &nFirst) == 1 && nFirst >= 224 && nFirst <= 239;
}

}  // namespace

int CCUListen::ReopenFailed()
{
    static const char kFn[] = "CCUListen::StartListen";
    const std::vector<ListenAddr> vecAddr = CServerConfig::instance()->m_vecListenAddr;
    int nOpened = 0;
    nox::MutexGuard guard(m_sockMutex);
    for (size_t i = 0; i < m_vecOpenRet.size() && i < vecAddr.size(); ++i) {
        if (m_vecOpenRet[i] == 0 || !IsGroupHost(vecAddr[i].m_strHost.c_str()))
            continue;
        int nRet = -1;
        const char* szHost = vecAddr[i].m_strHost.c_str();
        const nox::SOCKID sock = OpenSocket(szHost, vecAddr[i].m_nPort, nRet);
        if (nRet != 0) {
            (void)m_pEngine->CloseSocket(sock);
            continue;
        }
        (void)m_pEngine->CloseSocket(m_vecSockId[i]);   // the one whose start failed
        m_vecSockId[i] = sock;
        m_vecOpenRet[i] = 0;
        ++nOpened;
        NOX_LOG(kSrc, kFn, nox::kLogInfo, "StartUDP ret[%d] host[%s:%d]", nRet, szHost,
                vecAddr[i].m_nPort);
    }
    if (nOpened > 0)
        m_pHandler->SyncGroups(kFn);
    return nOpened;
}

std::vector<nox::SOCKID> CCUListen::Sockets()
{
    nox::MutexGuard guard(m_sockMutex);
    return m_vecSockId;
}

std::vector<int> CCUListen::OpenResults()
{
    nox::MutexGuard guard(m_sockMutex);
    return m_vecOpenRet;
}

// Main thread, once. Closes every slot in index order, all-ones included,
// then stops the handler. m_sockMutex is not taken: the engine does not
// report sockets closed with CloseSocket, so no restart writes the table now.
VELMORA_NO_LOCK_CHECK int CCUListen::StopListen()
{
    for (size_t i = 0; i < m_vecSockId.size(); ++i)
        (void)m_pEngine->CloseSocket(m_vecSockId[i]);
    (void)m_pHandler->StopHandler();
    return 0;
}
