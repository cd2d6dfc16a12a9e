// Crash monitor and process dumps for Windows: minidumps written with
// MiniDumpWriteDump (dbghelp, loaded from the system folder only, never from
// the program's), for an unhandled exception, for abort() and on request.
// A crash writes its dump and ends the process at once, with the exception's
// code as its exit status: no error reporting dialog keeps it alive (they are
// turned off as well, for failures that bypass the filter). One lock keeps a
// crash dump and an on-request dump apart (dbghelp is single-threaded). The
// crash path uses only stack buffers and plain Win32 calls.
#include "nox/ExceptionHandler.h"

#include <windows.h>
#include <dbghelp.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <cwchar>
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
constexpr ULONG kStackGuarantee = 64 * 1024;
constexpr DWORD kCrashWaitMs = 30000;        // the longest a crash waits for a dump

// One dump at a time, crash or request. The thread that writes an on-request
// dump is known, so a crash inside it does not wait for its own lock.
SRWLOCK g_dumpLock = SRWLOCK_INIT;
std::atomic<DWORD> g_nRequestWriter{0};
std::atomic<DWORD> g_nCrashWriter{0};       // the thread that writes the crash dump

typedef BOOL(WINAPI* MiniDumpWriteDumpFn)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                          PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION,
                                          PMINIDUMP_CALLBACK_INFORMATION);
std::atomic<MiniDumpWriteDumpFn> g_pWriteDump{nullptr};

// dbghelp.dll from the system folder: a copy beside the program is never
// loaded. Before a crash, since a crash may hold the loader's lock.
void LoadDbgHelp()
{
    if (g_pWriteDump.load() != nullptr)
        return;
    HMODULE hDll = ::LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (hDll == nullptr && ::GetLastError() == ERROR_INVALID_PARAMETER) {
        // Windows 7 without KB2533623 has no such flag: the full path.
        wchar_t szPath[MAX_PATH + 16];
        const UINT nLen = ::GetSystemDirectoryW(szPath, MAX_PATH);
        if (nLen > 0 && nLen < MAX_PATH) {
            std::wcscpy(szPath + nLen, L"\\dbghelp.dll");
            hDll = ::LoadLibraryExW(szPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        }
    }
    if (hDll != nullptr)
        g_pWriteDump.store(reinterpret_cast<MiniDumpWriteDumpFn>(
            reinterpret_cast<void*>(::GetProcAddress(hDll, "MiniDumpWriteDump"))));
}

// Takes g_dumpLock for a crash on thread nCrashed, waiting up to kCrashWaitMs
// for an on-request dump to end; false when it could not (none is written).
bool LockForCrash(DWORD nCrashed)
{
    if (g_nRequestWriter.load() == nCrashed)
        return false;   // the crash is in the on-request dump: its lock never comes free
    for (DWORD nWaited = 0; nWaited < kCrashWaitMs; nWaited += 10) {
        if (::TryAcquireSRWLockExclusive(&g_dumpLock))
            return true;
        ::Sleep(10);
    }
    return false;
}

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
    const MiniDumpWriteDumpFn pWriteDump = g_pWriteDump.load();
    if (pWriteDump == nullptr)
        return -1;
    const HANDLE hFile = OpenDumpFile();
    if (hFile == INVALID_HANDLE_VALUE)
        return -1;
    MINIDUMP_EXCEPTION_INFORMATION exInfo;
    exInfo.ThreadId = nThreadId;
    exInfo.ExceptionPointers = pInfo;
    exInfo.ClientPointers = FALSE;
    const BOOL bOk = pWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), hFile, kDumpType,
                                pInfo != nullptr ? &exInfo : nullptr, nullptr, nullptr);
    ::CloseHandle(hFile);
    return bOk ? 0 : -1;
}

struct CrashInfo {
    EXCEPTION_POINTERS* pInfo;
    DWORD nThreadId;
};

// The queued log lines, then the dump (one, under the dump lock).
DWORD WINAPI WriteCrashDump(void* pArg)
{
    const CrashInfo* pCrash = static_cast<const CrashInfo*>(pArg);
    g_nCrashWriter.store(::GetCurrentThreadId());
    detail::WriteQueuedLinesAtCrash();   // every line logged before the crash
    if (!LockForCrash(pCrash->nThreadId))
        return static_cast<DWORD>(-1);
    const int nRet = WriteDump(pCrash->pInfo, pCrash->nThreadId);
    ::ReleaseSRWLockExclusive(&g_dumpLock);
    return static_cast<DWORD>(nRet);
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pInfo)
{
    const UINT nCode = pInfo->ExceptionRecord->ExceptionCode;
    if (g_bCrashing.exchange(true)) {
        // Another thread crashes meanwhile: the first one ends the process,
        // unless this is the thread that writes its dump.
        if (g_nCrashWriter.load() != ::GetCurrentThreadId())
            ::Sleep(kCrashWaitMs * 2);
        ::TerminateProcess(::GetCurrentProcess(), nCode);
    }
    // The dump is written on a fresh stack: after a stack overflow this
    // thread has only its guarantee left (see InstallSignalStack).
    CrashInfo crash{pInfo, ::GetCurrentThreadId()};
    const HANDLE hWriter = ::CreateThread(nullptr, 0, WriteCrashDump, &crash, 0, nullptr);
    if (hWriter != nullptr) {
        ::WaitForSingleObject(hWriter, kCrashWaitMs * 2);   // a dump stuck on a lock ends too
        ::CloseHandle(hWriter);
    } else {
        (void)WriteCrashDump(&crash);
    }
    ::TerminateProcess(::GetCurrentProcess(), nCode);
    return EXCEPTION_EXECUTE_HANDLER;   // not reached
}

void OnAbort(int /*nSig*/)
{
    if (!g_bCrashing.exchange(true)) {
        detail::WriteQueuedLinesAtCrash();
        if (LockForCrash(::GetCurrentThreadId())) {
            (void)WriteDump(nullptr, 0);
            ::ReleaseSRWLockExclusive(&g_dumpLock);
        }
    }
    ::TerminateProcess(::GetCurrentProcess(), 3);   // abort()'s status, without its dialog
}

// No dialog of the error reporting (nor of the system for a missing disk or
// file) holds a failing process alive.
void QuietFailures()
{
    (void)::SetErrorMode(::GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX |
                         SEM_NOOPENFILEERRORBOX);
    typedef HRESULT(WINAPI * WerSetFlagsFn)(DWORD);
    const HMODULE hKernel = ::GetModuleHandleW(L"kernel32.dll");
    const WerSetFlagsFn pWerSetFlags = hKernel == nullptr ? nullptr
        : reinterpret_cast<WerSetFlagsFn>(reinterpret_cast<void*>(::GetProcAddress(hKernel, "WerSetFlags")));
    if (pWerSetFlags != nullptr)
        (void)pWerSetFlags(0x20);   // WER_FAULT_REPORTING_NO_UI
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
    LoadDbgHelp();
    QuietFailures();
    (void)::SetUnhandledExceptionFilter(OnUnhandledException);
    (void)os::InstallSignalStack();   // the main thread's; platform threads get their own
    return std::signal(SIGABRT, OnAbort) == SIG_ERR ? -1 : 0;
}

int ExceptionHandler::do_minidump(void* /*pContext*/)
{
    PrintLog::instance().Flush();   // every line logged before the dump is written
    LoadDbgHelp();
    ::AcquireSRWLockExclusive(&g_dumpLock);
    // Written from a helper thread: a thread that dumps itself records a
    // stack caught in the middle of the dump.
    int nRet = -1;
    const auto Write = [&nRet] {
        g_nRequestWriter.store(::GetCurrentThreadId());
        nRet = WriteDump(nullptr, 0);
        g_nRequestWriter.store(0);
    };
    try {
        std::thread writer(Write);
        writer.join();
    } catch (const std::system_error&) {
        Write();
    }
    ::ReleaseSRWLockExclusive(&g_dumpLock);
    return nRet;
}

const char* ExceptionHandler::LastDumpPath()
{
    return g_szLastPath;
}

}  // namespace nox
