// Builders of discovery datagrams for tests: requests and replies.
#pragma once

#include <algorithm>
#include <string>

#include "CUListen/Protocol.h"

// A JSON request: head 0x20, header bytes 1..31 from strHeaderTail (else 0),
// then strText and, when bTerminate, a zero byte.
inline std::string MakeJsonRequestText(const std::string& strText, bool bTerminate = true,
                                       const std::string& strHeaderTail = std::string())
{
    std::string strOut = "\x20" + strHeaderTail.substr(0, 31);
    strOut.resize(velmora::kJsonHeaderLen, '\0');
    return strOut + strText + std::string(bTerminate ? 1 : 0, '\0');
}
inline std::string MakeJsonRequest(const std::string& strMethod = velmora::kSearchMethod)
{
    return MakeJsonRequestText("{\"method\":\"" + strMethod + "\"}");
}

// A binary request of nLen bytes: head 0xA3, bytes 1 and 16 as given, the rest byFill.
inline std::string MakeBinaryRequest(char byEcho1 = 0, char byEcho16 = 0, size_t nLen = 17, char byFill = 0)
{
    std::string strOut(std::max<size_t>(nLen, 17), byFill);
    strOut[0] = static_cast<char>(velmora::kHeadBinary);
    strOut[1] = byEcho1;
    strOut[16] = byEcho16;
    return strOut.substr(0, nLen);
}

// A JSON reply as the responder sends it: both length fields set, then the text.
inline std::string MakeJsonReplyText(const std::string& strText)
{
    std::string strOut(velmora::kJsonHeaderLen, '\0');
    strOut[0] = static_cast<char>(velmora::kHeadJson);
    strOut[16] = strOut[24] = static_cast<char>(strText.size() & 0xFF);
    strOut[17] = strOut[25] = static_cast<char>(strText.size() >> 8);
    return strOut + strText;
}

// A binary reply record for 10.88.0.1/255.255.255.0 gateway 10.88.0.2, HTTP
// port 80 and port 37810.
inline std::string MakeBinaryReply(const std::string& strName = "Server",
                                   const std::string& strMac = "02:00:00:00:00:01")
{
    std::string strOut(velmora::kBinNameOffset, '\0');
    strOut[0] = static_cast<char>(velmora::kHeadBinaryReply);
    strOut[2] = static_cast<char>((17 + strName.size()) & 0xFF);
    strOut[4] = static_cast<char>(velmora::kBinMark);
    strOut.replace(56, 12, "\x0a\x58\x00\x01\xff\xff\xff\x00\x0a\x58\x00\x02", 12);
    strOut[94] = 80;
    strOut.replace(98, 2, "\xb2\x93");
    strOut.replace(120, std::min<size_t>(strMac.size(), 17), strMac, 0, 17);
    return strOut + strName;
}
