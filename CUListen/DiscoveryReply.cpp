#include "CUListen/DiscoveryReply.h"

#include <cstring>
#include <sstream>
#include <string>

#include <json/json.h>

#include "Service/Service.h"
#include "nox/Str.h"

namespace velmora {

namespace {

const char kNullProduct[] = "Null";
const int kDefaultHttpPort = 80;

bool ProductTypeSet(const CServerConfig& config)
{
    return config.m_strProductType != kNullProduct;
}

int ListenPort(const CServerConfig& config, size_t nIndex)
{
    return nIndex < config.m_vecListenAddr.size() ? config.m_vecListenAddr[nIndex].m_nPort : 0;
}

ReplySettings CommonSettings(const CServerConfig& config)
{
    ReplySettings settings;
    settings.strVersion = config.m_strVersionNum.str();
    settings.strDeviceType = config.m_strVersionName.str();
    if (ProductTypeSet(config)) {
        settings.nHttpPort = config.webclientHttpPort;
        settings.nPort = config.webclientHttpsPort;
        settings.strMachineName = config.m_strProductType.str();
    } else {
        settings.nHttpPort = kDefaultHttpPort;
        settings.strMachineName = config.m_strVersionName.str();
    }
    return settings;
}

void PutLe16(uint8_t* pOut, int nValue)
{
    pOut[0] = static_cast<uint8_t>(nValue & 0xFF);
    pOut[1] = static_cast<uint8_t>((nValue >> 8) & 0xFF);
}

}  // namespace

ReplySettings JsonSettings(const CServerConfig& config, const char* szSerial)
{
    ReplySettings settings = CommonSettings(config);
    settings.strSerial = szSerial ? szSerial : "";
    if (!ProductTypeSet(config))
        settings.nPort = ListenPort(config, 1);
    return settings;
}

ReplySettings BinarySettings(const CServerConfig& config)
{
    ReplySettings settings = CommonSettings(config);
    if (!ProductTypeSet(config))
        settings.nPort = ListenPort(config, 0);
    return settings;
}

std::string BuildJsonText(const AdapterEntry& row, const ReplySettings& settings)
{
    // Built in place (members sort by key whatever the order of insertion).
    Json::Value root(Json::objectValue);
    root["method"] = Json::Value(kNotifyMethod);
    root["mac"] = Json::Value(nox::Str::field(row.macAddr));
    Json::Value& device = root["params"]["deviceInfo"];
    device["SerialNo"] = Json::Value(settings.strSerial);
    device["Version"] = Json::Value(settings.strVersion);
    device["HttpPort"] = Json::Value(settings.nHttpPort);
    device["Port"] = Json::Value(settings.nPort);
    device["MachineName"] = Json::Value(settings.strMachineName);
    device["DeviceClass"] = Json::Value(settings.strMachineName);
    device["DeviceType"] = Json::Value(settings.strDeviceType);
    Json::Value& ipv4 = device["IPv4Address"];
    ipv4["DhcpEnable"] = Json::Value(false);
    ipv4["IPAddress"] = Json::Value(nox::Str::field(row.hostAddr));
    ipv4["SubnetMask"] = Json::Value(nox::Str::field(row.subNetMask));
    ipv4["DefaultGateway"] = Json::Value(nox::Str::field(row.gateWayAddr));
    return root.toStyledString();
}

void BuildJsonReply(const char* pHeader, const std::string& strText, std::string& strOut)
{
    const size_t nLen = strText.size();
    strOut.assign(pHeader, kJsonHeaderLen);
    strOut.append(strText);
    for (size_t nOffset : {kJsonLenOffset1, kJsonLenOffset2}) {
        strOut[nOffset] = static_cast<char>(nLen & 0xFF);
        strOut[nOffset + 1] = static_cast<char>((nLen >> 8) & 0xFF);
    }
}

size_t BuildBinaryReply(const AdapterEntry& row, const ReplySettings& settings,
                        uint8_t byEcho1, uint8_t byEcho16, uint8_t (&abRecord)[kBinRecordMax])
{
    std::memset(abRecord, 0, sizeof(abRecord));
    abRecord[0] = kHeadBinaryReply;
    abRecord[kBinEchoOffset1] = byEcho1;
    abRecord[kBinMarkOffset] = kBinMark;
    abRecord[kBinEchoOffset16] = byEcho16;

    uint8_t abOctets[4];
    AddressToOctets(nox::Str::field(row.hostAddr).c_str(), abOctets);
    std::memcpy(abRecord + kBinAddrOffset, abOctets, sizeof(abOctets));
    AddressToOctets(nox::Str::field(row.subNetMask).c_str(), abOctets);
    std::memcpy(abRecord + kBinMaskOffset, abOctets, sizeof(abOctets));
    AddressToOctets(nox::Str::field(row.gateWayAddr).c_str(), abOctets);
    std::memcpy(abRecord + kBinGatewayOffset, abOctets, sizeof(abOctets));

    PutLe16(abRecord + kBinHttpPortOffset, settings.nHttpPort);
    PutLe16(abRecord + kBinPortOffset, settings.nPort);

    // The MAC field is copied as it stands, 17 bytes of its 32.
    std::memcpy(abRecord + kBinMacOffset, row.macAddr, kBinMacLen);
    // A longer name is cut to what the record holds rather than dropping the reply.
    const size_t nName = settings.strMachineName.size() < kBinNameMax
                             ? settings.strMachineName.size() : kBinNameMax;
    std::memcpy(abRecord + kBinNameOffset, settings.strMachineName.data(), nName);
    abRecord[kBinTailLenOffset] = static_cast<uint8_t>((kBinMacLen + nName) & 0xFF);
    return kBinNameOffset + nName;
}

void AddressToOctets(const char* szAddr, uint8_t (&abOctets)[4])
{
    std::istringstream in(szAddr != nullptr ? szAddr : "");
    std::string strPiece;
    for (uint8_t& byOctet : abOctets) {
        const bool bPiece = static_cast<bool>(std::getline(in, strPiece, '.'));
        byOctet = static_cast<uint8_t>(bPiece ? nox::Str(strPiece.c_str()).asInt() & 0xFF : 0);
    }
}

}  // namespace velmora
