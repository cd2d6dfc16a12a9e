#include "nox/PidFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

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
    EXPECT_EQ(strPid, std::to_string(nOwner));
    EXPECT_EQ(1, nox::PidFile::Probe(strPath.c_str(), nOwner, strErr)) << strErr;
    EXPECT_EQ(strPid, std::to_string(nOwner));

    first.Release();
    EXPECT_FALSE(std::filesystem::exists(strPath));
    EXPECT_EQ(0, nox::PidFile::Probe(strPath.c_str(), nOwner, strErr)) << strErr;
    EXPECT_EQ(0, second.Acquire(strPath.c_str(), nOwner, strErr)) << strErr;
}

}  // namespace
