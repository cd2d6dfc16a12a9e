// Set-up for the tests that load "Velmora.xml": a default configuration, a
// scratch tree with "Velmora" as the current directory (the web front end's
// files sit in sibling folders), and a log capture.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ScratchDir.h"
#include "Service/Service.h"
#include "nox/testing/LogCapture.h"

// The texts logged by the function szFunc, in order.
inline std::vector<std::string> LinesOf(const nox::testing::LogCapture& log, const char* szFunc)
{
    std::vector<std::string> vecOut;
    for (const auto& line : log.Lines()) {
        if (line.strFunc == szFunc)
            vecOut.push_back(line.strText);
    }
    return vecOut;
}

// A service file with a non-default value everywhere. Group g (0..2) has host
// kFullHosts[g] and ports 1000 * (g + 1) + 1..3.
constexpr char kFullXml[] =
    "<Velmora><UdpListenInfo1><UdpHost>10.0.0.1</UdpHost><UdpPort1>1001</UdpPort1>"
    "<UdpPort2>1002</UdpPort2><UdpPort3>1003</UdpPort3></UdpListenInfo1>"
    "<UdpListenInfo2><UdpHost>10.0.0.2</UdpHost><UdpPort1>2001</UdpPort1>"
    "<UdpPort2>2002</UdpPort2><UdpPort3>2003</UdpPort3></UdpListenInfo2>"
    "<UdpListenInfo3><UdpHost>239.1.1.1</UdpHost><UdpPort1>3001</UdpPort1>"
    "<UdpPort2>3002</UdpPort2><UdpPort3>3003</UdpPort3></UdpListenInfo3>"
    "<VersionName>Srv</VersionName><VersionNum>9.9</VersionNum><ThreadNum>5</ThreadNum>"
    "<FilterInterval>10</FilterInterval><ProductType>Box</ProductType><Proxy>NGINX</Proxy>"
    "</Velmora>";
constexpr const char* kFullHosts[3] = {"10.0.0.1", "10.0.0.2", "239.1.1.1"};

// The text with the first occurrence of strFrom replaced.
inline std::string Edit(std::string strXml, const std::string& strFrom, const std::string& strTo)
{
    const std::string::size_type nPos = strXml.find(strFrom);
    EXPECT_NE(std::string::npos, nPos) << strFrom;
    return nPos == std::string::npos ? strXml : strXml.replace(nPos, strFrom.size(), strTo);
}

class ConfigFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        Reset();
        m_root = velmora_test::NewScratchDir();
        std::filesystem::create_directories(m_root / "Velmora");
        std::filesystem::current_path(m_root / "Velmora");
    }
    void TearDown() override
    {
        std::filesystem::current_path(m_oldCwd);
        std::filesystem::remove_all(m_root);
    }

    CServerConfig& Config() { return *CServerConfig::instance(); }
    void Reset()   // a default configuration and an empty capture
    {
        Config() = CServerConfig();
        m_log.Clear();
    }
    void Write(const std::string& strRelPath, const std::string& strContent)   // under the root
    {
        std::filesystem::create_directories((m_root / strRelPath).parent_path());
        std::ofstream(m_root / strRelPath, std::ios::binary) << strContent;
    }
    int Load(const std::string& strXml)
    {
        Write("Velmora/Velmora.xml", strXml);
        return Config().LoadServerConf();
    }
    std::vector<std::string> Lines() const { return LinesOf(m_log, "CServerConfig::LoadServerConf"); }

    const std::filesystem::path m_oldCwd = std::filesystem::current_path();
    std::filesystem::path m_root;
    nox::testing::LogCapture m_log;
};
