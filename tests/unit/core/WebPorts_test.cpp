// The web front end's ports, read as the last step of the configuration
// load: the nginx port file and Tomcat's server file.
#include <algorithm>
#include <string>
#include <vector>

#include "ConfigFixture.h"

namespace {

std::string Server(const std::string& strConnectors)
{
    return "<?xml version='1.0'?>\n<Server port=\"8005\"><Service name=\"Catalina\">" +
           strConnectors + "<Engine name=\"Catalina\"/></Service></Server>\n";
}

struct WebCase {
    const char* szName;
    std::string strFile;
    int nResult, nHttp, nHttps;
    std::vector<Logged> vecLines;
};

class WebPortsTest : public ConfigFixture {
protected:
    void SetUp() override
    {
        ConfigFixture::SetUp();
        nox::PrintLog::instance().SetLevel(nox::kLogDebug);  // the file's lines too
    }

    // Loads kFullXml with this proxy and szFile holding c.strFile, and checks
    // the result, both ports and the lines after "Proxy[...]".
    void Check(const WebCase& c, const char* szProxy, const char* szFile)
    {
        SCOPED_TRACE(c.szName);
        Reset();
        m_dir.Write(szFile, c.strFile);
        EXPECT_EQ(c.nResult, Load(Edit(kFullXml, "NGINX", szProxy)));
        EXPECT_EQ(c.nHttp, Config().webclientHttpPort);
        EXPECT_EQ(c.nHttps, Config().webclientHttpsPort);
        std::vector<Logged> vecLines = Lines();
        auto it = std::find_if(vecLines.begin(), vecLines.end(), [](const Logged& line) {
            return line.strText.rfind("Proxy[", 0) == 0;
        });
        ASSERT_NE(vecLines.end(), it);
        EXPECT_EQ(c.vecLines, std::vector<Logged>(it + 1, vecLines.end()));
    }
};

TEST_F(WebPortsTest, NginxLastListenLineOfEachKindWins)
{
    const WebCase kCases[] = {
        {"two of each kind", "listen 80;\nlisten 443 ssl;\nlisten 81;\nlisten 444 ssl;\n", 0, 81,
         444,
         {{2, "listen 80;"}, {4, "nginx port load webclientHttpPort[80]"},
          {2, "listen 443 ssl;"}, {4, "nginx port load webclientHttpsPort[443]"},
          {2, "listen 81;"}, {4, "nginx port load webclientHttpPort[81]"},
          {2, "listen 444 ssl;"}, {4, "nginx port load webclientHttpsPort[444]"}}},
        {"address before the port", "listen [::]:80;\n", 0, 80, 443,
         {{2, "listen [::]:80;"}, {6, "nginx port parse failed [ [::]:80;]"}}},
        {"a comment mark does not hide a line", "#listen 82;\n", 0, 82, 443,
         {{2, "#listen 82;"}, {4, "nginx port load webclientHttpPort[82]"}}},
        {"empty file", "", 0, 80, 443, {}},
        {"last line without a line end, ssl anywhere, lines without listen",
         "server {\n  listen\t8080 default;\n  listen 8443; # ssl\n}", 0, 8080, 8443,
         {{2, "server {"}, {2, "  listen\t8080 default;"},
          {4, "nginx port load webclientHttpPort[8080]"}, {2, "  listen 8443; # ssl"},
          {4, "nginx port load webclientHttpsPort[8443]"}, {2, "}"}}},
        {"negative numbers are stored", "listen -3 ssl;\n", 0, 80, -3,
         {{2, "listen -3 ssl;"}, {4, "nginx port load webclientHttpsPort[-3]"}}},
    };
    for (const auto& c : kCases)
        Check(c, "nginx", "nginx/conf/port.conf");
}

TEST_F(WebPortsTest, TomcatConnectorsGivePortsOrTheirFailure)
{
    const Logged kHttp{4, "Webclient Xml Load Child Connector HTTP"};
    const Logged kHttps{4, "Webclient Xml Load Child Connector HTTPS SSLEnabled=\"true\""};
    const WebCase kCases[] = {
        {"http, https, http again: the last of each kind",
         Server("<Connector port=\"81\"/><Listener/>"
                "<Connector port=\"444\" SSLEnabled=\"true\"/><Connector port=\"82\"/>"),
         0, 82, 444,
         {kHttp, kHttps, kHttp, {4, "Webclient Xml Load Child Connector HTTP Port[82]"},
          {4, "Webclient Xml Load Child Connector HTTPS Port[444]"}}},
        {"only http connectors store http",
         Server("<Connector port=\"81\"/><Connector port=\"82\"/>"),
         CServerConfig::kErrWebNoHttpsPort, 82, 443,
         {kHttp, kHttp, {4, "Webclient Xml Load Child Connector HTTP Port[82]"},
          {6, "Webclient Xml Load Child Connector Attribute HTTPS Port Failed!"}}},
        {"a disabled ssl connector stores nothing",
         Server("<Connector port=\"81\"/><Connector port=\"444\" SSLEnabled=\"false\"/>"
                "<Connector port=\"445\" SSLEnabled=\"true\"/>"),
         CServerConfig::kErrWebSslDisabled, 80, 443,
         {kHttp, {6, "Webclient Xml Load Child Connector HTTPS SSLEnabled=\"false\""}}},
        {"http connector without a port",
         Server("<Connector protocol=\"AJP\"/><Connector port=\"444\" SSLEnabled=\"yes\"/>"),
         CServerConfig::kErrWebNoHttpPort, 80, 443,
         {kHttp, kHttps, {6, "Webclient Xml Load Child Connector Attribute HTTP Port Failed!"}}},
        {"non-numeric port stores 0",
         Server("<Connector port=\"web\"/><Connector port=\"444\" SSLEnabled=\"1\"/>"), 0, 0, 444,
         {kHttp, kHttps, {4, "Webclient Xml Load Child Connector HTTP Port[0]"},
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
    for (const auto& c : kCases)
        Check(c, "Tomcat", "WEBCLIENT/webclient/apache-tomcat/conf/server.xml");
}

}  // namespace
