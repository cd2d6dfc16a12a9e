// velmora-search's decoding of both reply forms: whole, cut, junk. (Its
// requests, the merge into rows and the output are checked end to end.)
#include <gtest/gtest.h>

#include "Requests.h"
#include "SearchProto.h"

using namespace velmora::search;

namespace {

const char kJsonText[] = R"({"method": "client.notifyDevInfo", "mac": "02:00:00:00:00:01",
    "params": {"deviceInfo": {"SerialNo": "SN-1", "Version": "3.0", "HttpPort": 80, "Port": 47810,
        "MachineName": "Server", "DeviceClass": "Class", "DeviceType": "Type", "IPv4Address":
        {"IPAddress": "10.88.0.1", "SubnetMask": "255.255.255.0", "DefaultGateway": "10.88.0.2"}}}})";

// A JSON reply of kJsonText with one text replaced.
std::string JsonWith(const std::string& strFrom = "", const std::string& strTo = "")
{
    std::string strText = kJsonText;
    return MakeJsonReplyText(strText.replace(strText.find(strFrom), strFrom.size(), strTo));
}

// Decodes as from 10.88.0.1, expecting nResult; every field of the result, joined by '|'.
std::string Decoded(const std::string& strData, int nResult = kDecodeOk)
{
    AdapterReply r;
    EXPECT_EQ(nResult, DecodeReply(strData.data(), strData.size(), "10.88.0.1", r));
    std::string strOut = r.strResponder + "|" + std::to_string(r.nForm);
    for (const std::string* p : {&r.strAddr, &r.strMask, &r.strGateway, &r.strMac, &r.strMachineName,
                                 &r.strDeviceClass, &r.strDeviceType, &r.strVersion, &r.strSerial})
        strOut += "|" + *p;
    return strOut + "|" + std::to_string(r.nHttpPort) + "|" + std::to_string(r.nPort);
}

}  // namespace

// Bytes after the announced text do not count; a wrongly typed member reads as missing.
TEST(SearchDecodeTest, WholeRepliesGiveEveryFieldTheirFormCarries)
{
    EXPECT_EQ("10.88.0.1|1|10.88.0.1|255.255.255.0|10.88.0.2|02:00:00:00:00:01|Server|Class|Type"
              "|3.0|SN-1|80|47810", Decoded(JsonWith() + std::string("\0junk", 5)));
    EXPECT_EQ("10.88.0.1|2|10.88.0.1|255.255.255.0|10.88.0.2|ab:cd|" + std::string(375, 'n') + "|||||80|37810",
              Decoded(MakeBinaryReply(std::string(375, 'n'), "ab:cd")));   // the length byte wraps
    EXPECT_EQ("10.88.0.1|1|10.88.0.1|255.255.255.0|10.88.0.2|02:00:00:00:00:01|Server|Class|Type"
              "|3.0|SN-1|-1|47810", Decoded(JsonWith("\"HttpPort\": 80", "\"HttpPort\": \"80\"")));
}

// A skipped datagram leaves nothing but its source; no prefix of a reply decodes.
TEST(SearchDecodeTest, CutBrokenOrForeignDatagramsAreSkippedByKind)
{
    const std::string strJson = JsonWith(), strBin = MakeBinaryReply("TRN V8");
    std::string strZeroLen = strJson, strNoMark = strBin;
    strZeroLen[16] = strZeroLen[17] = 0;
    strNoMark[4] = 0;
    const struct { const char* szName; std::string strData; int nResult; } kCases[] = {
        {"empty", "", kDecodeTruncated},
        {"json text cut", strJson.substr(0, strJson.size() - 1), kDecodeTruncated},
        {"json text broken", MakeJsonReplyText("{\"method\": "), kDecodeMalformed},
        {"json not an object", MakeJsonReplyText("[1, 2]"), kDecodeMalformed},
        {"json length 0", strZeroLen, kDecodeMalformed},
        {"json request", MakeJsonReplyText("{\"method\":\"KQDiscover.search\"}"), kDecodeForeign},
        {"no deviceInfo object", JsonWith("{\"SerialNo\"", "7, \"x\": {\"SerialNo\""), kDecodeMalformed},
        {"json MAC not a text", JsonWith("\"02:00:00:00:00:01\"", "7"), kDecodeMalformed},
        {"binary name cut", strBin.substr(0, strBin.size() - 2), kDecodeTruncated},
        {"binary name too long", MakeBinaryReply(std::string(376, 'n')), kDecodeMalformed},
        {"binary without MAC", MakeBinaryReply("Server", ""), kDecodeMalformed},
        {"binary without mark", strNoMark, kDecodeForeign},
        {"binary request", "\xA3" + std::string(31, '\0'), kDecodeForeign},
    };
    for (const auto& c : kCases)
        EXPECT_EQ("10.88.0.1|0||||||||||-1|-1", Decoded(c.strData, c.nResult)) << c.szName;
    for (const std::string& strWhole : {strJson, strBin}) {
        for (size_t n = 0; n < strWhole.size(); ++n) {
            AdapterReply r;
            EXPECT_NE(kDecodeOk, DecodeReply(strWhole.data(), n, "x", r)) << "prefix of " << n;
        }
    }
}
