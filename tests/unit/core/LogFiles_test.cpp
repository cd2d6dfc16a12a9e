// The log folder's housekeeping: old processes go with their dumps, and the
// size cap removes the oldest files first but never the file being written.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "ScratchDir.h"
#include "Service/LogFiles.h"

namespace fs = std::filesystem;

namespace {

class LogFilesTest : public ::testing::Test {
protected:
    // A file of nBytes written nAgeMin minutes ago.
    void Make(const std::string& strName, int nAgeMin, size_t nBytes = 10)
    {
        const fs::path path = m_dir.root / strName;
        std::ofstream(path, std::ios::binary) << std::string(nBytes, 'x');
        fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::minutes(nAgeMin));
    }
    std::set<std::string> Names()
    {
        std::set<std::string> setOut;
        for (const auto& entry : fs::directory_iterator(m_dir.root))
            setOut.insert(entry.path().filename().string());
        return setOut;
    }
    velmora_test::ScratchDir m_dir;
};

TEST_F(LogFilesTest, PruningTakesAnOldProcessWithItsDumps)
{
    for (int nPid = 101; nPid <= 112; ++nPid)     // 101 is the newest
        Make("Velmora-" + std::to_string(nPid) + ".log", nPid - 100);
    Make("Velmora-112.1.log", 200);
    Make("Velmora-112-20260101-120000.dmp", 200);
    Make("Velmora-111-20260101-120000-2.dmp", 1);   // a recent dump keeps 111
    Make("Velmora-110-20260101-120000.dmp", 300);
    const std::set<std::string> setOthers = {"notes.txt", "Velmora-x.log", "Velmora-109-2026.dmp",
                                             "Velmora-109.dmp", "Velmora-109-20260101-12000.dmp"};
    for (const std::string& strName : setOthers)
        Make(strName, 500);
    std::string strErr;
    EXPECT_EQ(5, PruneProcessLogs(m_dir.root.string(), 10, 999, strErr)) << strErr;
    std::set<std::string> setLeft = Names();
    for (const std::string& strName : setOthers)
        EXPECT_EQ(1u, setLeft.erase(strName)) << strName;
    for (const char* szGone : {"Velmora-112.log", "Velmora-112.1.log",
                               "Velmora-112-20260101-120000.dmp", "Velmora-110.log",
                               "Velmora-110-20260101-120000.dmp"})
        EXPECT_EQ(0u, setLeft.count(szGone)) << szGone;
    EXPECT_EQ(11u, setLeft.size());   // 10 processes' logs and 111's dump
}

TEST_F(LogFilesTest, SizeCapRemovesTheOldestFirstButNeverTheCurrentFile)
{
    Make("Velmora-7.log", 100, 1000);               // being written, yet the oldest
    Make("Velmora-6.log", 50, 1000);
    Make("Velmora-6-20260101-120000.dmp", 40, 1000);
    Make("Velmora-7.1.log", 30, 1000);
    Make("Velmora-7-20260101-120000.dmp", 20, 1000);
    Make("other.txt", 200, 5000);                    // not ours: neither counted nor removed
    std::string strErr;
    const std::string strCurrent = (m_dir.root / "Velmora-7.log").string();
    EXPECT_EQ(0, CapLogFolder(m_dir.root.string(), 5000, strCurrent, strErr));
    EXPECT_EQ(3, CapLogFolder(m_dir.root.string(), 2500, strCurrent, strErr)) << strErr;
    EXPECT_EQ((std::set<std::string>{"Velmora-7.log", "Velmora-7-20260101-120000.dmp", "other.txt"}),
              Names());
    EXPECT_EQ(1, CapLogFolder(m_dir.root.string(), 0, strCurrent, strErr));
    EXPECT_EQ((std::set<std::string>{"Velmora-7.log", "other.txt"}), Names());
}

}  // namespace
