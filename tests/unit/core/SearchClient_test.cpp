// velmora-search's command line, the destinations it leads to, and one
// search round against an engine that answers like a responder.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CUListen/Protocol.h"
#include "SearchClient.h"
#include "SearchOptions.h"
#include "SearchProto.h"

using namespace velmora;
using namespace velmora::search;

namespace {

int Parse(std::vector<const char*> vecArg, SearchOptions& opt, std::string* pErr = nullptr)
{
    vecArg.insert(vecArg.begin(), "velmora-search");
    std::string strErr;
    int nRet = ParseArgs(static_cast<int>(vecArg.size()), vecArg.data(), opt, strErr);
    if (pErr)
        *pErr = strErr;
    return nRet;
}

nox::AdapterInfo Iface(const char* szName, const char* szAddr, const char* szMask)
{
    nox::AdapterInfo info;
    std::memset(&info, 0, sizeof(info));
    std::strncpy(info.adapterName, szName, sizeof(info.adapterName) - 1);
    std::strncpy(info.hostAddr, szAddr, sizeof(info.hostAddr) - 1);
    std::strncpy(info.subNetMask, szMask, sizeof(info.subNetMask) - 1);
    return info;
}

std::vector<std::string> Describe(const std::vector<Destination>& vecDest)
{
    std::vector<std::string> vecOut;
    for (const Destination& d : vecDest)
        vecOut.push_back(d.strHost + ":" + std::to_string(d.nPort) +
                         (d.strIfaceAddr.empty() ? "" : "@" + d.strIfaceAddr));
    return vecOut;
}

// Answers every request synchronously through the socket's handler: a JSON
// request with a JSON reply, a binary one with a binary record, each from a
// responder whose address is the destination (the group answers as 10.0.0.1).
class AnsweringEngine : public nox::NetEngine {
public:
    struct Sent { std::string strData; std::string strHost; int nPort; std::string strIface; };

    SOCKID CreateSocket(const nox::Ref<nox::SocketHandler>& handler, int*) override
    {
        m_handler = handler;
        return 7;
    }
    int StartUDP(SOCKID, const char* szHost, int nPort, const char*, int, bool) override
    {
        m_strBind = std::string(szHost) + ":" + std::to_string(nPort);
        return m_nStartResult;
    }
    int SetMulticastInterface(SOCKID, const char* szIfaceAddr) override
    {
        m_strIface = szIfaceAddr;
        return 0;
    }
    int SendTo(SOCKID, const char* pData, int nLen, const char* szHost, int nPort) override
    {
        std::string strData(pData, static_cast<size_t>(nLen));
        m_vecSent.push_back({strData, szHost, nPort, m_strIface});
        std::string strFrom = std::string(szHost) == kMulticastGroup ? "10.0.0.1" : szHost;
        std::string strReply = static_cast<uint8_t>(strData[0]) == kHeadJson
                                   ? JsonReply() : BinaryReply();
        m_handler->OnData(7, strReply.data(), static_cast<int>(strReply.size()),
                          strFrom.c_str(), nPort);
        m_handler->OnData(7, "\xB3junk", 5, strFrom.c_str(), nPort);
        return 0;
    }
    int CloseSocket(SOCKID) override
    {
        m_handler.release();
        ++m_nClosed;
        return 0;
    }

    static std::string JsonReply()
    {
        const std::string strText =
            "{\"mac\":\"02:00:00:00:00:01\",\"method\":\"client.notifyDevInfo\","
            "\"params\":{\"deviceInfo\":{\"Version\":\"3.0\",\"Port\":47810}}}\n";
        std::string strOut(kJsonHeaderLen, '\0');
        strOut[0] = static_cast<char>(kHeadJson);
        strOut[16] = strOut[24] = static_cast<char>(strText.size());
        return strOut + strText;
    }
    static std::string BinaryReply()
    {
        std::string strOut(kBinNameOffset, '\0');
        strOut[0] = static_cast<char>(kHeadBinaryReply);
        strOut[kBinTailLenOffset] = static_cast<char>(kBinMacLen + 1);
        strOut[kBinMarkOffset] = static_cast<char>(kBinMark);
        strOut.replace(kBinMacOffset, kBinMacLen, "02:00:00:00:00:01");
        return strOut + "S";
    }

    nox::Ref<nox::SocketHandler> m_handler;
    std::vector<Sent> m_vecSent;
    std::string m_strBind;
    std::string m_strIface;
    int m_nStartResult = 0;
    int m_nClosed = 0;
};

}  // namespace

TEST(SearchOptionsTest, DefaultsAndRepeatableOptions)
{
    SearchOptions opt;
    ASSERT_EQ(0, Parse({}, opt));
    EXPECT_EQ(3, opt.nForms);
    EXPECT_EQ(2000u, opt.nTimeoutMs);
    EXPECT_TRUE(opt.vecPort.empty() && opt.vecHost.empty() && !opt.bJson);

    ASSERT_EQ(0, Parse({"--port", "5050", "-p", "47810", "--port=1", "--interface", "eth0",
                        "-i", "eth1", "--host=10.0.0.9", "--form", "binary", "--timeout",
                        "0.25", "--json", "--broadcast", "-v"}, opt));
    EXPECT_EQ((std::vector<int>{5050, 47810, 1}), opt.vecPort);
    EXPECT_EQ((std::vector<std::string>{"eth0", "eth1"}), opt.vecIface);
    EXPECT_EQ((std::vector<std::string>{"10.0.0.9"}), opt.vecHost);
    EXPECT_EQ(kFormBinary, opt.nForms);
    EXPECT_EQ(250u, opt.nTimeoutMs);
    EXPECT_TRUE(opt.bJson && opt.bBroadcast && opt.bVerbose);

    ASSERT_EQ(0, Parse({"--help"}, opt));
    EXPECT_TRUE(opt.bHelp);
    ASSERT_EQ(0, Parse({"-V"}, opt));
    EXPECT_TRUE(opt.bVersion);
}

TEST(SearchOptionsTest, BadValuesAreUsageErrorsWithAMessage)
{
    const std::vector<std::vector<const char*>> vecBad = {
        {"--port", "0"}, {"--port", "65536"}, {"-p", "12x"}, {"--port"},
        {"--timeout", "0"}, {"--timeout", "-1"}, {"-t", "nan"}, {"-t", "2s"}, {"-t", "3601"},
        {"--host", "10.0.0"}, {"--host", "256.0.0.1"}, {"--host", "1.2.3.4.5"},
        {"--host", "a.b.c.d"}, {"--form", "xml"}, {"--interface="}, {"--json=yes"},
        {"--frobnicate"}, {"extra"}};
    for (const auto& vecArg : vecBad) {
        SearchOptions opt;
        std::string strErr;
        EXPECT_EQ(-1, Parse(vecArg, opt, &strErr)) << vecArg[0];
        EXPECT_FALSE(strErr.empty()) << vecArg[0];
    }
}

TEST(SearchPlanTest, GroupPerInterfaceBroadcastAndHosts)
{
    const std::vector<nox::AdapterInfo> vecIface = {Iface("eth0", "10.88.0.2", "255.255.255.0"),
                                                    Iface("eth1", "10.89.0.2", "255.255.0.0")};
    SearchOptions opt;
    std::vector<Destination> vecDest;
    std::string strErr;
    ASSERT_EQ(0, PlanDestinations(opt, vecIface, vecDest, strErr));
    EXPECT_EQ((std::vector<std::string>{"239.255.255.251:37810@10.88.0.2",
                                        "239.255.255.251:37810@10.89.0.2"}),
              Describe(vecDest));

    ASSERT_EQ(0, Parse({"-i", "eth1", "--broadcast", "-p", "5050", "-p", "15050"}, opt));
    ASSERT_EQ(0, PlanDestinations(opt, vecIface, vecDest, strErr));
    EXPECT_EQ((std::vector<std::string>{"239.255.255.251:5050@10.89.0.2", "10.89.255.255:5050",
                                        "239.255.255.251:15050@10.89.0.2",
                                        "10.89.255.255:15050"}),
              Describe(vecDest));

    // Named hosts replace the group; they need no interface at all.
    ASSERT_EQ(0, Parse({"--host", "10.88.0.1"}, opt));
    ASSERT_EQ(0, PlanDestinations(opt, {}, vecDest, strErr));
    EXPECT_EQ((std::vector<std::string>{"10.88.0.1:37810"}), Describe(vecDest));

    ASSERT_EQ(0, Parse({"-i", "wlan9"}, opt));
    EXPECT_EQ(-1, PlanDestinations(opt, vecIface, vecDest, strErr));
    EXPECT_NE(std::string::npos, strErr.find("wlan9"));
}

TEST(SearchClientTest, SendsEveryFormToEveryDestinationAndMergesTheAnswers)
{
    AnsweringEngine engine;
    SearchOptions opt;
    opt.nTimeoutMs = 1;
    opt.bVerbose = true;
    const std::vector<Destination> vecDest = {{kMulticastGroup, 37810, "10.88.0.2", "eth0"},
                                              {kMulticastGroup, 37810, "10.89.0.2", "eth1"},
                                              {"10.88.0.9", 47810, "", ""}};
    nox::Ref<CSearchCollector> collector(new CSearchCollector(true));
    std::string strErr;
    ASSERT_EQ(0, RunSearch(engine, opt, vecDest, collector, strErr));

    EXPECT_EQ("0.0.0.0:0", engine.m_strBind);
    ASSERT_EQ(6u, engine.m_vecSent.size());
    EXPECT_EQ("10.88.0.2", engine.m_vecSent[0].strIface);
    EXPECT_EQ("10.88.0.2", engine.m_vecSent[1].strIface);
    EXPECT_EQ("10.89.0.2", engine.m_vecSent[2].strIface);
    EXPECT_EQ(MakeJsonSearchRequest(), engine.m_vecSent[2].strData);
    EXPECT_EQ(MakeBinarySearchRequest(), engine.m_vecSent[3].strData);
    EXPECT_EQ("10.88.0.9", engine.m_vecSent[5].strHost);
    EXPECT_EQ(47810, engine.m_vecSent[5].nPort);
    EXPECT_EQ(1, engine.m_nClosed);

    // The group's answers (twice, one per interface) make one row; the host another.
    const std::vector<ResponderRow> vecRow = collector->Rows();
    ASSERT_EQ(2u, vecRow.size());
    EXPECT_EQ("10.0.0.1", vecRow[0].info.strResponder);
    EXPECT_EQ("json,binary", vecRow[0].FormsText());
    EXPECT_EQ(47810, vecRow[0].info.nPort);
    EXPECT_EQ("S", vecRow[0].info.strMachineName);
    EXPECT_EQ("10.88.0.9", vecRow[1].info.strResponder);
    EXPECT_EQ(6u, collector->TakeNotes().size()) << "one note per junk datagram";
}

TEST(SearchClientTest, SocketFailureAndNoDestinationSendNothing)
{
    AnsweringEngine engine;
    SearchOptions opt;
    opt.nTimeoutMs = 1;
    nox::Ref<CSearchCollector> collector(new CSearchCollector(false));
    std::string strErr;
    EXPECT_EQ(kErrNothingSent, RunSearch(engine, opt, {}, collector, strErr));
    EXPECT_FALSE(strErr.empty());

    engine.m_nStartResult = -98;
    EXPECT_EQ(kErrSocket, RunSearch(engine, opt, {{"10.0.0.1", 37810, "", ""}}, collector,
                                    strErr));
    EXPECT_TRUE(engine.m_vecSent.empty());
    EXPECT_EQ(2, engine.m_nClosed) << "the socket is closed on both paths";
    EXPECT_TRUE(collector->Rows().empty());
}
