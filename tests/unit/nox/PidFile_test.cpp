#include "nox/PidFile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "ScratchDir.h"
#include "nox/Process.h"

namespace {

// The lock belongs to the holder, so a second holder in this process stands
// for a second instance. A file left by a process that ended counts as free.
TEST(PidFileTest, OneHolderAtATimeAndALeftFileIsFree)
{
    velmora_test::ScratchDir dir;
    const std::string strPath = (dir.root / "Velmora.pid").string();
    const std::string strPid = std::to_string(nox::Process::Id());
    std::ofstream(strPath) << "999999\n";
    int nOwner = -1;
    std::string strErr;
    EXPECT_EQ(0, nox::PidFile::Probe(strPath.c_str(), nOwner, strErr)) << strErr;
    nox::PidFile first;
    ASSERT_EQ(0, first.Acquire(strPath.c_str(), nOwner, strErr)) << strErr;
    EXPECT_EQ(strPid + "\n", velmora_test::ReadFile(strPath));

    nox::PidFile second;
    EXPECT_EQ(nox::PidFile::kErrHeld, second.Acquire(strPath.c_str(), nOwner, strErr));
    EXPECT_NE(std::string::npos, strErr.find("cannot lock " + strPath)) << strErr;
    EXPECT_EQ(strPid, std::to_string(nOwner));
    EXPECT_EQ(1, nox::PidFile::Probe(strPath.c_str(), nOwner, strErr)) << strErr;
    EXPECT_EQ(strPid, std::to_string(nOwner));

    first.Release();
    EXPECT_FALSE(std::filesystem::exists(strPath));
    EXPECT_EQ(0, nox::PidFile::Probe(strPath.c_str(), nOwner, strErr)) << strErr;
    EXPECT_EQ(0, second.Acquire(strPath.c_str(), nOwner, strErr)) << strErr;
}

}  // namespace

namespace {

// A status probe looks without taking the lock a start needs: with another
// thread probing all the time, every one of the starts gets the folder.
TEST(PidFileTest, ProbesNeverMakeAStartFail)
{
    velmora_test::ScratchDir dir;
    const std::string strPath = (dir.root / "Velmora.pid").string();
    std::atomic<bool> bDone{false};
    std::atomic<int> nProbes{0};
    auto probe = [&] {
        int nOwner = 0;
        std::string strErr;
        while (!bDone.load() && nProbes.load() < 4000000) {
            (void)nox::PidFile::Probe(strPath.c_str(), nOwner, strErr);
            nProbes.fetch_add(1);
        }
    };
    std::thread prober1(probe);
    std::thread prober2(probe);
    int nRefused = 0;
    std::string strFirstErr;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int nStarts = 0;
    for (; nStarts < 1000 && std::chrono::steady_clock::now() < deadline; ++nStarts) {
        nox::PidFile file;
        int nOwner = 0;
        std::string strErr;
        if (file.Acquire(strPath.c_str(), nOwner, strErr) != 0 && nRefused++ == 0)
            strFirstErr = strErr;
    }
    bDone = true;
    prober1.join();
    prober2.join();
    EXPECT_EQ(0, nRefused) << "of " << nStarts << " starts, with " << nProbes.load()
                           << " probes; the first: " << strFirstErr;
}

#ifndef _WIN32
// A pid file that takes its lock but not its pid is refused with the reason,
// and its descriptor is closed.
TEST(PidFileTest, UnwritableFileIsRefusedAndClosed)
{
    auto bOpen = [] {   // a descriptor of this process names the file
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
            if (std::filesystem::read_symlink(entry.path(), ec) == "/dev/full")
                return true;
        return false;
    };
    nox::PidFile file;
    int nOwner = 0;
    std::string strErr;
    EXPECT_EQ(nox::PidFile::kErrOpen, file.Acquire("/dev/full", nOwner, strErr));
    EXPECT_NE(std::string::npos, strErr.find("cannot write /dev/full")) << strErr;
    EXPECT_FALSE(bOpen());
}
#endif

}  // namespace
