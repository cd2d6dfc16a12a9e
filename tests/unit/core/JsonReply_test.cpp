// The JSON exchange: reply layout and members, configuration variants,
// method and parse errors, short and unterminated datagrams.
#include <json/json.h>

#include "CUListen/DiscoveryReply.h"
#include "HandlerFixture.h"

namespace {

class JsonReplyTest : public HandlerFixture {
protected:
    // Runs one request through intake and a worker step; the replies sent.
    std::vector<FakeNetEngine::Sent> Answer(const std::string& strReq)
    {
        m_clock.AdvanceMs(10000);
        Deliver(strReq, "10.0.0.9", 5000, 7);
        RunWorkerUntilIdle();
        return m_engine.TakeSent();
    }

    static Json::Value Body(const FakeNetEngine::Sent& sent)
    {
        Json::Value root;
        Json::Reader reader;
        EXPECT_TRUE(reader.parse(sent.strData.substr(velmora::kJsonHeaderLen), root));
        return root;
    }

    static size_t LenField(const std::string& strData, size_t nOffset)
    {
        return static_cast<uint8_t>(strData[nOffset]) |
               static_cast<size_t>(static_cast<uint8_t>(strData[nOffset + 1])) << 8;
    }
};

TEST_F(JsonReplyTest, ReplyKeepsTheHeaderAndCarriesTheDefaultDevice)
{
    StartHandler();
    std::string strTail;
    for (int i = 1; i < 32; ++i)
        strTail.push_back(static_cast<char>(0x80 + i));
    const std::string strReq = MakeJsonRequestText("{\"method\":\"KQDiscover.search\"}", true, strTail);
    const auto vecSent = Answer(strReq);
    ASSERT_EQ(1u, vecSent.size());
    const FakeNetEngine::Sent& sent = vecSent[0];
    EXPECT_EQ(7u, sent.sock);
    EXPECT_EQ("10.0.0.9", sent.strHost);
    EXPECT_EQ(5000, sent.nPort);

    const size_t nText = sent.strData.size() - velmora::kJsonHeaderLen;
    EXPECT_EQ(nText, LenField(sent.strData, 16));
    EXPECT_EQ(nText, LenField(sent.strData, 24));
    for (size_t i = 0; i < velmora::kJsonHeaderLen; ++i) {
        if (i != 16 && i != 17 && i != 24 && i != 25) {
            EXPECT_EQ(strReq[i], sent.strData[i]) << "header byte " << i;
        }
    }
    const std::string strText = sent.strData.substr(velmora::kJsonHeaderLen);
    EXPECT_EQ('\n', strText.back());
    EXPECT_EQ(std::string::npos, strText.find('\0'));

    const Json::Value root = Body(sent);
    EXPECT_EQ((Json::Value::Members{"mac", "method", "params"}), root.getMemberNames());
    EXPECT_EQ("client.notifyDevInfo", root["method"].asString());
    EXPECT_EQ("00:11:22:33:44:55", root["mac"].asString());
    EXPECT_EQ((Json::Value::Members{"deviceInfo"}), root["params"].getMemberNames());
    const Json::Value& dev = root["params"]["deviceInfo"];
    EXPECT_EQ((Json::Value::Members{"DeviceClass", "DeviceType", "HttpPort", "IPv4Address",
                                    "MachineName", "Port", "SerialNo", "Version"}),
              dev.getMemberNames());
    EXPECT_EQ("SN-TEST", dev["SerialNo"].asString());
    EXPECT_EQ("3.0", dev["Version"].asString());
    ASSERT_TRUE(dev["HttpPort"].isInt());
    ASSERT_TRUE(dev["Port"].isInt());
    EXPECT_EQ(80, dev["HttpPort"].asInt());
    EXPECT_EQ(47810, dev["Port"].asInt());   // the second listen endpoint
    EXPECT_EQ("Server", dev["MachineName"].asString());
    EXPECT_EQ("Server", dev["DeviceClass"].asString());
    EXPECT_EQ("Server", dev["DeviceType"].asString());
    const Json::Value& ip = dev["IPv4Address"];
    EXPECT_EQ((Json::Value::Members{"DefaultGateway", "DhcpEnable", "IPAddress", "SubnetMask"}),
              ip.getMemberNames());
    ASSERT_TRUE(ip["DhcpEnable"].isBool());
    EXPECT_FALSE(ip["DhcpEnable"].asBool());
    EXPECT_EQ("10.0.0.5", ip["IPAddress"].asString());
    EXPECT_EQ("255.255.255.0", ip["SubnetMask"].asString());
    EXPECT_EQ("10.0.0.1", ip["DefaultGateway"].asString());

    EXPECT_EQ((std::vector<Logged>{{nox::kLogInfo, "sock[7] respLen[" +
                                                       std::to_string(sent.strData.size()) +
                                                       "] host[10.0.0.9:5000] interface[eth0] ret[0]"}}),
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
    m_host.m_vecAdapter.push_back(nox::testing::ScopedHost::MakeAdapter(
        "eth1", "66:77:88:99:aa:bb", "192.168.100.200", "255.255.0.0", "192.168.0.1"));
    m_engine.m_nSendResult = -111;   // a failed send does not stop the next row
    StartHandler();
    const auto vecSent = Answer(MakeJsonRequest());
    ASSERT_EQ(2u, vecSent.size());
    EXPECT_NE(vecSent[0].strData.size(), vecSent[1].strData.size());
    Json::Value a = Body(vecSent[0]);
    Json::Value b = Body(vecSent[1]);
    EXPECT_EQ("66:77:88:99:aa:bb", b["mac"].asString());
    EXPECT_EQ("192.168.100.200", b["params"]["deviceInfo"]["IPv4Address"]["IPAddress"].asString());
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
        {"{\"params\":{}}", ""},
        {"{\"method\":5}", ""},
        {"{\"method\":{\"a\":1}}", ""},
        {"[\"KQDiscover.search\"]", ""},
        {"\"KQDiscover.search\"", ""},
        {"42", ""},
    };
    for (const auto& c : aCase) {
        m_log.Clear();
        nox::Ref<reqBuffer> req = MakeReq(MakeJsonRequestText(c.szText));
        EXPECT_EQ(CCUHandler::kErrMethod, m_pHandler->handle_different_segment(req)) << c.szText;
        EXPECT_FALSE(req);
        EXPECT_EQ((std::vector<Logged>{{nox::kLogDebug, std::string("method error! host[10.0.0.9:5000] method[") +
                                                            c.szMethod + "]"}}),
                  LinesOf("CCUHandler::handle_different_segment"))
            << c.szText;
    }
    EXPECT_TRUE(m_engine.TakeSent().empty());
}

TEST_F(JsonReplyTest, UnparsableShortAndUnterminatedDatagrams)
{
    StartHandler();
    for (const char* szText : {"{\"method\":", "not json", ""}) {
        m_log.Clear();
        nox::Ref<reqBuffer> req = MakeReq(MakeJsonRequestText(szText));
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

TEST_F(JsonReplyTest, HeaderWriterCountsEveryTextByte)
{
    const std::string strHeader = MakeJsonRequestText("", false, std::string(31, '\x11'));
    const std::string strOut = velmora::BuildJsonReply(strHeader.data(), std::string(300, 'x'));
    ASSERT_EQ(332u, strOut.size());
    EXPECT_EQ(0x2C, static_cast<uint8_t>(strOut[16]));
    EXPECT_EQ(0x01, static_cast<uint8_t>(strOut[17]));
    EXPECT_EQ(0x2C, static_cast<uint8_t>(strOut[24]));
    EXPECT_EQ(0x01, static_cast<uint8_t>(strOut[25]));
    EXPECT_EQ(0x11, strOut[18]);
    EXPECT_EQ(0x11, strOut[27]);
    EXPECT_EQ(std::string(300, 'x'), strOut.substr(32));
}

}  // namespace
