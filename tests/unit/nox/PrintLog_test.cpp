#include "nox/PrintLog.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ScratchDir.h"
#include "nox/BaseLib.h"
#include "nox/testing/LogCapture.h"
#include "nox/testing/ScopedClock.h"

namespace {

namespace fs = std::filesystem;
using velmora_test::ReadFile;

const char kSrc[] = "CUListen/CUHandle";
const char kFn[] = "CCUHandler::OnData";

std::vector<std::string> SplitLines(const std::string& strText)
{
    std::vector<std::string> vecLine;
    std::istringstream in(strText);
    for (std::string strLine; std::getline(in, strLine);)
        vecLine.push_back(strLine);
    return vecLine;
}

class PrintLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_log.CloseFile();
        m_log.SetStderr(false);
        m_log.SetLevel(nox::kLogInfo);
    }
    void TearDown() override
    {
        m_log.CloseFile();
        m_log.SetStderr(true);
        m_log.SetFileSize(0xC800000);
        m_log.SetLevel(nox::kLogInfo);
    }

    nox::PrintLog& m_log = nox::PrintLog::instance();
    velmora_test::ScratchDir m_tmp;
    const fs::path m_dir = m_tmp.root;
};

TEST_F(PrintLogTest, FallsBackToStderrThenWritesFilteredLinesToFileAndStderr)
{
    std::ofstream(m_dir / "file") << "a regular file, not a folder";
    const std::string strBad = (m_dir / "file/log/x").string();
    const std::string strBase = (m_dir / "deep/er/app").string();
    std::vector<nox::testing::LogCapture::Line> vecCaptured;
    ::testing::internal::CaptureStderr();
    m_log.SetStderr(true);
    int nBad = 0;
    int nInit = -1;
    {
        nox::testing::LogCapture capture;
        nBad = m_log.OpenFile(strBad.c_str());
        NOX_LOG(kSrc, kFn, nox::kLogInfo, "still logging");
        nInit = nox::BaseLib::Init(strBase.c_str());
        NOX_LOG(kSrc, kFn, nox::kLogDebug, "hidden %d", 1);
        NOX_LOG(kSrc, kFn, nox::kLogInfo, "recv len[%d] from %s", 7, "10.0.0.9");
        NOX_LOG(kSrc, kFn, nox::kLogError, "pressed q ...\n");
        NOX_LOG(kSrc, kFn, 5, "%s", "");
        m_log.SetLevel(nox::kLogDebug);
        NOX_LOG(kSrc, kFn, nox::kLogDebug, "shown");
        vecCaptured = capture.Lines();
    }
    nox::BaseLib::Uninit();
    const std::string strStderr = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(-1, nBad);
    ASSERT_EQ(0, nInit);
    ASSERT_EQ(6u, vecCaptured.size());
    EXPECT_EQ(nox::kLogError, vecCaptured[0].nLevel);
    EXPECT_EQ(0u, vecCaptured[0].strText.find("log file " + strBad + ".log could not be opened: "))
        << vecCaptured[0].strText;
    EXPECT_EQ(nox::kLogInfo, vecCaptured[2].nLevel);
    EXPECT_EQ(kSrc, vecCaptured[2].strFile);
    EXPECT_EQ(kFn, vecCaptured[2].strFunc);
    EXPECT_EQ("recv len[7] from 10.0.0.9", vecCaptured[2].strText);
    EXPECT_EQ("pressed q ...\n", vecCaptured[3].strText);

    // One newline per line, also after a message that brought its own; the
    // file holds the lines from its opening on, stderr all of them.
    const std::vector<std::string> vecWant = {
        R"(ERROR \[\d+\] \S+:\d+ \S+: log file .*/file/log/x\.log could not be opened: .+)",
        "INFO%still logging", R"(INFO%recv len\[7\] from 10\.0\.0\.9)",
        R"(ERROR%pressed q \.\.\.)", "LEVEL5%", "DEBUG%shown"};
    const std::vector<std::string> vecLine = SplitLines(strStderr);
    ASSERT_EQ(vecWant.size(), vecLine.size()) << strStderr;
    EXPECT_EQ(ReadFile(strBase + ".log"),
              strStderr.substr(vecLine[0].size() + vecLine[1].size() + 2));
    const std::string strWhere = R"( \[)" + std::to_string(syscall(SYS_gettid)) +
                                 R"(\] CUListen/CUHandle:\d+ CCUHandler::OnData: )";
    for (size_t i = 0; i < vecWant.size(); ++i) {
        const std::string strRe = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )" +
                                  std::regex_replace(vecWant[i], std::regex("%"), strWhere);
        EXPECT_TRUE(std::regex_match(vecLine[i], std::regex(strRe))) << vecLine[i];
    }
}

TEST_F(PrintLogTest, LongMessagesGrowTheBufferUpToACap)
{
    nox::testing::LogCapture capture;
    const std::string strMid(20000, 'm');
    const std::string strHuge(200000, 'h');
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "<%s>", strMid.c_str());
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "%s", strHuge.c_str());
    const auto vecText = capture.Texts();
    ASSERT_EQ(2u, vecText.size());
    EXPECT_EQ("<" + strMid + ">", vecText[0]);
    EXPECT_LT(vecText[1].size(), strHuge.size());
    EXPECT_GE(vecText[1].size(), 64u * 1024u);
    EXPECT_NE(std::string::npos, vecText[1].find("truncated"));
}

TEST_F(PrintLogTest, RotatesAtTheSizeLimitKeepingABoundedNumberOfFiles)
{
    const std::string strBase = (m_dir / "rot").string();
    ASSERT_EQ(0, m_log.OpenFile(strBase.c_str()));
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "before the new limit");
    m_log.SetFileSize(2000);  // same file, new limit
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "after the new limit");
    EXPECT_NE(std::string::npos, ReadFile(strBase + ".log").find("before the new limit"));

    const std::string strPad(100, 'p');
    for (int i = 0; i < 400; ++i)
        NOX_LOG(kSrc, kFn, nox::kLogInfo, "line %03d %s", i, strPad.c_str());
    m_log.CloseFile();

    std::vector<std::string> vecName;
    for (const auto& entry : fs::directory_iterator(m_dir)) {
        vecName.push_back(entry.path().filename().string());
        EXPECT_LE(entry.file_size(), 2000u) << entry.path();
    }
    std::sort(vecName.begin(), vecName.end());
    EXPECT_EQ((std::vector<std::string>{"rot.1.log", "rot.2.log", "rot.3.log", "rot.4.log",
                                        "rot.5.log", "rot.log"}),
              vecName);
    EXPECT_NE(std::string::npos, ReadFile(strBase + ".log").find("line 399"));
}

TEST_F(PrintLogTest, ThreadsLogWhileTheLevelChanges)
{
    ASSERT_EQ(0, m_log.OpenFile((m_dir / "mt").c_str()));
    nox::testing::LogCapture capture;
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    std::atomic<bool> bDone{false};
    std::thread changer([&] {
        for (int i = 0; !bDone.load() && i < 100000; ++i)
            m_log.SetLevel(i % 2 == 0 ? nox::kLogDebug : nox::kLogError);
    });
    std::vector<std::thread> vecThread;
    for (int t = 0; t < kThreads; ++t) {
        vecThread.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                NOX_LOG(kSrc, kFn, nox::kLogDebug, "debug %d %d", t, i);
                NOX_LOG(kSrc, kFn, nox::kLogError, "error %d %d", t, i);
            }
        });
    }
    for (auto& thread : vecThread)
        thread.join();
    bDone = true;
    changer.join();
    m_log.CloseFile();

    const auto vecLine = capture.Lines();
    const auto IsError = [](const auto& line) { return line.nLevel == nox::kLogError; };
    // An error line passes every level the changer sets.
    EXPECT_EQ(kThreads * kLines, std::count_if(vecLine.begin(), vecLine.end(), IsError));
    EXPECT_EQ(vecLine.size(), SplitLines(ReadFile(m_dir / "mt.log")).size());
}

}  // namespace

// A file on a full disk (/dev/full behind the log path) loses only its own
// copy: stderr keeps every line, and the file comes back once writable, tried
// again no more than once a second.
TEST_F(PrintLogTest, AFullFileLosesOnlyItsCopyAndIsRetriedOncePerSecond)
{
    nox::testing::ScopedClock clock;
    const fs::path path = m_dir / "full.log";
    fs::create_symlink("/dev/full", path);
    ASSERT_EQ(0, m_log.OpenFile((m_dir / "full").c_str()));
    ::testing::internal::CaptureStderr();
    m_log.SetStderr(true);
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "one");
    fs::remove(path);  // space is back
    clock.AdvanceMs(999);
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "two");
    clock.AdvanceMs(1);
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "three");
    m_log.SetStderr(false);
    const std::vector<std::string> vecLine = SplitLines(::testing::internal::GetCapturedStderr());
    ASSERT_EQ(3u, vecLine.size());
    EXPECT_EQ(vecLine[2] + "\n", ReadFile(path));
}

