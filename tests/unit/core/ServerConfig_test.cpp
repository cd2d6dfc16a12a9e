// Loading "Velmora.xml": failures and partial loads, range rules.
#include <cstdlib>
#include <sstream>

#include "ConfigFixture.h"

namespace {

// The nine endpoints, then name, number, threads, interval, product type, proxy.
const char kDefaults[] = "0.0.0.0:37810 0.0.0.0:47810 0.0.0.0:57810 0.0.0.0:5050 0.0.0.0:15050 "
    "0.0.0.0:25050 239.255.255.251:37810 239.255.255.251:47810 239.255.255.251:57810 Server 3.0 8 2 Null Null";
const char kFull[] = "10.0.0.1:1001 10.0.0.1:1002 10.0.0.1:1003 10.0.0.2:2001 10.0.0.2:2002 10.0.0.2:2003 "
    "239.1.1.1:3001 239.1.1.1:3002 239.1.1.1:3003 Srv 9.9 5 10 Box nginx";

class CServerConfigTest : public ConfigFixture {
protected:
    std::string Fields()
    {
        std::string strOut;
        for (const ListenAddr& addr : Config().m_vecListenAddr)
            strOut += addr.m_strHost.str() + ":" + std::to_string(addr.m_nPort) + " ";
        return strOut + Config().m_strVersionName.str() + " " + Config().m_strVersionNum.str() + " " +
               std::to_string(Config().m_nThreadNum) + " " + std::to_string(Config().m_nFilterInterval) +
               " " + Config().m_strProductType.str() + " " + Config().m_strProxy.str();
    }
};

// The fields after the first nSteps steps of a load (the three groups, then
// one per scalar field) hold kFull's values, the rest their defaults.
std::string Expected(int nSteps)
{
    std::istringstream full(kFull), defaults(kDefaults);
    std::string strOut, strFull, strDefault;
    for (int k = 0; full >> strFull && defaults >> strDefault; ++k)
        strOut += (k > 0 ? " " : "") + ((k < 9 ? k / 3 : k - 6) < nSteps ? strFull : strDefault);
    return strOut;
}

// A load ends at its first failure: what came before stays, everything
// after keeps its default, and the code says which step failed.
TEST_F(CServerConfigTest, FailedLoadKeepsDefaultsFromTheFailingStepOn)
{
    const struct { const char* szXml; int nCode; const char* szLine; } kFiles[] = {
        {nullptr, -1, "Velmora Xml Load File Failed!"},
        {"<Velmora><UdpListenInfo1>", -1, "Velmora Xml Load File Failed!"},
        {"<velmora><VersionName>x</VersionName></velmora>", -2, "Load Child Velmora Failed!"},
    };
    for (const auto& c : kFiles) {
        Reset();
        EXPECT_EQ(c.nCode, c.szXml ? Load(c.szXml) : Config().LoadServerConf());
        EXPECT_EQ(std::vector<std::string>{c.szLine}, Lines());
        EXPECT_EQ(kDefaults, Fields());
    }
    const std::pair<std::string, int> kElements[] = {
        {"UdpListenInfo1", -3}, {"UdpListenInfo2", -3}, {"UdpListenInfo3", -3}, {"VersionName", -5},
        {"VersionNum", -5}, {"ThreadNum", -6}, {"FilterInterval", -6}, {"ProductType", -7}};
    for (int i = 0; i < 8; ++i) {
        const std::string& strName = kElements[i].first;
        Reset();
        EXPECT_EQ(kElements[i].second, Load(Edit(Edit(kFullXml, "<" + strName + ">", "<Gone>"),
                                                 "</" + strName + ">", "</Gone>")));
        EXPECT_EQ("Load Child " + strName + " Failed!", Lines().back());
        EXPECT_EQ(Expected(i), Fields());
    }
    // Proxy is optional; either way the web front end's file comes next (none here).
    Reset();
    EXPECT_EQ(CServerConfig::kErrWebLoadFile, Load(Edit(kFullXml, "<Proxy>NGINX</Proxy>", "")));
    EXPECT_EQ(Expected(8), Fields());
    Reset();   // a group without a host keeps its three endpoints, ports included
    (void)Load(Edit(kFullXml, "<UdpHost>10.0.0.2</UdpHost>", "<UdpHost></UdpHost>"));
    EXPECT_NE(std::string::npos, Fields().find(":1003 0.0.0.0:5050 0.0.0.0:15050 0.0.0.0:25050 "));
    Reset();
    EXPECT_EQ(CServerConfig::kErrWebLoadFile, Load(kFullXml));
    EXPECT_EQ(kFull, Fields());
}

// The log line shows the text read, its number and the value kept.
TEST_F(CServerConfigTest, ThreadNumAndFilterIntervalKeepOnlyValuesInRange)
{
    const struct { const char* szThreads; int nThreadsKept; const char* szInterval; int nIntervalKept; }
    kCases[] = {{"3", 8, "1", 2}, {"4", 4, "2", 2}, {"7", 7, "300", 300}, {"8", 8, "301", 2}, {"x", 8, "-5", 2}};
    for (const auto& c : kCases) {
        Reset();
        (void)Load(Edit(Edit(kFullXml, ">5<", std::string(">") + c.szThreads + "<"), ">10<",
                        std::string(">") + c.szInterval + "<"));
        EXPECT_EQ(c.nThreadsKept, Config().m_nThreadNum) << c.szThreads;
        EXPECT_EQ(c.nIntervalKept, Config().m_nFilterInterval) << c.szInterval;
        EXPECT_TRUE(m_log.Contains("ThreadNum [sThreadNum=" + std::string(c.szThreads) + ", nThreadNum=" +
                                   std::to_string(atoi(c.szThreads)) + ", m_nThreadNum=" +
                                   std::to_string(c.nThreadsKept) + "]"));
    }
}

}  // namespace

// The adapter settings are optional: an absent element is not logged, a
// present one is, and AdapterRefresh other than 0 or 1 keeps 1.
TEST_F(CServerConfigTest, AdapterSettingsAreLoggedOnlyWhenPresent)
{
    const struct {
        const char* szElements;
        int nRefresh;
        const char* szInclude;
        std::vector<std::string> vecLines;
    } kCases[] = {
        {"", 1, "", {}},
        {"<AdapterRefresh>0</AdapterRefresh>", 0, "", {"AdapterRefresh[0]"}},
        {"<AdapterRefresh>2</AdapterRefresh><AdapterInclude> eth*\n  wlan? </AdapterInclude>"
         "<AdapterExclude/>",
         1, "eth* wlan?", {"AdapterRefresh [2] not 0 or 1, kept 1", "AdapterInclude[eth* wlan?]", "AdapterExclude[]"}},
    };
    for (const auto& c : kCases) {
        Reset();
        Write("Velmora/Velmora.xml", Edit(kFullXml, "</Velmora>", std::string(c.szElements) + "</Velmora>"));
        EXPECT_EQ(0, Config().LoadAdapterConf());
        EXPECT_EQ(c.nRefresh, Config().m_nAdapterRefresh) << c.szElements;
        EXPECT_EQ(std::string(c.szInclude), Config().m_strAdapterInclude.str()) << c.szElements;
        EXPECT_EQ(c.vecLines, LinesOf(m_log, "CServerConfig::LoadAdapterConf")) << c.szElements;
    }
}
