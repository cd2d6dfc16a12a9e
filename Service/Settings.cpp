#include "Service/Settings.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

const char* const kServerElements[9] = {
    "UdpListenInfo1", "UdpListenInfo2", "UdpListenInfo3", "VersionName", "VersionNum",
    "ThreadNum",      "FilterInterval", "ProductType",    "Proxy"};
const char* const kListenGroupElements[4] = {"UdpHost", "UdpPort1", "UdpPort2", "UdpPort3"};

std::string ParseWholeNumber(const char* szText, long nMin, long nMax, long& nValue)
{
    char* pEnd = nullptr;
    errno = 0;
    nValue = std::strtol(szText, &pEnd, 10);
    while (pEnd != szText && std::isspace(static_cast<unsigned char>(*pEnd)))
        ++pEnd;
    if (pEnd == szText || *pEnd != '\0' || errno != 0 || nValue < nMin || nValue > nMax)
        return "not a number from " + std::to_string(nMin) + " to " + std::to_string(nMax);
    return std::string();
}

const std::vector<OptionalSetting>& OptionalSettings()
{
    using C = CServerConfig;
    static const std::vector<OptionalSetting> s_vecSettings = {
        WholeNumber<&C::m_nFilterMaxHosts, 1, 16777216>("FilterMaxHosts"),
        WholeNumber<&C::m_nQueueMaxRequests, 1, 1048576>("QueueMaxRequests"),
        WholeNumber<&C::m_nReplyRateLimit, 0, 10000000>("ReplyRateLimit"),
        WholeNumber<&C::m_nAnswerOnLinkOnly, 0, 1>("AnswerOnLinkOnly"),
        WholeNumber<&C::m_nLogFolderMaxMB, 0, 1048576>("LogFolderMaxMB"),
    };
    return s_vecSettings;
}
