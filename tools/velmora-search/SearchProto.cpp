#include "SearchProto.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <memory>

#include <json/json.h>

#include "CUListen/Protocol.h"

namespace velmora {
namespace search {

namespace {

const char kJsonBody[] = "{\"method\":\"KQDiscover.search\"}";

// JSON request header (32 bytes):
//   0       0x20
//   1..15   0
//   16, 17  body length, little-endian
//   18..23  0
//   24, 25  body length again
//   26..31  0
void PutLength(std::string& strOut, size_t nOffset, size_t nLen)
{
    strOut[nOffset] = static_cast<char>(nLen & 0xFF);
    strOut[nOffset + 1] = static_cast<char>((nLen >> 8) & 0xFF);
}

unsigned Byte(const char* pData, size_t nOffset)
{
    return static_cast<unsigned char>(pData[nOffset]);
}

unsigned Le16(const char* pData, size_t nOffset)
{
    return Byte(pData, nOffset) | (Byte(pData, nOffset + 1) << 8);
}

std::string Octets(const char* pData, size_t nOffset)
{
    char szBuf[16];
    std::snprintf(szBuf, sizeof(szBuf), "%u.%u.%u.%u", Byte(pData, nOffset),
                  Byte(pData, nOffset + 1), Byte(pData, nOffset + 2), Byte(pData, nOffset + 3));
    return szBuf;
}

// Text of at most nMax bytes, cut at the first NUL.
std::string BoundedText(const char* pData, size_t nMax)
{
    size_t n = 0;
    while (n < nMax && pData[n] != '\0')
        ++n;
    return std::string(pData, n);
}

// Members of a parsed value, read only when they have the expected type.
std::string MemberText(const Json::Value& obj, const char* szKey)
{
    if (!obj.isObject())
        return std::string();
    const Json::Value& val = obj[szKey];
    return val.isString() ? val.asString() : std::string();
}

int MemberInt(const Json::Value& obj, const char* szKey)
{
    if (!obj.isObject())
        return -1;
    const Json::Value& val = obj[szKey];
    if (!val.isInt())
        return -1;
    int n = val.asInt();
    return (n >= 0 && n <= 65535) ? n : -1;
}

const Json::Value& Member(const Json::Value& obj, const char* szKey)
{
    static const Json::Value kNull;
    return obj.isObject() ? obj[szKey] : kNull;
}

int Fail(int nResult, std::string* pWhy, const char* szWhy)
{
    if (pWhy)
        *pWhy = szWhy;
    return nResult;
}

int DecodeJson(const char* pData, size_t nLen, AdapterReply& out, std::string* pWhy)
{
    if (nLen < kJsonHeaderLen)
        return Fail(kDecodeTruncated, pWhy, "shorter than the 32-byte header");
    size_t nText = Le16(pData, kJsonLenOffset1);
    if (nText == 0)
        return Fail(kDecodeMalformed, pWhy, "length field is 0");
    if (nText > nLen - kJsonHeaderLen)
        return Fail(kDecodeTruncated, pWhy, "text shorter than its length field");

    const char* pText = pData + kJsonHeaderLen;
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string strErr;
    if (!reader->parse(pText, pText + nText, &root, &strErr))
        return Fail(kDecodeMalformed, pWhy, "JSON text does not parse");
    if (!root.isObject())
        return Fail(kDecodeMalformed, pWhy, "JSON text is not an object");
    if (MemberText(root, "method") != kNotifyMethod)
        return Fail(kDecodeForeign, pWhy, "not a client.notifyDevInfo message");

    const Json::Value& dev = Member(Member(root, "params"), "deviceInfo");
    if (!dev.isObject())
        return Fail(kDecodeMalformed, pWhy, "no params.deviceInfo object");
    const Json::Value& ipv4 = Member(dev, "IPv4Address");

    out.nForm = kFormJson;
    out.strMac = MemberText(root, "mac");
    out.strSerial = MemberText(dev, "SerialNo");
    out.strVersion = MemberText(dev, "Version");
    out.nHttpPort = MemberInt(dev, "HttpPort");
    out.nPort = MemberInt(dev, "Port");
    out.strMachineName = MemberText(dev, "MachineName");
    out.strDeviceClass = MemberText(dev, "DeviceClass");
    out.strDeviceType = MemberText(dev, "DeviceType");
    out.strAddr = MemberText(ipv4, "IPAddress");
    out.strMask = MemberText(ipv4, "SubnetMask");
    out.strGateway = MemberText(ipv4, "DefaultGateway");
    // With a product type set, the machine name is that type (not the device
    // type, the version name) and "Port" is the web front end's HTTPS port.
    if (out.strMachineName != out.strDeviceType)
        out.nHttpsPort = out.nPort;
    if (out.strMac.empty())
        return Fail(kDecodeMalformed, pWhy, "reply without a MAC text");
    return kDecodeOk;
}

// Binary reply record: see CUListen/Protocol.h for the offsets. The name runs
// from offset 137 to the end of the datagram; byte 2 holds (17 + its length)
// & 0xFF, which tells a cut record from a whole one.
int DecodeBinary(const char* pData, size_t nLen, AdapterReply& out, std::string* pWhy)
{
    if (nLen < kBinNameOffset)
        return Fail(kDecodeTruncated, pWhy, "binary record shorter than 137 bytes");
    if (nLen > kBinRecordMax)
        return Fail(kDecodeMalformed, pWhy, "binary record longer than 512 bytes");
    if (Byte(pData, kBinMarkOffset) != kBinMark)
        return Fail(kDecodeForeign, pWhy, "binary record without its mark byte");
    size_t nName = nLen - kBinNameOffset;
    if (Byte(pData, kBinTailLenOffset) != ((kBinMacLen + nName) & 0xFF))
        return Fail(kDecodeTruncated, pWhy, "binary record length byte disagrees");

    out.nForm = kFormBinary;
    out.strAddr = Octets(pData, kBinAddrOffset);
    out.strMask = Octets(pData, kBinMaskOffset);
    out.strGateway = Octets(pData, kBinGatewayOffset);
    out.nHttpPort = static_cast<int>(Le16(pData, kBinHttpPortOffset));
    out.nPort = static_cast<int>(Le16(pData, kBinPortOffset));
    out.strMac = BoundedText(pData + kBinMacOffset, kBinMacLen);
    out.strMachineName = std::string(pData + kBinNameOffset, nName);
    if (out.strMac.empty())
        return Fail(kDecodeMalformed, pWhy, "record without a MAC text");
    return kDecodeOk;
}

// Copies src's field into dst's when dst has none.
void Fill(std::string& strDst, const std::string& strSrc)
{
    if (strDst.empty())
        strDst = strSrc;
}

void Fill(int& nDst, int nSrc)
{
    if (nDst < 0)
        nDst = nSrc;
}

}  // namespace

std::string MakeJsonSearchRequest()
{
    const size_t nBody = sizeof(kJsonBody) - 1;
    std::string strOut(kJsonHeaderLen, '\0');
    strOut[0] = static_cast<char>(kHeadJson);
    PutLength(strOut, kJsonLenOffset1, nBody);
    PutLength(strOut, kJsonLenOffset2, nBody);
    strOut.append(kJsonBody, nBody);
    return strOut;
}

std::string MakeBinarySearchRequest()
{
    std::string strOut(kJsonHeaderLen, '\0');
    strOut[0] = static_cast<char>(kHeadBinary);
    return strOut;
}

int DecodeReply(const char* pData, size_t nLen, const std::string& strSource,
                AdapterReply& out, std::string* pWhy)
{
    out = AdapterReply();
    out.strResponder = strSource;
    if (pData == nullptr || nLen == 0)
        return Fail(kDecodeTruncated, pWhy, "empty datagram");
    int nRet = kDecodeForeign;
    try {
        switch (Byte(pData, 0)) {
        case kHeadJson:
            nRet = DecodeJson(pData, nLen, out, pWhy);
            break;
        case kHeadBinaryReply:
            nRet = DecodeBinary(pData, nLen, out, pWhy);
            break;
        default:
            nRet = Fail(kDecodeForeign, pWhy, "unknown first byte");
            break;
        }
    } catch (const std::exception&) {
        nRet = Fail(kDecodeMalformed, pWhy, "JSON content of the wrong shape");
    }
    if (nRet != kDecodeOk) {
        out = AdapterReply();
        out.strResponder = strSource;
    }
    return nRet;
}

std::string MacKey(const std::string& strMac)
{
    std::string strKey = strMac.substr(0, kBinMacLen);
    for (char& c : strKey)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return strKey;
}

std::string ResponderRow::FormsText() const
{
    std::string strOut;
    if (nForms & kFormJson)
        strOut = "json";
    if (nForms & kFormBinary)
        strOut += strOut.empty() ? "binary" : ",binary";
    return strOut;
}

void ResponderTable::Add(const AdapterReply& reply)
{
    const std::string strKey = MacKey(reply.strMac);
    for (ResponderRow& row : m_vecRow) {
        if (row.info.strResponder != reply.strResponder || MacKey(row.info.strMac) != strKey)
            continue;
        // The JSON form carries more; its values win over the binary ones.
        const bool bReplyWins = reply.nForm == kFormJson && !(row.nForms & kFormJson);
        AdapterReply merged = bReplyWins ? reply : row.info;
        const AdapterReply& other = bReplyWins ? row.info : reply;
        Fill(merged.strAddr, other.strAddr);
        Fill(merged.strMask, other.strMask);
        Fill(merged.strGateway, other.strGateway);
        Fill(merged.strMachineName, other.strMachineName);
        Fill(merged.strDeviceClass, other.strDeviceClass);
        Fill(merged.strDeviceType, other.strDeviceType);
        Fill(merged.strVersion, other.strVersion);
        Fill(merged.strSerial, other.strSerial);
        Fill(merged.nHttpPort, other.nHttpPort);
        Fill(merged.nPort, other.nPort);
        Fill(merged.nHttpsPort, other.nHttpsPort);
        row.info = merged;
        row.nForms |= reply.nForm;
        return;
    }
    if (m_vecRow.size() >= kMaxRows)
        return;
    ResponderRow row;
    row.info = reply;
    row.nForms = reply.nForm;
    m_vecRow.push_back(row);
}

}  // namespace search
}  // namespace velmora
