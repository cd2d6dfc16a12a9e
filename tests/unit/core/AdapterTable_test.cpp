// The adapter table's pure parts: the name filter, the rows it leaves, the
// comparison of two tables, the re-read pacing, and the snapshot that hands
// tables to readers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "CUListen/AdapterTable.h"
#include "CUListen/RefreshPacer.h"
#include "CUListen/Snapshot.h"
#include "nox/testing/ScopedHost.h"

namespace {

using nox::testing::ScopedHost;

AdapterEntry Row(const char* szName, const char* szAddr, const char* szGateway = "0.0.0.0",
                 const char* szMac = "00:11:22:33:44:55")
{
    return velmora::MakeRows({ScopedHost::MakeAdapter(szName, szMac, szAddr, "255.255.255.0", szGateway)},
                             velmora::AdapterFilter())[0];
}

TEST(AdapterFilterTest, PatternsMatchWholeNamesIgnoringCase)
{
    const struct {
        const char* szPattern;
        const char* szName;
        bool bMatch;
    } kCases[] = {
        {"eth0", "eth0", true},         {"eth0", "eth01", false},      {"eth?", "eth1", true},
        {"eth?", "eth", false},         {"docker*", "docker0", true},  {"docker*", "docker", true},
        {"*", "", true},                {"", "x", false},              {"veth*", "vethb1c2", true},
        {"*eth*", "vEthernet (WSL)", true}, {"vEthernet*", "VETHERNET (Default Switch)", true},
        {"*.1?", "br.10", true},        {"*.1?", "br.100", false},     {"a*b*c", "aXbYbZc", true},
        {"a*b*c", "aXcYb", false},      {"??", "tun0", false},         {"tun*0", "tun10", true},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(c.bMatch, velmora::NameMatches(c.szPattern, c.szName)) << c.szPattern << " " << c.szName;
}

// Include first (empty: everything), then exclude; the rows keep the host's
// order and the names left out are reported.
TEST(AdapterFilterTest, RowsAreTheTakenAdaptersInOrder)
{
    const std::vector<nox::AdapterInfo> vecInfo = {
        ScopedHost::MakeAdapter("eth0", "m0", "10.0.0.5", "255.255.255.0", "10.0.0.1"),
        ScopedHost::MakeAdapter("docker0", "m1", "172.17.0.1", "255.255.0.0", "0.0.0.0"),
        ScopedHost::MakeAdapter("veth9f", "m2", "169.254.3.3", "255.255.0.0", "0.0.0.0"),
        ScopedHost::MakeAdapter("eth1", "m3", "10.1.0.5", "255.255.255.0", "0.0.0.0"),
    };
    const struct {
        const char* szInclude;
        const char* szExclude;
        std::vector<std::string> vecRows;
        std::vector<std::string> vecLeftOut;
    } kCases[] = {
        {"", "", {"eth0", "docker0", "veth9f", "eth1"}, {}},
        {"", "docker* veth*", {"eth0", "eth1"}, {"docker0", "veth9f"}},
        {"eth*", "", {"eth0", "eth1"}, {"docker0", "veth9f"}},
        {"  eth* \t docker0 ", "eth1", {"eth0", "docker0"}, {"veth9f", "eth1"}},
        {"wlan*", "", {}, {"eth0", "docker0", "veth9f", "eth1"}},
    };
    for (const auto& c : kCases) {
        std::vector<std::string> vecLeftOut;
        const std::vector<AdapterEntry> vecRow =
            velmora::MakeRows(vecInfo, velmora::AdapterFilter(c.szInclude, c.szExclude), &vecLeftOut);
        std::vector<std::string> vecNames;
        for (const AdapterEntry& row : vecRow) {
            vecNames.push_back(row.adapterName);
            EXPECT_EQ(1, row.isOK);
        }
        EXPECT_EQ(c.vecRows, vecNames) << c.szInclude << " / " << c.szExclude;
        EXPECT_EQ(c.vecLeftOut, vecLeftOut) << c.szInclude << " / " << c.szExclude;
    }
    EXPECT_TRUE(velmora::NothingToAnnounce({}));
    EXPECT_TRUE(velmora::NothingToAnnounce({Row("eth0", "169.254.1.2"), Row("eth1", "169.254.9.9")}));
    EXPECT_FALSE(velmora::NothingToAnnounce({Row("eth0", "169.254.1.2"), Row("eth1", "10.0.0.5")}));
}

TEST(TableDiffTest, RowsAreMatchedByName)
{
    const AdapterEntry a = Row("eth0", "10.0.0.5", "10.0.0.1");
    const AdapterEntry b = Row("eth1", "10.1.0.5");
    const AdapterEntry w = Row("wlan0", "192.168.1.7");
    const struct {
        const char* szWhat;
        std::vector<AdapterEntry> vecOld;
        std::vector<AdapterEntry> vecNew;
        const char* szText;   // "" for no difference
    } kCases[] = {
        {"same", {a, b}, {a, b}, ""},
        {"both empty", {}, {}, ""},
        {"added", {a}, {a, b}, "2 rows; added eth1"},
        {"first adapter", {}, {a}, "1 row; added eth0"},
        {"removed", {a, b, w}, {a, w}, "2 rows; removed eth1"},
        {"all removed", {a, b}, {}, "0 rows; removed eth0 eth1"},
        {"readdressed", {a, b}, {Row("eth0", "10.0.0.9", "10.0.0.1"), b}, "2 rows; readdressed eth0"},
        {"new gateway", {a}, {Row("eth0", "10.0.0.5", "10.0.0.254")}, "1 row; readdressed eth0"},
        {"new MAC", {a}, {Row("eth0", "10.0.0.5", "10.0.0.1", "aa:bb:cc:dd:ee:ff")}, "1 row; readdressed eth0"},
        {"reordered", {a, b}, {b, a}, "2 rows; reordered"},
        {"all at once", {a, b, w}, {Row("wlan0", "192.168.1.8"), a, Row("tun0", "10.8.0.2")},
         "3 rows; added tun0; removed eth1; readdressed wlan0; reordered"},
    };
    for (const auto& c : kCases) {
        const velmora::TableDiff diff = velmora::DiffTables(c.vecOld, c.vecNew);
        EXPECT_EQ(c.szText[0] == '\0', diff.Same()) << c.szWhat;
        EXPECT_EQ(c.szText[0] == '\0' ? "" : c.szText, diff.Same() ? "" : diff.Text(c.vecNew.size()))
            << c.szWhat;
    }
}

// Ticks in ms, as a fake clock would give them; they wrap at 2^32.
TEST(RefreshPacerTest, BurstIsOneReadASecondAfterItsFirstEvent)
{
    for (const uint32_t nStart : {5000u, 0xFFFFF000u}) {
        velmora::RefreshPacer pacer(nStart);
        EXPECT_EQ(30000u, pacer.WaitMs(nStart));   // idle: the fallback only
        pacer.OnEvent(nStart + 100);
        EXPECT_EQ(1000u, pacer.WaitMs(nStart + 100));
        pacer.OnEvent(nStart + 600);               // joins the burst, does not push it back
        EXPECT_EQ(500u, pacer.WaitMs(nStart + 600));
        EXPECT_FALSE(pacer.Due(nStart + 1099));
        EXPECT_TRUE(pacer.Due(nStart + 1100));
        pacer.OnRead(nStart + 1100);
        EXPECT_FALSE(pacer.Due(nStart + 1200));
        EXPECT_EQ(30000u, pacer.WaitMs(nStart + 1100));
        EXPECT_TRUE(pacer.Due(nStart + 31100));    // no event: the fallback re-read
        pacer.OnRead(nStart + 31100);
        pacer.OnEvent(nStart + 60900);             // the fallback is nearer than a second
        EXPECT_EQ(200u, pacer.WaitMs(nStart + 60900));
    }
}

struct Counted {
    explicit Counted(int n, std::atomic<int>& nLive) : nValue(n), nCheck(n * 7), m_nLive(nLive) { ++m_nLive; }
    ~Counted() { --m_nLive; }
    int nValue;
    int nCheck;
    std::atomic<int>& m_nLive;
};

// A replaced object lives while a Hold shows it, and goes at the next
// Reclaim after that; a Hold sees one whole object, never a freed one.
TEST(SnapshotTest, ReplacedObjectsGoOnceNoReaderHoldsThem)
{
    std::atomic<int> nLive{0};
    {
        velmora::Snapshot<Counted> box;
        box.Publish(std::make_unique<Counted>(1, nLive));
        {
            velmora::Snapshot<Counted>::Hold hold(box);
            box.Publish(std::make_unique<Counted>(2, nLive));
            EXPECT_EQ(1, hold->nValue);
            EXPECT_EQ(2, nLive.load());
            EXPECT_EQ(1u, box.Reclaim());
            velmora::Snapshot<Counted>::Hold newer(box);
            EXPECT_EQ(2, newer->nValue);
        }
        EXPECT_EQ(0u, box.Reclaim());
        EXPECT_EQ(1, nLive.load());

        std::atomic<bool> bStop{false};
        std::atomic<int> nBad{0};
        std::vector<std::thread> vecReader;
        for (int t = 0; t < 4; ++t) {
            vecReader.emplace_back([&] {
                int nLast = 0;
                while (!bStop.load()) {
                    velmora::Snapshot<Counted>::Hold hold(box);
                    if (hold->nCheck != hold->nValue * 7 || hold->nValue < nLast)
                        ++nBad;
                    nLast = hold->nValue;
                }
            });
        }
        for (int n = 3; n < 3000; ++n)
            box.Publish(std::make_unique<Counted>(n, nLive));
        bStop.store(true);
        for (std::thread& reader : vecReader)
            reader.join();
        EXPECT_EQ(0, nBad.load());
        EXPECT_EQ(0u, box.Reclaim());
        EXPECT_EQ(1, nLive.load());
    }
    EXPECT_EQ(0, nLive.load());
}

}  // namespace
