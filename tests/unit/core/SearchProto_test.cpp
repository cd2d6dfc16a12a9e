// velmora-search's wire side: the requests it sends, the decoding of both
// reply forms (whole, cut and junk), the merge into rows and the output.
#include <algorithm>
#include <memory>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <json/json.h>

#include "Requests.h"
#include "SearchOutput.h"
#include "SearchProto.h"

using namespace velmora;
using namespace velmora::search;

namespace {

Json::Value MakeReplyObject()
{
    Json::Value root;
    Json::Reader().parse(R"({"method": "client.notifyDevInfo", "mac": "02:00:00:00:00:01",
        "params": {"deviceInfo": {"SerialNo": "SN-1", "Version": "3.0", "HttpPort": 80,
            "Port": 47810, "MachineName": "Server", "DeviceClass": "Class",
            "DeviceType": "Type", "IPv4Address": {"DhcpEnable": false,
            "IPAddress": "10.88.0.1", "SubnetMask": "255.255.255.0",
            "DefaultGateway": "10.88.0.2"}}}})", root);
    return root;
}

std::string MakeJsonReply(const Json::Value& root = MakeReplyObject())
{
    return MakeJsonReplyText(root.toStyledString());
}

int Decode(const std::string& strData, AdapterReply& out, const char* szSrc = "10.88.0.1")
{
    return DecodeReply(strData.data(), strData.size(), szSrc, out);
}

// Every field of a decoded reply, in declaration order, joined by '|'.
std::string Fields(const AdapterReply& r)
{
    std::string strOut = r.strResponder + "|" + std::to_string(r.nForm);
    for (const std::string* p : {&r.strAddr, &r.strMask, &r.strGateway, &r.strMac,
                                 &r.strMachineName, &r.strDeviceClass, &r.strDeviceType,
                                 &r.strVersion, &r.strSerial})
        strOut += "|" + *p;
    return strOut + "|" + std::to_string(r.nHttpPort) + "|" + std::to_string(r.nPort);
}

// What a skipped datagram from 10.88.0.1 leaves: its source and nothing else.
const char kSkipped[] = "10.88.0.1|0||||||||||-1|-1";

}  // namespace

TEST(SearchRequestTest, BothRequestsHaveTheirWireLayout)
{
    const std::string strBody = "{\"method\":\"KQDiscover.search\"}";
    std::string strWant(32, '\0');
    strWant[0] = 0x20;
    strWant[16] = strWant[24] = static_cast<char>(strBody.size());
    EXPECT_EQ(strWant + strBody, MakeJsonSearchRequest());
    EXPECT_EQ("\xA3" + std::string(31, '\0'), MakeBinarySearchRequest());
}

TEST(SearchDecodeTest, WholeRepliesGiveEveryFieldTheirFormCarries)
{
    AdapterReply r;
    ASSERT_EQ(kDecodeOk, Decode(MakeJsonReply(), r));
    EXPECT_EQ("10.88.0.1|1|10.88.0.1|255.255.255.0|10.88.0.2|02:00:00:00:00:01|Server|Class|Type"
              "|3.0|SN-1|80|47810", Fields(r));
    // Bytes after the announced text are not part of it.
    r = AdapterReply();
    ASSERT_EQ(kDecodeOk, Decode(MakeJsonReply() + std::string("\0junk", 5), r));
    EXPECT_EQ("SN-1", r.strSerial);

    r = AdapterReply();
    ASSERT_EQ(kDecodeOk, Decode(MakeBinaryReply(), r, "10.88.0.7"));
    EXPECT_EQ("10.88.0.7|2|10.88.0.1|255.255.255.0|10.88.0.2|02:00:00:00:00:01|Server||||"
              "|80|37810", Fields(r));
    // A short MAC text ends at its NUL; a 375-byte name (length byte wraps) fits.
    ASSERT_EQ(kDecodeOk, Decode(MakeBinaryReply(std::string(375, 'n'), "ab:cd"), r));
    EXPECT_EQ("ab:cd", r.strMac);
    EXPECT_EQ(375u, r.strMachineName.size());
}

TEST(SearchDecodeTest, JsonMembersOfTheWrongTypeReadAsMissing)
{
    Json::Value root = MakeReplyObject();
    Json::Value& dev = root["params"]["deviceInfo"];
    dev["HttpPort"] = "80";
    dev["Port"] = 70000;
    dev["IPv4Address"] = Json::Value(Json::arrayValue);
    dev["SerialNo"] = Json::Value(Json::objectValue);
    AdapterReply r;
    ASSERT_EQ(kDecodeOk, Decode(MakeJsonReply(root), r));
    EXPECT_EQ("10.88.0.1|1||||02:00:00:00:00:01|Server|Class|Type|3.0||-1|-1", Fields(r));
}

TEST(SearchDecodeTest, CutBrokenOrForeignDatagramsAreSkippedByKind)
{
    const std::string strJson = MakeJsonReply();
    const std::string strBin = MakeBinaryReply("TRN V8");
    std::string strZeroLen = strJson;
    strZeroLen[16] = strZeroLen[17] = 0;
    std::string strNoMark = strBin;
    strNoMark[kBinMarkOffset] = 0;
    Json::Value noDev = MakeReplyObject();
    noDev["params"]["deviceInfo"] = "text";
    Json::Value noMac = MakeReplyObject();
    noMac["mac"] = 7;
    const struct {
        const char* szName;
        std::string strData;
        int nResult;
    } kCases[] = {
        {"empty", "", kDecodeTruncated},
        {"json header cut", strJson.substr(0, 31), kDecodeTruncated},
        {"json text cut", strJson.substr(0, strJson.size() - 1), kDecodeTruncated},
        {"json text broken", MakeJsonReplyText("{\"method\": "), kDecodeMalformed},
        {"json not an object", MakeJsonReplyText("[1, 2]"), kDecodeMalformed},
        {"json length 0", strZeroLen, kDecodeMalformed},
        {"json request", MakeJsonSearchRequest(), kDecodeForeign},
        {"no deviceInfo object", MakeJsonReply(noDev), kDecodeMalformed},
        {"json MAC not a text", MakeJsonReply(noMac), kDecodeMalformed},
        {"binary fixed part cut", strBin.substr(0, 136), kDecodeTruncated},
        {"binary name cut", strBin.substr(0, strBin.size() - 2), kDecodeTruncated},
        {"binary name too long", MakeBinaryReply(std::string(376, 'n')), kDecodeMalformed},
        {"binary without MAC", MakeBinaryReply("Server", ""), kDecodeMalformed},
        {"binary without mark", strNoMark, kDecodeForeign},
        {"binary request", MakeBinarySearchRequest(), kDecodeForeign},
    };
    for (const auto& c : kCases) {
        AdapterReply r;
        ASSERT_EQ(kDecodeOk, Decode(strJson, r));
        EXPECT_EQ(c.nResult, Decode(c.strData, r)) << c.szName;
        EXPECT_EQ(kSkipped, Fields(r)) << c.szName << ": no fields left over";
    }
}

TEST(SearchDecodeTest, NoPrefixOfAReplyDecodesAndJunkNeverCrashes)
{
    AdapterReply r;
    for (const std::string& strWhole : {MakeJsonReply(), MakeBinaryReply()}) {
        for (size_t n = 0; n < strWhole.size(); ++n)
            EXPECT_NE(kDecodeOk, Decode(strWhole.substr(0, n), r)) << "prefix of " << n;
    }
    // Random bytes behind each head, and random bit flips of whole replies:
    // decoding must stay inside the datagram (run under ASan in CI).
    std::mt19937 rng(12345);
    const std::string vecBase[] = {MakeJsonReply(), MakeBinaryReply()};
    for (int i = 0; i < 3000; ++i) {
        std::string strData = vecBase[i % 2];
        if (i % 3 == 0) {
            strData.resize(rng() % 600);
            for (char& c : strData)
                c = static_cast<char>(rng());
            if (!strData.empty())
                strData[0] = static_cast<char>(i % 2 ? kHeadBinaryReply : kHeadJson);
        } else {
            for (int k = 0; k < 4; ++k)
                strData[rng() % strData.size()] ^= static_cast<char>(1u << (rng() % 8));
        }
        if (Decode(strData, r) != kDecodeOk) {
            EXPECT_EQ(kSkipped, Fields(r));
        }
    }
}

TEST(SearchMergeTest, OneRowPerResponderAndMacWithJsonValuesFirst)
{
    AdapterReply json, bin, other, otherHost;
    ASSERT_EQ(kDecodeOk, Decode(MakeJsonReply(), json));
    ASSERT_EQ(kDecodeOk, Decode(MakeBinaryReply("Server", "02:00:00:00:00:01"), bin));
    ASSERT_EQ(kDecodeOk, Decode(MakeBinaryReply("Server", "02:00:00:00:00:02"), other));
    ASSERT_EQ(kDecodeOk, Decode(MakeJsonReply(), otherHost, "10.89.0.1"));

    ResponderTable table;
    for (const AdapterReply* p : {&bin, &json, &json, &other, &otherHost})
        table.Add(*p);   // binary first: the later JSON values still win; a repeat changes nothing
    ASSERT_EQ(3u, table.Rows().size());
    const ResponderRow& row = table.Rows()[0];
    EXPECT_EQ("json,binary", row.FormsText());
    EXPECT_EQ(47810, row.info.nPort);
    EXPECT_EQ("SN-1", row.info.strSerial);
    EXPECT_EQ("binary", table.Rows()[1].FormsText());
    EXPECT_EQ("10.89.0.1", table.Rows()[2].info.strResponder);

    // The MAC key ignores letter case and anything past 17 characters.
    bin.strMac = "02:00:00:00:00:0A";
    json.strMac = "02:00:00:00:00:0a\t";
    ResponderTable caseTable;
    caseTable.Add(bin);
    caseTable.Add(json);
    EXPECT_EQ(1u, caseTable.Rows().size());
}

TEST(SearchOutputTest, JsonLineParsesBackAndTableShowsEveryRow)
{
    AdapterReply json, bin;
    ASSERT_EQ(kDecodeOk, Decode(MakeJsonReply(), json));
    ASSERT_EQ(kDecodeOk, Decode(MakeBinaryReply("bad\x01name", "02:00:00:00:00:09"), bin));
    ResponderTable table;
    table.Add(json);
    table.Add(bin);

    const std::string strLine = FormatJsonLine(table.Rows()[1]);
    ASSERT_EQ('\n', strLine.back());
    EXPECT_EQ(strLine.size() - 1, strLine.find('\n')) << "one object on one line";
    Json::Value parsed;
    ASSERT_TRUE(Json::Reader().parse(strLine, parsed));
    EXPECT_EQ("bad\x01name", parsed["machineName"].asString());
    EXPECT_EQ(37810, parsed["port"].asInt());
    EXPECT_EQ("binary", parsed["forms"].asString());
    EXPECT_TRUE(parsed["version"].asString().empty());

    const std::string strTable = FormatTable(table.Rows());
    EXPECT_EQ(3, std::count(strTable.begin(), strTable.end(), '\n'));
    EXPECT_NE(std::string::npos, strTable.find("bad?name"));
    EXPECT_NE(std::string::npos, strTable.find("SN-1"));
    // Columns line up: FORMS starts at the same offset on every line.
    const size_t nCol = strTable.find("FORMS");
    EXPECT_EQ("json", strTable.substr(strTable.find('\n') + 1 + nCol, 4));
}
