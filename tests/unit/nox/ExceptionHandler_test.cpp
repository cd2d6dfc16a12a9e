// Dumps from threads the platform starts, and late answers to a dump.
#include "nox/ExceptionHandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ScratchDir.h"
#include "common/CivilTime.h"
#include "nox/BaseLib.h"
#include "nox/PrintLog.h"
#include "nox/Thread.h"
#include "nox/testing/ScopedClock.h"

#ifdef _WIN32
#include <windows.h>
// Wine leaves an exception filter no stack after an overflow (it has no stack
// guarantee): there the runner crashes through a null pointer instead.
const bool kOverflow = ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr;
bool Crashed(int nStatus) { return static_cast<DWORD>(nStatus) == (kOverflow ? EXCEPTION_STACK_OVERFLOW : EXCEPTION_ACCESS_VIOLATION); }
const char kDumpMark[] = "MDMP";   // a minidump
void QuietCrash() { ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX); }
#else
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
const bool kOverflow = true;
bool Crashed(int nStatus) { return WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == SIGSEGV; }
const char kDumpMark[] = "signal: 11 SIGSEGV\n";
const struct rlimit kNoCore = {0, 0};
void QuietCrash() { setrlimit(RLIMIT_CORE, &kNoCore); }   // no core file
#endif

namespace {

using velmora_test::ReadFile;

int Crash(void* pContext, void*)
{
    if (!kOverflow) {
        volatile int* volatile pNull = nullptr;
        *pNull = 1;
    }
    volatile char aPad[4096];
    aPad[0] = static_cast<char>(reinterpret_cast<uintptr_t>(pContext));
    return pContext == nullptr ? 0 : Crash(pContext, nullptr) + aPad[0];
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_SANITIZER() GTEST_SKIP() << "the sanitizer runtime owns the signal handlers"
#else
#define SKIP_UNDER_SANITIZER() (void)0
#endif

// A stack overflow on a runner thread still writes a dump: on Linux the
// handler runs on that thread's own signal stack, on Windows the filter has
// the thread's stack guarantee. A line still queued for the log's writer
// thread (its clock stands still) reaches the log file first. The folder is relative, so the child process
// of the death test (a new process on Windows) writes where this one looks.
TEST(ExceptionHandlerTest, StackOverflowOnARunnerWritesADump)
{
    SKIP_UNDER_SANITIZER();
    const std::filesystem::path dir = std::filesystem::absolute("velmora-deep");
    std::filesystem::remove_all(dir);   // BaseLib::Init makes it
    const std::string strBase = (dir / "deep").generic_string();
    EXPECT_EXIT(
        {
            QuietCrash();
            nox::PrintLog::instance().SetStderr(false);
            nox::testing::ScopedClock clock;
            int nDeep = 1;
            if (nox::ExceptionHandler::StartMonitor("deep") == 0 && nox::BaseLib::Init(strBase.c_str()) == 0) {
                NOX_LOG("t", "f", nox::kLogInfo, "queued before the crash");
                nox::Runner(&Crash, &nDeep, nox::RUNNER_ONCE).Start();   // joined here
            }
            std::exit(3);
        },
        Crashed, "");
    EXPECT_NE(std::string::npos, ReadFile(strBase + ".log").find(" f: queued before the crash"));
    int nDumps = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        nDumps += ReadFile(entry.path()).find(kDumpMark) != std::string::npos;
    std::filesystem::remove_all(dir);
    EXPECT_EQ(1, nDumps);
}

// A dump's time stamp, from seconds since 1970 (the zone's offset added by
// the caller): leap days, the ends of months and years, eras, and times
// before 1970.
TEST(ExceptionHandlerTest, DumpStampsFollowTheCalendar)
{
    const struct { long long nSecs; const char* szStamp; } kStamps[] = {
        {0, "19700101-000000"},            {86399, "19700101-235959"},
        {951782400, "20000229-000000"},    {951868799, "20000229-235959"},
        {1704067199, "20231231-235959"},   {1706745600, "20240201-000000"},
        {1709164800, "20240229-000000"},   {4107542399, "21000228-235959"},
        {4107542400, "21000301-000000"},   {-1, "19691231-235959"},
        {1765019106, "20251206-110506"},
    };
    for (const auto& s : kStamps) {
        char szOut[16];
        nox::os::CivilStamp(s.nSecs, szOut, sizeof(szOut));
        EXPECT_STREQ(s.szStamp, szOut) << s.nSecs;
    }
}

#ifndef _WIN32
// Lines "line 0" .. "line N-1" then "LAST", in that order and none twice; with
// bAll every one of them. Standard error may drop lines (a reader that lags
// must not stall the service), the file may not.
void ExpectLinesInOrder(const std::string& strOut, int nLines, bool bAll, const char* szWhere)
{
    int nNext = 0;   // the index the next line may not go below
    int nSeen = 0;
    for (size_t nPos = 0; (nPos = strOut.find(" f: ", nPos)) != std::string::npos; ++nSeen) {
        const size_t nEnd = strOut.find('\n', nPos);
        const std::string strText = strOut.substr(nPos + 4, nEnd - nPos - 4);
        const int nIndex = strText == "LAST" ? nLines : std::stoi(strText.substr(5));
        ASSERT_GE(nIndex, nNext) << szWhere << ": " << strText << " again or out of order";
        nNext = nIndex + 1;
        nPos = nEnd;
    }
    if (bAll) {
        EXPECT_EQ(nLines + 1, nSeen) << szWhere;
    }
}

// A thread crashes while the log's writer thread is in the middle of a batch,
// with a standard error that is read slowly: every line logged before the
// crash reaches the file exactly once, in order, and standard error at most
// once, in order.
TEST(ExceptionHandlerTest, CrashWritesEachQueuedLineOnce)
{
    SKIP_UNDER_SANITIZER();
    constexpr int kLines = 3000;
    const std::string strBase = ::testing::TempDir() + "once-" + std::to_string(getpid());
    int aPipe[2];
    ASSERT_EQ(0, pipe(aPipe));
    const pid_t nChild = fork();
    ASSERT_NE(-1, nChild);
    if (nChild == 0) {
        QuietCrash();
        dup2(aPipe[1], 2);
        close(aPipe[0]);
        if (nox::ExceptionHandler::StartMonitor("once") == 0 && nox::BaseLib::Init(strBase.c_str()) == 0) {
            for (int i = 0; i < kLines; ++i)
                NOX_LOG("t", "f", nox::kLogInfo, "line %d", i);
            NOX_LOG("t", "f", nox::kLogInfo, "LAST");
            volatile int* volatile pBad = reinterpret_cast<int*>(0x4a0);
            *pBad = 1;
        }
        _exit(3);
    }
    close(aPipe[1]);
    std::string strErr;
    char aBuf[1024];
    for (ssize_t n; (n = read(aPipe[0], aBuf, sizeof(aBuf))) > 0;) {
        strErr.append(aBuf, static_cast<size_t>(n));
        std::this_thread::sleep_for(std::chrono::microseconds(300));   // the slow reader
    }
    close(aPipe[0]);
    int nStatus = 0;
    ASSERT_EQ(nChild, waitpid(nChild, &nStatus, 0));
    EXPECT_TRUE(Crashed(nStatus)) << nStatus;
    ExpectLinesInOrder(strErr, kLines, false, "stderr");
    ExpectLinesInOrder(ReadFile(strBase + ".log"), kLines, true, "file");
    std::string strDump;   // the child's dump, beside its log
    for (const auto& entry : std::filesystem::directory_iterator(::testing::TempDir())) {
        const std::string strName = entry.path().filename().string();
        if (strName.rfind("once-" + std::to_string(nChild) + "-", 0) == 0 &&
            entry.path().extension() == ".dmp") {
            strDump = ReadFile(entry.path());
            std::filesystem::remove(entry.path());
        }
    }
    EXPECT_NE(std::string::npos, strDump.find("\naddress: 0x00000000000004a0\n")) << strDump.substr(0, 300);
    std::remove((strBase + ".log").c_str());
}

// Two threads block every signal, so the dump gives up on both; the first
// unblocks while the dump waits for the second: no late answer reaches the dump.
TEST(ExceptionHandlerTest, LateAnswersWriteNothing)
{
    SKIP_UNDER_SANITIZER();
    const std::string strBase = ::testing::TempDir() + "late-" + std::to_string(getpid());
    ASSERT_EQ(0, nox::BaseLib::Init(strBase.c_str()));
    nox::BaseLib::Uninit();
    std::atomic<long> aTid[2] = {{0}, {0}};
    std::atomic<bool> bRelease{false};
    const auto SecondAsked = [&] {
        const std::string strSt = ReadFile("/proc/self/task/" + std::to_string(aTid[1]) + "/status");
        return !strSt.empty() && strSt.find("SigPnd:\t0000000000000000") == std::string::npos;
    };
    const auto Park = [&](int i) {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        aTid[i] = static_cast<long>(syscall(SYS_gettid));
        for (int nMs = 0; !bRelease && !(i == 0 && SecondAsked()) && nMs < 10000; ++nMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pthread_sigmask(SIG_UNBLOCK, &all, nullptr);   // a pending request runs here
    };
    std::thread first(Park, 0);
    while (aTid[0] == 0)
        std::this_thread::yield();
    std::thread second(Park, 1);
    while (aTid[1] == 0)
        std::this_thread::yield();
    EXPECT_EQ(0, nox::ExceptionHandler::do_minidump(nullptr));
    bRelease = true;
    first.join();
    second.join();
    const std::string strDump = ReadFile(nox::ExceptionHandler::LastDumpPath());
    EXPECT_TRUE(std::regex_search(nox::ExceptionHandler::LastDumpPath(),
                                  std::regex("-[0-9]{8}-[0-9]{6}\\.dmp$")))   // a first try: no suffix
        << nox::ExceptionHandler::LastDumpPath();
    for (const long nTid : {aTid[0].load(), aTid[1].load()}) {
        EXPECT_NE(std::string::npos, strDump.find("thread " + std::to_string(nTid) + ": no answer\n"));
        EXPECT_EQ(std::string::npos, strDump.find("thread " + std::to_string(nTid) + ":\n"));
    }
    std::remove(nox::ExceptionHandler::LastDumpPath());
    std::remove((strBase + ".log").c_str());
}

#endif

}  // namespace
