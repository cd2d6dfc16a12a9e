#include "nox/PrintLog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "nox/testing/LogCapture.h"

namespace {

// Lines logged from several threads while another flips the level: every
// error line passes, and each line reaches the file whole, in the one format.
TEST(PrintLogTest, ThreadsLogWhileTheLevelChanges)
{
    nox::PrintLog& log = nox::PrintLog::instance();
    const std::string strBase = ::testing::TempDir() + "velmora-log-" + std::to_string(getpid());
    log.SetStderr(false);
    ASSERT_EQ(0, log.OpenFile(strBase.c_str()));
    nox::testing::LogCapture capture;
    std::atomic<bool> bDone{false};
    std::thread changer([&] {
        for (int i = 0; !bDone && i < 100000; ++i)
            log.SetLevel(i % 2 == 0 ? nox::kLogDebug : nox::kLogError);
    });
    std::vector<std::thread> vecThread;
    for (int t = 0; t < 4; ++t) {
        vecThread.emplace_back([t] {
            for (int i = 0; i < 300; ++i) {
                NOX_LOG("CUListen/CUHandle", "CCUHandler::OnData", nox::kLogDebug, "debug %d %d", t, i);
                NOX_LOG("CUListen/CUHandle", "CCUHandler::OnData", nox::kLogError, "error %d %d", t, i);
            }
        });
    }
    for (auto& thread : vecThread)
        thread.join();
    bDone = true;
    changer.join();
    log.CloseFile();
    log.SetStderr(true);
    log.SetLevel(nox::kLogInfo);

    size_t nLines = 0, nErrors = 0;
    for (const auto& line : capture.Lines())
        nErrors += line.nLevel == nox::kLogError;
    EXPECT_EQ(4u * 300u, nErrors);
    std::ifstream file(strBase + ".log");
    const std::regex format(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (DEBUG|ERROR) \[\d+\] )"
                            R"(CUListen/CUHandle:\d+ CCUHandler::OnData: (debug|error) \d \d+)");
    for (std::string strLine; std::getline(file, strLine); ++nLines)
        EXPECT_TRUE(std::regex_match(strLine, format)) << strLine;
    EXPECT_EQ(capture.Lines().size(), nLines);
    std::remove((strBase + ".log").c_str());
}

}  // namespace
