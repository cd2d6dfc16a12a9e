// Crash monitor and process dumps for Windows: minidumps written with
// MiniDumpWriteDump (dbghelp), for an unhandled exception, for abort() and on
// request. The crash path uses only stack buffers and plain Win32 calls.
#include "nox/ExceptionHandler.h"

#include <windows.h>
#include <dbghelp.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/RuntimeOs.h"
#include "nox/PrintLog.h"

namespace nox {

namespace {

// Threads with their stacks and thread data, module data segments, and the
// memory the stacks point into: enough to inspect variables after a crash.
const MINIDUMP_TYPE kDumpType = static_cast<MINIDUMP_TYPE>(
    MiniDumpWithDataSegs | MiniDumpWithThreadInfo | MiniDumpWithIndirectlyReferencedMemory |
    MiniDumpWithUnloadedModules);

char g_szProgram[64] = "process";
char g_szFolder[512] = "";                   // "" until BaseLib::Init names one
char g_szLastPath[768] = "";
std::atomic<bool> g_bCrashing{false};
std::mutex g_dumpMutex;                     // one on-request dump at a time
constexpr ULONG kStackGuarantee = 64 * 1024;

void Append(char* szDst, size_t nSize, const char* szSrc)
{
    size_t n = std::strlen(szDst);
    while (*szSrc != '\0' && n + 1 < nSize)
        szDst[n++] = *szSrc++;
    szDst[n] = '\0';
}

void AppendDec(char* szDst, size_t nSize, unsigned long n, int nWidth = 1)
{
    char szTmp[24];
    int i = 0;
    do {
        szTmp[i++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0 && i < 20);
    while (i < nWidth && i < 20)
        szTmp[i++] = '0';
    char szOut[24];
    int j = 0;
    while (i > 0)
        szOut[j++] = szTmp[--i];
    szOut[j] = '\0';
    Append(szDst, nSize, szOut);
}

// "YYYYMMDD-HHMMSS" of the local time.
void StampText(char* szOut, size_t nSize)
{
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    szOut[0] = '\0';
    AppendDec(szOut, nSize, st.wYear, 4);
    AppendDec(szOut, nSize, st.wMonth, 2);
    AppendDec(szOut, nSize, st.wDay, 2);
    Append(szOut, nSize, "-");
    AppendDec(szOut, nSize, st.wHour, 2);
    AppendDec(szOut, nSize, st.wMinute, 2);
    AppendDec(szOut, nSize, st.wSecond, 2);
}

// Creates "<folder>/<program>-<pid>-<stamp>[-n].dmp" and records its path in
// g_szLastPath; INVALID_HANDLE_VALUE on failure.
HANDLE OpenDumpFile()
{
    char szFolder[sizeof(g_szFolder)] = "";
    Append(szFolder, sizeof(szFolder), g_szFolder);
    if (szFolder[0] == '\0') {
        const DWORD nAttr = ::GetFileAttributesA("log");
        Append(szFolder, sizeof(szFolder),
               (nAttr != INVALID_FILE_ATTRIBUTES && (nAttr & FILE_ATTRIBUTE_DIRECTORY)) ? "log"
                                                                                        : ".");
    }
    char szStamp[32];
    StampText(szStamp, sizeof(szStamp));
    for (unsigned long nTry = 1; nTry <= 20; ++nTry) {
        char szPath[sizeof(g_szLastPath)] = "";
        Append(szPath, sizeof(szPath), szFolder);
        Append(szPath, sizeof(szPath), "/");
        Append(szPath, sizeof(szPath), g_szProgram);
        Append(szPath, sizeof(szPath), "-");
        AppendDec(szPath, sizeof(szPath), ::GetCurrentProcessId());
        Append(szPath, sizeof(szPath), "-");
        Append(szPath, sizeof(szPath), szStamp);
        if (nTry > 1) {  // a second dump within the same second
            Append(szPath, sizeof(szPath), "-");
            AppendDec(szPath, sizeof(szPath), nTry);
        }
        Append(szPath, sizeof(szPath), ".dmp");
        const HANDLE hFile = ::CreateFileA(szPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile != INVALID_HANDLE_VALUE) {
            std::memcpy(g_szLastPath, szPath, sizeof(g_szLastPath));
            return hFile;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS)
            return INVALID_HANDLE_VALUE;
    }
    return INVALID_HANDLE_VALUE;
}

// The dump of the whole process; pInfo: the exception that ends it, null on
// request. nThreadId: the thread pInfo belongs to.
int WriteDump(EXCEPTION_POINTERS* pInfo, DWORD nThreadId)
{
    const HANDLE hFile = OpenDumpFile();
    if (hFile == INVALID_HANDLE_VALUE)
        return -1;
    MINIDUMP_EXCEPTION_INFORMATION exInfo;
    exInfo.ThreadId = nThreadId;
    exInfo.ExceptionPointers = pInfo;
    exInfo.ClientPointers = FALSE;
    const BOOL bOk = ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), hFile,
                                         kDumpType, pInfo != nullptr ? &exInfo : nullptr, nullptr,
                                         nullptr);
    ::CloseHandle(hFile);
    return bOk ? 0 : -1;
}

struct CrashInfo {
    EXCEPTION_POINTERS* pInfo;
    DWORD nThreadId;
};

DWORD WINAPI WriteCrashDump(void* pArg)
{
    const CrashInfo* pCrash = static_cast<const CrashInfo*>(pArg);
    detail::WriteQueuedLinesAtCrash();   // every line logged before the crash
    return static_cast<DWORD>(WriteDump(pCrash->pInfo, pCrash->nThreadId));
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pInfo)
{
    if (g_bCrashing.exchange(true))
        return EXCEPTION_CONTINUE_SEARCH;
    // The dump is written on a fresh stack: after a stack overflow this
    // thread has only its guarantee left (see InstallSignalStack).
    CrashInfo crash{pInfo, ::GetCurrentThreadId()};
    const HANDLE hWriter = ::CreateThread(nullptr, 0, WriteCrashDump, &crash, 0, nullptr);
    if (hWriter != nullptr) {
        ::WaitForSingleObject(hWriter, INFINITE);
        ::CloseHandle(hWriter);
    } else {
        (void)WriteCrashDump(&crash);
    }
    return EXCEPTION_CONTINUE_SEARCH;   // the process ends as it would have
}

void OnAbort(int /*nSig*/)
{
    if (!g_bCrashing.exchange(true)) {
        detail::WriteQueuedLinesAtCrash();
        (void)WriteDump(nullptr, 0);
    }
    // The C runtime ends the process when this returns.
}

}  // namespace

namespace os {
void SetDumpFolder(const char* szFolder)
{
    g_szFolder[0] = '\0';
    if (szFolder != nullptr)
        Append(g_szFolder, sizeof(g_szFolder), szFolder);
}

// Windows has no signal stacks: the unhandled-exception filter runs on the
// faulting thread, which after a stack overflow has only a few KiB left. The
// guarantee keeps this much more of the thread's stack for exception
// handling, enough for the filter to start the thread that writes the dump.
// Nothing to free at the end of the thread.
void* InstallSignalStack()
{
    ULONG nSize = kStackGuarantee;
    (void)::SetThreadStackGuarantee(&nSize);
    return nullptr;
}

void RemoveSignalStack(void* /*pStack*/) {}
}  // namespace os

int ExceptionHandler::StartMonitor(const char* szProgram)
{
    if (szProgram != nullptr && szProgram[0] != '\0') {
        g_szProgram[0] = '\0';
        Append(g_szProgram, sizeof(g_szProgram), szProgram);
    }
    (void)::SetUnhandledExceptionFilter(OnUnhandledException);
    (void)os::InstallSignalStack();   // the main thread's; platform threads get their own
    return std::signal(SIGABRT, OnAbort) == SIG_ERR ? -1 : 0;
}

int ExceptionHandler::do_minidump(void* /*pContext*/)
{
    PrintLog::instance().Flush();   // every line logged before the dump is written
    std::lock_guard<std::mutex> lock(g_dumpMutex);
    // Written from a helper thread: a thread that dumps itself records a
    // stack caught in the middle of the dump.
    int nRet = -1;
    try {
        std::thread writer([&nRet] { nRet = WriteDump(nullptr, 0); });
        writer.join();
    } catch (const std::system_error&) {
        nRet = WriteDump(nullptr, 0);
    }
    return nRet;
}

const char* ExceptionHandler::LastDumpPath()
{
    return g_szLastPath;
}

}  // namespace nox
