// Crash monitor and process dumps for Linux. Everything reached from a signal
// handler uses only async-signal-safe calls (open, write, read, poll,
// syscall, nanosleep, tgkill, lock-free atomics, backtrace after its warm-up
// in StartMonitor).
#include "nox/ExceptionHandler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "common/CivilTime.h"
#include "common/RuntimeOs.h"
#include "nox/PrintLog.h"

namespace nox {

namespace {

constexpr int kMaxFrames = 64;
constexpr int kThreadWaitMs = 300;          // per thread, for its own backtrace
constexpr int kWriteWaitMs = 5000;          // for a thread that has begun to write
constexpr size_t kAltStackSize = 64 * 1024;
const int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

char g_szProgram[64] = "process";
char g_szFolder[512] = "";                   // "" until BaseLib::Init names one
char g_szLastPath[768] = "";
long g_nGmtOffset = 0;                      // seconds east of UTC, taken at start

// One request to one other thread for its stack: the dumping thread stores
// Ask(nTicket) and sends the ticket with the signal. The handler writes only
// when it turns that exact word into Writing(nTicket), then stores
// Done(nTicket). The dumper abandons a request by turning Ask(nTicket) into
// 0, so a late handler (an old ticket) never touches g_nDumpFd; and the dump
// file is closed only when no handler is writing into it.
enum : uint64_t { kAsk = 1, kWriting = 2, kDone = 3 };
constexpr uint64_t Slot(uint32_t nTicket, uint64_t nState)
{
    return static_cast<uint64_t>(nTicket) << 2 | nState;
}
std::atomic<uint64_t> g_nSlot{0};
std::atomic<uint32_t> g_nTicket{0};
std::atomic<int> g_nDumpFd{-1};             // where the thread signal handler writes
static_assert(std::atomic<uint64_t>::is_always_lock_free, "used in signal handlers");
std::atomic<bool> g_bCrashing{false};
std::atomic<bool> g_bThreadSignalReady{false};
std::mutex g_dumpMutex;                     // one on-demand dump at a time
alignas(16) char g_altStack[kAltStackSize];

int ThreadSignal()
{
    return SIGRTMIN + 4;
}

long Tid()
{
    return static_cast<long>(syscall(SYS_gettid));
}

// ---- formatting without the C library's formatted output ----

void Put(int fd, const char* sz)
{
    size_t nLeft = strlen(sz);
    while (nLeft > 0) {
        const ssize_t n = write(fd, sz, nLeft);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        sz += n;
        nLeft -= static_cast<size_t>(n);
    }
}

// Decimal text of n into szBuf (at least 21 bytes).
char* Dec(char* szBuf, unsigned long long n)
{
    char szTmp[24];
    int i = 0;
    do {
        szTmp[i++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0 && i < 20);
    int j = 0;
    while (i > 0)
        szBuf[j++] = szTmp[--i];
    szBuf[j] = '\0';
    return szBuf;
}

void PutDec(int fd, long long n)
{
    char szBuf[24];
    if (n < 0) {
        Put(fd, "-");
        n = -n;
    }
    Put(fd, Dec(szBuf, static_cast<unsigned long long>(n)));
}

void PutHex(int fd, unsigned long long n)
{
    char szBuf[19] = "0x";
    for (int i = 0; i < 16; ++i)
        szBuf[2 + i] = "0123456789abcdef"[(n >> (60 - 4 * i)) & 0xf];
    szBuf[18] = '\0';
    Put(fd, szBuf);
}

void Append(char* szDst, size_t nSize, const char* szSrc)
{
    size_t n = strlen(szDst);
    while (*szSrc != '\0' && n + 1 < nSize)
        szDst[n++] = *szSrc++;
    szDst[n] = '\0';
}

// "YYYYMMDD-HHMMSS" of the local time, from the offset taken at start
// (localtime is not safe in a signal handler).
void StampText(char* szOut, size_t nSize)
{
    os::CivilStamp(static_cast<long long>(time(nullptr)) + g_nGmtOffset, szOut, nSize);
}

const char* SignalName(int nSig)
{
    switch (nSig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "SIGNAL";
    }
}

// Opens a new dump file and records its path in g_szLastPath; -1 on failure.
int OpenDumpFile()
{
    char szFolder[sizeof(g_szFolder)];
    szFolder[0] = '\0';
    Append(szFolder, sizeof(szFolder), g_szFolder);
    if (szFolder[0] == '\0') {
        struct stat st;
        Append(szFolder, sizeof(szFolder),
               (stat("log", &st) == 0 && S_ISDIR(st.st_mode)) ? "log" : ".");
    }
    char szStamp[32];
    StampText(szStamp, sizeof(szStamp));
    char szNum[24];
    for (int nTry = 1; nTry <= 20; ++nTry) {
        char szPath[sizeof(g_szLastPath)] = "";
        Append(szPath, sizeof(szPath), szFolder);
        Append(szPath, sizeof(szPath), "/");
        Append(szPath, sizeof(szPath), g_szProgram);
        Append(szPath, sizeof(szPath), "-");
        Append(szPath, sizeof(szPath), Dec(szNum, static_cast<unsigned long long>(getpid())));
        Append(szPath, sizeof(szPath), "-");
        Append(szPath, sizeof(szPath), szStamp);
        if (nTry > 1) {  // a second dump within the same second
            Append(szPath, sizeof(szPath), "-");
            Append(szPath, sizeof(szPath), Dec(szNum, static_cast<unsigned long long>(nTry)));
        }
        Append(szPath, sizeof(szPath), ".dmp");
        const int fd = open(szPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            memcpy(g_szLastPath, szPath, sizeof(g_szLastPath));
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

void WriteBacktrace(int fd, long nTid, const char* szNote)
{
    void* aFrames[kMaxFrames];
    const int nFrames = backtrace(aFrames, kMaxFrames);
    Put(fd, "thread ");
    PutDec(fd, nTid);
    Put(fd, szNote);
    Put(fd, ":\n");
    backtrace_symbols_fd(aFrames, nFrames, fd);
}

// Runs on each other thread when the dump asks for its stack.
void OnThreadSignal(int /*nSig*/, siginfo_t* pInfo, void* /*pUc*/)
{
    if (pInfo == nullptr || pInfo->si_code != SI_QUEUE)
        return;
    const int nSavedErrno = errno;
    const uint32_t nTicket = static_cast<uint32_t>(pInfo->si_value.sival_int);
    uint64_t nAsked = Slot(nTicket, kAsk);
    if (g_nSlot.compare_exchange_strong(nAsked, Slot(nTicket, kWriting))) {
        WriteBacktrace(g_nDumpFd.load(), Tid(), "");
        uint64_t nWriting = Slot(nTicket, kWriting);
        (void)g_nSlot.compare_exchange_strong(nWriting, Slot(nTicket, kDone));
    }
    errno = nSavedErrno;
}

// Sends the dump's request with its ticket to thread nTid; false when the
// thread ended meanwhile.
bool AskThread(pid_t nPid, long nTid, uint32_t nTicket)
{
    siginfo_t info;
    memset(&info, 0, sizeof(info));
    info.si_signo = ThreadSignal();
    info.si_code = SI_QUEUE;
    info.si_pid = nPid;
    info.si_uid = getuid();
    info.si_value.sival_int = static_cast<int>(nTicket);
    return syscall(SYS_rt_tgsigqueueinfo, nPid, nTid, ThreadSignal(), &info) == 0;
}

void SleepOneMs()
{
    struct timespec ts = {0, 1000000};
    nanosleep(&ts, nullptr);
}

// Waits up to nMs for g_nSlot to leave nWord; true when it did.
bool WaitSlotChange(uint64_t nWord, int nMs)
{
    for (int nWaited = 0; g_nSlot.load() == nWord; ++nWaited) {
        if (nWaited >= nMs)
            return false;
        SleepOneMs();
    }
    return true;
}

// Asks every other thread of the process, one at a time, to write its stack.
// Returns false when a thread is still writing into fd, which must then stay open.
bool WriteOtherThreads(int fd, long nSelf)
{
    const int dirFd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        Put(fd, "threads: /proc/self/task unreadable\n");
        return true;
    }
    g_nDumpFd.store(fd);
    bool bIdle = true;
    const pid_t nPid = getpid();
    alignas(8) char aBuf[4096];
    while (bIdle) {
        const long nRead = syscall(SYS_getdents64, dirFd, aBuf, sizeof(aBuf));
        if (nRead <= 0)
            break;
        for (long nOff = 0; nOff < nRead && bIdle;) {
            // struct linux_dirent64: ino 8, off 8, reclen 2, type 1, name
            unsigned short nRecLen;
            memcpy(&nRecLen, aBuf + nOff + 16, sizeof(nRecLen));
            const char* szName = aBuf + nOff + 19;
            nOff += nRecLen;
            if (szName[0] < '0' || szName[0] > '9')
                continue;
            long nTid = 0;
            for (const char* p = szName; *p >= '0' && *p <= '9'; ++p)
                nTid = nTid * 10 + (*p - '0');
            if (nTid == nSelf)
                continue;
            const uint32_t nTicket = g_nTicket.fetch_add(1) + 1;
            uint64_t nAsked = Slot(nTicket, kAsk);
            g_nSlot.store(nAsked);
            if (!AskThread(nPid, nTid, nTicket)) {
                g_nSlot.store(0);
                continue;  // the thread ended meanwhile
            }
            if (!WaitSlotChange(nAsked, kThreadWaitMs) &&
                g_nSlot.compare_exchange_strong(nAsked, 0)) {
                Put(fd, "thread ");
                PutDec(fd, nTid);
                Put(fd, ": no answer\n");
                continue;
            }
            bIdle = WaitSlotChange(Slot(nTicket, kWriting), kWriteWaitMs);
        }
    }
    close(dirFd);
    if (bIdle)
        g_nDumpFd.store(-1);
    return bIdle;
}

void WriteMaps(int fd)
{
    Put(fd, "maps:\n");
    const int mapsFd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (mapsFd < 0) {
        Put(fd, "(unreadable)\n");
        return;
    }
    char aBuf[4096];
    for (;;) {
        const ssize_t n = read(mapsFd, aBuf, sizeof(aBuf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        ssize_t nDone = 0;
        while (nDone < n) {
            const ssize_t w = write(fd, aBuf + nDone, static_cast<size_t>(n - nDone));
            if (w <= 0)
                break;
            nDone += w;
        }
    }
    close(mapsFd);
}

// The whole dump. nSig 0: on request; otherwise the fatal signal and address.
int WriteDump(int nSig, const void* pAddr)
{
    const int fd = OpenDumpFile();
    if (fd < 0)
        return -1;
    char szStamp[32];
    StampText(szStamp, sizeof(szStamp));
    Put(fd, "nox dump 1 program ");
    Put(fd, g_szProgram);
    Put(fd, " pid ");
    PutDec(fd, getpid());
    Put(fd, " time ");
    Put(fd, szStamp);
    Put(fd, nSig != 0 ? " reason crash\n" : " reason request\n");
    const long nSelf = Tid();
    if (nSig != 0) {
        Put(fd, "signal: ");
        PutDec(fd, nSig);
        Put(fd, " ");
        Put(fd, SignalName(nSig));
        Put(fd, "\naddress: ");
        PutHex(fd, reinterpret_cast<unsigned long long>(pAddr));
        Put(fd, "\n");
    }
    WriteBacktrace(fd, nSelf, nSig != 0 ? " (crashed)" : " (dumping)");
    const bool bIdle = !g_bThreadSignalReady.load() || WriteOtherThreads(fd, nSelf);
    WriteMaps(fd);
    Put(fd, "end\n");
    if (bIdle)
        close(fd);
    return 0;
}

void OnFatalSignal(int nSig, siginfo_t* pInfo, void* /*pUc*/)
{
    if (!g_bCrashing.exchange(true)) {
        detail::WriteQueuedLinesAtCrash();   // every line logged before the crash
        (void)WriteDump(nSig, pInfo != nullptr ? pInfo->si_addr : nullptr);
    }
    // Die as the process would have without the monitor: the signal is
    // blocked while this handler runs, so it is delivered on return.
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(nSig, &sa, nullptr);
    syscall(SYS_tgkill, getpid(), Tid(), nSig);
}

int InstallThreadSignal()
{
    if (g_bThreadSignalReady.load())
        return 0;
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = OnThreadSignal;
    sa.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    if (sigaction(ThreadSignal(), &sa, nullptr) != 0)
        return -1;
    g_bThreadSignalReady.store(true);
    return 0;
}

void TakeTimeOffset()
{
    const time_t now = time(nullptr);
    struct tm tmLocal;
    localtime_r(&now, &tmLocal);
    g_nGmtOffset = tmLocal.tm_gmtoff;
}

}  // namespace

namespace os {
void SetDumpFolder(const char* szFolder)
{
    g_szFolder[0] = '\0';
    if (szFolder != nullptr)
        Append(g_szFolder, sizeof(g_szFolder), szFolder);
}

void* InstallSignalStack()
{
    stack_t ssOld;
    if (sigaltstack(nullptr, &ssOld) == 0 && (ssOld.ss_flags & SS_DISABLE) == 0)
        return nullptr;  // kept: the monitor's or a sanitizer's
    void* pStack = mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (pStack == MAP_FAILED)
        return nullptr;
    stack_t ss;
    memset(&ss, 0, sizeof(ss));
    ss.ss_sp = pStack;
    ss.ss_size = kAltStackSize;
    if (sigaltstack(&ss, nullptr) != 0) {
        munmap(pStack, kAltStackSize);
        return nullptr;
    }
    return pStack;
}

void RemoveSignalStack(void* pStack)
{
    if (pStack == nullptr)
        return;
    stack_t ss;
    memset(&ss, 0, sizeof(ss));
    ss.ss_flags = SS_DISABLE;
    if (sigaltstack(&ss, nullptr) == 0)
        munmap(pStack, kAltStackSize);
}
}  // namespace os

int ExceptionHandler::StartMonitor(const char* szProgram)
{
    if (szProgram != nullptr && szProgram[0] != '\0') {
        g_szProgram[0] = '\0';
        Append(g_szProgram, sizeof(g_szProgram), szProgram);
    }
    TakeTimeOffset();
    void* aWarm[4];
    (void)backtrace(aWarm, 4);  // loads the unwinder now, not in the crash path

    stack_t ss;
    memset(&ss, 0, sizeof(ss));
    ss.ss_sp = g_altStack;
    ss.ss_size = sizeof(g_altStack);
    int nRet = sigaltstack(&ss, nullptr) == 0 ? 0 : -1;

    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = OnFatalSignal;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int nSig : kFatalSignals) {
        if (sigaction(nSig, &sa, nullptr) != 0)
            nRet = -1;
    }
    if (InstallThreadSignal() != 0)
        nRet = -1;
    return nRet;
}

int ExceptionHandler::do_minidump(void* /*pContext*/)
{
    PrintLog::instance().Flush();   // every line logged before the dump is written
    std::lock_guard<std::mutex> lock(g_dumpMutex);
    TakeTimeOffset();
    void* aWarm[4];
    (void)backtrace(aWarm, 4);
    (void)InstallThreadSignal();  // without it the dump holds only this thread
    return WriteDump(0, nullptr);
}

const char* ExceptionHandler::LastDumpPath()
{
    return g_szLastPath;
}

}  // namespace nox
