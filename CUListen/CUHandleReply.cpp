// CCUHandler's two reply exchanges and the replies of a worker step. Worker
// threads; no lock: a step answers from the adapter table it holds (see
// ReplyScope), and the configuration is fixed before the first worker starts.
#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>

#include <json/json.h>

#include "CUListen/CUHandle.h"
#include "CUListen/DiscoveryReply.h"
#include "CUListen/Protocol.h"
#include "Service/Service.h"
#include "nox/PrintLog.h"
#include "nox/Status.h"
#include "nox/Str.h"
#include "nox/Time.h"

// The replies a worker step has made and not yet sent: the exchanges make
// them, FlushReplies sends them (one system call per run of one socket) and
// then writes their lines, in the order they were made. Every other line of
// the step is written after FlushReplies, so the worker's lines keep the
// order of a reply-by-reply send. One per worker thread: the first nCount
// replies are pending, and the texts keep their memory for the next ones.
namespace {
const int kSerialSize = 256;
}  // namespace

struct PendingReply {
    nox::SOCKID sock;
    std::string strData;
    char szHost[32];
    int nPort;
    bool bJson;
    size_t nRow;
};
struct ReplyBatch {
    std::vector<PendingReply> vecReply;
    size_t nCount = 0;
    std::vector<nox::OutDatagram> vecOut;
    const velmora::AdapterTable* pTable = nullptr;   // every reply's row is one of its rows
    // The tick the step's reply budget reads: once per step, whose requests
    // are answered within a moment.
    bool bTick = false;
    uint32_t nTick = 0;
    // The serial text the step's JSON replies carry, read at its first one.
    bool bSerial = false;
    char szSerial[kSerialSize];
};

// One worker thread's reply batch, and its JSON reply texts, one per row of one of the handler's
// tables (empty for a row that does not answer), for one serial number text
// (the configuration is fixed once the handler has started, so only a new
// table or serial text makes them stale), and its reader.
struct WorkerJson {
    bool bBuilt = false;   // vecText holds the texts for nGeneration and strSerial
    uint64_t nGeneration = 0;
    std::string strSerial;
    std::vector<std::string> vecText;
    Json::Reader reader;   // parse() starts afresh each time
    // The text of the last request that parsed, and its method's text: a
    // request with the same text (as every search of a client is) is not
    // parsed again.
    bool bLastParsed = false;
    std::string strLastText;
    std::string strLastMethod;
    ReplyBatch batch;
    std::list<nox::Ref<reqBuffer>> listSpare;   // CCUHandler::SpareRecords
    nox::PrintLog::Batch lines;                 // FlushReplies' lines, kept for their buffer
};

namespace {
const char kSrc[] = "CUListen/CUHandle";
const char kFnBinary[] = "CCUHandler::handle_same_segment";
const char kFnJson[] = "CCUHandler::handle_different_segment";
const char kFnFlush[] = "CCUHandler::FlushReplies";
const size_t kMaxPendingReplies = 32;   // then they are sent before the next one is made

int LowInt(nox::SOCKID sock)
{
    return static_cast<int>(static_cast<uint32_t>(sock));
}

// The reply line's message, as "sock[%d] respLen[%d] host[%s:%d]
// interface[%s or %d] ret[%d]" writes it, without a format to read (a line
// per reply). pOut holds kReplyLineMax bytes; returns the length.
constexpr size_t kReplyLineMax = 512;
class LineWriter {
public:
    explicit LineWriter(char* pOut) : m_p(pOut), m_pEnd(pOut + kReplyLineMax) {}
    LineWriter& Text(const char* sz)
    {
        const size_t n = strnlen(sz, static_cast<size_t>(m_pEnd - m_p));
        std::memcpy(m_p, sz, n);
        m_p += n;
        return *this;
    }
    LineWriter& Int(int n)
    {
        m_p = std::to_chars(m_p, m_pEnd, n).ptr;
        return *this;
    }
    char* End() const { return m_p; }

private:
    char* m_p;
    char* const m_pEnd;
};

size_t ReplyLine(char* pOut, nox::SOCKID sock, int nLen, const char* szHost, int nPort,
                 const char* szIface, int nRow, int nRet)
{
    LineWriter line(pOut);
    line.Text("sock[").Int(LowInt(sock)).Text("] respLen[").Int(nLen).Text("] host[");
    line.Text(szHost).Text(":").Int(nPort).Text("] interface[");
    if (szIface != nullptr)
        line.Text(szIface);
    else
        line.Int(nRow);
    line.Text("] ret[").Int(nRet).Text("]");
    return static_cast<size_t>(line.End() - pOut);
}

// This thread's JSON state for the handler with instance t_nJsonInstance,
// owned by that handler (see CCUHandler::ThreadJson).
thread_local WorkerJson* t_pJson = nullptr;
thread_local uint64_t t_nJsonInstance = 0;

// The batch of the step running on this thread (the thread's own, see
// WorkerJson): a plain pointer, since a thread_local object with a
// destructor is freed wrongly at thread exit by the Windows toolchain's
// runtime.
thread_local ReplyBatch* t_pBatch = nullptr;

}  // namespace

// Gives this thread a batch unless it has one; the scope that gave it sends
// what is left when it ends. A worker step opens one, so its replies go out
// together; an exchange opens one too, so that it also sends on its own. The
// batch holds the adapter table that was current when it was given, until
// its replies and their lines are out: a request is answered from one table.
class CCUHandler::ReplyScope {
public:
    explicit ReplyScope(CCUHandler& handler) : m_handler(handler), m_bOwn(t_pBatch == nullptr)
    {
        if (m_bOwn) {
            m_hold.emplace(handler.m_table);
            ReplyBatch& batch = handler.ThreadJson().batch;
            batch.pTable = m_hold->get();
            batch.bTick = false;
            batch.bSerial = false;
            t_pBatch = &batch;
        }
    }
    ~ReplyScope()
    {
        if (!m_bOwn)
            return;
        try {
            m_handler.FlushReplies();
        } catch (...) {
            // nothing is left to send when memory runs out here
        }
        t_pBatch = nullptr;
    }
    ReplyScope(const ReplyScope&) = delete;
    ReplyScope& operator=(const ReplyScope&) = delete;

private:
    CCUHandler& m_handler;
    const bool m_bOwn;
    std::optional<velmora::Snapshot<velmora::AdapterTable>::Hold> m_hold;
};

namespace {

const std::vector<std::string>& TextsFor(WorkerJson& texts, const velmora::AdapterTable& table,
                                         const char* szSerial)
{
    if (texts.bBuilt && texts.nGeneration == table.nGeneration && texts.strSerial == szSerial)
        return texts.vecText;
    texts.bBuilt = false;   // stays unusable should a build throw
    const std::vector<AdapterEntry>& vecRow = table.vecAdapter;
    texts.vecText.assign(vecRow.size(), std::string());
    const velmora::ReplySettings settings =
        velmora::JsonSettings(*CServerConfig::instance(), szSerial);
    for (size_t i = 0; i < vecRow.size(); ++i) {
        if (vecRow[i].isOK != 0)
            texts.vecText[i] = velmora::BuildJsonText(vecRow[i], settings);
    }
    texts.strSerial = szSerial;
    texts.nGeneration = table.nGeneration;
    texts.bBuilt = true;
    return texts.vecText;
}
}  // namespace

// The handler keeps each thread's state rather than a thread_local object:
// the Windows toolchain's runtime can free a thread_local object's storage
// before its destructor runs at thread exit. A thread finds its own through
// plain thread_local pointers, checked against the handler's instance.
WorkerJson& CCUHandler::ThreadJson()
{
    if (t_pJson == nullptr || t_nJsonInstance != m_nInstance) {
        auto pJson = std::make_shared<WorkerJson>();
        {
            nox::MutexGuard guard(m_jsonMutex);
            m_vecJson.push_back(pJson);
        }
        t_pJson = pJson.get();
        t_nJsonInstance = m_nInstance;
    }
    return *t_pJson;
}

// Called inside a ReplyScope.
std::string& CCUHandler::NewReply(const reqBuffer& request, bool bJson, size_t nRow)
{
    ReplyBatch& batch = *t_pBatch;
    if (batch.nCount == kMaxPendingReplies)
        FlushReplies();
    if (batch.nCount == batch.vecReply.size())
        batch.vecReply.emplace_back();
    PendingReply& reply = batch.vecReply[batch.nCount++];
    reply.sock = request.m_sockId;
    (void)nox::Str::strcpy_x(reply.szHost, sizeof(reply.szHost), request.m_szAddr);
    reply.nPort = request.m_nSrcPort;
    reply.bJson = bJson;
    reply.nRow = nRow;
    return reply.strData;
}

void CCUHandler::FlushReplies()
{
    if (t_pBatch == nullptr || t_pBatch->nCount == 0)
        return;
    ReplyBatch& batch = *t_pBatch;
    const size_t nCount = batch.nCount;
    batch.nCount = 0;   // whatever happens next, these are done
    batch.vecOut.resize(nCount);
    for (size_t i = 0; i < nCount; ++i) {
        const PendingReply& reply = batch.vecReply[i];
        batch.vecOut[i] = {reply.strData.data(), static_cast<int>(reply.strData.size()),
                           reply.szHost, reply.nPort, {}};   // the send sets the result
    }
    for (size_t i = 0, j = 0; i < nCount; i = j) {
        for (j = i + 1; j < nCount && batch.vecReply[j].sock == batch.vecReply[i].sock;)
            ++j;
        (void)m_pEngine->SendToBatch(batch.vecReply[i].sock, &batch.vecOut[i],
                                     static_cast<int>(j - i));
    }
    // Requests that the replies bring back are this runner's to take as soon
    // as the lines are written.
    const nox::Runner::LastStretch stretch;
    nox::PrintLog& log = nox::PrintLog::instance();
    const bool bLines = log.Enabled(nox::kLogInfo);
    char szLine[kReplyLineMax];
    nox::PrintLog::Batch& lines = ThreadJson().lines;
    for (size_t i = 0; i < nCount; ++i) {
        const PendingReply& reply = batch.vecReply[i];
        const int nRet = batch.vecOut[i].nResult;
        CountSend(nRet);
        if (!bLines)
            continue;
        const char* szIface =
            reply.bJson ? batch.pTable->vecAdapter[reply.nRow].adapterName : nullptr;
        const size_t nLine = ReplyLine(szLine, reply.sock, batch.vecOut[i].nLen, reply.szHost,
                                       reply.nPort, szIface, static_cast<int>(reply.nRow), nRet);
        lines.Add(kSrc, __LINE__, reply.bJson ? kFnJson : kFnBinary, nox::kLogInfo, szLine, nLine);
    }
    lines.Commit();   // one hold of the log's queue for the step's lines
}

std::list<nox::Ref<reqBuffer>>& CCUHandler::SpareRecords()
{
    return ThreadJson().listSpare;
}

const velmora::AdapterTable& CCUHandler::BatchTable()
{
    return *t_pBatch->pTable;
}

// Requests are taken one at a time, so a stop still drops all that wait, and
// other runners take their share meanwhile. An exception from a library call
// must not end the worker thread, so each dispatch is guarded; what the
// requests before it made is sent and written before its line.
int CCUHandler::HandleRequest()
{
    static const char kFn[] = "CCUHandler::HandleRequest";
    ReplyScope scope(*this);
    std::list<nox::Ref<reqBuffer>>& listSpare = SpareRecords();
    bool bMore = true;
    for (int nTaken = 0; bMore && nTaken < kRequestsPerStep; ++nTaken) {
        std::list<nox::Ref<reqBuffer>> listNode;
        nox::Ref<reqBuffer> req = TakeRequest(bMore, listNode);
        if (!req)
            break;
        try {
            const uint8_t byHead = req->m_nLen > 0 ? static_cast<uint8_t>(req->m_pBuffer[0]) : 0;
            if (byHead == velmora::kHeadBinary) {
                nox::Ref<reqBuffer> reqExchange(req);
                (void)handle_same_segment(reqExchange);
            } else if (byHead == velmora::kHeadJson) {
                nox::Ref<reqBuffer> reqExchange(req);
                (void)handle_different_segment(reqExchange);
            }
        } catch (const std::exception& e) {
            FlushReplies();
            NOX_LOG(kSrc, kFn, nox::kLogError, "request failed host[%s:%d] error[%s]",
                    req->m_szAddr, req->m_nSrcPort, e.what());
        } catch (...) {
            FlushReplies();
            NOX_LOG(kSrc, kFn, nox::kLogError, "request failed host[%s:%d] error[unknown]",
                    req->m_szAddr, req->m_nSrcPort);
        }
        req.release();   // the node's own reference is then the last one
        if (listSpare.size() < static_cast<size_t>(kSpareRecords) && listNode.front()->RefCount() == 1)
            listSpare.splice(listSpare.end(), listNode);
    }
    FlushReplies();
    // The engine announces a batch of datagrams once, and that wakes at most
    // one idle runner: this one goes on with the rest at once, without waking
    // another one.
    if (bMore)
        nox::Runner::CallAgain();
    return 0;
}

// JSON request: 32-byte header, then the text up to the first zero byte (the
// copy ends with a zero after m_nLen bytes). 0 answered (also with no
// adapter), kErrParse when the text does not parse, kErrMethod for a wrong
// method. A datagram shorter than the header is not answered: a level-2
// line and kErrParse.
int CCUHandler::handle_different_segment(nox::Ref<reqBuffer>& req)
{
    static const char* const kFn = kFnJson;
    ReplyScope scope(*this);
    nox::Ref<reqBuffer> hold(std::move(req));
    const reqBuffer& request = *hold;

    if (request.m_nLen < static_cast<int>(velmora::kJsonHeaderLen)) {
        m_counters.Add(velmora::kDecodeFailed);
        FlushReplies();
        NOX_LOG(kSrc, kFn, nox::kLogDebug, "short request len[%d] host[%s:%d]", request.m_nLen,
                request.m_szAddr, request.m_nSrcPort);
        return kErrParse;
    }
    const char* pText = request.m_pBuffer + velmora::kJsonHeaderLen;
    const size_t nText = strnlen(pText, static_cast<size_t>(request.m_nLen) - velmora::kJsonHeaderLen);

    WorkerJson& json = ThreadJson();
    if (!json.bLastParsed || json.strLastText.size() != nText ||
        std::memcmp(json.strLastText.data(), pText, nText) != 0) {
        Json::Value root;
        bool bParsed = false;
        try {
            bParsed = json.reader.parse(pText, pText + nText, root, true);
        } catch (const Json::Exception&) {
            // Nesting beyond the reader's stack limit throws rather than fails.
        }
        if (!bParsed) {
            m_counters.Add(velmora::kDecodeFailed);
            // Garbage can arrive by the thousand: ten lines per 10 s, then a count.
            const velmora::LogThrottle::Due due = m_parseThrottle.Hit(nox::Time::GetTick());
            FlushReplies();
            if (due.bLine)
                ParseHeld(due.held);
            if (due.bLine)
                NOX_LOG(kSrc, kFn, nox::kLogError, "parse failed! host[%s:%d] request[%s]",
                        request.m_szAddr, request.m_nSrcPort, root.toStyledString().c_str());
            return kErrParse;
        }
        // The method reads with jsoncpp's own text conversion (5 reads "5", true
        // "true", null ""). A root that is not an object, or a method that is an
        // object or an array, has no such text (jsoncpp would throw): it reads as
        // empty, a wrong method.
        // The kept text and method change together or not at all (a throw
        // in between leaves the last pair as it was).
        std::string strParsedMethod;
        if (root.isObject()) {
            const Json::Value& method = root["method"];
            if (method.isConvertibleTo(Json::stringValue))
                strParsedMethod = method.asString();
        }
        json.strLastText.assign(pText, nText);
        json.strLastMethod.swap(strParsedMethod);
        json.bLastParsed = true;
    }
    const std::string& strMethod = json.strLastMethod;
    if (strMethod != velmora::kSearchMethod) {
        m_counters.Add(velmora::kDecodeFailed);
        FlushReplies();
        NOX_LOG(kSrc, kFn, nox::kLogDebug, "method error! host[%s:%d] method[%s]",
                request.m_szAddr, request.m_nSrcPort, strMethod.c_str());
        return kErrMethod;
    }

    const velmora::AdapterTable& table = BatchTable();
    if (!TakeReplyBudget(table.nAnswering, kFn))
        return 0;

    ReplyBatch& batch = *t_pBatch;
    if (!batch.bSerial) {
        std::memset(batch.szSerial, 0, sizeof(batch.szSerial));
        (void)nox::Status::instance().getSerialNum(batch.szSerial, kSerialSize);
        batch.szSerial[kSerialSize - 1] = '\0';
        batch.bSerial = true;
    }
    const std::vector<std::string>& vecText = TextsFor(json, table, batch.szSerial);
    for (size_t i = 0; i < table.vecAdapter.size(); ++i) {
        const AdapterEntry& row = table.vecAdapter[i];
        if (row.isOK == 0)
            continue;
        velmora::BuildJsonReply(request.m_pBuffer, vecText[i], NewReply(request, true, i));
    }
    return 0;
}

// Binary request: only bytes 1 and 16 are read, so a datagram shorter than
// 17 bytes gets no answer (logged at level 2). Always 0.
int CCUHandler::handle_same_segment(nox::Ref<reqBuffer>& req)
{
    static const char* const kFn = kFnBinary;
    ReplyScope scope(*this);
    nox::Ref<reqBuffer> hold(std::move(req));
    const reqBuffer& request = *hold;

    const velmora::AdapterTable& table = BatchTable();
    if (table.vecAdapter.empty())
        return 0;
    if (request.m_nLen < static_cast<int>(velmora::kBinRequestMinLen)) {
        m_counters.Add(velmora::kDecodeFailed);
        FlushReplies();
        NOX_LOG(kSrc, kFn, nox::kLogDebug, "short request len[%d] host[%s:%d]", request.m_nLen,
                request.m_szAddr, request.m_nSrcPort);
        return 0;
    }
    if (!TakeReplyBudget(table.nAnswering, kFn))
        return 0;
    const uint8_t byEcho1 = static_cast<uint8_t>(request.m_pBuffer[velmora::kBinEchoOffset1]);
    const uint8_t byEcho16 = static_cast<uint8_t>(request.m_pBuffer[velmora::kBinEchoOffset16]);

    for (size_t i = 0; i < table.vecAdapter.size(); ++i) {
        if (table.vecAdapter[i].isOK == 0)
            continue;
        std::string& strReply = NewReply(request, false, i);
        strReply = table.vecBinaryRecord[i];
        strReply[velmora::kBinEchoOffset1] = static_cast<char>(byEcho1);
        strReply[velmora::kBinEchoOffset16] = static_cast<char>(byEcho16);
    }
    return 0;
}

// All of one request's replies, or none: a request is never answered for
// only some of the adapters.
void CCUHandler::ParseHeld(const velmora::LogThrottle::Held& held)
{
    if (held.nCount != 0)
        NOX_LOG(kSrc, kFnJson, nox::kLogError, "parse failed: %" PRIu64 " more %s not logged in %u s",
                held.nCount, held.nCount == 1 ? "request" : "requests", held.nSeconds);
}

bool CCUHandler::TakeReplyBudget(uint32_t nReplies, const char* szFn)
{
    if (!m_replyBudget.Limited())
        return true;
    ReplyBatch& batch = *t_pBatch;
    if (!batch.bTick) {
        batch.nTick = nox::Time::GetTick();
        batch.bTick = true;
    }
    if (m_replyBudget.Take(nReplies, batch.nTick))
        return true;
    m_counters.Add(velmora::kRepliesWithheld, nReplies);
    FlushReplies();
    Warn(kWarnWithheld, szFn);
    return false;
}

// A reply whose route went with an interface (its sender was on a link that
// is gone) fails; such failures are also summed up in a throttled warning.
void CCUHandler::CountSend(int nRet)
{
    m_counters.Add(nRet == 0 ? velmora::kRepliesSent : velmora::kSendErrors);
    if (nRet != 0 && nox::NetEngine::IsNoRoute(nRet))
        Warn(kWarnNoRoute, kFnFlush);
}
