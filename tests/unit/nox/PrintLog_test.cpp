#include "nox/PrintLog.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nox/BaseLib.h"
#include "nox/testing/LogCapture.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

const char kSrc[] = "CUListen/CUHandle";
const char kFn[] = "CCUHandler::OnData";

std::string ReadFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream out;
    out << file.rdbuf();
    return out.str();
}

std::vector<std::string> SplitLines(const std::string& strText)
{
    std::vector<std::string> vecLine;
    std::istringstream in(strText);
    for (std::string strLine; std::getline(in, strLine);)
        vecLine.push_back(strLine);
    return vecLine;
}

// Sends file descriptor 2 to a temporary file for its scope.
class StderrCapture {
public:
    explicit StderrCapture(const fs::path& path) : m_path(path)
    {
        fflush(stderr);
        m_nSaved = dup(2);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { Restore(); }
    std::string Text()
    {
        Restore();
        return ReadFile(m_path);
    }

private:
    void Restore()
    {
        if (m_nSaved < 0)
            return;
        fflush(stderr);
        dup2(m_nSaved, 2);
        close(m_nSaved);
        m_nSaved = -1;
    }
    fs::path m_path;
    int m_nSaved = -1;
};

class PrintLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string strTemplate = (fs::temp_directory_path() / "nox-log-XXXXXX").string();
        ASSERT_NE(nullptr, mkdtemp(&strTemplate[0]));
        m_dir = strTemplate;
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
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    nox::PrintLog& m_log = nox::PrintLog::instance();
    fs::path m_dir;
};

TEST_F(PrintLogTest, WritesFilteredLinesInTheFixedFormatToFileAndStderr)
{
    const std::string strBase = (m_dir / "deep/er/app").string();
    std::string strStderr;
    {
        StderrCapture err(m_dir / "stderr.txt");
        ASSERT_EQ(0, nox::BaseLib::Init(strBase.c_str()));
        m_log.SetStderr(true);
        nox::testing::LogCapture capture;
        NOX_LOG(kSrc, kFn, nox::kLogDebug, "hidden %d", 1);
        NOX_LOG(kSrc, kFn, nox::kLogInfo, "recv len[%d] from %s", 7, "10.0.0.9");
        NOX_LOG(kSrc, kFn, nox::kLogError, "pressed q ...\n");
        NOX_LOG(kSrc, kFn, 5, "%s", "");
        m_log.SetLevel(nox::kLogDebug);
        NOX_LOG(kSrc, kFn, nox::kLogDebug, "shown");
        nox::BaseLib::Uninit();

        ASSERT_EQ(4u, capture.Lines().size());
        const auto line = capture.Lines()[0];
        EXPECT_EQ(nox::kLogInfo, line.nLevel);
        EXPECT_EQ(kSrc, line.strFile);
        EXPECT_EQ(kFn, line.strFunc);
        EXPECT_EQ("recv len[7] from 10.0.0.9", line.strText);
        EXPECT_TRUE(capture.Contains("pressed q ...\n"));
        strStderr = err.Text();
    }

    const std::string strFile = ReadFile(strBase + ".log");
    EXPECT_EQ(strFile, strStderr);
    const std::vector<std::string> vecLine = SplitLines(strFile);
    ASSERT_EQ(4u, vecLine.size()) << strFile;
    const std::string strTid = std::to_string(syscall(SYS_gettid));
    const std::string strHead = R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )";
    const std::string strWhere = R"( \[)" + strTid + R"(\] CUListen/CUHandle:\d+ CCUHandler::OnData: )";
    EXPECT_TRUE(std::regex_match(
        vecLine[0], std::regex(strHead + "INFO" + strWhere + R"(recv len\[7\] from 10\.0\.0\.9$)")))
        << vecLine[0];
    EXPECT_TRUE(std::regex_match(vecLine[1], std::regex(strHead + "ERROR" + strWhere + R"(pressed q \.\.\.$)")))
        << vecLine[1];
    EXPECT_TRUE(std::regex_match(vecLine[2], std::regex(strHead + "LEVEL5" + strWhere + "$")))
        << vecLine[2];
    EXPECT_TRUE(std::regex_match(vecLine[3], std::regex(strHead + "DEBUG" + strWhere + "shown$")))
        << vecLine[3];
    // One newline per line, also after a message that brought its own.
    EXPECT_EQ(std::string::npos, strFile.find("\n\n"));
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
    const fs::path base = m_dir / "rot";
    ASSERT_EQ(0, m_log.OpenFile(base.c_str()));
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "before the new limit");
    m_log.SetFileSize(2000);  // same file, new limit
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "after the new limit");
    EXPECT_NE(std::string::npos, ReadFile(base.string() + ".log").find("before the new limit"));

    const std::string strPad(100, 'p');
    for (int i = 0; i < 400; ++i)
        NOX_LOG(kSrc, kFn, nox::kLogInfo, "line %03d %s", i, strPad.c_str());
    m_log.CloseFile();

    int nFiles = 0;
    for (const auto& entry : fs::directory_iterator(m_dir)) {
        ++nFiles;
        EXPECT_LE(entry.file_size(), 2000u) << entry.path();
    }
    EXPECT_EQ(6, nFiles);  // rot.log and rot.1.log ... rot.5.log
    EXPECT_TRUE(fs::exists(base.string() + ".1.log"));
    EXPECT_TRUE(fs::exists(base.string() + ".5.log"));
    EXPECT_FALSE(fs::exists(base.string() + ".6.log"));
    EXPECT_NE(std::string::npos, ReadFile(base.string() + ".log").find("line 399"));
}

TEST_F(PrintLogTest, UnwritableFolderFallsBackToStderrWithOneErrorLine)
{
    std::ofstream(m_dir / "file") << "a regular file, not a folder";
    const std::string strBase = (m_dir / "file/log/x").string();
    std::string strStderr;
    {
        StderrCapture err(m_dir / "stderr.txt");
        m_log.SetStderr(true);
        nox::testing::LogCapture capture;
        EXPECT_EQ(-1, m_log.OpenFile(strBase.c_str()));
        NOX_LOG(kSrc, kFn, nox::kLogInfo, "still logging");
        const auto vecLine = capture.Lines();
        ASSERT_EQ(2u, vecLine.size());
        EXPECT_EQ(nox::kLogError, vecLine[0].nLevel);
        EXPECT_NE(std::string::npos, vecLine[0].strText.find("could not be opened"));
        EXPECT_NE(std::string::npos, vecLine[0].strText.find(strBase + ".log"));
        strStderr = err.Text();
    }
    const auto vecLine = SplitLines(strStderr);
    ASSERT_EQ(2u, vecLine.size()) << strStderr;
    EXPECT_NE(std::string::npos, vecLine[0].find(" ERROR ["));
    EXPECT_NE(std::string::npos, vecLine[1].find("still logging"));
}

TEST_F(PrintLogTest, ThreadsLogWhileTheLevelChanges)
{
    ASSERT_EQ(0, m_log.OpenFile((m_dir / "mt").c_str()));
    nox::testing::LogCapture capture;
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    std::atomic<bool> bDone{false};
    std::vector<std::thread> vecThread;
    for (int t = 0; t < kThreads; ++t) {
        vecThread.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                NOX_LOG(kSrc, kFn, nox::kLogDebug, "debug %d %d", t, i);
                NOX_LOG(kSrc, kFn, nox::kLogError, "error %d %d", t, i);
            }
        });
    }
    std::thread changer([&] {
        for (int i = 0; !bDone.load() && i < 100000; ++i)
            nox::PrintLog::instance().SetLevel(i % 2 == 0 ? nox::kLogDebug : nox::kLogError);
    });
    for (auto& thread : vecThread)
        thread.join();
    bDone = true;
    changer.join();
    m_log.CloseFile();

    int nErrors = 0;
    for (const auto& line : capture.Lines())
        nErrors += line.nLevel == nox::kLogError ? 1 : 0;
    EXPECT_EQ(kThreads * kLines, nErrors);  // level 6 passes every setting used
    const auto vecFileLine = SplitLines(ReadFile(m_dir / "mt.log"));
    EXPECT_EQ(capture.Lines().size(), vecFileLine.size());
}

}  // namespace
