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
    char szBuf[kDottedSize];
    DottedText(nAddr, szBuf);
    return szBuf;
}

// Once per datagram on the receive path: digits by hand, not printf.
void DottedText(uint32_t nAddr, char* szOut)
{
    for (int nShift = 24; nShift >= 0; nShift -= 8) {
        const unsigned n = (nAddr >> nShift) & 0xffu;
        if (n >= 100)
            *szOut++ = static_cast<char>('0' + n / 100);
        if (n >= 10)
            *szOut++ = static_cast<char>('0' + n / 10 % 10);
        *szOut++ = static_cast<char>('0' + n % 10);
        *szOut++ = nShift != 0 ? '.' : '\0';
    }
}

bool ParseDotted(const char* szText, uint32_t* pAddr)
{
    if (szText == nullptr)
        return false;
    uint32_t nAddr = 0;
    for (int nPart = 0; nPart < 4; ++nPart) {
        if (nPart != 0 && *szText++ != '.')
            return false;
        if (*szText < '0' || *szText > '9' || (szText[0] == '0' && szText[1] >= '0' && szText[1] <= '9'))
            return false;
        unsigned n = 0;
        for (; *szText >= '0' && *szText <= '9'; ++szText) {
            n = n * 10 + static_cast<unsigned>(*szText - '0');
            if (n > 255)
                return false;
        }
        nAddr = nAddr << 8 | n;
    }
    if (*szText != '\0')
        return false;
    *pAddr = nAddr;
    return true;
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
