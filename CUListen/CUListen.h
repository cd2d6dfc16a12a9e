// The set of UDP listen sockets, one per configured endpoint.
#pragma once

#include <vector>

#include "nox/Mutex.h"
#include "nox/NetEngine.h"
#include "nox/RefObj.h"

class CCUHandler;

// Opens one socket per endpoint of the configuration, all reporting to the one
// CCUHandler it creates, and re-opens a socket the engine reports closed.
// Main thread: constructor, StartListen, StopListen. Engine threads:
// RestartSockListen (from CCUHandler::OnClose). m_sockMutex guards m_vecSockId.
class CCUListen {
public:
    explicit CCUListen(nox::NetEngine* pEngine);

    int StartListen();                                   // 0 when at least one endpoint bound
    int RestartSockListen(const nox::SOCKID& sock);      // 0 when re-opened
    int StopListen();                                    // always 0

    // What opening each endpoint last gave (StartUDP's result: 0 open, else a
    // negative error number); a copy under the lock for the status file.
    std::vector<int> OpenResults();
    // The socket of each endpoint, a copy under the lock.
    std::vector<nox::SOCKID> Sockets();
    // Opens again each group endpoint whose open failed (no interface could
    // carry its group yet); each one that opens is logged as at start.
    // Adapter watcher thread. The number opened.
    int ReopenFailed();

    std::vector<nox::SOCKID> m_vecSockId NOX_GUARDED_BY(m_sockMutex);
    std::vector<int> m_vecOpenRet NOX_GUARDED_BY(m_sockMutex);
    nox::Mutex m_sockMutex;
    nox::NetEngine* m_pEngine;
    nox::Ref<CCUHandler> m_pHandler;

private:
    // CreateSocket, SetReuseAddr, StartUDP for one endpoint; the new socket
    // (kInvalidSockId when creation failed) and the StartUDP result (the
    // creation error when there is no socket).
    nox::SOCKID OpenSocket(const char* szHost, int nPort, int& nStartRet);
    // One error line naming the endpoint and the error of a failed open.
    static void ReportNotOpen(const char* szHost, int nPort, int nRet);
};
