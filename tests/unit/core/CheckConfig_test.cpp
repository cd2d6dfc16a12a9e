// velmoractl check-config: each broken file gives its finding at its line and
// column, and fails exactly when the daemon would fall back to a default.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ScratchDir.h"
#include "Service/CheckConfig.h"
#include "nox/testing/ScopedHost.h"

namespace {

const char kGood[] = R"(<Velmora>
  <UdpListenInfo1><UdpHost>0.0.0.0</UdpHost><UdpPort1>37810</UdpPort1></UdpListenInfo1>
  <UdpListenInfo2><UdpHost>0.0.0.0</UdpHost></UdpListenInfo2>
  <UdpListenInfo3><UdpHost>239.255.255.251</UdpHost></UdpListenInfo3>
  <VersionName>S</VersionName><VersionNum>3.0</VersionNum>
  <ThreadNum>8</ThreadNum><FilterInterval>2</FilterInterval>
  <ProductType>TRN V8</ProductType><Proxy>nginx</Proxy>
</Velmora>
)";

struct Case {
    const char* szFrom;       // replaced once in kGood ("" for none)
    const char* szTo;
    const char* szExpect;     // a line of the report
    bool bFails;
};

}  // namespace

TEST(CheckConfigTest, EachProblemIsReportedAtItsPlace)
{
    const Case kCases[] = {
        {"", "", "check-config: 0 errors, 0 warnings\n", false},
        {">37810<", ">abc<", "Velmora.xml:2:45: error: <UdpPort1> of <UdpListenInfo1> is not a "
                             "number: \"abc\" (the daemon listens on port 0)", true},
        {">37810<", ">70000<", ":2:45: error: <UdpPort1> of <UdpListenInfo1> is out of range", true},
        {"0.0.0.0</UdpHost></UdpListenInfo2>", "</UdpHost></UdpListenInfo2>",
         ":3:19: error: <UdpHost> of <UdpListenInfo2> is empty or missing", true},
        {"<UdpHost>239.255.255.251<", "<UdpHost>239.255.255<", ":4:19: error: <UdpHost> of "
                                                             "<UdpListenInfo3> is not an IPv4", true},
        {">8<", ">9<", ":6:3: error: <ThreadNum> 9 is outside 4..7: the daemon keeps 8", true},
        {">8<", ">5<", "check-config: 0 errors", false},
        {">2<", ">301<", ":6:27: error: <FilterInterval> 301 is outside 2..300", true},
        {"ThreadNum>8</ThreadNum", "ThreadNun>8</ThreadNun", ":6:3: warning: unknown element "
                                                             "<ThreadNun> is ignored: did you mean <ThreadNum>?", true},
        {"<Proxy>nginx</Proxy>", "", ":1:1: error: missing <Proxy>", true},
        {"<Proxy>", "<ThreadNumber>5</ThreadNumber><Proxy>", "0 errors, 0 warnings", false},
        {"<ProductType>TRN V8<", "<ProductType><", ":7:3: warning: <ProductType> is empty", false},
        {"<VersionNum>3.0</VersionNum>", "<VersionNum>3.0</VersionNum><VersionNum>4</VersionNum>",
         ":5:59: warning: second <VersionNum> is ignored: the first, on line 5, counts", false},
        {"</Velmora>", "</Velmor>", ":8:3: error: not well-formed XML", true},
        {"port.conf", "", "  Open nginx Conf ../nginx/conf/port.conf failed.\n", true},
        {"<Proxy>", "<AdapterRefresh> 0 </AdapterRefresh><Proxy>", "0 errors, 0 warnings", false},
        {"<Proxy>", "<AdapterRefresh>yes</AdapterRefresh><Proxy>",
         ":7:36: error: <AdapterRefresh> is not 0 or 1: \"yes\" (the daemon keeps 1)", true},
        {"<Proxy>", "<AdapterExlude>docker*</AdapterExlude><Proxy>",
         "did you mean <AdapterExclude>?", false},
    };
    for (const Case& c : kCases) {
        velmora_test::ScratchDir dir;
        std::filesystem::create_directories(dir.root / "Velmora");
        std::filesystem::create_directories(dir.root / "nginx/conf");
        std::string strXml = kGood;
        const std::string strFrom = c.szFrom;
        if (strFrom != "port.conf") {
            std::ofstream(dir.root / "nginx/conf/port.conf") << "listen 8080;\nlisten 8443 ssl;\n";
            if (!strFrom.empty())
                strXml.replace(strXml.find(strFrom), strFrom.size(), c.szTo);
        }
        std::ofstream(dir.root / "Velmora/Velmora.xml") << strXml;

        ConfigReport report;
        CheckServerConf((dir.root / "Velmora").string(), report);
        const std::string strReport = FormatReport(report);
        EXPECT_NE(std::string::npos, strReport.find(c.szExpect)) << c.szTo << "\n" << strReport;
        EXPECT_EQ(c.bFails, report.Fails()) << c.szTo << "\n" << strReport;
    }
}

// The name patterns are tried on this host's adapters.
TEST(CheckConfigTest, AdapterPatternsThatLeaveNothingAreReported)
{
    nox::testing::ScopedHost host;
    host.m_vecAdapter = {nox::testing::ScopedHost::MakeAdapter("eth0", "m", "10.0.0.5", "255.0.0.0", "0.0.0.0"),
                         nox::testing::ScopedHost::MakeAdapter("docker0", "m", "172.17.0.1", "255.255.0.0", "0.0.0.0")};
    const struct {
        const char* szElements;
        const char* szExpect;
    } kCases[] = {
        {"<AdapterExclude>docker*</AdapterExclude>", "adapters left out on this host: docker0\n"},
        {"<AdapterInclude>wlan*</AdapterInclude><AdapterExclude>x</AdapterExclude>",
         ":7:36: warning: <AdapterInclude> and <AdapterExclude> leave out every adapter of this "
         "host (eth0, docker0): nothing would be announced"},
    };
    for (const auto& c : kCases) {
        velmora_test::ScratchDir dir;
        std::filesystem::create_directories(dir.root / "Velmora");
        std::string strXml = kGood;
        strXml.replace(strXml.find("<Proxy>"), 7, std::string(c.szElements) + "<Proxy>");
        std::ofstream(dir.root / "Velmora/Velmora.xml") << strXml;
        ConfigReport report;
        CheckServerConf((dir.root / "Velmora").string(), report);
        const std::string strReport = FormatReport(report);
        EXPECT_NE(std::string::npos, strReport.find(c.szExpect)) << strReport;
    }
}

TEST(CheckConfigTest, ReportsTheWebPortsTheRepliesCarry)
{
    velmora_test::ScratchDir dir;
    std::filesystem::create_directories(dir.root / "Velmora");
    std::filesystem::create_directories(dir.root / "nginx/conf");
    std::ofstream(dir.root / "nginx/conf/port.conf") << "listen 8080;\nlisten 8443 ssl;\n";
    std::string strXml = kGood;
    strXml.replace(strXml.find("TRN V8"), 6, "Null");
    std::ofstream(dir.root / "Velmora/Velmora.xml") << strXml;

    ConfigReport report;
    CheckServerConf((dir.root / "Velmora").string(), report);
    const std::string strReport = FormatReport(report);
    EXPECT_NE(std::string::npos, strReport.find("web ports: nginx, ../nginx/conf/port.conf ("))
        << strReport;
    EXPECT_NE(std::string::npos, strReport.find("): HTTP 8080, HTTPS 8443\n")) << strReport;
    EXPECT_NE(std::string::npos,
              strReport.find("replies announce: HTTP 80 and port 47810 (<ProductType> is Null"))
        << strReport;
}
