// The JSON exchange: reply layout and members, the settings both reply forms
// take from the configuration, and requests that get no answer.
#include <json/json.h>

#include "CUListen/DiscoveryReply.h"
#include "HandlerFixture.h"

namespace {

Json::Value Parse(const std::string& strText)
{
    Json::Value root;
    EXPECT_TRUE(Json::Reader().parse(strText, root)) << strText;
    return root;
}

using JsonReplyTest = HandlerFixture;

// The reply goes back to the sender through the request's socket; its header
// is the request's with both length fields counting the text (little-endian,
// here above 255), then the notify object.
TEST_F(JsonReplyTest, ReplyKeepsTheHeaderAndCarriesEveryMember)
{
    StartHandler();
    std::string strTail;
    for (int i = 1; i < 32; ++i)
        strTail.push_back(static_cast<char>(0x80 + i));
    const std::string strReq = MakeJsonRequestText("{\"method\":\"KQDiscover.search\"}", true, strTail);
    const auto vecSent = Answer(strReq);
    ASSERT_EQ(1u, vecSent.size());
    const std::string& strData = vecSent[0].strData;
    EXPECT_EQ("10.0.0.9:5000 on 7", vecSent[0].strHost + ":" + std::to_string(vecSent[0].nPort) + " on " +
                                        std::to_string(vecSent[0].sock));
    const size_t nText = strData.size() - 32;
    ASSERT_GT(nText, 255u);
    std::string strHeader = strReq.substr(0, 32);
    strHeader[16] = strHeader[24] = static_cast<char>(nText & 0xFF);
    strHeader[17] = strHeader[25] = static_cast<char>(nText >> 8);
    EXPECT_EQ(strHeader, strData.substr(0, 32));
    EXPECT_EQ(Parse(R"({"mac": "00:11:22:33:44:55", "method": "client.notifyDevInfo",
        "params": {"deviceInfo": {"SerialNo": "SN-TEST", "Version": "3.0", "HttpPort": 80,
            "Port": 47810, "MachineName": "Server", "DeviceClass": "Server",
            "DeviceType": "Server", "IPv4Address": {"DhcpEnable": false,
            "IPAddress": "10.0.0.5", "SubnetMask": "255.255.255.0",
            "DefaultGateway": "10.0.0.1"}}}})"),
              Parse(strData.substr(32)));
    EXPECT_EQ((std::vector<std::string>{"sock[7] respLen[" + std::to_string(strData.size()) +
                                        "] host[10.0.0.9:5000] interface[eth0] ret[0]"}),
              LinesOf("CCUHandler::handle_different_segment"));
}

// Each worker keeps the reply texts; a new serial number text makes them
// anew; a text too long for the 256-byte buffer is cut to its 255 bytes.
TEST_F(JsonReplyTest, RepliesFollowTheSerialNumberText)
{
    StartHandler();
    const std::vector<std::string> vecSerial{"SN-1", "SN-2", "SN-2", "SN-1", std::string(300, 'S')};
    for (const std::string& strSerial : vecSerial) {
        m_host.m_strSerial = strSerial;
        const auto vecSent = Answer(MakeJsonRequest());
        ASSERT_EQ(1u, vecSent.size());
        EXPECT_EQ(strSerial.substr(0, 255),
                  Parse(vecSent[0].strData.substr(32))["params"]["deviceInfo"]["SerialNo"].asString());
    }
}

// With the product type "Null": the version name, HTTP port 80 and the port of
// listen entry 1 (JSON) or 0 (binary); a set product type names the device
// and brings the web front end's ports.
TEST(ReplySettingsTest, ProductTypeChoosesNameAndPorts)
{
    CServerConfig config;
    config.m_vecListenAddr.resize(2);
    config.m_vecListenAddr[0].m_nPort = 37810;
    config.m_vecListenAddr[1].m_nPort = 47810;
    config.m_strVersionName = "Srv";
    config.webclientHttpPort = 8080;
    config.webclientHttpsPort = 8443;
    std::string strOut;
    for (const char* szType : {"Null", "TRN V8"}) {
        config.m_strProductType = szType;
        for (const velmora::ReplySettings& s : {velmora::JsonSettings(config, "SN"), velmora::BinarySettings(config)})
            strOut += s.strSerial + "|" + s.strVersion + "|" + std::to_string(s.nHttpPort) + "|" +
                      std::to_string(s.nPort) + "|" + s.strMachineName + "|" + s.strDeviceType + " ";
    }
    EXPECT_EQ("SN|3.0|80|47810|Srv|Srv |3.0|80|37810|Srv|Srv SN|3.0|8080|8443|TRN V8|Srv |3.0|8080|8443|TRN V8|Srv ",
              strOut);
}

// One reply per adapter, with that adapter's fields, also after a failed send.
TEST_F(JsonReplyTest, EveryAdapterAnswersWithItsOwnFields)
{
    m_host.m_vecAdapter.push_back(nox::testing::ScopedHost::MakeAdapter(
        "eth1", "66:77:88:99:aa:bb", "192.168.1.10", "255.255.0.0", "0.0.0.0"));
    m_engine.m_nSendResult = -111;
    StartHandler();
    const auto vecSent = Answer(MakeJsonRequest());
    ASSERT_EQ(2u, vecSent.size());
    Json::Value a = Parse(vecSent[0].strData.substr(32)), b = Parse(vecSent[1].strData.substr(32));
    EXPECT_EQ("66:77:88:99:aa:bb 192.168.1.10",
              b["mac"].asString() + " " + b["params"]["deviceInfo"]["IPv4Address"]["IPAddress"].asString());
    for (Json::Value* p : {&a, &b}) {
        p->removeMember("mac");
        (*p)["params"]["deviceInfo"].removeMember("IPv4Address");
    }
    EXPECT_EQ(a, b);
}

// Wrong shapes are method errors, texts that do not parse and datagrams
// shorter than the header are parse errors; none is answered. The text ends
// at the first zero byte or with the datagram.
TEST_F(JsonReplyTest, OnlyAWellFormedSearchIsAnswered)
{
    StartHandler();
    const struct { std::string strData; int nResult; const char* szLine; } kCases[] = {
        {MakeJsonRequest("kqdiscover.search"), CCUHandler::kErrMethod,
         "method error! host[10.0.0.9:5000] method[kqdiscover.search]"},
        {MakeJsonRequestText("{\"method\":5}"), CCUHandler::kErrMethod, "method error! host[10.0.0.9:5000] method[5]"},
        {MakeJsonRequestText("{\"method\":true}"), CCUHandler::kErrMethod, "method error! host[10.0.0.9:5000] method[true]"},
        {MakeJsonRequestText("{\"params\":{}}"), CCUHandler::kErrMethod, "method error!"},
        {MakeJsonRequestText("[\"KQDiscover.search\"]"), CCUHandler::kErrMethod, "method error!"},
        {MakeJsonRequestText("{\"method\":"), CCUHandler::kErrParse, "parse failed! host"},
        {MakeJsonRequestText(""), CCUHandler::kErrParse, "parse failed! host"},
        {MakeJsonRequestText(std::string(5000, '[')), CCUHandler::kErrParse, "parse failed! host"},
        {std::string(31, '\x20'), CCUHandler::kErrParse, "short request len[31] host[10.0.0.9:5000]"},
        {MakeJsonRequestText("{\"method\":\"KQDiscover.search\"}", false), 0, "sock[7] respLen"},
        {MakeJsonRequest() + "junk", 0, "sock[7] respLen"},
    };
    for (const auto& c : kCases) {
        m_log.Clear();
        nox::Ref<reqBuffer> req = MakeReq(c.strData);
        EXPECT_EQ(c.nResult, m_pHandler->handle_different_segment(req)) << c.szLine;
        EXPECT_EQ(c.nResult == 0 ? 1u : 0u, m_engine.TakeSent().size()) << c.szLine;
        const auto vecLines = LinesOf("CCUHandler::handle_different_segment");
        EXPECT_TRUE(vecLines.size() == 1 && vecLines[0].find(c.szLine) == 0) << c.szLine;
    }
}

}  // namespace
