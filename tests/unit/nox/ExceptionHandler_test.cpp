// Dumps from threads the platform starts, and late answers to a dump.
#include "nox/ExceptionHandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "ScratchDir.h"
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

#ifndef _WIN32
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
    for (const long nTid : {aTid[0].load(), aTid[1].load()}) {
        EXPECT_NE(std::string::npos, strDump.find("thread " + std::to_string(nTid) + ": no answer\n"));
        EXPECT_EQ(std::string::npos, strDump.find("thread " + std::to_string(nTid) + ":\n"));
    }
    std::remove(nox::ExceptionHandler::LastDumpPath());
    std::remove((strBase + ".log").c_str());
}

#endif

}  // namespace
