// The JSON exchange: reply layout and members, configuration variants,
// method and parse errors, short and unterminated datagrams.
#include <json/json.h>

#include "HandlerFixture.h"

namespace {

class JsonReplyTest : public HandlerFixture {
protected:
    static Json::Value Parse(const std::string& strText)
    {
        Json::Value root;
        EXPECT_TRUE(Json::Reader().parse(strText, root)) << strText;
        return root;
    }

    static Json::Value Body(const FakeNetEngine::Sent& sent)
    {
        return Parse(sent.strData.substr(velmora::kJsonHeaderLen));
    }
};

TEST_F(JsonReplyTest, ReplyKeepsTheHeaderAndCarriesTheDefaultDevice)
{
    StartHandler();
    std::string strTail;
    for (int i = 1; i < 32; ++i)
        strTail.push_back(static_cast<char>(0x80 + i));
    const std::string strReq = MakeJsonRequestText("{\"method\":\"KQDiscover.search\"}", true,
                                                   strTail);
    const auto vecSent = Answer(strReq);
    ASSERT_EQ(1u, vecSent.size());
    const FakeNetEngine::Sent& sent = vecSent[0];
    EXPECT_EQ(7u, sent.sock);
    EXPECT_EQ("10.0.0.9", sent.strHost);
    EXPECT_EQ(5000, sent.nPort);

    // Both length fields count the text, little-endian; it is long enough
    // to need the high byte. Every other header byte is the request's.
    const size_t nText = sent.strData.size() - velmora::kJsonHeaderLen;
    ASSERT_GT(nText, 255u);
    for (size_t nOff : {16, 24})
        EXPECT_EQ(nText, Byte(sent.strData, nOff) | Byte(sent.strData, nOff + 1) << 8) << nOff;
    for (size_t i = 0; i < velmora::kJsonHeaderLen; ++i) {
        if (i != 16 && i != 17 && i != 24 && i != 25) {
            EXPECT_EQ(strReq[i], sent.strData[i]) << "header byte " << i;
        }
    }
    const std::string strText = sent.strData.substr(velmora::kJsonHeaderLen);
    EXPECT_EQ('\n', strText.back());
    EXPECT_EQ(std::string::npos, strText.find('\0'));

    // Exact members and types: the port is the second listen endpoint's.
    EXPECT_EQ(Parse(R"({"mac": "00:11:22:33:44:55", "method": "client.notifyDevInfo",
        "params": {"deviceInfo": {"SerialNo": "SN-TEST", "Version": "3.0", "HttpPort": 80,
            "Port": 47810, "MachineName": "Server", "DeviceClass": "Server",
            "DeviceType": "Server", "IPv4Address": {"DhcpEnable": false,
            "IPAddress": "10.0.0.5", "SubnetMask": "255.255.255.0",
            "DefaultGateway": "10.0.0.1"}}}})"),
              Parse(strText));
    const std::string strLine = "sock[7] respLen[" + std::to_string(sent.strData.size()) +
                                "] host[10.0.0.9:5000] interface[eth0] ret[0]";
    EXPECT_EQ((std::vector<Logged>{{nox::kLogInfo, strLine}}),
              LinesOf("CCUHandler::handle_different_segment"));
}

TEST_F(JsonReplyTest, ProductTypeSelectsWebPortsAndName)
{
    CServerConfig* pConfig = CServerConfig::instance();
    pConfig->m_strProductType = "TRN V8";
    pConfig->webclientHttpPort = 8080;
    pConfig->webclientHttpsPort = 8443;
    StartHandler();
    m_host.m_strSerial = "SN-LATER";   // read again for every request
    const auto vecSent = Answer(MakeJsonRequest());
    ASSERT_EQ(1u, vecSent.size());
    const Json::Value dev = Body(vecSent[0])["params"]["deviceInfo"];
    EXPECT_EQ(8080, dev["HttpPort"].asInt());
    EXPECT_EQ(8443, dev["Port"].asInt());
    EXPECT_EQ("TRN V8", dev["MachineName"].asString());
    EXPECT_EQ("TRN V8", dev["DeviceClass"].asString());
    EXPECT_EQ("Server", dev["DeviceType"].asString());
    EXPECT_EQ("SN-LATER", dev["SerialNo"].asString());
}

TEST_F(JsonReplyTest, TwoAdaptersGiveRepliesDifferingOnlyInAdapterFields)
{
    AddSecondAdapter();
    m_engine.m_nSendResult = -111;   // a failed send does not stop the next row
    StartHandler();
    const auto vecSent = Answer(MakeJsonRequest());
    ASSERT_EQ(2u, vecSent.size());
    Json::Value a = Body(vecSent[0]);
    Json::Value b = Body(vecSent[1]);
    EXPECT_EQ("66:77:88:99:aa:bb", b["mac"].asString());
    EXPECT_EQ("192.168.1.10", b["params"]["deviceInfo"]["IPv4Address"]["IPAddress"].asString());
    for (Json::Value* p : {&a, &b}) {
        p->removeMember("mac");
        (*p)["params"]["deviceInfo"].removeMember("IPv4Address");
    }
    EXPECT_EQ(a, b);
    EXPECT_EQ(vecSent[0].strData.substr(0, 16), vecSent[1].strData.substr(0, 16));
    EXPECT_TRUE(m_log.Contains("sock[7] respLen[" + std::to_string(vecSent[1].strData.size()) +
                               "] host[10.0.0.9:5000] interface[eth1] ret[-111]"));

    // A "mac" in the request's params restricts nothing.
    const auto vecWithMac = Answer(MakeJsonRequestText(
        "{\"method\":\"KQDiscover.search\",\"params\":{\"mac\":\"66:77:88:99:aa:bb\"}}"));
    ASSERT_EQ(2u, vecWithMac.size());
    EXPECT_EQ(vecSent[0].strData, vecWithMac[0].strData);
    EXPECT_EQ(vecSent[1].strData, vecWithMac[1].strData);
}

TEST_F(JsonReplyTest, WrongMethodOrShapeIsAMethodError)
{
    StartHandler();
    const struct { const char* szText; const char* szMethod; } aCase[] = {
        {"{\"method\":\"kqdiscover.search\"}", "kqdiscover.search"},
        {"{\"params\":{}}", ""}, {"{\"method\":5}", "5"}, {"{\"method\":true}", "true"},
        {"{\"method\":{\"a\":1}}", ""}, {"{\"method\":[1]}", ""},
        {"[\"KQDiscover.search\"]", ""}, {"\"KQDiscover.search\"", ""}, {"42", ""},
    };
    for (const auto& c : aCase) {
        SCOPED_TRACE(c.szText);
        m_log.Clear();
        nox::Ref<reqBuffer> req = MakeReq(MakeJsonRequestText(c.szText));
        EXPECT_EQ(CCUHandler::kErrMethod, m_pHandler->handle_different_segment(req));
        EXPECT_FALSE(req);
        EXPECT_EQ((std::vector<Logged>{{nox::kLogDebug,
                                        std::string("method error! host[10.0.0.9:5000] method[") +
                                            c.szMethod + "]"}}),
                  LinesOf("CCUHandler::handle_different_segment"));
    }
    EXPECT_TRUE(m_engine.TakeSent().empty());
}

TEST_F(JsonReplyTest, UnparsableShortAndUnterminatedDatagrams)
{
    StartHandler();
    for (const std::string& strText : {std::string("{\"method\":"), std::string("not json"),
                                       std::string(), std::string(5000, '[')}) {
        m_log.Clear();
        nox::Ref<reqBuffer> req = MakeReq(MakeJsonRequestText(strText));
        EXPECT_EQ(CCUHandler::kErrParse, m_pHandler->handle_different_segment(req));
        const auto vecLines = LinesOf("CCUHandler::handle_different_segment");
        ASSERT_EQ(1u, vecLines.size());
        EXPECT_EQ(nox::kLogError, vecLines[0].nLevel);
        EXPECT_EQ(0u, vecLines[0].strText.find("parse failed! host[10.0.0.9:5000] request["));
    }

    m_log.Clear();
    nox::Ref<reqBuffer> req = MakeReq(std::string(20, '\x20'));
    EXPECT_EQ(CCUHandler::kErrParse, m_pHandler->handle_different_segment(req));
    EXPECT_EQ((std::vector<Logged>{{nox::kLogDebug, "short request len[20] host[10.0.0.9:5000]"}}),
              LinesOf("CCUHandler::handle_different_segment"));
    EXPECT_TRUE(m_engine.TakeSent().empty());

    // No zero after the text: the text ends with the datagram.
    EXPECT_EQ(1u, Answer(MakeJsonRequestText("{\"method\":\"KQDiscover.search\"}", false)).size());
    // Bytes after the first zero are not part of the text.
    EXPECT_EQ(1u, Answer(MakeJsonRequest() + "garbage").size());
}

}  // namespace
