// The binary exchange: record layout, long names, short requests, and the
// address conversion.
#include "CUListen/DiscoveryReply.h"
#include "HandlerFixture.h"

namespace {

using BinaryReplyTest = HandlerFixture;

// Only request bytes 1 and 16 reach the record (every other byte is 0xFF).
TEST_F(BinaryReplyTest, RecordLayout)
{
    m_host.m_vecAdapter = {nox::testing::ScopedHost::MakeAdapter(
        "eth0", "02:00:00:00:00:01", "10.88.0.1", "255.255.255.0", "10.88.0.2")};
    StartHandler();
    const auto vecSent = Answer(MakeBinaryRequest('\x5A', '\xC3', 64, '\xFF'));
    ASSERT_EQ(1u, vecSent.size());
    std::string strWant = MakeBinaryReply("Server", "02:00:00:00:00:01");
    strWant[1] = '\x5A';
    strWant[16] = '\xC3';
    EXPECT_EQ(strWant, vecSent[0].strData);
    EXPECT_EQ((std::vector<std::string>{"sock[7] respLen[143] host[10.0.0.9:5000] interface[0] ret[0]"}),
              LinesOf("CCUHandler::handle_same_segment"));
}

// The ports come from the settings; a name longer than the record holds is
// cut to 375 bytes, and the length byte wraps.
TEST(BinaryRecordTest, NamesAndPortsFillTheTail)
{
    velmora::ReplySettings settings;
    settings.nHttpPort = 8080;
    settings.nPort = 8443;
    uint8_t abRecord[velmora::kBinRecordMax];
    for (size_t nName : {6, 400}) {
        settings.strMachineName = std::string(nName, 'N');
        const size_t nKept = std::min<size_t>(nName, 375);
        ASSERT_EQ(137 + nKept, velmora::BuildBinaryReply(AdapterEntry{}, settings, 1, 2, abRecord));
        EXPECT_EQ(std::string(nKept, 'N'), std::string(abRecord + 137, abRecord + 137 + nKept));
        EXPECT_EQ((std::vector<int>{static_cast<int>((17 + nKept) & 0xFF), 0x90, 0x1F, 0xFB, 0x20}),
                  (std::vector<int>{abRecord[2], abRecord[94], abRecord[95], abRecord[98], abRecord[99]}));
    }
}

TEST_F(BinaryReplyTest, ShortRequestsAndAnEmptyTableGetNoAnswer)
{
    StartHandler();
    for (size_t nLen : {1, 16, 17}) {
        nox::Ref<reqBuffer> req = MakeReq(MakeBinaryRequest(0, 0, nLen));
        EXPECT_EQ(0, m_pHandler->handle_same_segment(req));
        EXPECT_EQ(nLen == 17 ? 1u : 0u, m_engine.TakeSent().size()) << nLen;
    }
    EXPECT_TRUE(m_log.Contains("short request len[16] host[10.0.0.9:5000]"));
    m_host.m_vecAdapter.clear();
    StartHandler();
    EXPECT_TRUE(Answer(MakeBinaryRequest()).empty());
}

// Dotted text to octets: low 8 bits of each piece read like atoi, at most four.
TEST(AddressToOctetsTest, DottedTextToFourOctets)
{
    std::string strOut;
    for (const char* szText : {"192.168.1.10", "", "10.0.0", "1.2.3.4.5.6", "256.300.-1.x", " 7..9."}) {
        uint8_t ab[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        velmora::AddressToOctets(szText, ab);
        for (int i = 0; i < 4; ++i)
            strOut += std::to_string(ab[i]) + (i == 3 ? " " : ".");
    }
    EXPECT_EQ("192.168.1.10 0.0.0.0 10.0.0.0 1.2.3.4 0.44.255.0 7.0.9.0 ", strOut);
}

}  // namespace
