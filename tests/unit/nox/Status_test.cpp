#include "nox/Status.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "NetNs.h"
#include "nox/testing/ScopedHost.h"

namespace {

TEST(StatusTest, ReportsUpIpv4AdaptersOfTheNamespaceInIndexOrder)
{
    velmora_test::NetNsPair::Options opts;
    opts.strAddrA = "10.77.3.1";
    opts.strAddrB = "10.77.3.254";
    opts.strMacA = "02:77:ab:cd:ef:01";
    opts.bDefaultRoute = true;
    velmora_test::NetNsPair pair(opts);
    if (!pair.Ok())
        GTEST_SKIP() << pair.Error();
    // Beside the veth, a second pair inside the namespace: "dmyup" is up with
    // two addresses and no route, its peer "dmynoip" is up without IPv4;
    // a third pair stays down with an address. Only "dmyup" is a row.
    const std::string strIp = "ip -n " + pair.NameA() + " ";
    for (const char* szStep :
         {"link add dmyup type veth peer name dmynoip", "link set dmyup address 02:00:00:00:0a:0b",
          "addr add 10.88.1.5/16 dev dmyup", "addr add 10.99.0.1/8 dev dmyup",
          "link set dmyup up", "link set dmynoip up",
          "link add dmydown type veth peer name dmydownp", "addr add 10.66.0.1/24 dev dmydown"})
        ASSERT_TRUE(velmora_test::RunQuiet(strIp + szStep)) << szStep;

    std::vector<nox::AdapterInfo> vecInfo;
    {
        velmora_test::ScopedNetNs inA(pair.NameA());
        ASSERT_TRUE(inA.Ok());
        ASSERT_EQ(0, nox::Status::instance().getAdapterInfo(vecInfo));
    }
    ASSERT_EQ(2u, vecInfo.size());
    EXPECT_STREQ(pair.VethA().c_str(), vecInfo[0].adapterName);
    EXPECT_STREQ("02:77:ab:cd:ef:01", vecInfo[0].macAddr);
    EXPECT_STREQ("10.77.3.1", vecInfo[0].hostAddr);
    EXPECT_STREQ("255.255.255.0", vecInfo[0].subNetMask);
    EXPECT_STREQ("10.77.3.254", vecInfo[0].gateWayAddr);

    EXPECT_STREQ("dmyup", vecInfo[1].adapterName);
    EXPECT_STREQ("02:00:00:00:0a:0b", vecInfo[1].macAddr);
    EXPECT_STREQ("10.88.1.5", vecInfo[1].hostAddr);  // the first address only
    EXPECT_STREQ("255.255.0.0", vecInfo[1].subNetMask);
    EXPECT_STREQ("0.0.0.0", vecInfo[1].gateWayAddr);
}

TEST(StatusTest, SerialNumberOfThisHostIsFound)
{
    char szSerial[256];
    memset(szSerial, 'Z', sizeof(szSerial));
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
    const int nRealRet = nox::Status::instance().getSerialNum(szReal, sizeof(szReal));
    {
        nox::testing::ScopedHost host;
        host.m_vecAdapter = {nox::testing::ScopedHost::MakeAdapter(
            "eth9", "aa:bb:cc:dd:ee:ff", "192.0.2.7", "255.255.255.0", "192.0.2.1")};
        std::vector<nox::AdapterInfo> vecInfo;
        ASSERT_EQ(0, nox::Status::instance().getAdapterInfo(vecInfo));
        ASSERT_EQ(1u, vecInfo.size());
        EXPECT_STREQ("192.0.2.7", vecInfo[0].hostAddr);
        char szSerial[256];
        ASSERT_EQ(0, nox::Status::instance().getSerialNum(szSerial, sizeof(szSerial)));
        EXPECT_STREQ("SN-TEST", szSerial);
        host.m_nAdapterResult = -3;
        host.m_nSerialResult = -1;
        EXPECT_EQ(-3, nox::Status::instance().getAdapterInfo(vecInfo));
        EXPECT_EQ(-1, nox::Status::instance().getSerialNum(szSerial, sizeof(szSerial)));
        EXPECT_STREQ("", szSerial);
    }
    char szAfter[256];
    EXPECT_EQ(nRealRet, nox::Status::instance().getSerialNum(szAfter, sizeof(szAfter)));
    EXPECT_STREQ(szReal, szAfter);
}

}  // namespace
