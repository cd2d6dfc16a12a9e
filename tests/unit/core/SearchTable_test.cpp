// velmora-search's conventional option forms and the table that fits a
// terminal.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "FakeNetEngine.h"
#include "Requests.h"
#include "SearchClient.h"
#include "SearchOptions.h"
#include "SearchOutput.h"

using namespace velmora::search;

TEST(SearchCliTest, CombinedFlagsAttachedValuesAndEndOfOptions)
{
    const char* const argv[] = {"velmora-search", "-jv", "-p5050", "-r", "2", "-w", "--"};
    SearchOptions opt;
    std::string strErr;
    ASSERT_EQ(0, ParseArgs(7, argv, opt, strErr)) << strErr;
    EXPECT_TRUE(opt.bJson && opt.bVerbose && opt.bWide);
    EXPECT_EQ(std::vector<int>{5050}, opt.vecPort);
    EXPECT_EQ(2, opt.nRetry);
    const struct { const char* szOption; const char* szValue; const char* szErr; } kBad[] = {
        {"--retry", "21", "21"},         {"--port", "0", "invalid port '0'"},
        {"--interface", "", "empty interface name"}, {"--host", "10.1", "invalid host '10.1'"},
        {"--form", "xml", "invalid form 'xml'"}, {"--timeout", "0", "invalid timeout '0'"},
    };
    for (const auto& bad : kBad) {
        const char* const argvBad[] = {"velmora-search", bad.szOption, bad.szValue};
        EXPECT_EQ(-1, ParseArgs(3, argvBad, opt, strErr)) << bad.szOption;
        EXPECT_NE(std::string::npos, strErr.find(bad.szErr)) << strErr;
    }
}

TEST(SearchCliTest, RetriesSendEveryRequestAgain)
{
    FakeNetEngine engine;
    SearchOptions opt;
    opt.nRetry = 2;
    opt.nTimeoutMs = 3;
    nox::Ref<CSearchCollector> collector(new CSearchCollector(false));
    std::string strErr;
    ASSERT_EQ(0, RunSearch(engine, opt, {{"10.0.0.1", 37810, "", ""}}, collector, strErr));
    EXPECT_EQ(6u, engine.TakeSent().size()) << "both forms, three rounds";
    volatile std::sig_atomic_t nStop = 1;   // Ctrl-C: the first round is the last
    ASSERT_EQ(0, RunSearch(engine, opt, {{"10.0.0.1", 37810, "", ""}}, collector, strErr, &nStop));
    EXPECT_EQ(2u, engine.TakeSent().size());
    EXPECT_TRUE(SleepUnlessStopped(1, nullptr) && !SleepUnlessStopped(0, &nStop));
}

TEST(SearchCliTest, HttpsPortOnlyWhenTheReplyNamesAProductType)
{
    auto decode = [](const char* szName, const char* szType) {
        const std::string strText =
            std::string(R"({"method":"client.notifyDevInfo","mac":"02:00:00:00:00:01","params":)") +
            R"({"deviceInfo":{"MachineName":")" + szName + R"(","DeviceType":")" + szType +
            R"(","HttpPort":8080,"Port":8443}}})";
        const std::string strReply = MakeJsonReplyText(strText);
        AdapterReply reply;
        EXPECT_EQ(kDecodeOk, DecodeReply(strReply.data(), strReply.size(), "10.0.0.1", reply));
        return reply.nHttpsPort;
    };
    EXPECT_EQ(8443, decode("TRN V8", "Server"));
    EXPECT_EQ(-1, decode("Server", "Server"));   // product type Null: Port is a listen port
}

TEST(SearchTableTest, NarrowTerminalKeepsAddressAndWebPorts)
{
    ResponderRow row;
    row.info = {"10.88.0.1", 1, "10.88.0.1", "255.255.255.0", "10.88.0.2", "02:00:00:00:00:01",
                "Demo", "Demo", "Server", "3.0", "3d1219c7c4c5404aaa1f6d2a48adfda4", 8080, 8443,
                8443, "eth0"};
    row.nForms = 3;
    auto lines = [](const std::string& strTable) {
        std::vector<std::string> vecOut;
        std::istringstream in(strTable);
        for (std::string strLine; std::getline(in, strLine);)
            vecOut.push_back(strLine);
        return vecOut;
    };
    const std::string strWide = FormatTable({row}, 0);
    EXPECT_NE(std::string::npos,
              strWide.find("aa1f6d2a48adfda4  8080  8443   8443  json,binary  eth0"));
    EXPECT_EQ(0u, lines(strWide)[0].find("RESPONDER  ADDRESS"));

    const std::vector<std::string> vecNarrow = lines(FormatTable({row}, 80));
    EXPECT_EQ("RESPONDER  ADDRESS    MAC                NAME  VERSION  SERIAL     HTTP  HTTPS",
              vecNarrow[0]);
    EXPECT_EQ("10.88.0.1  10.88.0.1  02:00:00:00:00:01  Demo  3.0      3d1219c7\xE2\x80\xA6  8080  "
              "8443",
              vecNarrow[1]);
    EXPECT_NE(std::string::npos, FormatTable({row}, 80, false).find("  3d1219c7...  8080"));
    // Too narrow for anything else: the three columns that matter stay.
    EXPECT_EQ("ADDRESS    HTTP  HTTPS", lines(FormatTable({row}, 10))[0]);
}

// Every field the replies left out is null, as an unknown port is; the forms
// are an array.
TEST(SearchTableTest, JsonLineHasNullForMissingFieldsAndAnArrayOfForms)
{
    ResponderRow row;
    row.info.strResponder = "10.88.0.1";
    row.info.strAddr = "10.88.0.1";
    row.info.nPort = 47810;
    row.nForms = 2;
    EXPECT_EQ(R"({"address":"10.88.0.1","deviceClass":null,"deviceType":null,"forms":["binary"],)"
              R"("gateway":null,"httpPort":null,"httpsPort":null,"interface":null,"mac":null,)"
              R"("machineName":null,)"
              R"("mask":null,"port":47810,"responder":"10.88.0.1","serial":null,"version":null})"
              "\n",
              FormatJsonLine(row));
}
