#include "nox/ExceptionHandler.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ScratchDir.h"
#include "nox/BaseLib.h"
#include "nox/PrintLog.h"
#include "nox/Thread.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define NOX_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define NOX_TEST_SANITIZED 1
#endif
#endif

namespace {

namespace fs = std::filesystem;
using velmora_test::ReadFile;

int CountOf(const std::string& strText, const std::string& strPart)
{
    int n = 0;
    for (size_t nPos = strText.find(strPart); nPos != std::string::npos;
         nPos = strText.find(strPart, nPos + 1))
        ++n;
    return n;
}

bool Has(const std::string& strText, const std::string& strPart)
{
    return strText.find(strPart) != std::string::npos;
}

// Threads parked until the object goes, so a dump finds them alive. They wait
// on a condition variable: the thread sanitizer delivers signals to a thread
// only inside calls it intercepts, which pthread_cond_wait is and a bare
// futex wait (std::future) is not.
class ParkedThreads {
public:
    explicit ParkedThreads(int nCount)
    {
        for (int i = 0; i < nCount; ++i) {
            m_vecThread.emplace_back([this] {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_vecTid.push_back(static_cast<long>(syscall(SYS_gettid)));
                m_cv.notify_all();
                m_cv.wait(lock, [this] { return m_bRelease; });
            });
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this, nCount] { return m_vecTid.size() == static_cast<size_t>(nCount); });
    }
    ~ParkedThreads()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bRelease = true;
        }
        m_cv.notify_all();
        for (auto& thread : m_vecThread)
            thread.join();
    }
    std::vector<long> m_vecTid;   // complete once the constructor returns

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bRelease = false;
    std::vector<std::thread> m_vecThread;
};

TEST(ExceptionHandlerTest, DumpOnRequestHoldsEveryThreadAndTheMemoryMap)
{
    velmora_test::ScratchDir tmp;
    nox::PrintLog::instance().SetStderr(false);
    ASSERT_EQ(0, nox::BaseLib::Init((tmp.root / "log/app").c_str()));  // dumps go beside the log
    nox::BaseLib::Uninit();
    nox::PrintLog::instance().SetStderr(true);

    ParkedThreads parked(2);
    ASSERT_EQ(0, nox::ExceptionHandler::do_minidump(nullptr));
    const fs::path path = nox::ExceptionHandler::LastDumpPath();
    EXPECT_EQ(tmp.root / "log", path.parent_path());
    EXPECT_TRUE(std::regex_match(path.filename().string(),
                                 std::regex(".+-" + std::to_string(getpid()) +
                                            R"(-\d{8}-\d{6}\.dmp)")))
        << path;

    const std::string strDump = ReadFile(path);
    EXPECT_EQ(0u, strDump.find("nox dump 1 program ")) << strDump.substr(0, 200);
    EXPECT_TRUE(Has(strDump, " reason request\n"));
    EXPECT_TRUE(Has(strDump, "thread " + std::to_string(syscall(SYS_gettid)) + " (dumping):\n"));
    for (long nTid : parked.m_vecTid)
        EXPECT_TRUE(Has(strDump, "thread " + std::to_string(nTid) + ":\n")) << nTid;
#ifndef NOX_TEST_SANITIZED
    EXPECT_EQ(0, CountOf(strDump, "no answer"));  // a sanitizer's own thread blocks signals
#endif
    const size_t nMaps = strDump.find("\nmaps:\n");
    ASSERT_NE(std::string::npos, nMaps);
    EXPECT_NE(std::string::npos, strDump.find("[stack]", nMaps));
    EXPECT_EQ(strDump.size() - 4, strDump.rfind("end\n"));

    // A second dump in the same second gets a file of its own.
    ASSERT_EQ(0, nox::ExceptionHandler::do_minidump(nullptr));
    EXPECT_NE(path, fs::path(nox::ExceptionHandler::LastDumpPath()));
}

TEST(ExceptionHandlerTest, FatalSignalWritesADumpThenKillsTheProcessBySignal)
{
#ifdef NOX_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizer runtime owns the fatal signal handlers";
#endif
    velmora_test::ScratchDir tmp;
    for (const int nSig : {SIGSEGV, SIGABRT}) {
        const std::string strName = nSig == SIGSEGV ? "SIGSEGV" : "SIGABRT";
        SCOPED_TRACE(strName);
        const fs::path dir = tmp.root / strName;
        fs::create_directories(dir / "log");
        fflush(nullptr);
        const pid_t nChild = fork();
        ASSERT_GE(nChild, 0);
        if (nChild == 0) {
            struct rlimit noCore = {0, 0};
            setrlimit(RLIMIT_CORE, &noCore);  // the test wants the dump, not a core file
            nox::PrintLog::instance().SetStderr(false);
            if (chdir(dir.c_str()) != 0 || nox::ExceptionHandler::StartMonitor("crashy") != 0 ||
                nox::BaseLib::Init("log/crashy") != 0)
                _exit(3);
            new ParkedThreads(1);  // a second thread for the dump to visit
            if (nSig == SIGSEGV)
                *static_cast<volatile int*>(nullptr) = 1;
            abort();
        }
        int nStatus = 0;
        ASSERT_EQ(nChild, waitpid(nChild, &nStatus, 0));
        ASSERT_TRUE(WIFSIGNALED(nStatus)) << "exit status " << WEXITSTATUS(nStatus);
        EXPECT_EQ(nSig, WTERMSIG(nStatus));

        // The dump lies beside the child's log file.
        std::vector<fs::path> vecDump;
        for (const auto& entry : fs::directory_iterator(dir / "log"))
            if (entry.path().extension() == ".dmp")
                vecDump.push_back(entry.path());
        ASSERT_EQ(1u, vecDump.size());
        const std::string strFile = vecDump[0].filename().string();
        EXPECT_EQ(0u, strFile.find("crashy-" + std::to_string(nChild) + "-")) << strFile;
        const std::string strDump = ReadFile(vecDump[0]);
        EXPECT_TRUE(Has(strDump, " reason crash\n"));
        EXPECT_TRUE(Has(strDump, "signal: " + std::to_string(nSig) + " " + strName + "\n"));
        EXPECT_TRUE(nSig != SIGSEGV || Has(strDump, "address: 0x0000000000000000\n"));
        EXPECT_EQ(1, CountOf(strDump, " (crashed):\n"));
        EXPECT_GE(CountOf(strDump, "\nthread "), 2);
        EXPECT_TRUE(Has(strDump, "\nmaps:\n"));
        EXPECT_EQ(strDump.size() - 4, strDump.rfind("end\n"));
    }
}

}  // namespace

static int Overflow(void* pContext, void* /*pArg*/)
{
    volatile char aPad[4096];
    aPad[0] = static_cast<char>(reinterpret_cast<uintptr_t>(pContext));
    return pContext == nullptr ? 0 : Overflow(pContext, nullptr) + aPad[0];
}

// A stack overflow on a runner thread still writes a dump: the handler runs on
// the thread's own signal stack.
TEST(ExceptionHandlerTest, StackOverflowOnARunnerWritesADump)
{
#ifdef NOX_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizer runtime owns the fatal signal handlers";
#endif
    velmora_test::ScratchDir tmp;
    fflush(nullptr);
    const pid_t nChild = fork();
    ASSERT_GE(nChild, 0);
    if (nChild == 0) {
        struct rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        nox::PrintLog::instance().SetStderr(false);
        if (nox::ExceptionHandler::StartMonitor("deep") == 0 &&
            nox::BaseLib::Init((tmp.root / "deep").c_str()) == 0)
            nox::Runner(&Overflow, &tmp, nox::RUNNER_ONCE).Start();  // joined here
        _exit(3);
    }
    int nStatus = 0;
    ASSERT_EQ(nChild, waitpid(nChild, &nStatus, 0));
    int nDumps = 0;
    for (const auto& entry : fs::directory_iterator(tmp.root))
        nDumps += Has(ReadFile(entry.path()), "signal: 11 SIGSEGV\n") ? 1 : 0;
    EXPECT_EQ(1, nDumps);
}

// Two threads block every signal, so the dump gives up on both; the first
// unblocks while the dump waits for the second, and its late answer must not
// reach the dump (nor the second's, after the dump ended).
TEST(ExceptionHandlerTest, LateAnswersWriteNothing)
{
#ifdef NOX_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizer runtime defers signals";
#endif
    velmora_test::ScratchDir tmp;
    ASSERT_EQ(0, nox::BaseLib::Init((tmp.root / "app").c_str()));
    nox::BaseLib::Uninit();
    std::atomic<long> aTid[2] = {{0}, {0}};
    std::atomic<bool> bRelease{false};
    const auto SecondAsked = [&] {
        const std::string strSt = ReadFile("/proc/self/task/" + std::to_string(aTid[1]) + "/status");
        return Has(strSt, "SigPnd:") && !Has(strSt, "SigPnd:\t0000000000000000");
    };
    const auto Park = [&](int i) {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        aTid[i] = static_cast<long>(syscall(SYS_gettid));
        for (int nMs = 0; !bRelease && !(i == 0 && SecondAsked()) && nMs < 10000; ++nMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pthread_sigmask(SIG_UNBLOCK, &all, nullptr);  // a pending request runs here
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
        EXPECT_TRUE(Has(strDump, "thread " + std::to_string(nTid) + ": no answer\n")) << nTid;
        EXPECT_FALSE(Has(strDump, "thread " + std::to_string(nTid) + ":\n")) << nTid;
    }
}
