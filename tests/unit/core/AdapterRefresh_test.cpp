// The handler after start: a re-read that finds the host's adapters changed
// publishes a table whose replies, binary records, JSON texts and on-link
// subnets are the new ones, holds the groups on its interfaces, and logs it;
// a re-read that finds nothing new leaves no trace.
#include <json/json.h>

#include <algorithm>

#include "HandlerFixture.h"

namespace {

using nox::testing::ScopedHost;
using AdapterRefreshTest = HandlerFixture;

const char kFn[] = "CCUHandler::RefreshAdapters";

nox::AdapterInfo Adapter(const char* szName, const char* szAddr, const char* szGateway = "0.0.0.0")
{
    return ScopedHost::MakeAdapter(szName, "00:11:22:33:44:66", szAddr, "255.255.255.0", szGateway);
}

// The address each reply to one request carries: JSON "IPAddress", or the
// binary record's octets at 56.
std::vector<std::string> Addresses(const std::vector<FakeNetEngine::Sent>& vecSent)
{
    std::vector<std::string> vecOut;
    for (const FakeNetEngine::Sent& sent : vecSent) {
        if (static_cast<uint8_t>(sent.strData[0]) == 0xB3) {
            const auto* p = reinterpret_cast<const uint8_t*>(sent.strData.data()) + 56;
            vecOut.push_back(std::to_string(p[0]) + "." + std::to_string(p[1]) + "." +
                             std::to_string(p[2]) + "." + std::to_string(p[3]));
        } else {
            Json::Value root;
            Json::Reader().parse(sent.strData.substr(32), root);
            vecOut.push_back(root["params"]["deviceInfo"]["IPv4Address"]["IPAddress"].asString());
        }
    }
    return vecOut;
}

TEST_F(AdapterRefreshTest, ChangedAdaptersAreAnsweredAndLogged)
{
    StartHandler();
    EXPECT_EQ((std::vector<std::string>{"10.0.0.5"}), Addresses(Answer(MakeJsonRequest())));

    m_host.m_vecAdapter = {Adapter("eth0", "10.0.0.7", "10.0.0.1"), Adapter("eth1", "10.1.0.5")};
    ASSERT_EQ(0, m_pHandler->RefreshAdapters());
    EXPECT_EQ((std::vector<std::string>{
                  "adapter table changed: 2 rows; added eth1; readdressed eth0",
                  "adapterName[eth0] macAddr[00:11:22:33:44:66] hostAddr[10.0.0.7] "
                  "subNetMask[255.255.255.0] gateWayAddr[10.0.0.1] isOK[1]",
                  "adapterName[eth1] macAddr[00:11:22:33:44:66] hostAddr[10.1.0.5] "
                  "subNetMask[255.255.255.0] gateWayAddr[0.0.0.0] isOK[1]"}),
              LinesOf(kFn));
    EXPECT_EQ((std::vector<std::string>{"groups eth0 eth1"}), m_engine.m_vecGroupChange);
    // Both forms, and a worker's JSON texts made for the old table are made anew.
    EXPECT_EQ((std::vector<std::string>{"10.0.0.7", "10.1.0.5"}), Addresses(Answer(MakeJsonRequest())));
    EXPECT_EQ((std::vector<std::string>{"10.0.0.7", "10.1.0.5"}), Addresses(Answer(MakeBinaryRequest())));
    EXPECT_EQ(1u, m_pHandler->TableChanges());
    EXPECT_NE(0, m_pHandler->TableChangedAt());

    m_log.Clear();
    m_engine.m_vecGroupChange.clear();
    ASSERT_EQ(0, m_pHandler->RefreshAdapters());   // nothing new, the groups brought to it again
    EXPECT_TRUE(LinesOf(kFn).empty());
    EXPECT_EQ((std::vector<std::string>{"groups eth0 eth1"}), m_engine.m_vecGroupChange);
    EXPECT_EQ(1u, m_pHandler->TableChanges());

    m_host.m_vecAdapter.clear();
    ASSERT_EQ(0, m_pHandler->RefreshAdapters());
    EXPECT_EQ((std::vector<std::string>{"adapter table changed: 0 rows; removed eth0 eth1",
                                        "no adapter with a usable IPv4 address: nothing can be "
                                        "announced, Velmora waits for an adapter"}),
              LinesOf(kFn));
    EXPECT_TRUE(Answer(MakeJsonRequest()).empty());
    EXPECT_EQ("groups", m_engine.m_vecGroupChange.back()) << "no interface keeps a membership";
}

// A failed re-read keeps the table and says so, once per window; a failed
// join is logged with the socket and its reason.
TEST_F(AdapterRefreshTest, FailuresKeepTheTable)
{
    StartHandler();
    m_host.m_nAdapterResult = -2;
    EXPECT_EQ(CCUHandler::kErrAdapterQuery, m_pHandler->RefreshAdapters());
    EXPECT_EQ(CCUHandler::kErrAdapterQuery, m_pHandler->RefreshAdapters());
    EXPECT_EQ((std::vector<std::string>{"getAdapterInfo failed error[-2]: the table is kept"}),
              LinesOf(kFn));
    EXPECT_EQ((std::vector<std::string>{"10.0.0.5"}), Addresses(Answer(MakeBinaryRequest())));

    m_host.m_nAdapterResult = 0;
    m_host.m_vecAdapter.push_back(Adapter("eth1", "10.1.0.5"));
    m_engine.m_nGroupResult = -105;
    m_engine.m_strGroupFailOn = "eth1";
    m_log.Clear();
    ASSERT_EQ(0, m_pHandler->RefreshAdapters());
    const std::vector<std::string> vecLines = LinesOf(kFn);
    ASSERT_FALSE(vecLines.empty());
    EXPECT_EQ(0u, vecLines[0].find("group 239.255.255.251 not joined on eth1, socket[100]: "))
        << vecLines[0];
    EXPECT_EQ(0u, m_pHandler->NotJoined(FakeNetEngine::kFirstId).find("eth1 (")) << "kept for the status";
    EXPECT_EQ("", m_pHandler->NotJoined(FakeNetEngine::kFirstId + 1));
    m_log.Clear();
    ASSERT_EQ(0, m_pHandler->RefreshAdapters());
    EXPECT_TRUE(LinesOf(kFn).empty()) << "a failure that stays is logged once";
    m_engine.m_strGroupFailOn.clear();
    ASSERT_EQ(0, m_pHandler->RefreshAdapters());
    EXPECT_EQ("", m_pHandler->NotJoined(FakeNetEngine::kFirstId)) << "joined at the retry";
    EXPECT_EQ((std::vector<std::string>{"10.0.0.5", "10.1.0.5"}), Addresses(Answer(MakeBinaryRequest())));
}

// The filter applies at start and on every re-read, before the rows are
// numbered; the groups are held only on the interfaces it takes.
TEST_F(AdapterRefreshTest, FilterLeavesAdaptersOut)
{
    CServerConfig::instance()->m_strAdapterExclude = "docker* veth?";
    m_host.m_vecAdapter = {Adapter("docker0", "172.17.0.1"), Adapter("eth0", "10.0.0.5"),
                           Adapter("vethA", "169.254.0.9")};
    StartHandler();
    m_pHandler->SyncGroups(kFn);
    EXPECT_EQ((std::vector<std::string>{"groups eth0"}), m_engine.m_vecGroupChange);
    m_host.m_vecAdapter.push_back(Adapter("veth1", "10.2.0.1"));
    m_host.m_vecAdapter.push_back(Adapter("eth1", "10.1.0.5"));
    ASSERT_EQ(0, m_pHandler->RefreshAdapters());
    EXPECT_EQ("adapter table changed: 2 rows; added eth1", LinesOf(kFn).at(0));
    EXPECT_EQ("groups eth0 eth1", m_engine.m_vecGroupChange.back());
    EXPECT_EQ((std::vector<std::string>{"10.0.0.5", "10.1.0.5"}), Addresses(Answer(MakeBinaryRequest())));
}

// With AnswerOnLinkOnly, a source on a new adapter's subnet is taken once the
// table has it.
TEST_F(AdapterRefreshTest, OnLinkSubnetsFollowTheTable)
{
    CServerConfig::instance()->m_nAnswerOnLinkOnly = 1;
    StartHandler();
    Deliver(MakeBinaryRequest(), "10.1.0.9");
    EXPECT_EQ(0u, QueueSize());
    m_host.m_vecAdapter.push_back(Adapter("eth1", "10.1.0.5"));
    ASSERT_EQ(0, m_pHandler->RefreshAdapters());
    Deliver(MakeBinaryRequest(), "10.1.0.9");
    EXPECT_EQ(1u, QueueSize());
}

// At start, a table with nothing to announce says that the daemon waits.
TEST_F(AdapterRefreshTest, StartWithoutAnAddressSaysItWaits)
{
    const char* const kWaits = "no adapter with a usable IPv4 address yet: nothing can be "
                               "announced, Velmora waits for an adapter";
    const char* const kReadOnce = "no adapter with a usable IPv4 address: nothing can be "
                                  "announced, and with AdapterRefresh 0 the adapters are not read again";
    for (const int nRefresh : {0, 1}) {
        for (const bool bLinkLocal : {false, true}) {
            m_host.m_vecAdapter.clear();
            if (bLinkLocal)
                m_host.m_vecAdapter.push_back(Adapter("eth0", "169.254.7.7"));
            CServerConfig::instance()->m_nAdapterRefresh = nRefresh;
            m_pHandler = new CCUHandler(&m_engine, nullptr);
            m_log.Clear();
            ASSERT_EQ(0, m_pHandler->StartHandler());
            const std::vector<std::string> vecLines = LinesOf("CCUHandler::StartHandler");
            EXPECT_EQ(1, std::count(vecLines.begin(), vecLines.end(), nRefresh ? kWaits : kReadOnce));
            m_pHandler->StopHandler();
        }
    }
}

}  // namespace
