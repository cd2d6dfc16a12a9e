// Windows side of the runtime services: clock, local time, thread id,
// folders, and the Application event log as the system log.
#include "common/RuntimeOs.h"

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace nox {
namespace os {

namespace {

HANDLE g_hEventLog = nullptr;   // guarded by the logger's lock, like the calls below

std::string ErrorText(DWORD nErr)
{
    char szBuf[256] = "";
    const DWORD nLen = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, nErr, 0, szBuf, sizeof(szBuf), nullptr);
    std::string strText(szBuf, nLen);
    while (!strText.empty() && (strText.back() == '\n' || strText.back() == '\r' ||
                                strText.back() == ' ' || strText.back() == '.'))
        strText.pop_back();
    return strText.empty() ? "error " + std::to_string(nErr) : strText;
}

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
        strErr = strPath + ": " + ErrorText(::GetLastError());
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
