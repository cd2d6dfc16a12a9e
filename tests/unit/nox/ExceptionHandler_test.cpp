// Dumps from threads the platform starts, and late answers to a dump.
#include "nox/ExceptionHandler.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "nox/BaseLib.h"
#include "nox/PrintLog.h"
#include "nox/Thread.h"
#include "nox/testing/ScopedClock.h"

namespace {

std::string ReadFile(const std::string& strPath)
{
    std::stringstream text;
    text << std::ifstream(strPath).rdbuf();
    return text.str();
}

int Overflow(void* pContext, void*)
{
    volatile char aPad[4096];
    aPad[0] = static_cast<char>(reinterpret_cast<uintptr_t>(pContext));
    return pContext == nullptr ? 0 : Overflow(pContext, nullptr) + aPad[0];
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_SANITIZER() GTEST_SKIP() << "the sanitizer runtime owns the signal handlers"
#else
#define SKIP_UNDER_SANITIZER() (void)0
#endif

// A stack overflow on a runner thread still writes a dump: the handler runs on
// that thread's own signal stack. A line still queued for the log's writer
// thread (its clock stands still) reaches the log file first.
TEST(ExceptionHandlerTest, StackOverflowOnARunnerWritesADump)
{
    SKIP_UNDER_SANITIZER();
    char szDir[] = "/tmp/velmora-deep-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(szDir));
    const std::string strBase = std::string(szDir) + "/deep";
    fflush(nullptr);
    const pid_t nChild = fork();
    ASSERT_GE(nChild, 0);
    if (nChild == 0) {
        const struct rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        nox::PrintLog::instance().SetStderr(false);
        nox::testing::ScopedClock clock;
        if (nox::ExceptionHandler::StartMonitor("deep") == 0 && nox::BaseLib::Init(strBase.c_str()) == 0) {
            NOX_LOG("t", "f", nox::kLogInfo, "queued before the crash");
            nox::Runner(&Overflow, szDir, nox::RUNNER_ONCE).Start();   // joined here
        }
        _exit(3);
    }
    int nStatus = 0;
    ASSERT_EQ(nChild, waitpid(nChild, &nStatus, 0));
    EXPECT_TRUE(WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == SIGSEGV) << nStatus;
    EXPECT_NE(std::string::npos, ReadFile(strBase + ".log").find(" f: queued before the crash\n"));
    int nDumps = 0;
    for (const auto& entry : std::filesystem::directory_iterator(szDir)) {
        nDumps += ReadFile(entry.path()).find("signal: 11 SIGSEGV\n") != std::string::npos;
        std::filesystem::remove(entry.path());
    }
    rmdir(szDir);
    EXPECT_EQ(1, nDumps);
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
    for (const long nTid : {aTid[0].load(), aTid[1].load()}) {
        EXPECT_NE(std::string::npos, strDump.find("thread " + std::to_string(nTid) + ": no answer\n"));
        EXPECT_EQ(std::string::npos, strDump.find("thread " + std::to_string(nTid) + ":\n"));
    }
    std::remove(nox::ExceptionHandler::LastDumpPath());
    std::remove((strBase + ".log").c_str());
}

}  // namespace
