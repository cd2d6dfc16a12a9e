// velmora-search --watch: the rounds' events, the missed-round count, change
// detection, the bounded table, and the options and lines around them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SearchOptions.h"
#include "SearchOutput.h"
#include "SearchWatch.h"
#include "nox/testing/ScopedHost.h"

using namespace velmora::search;

namespace {

ResponderRow Row(const char* szFrom, const char* szMac, const char* szAddr = "10.0.0.5")
{
    ResponderRow row;
    row.info = {szFrom, kFormJson, szAddr, "", "", szMac, "", "", "", "", "SN1", -1, 37810, -1, ""};
    row.nForms = kFormJson;
    return row;
}

std::string Kinds(const std::vector<WatchEvent>& vecEvent)
{
    std::string strOut;
    for (const WatchEvent& event : vecEvent)
        strOut += std::string(1, event.cKind) + event.row.info.strAddr + " ";
    return strOut;
}

}  // namespace

TEST(SearchWatchTest, AppearsChangesAndGoesAfterTheMissedRounds)
{
    WatchTable table(2, 100);
    const ResponderRow a = Row("10.0.0.1", "02:00:00:00:00:0A", "10.0.0.1");
    const ResponderRow b = Row("10.0.0.2", "", "10.0.0.2");
    ResponderRow aMoved = Row("10.0.0.9", "02:00:00:00:00:0a", "10.0.0.9");   // same MAC
    EXPECT_EQ("+10.0.0.1 +10.0.0.2 ", Kinds(table.Round({a, b})));
    EXPECT_EQ("", Kinds(table.Round({b, a})));
    EXPECT_EQ("=10.0.0.9 ", Kinds(table.Round({aMoved})));   // b missed one
    EXPECT_EQ("-10.0.0.2 ", Kinds(table.Round({aMoved})));   // b missed two: gone
    EXPECT_EQ("", Kinds(table.Round({})));                   // a missed one
    EXPECT_EQ("+10.0.0.2 ", Kinds(table.Round({aMoved, b})));   // an answer resets the count
    EXPECT_EQ("", Kinds(table.Round({b})));
    EXPECT_EQ("-10.0.0.9 ", Kinds(table.Round({b})));
    // Without a MAC an adapter is its responder and address.
    EXPECT_EQ("+10.0.0.3 ", Kinds(table.Round({b, Row("10.0.0.2", "", "10.0.0.3")})));
}

TEST(SearchWatchTest, EveryShownValueCountsAsAChange)
{
    const ResponderRow base = Row("10.0.0.1", "02:00:00:00:00:01");
    EXPECT_TRUE(SameValues(base, base));
    ResponderRow changed = base;
    changed.nForms = 3;
    EXPECT_FALSE(SameValues(base, changed));
    using R = AdapterReply;
    for (std::string R::*p : {&R::strResponder, &R::strAddr, &R::strMask, &R::strGateway,
                              &R::strMac, &R::strMachineName, &R::strDeviceClass,
                              &R::strDeviceType, &R::strVersion, &R::strSerial, &R::strIface}) {
        changed = base;
        changed.info.*p += "x";
        EXPECT_FALSE(SameValues(base, changed)) << changed.info.*p;
    }
    for (int R::*p : {&R::nHttpPort, &R::nPort, &R::nHttpsPort}) {
        changed = base;
        changed.info.*p = 1;
        EXPECT_FALSE(SameValues(base, changed)) << "port";
    }
}

TEST(SearchWatchTest, TablesAreBounded)
{
    WatchTable table(3, 2);
    const auto vecEvent = table.Round({Row("a", "02:00:00:00:00:01"), Row("b", "02:00:00:00:00:02"),
                                       Row("c", "02:00:00:00:00:03")});
    EXPECT_TRUE(vecEvent.size() == 2 && table.Size() == 2 && table.Ignored() == 1);

    ResponderTable rows;
    AdapterReply reply;
    reply.nForm = kFormBinary;
    for (size_t i = 0; i <= ResponderTable::kMaxRows; ++i) {
        reply.strMac = std::to_string(i);
        rows.Add(reply);
    }
    EXPECT_EQ(ResponderTable::kMaxRows, rows.Rows().size());
    EXPECT_TRUE(WatchPause(3000, 2000) == 1000 && WatchPause(2000, 2000) == 0);
}

TEST(SearchWatchTest, OptionsInterfaceAndLines)
{
    SearchOptions opt;
    std::string strErr;
    auto parse = [&](std::vector<const char*> vecArgv) {
        vecArgv.insert(vecArgv.begin(), "velmora-search");
        return ParseArgs(static_cast<int>(vecArgv.size()), vecArgv.data(), opt, strErr);
    };
    // The default timeout fits the interval; without --watch the interval is idle.
    const struct { std::vector<const char*> vecArg; unsigned nInterval, nTimeout; } kGood[] = {
        {{"--watch"}, 5000, 2000}, {{"-W", "--interval", "1.5"}, 1500, 1500},
        {{"-W", "--interval", "1", "--timeout", "1"}, 1000, 1000},
        {{"--interval", "1", "--timeout", "3", "--gone-after", "1"}, 1000, 3000}};
    for (const auto& good : kGood) {
        ASSERT_EQ(0, parse(good.vecArg)) << strErr;
        EXPECT_TRUE(opt.nIntervalMs == good.nInterval && opt.nTimeoutMs == good.nTimeout);
    }
    EXPECT_EQ(1, opt.nGoneAfter);
    const struct { std::vector<const char*> vecArg; const char* szErr; } kBad[] = {
        {{"--interval", "0.5"}, "invalid interval '0.5'"}, {{"--interval", "x"}, "interval 'x'"},
        {{"--watch", "--interval", "2", "--timeout", "3"}, "must not be longer"},
        {{"--gone-after", "0"}, "0"}, {{"--gone-after", "101"}, "101"}};
    for (const auto& bad : kBad) {
        EXPECT_EQ(-1, parse(bad.vecArg));
        EXPECT_NE(std::string::npos, strErr.find(bad.szErr)) << strErr;
    }

    using Host = nox::testing::ScopedHost;
    const std::vector<nox::AdapterInfo> vecIface = {
        Host::MakeAdapter("eth0", "02:00:00:00:00:01", "10.0.0.2", "255.255.255.0", "0.0.0.0"),
        Host::MakeAdapter("eth1", "02:00:00:00:00:02", "10.0.1.2", "255.255.0.0", "0.0.0.0")};
    EXPECT_EQ("eth0 eth1  ", LocalInterface("10.0.0.200", vecIface) + " " +
                                 LocalInterface("10.0.3.1", vecIface) + " " +
                                 LocalInterface("10.1.0.1", vecIface) + " " +
                                 LocalInterface("host", vecIface));

    ResponderRow row = Row("10.0.0.1", "02:00:00:00:00:01");
    row.info.strIface = "eth0";
    EXPECT_EQ("=  10.0.0.1  10.0.0.5  -  -  02:00:00:00:00:01  -  -  -  SN1  -  -  37810  json"
              "  eth0\n",
              FormatWatchLine('=', row));
    const std::string strJson = FormatJsonLine(row, '-');
    EXPECT_TRUE(strJson.find(R"("event":"-")") != std::string::npos &&
                strJson.find(R"("interface":"eth0")") != std::string::npos) << strJson;
    EXPECT_EQ(std::string::npos, FormatJsonLine(row).find("event"));
}
