#include "common/HostText.h"

#include <cstdio>

#include "nox/Str.h"

namespace nox {
namespace os {

std::string MacText(const unsigned char* pAddr, size_t nLen)
{
    if (pAddr == nullptr || nLen != 6)
        return "00:00:00:00:00:00";
    char szBuf[18];
    std::snprintf(szBuf, sizeof(szBuf), "%02x:%02x:%02x:%02x:%02x:%02x", pAddr[0], pAddr[1],
                  pAddr[2], pAddr[3], pAddr[4], pAddr[5]);
    return szBuf;
}

std::string DottedText(uint32_t nAddr)
{
    char szBuf[16];
    std::snprintf(szBuf, sizeof(szBuf), "%u.%u.%u.%u", (nAddr >> 24) & 0xffu,
                  (nAddr >> 16) & 0xffu, (nAddr >> 8) & 0xffu, nAddr & 0xffu);
    return szBuf;
}

std::string UsableSerial(const std::string& strRaw)
{
    static const char* const kPlaceholders[] = {
        "none", "to be filled by o.e.m.", "default string", "not specified", "not applicable",
        "system serial number", "chassis serial number", "0", "00000000", "0123456789",
        "123456789", "n/a", "na", "unknown"};
    const char* kBlank = " \t\r\n";
    const size_t nBegin = strRaw.find_first_not_of(kBlank);
    if (nBegin == std::string::npos)
        return std::string();
    const std::string strText = strRaw.substr(nBegin, strRaw.find_last_not_of(kBlank) - nBegin + 1);
    for (const char* sz : kPlaceholders) {
        if (Str::stricmp(strText.c_str(), sz) == 0)
            return std::string();
    }
    return strText;
}

}  // namespace os
}  // namespace nox
