// The binary exchange: record layout, configuration variants, row indexes,
// short requests, long names, and the address conversion.
#include "CUListen/DiscoveryReply.h"
#include "HandlerFixture.h"

namespace {

using BinaryReplyTest = HandlerFixture;

TEST_F(BinaryReplyTest, RecordLayoutWithTheDefaultName)
{
    StartHandler();
    // Every request byte but 1 and 16 is 0xFF and must leave no mark.
    const auto vecSent = Answer(MakeBinaryRequest(0x5A, 0xC3, 64, '\xFF'));
    ASSERT_EQ(1u, vecSent.size());
    const std::string& rec = vecSent[0].strData;
    ASSERT_EQ(143u, rec.size());
    EXPECT_EQ(7u, vecSent[0].sock);
    EXPECT_EQ("10.0.0.9", vecSent[0].strHost);
    EXPECT_EQ(5000, vecSent[0].nPort);

    const std::vector<std::pair<size_t, int>> vecFixed = {
        {0, 0xB3}, {1, 0x5A}, {2, 23}, {4, 0x58}, {16, 0xC3},
        {56, 10}, {57, 0}, {58, 0}, {59, 5}, {60, 255}, {61, 255}, {62, 255}, {63, 0},
        {64, 10}, {65, 0}, {66, 0}, {67, 1}, {94, 0x50}, {95, 0x00}, {98, 0xB2}, {99, 0x93}};
    std::vector<bool> vecSeen(rec.size(), false);
    for (const auto& field : vecFixed) {
        EXPECT_EQ(field.second, Byte(rec, field.first)) << "offset " << field.first;
        vecSeen[field.first] = true;
    }
    EXPECT_EQ("00:11:22:33:44:55", rec.substr(120, 17));
    EXPECT_EQ("Server", rec.substr(137));
    for (size_t i = 0; i < 120; ++i) {
        if (!vecSeen[i]) {
            EXPECT_EQ(0, Byte(rec, i)) << "offset " << i;
        }
    }
    EXPECT_EQ((std::vector<Logged>{
                  {nox::kLogInfo, "sock[7] respLen[143] host[10.0.0.9:5000] interface[0] ret[0]"}}),
              LinesOf("CCUHandler::handle_same_segment"));
}

// A set product type names the record and brings the web ports; a name
// longer than the record has room for is cut to 375 bytes.
TEST_F(BinaryReplyTest, ProductTypeSelectsWebPortsAndName)
{
    CServerConfig::instance()->webclientHttpPort = 8080;    // 0x1F90
    CServerConfig::instance()->webclientHttpsPort = 8443;   // 0x20FB
    for (const std::string& strType : {std::string("TRN V8"), std::string(400, 'N')}) {
        const std::string strName = strType.substr(0, 375);
        CServerConfig::instance()->m_strProductType = strType.c_str();
        StartHandler();
        const auto vecSent = Answer(MakeBinaryRequest());
        ASSERT_EQ(1u, vecSent.size());
        const std::string& rec = vecSent[0].strData;
        EXPECT_EQ(137 + strName.size(), rec.size());
        EXPECT_EQ(static_cast<int>((17 + strName.size()) & 0xFF), Byte(rec, 2));
        EXPECT_EQ((std::vector<int>{0x90, 0x1F, 0xFB, 0x20}),
                  (std::vector<int>{Byte(rec, 94), Byte(rec, 95), Byte(rec, 98), Byte(rec, 99)}));
        EXPECT_EQ(strName, rec.substr(137));
    }
}

TEST_F(BinaryReplyTest, EveryUsableRowAnswersUnderItsIndex)
{
    AddSecondAdapter();
    AddSecondAdapter();
    StartHandler();
    EXPECT_EQ(3u, Answer(MakeBinaryRequest()).size());
    m_pHandler->m_vecAdapter[1].isOK = 0;
    m_log.Clear();
    const auto vecSent = Answer(MakeBinaryRequest());
    ASSERT_EQ(2u, vecSent.size());
    EXPECT_EQ(192, Byte(vecSent[1].strData, 56));
    const auto vecLines = LinesOf("CCUHandler::handle_same_segment");
    ASSERT_EQ(2u, vecLines.size());
    EXPECT_NE(std::string::npos, vecLines[0].strText.find("interface[0]"));
    EXPECT_NE(std::string::npos, vecLines[1].strText.find("interface[2]"));
}

TEST_F(BinaryReplyTest, ShortRequestsAndEmptyTableGetNoAnswer)
{
    StartHandler();
    EXPECT_TRUE(Answer(MakeBinaryRequest(0, 0, 16)).empty());
    EXPECT_TRUE(Answer(MakeBinaryRequest(0, 0, 1)).empty());
    EXPECT_TRUE(m_log.Contains("short request len[16] host[10.0.0.9:5000]"));
    EXPECT_EQ(1u, Answer(MakeBinaryRequest(0, 0, 17)).size());

    m_host.m_vecAdapter.clear();
    StartHandler();
    EXPECT_TRUE(Answer(MakeBinaryRequest()).empty());
    EXPECT_TRUE(LinesOf("CCUHandler::handle_same_segment").empty());
}

TEST_F(BinaryReplyTest, AddressTextToOctets)
{
    const struct { const char* szText; uint8_t ab[4]; } aCase[] = {
        {"192.168.1.10", {192, 168, 1, 10}}, {"", {0, 0, 0, 0}},
        {"10.0.0", {10, 0, 0, 0}},           {"1.2.3.4.5.6", {1, 2, 3, 4}},
        {"256.300.-1.x", {0, 44, 255, 0}},   {" 7..9.", {7, 0, 9, 0}},
    };
    for (const auto& c : aCase) {
        uint8_t ab[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        velmora::AddressToOctets(c.szText, ab);
        EXPECT_EQ(std::vector<uint8_t>(c.ab, c.ab + 4), std::vector<uint8_t>(ab, ab + 4))
            << c.szText;
    }
}

}  // namespace
