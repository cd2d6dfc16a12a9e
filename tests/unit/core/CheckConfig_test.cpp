// velmoractl check-config: each finding at its line and column, and an error
// exactly when the daemon's own load of the same file logs one or keeps a
// default.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "ConfigFixture.h"
#ifndef _WIN32
#include "NetNs.h"
#endif
#include "Service/CheckConfig.h"
#include "nox/NetEngine.h"
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

#ifndef _WIN32
struct NullHandler : nox::SocketHandler {
    void OnConnect(nox::SOCKID, nox::SOCKID, const char*, int) override {}
    void OnData(nox::SOCKID, const char*, int, const char*, int) override {}
    void OnClose(nox::SOCKID, int) override {}
};
#endif

struct Case {
    const char* szFrom;       // replaced once in kGood ("" for none)
    const char* szTo;
    const char* szExpect;     // in the findings
};

class CheckConfigTest : public ConfigFixture {
protected:
    // kGood with c's change, and the web front end's port file unless c
    // removes it; check-config's findings.
    std::string Check(const Case& c, ConfigReport& report)
    {
        std::string strXml = kGood;
        const std::string strFrom = c.szFrom;
        std::filesystem::remove(m_root / "nginx/conf/port.conf");
        if (strFrom != "port.conf") {
            Write("nginx/conf/port.conf", "listen 8080;\nlisten 8443 ssl;\n");
            if (!strFrom.empty())
                strXml.replace(strXml.find(strFrom), strFrom.size(), c.szTo);
        }
        Write("Velmora/Velmora.xml", strXml);
        CheckServerConf((m_root / "Velmora").string(), report);
        return FormatFindings(report, false);
    }
};

const Case kCases[] = {
    {"", "", "check-config: 0 errors, 0 warnings\n"},
    {">37810<", ">abc<", "Velmora.xml:2:45: error: <UdpPort1> of <UdpListenInfo1> is not a "
                         "number: \"abc\" (the daemon listens on port 0)"},
    {">37810<", ">65536<", ":2:45: error: <UdpPort1> of <UdpListenInfo1> is out of range"},
    {">37810<", ">65535<", "check-config: 0 errors, 0 warnings"},
    {"0.0.0.0</UdpHost></UdpListenInfo2>", "</UdpHost></UdpListenInfo2>",
     ":3:19: error: <UdpHost> of <UdpListenInfo2> is empty: the group's three endpoints keep"},
    {"<UdpHost>239.255.255.251<", "<UdpHost>239.255.205<",
     ":4:19: error: <UdpHost> of <UdpListenInfo3> is not an IPv4 address: \"239.255.205\": the"},
    {"<UdpHost>239.255.255.251<", "<UdpHost>239.255.255.01<", "\"239.255.255.01\" (no number may start with 0)"},
    {">8<", ">9<", ":6:3: error: <ThreadNum> [9] is read as 9, outside 4 to 7: the daemon keeps 8"},
    {">8<", ">5<", "check-config: 0 errors, 0 warnings"},
    {">2<", ">301<", ":6:27: error: <FilterInterval> [301] is read as 301, outside 2 to 300"},
    {"<ThreadNum>8</ThreadNum>", "<ThreadNun>8</ThreadNun>",
     ":1:1: error: missing <ThreadNum>: the daemon stops reading here"},
    {"<Proxy>nginx</Proxy>", "", ":1:1: error: missing <Proxy>: the web ports are read from Tomcat's"},
    {"<Proxy>", "<ThreadNumber>5</ThreadNumber><Proxy>",
     ":7:36: warning: unknown element <ThreadNumber> is ignored\n"},
    {"<Proxy>", "<Num>5</Num><Proxy>", ":7:36: warning: unknown element <Num> is ignored\n"},
    {"<Proxy>", "<QueueMaxRequest>9</QueueMaxRequest><Proxy>",
     ":7:36: warning: unknown element <QueueMaxRequest> is ignored: did you mean "
     "<QueueMaxRequests>?"},
    {"<Proxy>", "<ReplyRateLimit>-5</ReplyRateLimit><Proxy>",
     ":7:36: error: <ReplyRateLimit> [-5] is not a number from 0 to 10000000: the daemon keeps "
     "2000"},
    {"<Proxy>", "<LogFolderMaxMB>1048576</LogFolderMaxMB><Proxy>", "0 errors, 0 warnings"},
    {"<Proxy>", "<LogFolderMaxMB>1048577</LogFolderMaxMB><Proxy>",
     ":7:36: error: <LogFolderMaxMB> [1048577] is not a number from 0 to 1048576: the daemon keeps 1024"},
    {"<ProductType>TRN V8<", "<ProductType><", ":7:3: warning: <ProductType> is empty"},
    {"<VersionNum>3.0</VersionNum>", "<VersionNum>3.0</VersionNum><VersionNum>4</VersionNum>",
     ":5:59: warning: second <VersionNum> is ignored: the first, on line 5, counts"},
    {"</Velmora>", "</Velmor>", ":8:3: error: not well-formed XML"},
    {"port.conf", "", "../nginx/conf/port.conf: error: Open nginx Conf ../nginx/conf/port.conf "
                      "failed.: the web ports stay"},
    {"<Proxy>", "<AdapterRefresh> 0 </AdapterRefresh><Proxy>", "0 errors, 0 warnings"},
    {"<Proxy>", "<AdapterRefresh>yes</AdapterRefresh><Proxy>",
     ":7:36: error: <AdapterRefresh> [yes] is not 0 or 1: the daemon keeps 1"},
    {"<Proxy>", "<AdapterExlude>docker*</AdapterExlude><Proxy>", "did you mean <AdapterExclude>?"},
};

TEST_F(CheckConfigTest, EachProblemIsReportedAtItsPlace)
{
    for (const Case& c : kCases) {
        ConfigReport report;
        const std::string strFindings = Check(c, report);
        EXPECT_NE(std::string::npos, strFindings.find(c.szExpect)) << c.szTo << "\n" << strFindings;
        EXPECT_EQ(report.Fails(), strFindings.find("check-config: 0 errors") == std::string::npos)
            << strFindings;
    }
}

// The name patterns are tried on this host's adapters.
TEST_F(CheckConfigTest, AdapterPatternsThatLeaveNothingAreReported)
{
    nox::testing::ScopedHost host;
    host.m_vecAdapter = {nox::testing::ScopedHost::MakeAdapter("eth0", "m", "10.0.0.5", "255.0.0.0", "0.0.0.0"),
                         nox::testing::ScopedHost::MakeAdapter("docker0", "m", "172.17.0.1", "255.255.0.0", "0.0.0.0")};
    const struct {
        const char* szElements;
        const char* szExpect;
    } kAdapterCases[] = {
        {"<AdapterExclude>docker*</AdapterExclude>", "adapters left out on this host: docker0\n"},
        {"<AdapterInclude>wlan*</AdapterInclude><AdapterExclude>x</AdapterExclude>",
         ":7:36: warning: <AdapterInclude> and <AdapterExclude> leave out every adapter of this "
         "host (eth0, docker0): nothing would be announced"},
    };
    for (const auto& c : kAdapterCases) {
        ConfigReport report;
        Write("nginx/conf/port.conf", "listen 8080;\nlisten 8443 ssl;\n");
        std::string strXml = kGood;
        strXml.replace(strXml.find("<Proxy>"), 7, std::string(c.szElements) + "<Proxy>");
        Write("Velmora/Velmora.xml", strXml);
        CheckServerConf((m_root / "Velmora").string(), report);
        const std::string strReport = FormatDetails(report) + FormatFindings(report, false);
        EXPECT_NE(std::string::npos, strReport.find(c.szExpect)) << strReport;
    }
}

// For every file, the daemon's own start (its load, in the same folder)
// logs an error or keeps a number other than the file's exactly when
// check-config reports an error.
TEST_F(CheckConfigTest, AnErrorExactlyWhenTheDaemonLogsOneOrKeepsADefault)
{
    const std::regex kept(R"(^(ThreadNum|FilterInterval) \[s\w+=(.*), n\w+=(-?\d+), m_n\w+=(-?\d+)\]$)");
    for (const Case& c : kCases) {
        ConfigReport report;
        const std::string strFindings = Check(c, report);
        if (strFindings.find("<UdpPort") != std::string::npos ||
            strFindings.find("IPv4") != std::string::npos)
            continue;   // the listener's failures, not the load's: logged when it opens them
        Reset();
        (void)Config().LoadServerConf();
        (void)Config().LoadGuardConf();
        (void)Config().LoadAdapterConf();
        bool bDaemonError = false;
        std::smatch match;
        for (const auto& line : m_log.Lines()) {
            bDaemonError = bDaemonError || line.nLevel >= nox::kLogError ||
                           (std::regex_match(line.strText, match, kept) && match[3] != match[4]);
        }
        EXPECT_EQ(bDaemonError, report.Fails()) << c.szTo << "\n" << strFindings;
    }
}

#ifndef _WIN32   // namespaces
// check-config reports an error exactly when an endpoint of the file cannot
// be opened by the daemon's engine (in a namespace whose veth carries groups).
TEST_F(CheckConfigTest, AnErrorExactlyWhenAnEndpointCannotOpen)
{
    VELMORA_NS_PAIR_OR_SKIP(pair);
    velmora_test::ScopedNetNs inA(pair.NameA());
    ASSERT_TRUE(inA.Ok());
    const std::string strOwn = pair.AddrA(), kHost1 = "<UdpListenInfo1><UdpHost>0.0.0.0",
                      kHost2 = "<UdpListenInfo2><UdpHost>0.0.0.0", kHost3 = "<UdpListenInfo3><UdpHost>239.255.255.251",
                      kEnd2 = "</UdpListenInfo2>";
    const struct { std::string strFrom, strTo; bool bOpens; } kVariants[] = {
        {"", "", true},
        {kHost1, "<UdpListenInfo1><UdpHost>" + strOwn, true},   // the host's address beside the groups
        {kHost1, "<UdpListenInfo1><UdpHost>239.255.255.250", true},
        {kHost2, "<UdpListenInfo2><UdpHost>239.255.255.250", true},
        {kHost3, "<UdpListenInfo3><UdpHost>" + strOwn + "</UdpHost><UdpPort2>47810</UdpPort2><UdpHost>", true},
        {kEnd2, "<UdpPort2>37810</UdpPort2></UdpListenInfo2>", false},   // the same host and port twice
        {kEnd2, "<UdpPort2>37811</UdpPort2></UdpListenInfo2>", true},
        {kHost3, "<UdpListenInfo3><UdpHost>0.0.0.0</UdpHost><UdpPort2>47810</UdpPort2><UdpHost>", false},
        {kHost1, "<UdpListenInfo1><UdpHost>010.77.0.1", false},
        {kHost1, "<UdpListenInfo1><UdpHost>10.77.0.01", false},
    };
    for (const auto& v : kVariants) {
        ConfigReport report;
        const std::string strFindings = Check({v.strFrom.c_str(), v.strTo.c_str(), ""}, report);
        Reset();
        (void)Config().LoadServerConf();
        nox::NetEngine engine;
        ASSERT_EQ(0, engine.StartEngine(nox::kNetEngineEvent, 16, 1));
        nox::Ref<nox::SocketHandler> handler(new NullHandler);
        bool bAllOpen = true;
        for (const ListenAddr& addr : Config().m_vecListenAddr) {
            const nox::SOCKID sock = engine.CreateSocket(handler, nullptr);
            bAllOpen = engine.SetReuseAddr(sock, 1) == 0 &&
                       engine.StartUDP(sock, addr.m_strHost.c_str(), addr.m_nPort, nullptr, 0, true) == 0 && bAllOpen;
        }
        EXPECT_EQ(v.bOpens, bAllOpen) << v.strTo;
        EXPECT_EQ(v.bOpens, report.Count(true) == 0) << v.strTo << "\n" << strFindings;
    }
}
#endif

TEST_F(CheckConfigTest, ReportsTheWebPortsTheRepliesCarryAndNoPortWithoutAFolder)
{
    ConfigReport report;
    (void)Check({"TRN V8", "Null", ""}, report);
    const std::string strDetails = FormatDetails(report);
    EXPECT_NE(std::string::npos, strDetails.find("web ports: nginx, ../nginx/conf/port.conf ("))
        << strDetails;
    EXPECT_NE(std::string::npos, strDetails.find("): HTTP 8080, HTTPS 8443\n")) << strDetails;
    EXPECT_NE(std::string::npos,
              strDetails.find("replies announce: HTTP 80 and port 47810 (<ProductType> is Null"))
        << strDetails;
    (void)Check({"port.conf", "", ""}, report);   // a missing file is named all the same
    EXPECT_NE(std::string::npos, FormatDetails(report).find("web ports: nginx, ../nginx/conf/port.conf ("));

    CheckServerConf((m_root / "missing").string(), report);
    EXPECT_EQ("", FormatDetails(report));
    const std::string strFindings = FormatFindings(report, true);
    EXPECT_NE(std::string::npos, strFindings.find("<3>" + (m_root / "missing").string() +
                                                  ": error: cannot enter the folder: "))
        << strFindings;
    EXPECT_NE(std::string::npos, strFindings.find("\n<3>check-config: 1 error, 0 warnings\n"));
}

}  // namespace
