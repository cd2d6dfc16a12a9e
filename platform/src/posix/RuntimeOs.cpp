// Linux side of the runtime services: clock, local time, thread id, folders,
// system log, standard error.
#include "common/RuntimeOs.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace nox {
namespace os {

uint64_t MonotonicMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

namespace {

// The text of the current second, per thread: a line costs the clock read
// and three digits, and localtime_r runs once a second.
struct SecondText {
    time_t nSec = -1;
    size_t nLen = 0;
    char szText[64];   // "YYYY-MM-DD HH:MM:SS"
};
thread_local SecondText t_second;

// The kernel's id of this thread, read once; a forked child reads its own.
thread_local long t_nTid = 0;
void ForgetTid()
{
    t_nTid = 0;
}
const int g_nAtFork = pthread_atfork(nullptr, nullptr, &ForgetTid);

}  // namespace

void LocalTimeText(char* szBuf, size_t nSize)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec != t_second.nSec) {
        struct tm tmLocal;
        localtime_r(&ts.tv_sec, &tmLocal);
        const int nLen = snprintf(t_second.szText, sizeof(t_second.szText),
                                  "%04d-%02d-%02d %02d:%02d:%02d", tmLocal.tm_year + 1900,
                                  tmLocal.tm_mon + 1, tmLocal.tm_mday, tmLocal.tm_hour,
                                  tmLocal.tm_min, tmLocal.tm_sec);
        t_second.nLen = nLen > 0 ? static_cast<size_t>(nLen) : 0;
        t_second.nSec = ts.tv_sec;
    }
    const int nMs = static_cast<int>(ts.tv_nsec / 1000000);
    const size_t nLen = t_second.nLen;
    if (nSize < nLen + 5) {
        snprintf(szBuf, nSize, "%s.%03d", t_second.szText, nMs);
        return;
    }
    std::memcpy(szBuf, t_second.szText, nLen);
    szBuf[nLen] = '.';
    szBuf[nLen + 1] = static_cast<char>('0' + nMs / 100);
    szBuf[nLen + 2] = static_cast<char>('0' + nMs / 10 % 10);
    szBuf[nLen + 3] = static_cast<char>('0' + nMs % 10);
    szBuf[nLen + 4] = '\0';
}

long CurrentThreadId()
{
    (void)g_nAtFork;
    if (t_nTid == 0)
        t_nTid = static_cast<long>(syscall(SYS_gettid));
    return t_nTid;
}

int MakeDirs(const std::string& strPath, std::string& strErr)
{
    if (strPath.empty())
        return 0;
    std::string strPart;
    size_t nPos = 0;
    while (nPos != std::string::npos) {
        nPos = strPath.find('/', nPos + 1);
        strPart = strPath.substr(0, nPos);
        if (strPart.empty() || strPart == "/")
            continue;
        if (mkdir(strPart.c_str(), 0755) != 0 && errno != EEXIST) {
            strErr = "cannot create folder " + strPart + ": " + strerror(errno);
            return -1;
        }
    }
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        strErr = strPath + " is not a folder";
        return -1;
    }
    return 0;
}

bool CanWriteFile(const std::string& strPath, std::string& strErr)
{
    const int fd = open(strPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd == -1) {
        strErr = strPath + ": " + strerror(errno);
        return false;
    }
    close(fd);
    return true;
}

void SyslogOpen()
{
    openlog("velmora", LOG_PID, LOG_DAEMON);
}

void SyslogLine(int nLevel, const char* szLine)
{
    int nPriority = LOG_NOTICE;
    if (nLevel <= 2)
        nPriority = LOG_DEBUG;
    else if (nLevel <= 4)
        nPriority = LOG_INFO;
    else if (nLevel >= 6)
        nPriority = LOG_ERR;
    syslog(nPriority, "%s", szLine);
}

void SyslogClose()
{
    closelog();
}

void IgnoreBrokenPipe()
{
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    (void)sigaction(SIGPIPE, &action, nullptr);
}

namespace {
bool StderrIsFile()
{
    struct stat st {};
    return fstat(STDERR_FILENO, &st) == 0 && S_ISREG(st.st_mode);
}
}  // namespace

size_t StderrPiece()
{
    return StderrIsFile() ? SIZE_MAX : PIPE_BUF;
}

void WriteStderr(const char* pData, size_t nLen)
{
    // A file takes the whole text and never makes us wait for a reader; a
    // pipe gets pieces of at most PIPE_BUF, each once it polls writable, so
    // it takes each whole.
    const bool bFile = StderrIsFile();
    while (nLen > 0) {
        if (!bFile) {
            struct pollfd pfd = {STDERR_FILENO, POLLOUT, 0};
            const int nReady = poll(&pfd, 1, 0);
            if (nReady < 0 && errno == EINTR)
                continue;
            if (nReady != 1 || (pfd.revents & POLLOUT) == 0)
                return;
        }
        const ssize_t n = write(STDERR_FILENO, pData, bFile || nLen < PIPE_BUF ? nLen : PIPE_BUF);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        pData += n;
        nLen -= static_cast<size_t>(n);
    }
}

namespace {
void WriteBehindFd(int fd, uint64_t nEnd, WriteBehind& state)
{
    if (nEnd < state.nStarted)
        state = WriteBehind();   // truncated, or another file: from its start
    if (nEnd - state.nStarted < kWriteBehindBytes)
        return;
    const auto nStarted = static_cast<off_t>(state.nStarted);
    (void)sync_file_range(fd, nStarted, static_cast<off_t>(nEnd) - nStarted, SYNC_FILE_RANGE_WRITE);
    // The range started a round ago is most likely on disk by now; pages
    // still dirty or being written are skipped by the kernel and left to
    // its own reclaim.
    if (state.nStarted > state.nDropped) {
        (void)posix_fadvise(fd, static_cast<off_t>(state.nDropped),
                            static_cast<off_t>(state.nStarted - state.nDropped), POSIX_FADV_DONTNEED);
    }
    state.nDropped = state.nStarted;
    state.nStarted = nEnd;
}
}  // namespace

void WriteBehindFile(std::FILE* pFile, uint64_t nEnd, WriteBehind& state)
{
    WriteBehindFd(fileno(pFile), nEnd, state);
}

void WriteBehindStderr(size_t nLen)
{
    // Counted here, and the file's size looked up once per round.
    static uint64_t s_nSince = 0;
    static WriteBehind s_state;
    s_nSince += nLen;
    if (s_nSince < kWriteBehindBytes)
        return;
    s_nSince = 0;
    struct stat st {};
    if (fstat(STDERR_FILENO, &st) == 0 && S_ISREG(st.st_mode))
        WriteBehindFd(STDERR_FILENO, static_cast<uint64_t>(st.st_size), s_state);
}

int AppendRaw(const char* szPath, const char* pData, size_t nLen)
{
    const int fd = open(szPath, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int nRet = 0;
    while (nLen > 0) {
        const ssize_t n = write(fd, pData, nLen);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            nRet = -1;
            break;
        }
        pData += n;
        nLen -= static_cast<size_t>(n);
    }
    close(fd);
    return nRet;
}

}  // namespace os
}  // namespace nox
