// velmora-search's wire side: the requests it sends, the decoding of both
// reply forms (whole, cut and junk), the merge into rows and the output.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <json/json.h>

#include "CUListen/Protocol.h"
#include "SearchOutput.h"
#include "SearchProto.h"

using namespace velmora;
using namespace velmora::search;

namespace {

Json::Value MakeReplyObject(const std::string& strMac = "02:00:00:00:00:01")
{
    Json::Value root;
    root["method"] = kNotifyMethod;
    root["mac"] = strMac;
    Json::Value& dev = root["params"]["deviceInfo"];
    dev["SerialNo"] = "SN-1";
    dev["Version"] = "3.0";
    dev["HttpPort"] = 80;
    dev["Port"] = 47810;
    dev["MachineName"] = "Server";
    dev["DeviceClass"] = "Server";
    dev["DeviceType"] = "Server";
    dev["IPv4Address"]["DhcpEnable"] = false;
    dev["IPv4Address"]["IPAddress"] = "10.88.0.1";
    dev["IPv4Address"]["SubnetMask"] = "255.255.255.0";
    dev["IPv4Address"]["DefaultGateway"] = "10.88.0.2";
    return root;
}

// A JSON reply as the responder sends it: header with both length fields,
// then the text without a terminator.
std::string MakeJsonReplyText(const std::string& strText)
{
    std::string strOut(kJsonHeaderLen, '\0');
    strOut[0] = static_cast<char>(kHeadJson);
    strOut[18] = 'x';   // header bytes the responder echoes from the request
    for (size_t nOff : {kJsonLenOffset1, kJsonLenOffset2}) {
        strOut[nOff] = static_cast<char>(strText.size() & 0xFF);
        strOut[nOff + 1] = static_cast<char>((strText.size() >> 8) & 0xFF);
    }
    return strOut + strText;
}

std::string MakeJsonReply(const Json::Value& root = MakeReplyObject())
{
    return MakeJsonReplyText(root.toStyledString());
}

std::string MakeBinaryReply(const std::string& strName = "Server",
                            const std::string& strMac = "02:00:00:00:00:01")
{
    std::string strOut(kBinNameOffset, '\0');
    strOut[0] = static_cast<char>(kHeadBinaryReply);
    strOut[kBinTailLenOffset] = static_cast<char>((kBinMacLen + strName.size()) & 0xFF);
    strOut[kBinMarkOffset] = static_cast<char>(kBinMark);
    const uint8_t kAddr[12] = {10, 88, 0, 1, 255, 255, 255, 0, 10, 88, 0, 2};
    for (size_t i = 0; i < 12; ++i)
        strOut[kBinAddrOffset + i] = static_cast<char>(kAddr[i]);
    strOut[kBinHttpPortOffset] = static_cast<char>(0x50);   // 80
    strOut[kBinPortOffset] = static_cast<char>(0xB2);       // 37810
    strOut[kBinPortOffset + 1] = static_cast<char>(0x93);
    strOut.replace(kBinMacOffset, std::min(strMac.size(), kBinMacLen), strMac, 0, kBinMacLen);
    return strOut + strName;
}

int Decode(const std::string& strData, AdapterReply& out, const char* szSrc = "10.88.0.1")
{
    return DecodeReply(strData.data(), strData.size(), szSrc, out);
}

}  // namespace

TEST(SearchRequestTest, BothRequestsHaveTheirWireLayout)
{
    const std::string strBody = "{\"method\":\"KQDiscover.search\"}";
    std::string strWant(32, '\0');
    strWant[0] = 0x20;
    strWant[16] = strWant[24] = static_cast<char>(strBody.size());
    EXPECT_EQ(strWant + strBody, MakeJsonSearchRequest());

    std::string strBin(32, '\0');
    strBin[0] = static_cast<char>(0xA3);
    EXPECT_EQ(strBin, MakeBinarySearchRequest());
}

TEST(SearchDecodeTest, JsonReplyGivesEveryField)
{
    AdapterReply r;
    ASSERT_EQ(kDecodeOk, Decode(MakeJsonReply(), r));
    EXPECT_EQ(kFormJson, r.nForm);
    EXPECT_EQ("10.88.0.1", r.strResponder);
    EXPECT_EQ("02:00:00:00:00:01", r.strMac);
    EXPECT_EQ("10.88.0.1", r.strAddr);
    EXPECT_EQ("255.255.255.0", r.strMask);
    EXPECT_EQ("10.88.0.2", r.strGateway);
    EXPECT_EQ("SN-1", r.strSerial);
    EXPECT_EQ("3.0", r.strVersion);
    EXPECT_EQ("Server", r.strMachineName);
    EXPECT_EQ("Server", r.strDeviceType);
    EXPECT_EQ(80, r.nHttpPort);
    EXPECT_EQ(47810, r.nPort);

    // Bytes after the announced text are not part of it.
    ASSERT_EQ(kDecodeOk, Decode(MakeJsonReply() + std::string("\0junk", 5), r));
    EXPECT_EQ("SN-1", r.strSerial);
}

TEST(SearchDecodeTest, JsonReplyCutOrBrokenIsSkippedByKind)
{
    AdapterReply r;
    const std::string strWhole = MakeJsonReply();
    EXPECT_EQ(kDecodeTruncated, Decode(strWhole.substr(0, 31), r));
    EXPECT_EQ(kDecodeTruncated, Decode(strWhole.substr(0, strWhole.size() - 1), r));
    EXPECT_EQ(kDecodeMalformed, Decode(MakeJsonReplyText("{\"method\": "), r));
    EXPECT_EQ(kDecodeMalformed, Decode(MakeJsonReplyText("[1, 2]"), r));
    std::string strZeroLen = strWhole;
    strZeroLen[16] = strZeroLen[17] = 0;
    EXPECT_EQ(kDecodeMalformed, Decode(strZeroLen, r));

    // A request (ours, looped back, or another client's) is not a reply.
    EXPECT_EQ(kDecodeForeign, Decode(MakeJsonSearchRequest(), r));
    Json::Value noDev = MakeReplyObject();
    noDev["params"]["deviceInfo"] = "text";
    EXPECT_EQ(kDecodeMalformed, Decode(MakeJsonReply(noDev), r));
    EXPECT_TRUE(r.strMac.empty()) << "a skipped reply leaves no partial fields";
}

TEST(SearchDecodeTest, JsonMembersOfTheWrongTypeReadAsMissing)
{
    Json::Value root = MakeReplyObject();
    root["params"]["deviceInfo"]["HttpPort"] = "80";
    root["params"]["deviceInfo"]["Port"] = 70000;
    root["params"]["deviceInfo"]["IPv4Address"] = Json::Value(Json::arrayValue);
    root["params"]["deviceInfo"]["SerialNo"] = Json::Value(Json::objectValue);
    AdapterReply r;
    ASSERT_EQ(kDecodeOk, Decode(MakeJsonReply(root), r));
    EXPECT_EQ(-1, r.nHttpPort);
    EXPECT_EQ(-1, r.nPort);
    EXPECT_EQ("", r.strAddr);
    EXPECT_EQ("", r.strSerial);
    EXPECT_EQ("3.0", r.strVersion);

    // Without a MAC text (the merge key) a reply is unusable, in either form.
    root["mac"] = 7;
    EXPECT_EQ(kDecodeMalformed, Decode(MakeJsonReply(root), r));
    EXPECT_EQ(kDecodeMalformed, Decode(MakeBinaryReply("Server", ""), r));
}

TEST(SearchDecodeTest, BinaryRecordGivesOctetsPortsMacAndName)
{
    AdapterReply r;
    ASSERT_EQ(kDecodeOk, Decode(MakeBinaryReply(), r));
    EXPECT_EQ(kFormBinary, r.nForm);
    EXPECT_EQ("10.88.0.1", r.strAddr);
    EXPECT_EQ("255.255.255.0", r.strMask);
    EXPECT_EQ("10.88.0.2", r.strGateway);
    EXPECT_EQ(80, r.nHttpPort);
    EXPECT_EQ(37810, r.nPort);
    EXPECT_EQ("02:00:00:00:00:01", r.strMac);
    EXPECT_EQ("Server", r.strMachineName);
    EXPECT_EQ("", r.strVersion);

    // A short MAC text ends at its NUL; a 375-byte name (length byte wraps) fits.
    ASSERT_EQ(kDecodeOk, Decode(MakeBinaryReply(std::string(375, 'n'), "ab:cd"), r));
    EXPECT_EQ("ab:cd", r.strMac);
    EXPECT_EQ(375u, r.strMachineName.size());
}

TEST(SearchDecodeTest, BinaryRecordCutOrForeignIsSkipped)
{
    AdapterReply r;
    const std::string strWhole = MakeBinaryReply("TRN V8");
    EXPECT_EQ(kDecodeTruncated, Decode(strWhole.substr(0, 136), r));
    EXPECT_EQ(kDecodeTruncated, Decode(strWhole.substr(0, strWhole.size() - 2), r));
    EXPECT_EQ(kDecodeMalformed, Decode(MakeBinaryReply(std::string(376, 'n')), r));
    std::string strNoMark = strWhole;
    strNoMark[kBinMarkOffset] = 0;
    EXPECT_EQ(kDecodeForeign, Decode(strNoMark, r));
    EXPECT_EQ(kDecodeForeign, Decode(MakeBinarySearchRequest(), r));
    EXPECT_EQ(kDecodeTruncated, Decode(std::string(), r));
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
        int nRet = Decode(strData, r);
        if (nRet != kDecodeOk) {
            EXPECT_TRUE(r.strMac.empty() && r.nForm == 0);
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
    table.Add(bin);           // binary first: the later JSON values still win
    table.Add(json);
    table.Add(json);          // a repeat changes nothing
    table.Add(other);
    table.Add(otherHost);
    ASSERT_EQ(3u, table.Rows().size());
    const ResponderRow& row = table.Rows()[0];
    EXPECT_EQ("json,binary", row.FormsText());
    EXPECT_EQ(47810, row.info.nPort);
    EXPECT_EQ("SN-1", row.info.strSerial);
    EXPECT_EQ("binary", table.Rows()[1].FormsText());
    EXPECT_EQ("10.89.0.1", table.Rows()[2].info.strResponder);

    // The MAC key ignores letter case and anything past 17 characters.
    AdapterReply upper = bin;
    upper.strMac = "02:00:00:00:00:0A";
    AdapterReply lower = json;
    lower.strMac = "02:00:00:00:00:0a\t";
    ResponderTable caseTable;
    caseTable.Add(upper);
    caseTable.Add(lower);
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
    std::string strErr;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    ASSERT_TRUE(reader->parse(strLine.data(), strLine.data() + strLine.size(), &parsed, &strErr));
    EXPECT_EQ("bad\x01name", parsed["machineName"].asString());
    EXPECT_EQ(37810, parsed["port"].asInt());
    EXPECT_EQ("binary", parsed["forms"].asString());
    EXPECT_TRUE(parsed["version"].asString().empty());

    const std::string strTable = FormatTable(table.Rows());
    EXPECT_EQ(3, std::count(strTable.begin(), strTable.end(), '\n'));
    EXPECT_NE(std::string::npos, strTable.find("bad?name"));
    EXPECT_NE(std::string::npos, strTable.find("SN-1"));
    // Columns line up: FORMS starts at the same offset on every line.
    size_t nCol = strTable.find("FORMS");
    size_t nSecond = strTable.find('\n') + 1;
    EXPECT_EQ("json", strTable.substr(nSecond + nCol, 4));
}
