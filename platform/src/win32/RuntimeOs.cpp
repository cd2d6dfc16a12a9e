// Windows side of the runtime services: clock, local time, thread id,
// folders, the Application event log as the system log, standard error.
#include "common/RuntimeOs.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "win32/SystemError.h"

namespace nox {
namespace os {

namespace {

HANDLE g_hEventLog = nullptr;   // guarded by the logger's lock, like the calls below

// Standard error is written by a thread of its own. A pipe's free room
// cannot be asked for without changing the mode of its end, which the parent
// shares, and a console blocks writes while the user selects text: the caller
// only queues the text, and what does not fit behind a slow reader is dropped.
class StderrWriter {
public:
    static StderrWriter& instance()
    {
        // Never destroyed: the writer thread and late log lines outlive exit.
        static StderrWriter* s_pWriter = new StderrWriter();
        return *s_pWriter;
    }
    void Queue(const char* pData, size_t nLen)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bStarted) {
            try {
                std::thread(&StderrWriter::Run, this).detach();
            } catch (const std::system_error&) {
                return;
            }
            m_bStarted = true;
            std::atexit([] { instance().Drain(); });
        }
        if (m_strQueued.size() + nLen > kQueueMax)
            return;
        m_strQueued.append(pData, nLen);
        m_cv.notify_all();
    }

private:
    static constexpr size_t kQueueMax = 256 * 1024;
    static constexpr int kDrainWaitMs = 500;   // at exit, for a reader that lags

    void Run()
    {
        std::string strText;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_bWriting = false;
                m_cv.notify_all();
                m_cv.wait(lock, [this] { return !m_strQueued.empty(); });
                strText.swap(m_strQueued);
                m_strQueued.clear();
                m_bWriting = true;
            }
            const HANDLE hErr = ::GetStdHandle(STD_ERROR_HANDLE);
            if (hErr == nullptr || hErr == INVALID_HANDLE_VALUE)
                continue;
            DWORD nDone = 0;
            for (size_t nPos = 0; nPos < strText.size(); nPos += nDone) {
                const size_t nChunk = std::min<size_t>(strText.size() - nPos, 65536);
                if (!::WriteFile(hErr, strText.data() + nPos, static_cast<DWORD>(nChunk), &nDone,
                                 nullptr) ||
                    nDone == 0)
                    break;   // closed or gone: this text is lost
            }
        }
    }
    // Lets the queued lines out before the process ends, for a while at most.
    void Drain()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::milliseconds(kDrainWaitMs),
                      [this] { return m_strQueued.empty() && !m_bWriting; });
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::string m_strQueued;
    bool m_bStarted = false, m_bWriting = false;
};

}  // namespace

uint64_t MonotonicMs()
{
    return static_cast<uint64_t>(::GetTickCount64());
}

void LocalTimeText(char* szBuf, size_t nSize)
{
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    std::snprintf(szBuf, nSize, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay,
                  st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
}

long CurrentThreadId()
{
    return static_cast<long>(::GetCurrentThreadId());
}

int MakeDirs(const std::string& strPath, std::string& strErr)
{
    if (strPath.empty())
        return 0;
    std::error_code ec;
    std::filesystem::create_directories(strPath, ec);
    if (ec) {
        strErr = "cannot create folder " + strPath + ": " + ec.message();
        return -1;
    }
    if (!std::filesystem::is_directory(strPath, ec)) {
        strErr = strPath + " is not a folder";
        return -1;
    }
    return 0;
}

bool CanWriteFile(const std::string& strPath, std::string& strErr)
{
    const HANDLE hFile = ::CreateFileA(strPath.c_str(), FILE_APPEND_DATA,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        strErr = strPath + ": " + SystemErrorText(::GetLastError());
        return false;
    }
    ::CloseHandle(hFile);
    return true;
}

void SyslogOpen()
{
    if (g_hEventLog == nullptr)
        g_hEventLog = ::RegisterEventSourceA(nullptr, "Velmora");
}

void SyslogLine(int nLevel, const char* szLine)
{
    if (g_hEventLog == nullptr)
        return;
    WORD nType = EVENTLOG_WARNING_TYPE;
    if (nLevel <= 4)
        nType = EVENTLOG_INFORMATION_TYPE;
    else if (nLevel >= 6)
        nType = EVENTLOG_ERROR_TYPE;
    const char* aStrings[] = {szLine};
    (void)::ReportEventA(g_hEventLog, nType, 0, 0, nullptr, 1, 0, aStrings, nullptr);
}

void SyslogClose()
{
    if (g_hEventLog != nullptr)
        ::DeregisterEventSource(g_hEventLog);
    g_hEventLog = nullptr;
}

void IgnoreBrokenPipe()
{
    // Nothing to do: a write to a pipe without a reader fails, it sends no signal.
}

void WriteStderr(const char* pData, size_t nLen)
{
    if (nLen > 0)
        StderrWriter::instance().Queue(pData, nLen);
}

size_t StderrPiece()
{
    return 4096;
}

// The cache manager writes a file's pages out on its own and trims the
// system cache under pressure: nothing to tell it.
void WriteBehindFile(std::FILE* /*pFile*/, uint64_t /*nEnd*/, WriteBehind& /*state*/) {}
void WriteBehindStderr(size_t /*nLen*/) {}

int AppendRaw(const char* szPath, const char* pData, size_t nLen)
{
    const HANDLE hFile = ::CreateFileA(szPath, FILE_APPEND_DATA,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return -1;
    int nRet = 0;
    while (nLen > 0) {
        DWORD nDone = 0;
        const DWORD nAsk = nLen < 0x10000000u ? static_cast<DWORD>(nLen) : 0x10000000u;
        if (!::WriteFile(hFile, pData, nAsk, &nDone, nullptr) || nDone == 0) {
            nRet = -1;
            break;
        }
        pData += nDone;
        nLen -= nDone;
    }
    ::CloseHandle(hFile);
    return nRet;
}

}  // namespace os
}  // namespace nox
