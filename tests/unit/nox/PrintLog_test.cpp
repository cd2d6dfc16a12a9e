#include "nox/PrintLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>
#endif

#include "ScratchDir.h"
#include "common/LogQueue.h"
#include "common/RuntimeOs.h"
#include "nox/BaseLib.h"
#include "nox/testing/LogCapture.h"
#include "nox/testing/ScopedClock.h"

namespace {

// Lines logged from several threads while another flips the level: every
// error line passes, and each line reaches the file whole, in the one format,
// in a log folder made with its missing parents.
TEST(PrintLogTest, ThreadsLogWhileTheLevelChanges)
{
    nox::PrintLog& log = nox::PrintLog::instance();
    const velmora_test::ScratchDir dir;
    const std::string strBase = (dir.root / "a" / "log").generic_string() + "/Velmora-7";
    log.SetStderr(false);
    ASSERT_EQ(0, nox::BaseLib::Init(strBase.c_str()));
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
}

// A log base that cannot be opened (none, or a folder that is a file) gives
// -1 and one error line that says which file.
TEST(PrintLogTest, AFileThatCannotBeOpenedIsReported)
{
    nox::PrintLog& log = nox::PrintLog::instance();
    log.SetStderr(false);
    const velmora_test::ScratchDir dir;
    std::ofstream(dir.root / "plain") << "a file, not a folder";
    const std::string strUnder = (dir.root / "plain" / "Velmora-1").generic_string();
    nox::testing::LogCapture capture;
    EXPECT_EQ(-1, log.OpenFile(""));
    EXPECT_EQ(-1, log.OpenFile(strUnder.c_str()));
    log.SetStderr(true);
    EXPECT_TRUE(capture.Contains("log file .log could not be opened: empty log base name"));
    const std::string strNamed = "log file " + strUnder + ".log could not be opened: ";
    const auto vecLine = capture.Lines();
    EXPECT_TRUE(std::any_of(vecLine.begin(), vecLine.end(), [&](const auto& line) {
        return line.strText.compare(0, strNamed.size(), strNamed) == 0 && line.strText.size() > strNamed.size();
    }));
}

// A message of up to 64 KiB is kept whole; a longer one is cut there and marked.
TEST(PrintLogTest, LongMessagesAreCutAt64KiBAndMarked)
{
    nox::PrintLog::instance().SetStderr(false);
    nox::testing::LogCapture capture;
    const std::string strWhole(64 * 1024, 'w');
    const std::string strLong(64 * 1024 + 1, 'l');
    NOX_LOG("t", "f", nox::kLogInfo, "%s", strWhole.c_str());
    NOX_LOG("t", "f", nox::kLogInfo, "%s", strLong.c_str());
    nox::PrintLog::instance().SetStderr(true);
    ASSERT_EQ(2u, capture.Lines().size());
    EXPECT_EQ(strWhole, capture.Lines()[0].strText);
    EXPECT_EQ(strLong.substr(0, 64 * 1024) + " ...[truncated]", capture.Lines()[1].strText);
}

#ifndef _WIN32

// A file on a full disk (/dev/full behind the log path) loses only its own
// copy: stderr keeps every line, and the file comes back once writable, tried
// again no more than once a second.
TEST(PrintLogTest, AFullFileLosesOnlyItsCopyAndIsRetriedOncePerSecond)
{
    nox::PrintLog& log = nox::PrintLog::instance();
    nox::testing::ScopedClock clock;
    const velmora_test::ScratchDir dir;
    const std::string strBase = (dir.root / "full").string();
    std::filesystem::create_symlink("/dev/full", strBase + ".log");
    ASSERT_EQ(0, log.OpenFile(strBase.c_str()));
    ::testing::internal::CaptureStderr();
    log.SetStderr(true);
    NOX_LOG("t", "f", nox::kLogInfo, "one");
    std::remove((strBase + ".log").c_str());  // space is back
    clock.AdvanceMs(999);
    NOX_LOG("t", "f", nox::kLogInfo, "two");
    clock.AdvanceMs(1);
    NOX_LOG("t", "f", nox::kLogInfo, "three");
    const std::string strErr = ::testing::internal::GetCapturedStderr();
    log.CloseFile();
    const std::string strFile = velmora_test::ReadFile(strBase + ".log");
    EXPECT_EQ(3, std::count(strErr.begin(), strErr.end(), '\n'));
    EXPECT_EQ(strErr.substr(strErr.rfind(" INFO ", strErr.size() - 10) - 23), strFile);
}

#endif

// What stops a rotation, each held until the function it returns runs:
// folders in the way of its first rename (the oldest file's), and (Windows)
// a reader of the current file that did not allow deleting it (Notepad++,
// Get-Content -Wait).
struct RotationBlocker {
    const char* szName;
    std::function<std::function<void()>(const std::string& strBase)> block;
};
std::vector<RotationBlocker> RotationBlockers()
{
    std::vector<RotationBlocker> vecOut = {{"folders", [](const std::string& strBase) {
        for (const char* szNumber : {".4", ".5"})
            std::filesystem::create_directories(strBase + szNumber + ".log/x");
        return std::function<void()>([strBase] {
            for (const char* szNumber : {".4", ".5"})
                std::filesystem::remove_all(strBase + szNumber + ".log");
        });
    }}};
#ifdef _WIN32
    vecOut.push_back({"reader", [](const std::string& strBase) {
        const HANDLE hFile = ::CreateFileA((strBase + ".log").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, hFile);
        return std::function<void()>([hFile] { ::CloseHandle(hFile); });
    }});
#endif
    return vecOut;
}

// A full file whose rotation is blocked loses no line: the lines go on into
// it, one error line says so, and once the block is gone the next line after
// the retry interval rotates it. Old and new file hold every line in order.
TEST(PrintLogTest, ABlockedRotationKeepsEveryLine)
{
    nox::PrintLog& log = nox::PrintLog::instance();
    nox::testing::ScopedClock clock;
    log.StopWriter();   // each line written as it is logged
    log.SetStderr(false);
    for (const RotationBlocker& blocker : RotationBlockers()) {
        velmora_test::ScratchDir dir;
        const std::string strBase = (dir.root / "Velmora-9").generic_string();
        ASSERT_EQ(0, log.OpenFile(strBase.c_str()));
        log.SetFileSize(1000);
        NOX_LOG("t", "f", nox::kLogInfo, "line 0");
        std::function<void()> release = blocker.block(strBase);
        for (int i = 1; i < 40; ++i)   // about 3,500 bytes
            NOX_LOG("t", "f", nox::kLogInfo, "line %d %s", i, std::string(40, 'x').c_str());
        const std::string strHeld = velmora_test::ReadFile(strBase + ".log");
        release();
        clock.AdvanceMs(5000);
        NOX_LOG("t", "f", nox::kLogInfo, "line 40");
        log.CloseFile();

        const std::string strOld = velmora_test::ReadFile(strBase + ".1.log"), strNew = velmora_test::ReadFile(strBase + ".log");
        EXPECT_EQ(strHeld, strOld) << blocker.szName;
        EXPECT_NE(std::string::npos, strNew.find(" f: line 40\n")) << blocker.szName;
        std::istringstream lines(strOld + strNew);
        int nNext = 0, nNotes = 0;
        for (std::string strLine; std::getline(lines, strLine);) {
            nNotes += strLine.find(" ERROR ") != std::string::npos && strLine.find(" not rotated: ") != std::string::npos;
            const size_t nAt = strLine.find(" f: line ");
            nNext += nAt != std::string::npos && std::atoi(strLine.c_str() + nAt + 9) == nNext;
        }
        EXPECT_EQ(41, nNext) << blocker.szName << ": every line, in order";
        EXPECT_EQ(1, nNotes) << blocker.szName;
    }
    log.SetFileSize(0);
    log.SetStderr(true);
}

// With the writer thread, and a clock that stands still (no line is due for
// its age), lines wait in the queue: an error line writes the queue at once,
// in order, and the stop writes what is left. A burst larger than the queue
// loses no line.
TEST(PrintLogTest, WriterWritesTheQueueAtAnErrorLineAndAtTheStop)
{
    nox::PrintLog& log = nox::PrintLog::instance();
    nox::testing::ScopedClock clock;
    const std::string strPath = (velmora_test::NewScratchDir() / "writer.log").generic_string();
    log.SetStderr(false);
    ASSERT_EQ(0, log.OpenFile(strPath.substr(0, strPath.size() - 4).c_str()));
    ASSERT_EQ(0, log.StartWriter());
    const auto Text = [&] { return velmora_test::ReadFile(strPath); };
    NOX_LOG("t", "f", nox::kLogInfo, "one");
    const std::string strQueued = Text();
    NOX_LOG("t", "f", nox::kLogError, "two");
    for (int i = 0; i < 1000 && Text().find("f: two") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));   // the file is the event
    const std::string strAtError = Text();
    NOX_LOG("t", "f", nox::kLogInfo, "three");
    nox::PrintLog::Batch batch;
    {
        nox::testing::LogCapture capture;   // an observer sees a batch's lines as they come
        batch.Add("t", __LINE__, "f", nox::kLogInfo, "seen", 4);
        EXPECT_TRUE(capture.Contains("seen"));
    }
    const std::string strBeforeStop = Text();
    // A third of the burst line by line, the rest in batches of two; batches
    // the queue cannot take (full, or its writer stopped) are written by their caller, in order.
    char szLine[128];
    for (int i = 0; i < 20000; ++i) {   // 2 MB: the queue holds 1 MB
        if (i % 3 == 0) {
            NOX_LOG("t", "f", nox::kLogInfo, "burst %05d %s", i, std::string(60, 'x').c_str());
            continue;
        }
        const int nLen = std::snprintf(szLine, sizeof(szLine), "burst %05d %s", i, std::string(60, 'x').c_str());
        batch.Add("t", __LINE__, "f", nox::kLogInfo, szLine, static_cast<size_t>(nLen));
        batch.Add("t", __LINE__, "f", nox::kLogDebug, "below the level", 15);
        if (i % 3 == 2)
            batch.Commit();
    }
    batch.Add("t", __LINE__, "f", nox::kLogInfo, "after the stop", 14);   // committed then
    log.StopWriter();
    batch.Commit();
    const std::string strAll = Text();
    log.CloseFile();
    log.SetStderr(true);
    std::remove(strPath.c_str());

    EXPECT_EQ("", strQueued);
    EXPECT_TRUE(std::regex_match(strAtError, std::regex(".* INFO \\[\\d+\\] t:\\d+ f: one\n.* ERROR .* f: two\n")))
        << strAtError;
    EXPECT_EQ(strAtError, strBeforeStop);
    EXPECT_EQ(0u, strAll.find(strAtError));
    EXPECT_NE(std::string::npos, strAll.find(" f: three\n", strAtError.size()));
    int nBurst = 0;
    std::istringstream lines(strAll);
    for (std::string strLine; std::getline(lines, strLine);) {
        const size_t nAt = strLine.find(" f: burst ");
        if (nAt != std::string::npos)
            nBurst += std::atoi(strLine.c_str() + nAt + 10) == nBurst;
    }
    EXPECT_EQ(20000, nBurst) << "every burst line, in order";
    EXPECT_EQ(std::string::npos, strAll.find("below the level"));
    EXPECT_TRUE(std::regex_search(strAll, std::regex("\n\\d{4}-\\d\\d-\\d\\d [^\n]* INFO \\[\\d+\\] t:\\d+ f: after the stop\n$")))
        << "the line written by its caller after the stop, whole";
}

#ifndef _WIN32
// Standard error on a pipe gets the file's lines, whole and in order, from
// lines logged one by one and in batches, although a drain is longer than a
// pipe takes in one write.
TEST(PrintLogTest, AStderrPipeGetsTheFilesLines)
{
    nox::PrintLog& log = nox::PrintLog::instance();
    const std::string strPath = (velmora_test::NewScratchDir() / "pipe.log").generic_string();
    int aPipe[2];
    ASSERT_EQ(0, ::pipe(aPipe));
    std::fflush(stderr);
    const int nSaved = ::dup(STDERR_FILENO);
    ASSERT_GE(::dup2(aPipe[1], STDERR_FILENO), 0);
    log.SetStderr(true);
    ASSERT_EQ(0, log.OpenFile(strPath.substr(0, strPath.size() - 4).c_str()));
    ASSERT_EQ(0, log.StartWriter());
    nox::PrintLog::Batch batch;
    for (int i = 0; i < 300; ++i) {   // about 40 KB: within the pipe's buffer
        if (i % 2 == 0) {
            NOX_LOG("t", "f", nox::kLogInfo, "line %03d %s", i, std::string(40, 'p').c_str());
            continue;
        }
        const std::string strMsg = "line " + std::to_string(i) + " " + std::string(40, 'b');
        batch.Add("t", 1, "f", nox::kLogInfo, strMsg.data(), strMsg.size());
        batch.Commit();
    }
    log.StopWriter();
    log.CloseFile();
    ::dup2(nSaved, STDERR_FILENO);
    ::close(nSaved);
    ::close(aPipe[1]);
    std::string strPipe;
    char aBuf[4096];
    for (ssize_t n; (n = ::read(aPipe[0], aBuf, sizeof(aBuf))) > 0;)
        strPipe.append(aBuf, static_cast<size_t>(n));
    ::close(aPipe[0]);
    std::ifstream file(strPath);
    const std::string strFile((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(300, std::count(strFile.begin(), strFile.end(), '\n'));
    EXPECT_EQ(strFile, strPipe);
}
#endif

// The pieces of a taken buffer go to each output once: a claim holds only
// from where the last one ended (the crash handler takes the rest that way).
TEST(LogQueueTest, EachPieceIsClaimedOnce)
{
    nox::LogQueue queue;
    EXPECT_TRUE(queue.ClaimStderr(0, 10));
    EXPECT_FALSE(queue.ClaimStderr(0, 20));
    EXPECT_TRUE(queue.ClaimStderr(10, 20));
    EXPECT_TRUE(queue.ClaimFile(20));
    EXPECT_FALSE(queue.ClaimFile(20));
}

#ifndef _WIN32
// Rounds of a log file whose write-out is done before the next round leave
// the page cache, all but the last ones.
TEST(WriteBehindTest, WrittenRoundsLeaveTheCache)
{
    velmora_test::ScratchDir dir;
    struct statfs fs {};
    if (statfs(dir.root.c_str(), &fs) != 0 || fs.f_type == 0x01021994)   // tmpfs
        GTEST_SKIP() << "a tmpfs folder keeps its pages in memory: nothing to drop";
    const std::string strPath = (dir.root / "a.log").string();
    std::FILE* pFile = std::fopen(strPath.c_str(), "w+b");
    ASSERT_NE(pFile, nullptr);
    nox::os::WriteBehind state;
    const size_t nRound = nox::os::kWriteBehindBytes, nPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    for (char c = 'a'; c < 'g'; ++c) {   // six rounds: the first four dropped
        ASSERT_EQ(std::fwrite(std::string(nRound, c).data(), 1, nRound, pFile), nRound);
        ASSERT_EQ(std::fflush(pFile), 0);
        nox::os::WriteBehindFile(pFile, (c - 'a' + 1) * nRound, state);
        ASSERT_EQ(fdatasync(fileno(pFile)), 0);
    }
    void* pMap = mmap(nullptr, 6 * nRound, PROT_READ, MAP_SHARED, fileno(pFile), 0);
    std::vector<unsigned char> vecIn(6 * nRound / nPage);
    ASSERT_EQ(mincore(pMap, 6 * nRound, vecIn.data()), 0);
    const auto nKept = std::count_if(vecIn.begin(), vecIn.begin() + 4 * nRound / nPage, [](auto b) { return b & 1; });
    EXPECT_LT(nKept, static_cast<long>(4 * nRound / nPage / 10)) << "pages of the dropped rounds kept";
    munmap(pMap, 6 * nRound);
    std::fclose(pFile);
}
#endif

}  // namespace
