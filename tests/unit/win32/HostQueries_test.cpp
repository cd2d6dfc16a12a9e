// The Windows host queries: the adapter table of a known network (the test
// namespace of scripts/build-windows.sh --test) and the serial number.
#include "nox/Status.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

TEST(WinHostTest, AdapterTableHoldsTheUpIpv4AdaptersButNotLoopback)
{
    // "name mac address mask gateway" of the namespace's one adapter.
    const char* szWant = std::getenv("VELMORA_TEST_NETNS");
    if (szWant == nullptr)
        GTEST_SKIP() << "needs the network namespace of scripts/build-windows.sh --test";
    std::istringstream in(szWant);
    const std::vector<std::string> vecWant{std::istream_iterator<std::string>(in),
                                           std::istream_iterator<std::string>()};
    std::vector<nox::AdapterInfo> vecInfo;
    ASSERT_EQ(0, nox::Status::instance().getAdapterInfo(vecInfo));
    ASSERT_EQ(1u, vecInfo.size());
    const nox::AdapterInfo& info = vecInfo[0];
    EXPECT_EQ(vecWant, (std::vector<std::string>{info.adapterName, info.macAddr, info.hostAddr,
                                                  info.subNetMask, info.gateWayAddr}));
}

TEST(WinHostTest, SerialNumberIsStableAndCutToTheBuffer)
{
    char szSerial[256];
    ASSERT_EQ(0, nox::Status::instance().getSerialNum(szSerial, sizeof(szSerial)));
    const std::string strSerial = szSerial;
    EXPECT_FALSE(strSerial.empty());
    EXPECT_EQ(std::string::npos, strSerial.find_first_of(" \t\r\n"));
    char szAgain[256];
    ASSERT_EQ(0, nox::Status::instance().getSerialNum(szAgain, sizeof(szAgain)));
    EXPECT_EQ(strSerial, szAgain);
    char szSmall[4];
    ASSERT_EQ(0, nox::Status::instance().getSerialNum(szSmall, sizeof(szSmall)));
    EXPECT_EQ(strSerial.substr(0, 3), szSmall);
}

}  // namespace
