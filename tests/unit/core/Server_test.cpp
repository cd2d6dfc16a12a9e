// The server's start and stop order.
#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "CUListen/CUHandle.h"
#include "CUListen/CUListen.h"
#include "ConfigFixture.h"

namespace {

using CServerTest = ConfigFixture;

// An engine that is already running refuses a second start: the server
// then loads no configuration, creates no listener, and still stops cleanly.
TEST_F(CServerTest, EngineStartFailureSkipsConfigurationAndListener)
{
    m_dir.Write("Velmora/Velmora.xml", "<Velmora/>");  // would log if it were read
    auto* pEngine = new nox::NetEngine;
    ASSERT_EQ(0, pEngine->StartEngine(nox::kNetEngineEvent, 16, 1));
    CServer server(pEngine);

    EXPECT_EQ(-1, server.StartServer());
    EXPECT_EQ(nullptr, server.m_pListen);
    server.StopServer();

    std::vector<std::string> vecLines;
    for (const auto& line : m_log.Lines()) {
        if (line.strFile == "Service/Service")
            vecLines.push_back(std::to_string(line.nLevel) + " " + line.strText);
    }
    ASSERT_EQ(2u, vecLines.size());
    std::smatch match;
    ASSERT_TRUE(std::regex_match(vecLines[0], match,
                                 std::regex(R"(6 StartEngine Failed! ret\[(-?\d+)\])")))
        << vecLines[0];
    EXPECT_LT(std::stoi(match[1].str()), 0);
    EXPECT_EQ("4 Stop Server OK", vecLines[1]);
}

// With every endpoint on loopback (port 0: any free port) the server starts,
// and the stop closes the sockets and stops the handler before it reports.
TEST_F(CServerTest, StartOnLoopbackThenStopInOrder)
{
    const std::string strXml = std::regex_replace(kFullXml, std::regex("<UdpHost>[^<]*"),
                                                  "<UdpHost>127.0.0.1");
    m_dir.Write("Velmora/Velmora.xml",
                std::regex_replace(strXml, std::regex("<UdpPort(\\d)>\\d+"), "<UdpPort$1>0"));
    {
        CServer server;
        ASSERT_EQ(0, server.StartServer());
        ASSERT_NE(nullptr, server.m_pListen);
        // The listener's handler was made after the load: five runners, as the file says.
        EXPECT_EQ(5u, server.m_pListen->m_pHandler->m_vecRunner.size());
        server.StopServer();
        delete server.m_pListen;  // the daemon keeps it to the end; a test frees it
        server.m_pListen = nullptr;
    }
    const std::vector<std::string> vecTexts = m_log.Texts();
    std::vector<std::vector<std::string>::const_iterator> vecAt;
    for (const char* szText : {"Start Server OK!", "Stop Handler OK", "Stop Server OK"}) {
        vecAt.push_back(std::find(vecTexts.begin(), vecTexts.end(), szText));
        ASSERT_NE(vecTexts.end(), vecAt.back()) << szText;
    }
    EXPECT_TRUE(std::is_sorted(vecAt.begin(), vecAt.end()));
}

}  // namespace
