#include "nox/PrintLog.h"

#include <spdlog/details/log_msg.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
constexpr size_t kQueueBytes = 512 * 1024;       // each of the writer's two line buffers
constexpr size_t kWakeBytes = 64 * 1024;         // a buffer this full is written at once
constexpr uint32_t kFlushDelayMs = 200;          // the longest a line waits (tick clock)
constexpr size_t kStderrPiece = 4096;            // whole lines per write, up to PIPE_BUF

std::mutex g_observerMutex;
detail::LogObserver* g_pObserver = nullptr;     // guarded by g_observerMutex

// Each line's buffers, reused: a log call allocates nothing once they have grown.
#ifdef _WIN32
// Reached through plain pointers and left behind at thread exit (a few
// hundred bytes a thread): the mingw-w64 runtime can free a thread_local
// object's storage before that object's destructor runs.
thread_local std::string* t_pMsg = nullptr;
thread_local std::string* t_pLine = nullptr;
std::string& ThreadMsg()
{
    return t_pMsg != nullptr ? *t_pMsg : *(t_pMsg = new std::string);
}
std::string& ThreadLine()
{
    return t_pLine != nullptr ? *t_pLine : *(t_pLine = new std::string);
}
#else
thread_local std::string t_strMsg;
thread_local std::string t_strLine;
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
    char* p = szNum + sizeof(szNum);
    unsigned long nAbs = n < 0 ? 0ul - static_cast<unsigned long>(n) : static_cast<unsigned long>(n);
    do {
        *--p = static_cast<char>('0' + nAbs % 10);
        nAbs /= 10;
    } while (nAbs != 0);
    if (n < 0)
        *--p = '-';
    strOut.append(p, static_cast<size_t>(szNum + sizeof(szNum) - p));
}

// The whole line, newline included:
//   YYYY-MM-DD HH:MM:SS.mmm LEVEL [TID] SOURCE:LINE FUNCTION: MESSAGE
void FormatLine(std::string& strLine, int nLevel, const char* szFile, int nLine,
                const char* szFunc, const std::string& strMsg)
{
    char szTime[32];
    os::LocalTimeText(szTime, sizeof(szTime));
    strLine.clear();
    strLine += szTime;
    strLine += ' ';
    AppendLevel(strLine, nLevel);
    strLine += " [";
    AppendDec(strLine, os::CurrentThreadId());
    strLine += "] ";
    strLine += szFile;
    strLine += ':';
    AppendDec(strLine, nLine);
    strLine += ' ';
    strLine += szFunc;
    strLine += ": ";
    strLine += strMsg;
    if (strMsg.empty() || strMsg.back() != '\n')
        strLine += '\n';
}

// The priority a journal stream reads at the start of a line: "<3>" error,
// "<6>" info, "<7>" debug (levels between take the nearer syslog priority).
const char* JournalPrefix(int nLevel)
{
    if (nLevel <= kLogDebug)
        return "<7>";
    if (nLevel <= kLogInfo)
        return "<6>";
    return nLevel >= kLogError ? "<3>" : "<5>";
}

// The one place where a log line becomes bytes for standard error: the
// journal gets the line with its priority in front, anything else the line
// as the file has it.
void AppendStderrLine(std::string& strOut, int nLevel, const char* pLine, size_t nLen)
{
    static const bool s_bJournal = os::StderrIsJournal();
    if (s_bJournal)
        strOut += JournalPrefix(nLevel);
    strOut.append(pLine, nLen);
}

template <class Sink>
std::shared_ptr<spdlog::sinks::sink> WithPlainFormat(std::shared_ptr<Sink> pSink)
{
    // The line is complete (newline included) when it reaches the sink.
    pSink->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "%v", spdlog::pattern_time_type::local, std::string()));
    return pSink;
}

std::string FolderOf(const std::string& strBase)
{
    const size_t nSlash = strBase.rfind('/');
    if (nSlash == std::string::npos)
        return std::string();
    return nSlash == 0 ? std::string("/") : strBase.substr(0, nSlash);
}

// One line in a LineBuf: this head, then nLen bytes.
struct LineHead {
    uint32_t nLen;
    int32_t nLevel;
};

// Queued lines, one LineHead and its bytes after the other. nSize grows only
// under the queue lock and is published after the bytes (release), so the
// crash handler reads whole lines without a lock.
struct LineBuf {
    std::unique_ptr<char[]> pData{new char[kQueueBytes]};
    std::atomic<size_t> nSize{0};
};

// What the crash handler reads: the log file's path (rewritten only under the
// sink lock, while g_bPathSet is false), the buffer being filled, and the
// buffer the writer is writing, if any.
char g_szCrashPath[1024] = "";
std::atomic<bool> g_bPathSet{false};
std::atomic<LineBuf*> g_pFill{nullptr};
std::atomic<LineBuf*> g_pTaken{nullptr};
std::atomic<bool> g_bStderr{true};             // PrintLog::SetStderr, for the crash handler

}  // namespace

// The sinks and their settings. mutex guards the file sink, its state, the
// file path and the size limit, so a line is written whole while SetFileSize
// or OpenFile swap the file sink; the level and the switches are atomics read
// without it. Each output fails on its own: a file that cannot be written
// (full disk) is closed, loses its lines and is opened again at most once per
// kFileRetryMs; standard error drops only what it cannot write itself.
//
// With the writer thread running (StartWriter), a call only formats its line
// and queues it under queueMutex; the writer writes the queue in batches.
// Lock order: mutex before queueMutex. Lines of one thread keep their order,
// also across a start or stop of the writer: every write under mutex first
// writes what is queued.
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
    std::string strFileBatch, strErrBatch;       // a batch's text per output

    std::mutex queueMutex;
    std::condition_variable queueCv;
    LineBuf aBuf[2];
    LineBuf* pFill = &aBuf[0];                   // guarded by queueMutex
    bool bWriter = false;                        // the writer thread takes lines
    bool bStop = false;
    bool bWriterIdle = false;                    // waiting for a first line
    bool bUrgent = false;                        // an error line or a full buffer waits
    uint32_t nFirstTick = 0;                     // of the oldest queued line
    std::atomic<bool> bWriterOn{false};          // bWriter, read without the lock
    std::thread writer;

    // Opens the rotating file sink on strFilePath; "" on success, else why not.
    std::string OpenSinkLocked()
    {
        pFile.reset();
        g_bPathSet.store(false);
        std::string strErr;
        if (!os::CanWriteFile(strFilePath, strErr))
            return strErr;
        try {
            pFile = WithPlainFormat(std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
                strFilePath, nFileSize, kKeptFiles));
        } catch (const spdlog::spdlog_ex& ex) {
            return ex.what();
        }
        if (strFilePath.size() < sizeof(g_szCrashPath)) {
            std::memcpy(g_szCrashPath, strFilePath.c_str(), strFilePath.size() + 1);
            g_bPathSet.store(true);
        }
        return std::string();
    }

    void WriteFileLocked(const std::string& strText)
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
                                           spdlog::string_view_t(strText.data(), strText.size()));
        try {
            pFile->log(msg);
            pFile->flush();
            bFileFailed = false;
        } catch (const std::exception&) {
            // A full disk must not take the caller down; the file's copy is lost.
            pFile.reset();
            g_bPathSet.store(false);
            bFileFailed = true;
            nFileFailTick = Time::GetTick();
        }
    }

    void SyslogLocked(int nLevelOfLine, const std::string& strLine)
    {
        if (!bSyslogOpen) {
            os::SyslogOpen();
            bSyslogOpen = true;
        }
        os::SyslogLine(nLevelOfLine, strLine.c_str());
    }

    // One line by the caller (no writer thread), after anything queued.
    void WriteLocked(int nLevelOfLine, const std::string& strLine)
    {
        DrainLocked();
        WriteFileLocked(strLine);
        if (bStderr.load()) {
            strErrBatch.clear();
            AppendStderrLine(strErrBatch, nLevelOfLine, strLine.data(), strLine.size());
            os::WriteStderr(strErrBatch.data(), strErrBatch.size());
        }
        if (bSyslog.load())
            SyslogLocked(nLevelOfLine, strLine);
    }

    // Queues a line for the writer thread; false when it is not running or
    // the queue is full (the caller then writes the line itself).
    bool Enqueue(int nLevelOfLine, const std::string& strLine)
    {
        bool bWake = false;
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            const size_t nUsed = pFill->nSize.load(std::memory_order_relaxed);
            const size_t nNeed = sizeof(LineHead) + strLine.size();
            if (!bWriter || nUsed + nNeed > kQueueBytes)
                return false;
            const LineHead head{static_cast<uint32_t>(strLine.size()), nLevelOfLine};
            std::memcpy(pFill->pData.get() + nUsed, &head, sizeof(head));
            std::memcpy(pFill->pData.get() + nUsed + sizeof(head), strLine.data(), strLine.size());
            pFill->nSize.store(nUsed + nNeed, std::memory_order_release);
            if (nUsed == 0)
                nFirstTick = Time::GetTick();
            const bool bNowUrgent =
                nLevelOfLine >= kLogError || (nUsed < kWakeBytes && nUsed + nNeed >= kWakeBytes);
            bWake = bWriterIdle || (bNowUrgent && !bUrgent);
            bUrgent = bUrgent || bNowUrgent;
            bWriterIdle = false;
        }
        if (bWake)
            queueCv.notify_one();
        return true;
    }

    // Writes every queued line. Called with mutex held.
    void DrainLocked()
    {
        LineBuf* pTaken = nullptr;
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            if (pFill->nSize.load(std::memory_order_relaxed) == 0)
                return;
            pTaken = pFill;
            g_pTaken.store(pTaken);
            pFill = pFill == &aBuf[0] ? &aBuf[1] : &aBuf[0];
            g_pFill.store(pFill);
            bUrgent = false;
        }
        WriteBatchLocked(*pTaken);
        pTaken->nSize.store(0, std::memory_order_release);
        g_pTaken.store(nullptr);
    }

    // The lines of buf to each output, as few writes as the outputs allow.
    void WriteBatchLocked(const LineBuf& buf)
    {
        const bool bErr = bStderr.load();
        const bool bSys = bSyslog.load();
        strFileBatch.clear();
        strErrBatch.clear();
        const size_t nSize = buf.nSize.load(std::memory_order_acquire);
        std::string strLine;
        for (size_t nPos = 0; nPos < nSize;) {
            LineHead head;
            std::memcpy(&head, buf.pData.get() + nPos, sizeof(head));
            const char* pLine = buf.pData.get() + nPos + sizeof(head);
            nPos += sizeof(head) + head.nLen;
            strFileBatch.append(pLine, head.nLen);
            if (bErr) {
                if (!strErrBatch.empty() && strErrBatch.size() + head.nLen > kStderrPiece) {
                    os::WriteStderr(strErrBatch.data(), strErrBatch.size());
                    strErrBatch.clear();
                }
                AppendStderrLine(strErrBatch, head.nLevel, pLine, head.nLen);
            }
            if (bSys) {
                strLine.assign(pLine, head.nLen);
                SyslogLocked(head.nLevel, strLine);
            }
        }
        WriteFileLocked(strFileBatch);
        if (bErr && !strErrBatch.empty())
            os::WriteStderr(strErrBatch.data(), strErrBatch.size());
    }

    // The writer thread: sleeps while nothing is queued; a first line wakes
    // it, and it writes kFlushDelayMs after that line (by the tick clock), or
    // at once for an error line, a buffer of kWakeBytes, a stop.
    void WriterLoop()
    {
        std::unique_lock<std::mutex> lock(queueMutex);
        for (;;) {
            const bool bEmpty = pFill->nSize.load(std::memory_order_relaxed) == 0;
            if (bEmpty && bStop)
                return;
            if (bEmpty) {
                bWriterIdle = true;
                queueCv.wait(lock, [&] { return !bWriterIdle || bStop; });
                bWriterIdle = false;
                continue;
            }
            const uint32_t nAge = Time::GetTick() - nFirstTick;
            if (!bUrgent && !bStop && nAge < kFlushDelayMs) {
                queueCv.wait_for(lock, std::chrono::milliseconds(kFlushDelayMs - nAge),
                                 [&] { return bUrgent || bStop; });
                continue;   // due now, or look again
            }
            lock.unlock();
            {
                std::lock_guard<std::mutex> sinks(mutex);
                DrainLocked();
            }
            lock.lock();
        }
    }
};

PrintLog& PrintLog::instance()
{
    // Never destroyed: threads may still log while the process exits.
    static PrintLog* s_pLog = new PrintLog();
    return *s_pLog;
}

PrintLog::PrintLog() : m_pImpl(new Impl())
{
    g_pFill.store(m_pImpl->pFill);
}

PrintLog::~PrintLog()
{
    StopWriter();
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

    // A line logged from inside the observer (or the writer) must not reuse
    // the buffers of the line being written.
    std::string strMsg;
    std::string strLine;
    strMsg.swap(ThreadMsg());
    strLine.swap(ThreadLine());
    strMsg.clear();
    if (szFmt != nullptr)
        FormatMessage(strMsg, szFmt, args);
    FormatLine(strLine, nLevel, szFile, nLine, szFunc, strMsg);

    if (!m_pImpl->bWriterOn.load(std::memory_order_acquire) || !m_pImpl->Enqueue(nLevel, strLine)) {
        std::lock_guard<std::mutex> lock(m_pImpl->mutex);
        m_pImpl->WriteLocked(nLevel, strLine);
    }
    {
        std::lock_guard<std::mutex> lock(g_observerMutex);
        if (g_pObserver != nullptr)
            g_pObserver->OnLine(nLevel, szFile, nLine, szFunc, strMsg.c_str());
    }
    strMsg.swap(ThreadMsg());
    strLine.swap(ThreadLine());
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
    g_bStderr.store(bOn);
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
        m_pImpl->DrainLocked();
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
        m_pImpl->DrainLocked();
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
    m_pImpl->DrainLocked();
    if (m_pImpl->pFile)
        m_pImpl->pFile->flush();
    m_pImpl->pFile.reset();
    g_bPathSet.store(false);
    m_pImpl->bFileFailed = false;
    if (m_pImpl->bSyslogOpen) {
        os::SyslogClose();
        m_pImpl->bSyslogOpen = false;
    }
}

void PrintLog::Flush()
{
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->DrainLocked();
    if (m_pImpl->pFile)
        m_pImpl->pFile->flush();
}

int PrintLog::StartWriter()
{
    Impl& impl = *m_pImpl;
    std::lock_guard<std::mutex> lock(impl.queueMutex);
    if (impl.bWriter)
        return 0;
    impl.bStop = false;
    try {
        impl.writer = std::thread([&impl] {
            os::ScopedSignalStack signalStack;
            impl.WriterLoop();
        });
    } catch (const std::exception&) {
        return -1;
    }
    impl.bWriter = true;
    impl.bWriterOn.store(true, std::memory_order_release);
    return 0;
}

void PrintLog::StopWriter()
{
    Impl& impl = *m_pImpl;
    {
        std::lock_guard<std::mutex> lock(impl.queueMutex);
        if (!impl.bWriter)
            return;
        impl.bWriter = false;
        impl.bWriterOn.store(false, std::memory_order_release);
        impl.bStop = true;
    }
    impl.queueCv.notify_one();
    if (impl.writer.joinable() && impl.writer.get_id() != std::this_thread::get_id())
        impl.writer.join();
    Flush();
}

namespace detail {
LogObserver* SwapLogObserver(LogObserver* pObserver)
{
    std::lock_guard<std::mutex> lock(g_observerMutex);
    LogObserver* pPrev = g_pObserver;
    g_pObserver = pObserver;
    return pPrev;
}

void WriteQueuedLinesAtCrash()
{
    // The writer may be in the middle of a batch: give it a moment to finish
    // (it may be the crashed thread itself, so not forever).
    for (int nWait = 0; g_pTaken.load() != nullptr && nWait < 200; ++nWait)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));   // nanosleep
    const LineBuf* pBuf = g_pFill.load();
    if (pBuf == nullptr)
        return;
    const size_t nSize = pBuf->nSize.load(std::memory_order_acquire);
    const bool bFile = g_bPathSet.load();
    const bool bErr = g_bStderr.load();
    for (size_t nPos = 0; nPos < nSize;) {
        LineHead head;
        std::memcpy(&head, pBuf->pData.get() + nPos, sizeof(head));
        const char* pLine = pBuf->pData.get() + nPos + sizeof(head);
        nPos += sizeof(head) + head.nLen;
        if (bFile)
            (void)os::AppendRaw(g_szCrashPath, pLine, head.nLen);
        if (bErr)
            os::WriteStderr(pLine, head.nLen);
    }
}
}  // namespace detail

}  // namespace nox
