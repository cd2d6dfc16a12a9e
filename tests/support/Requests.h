// Builders of discovery request datagrams for tests.
#pragma once

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
