// Loading "Velmora.xml": required elements, partial loads, range rules and
// hostile input.
#include <string>
#include <vector>

#include "ConfigFixture.h"

namespace {

class CServerConfigTest : public ConfigFixture {
protected:
    // The fields of kFullXml's first nSteps steps hold its values, the rest
    // their defaults. Steps: groups 1-3, name, number, threads, interval,
    // product type, proxy.
    void ExpectLoaded(int nSteps, int nHttp = 80, int nHttps = 443)
    {
        const std::vector<ListenAddr> vecDefault = DefaultListenAddrs();
        ASSERT_EQ(9u, Config().m_vecListenAddr.size());
        for (int i = 0; i < 9; ++i) {
            const bool bLoaded = nSteps > i / 3;
            const ListenAddr& addr = Config().m_vecListenAddr[i];
            EXPECT_EQ(bLoaded ? kFullHosts[i / 3] : vecDefault[i].m_strHost.str(),
                      addr.m_strHost.str()) << "entry " << i;
            EXPECT_EQ(bLoaded ? 1000 * (i / 3 + 1) + i % 3 + 1 : vecDefault[i].m_nPort,
                      addr.m_nPort) << "entry " << i;
        }
        EXPECT_STREQ(nSteps > 3 ? "Srv" : "Server", Config().m_strVersionName.c_str());
        EXPECT_STREQ(nSteps > 4 ? "9.9" : "3.0", Config().m_strVersionNum.c_str());
        EXPECT_EQ(nSteps > 5 ? 5 : 8, Config().m_nThreadNum);
        EXPECT_EQ(nSteps > 6 ? 10 : 2, Config().m_nFilterInterval);
        EXPECT_STREQ(nSteps > 7 ? "Box" : "Null", Config().m_strProductType.c_str());
        EXPECT_STREQ(nSteps > 8 ? "nginx" : "Null", Config().m_strProxy.c_str());
        EXPECT_EQ(nHttp, Config().webclientHttpPort);
        EXPECT_EQ(nHttps, Config().webclientHttpsPort);
    }
};

// A load ends at its first failure: what came before stays, everything
// after keeps its default.
TEST_F(CServerConfigTest, FailedLoadKeepsDefaultsFromTheFailingStepOn)
{
    const char kNoFile[] = "Velmora Xml Load File Failed!";
    const struct { const char* szXml; int nCode; const char* szMessage; } kFiles[] = {
        {nullptr, -1, kNoFile}, {"", -1, kNoFile}, {"<Velmora><UdpListenInfo1>", -1, kNoFile},
        {"<Velmora><UdpListenInfo1></UdpListenInfo2></Velmora>", -1, kNoFile},
        {"<velmora><VersionName>x</VersionName></velmora>", -2, "Load Child Velmora Failed!"},
    };
    for (const auto& c : kFiles) {
        SCOPED_TRACE(c.szXml ? c.szXml : "no file");
        Reset();
        EXPECT_EQ(c.nCode, c.szXml ? Load(c.szXml) : Config().LoadServerConf());
        EXPECT_EQ((std::vector<Logged>{{6, c.szMessage}}), Lines());
        ExpectLoaded(0);
    }
    // Element i of this list missing: the steps before it were done.
    const std::pair<std::string, int> kElements[] = {
        {"UdpListenInfo1", -3}, {"UdpListenInfo2", -3}, {"UdpListenInfo3", -3},
        {"VersionName", -5},    {"VersionNum", -5},     {"ThreadNum", -6},
        {"FilterInterval", -6}, {"ProductType", -7}};
    for (int i = 0; i < 8; ++i) {
        const std::string& strName = kElements[i].first;
        SCOPED_TRACE(strName);
        Reset();
        // Renaming the element removes it without touching the rest.
        EXPECT_EQ(kElements[i].second, Load(Edit(Edit(kFullXml, "<" + strName + ">", "<Gone>"),
                                                 "</" + strName + ">", "</Gone>")));
        ASSERT_FALSE(Lines().empty());
        EXPECT_EQ((Logged{6, "Load Child " + strName + " Failed!"}), Lines().back());
        ExpectLoaded(i);
    }
}

TEST_F(CServerConfigTest, FullFileLogsEveryValueInOrder)
{
    m_dir.Write("nginx/conf/port.conf", "listen 8080;\nlisten 8443 ssl;\n");
    EXPECT_EQ(0, Load(kFullXml));
    std::vector<Logged> vecExpected;
    for (int i = 0; i < 9; ++i) {
        vecExpected.push_back({4, "UdpListenInfo" + std::to_string(i / 3 + 1) + " Listen" +
                                      std::to_string(i % 3 + 1) + "[" + kFullHosts[i / 3] + ":" +
                                      std::to_string(1000 * (i / 3 + 1) + i % 3 + 1) + "]"});
    }
    vecExpected.insert(vecExpected.end(), {
        {4, "VersionName[Srv]"},
        {4, "VersionNum[9.9]"},
        {4, "ThreadNum [sThreadNum=5, nThreadNum=5, m_nThreadNum=5]"},
        {4, "FilterInterval [sFilterInterval=10, nFilterInterval=10, m_nFilterInterval=10]"},
        {4, "ProductType[Box]"},
        {4, "Proxy[nginx]"},
        {4, "nginx port load webclientHttpPort[8080]"},
        {4, "nginx port load webclientHttpsPort[8443]"},
    });
    EXPECT_EQ(vecExpected, Lines());
    ExpectLoaded(9, 8080, 8443);
}

// The line shows the text read, its number and the value kept.
TEST_F(CServerConfigTest, ThreadNumAndFilterIntervalKeepOnlyValuesInRange)
{
    const struct {
        const char* szThreads;
        int nThreadsRead, nThreadsKept;
        const char* szInterval;
        int nIntervalRead, nIntervalKept;
    } kCases[] = {
        {"3", 3, 8, "1", 1, 2},        {"4", 4, 4, "2", 2, 2},
        {"7", 7, 7, "300", 300, 300},  {"8", 8, 8, "301", 301, 2},
        {"32", 32, 8, "-5", -5, 2},    {"x", 0, 8, "", 0, 2},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.szThreads) + " / " + c.szInterval);
        Reset();
        const std::string strXml =
            Edit(kFullXml, "<ThreadNum>5<", std::string("<ThreadNum>") + c.szThreads + "<");
        (void)Load(Edit(strXml, "<FilterInterval>10<",
                        std::string("<FilterInterval>") + c.szInterval + "<"));
        EXPECT_EQ(c.nThreadsKept, Config().m_nThreadNum);
        EXPECT_EQ(c.nIntervalKept, Config().m_nFilterInterval);
        const std::vector<Logged> vecLines = Lines();
        ASSERT_GE(vecLines.size(), 13u);
        EXPECT_EQ((Logged{4, "ThreadNum [sThreadNum=" + std::string(c.szThreads) +
                                 ", nThreadNum=" + std::to_string(c.nThreadsRead) +
                                 ", m_nThreadNum=" + std::to_string(c.nThreadsKept) + "]"}),
                  vecLines[11]);
        EXPECT_EQ((Logged{4, "FilterInterval [sFilterInterval=" + std::string(c.szInterval) +
                                 ", nFilterInterval=" + std::to_string(c.nIntervalRead) +
                                 ", m_nFilterInterval=" + std::to_string(c.nIntervalKept) + "]"}),
                  vecLines[12]);
    }
}

TEST_F(CServerConfigTest, GroupWithoutHostOrWithFewPortsKeepsDefaultsWhereUnset)
{
    // Group 1: only its first port. Group 2: an empty host. Group 3: no host.
    std::string strXml = Edit(kFullXml, "<UdpHost>10.0.0.2</UdpHost>", "<UdpHost></UdpHost>");
    strXml = Edit(strXml, "<UdpHost>239.1.1.1</UdpHost>", "");
    strXml = Edit(strXml, "<UdpPort2>1002</UdpPort2><UdpPort3>1003</UdpPort3>",
                  "<UdpPort2></UdpPort2>");
    (void)Load(strXml);
    std::vector<ListenAddr> vecExpected = DefaultListenAddrs();
    vecExpected[0].m_strHost = "10.0.0.1";
    vecExpected[0].m_nPort = 1001;
    ASSERT_EQ(9u, Config().m_vecListenAddr.size());
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(vecExpected[i].m_strHost.str(), Config().m_vecListenAddr[i].m_strHost.str());
        EXPECT_EQ(vecExpected[i].m_nPort, Config().m_vecListenAddr[i].m_nPort);
    }
    const std::vector<Logged> vecLines = Lines();
    ASSERT_GE(vecLines.size(), 4u);
    EXPECT_EQ((std::vector<Logged>{{4, "UdpListenInfo1 Listen1[10.0.0.1:1001]"},
                                   {6, "Load Child UdpListenInfo2 UDPHost Failed!"},
                                   {6, "Load Child UdpListenInfo3 UDPHost Failed!"},
                                   {4, "VersionName[Srv]"}}),
              std::vector<Logged>(vecLines.begin(), vecLines.begin() + 4));
    EXPECT_EQ(5, Config().m_nThreadNum);  // loading went on
}

TEST_F(CServerConfigTest, ElementOrderAndUnknownElementsDoNotMatter)
{
    (void)Load("<Velmora><Extra>1</Extra><Proxy>NGINX</Proxy><ProductType>Box</ProductType>"
               "<FilterInterval>10</FilterInterval><ThreadNum>5</ThreadNum>"
               "<VersionNum>9.9</VersionNum><VersionName>Srv</VersionName>"
               "<VersionName>Second</VersionName>"
               "<UdpListenInfo3><UdpPort3>3003</UdpPort3><UdpPort2>3002</UdpPort2>"
               "<UdpPort1>3001</UdpPort1><UdpHost>239.1.1.1</UdpHost></UdpListenInfo3>"
               "<UdpListenInfo2><Note/><UdpHost>10.0.0.2</UdpHost><UdpPort1>2001</UdpPort1>"
               "<UdpPort2>2002</UdpPort2><UdpPort3>2003</UdpPort3></UdpListenInfo2>"
               "<UdpListenInfo1><UdpHost>10.0.0.1</UdpHost><UdpPort1>1001</UdpPort1>"
               "<UdpPort2>1002</UdpPort2><UdpPort3>1003</UdpPort3></UdpListenInfo1>"
               "</Velmora>");
    ExpectLoaded(9);  // the first VersionName counts
}

TEST_F(CServerConfigTest, TextsAreTakenAsWritten)
{
    std::string strXml = Edit(kFullXml, "<VersionName>Srv</VersionName>", "<VersionName/>");
    strXml = Edit(strXml, "<VersionNum>9.9<", "<VersionNum> 9.9 <");
    (void)Load(Edit(strXml, "<UdpPort1>1001<", "<UdpPort1>70000<"));
    EXPECT_STREQ("", Config().m_strVersionName.c_str());
    EXPECT_STREQ(" 9.9 ", Config().m_strVersionNum.c_str());
    EXPECT_EQ(70000, Config().m_vecListenAddr[0].m_nPort);  // ports get no range check
    const std::vector<Logged> vecLines = Lines();
    ASSERT_GE(vecLines.size(), 11u);
    EXPECT_EQ((std::vector<Logged>{{4, "VersionName[]"}, {4, "VersionNum[ 9.9 ]"}}),
              std::vector<Logged>(vecLines.begin() + 9, vecLines.begin() + 11));
}

// Without a Proxy element, or with an empty product type, the Tomcat file
// is read; the product type "TRN V8" reads the nginx file whatever the proxy.
TEST_F(CServerConfigTest, ProxyOrProductTypeChoosesTheWebFrontEnd)
{
    const char kTomcat[] = "Webclient Xml Load File Failed!";
    const char kNginx[] = "Open nginx Conf ../nginx/conf/port.conf failed.";
    const struct {
        const char* szProductType;
        const char* szProxyElement;
        const char* szProxyKept;
        const char* szWebMessage;
    } kCases[] = {
        {"Box", "", "Null", kTomcat},
        {"", "<Proxy>tomcat</Proxy>", "tomcat", kTomcat},
        {"", "<Proxy>NgInX</Proxy>", "nginx", kNginx},
        {"TRN V8", "<Proxy>tomcat</Proxy>", "tomcat", kNginx},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.szProductType) + " / " + c.szProxyElement);
        Reset();
        const std::string strXml = Edit(kFullXml, "<Proxy>NGINX</Proxy>", c.szProxyElement);
        EXPECT_EQ(CServerConfig::kErrWebLoadFile,
                  Load(Edit(strXml, "<ProductType>Box<",
                            std::string("<ProductType>") + c.szProductType + "<")));
        EXPECT_STREQ(c.szProductType, Config().m_strProductType.c_str());
        EXPECT_STREQ(c.szProxyKept, Config().m_strProxy.c_str());
        const std::vector<Logged> vecLines = Lines();
        ASSERT_GE(vecLines.size(), 2u);
        const Logged proxyLine = c.szProxyElement[0] == '\0'
                                     ? Logged{6, "Load Childk Proxy Failed!"}
                                     : Logged{4, std::string("Proxy[") + c.szProxyKept + "]"};
        EXPECT_EQ((std::vector<Logged>{proxyLine, {6, c.szWebMessage}}),
                  std::vector<Logged>(vecLines.end() - 2, vecLines.end()));
    }
}

// Hostile files never crash the load; they end as the parser sees them.
TEST_F(CServerConfigTest, HostileFilesEndCleanly)
{
    std::string strJunk;
    for (int i = 0; i < 4096; ++i)
        strJunk.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
    EXPECT_EQ(CServerConfig::kErrLoadFile, Load(strJunk));

    std::string strNested;
    for (int i = 0; i < 10000; ++i)
        strNested += "<a>";
    for (int i = 0; i < 10000; ++i)
        strNested += "</a>";
    EXPECT_EQ(CServerConfig::kErrNoListenGroup, Load("<Velmora>" + strNested + "</Velmora>"));
    EXPECT_EQ((Logged{6, "Load Child UdpListenInfo1 Failed!"}), Lines().back());

    Reset();
    const std::string strHuge(5 * 1024 * 1024, 'v');
    (void)Load(Edit(kFullXml, "<VersionName>Srv<", "<VersionName>" + strHuge + "<"));
    EXPECT_EQ(strHuge.size(), Config().m_strVersionName.str().size());
    EXPECT_EQ(5, Config().m_nThreadNum);

    // The full file as UTF-16LE with a byte order mark loads like UTF-8.
    Reset();
    std::string strUtf16 = "\xFF\xFE";
    for (const char ch : std::string(kFullXml).substr(std::string(kFullXml).find("<Velmora>"))) {
        strUtf16.push_back(ch);
        strUtf16.push_back('\0');
    }
    (void)Load(strUtf16);
    ExpectLoaded(9);
}

}  // namespace
