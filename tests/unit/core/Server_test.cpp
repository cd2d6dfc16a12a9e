// The server's start and stop order and the configuration singleton.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "CUListen/CUHandle.h"
#include "CUListen/CUListen.h"
#include "Service/Service.h"
#include "TempDir.h"
#include "nox/PrintLog.h"
#include "nox/testing/LogCapture.h"

namespace {

class CServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        *CServerConfig::instance() = CServerConfig();
        m_dir.Enter("Velmora");
        nox::PrintLog::instance().SetLevel(nox::kLogInfo);
    }

    // Level and text of every line of the system's server and configuration
    // code, in order.
    std::vector<std::string> ServiceLines()
    {
        std::vector<std::string> vecOut;
        for (const auto& line : m_log.Lines()) {
            if (line.strFile == "Service/Service")
                vecOut.push_back(std::to_string(line.nLevel) + " " + line.strText);
        }
        return vecOut;
    }

    TempDir m_dir;
    nox::testing::LogCapture m_log;
};

TEST_F(CServerTest, InstanceIsOneObjectFromEveryThread)
{
    CServerConfig* pFirst = CServerConfig::instance();
    ASSERT_NE(nullptr, pFirst);
    EXPECT_EQ(pFirst, CServerConfig::instance());

    constexpr int kThreads = 8;
    std::atomic<int> nReady{0};
    std::vector<CServerConfig*> vecSeen(kThreads, nullptr);
    std::vector<std::thread> vecThreads;
    for (int i = 0; i < kThreads; ++i) {
        vecThreads.emplace_back([&, i] {
            nReady.fetch_add(1);
            while (nReady.load() < kThreads) {
                std::this_thread::yield();  // all call at once
            }
            vecSeen[i] = CServerConfig::instance();
        });
    }
    for (auto& thread : vecThreads)
        thread.join();
    for (CServerConfig* pSeen : vecSeen)
        EXPECT_EQ(pFirst, pSeen);
}

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

    const std::vector<std::string> vecLines = ServiceLines();
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
    const std::string strGroup =
        "<UdpHost>127.0.0.1</UdpHost><UdpPort1>0</UdpPort1><UdpPort2>0</UdpPort2>"
        "<UdpPort3>0</UdpPort3>";
    m_dir.Write("Velmora/Velmora.xml",
                "<Velmora><UdpListenInfo1>" + strGroup + "</UdpListenInfo1><UdpListenInfo2>" +
                    strGroup + "</UdpListenInfo2><UdpListenInfo3>" + strGroup +
                    "</UdpListenInfo3><VersionName>S</VersionName><VersionNum>1</VersionNum>"
                    "<ThreadNum>4</ThreadNum><FilterInterval>2</FilterInterval>"
                    "<ProductType>Null</ProductType></Velmora>");
    {
        CServer server;
        ASSERT_EQ(0, server.StartServer());
        ASSERT_NE(nullptr, server.m_pListen);
        EXPECT_EQ(4, CServerConfig::instance()->m_nThreadNum);  // loaded before the listener
        server.StopServer();
        delete server.m_pListen;  // the daemon keeps it to the end; a test frees it
        server.m_pListen = nullptr;
    }
    const std::vector<std::string> vecTexts = m_log.Texts();
    const auto itOk = std::find(vecTexts.begin(), vecTexts.end(), "Start Server OK!");
    const auto itHandler = std::find(vecTexts.begin(), vecTexts.end(), "Stop Handler OK");
    const auto itStop = std::find(vecTexts.begin(), vecTexts.end(), "Stop Server OK");
    ASSERT_NE(vecTexts.end(), itOk);
    ASSERT_NE(vecTexts.end(), itHandler);
    ASSERT_NE(vecTexts.end(), itStop);
    EXPECT_LT(itOk, itHandler);
    EXPECT_LT(itHandler, itStop);
}

}  // namespace
