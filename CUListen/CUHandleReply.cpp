// CCUHandler's two reply exchanges. Worker threads; no lock: the adapter
// table and the configuration are fixed before the first worker starts.
#include <algorithm>
#include <cinttypes>
#include <cstring>

#include <json/json.h>

#include "CUListen/CUHandle.h"
#include "CUListen/DiscoveryReply.h"
#include "CUListen/Protocol.h"
#include "Service/Service.h"
#include "nox/PrintLog.h"
#include "nox/Status.h"
#include "nox/Time.h"

namespace {
const char kSrc[] = "CUListen/CUHandle";
const int kSerialSize = 256;

int LowInt(nox::SOCKID sock)
{
    return static_cast<int>(static_cast<uint32_t>(sock));
}

// One worker's JSON reply texts, one per row of one handler's table (empty
// for a row that does not answer), for one serial number text: the
// configuration and the table are fixed once the handler has started, so
// only a new serial text, or another handler, makes them stale.
struct JsonTexts {
    uint64_t nInstance = 0;
    std::string strSerial;
    std::vector<std::string> vecText;
    std::string strReply;   // the datagram being sent, reused
};
thread_local JsonTexts t_json;
thread_local Json::Reader t_reader;   // parse() starts afresh each time

const std::vector<std::string>& TextsFor(uint64_t nInstance, const std::vector<AdapterEntry>& vecRow,
                                         const char* szSerial)
{
    JsonTexts& texts = t_json;
    if (texts.nInstance == nInstance && texts.strSerial == szSerial)
        return texts.vecText;
    texts.nInstance = 0;   // stays unusable should a build throw
    texts.vecText.assign(vecRow.size(), std::string());
    const velmora::ReplySettings settings =
        velmora::JsonSettings(*CServerConfig::instance(), szSerial);
    for (size_t i = 0; i < vecRow.size(); ++i) {
        if (vecRow[i].isOK != 0)
            texts.vecText[i] = velmora::BuildJsonText(vecRow[i], settings);
    }
    texts.strSerial = szSerial;
    texts.nInstance = nInstance;
    return texts.vecText;
}
}  // namespace

void CCUHandler::BuildBinaryRecords()
{
    const velmora::ReplySettings settings = velmora::BinarySettings(*CServerConfig::instance());
    m_vecBinaryRecord.assign(m_vecAdapter.size(), std::string());
    for (size_t i = 0; i < m_vecAdapter.size(); ++i) {
        if (m_vecAdapter[i].isOK == 0)
            continue;
        uint8_t abRecord[velmora::kBinRecordMax];
        const size_t nLen = velmora::BuildBinaryReply(m_vecAdapter[i], settings, 0, 0, abRecord);
        m_vecBinaryRecord[i].assign(reinterpret_cast<const char*>(abRecord), nLen);
    }
}

// JSON request: 32-byte header, then the text up to the first zero byte (the
// copy ends with a zero after m_nLen bytes). 0 answered (also with no
// adapter), kErrParse when the text does not parse, kErrMethod for a wrong
// method. A datagram shorter than the header is not answered: a level-2
// line and kErrParse.
int CCUHandler::handle_different_segment(nox::Ref<reqBuffer>& req)
{
    static const char kFn[] = "CCUHandler::handle_different_segment";
    nox::Ref<reqBuffer> hold(std::move(req));
    const reqBuffer& request = *hold;

    if (request.m_nLen < static_cast<int>(velmora::kJsonHeaderLen)) {
        m_counters.Add(velmora::kDecodeFailed);
        NOX_LOG(kSrc, kFn, nox::kLogDebug, "short request len[%d] host[%s:%d]", request.m_nLen,
                request.m_szAddr, request.m_nSrcPort);
        return kErrParse;
    }
    const char* pText = request.m_pBuffer + velmora::kJsonHeaderLen;
    const size_t nText = strnlen(pText, static_cast<size_t>(request.m_nLen) - velmora::kJsonHeaderLen);

    Json::Value root;
    bool bParsed = false;
    try {
        bParsed = t_reader.parse(pText, pText + nText, root, true);
    } catch (const Json::Exception&) {
        // Nesting beyond the reader's stack limit throws rather than fails.
    }
    if (!bParsed) {
        m_counters.Add(velmora::kDecodeFailed);
        // Garbage can arrive by the thousand: ten lines per 10 s, then a count.
        const velmora::LogThrottle::Due due = m_parseThrottle.Hit(nox::Time::GetTick());
        if (due.nHeld != 0)
            NOX_LOG(kSrc, kFn, nox::kLogError,
                    "parse failed: %" PRIu64 " requests not logged in the last %u s", due.nHeld,
                    due.nSeconds);
        if (due.bLine)
            NOX_LOG(kSrc, kFn, nox::kLogError, "parse failed! host[%s:%d] request[%s]",
                    request.m_szAddr, request.m_nSrcPort, root.toStyledString().c_str());
        return kErrParse;
    }

    // The method reads with jsoncpp's own text conversion (5 reads "5", true
    // "true", null ""). A root that is not an object, or a method that is an
    // object or an array, has no such text (jsoncpp would throw): it reads as
    // empty, a wrong method.
    std::string strMethod;
    if (root.isObject()) {
        const Json::Value& method = root["method"];
        if (method.isConvertibleTo(Json::stringValue))
            strMethod = method.asString();
    }
    if (strMethod != velmora::kSearchMethod) {
        m_counters.Add(velmora::kDecodeFailed);
        NOX_LOG(kSrc, kFn, nox::kLogDebug, "method error! host[%s:%d] method[%s]",
                request.m_szAddr, request.m_nSrcPort, strMethod.c_str());
        return kErrMethod;
    }

    if (!TakeReplyBudget(kFn))
        return 0;

    char szSerial[kSerialSize];
    std::memset(szSerial, 0, sizeof(szSerial));
    (void)nox::Status::instance().getSerialNum(szSerial, kSerialSize);
    szSerial[kSerialSize - 1] = '\0';

    const std::vector<std::string>& vecText = TextsFor(m_nInstance, m_vecAdapter, szSerial);
    for (size_t i = 0; i < m_vecAdapter.size(); ++i) {
        const AdapterEntry& row = m_vecAdapter[i];
        if (row.isOK == 0)
            continue;
        std::string& strReply = t_json.strReply;
        velmora::BuildJsonReply(request.m_pBuffer, vecText[i], strReply);
        const int nLen = static_cast<int>(strReply.size());
        const int nRet = m_pEngine->SendTo(request.m_sockId, strReply.data(), nLen,
                                           request.m_szAddr, request.m_nSrcPort);
        CountSend(nRet);
        NOX_LOG(kSrc, kFn, nox::kLogInfo, "sock[%d] respLen[%d] host[%s:%d] interface[%s] ret[%d]",
                LowInt(request.m_sockId), nLen, request.m_szAddr, request.m_nSrcPort,
                row.adapterName, nRet);
    }
    return 0;
}

// Binary request: only bytes 1 and 16 are read, so a datagram shorter than
// 17 bytes gets no answer (logged at level 2). Always 0.
int CCUHandler::handle_same_segment(nox::Ref<reqBuffer>& req)
{
    static const char kFn[] = "CCUHandler::handle_same_segment";
    nox::Ref<reqBuffer> hold(std::move(req));
    const reqBuffer& request = *hold;

    if (m_vecAdapter.empty())
        return 0;
    if (request.m_nLen < static_cast<int>(velmora::kBinRequestMinLen)) {
        m_counters.Add(velmora::kDecodeFailed);
        NOX_LOG(kSrc, kFn, nox::kLogDebug, "short request len[%d] host[%s:%d]", request.m_nLen,
                request.m_szAddr, request.m_nSrcPort);
        return 0;
    }
    if (!TakeReplyBudget(kFn))
        return 0;
    const uint8_t byEcho1 = static_cast<uint8_t>(request.m_pBuffer[velmora::kBinEchoOffset1]);
    const uint8_t byEcho16 = static_cast<uint8_t>(request.m_pBuffer[velmora::kBinEchoOffset16]);

    for (size_t i = 0; i < m_vecAdapter.size(); ++i) {
        if (m_vecAdapter[i].isOK == 0)
            continue;
        const std::string& strRecord = m_vecBinaryRecord[i];
        uint8_t abRecord[velmora::kBinRecordMax];
        const size_t nLen = strRecord.size();
        std::memcpy(abRecord, strRecord.data(), nLen);
        abRecord[velmora::kBinEchoOffset1] = byEcho1;
        abRecord[velmora::kBinEchoOffset16] = byEcho16;
        const int nRet =
            m_pEngine->SendTo(request.m_sockId, reinterpret_cast<const char*>(abRecord),
                              static_cast<int>(nLen), request.m_szAddr, request.m_nSrcPort);
        CountSend(nRet);
        NOX_LOG(kSrc, kFn, nox::kLogInfo, "sock[%d] respLen[%d] host[%s:%d] interface[%d] ret[%d]",
                LowInt(request.m_sockId), static_cast<int>(nLen), request.m_szAddr,
                request.m_nSrcPort, static_cast<int>(i), nRet);
    }
    return 0;
}

// All of one request's replies, or none: a request is never answered for
// only some of the adapters.
bool CCUHandler::TakeReplyBudget(const char* szFn)
{
    const uint32_t nReplies = static_cast<uint32_t>(
        std::count_if(m_vecAdapter.begin(), m_vecAdapter.end(),
                      [](const AdapterEntry& row) { return row.isOK != 0; }));
    if (m_replyBudget.Take(nReplies, nox::Time::GetTick()))
        return true;
    m_counters.Add(velmora::kRepliesWithheld, nReplies);
    Warn(kWarnWithheld, szFn);
    return false;
}

void CCUHandler::CountSend(int nRet)
{
    m_counters.Add(nRet == 0 ? velmora::kRepliesSent : velmora::kSendErrors);
}
