// Loading "Velmora.xml": required elements, partial loads, range rules and
// hostile input. Each test runs in its own directory tree, with the daemon's
// folder "Velmora" as the current directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Service/Service.h"
#include "TempDir.h"
#include "nox/PrintLog.h"
#include "nox/testing/LogCapture.h"

namespace {

struct Logged {
    int nLevel;
    std::string strText;
    bool operator==(const Logged& other) const
    {
        return nLevel == other.nLevel && strText == other.strText;
    }
};

std::ostream& operator<<(std::ostream& os, const Logged& line)
{
    return os << line.nLevel << " \"" << line.strText << "\"";
}

// A file with a non-default value everywhere, so a test sees which fields
// a partial load reached.
const char kFullXml[] =
    "<?xml version=\"1.0\"?>\n"
    "<Velmora>\n"
    "<UdpListenInfo1><UdpHost>10.0.0.1</UdpHost>"
    "<UdpPort1>1001</UdpPort1><UdpPort2>1002</UdpPort2><UdpPort3>1003</UdpPort3>"
    "</UdpListenInfo1>\n"
    "<UdpListenInfo2><UdpHost>10.0.0.2</UdpHost>"
    "<UdpPort1>2001</UdpPort1><UdpPort2>2002</UdpPort2><UdpPort3>2003</UdpPort3>"
    "</UdpListenInfo2>\n"
    "<UdpListenInfo3><UdpHost>239.1.1.1</UdpHost>"
    "<UdpPort1>3001</UdpPort1><UdpPort2>3002</UdpPort2><UdpPort3>3003</UdpPort3>"
    "</UdpListenInfo3>\n"
    "<VersionName>Srv</VersionName>\n"
    "<VersionNum>9.9</VersionNum>\n"
    "<ThreadNum>5</ThreadNum>\n"
    "<FilterInterval>10</FilterInterval>\n"
    "<ProductType>Box</ProductType>\n"
    "<Proxy>NGINX</Proxy>\n"
    "</Velmora>\n";

const char* const kDefaultHosts[9] = {"0.0.0.0", "0.0.0.0", "0.0.0.0",
                                      "0.0.0.0", "0.0.0.0", "0.0.0.0",
                                      "239.255.255.251", "239.255.255.251", "239.255.255.251"};
const int kDefaultPorts[9] = {37810, 47810, 57810, 5050, 15050, 25050, 37810, 47810, 57810};
const char* const kFullHosts[3] = {"10.0.0.1", "10.0.0.2", "239.1.1.1"};

// The XML with the first occurrence of strFrom replaced.
std::string Edit(std::string strXml, const std::string& strFrom, const std::string& strTo)
{
    const std::string::size_type nPos = strXml.find(strFrom);
    EXPECT_NE(std::string::npos, nPos) << strFrom;
    if (nPos != std::string::npos)
        strXml.replace(nPos, strFrom.size(), strTo);
    return strXml;
}

class CServerConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        *CServerConfig::instance() = CServerConfig();
        m_dir.Enter("Velmora");
        nox::PrintLog::instance().SetLevel(nox::kLogInfo);
    }

    CServerConfig& Config() { return *CServerConfig::instance(); }

    int Load(const std::string& strXml)
    {
        m_dir.Write("Velmora/Velmora.xml", strXml);
        return Config().LoadServerConf();
    }

    // The lines of the load, level and text.
    std::vector<Logged> Lines()
    {
        std::vector<Logged> vecOut;
        for (const auto& line : m_log.Lines()) {
            if (line.strFunc == "CServerConfig::LoadServerConf")
                vecOut.push_back({line.nLevel, line.strText});
        }
        return vecOut;
    }

    Logged LastLine()
    {
        const std::vector<Logged> vecLines = Lines();
        return vecLines.empty() ? Logged{0, "<none>"} : vecLines.back();
    }

    // Entries of group g (0..2) hold the file's values when bLoaded, else the
    // defaults.
    void ExpectGroup(int g, bool bLoaded)
    {
        ASSERT_EQ(9u, Config().m_vecListenAddr.size());
        for (int k = 0; k < 3; ++k) {
            const int i = 3 * g + k;
            const ListenAddr& addr = Config().m_vecListenAddr[i];
            EXPECT_STREQ(bLoaded ? kFullHosts[g] : kDefaultHosts[i], addr.m_strHost.c_str())
                << "entry " << i;
            EXPECT_EQ(bLoaded ? 1000 * (g + 1) + k + 1 : kDefaultPorts[i], addr.m_nPort)
                << "entry " << i;
        }
    }

    TempDir m_dir;
    nox::testing::LogCapture m_log;
};

TEST_F(CServerConfigTest, MissingOrMalformedFileKeepsEveryDefault)
{
    const struct {
        const char* szName;
        const char* szXml;  // null: no file
    } kCases[] = {
        {"no file", nullptr},
        {"empty file", ""},
        {"unclosed root", "<Velmora><UdpListenInfo1>"},
        {"mismatched end tag", "<Velmora><UdpListenInfo1></UdpListenInfo2></Velmora>"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.szName);
        *CServerConfig::instance() = CServerConfig();
        m_log.Clear();
        const int nRet = c.szXml ? Load(c.szXml) : Config().LoadServerConf();
        EXPECT_EQ(CServerConfig::kErrLoadFile, nRet);
        EXPECT_EQ(std::vector<Logged>({{6, "Velmora Xml Load File Failed!"}}), Lines());
        for (int g = 0; g < 3; ++g)
            ExpectGroup(g, false);
        EXPECT_STREQ("Server", Config().m_strVersionName.c_str());
        EXPECT_STREQ("3.0", Config().m_strVersionNum.c_str());
        EXPECT_EQ(8, Config().m_nThreadNum);
        EXPECT_EQ(2, Config().m_nFilterInterval);
        EXPECT_EQ(80, Config().webclientHttpPort);
        EXPECT_EQ(443, Config().webclientHttpsPort);
        EXPECT_STREQ("Null", Config().m_strProductType.c_str());
        EXPECT_STREQ("Null", Config().m_strProxy.c_str());
    }
}

TEST_F(CServerConfigTest, OtherRootElementIsRefused)
{
    EXPECT_EQ(CServerConfig::kErrNoRoot, Load("<velmora><VersionName>x</VersionName></velmora>"));
    EXPECT_EQ(std::vector<Logged>({{6, "Load Child Velmora Failed!"}}), Lines());
    ExpectGroup(0, false);
}

TEST_F(CServerConfigTest, FullFileLogsEveryValueInOrder)
{
    m_dir.Write("nginx/conf/port.conf", "listen 8080;\nlisten 8443 ssl;\n");
    EXPECT_EQ(0, Load(kFullXml));
    const std::vector<Logged> vecExpected = {
        {4, "UdpListenInfo1 Listen1[10.0.0.1:1001]"},
        {4, "UdpListenInfo1 Listen2[10.0.0.1:1002]"},
        {4, "UdpListenInfo1 Listen3[10.0.0.1:1003]"},
        {4, "UdpListenInfo2 Listen1[10.0.0.2:2001]"},
        {4, "UdpListenInfo2 Listen2[10.0.0.2:2002]"},
        {4, "UdpListenInfo2 Listen3[10.0.0.2:2003]"},
        {4, "UdpListenInfo3 Listen1[239.1.1.1:3001]"},
        {4, "UdpListenInfo3 Listen2[239.1.1.1:3002]"},
        {4, "UdpListenInfo3 Listen3[239.1.1.1:3003]"},
        {4, "VersionName[Srv]"},
        {4, "VersionNum[9.9]"},
        {4, "ThreadNum [sThreadNum=5, nThreadNum=5, m_nThreadNum=5]"},
        {4, "FilterInterval [sFilterInterval=10, nFilterInterval=10, m_nFilterInterval=10]"},
        {4, "ProductType[Box]"},
        {4, "Proxy[nginx]"},
        {4, "nginx port load webclientHttpPort[8080]"},
        {4, "nginx port load webclientHttpsPort[8443]"},
    };
    EXPECT_EQ(vecExpected, Lines());
    for (int g = 0; g < 3; ++g)
        ExpectGroup(g, true);
    EXPECT_STREQ("nginx", Config().m_strProxy.c_str());
    EXPECT_EQ(8080, Config().webclientHttpPort);
    EXPECT_EQ(8443, Config().webclientHttpsPort);
}

// A missing required element ends the load there: what came before stays,
// everything after keeps its default.
TEST_F(CServerConfigTest, MissingRequiredElementEndsLoadAtThatStep)
{
    const struct {
        const char* szElement;
        int nCode;
        const char* szMessage;
        int nStepsDone;  // groups 1-3, name, number, threads, interval, product
    } kCases[] = {
        {"UdpListenInfo1", -3, "Load Child UdpListenInfo1 Failed!", 0},
        {"UdpListenInfo2", -3, "Load Child UdpListenInfo2 Failed!", 1},
        {"UdpListenInfo3", -3, "Load Child UdpListenInfo3 Failed!", 2},
        {"VersionName", -5, "Load Child VersionName Failed!", 3},
        {"VersionNum", -5, "Load Child VersionNum Failed!", 4},
        {"ThreadNum", -6, "Load Child ThreadNum Failed!", 5},
        {"FilterInterval", -6, "Load Child FilterInterval Failed!", 6},
        {"ProductType", -7, "Load Child ProductType Failed!", 7},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.szElement);
        *CServerConfig::instance() = CServerConfig();
        m_log.Clear();
        const std::string strOpen = std::string("<") + c.szElement + ">";
        const std::string strClose = std::string("</") + c.szElement + ">";
        // Renaming the element removes it without touching the rest.
        std::string strXml = Edit(kFullXml, strOpen, "<Gone>");
        strXml = Edit(strXml, strClose, "</Gone>");
        EXPECT_EQ(c.nCode, Load(strXml));
        EXPECT_EQ((Logged{6, c.szMessage}), LastLine());
        for (int g = 0; g < 3; ++g)
            ExpectGroup(g, c.nStepsDone > g);
        EXPECT_STREQ(c.nStepsDone > 3 ? "Srv" : "Server", Config().m_strVersionName.c_str());
        EXPECT_STREQ(c.nStepsDone > 4 ? "9.9" : "3.0", Config().m_strVersionNum.c_str());
        EXPECT_EQ(c.nStepsDone > 5 ? 5 : 8, Config().m_nThreadNum);
        EXPECT_EQ(c.nStepsDone > 6 ? 10 : 2, Config().m_nFilterInterval);
        EXPECT_STREQ("Null", Config().m_strProductType.c_str());
        EXPECT_STREQ("Null", Config().m_strProxy.c_str());
        EXPECT_EQ(80, Config().webclientHttpPort);
        EXPECT_EQ(443, Config().webclientHttpsPort);
    }
}

// The line shows the text read, its number and the value kept.
TEST_F(CServerConfigTest, ThreadNumAndFilterIntervalKeepOnlyValuesInRange)
{
    const struct {
        const char* szThreads;
        int nThreadsRead;
        int nThreadsKept;
        const char* szInterval;
        int nIntervalRead;
        int nIntervalKept;
    } kCases[] = {
        {"3", 3, 8, "1", 1, 2},        {"4", 4, 4, "2", 2, 2},
        {"7", 7, 7, "300", 300, 300},  {"8", 8, 8, "301", 301, 2},
        {"32", 32, 8, "-5", -5, 2},    {"x", 0, 8, "", 0, 2},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.szThreads) + " / " + c.szInterval);
        *CServerConfig::instance() = CServerConfig();
        m_log.Clear();
        std::string strXml =
            Edit(kFullXml, "<ThreadNum>5<", std::string("<ThreadNum>") + c.szThreads + "<");
        strXml = Edit(strXml, "<FilterInterval>10<",
                      std::string("<FilterInterval>") + c.szInterval + "<");
        (void)Load(strXml);
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
                                 ", m_nFilterInterval=" + std::to_string(c.nIntervalKept) +
                                 "]"}),
                  vecLines[12]);
    }
}

TEST_F(CServerConfigTest, GroupWithoutHostOrWithFewPortsKeepsDefaultsWhereUnset)
{
    // Group 2: ports but an empty host. Group 3: no host element at all.
    // Group 1: only its first port.
    std::string strXml = Edit(kFullXml, "<UdpHost>10.0.0.2</UdpHost>", "<UdpHost></UdpHost>");
    strXml = Edit(strXml, "<UdpHost>239.1.1.1</UdpHost>", "");
    strXml = Edit(strXml, "<UdpPort2>1002</UdpPort2><UdpPort3>1003</UdpPort3>",
                  "<UdpPort2></UdpPort2>");
    (void)Load(strXml);  // the web port result is another test's concern
    const auto& vecAddr = Config().m_vecListenAddr;
    ASSERT_EQ(9u, vecAddr.size());
    EXPECT_STREQ("10.0.0.1", vecAddr[0].m_strHost.c_str());
    EXPECT_EQ(1001, vecAddr[0].m_nPort);
    for (int i = 1; i < 9; ++i) {
        EXPECT_STREQ(kDefaultHosts[i], vecAddr[i].m_strHost.c_str()) << i;
        EXPECT_EQ(kDefaultPorts[i], vecAddr[i].m_nPort) << i;
    }
    const std::vector<Logged> vecLines = Lines();
    ASSERT_GE(vecLines.size(), 4u);
    EXPECT_EQ((Logged{4, "UdpListenInfo1 Listen1[10.0.0.1:1001]"}), vecLines[0]);
    EXPECT_EQ((Logged{6, "Load Child UdpListenInfo2 UDPHost Failed!"}), vecLines[1]);
    EXPECT_EQ((Logged{6, "Load Child UdpListenInfo3 UDPHost Failed!"}), vecLines[2]);
    EXPECT_EQ((Logged{4, "VersionName[Srv]"}), vecLines[3]);
    EXPECT_EQ(5, Config().m_nThreadNum);  // loading went on
}

TEST_F(CServerConfigTest, ElementOrderAndUnknownElementsDoNotMatter)
{
    std::string strXml =
        "<Velmora><Extra>1</Extra><Proxy>NGINX</Proxy><ProductType>Box</ProductType>"
        "<FilterInterval>10</FilterInterval><ThreadNum>5</ThreadNum>"
        "<VersionNum>9.9</VersionNum><VersionName>Srv</VersionName>"
        "<VersionName>Second</VersionName>"
        "<UdpListenInfo3><UdpPort3>3003</UdpPort3><UdpPort2>3002</UdpPort2>"
        "<UdpPort1>3001</UdpPort1><UdpHost>239.1.1.1</UdpHost></UdpListenInfo3>"
        "<UdpListenInfo2><Note/><UdpHost>10.0.0.2</UdpHost><UdpPort1>2001</UdpPort1>"
        "<UdpPort2>2002</UdpPort2><UdpPort3>2003</UdpPort3></UdpListenInfo2>"
        "<UdpListenInfo1><UdpHost>10.0.0.1</UdpHost><UdpPort1>1001</UdpPort1>"
        "<UdpPort2>1002</UdpPort2><UdpPort3>1003</UdpPort3></UdpListenInfo1>"
        "</Velmora>";
    (void)Load(strXml);
    for (int g = 0; g < 3; ++g)
        ExpectGroup(g, true);
    EXPECT_STREQ("Srv", Config().m_strVersionName.c_str());  // the first one
    EXPECT_STREQ("9.9", Config().m_strVersionNum.c_str());
    EXPECT_EQ(5, Config().m_nThreadNum);
    EXPECT_EQ(10, Config().m_nFilterInterval);
    EXPECT_STREQ("Box", Config().m_strProductType.c_str());
    EXPECT_STREQ("nginx", Config().m_strProxy.c_str());
}

TEST_F(CServerConfigTest, TextsAreTakenAsWritten)
{
    std::string strXml = Edit(kFullXml, "<VersionName>Srv</VersionName>", "<VersionName/>");
    strXml = Edit(strXml, "<VersionNum>9.9<", "<VersionNum> 9.9 <");
    strXml = Edit(strXml, "<UdpPort1>1001<", "<UdpPort1>70000<");
    strXml = Edit(strXml, "<Proxy>NGINX<", "<Proxy>NgInX<");
    (void)Load(strXml);
    EXPECT_STREQ("", Config().m_strVersionName.c_str());
    EXPECT_STREQ(" 9.9 ", Config().m_strVersionNum.c_str());
    EXPECT_EQ(70000, Config().m_vecListenAddr[0].m_nPort);  // ports get no range check
    EXPECT_STREQ("nginx", Config().m_strProxy.c_str());
    const std::vector<Logged> vecLines = Lines();
    for (const Logged& expected : {Logged{4, "VersionName[]"}, Logged{4, "VersionNum[ 9.9 ]"},
                                   Logged{4, "Proxy[nginx]"},
                                   Logged{6, "Open nginx Conf ../nginx/conf/port.conf failed."}}) {
        EXPECT_NE(vecLines.end(), std::find(vecLines.begin(), vecLines.end(), expected))
            << expected;
    }
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
        *CServerConfig::instance() = CServerConfig();
        m_log.Clear();
        std::string strXml = Edit(kFullXml, "<Proxy>NGINX</Proxy>", c.szProxyElement);
        strXml = Edit(strXml, "<ProductType>Box<",
                      std::string("<ProductType>") + c.szProductType + "<");
        EXPECT_EQ(CServerConfig::kErrWebLoadFile, Load(strXml));
        EXPECT_STREQ(c.szProductType, Config().m_strProductType.c_str());
        EXPECT_STREQ(c.szProxyKept, Config().m_strProxy.c_str());
        EXPECT_EQ(80, Config().webclientHttpPort);  // no file: both ports stay
        EXPECT_EQ(443, Config().webclientHttpsPort);
        const std::vector<Logged> vecLines = Lines();
        ASSERT_GE(vecLines.size(), 2u);
        EXPECT_EQ((Logged{6, c.szWebMessage}), vecLines.back());
        const Logged proxyLine = c.szProxyElement[0] == '\0'
                                     ? Logged{6, "Load Childk Proxy Failed!"}
                                     : Logged{4, std::string("Proxy[") + c.szProxyKept + "]"};
        EXPECT_EQ(proxyLine, vecLines[vecLines.size() - 2]);
    }
}

// Hostile files never crash the load; they end as the parser sees them.
TEST_F(CServerConfigTest, HostileFilesEndCleanly)
{
    std::string strJunk;
    for (int i = 0; i < 4096; ++i)
        strJunk.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
    EXPECT_EQ(CServerConfig::kErrLoadFile, Load(strJunk));

    std::string strDeep = "<Velmora>";
    for (int i = 0; i < 10000; ++i)
        strDeep += "<a>";
    for (int i = 0; i < 10000; ++i)
        strDeep += "</a>";
    strDeep += "</Velmora>";
    EXPECT_EQ(CServerConfig::kErrNoListenGroup, Load(strDeep));
    EXPECT_EQ((Logged{6, "Load Child UdpListenInfo1 Failed!"}), LastLine());

    *CServerConfig::instance() = CServerConfig();
    const std::string strHuge(5 * 1024 * 1024, 'v');
    (void)Load(Edit(kFullXml, "<VersionName>Srv<", "<VersionName>" + strHuge + "<"));
    EXPECT_EQ(strHuge.size(), Config().m_strVersionName.str().size());
    EXPECT_EQ(5, Config().m_nThreadNum);

    // The full file as UTF-16LE with a byte order mark loads like UTF-8.
    *CServerConfig::instance() = CServerConfig();
    std::string strUtf16 = "\xFF\xFE";
    for (const char ch : std::string(kFullXml).substr(std::string(kFullXml).find("<Velmora>"))) {
        strUtf16.push_back(ch);
        strUtf16.push_back('\0');
    }
    (void)Load(strUtf16);
    for (int g = 0; g < 3; ++g)
        ExpectGroup(g, true);
    EXPECT_STREQ("Box", Config().m_strProductType.c_str());
}

}  // namespace
