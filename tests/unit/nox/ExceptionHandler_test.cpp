#include "nox/ExceptionHandler.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nox/BaseLib.h"
#include "nox/PrintLog.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define NOX_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define NOX_TEST_SANITIZED 1
#endif
#endif

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream out;
    out << file.rdbuf();
    return out.str();
}

int CountOf(const std::string& strText, const std::string& strPart)
{
    int n = 0;
    for (size_t nPos = strText.find(strPart); nPos != std::string::npos;
         nPos = strText.find(strPart, nPos + 1))
        ++n;
    return n;
}

// Threads that park on a condition until released, so the dump finds them alive.
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
        m_cv.wait(lock, [&] { return m_vecTid.size() == static_cast<size_t>(nCount); });
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
    std::vector<long> Tids()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecTid;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<long> m_vecTid;
    bool m_bRelease = false;
    std::vector<std::thread> m_vecThread;
};

class ExceptionHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string strTemplate = (fs::temp_directory_path() / "nox-dump-XXXXXX").string();
        ASSERT_NE(nullptr, mkdtemp(&strTemplate[0]));
        m_dir = strTemplate;
    }
    void TearDown() override
    {
        std::error_code ec;
        if (!m_dir.empty())
            fs::remove_all(m_dir, ec);
    }
    fs::path m_dir;
};

TEST_F(ExceptionHandlerTest, DumpOnRequestHoldsEveryThreadAndTheMemoryMap)
{
    nox::PrintLog::instance().SetStderr(false);
    ASSERT_EQ(0, nox::BaseLib::Init((m_dir / "log/app").c_str()));  // dumps go beside the log
    nox::BaseLib::Uninit();
    nox::PrintLog::instance().SetStderr(true);

    ParkedThreads parked(2);
    ASSERT_EQ(0, nox::ExceptionHandler::do_minidump(nullptr));
    const fs::path path = nox::ExceptionHandler::LastDumpPath();
    EXPECT_EQ(m_dir / "log", path.parent_path());
    EXPECT_TRUE(std::regex_match(path.filename().string(),
                                 std::regex(".+-" + std::to_string(getpid()) +
                                            R"(-\d{8}-\d{6}\.dmp)")))
        << path;

    const std::string strDump = ReadFile(path);
    EXPECT_EQ(0u, strDump.find("nox dump 1 program ")) << strDump.substr(0, 200);
    EXPECT_NE(std::string::npos, strDump.find(" reason request\n"));
    EXPECT_NE(std::string::npos, strDump.find("thread " + std::to_string(syscall(SYS_gettid)) +
                                              " (dumping):\n"));
    for (long nTid : parked.Tids())
        EXPECT_NE(std::string::npos, strDump.find("thread " + std::to_string(nTid) + ":\n"))
            << nTid;
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

TEST_F(ExceptionHandlerTest, FatalSignalWritesADumpThenKillsTheProcessBySignal)
{
#ifdef NOX_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizer runtime owns the fatal signal handlers";
#endif
    struct Case {
        int nSig;
        const char* szName;
        bool bNullWrite;
    };
    for (const Case& c : {Case{SIGSEGV, "SIGSEGV", true}, Case{SIGABRT, "SIGABRT", false}}) {
        SCOPED_TRACE(c.szName);
        const fs::path dir = m_dir / c.szName;
        fs::create_directories(dir / "log");
        fflush(nullptr);
        const pid_t nChild = fork();
        ASSERT_GE(nChild, 0);
        if (nChild == 0) {
            struct rlimit noCore = {0, 0};
            setrlimit(RLIMIT_CORE, &noCore);  // the test wants the dump, not a core file
            if (chdir(dir.c_str()) != 0)
                _exit(3);
            nox::PrintLog::instance().SetStderr(false);
            if (nox::ExceptionHandler::StartMonitor("crashy") != 0 ||
                nox::BaseLib::Init("log/crashy") != 0)
                _exit(4);
            std::mutex mutex;
            std::condition_variable cv;
            bool bReady = false;
            std::thread other([&] {  // a second thread for the dump to visit
                std::unique_lock<std::mutex> lock(mutex);
                bReady = true;
                cv.notify_all();
                cv.wait(lock, [] { return false; });
            });
            {
                std::unique_lock<std::mutex> lock(mutex);
                cv.wait(lock, [&] { return bReady; });
            }
            if (c.bNullWrite) {
                volatile int* pNull = nullptr;
                *pNull = 1;
            }
            abort();
        }
        int nStatus = 0;
        ASSERT_EQ(nChild, waitpid(nChild, &nStatus, 0));
        ASSERT_TRUE(WIFSIGNALED(nStatus)) << "exit status " << WEXITSTATUS(nStatus);
        EXPECT_EQ(c.nSig, WTERMSIG(nStatus));

        // The dump lies beside the child's log file.
        std::vector<fs::path> vecDump;
        for (const auto& entry : fs::directory_iterator(dir / "log")) {
            if (entry.path().extension() == ".dmp")
                vecDump.push_back(entry.path());
        }
        ASSERT_EQ(1u, vecDump.size());
        EXPECT_EQ(0u, vecDump[0].filename().string().find("crashy-" + std::to_string(nChild) + "-"));
        const std::string strDump = ReadFile(vecDump[0]);
        EXPECT_NE(std::string::npos, strDump.find(" reason crash\n"));
        EXPECT_NE(std::string::npos, strDump.find("signal: " + std::to_string(c.nSig) + " " +
                                                  c.szName + "\n"));
        if (c.bNullWrite) {
            EXPECT_NE(std::string::npos, strDump.find("address: 0x0000000000000000\n"));
        }
        EXPECT_EQ(1, CountOf(strDump, " (crashed):\n"));
        EXPECT_GE(CountOf(strDump, "\nthread "), 2);
        EXPECT_NE(std::string::npos, strDump.find("\nmaps:\n"));
        EXPECT_EQ(strDump.size() - 4, strDump.rfind("end\n"));
    }
}

}  // namespace
