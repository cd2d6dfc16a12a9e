// The web front end's ports, read as the last step of the configuration
// load: which file is read, the nginx port file and Tomcat's server file.
#include "ConfigFixture.h"

namespace {

const char kNginxFile[] = "nginx/conf/port.conf";
const char kTomcatFile[] = "WEBCLIENT/webclient/apache-tomcat/conf/server.xml";

struct WebCase {
    std::string strFile;
    int nResult, nHttp, nHttps;
};

class WebPortsTest : public ConfigFixture {
protected:
    // Loads kFullXml with this product type and proxy, szFile holding
    // c.strFile; the result and both ports.
    void Check(const WebCase& c, const char* szFile, const std::string& strProxy = "nginx",
               const std::string& strProduct = "Box")
    {
        Reset();
        Write(szFile, c.strFile);
        EXPECT_EQ(c.nResult, Load(Edit(Edit(kFullXml, ">Box<", ">" + strProduct + "<"), ">NGINX<",
                                       ">" + strProxy + "<"))) << c.strFile;
        EXPECT_EQ(c.nHttp, Config().webclientHttpPort) << c.strFile;
        EXPECT_EQ(c.nHttps, Config().webclientHttpsPort) << c.strFile;
    }
    static std::string Server(const std::string& strConnectors)
    {
        return "<Server><Service>" + strConnectors + "<Engine/></Service></Server>";
    }
};

// nginx is read for the product type "TRN V8" or the proxy nginx (any case).
TEST_F(WebPortsTest, ProductTypeOrProxyChoosesTheFile)
{
    Write(kTomcatFile, Server("<Connector port=\"81\"/><Connector port=\"444\" SSLEnabled=\"true\"/>"));
    const WebCase kNginx{"listen 82;\nlisten 445 ssl;\n", 0, 82, 445}, kTomcat{kNginx.strFile, 0, 81, 444};
    Check(kNginx, kNginxFile, "tomcat", "TRN V8");
    Check(kNginx, kNginxFile, "NgInX");
    Check(kTomcat, kNginxFile, "tomcat", "trn v8");
    Check(kTomcat, kNginxFile, "");
}

TEST_F(WebPortsTest, NginxLastListenLineOfEachKindWins)
{
    for (const WebCase& c : {WebCase{"listen 80;\nlisten 443 ssl;\nlisten 81;\nlisten 444 ssl;\n", 0, 81, 444},
                             WebCase{"listen [::]:8080;\n", 0, 80, 443},   // no number right after it
                             WebCase{"#listen 82;\n", 0, 82, 443},         // no comment syntax
                             WebCase{"server {\n  listen\t8080 default;\n  listen 8443; # ssl\n}", 0, 8080, 8443},
                             WebCase{"listen -3 ssl;\n", 0, 80, -3}})
        Check(c, kNginxFile);
}

TEST_F(WebPortsTest, TomcatConnectorsGivePortsOrTheirFailure)
{
    const std::string kHttp = "<Connector port=\"81\"/>";
    for (const WebCase& c : {
             WebCase{Server(kHttp + "<Connector port=\"444\" SSLEnabled=\"true\"/><Connector port=\"82\"/>"), 0, 82, 444},
             WebCase{Server(kHttp), CServerConfig::kErrWebNoHttpsPort, 81, 443},
             WebCase{Server(kHttp + "<Connector port=\"444\" SSLEnabled=\"false\"/><Connector port=\"445\" "
                                    "SSLEnabled=\"true\"/>"), CServerConfig::kErrWebSslDisabled, 80, 443},
             WebCase{Server("<Connector/><Connector port=\"444\" SSLEnabled=\"yes\"/>"),
                     CServerConfig::kErrWebNoHttpPort, 80, 443},
             WebCase{Server("<Connector port=\"web\"/><Connector port=\"444\" SSLEnabled=\"1\"/>"), 0, 0, 444},
             WebCase{"<Server><Service>", CServerConfig::kErrWebLoadFile, 80, 443},
             WebCase{"<server/>", CServerConfig::kErrWebNoServer, 80, 443},
             WebCase{"<Server><Listener/></Server>", CServerConfig::kErrWebNoService, 80, 443},
             WebCase{"<Server><Service/><Service>" + kHttp + "</Service></Server>",
                     CServerConfig::kErrWebNoConnector, 80, 443}})
        Check(c, kTomcatFile, "tomcat");
}

}  // namespace
