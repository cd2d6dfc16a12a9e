// Set-up for the tests that load "Velmora.xml": a fresh configuration, a
// temporary tree with "Velmora" as the current directory (so the web front
// end's files sit in sibling folders), and a log capture. Also the log line
// comparison that every service test uses.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ScratchDir.h"
#include "Service/Service.h"
#include "nox/PrintLog.h"
#include "nox/testing/LogCapture.h"

// Level and text of a captured log line, compared as one value.
struct Logged {
    int nLevel;
    std::string strText;
    bool operator==(const Logged& other) const
    {
        return nLevel == other.nLevel && strText == other.strText;
    }
};

inline std::ostream& operator<<(std::ostream& os, const Logged& line)
{
    return os << line.nLevel << " \"" << line.strText << "\"";
}

// The captured lines logged by the function named szFunc, in order.
inline std::vector<Logged> LinesOf(const nox::testing::LogCapture& log, const char* szFunc)
{
    std::vector<Logged> vecOut;
    for (const auto& line : log.Lines()) {
        if (line.strFunc == szFunc)
            vecOut.push_back({line.nLevel, line.strText});
    }
    return vecOut;
}

// A temporary directory tree; the destructor restores the previous current
// directory, then the scratch folder goes with everything in it.
class TempDir {
public:
    TempDir() : m_oldCwd(std::filesystem::current_path()), m_root(m_scratch.root) {}
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::current_path(m_oldCwd, ec);
    }
    // Creates the file (and its folders) under the root with exactly these bytes.
    void Write(const std::string& strRelPath, const std::string& strContent) const
    {
        const std::filesystem::path path = m_root / strRelPath;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(strContent.data(), static_cast<std::streamsize>(strContent.size()));
        if (!file)
            throw std::runtime_error("cannot write " + path.string());
    }

    // Creates the folder if needed and makes it the current directory.
    void Enter(const std::string& strRelDir) const
    {
        std::filesystem::create_directories(m_root / strRelDir);
        std::filesystem::current_path(m_root / strRelDir);
    }

private:
    std::filesystem::path m_oldCwd;
    velmora_test::ScratchDir m_scratch;
    const std::filesystem::path& m_root;
};

// A service file with a non-default value everywhere, so a test sees which
// fields a load reached. Group g (0..2) has host kFullHosts[g] and ports
// 1000 * (g + 1) + 1..3.
constexpr char kFullXml[] =
    "<?xml version=\"1.0\"?>\n<Velmora>\n"
    "<UdpListenInfo1><UdpHost>10.0.0.1</UdpHost>"
    "<UdpPort1>1001</UdpPort1><UdpPort2>1002</UdpPort2><UdpPort3>1003</UdpPort3>"
    "</UdpListenInfo1>\n"
    "<UdpListenInfo2><UdpHost>10.0.0.2</UdpHost>"
    "<UdpPort1>2001</UdpPort1><UdpPort2>2002</UdpPort2><UdpPort3>2003</UdpPort3>"
    "</UdpListenInfo2>\n"
    "<UdpListenInfo3><UdpHost>239.1.1.1</UdpHost>"
    "<UdpPort1>3001</UdpPort1><UdpPort2>3002</UdpPort2><UdpPort3>3003</UdpPort3>"
    "</UdpListenInfo3>\n"
    "<VersionName>Srv</VersionName>\n<VersionNum>9.9</VersionNum>\n"
    "<ThreadNum>5</ThreadNum>\n<FilterInterval>10</FilterInterval>\n"
    "<ProductType>Box</ProductType>\n<Proxy>NGINX</Proxy>\n</Velmora>\n";
constexpr const char* kFullHosts[3] = {"10.0.0.1", "10.0.0.2", "239.1.1.1"};

// The nine endpoints a configuration holds when the file sets none.
inline std::vector<ListenAddr> DefaultListenAddrs()
{
    const int anPort[] = {37810, 47810, 57810, 5050, 15050, 25050, 37810, 47810, 57810};
    std::vector<ListenAddr> vecOut(9);
    for (size_t i = 0; i < vecOut.size(); ++i) {
        vecOut[i].m_strHost = i < 6 ? "0.0.0.0" : "239.255.255.251";
        vecOut[i].m_nPort = anPort[i];
    }
    return vecOut;
}

// The text with the first occurrence of strFrom replaced.
inline std::string Edit(std::string strXml, const std::string& strFrom, const std::string& strTo)
{
    const std::string::size_type nPos = strXml.find(strFrom);
    EXPECT_NE(std::string::npos, nPos) << strFrom;
    if (nPos != std::string::npos)
        strXml.replace(nPos, strFrom.size(), strTo);
    return strXml;
}

class ConfigFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        Reset();
        m_dir.Enter("Velmora");
        nox::PrintLog::instance().SetLevel(nox::kLogInfo);
    }
    void TearDown() override { nox::PrintLog::instance().SetLevel(nox::kLogInfo); }

    CServerConfig& Config() { return *CServerConfig::instance(); }

    // A default configuration and an empty capture, for the next case of a table.
    void Reset()
    {
        Config() = CServerConfig();
        m_log.Clear();
    }

    int Load(const std::string& strXml)
    {
        m_dir.Write("Velmora/Velmora.xml", strXml);
        return Config().LoadServerConf();
    }

    std::vector<Logged> Lines() const { return LinesOf(m_log, "CServerConfig::LoadServerConf"); }

    TempDir m_dir;
    nox::testing::LogCapture m_log;
};
