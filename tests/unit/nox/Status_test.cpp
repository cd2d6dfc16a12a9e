#include "nox/Status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NetNs.h"
#include "nox/testing/ScopedHost.h"

namespace {

TEST(StatusTest, ReportsUpIpv4AdaptersOfTheNamespaceInIndexOrder)
{
    velmora_test::NetNsPair pair;
    if (!pair.Ok())
        GTEST_SKIP() << pair.Error();
    // Beside the veth (given a gateway), a second pair inside the namespace:
    // "dmyup" is up with two addresses and no route, its peer "dmynoip" is up
    // without IPv4; a third pair stays down with an address. Only "dmyup" is a row.
    for (const std::string& strStep : std::vector<std::string>{
             "link set " + pair.VethA() + " address 02:77:ab:cd:ef:01",
             "route add default via " + pair.AddrB(), "link add dmyup type veth peer name dmynoip",
             "link set dmyup address 02:00:00:00:0a:0b", "addr add 10.88.1.5/16 dev dmyup",
             "addr add 10.99.0.1/8 dev dmyup", "link set dmyup up", "link set dmynoip up",
             "link add dmydown type veth peer name dmydownp", "addr add 10.66.0.1/24 dev dmydown"})
        ASSERT_TRUE(velmora_test::RunQuiet("ip -n " + pair.NameA() + " " + strStep)) << strStep;

    std::vector<nox::AdapterInfo> vecInfo;
    {
        velmora_test::ScopedNetNs inA(pair.NameA());
        ASSERT_TRUE(inA.Ok());
        ASSERT_EQ(0, nox::Status::instance().getAdapterInfo(vecInfo));
    }
    ASSERT_EQ(2u, vecInfo.size());
    const std::vector<std::vector<std::string>> vecWant = {
        {pair.VethA(), "02:77:ab:cd:ef:01", pair.AddrA(), "255.255.255.0", pair.AddrB()},
        {"dmyup", "02:00:00:00:0a:0b", "10.88.1.5", "255.255.0.0", "0.0.0.0"}};  // first address
    for (size_t i = 0; i < vecWant.size(); ++i) {
        const nox::AdapterInfo& info = vecInfo[i];
        EXPECT_EQ(vecWant[i], (std::vector<std::string>{info.adapterName, info.macAddr,
                                                         info.hostAddr, info.subNetMask,
                                                         info.gateWayAddr}));
    }
}

TEST(StatusTest, SerialNumberOfThisHostIsFoundAndTruncatedToTheBuffer)
{
    char szSerial[256];
    ASSERT_EQ(0, nox::Status::instance().getSerialNum(szSerial, sizeof(szSerial)));
    const std::string strSerial = szSerial;
    EXPECT_FALSE(strSerial.empty());
    EXPECT_EQ(std::string::npos, strSerial.find_first_of(" \t\r\n"));
    char szSmall[4];
    ASSERT_EQ(0, nox::Status::instance().getSerialNum(szSmall, sizeof(szSmall)));
    EXPECT_EQ(strSerial.substr(0, 3), szSmall);
}

TEST(StatusTest, ScopedHostReplacesTheQueriesForItsScope)
{
    char szReal[256];
    char szSerial[256];
    const int nRealRet = nox::Status::instance().getSerialNum(szReal, sizeof(szReal));
    {
        nox::testing::ScopedHost host;
        host.m_vecAdapter = {nox::testing::ScopedHost::MakeAdapter(
            "eth9", "aa:bb:cc:dd:ee:ff", "192.0.2.7", "255.255.255.0", "192.0.2.1")};
        std::vector<nox::AdapterInfo> vecInfo;
        ASSERT_EQ(0, nox::Status::instance().getAdapterInfo(vecInfo));
        ASSERT_EQ(1u, vecInfo.size());
        EXPECT_STREQ("192.0.2.7", vecInfo[0].hostAddr);
        host.m_nAdapterResult = -3;
        EXPECT_EQ(-3, nox::Status::instance().getAdapterInfo(vecInfo));
        ASSERT_EQ(0, nox::Status::instance().getSerialNum(szSerial, sizeof(szSerial)));
        EXPECT_STREQ("SN-TEST", szSerial);
    }
    EXPECT_EQ(nRealRet, nox::Status::instance().getSerialNum(szSerial, sizeof(szSerial)));
    EXPECT_STREQ(szReal, szSerial);
}

}  // namespace
