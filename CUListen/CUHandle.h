// The discovery handler: adapter table, intake with duplicate filter, worker
// pool, and the two reply exchanges.
#pragma once

#include <list>
#include <map>
#include <string>
#include <vector>

#include "nox/Mutex.h"
#include "nox/NetEngine.h"
#include "nox/RefObj.h"
#include "nox/Thread.h"

class CCUListen;

#pragma pack(push, 1)
// One row of the adapter table: isOK, then a byte copy of a nox::AdapterInfo.
struct AdapterEntry {
    unsigned char isOK;
    char adapterName[260];
    char macAddr[32];
    char hostAddr[32];
    char subNetMask[32];
    char gateWayAddr[32];
};
#pragma pack(pop)
static_assert(sizeof(AdapterEntry) == 389, "AdapterEntry is a packed 389-byte row");

// One accepted datagram waiting for a worker. m_pBuffer holds the m_nLen
// received bytes followed by one extra zero byte, so a reader that stops at
// the first zero never runs past the datagram; readers of fixed offsets check
// m_nLen first.
class reqBuffer : public nox::RefObj {
public:
    reqBuffer();
    ~reqBuffer() override;

    char* m_pBuffer;
    char m_szAddr[32];
    int m_nSrcPort;
    nox::SOCKID m_sockId;
    int m_nLen;
};

// Receives every listen socket's events and answers discovery requests.
// Engine threads: OnConnect/OnData/OnClose. Workers: HandleRequest and the
// exchanges. Main thread: StartHandler/StopHandler/PrintSvrInfo/JoinWorkers.
// m_dataMutex guards the queue, m_tagMutex the filter; never both at once.
// The adapter table is written before any worker starts and is read-only after.
class CCUHandler : public nox::SocketHandler {
public:
    enum { kErrAdapterQuery = -3 };
    enum { kErrParse = -1, kErrMethod = -2 };

    CCUHandler(nox::NetEngine* pEngine, CCUListen* pListen);
    ~CCUHandler() override;

    int StartHandler();          // 0, or kErrAdapterQuery
    int StopHandler();           // signals the workers, drops queued requests; 0
    int PrintSvrInfo();          // queue size and the whole filter, at level 4; 0
    // Sizes for the status file: queued requests, and the filter's hosts and
    // (host, head) entries. Any thread.
    int QueueSize();
    void FilterSize(int& nHosts, int& nEntries);
    // Waits until every worker thread has ended (after StopHandler). Called
    // before the engine is destroyed, so no worker can reach it afterwards.
    void JoinWorkers();

    void OnConnect(nox::SOCKID sock, nox::SOCKID client, const char* szAddr, int nPort) override;
    void OnData(nox::SOCKID hSocket, const char* buf, int len, const char* addr,
                int port) override;
    void OnClose(nox::SOCKID sock, int nError) override;

    int PushRequest(nox::SOCKID hSocket, const char* buf, int len, const char* addr, int port);
    static int ThreadProc(void* pContext, void* pArg);
    int HandleRequest();         // one worker step; 0
    // The exchanges release req before returning.
    int handle_same_segment(nox::Ref<reqBuffer>& req);        // binary (0xA3); 0
    int handle_different_segment(nox::Ref<reqBuffer>& req);   // JSON (0x20); 0, -1 or -2

    nox::NetEngine* m_pEngine;
    CCUListen* m_pListen;
    std::vector<nox::Runner> m_vecRunner;
    nox::Mutex m_dataMutex;
    std::list<nox::Ref<reqBuffer>> m_waitHandleData NOX_GUARDED_BY(m_dataMutex);
    nox::Mutex m_tagMutex;
    std::map<std::string, std::map<int, unsigned int>> m_waitHandleTag NOX_GUARDED_BY(m_tagMutex);
    std::vector<AdapterEntry> m_vecAdapter;
    char m_szSerialNum[256];
    nox::Atomic m_nRunning;
};
