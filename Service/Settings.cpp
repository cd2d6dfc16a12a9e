#include "Service/Settings.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "CUListen/AdapterTable.h"

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

namespace {

// 0 or 1, blanks around it allowed.
std::string ReadAdapterRefresh(CServerConfig& config, const char* szText)
{
    long nValue = 0;
    if (!ParseWholeNumber(szText, 0, 1, nValue).empty() || szText[0] == '+' || szText[0] == '-')
        return "not 0 or 1";
    config.m_nAdapterRefresh = static_cast<int>(nValue);
    return std::string();
}

}  // namespace

std::string JoinPatterns(const char* szText)
{
    std::string strJoined;
    for (const std::string& strPattern : velmora::AdapterFilter::Split(szText))
        strJoined += (strJoined.empty() ? "" : " ") + strPattern;
    return strJoined;
}

const std::vector<OptionalSetting>& AdapterSettings()
{
    using C = CServerConfig;
    static const std::vector<OptionalSetting> s_vecSettings = {
        {"AdapterRefresh", &ReadAdapterRefresh, &ShowNumber<&C::m_nAdapterRefresh>},
        {"AdapterInclude", &ReadPatterns<&C::m_strAdapterInclude>,
         &ShowText<&C::m_strAdapterInclude>, true},
        {"AdapterExclude", &ReadPatterns<&C::m_strAdapterExclude>,
         &ShowText<&C::m_strAdapterExclude>, true},
    };
    return s_vecSettings;
}

const std::vector<OptionalSetting>& GuardSettings()
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
