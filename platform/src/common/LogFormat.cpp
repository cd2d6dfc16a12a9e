#include "common/LogFormat.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/JournalOs.h"
#include "common/RuntimeOs.h"
#include "nox/PrintLog.h"

namespace nox {
namespace logfmt {

namespace {

constexpr size_t kMaxMessage = 64 * 1024;        // longer messages are cut and marked
const char kCutMark[] = " ...[truncated]";

void AppendLevel(std::string& strOut, int nLevel)
{
    switch (nLevel) {
    case kLogDebug: strOut += "DEBUG"; return;
    case kLogInfo: strOut += "INFO"; return;
    case kLogError: strOut += "ERROR"; return;
    default: strOut += "LEVEL" + std::to_string(nLevel); return;
    }
}

// Decimal digits of n, as printf's %ld writes them.
void AppendDec(std::string& strOut, long n)
{
    char szNum[24];
    const std::to_chars_result result = std::to_chars(szNum, szNum + sizeof(szNum), n);
    strOut.append(szNum, result.ptr);
}

#ifdef _WIN32
// Reached through plain pointers and left behind at thread exit (a few
// hundred bytes a thread): the mingw-w64 runtime can free a thread_local
// object's storage before that object's destructor runs.
thread_local std::string* t_pMsg = nullptr;
thread_local std::string* t_pLine = nullptr;
#else
thread_local std::string t_strMsg;
thread_local std::string t_strLine;
#endif

}  // namespace

#ifdef _WIN32
std::string& ThreadMsg()
{
    return t_pMsg != nullptr ? *t_pMsg : *(t_pMsg = new std::string);
}
std::string& ThreadLine()
{
    return t_pLine != nullptr ? *t_pLine : *(t_pLine = new std::string);
}
#else
std::string& ThreadMsg()
{
    return t_strMsg;
}
std::string& ThreadLine()
{
    return t_strLine;
}
#endif

void FormatMessage(std::string& strOut, const char* szFmt, va_list args)
{
    char szSmall[1024];
    va_list copy;
    va_copy(copy, args);
    const int nLen = vsnprintf(szSmall, sizeof(szSmall), szFmt, copy);
    va_end(copy);
    if (nLen < 0) {
        strOut = "(bad log format)";
        return;
    }
    const size_t nNeed = static_cast<size_t>(nLen);
    if (nNeed < sizeof(szSmall)) {
        strOut.assign(szSmall, nNeed);
        return;
    }
    const size_t nKeep = nNeed < kMaxMessage ? nNeed : kMaxMessage;
    std::vector<char> vecBuf(nKeep + 1);
    vsnprintf(vecBuf.data(), vecBuf.size(), szFmt, args);
    strOut.assign(vecBuf.data(), nKeep);
    if (nNeed > kMaxMessage)
        strOut += kCutMark;
}

void AppendLine(std::string& strOut, const char* szTime, int nLevel, const char* szFile, int nLine,
                const char* szFunc, const char* pMsg, size_t nMsg)
{
    strOut += szTime;
    strOut += ' ';
    AppendLevel(strOut, nLevel);
    strOut += " [";
    AppendDec(strOut, os::CurrentThreadId());
    strOut += "] ";
    strOut += szFile;
    strOut += ':';
    AppendDec(strOut, nLine);
    strOut += ' ';
    strOut += szFunc;
    strOut += ": ";
    strOut.append(pMsg, nMsg);
    if (nMsg == 0 || pMsg[nMsg - 1] != '\n')
        strOut += '\n';
}

void FormatLine(std::string& strLine, int nLevel, const char* szFile, int nLine,
                const char* szFunc, const std::string& strMsg)
{
    char szTime[32];
    os::LocalTimeText(szTime, sizeof(szTime));
    strLine.clear();
    AppendLine(strLine, szTime, nLevel, szFile, nLine, szFunc, strMsg.data(), strMsg.size());
}

int JournalPriority(int nLevel)
{
    if (nLevel <= kLogDebug)
        return 7;
    if (nLevel <= kLogInfo)
        return 6;
    return nLevel >= kLogError ? 3 : 5;
}

const char* JournalPrefix(int nLevel)
{
    static const char* const kPrefix[8] = {"<0>", "<1>", "<2>", "<3>", "<4>", "<5>", "<6>", "<7>"};
    return kPrefix[JournalPriority(nLevel)];
}

// "YYYY-MM-DD HH:MM:SS.mmm LEVEL [TID] SOURCE:LINE FUNCTION: MESSAGE\n"
bool SplitLine(const char* pLine, size_t nLen, LineParts& parts)
{
    const char* pEnd = pLine + nLen;
    if (nLen > 0 && pEnd[-1] == '\n')
        --pEnd;
    const char* p = static_cast<const char*>(std::memchr(pLine, '[', static_cast<size_t>(pEnd - pLine)));
    if (p == nullptr)
        return false;
    parts.pTid = ++p;
    while (p < pEnd && *p != ']')
        ++p;
    parts.nTidLen = static_cast<size_t>(p - parts.pTid);
    if (p + 2 > pEnd || p[1] != ' ')
        return false;
    parts.pFile = p += 2;
    const char* pSpace = static_cast<const char*>(std::memchr(p, ' ', static_cast<size_t>(pEnd - p)));
    if (pSpace == nullptr)
        return false;
    const char* pColon = pSpace;
    while (pColon > p && pColon[-1] != ':')
        --pColon;
    if (pColon == p)
        return false;
    parts.nFileLen = static_cast<size_t>(pColon - 1 - p);
    parts.pLineNo = pColon;
    parts.nLineNoLen = static_cast<size_t>(pSpace - pColon);
    parts.pText = pSpace + 1;
    parts.nTextLen = static_cast<size_t>(pEnd - parts.pText);
    return true;
}

void WriteJournalLine(int nLevel, const char* pLine, size_t nLen)
{
    LineParts parts;
    if (SplitLine(pLine, nLen, parts) && os::JournalEntry(JournalPriority(nLevel), parts))
        return;
    os::WriteStderr(JournalPrefix(nLevel), 3);
    os::WriteStderr(pLine, nLen);
}

bool StderrIsJournal()
{
    static const bool s_bJournal = os::StderrIsJournal();
    return s_bJournal;
}

bool JournalEntries()
{
    static const bool s_bEntries = StderrIsJournal() && os::JournalReachable();
    return s_bEntries;
}

void AppendStderrLine(std::string& strOut, int nLevel, const char* pLine, size_t nLen)
{
    if (StderrIsJournal())
        strOut += JournalPrefix(nLevel);
    strOut.append(pLine, nLen);
}

}  // namespace logfmt
}  // namespace nox
