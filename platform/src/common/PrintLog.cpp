// The logger: every line formatted by its caller (LogFormat), queued for the
// writer thread (LogQueue) or written at once, to the log file (LogFile),
// standard error and, when asked, syslog.
#include "nox/PrintLog.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "common/LogFile.h"
#include "common/LogFormat.h"
#include "common/LogQueue.h"
#include "common/RuntimeOs.h"

namespace nox {

namespace {

const char kSrc[] = "nox/PrintLog";

std::mutex g_observerMutex;
detail::LogObserver* g_pObserver = nullptr;     // guarded by g_observerMutex
std::atomic<bool> g_bObserver{false};           // one is installed: only then is the mutex taken

std::atomic<bool> g_bStderr{true};             // PrintLog::SetStderr, for the crash handler

std::string FolderOf(const std::string& strBase)
{
    const size_t nSlash = strBase.rfind('/');
    if (nSlash == std::string::npos)
        return std::string();
    return nSlash == 0 ? std::string("/") : strBase.substr(0, nSlash);
}

}  // namespace

// The outputs and their settings. mutex guards the file, the syslog state
// and the batch texts, so a line is written whole while SetFileSize or
// OpenFile swap the file; the level and the switches are atomics read
// without it. Each output fails on its own: standard error drops only what
// it cannot write itself.
//
// With the writer thread running (StartWriter), a call only formats its line
// and queues it; the writer writes the queue in batches. Lock order: mutex
// before the queue's lock. Lines of one thread keep their order, also across
// a start or stop of the writer: every write under mutex first writes what is
// queued.
struct PrintLog::Impl {
    std::atomic<int> nLevel{kLogInfo};
    std::atomic<bool> bStderr{true};
    std::atomic<bool> bSyslog{false};

    std::mutex mutex;
    LogFile file;
    bool bSyslogOpen = false;
    std::string strFileBatch, strErrBatch;       // a batch's text per output

    LogQueue queue;

    // The file's copy of a line or batch; then, once per failed rotation
    // spell, the line that says so, to the file, standard error and syslog.
    void WriteFileLocked(const std::string& strText)
    {
        file.Write(strText);
        std::string strNote;
        if (!file.TakeNote(strNote))
            return;
        std::string strLine;
        logfmt::FormatLine(strLine, kLogError, kSrc, __LINE__, "PrintLog::RotateFile", strNote);
        file.Write(strLine);
        if (bStderr.load() && logfmt::JournalEntries()) {
            logfmt::WriteJournalLine(kLogError, strLine.data(), strLine.size());
        } else if (bStderr.load()) {
            std::string strErr;
            logfmt::AppendStderrLine(strErr, kLogError, strLine.data(), strLine.size());
            os::WriteStderr(strErr.data(), strErr.size());
        }
        if (bSyslog.load())
            SyslogLocked(kLogError, strLine.data(), strLine.size());
    }

    void SyslogLocked(int nLevelOfLine, const char* pLine, size_t nLen)
    {
        if (!bSyslogOpen) {
            os::SyslogOpen();
            bSyslogOpen = true;
        }
        os::SyslogLine(nLevelOfLine, std::string(pLine, nLen).c_str());
    }

    // One line by the caller (no writer thread, or a full queue), after
    // anything queued.
    void WriteLocked(int nLevelOfLine, const std::string& strLine)
    {
        DrainLocked();
        WriteFileLocked(strLine);
        if (bStderr.load() && logfmt::JournalEntries()) {
            logfmt::WriteJournalLine(nLevelOfLine, strLine.data(), strLine.size());
        } else if (bStderr.load()) {
            strErrBatch.clear();
            logfmt::AppendStderrLine(strErrBatch, nLevelOfLine, strLine.data(), strLine.size());
            os::WriteStderr(strErrBatch.data(), strErrBatch.size());
        }
        if (bSyslog.load())
            SyslogLocked(nLevelOfLine, strLine.data(), strLine.size());
    }

    // Formats the line of strMsg, writes or queues it and shows it to the
    // observer; the caller has swapped out the thread's buffers.
    void EmitLine(int nLevelOfLine, const char* szFile, int nLine, const char* szFunc,
                  const std::string& strMsg, std::string& strLine)
    {
        logfmt::FormatLine(strLine, nLevelOfLine, szFile, nLine, szFunc, strMsg);
        if (!queue.Running() || !queue.Enqueue(nLevelOfLine, strLine)) {
            std::lock_guard<std::mutex> lock(mutex);
            WriteLocked(nLevelOfLine, strLine);
        }
        if (g_bObserver.load(std::memory_order_acquire)) {
            std::lock_guard<std::mutex> lock(g_observerMutex);
            if (g_pObserver != nullptr)
                g_pObserver->OnLine(nLevelOfLine, szFile, nLine, szFunc, strMsg.c_str());
        }
    }

    // Writes every queued line, each output as few writes as it allows (the
    // journal takes one entry per line). Called with mutex held.
    void DrainLocked()
    {
        LineBuf* pTaken = queue.Take();
        if (pTaken == nullptr)
            return;
        const bool bErr = bStderr.load();
        const bool bJournal = logfmt::JournalEntries();
        const bool bSys = bSyslog.load();
        const size_t nSize = pTaken->nSize.load(std::memory_order_acquire);
        bool bOwn = true;   // false once the crash handler has taken over
        size_t nPieceFrom = 0;
        const size_t nPiece = bErr && !bJournal ? os::StderrPiece() : 0;   // whole lines per write
        // Standard error on a file takes the file's own text, in one piece.
        const bool bErrAsFile =
            bErr && !bJournal && nPiece == SIZE_MAX && !logfmt::StderrIsJournal();
        strErrBatch.clear();
        const auto WritePiece = [&](size_t nPieceTo) {
            if (!bOwn || strErrBatch.empty())
                return;
            bOwn = queue.ClaimStderr(nPieceFrom, nPieceTo);
            if (bOwn) {
                os::WriteStderr(strErrBatch.data(), strErrBatch.size());
                queue.Written();
            }
            strErrBatch.clear();
            nPieceFrom = nPieceTo;
        };
        strFileBatch.clear();
        pTaken->ForEach(0, nSize, [&](int nLineLevel, const char* pLine, size_t nLen, size_t nEnd) {
            strFileBatch.append(pLine, nLen);
            if (bErr && bJournal) {
                if (bOwn && (bOwn = queue.ClaimStderr(nEnd - sizeof(LineHead) - nLen, nEnd))) {
                    logfmt::WriteJournalLine(nLineLevel, pLine, nLen);
                    queue.Written();
                }
            } else if (bErr && !bErrAsFile) {
                if (!strErrBatch.empty() && strErrBatch.size() + nLen > nPiece)
                    WritePiece(nEnd - sizeof(LineHead) - nLen);
                logfmt::AppendStderrLine(strErrBatch, nLineLevel, pLine, nLen);
            }
            if (bSys)
                SyslogLocked(nLineLevel, pLine, nLen);
        });
        WritePiece(nSize);
        if (bErrAsFile && bOwn && !strFileBatch.empty() && (bOwn = queue.ClaimStderr(0, nSize))) {
            os::WriteStderr(strFileBatch.data(), strFileBatch.size());
            os::WriteBehindStderr(strFileBatch.size());
            queue.Written();
        }
        if (bOwn && queue.ClaimFile(nSize)) {
            WriteFileLocked(strFileBatch);
            queue.Written();
        }
        queue.Release(pTaken);
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
    (void)logfmt::JournalEntries();   // read now, not first in a crash handler
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
    // A line logged from inside the observer (or the writer) must not reuse
    // the buffers of the line being written.
    std::string strMsg;
    std::string strLine;
    strMsg.swap(logfmt::ThreadMsg());
    strLine.swap(logfmt::ThreadLine());
    strMsg.clear();
    if (szFmt != nullptr)
        logfmt::FormatMessage(strMsg, szFmt, args);
    m_pImpl->EmitLine(nLevel, szFile ? szFile : "", nLine, szFunc ? szFunc : "", strMsg, strLine);
    strMsg.swap(logfmt::ThreadMsg());
    strLine.swap(logfmt::ThreadLine());
}

void PrintLog::LogText(const char* szFile, int nLine, const char* szFunc, int nLevel,
                       const char* pMsg, size_t nLen)
{
    if (nLevel < m_pImpl->nLevel.load(std::memory_order_relaxed))
        return;
    std::string strMsg;
    std::string strLine;
    strMsg.swap(logfmt::ThreadMsg());
    strLine.swap(logfmt::ThreadLine());
    strMsg.assign(pMsg, nLen);
    m_pImpl->EmitLine(nLevel, szFile ? szFile : "", nLine, szFunc ? szFunc : "", strMsg, strLine);
    strMsg.swap(logfmt::ThreadMsg());
    strLine.swap(logfmt::ThreadLine());
}

void PrintLog::Batch::Add(const char* szFile, int nLine, const char* szFunc, int nLevel,
                          const char* pMsg, size_t nLen)
{
    PrintLog& log = instance();
    if (nLevel < log.m_pImpl->nLevel.load(std::memory_order_relaxed))
        return;
    if (g_bObserver.load(std::memory_order_acquire) || !log.m_pImpl->queue.Running()) {
        Commit();   // the lines before it first
        log.LogText(szFile, nLine, szFunc, nLevel, pMsg, nLen);
        return;
    }
    if (!m_bTime) {
        os::LocalTimeText(m_szTime, sizeof(m_szTime));
        m_bTime = true;
    }
    const size_t nHeadAt = m_strPacked.size();
    m_strPacked.append(sizeof(LineHead), '\0');   // the line's length is known once it is made
    logfmt::AppendLine(m_strPacked, m_szTime, nLevel, szFile ? szFile : "", nLine,
                       szFunc ? szFunc : "", pMsg, nLen);
    const LineHead head{static_cast<uint32_t>(m_strPacked.size() - nHeadAt - sizeof(LineHead)), nLevel};
    std::memcpy(&m_strPacked[nHeadAt], &head, sizeof(head));
    m_nTopLevel = nLevel > m_nTopLevel ? nLevel : m_nTopLevel;
}

void PrintLog::Batch::Commit()
{
    m_bTime = false;
    if (m_strPacked.empty())
        return;
    Impl& impl = *instance().m_pImpl;
    if (!impl.queue.Running() || !impl.queue.EnqueuePacked(m_nTopLevel, m_strPacked.data(), m_strPacked.size())) {
        // Each line as a caller writes it when the queue cannot take it.
        std::lock_guard<std::mutex> lock(impl.mutex);
        std::string strLine;
        for (size_t nPos = 0; nPos + sizeof(LineHead) <= m_strPacked.size();) {
            LineHead head;
            std::memcpy(&head, m_strPacked.data() + nPos, sizeof(head));
            strLine.assign(m_strPacked, nPos + sizeof(head), head.nLen);
            nPos += sizeof(head) + head.nLen;
            impl.WriteLocked(head.nLevel, strLine);
        }
    }
    m_strPacked.clear();
    m_nTopLevel = 0;
}

bool PrintLog::Enabled(int nLevel) const
{
    return nLevel >= m_pImpl->nLevel.load(std::memory_order_relaxed);
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
        strPath = m_pImpl->file.Path();
        strErr = m_pImpl->file.SetSize(nBytes);
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
        strErr = m_pImpl->file.Open(strPath);
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
    m_pImpl->file.Close();
    if (m_pImpl->bSyslogOpen) {
        os::SyslogClose();
        m_pImpl->bSyslogOpen = false;
    }
}

void PrintLog::Flush()
{
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->DrainLocked();
    m_pImpl->file.Flush();
}

int PrintLog::StartWriter()
{
    Impl& impl = *m_pImpl;
    return impl.queue.Start([&impl] {
        std::lock_guard<std::mutex> sinks(impl.mutex);
        impl.DrainLocked();
    });
}

void PrintLog::StopWriter()
{
    m_pImpl->queue.Stop();
    Flush();
}

namespace detail {
LogObserver* SwapLogObserver(LogObserver* pObserver)
{
    std::lock_guard<std::mutex> lock(g_observerMutex);
    LogObserver* pPrev = g_pObserver;
    g_pObserver = pObserver;
    g_bObserver.store(pObserver != nullptr, std::memory_order_release);
    return pPrev;
}

void WriteQueuedLinesAtCrash()
{
    LogQueue::WriteAtCrash(LogFile::CrashPath(), g_bStderr.load(), logfmt::StderrIsJournal());
}
}  // namespace detail

}  // namespace nox
