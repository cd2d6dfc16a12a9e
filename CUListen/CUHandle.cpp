// CCUHandler: construction, start and stop, state dump, socket events,
// intake with the duplicate filter, and the worker pool.
#include "CUListen/CUHandle.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <exception>

#include "CUListen/AdapterWatch.h"
#include "CUListen/CUListen.h"
#include "CUListen/Protocol.h"
#include "Service/Service.h"
#include "nox/PrintLog.h"
#include "nox/Status.h"
#include "nox/Str.h"
#include "nox/Time.h"

namespace {
const char kSrc[] = "CUListen/CUHandle";
const int kAddrSize = 32;
const int kSerialSize = 256;

std::atomic<uint64_t> g_nInstances{};

int LowInt(nox::SOCKID sock)
{
    return static_cast<int>(static_cast<uint32_t>(sock));
}
}  // namespace

reqBuffer::reqBuffer()
    : m_pBuffer(nullptr), m_szAddr(), m_nSrcPort(0), m_sockId(nox::kInvalidSockId), m_nLen(0)
{
}

reqBuffer::~reqBuffer()
{
    if (m_pBuffer != m_aInline)
        delete[] m_pBuffer;
}

CCUHandler::CCUHandler(nox::NetEngine* pEngine, CCUListen* pListen)
    : m_pEngine(pEngine),
      m_pListen(pListen),
      m_waitHandleTag(
          static_cast<size_t>(std::max(1, CServerConfig::instance()->m_nFilterMaxHosts))),
      m_szSerialNum(),
      m_nRunning(0),
      m_nQueued(0),
      m_nQueueMax(CServerConfig::instance()->m_nQueueMaxRequests),
      m_replyBudget(
          static_cast<uint32_t>(std::max(0, CServerConfig::instance()->m_nReplyRateLimit))),
      m_bOnLinkOnly(CServerConfig::instance()->m_nAnswerOnLinkOnly != 0),
      m_adapterFilter(CServerConfig::instance()->m_strAdapterInclude.c_str(),
                      CServerConfig::instance()->m_strAdapterExclude.c_str()),
      m_bRefresh(CServerConfig::instance()->m_nAdapterRefresh != 0),
      m_nInstance(++g_nInstances)
{
    m_table.Publish(NewTable(std::vector<AdapterEntry>(), 0));   // empty until StartHandler
    const int nThreads = CServerConfig::instance()->m_nThreadNum;
    m_vecRunner.assign(nThreads > 0 ? static_cast<size_t>(nThreads) : 0,
                       nox::Runner(nullptr, nullptr, nox::RUNNER_ONCE));
}

// Workers run HandleRequest on this object: they are stopped and joined
// before the queue, its mutex and the rest go.
CCUHandler::~CCUHandler()
{
    if (m_pWatch)
        m_pWatch->Stop();
    for (nox::Runner& runner : m_vecRunner)
        runner.SignalStop();
    JoinWorkers();
    nox::MutexGuard guard(m_dataMutex);
    ReleaseQueueSlots(static_cast<int>(m_waitHandleData.size()));
    m_waitHandleData.clear();
}

void CCUHandler::JoinWorkers()
{
    for (nox::Runner& runner : m_vecRunner)
        runner.Join();
}

int CCUHandler::StartHandler()
{
    static const char kFn[] = "CCUHandler::StartHandler";
    std::vector<nox::AdapterInfo> vecInfo;
    const int nRet = nox::Status::instance().getAdapterInfo(vecInfo);
    if (nRet != 0) {
        NOX_LOG(kSrc, kFn, nox::kLogError, "getAdapterInfo failed error[%d]", nRet);
        return kErrAdapterQuery;
    }

    std::vector<AdapterEntry> vecRow;
    {
        nox::MutexGuard guard(m_refreshMutex);
        vecRow = velmora::MakeRows(vecInfo, m_adapterFilter, &m_vecLeftOut);
    }
    LogRows(kFn, vecRow);
    if (velmora::NothingToAnnounce(vecRow))
        NOX_LOG(kSrc, kFn, nox::kLogInfo, "%s",
                m_bRefresh ? "no adapter with a usable IPv4 address yet: nothing can be announced, "
                             "Velmora waits for an adapter"
                           : "no adapter with a usable IPv4 address: nothing can be announced, and "
                             "with AdapterRefresh 0 the adapters are not read again");
    m_table.Publish(NewTable(std::move(vecRow), 1));

    if (nox::Status::instance().getSerialNum(m_szSerialNum, kSerialSize) == 0)
        NOX_LOG(kSrc, kFn, nox::kLogInfo, "Get Serial Num OK! buffer[%s]", m_szSerialNum);

    const int nThreads = CServerConfig::instance()->m_nThreadNum;
    for (int i = 0; i < nThreads && static_cast<size_t>(i) < m_vecRunner.size(); ++i) {
        nox::Runner& runner = m_vecRunner[static_cast<size_t>(i)];
        runner.SetFunc(&CCUHandler::ThreadProc);
        runner.SetContext(this);
        runner.SetType(nox::RUNNER_LOOP);
        runner.SetReceives(true);   // where it can, it takes datagrams itself
        (void)runner.Start();   // a runner that fails to start leaves the load to the others
    }

    m_nRunning.Increment();
    if (m_bRefresh) {
        m_pWatch.reset(new CAdapterWatch(*this));
        (void)m_pWatch->Start();   // without it the table stays as read at start
    }
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "Start Handler OK");
    return 0;
}

int CCUHandler::StopHandler()
{
    static const char kFn[] = "CCUHandler::StopHandler";
    m_nRunning.Decrement();
    for (nox::Runner& runner : m_vecRunner)
        runner.SignalStop();
    if (m_pWatch)
        m_pWatch->Stop();
    {
        nox::MutexGuard guard(m_dataMutex);
        ReleaseQueueSlots(static_cast<int>(m_waitHandleData.size()));
        m_waitHandleData.clear();
    }
    FlushWarnings(true);
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "Stop Handler OK");
    return 0;
}

int CCUHandler::PrintSvrInfo()
{
    static const char kFn[] = "CCUHandler::PrintSvrInfo";
    {
        nox::MutexGuard guard(m_dataMutex);
        NOX_LOG(kSrc, kFn, nox::kLogInfo, "m_waitHandleData size[%d]",
                static_cast<int>(m_waitHandleData.size()));
    }
    // The filter is copied under its lock and written after it: every log
    // line is flushed, and intake must not wait for the whole dump.
    std::vector<velmora::FilterRow> vecRow;
    size_t nHosts = 0;
    {
        nox::MutexGuard guard(m_tagMutex);
        vecRow = m_waitHandleTag.SortedRows();
        nHosts = m_waitHandleTag.size();
    }
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "m_waitHandleTag size[%d] ", static_cast<int>(nHosts));
    for (const velmora::FilterRow& row : vecRow) {
        NOX_LOG(kSrc, kFn, nox::kLogInfo, "Addr[%s] Head[0x%x] tick[%u]", row.strHost.c_str(),
                static_cast<unsigned>(row.nKey) & 0xFFu, row.nSeconds);
    }
    PrintCounters();
    return 0;
}

void CCUHandler::LogRows(const char* szFn, const std::vector<AdapterEntry>& vecRow)
{
    for (const AdapterEntry& row : vecRow) {
        NOX_LOG(kSrc, szFn, nox::kLogInfo,
                "adapterName[%s] macAddr[%s] hostAddr[%s] subNetMask[%s] gateWayAddr[%s] isOK[%d]",
                row.adapterName, row.macAddr, row.hostAddr, row.subNetMask, row.gateWayAddr,
                row.isOK);
    }
}

void CCUHandler::PrintCounters()
{
    static const char kFn[] = "CCUHandler::PrintCounters";
    for (int i = 0; i < velmora::kCounterCount; ++i) {
        const auto eWhich = static_cast<velmora::Counter>(i);
        NOX_LOG(kSrc, kFn, nox::kLogDebug, "%s %" PRIu64, velmora::Counters::Name(eWhich),
                m_counters.Get(eWhich));
    }
}

namespace {
// Per warning: its cause, then what one and what several occurrences are.
const char* const kWarnText[][3] = {
    {"queue full", "request dropped", "requests dropped"},
    {"off-link source", "request dropped", "requests dropped"},
    {"filter full", "host removed inside its interval", "hosts removed inside their interval"},
    {"reply budget", "request not answered", "requests not answered"},
    {"no route", "reply not sent (its network is gone)", "replies not sent (their network is gone)"},
};
}  // namespace

void CCUHandler::Warn(Warning eWarn, const char* szFn, uint64_t nCount)
{
    WarnAt(eWarn, szFn, nCount, nox::Time::GetTick());
}

void CCUHandler::WarnAt(Warning eWarn, const char* szFn, uint64_t nCount, uint32_t nTick)
{
    m_apWarnFn[eWarn].store(szFn, std::memory_order_relaxed);
    const velmora::LogThrottle::Due due = m_aThrottle[eWarn].Hit(nTick, nCount);
    if (!due.bLine)
        return;
    const char* const* pText = kWarnText[eWarn];
    WarnHeld(eWarn, due.held);
    NOX_LOG(kSrc, szFn, nox::kLogError, "%s: %" PRIu64 " %s (more within %u s are counted)",
            pText[0], nCount, pText[nCount == 1 ? 1 : 2], velmora::LogThrottle::kWindowMs / 1000);
}

void CCUHandler::WarnHeld(Warning eWarn, const velmora::LogThrottle::Held& held)
{
    if (held.nCount == 0)
        return;
    const char* const* pText = kWarnText[eWarn];
    NOX_LOG(kSrc, m_apWarnFn[eWarn].load(std::memory_order_relaxed), nox::kLogError,
            "%s: %" PRIu64 " more %s in %u s", pText[0], held.nCount,
            pText[held.nCount == 1 ? 1 : 2], held.nSeconds);
}

void CCUHandler::FlushWarnings(bool bAll)
{
    uint32_t nNow = 0;
    for (int i = 0; i <= kWarnCount; ++i) {
        velmora::LogThrottle& throttle = i < kWarnCount ? m_aThrottle[i] : m_parseThrottle;
        if (!throttle.MayHold())
            continue;
        if (nNow == 0)
            nNow = nox::Time::GetTick();
        const velmora::LogThrottle::Held held = throttle.TakeHeld(nNow, bAll);
        if (i < kWarnCount)
            WarnHeld(static_cast<Warning>(i), held);
        else
            ParseHeld(held);
    }
}

int CCUHandler::QueueSize()
{
    nox::MutexGuard guard(m_dataMutex);
    return static_cast<int>(m_waitHandleData.size());
}

void CCUHandler::FilterSize(int& nHosts, int& nEntries)
{
    nox::MutexGuard guard(m_tagMutex);
    nHosts = static_cast<int>(m_waitHandleTag.size());
    nEntries = static_cast<int>(m_waitHandleTag.Entries());
}

void CCUHandler::OnConnect(nox::SOCKID sock, nox::SOCKID client, const char* szAddr, int nPort)
{
    static const char kFn[] = "CCUHandler::OnConnect";
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "New Connect socket[%d] client[%d] addr[%s] port[%d]",
            LowInt(sock), LowInt(client), szAddr ? szAddr : "", nPort);
}

void CCUHandler::OnClose(nox::SOCKID sock, int nError)
{
    static const char kFn[] = "CCUHandler::OnClose";
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "Close socket[%d] error[%d]", LowInt(sock), nError);
    if (m_nRunning.Get() == 0) {
        NOX_LOG(kSrc, kFn, nox::kLogInfo, "CCUHandler Stop");
        return;
    }
    if (m_pListen->RestartSockListen(sock) == 0)
        NOX_LOG(kSrc, kFn, nox::kLogInfo, "CCUHandler Socket Restart Ok");
    else
        NOX_LOG(kSrc, kFn, nox::kLogError, "CCUHandler Socket Restart Err");
}

// Engine threads. The on-link check and the queue slot come first, so a
// dropped request leaves no trace in the filter; only the filter decision and
// its update hold m_tagMutex; the copy and the append happen after it.
void CCUHandler::OnData(nox::SOCKID hSocket, const char* buf, int len, const char* addr, int port)
{
    static const char kFn[] = "CCUHandler::OnData";
    if (buf == nullptr || len <= 0) {
        m_counters.Add(velmora::kRecvOther);   // no head byte
        return;
    }
    const uint8_t byHead = static_cast<uint8_t>(buf[0]);
    if (byHead != velmora::kHeadJson && byHead != velmora::kHeadBinary) {
        m_counters.Add(velmora::kRecvOther);
        return;
    }
    m_counters.Add(byHead == velmora::kHeadJson ? velmora::kRecvJson : velmora::kRecvBinary);
    const char* szHost = addr ? addr : "";
    // The filter and the log use the head as a signed byte: 0xA3 is -93.
    const int nKey = static_cast<signed char>(buf[0]);
    const uint32_t nTick = nox::Time::GetTick();
    const uint32_t nNow = nTick / 1000u;

    const uint32_t nAddr = velmora::FilterTable::AddressOf(szHost);   // outside the lock
    bool bAccept = TakeQueueSlot(szHost);
    if (bAccept) {
        uint64_t nEvicted = 0;
        {
            nox::MutexGuard guard(m_tagMutex);
            const uint32_t nInterval =
                static_cast<uint32_t>(CServerConfig::instance()->m_nFilterInterval);
            bAccept = m_waitHandleTag.Accept(nAddr, nKey, nNow, nInterval, nEvicted);
        }
        if (nEvicted != 0)
            WarnAt(kWarnEvicted, kFn, nEvicted, nTick);
        if (!bAccept) {
            ReleaseQueueSlots(1);
            m_counters.Add(velmora::kFilteredDup);
        }
    }

    if (bAccept)
        (void)PushRequest(hSocket, buf, len, szHost, port);

    NOX_LOG(kSrc, kFn, nox::kLogDebug,
            "New Data hSocket[%d] buf[0x%x] len[%d] addr[%s] port[%d] bFlag[%d]", LowInt(hSocket),
            static_cast<unsigned>(nKey), len, szHost, port, bAccept ? 1 : 0);
}

bool CCUHandler::TakeQueueSlot(const char* szHost)
{
    static const char kFn[] = "CCUHandler::OnData";
    if (m_bOnLinkOnly &&
        !velmora::IsOnLink(velmora::Snapshot<velmora::AdapterTable>::Hold(m_table)->vecOnLink, szHost)) {
        m_counters.Add(velmora::kDropOffLink);
        Warn(kWarnOffLink, kFn);
        return false;
    }
    if (m_nQueued.fetch_add(1, std::memory_order_relaxed) >= m_nQueueMax) {
        ReleaseQueueSlots(1);
        m_counters.Add(velmora::kDropQueueFull);
        Warn(kWarnQueueFull, kFn);
        return false;
    }
    return true;
}

void CCUHandler::ReleaseQueueSlots(int nCount)
{
    m_nQueued.fetch_sub(nCount, std::memory_order_relaxed);
}

// The copy holds len bytes, no terminator: readers stay within m_nLen.
int CCUHandler::PushRequest(nox::SOCKID hSocket, const char* buf, int len, const char* addr,
                            int port)
{
    // The list node too is made (or, on this handler's own worker, taken
    // from the requests it answered) before the lock, which covers only the
    // link.
    const void* pRunner = nox::Runner::CurrentContext();
    std::list<nox::Ref<reqBuffer>> listOne;
    std::list<nox::Ref<reqBuffer>>* pSpare = pRunner == this ? &SpareRecords() : nullptr;
    if (pSpare != nullptr && !pSpare->empty())
        listOne.splice(listOne.end(), *pSpare, pSpare->begin());
    else
        listOne.emplace_back(new reqBuffer());
    reqBuffer& req = *listOne.front();
    req.m_sockId = hSocket;
    req.m_nSrcPort = port;
    const size_t nLen = len > 0 ? static_cast<size_t>(len) : 0;
    if (req.m_pBuffer != req.m_aInline) {
        delete[] req.m_pBuffer;   // a recycled record's large copy
        req.m_pBuffer = nullptr;  // not deleted again should the new one throw
    }
    req.m_pBuffer = nLen <= reqBuffer::kInlineSize ? req.m_aInline : new char[nLen];
    if (nLen > 0)
        std::memcpy(req.m_pBuffer, buf, nLen);
    req.m_nLen = static_cast<int>(nLen);
    (void)nox::Str::strcpy_x(req.m_szAddr, kAddrSize, addr ? addr : "");

    size_t nDepth = 0;
    {
        nox::MutexGuard guard(m_dataMutex);
        m_waitHandleData.splice(m_waitHandleData.end(), listOne);
        nDepth = m_waitHandleData.size();
    }
    // On one of this handler's runners the runner's own steps follow the
    // batch: others are called only to help past kHelpDepth.
    // On another runner (or the engine's thread, which announces its batch
    // itself) someone must be told.
    if (pRunner != nullptr && (pRunner != static_cast<const void*>(this) || nDepth > kHelpDepth))
        nox::Runner::NotifyWork();
    return 0;
}

int CCUHandler::ThreadProc(void* pContext, void* /*pArg*/)
{
    CCUHandler& handler = *static_cast<CCUHandler*>(pContext);
    handler.HandleRequest();
    // Idle runners call this every few seconds too: a warning window that
    // has ended gets its count written.
    handler.FlushWarnings(false);
    return 0;
}

nox::Ref<reqBuffer> CCUHandler::TakeRequest(bool& bMore, std::list<nox::Ref<reqBuffer>>& listNode)
{
    {
        nox::MutexGuard guard(m_dataMutex);
        bMore = false;
        if (m_waitHandleData.empty())
            return nox::Ref<reqBuffer>();
        listNode.splice(listNode.end(), m_waitHandleData, m_waitHandleData.begin());
        bMore = !m_waitHandleData.empty();
    }
    ReleaseQueueSlots(1);
    return listNode.front();
}
