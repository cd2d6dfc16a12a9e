// The discovery handler: adapter table, intake with duplicate filter, worker
// pool, and the two reply exchanges.
#pragma once

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CUListen/AdapterTable.h"
#include "CUListen/Counters.h"
#include "CUListen/FilterTable.h"
#include "CUListen/LogThrottle.h"
#include "CUListen/OnLink.h"
#include "CUListen/ReplyBudget.h"
#include "CUListen/Snapshot.h"
#include "nox/Mutex.h"
#include "nox/NetEngine.h"
#include "nox/RefObj.h"
#include "nox/Thread.h"

class CCUListen;
class CAdapterWatch;
struct WorkerJson;   // CUHandleReply.cpp

// One accepted datagram waiting for a worker. m_pBuffer holds the m_nLen
// received bytes, in m_aInline when they fit (a discovery request does: no
// second allocation), else in memory of its own; readers check m_nLen first.
class reqBuffer : public nox::RefObj {
public:
    reqBuffer();
    ~reqBuffer() override;

    static constexpr size_t kInlineSize = 192;
    char* m_pBuffer;
    char m_aInline[kInlineSize];
    char m_szAddr[32];
    int m_nSrcPort;
    nox::SOCKID m_sockId;
    int m_nLen;
};

// Receives every listen socket's events and answers discovery requests.
// Engine threads: OnConnect/OnData/OnClose. Workers: HandleRequest and the
// exchanges. Main thread: StartHandler/StopHandler/PrintSvrInfo/JoinWorkers.
// m_dataMutex guards the queue, m_tagMutex the filter; never both at once.
// m_refreshMutex makes re-reads one at a time, m_groupMutex group changes;
// the listener may hold its m_sockMutex when it asks for one (SyncGroups), and
// a re-read calls the listener (ReopenFailed) only after letting go of both.
// The adapter table is written before any worker starts and is read-only after;
// so are the binary records (m_vecBinaryRecord) built from it and the
// configuration. Each worker thread has the JSON texts of the rows for the
// serial number text it last read, kept in m_vecJson (CUHandleReply.cpp).
// Limits for untrusted networks (read from the configuration at construction):
// the filter table holds at most FilterMaxHosts hosts, the queue
// holds at most m_nQueueMax requests (m_nQueued counts queued ones and slots
// taken by intake), replies pass m_replyBudget, and with m_bOnLinkOnly only
// sources inside m_vecOnLink are taken. Counters and throttles are atomic.
class CCUHandler : public nox::SocketHandler {
public:
    enum { kErrAdapterQuery = -3 };
    enum { kErrParse = -1, kErrMethod = -2 };

    CCUHandler(nox::NetEngine* pEngine, CCUListen* pListen);
    ~CCUHandler() override;

    int StartHandler();          // 0, or kErrAdapterQuery
    // Signals the workers, ends the adapter watcher, drops queued requests; 0.
    int StopHandler();
    int PrintSvrInfo();          // queue size and the whole filter at level 4, the counters; 0
    void PrintCounters();        // one "name value" line per counter, at level 2
    // Writes the counts of throttled warnings whose window has ended (bAll:
    // every count held, at a stop).
    void FlushWarnings(bool bAll);
    // Sizes for the status file: queued requests, and the filter's hosts and
    // (host, head) entries. Any thread.
    int QueueSize();
    void FilterSize(int& nHosts, int& nEntries);
    // Waits until every worker thread has ended (after StopHandler). Called
    // before the engine is destroyed, so no worker can reach it afterwards.
    void JoinWorkers();

    // Reads the adapters again and, when the table differs, publishes the new
    // one and logs it; the group memberships follow the table, and the
    // listener then opens the group endpoints that could not open yet.
    // Watcher thread (tests call it directly). 0, or kErrAdapterQuery (the
    // table is kept).
    int RefreshAdapters();
    // Has the engine hold the groups on the table's interfaces (and only
    // there) and logs each join that fails, once; the failures are kept for
    // NotJoined. Any thread; the listener may hold its m_sockMutex.
    void SyncGroups(const char* szFn);
    // The interfaces, with the reason, that the group endpoint sock is not
    // joined on: "eth3 (ENOBUFS ...), eth4 (...)"; empty when none.
    std::string NotJoined(nox::SOCKID sock);
    // One line per row of the table, as at start, under the caller's function name.
    static void LogRows(const char* szFn, const std::vector<AdapterEntry>& vecRow);
    // For the status file: the current rows, how often the table changed
    // since start and when it last did (seconds since the epoch; 0: never).
    std::vector<AdapterEntry> AdapterRows();
    uint64_t TableChanges() const { return m_nTableChanges.load(); }
    long long TableChangedAt() const { return m_nTableChangedAt.load(); }
    bool Refreshes() const { return m_bRefresh; }

    void OnConnect(nox::SOCKID sock, nox::SOCKID client, const char* szAddr, int nPort) override;
    void OnData(nox::SOCKID hSocket, const char* buf, int len, const char* addr,
                int port) override;
    void OnClose(nox::SOCKID sock, int nError) override;
    // The filter's slot for a source that a batch brings is fetched ahead;
    // Prefetch reads only what the table's constructor set.
    void OnDataAhead(uint32_t nSrcAddr) noexcept override NOX_NO_LOCK_NEEDED
    {
        m_waitHandleTag.Prefetch(nSrcAddr);
    }

    int PushRequest(nox::SOCKID hSocket, const char* buf, int len, const char* addr, int port);
    static int ThreadProc(void* pContext, void* pArg);
    // One worker step: takes up to kRequestsPerStep queued requests, oldest
    // first, one at a time, and answers them; their replies go out together
    // at the end of the step (FlushReplies). Never waits; 0.
    int HandleRequest();
    // Sends the replies this thread's exchanges have made since the last
    // flush, then writes their lines and counts them.
    void FlushReplies();
    enum { kRequestsPerStep = 32 };
    // A runner that received the requests itself calls others to help only
    // past this depth: below it, its own steps answer them sooner than a
    // wake-up of another thread would.
    enum { kHelpDepth = 64 };
    // The exchanges release req before returning.
    int handle_same_segment(nox::Ref<reqBuffer>& req);        // binary (0xA3); 0
    int handle_different_segment(nox::Ref<reqBuffer>& req);   // JSON (0x20); 0, -1 or -2

    nox::NetEngine* m_pEngine;
    CCUListen* m_pListen;
    std::vector<nox::Runner> m_vecRunner;
    nox::Mutex m_dataMutex;
    std::list<nox::Ref<reqBuffer>> m_waitHandleData NOX_GUARDED_BY(m_dataMutex);
    nox::Mutex m_tagMutex;
    velmora::FilterTable m_waitHandleTag NOX_GUARDED_BY(m_tagMutex);
    velmora::Snapshot<velmora::AdapterTable> m_table;
    char m_szSerialNum[256];
    nox::Atomic m_nRunning;

    std::atomic<int> m_nQueued;
    const int m_nQueueMax;
    velmora::ReplyBudget m_replyBudget;
    const bool m_bOnLinkOnly;
    velmora::Counters m_counters;

    const velmora::AdapterFilter m_adapterFilter;   // AdapterInclude, AdapterExclude
    const bool m_bRefresh;                           // AdapterRefresh
    std::unique_ptr<CAdapterWatch> m_pWatch;
    // RefreshAdapters runs one at a time; names the filter left out last.
    nox::Mutex m_refreshMutex;
    std::vector<std::string> m_vecLeftOut NOX_GUARDED_BY(m_refreshMutex);
    nox::Mutex m_groupMutex;   // taken after m_refreshMutex and the listener's m_sockMutex
    std::map<nox::SOCKID, std::vector<std::string>> m_mapNotJoined NOX_GUARDED_BY(m_groupMutex);
    std::atomic<uint64_t> m_nTableChanges{0};
    std::atomic<long long> m_nTableChangedAt{0};

    const uint64_t m_nInstance;   // tells handlers apart for a thread's JSON texts (ThreadJson)
    // Each worker thread's JSON texts and reader, made on the thread's first
    // JSON request and kept until the handler goes (ThreadJson).
    nox::Mutex m_jsonMutex;
    std::vector<std::shared_ptr<WorkerJson>> m_vecJson NOX_GUARDED_BY(m_jsonMutex);

private:
    enum Warning {
        kWarnQueueFull, kWarnOffLink, kWarnEvicted, kWarnWithheld, kWarnNoRoute, kWarnCount
    };
    bool TakeQueueSlot(const char* szHost);   // on-link check and a queue slot; false: dropped
    // The oldest queued request (empty when none), its queue node moved into
    // listNode (empty on entry), and whether more wait.
    nox::Ref<reqBuffer> TakeRequest(bool& bMore, std::list<nox::Ref<reqBuffer>>& listNode);
    // This worker thread's answered requests, queue node and record together,
    // for its next datagrams (at most kSpareRecords; see PushRequest).
    std::list<nox::Ref<reqBuffer>>& SpareRecords();
    enum { kSpareRecords = 2 * kRequestsPerStep };
    class ReplyScope;   // CUHandleReply.cpp
    WorkerJson& ThreadJson();
    // A reply to request from adapter row nRow, to be filled by the caller
    // and sent by FlushReplies (which runs first when kMaxPendingReplies wait).
    std::string& NewReply(const reqBuffer& request, bool bJson, size_t nRow);
    void ReleaseQueueSlots(int nCount);
    // Takes the budget for one request's nReplies replies, or counts them withheld.
    bool TakeReplyBudget(uint32_t nReplies, const char* szFn);
    // The table of rows vecRow, with its binary records and subnets.
    std::unique_ptr<const velmora::AdapterTable> NewTable(std::vector<AdapterEntry> vecRow,
                                                          uint64_t nGeneration) const;
    // The table the reply batch of this thread answers from (see ReplyScope).
    static const velmora::AdapterTable& BatchTable();
    int RefreshTable();   // RefreshAdapters under m_refreshMutex
    // A throttled level-6 line for nCount occurrences: "<cause>: N <what>
    // (more within 10 s are counted)"; the count of the rest is written as
    // "<cause>: N more <what> in S s" once the window has ended.
    void Warn(Warning eWarn, const char* szFn, uint64_t nCount = 1);
    void WarnAt(Warning eWarn, const char* szFn, uint64_t nCount, uint32_t nTick);   // at that tick
    void WarnHeld(Warning eWarn, const velmora::LogThrottle::Held& held);
    void ParseHeld(const velmora::LogThrottle::Held& held);   // CUHandleReply.cpp
    void CountSend(int nRet);

    velmora::LogThrottle m_aThrottle[kWarnCount];
    std::atomic<const char*> m_apWarnFn[kWarnCount] = {};   // the function of each warning's lines
    velmora::LogThrottle m_parseThrottle{10};   // "parse failed!": ten lines per window
    velmora::LogThrottle m_refreshThrottle;     // a failed re-read of the adapters
};
