// Builders of discovery datagrams for tests: requests and replies.
#pragma once

#include <algorithm>
#include <string>

#include "CUListen/Protocol.h"

// A JSON request: byte 0 = 0x20, header bytes 1..31 = 0 unless given, then
// strText and a terminating zero (bTerminate false leaves it off).
inline std::string MakeJsonRequestText(const std::string& strText, bool bTerminate = true,
                                       const std::string& strHeaderTail = std::string())
{
    std::string strOut(velmora::kJsonHeaderLen, '\0');
    strOut[0] = static_cast<char>(velmora::kHeadJson);
    for (size_t i = 0; i < strHeaderTail.size() && i + 1 < velmora::kJsonHeaderLen; ++i)
        strOut[i + 1] = strHeaderTail[i];
    strOut += strText;
    if (bTerminate)
        strOut.push_back('\0');
    return strOut;
}

inline std::string MakeJsonRequest(const std::string& strMethod = velmora::kSearchMethod)
{
    return MakeJsonRequestText("{\"method\":\"" + strMethod + "\"}");
}

// A binary request of nLen bytes (at least 17 for an answer): byte 0 = 0xA3,
// byte 1 and byte 16 as given, the rest byFill.
inline std::string MakeBinaryRequest(unsigned char byEcho1 = 0, unsigned char byEcho16 = 0,
                                     size_t nLen = velmora::kBinRequestMinLen,
                                     char byFill = '\0')
{
    std::string strOut(nLen, byFill);
    if (nLen > 0)
        strOut[0] = static_cast<char>(velmora::kHeadBinary);
    if (nLen > 1)
        strOut[1] = static_cast<char>(byEcho1);
    if (nLen > 16)
        strOut[16] = static_cast<char>(byEcho16);
    return strOut;
}

// A JSON reply as the responder sends it: header with both length fields
// and byte 18 set (the responder echoes the request's header), then the text
// without a terminator.
inline std::string MakeJsonReplyText(const std::string& strText)
{
    std::string strOut(velmora::kJsonHeaderLen, '\0');
    strOut[0] = static_cast<char>(velmora::kHeadJson);
    strOut[18] = 'x';
    for (size_t nOff : {velmora::kJsonLenOffset1, velmora::kJsonLenOffset2}) {
        strOut[nOff] = static_cast<char>(strText.size() & 0xFF);
        strOut[nOff + 1] = static_cast<char>((strText.size() >> 8) & 0xFF);
    }
    return strOut + strText;
}

// A binary reply record for 10.88.0.1/255.255.255.0 gateway 10.88.0.2,
// HTTP port 80 and port 37810.
inline std::string MakeBinaryReply(const std::string& strName = "Server",
                                   const std::string& strMac = "02:00:00:00:00:01")
{
    using namespace velmora;
    std::string strOut(kBinNameOffset, '\0');
    strOut[0] = static_cast<char>(kHeadBinaryReply);
    strOut[kBinTailLenOffset] = static_cast<char>((kBinMacLen + strName.size()) & 0xFF);
    strOut[kBinMarkOffset] = static_cast<char>(kBinMark);
    const unsigned char abAddr[12] = {10, 88, 0, 1, 255, 255, 255, 0, 10, 88, 0, 2};
    for (size_t i = 0; i < 12; ++i)
        strOut[kBinAddrOffset + i] = static_cast<char>(abAddr[i]);
    strOut[kBinHttpPortOffset] = static_cast<char>(0x50);
    strOut[kBinPortOffset] = static_cast<char>(0xB2);
    strOut[kBinPortOffset + 1] = static_cast<char>(0x93);
    strOut.replace(kBinMacOffset, std::min(strMac.size(), kBinMacLen), strMac, 0, kBinMacLen);
    return strOut + strName;
}
