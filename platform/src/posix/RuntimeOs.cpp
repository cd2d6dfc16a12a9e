// Linux side of the runtime services: clock, local time, thread id, folders,
// system log, standard error.
#include "common/RuntimeOs.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
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

void LocalTimeText(char* szBuf, size_t nSize)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmLocal;
    localtime_r(&ts.tv_sec, &tmLocal);
    snprintf(szBuf, nSize, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tmLocal.tm_year + 1900,
             tmLocal.tm_mon + 1, tmLocal.tm_mday, tmLocal.tm_hour, tmLocal.tm_min,
             tmLocal.tm_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

long CurrentThreadId()
{
    return static_cast<long>(syscall(SYS_gettid));
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
    if (fd < 0) {
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

void WriteStderr(const char* pData, size_t nLen)
{
    // Pieces of at most PIPE_BUF: a pipe that polls writable takes one whole.
    while (nLen > 0) {
        struct pollfd pfd = {STDERR_FILENO, POLLOUT, 0};
        const int nReady = poll(&pfd, 1, 0);
        if (nReady < 0 && errno == EINTR)
            continue;
        if (nReady != 1 || (pfd.revents & POLLOUT) == 0)
            return;
        const ssize_t n = write(STDERR_FILENO, pData, nLen < PIPE_BUF ? nLen : PIPE_BUF);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        pData += n;
        nLen -= static_cast<size_t>(n);
    }
}

}  // namespace os
}  // namespace nox
