#include "nox/PrintLog.h"

#include <spdlog/details/log_msg.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/JournalOs.h"
#include "common/RuntimeOs.h"
#include "nox/Time.h"

namespace nox {

namespace {

const char kSrc[] = "nox/PrintLog";
constexpr size_t kMaxMessage = 64 * 1024;        // longer messages are cut and marked
const char kCutMark[] = " ...[truncated]";
constexpr size_t kKeptFiles = 5;                 // <base>.1.log ... <base>.5.log
constexpr size_t kDefaultFileSize = 0xC800000;
constexpr uint32_t kFileRetryMs = 1000;          // a failed file is tried again after this

std::mutex g_observerMutex;
detail::LogObserver* g_pObserver = nullptr;     // guarded by g_observerMutex

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

std::string LevelText(int nLevel)
{
    switch (nLevel) {
    case kLogDebug: return "DEBUG";
    case kLogInfo: return "INFO";
    case kLogError: return "ERROR";
    default: return "LEVEL" + std::to_string(nLevel);
    }
}

template <class Sink>
std::shared_ptr<spdlog::sinks::sink> WithPlainFormat(std::shared_ptr<Sink> pSink)
{
    // The line is complete (newline included) when it reaches the sink.
    pSink->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "%v", spdlog::pattern_time_type::local, std::string()));
    return pSink;
}

// The priority a journal stream reads at the start of a line: "<3>" error,
// "<6>" info, "<7>" debug (levels between take the nearer syslog priority).
std::string JournalPrefix(int nLevel)
{
    if (nLevel <= kLogDebug)
        return "<7>";
    if (nLevel <= kLogInfo)
        return "<6>";
    return nLevel >= kLogError ? "<3>" : "<5>";
}

std::string FolderOf(const std::string& strBase)
{
    const size_t nSlash = strBase.rfind('/');
    if (nSlash == std::string::npos)
        return std::string();
    return nSlash == 0 ? std::string("/") : strBase.substr(0, nSlash);
}

}  // namespace

// The sinks and their settings. m_mutex guards the file sink, its state, the
// file path and the size limit, so a line is written whole while SetFileSize
// or OpenFile swap the file sink; the level and the switches are atomics read
// without it. Each output fails on its own: a file that cannot be written
// (full disk) is closed, loses its lines and is opened again at most once per
// kFileRetryMs; standard error drops only what it cannot write itself.
struct PrintLog::Impl {
    std::atomic<int> nLevel{kLogInfo};
    std::atomic<bool> bStderr{true};
    std::atomic<bool> bSyslog{false};

    std::mutex mutex;
    std::shared_ptr<spdlog::sinks::sink> pFile;
    bool bFileFailed = false;                    // strFilePath is wanted but pFile failed
    uint32_t nFileFailTick = 0;                  // when it last failed
    std::string strFilePath;
    size_t nFileSize = kDefaultFileSize;
    bool bSyslogOpen = false;
    const bool bStderrJournal = os::StderrIsJournal();   // stderr is the journal's stream

    // Opens the rotating file sink on strFilePath; "" on success, else why not.
    std::string OpenSinkLocked()
    {
        pFile.reset();
        std::string strErr;
        if (!os::CanWriteFile(strFilePath, strErr))
            return strErr;
        try {
            pFile = WithPlainFormat(std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
                strFilePath, nFileSize, kKeptFiles));
        } catch (const spdlog::spdlog_ex& ex) {
            return ex.what();
        }
        return std::string();
    }

    // The journal gets the line with its priority in front; anything else
    // the line as the file has it.
    void WriteStderrLine(int nLevelOfLine, const std::string& strLine)
    {
        if (!bStderrJournal) {
            os::WriteStderr(strLine.data(), strLine.size());
            return;
        }
        const std::string strTagged = JournalPrefix(nLevelOfLine) + strLine;
        os::WriteStderr(strTagged.data(), strTagged.size());
    }

    void WriteFileLocked(const std::string& strLine)
    {
        if (!pFile) {
            if (!bFileFailed || Time::GetTick() - nFileFailTick < kFileRetryMs)
                return;
            if (!OpenSinkLocked().empty()) {
                nFileFailTick = Time::GetTick();
                return;
            }
        }
        const spdlog::details::log_msg msg(spdlog::source_loc{}, spdlog::string_view_t(),
                                           spdlog::level::info,
                                           spdlog::string_view_t(strLine.data(), strLine.size()));
        try {
            pFile->log(msg);
            pFile->flush();
            bFileFailed = false;
        } catch (const std::exception&) {
            // A full disk must not take the caller down; the file's copy is lost.
            pFile.reset();
            bFileFailed = true;
            nFileFailTick = Time::GetTick();
        }
    }

    void WriteLocked(int nLevelOfLine, const std::string& strLine)
    {
        WriteFileLocked(strLine);
        if (bStderr.load())
            WriteStderrLine(nLevelOfLine, strLine);
        if (bSyslog.load()) {
            if (!bSyslogOpen) {
                os::SyslogOpen();
                bSyslogOpen = true;
            }
            os::SyslogLine(nLevelOfLine, strLine.c_str());
        }
    }
};

PrintLog& PrintLog::instance()
{
    // Never destroyed: threads may still log while the process exits.
    static PrintLog* s_pLog = new PrintLog();
    return *s_pLog;
}

PrintLog::PrintLog() : m_pImpl(new Impl()) {}

PrintLog::~PrintLog()
{
    delete m_pImpl;
}

void PrintLog::Log(const char* szFile, int nLine, const char* szFunc, const char* szModule,
                   int nLevel, const char* szFmt, ...)
{
    va_list args;
    va_start(args, szFmt);
    LogV(szFile, nLine, szFunc, szModule, nLevel, szFmt, args);
    va_end(args);
}

void PrintLog::LogV(const char* szFile, int nLine, const char* szFunc, const char* /*szModule*/,
                    int nLevel, const char* szFmt, va_list args)
{
    if (nLevel < m_pImpl->nLevel.load(std::memory_order_relaxed))
        return;
    if (szFile == nullptr)
        szFile = "";
    if (szFunc == nullptr)
        szFunc = "";

    std::string strMsg;
    if (szFmt != nullptr)
        FormatMessage(strMsg, szFmt, args);

    char szTime[32];
    os::LocalTimeText(szTime, sizeof(szTime));
    std::string strLine;
    strLine.reserve(strMsg.size() + 96);
    strLine += szTime;
    strLine += ' ';
    strLine += LevelText(nLevel);
    strLine += " [";
    strLine += std::to_string(os::CurrentThreadId());
    strLine += "] ";
    strLine += szFile;
    strLine += ':';
    strLine += std::to_string(nLine);
    strLine += ' ';
    strLine += szFunc;
    strLine += ": ";
    strLine += strMsg;
    if (strMsg.empty() || strMsg.back() != '\n')
        strLine += '\n';

    {
        std::lock_guard<std::mutex> lock(m_pImpl->mutex);
        m_pImpl->WriteLocked(nLevel, strLine);
    }
    std::lock_guard<std::mutex> lock(g_observerMutex);
    if (g_pObserver != nullptr)
        g_pObserver->OnLine(nLevel, szFile, nLine, szFunc, strMsg.c_str());
}

void PrintLog::SetLevel(int nLevel)
{
    m_pImpl->nLevel.store(nLevel);
}

int PrintLog::GetLevel() const
{
    return m_pImpl->nLevel.load();
}

void PrintLog::SetStderr(bool bOn)
{
    m_pImpl->bStderr.store(bOn);
}

void PrintLog::SetSyslog(bool bOn)
{
    m_pImpl->bSyslog.store(bOn);
}

void PrintLog::SetFileSize(unsigned nBytes)
{
    std::string strErr;
    std::string strPath;
    {
        std::lock_guard<std::mutex> lock(m_pImpl->mutex);
        strPath = m_pImpl->strFilePath;
        // 0 means no practical limit (the sink needs a positive size).
        m_pImpl->nFileSize = nBytes == 0 ? static_cast<size_t>(-1) / 2 : nBytes;
        if (m_pImpl->pFile)
            strErr = m_pImpl->OpenSinkLocked();
    }
    if (!strErr.empty())
        Log(kSrc, __LINE__, "PrintLog::SetFileSize", "", kLogError,
            "log file %s could not be opened: %s", strPath.c_str(), strErr.c_str());
}

int PrintLog::OpenFile(const char* szBasePath)
{
    const std::string strBase = szBasePath != nullptr ? szBasePath : "";
    const std::string strPath = strBase + ".log";
    std::string strErr;
    if (strBase.empty()) {
        strErr = "empty log base name";
    } else if (os::MakeDirs(FolderOf(strBase), strErr) == 0) {
        std::lock_guard<std::mutex> lock(m_pImpl->mutex);
        m_pImpl->strFilePath = strPath;
        m_pImpl->bFileFailed = false;
        strErr = m_pImpl->OpenSinkLocked();
    }
    if (strErr.empty())
        return 0;
    Log(kSrc, __LINE__, "PrintLog::OpenFile", "", kLogError,
        "log file %s could not be opened: %s", strPath.c_str(), strErr.c_str());
    return -1;
}

void PrintLog::CloseFile()
{
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    if (m_pImpl->pFile)
        m_pImpl->pFile->flush();
    m_pImpl->pFile.reset();
    m_pImpl->bFileFailed = false;
    if (m_pImpl->bSyslogOpen) {
        os::SyslogClose();
        m_pImpl->bSyslogOpen = false;
    }
}

void PrintLog::Flush()
{
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    if (m_pImpl->pFile)
        m_pImpl->pFile->flush();
}

namespace detail {
LogObserver* SwapLogObserver(LogObserver* pObserver)
{
    std::lock_guard<std::mutex> lock(g_observerMutex);
    LogObserver* pPrev = g_pObserver;
    g_pObserver = pObserver;
    return pPrev;
}
}  // namespace detail

}  // namespace nox
