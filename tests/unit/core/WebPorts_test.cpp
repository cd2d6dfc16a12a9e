// The web front end's ports, read as the last step of the configuration
// load: the nginx port file and Tomcat's server file.
#include <gtest/gtest.h>

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

const char kNginxFile[] = "nginx/conf/port.conf";
const char kTomcatFile[] = "WEBCLIENT/webclient/apache-tomcat/conf/server.xml";

std::string ServiceXml(const std::string& strProductType, const std::string& strProxy)
{
    const std::string strGroup = "<UdpHost>0.0.0.0</UdpHost><UdpPort1>1</UdpPort1>";
    return "<Velmora><UdpListenInfo1>" + strGroup + "</UdpListenInfo1><UdpListenInfo2>" +
           strGroup + "</UdpListenInfo2><UdpListenInfo3>" + strGroup +
           "</UdpListenInfo3><VersionName>S</VersionName><VersionNum>1</VersionNum>"
           "<ThreadNum>4</ThreadNum><FilterInterval>2</FilterInterval><ProductType>" +
           strProductType + "</ProductType><Proxy>" + strProxy + "</Proxy></Velmora>";
}

std::string Server(const std::string& strConnectors)
{
    return "<?xml version='1.0'?>\n<Server port=\"8005\"><Service name=\"Catalina\">" +
           strConnectors + "<Engine name=\"Catalina\"/></Service></Server>\n";
}

class WebPortsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        *CServerConfig::instance() = CServerConfig();
        m_dir.Enter("Velmora");
        nox::PrintLog::instance().SetLevel(nox::kLogDebug);  // the file's lines too
    }
    void TearDown() override { nox::PrintLog::instance().SetLevel(nox::kLogInfo); }

    CServerConfig& Config() { return *CServerConfig::instance(); }

    int LoadWith(const std::string& strProductType, const std::string& strProxy)
    {
        m_dir.Write("Velmora/Velmora.xml", ServiceXml(strProductType, strProxy));
        return Config().LoadServerConf();
    }

    // The lines after the service file's last line ("Proxy[...]").
    std::vector<Logged> WebLines()
    {
        std::vector<Logged> vecOut;
        bool bAfterProxy = false;
        for (const auto& line : m_log.Lines()) {
            if (line.strFunc != "CServerConfig::LoadServerConf")
                continue;
            if (bAfterProxy)
                vecOut.push_back({line.nLevel, line.strText});
            else
                bAfterProxy = line.strText.rfind("Proxy[", 0) == 0;
        }
        return vecOut;
    }

    void Reset()
    {
        *CServerConfig::instance() = CServerConfig();
        m_log.Clear();
    }

    TempDir m_dir;
    nox::testing::LogCapture m_log;
};

TEST_F(WebPortsTest, NginxLastListenLineOfEachKindWins)
{
    const struct {
        const char* szName;
        std::string strFile;
        int nHttp;
        int nHttps;
        std::vector<Logged> vecLines;
    } kCases[] = {
        {"http, https, http again",
         "listen 80;\nlisten 443 ssl;\nlisten 81;\n",
         81,
         443,
         {{2, "listen 80;"},
          {4, "nginx port load webclientHttpPort[80]"},
          {2, "listen 443 ssl;"},
          {4, "nginx port load webclientHttpsPort[443]"},
          {2, "listen 81;"},
          {4, "nginx port load webclientHttpPort[81]"}}},
        {"address before the port",
         "listen [::]:80;\n",
         80,
         443,
         {{2, "listen [::]:80;"}, {6, "nginx port parse failed [ [::]:80;]"}}},
        {"a comment mark does not hide a line", "#listen 82;\n", 82, 443,
         {{2, "#listen 82;"}, {4, "nginx port load webclientHttpPort[82]"}}},
        {"empty file", "", 80, 443, {}},
        {"last line without a line end, ssl anywhere, lines without listen",
         "server {\n  listen\t8080 default;\n  listen 8443; # ssl\n}",
         8080,
         8443,
         {{2, "server {"},
          {2, "  listen\t8080 default;"},
          {4, "nginx port load webclientHttpPort[8080]"},
          {2, "  listen 8443; # ssl"},
          {4, "nginx port load webclientHttpsPort[8443]"},
          {2, "}"}}},
        {"negative numbers are stored", "listen -3 ssl;\n", 80, -3,
         {{2, "listen -3 ssl;"}, {4, "nginx port load webclientHttpsPort[-3]"}}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.szName);
        Reset();
        m_dir.Write(kNginxFile, c.strFile);
        EXPECT_EQ(0, LoadWith("Null", "nginx"));
        EXPECT_EQ(c.nHttp, Config().webclientHttpPort);
        EXPECT_EQ(c.nHttps, Config().webclientHttpsPort);
        EXPECT_EQ(c.vecLines, WebLines());
    }
}

TEST_F(WebPortsTest, TomcatConnectorsGivePortsOrTheirFailure)
{
    const char kHttp[] = "Webclient Xml Load Child Connector HTTP";
    const char kHttps[] = "Webclient Xml Load Child Connector HTTPS SSLEnabled=\"true\"";
    const struct {
        const char* szName;
        std::string strFile;
        int nResult;
        int nHttp;
        int nHttps;
        std::vector<Logged> vecLines;
    } kCases[] = {
        {"http, https, http again: the last of each kind",
         Server("<Connector port=\"81\"/><Listener/>"
                "<Connector port=\"444\" SSLEnabled=\"true\"/><Connector port=\"82\"/>"),
         0, 82, 444,
         {{4, kHttp}, {4, kHttps}, {4, kHttp},
          {4, "Webclient Xml Load Child Connector HTTP Port[82]"},
          {4, "Webclient Xml Load Child Connector HTTPS Port[444]"}}},
        {"only http connectors store http",
         Server("<Connector port=\"81\"/><Connector port=\"82\"/>"),
         CServerConfig::kErrWebNoHttpsPort, 82, 443,
         {{4, kHttp}, {4, kHttp},
          {4, "Webclient Xml Load Child Connector HTTP Port[82]"},
          {6, "Webclient Xml Load Child Connector Attribute HTTPS Port Failed!"}}},
        {"a disabled ssl connector stores nothing",
         Server("<Connector port=\"81\"/><Connector port=\"444\" SSLEnabled=\"false\"/>"
                "<Connector port=\"445\" SSLEnabled=\"true\"/>"),
         CServerConfig::kErrWebSslDisabled, 80, 443,
         {{4, kHttp},
          {6, "Webclient Xml Load Child Connector HTTPS SSLEnabled=\"false\""}}},
        {"http connector without a port",
         Server("<Connector protocol=\"AJP\"/><Connector port=\"444\" SSLEnabled=\"yes\"/>"),
         CServerConfig::kErrWebNoHttpPort, 80, 443,
         {{4, kHttp}, {4, kHttps},
          {6, "Webclient Xml Load Child Connector Attribute HTTP Port Failed!"}}},
        {"non-numeric port stores 0",
         Server("<Connector port=\"web\"/><Connector port=\"444\" SSLEnabled=\"1\"/>"),
         0, 0, 444,
         {{4, kHttp}, {4, kHttps},
          {4, "Webclient Xml Load Child Connector HTTP Port[0]"},
          {4, "Webclient Xml Load Child Connector HTTPS Port[444]"}}},
        {"not well-formed", "<Server><Service>", CServerConfig::kErrWebLoadFile, 80, 443,
         {{6, "Webclient Xml Load File Failed!"}}},
        {"no Server", "<server/>", CServerConfig::kErrWebNoServer, 80, 443,
         {{6, "Webclient Xml Load Child Server Failed!"}}},
        {"no Service", "<Server><Listener/></Server>", CServerConfig::kErrWebNoService, 80, 443,
         {{6, "Webclient Xml Load Child Service Failed!"}}},
        {"connector only in a later Service",
         "<Server><Service/><Service><Connector port=\"81\"/></Service></Server>",
         CServerConfig::kErrWebNoConnector, 80, 443,
         {{6, "Webclient Xml Load Child Connector Failed!"}}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.szName);
        Reset();
        m_dir.Write(kTomcatFile, c.strFile);
        EXPECT_EQ(c.nResult, LoadWith("Null", "Tomcat"));
        EXPECT_EQ(c.nHttp, Config().webclientHttpPort);
        EXPECT_EQ(c.nHttps, Config().webclientHttpsPort);
        EXPECT_EQ(c.vecLines, WebLines());
    }
}

}  // namespace
