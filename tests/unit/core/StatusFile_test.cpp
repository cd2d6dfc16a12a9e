// The status file's replacement while something stands in its way.
#include "Service/StatusFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ScratchDir.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

int SeqIn(const std::string& strPath)
{
    DaemonStatus status;
    std::string strErr;
    const int nRet = ReadStatusFile(strPath, status, strErr);   // -1 unreadable, -2 not a status
    return nRet == 0 ? status.nSeq : nRet;
}

// What stands in the replacement's way, taken away by the function it
// returns; bWaited: the writer outlasts it; nSeqRead: the figures readers
// find then (-1: none).
struct Obstacle {
    const char* szName;
    bool bWaited;
    int nSeqRead;
    std::function<std::function<void()>(const std::string& strPath)> place;
};

std::vector<Obstacle> Obstacles()
{
    std::vector<Obstacle> vecOut = {{"folder", false, -1, [](const std::string& strPath) {
        std::filesystem::remove(strPath);
        std::filesystem::create_directories(strPath + "/x");
        return std::function<void()>([strPath] { std::filesystem::remove_all(strPath); });
    }}};
#ifdef _WIN32
    // A reader that did not allow deleting the file: one that closes it
    // after 200 ms, and one that keeps it open past the writer's patience.
    for (const bool bBrief : {true, false}) {
        vecOut.push_back({bBrief ? "brief reader" : "lasting reader", bBrief, bBrief ? 2 : 1, [bBrief](const std::string& strPath) {
            const HANDLE hFile = ::CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            EXPECT_NE(INVALID_HANDLE_VALUE, hFile);
            if (!bBrief)
                return std::function<void()>([hFile] { ::CloseHandle(hFile); });
            std::thread([hFile] {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));   // the reader's reading
                ::CloseHandle(hFile);
            }).detach();
            return std::function<void()>([] {});
        }});
    }
#endif
    return vecOut;
}

// A replacement waits for a reader that holds the file in its way; one that
// still fails says why, and the last status written stays readable until the
// next replacement, which works once the way is free.
TEST(StatusFileTest, AReplacementWaitsForAReaderAndSaysWhatStillFails)
{
    velmora_test::ScratchDir dir;
    const std::string strPath = (dir.root / kStatusFileName).generic_string();
    DaemonStatus status;
    status.nPid = 42;
    std::string strErr;
    for (const Obstacle& obstacle : Obstacles()) {
        status.nSeq = 1;
        ASSERT_EQ(0, WriteStatusFile(status, strPath, strErr)) << strErr;
        const std::function<void()> clear = obstacle.place(strPath);
        status.nSeq = 2;
        strErr.clear();
        EXPECT_EQ(obstacle.bWaited ? 0 : -1, WriteStatusFile(status, strPath, strErr)) << obstacle.szName;
        EXPECT_EQ(obstacle.bWaited ? std::string::npos : 0u, strErr.find("cannot rename " + strPath + ".tmp to "))
            << obstacle.szName << ": " << strErr;
        EXPECT_EQ(obstacle.nSeqRead, SeqIn(strPath)) << obstacle.szName;
        clear();
        status.nSeq = 3;
        EXPECT_EQ(0, WriteStatusFile(status, strPath, strErr)) << obstacle.szName << ": " << strErr;
        EXPECT_EQ(3, SeqIn(strPath)) << obstacle.szName;
    }
    std::ofstream(strPath) << "pid=\n";
    EXPECT_EQ(-2, SeqIn(strPath));
}

}  // namespace
