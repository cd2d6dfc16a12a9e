// velmora-search's command line, the destinations it leads to, and one
// search round against an engine that answers like a responder.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FakeNetEngine.h"
#include "Requests.h"
#include "SearchClient.h"
#include "SearchOptions.h"
#include "SearchProto.h"
#include "nox/testing/ScopedHost.h"

using namespace velmora;
using namespace velmora::search;

namespace {

int Parse(std::vector<const char*> vecArg, SearchOptions& opt, std::string* pErr = nullptr)
{
    vecArg.insert(vecArg.begin(), "velmora-search");
    std::string strErr;
    return ParseArgs(static_cast<int>(vecArg.size()), vecArg.data(), opt, pErr ? *pErr : strErr);
}

std::vector<std::string> Describe(const std::vector<Destination>& vecDest)
{
    std::vector<std::string> vecOut;
    for (const Destination& d : vecDest)
        vecOut.push_back(d.strHost + ":" + std::to_string(d.nPort) +
                         (d.strIfaceAddr.empty() ? "" : "@" + d.strIfaceAddr));
    return vecOut;
}

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
    using nox::testing::ScopedHost;
    const std::vector<nox::AdapterInfo> vecIface = {
        ScopedHost::MakeAdapter("eth0", "", "10.88.0.2", "255.255.255.0", ""),
        ScopedHost::MakeAdapter("eth1", "", "10.89.0.2", "255.255.0.0", "")};
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

// The engine answers every request at once, as a responder would: a JSON
// request with a JSON reply, a binary one with a binary record, each from
// the destination (the group answers as 10.0.0.1), then a junk datagram.
class SearchClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_opt.nTimeoutMs = 1;
        m_engine.m_onSend = [this](const FakeNetEngine::Sent& sent) {
            const std::string strFrom = sent.strHost == kMulticastGroup ? "10.0.0.1" : sent.strHost;
            const std::string strReply =
                sent.strData[0] == static_cast<char>(kHeadJson)
                    ? MakeJsonReplyText("{\"mac\":\"02:00:00:00:00:01\",\"method\":"
                                        "\"client.notifyDevInfo\",\"params\":{\"deviceInfo\":"
                                        "{\"Version\":\"3.0\",\"Port\":47810}}}\n")
                    : MakeBinaryReply("S");
            const nox::Ref<nox::SocketHandler> handler = m_engine.HandlerOf(sent.sock);
            handler->OnData(sent.sock, strReply.data(), static_cast<int>(strReply.size()),
                            strFrom.c_str(), sent.nPort);
            handler->OnData(sent.sock, "\xB3junk", 5, strFrom.c_str(), sent.nPort);
        };
    }

    FakeNetEngine m_engine;
    SearchOptions m_opt;
    std::string m_strErr;
};

TEST_F(SearchClientTest, SendsEveryFormToEveryDestinationAndMergesTheAnswers)
{
    const std::vector<Destination> vecDest = {{kMulticastGroup, 37810, "10.88.0.2", "eth0"},
                                              {kMulticastGroup, 37810, "10.89.0.2", "eth1"},
                                              {"10.88.0.9", 47810, "", ""}};
    nox::Ref<CSearchCollector> collector(new CSearchCollector(true));
    ASSERT_EQ(0, RunSearch(m_engine, m_opt, vecDest, collector, m_strErr));

    ASSERT_EQ(1u, m_engine.m_vecBind.size());
    EXPECT_EQ("0.0.0.0:0", m_engine.m_vecBind[0].strHost + ":" +
                               std::to_string(m_engine.m_vecBind[0].nPort));
    const auto vecSent = m_engine.TakeSent();
    ASSERT_EQ(6u, vecSent.size());
    EXPECT_EQ("10.88.0.2", vecSent[0].strIface);
    EXPECT_EQ("10.88.0.2", vecSent[1].strIface);
    EXPECT_EQ("10.89.0.2", vecSent[2].strIface);
    EXPECT_EQ(MakeJsonSearchRequest(), vecSent[2].strData);
    EXPECT_EQ(MakeBinarySearchRequest(), vecSent[3].strData);
    EXPECT_EQ("10.88.0.9:47810", vecSent[5].strHost + ":" + std::to_string(vecSent[5].nPort));
    EXPECT_EQ(1u, m_engine.m_vecClosed.size());

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

TEST_F(SearchClientTest, SocketFailureAndNoDestinationSendNothing)
{
    nox::Ref<CSearchCollector> collector(new CSearchCollector(false));
    EXPECT_EQ(kErrNothingSent, RunSearch(m_engine, m_opt, {}, collector, m_strErr));
    EXPECT_FALSE(m_strErr.empty());

    m_engine.m_setFailBind = {1};
    EXPECT_EQ(kErrSocket, RunSearch(m_engine, m_opt, {{"10.0.0.1", 37810, "", ""}}, collector,
                                    m_strErr));
    EXPECT_TRUE(m_engine.TakeSent().empty());
    EXPECT_EQ(2u, m_engine.m_vecClosed.size()) << "the socket is closed on both paths";
    EXPECT_TRUE(collector->Rows().empty());
}
